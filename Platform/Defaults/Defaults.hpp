#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quillon::platform {

// Typed user defaults kept as one JSON object in $XDG_CONFIG_HOME/corvane/defaults.json
// (default ~/.config/corvane/defaults.json). Reads are cheap enough for the input path: the
// file is re-read only after it changed (a change notification, not a read or stat per call).
// Writes replace the file atomically (temporary file + rename), so a crash never leaves half a
// file. Every accessor answers the stored JSON type exactly; what a wrong type means is the
// caller's rule (each key's owner documents it). Thread-safe.
class Defaults {
public:
    // The user's defaults file (path from the environment at first use).
    static Defaults& standard();

    explicit Defaults(std::filesystem::path file);
    ~Defaults();
    Defaults(const Defaults&) = delete;
    Defaults& operator=(const Defaults&) = delete;

    const std::filesystem::path& file() const noexcept;

    // The stored value, or nothing when the key is absent.
    std::optional<nlohmann::json> value(std::string_view key) const;
    // The value when it has that JSON type, else nothing (absent and wrong type alike).
    std::optional<bool> boolean(std::string_view key) const;
    std::optional<double> number(std::string_view key) const;
    std::optional<std::string> string(std::string_view key) const;
    // A count that changes whenever the stored values may have (a reload, a write): a reader
    // on a hot path keeps what it read with the count and reads again only when it moved.
    // Lock-free.
    std::uint64_t generation() const noexcept;

    // Every key at once, as one JSON object.
    nlohmann::json snapshot() const;
    // Why the file as last read could not be used ("<path>: larger than 1 MiB (...)", "...: JSON
    // nested too deeply", ...), or nothing when it was read or is absent. Unusable files read as
    // empty: every key keeps its default. A file over 1 MiB is never loaded into memory.
    std::optional<std::string> problem() const;

    // Stores (or replaces) a value and writes the file. Throws std::runtime_error when the file
    // cannot be written; the previous file then stays as it was.
    void set(std::string_view key, const nlohmann::json& value);
    void remove(std::string_view key);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace quillon::platform
