#include "WireProtocol/ByteWriter.hpp"

#include <bit>
#include <cstdint>
#include <stdexcept>

namespace quillon::wire {

void ByteWriter::writeUInt8(std::uint8_t value) {
    data_.push_back(value);
}

void ByteWriter::writeUInt16(std::uint16_t value) {
    const std::uint8_t b[2] = {static_cast<std::uint8_t>(value),
                               static_cast<std::uint8_t>(value >> 8)};
    data_.insert(data_.end(), b, b + 2);
}

void ByteWriter::writeUInt32(std::uint32_t value) {
    const std::uint8_t b[4] = {
        static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
        static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    data_.insert(data_.end(), b, b + 4);
}

void ByteWriter::writeUInt64(std::uint64_t value) {
    std::uint8_t b[8];
    for (int i = 0; i < 8; ++i) {
        b[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    data_.insert(data_.end(), b, b + 8);
}

void ByteWriter::writeFloat32(float value) {
    writeUInt32(std::bit_cast<std::uint32_t>(value));
}

void ByteWriter::writeBytes(ByteView bytes) {
    if (bytes.size() > UINT32_MAX) {
        // The prefix cannot express it; truncating would desynchronise every later field.
        throw std::length_error("byte string longer than a 32-bit length prefix");
    }
    writeUInt32(static_cast<std::uint32_t>(bytes.size()));
    append(bytes);
}

void ByteWriter::writeString(std::string_view utf8) {
    writeBytes(ByteView(reinterpret_cast<const std::uint8_t*>(utf8.data()), utf8.size()));
}

void ByteWriter::append(ByteView bytes) {
    data_.insert(data_.end(), bytes.begin(), bytes.end());
}

} // namespace quillon::wire
