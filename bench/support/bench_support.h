// SPDX-License-Identifier: GPL-3.0-or-later
// What the benchmarks share: clocks, a wait with a deadline, and the window
// the engine posts its events to (none: the benchmarks have no window).
// Any thread may call these.
#pragma once

#include <chrono>
#include <thread>

#include "platform/widgets/widget.h"

namespace bench {

using Clock = std::chrono::steady_clock;

[[nodiscard]] inline double ms_since(Clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// Seconds of CPU time this process's threads have used.
[[nodiscard]] double process_cpu();

// A stand-in for the window: the engine's events need a target, and the
// benchmarks open the event service without a window behind it.
[[nodiscard]] Widget *engine_window();

// Whether `done` holds before `seconds` have passed, asked every `step`.
template <class F>
bool poll_until(F done, double seconds, std::chrono::milliseconds step = std::chrono::milliseconds(1))
{
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

}  // namespace bench
