// test-labels: coordinator
#include "Quillon/Host/TransportHub.hpp"

#include "Quillon/Pairing/SessionGatekeeper.hpp"

#include <gtest/gtest.h>

using namespace quillon;

namespace {

using K = HostNotice::Kind;

// A refusal from either transport becomes the notice the user reads.
TEST(TransportHubTest, RefusalsBecomeNotices) {
    const auto refusal = [](TransportRefusal::Kind kind, HostChannel channel, std::uint16_t code,
                            std::string source) {
        TransportRefusal r;
        r.kind = kind;
        r.channel = channel;
        r.code = code;
        r.reason = "why";
        r.source = std::move(source);
        return r;
    };
    using TK = TransportRefusal::Kind;
    struct Case {
        const char* name;
        TransportRefusal refusal;
        HostNotice notice;
    };
    const Case cases[] = {
        {"wrong PIN",
         refusal(TK::wrongPIN, HostChannel::wifi, 0, "192.0.2.7"),
         {K::wrongPIN, HostChannel::wifi, "192.0.2.7", 0, ""}},
        {"unknown device",
         refusal(TK::refused, HostChannel::wifi, 401, "192.0.2.7"),
         {K::unknownDevice, HostChannel::wifi, "192.0.2.7", 401, "why"}},
        {"bad token on the cable: no address",
         refusal(TK::refused, HostChannel::usb, SessionGatekeeper::codeBadToken, "ignored"),
         {K::badToken, HostChannel::usb, "", SessionGatekeeper::codeBadToken, "why"}},
        {"outdated app",
         refusal(TK::refused, HostChannel::wifi, SessionGatekeeper::codeVersionMismatch, "a"),
         {K::outdatedClient, HostChannel::wifi, "a", SessionGatekeeper::codeVersionMismatch,
          "why"}},
        {"anything else",
         refusal(TK::refused, HostChannel::wifi, 408, "a"),
         {K::refused, HostChannel::wifi, "a", 408, "why"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(noticeFor(c.refusal), c.notice) << c.name;
    }
}

} // namespace
