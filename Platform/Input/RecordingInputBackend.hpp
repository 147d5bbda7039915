#pragma once

#include "Platform/Input/InputBackend.hpp"

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace quillon::platform {

// One verb as a backend received it.
struct InputVerb {
    enum class Kind : std::uint8_t {
        moveTo,
        moveBy,
        button,
        key,
        text,
        wheel,
        zoom,
        switchDesktop,
        toggleShowDesktop,
        openOverview,
        releaseAll,
    };
    Kind kind = Kind::moveTo;
    double x = 0; // moveTo, moveBy
    double y = 0;
    int a = 0; // button, key code, wheel vertical, zoom steps, desktop delta
    int b = 0; // down (1/0) for button and key, wheel horizontal
    std::u32string text;

    // Compact readable form for exact sequence checks: "moveTo(10,20)", "button(272,down)",
    // "key(29,up)", "text(abc)" (code points above ASCII as U+XXXX), "wheel(120,0)", "zoom(-1)",
    // "switchDesktop(1)", "toggleShowDesktop", "openOverview", "releaseAll".
    std::string description() const;
};

// A backend that keeps every verb in order (tests, benchmarks). Flushes are counted, not
// recorded. Thread-safe for reading while a translator calls it.
class RecordingInputBackend : public InputBackend {
public:
    std::string_view name() const override { return "recording"; }
    InputPermission permission() const override { return {true, {}}; }

    void movePointerTo(Point to) override;
    void movePointerBy(double dx, double dy) override;
    void button(int button, bool down) override;
    void key(int evdevCode, bool down) override;
    void typeText(std::u32string_view text) override;
    void wheel(int vertical, int horizontal) override;
    void zoom(int steps) override;
    void switchDesktop(int delta) override;
    void toggleShowDesktop() override;
    void openOverview() override;
    void releaseAll() override;
    void flush() override;

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
};

} // namespace quillon::platform
