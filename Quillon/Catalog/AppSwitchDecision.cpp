#include "Quillon/Catalog/AppSwitchDecision.hpp"

namespace quillon {

AppSwitchDecision AppSwitchDecision::decide(const std::optional<std::string>& running,
                                            const std::optional<std::string>& installed) {
    if (running) {
        return open(*running);
    }
    if (installed) {
        return open(*installed);
    }
    return notFound();
}

} // namespace quillon
