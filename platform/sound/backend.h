// SPDX-License-Identifier: GPL-3.0-or-later
// What a backend of the sound output fills in (output.h is the contract the
// engine sees): one table of operations per backend, chosen when a stream
// opens. Each stream starts with the table that made it. The thread rules
// are output.h's; `call_clock` is output.cpp's timing of the calling thread.
// Seen only by platform/sound.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/sound/output.h"

struct output_ops {
    const char *name;
    int (*open)(audio_output **handle, const output_format &format, output_step *failed);
    long (*write)(audio_output *handle, const void *data, std::size_t bytes, const std::atomic<int> *quit,
                  const std::atomic<bool> *jump);
    int (*prepare)(audio_output *handle);
    int (*drain)(audio_output *handle, bool settle, int limit_ms, const std::atomic<int> *quit);
    int (*drop)(audio_output *handle);
    int (*close)(audio_output *handle);
    long (*delay)(audio_output *handle);
    // Null where the backend has no stream volume of its own.
    int (*group_write)(audio_output *handle, const output_levels &levels);
    void (*group_watch)(audio_output *handle, output_changed changed, void *data);
    // Wakes every wait of this backend's streams.
    void (*wake)();
};

// Whether a write is to give up waiting: a stop or a jump.
[[nodiscard]] inline bool output_interrupted(const std::atomic<int> *quit, const std::atomic<bool> *jump)
{
    return (quit != nullptr && quit->load(std::memory_order_relaxed) != 0) ||
           (jump != nullptr && jump->load(std::memory_order_relaxed));
}

struct audio_output {
    const output_ops *ops;
    // While writes wait for room: since when nothing has been taken
    // (output_clock_now), 0 while the stream moves.
    std::atomic<std::int64_t> quiet_since{0};
};

extern const output_ops AlsaOutput;
extern const output_ops PulseOutput;

// Whether a sound server answers now (connecting if need be, within a
// bounded wait): the pulse backend's to say.
[[nodiscard]] bool pulse_output_available();
// Errors of the server's own, in the negative range below this base.
inline constexpr int Output_PulseErrorBase = -100000;
[[nodiscard]] const char *pulse_output_strerror(int err);

// One call that may not return, timed for whoever waits on this thread.
class output_call {
public:
    // began: when the device stopped answering, if before the call.
    explicit output_call(std::int64_t began = 0) noexcept;
    ~output_call();
    output_call(const output_call &) = delete;
    output_call &operator=(const output_call &) = delete;
};
