#include "Platform/Input/SmoothScrollBackend.hpp"

#include "Platform/Input/EvdevKeys.hpp"
#include "Platform/Locale/Translation.hpp"

#include <algorithm>

namespace quillon::platform {

SmoothScrollBackend::SmoothScrollBackend(std::unique_ptr<InputBackend> inner,
                                         const std::string& devicePath)
    : inner_(std::move(inner)) {
    std::string error;
    wheel_ = UinputDevice::create(devicePath, UinputDevices::pointer("Quillon wheel"), error);
    if (!wheel_) {
        note_ = i18n::fill(i18n::tr("scroll is smooth, but {1}: the wheel turns by whole clicks"),
                           {error});
    }
}

SmoothScrollBackend::~SmoothScrollBackend() = default;

void SmoothScrollBackend::movePointerTo(Point to) {
    unsynced_ = true;
    inner_->movePointerTo(to);
}

void SmoothScrollBackend::movePointerBy(double dx, double dy) {
    unsynced_ = true;
    inner_->movePointerBy(dx, dy);
}

void SmoothScrollBackend::button(int button, bool down) {
    unsynced_ = true;
    inner_->button(button, down);
}

void SmoothScrollBackend::key(int evdevCode, bool down) {
    if (isModifierKey(evdevCode)) {
        modifiersDown_ = std::max(0, modifiersDown_ + (down ? 1 : -1));
    }
    unsynced_ = true;
    inner_->key(evdevCode, down);
}

void SmoothScrollBackend::typeText(std::u32string_view text) {
    unsynced_ = true;
    inner_->typeText(text);
}

bool SmoothScrollBackend::desktopAction(DesktopAction action) {
    unsynced_ = true;
    return inner_->desktopAction(action);
}

void SmoothScrollBackend::wheel(int vertical, int horizontal) {
    if (!wheel_ || modifiersDown_ > 0) {
        unsynced_ = true;
        inner_->wheel(vertical, horizontal);
        return;
    }
    if (unsynced_) {
        inner_->sync();
        unsynced_ = false;
    }
    const auto turn = turns_.turn(vertical, horizontal);
    if (!turn.empty() && !wheel_->emit(turn.span())) {
        inner_->wheel(vertical, horizontal);
    }
}

} // namespace quillon::platform
