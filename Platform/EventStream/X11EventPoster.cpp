#include "Platform/EventStream/X11EventPoster.hpp"

namespace quillon::platform {

X11EventPoster::X11EventPoster(Options options) : settings_(std::move(options.settings)) {
    if (!settings_) {
        settings_ = [] { return InputSettings{}; };
    }
    X11InputBackend::Options b;
    b.display = std::move(options.display);
    b.geometry = std::move(options.geometry);
    b.overviewCombination = std::move(options.overviewCombination);
    b.textPoolSize = options.textPoolSize;
    b.textSlotRest = options.textSlotRest;
    b.reconnectInterval = options.reconnectInterval;
    auto backend = std::make_unique<X11InputBackend>(std::move(b));
    backend_ = backend.get();
    translator_ = std::make_unique<EventTranslator>(std::move(backend), settings_);
}

X11EventPoster::~X11EventPoster() = default;

bool X11EventPoster::permitted() const {
    return translator_->permission().permitted;
}

std::string X11EventPoster::reason() const {
    return translator_->permission().reason;
}

bool X11EventPoster::canCreate(const Event& event) {
    return translator_->canCreate(event);
}

void X11EventPoster::post(const Event& event) {
    translator_->post(event);
}

void X11EventPoster::flush() {
    translator_->flush();
}

void X11EventPoster::releaseAll() {
    translator_->releaseAll();
}

void X11EventPoster::sync() {
    translator_->sync();
}

X11EventPoster::Stats X11EventPoster::stats() const {
    Stats s = translator_->withBackend([this](const InputBackend&) { return backend_->stats(); });
    s.dropped += translator_->droppedCount();
    return s;
}

std::pair<double, double> X11EventPoster::scrollRemainder() const {
    const auto [units, pixels] = std::pair{translator_->withBackend([this](const InputBackend&) {
                                               return backend_->wheelRemainder();
                                           }),
                                           translator_->scrollRemainder()};
    const double perUnit = settings_().scrollPixelsPerClick / kWheelUnitsPerClick;
    // The backend's horizontal units count the other way round (see EventTranslator::scroll).
    return {pixels.first + units.first * perUnit, pixels.second - units.second * perUnit};
}

} // namespace quillon::platform
