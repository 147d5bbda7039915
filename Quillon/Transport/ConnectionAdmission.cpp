#include "Quillon/Transport/ConnectionAdmission.hpp"

#include <asio/ip/address.hpp>

#include <tuple>

namespace quillon {

ConnectionAdmission::Decision ConnectionAdmission::admit(const std::string& source) {
    Decision decision;
    const std::size_t share = budget_.perSource == 0 ? 1 : budget_.perSource;
    const std::size_t total = budget_.total == 0 ? 1 : budget_.total;
    while (waitingFrom(source) >= share) {
        const auto ticket = victim(&source);
        if (!ticket) {
            break;
        }
        erase(*ticket);
        decision.evicted.push_back(*ticket);
    }
    while (entries_.size() >= total) {
        const auto ticket = victim(nullptr);
        if (!ticket) {
            break;
        }
        erase(*ticket);
        decision.evicted.push_back(*ticket);
    }
    decision.ticket = next_++;
    entries_.emplace(decision.ticket, Entry{source, Progress::connected});
    ++perSource_[source];
    return decision;
}

// The source holding the most first, then the least progress, then the oldest. The table is
// small (tens of entries), so one pass over it is cheaper than keeping indexes in step.
std::optional<ConnectionAdmission::Ticket>
ConnectionAdmission::victim(const std::string* onlyFrom) const {
    std::optional<Ticket> best;
    std::tuple<std::size_t, int, Ticket> bestKey{};
    for (const auto& [ticket, entry] : entries_) {
        if (onlyFrom != nullptr && entry.source != *onlyFrom) {
            continue;
        }
        // Smaller key = evicted first: more held by the source, less progress, older.
        const std::size_t held = perSource_.at(entry.source);
        const std::tuple<std::size_t, int, Ticket> key{static_cast<std::size_t>(-1) - held,
                                                       static_cast<int>(entry.progress), ticket};
        if (!best || key < bestKey) {
            best = ticket;
            bestKey = key;
        }
    }
    return best;
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
