#include "Quillon/Host/Telemetry.hpp"

#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Dispatch/SerialQueue.hpp"
#include "Platform/Network/HttpClient.hpp"
#include "Quillon/Host/ScreenLockMonitor.hpp"
#include "Quillon/Host/Version.hpp"

#include <sys/utsname.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

namespace quillon {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kQueueLabel = "quillon-telem";
constexpr const char* kEnabledKey = "telemetry.enabled";

bool isCountedName(std::string_view name) {
    return name == "pair" || name == "connect_wifi" || name == "connect_usb" ||
           name == "perm_denied";
}

std::string machineArchitecture() {
    utsname names{};
    if (::uname(&names) != 0) {
        return "unknown";
    }
    return names.machine;
}

// Query encoding as browsers and URL libraries write query items: unreserved characters and
// the sub-delimiters that carry no meaning inside a value stay literal; '&', '=', '+', '#',
// spaces and every non-ASCII byte are percent-encoded.
std::string encodeQueryComponent(std::string_view text) {
    static const char* kHex = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        const bool literal = std::isalnum(c) != 0 || std::strchr("-._~!$'()*,;:@/?", c) != nullptr;
        if (literal && c != '\0') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
    }
    return out;
}

// The query of a report: `pairs` with empty values left out, keys in ascending order.
std::string encodeQuery(const std::map<std::string, std::string>& pairs) {
    std::string query;
    for (const auto& [key, value] : pairs) { // std::map: ascending keys
        if (value.empty()) {
            continue;
        }
        if (!query.empty()) {
            query.push_back('&');
        }
        query += encodeQueryComponent(key) + "=" + encodeQueryComponent(value);
    }
    return query;
}

std::string encodeCounters(const std::map<std::string, long long>& counters) {
    std::string text;
    for (const auto& [name, count] : counters) { // ascending by name
        if (count <= 0) {
            continue;
        }
        if (!text.empty()) {
            text.push_back(',');
        }
        text += name + ":" + std::to_string(count);
    }
    return text;
}

} // namespace

Telemetry::Telemetry(Services services) : Telemetry(std::move(services), Options{}) {}

Telemetry::Telemetry(Services services, Options options)
    : services_(std::move(services)), options_(std::move(options)), lastReport_(Clock::now()),
      queue_(std::make_unique<platform::SerialQueue>(kQueueLabel)) {}

Telemetry::~Telemetry() {
    queue_->sync([this] {
        for (auto* timer : {&startTimer_, &reportTimer_}) {
            if (*timer) {
                (*timer)->cancel();
                timer->reset();
            }
        }
        // Stopped here, on the main thread's watch: none of its callbacks runs after this.
        lockMonitor_.reset();
    });
    queue_.reset();
}

bool Telemetry::mayReport() const {
    return paired_ && !screenLocked_ && isEnabled();
}

void Telemetry::sendReport(Pairs pairs) {
    if (!mayReport()) {
        return;
    }
    // "t" names the client family the endpoint files the report under; it stays "mac" on this
    // host because the endpoint keys its data on that value. "os"/"arch" say what we really run on.
    pairs["t"] = "mac";
    pairs["v"] = kVersion;
    pairs["os"] = "Linux";
    pairs["arch"] = machineArchitecture();
    // The endpoint's own query is replaced, not extended; an endpoint that is not http(s)
    // sends nothing.
    if (const auto url = platform::withQuery(endpoint(), encodeQuery(pairs))) {
        services_.http->get(*url);
    }
}

void Telemetry::flush(const std::string& reason) {
    if (!mayReport()) {
        return; // counters stay for the next report that may leave
    }
    const auto now = Clock::now();
    const auto whole = std::chrono::duration_cast<std::chrono::seconds>(now - lastReport_).count();
    const std::string counters = encodeCounters(counters_);
    if (whole < 1 && counters.empty()) {
        return;
    }
    lastReport_ = now;
    counters_.clear();
    sendReport(
        {{"e", reason}, {"sec", std::to_string(std::max<long long>(whole, 0))}, {"f", counters}});
}

void Telemetry::startSequence() {
    if (started_) {
        return;
    }
    started_ = true;
    lastReport_ = Clock::now();
    if (services_.lockSource) {
        // Its callbacks arrive on the main queue and hop back here.
        lockMonitor_ = std::make_unique<ScreenLockMonitor>(
            services_.lockSource, services_.mainQueue,
            [this] { queue_->async([this] { screenLocked_ = true; }); },
            [this] { queue_->async([this] { screenLocked_ = false; }); });
        lockMonitor_->start();
    }
    if (options_.inputPermission && !options_.inputPermission()) {
        ++counters_["perm_denied"];
    }
    startTimer_ = queue_->scheduleOnce(options_.startDelay, [this] {
        sendReport({{"e", "start"}});
    });
    reportTimer_ =
        queue_->scheduleRepeating(options_.period, options_.period, [this] { flush("hb"); });
}

void Telemetry::start() {
    if (options_.passive) {
        return;
    }
    queue_->async([this] { startSequence(); });
}

void Telemetry::bump(std::string_view name) {
    if (!isCountedName(name)) {
        return;
    }
    const std::string key(name);
    queue_->sync([&] { ++counters_[key]; });
}

void Telemetry::notePaired(bool paired) {
    if (!paired) {
        return;
    }
    queue_->sync([this] { paired_ = true; });
}

bool Telemetry::isEnabled() const {
    if (const char* dnt = std::getenv("DO_NOT_TRACK");
        dnt != nullptr && *dnt != '\0' && std::strcmp(dnt, "0") != 0) {
        return false;
    }
    return services_.defaults.boolean(kEnabledKey).value_or(true);
}

void Telemetry::setEnabled(bool enabled) {
    try {
        services_.defaults.set(kEnabledKey, enabled);
    } catch (const std::exception&) {
        // Unwritable settings: the stored choice stays as it was.
    }
    if (!enabled) {
        queue_->sync([this] {
            counters_.clear();
            lastReport_ = Clock::now();
        });
    }
}

void Telemetry::beforeExit() {
    queue_->async([this] {
        if (started_) {
            flush("quit");
        }
        // The lock state no longer matters; a source left watching would post into a main
        // queue that is being torn down.
        lockMonitor_.reset();
    });
}

void Telemetry::waitForPendingReports(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    // The quit report is handed to the client on the queue: let that happen first.
    queue_->sync([] {});
    while (services_.http->pendingCount() > 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool Telemetry::screenLocked() {
    bool locked = false;
    queue_->sync([&] { locked = screenLocked_; });
    return locked;
}

std::string Telemetry::endpoint() {
    if (const char* env = std::getenv("CORVANE_TELEMETRY_URL"); env != nullptr) {
        return env;
    }
    return kBuiltInTelemetryURL;
}

} // namespace quillon
