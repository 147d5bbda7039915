#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace quillon::platform {

// Plain HTTP(S) requests whose answers nobody waits for: reports, pings. Thread-safe.
class HttpClient {
public:
    virtual ~HttpClient() = default;

    // Starts a GET of `url` and forgets it: the response and any failure are discarded. Only
    // http and https are ever fetched (another scheme, or a URL that does not parse, starts
    // nothing). Never blocks on the network.
    virtual void get(const std::string& url) = 0;
    // Requests started and not yet finished (answered, failed or timed out).
    virtual std::size_t pendingCount() = 0;
    // Abandons every request in flight.
    virtual void cancelAll() = 0;
};

// A client over libcurl. Transfers run on a serial queue of the client's own, advanced by a
// short timer while one is open (nothing runs while none is); each request is given up after
// `requestTimeout`. Destroying the client abandons what is in flight.
std::shared_ptr<HttpClient>
makeCurlHttpClient(std::chrono::milliseconds requestTimeout = std::chrono::milliseconds(5000));

// `url` with its query replaced by `encodedQuery` (used as it stands: the caller has encoded
// it; empty removes the query); nothing when `url` does not parse or is not http(s).
std::optional<std::string> withQuery(const std::string& url, const std::string& encodedQuery);

} // namespace quillon::platform
