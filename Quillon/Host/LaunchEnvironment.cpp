#include "Quillon/Host/LaunchEnvironment.hpp"

#include <cstdlib>

namespace quillon {

bool isPassiveMode() {
    return std::getenv("XCTestConfigurationFilePath") != nullptr ||
           std::getenv("XCTestSessionIdentifier") != nullptr;
}

} // namespace quillon
