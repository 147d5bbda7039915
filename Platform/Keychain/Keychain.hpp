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

// Status of a keychain call, signed 32-bit like the host's other Keychain codes.
using OSStatus = std::int32_t;

// Every status a Keychain call answers. The first three carry their usual meaning; the rest
// name one kind of failure of the database underneath each and never change value, so a code
// seen in a log or an error text can always be looked up here.
//
//   0       success
//   -25300  itemNotFound        no item matches
//   -25299  duplicateItem       add() of a (service, account) that already exists
//   -50     param               an empty service or account
//   -26001  databaseUnsafe      the file (or its directory, -wal or -shm) is a symlink, not a
//                               regular file, not owned by this user, or open to group/others;
//                               it is refused and never opened
//   -26002  databaseCantOpen    the directory or file cannot be created or opened
//                               (SQLITE_CANTOPEN, or a failing mkdir/open/fchmod)
//   -26003  databaseBusy        another connection held the lock past the busy timeout
//                               (SQLITE_BUSY, SQLITE_LOCKED)
//   -26004  databaseReadOnly    the file or its directory cannot be written (SQLITE_READONLY,
//                               SQLITE_PERM, SQLITE_AUTH)
//   -26005  databaseCorrupt     not a database, or a damaged one (SQLITE_CORRUPT,
//                               SQLITE_NOTADB, or an items table of another shape)
//   -26006  databaseFull        the disk or the database is full (SQLITE_FULL)
//   -26007  databaseIOError     a read, write or sync failed (SQLITE_IOERR)
//   -26008  databaseNoMemory    SQLITE_NOMEM
//   -26009  databaseTooBig      an item larger than the database accepts (SQLITE_TOOBIG)
//   -26010  databaseError       any other SQLite failure (SQLITE_ERROR, SQLITE_CONSTRAINT other
//                               than a duplicate key, SQLITE_SCHEMA, ...)
namespace KeychainStatus {
inline constexpr OSStatus success = 0;
inline constexpr OSStatus itemNotFound = -25300;
inline constexpr OSStatus duplicateItem = -25299;
inline constexpr OSStatus param = -50;
inline constexpr OSStatus databaseUnsafe = -26001;
inline constexpr OSStatus databaseCantOpen = -26002;
inline constexpr OSStatus databaseBusy = -26003;
inline constexpr OSStatus databaseReadOnly = -26004;
inline constexpr OSStatus databaseCorrupt = -26005;
inline constexpr OSStatus databaseFull = -26006;
inline constexpr OSStatus databaseIOError = -26007;
inline constexpr OSStatus databaseNoMemory = -26008;
inline constexpr OSStatus databaseTooBig = -26009;
inline constexpr OSStatus databaseError = -26010;
} // namespace KeychainStatus

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
    // Short English text for a status, e.g. "item not found".
    static std::string statusMessage(OSStatus status);

    const std::string& path() const noexcept { return path_; }

    // Creates an item; duplicateItem when (service, account) exists.
    OSStatus add(std::string_view service, std::string_view account, wire::ByteView data,
                 KeychainAccessibility accessibility);
    // Replaces the data of an existing item (its accessibility class stays); itemNotFound when
    // there is none.
    OSStatus update(std::string_view service, std::string_view account, wire::ByteView data);
    // Update, else add with `accessibility`, in one transaction: the accessibility class is
    // given only when the item is created.
    OSStatus write(std::string_view service, std::string_view account, wire::ByteView data,
                   KeychainAccessibility accessibility);
    // The data of one item.
    OSStatus copyData(std::string_view service, std::string_view account, wire::Bytes& out);
    // The attributes of every item of a service, in account order; itemNotFound when none.
    OSStatus copyAllAttributes(std::string_view service, std::vector<KeychainItemAttributes>& out);
    // Deletes one item (account given) or every item of the service (no account);
    // itemNotFound when nothing matched.
    OSStatus remove(std::string_view service, std::optional<std::string_view> account);

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

    OSStatus ensureOpen();                                     // lock held
    OSStatus openDatabase();                                   // lock held
    void closeDatabase() noexcept;                             // lock held
    OSStatus fail(OSStatus status, const std::string& detail); // lock held
    OSStatus sqliteFailure(int code, const char* what);        // lock held
    sqlite3_stmt* statement(Statement which);                  // lock held

    const std::string path_;
    mutable std::mutex lock_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* statements_[kStatementCount] = {};
};

} // namespace quillon::platform
