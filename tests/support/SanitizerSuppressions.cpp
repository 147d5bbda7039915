#include "tests/support/SanitizerSuppressions.hpp"

namespace quillon::testing {
void linkSanitizerSuppressions() noexcept {}
} // namespace quillon::testing

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
// Reports about other libraries' own locks, not about our code:
// - libX11 (1.8): when a server goes away, libX11 runs its I/O-error path; with an exit handler
//   that returns (how the host survives a lost server) it unlocks the display's lock once more
//   than it locked it. The lock belongs to that one dead connection, used by one thread, and
//   the connection is dropped right after.
// - libdbus (under avahi-client): it takes its global and per-connection locks in either order
//   depending on whether a connection is being opened or freed, which reads as a potential
//   deadlock even within one thread.
extern "C" const char* __tsan_default_suppressions() {
    return "mutex:libX11.so\n"
           "deadlock:libdbus-1.so\n";
}
#endif
#endif
