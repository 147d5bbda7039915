#pragma once

#include "WireProtocol/Bytes.hpp"
#include "WireProtocol/Frame.hpp"
#include "WireProtocol/InputTypes.hpp"
#include "WireProtocol/MessageType.hpp"

#include <bit>
#include <cstdint>
#include <exception>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace quillon::wire {

// One application of the host's launcher list.
struct AppEntry {
    std::string displayName;
    std::string bundleID;
    Bytes iconPNG;
    bool operator==(const AppEntry&) const = default;
};

// The payloads of the control messages, one struct per case (cm = control message).
// Equality is the derived one (floats compare by value, so NaN is unequal to itself; use
// ControlMessage::identical for a bit-for-bit comparison).
namespace cm {
struct PairRequest {
    std::string deviceName;
    bool operator==(const PairRequest&) const = default;
};
struct Hello {
    std::string deviceID;
    Bytes token;
    std::string deviceName;
    std::uint16_t protocolVersion = 0;
    bool operator==(const Hello&) const = default;
};
struct PointerAbsolute {
    float x = 0, y = 0, hoverZ = 0;
    bool operator==(const PointerAbsolute&) const = default;
};
struct PointerRelative {
    float dx = 0, dy = 0;
    bool operator==(const PointerRelative&) const = default;
};
struct MouseButton {
    wire::MouseButton button = wire::MouseButton::left;
    bool isDown = false;
    bool operator==(const MouseButton&) const = default;
};
struct Scroll {
    float dx = 0, dy = 0;
    ScrollPhase phase = ScrollPhase::began;
    bool operator==(const Scroll&) const = default;
};
struct KeyCombo {
    std::uint16_t keyCode = 0;
    KeyModifiers modifiers;
    bool operator==(const KeyCombo&) const = default;
};
struct TextInput {
    std::string text;
    bool operator==(const TextInput&) const = default;
};
struct SetMode {
    OperatingMode mode = OperatingMode::inputDevice;
    bool operator==(const SetMode&) const = default;
};
struct Gesture {
    TrackpadGesture gesture = TrackpadGesture::threeFingerUp;
    bool operator==(const Gesture&) const = default;
};
struct Magnify {
    float scale = 0;
    ScrollPhase phase = ScrollPhase::began;
    bool operator==(const Magnify&) const = default;
};
struct MultiClick {
    wire::MouseButton button = wire::MouseButton::left;
    std::uint8_t clickCount = 0;
    bool operator==(const MultiClick&) const = default;
};
struct SetStickyModifiers {
    KeyModifiers modifiers;
    bool operator==(const SetStickyModifiers&) const = default;
};
struct ActivateApplication {
    std::string bundleID;
    bool operator==(const ActivateApplication&) const = default;
};
struct PairResult {
    bool accepted = false;
    std::string deviceID;
    Bytes token;
    Bytes hostSecret;
    bool operator==(const PairResult&) const = default;
};
struct HelloAck {
    std::uint32_t screenWidth = 0, screenHeight = 0;
    float scale = 0;
    bool operator==(const HelloAck&) const = default;
};
struct DisplayInfoChanged {
    std::uint32_t screenWidth = 0, screenHeight = 0;
    float scale = 0;
    bool operator==(const DisplayInfoChanged&) const = default;
};
struct ApplicationList {
    std::vector<AppEntry> entries;
    bool operator==(const ApplicationList&) const = default;
};
struct Error {
    std::uint16_t code = 0;
    std::string message;
    bool operator==(const Error&) const = default;
};
struct ListApplications {
    bool operator==(const ListApplications&) const = default;
};
struct Heartbeat {
    bool operator==(const Heartbeat&) const = default;
};
struct HeartbeatAck {
    bool operator==(const HeartbeatAck&) const = default;
};
} // namespace cm

class ControlMessageDecodeError : public std::exception {
public:
    enum class Kind { malformedPayload, invalidEnumValue, unsupportedInThisPhase };

    ControlMessageDecodeError(Kind kind, MessageType type) : kind_(kind), type_(type) {}
    Kind kind() const noexcept { return kind_; }
    MessageType type() const noexcept { return type_; }
    const char* what() const noexcept override;
    bool operator==(const ControlMessageDecodeError& o) const noexcept {
        return kind_ == o.kind_ && type_ == o.type_;
    }

private:
    Kind kind_;
    MessageType type_;
};

// The decoded form of every frame, in both directions.
class ControlMessage {
public:
    using Value = std::variant<cm::PairRequest, cm::Hello, cm::PointerAbsolute, cm::PointerRelative,
                               cm::MouseButton, cm::Scroll, cm::KeyCombo, cm::TextInput,
                               cm::SetMode, cm::Gesture, cm::Magnify, cm::MultiClick,
                               cm::SetStickyModifiers, cm::ActivateApplication, cm::PairResult,
                               cm::HelloAck, cm::DisplayInfoChanged, cm::ApplicationList, cm::Error,
                               cm::ListApplications, cm::Heartbeat, cm::HeartbeatAck>;

    template <typename T>
    requires std::is_constructible_v<Value, T&&> ControlMessage(T&& payload)
        : value_(std::forward<T>(payload)) {}

    ControlMessage(const ControlMessage& other) : value_(other.value_) {}
    ControlMessage(ControlMessage&& other) noexcept : value_(std::move(other.value_)) {}
    ControlMessage& operator=(const ControlMessage& other) {
        value_ = other.value_;
        return *this;
    }
    ControlMessage& operator=(ControlMessage&& other) noexcept {
        value_ = std::move(other.value_);
        return *this;
    }
    // A message is built and dropped for every frame. The variant's own destructor dispatches
    // through a table of functions even for the alternatives that have nothing to destroy (the
    // input messages); those are skipped here, which is allowed because destroying them has no
    // effect.
    ~ControlMessage() {
        const std::size_t i = value_.index();
        if (i < std::variant_size_v<Value> && ((kTriviallyDestructible >> i) & 1U) != 0) {
            return;
        }
        value_.~Value();
    }

    MessageType type() const noexcept;
    const Value& value() const noexcept { return value_; }

    template <typename T> bool is() const noexcept { return std::holds_alternative<T>(value_); }
    template <typename T> const T* getIf() const noexcept { return std::get_if<T>(&value_); }
    template <typename T> const T& as() const { return std::get<T>(value_); }

    // The frame of this message: its type and payload as the wire lays them out. No limits are
    // applied (the senders keep within them).
    Frame encode() const;
    // Appends the payload only.
    void encodePayload(Bytes& out) const;

    // Throws ControlMessageDecodeError. Trailing bytes after the last field are ignored.
    static ControlMessage decode(const Frame& frame);
    // Inline, below; forced so that the per-frame path has no call.
    [[gnu::always_inline]] static ControlMessage decode(MessageType type, ByteView payload);
    // The complete decoder (every type, every error) without decode()'s inline fast path for the
    // common well-formed input messages; both give the same result. Exposed for the fuzz target
    // that checks exactly that.
    static ControlMessage decodeGeneral(MessageType type, ByteView payload);
    [[gnu::always_inline]] static ControlMessage decode(const FrameView& frame) {
        return decode(frame.type, frame.payload);
    }

    // Case name with its values, e.g. `scroll(dx: 0.0, dy: -3.0, phase: changed)`. Bytes are
    // shown by their count, never their contents (tokens and secrets stay out of logs).
    std::string description() const;

    bool operator==(const ControlMessage& other) const { return value_ == other.value_; }
    // Bit-for-bit equality: floats by their bit patterns (NaN payloads included).
    static bool identical(const ControlMessage& a, const ControlMessage& b);

private:
    static_assert(std::variant_size_v<Value> <= 32);
    static_assert(std::is_nothrow_move_constructible_v<Value> &&
                  std::is_nothrow_move_assignable_v<Value>);
    // Bit i: alternative i has a trivial destructor.
    static constexpr std::uint32_t kTriviallyDestructible =
        []<std::size_t... I>(std::index_sequence<I...>) {
        return (
            (std::uint32_t{std::is_trivially_destructible_v<std::variant_alternative_t<I, Value>>}
             << I) |
            ...);
    }
    (std::make_index_sequence<std::variant_size_v<Value>>{});

    // In a union so that the destructor above decides whether the variant's destructor runs.
    union {
        Value value_;
    };
};

// Fast path for the fixed-size input messages that make up nearly all traffic. It only accepts
// payloads that are long enough and carry valid enumeration values; anything else goes to
// decodeGeneral, which produces the same result or the right error.
inline ControlMessage ControlMessage::decode(MessageType type, ByteView payload) {
    const std::uint8_t* p = payload.data();
    const std::size_t n = payload.size();
    auto f32 = [p](std::size_t at) { return std::bit_cast<float>(loadLE32(p + at)); };
    switch (type) {
    case MessageType::pointerRelative:
        if (n >= 8) {
            return cm::PointerRelative{f32(0), f32(4)};
        }
        break;
    case MessageType::pointerAbsolute:
        if (n >= 12) {
            return cm::PointerAbsolute{f32(0), f32(4), f32(8)};
        }
        break;
    case MessageType::scroll:
        if (n >= 9 && p[8] < allCases<ScrollPhase>().size()) {
            return cm::Scroll{f32(0), f32(4), static_cast<ScrollPhase>(p[8])};
        }
        break;
    case MessageType::mouseButton:
        if (n >= 2 && p[0] < allCases<MouseButton>().size()) {
            return cm::MouseButton{static_cast<MouseButton>(p[0]), p[1] != 0};
        }
        break;
    case MessageType::magnify:
        if (n >= 5 && p[4] < allCases<ScrollPhase>().size()) {
            return cm::Magnify{f32(0), static_cast<ScrollPhase>(p[4])};
        }
        break;
    case MessageType::keyCombo:
        if (n >= 4) {
            return cm::KeyCombo{loadLE16(p), KeyModifiers(loadLE16(p + 2))};
        }
        break;
    case MessageType::multiClick:
        if (n >= 2 && p[0] < allCases<MouseButton>().size()) {
            return cm::MultiClick{static_cast<MouseButton>(p[0]), p[1]};
        }
        break;
    case MessageType::gesture:
        if (n >= 1 && p[0] < allCases<TrackpadGesture>().size()) {
            return cm::Gesture{static_cast<TrackpadGesture>(p[0])};
        }
        break;
    case MessageType::setStickyModifiers:
        if (n >= 2) {
            return cm::SetStickyModifiers{KeyModifiers(loadLE16(p))};
        }
        break;
    case MessageType::heartbeat:
        return cm::Heartbeat{};
    default:
        break;
    }
    return decodeGeneral(type, payload);
}

} // namespace quillon::wire
