#include "Platform/Keychain/Keychain.hpp"

#include "Platform/Locale/Translation.hpp"
#include "Platform/Paths/BaseDirectories.hpp"

#include <sqlite3.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillon::platform {

namespace {

using S = KeychainStatus;

thread_local std::string tlsLastError;

// How long a call waits for another connection's write lock before answering databaseBusy.
constexpr int kBusyTimeoutMs = 10000;

const char* const kSchema = "CREATE TABLE IF NOT EXISTS items ("
                            " service TEXT NOT NULL,"
                            " account TEXT NOT NULL,"
                            " data BLOB NOT NULL,"
                            " accessibility TEXT NOT NULL,"
                            " created REAL NOT NULL,"
                            " modified REAL NOT NULL,"
                            " PRIMARY KEY (service, account)"
                            ") WITHOUT ROWID";

const char* const kStatementText[] = {
    // kSelectData
    "SELECT data FROM items WHERE service = ?1 AND account = ?2",
    // kSelectAttrs
    "SELECT account, accessibility, created, modified FROM items WHERE service = ?1 "
    "ORDER BY account",
    // kInsert
    "INSERT INTO items (service, account, data, accessibility, created, modified) "
    "VALUES (?1, ?2, ?3, ?4, ?5, ?5)",
    // kUpdate
    "UPDATE items SET data = ?3, modified = ?5 WHERE service = ?1 AND account = ?2",
    // kUpsert: the accessibility class is set only by the insert branch.
    "INSERT INTO items (service, account, data, accessibility, created, modified) "
    "VALUES (?1, ?2, ?3, ?4, ?5, ?5) "
    "ON CONFLICT (service, account) DO UPDATE SET data = excluded.data, "
    "modified = excluded.modified",
    // kDelete
    "DELETE FROM items WHERE service = ?1 AND account = ?2",
    // kDeleteAll
    "DELETE FROM items WHERE service = ?1",
};

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string errnoText(int err) {
    return std::strerror(err);
}

std::string modeText(mode_t mode) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
    return buf;
}

// A file or directory SQLite will read or write must be ours and closed to everybody else.
// Returns an empty text when `st` passes, else why not.
std::string unsafeReason(const struct stat& st, bool directory) {
    if (directory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) {
        return directory ? "is not a directory" : "is not a regular file";
    }
    if (st.st_uid != ::geteuid()) {
        return "is owned by uid " + std::to_string(st.st_uid) + ", not by uid " +
               std::to_string(::geteuid());
    }
    if ((st.st_mode & 077) != 0) {
        return "has mode " + modeText(st.st_mode) + " (group or others may access it)";
    }
    return {};
}

KeychainAccessibility accessibilityFromName(std::string_view name) {
    for (auto a :
         {KeychainAccessibility::whenUnlocked, KeychainAccessibility::whenUnlockedThisDeviceOnly,
          KeychainAccessibility::afterFirstUnlock,
          KeychainAccessibility::afterFirstUnlockThisDeviceOnly}) {
        if (accessibilityName(a) == name) {
            return a;
        }
    }
    // An unknown name can only come from a newer writer; the strictest class is the safe reading.
    return KeychainAccessibility::whenUnlockedThisDeviceOnly;
}

// Creates the missing directories of `dir` (each 0700 whatever the umask).
// "<component> is a symbolic link (to <target>)" for the first component of `dir` that is one.
std::optional<std::string> firstSymlink(const std::string& dir) {
    for (std::size_t pos = dir.find('/', 1);; pos = dir.find('/', pos + 1)) {
        const std::string partial = dir.substr(0, pos);
        struct stat st {};
        if (!partial.empty() && ::lstat(partial.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = ::readlink(partial.c_str(), target, sizeof target - 1);
            return partial + " is a symbolic link" +
                   (n > 0 ? " (to " + std::string(target, static_cast<std::size_t>(n)) + ")"
                          : std::string());
        }
        if (pos == std::string::npos) {
            return std::nullopt;
        }
    }
}

bool makeDirectories(const std::string& dir, std::string& why) {
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        partial = dir.substr(0, pos);
        if (partial.empty()) {
            continue;
        }
        if (::mkdir(partial.c_str(), 0700) == 0) {
            if (::chmod(partial.c_str(), 0700) != 0) {
                why = "cannot set the mode of " + partial + ": " + errnoText(errno);
                return false;
            }
        } else if (errno != EEXIST) {
            why = "cannot create " + partial + ": " + errnoText(errno);
            return false;
        }
    }
    return true;
}

struct StatementReset {
    sqlite3_stmt* stmt;
    ~StatementReset() {
        if (stmt != nullptr) {
            sqlite3_reset(stmt);
            sqlite3_clear_bindings(stmt);
        }
    }
};

void bindText(sqlite3_stmt* stmt, int index, std::string_view text) {
    sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

void bindBlob(sqlite3_stmt* stmt, int index, wire::ByteView data) {
    // A null pointer would bind SQL NULL, which the table refuses; empty data is a zero blob.
    if (data.empty()) {
        sqlite3_bind_zeroblob(stmt, index, 0);
    } else {
        sqlite3_bind_blob64(stmt, index, data.data(), data.size(), SQLITE_STATIC);
    }
}

KeychainStatus paramError() {
    tlsLastError = "the service name is empty";
    return S::invalidArgument;
}

} // namespace

std::string_view accessibilityName(KeychainAccessibility accessibility) noexcept {
    switch (accessibility) {
    case KeychainAccessibility::whenUnlocked:
        return "whenUnlocked";
    case KeychainAccessibility::whenUnlockedThisDeviceOnly:
        return "whenUnlockedThisDeviceOnly";
    case KeychainAccessibility::afterFirstUnlock:
        return "afterFirstUnlock";
    case KeychainAccessibility::afterFirstUnlockThisDeviceOnly:
        return "afterFirstUnlockThisDeviceOnly";
    }
    return "whenUnlockedThisDeviceOnly";
}

Keychain::Keychain(std::string path) : path_(std::move(path)) {}

Keychain::~Keychain() {
    std::lock_guard guard(lock_);
    closeDatabase();
}

std::string Keychain::defaultPath() {
    return baseDirectory(BaseDirectory::data) + "/corvane/keychain.sqlite3";
}

std::shared_ptr<Keychain> Keychain::shared() {
    static std::mutex mutex;
    static std::map<std::string, std::weak_ptr<Keychain>> instances;
    const std::string path = defaultPath();
    std::lock_guard guard(mutex);
    auto& slot = instances[path];
    auto instance = slot.lock();
    if (!instance) {
        instance = std::make_shared<Keychain>(path);
        slot = instance;
    }
    return instance;
}

std::string Keychain::statusMessage(KeychainStatus status) {
    switch (status) {
    case S::success:
        return i18n::tr("success");
    case S::itemNotFound:
        return i18n::tr("the item was not found in the keychain");
    case S::duplicateItem:
        return i18n::tr("the item already exists in the keychain");
    case S::invalidArgument:
        return i18n::tr("invalid keychain parameters");
    case S::databaseUnsafe:
        return i18n::tr(
            "the keychain file is unsafe (a symlink, not ours, or open to other users) and "
            "was not used");
    case S::databaseCantOpen:
        return i18n::tr("the keychain file cannot be created or opened");
    case S::databaseBusy:
        return i18n::tr("the keychain file stayed locked by another process");
    case S::databaseReadOnly:
        return i18n::tr("the keychain file cannot be written");
    case S::databaseCorrupt:
        return i18n::tr("the keychain file is damaged or not a keychain");
    case S::databaseFull:
        return i18n::tr("the disk holding the keychain is full");
    case S::databaseIOError:
        return i18n::tr("reading or writing the keychain file failed");
    case S::databaseNoMemory:
        return i18n::tr("out of memory in the keychain");
    case S::databaseTooBig:
        return i18n::tr("the keychain item is too large");
    case S::databaseError:
        return i18n::tr("the keychain database failed");
    }
    return i18n::tr("unknown keychain status");
}

std::string_view Keychain::statusName(KeychainStatus status) {
    switch (status) {
    case S::success:
        return "success";
    case S::itemNotFound:
        return "itemNotFound";
    case S::duplicateItem:
        return "duplicateItem";
    case S::invalidArgument:
        return "invalidArgument";
    case S::databaseUnsafe:
        return "databaseUnsafe";
    case S::databaseCantOpen:
        return "databaseCantOpen";
    case S::databaseBusy:
        return "databaseBusy";
    case S::databaseReadOnly:
        return "databaseReadOnly";
    case S::databaseCorrupt:
        return "databaseCorrupt";
    case S::databaseFull:
        return "databaseFull";
    case S::databaseIOError:
        return "databaseIOError";
    case S::databaseNoMemory:
        return "databaseNoMemory";
    case S::databaseTooBig:
        return "databaseTooBig";
    case S::databaseError:
        return "databaseError";
    }
    return "unknown";
}

std::string Keychain::lastErrorDetail() {
    return tlsLastError;
}

KeychainStatus Keychain::fail(KeychainStatus status, const std::string& detail) {
    tlsLastError = path_ + ": " + detail;
    return status;
}

KeychainStatus Keychain::sqliteFailure(int code, const char* what) {
    KeychainStatus status;
    switch (code & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        status = S::databaseBusy;
        break;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        status = S::databaseReadOnly;
        break;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        status = S::databaseCorrupt;
        break;
    case SQLITE_FULL:
        status = S::databaseFull;
        break;
    case SQLITE_IOERR:
        status = S::databaseIOError;
        break;
    case SQLITE_NOMEM:
        status = S::databaseNoMemory;
        break;
    case SQLITE_TOOBIG:
        status = S::databaseTooBig;
        break;
    case SQLITE_CANTOPEN:
        status = S::databaseCantOpen;
        break;
    default:
        status = S::databaseError;
        break;
    }
    std::string detail = std::string(what) + ": " + sqlite3_errstr(code);
    if (db_ != nullptr && sqlite3_errcode(db_) == code) {
        detail += " (" + std::string(sqlite3_errmsg(db_)) + ")";
    }
    return fail(status, detail);
}

void Keychain::closeDatabase() noexcept {
    for (auto& stmt : statements_) {
        sqlite3_finalize(stmt);
        stmt = nullptr;
    }
    if (db_ != nullptr) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

KeychainStatus Keychain::ensureOpen() {
    if (db_ != nullptr) {
        return S::success;
    }
    const KeychainStatus status = openDatabase();
    if (status != S::success) {
        closeDatabase(); // the next call tries again from the start
    }
    return status;
}

KeychainStatus Keychain::openDatabase() {
    const std::filesystem::path file(path_);
    const std::string dir = file.parent_path().string();
    std::string why;

    // SQLite (opened with NOFOLLOW) refuses a path that passes through a symbolic link anywhere,
    // with nothing better than "unable to open database file"; name the link instead.
    if (const auto link = firstSymlink(dir)) {
        return fail(S::databaseUnsafe, *link + "; the keychain's path must not pass through one");
    }

    // The directory: created 0700; an existing one must be ours, and is closed to others.
    if (!dir.empty()) {
        if (!makeDirectories(dir, why)) {
            return fail(S::databaseCantOpen, why);
        }
        struct stat st {};
        if (::stat(dir.c_str(), &st) != 0) {
            return fail(S::databaseCantOpen, "cannot examine " + dir + ": " + errnoText(errno));
        }
        if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
            return fail(S::databaseUnsafe, "the directory " + dir + " " + unsafeReason(st, true));
        }
        if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) {
            return fail(S::databaseCantOpen,
                        "cannot set the mode of " + dir + " to 0700: " + errnoText(errno));
        }
    }

    // The file: created here with 0600 before SQLite sees it, so the -wal and -shm files SQLite
    // creates later copy that mode. O_NOFOLLOW refuses a symlink in its place; O_NONBLOCK keeps
    // a FIFO planted there from blocking the open.
    int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
        if (::fchmod(fd, 0600) != 0) {
            const int err = errno;
            ::close(fd);
            return fail(S::databaseCantOpen, "cannot set the mode to 0600: " + errnoText(err));
        }
    } else if (errno == EEXIST) {
        fd = ::open(path_.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            const int err = errno;
            if (err == ELOOP) {
                return fail(S::databaseUnsafe, "is a symbolic link; refusing to use it");
            }
            if (err == EISDIR) {
                return fail(S::databaseUnsafe, "is not a regular file; refusing to use it");
            }
            return fail(err == EACCES || err == EROFS ? S::databaseReadOnly : S::databaseCantOpen,
                        "cannot open: " + errnoText(err));
        }
    } else {
        const int err = errno;
        if (err == ELOOP) {
            return fail(S::databaseUnsafe, "is a symbolic link; refusing to use it");
        }
        return fail(S::databaseCantOpen, "cannot create: " + errnoText(err));
    }
    struct stat st {};
    const bool statted = ::fstat(fd, &st) == 0;
    const int statErr = errno;
    // Closed before SQLite opens the file: closing any descriptor of a file drops this
    // process's POSIX locks on it, which would undercut SQLite's own locking later.
    ::close(fd);
    if (!statted) {
        return fail(S::databaseCantOpen, "cannot examine: " + errnoText(statErr));
    }
    if (why = unsafeReason(st, false); !why.empty()) {
        return fail(S::databaseUnsafe, why + "; refusing to use it");
    }
    // Journal files left by an earlier run must pass the same test, or SQLite would reuse them.
    for (const char* suffix : {"-wal", "-shm", "-journal"}) {
        const std::string side = path_ + suffix;
        if (::lstat(side.c_str(), &st) == 0) {
            if (S_ISLNK(st.st_mode)) {
                return fail(S::databaseUnsafe, side + " is a symbolic link; refusing to use it");
            }
            if (why = unsafeReason(st, false); !why.empty()) {
                return fail(S::databaseUnsafe, side + " " + why + "; refusing to use it");
            }
        }
    }

    int rc = sqlite3_open_v2(path_.c_str(), &db_,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
                             nullptr);
    if (rc != SQLITE_OK) {
        return sqliteFailure(rc, "open");
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);

    // Switching to WAL takes a lock briefly and the busy handler does not cover every case of
    // a second process opening the fresh file at the same moment, so retry busy answers.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
    auto exec = [&](const char* sql, const char* what) -> KeychainStatus {
        for (;;) {
            rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
            if (rc == SQLITE_OK) {
                return S::success;
            }
            if ((rc & 0xff) != SQLITE_BUSY || std::chrono::steady_clock::now() >= deadline) {
                return sqliteFailure(rc, what);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    };
    // WAL: a commit is one append to the -wal file, so a crash at any point leaves either the
    // old or the new item, never a torn one. synchronous=FULL syncs the WAL at every commit:
    // a save that returned has reached the disk even across a power cut (NORMAL could lose the
    // last commits there, i.e. a freshly paired device). Writes are rare (pairing, one per
    // admitted hello), so the extra sync costs nothing that matters.
    if (KeychainStatus s = exec("PRAGMA journal_mode=WAL", "enable the WAL journal");
        s != S::success) {
        return s;
    }
    if (KeychainStatus s = exec("PRAGMA synchronous=FULL", "set synchronous"); s != S::success) {
        return s;
    }
    if (KeychainStatus s = exec(kSchema, "create the items table"); s != S::success) {
        return s;
    }
    {
        // journal_mode answers the mode in force; anything but "wal" (say, a file system
        // without shared memory) would silently lose the crash safety promised above.
        sqlite3_stmt* stmt = nullptr;
        rc = sqlite3_prepare_v2(db_, "PRAGMA journal_mode", -1, &stmt, nullptr);
        std::string mode;
        if (rc == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW) {
            const auto* text = sqlite3_column_text(stmt, 0);
            mode = text != nullptr ? reinterpret_cast<const char*>(text) : "";
        }
        sqlite3_finalize(stmt);
        if (mode != "wal") {
            return fail(S::databaseError,
                        "the WAL journal could not be enabled (mode \"" + mode + "\")");
        }
    }
    for (int i = 0; i < kStatementCount; ++i) {
        rc = sqlite3_prepare_v3(db_, kStatementText[i], -1, SQLITE_PREPARE_PERSISTENT,
                                &statements_[i], nullptr);
        if (rc != SQLITE_OK) {
            // The table exists but is not the one written here.
            const KeychainStatus s = sqliteFailure(rc, "prepare");
            return s == S::databaseError
                       ? fail(S::databaseCorrupt, "the items table has an unexpected shape (" +
                                                      std::string(sqlite3_errmsg(db_)) + ")")
                       : s;
        }
    }
    return S::success;
}

sqlite3_stmt* Keychain::statement(Statement which) {
    return statements_[which];
}

KeychainStatus Keychain::add(std::string_view service, std::string_view account,
                             wire::ByteView data, KeychainAccessibility accessibility) {
    if (service.empty()) {
        return paramError();
    }
    std::lock_guard guard(lock_);
    if (KeychainStatus s = ensureOpen(); s != S::success) {
        return s;
    }
    sqlite3_stmt* stmt = statement(kInsert);
    StatementReset reset{stmt};
    bindText(stmt, 1, service);
    bindText(stmt, 2, account);
    bindBlob(stmt, 3, data);
    bindText(stmt, 4, accessibilityName(accessibility));
    sqlite3_bind_double(stmt, 5, nowSeconds());
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE) {
        tlsLastError.clear();
        return S::success;
    }
    if (rc == SQLITE_CONSTRAINT_PRIMARYKEY) {
        tlsLastError.clear();
        return S::duplicateItem;
    }
    return sqliteFailure(rc, "add");
}

KeychainStatus Keychain::update(std::string_view service, std::string_view account,
                                wire::ByteView data) {
    if (service.empty()) {
        return paramError();
    }
    std::lock_guard guard(lock_);
    if (KeychainStatus s = ensureOpen(); s != S::success) {
        return s;
    }
    sqlite3_stmt* stmt = statement(kUpdate);
    StatementReset reset{stmt};
    bindText(stmt, 1, service);
    bindText(stmt, 2, account);
    bindBlob(stmt, 3, data);
    sqlite3_bind_double(stmt, 5, nowSeconds());
    const int rc = sqlite3_step(stmt);
    if (rc != SQLITE_DONE) {
        return sqliteFailure(rc, "update");
    }
    tlsLastError.clear();
    return sqlite3_changes(db_) > 0 ? S::success : S::itemNotFound;
}

KeychainStatus Keychain::write(std::string_view service, std::string_view account,
                               wire::ByteView data, KeychainAccessibility accessibility) {
    if (service.empty()) {
        return paramError();
    }
    std::lock_guard guard(lock_);
    if (KeychainStatus s = ensureOpen(); s != S::success) {
        return s;
    }
    sqlite3_stmt* stmt = statement(kUpsert);
    StatementReset reset{stmt};
    bindText(stmt, 1, service);
    bindText(stmt, 2, account);
    bindBlob(stmt, 3, data);
    bindText(stmt, 4, accessibilityName(accessibility));
    sqlite3_bind_double(stmt, 5, nowSeconds());
    const int rc = sqlite3_step(stmt);
    if (rc != SQLITE_DONE) {
        return sqliteFailure(rc, "write");
    }
    tlsLastError.clear();
    return S::success;
}

KeychainStatus Keychain::copyData(std::string_view service, std::string_view account,
                                  wire::Bytes& out) {
    if (service.empty()) {
        return paramError();
    }
    std::lock_guard guard(lock_);
    if (KeychainStatus s = ensureOpen(); s != S::success) {
        return s;
    }
    sqlite3_stmt* stmt = statement(kSelectData);
    StatementReset reset{stmt};
    bindText(stmt, 1, service);
    bindText(stmt, 2, account);
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE) {
        tlsLastError.clear();
        return S::itemNotFound;
    }
    if (rc != SQLITE_ROW) {
        return sqliteFailure(rc, "read");
    }
    const auto* blob = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt, 0));
    const int size = sqlite3_column_bytes(stmt, 0);
    if (blob == nullptr && size > 0) {
        return sqliteFailure(SQLITE_NOMEM, "read");
    }
    out.assign(blob, blob + size);
    tlsLastError.clear();
    return S::success;
}

KeychainStatus Keychain::copyAllAttributes(std::string_view service,
                                           std::vector<KeychainItemAttributes>& out) {
    if (service.empty()) {
        return paramError();
    }
    std::lock_guard guard(lock_);
    if (KeychainStatus s = ensureOpen(); s != S::success) {
        return s;
    }
    sqlite3_stmt* stmt = statement(kSelectAttrs);
    StatementReset reset{stmt};
    bindText(stmt, 1, service);
    std::vector<KeychainItemAttributes> items;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        KeychainItemAttributes item;
        item.service = std::string(service);
        const auto* account = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        item.account.assign(account != nullptr ? account : "",
                            static_cast<std::size_t>(sqlite3_column_bytes(stmt, 0)));
        const auto* cls = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1));
        item.accessibility = accessibilityFromName(cls != nullptr ? cls : "");
        item.created = sqlite3_column_double(stmt, 2);
        item.modified = sqlite3_column_double(stmt, 3);
        items.push_back(std::move(item));
    }
    if (rc != SQLITE_DONE) {
        return sqliteFailure(rc, "list");
    }
    tlsLastError.clear();
    if (items.empty()) {
        return S::itemNotFound;
    }
    out = std::move(items);
    return S::success;
}

KeychainStatus Keychain::remove(std::string_view service, std::optional<std::string_view> account) {
    if (service.empty()) {
        return paramError();
    }
    std::lock_guard guard(lock_);
    if (KeychainStatus s = ensureOpen(); s != S::success) {
        return s;
    }
    sqlite3_stmt* stmt = statement(account ? kDelete : kDeleteAll);
    StatementReset reset{stmt};
    bindText(stmt, 1, service);
    if (account) {
        bindText(stmt, 2, *account);
    }
    const int rc = sqlite3_step(stmt);
    if (rc != SQLITE_DONE) {
        return sqliteFailure(rc, "delete");
    }
    tlsLastError.clear();
    return sqlite3_changes(db_) > 0 ? S::success : S::itemNotFound;
}

} // namespace quillon::platform
