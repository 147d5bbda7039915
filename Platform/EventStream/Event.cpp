#include "Platform/EventStream/Event.hpp"

#include <cstdio>
#include <sstream>

namespace quillon::platform {

void Event::setIntegerField(std::uint32_t field, std::int64_t value) {
    for (std::size_t i = 0; i < intCount_; ++i) {
        if (ints_[i].first == field) {
            ints_[i].second = value;
            return;
        }
    }
    if (intCount_ < kMaxFields) {
        ints_[intCount_++] = {field, value};
    }
}

void Event::setDoubleField(std::uint32_t field, double value) {
    for (std::size_t i = 0; i < doubleCount_; ++i) {
        if (doubles_[i].first == field) {
            doubles_[i].second = value;
            return;
        }
    }
    if (doubleCount_ < kMaxFields) {
        doubles_[doubleCount_++] = {field, value};
    }
}

std::optional<std::int64_t> Event::integerField(std::uint32_t field) const {
    for (std::size_t i = 0; i < intCount_; ++i) {
        if (ints_[i].first == field) {
            return ints_[i].second;
        }
    }
    return std::nullopt;
}

std::optional<double> Event::doubleField(std::uint32_t field) const {
    for (std::size_t i = 0; i < doubleCount_; ++i) {
        if (doubles_[i].first == field) {
            return doubles_[i].second;
        }
    }
    return std::nullopt;
}

std::string Event::description() const {
    std::ostringstream os;
    os << "Event{type=" << static_cast<std::uint32_t>(type)
       << " tap=" << static_cast<int>(tap) << (hasSource ? "" : " nosource")
       << " at=(" << location.x << "," << location.y << ")";
    if (flags != 0) {
        os << " flags=0x" << std::hex << flags << std::dec;
    }
    if (type == EventType::keyDown || type == EventType::keyUp) {
        os << " key=" << keyCode << (keyDown ? " down" : " up");
        if (!unicode.empty()) {
            os << " unicode=" << unicode.size() << "u16";
        }
    } else if (type != EventType::scrollWheel && type != EventType::gesture &&
               type != EventType::dockControl && type != EventType::null) {
        os << " button=" << mouseButton;
    }
    if (type == EventType::scrollWheel) {
        os << " wheel(" << static_cast<int>(scrollUnit) << "," << wheelCount << ": " << wheel1
           << "," << wheel2 << "," << wheel3 << ")";
    }
    for (std::size_t i = 0; i < intCount_; ++i) {
        os << " i" << ints_[i].first << "=" << ints_[i].second;
    }
    for (std::size_t i = 0; i < doubleCount_; ++i) {
        os << " d" << doubles_[i].first << "=" << doubles_[i].second;
    }
    os << "}";
    return os.str();
}

} // namespace quillon::platform
