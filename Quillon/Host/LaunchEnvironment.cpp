#include "Quillon/Host/LaunchEnvironment.hpp"

#include <cstdlib>
#include <initializer_list>

namespace quillon {

bool isPassiveMode() {
    return std::getenv("XCTestConfigurationFilePath") != nullptr ||
           std::getenv("XCTestSessionIdentifier") != nullptr;
}

bool hasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return true;
        }
    }
    return false;
}

} // namespace quillon
