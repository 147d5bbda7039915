#include "Quillon/Host/Telemetry.hpp"

#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Dispatch/SerialQueue.hpp"
#include "Quillon/Host/LaunchEnvironment.hpp"
#include "Quillon/Host/ScreenLockMonitor.hpp"
#include "Quillon/Host/Version.hpp"

#include <curl/curl.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

namespace quillon::Telemetry {

namespace {

using Clock = std::chrono::steady_clock;
using Pairs = std::map<std::string, std::string>;

constexpr const char* kQueueLabel = "com.zomra.corvane.telemetry.mac";
constexpr const char* kEnabledKey = "telemetry.enabled";
constexpr long kRequestTimeoutMs = 5000;
constexpr auto kDefaultStartDelay = std::chrono::milliseconds(20'000);
constexpr auto kDefaultPeriod = std::chrono::milliseconds(300'000);
// While a request is in flight, the transfer is advanced this often on the queue (no thread of
// its own, and nothing runs at all while no request is open).
constexpr auto kTransferPoll = std::chrono::milliseconds(10);

bool isCountedName(std::string_view name) {
    return name == "pair" || name == "connect_wifi" || name == "connect_usb" ||
           name == "perm_denied";
}

struct State {
    platform::SerialQueue queue{kQueueLabel};

    // Everything below is touched on `queue` only.
    bool started = false;
    bool paired = false;
    bool screenLocked = false;
    std::map<std::string, long long> counters;
    Clock::time_point lastReport = Clock::now();
    std::shared_ptr<platform::TimerHandle> startTimer;
    std::shared_ptr<platform::TimerHandle> reportTimer;
    std::shared_ptr<platform::TimerHandle> transferTimer;
    std::unique_ptr<ScreenLockMonitor> lockMonitor;
    CURLM* multi = nullptr;
    std::set<CURL*> transfers;
    std::chrono::milliseconds startDelay = kDefaultStartDelay;
    std::chrono::milliseconds period = kDefaultPeriod;
    std::function<bool()> permissionCheck;
};

// Created on first use and never destroyed: timers and the lock monitor may still fire while
// the process exits, and must not find the state gone.
State& state() {
    static State* s = [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        return new State;
    }();
    return *s;
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

// The endpoint with its query replaced by `pairs` (empty values left out, keys in ascending
// order); nothing when the endpoint does not parse or is not http(s).
std::optional<std::string> reportURL(const std::string& endpointURL, const Pairs& pairs) {
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
    CURLU* url = curl_url();
    if (url == nullptr) {
        return std::nullopt;
    }
    std::optional<std::string> result;
    char* scheme = nullptr;
    char* full = nullptr;
    if (curl_url_set(url, CURLUPART_URL, endpointURL.c_str(), 0) == CURLUE_OK &&
        curl_url_get(url, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        (std::strcmp(scheme, "https") == 0 || std::strcmp(scheme, "http") == 0) &&
        curl_url_set(url, CURLUPART_QUERY, query.c_str(), 0) == CURLUE_OK &&
        curl_url_get(url, CURLUPART_URL, &full, 0) == CURLUE_OK) {
        result = full;
    }
    curl_free(scheme);
    curl_free(full);
    curl_url_cleanup(url);
    return result;
}

size_t discardBody(char*, size_t size, size_t count, void*) {
    return size * count;
}

void finishTransfer(State& s, CURL* easy) {
    curl_multi_remove_handle(s.multi, easy);
    curl_easy_cleanup(easy);
    s.transfers.erase(easy);
}

void pumpTransfers() {
    State& s = state();
    if (s.multi == nullptr) {
        return;
    }
    int running = 0;
    curl_multi_perform(s.multi, &running);
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(s.multi, &left)) {
        if (msg->msg == CURLMSG_DONE) {
            finishTransfer(s, msg->easy_handle); // response and errors are of no interest
        }
    }
    if (s.transfers.empty() && s.transferTimer) {
        s.transferTimer->cancel();
        s.transferTimer.reset();
    }
}

// Fire and forget: the request runs on the queue through a curl multi handle, advanced by a
// short timer while it is open, so the queue is never blocked by the network.
void launchRequest(const std::string& url) {
    State& s = state();
    if (s.multi == nullptr) {
        s.multi = curl_multi_init();
        if (s.multi == nullptr) {
            return;
        }
    }
    CURL* easy = curl_easy_init();
    if (easy == nullptr) {
        return;
    }
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, kRequestTimeoutMs);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discardBody);
    if (curl_multi_add_handle(s.multi, easy) != CURLM_OK) {
        curl_easy_cleanup(easy);
        return;
    }
    s.transfers.insert(easy);
    if (!s.transferTimer) {
        s.transferTimer = s.queue.scheduleRepeating(std::chrono::milliseconds(0), kTransferPoll,
                                                    [] { pumpTransfers(); });
    }
}

bool mayReport(const State& s) {
    return s.paired && !s.screenLocked && isEnabled();
}

void sendReport(Pairs pairs) {
    State& s = state();
    if (!mayReport(s)) {
        return;
    }
    // "t" names the client family the endpoint files the report under; it stays "mac" on this
    // host because the endpoint keys its data on that value. "os"/"arch" say what we really run on.
    pairs["t"] = "mac";
    pairs["v"] = kVersion;
    pairs["os"] = "Linux";
    pairs["arch"] = machineArchitecture();
    const auto url = reportURL(endpoint(), pairs);
    if (!url) {
        return;
    }
    launchRequest(*url);
}

std::string encodeCounters(const State& s) {
    std::string text;
    for (const auto& [name, count] : s.counters) { // ascending by name
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

void flush(const std::string& reason) {
    State& s = state();
    if (!mayReport(s)) {
        return; // counters stay for the next report that may leave
    }
    const auto now = Clock::now();
    const auto whole = std::chrono::duration_cast<std::chrono::seconds>(now - s.lastReport).count();
    const std::string counters = encodeCounters(s);
    if (whole < 1 && counters.empty()) {
        return;
    }
    s.lastReport = now;
    s.counters.clear();
    sendReport(
        {{"e", reason}, {"sec", std::to_string(std::max<long long>(whole, 0))}, {"f", counters}});
}

void startSequence() {
    State& s = state();
    if (s.started) {
        return;
    }
    s.started = true;
    s.lastReport = Clock::now();
    // A monitor of our own (the coordinator's may be stopped or restarted independently).
    // Its callbacks arrive on the main queue and hop back here.
    s.lockMonitor = std::make_unique<ScreenLockMonitor>(
        [] { state().queue.async([] { state().screenLocked = true; }); },
        [] { state().queue.async([] { state().screenLocked = false; }); });
    s.lockMonitor->start();
    if (s.permissionCheck && !s.permissionCheck()) {
        ++s.counters["perm_denied"];
    }
    s.startTimer = s.queue.scheduleOnce(s.startDelay, [] { sendReport({{"e", "start"}}); });
    s.reportTimer = s.queue.scheduleRepeating(s.period, s.period, [] { flush("hb"); });
}

} // namespace

void start() {
    if (isPassiveMode()) {
        return;
    }
    state().queue.async([] { startSequence(); });
}

void bump(std::string_view name) {
    if (!isCountedName(name)) {
        return;
    }
    const std::string key(name);
    state().queue.sync([&] { ++state().counters[key]; });
}

void notePaired(bool paired) {
    if (!paired) {
        return;
    }
    state().queue.sync([] { state().paired = true; });
}

bool isEnabled() {
    if (const char* dnt = std::getenv("DO_NOT_TRACK");
        dnt != nullptr && *dnt != '\0' && std::strcmp(dnt, "0") != 0) {
        return false;
    }
    return platform::Defaults::standard().boolean(kEnabledKey).value_or(true);
}

void setEnabled(bool enabled) {
    try {
        platform::Defaults::standard().set(kEnabledKey, enabled);
    } catch (const std::exception&) {
        // Unwritable settings: the stored choice stays as it was.
    }
    if (!enabled) {
        state().queue.sync([] {
            state().counters.clear();
            state().lastReport = Clock::now();
        });
    }
}

void applicationWillTerminate() {
    state().queue.async([] {
        if (state().started) {
            flush("quit");
        }
        // The lock state no longer matters; a bus thread left running would post into a main
        // queue that is being torn down.
        state().lockMonitor.reset();
    });
}

void waitForPendingReports(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        bool idle = false;
        state().queue.sync([&] { idle = state().transfers.empty(); });
        if (idle || Clock::now() >= deadline) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void setInputPermissionCheck(std::function<bool()> check) {
    state().queue.sync([&] { state().permissionCheck = std::move(check); });
}

std::string endpoint() {
    if (const char* env = std::getenv("CORVANE_TELEMETRY_URL"); env != nullptr) {
        return env;
    }
    return kBuiltInTelemetryURL;
}

namespace testing {

void setIntervals(std::chrono::milliseconds startDelay, std::chrono::milliseconds period) {
    state().queue.sync([&] {
        state().startDelay = startDelay;
        state().period = period;
    });
}

void reset() {
    State& s = state();
    s.queue.sync([&] {
        for (auto* timer : {&s.startTimer, &s.reportTimer, &s.transferTimer}) {
            if (*timer) {
                (*timer)->cancel();
                timer->reset();
            }
        }
        while (!s.transfers.empty()) {
            finishTransfer(s, *s.transfers.begin());
        }
        s.lockMonitor.reset();
        s.started = false;
        s.paired = false;
        s.screenLocked = false;
        s.counters.clear();
        s.lastReport = Clock::now();
        s.startDelay = kDefaultStartDelay;
        s.period = kDefaultPeriod;
        s.permissionCheck = nullptr;
    });
}

bool screenLocked() {
    bool locked = false;
    state().queue.sync([&] { locked = state().screenLocked; });
    return locked;
}

} // namespace testing

} // namespace quillon::Telemetry
