#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace quillon {

// Anonymous usage counters sent to a telemetry endpoint: that the host started, how many
// sessions were admitted over Wi-Fi and USB, how many pairings succeeded, and whether input
// permission was missing at launch. Nothing is sent until a device has been paired, while the
// screen is locked, when the user turned "telemetry.enabled" off, or when DO_NOT_TRACK is set
// (to anything but "0"). Reports are fire-and-forget HTTP GETs; nothing here ever fails loudly.
//
// All state is process-wide and lives on the queue "com.zomra.corvane.telemetry.mac".
// bump() and notePaired() wait for that queue: never call them from it.
namespace Telemetry {

// Queues the start sequence (once per process; in passive mode nothing): the first report
// ("start") 20 s later, then an "hb" report every 300 s, each only when allowed.
void start();
// Counts one occurrence of "pair", "connect_wifi", "connect_usb" or "perm_denied"; any other
// name is ignored. Counting does not depend on being allowed to send.
void bump(std::string_view name);
// true: a paired device exists (remembered for the life of the process). false: no effect.
void notePaired(bool paired);
// The user's setting ("telemetry.enabled", on unless stored as false) and DO_NOT_TRACK.
bool isEnabled();
// Stores the setting; switching off also empties the counters at once.
void setEnabled(bool enabled);

// The application is about to exit: queues the "quit" report (when started) and stops
// telemetry's lock monitor.
void applicationWillTerminate();
// Waits up to `timeout` for reports already handed to the network to finish, so the "quit"
// report has a chance to leave before the process exits.
void waitForPendingReports(std::chrono::milliseconds timeout);

// How "is this process allowed to post input" is asked at start (counts "perm_denied" when
// not). Unset: assumed allowed.
void setInputPermissionCheck(std::function<bool()> check);

// The endpoint reports go to: CORVANE_TELEMETRY_URL when set, else the built-in one.
std::string endpoint();

// Test-only hooks: not settings, never called by the host.
namespace testing {
// Shortens the 20 s start delay and the 300 s report period for the next start().
void setIntervals(std::chrono::milliseconds startDelay, std::chrono::milliseconds period);
// Cancels timers and in-flight reports, stops the lock monitor and forgets every state, as if
// the process had just begun (intervals back to 20 s / 300 s).
void reset();
// Telemetry's own notion of the screen lock (waits for the queue).
bool screenLocked();
} // namespace testing

} // namespace Telemetry

} // namespace quillon
