#pragma once

#include "WireProtocol/Bytes.hpp"

#include <cstdint>
#include <string_view>

namespace quillon::wire {

// Appends little-endian fields. Length prefixes are u32: a byte string of 2^32 bytes or more
// is a caller error (frames never come near it) and throws std::length_error.
class ByteWriter {
public:
    ByteWriter() = default;
    explicit ByteWriter(Bytes&& reuse) noexcept : data_(std::move(reuse)) { data_.clear(); }

    const Bytes& data() const noexcept { return data_; }
    Bytes take() noexcept { return std::move(data_); }
    void reserve(std::size_t n) { data_.reserve(n); }

    void writeUInt8(std::uint8_t value);
    void writeUInt16(std::uint16_t value);
    void writeUInt32(std::uint32_t value);
    void writeUInt64(std::uint64_t value);
    void writeFloat32(float value);
    void writeBytes(ByteView bytes);
    void writeString(std::string_view utf8);
    // Raw bytes without a length prefix.
    void append(ByteView bytes);

private:
    Bytes data_;
};

} // namespace quillon::wire
