#include "WireProtocol/ByteReader.hpp"

#include <bit>
#include <cstring>

namespace quillon::wire {

std::optional<std::uint8_t> ByteReader::readUInt8() noexcept {
    if (remaining() < 1) {
        return std::nullopt;
    }
    return data_[cursor_++];
}

std::optional<std::uint16_t> ByteReader::readUInt16() noexcept {
    if (remaining() < 2) {
        return std::nullopt;
    }
    const auto* p = data_.data() + cursor_;
    cursor_ += 2;
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::optional<std::uint32_t> ByteReader::readUInt32() noexcept {
    if (remaining() < 4) {
        return std::nullopt;
    }
    const auto* p = data_.data() + cursor_;
    cursor_ += 4;
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::optional<std::uint64_t> ByteReader::readUInt64() noexcept {
    if (remaining() < 8) {
        return std::nullopt;
    }
    std::uint64_t v = 0;
    const auto* p = data_.data() + cursor_;
    for (int i = 7; i >= 0; --i) {
        v = (v << 8) | p[i];
    }
    cursor_ += 8;
    return v;
}

std::optional<float> ByteReader::readFloat32() noexcept {
    const auto bits = readUInt32();
    if (!bits) {
        return std::nullopt;
    }
    return std::bit_cast<float>(*bits);
}

std::optional<ByteView> ByteReader::readLengthPrefixed() noexcept {
    const std::size_t start = cursor_;
    const auto length = readUInt32();
    if (!length) {
        return std::nullopt;
    }
    if (remaining() < *length) {
        cursor_ = start; // back before the length prefix
        return std::nullopt;
    }
    ByteView view = data_.subspan(cursor_, *length);
    cursor_ += *length;
    return view;
}

std::optional<Bytes> ByteReader::readBytes() {
    const auto view = readLengthPrefixed();
    if (!view) {
        return std::nullopt;
    }
    return Bytes(view->begin(), view->end());
}

std::optional<std::string> ByteReader::readString() {
    const auto view = readLengthPrefixed();
    if (!view || !isValidUTF8(*view)) {
        return std::nullopt; // invalid UTF-8 leaves the bytes consumed
    }
    return std::string(reinterpret_cast<const char*>(view->data()), view->size());
}

} // namespace quillon::wire
