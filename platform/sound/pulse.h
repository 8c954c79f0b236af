// SPDX-License-Identifier: GPL-3.0-or-later
// What the sound server backend's files share (pulse_connection.cpp: the
// connection; pulse_output.cpp: the stream; pulse_group.cpp: the stream's
// volume and mute). Seen only by them.
//
// One connection serves the whole run, on libpulse's threaded main loop,
// and is made anew at the next open once the server has gone. Nothing here
// waits for the server without a deadline: every request is queued under
// the main loop's lock and its answer awaited on `Moved`, which the loop's
// callbacks and output_wake signal.
//
// Locks, always in this order: a stream's `guard`, the main loop's lock,
// then `Shared`. The guard keeps the user-interface thread's group calls
// off a connection and stream that the writing thread replaces (prepare)
// or closes; the writing thread's own calls read them without it, so a
// write that waits for room never holds the group back. The main
// loop's own lock does the work, but it is taken inside libpulse, where
// ThreadSanitizer cannot see it: `Shared` makes the same order visible.
// The callbacks run on the main loop's thread, with its lock held.
#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sound/backend.h"

namespace pulse {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How long a server may take to take a connection before the song is
// played without it.
inline constexpr auto ConnectWait = 1000ms;

inline constexpr char AppName[] = "Tonra";
inline constexpr char AppIcon[] = "tonra";
inline constexpr char AppId[] = "org.tonra.Tonra";

extern std::mutex Shared;
extern std::condition_variable Moved;
extern std::uint64_t Generation;  // Shared: counts every callback and wake

// Ends every wait on Moved, so that each looks at what it waits for.
void signal_moved();

// Makes a change that waits look at, under Shared, and ends every wait.
template <typename Change>
void move_state(Change &&change)
{
    const std::lock_guard lock(Shared);
    change();
    ++Generation;
    Moved.notify_all();
}

// Waits for `done` (tested under Shared) until the deadline; false then.
template <typename Done>
[[nodiscard]] bool await(Clock::time_point deadline, Done &&done)
{
    std::unique_lock lock(Shared);
    return Moved.wait_until(lock, deadline, done);
}

class Locked {
public:
    explicit Locked(pa_threaded_mainloop *loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
    ~Locked() { pa_threaded_mainloop_unlock(loop_); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

private:
    pa_threaded_mainloop *loop_;
};

struct Connection {
    pa_threaded_mainloop *loop = nullptr;
    pa_context *context = nullptr;
    pa_context_state_t state = PA_CONTEXT_UNCONNECTED;  // Shared

    Connection() = default;
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    ~Connection();
};

struct Stream : audio_output {
    std::mutex guard;  // connection and stream, when the writer replaces them
    std::shared_ptr<Connection> connection;
    pa_stream *stream = nullptr;
    output_format format;
    std::string name;  // what format.name viewed
    pa_channel_map map{};
    std::size_t frame_bytes = 4;
    // Samples taken but not yet sent (the writing thread's, under guard).
    std::vector<unsigned char> pending;
    std::size_t held = 0;
    Clock::time_point timed{};  // when the server's timing was last asked for
    // Shared:
    std::uintptr_t serial = 0;     // names it to the server's late answers
    Connection *owner = nullptr;   // while watched
    pa_stream_state_t state = PA_STREAM_UNCONNECTED;
    std::uint32_t index = PA_INVALID_INDEX;
    std::uint64_t requests = 0;    // the server asked for data
    std::uint64_t timings = 0;     // the server answered a timing request
    bool drained = false;
    output_levels known;           // ours or the last reported
    pa_cvolume volume{};           // what the server has, as far as we know
    int writes_in_flight = 0;      // ours, not yet confirmed
    bool missed_change = false;    // a change came while ours were in flight
    output_changed changed = nullptr;
    void *data = nullptr;
};

inline Stream &of(audio_output *handle) { return *static_cast<Stream *>(handle); }

void release(pa_operation *op);
// The context's last error, as an output error.
[[nodiscard]] int server_error(pa_context *context);
// The live connection, made now if need be; null when no server answers.
[[nodiscard]] std::shared_ptr<Connection> connection(Clock::time_point deadline);

// The group's side (pulse_group.cpp). With Shared held: starts and ends
// watching the stream's volume for changes by others.
void watch(Stream &s, Connection &c);
void unwatch(Stream &s);
// The watched stream of that serial, or null once it has gone; with
// Shared held. Answers that may outlive a stream name it by its serial.
[[nodiscard]] Stream *listed(std::uintptr_t serial);
[[nodiscard]] inline void *serial_of(const Stream &s) { return reinterpret_cast<void *>(s.serial); }
// Sends the stream's levels to the server; with the main loop's lock held.
void send_levels(Stream &s);
// The server's volume for levels, on the stream's channels.
[[nodiscard]] pa_cvolume volume_of(const output_levels &levels, const pa_channel_map &map);
// The connection's subscription: a stream of ours changed.
void stream_event(pa_context *context, pa_subscription_event_type_t type, std::uint32_t index, void *userdata);
int group_write(audio_output *handle, const output_levels &levels);
void group_watch(audio_output *handle, output_changed changed, void *data);

}  // namespace pulse
