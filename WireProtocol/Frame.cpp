#include "WireProtocol/Frame.hpp"

#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace quillon::wire {

namespace FrameCodec {

void encodeInto(Bytes& out, MessageType type, ByteView payload) {
    if (payload.size() > UINT32_MAX) {
        // A wrapped length would make the peer read the rest of the stream as garbage.
        throw std::length_error("frame payload longer than a 32-bit length");
    }
    const auto n = static_cast<std::uint32_t>(payload.size());
    const std::uint8_t header[headerSize] = {
        rawValue(type), static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
        static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 24)};
    out.reserve(out.size() + headerSize + payload.size());
    out.insert(out.end(), header, header + headerSize);
    out.insert(out.end(), payload.begin(), payload.end());
}

Bytes encode(const Frame& frame) {
    Bytes out;
    encodeInto(out, frame.type, frame.payload);
    return out;
}

} // namespace FrameCodec

const char* FrameDecodeError::what() const noexcept {
    return kind_ == Kind::payloadTooLarge ? "frame payload too large" : "unknown message type";
}

void FrameDecoder::append(ByteView data) {
    if (data.empty()) {
        return;
    }
    // Once the front header declares more than any frame may hold, nothing after it can ever be
    // decoded (every call throws payloadTooLarge again). Keeping further data would only let an
    // owner that does not close the connection grow memory without bound.
    if (bufferedBytes() >= static_cast<std::size_t>(FrameCodec::headerSize) &&
        loadLE32(next_ + 1) > FrameCodec::maxPayloadSize) {
        return;
    }
    // Drop consumed bytes before growing, so the buffer never holds more than one partial
    // frame plus the new data. Moving only happens when the consumed part is at least half of
    // the buffer, which keeps the amortised cost linear.
    std::size_t start = consumed();
    if (start > 0 && (start == buffer_.size() || start >= buffer_.size() / 2)) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start));
        start = 0;
    }
    buffer_.insert(buffer_.end(), data.begin(), data.end()); // may move the bytes
    next_ = buffer_.data() + start;
}

void FrameDecoder::throwPayloadTooLarge(std::uint32_t length) {
    throw FrameDecodeError::payloadTooLarge(length);
}

void FrameDecoder::throwUnknownMessageType(std::uint8_t type) {
    throw FrameDecodeError::unknownMessageType(type);
}

std::optional<Frame> FrameDecoder::nextFrame() {
    const auto view = nextFrameView();
    if (!view) {
        return std::nullopt;
    }
    return Frame{view->type, Bytes(view->payload.begin(), view->payload.end())};
}

} // namespace quillon::wire
