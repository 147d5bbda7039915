#include "WireProtocol/ByteReader.hpp"

#include <bit>
#include <cstring>

namespace quillon::wire {

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

std::optional<std::string_view> ByteReader::readStringView() noexcept {
    const auto view = readLengthPrefixed();
    if (!view || !isValidUTF8(*view)) {
        return std::nullopt; // invalid UTF-8 leaves the bytes consumed
    }
    return std::string_view(reinterpret_cast<const char*>(view->data()), view->size());
}

std::optional<std::string> ByteReader::readString() {
    const auto view = readLengthPrefixed();
    if (!view || !isValidUTF8(*view)) {
        return std::nullopt; // invalid UTF-8 leaves the bytes consumed
    }
    return std::string(reinterpret_cast<const char*>(view->data()), view->size());
}

} // namespace quillon::wire
