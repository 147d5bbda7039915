// A byte stream cut into chunks at points the input chooses, decoded into frames and messages.
// Input layout: byte 0 = n (low 4 bits), bytes 1..n = chunk lengths (0 means 1, used in turn),
// the rest = the stream. Invariants: the frames, and the errors between them, do not depend on
// where the stream was cut; every decoded message re-encodes to one that decodes identically.
#include "WireProtocol/ControlMessage.hpp"
#include "WireProtocol/Frame.hpp"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <variant>
#include <vector>

using namespace quillon::wire;

namespace {

struct Unknown {
    std::uint8_t type;
    bool operator==(const Unknown&) const = default;
};
struct TooLarge {
    std::uint32_t length;
    bool operator==(const TooLarge&) const = default;
};
using Event = std::variant<Frame, Unknown, TooLarge>;

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            __builtin_trap();                                                                      \
        }                                                                                          \
    } while (0)

void checkMessage(MessageType type, ByteView payload) {
    try {
        const ControlMessage m = ControlMessage::decode(type, payload);
        CHECK(m.type() == type);
        const Frame again = m.encode();
        CHECK(again.type == type);
        const ControlMessage back = ControlMessage::decode(again);
        CHECK(ControlMessage::identical(m, back));
        CHECK(back.encode() == again);
        (void)m.description();
    } catch (const ControlMessageDecodeError& e) {
        CHECK(e.type() == type);
    }
}

// Pulls frames until none is left or the stream is stuck. Returns true when stuck.
bool drain(FrameDecoder& d, std::vector<Event>& events, bool useViews) {
    for (;;) {
        try {
            if (useViews) {
                const auto view = d.nextFrameView();
                if (!view) {
                    return false;
                }
                CHECK(view->payload.size() <= FrameCodec::maxPayloadSize);
                checkMessage(view->type, view->payload);
                events.emplace_back(
                    Frame{view->type, Bytes(view->payload.begin(), view->payload.end())});
            } else {
                auto frame = d.nextFrame();
                if (!frame) {
                    return false;
                }
                events.emplace_back(std::move(*frame));
            }
        } catch (const FrameDecodeError& e) {
            if (e.kind() == FrameDecodeError::Kind::payloadTooLarge) {
                CHECK(e.value() > FrameCodec::maxPayloadSize);
                events.emplace_back(TooLarge{e.value()});
                // Stuck for good: the same error again, nothing consumed.
                const std::size_t before = d.bufferedBytes();
                bool again = false;
                try {
                    d.nextFrame();
                } catch (const FrameDecodeError& e2) {
                    again = e2 == e;
                }
                CHECK(again && d.bufferedBytes() == before);
                return true;
            }
            CHECK(!messageTypeFromRaw(static_cast<std::uint8_t>(e.value())));
            events.emplace_back(Unknown{static_cast<std::uint8_t>(e.value())});
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t cuts = std::min<std::size_t>(data[0] & 0x0F, size - 1);
    const ByteView cutLengths(data + 1, cuts);
    const ByteView stream(data + 1 + cuts, size - 1 - cuts);

    // Reference: the whole stream in one append.
    FrameDecoder whole;
    whole.append(stream);
    std::vector<Event> expected;
    drain(whole, expected, false);

    // The same stream in chunks, draining after every append.
    FrameDecoder chunked;
    std::vector<Event> got;
    bool stuck = false;
    std::size_t at = 0;
    for (std::size_t i = 0; at < stream.size() && !stuck; ++i) {
        std::size_t len = cuts == 0 ? stream.size() : cutLengths[i % cuts];
        len = std::min<std::size_t>(len == 0 ? 1 : len, stream.size() - at);
        chunked.append(stream.subspan(at, len));
        at += len;
        stuck = drain(chunked, got, true);
    }
    CHECK(got == expected);
    if (!stuck) {
        CHECK(chunked.bufferedBytes() == whole.bufferedBytes());
    }
    return 0;
}
