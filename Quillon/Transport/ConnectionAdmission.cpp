#include "Quillon/Transport/ConnectionAdmission.hpp"

#include <asio/ip/address.hpp>

#include <tuple>

namespace quillon {

ConnectionAdmission::Decision ConnectionAdmission::admit(const std::string& source,
                                                         Progress progress,
                                                         const SpokenProbe& hasSpoken) {
    Decision decision;
    const std::size_t share = budget_.perSource == 0 ? 1 : budget_.perSource;
    const std::size_t total = budget_.total == 0 ? 1 : budget_.total;
    // Makes room by one connection from `onlyFrom` (all sources when null); false when the
    // newcomer is idle and every candidate has spoken.
    const auto makeRoom = [&](const std::string* onlyFrom) {
        const auto ticket = victim(onlyFrom, hasSpoken);
        if (!ticket ||
            (progress == Progress::connected && entries_.at(*ticket).progress > progress)) {
            return false;
        }
        erase(*ticket);
        decision.evicted.push_back(*ticket);
        return true;
    };
    while (waitingFrom(source) >= share) {
        if (!makeRoom(&source)) {
            decision.admitted = false;
            return decision;
        }
    }
    while (entries_.size() >= total) {
        if (!makeRoom(nullptr)) {
            decision.admitted = false;
            return decision;
        }
    }
    decision.ticket = next_++;
    entries_.emplace(decision.ticket, Entry{source, progress});
    ++perSource_[source];
    return decision;
}

// The least progress first, then the source holding the most, then the oldest. The table is
// small (tens of entries), so one pass over it is cheaper than keeping indexes in step. An
// apparently idle choice is probed first; one that has spoken is moved up and the choice made
// again (each entry is probed at most once per call, since it then counts as handshaking).
std::optional<ConnectionAdmission::Ticket>
ConnectionAdmission::victim(const std::string* onlyFrom, const SpokenProbe& hasSpoken) {
    for (;;) {
        std::optional<Ticket> best;
        std::tuple<int, std::size_t, Ticket> bestKey{};
        for (const auto& [ticket, entry] : entries_) {
            if (onlyFrom != nullptr && entry.source != *onlyFrom) {
                continue;
            }
            const std::size_t held = perSource_.at(entry.source);
            // Smaller key = evicted first.
            const std::tuple<int, std::size_t, Ticket> key{
                static_cast<int>(entry.progress), static_cast<std::size_t>(-1) - held, ticket};
            if (!best || key < bestKey) {
                best = ticket;
                bestKey = key;
            }
        }
        if (!best || !hasSpoken) {
            return best;
        }
        Entry& chosen = entries_.at(*best);
        if (chosen.progress != Progress::connected || !hasSpoken(*best)) {
            return best;
        }
        chosen.progress = Progress::handshaking;
    }
}

void ConnectionAdmission::advance(Ticket ticket, Progress progress) {
    auto it = entries_.find(ticket);
    if (it != entries_.end() && progress > it->second.progress) {
        it->second.progress = progress;
    }
}

void ConnectionAdmission::release(Ticket ticket) {
    erase(ticket);
}

void ConnectionAdmission::erase(Ticket ticket) {
    auto it = entries_.find(ticket);
    if (it == entries_.end()) {
        return;
    }
    auto count = perSource_.find(it->second.source);
    if (count != perSource_.end() && --count->second == 0) {
        perSource_.erase(count);
    }
    entries_.erase(it);
}

std::size_t ConnectionAdmission::waitingFrom(const std::string& source) const {
    auto it = perSource_.find(source);
    return it == perSource_.end() ? 0 : it->second;
}

std::string ConnectionAdmission::sourceOf(std::string_view address) {
    std::error_code ec;
    auto parsed = asio::ip::make_address(std::string(address), ec);
    if (ec) {
        return std::string(address);
    }
    if (parsed.is_v4()) {
        return parsed.to_string();
    }
    auto v6 = parsed.to_v6();
    if (v6.is_v4_mapped()) {
        return asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_string();
    }
    auto bytes = v6.to_bytes();
    for (std::size_t i = 8; i < bytes.size(); ++i) {
        bytes[i] = 0;
    }
    return asio::ip::address_v6(bytes).to_string() + "/64";
}

} // namespace quillon
