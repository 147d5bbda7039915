#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string_view>

namespace quillon::wire {

// The input vocabulary. Each enumeration travels as one byte whose value is the case's
// position; any other byte has no case (never a default).

enum class MouseButton : std::uint8_t { left, right, middle };
enum class ScrollPhase : std::uint8_t { began, changed, ended, momentum };
enum class OperatingMode : std::uint8_t { inputDevice, remoteDesktop };
enum class TrackpadGesture : std::uint8_t {
    threeFingerUp,
    threeFingerDown,
    threeFingerLeft,
    threeFingerRight,
    pinchIn,
    pinchOut,
    fourFingerPinchIn,
    smartZoom,
    showDesktop,
};

template <typename E> struct EnumCases;
template <> struct EnumCases<MouseButton> {
    static constexpr std::array<MouseButton, 3> all = {MouseButton::left, MouseButton::right,
                                                       MouseButton::middle};
    static constexpr std::array<const char*, 3> names = {"left", "right", "middle"};
};
template <> struct EnumCases<ScrollPhase> {
    static constexpr std::array<ScrollPhase, 4> all = {ScrollPhase::began, ScrollPhase::changed,
                                                       ScrollPhase::ended, ScrollPhase::momentum};
    static constexpr std::array<const char*, 4> names = {"began", "changed", "ended", "momentum"};
};
template <> struct EnumCases<OperatingMode> {
    static constexpr std::array<OperatingMode, 2> all = {OperatingMode::inputDevice,
                                                         OperatingMode::remoteDesktop};
    static constexpr std::array<const char*, 2> names = {"inputDevice", "remoteDesktop"};
};
template <> struct EnumCases<TrackpadGesture> {
    static constexpr std::array<TrackpadGesture, 9> all = {
        TrackpadGesture::threeFingerUp,    TrackpadGesture::threeFingerDown,
        TrackpadGesture::threeFingerLeft,  TrackpadGesture::threeFingerRight,
        TrackpadGesture::pinchIn,          TrackpadGesture::pinchOut,
        TrackpadGesture::fourFingerPinchIn, TrackpadGesture::smartZoom,
        TrackpadGesture::showDesktop};
    static constexpr std::array<const char*, 9> names = {
        "threeFingerUp", "threeFingerDown",   "threeFingerLeft", "threeFingerRight", "pinchIn",
        "pinchOut",      "fourFingerPinchIn", "smartZoom",       "showDesktop"};
};

// All cases in declaration order.
template <typename E> constexpr const auto& allCases() noexcept { return EnumCases<E>::all; }

template <typename E> constexpr std::uint8_t rawValue(E e) noexcept {
    return static_cast<std::uint8_t>(e);
}

// The case for a raw value below the number of cases; nothing for every other byte.
template <typename E> constexpr std::optional<E> fromRawValue(std::uint8_t raw) noexcept {
    if (raw < EnumCases<E>::all.size()) {
        return static_cast<E>(raw);
    }
    return std::nullopt;
}

template <typename E> constexpr const char* caseName(E e) noexcept {
    const auto i = static_cast<std::size_t>(e);
    return i < EnumCases<E>::names.size() ? EnumCases<E>::names[i] : "?";
}

// Case by exact name ("smartZoom"); nothing when no case has that name.
template <typename E> std::optional<E> fromCaseName(std::string_view name) noexcept {
    for (std::size_t i = 0; i < EnumCases<E>::names.size(); ++i) {
        if (name == EnumCases<E>::names[i]) {
            return EnumCases<E>::all[i];
        }
    }
    return std::nullopt;
}

// A set of modifier keys over 16 bits. Bits 4-15 have no name but are kept: consumers look
// only at the four named members.
struct KeyModifiers {
    std::uint16_t rawValue = 0;

    constexpr KeyModifiers() noexcept = default;
    constexpr explicit KeyModifiers(std::uint16_t raw) noexcept : rawValue(raw) {}
    constexpr KeyModifiers(std::initializer_list<KeyModifiers> members) noexcept {
        for (auto m : members) {
            rawValue |= m.rawValue;
        }
    }

    static const KeyModifiers command;
    static const KeyModifiers shift;
    static const KeyModifiers option;
    static const KeyModifiers control;

    constexpr bool isEmpty() const noexcept { return rawValue == 0; }
    // True when every bit of `member` is set.
    constexpr bool contains(KeyModifiers member) const noexcept {
        return (rawValue & member.rawValue) == member.rawValue;
    }
    constexpr KeyModifiers unionWith(KeyModifiers o) const noexcept {
        return KeyModifiers(rawValue | o.rawValue);
    }
    constexpr KeyModifiers intersection(KeyModifiers o) const noexcept {
        return KeyModifiers(rawValue & o.rawValue);
    }
    constexpr KeyModifiers symmetricDifference(KeyModifiers o) const noexcept {
        return KeyModifiers(rawValue ^ o.rawValue);
    }
    constexpr KeyModifiers subtracting(KeyModifiers o) const noexcept {
        return KeyModifiers(static_cast<std::uint16_t>(rawValue & ~o.rawValue));
    }
    constexpr bool isSubset(KeyModifiers of) const noexcept {
        return (rawValue & of.rawValue) == rawValue;
    }
    constexpr bool isDisjoint(KeyModifiers with) const noexcept {
        return (rawValue & with.rawValue) == 0;
    }
    // Inserts the bits; true when any of them was new.
    constexpr bool insert(KeyModifiers m) noexcept {
        const bool added = !contains(m);
        rawValue |= m.rawValue;
        return added;
    }
    // Removes the bits; returns the ones that were present.
    constexpr KeyModifiers remove(KeyModifiers m) noexcept {
        const KeyModifiers present = intersection(m);
        rawValue = static_cast<std::uint16_t>(rawValue & ~m.rawValue);
        return present;
    }
    // Inserts the bits; returns the ones that were already present.
    constexpr KeyModifiers update(KeyModifiers m) noexcept {
        const KeyModifiers present = intersection(m);
        rawValue |= m.rawValue;
        return present;
    }

    constexpr bool operator==(const KeyModifiers&) const noexcept = default;
    constexpr KeyModifiers operator|(KeyModifiers o) const noexcept { return unionWith(o); }
    constexpr KeyModifiers operator&(KeyModifiers o) const noexcept { return intersection(o); }
    constexpr KeyModifiers operator^(KeyModifiers o) const noexcept {
        return symmetricDifference(o);
    }
    constexpr KeyModifiers operator-(KeyModifiers o) const noexcept { return subtracting(o); }
};

inline constexpr KeyModifiers KeyModifiers::command{std::uint16_t{0x0001}};
inline constexpr KeyModifiers KeyModifiers::shift{std::uint16_t{0x0002}};
inline constexpr KeyModifiers KeyModifiers::option{std::uint16_t{0x0004}};
inline constexpr KeyModifiers KeyModifiers::control{std::uint16_t{0x0008}};

} // namespace quillon::wire

template <> struct std::hash<quillon::wire::KeyModifiers> {
    std::size_t operator()(quillon::wire::KeyModifiers m) const noexcept { return m.rawValue; }
};
