#include "Platform/Workspace/IconRenderCache.hpp"

#include "Platform/Paths/BaseDirectories.hpp"

#include <glib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace quillon::platform {

namespace {

constexpr std::string_view kMagic = "corvane-icon 1\n";
constexpr std::uintmax_t kMaxCacheFileBytes = 1u << 20;
constexpr std::string_view kSuffix = ".icon";
constexpr std::string_view kTempMarker = ".tmp-";

std::string sha256Hex(const void* data, std::size_t size) {
    gchar* hex =
        g_compute_checksum_for_data(G_CHECKSUM_SHA256, static_cast<const guchar*>(data), size);
    std::string out(hex);
    g_free(hex);
    return out;
}

// Layout: magic, key line, "ok <length> <sha256>" or "failed", newline, picture bytes.
std::string header(const std::string& key, const std::optional<IconRenderCache::Bytes>& png) {
    std::string h(kMagic);
    h += key;
    h += '\n';
    if (png) {
        h += "ok " + std::to_string(png->size()) + ' ' + sha256Hex(png->data(), png->size());
    } else {
        h += "failed";
    }
    h += '\n';
    return h;
}

// The cached result: nothing when the file is missing or does not hold this key intact;
// otherwise the stored outcome (itself absent for a remembered failure).
std::optional<std::optional<IconRenderCache::Bytes>> readEntry(const std::filesystem::path& file,
                                                               const std::string& key) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    if (ec || size > kMaxCacheFileBytes) {
        return std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string_view rest(text);
    const std::string expectedStart = std::string(kMagic) + key + '\n';
    if (rest.substr(0, expectedStart.size()) != expectedStart) {
        return std::nullopt;
    }
    rest.remove_prefix(expectedStart.size());
    const auto nl = rest.find('\n');
    if (nl == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view status = rest.substr(0, nl);
    const std::string_view body = rest.substr(nl + 1);
    if (status == "failed") {
        if (!body.empty()) {
            return std::nullopt;
        }
        // A remembered failure: a present outer value holding an absent picture.
        return std::optional<std::optional<IconRenderCache::Bytes>>(std::in_place);
    }
    IconRenderCache::Bytes png(body.begin(), body.end());
    const std::string expectedStatus =
        "ok " + std::to_string(png.size()) + ' ' + sha256Hex(png.data(), png.size());
    if (status != expectedStatus) {
        return std::nullopt;
    }
    return std::optional<IconRenderCache::Bytes>(std::move(png));
}

void writeAtomically(const std::filesystem::path& file, const std::string& head,
                     const std::optional<IconRenderCache::Bytes>& png) {
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    std::string temp = file.string() + std::string(kTempMarker) + "XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        return;
    }
    const auto writeAll = [fd](const void* data, std::size_t size) {
        const auto* p = static_cast<const char*>(data);
        while (size > 0) {
            const ssize_t n = ::write(fd, p, size);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            p += n;
            size -= std::size_t(n);
        }
        return true;
    };
    bool ok = writeAll(head.data(), head.size());
    if (ok && png) {
        ok = writeAll(png->data(), png->size());
    }
    ::fchmod(fd, 0600);
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(temp.c_str(), file.c_str()) != 0) {
        ::unlink(temp.c_str());
    }
}

} // namespace

IconRenderCache::IconRenderCache(std::filesystem::path directory)
    : directory_(std::move(directory)) {}

std::filesystem::path IconRenderCache::defaultDirectory() {
    return std::filesystem::path(baseDirectory(BaseDirectory::cache)) / "corvane" / "icons";
}

std::optional<IconRenderCache::Bytes> IconRenderCache::get(const std::filesystem::path& iconFile,
                                                           const std::string& parameters,
                                                           const Render& render) {
    if (directory_.empty()) {
        return render();
    }
    struct stat st {};
    if (::stat(iconFile.c_str(), &st) != 0) {
        return render();
    }
    const std::string key = iconFile.string() + '\n' + parameters + '\n' +
                            std::to_string(st.st_size) + ' ' + std::to_string(st.st_mtim.tv_sec) +
                            '.' + std::to_string(st.st_mtim.tv_nsec) + ' ' +
                            std::to_string(st.st_ino);
    // A newline in a path would make the key line ambiguous; such files are simply not cached.
    if (iconFile.string().find('\n') != std::string::npos) {
        return render();
    }
    const std::string name = sha256Hex(key.data(), key.size()) + std::string(kSuffix);
    const auto file = directory_ / name;
    {
        std::lock_guard lock(mutex_);
        used_.insert(name);
    }
    if (auto cached = readEntry(file, key)) {
        return std::move(*cached);
    }
    auto result = render();
    writeAtomically(file, header(key, result), result);
    return result;
}

void IconRenderCache::pruneUnused() {
    if (directory_.empty()) {
        return;
    }
    std::unordered_set<std::string> used;
    {
        std::lock_guard lock(mutex_);
        used = used_;
    }
    const auto now = std::filesystem::file_time_type::clock::now();
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(directory_, ec)) {
        const std::string name = entry.path().filename().string();
        std::error_code ignored;
        if (name.find(kTempMarker) != std::string::npos) {
            // Another listing may be writing it right now; only old leftovers go.
            const auto age = now - std::filesystem::last_write_time(entry.path(), ignored);
            if (!ignored && age > std::chrono::hours(1)) {
                std::filesystem::remove(entry.path(), ignored);
            }
        } else if (name.size() > kSuffix.size() &&
                   name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0 &&
                   used.count(name) == 0) {
            std::filesystem::remove(entry.path(), ignored);
        }
    }
}

} // namespace quillon::platform
