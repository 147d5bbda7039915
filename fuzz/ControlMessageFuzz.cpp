// One message payload: byte 0 picks the type among all 24 codes, the rest is the payload.
// A successful decode must re-encode to a frame of the same type that decodes identically
// (floats bit for bit); a failure must name the frame's type.
#include "WireProtocol/ControlMessage.hpp"

#include <cstdint>

using namespace quillon::wire;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const MessageType type = allMessageTypes[data[0] % allMessageTypes.size()];
    const ByteView payload(data + 1, size - 1);
    try {
        const ControlMessage m = ControlMessage::decode(type, payload);
        if (m.type() != type) {
            __builtin_trap();
        }
        const Frame frame = m.encode();
        const ControlMessage back = ControlMessage::decode(frame);
        if (frame.type != type || !ControlMessage::identical(m, back) || back.encode() != frame) {
            __builtin_trap();
        }
        // Re-encoding never grows beyond what was read: trailing bytes are dropped and every
        // field keeps its width.
        if (frame.payload.size() > payload.size()) {
            __builtin_trap();
        }
        (void)m.description();
    } catch (const ControlMessageDecodeError& e) {
        if (e.type() != type) {
            __builtin_trap();
        }
    }
    return 0;
}
