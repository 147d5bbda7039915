// Untrusted bytes into one session, as a peer that proved nothing (or was just admitted) could
// send them, cut into reads at points the input chooses.
// Input layout: byte 0 = flags (bit 0: cable rules, bit 1: pairing channel, bit 2: start with a
// valid hello of the stored device, bit 3: a pairing window is open), byte 1 = n (low 4 bits),
// bytes 2..n+1 = read lengths (0 means 1, used in turn), the rest = the stream.
// Invariants: the session writes whole frames only; its phase moves only along the transition
// table; it never keeps more than it was given; closed and refused sessions keep nothing; a
// burst is never empty and comes only from an admitted device.
#include "Quillon/Pairing/InMemoryPairingStore.hpp"
#include "Quillon/Pairing/PairingSession.hpp"
#include "Quillon/Transport/HeartbeatMonitor.hpp"
#include "Quillon/Transport/Session.hpp"
#include "WireProtocol/Frame.hpp"

#include <cstdint>
#include <vector>

using namespace quillon;

namespace {

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            __builtin_trap();                                                                      \
        }                                                                                          \
    } while (0)

const char* const kDeviceID = "11111111-2222-3333-4444-555555555555";

struct Peer : SessionLink, SessionDelegate {
    Session* session = nullptr;
    void write(wire::ByteView bytes) override {
        wire::FrameDecoder decoder;
        decoder.append(bytes);
        while (decoder.nextFrame()) {
        }
        CHECK(decoder.bufferedBytes() == 0);
    }
    void closeAfterWrites() override { CHECK(session->phase() == SessionPhase::refused); }
    void closeNow() override { CHECK(session->phase() == SessionPhase::closing); }
    void sessionAdmitted(const PairedDevice& device) override {
        CHECK(device.deviceID == kDeviceID);
    }
    void sessionReceived(std::span<const wire::ControlMessage> messages,
                         const std::string& deviceID) override {
        CHECK(!messages.empty());
        CHECK(deviceID == kDeviceID);
        CHECK(session->deviceID() == deviceID);
    }
    void sessionPaired(const PairedDevice&) override {
        CHECK(session->channel() == SessionChannel::pairing);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::uint8_t flags = data[0];
    const std::size_t n = data[1] & 0x0F;
    if (size < 2 + n) {
        return 0;
    }
    const std::uint8_t* lengths = data + 2;
    wire::Bytes stream;
    if ((flags & 4) != 0) {
        const wire::Frame hello =
            wire::ControlMessage(wire::cm::Hello{kDeviceID, wire::Bytes(32, 7), "iPad", 2})
                .encode();
        wire::FrameCodec::encodeInto(stream, hello.type, hello.payload);
    }
    stream.insert(stream.end(), data + 2 + n, data + size);

    InMemoryPairingStore store;
    store.save(PairedDevice{kDeviceID, "iPad", wire::Bytes(32, 7), 1.0, std::nullopt});
    HeartbeatMonitor heartbeat;
    PairingSession window;
    if ((flags & 8) != 0) {
        window.open("123456", wire::Bytes(16, 1), 100.0);
    }
    const SessionServices services{store, [] { return 100.0; },
                                   [] {
                                       return wire::cm::HelloAck{1, 1, 1.0F};
                                   },
                                   &heartbeat, &window};
    Peer peer;
    const auto channel = (flags & 2) != 0 ? SessionChannel::pairing : SessionChannel::main;
    const SessionRules rules = (flags & 1) != 0 ? SessionRules::usb() : SessionRules::wifi(4096);
    Session session(channel, rules, services, peer, peer);
    peer.session = &session;
    session.secured();

    std::size_t offset = 0;
    std::size_t given = 0;
    for (std::size_t i = 0; offset < stream.size(); ++i) {
        std::size_t chunk = n == 0 ? stream.size() : lengths[i % n];
        chunk = std::min<std::size_t>(chunk == 0 ? 1 : chunk, stream.size() - offset);
        const SessionPhase before = session.phase();
        session.receive(wire::ByteView(stream.data() + offset, chunk));
        offset += chunk;
        given += chunk;
        const SessionPhase after = session.phase();
        // Several steps may happen in one read (admitted, then closed); each one is legal, so
        // the end phase is reachable from the start phase.
        if (after != before) {
            CHECK(before != SessionPhase::closing);
            CHECK(after != SessionPhase::handshaking);
        }
        CHECK(session.bufferedBytes() <= given);
        if (after == SessionPhase::refused || after == SessionPhase::closing) {
            CHECK(session.bufferedBytes() == 0);
        }
        CHECK(session.deviceID().has_value() ==
              (after == SessionPhase::admitted ||
               (session.deviceID() && after == SessionPhase::closing)));
    }
    return 0;
}
