#pragma once

#include "Platform/EventStream/Event.hpp"
#include <string_view> // InputTypes.hpp uses it without including it

#include "WireProtocol/InputTypes.hpp"

#include <cstdint>

namespace quillon {

// A set of mouse buttons as three bits (no allocation).
class MouseButtonSet {
public:
    bool contains(wire::MouseButton b) const noexcept { return (bits_ & bit(b)) != 0; }
    void insert(wire::MouseButton b) noexcept { bits_ |= bit(b); }
    void remove(wire::MouseButton b) noexcept { bits_ &= static_cast<std::uint8_t>(~bit(b)); }
    bool isEmpty() const noexcept { return bits_ == 0; }
    bool operator==(const MouseButtonSet&) const = default;

private:
    static constexpr std::uint8_t bit(wire::MouseButton b) noexcept {
        return static_cast<std::uint8_t>(1u << static_cast<unsigned>(b));
    }
    std::uint8_t bits_ = 0;
};

// Chooses the event of a pointer move from the buttons held: a drag of the first held button
// in the order left, right, middle, else a plain move.
struct DragStateResolver {
    struct MoveEvent {
        platform::EventType type;
        int button; // 0 left, 1 right, 2 centre
        bool operator==(const MoveEvent&) const = default;
    };
    static MoveEvent moveEventType(MouseButtonSet pressed) noexcept;
};

} // namespace quillon
