#include "Platform/Input/SmoothScrollBackend.hpp"

#include "Platform/Input/UinputDevice.hpp"
#include "Platform/Locale/Translation.hpp"

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

void SmoothScrollBackend::wheel(int vertical, int horizontal) {
    if (!wheel_) {
        inner_->wheel(vertical, horizontal);
        return;
    }
    const auto events = turns_.turn(vertical, horizontal);
    if (!events.empty() && !wheel_->emit(events)) {
        inner_->wheel(vertical, horizontal);
    }
}

void SmoothScrollBackend::releaseAll() {
    turns_.reset();
    inner_->releaseAll();
}

} // namespace quillon::platform
