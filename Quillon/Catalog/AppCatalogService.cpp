#include "Quillon/Catalog/AppCatalogService.hpp"

#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Locale/Translation.hpp"
#include "Platform/Workspace/DesktopEntry.hpp"
#include "Platform/Workspace/RunningWindows.hpp"
#include "Quillon/Catalog/AppSwitchDecision.hpp"

#include <cstdio>
#include <mutex>
#include <set>
#include <thread>

namespace quillon {

namespace {

constexpr std::string_view kWindowScheme = "x11-window:";

} // namespace

std::string loggableIdentifier(const std::string& id) {
    std::string out;
    out.reserve(id.size());
    for (const char c : id) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            char buf[5];
            std::snprintf(buf, sizeof buf, "\\x%02X", u);
            out += buf;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

using Completion = std::function<void(std::vector<wire::AppEntry>)>;

// Shared with the worker thread, which may outlive the service.
struct AppCatalogService::Listings {
    std::mutex mutex;
    bool running = false;
    std::vector<Completion> waiting;
};

AppCatalogService::AppCatalogService(std::vector<std::filesystem::path> searchRoots,
                                     CatalogOptions options)
    : searchRoots_(std::move(searchRoots)), options_(std::move(options)),
      listings_(std::make_shared<Listings>()) {}

void AppCatalogService::listApplications(Completion completion) {
    {
        std::lock_guard lock(listings_->mutex);
        listings_->waiting.push_back(std::move(completion));
        if (listings_->running) {
            return; // the running worker takes it up next
        }
        listings_->running = true;
    }
    std::thread([listings = listings_, roots = searchRoots_, options = options_]() {
        while (true) {
            std::vector<Completion> batch;
            {
                std::lock_guard lock(listings->mutex);
                if (listings->waiting.empty()) {
                    listings->running = false;
                    return;
                }
                batch.swap(listings->waiting);
            }
            std::vector<wire::AppEntry> entries;
            try {
                entries = AppCatalog::makeEntries(roots, options);
            } catch (...) {
                // Out of memory or a file system failure mid-walk: an empty list is still an
                // answer, and every caller must hear back exactly once.
                entries.clear();
            }
            for (auto& completion : batch) {
                try {
                    if (completion) {
                        completion(entries);
                    }
                } catch (...) {
                    // One caller's failure must not cost the others their answer.
                }
            }
        }
    }).detach();
}

void AppCatalogService::activate(const std::string& bundleID) {
    // The installed entry: the first desktop file with this ID, unless it is Hidden (deleted)
    // or its TryExec program is missing (not installed after all).
    std::optional<platform::DesktopEntry> entry;
    if (!bundleID.empty()) {
        const std::string fileID = bundleID + ".desktop";
        for (const auto& [id, path] : AppCatalog::desktopFiles(searchRoots_)) {
            if (id == fileID) {
                entry = platform::readDesktopEntry(path);
                if (entry) {
                    break; // a file that is no application entry does not take the ID
                }
            }
        }
    }
    if (entry && (entry->hidden || !platform::tryExecSucceeds(entry->tryExec))) {
        entry.reset();
    }

    platform::WindowMatch match;
    match.names.push_back(bundleID);
    if (entry) {
        match.startupWMClass = entry->startupWMClass;
        // The program's name usually is the window class; launchers and interpreters are not.
        static const std::set<std::string> wrappers = {
            "env",  "sh",   "bash", "flatpak",    "snap",     "python", "python3",
            "perl", "java", "wine", "gtk-launch", "xdg-open", "mono"};
        if (auto program = platform::execProgramName(entry->exec);
            !program.empty() && wrappers.count(program) == 0) {
            match.names.push_back(std::move(program));
        }
        match.desktopFile = entry->path;
    }
    std::optional<std::uint32_t> window;
    if (!bundleID.empty()) {
        window = platform::RunningWindows::find(match);
    }

    std::optional<std::string> running;
    if (window) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "0x%x", *window);
        running = std::string(kWindowScheme) + buf;
    }
    std::optional<std::string> installed;
    if (entry) {
        installed = entry->path.string();
    }
    const auto decision = AppSwitchDecision::decide(running, installed);
    if (decision.kind == AppSwitchDecision::Kind::notFound) {
        platform::DiagLog::write(
            i18n::fill(i18n::tr("[app switch] no installed application has bundleID={1}; ignored"),
                       {loggableIdentifier(bundleID)}));
        return;
    }
    const auto error = (running && decision.url == *running)
                           ? platform::RunningWindows::activate(*window)
                           : platform::launchDesktopEntry(entry->path);
    if (error) {
        platform::DiagLog::write(
            i18n::fill(i18n::tr("[app switch] activating or starting {1} failed: {2}"),
                       {loggableIdentifier(bundleID), *error}));
    }
}

} // namespace quillon
