#pragma once

#include "WireProtocol/Bytes.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace quillon::platform {

// What a keychain call answers: success, one of the two outcomes callers act on (no such item,
// a duplicate), a refused argument, or one kind of failure of the database underneath.
enum class KeychainStatus : std::uint8_t {
    success,
    itemNotFound,     // no item matches
    duplicateItem,    // add() of a (service, account) that already exists
    invalidArgument,  // an empty service or account
    databaseUnsafe,   // the file (or its directory, -wal or -shm) is a symlink, not a regular
                      // file, not owned by this user, or open to group/others; never opened
    databaseCantOpen, // the directory or file cannot be created or opened (SQLITE_CANTOPEN,
                      // or a failing mkdir/open/fchmod)
    databaseBusy,     // another connection held the lock past the busy timeout (SQLITE_BUSY,
                      // SQLITE_LOCKED)
    databaseReadOnly, // the file or its directory cannot be written (SQLITE_READONLY,
                      // SQLITE_PERM, SQLITE_AUTH)
    databaseCorrupt,  // not a database, or a damaged one (SQLITE_CORRUPT, SQLITE_NOTADB, or an
                      // items table of another shape)
    databaseFull,     // the disk or the database is full (SQLITE_FULL)
    databaseIOError,  // a read, write or sync failed (SQLITE_IOERR)
    databaseNoMemory, // SQLITE_NOMEM
    databaseTooBig,   // an item larger than the database accepts (SQLITE_TOOBIG)
    databaseError,    // any other SQLite failure (SQLITE_ERROR, SQLITE_CONSTRAINT other than a
                      // duplicate key, SQLITE_SCHEMA, ...)
};

// When an item may be read. Linux has no per-item unlock state, so the class is recorded (and
// kept across updates) for a future backend that can enforce it; nothing reads it back into
// behaviour today.
enum class KeychainAccessibility {
    whenUnlocked,
    whenUnlockedThisDeviceOnly,
    afterFirstUnlock,
    afterFirstUnlockThisDeviceOnly,
};

std::string_view accessibilityName(KeychainAccessibility accessibility) noexcept;

// The attributes of one item (what a copy of all attributes of a service answers).
struct KeychainItemAttributes {
    std::string service;
    std::string account;
    KeychainAccessibility accessibility = KeychainAccessibility::whenUnlockedThisDeviceOnly;
    double created = 0;  // Unix seconds
    double modified = 0; // Unix seconds
    bool operator==(const KeychainItemAttributes&) const = default;
};

// Generic-password items keyed by (service, account), kept in one SQLite database file.
//
// The file lives at `path` (see defaultPath()). Its directory is created 0700 and the file 0600
// before SQLite first opens it, so the -wal and -shm files SQLite creates next to it take the
// same 0600 mode whatever the umask. An existing file is used only when it is a regular file
// (not a symlink) owned by this user with no group/other permission bits; otherwise every call
// answers databaseUnsafe and the file is left untouched.
//
// Durability: WAL journal with synchronous=FULL, so a returned success has reached the disk and
// a process killed at any moment leaves the last committed items intact. Each call is one
// statement (one transaction). A busy timeout lets several processes share the file; each write
// waits for the others instead of failing.
//
// The connection opens on first use; a failed open is retried by the next call. All calls are
// safe from any thread (one connection, serialised by a lock).
class Keychain {
public:
    explicit Keychain(std::string path);
    ~Keychain();
    Keychain(const Keychain&) = delete;
    Keychain& operator=(const Keychain&) = delete;

    // $XDG_DATA_HOME/corvane/keychain.sqlite3; XDG_DATA_HOME defaults to ~/.local/share (a
    // relative XDG_DATA_HOME is ignored, as the XDG rules say). Read at each call.
    static std::string defaultPath();
    // The process-wide keychain at defaultPath() (created on first use).
    static std::shared_ptr<Keychain> shared();
    // Short English text for a status, e.g. "item not found".
    static std::string statusMessage(KeychainStatus status);
    // The status's name as spelled above ("databaseUnsafe"), for logs and error texts.
    static std::string_view statusName(KeychainStatus status);

    const std::string& path() const noexcept { return path_; }

    // Creates an item; duplicateItem when (service, account) exists.
    KeychainStatus add(std::string_view service, std::string_view account, wire::ByteView data,
                 KeychainAccessibility accessibility);
    // Replaces the data of an existing item (its accessibility class stays); itemNotFound when
    // there is none.
    KeychainStatus update(std::string_view service, std::string_view account, wire::ByteView data);
    // Update, else add with `accessibility`, in one transaction: the accessibility class is
    // given only when the item is created.
    KeychainStatus write(std::string_view service, std::string_view account, wire::ByteView data,
                   KeychainAccessibility accessibility);
    // The data of one item.
    KeychainStatus copyData(std::string_view service, std::string_view account, wire::Bytes& out);
    // The attributes of every item of a service, in account order; itemNotFound when none.
    KeychainStatus copyAllAttributes(std::string_view service, std::vector<KeychainItemAttributes>& out);
    // Deletes one item (account given) or every item of the service (no account);
    // itemNotFound when nothing matched.
    KeychainStatus remove(std::string_view service, std::optional<std::string_view> account);

    // What went wrong in the last failing call this thread made on any keychain (which file,
    // why, SQLite's own message); empty after a successful call or an item-not-found.
    static std::string lastErrorDetail();

private:
    enum Statement {
        kSelectData,
        kSelectAttrs,
        kInsert,
        kUpdate,
        kUpsert,
        kDelete,
        kDeleteAll,
        kStatementCount
    };

    KeychainStatus ensureOpen();                                     // lock held
    KeychainStatus openDatabase();                                   // lock held
    void closeDatabase() noexcept;                             // lock held
    KeychainStatus fail(KeychainStatus status, const std::string& detail); // lock held
    KeychainStatus sqliteFailure(int code, const char* what);        // lock held
    sqlite3_stmt* statement(Statement which);                  // lock held

    const std::string path_;
    mutable std::mutex lock_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* statements_[kStatementCount] = {};
};

} // namespace quillon::platform
