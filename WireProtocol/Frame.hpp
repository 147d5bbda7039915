#pragma once

#include "WireProtocol/Bytes.hpp"
#include "WireProtocol/MessageType.hpp"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <utility>

namespace quillon::wire {

// One message on the stream: type byte, u32 little-endian payload length, payload.
struct Frame {
    MessageType type;
    Bytes payload;
    bool operator==(const Frame&) const = default;
};

// A frame whose payload still lives in the decoder's buffer. Valid until the decoder is
// changed again (the next nextFrame*/append call).
struct FrameView {
    MessageType type;
    ByteView payload;
};

namespace FrameCodec {
inline constexpr int headerSize = 5;
inline constexpr std::uint32_t maxPayloadSize = 4'194'304; // 4 MiB

// Header plus payload. No check against maxPayloadSize: a payload above it makes a frame
// every decoder rejects, so senders keep within it. A payload of 2^32 bytes or more cannot be
// expressed at all and throws std::length_error.
Bytes encode(const Frame& frame);
// Appends the encoded frame to `out` (for writers that batch frames into one buffer).
void encodeInto(Bytes& out, MessageType type, ByteView payload);
} // namespace FrameCodec

class FrameDecodeError : public std::exception {
public:
    enum class Kind { payloadTooLarge, unknownMessageType };

    static FrameDecodeError payloadTooLarge(std::uint32_t declared) {
        return FrameDecodeError(Kind::payloadTooLarge, declared);
    }
    static FrameDecodeError unknownMessageType(std::uint8_t type) {
        return FrameDecodeError(Kind::unknownMessageType, type);
    }

    Kind kind() const noexcept { return kind_; }
    // The declared length (payloadTooLarge) or the type byte (unknownMessageType).
    std::uint32_t value() const noexcept { return value_; }
    const char* what() const noexcept override;
    bool operator==(const FrameDecodeError& o) const noexcept {
        return kind_ == o.kind_ && value_ == o.value_;
    }

private:
    FrameDecodeError(Kind k, std::uint32_t v) : kind_(k), value_(v) {}
    Kind kind_;
    std::uint32_t value_;
};

// Cuts a byte stream into frames. Buffered bytes grow only with what arrived, never with a
// declared length, and consumed frames are dropped without moving the rest after every frame
// (the buffer is compacted lazily), so decoding costs time linear in the bytes.
//
// After payloadTooLarge the offending header stays at the front and every later call throws
// again: the stream cannot be resynchronised and the owner ends the connection. After
// unknownMessageType the frame is gone and the stream stays in step.
class FrameDecoder {
public:
    FrameDecoder() = default;
    // The read position is a pointer into the buffer (one add less on every frame than an
    // index), so copies re-aim it at their own buffer and moves take it along.
    FrameDecoder(const FrameDecoder& other)
        : buffer_(other.buffer_), next_(buffer_.data() + other.consumed()) {}
    FrameDecoder(FrameDecoder&& other) noexcept
        : buffer_(std::move(other.buffer_)), next_(other.next_) {
        other.reset();
    }
    FrameDecoder& operator=(const FrameDecoder& other) {
        if (this != &other) {
            buffer_ = other.buffer_;
            next_ = buffer_.data() + other.consumed();
        }
        return *this;
    }
    FrameDecoder& operator=(FrameDecoder&& other) noexcept {
        if (this != &other) {
            buffer_ = std::move(other.buffer_);
            next_ = other.next_;
            other.reset();
        }
        return *this;
    }

    void append(ByteView data);

    // The next whole frame (payload copied), or nothing until one has arrived.
    std::optional<Frame> nextFrame();
    // The same without copying the payload. `limit` lowers the payload limit below
    // maxPayloadSize (a peer that is not admitted yet gets a smaller one).
    std::optional<FrameView> nextFrameView(std::uint32_t limit = FrameCodec::maxPayloadSize);

    // Bytes received and not yet returned as frames.
    std::size_t bufferedBytes() const noexcept {
        return static_cast<std::size_t>(buffer_.data() + buffer_.size() - next_);
    }

private:
    [[noreturn]] static void throwPayloadTooLarge(std::uint32_t length);
    [[noreturn]] static void throwUnknownMessageType(std::uint8_t type);

    void reset() noexcept {
        buffer_.clear();
        next_ = buffer_.data();
    }
    std::size_t consumed() const noexcept {
        return static_cast<std::size_t>(next_ - buffer_.data());
    }

    Bytes buffer_;
    const std::uint8_t* next_ = nullptr; // first unconsumed byte of buffer_
};

// Inline: called once per frame on every connection's receive path.
inline std::optional<FrameView> FrameDecoder::nextFrameView(std::uint32_t limit) {
    const std::uint8_t* const header = next_;
    const std::size_t available =
        static_cast<std::size_t>(buffer_.data() + buffer_.size() - header);
    if (available < static_cast<std::size_t>(FrameCodec::headerSize)) {
        return std::nullopt;
    }
    const std::uint32_t length = loadLE32(header + 1);
    if (length > FrameCodec::maxPayloadSize || length > limit) {
        throwPayloadTooLarge(length); // the header stays: every later call throws again
    }
    if (available - FrameCodec::headerSize < length) {
        return std::nullopt;
    }
    next_ = header + FrameCodec::headerSize + length;
    // The type is looked at only now, after the frame is removed, so an unknown one is skipped.
    const auto type = messageTypeFromRaw(header[0]);
    if (!type) {
        throwUnknownMessageType(header[0]);
    }
    return FrameView{*type, ByteView(header + FrameCodec::headerSize, length)};
}

} // namespace quillon::wire
