#pragma once

#include <string_view> // InputTypes.hpp uses it without including it

#include "WireProtocol/InputTypes.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>

namespace quillon {

// Which keyboard shortcut stands for a trackpad gesture that has no event of its own. A value:
// copies are independent, so the injector's copy never changes the shared default.
class GestureMapper {
public:
    struct Binding {
        std::uint16_t keyCode = 0;
        wire::KeyModifiers modifiers;
        bool operator==(const Binding&) const = default;
    };
    using Bindings = std::map<wire::TrackpadGesture, Binding>;

    GestureMapper() = default;
    explicit GestureMapper(Bindings bindings) : bindings_(std::move(bindings)) {}

    // The binding of a gesture, or nothing (also when the map is empty).
    std::optional<Binding> binding(wire::TrackpadGesture gesture) const;
    // Adds or replaces the binding of a gesture, in this mapper only.
    void setBinding(const Binding& binding, wire::TrackpadGesture gesture);
    const Bindings& bindings() const noexcept { return bindings_; }

    // The shared default table, built once on first use (thread-safe).
    static const GestureMapper& defaultMapper();

    bool operator==(const GestureMapper&) const = default;

private:
    Bindings bindings_;
};

} // namespace quillon

template <> struct std::hash<quillon::GestureMapper::Binding> {
    // Feeds the key code, then the modifier mask.
    std::size_t operator()(const quillon::GestureMapper::Binding& b) const noexcept {
        std::size_t h = std::hash<std::uint16_t>{}(b.keyCode);
        h ^= std::hash<std::uint16_t>{}(b.modifiers.rawValue) + 0x9e3779b97f4a7c15ULL + (h << 6) +
             (h >> 2);
        return h;
    }
};
