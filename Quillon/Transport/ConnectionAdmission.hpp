#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

// The table of one listener's waiting connections: accepted, not yet admitted (no hello on the
// main listener, no handshake on the pairing listener). Such a connection has proved nothing, so
// it is held against a budget. When the budget is full room is made by closing the waiting
// connection that has shown the least and, among those, the one from the source holding the
// most, then the oldest. A connection that has spoken (sent its ClientHello) is never closed for
// an idle one: an idle newcomer that finds only such connections is not admitted (its owner may
// let it wait for its first bytes and ask again). A flood of idle
// connections, from a few sources or from many (or from many addresses of one IPv6 /64), then
// only ever displaces itself, and a real client that has sent its ClientHello outlives any
// number of idle connections.
//
// What a connection has shown is what its owner read from it, and the owner reads in turns: a
// ClientHello may already wait in a socket the owner has not read yet. The owner therefore
// gives admit() a probe that looks into a connection's socket; before an apparently idle
// connection is chosen to go, the probe is asked whether bytes have arrived, and one that has
// spoken counts as handshaking.
//
// Pure bookkeeping: the owner closes the connections named in each Decision and calls release()
// when a connection leaves the table (admitted, closed, evicted). Not thread-safe; the owner's
// queue serialises it.
class ConnectionAdmission {
public:
    using Ticket = std::uint64_t;

    // How far a waiting connection has come; later stages are worth more.
    enum class Progress : std::uint8_t {
        connected,     // TCP only
        handshaking,   // some TLS bytes arrived
        handshakeDone, // holds the key; its first frame is awaited
        framing,       // part of its first frame arrived
    };

    struct Budget {
        std::size_t total = 0;     // waiting connections of this listener
        std::size_t perSource = 0; // of them from one source
    };

    struct Decision {
        bool admitted = true;        // false: no room for the newcomer; close it
        Ticket ticket = 0;           // the newcomer's (admitted only)
        std::vector<Ticket> evicted; // to close now (already out of the table)
    };

    // Whether bytes have arrived on a waiting connection that is still counted as connected.
    using SpokenProbe = std::function<bool(Ticket)>;

    explicit ConnectionAdmission(Budget budget) : budget_(budget) {}

    // Registers a newcomer from `source` (see sourceOf()) that has shown `progress` (handshaking
    // when its first bytes are already there). Evicts first from the newcomer's own source when
    // that is at its share, else from the table when it is full; an idle newcomer evicts only
    // idle connections and is otherwise not admitted.
    Decision admit(const std::string& source, Progress progress = Progress::connected,
                   const SpokenProbe& hasSpoken = {});
    // Records progress; a ticket no longer in the table is ignored. Progress never goes back.
    void advance(Ticket ticket, Progress progress);
    // The connection left the table. Unknown tickets are ignored.
    void release(Ticket ticket);

    std::size_t size() const noexcept { return entries_.size(); }
    std::size_t waitingFrom(const std::string& source) const;
    bool contains(Ticket ticket) const { return entries_.count(ticket) != 0; }
    const Budget& budget() const noexcept { return budget_; }

    // The key a peer address is counted under: the IPv4 address (an IPv4-mapped IPv6 address
    // counts as its IPv4 address), or the /64 prefix of an IPv6 address, since one host on a
    // LAN is handed a whole /64 and can pick any address in it. Text that is no address counts
    // as itself.
    static std::string sourceOf(std::string_view address);

private:
    struct Entry {
        std::string source;
        Progress progress = Progress::connected;
    };
    std::optional<Ticket> victim(const std::string* onlyFrom, const SpokenProbe& hasSpoken);
    void erase(Ticket ticket);

    Budget budget_;
    Ticket next_ = 1; // tickets grow with arrival: smaller = older
    std::map<Ticket, Entry> entries_;
    std::map<std::string, std::size_t> perSource_;
};

} // namespace quillon
