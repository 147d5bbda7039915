#pragma once

#include "Quillon/AppCatalog.hpp"
#include "Quillon/AppSwitching.hpp"

#include <filesystem>
#include <string>
#include <vector>

namespace quillon {

// The application catalog behind AppSwitching. Listing runs on a thread of its own per
// request, so two requests at once run side by side with no shared state (the icon cache
// directory is shared safely). Activation looks for a running instance first (an X11 client
// window of the application), then for the installed entry, which it launches.
class AppCatalogService : public AppSwitching {
public:
    explicit AppCatalogService(std::vector<std::filesystem::path> searchRoots,
                               CatalogOptions options = {});

    const std::vector<std::filesystem::path>& searchRoots() const noexcept { return searchRoots_; }

    void listApplications(std::function<void(std::vector<wire::AppEntry>)> completion) override;
    void activate(const std::string& bundleID) override;

private:
    std::vector<std::filesystem::path> searchRoots_;
    CatalogOptions options_;
};

// An identifier as it goes into a log line: control characters (a line break from the network
// would forge a second log line) are written as \xNN.
std::string loggableIdentifier(const std::string& id);

} // namespace quillon
