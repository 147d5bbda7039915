// One message payload: byte 0 picks the type among all 24 codes, the rest is the payload.
// A successful decode must re-encode to a frame of the same type that decodes identically
// (floats bit for bit); a failure must name the frame's type. The inline fast path and the
// complete decoder must agree on every input.
#include "WireProtocol/ControlMessage.hpp"

#include <cstdint>
#include <optional>
#include <variant>

using namespace quillon::wire;

namespace {

using Outcome = std::variant<ControlMessage, ControlMessageDecodeError>;

template <typename Decode> Outcome run(Decode&& decode) {
    try {
        return decode();
    } catch (const ControlMessageDecodeError& e) {
        return e;
    }
}

bool same(const Outcome& a, const Outcome& b) {
    if (a.index() != b.index()) {
        return false;
    }
    if (const auto* m = std::get_if<ControlMessage>(&a)) {
        return ControlMessage::identical(*m, std::get<ControlMessage>(b));
    }
    return std::get<ControlMessageDecodeError>(a) == std::get<ControlMessageDecodeError>(b);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const MessageType type = allMessageTypes[data[0] % allMessageTypes.size()];
    const ByteView payload(data + 1, size - 1);
    const Outcome fast = run([&] { return ControlMessage::decode(type, payload); });
    const Outcome general = run([&] { return ControlMessage::decodeGeneral(type, payload); });
    if (!same(fast, general)) {
        __builtin_trap();
    }
    if (const auto* e = std::get_if<ControlMessageDecodeError>(&fast)) {
        if (e->type() != type) {
            __builtin_trap();
        }
        return 0;
    }
    const ControlMessage& m = std::get<ControlMessage>(fast);
    if (m.type() != type) {
        __builtin_trap();
    }
    const Frame frame = m.encode();
    const ControlMessage back = ControlMessage::decode(frame);
    if (frame.type != type || !ControlMessage::identical(m, back) || back.encode() != frame) {
        __builtin_trap();
    }
    // Re-encoding never grows beyond what was read: trailing bytes are dropped and every field
    // keeps its width.
    if (frame.payload.size() > payload.size()) {
        __builtin_trap();
    }
    (void)m.description();
    return 0;
}
