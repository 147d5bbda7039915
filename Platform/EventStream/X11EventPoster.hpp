#pragma once

#include "Platform/EventStream/EventPoster.hpp"
#include "Platform/Input/EventTranslator.hpp"
#include "Platform/Input/X11InputBackend.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quillon::platform {

class X11DisplayGeometry;

// The sink's events on an X server: an EventTranslator over an X11InputBackend, with the
// statistics of both. What each event becomes is the translator's (README, "Input on Linux");
// how each verb reaches the server is the backend's. Thread-safe through the translator's
// lock.
class X11EventPoster : public EventPoster {
public:
    struct Options {
        std::string display; // empty: $DISPLAY
        // The main display's geometry; made for `display` when absent.
        std::shared_ptr<const X11DisplayGeometry> geometry;
        // The settings, asked at each key and scroll event; the defaults of InputSettings
        // when absent.
        std::function<InputSettings()> settings;
        // The overview's key combination; "Super" when absent.
        std::function<std::string()> overviewCombination;
        // As X11InputBackend::Options.
        int textPoolSize = 16;
        std::chrono::milliseconds textSlotRest{50};
        std::chrono::milliseconds reconnectInterval{2000};
    };

    explicit X11EventPoster(Options options);
    ~X11EventPoster() override;
    X11EventPoster(const X11EventPoster&) = delete;
    X11EventPoster& operator=(const X11EventPoster&) = delete;

    // "May this process post input": the display is open and has XTest.
    bool permitted() const;
    // Why not, as text for the console; empty when permitted.
    std::string reason() const;

    bool canCreate(const Event& event) override;
    void post(const Event& event) override;
    void flush() override;
    void releaseAll() override;
    // Flushes and waits until the server has handled everything posted so far (a round
    // trip): for tests, diagnostics and shutdown, never the input path.
    void sync();

    // Counts of what reached the server, for tests and diagnostics; `dropped` also counts the
    // events and characters with no Linux counterpart.
    using Stats = X11InputBackend::Stats;
    Stats stats() const;
    // Pixels not yet turned into wheel clicks (vertical, horizontal), sign as posted.
    std::pair<double, double> scrollRemainder() const;

    EventTranslator& translator() noexcept { return *translator_; }

private:
    std::function<InputSettings()> settings_;
    const X11InputBackend* backend_ = nullptr; // owned by the translator
    std::unique_ptr<EventTranslator> translator_;
};

} // namespace quillon::platform
