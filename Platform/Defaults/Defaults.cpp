#include "Platform/Defaults/Defaults.hpp"

#include "Platform/Parsing/NestingScan.hpp"
#include "Platform/Paths/BaseDirectories.hpp"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillon::platform {

namespace {

using Json = nlohmann::json;

// A defaults file beyond this size is not ours to load into memory: a settings file holds a few
// dozen keys. It reads as unreadable without being read.
constexpr std::size_t kMaxFileSize = 1u << 20;
// The parser's copies and dumps recurse; settings nest a level or two.
constexpr std::size_t kMaxDepth = 64;
constexpr std::size_t kMaxValues = 65536;

std::filesystem::path standardPath() {
    return std::filesystem::path(baseDirectory(BaseDirectory::config)) / "corvane" /
           "defaults.json";
}

enum class FileState { missing, valid, malformed };

struct Loaded {
    FileState state = FileState::missing;
    Json object = Json::object();
    std::string problem; // why a malformed file could not be used
};

Loaded unreadable(std::string why) {
    Loaded result;
    result.state = FileState::malformed;
    result.problem = std::move(why);
    return result;
}

Loaded loadFile(const std::filesystem::path& file) {
    Loaded result;
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) {
            return result;
        }
        return unreadable(std::strerror(errno));
    }
    std::string text;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return unreadable("not a regular file");
    }
    if (static_cast<std::uintmax_t>(st.st_size) > kMaxFileSize) {
        ::close(fd);
        return unreadable("larger than " + std::to_string(kMaxFileSize >> 20) + " MiB (" +
                          std::to_string(st.st_size) + " bytes)");
    }
    bool ok = true;
    char buf[16384];
    while (ok) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 || text.size() + static_cast<std::size_t>(n) > kMaxFileSize) {
            ok = false;
            break;
        }
        if (n == 0) {
            break;
        }
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (!ok) {
        return unreadable("cannot be read whole (it grew past " +
                          std::to_string(kMaxFileSize >> 20) + " MiB or a read failed)");
    }
    const NestingVerdict shape = scanJSON(text, {kMaxDepth, kMaxValues, kMaxFileSize});
    if (shape != NestingVerdict::fits) {
        return unreadable(std::string("JSON ") + describe(shape));
    }
    Json parsed = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!parsed.is_object()) {
        return unreadable("not a JSON object");
    }
    result.state = FileState::valid;
    result.object = std::move(parsed);
    return result;
}

void writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw std::runtime_error(std::string("cannot write defaults: ") + std::strerror(errno));
        }
        done += static_cast<std::size_t>(n);
    }
}

// Replaces `file` with `text`: a temporary file in the same directory, flushed to disk, then
// renamed over the old one, so a reader sees the old file or the new one and never a mix.
void replaceFile(const std::filesystem::path& file, const std::string& text) {
    std::string tmp = file.string() + ".tmp.XXXXXX";
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error(std::string("cannot create a temporary defaults file: ") +
                                 std::strerror(errno));
    }
    try {
        ::fchmod(fd, 0600);
        writeAll(fd, text);
        if (::fsync(fd) != 0) {
            throw std::runtime_error(std::string("cannot flush defaults: ") + std::strerror(errno));
        }
    } catch (...) {
        ::close(fd);
        ::unlink(tmp.c_str());
        throw;
    }
    ::close(fd);
    if (::rename(tmp.c_str(), file.c_str()) != 0) {
        const int e = errno;
        ::unlink(tmp.c_str());
        throw std::runtime_error(std::string("cannot replace defaults: ") + std::strerror(e));
    }
    // Make the rename itself durable.
    const int dfd = ::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

} // namespace

// Changes are noticed by an inotify watch on the file's directory, served by a small thread
// that re-reads the file after each change. Readers touch only the in-memory object, so a
// read costs a lock and a lookup, never a system call.
struct Defaults::Impl {
    std::filesystem::path file;
    std::string fileName;
    std::string dir;

    // Readers look keys up in a hash index: the JSON object's ordered map costs several string
    // comparisons per lookup, which shows on a path called per input event.
    struct KeyHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept {
            return std::hash<std::string_view>{}(s);
        }
    };
    using Index = std::unordered_map<std::string, Json, KeyHash, std::equal_to<>>;

    mutable std::mutex cacheMutex;            // guards cache, index and problem
    std::atomic<std::uint64_t> generation{0}; // bumped after each install
    Json cache = Json::object();
    Index index;
    std::optional<std::string> problem;

    // Serialises reloads and writes in this process, so a reload never installs a file older
    // than one this process has just written.
    std::mutex writeMutex;

    int inotifyFd = -1;
    int wakeFd = -1;
    int watch = -1;
    std::thread watcher;

    void install(Loaded loaded) {
        std::optional<std::string> why;
        if (loaded.state == FileState::malformed) {
            why = file.string() + ": " + loaded.problem;
        }
        install(std::move(loaded.object), std::move(why));
    }

    void install(Json object, std::optional<std::string> why = std::nullopt) {
        Index next;
        next.reserve(object.size());
        for (const auto& [k, v] : object.items()) {
            next.emplace(k, v);
        }
        Json oldCache;
        Index oldIndex;
        std::lock_guard lock(cacheMutex);
        // The old contents are freed after the lock is released.
        oldCache = std::exchange(cache, std::move(object));
        oldIndex = std::exchange(index, std::move(next));
        generation.fetch_add(1, std::memory_order_release);
        problem = std::move(why);
    }

    // The stored value, under cacheMutex.
    const Json* findLocked(std::string_view key) const {
        auto it = index.find(key);
        return it == index.end() ? nullptr : &it->second;
    }

    void reload() {
        std::lock_guard lock(writeMutex);
        install(loadFile(file));
    }

    bool addWatch() {
        watch = ::inotify_add_watch(inotifyFd, dir.c_str(),
                                    IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE |
                                        IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
        return watch >= 0;
    }

    void watchLoop() {
        // Without a watch (the directory could not be made) we look again every so often, and
        // re-read the file each time, so a late directory is still picked up.
        constexpr int kRetryMs = 1000;
        alignas(inotify_event) char buf[8192];
        for (;;) {
            pollfd fds[2] = {{inotifyFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
            const int r = ::poll(fds, 2, watch >= 0 ? -1 : kRetryMs);
            if (r < 0 && errno != EINTR) {
                return;
            }
            if (fds[1].revents != 0) {
                return;
            }
            bool changed = false;
            if (watch < 0) {
                if (addWatch()) {
                    changed = true;
                }
            }
            if (fds[0].revents & POLLIN) {
                for (;;) {
                    const ssize_t n = ::read(inotifyFd, buf, sizeof buf);
                    if (n <= 0) {
                        break;
                    }
                    for (ssize_t off = 0; off < n;) {
                        const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
                        off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
                        if (ev->mask & IN_Q_OVERFLOW) {
                            changed = true;
                        } else if (ev->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
                            // The directory went away: the file reads as missing until a new
                            // directory appears.
                            if (ev->wd == watch) {
                                ::inotify_rm_watch(inotifyFd, watch);
                                watch = -1;
                            }
                            changed = true;
                        } else if (ev->len > 0 && fileName == ev->name) {
                            changed = true;
                        }
                    }
                }
            }
            if (changed) {
                reload();
            }
        }
    }
};

Defaults& Defaults::standard() {
    // Never destroyed: services on other threads may still read it during exit.
    static Defaults* instance = new Defaults(standardPath());
    return *instance;
}

Defaults::Defaults(std::filesystem::path file) : impl_(std::make_unique<Impl>()) {
    impl_->file = std::move(file);
    impl_->fileName = impl_->file.filename().string();
    impl_->dir = impl_->file.parent_path().string();
    if (impl_->dir.empty()) {
        impl_->dir = ".";
    }
    makePrivateDirectories(impl_->dir);
    impl_->inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    impl_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl_->inotifyFd >= 0) {
        impl_->addWatch();
    }
    // Watch first, then read: a change between the two is then never missed.
    impl_->reload();
    if (impl_->inotifyFd >= 0 && impl_->wakeFd >= 0) {
        impl_->watcher = std::thread([impl = impl_.get()] { impl->watchLoop(); });
    }
}

Defaults::~Defaults() {
    if (impl_->watcher.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(impl_->wakeFd, &one, sizeof one);
        impl_->watcher.join();
    }
    if (impl_->inotifyFd >= 0) {
        ::close(impl_->inotifyFd);
    }
    if (impl_->wakeFd >= 0) {
        ::close(impl_->wakeFd);
    }
}

const std::filesystem::path& Defaults::file() const noexcept {
    return impl_->file;
}

std::optional<nlohmann::json> Defaults::value(std::string_view key) const {
    std::lock_guard lock(impl_->cacheMutex);
    const Json* v = impl_->findLocked(key);
    if (v == nullptr) {
        return std::nullopt;
    }
    return *v;
}

std::optional<bool> Defaults::boolean(std::string_view key) const {
    std::lock_guard lock(impl_->cacheMutex);
    const Json* v = impl_->findLocked(key);
    if (v == nullptr || !v->is_boolean()) {
        return std::nullopt;
    }
    return v->get<bool>();
}

std::optional<double> Defaults::number(std::string_view key) const {
    std::lock_guard lock(impl_->cacheMutex);
    const Json* v = impl_->findLocked(key);
    if (v == nullptr || !v->is_number()) {
        return std::nullopt;
    }
    return v->get<double>();
}

std::optional<std::string> Defaults::string(std::string_view key) const {
    std::lock_guard lock(impl_->cacheMutex);
    const Json* v = impl_->findLocked(key);
    if (v == nullptr || !v->is_string()) {
        return std::nullopt;
    }
    return v->get<std::string>();
}

std::uint64_t Defaults::generation() const noexcept {
    return impl_->generation.load(std::memory_order_acquire);
}

nlohmann::json Defaults::snapshot() const {
    std::lock_guard lock(impl_->cacheMutex);
    return impl_->cache;
}

std::optional<std::string> Defaults::problem() const {
    std::lock_guard lock(impl_->cacheMutex);
    return impl_->problem;
}

namespace {

// Read-modify-write of the file (skipped when `modify` reports no change) under an exclusive lock
// on its directory, so two processes writing different keys at once both keep their key. Starts
// from the file, not from memory: another process may have written since our last reload.
template <typename Modify>
Json updateFile(const std::filesystem::path& file, const std::string& dir, Modify&& modify) {
    makePrivateDirectories(dir);
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) {
        throw std::runtime_error("cannot open the defaults directory " + dir + ": " +
                                 std::strerror(errno));
    }
    while (::flock(dfd, LOCK_EX) != 0 && errno == EINTR) {
    }
    try {
        Loaded current = loadFile(file);
        Json next = std::move(current.object);
        if (!modify(next)) {
            ::close(dfd);
            return next;
        }
        if (current.state == FileState::malformed) {
            // Keep what the user had before a fresh object replaces it. A copy, not a rename:
            // should the write below fail, the original must still be where it was.
            std::error_code ec;
            std::filesystem::copy_file(file, file.string() + ".corrupt",
                                       std::filesystem::copy_options::overwrite_existing, ec);
            if (ec && std::filesystem::exists(file)) {
                throw std::runtime_error("cannot keep a copy of the malformed defaults file: " +
                                         ec.message());
            }
        }
        const std::string text = next.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
        replaceFile(file, text);
        ::close(dfd); // releases the lock
        // What the file now holds, which is not always what we were given: JSON has no NaN or
        // infinity (written as null) and invalid UTF-8 was replaced.
        Json written = Json::parse(text, nullptr, false);
        return written.is_object() ? written : Json::object();
    } catch (...) {
        ::close(dfd);
        throw;
    }
}

} // namespace

void Defaults::set(std::string_view key, const nlohmann::json& value) {
    std::lock_guard lock(impl_->writeMutex);
    impl_->install(updateFile(impl_->file, impl_->dir, [&](Json& object) {
        object[std::string(key)] = value;
        return true;
    }));
}

void Defaults::remove(std::string_view key) {
    std::lock_guard lock(impl_->writeMutex);
    impl_->install(updateFile(impl_->file, impl_->dir,
                              [&](Json& object) { return object.erase(std::string(key)) > 0; }));
}

} // namespace quillon::platform
