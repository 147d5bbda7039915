#include "Platform/Input/InputBackendFactory.hpp"

#include "Platform/Defaults/Defaults.hpp"
#include "Platform/EventStream/X11OverviewOpener.hpp"
#include "Platform/Input/X11InputBackend.hpp"

namespace quillon::platform {

std::unique_ptr<InputBackend> makeInputBackend(const InputBackendContext& context) {
    X11InputBackend::Options options;
    options.display = context.x11Display;
    options.geometry = context.x11Geometry;
    Defaults* defaults = &context.defaults;
    options.overviewCombination = [defaults] {
        return defaults->string("overviewKey").value_or(X11OverviewOpener::kDefaultCombination);
    };
    return std::make_unique<X11InputBackend>(std::move(options));
}

} // namespace quillon::platform
