// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/widgets/service_events.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace {
int Pipe[2] = {-1, -1};
std::atomic<int> WriteFd{-1};
std::atomic<Widget *> Target{nullptr};
std::once_flag Opened;
}

int svc_open()
{
    std::call_once(Opened, [] {
        if (pipe2(Pipe, O_CLOEXEC | O_NONBLOCK) == 0)
            WriteFd.store(Pipe[1]);
    });
    return Pipe[0];
}

void svc_set_target(Widget *window) { Target.store(window); }

Widget *svc_target() { return Target.load(); }

int svc_post(Widget *window, std::uint16_t code)
{
    const int fd = WriteFd.load(std::memory_order_relaxed);
    if (window == nullptr || fd < 0 || window != Target.load())
        return 0;
    const int saved = errno;  // a signal handler must leave errno as it was
    const unsigned char bytes[2] = {static_cast<unsigned char>(code & 0xFF),
                                    static_cast<unsigned char>(code >> 8)};
    ssize_t n;
    do {
        n = write(fd, bytes, sizeof bytes);
    } while (n < 0 && errno == EINTR);
    errno = saved;
    return 0;
}

std::size_t svc_read(std::uint16_t *out, std::size_t max)
{
    std::size_t count = 0;
    unsigned char bytes[512];
    while (count < max) {
        std::size_t want = (max - count) * 2;
        if (want > sizeof bytes)
            want = sizeof bytes;
        const ssize_t n = read(Pipe[0], bytes, want);
        if (n <= 0)
            break;
        // Writes of two bytes are atomic, so reads of even counts never split a code.
        for (ssize_t i = 0; i + 1 < n; i += 2)
            out[count++] = static_cast<std::uint16_t>(bytes[i] | (bytes[i + 1] << 8));
    }
    return count;
}
