#pragma once

#include "WireProtocol/Bytes.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace quillon::wire {

// Reads little-endian fields from a byte view. Every read returns a value and advances, or
// returns nothing and leaves the cursor where it was (readString() after invalid UTF-8 is the
// one exception: the bytes count as consumed). Never reads past its bytes.
// The reader does not own the bytes: they must outlive it.
class ByteReader {
public:
    explicit ByteReader(ByteView data) noexcept : data_(data) {}

    std::size_t cursor() const noexcept { return cursor_; }
    std::size_t remaining() const noexcept { return data_.size() - cursor_; }

    std::optional<std::uint8_t> readUInt8() noexcept;
    std::optional<std::uint16_t> readUInt16() noexcept;
    std::optional<std::uint32_t> readUInt32() noexcept;
    std::optional<std::uint64_t> readUInt64() noexcept;
    // The bit pattern as it stands, NaN payloads included.
    std::optional<float> readFloat32() noexcept;
    // A u32 length, then that many bytes as an independent copy.
    std::optional<Bytes> readBytes();
    // readBytes() as strict UTF-8.
    std::optional<std::string> readString();

private:
    // Length-prefixed view without copying; nothing (and the cursor unchanged) when short.
    std::optional<ByteView> readLengthPrefixed() noexcept;

    ByteView data_;
    std::size_t cursor_ = 0;
};

} // namespace quillon::wire
