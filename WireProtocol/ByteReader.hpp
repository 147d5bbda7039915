#pragma once

#include "WireProtocol/Bytes.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

    // The fixed-width reads are inline: they sit on the per-frame hot path.
    std::optional<std::uint8_t> readUInt8() noexcept {
        if (remaining() < 1) {
            return std::nullopt;
        }
        return data_[cursor_++];
    }
    std::optional<std::uint16_t> readUInt16() noexcept {
        if (remaining() < 2) {
            return std::nullopt;
        }
        const auto v = loadLE16(data_.data() + cursor_);
        cursor_ += 2;
        return v;
    }
    std::optional<std::uint32_t> readUInt32() noexcept {
        if (remaining() < 4) {
            return std::nullopt;
        }
        const auto v = loadLE32(data_.data() + cursor_);
        cursor_ += 4;
        return v;
    }
    std::optional<std::uint64_t> readUInt64() noexcept {
        if (remaining() < 8) {
            return std::nullopt;
        }
        const std::uint64_t v = loadLE32(data_.data() + cursor_) |
                                (std::uint64_t{loadLE32(data_.data() + cursor_ + 4)} << 32);
        cursor_ += 8;
        return v;
    }
    // The bit pattern as it stands, NaN payloads included.
    std::optional<float> readFloat32() noexcept {
        if (remaining() < 4) {
            return std::nullopt;
        }
        const auto v = std::bit_cast<float>(loadLE32(data_.data() + cursor_));
        cursor_ += 4;
        return v;
    }
    // A u32 length, then that many bytes as an independent copy.
    std::optional<Bytes> readBytes();
    // readBytes() as strict UTF-8.
    std::optional<std::string> readString();
    // readString() without the copy: a view into the reader's bytes, valid as long as they are.
    std::optional<std::string_view> readStringView() noexcept;

private:
    // Length-prefixed view without copying; nothing (and the cursor unchanged) when short.
    std::optional<ByteView> readLengthPrefixed() noexcept;

    ByteView data_;
    std::size_t cursor_ = 0;
};

} // namespace quillon::wire
