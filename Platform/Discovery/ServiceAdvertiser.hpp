#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillon::platform {

// One DNS-SD service instance in the default domain.
struct ServiceRecord {
    std::string name; // instance name (may be renamed on a collision)
    std::string type; // e.g. "_corvane._tcp"
    std::uint16_t port = 0;
    std::vector<std::pair<std::string, std::string>> txt; // key=value entries, in order
    bool operator==(const ServiceRecord&) const = default;
};

// Publishes services for as long as they are wanted. A service stays wanted across a daemon
// that is absent, dies or restarts: it is published again whenever the daemon is back.
// Thread-safe.
class ServiceAdvertiser {
public:
    // A problem the user should hear about (registration refused, our name held by another
    // host so that we are advertised under another one: the text names both). Called on
    // the advertiser's own thread; receivers hop to their queue.
    using FailureHandler = std::function<void(const std::string& description)>;

    // Whether the services can be found on the network (the daemon runs and has them), told
    // on each change; a lost daemon is this, not a failure. Same thread as failures.
    using AvailabilityHandler = std::function<void(bool discoverable)>;

    virtual ~ServiceAdvertiser() = default;
    virtual void setFailureHandler(FailureHandler handler) = 0;
    // An advertiser that cannot lose its daemon never calls it.
    virtual void setAvailabilityHandler(AvailabilityHandler handler) {}
    // Publishes the record, replacing an earlier one of the same type.
    virtual void publish(const ServiceRecord& record) = 0;
    // Withdraws the service of that type (nothing when none is published).
    virtual void withdraw(const std::string& type) = 0;
};

// The avahi-daemon publisher (via the system D-Bus). Never fails to construct: without a
// daemon it waits for one.
std::shared_ptr<ServiceAdvertiser> makeAvahiAdvertiser();

// A service found on the network.
struct DiscoveredService {
    std::string name;
    std::string host; // numeric address
    std::uint16_t port = 0;
    std::vector<std::pair<std::string, std::string>> txt;
};

// The first instance of `type` (whose name starts with `namePrefix`) that avahi-daemon finds
// and resolves within `timeout` (IPv4 preferred, then IPv6); nothing when none, or without a
// daemon. Blocks.
std::optional<DiscoveredService> discoverService(const std::string& type,
                                                 std::chrono::milliseconds timeout,
                                                 const std::string& namePrefix = {});

// The machine's name for people: PRETTY_HOSTNAME of /etc/machine-info, else gethostname(),
// else "Linux".
std::string prettyHostName();
// The same from a given machine-info file (tests).
std::string prettyHostName(const std::string& machineInfoPath);

} // namespace quillon::platform
