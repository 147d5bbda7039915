#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace quillon::platform {

// Rendered icons kept on disk between listings. An entry is keyed by the icon file's path, its
// size and modification time, and the render parameters; the file name is a SHA-256 of that
// key. Each file repeats the key and carries a checksum of the picture, so a corrupt, truncated
// or colliding file is ignored (and replaced by a fresh render). Files are written to a
// temporary name and renamed, so readers never see half a file, and concurrent listings may
// share the directory. A failed render is remembered too, until the icon file changes.
// Thread-safe.
class IconRenderCache {
public:
    using Bytes = std::vector<std::uint8_t>;
    using Render = std::function<std::optional<Bytes>()>;

    // An empty directory turns the cache off: every get() renders.
    explicit IconRenderCache(std::filesystem::path directory);

    // $XDG_CACHE_HOME/corvane/icons (default ~/.cache/corvane/icons).
    static std::filesystem::path defaultDirectory();

    const std::filesystem::path& directory() const noexcept { return directory_; }

    // The picture for `iconFile` rendered with `parameters` (e.g. "128/65536"): the cached one
    // when its key still matches the file, otherwise `render()`'s result, which is stored.
    std::optional<Bytes> get(const std::filesystem::path& iconFile, const std::string& parameters,
                             const Render& render);

    // Removes cache files that no get() of this object used, and temporary files left by an
    // interrupted write. Meant for the end of a full listing.
    void pruneUnused();

private:
    std::filesystem::path directory_;
    std::mutex mutex_;
    std::unordered_set<std::string> used_;
};

} // namespace quillon::platform
