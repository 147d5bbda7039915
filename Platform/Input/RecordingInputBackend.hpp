#pragma once

#include "Platform/Input/InputBackend.hpp"

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace quillon::platform {

// One verb as a backend received it.
struct InputVerb {
    enum class Kind : std::uint8_t { moveTo, moveBy, button, key, text, wheel, desktop };
    Kind kind = Kind::moveTo;
    double x = 0; // moveTo, moveBy
    double y = 0;
    int a = 0; // button, key code, wheel vertical, DesktopAction
    int b = 0; // down (1/0) for button and key, wheel horizontal
    std::u32string text;

    // Compact readable form for exact sequence checks: "moveTo(10,20)", "button(272,down)",
    // "key(29,up)", "text(abc)" (code points above ASCII as U+XXXX), "wheel(120,0)",
    // "desktop(workspaceRight)".
    std::string description() const;
};

// A backend that keeps every verb in order (tests, benchmarks). Flushes are counted, not
// recorded. Its layout is a US keyboard's (letters, digits, Tab, Return, arrows, Page Up/Down,
// Home/End, F1-F12, "=" and "-", the modifiers); desktop actions are either carried (recorded
// as desktop(...)) or, with `shortcuts`, left to the caller as those key combinations.
// Thread-safe for reading while an injector calls it.
class RecordingInputBackend : public InputBackend {
public:
    RecordingInputBackend() = default;
    // Desktop actions without a means of their own: the caller presses these instead.
    explicit RecordingInputBackend(std::map<DesktopAction, std::vector<int>> shortcuts)
        : shortcuts_(std::move(shortcuts)), ownDesktopActions_(false) {}

    std::string_view name() const override { return "recording"; }
    InputPermission permission() const override { return {true, {}}; }
    std::uint64_t connections() const override;

    void movePointerTo(Point to) override;
    void movePointerBy(double dx, double dy) override;
    void button(int button, bool down) override;
    void key(int evdevCode, bool down) override;
    void typeText(std::u32string_view text) override;
    void wheel(int vertical, int horizontal) override;
    std::optional<KeyPlace> keyForKeysym(std::uint32_t keysym) override;
    bool desktopAction(DesktopAction action) override;
    std::vector<int> desktopShortcut(DesktopAction action) const override;
    void flush() override;

    // As if the display server had been replaced: connections() counts one more.
    void reconnect();

    std::vector<InputVerb> verbs() const;
    // Descriptions of the verbs recorded so far, leaving the record empty.
    std::vector<std::string> take();
    std::size_t count() const;
    std::size_t flushCount() const;
    // Forgets the verbs but keeps the storage (benchmarks reuse it without allocating).
    void clear();
    void reserve(std::size_t verbs);

private:
    void record(InputVerb verb);

    mutable std::mutex mutex_;
    std::vector<InputVerb> verbs_;
    std::size_t flushes_ = 0;
    std::uint64_t connections_ = 1;
    std::map<DesktopAction, std::vector<int>> shortcuts_;
    bool ownDesktopActions_ = true;
};

} // namespace quillon::platform
