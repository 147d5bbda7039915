#pragma once

#include "Quillon/Catalog/AppCatalog.hpp"
#include "Quillon/Catalog/AppSwitching.hpp"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace quillon::platform {
class SerialQueue;
}

namespace quillon {

// The application catalog behind AppSwitching. Listing runs on the service's worker
// ("quillon-catalog", joined when the service goes, after the listing under way), never on the
// caller's thread. At most one listing runs at a time per service: requests that arrive while one
// runs are answered together by the next listing, which starts right after it (so each answer
// reflects the disk after its request). A tablet that floods the host with requests therefore
// costs one thread and one listing at a time, not one of each per request. Activation looks
// for a running instance first (an X11 client window of the application), then for the
// installed entry, which it launches.
class AppCatalogService : public AppSwitching {
public:
    explicit AppCatalogService(std::vector<std::filesystem::path> searchRoots,
                               CatalogOptions options = {});
    ~AppCatalogService() override;

    const std::vector<std::filesystem::path>& searchRoots() const noexcept { return searchRoots_; }

    void listApplications(std::function<void(std::vector<wire::AppEntry>)> completion) override;
    void activate(const std::string& bundleID) override;

private:
    struct Listings;

    std::vector<std::filesystem::path> searchRoots_;
    CatalogOptions options_;
    std::shared_ptr<Listings> listings_;
    std::unique_ptr<platform::SerialQueue> worker_;
};

// An identifier as it goes into a log line: control characters (a line break from the network
// would forge a second log line) are written as \xNN.
std::string loggableIdentifier(const std::string& id);

} // namespace quillon
