// test-labels: transport
#include "Quillon/Transport/Session.hpp"

#include "Quillon/Pairing/PairingSession.hpp"
#include "Quillon/Pairing/SessionGatekeeper.hpp"
#include "Quillon/Transport/HeartbeatMonitor.hpp"
#include "WireProtocol/Frame.hpp"
#include "tests/support/TransportHelpers.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace quillon;
using namespace quillon::testing;
namespace cm = quillon::wire::cm;
using wire::ControlMessage;
using P = SessionPhase;
using E = SessionEvent;

namespace {

// A short, exact label per message: enough to tell every reply and delivery apart.
std::string label(const ControlMessage& m) {
    if (const auto* e = m.getIf<cm::Error>()) {
        return "error " + std::to_string(e->code) + " " + e->message;
    }
    if (const auto* r = m.getIf<cm::PointerRelative>()) {
        return "pointerRelative " + std::to_string(static_cast<int>(r->dx));
    }
    return wire::caseName(m.type());
}

wire::Bytes frames(const std::vector<ControlMessage>& messages) {
    wire::Bytes out;
    for (const auto& m : messages) {
        const auto frame = m.encode();
        wire::FrameCodec::encodeInto(out, frame.type, frame.payload);
    }
    return out;
}

TEST(SessionTransitionTest, EveryPhaseAndEventOnBothChannels) {
    using C = SessionChannel;
    const std::vector<P> phases = {P::handshaking, P::awaitingHello, P::pairing,
                                   P::admitted,    P::refused,       P::closing};
    const std::vector<E> events = {E::secured, E::admitted, E::refused, E::closed};
    struct Legal {
        P from;
        E event;
        std::optional<C> channel; // none: on either channel
        P to;
    };
    // Everything else is refused, closing included: nothing leaves it.
    const std::vector<Legal> legal = {
        {P::handshaking, E::secured, C::main, P::awaitingHello},
        {P::handshaking, E::secured, C::pairing, P::pairing},
        {P::awaitingHello, E::admitted, std::nullopt, P::admitted},
        {P::awaitingHello, E::refused, std::nullopt, P::refused},
        {P::pairing, E::refused, std::nullopt, P::refused},
        {P::handshaking, E::closed, std::nullopt, P::closing},
        {P::awaitingHello, E::closed, std::nullopt, P::closing},
        {P::pairing, E::closed, std::nullopt, P::closing},
        {P::admitted, E::closed, std::nullopt, P::closing},
        {P::refused, E::closed, std::nullopt, P::closing},
    };
    for (const auto channel : {C::main, C::pairing}) {
        for (const auto from : phases) {
            for (const auto event : events) {
                std::optional<P> expected;
                for (const auto& l : legal) {
                    if (l.from == from && l.event == event &&
                        (!l.channel || *l.channel == channel)) {
                        expected = l.to;
                    }
                }
                EXPECT_EQ(sessionTransition(from, event, channel), expected)
                    << rawValue(from) << " + " << rawValue(event) << " on "
                    << (channel == C::main ? "main" : "pairing");
            }
        }
    }
}

// One session over a recording link, with the services a transport gives it.
class SessionTest : public ::testing::Test, public SessionLink, public SessionDelegate {
protected:
    void SetUp() override {
        device = PairedDevice{"11111111-2222-3333-4444-555555555555", "iPad",
                              wire::PSKProvider::randomBytes(32), 1000.0, std::nullopt};
        store.save(device);
    }

    Session& make(SessionChannel channel, SessionRules rules = SessionRules::wifi(1024)) {
        session = std::make_unique<Session>(channel, rules, services, *this, *this);
        session->secured();
        return *session;
    }

    cm::Hello hello(std::uint16_t version = 2) const {
        return {device.deviceID, device.token, device.deviceName, version};
    }

    // SessionLink: every written frame decoded back.
    void write(wire::ByteView bytes) override {
        wire::FrameDecoder decoder;
        decoder.append(bytes);
        while (auto frame = decoder.nextFrame()) {
            log.push_back("write " + label(ControlMessage::decode(*frame)));
        }
        EXPECT_EQ(decoder.bufferedBytes(), 0u) << "only whole frames are written";
    }
    void closeAfterWrites() override { log.push_back("closeAfterWrites"); }
    void closeNow() override { log.push_back("closeNow"); }

    // SessionDelegate
    void sessionAdmitted(const PairedDevice& d) override {
        log.push_back("admitted " + d.deviceID);
    }
    void sessionReceived(std::span<const ControlMessage> messages,
                         const std::string& deviceID) override {
        EXPECT_FALSE(messages.empty());
        EXPECT_EQ(deviceID, device.deviceID);
        std::string line = "burst";
        for (const auto& m : messages) {
            line += " [" + label(m) + "]";
        }
        log.push_back(line);
        if (closeInBurst) {
            session->close();
        }
    }
    void sessionPaired(const PairedDevice& d) override { log.push_back("paired " + d.deviceName); }

    std::vector<std::string> take() { return std::exchange(log, {}); }

    TestPairingStore store;
    HeartbeatMonitor heartbeat;
    PairingSession window;
    int clockReads = 0;
    double now = 5000;
    SessionServices services{store,
                             [this] {
                                 ++clockReads;
                                 return now;
                             },
                             [] {
                                 return cm::HelloAck{1920, 1080, 2.0F};
                             },
                             &heartbeat, &window};
    std::unique_ptr<Session> session;
    PairedDevice device;
    std::vector<std::string> log;
    bool closeInBurst = false;
};

TEST_F(SessionTest, OneReadIsOneBurstAfterAdmissionAndItsReplies) {
    Session& s = make(SessionChannel::main);
    EXPECT_EQ(s.phase(), P::awaitingHello);
    // Hello, input, a heartbeat and more input, all in one read: admitted first, the replies
    // written as the frames come, every admitted message delivered once at the end.
    s.receive(frames(
        {hello(), cm::PointerRelative{1, 0}, cm::Heartbeat{}, cm::PointerRelative{2, 0}, hello()}));
    EXPECT_EQ(take(), (std::vector<std::string>{
                          "write helloAck", "admitted " + device.deviceID, "write heartbeatAck",
                          "burst [pointerRelative 1] [pointerRelative 2] [hello]"}));
    EXPECT_EQ(s.phase(), P::admitted);
    EXPECT_EQ(s.deviceID(), device.deviceID);
    EXPECT_EQ(clockReads, 1) << "one clock read per read, not per frame";
    EXPECT_EQ(store.device(device.deviceID)->lastSeenAt, now);
    now += 10;
    EXPECT_EQ(heartbeat.timedOut(now), std::vector<std::string>{device.deviceID});

    // Frames cut across reads: each read delivers the frames it completed, none is empty.
    now = 6000;
    const auto bytes = frames({cm::PointerRelative{3, 0}, cm::PointerRelative{4, 0}});
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        s.receive(wire::ByteView(bytes.data() + i, 1));
    }
    EXPECT_EQ(take(),
              (std::vector<std::string>{"burst [pointerRelative 3]", "burst [pointerRelative 4]"}));
    EXPECT_TRUE(heartbeat.timedOut(6003).empty()) << "heard at 6000";

    // A payload that does not decode and an unknown type are dropped without refreshing the
    // heartbeat; the stream stays in step.
    now = 7000;
    wire::Bytes junk;
    wire::FrameCodec::encodeInto(junk, wire::MessageType::pointerRelative, wire::Bytes{1, 2});
    junk.insert(junk.end(), {0xEE, 0, 0, 0, 0});
    s.receive(junk);
    EXPECT_EQ(heartbeat.timedOut(6004), std::vector<std::string>{device.deviceID});
    s.receive(frames({cm::PointerRelative{5, 0}}));
    s.close();
    s.receive(frames({cm::PointerRelative{6, 0}}));
    EXPECT_EQ(take(), std::vector<std::string>{"burst [pointerRelative 5]"});
    EXPECT_EQ(s.phase(), P::closing);
}

TEST_F(SessionTest, RefusalsWriteOneErrorThenCloseAndIgnoreTheRest) {
    struct Case {
        std::string name;
        SessionRules rules;
        std::function<ControlMessage(cm::Hello)> first; // of a good hello
        std::vector<std::string> expected;              // empty: ignored, still awaiting a hello
    };
    auto badToken = [](cm::Hello h) {
        h.token[0] ^= 1;
        return ControlMessage(h);
    };
    auto unknown = [](cm::Hello h) {
        h.deviceID = "someone else";
        return ControlMessage(h);
    };
    const std::vector<Case> cases = {
        {"wifi heartbeat first",
         SessionRules::wifi(1024),
         [](cm::Hello) { return ControlMessage(cm::Heartbeat{}); },
         {"write error 400 首个消息必须是 hello", "closeAfterWrites"}},
        {"wifi old version",
         SessionRules::wifi(1024),
         [](cm::Hello h) {
             h.protocolVersion = 1;
             return ControlMessage(h);
         },
         {"write error 426 " + std::string(SessionGatekeeper::versionMismatchReason),
          "closeAfterWrites"}},
        {"wifi unknown device",
         SessionRules::wifi(1024),
         unknown,
         {"write error 401 未配对设备", "closeAfterWrites"}},
        {"wifi bad token",
         SessionRules::wifi(1024),
         badToken,
         {"write error 403 凭据无效", "closeAfterWrites"}},
        {"usb heartbeat first",
         SessionRules::usb(),
         [](cm::Hello) { return ControlMessage(cm::Heartbeat{}); },
         {}},
        {"usb old version",
         SessionRules::usb(),
         [](cm::Hello h) {
             h.protocolVersion = 1;
             return ControlMessage(h);
         },
         {"write error 426 " + std::string(SessionGatekeeper::versionMismatchReason),
          "closeAfterWrites"}},
        {"usb bad token",
         SessionRules::usb(),
         badToken,
         {"write error 403 凭据无效", "closeAfterWrites"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Session& s = make(SessionChannel::main, c.rules);
        // What follows the refused message in the same read, or later, is not acted on.
        s.receive(frames({c.first(hello()), hello(), cm::PointerRelative{1, 0}}));
        if (c.expected.empty()) {
            EXPECT_EQ(take(),
                      (std::vector<std::string>{"admitted " + device.deviceID, "write helloAck",
                                                "burst [pointerRelative 1]"}));
            continue;
        }
        EXPECT_EQ(s.phase(), P::refused);
        s.receive(frames({hello(), cm::Heartbeat{}}));
        EXPECT_EQ(take(), c.expected);
        EXPECT_EQ(s.bufferedBytes(), 0u) << "nothing is kept for a refused peer";
        EXPECT_FALSE(s.deviceID());
        EXPECT_FALSE(store.device(device.deviceID)->lastSeenAt) << "the store is not touched";
    }
}

TEST_F(SessionTest, CableSessionsReportBeforeTheAckAndIgnoreASecondHello) {
    Session& s = make(SessionChannel::main, SessionRules::usb());
    s.receive(frames({hello(), hello(), cm::Heartbeat{}, cm::PointerRelative{7, 0}}));
    EXPECT_EQ(take(),
              (std::vector<std::string>{"admitted " + device.deviceID, "write helloAck",
                                        "write heartbeatAck", "burst [pointerRelative 7]"}));
    EXPECT_FALSE(store.device(device.deviceID)->lastSeenAt) << "a cable admission saves nothing";
}

TEST_F(SessionTest, FrameLimitsBeforeAndAfterAdmission) {
    const cm::TextInput big{std::string(2000, 'a')}; // over the 1024-byte pre-admission limit
    {
        Session& s = make(SessionChannel::main);
        s.receive(frames({big}));
        EXPECT_EQ(take(), std::vector<std::string>{"closeNow"});
        EXPECT_EQ(s.phase(), P::closing);
        s.receive(frames({hello()}));
        EXPECT_TRUE(take().empty());
    }
    {
        // Admitted: the protocol's limit applies. A header over it ends the connection, but
        // what was decoded before it in the same read is still delivered.
        Session& s = make(SessionChannel::main);
        wire::Bytes bytes = frames({hello(), big, cm::PointerRelative{8, 0}});
        bytes.push_back(static_cast<std::uint8_t>(wire::MessageType::textInput));
        const std::uint32_t tooLong = wire::FrameCodec::maxPayloadSize + 1;
        for (int shift = 0; shift < 32; shift += 8) {
            bytes.push_back(static_cast<std::uint8_t>(tooLong >> shift));
        }
        s.receive(bytes);
        EXPECT_EQ(take(),
                  (std::vector<std::string>{"write helloAck", "admitted " + device.deviceID,
                                            "burst [textInput] [pointerRelative 8]", "closeNow"}));
        EXPECT_EQ(s.phase(), P::closing);
    }
    {
        // Still handshaking: nothing is read as frames.
        session = std::make_unique<Session>(SessionChannel::main, SessionRules::wifi(1024),
                                            services, *this, *this);
        session->receive(frames({hello()}));
        EXPECT_EQ(session->phase(), P::handshaking);
        EXPECT_EQ(session->bufferedBytes(), 0u);
        EXPECT_TRUE(take().empty());
    }
}

TEST_F(SessionTest, ADelegateMayCloseTheSessionWhileReadingItsBurst) {
    Session& s = make(SessionChannel::main);
    s.receive(frames({hello()}));
    take();
    closeInBurst = true;
    s.receive(frames({cm::PointerRelative{1, 0}, cm::PointerRelative{2, 0}}));
    EXPECT_EQ(take(), std::vector<std::string>{"burst [pointerRelative 1] [pointerRelative 2]"});
    EXPECT_EQ(s.phase(), P::closing);
    s.receive(frames({cm::PointerRelative{3, 0}}));
    EXPECT_TRUE(take().empty());
}

TEST_F(SessionTest, PairingInsideTheWindowOnceAndItsRefusals) {
    // No window: 408 and close. Other messages are ignored.
    {
        Session& s = make(SessionChannel::pairing);
        EXPECT_EQ(s.phase(), P::pairing);
        s.receive(frames({cm::ListApplications{}, cm::PairRequest{"early"}}));
        EXPECT_EQ(take(),
                  (std::vector<std::string>{"write error 408 配对窗口已关闭", "closeAfterWrites"}));
    }
    // A store that cannot save: 500 and close, the window stays open for another attempt.
    window.open("123456", wire::Bytes(16, 7), now);
    store.failSaves = true;
    {
        Session& s = make(SessionChannel::pairing);
        s.receive(frames({cm::PairRequest{"failing"}}));
        EXPECT_EQ(take(), (std::vector<std::string>{"write error 500 保存配对记录失败",
                                                    "closeAfterWrites"}));
        EXPECT_TRUE(window.isOpen());
    }
    store.failSaves = false;
    {
        Session& s = make(SessionChannel::pairing);
        s.receive(frames({cm::PairRequest{"Lin's iPad"}, cm::PairRequest{"again"}}));
        EXPECT_EQ(take(),
                  (std::vector<std::string>{"write pairResult", "paired Lin's iPad",
                                            "write error 408 配对窗口已关闭", "closeAfterWrites"}));
        EXPECT_FALSE(window.isOpen()) << "one window pairs one device";
        EXPECT_EQ(store.allDevices().size(), 2u);
        EXPECT_FALSE(s.deviceID()) << "a pairing channel never admits";
    }
}

} // namespace
