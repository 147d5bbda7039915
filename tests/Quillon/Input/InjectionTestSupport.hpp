#pragma once

// Shared fixtures of the input-injection tests: builders of the events the sink is expected to
// post, an exact comparison of posted sequences, and a private user-defaults file.

#include "Platform/Defaults/Defaults.hpp"
#include "Platform/EventStream/Event.hpp"
#include "Platform/EventStream/RecordingPoster.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace quillon::testing {

using platform::Event;
using platform::EventType;

// --- Expected events ---------------------------------------------------------------------

inline Event wheel(std::int32_t vertical, std::int32_t horizontal) {
    Event e;
    e.type = EventType::scrollWheel;
    e.scrollUnit = platform::ScrollUnit::pixel;
    e.wheelCount = 2;
    e.wheel1 = vertical;
    e.wheel2 = horizontal;
    e.setIntegerField(88, 1);
    e.setIntegerField(96, vertical);
    e.setIntegerField(97, horizontal);
    return e;
}
// A wheel event with scroll phase (field 99).
inline Event scrollWheel(std::int64_t phase, std::int32_t vertical, std::int32_t horizontal) {
    Event e = wheel(vertical, horizontal);
    e.setIntegerField(99, phase);
    return e;
}
// A momentum wheel event (field 123).
inline Event momentumWheel(std::int64_t phase, std::int32_t vertical, std::int32_t horizontal) {
    Event e = wheel(vertical, horizontal);
    e.setIntegerField(123, phase);
    return e;
}
inline Event gesture(std::int64_t kind) {
    Event e;
    e.type = EventType::gesture;
    e.setIntegerField(110, kind);
    return e;
}
inline Event gestureScroll(std::int64_t phase, double dx, double dy) {
    Event e = gesture(6);
    e.setIntegerField(132, phase);
    e.setIntegerField(135, 1);
    e.setDoubleField(118, dx);
    e.setDoubleField(119, dy);
    return e;
}
inline Event series(std::int64_t kind) {
    Event e = gesture(kind);
    e.setIntegerField(117, 6);
    return e;
}
inline Event zoom(double amount, std::int64_t phase) {
    Event e = gesture(8);
    e.setDoubleField(113, amount);
    e.setIntegerField(132, phase);
    return e;
}
inline Event mouse(EventType type, platform::Point at, int button, std::uint64_t flags = 0) {
    Event e;
    e.type = type;
    e.location = at;
    e.mouseButton = button;
    e.flags = flags;
    return e;
}
inline Event key(std::uint16_t code, bool down, std::uint64_t flags = 0) {
    Event e;
    e.type = down ? EventType::keyDown : EventType::keyUp;
    e.keyCode = code;
    e.keyDown = down;
    e.flags = flags;
    return e;
}

// --- Comparison ----------------------------------------------------------------------------

inline std::vector<std::pair<std::uint32_t, std::int64_t>> intFields(const Event& e) {
    std::vector<std::pair<std::uint32_t, std::int64_t>> v;
    for (std::size_t i = 0; i < e.integerFieldCount(); ++i) {
        v.push_back(e.integerFieldAt(i));
    }
    std::sort(v.begin(), v.end());
    return v;
}
inline std::vector<std::pair<std::uint32_t, double>> doubleFields(const Event& e) {
    std::vector<std::pair<std::uint32_t, double>> v;
    for (std::size_t i = 0; i < e.doubleFieldCount(); ++i) {
        v.push_back(e.doubleFieldAt(i));
    }
    std::sort(v.begin(), v.end());
    return v;
}

// Every member compared; numbered fields as sets (their order is not part of the contract),
// doubles bit-exact in value.
inline bool sameEvent(const Event& a, const Event& b) {
    return a.type == b.type && a.tap == b.tap && a.hasSource == b.hasSource &&
           a.location == b.location && a.flags == b.flags && a.mouseButton == b.mouseButton &&
           a.keyCode == b.keyCode && a.keyDown == b.keyDown && a.unicode == b.unicode &&
           a.scrollUnit == b.scrollUnit && a.wheelCount == b.wheelCount && a.wheel1 == b.wheel1 &&
           a.wheel2 == b.wheel2 && a.wheel3 == b.wheel3 && intFields(a) == intFields(b) &&
           doubleFields(a) == doubleFields(b);
}

inline std::string describe(const std::vector<Event>& events) {
    std::string s;
    for (std::size_t i = 0; i < events.size(); ++i) {
        s += "  [" + std::to_string(i) + "] " + events[i].description() + "\n";
    }
    return s;
}

// The posted sequence is exactly `expected`: same length, same events in the same order.
inline ::testing::AssertionResult postedExactly(const std::vector<Event>& actual,
                                                const std::vector<Event>& expected) {
    bool ok = actual.size() == expected.size();
    for (std::size_t i = 0; ok && i < actual.size(); ++i) {
        ok = sameEvent(actual[i], expected[i]);
    }
    if (ok) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "posted:\n"
                                         << describe(actual) << "expected:\n"
                                         << describe(expected);
}

// --- Environment ---------------------------------------------------------------------------

// A user-defaults file of the test's own, removed afterwards.
class ScratchDefaults {
public:
    ScratchDefaults() {
        static std::atomic<int> counter{0};
        dir_ =
            std::filesystem::temp_directory_path() /
            ("quillon-injection-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(dir_);
        defaults_ = std::make_unique<platform::Defaults>(dir_ / "defaults.json");
    }
    ~ScratchDefaults() {
        defaults_.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    platform::Defaults& operator*() { return *defaults_; }
    platform::Defaults* operator->() { return defaults_.get(); }

private:
    std::filesystem::path dir_;
    std::unique_ptr<platform::Defaults> defaults_;
};

// Polls `condition` until it holds or `timeout` passes; true when it held.
template <typename F>
bool eventually(F condition, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

} // namespace quillon::testing
