#pragma once

#include <ostream>

namespace quillon {

// `quillon ctl COMMAND` against the host running in this session (its control interface on
// the session bus). argv[0] is "ctl". Commands:
//   state [--json]          permission, name, ports, pairing code, lock, connection,
//                           telemetry, problems
//   devices [--json]        the paired devices, numbered ("● " connected, "○ " not)
//   pair                    open a pairing window and print its PIN (the only output on
//                           stdout; an open window's PIN, said on stderr, is not replaced)
//   cancel                  close the pairing window
//   disconnect ID|N         drop a device's Wi-Fi sessions
//   unpair ID|N             forget a device
//   telemetry on|off        switch the anonymous counters
//   show                    bring the session's window to the front; a host without one
//                           (headless, the user unit) gets one where there is a display,
//                           else its terminal console shows itself
//   quit                    stop the host
//   --help                  all of this, on stdout
// A command with nothing to do says so and exits 0. Returns 0 done, 1 the host refused or is
// not running, 2 bad usage.
int runControlCommand(int argc, char** argv, std::ostream& out, std::ostream& err);

// A second start: asks the running host to show its console, says so, and returns the exit
// status for this process.
int handOverToRunningHost(std::ostream& out, std::ostream& err);
// A second start of the desktop program while another process is the session's window (see
// ControlBus.hpp): asks that one to come to the front, says so, returns the exit status.
int handOverToRunningWindow(std::ostream& out, std::ostream& err);

} // namespace quillon
