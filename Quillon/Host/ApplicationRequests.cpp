#include "Quillon/Host/ApplicationRequests.hpp"

#include "Platform/Dispatch/MainQueue.hpp"
#include "Quillon/Catalog/AppSwitching.hpp"

namespace quillon {

ApplicationRequests::ApplicationRequests(std::shared_ptr<AppSwitching> catalog,
                                         std::shared_ptr<platform::MainQueue> mainQueue,
                                         Reply reply)
    : catalog_(std::move(catalog)), mainQueue_(std::move(mainQueue)), reply_(std::move(reply)) {}

void ApplicationRequests::handle(const wire::ControlMessage& message, const std::string& deviceID) {
    if (!catalog_) {
        return;
    }
    if (const auto* activate = message.getIf<wire::cm::ActivateApplication>()) {
        catalog_->activate(activate->bundleID);
        return;
    }
    if (!message.is<wire::cm::ListApplications>() || !listsInFlight_.insert(deviceID).second) {
        return;
    }
    catalog_->listApplications([weak = weak_from_this(), mainQueue = mainQueue_,
                                deviceID](std::vector<wire::AppEntry> entries) {
        mainQueue->post([weak, deviceID, entries = std::move(entries)]() mutable {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            self->listsInFlight_.erase(deviceID);
            self->reply_(wire::cm::ApplicationList{std::move(entries)}, deviceID);
        });
    });
}

} // namespace quillon
