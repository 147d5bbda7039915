#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace quillon::wire {

// The one-byte type code of a frame. 0x01-0x1F travel from the tablet to the host,
// 0x81-0x8F from the host to the tablet; every other byte is unassigned.
enum class MessageType : std::uint8_t {
    pairRequest = 0x01,
    hello = 0x02,
    pointerAbsolute = 0x10,
    pointerRelative = 0x11,
    mouseButton = 0x12,
    scroll = 0x13,
    keyCombo = 0x14,
    textInput = 0x15,
    setMode = 0x16,
    setQuality = 0x17, // reserved: a code without a message
    requestIDR = 0x18, // reserved: a code without a message
    gesture = 0x19,
    magnify = 0x1A,
    multiClick = 0x1B,
    setStickyModifiers = 0x1C,
    listApplications = 0x1D,
    activateApplication = 0x1E,
    heartbeat = 0x1F,
    pairResult = 0x81,
    helloAck = 0x82,
    displayInfoChanged = 0x83,
    heartbeatAck = 0x84,
    applicationList = 0x85,
    error = 0x8F,
};

// Declaration order.
inline constexpr std::array<MessageType, 24> allMessageTypes = {
    MessageType::pairRequest,
    MessageType::hello,
    MessageType::pointerAbsolute,
    MessageType::pointerRelative,
    MessageType::mouseButton,
    MessageType::scroll,
    MessageType::keyCombo,
    MessageType::textInput,
    MessageType::setMode,
    MessageType::setQuality,
    MessageType::requestIDR,
    MessageType::gesture,
    MessageType::magnify,
    MessageType::multiClick,
    MessageType::setStickyModifiers,
    MessageType::listApplications,
    MessageType::activateApplication,
    MessageType::heartbeat,
    MessageType::pairResult,
    MessageType::helloAck,
    MessageType::displayInfoChanged,
    MessageType::heartbeatAck,
    MessageType::applicationList,
    MessageType::error,
};

constexpr std::uint8_t rawValue(MessageType t) noexcept {
    return static_cast<std::uint8_t>(t);
}

namespace detail {
// Which bytes are assigned codes: one lookup instead of a branchy switch on the frame path.
inline constexpr auto assignedCodes = [] {
    std::array<bool, 256> table{};
    for (MessageType t : allMessageTypes) {
        table[static_cast<std::uint8_t>(t)] = true;
    }
    return table;
}();
} // namespace detail

// Exactly the 24 codes above; nothing for every other byte.
constexpr std::optional<MessageType> messageTypeFromRaw(std::uint8_t raw) noexcept {
    if (detail::assignedCodes[raw]) {
        return static_cast<MessageType>(raw);
    }
    return std::nullopt;
}

// The case name ("pointerAbsolute").
const char* caseName(MessageType t) noexcept;

} // namespace quillon::wire
