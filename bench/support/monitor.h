// SPDX-License-Identifier: GPL-3.0-or-later
// What a sound server's sink plays, as its monitor delivers it: parec
// records <sink>.monitor as 44.1 kHz stereo 16-bit samples, read as it
// records. One thread uses a Monitor.
#pragma once

#include <string>

#include <sys/types.h>

namespace bench {

class Monitor {
public:
    static constexpr int Rate = 44100;

    explicit Monitor(const std::string &sink);
    ~Monitor();
    Monitor(const Monitor &) = delete;
    Monitor &operator=(const Monitor &) = delete;

    // Takes what parec has delivered; returns the stereo frames so far.
    long take();
    // Channel 0 (left) or 1 of frame i, i below what take() returned.
    [[nodiscard]] int sample(long i, int channel = 0) const;

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string bytes_;
};

}  // namespace bench
