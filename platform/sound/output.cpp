// SPDX-License-Identifier: GPL-3.0-or-later
// The seam: picks a backend per stream and hands each call to its table.
#include "platform/sound/output.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/sound/backend.h"

namespace {

// Only the decode thread writes, so the countdown needs no more than atomic
// words to be set safely from a test thread between songs.
std::atomic<int> FaultAfter{0};
std::atomic<int> FaultCount{0};

[[nodiscard]] bool injected_short_write()
{
    if (FaultCount.load(std::memory_order_relaxed) <= 0)
        return false;
    if (FaultAfter.load(std::memory_order_relaxed) > 0) {
        FaultAfter.fetch_sub(1, std::memory_order_relaxed);
        return false;
    }
    FaultCount.fetch_sub(1, std::memory_order_relaxed);
    return true;
}

thread_local std::atomic<std::int64_t> *CallClock = nullptr;

// The backend a stream opens with: the one forced, else the server's when
// it answers now. Asked at each open, so a server started or restarted
// while the player runs is found at the next song.
const output_ops &chosen()
{
    const char *forced = std::getenv("TONRA_AUDIO");
    const std::string_view want = forced != nullptr ? forced : "";
    if (want == "alsa")
        return AlsaOutput;
    if (want == "pulse")
        return PulseOutput;
    return pulse_output_available() ? PulseOutput : AlsaOutput;
}

}  // namespace

output_call::output_call(std::int64_t began) noexcept
{
    if (CallClock != nullptr)
        CallClock->store(began != 0 ? began : output_clock_now(), std::memory_order_relaxed);
}

output_call::~output_call()
{
    if (CallClock != nullptr)
        CallClock->store(0, std::memory_order_relaxed);
}

void output_time_calls(std::atomic<std::int64_t> *clock) { CallClock = clock; }

std::int64_t output_clock_now()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int output_buffer_bytes(int bytes_at_cd_rate, int rate, int voices)
{
    constexpr std::int64_t CdBytesPerSecond = 44100 * 4;
    const std::int64_t bytes = std::int64_t{bytes_at_cd_rate} * rate * (2 * voices) / CdBytesPerSecond;
    // Whole frames, and room for at least a few hundred of them.
    const std::int64_t frame = 2 * voices;
    return static_cast<int>(std::max<std::int64_t>(bytes / frame, 256) * frame);
}

int output_open(audio_output **handle, const output_format &format, output_step *failed)
{
    *handle = nullptr;
    *failed = output_step::open;
    return chosen().open(handle, format, failed);
}

long output_write(audio_output *handle, const void *data, std::size_t bytes, const std::atomic<int> *quit,
                  const std::atomic<bool> *jump)
{
    if (handle == nullptr)
        return -EINVAL;
    if (injected_short_write())
        return 0;
    return handle->ops->write(handle, data, bytes, quit, jump);
}

int output_prepare(audio_output *handle) { return handle != nullptr ? handle->ops->prepare(handle) : -EINVAL; }

int output_drain(audio_output *handle, bool settle, int limit_ms, const std::atomic<int> *quit)
{
    return handle != nullptr ? handle->ops->drain(handle, settle, limit_ms, quit) : -EINVAL;
}

int output_drop(audio_output *handle) { return handle != nullptr ? handle->ops->drop(handle) : -EINVAL; }

int output_close(audio_output *handle) { return handle != nullptr ? handle->ops->close(handle) : -EINVAL; }

long output_delay(audio_output *handle) { return handle != nullptr ? handle->ops->delay(handle) : 0; }

std::string_view output_backend(const audio_output *handle) { return handle != nullptr ? handle->ops->name : ""; }

const char *output_strerror(int err)
{
    if (err <= Output_PulseErrorBase)
        return pulse_output_strerror(err);
    return std::strerror(err < 0 ? -err : err);
}

void output_wake()
{
    AlsaOutput.wake();
    PulseOutput.wake();
}

bool output_has_group(const audio_output *handle) { return handle != nullptr && handle->ops->group_write != nullptr; }

int output_group_write(audio_output *handle, const output_levels &levels)
{
    return output_has_group(handle) ? handle->ops->group_write(handle, levels) : -ENOTSUP;
}

void output_group_watch(audio_output *handle, output_changed changed, void *data)
{
    if (output_has_group(handle))
        handle->ops->group_watch(handle, changed, data);
}

std::int64_t output_quiet_since(const audio_output *handle)
{
    return handle != nullptr ? handle->quiet_since.load(std::memory_order_relaxed) : 0;
}

void output_fault_short_writes(int after, int count)
{
    FaultCount.store(0, std::memory_order_relaxed);
    FaultAfter.store(after, std::memory_order_relaxed);
    FaultCount.store(count, std::memory_order_relaxed);
}
