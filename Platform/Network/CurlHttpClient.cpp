#include "Platform/Network/HttpClient.hpp"

#include "Platform/Dispatch/SerialQueue.hpp"

#include <curl/curl.h>

#include <cstring>
#include <mutex>
#include <set>

namespace quillon::platform {

namespace {

// While a request is in flight, the transfers are advanced this often on the client's queue.
constexpr auto kTransferPoll = std::chrono::milliseconds(10);

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t discardBody(char*, size_t size, size_t count, void*) {
    return size * count;
}

class CurlHttpClient : public HttpClient, public std::enable_shared_from_this<CurlHttpClient> {
public:
    explicit CurlHttpClient(std::chrono::milliseconds requestTimeout)
        : requestTimeout_(requestTimeout) {}

    ~CurlHttpClient() override {
        // Runs on the caller's thread once no handler can hold a reference any more (handlers
        // capture weak references); the queue member stops with the object.
        queue_.sync([this] {
            abandonAll();
            if (multi_ != nullptr) {
                curl_multi_cleanup(multi_);
                multi_ = nullptr;
            }
        });
    }

    void get(const std::string& url) override {
        if (!isHttpURL(url)) {
            return;
        }
        std::weak_ptr<CurlHttpClient> weak = weak_from_this();
        queue_.async([weak, url] {
            if (auto self = weak.lock()) {
                self->launch(url);
            }
        });
    }

    std::size_t pendingCount() override {
        std::size_t count = 0;
        queue_.sync([&] { count = transfers_.size(); });
        return count;
    }

    void cancelAll() override {
        queue_.sync([this] { abandonAll(); });
    }

private:
    static bool isHttpURL(const std::string& url) {
        const auto parsed = withQuery(url, "");
        return parsed.has_value();
    }

    // On the queue.
    void launch(const std::string& url) {
        if (multi_ == nullptr) {
            multi_ = curl_multi_init();
            if (multi_ == nullptr) {
                return;
            }
        }
        CURL* easy = curl_easy_init();
        if (easy == nullptr) {
            return;
        }
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(requestTimeout_.count()));
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        // Also for redirects: a report never turns into a file:// or ftp:// fetch.
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discardBody);
        if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
            curl_easy_cleanup(easy);
            return;
        }
        transfers_.insert(easy);
        if (!timer_) {
            std::weak_ptr<CurlHttpClient> weak = weak_from_this();
            timer_ = queue_.scheduleRepeating(std::chrono::milliseconds(0), kTransferPoll, [weak] {
                if (auto self = weak.lock()) {
                    self->pump();
                }
            });
        }
    }

    // On the queue.
    void pump() {
        if (multi_ == nullptr) {
            return;
        }
        int running = 0;
        curl_multi_perform(multi_, &running);
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
            if (msg->msg == CURLMSG_DONE) {
                finish(msg->easy_handle); // response and errors are of no interest
            }
        }
        if (transfers_.empty()) {
            stopTimer();
        }
    }

    void finish(CURL* easy) {
        curl_multi_remove_handle(multi_, easy);
        curl_easy_cleanup(easy);
        transfers_.erase(easy);
    }

    void abandonAll() {
        while (!transfers_.empty()) {
            finish(*transfers_.begin());
        }
        stopTimer();
    }

    void stopTimer() {
        if (timer_) {
            timer_->cancel();
            timer_.reset();
        }
    }

    const std::chrono::milliseconds requestTimeout_;
    // Touched on the queue only.
    CURLM* multi_ = nullptr;
    std::set<CURL*> transfers_;
    std::shared_ptr<TimerHandle> timer_;
    // Last, so it stops first: no handler runs while the members above go away.
    SerialQueue queue_{"quillon-http"};
};

} // namespace

std::shared_ptr<HttpClient> makeCurlHttpClient(std::chrono::milliseconds requestTimeout) {
    initialiseCurlOnce();
    return std::make_shared<CurlHttpClient>(requestTimeout);
}

std::optional<std::string> withQuery(const std::string& url, const std::string& encodedQuery) {
    initialiseCurlOnce();
    CURLU* handle = curl_url();
    if (handle == nullptr) {
        return std::nullopt;
    }
    std::optional<std::string> result;
    char* scheme = nullptr;
    char* full = nullptr;
    if (curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        curl_url_get(handle, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        (std::strcmp(scheme, "https") == 0 || std::strcmp(scheme, "http") == 0) &&
        curl_url_set(handle, CURLUPART_QUERY, encodedQuery.empty() ? nullptr : encodedQuery.c_str(),
                     0) == CURLUE_OK &&
        curl_url_get(handle, CURLUPART_URL, &full, 0) == CURLUE_OK) {
        result = full;
    }
    curl_free(scheme);
    curl_free(full);
    curl_url_cleanup(handle);
    return result;
}

} // namespace quillon::platform
