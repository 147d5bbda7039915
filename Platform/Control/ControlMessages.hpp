#pragma once

// The control interface's message bodies, written by the host's server and read by both
// clients (the blocking one of `quillon ctl`, the window's WindowBus): one encoding, one
// decoding. Internal to Platform/Control.
#include "Platform/Control/ControlBus.hpp"

#include <systemd/sd-bus.h>

#include <map>
#include <string>
#include <vector>

namespace quillon::platform::controlwire {

// Status()'s a{sv} into a reply being built. A negative errno on failure.
int appendStatus(sd_bus_message* reply, const ControlState& state);
// Status()'s a{sv} from a reply; keys and types it does not know are skipped (a newer host).
int readStatus(sd_bus_message* reply, ControlState& state);
int appendDevices(sd_bus_message* reply, const std::vector<ControlDevice>& devices);
int readDevices(sd_bus_message* reply, std::vector<ControlDevice>& devices);
int appendSettings(sd_bus_message* reply, const std::map<std::string, std::string>& settings);
int readSettings(sd_bus_message* reply, std::map<std::string, std::string>& settings);

// A failed call as the caller sees it: no host (its name has no owner) is "not-running" with
// the run's text; anything else keeps the error's name and message.
ControlError callError(const sd_bus_error* error, int r);

// This process's executable and a peer's compared (the one the bus daemon says sent a
// message): the same file, also when a package upgrade replaced it under the running host
// (the kernel then names it "<path> (deleted)").
bool sameExecutable(const std::string& ours, const std::string& theirs);
std::string ownExecutable();

} // namespace quillon::platform::controlwire
