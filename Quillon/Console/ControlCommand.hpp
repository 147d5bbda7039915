#pragma once

#include <ostream>

namespace quillon {

// `quillon ctl COMMAND` against the host running in this session (its control interface on
// the session bus). argv[0] is "ctl". Commands:
//   state                   permission, pairing code, lock, connection, telemetry, last error
//   devices                 the paired devices, numbered ("● " connected, "○ " not)
//   pair                    open a pairing window and print its PIN (the only output)
//   cancel                  close the pairing window
//   disconnect ID|N         drop a device's Wi-Fi sessions
//   unpair ID|N             forget a device
//   telemetry on|off        switch the anonymous counters
//   show                    bring the console to the front
//   quit                    stop the host
// Returns 0 done, 1 the host refused or is not running, 2 bad usage.
int runControlCommand(int argc, char** argv, std::ostream& out, std::ostream& err);

// A second start: asks the running host to show its console, says so, and returns the exit
// status for this process.
int handOverToRunningHost(std::ostream& out, std::ostream& err);

} // namespace quillon
