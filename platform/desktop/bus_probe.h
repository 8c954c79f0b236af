// SPDX-License-Identifier: GPL-3.0-or-later
// Whether the session bus daemon answers, asked without the bus library.
//
// The toolkit makes every bus connection on one thread of its own, so while
// a connection to a hung daemon waits, every other one waits behind it:
// among them the screen-reader bridge's, which the user-interface thread
// makes when the first widget reports a change. So the remote control joins
// the bus only once the daemon has answered this probe, and a daemon that
// stays silent past a short wait has the bridge pointed (through
// AT_SPI_BUS_ADDRESS) at an address that fails at once: the window comes
// without a screen reader, as a hung bus would leave it anyway.
#pragma once

#include <chrono>
#include <memory>
#include <string>

struct BusProbe;

// Made on the user-interface thread before the bus thread starts.
[[nodiscard]] std::shared_ptr<BusProbe> bus_probe_create();
// Bus thread: waits until the daemon at the session bus `address` answers
// (true) or cannot be reached (false), however long it is silent. An
// address of a kind the probe does not speak counts as answering.
[[nodiscard]] bool bus_probe_wait(BusProbe &probe, const std::string &address);
// User-interface thread, before the first widget: waits at most `patience`
// for the answer and, when none came, turns the screen-reader bridge away
// from the bus.
void bus_probe_settle(BusProbe &probe, std::chrono::milliseconds patience);
