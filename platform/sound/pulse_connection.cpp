// SPDX-License-Identifier: GPL-3.0-or-later
// The sound server backend's connection: one for the whole run, made anew
// when the server has gone. Threads: output.h's; pulse.h says the locks.
#include "platform/sound/pulse.h"

namespace pulse {

std::mutex Shared;
std::condition_variable Moved;
std::uint64_t Generation = 0;

namespace {

std::mutex CurrentLock;
std::shared_ptr<Connection> Current;  // under CurrentLock

void context_state(pa_context *context, void *userdata)
{
    auto &c = *static_cast<Connection *>(userdata);
    move_state([&] { c.state = pa_context_get_state(context); });
}

[[nodiscard]] bool alive(Connection &c)
{
    const std::lock_guard lock(Shared);
    return c.state == PA_CONTEXT_READY;
}

std::shared_ptr<Connection> connect(Clock::time_point deadline)
{
    auto c = std::make_shared<Connection>();
    c->loop = pa_threaded_mainloop_new();
    if (c->loop == nullptr)
        return nullptr;
    pa_proplist *props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, AppName);
    pa_proplist_sets(props, PA_PROP_APPLICATION_ICON_NAME, AppIcon);
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, AppId);
    c->context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(c->loop), AppName, props);
    pa_proplist_free(props);
    if (c->context == nullptr)
        return nullptr;
    pa_context_set_state_callback(c->context, context_state, c.get());
    pa_context_set_subscribe_callback(c->context, stream_event, c.get());
    if (pa_context_connect(c->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
        pa_threaded_mainloop_start(c->loop) < 0)
        return nullptr;
    const Connection *self = c.get();
    if (!await(deadline, [self] { return self->state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(self->state); }) ||
        !alive(*c))
        return nullptr;
    const Locked lock(c->loop);
    release(pa_context_subscribe(c->context, PA_SUBSCRIPTION_MASK_SINK_INPUT, nullptr, nullptr));
    return c;
}

}  // namespace

Connection::~Connection()
{
    if (loop != nullptr)
        pa_threaded_mainloop_stop(loop);
    if (context != nullptr) {
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
    if (loop != nullptr)
        pa_threaded_mainloop_free(loop);
}

void signal_moved()
{
    move_state([] {});
}

void release(pa_operation *op)
{
    if (op != nullptr)
        pa_operation_unref(op);
}

int server_error(pa_context *context)
{
    const int err = context != nullptr ? pa_context_errno(context) : PA_ERR_CONNECTIONREFUSED;
    return Output_PulseErrorBase - (err > 0 ? err : PA_ERR_UNKNOWN);
}

std::shared_ptr<Connection> connection(Clock::time_point deadline)
{
    const std::lock_guard lock(CurrentLock);
    if (Current == nullptr || !alive(*Current))
        Current = connect(deadline);
    return Current;
}

}  // namespace pulse

bool pulse_output_available() { return pulse::connection(pulse::Clock::now() + pulse::ConnectWait) != nullptr; }

const char *pulse_output_strerror(int err) { return pa_strerror(Output_PulseErrorBase - err); }
