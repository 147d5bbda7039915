#pragma once

#include "WireProtocol/ControlMessage.hpp"

#include <functional>
#include <string>
#include <vector>

namespace quillon {

// What the coordinator asks of the application catalog.
class AppSwitching {
public:
    virtual ~AppSwitching() = default;

    // Lists the installed applications without blocking the caller: the work runs on a worker
    // thread, and `completion` is called there exactly once with the list (possibly empty,
    // never a failure). Callers that need the result on their own thread post it there.
    virtual void listApplications(std::function<void(std::vector<wire::AppEntry>)> completion) = 0;

    // Brings the application forward: its running instance if there is one, otherwise a new
    // launch. Returns when the request has been handed on; the outcome is only logged.
    virtual void activate(const std::string& bundleID) = 0;
};

} // namespace quillon
