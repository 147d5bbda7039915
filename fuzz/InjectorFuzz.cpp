// Feeds arbitrary input messages through the injector into a backend that checks every verb:
// points are finite, keys and buttons go down once and up once, text holds only characters,
// wheel amounts are bounded, desktop actions are real ones; and the cursor stays on the screen.
// After releaseAll() nothing may be left down.
//
// Input: repeated [message type][payload length][payload], each decoded as the wire does; a
// byte 0xFF instead of a type advances the momentum clock by the next byte in milliseconds.
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Dispatch/SerialQueue.hpp"
#include "Platform/Display/DisplayGeometry.hpp"
#include "Quillon/Input/EventInjector.hpp"
#include "WireProtocol/ControlMessage.hpp"

#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

using namespace quillon;

namespace {

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

// Aborts on a verb no backend should ever be given.
class CheckingBackend : public platform::InputBackend {
public:
    static constexpr int kMaxUnits = 100 * platform::kWheelUnitsPerClick;

    std::string_view name() const override { return "checking"; }
    platform::InputPermission permission() const override { return {true, {}}; }
    std::uint64_t connections() const override { return 1; }
    void movePointerTo(platform::Point to) override {
        check(std::isfinite(to.x) && std::isfinite(to.y));
    }
    void movePointerBy(double dx, double dy) override {
        check(std::isfinite(dx) && std::isfinite(dy));
    }
    void button(int button, bool down) override {
        const int i = button - platform::PointerButton::left;
        check(i >= 0 && i < 3 && buttons_[static_cast<std::size_t>(i)] != down);
        buttons_[static_cast<std::size_t>(i)] = down;
    }
    void key(int code, bool down) override {
        check(code > 0 && code < 256 && keys_[static_cast<std::size_t>(code)] != down);
        keys_[static_cast<std::size_t>(code)] = down;
    }
    void typeText(std::u32string_view text) override {
        check(!text.empty() && text.size() <= 20);
        for (const char32_t cp : text) {
            check(cp >= 0x20 && cp <= 0x10FFFF && !(cp >= 0x7F && cp <= 0x9F) &&
                  !(cp >= 0xD800 && cp <= 0xDFFF) && (cp & 0xFFFE) != 0xFFFE &&
                  !(cp >= 0xFDD0 && cp <= 0xFDEF));
        }
    }
    void wheel(int vertical, int horizontal) override {
        check((vertical != 0 || horizontal != 0) && std::abs(vertical) <= kMaxUnits &&
              std::abs(horizontal) <= kMaxUnits);
    }
    std::optional<platform::KeyPlace> keyForKeysym(std::uint32_t keysym) override {
        if (keysym >= 'a' && keysym <= 'z') {
            return platform::KeyPlace{30, false};
        }
        return std::nullopt;
    }
    bool desktopAction(platform::DesktopAction action) override {
        check(action == platform::DesktopAction::workspaceLeft ||
              action == platform::DesktopAction::workspaceRight ||
              action == platform::DesktopAction::toggleShowDesktop);
        return true;
    }
    void flush() override {}

    bool nothingDown() const {
        for (const bool k : keys_) {
            if (k) {
                return false;
            }
        }
        return !buttons_[0] && !buttons_[1] && !buttons_[2];
    }

private:
    std::array<bool, 256> keys_{};
    std::array<bool, 3> buttons_{};
};

struct Rig {
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("quillon-injector-fuzz-" + std::to_string(::getpid()));
    std::unique_ptr<platform::Defaults> defaults;
    std::shared_ptr<platform::ManualScheduler> clock =
        std::make_shared<platform::ManualScheduler>();
    std::shared_ptr<platform::FixedDisplayGeometry> geometry =
        std::make_shared<platform::FixedDisplayGeometry>(platform::Rect{-100, 20, 1280, 800});

    Rig() {
        std::filesystem::create_directories(dir);
        defaults = std::make_unique<platform::Defaults>(dir / "defaults.json");
        // A decay above 1 keeps momentum alive, the hardest case for the velocity bounds.
        defaults->set("momentumDecay", 1.5);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Rig rig;
    // A fresh backend and injector per input; the defaults file and the clock carry over.
    auto backend = std::make_shared<CheckingBackend>();
    auto injector = EventInjector::create({.backend = backend,
                                           .geometry = rig.geometry,
                                           .defaults = *rig.defaults,
                                           .scheduler = rig.clock,
                                           .clock = [c = rig.clock.get()] { return c->now(); }});
    const platform::Rect b = rig.geometry->mainBounds();

    std::size_t i = 0;
    while (i + 2 <= size) {
        const std::uint8_t type = data[i];
        const std::size_t len = data[i + 1];
        i += 2;
        if (type == 0xFF) {
            rig.clock->advance(std::chrono::milliseconds(len));
            continue;
        }
        const std::size_t take = std::min(len, size - i);
        const auto payload = wire::ByteView(data + i, take);
        i += take;
        const auto messageType = wire::messageTypeFromRaw(type);
        if (!messageType) {
            continue;
        }
        try {
            const auto message = wire::ControlMessage::decode(*messageType, payload);
            // The catalogue messages only write a log line; keep the log out of the loop.
            if (message.is<wire::cm::ListApplications>() ||
                message.is<wire::cm::ActivateApplication>() ||
                message.is<wire::cm::ApplicationList>()) {
                continue;
            }
            injector->handle(message);
        } catch (const wire::ControlMessageDecodeError&) {
            continue;
        }
        const platform::Point c = injector->currentCursor();
        check(c.x >= b.minX() && c.x <= b.maxX() && c.y >= b.minY() && c.y <= b.maxY());
    }
    rig.clock->advance(std::chrono::milliseconds(50));
    injector->releaseAll();
    check(backend->nothingDown() && injector->holdsNothing());
    check(!injector->momentumRunning());
    return 0;
}
