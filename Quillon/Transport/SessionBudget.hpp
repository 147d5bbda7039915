#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace quillon {

// Limits across the admitted sessions of one transport:
// - sessions per device: a device that opens one more than its share loses its oldest session
//   (a tablet that changed networks reconnects before the old session has timed out, so the
//   newest is the one to keep);
// - bytes held for frames that are announced but not complete: each session may hold a small
//   allowance (a read's worth) without counting; what it holds beyond that counts against one
//   budget for all sessions, and when the budget is crossed the session holding the most beyond
//   its allowance is closed. A peer announcing 4 MiB frames on many sessions then costs the
//   budget, not 4 MiB per session.
//
// Sessions are named by the owner's keys. Pure bookkeeping; the owner closes the sessions each
// call names (they are already out of the table) and calls remove() for every session that
// closes. Not thread-safe; the owner's queue serialises it.
class SessionBudget {
public:
    using Key = std::uint64_t;

    struct Limits {
        std::size_t sessionsPerDevice = 4;
        std::size_t allowancePerSession = 64 * 1024;
        std::size_t bufferedTotal = 16 * 1024 * 1024;
    };

    explicit SessionBudget(Limits limits) : limits_(limits) {}

    // `session` was admitted for `deviceID`. Returns the sessions to close to keep the device
    // within its share (its oldest ones, never `session` itself).
    std::vector<Key> admit(Key session, const std::string& deviceID);
    // `session` now holds `bytes` of incomplete frames. Returns the sessions to close to bring
    // the total back within the budget (possibly `session` itself).
    std::vector<Key> buffered(Key session, std::size_t bytes);
    void remove(Key session);

    // Bytes held beyond the allowances, all sessions.
    std::size_t bufferedBeyondAllowance() const noexcept { return excessTotal_; }
    std::size_t sessionsOf(const std::string& deviceID) const;

private:
    struct Entry {
        std::string deviceID;
        std::uint64_t admittedAt = 0; // order of admission
        std::size_t excess = 0;
    };
    void erase(Key session);

    Limits limits_;
    std::map<Key, Entry> entries_;
    std::uint64_t order_ = 0;
    std::size_t excessTotal_ = 0;
};

} // namespace quillon
