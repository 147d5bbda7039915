#include "Platform/Input/RecordingInputBackend.hpp"

#include <cstdio>
#include <sstream>

namespace quillon::platform {

std::string InputVerb::description() const {
    std::ostringstream os;
    switch (kind) {
    case Kind::moveTo:
        os << "moveTo(" << x << "," << y << ")";
        break;
    case Kind::moveBy:
        os << "moveBy(" << x << "," << y << ")";
        break;
    case Kind::button:
        os << "button(" << a << "," << (b != 0 ? "down" : "up") << ")";
        break;
    case Kind::key:
        os << "key(" << a << "," << (b != 0 ? "down" : "up") << ")";
        break;
    case Kind::text:
        os << "text(";
        for (const char32_t cp : text) {
            if (cp >= 0x20 && cp < 0x7F) {
                os << static_cast<char>(cp);
            } else {
                char hex[16];
                std::snprintf(hex, sizeof hex, "U+%04X", static_cast<unsigned>(cp));
                os << hex;
            }
        }
        os << ")";
        break;
    case Kind::wheel:
        os << "wheel(" << a << "," << b << ")";
        break;
    case Kind::zoom:
        os << "zoom(" << a << ")";
        break;
    case Kind::switchDesktop:
        os << "switchDesktop(" << a << ")";
        break;
    case Kind::toggleShowDesktop:
        os << "toggleShowDesktop";
        break;
    case Kind::openOverview:
        os << "openOverview";
        break;
    case Kind::releaseAll:
        os << "releaseAll";
        break;
    }
    return os.str();
}

void RecordingInputBackend::record(InputVerb verb) {
    std::lock_guard lock(mutex_);
    verbs_.push_back(std::move(verb));
}

void RecordingInputBackend::movePointerTo(Point to) {
    record({InputVerb::Kind::moveTo, to.x, to.y, 0, 0, {}});
}

void RecordingInputBackend::movePointerBy(double dx, double dy) {
    record({InputVerb::Kind::moveBy, dx, dy, 0, 0, {}});
}

void RecordingInputBackend::button(int button, bool down) {
    record({InputVerb::Kind::button, 0, 0, button, down ? 1 : 0, {}});
}

void RecordingInputBackend::key(int evdevCode, bool down) {
    record({InputVerb::Kind::key, 0, 0, evdevCode, down ? 1 : 0, {}});
}

void RecordingInputBackend::typeText(std::u32string_view text) {
    record({InputVerb::Kind::text, 0, 0, 0, 0, std::u32string(text)});
}

void RecordingInputBackend::wheel(int vertical, int horizontal) {
    record({InputVerb::Kind::wheel, 0, 0, vertical, horizontal, {}});
}

void RecordingInputBackend::zoom(int steps) {
    record({InputVerb::Kind::zoom, 0, 0, steps, 0, {}});
}

void RecordingInputBackend::switchDesktop(int delta) {
    record({InputVerb::Kind::switchDesktop, 0, 0, delta, 0, {}});
}

void RecordingInputBackend::toggleShowDesktop() {
    record({InputVerb::Kind::toggleShowDesktop, 0, 0, 0, 0, {}});
}

void RecordingInputBackend::openOverview() {
    record({InputVerb::Kind::openOverview, 0, 0, 0, 0, {}});
}

void RecordingInputBackend::releaseAll() {
    record({InputVerb::Kind::releaseAll, 0, 0, 0, 0, {}});
}

void RecordingInputBackend::flush() {
    std::lock_guard lock(mutex_);
    ++flushes_;
}

std::vector<InputVerb> RecordingInputBackend::verbs() const {
    std::lock_guard lock(mutex_);
    return verbs_;
}

std::vector<std::string> RecordingInputBackend::take() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    out.reserve(verbs_.size());
    for (const auto& v : verbs_) {
        out.push_back(v.description());
    }
    verbs_.clear();
    return out;
}

std::size_t RecordingInputBackend::count() const {
    std::lock_guard lock(mutex_);
    return verbs_.size();
}

std::size_t RecordingInputBackend::flushCount() const {
    std::lock_guard lock(mutex_);
    return flushes_;
}

void RecordingInputBackend::clear() {
    std::lock_guard lock(mutex_);
    verbs_.clear();
}

void RecordingInputBackend::reserve(std::size_t verbs) {
    std::lock_guard lock(mutex_);
    verbs_.reserve(verbs);
}

} // namespace quillon::platform
