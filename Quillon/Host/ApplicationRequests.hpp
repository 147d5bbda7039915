#pragma once

#include "WireProtocol/ControlMessage.hpp"

#include <functional>
#include <memory>
#include <set>
#include <string>

namespace quillon::platform {
class MainQueue;
}

namespace quillon {

class AppSwitching;

// The tablet's launcher requests: activating an application, and listing them. One list is in
// flight per device: repeated requests while it is being built are answered by it (the request
// is idempotent), so a client cannot queue list after list. The catalog answers on its own
// worker; the reply is sent on the main queue by `reply`, which routes it by the device's
// channel at that moment. Main queue only.
class ApplicationRequests : public std::enable_shared_from_this<ApplicationRequests> {
public:
    using Reply = std::function<void(const wire::ControlMessage&, const std::string& deviceID)>;

    // `catalog` may be null (no application catalog: the requests are dropped).
    ApplicationRequests(std::shared_ptr<AppSwitching> catalog,
                        std::shared_ptr<platform::MainQueue> mainQueue, Reply reply);

    // An activateApplication or listApplications of an admitted device; anything else is
    // ignored.
    void handle(const wire::ControlMessage& message, const std::string& deviceID);

private:
    std::shared_ptr<AppSwitching> catalog_;
    std::shared_ptr<platform::MainQueue> mainQueue_;
    Reply reply_;
    std::set<std::string> listsInFlight_;
};

} // namespace quillon
