#pragma once

// Shared fixtures of the input-injection tests: an injector over a recording backend with a
// manual clock, and a private user-defaults file.

#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Dispatch/SerialQueue.hpp"
#include "Platform/Display/DisplayGeometry.hpp"
#include "Platform/Input/RecordingInputBackend.hpp"
#include "Quillon/Input/EventInjector.hpp"
#include "Quillon/Input/InputGate.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace quillon::testing {

using Verbs = std::vector<std::string>;

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

// Calls a hook after every text run, so a test can act in the middle of a long operation.
class HookedBackend : public platform::RecordingInputBackend {
public:
    using RecordingInputBackend::RecordingInputBackend;
    std::function<void()> afterText;
    void typeText(std::u32string_view text) override {
        RecordingInputBackend::typeText(text);
        if (afterText) {
            afterText();
        }
    }
};

// The injector over a recording backend on a 1440 x 900 display, its momentum and probes on a
// manual clock.
struct InjectorRig {
    ScratchDefaults defaults;
    std::shared_ptr<HookedBackend> backend;
    std::shared_ptr<platform::FixedDisplayGeometry> geometry =
        std::make_shared<platform::FixedDisplayGeometry>(platform::Rect{0, 0, 1440, 900});
    std::shared_ptr<platform::ManualScheduler> clock =
        std::make_shared<platform::ManualScheduler>();
    std::shared_ptr<InputGate> gate = std::make_shared<InputGate>();
    std::shared_ptr<EventInjector> injector;

    explicit InjectorRig(std::shared_ptr<HookedBackend> b = std::make_shared<HookedBackend>(),
                         GestureMapper mapper = GestureMapper::defaultMapper())
        : backend(std::move(b)) {
        injector = EventInjector::create({.backend = backend,
                                          .geometry = geometry,
                                          .defaults = *defaults,
                                          .gestureMapper = std::move(mapper),
                                          .gate = gate,
                                          .scheduler = clock,
                                          .clock = [c = clock.get()] { return c->now(); }});
    }
    void handle(const wire::ControlMessage& m) { injector->handle(m); }
    Verbs take() { return backend->take(); }
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
