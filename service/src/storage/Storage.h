// Storage: everything the service keeps, behind one interface with two
// implementations, SQLite (the embedded default, one machine) and PostgreSQL
// (several instances sharing one database). Every method is safe to call from
// any thread and commits before it returns; every query binds its values.
// A database that cannot be reached or written raises StorageUnavailable,
// which the server answers with 503, and leaves no half-written row; the next
// call tries the database again, so the service recovers without a restart.
// Values the database refuses (an open of a message that is gone, an unknown
// kind, a message of an unknown account) raise std::invalid_argument, and
// nothing of that call is kept.
// Text is kept as UTF-8: a byte that is not part of valid UTF-8, and NUL, are
// kept as U+FFFD in both databases alike (PostgreSQL can hold neither, and a
// user agent is whatever a client sent).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorvia {

using Clock = std::chrono::system_clock;
using TimePoint = std::chrono::time_point<Clock, std::chrono::microseconds>;

inline TimePoint Now()
{
    return std::chrono::time_point_cast<std::chrono::microseconds>(Clock::now());
}

class StorageUnavailable : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// CreateAccount of an address that has an account already.
class AccountExists : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

struct Account
{
    int64_t id = 0;
    std::string email;        // lower case, as it was created
    std::string passwordHash; // libsodium's Argon2id string
    TimePoint createdAt;
};

// A message as the feed records it. Addresses are truncated before they get here.
struct NewMessage
{
    int64_t accountId = 0;
    std::string token;      // the pixel's token, unguessable
    std::string recipients; // UTF-8
    std::string subject;    // UTF-8
    TimePoint sentAt;
    std::string senderAddress; // the feed post's client address, truncated
};

// What the pixel needs to know of the message a token names.
struct TokenTarget
{
    int64_t messageId = 0;
    int64_t accountId = 0;
    TimePoint sentAt;
};

struct Open
{
    int64_t messageId = 0;
    TimePoint at;
    std::string userAgent;
    std::string clientAddress; // truncated
    std::string kind;          // person, prefetch, scanner, sender
    std::string rule;          // the rule that decided the kind
};

struct MessageView
{
    int64_t id = 0;
    std::string recipients;
    std::string subject;
    TimePoint sentAt;
    std::vector<Open> opens; // oldest first
};

struct PurgeCount
{
    int64_t messages = 0;
    int64_t opens = 0; // with those of the messages removed
    int64_t failures = 0;
};

class Storage
{
public:
    virtual ~Storage() = default;

    // --- accounts ---
    virtual std::optional<Account> FindAccount(const std::string &email) = 0;
    // Raises AccountExists for an address in use.
    virtual int64_t CreateAccount(const std::string &email, const std::string &passwordHash) = 0;

    // --- messages and opens ---
    virtual int64_t AddMessage(const NewMessage &message) = 0;
    virtual std::optional<TokenTarget> FindToken(const std::string &token) = 0;
    // Whether the account posted to the feed from this (truncated) address since `since`.
    virtual bool PostedFrom(int64_t accountId, const std::string &address, TimePoint since) = 0;
    // All of them in one transaction: all are kept, or none and it raises.
    virtual void AddOpens(const std::vector<Open> &opens) = 0;
    // The account's messages, newest first, with their opens; `beforeId` pages on.
    virtual std::vector<MessageView> ListMessages(int64_t accountId, int limit, std::optional<int64_t> beforeId) = 0;
    virtual std::optional<MessageView> GetMessage(int64_t accountId, int64_t messageId) = 0;
    // The message and its opens; false when the account has no such message.
    virtual bool DeleteMessage(int64_t accountId, int64_t messageId) = 0;

    // --- web sessions and password reset links, shared by every instance ---
    // Only hashes of their secrets are kept. Deleting the account ends both.
    virtual void AddSession(const std::string &idHash, int64_t accountId, TimePoint expiresAt) = 0;
    // The account of a session that expires after `now`.
    virtual std::optional<Account> FindSession(const std::string &idHash, TimePoint now) = 0;
    virtual void DeleteSession(const std::string &idHash) = 0;
    // Ends every session of the account except `keepHash`'s; how many ended.
    virtual int64_t DeleteOtherSessions(int64_t accountId, const std::string &keepHash) = 0;
    virtual void AddPasswordReset(const std::string &tokenHash, int64_t accountId, TimePoint expiresAt) = 0;
    // The account of a reset link that expires after `now`; `use` deletes it
    // in the same statement, so of two concurrent uses one gets the account.
    virtual std::optional<int64_t> FindPasswordReset(const std::string &tokenHash, TimePoint now, bool use) = 0;
    virtual void SetPasswordHash(int64_t accountId, const std::string &passwordHash) = 0;
    // The account with its messages, opens, sessions and reset links; false
    // when there is no such account.
    virtual bool DeleteAccount(int64_t accountId) = 0;

    // --- failed sign-ins and sign-ups, counted by key, shared by every instance ---
    virtual void AddFailure(const std::string &key, TimePoint at) = 0;
    virtual int CountFailures(const std::string &key, TimePoint since) = 0;

    // --- upkeep ---
    // Removes messages sent and opens made before `before`, and failed
    // sign-ins before `failuresBefore` (they matter only for the sign-in
    // window, far shorter than the retention), and sessions and reset links
    // that expired before `failuresBefore`. Works in small batches, each
    // its own transaction, so sign-ins and opens go on meanwhile.
    virtual PurgeCount Purge(TimePoint before, TimePoint failuresBefore) = 0;
    // A cheap round trip to the database.
    virtual bool Healthy() = 0;
};

struct SqliteOptions
{
    // FULL: every commit reaches the disk before the call returns, so it
    // survives a power loss too; NORMAL survives a crash of the process only.
    bool syncEveryCommit = true;
    // Connections for reads beside the one that writes (WAL lets them read
    // while it writes); 0: the writer does everything.
    int readers = 2;
};

// SQLite in `directory` (made if missing, readable by its owner only), WAL
// journal. Raises StorageUnavailable when it cannot be opened, and
// std::runtime_error for a database of a newer version than this program.
std::unique_ptr<Storage> OpenSqlite(const std::string &directory, const SqliteOptions &options = SqliteOptions());
// PostgreSQL at a libpq connection string (postgresql://...), through a small
// pool of connections; the schema is made if missing. Raises as OpenSqlite.
std::unique_ptr<Storage> OpenPostgres(const std::string &url);

} // namespace quorvia
