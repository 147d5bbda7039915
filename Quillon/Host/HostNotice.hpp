#pragma once

#include "Quillon/Host/ChannelArbiter.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace quillon {

// A peer the host turned away, as the console and the windows tell the user: wrong PIN, a
// device that is not (or no longer) paired, a token that does not match, an outdated app.
struct HostNotice {
    enum class Kind { wrongPIN, unknownDevice, badToken, outdatedClient, refused };
    Kind kind = Kind::refused;
    HostChannel channel = HostChannel::wifi;
    std::string source;     // the peer's address; empty on the cable
    std::uint16_t code = 0; // the error the peer was sent (refused)
    std::string reason;     // its text, as the peer was sent it

    bool operator==(const HostNotice&) const = default;
};

// A reason as the host's user reads it: the texts the host sends peers are the tablet's
// language, fixed by its app; the known ones are shown in the run's language (the same text
// under zh_CN), any other as it came, made safe to print.
std::string shownReason(std::string_view wireReason);

} // namespace quillon
