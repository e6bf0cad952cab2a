// SQLite storage: one file, quorvia.db, in the service's data directory, WAL
// journal. One connection writes, behind a mutex: SQLite has one writer at a
// time anyway, and waiting on a mutex beats SQLite's sleep-and-retry busy
// handler. A few more connections read meanwhile, which WAL allows, so a
// pixel's token look-up never waits for a commit's fsync.
//
// Durability: synchronous=FULL by default. In WAL mode NORMAL already keeps
// every committed transaction through a crash of the process (the OS has the
// pages), but a power loss may take the last ones; FULL syncs the WAL at each
// commit, so a message whose token went out in a mail, or an open whose call
// returned, is on the disk. The server batches opens, so one fsync covers a
// whole batch (figures in service/README.md).
#include "storage/Storage.h"
#include "storage/Common.h"

#include <sqlite3.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <limits>
#include <mutex>
#include <type_traits>
#include <unordered_map>

namespace quorvia {
namespace {

constexpr int kBusyTimeoutMs = 5000;
constexpr const char *kFileName = "quorvia.db";

// A page of an account's messages, newest first, with their opens oldest
// first; a message without opens comes once, with NULL open columns.
constexpr const char *kListMessages =
    "SELECT m.id, m.recipients, m.subject, m.sent_at, o.at, o.user_agent, o.client_address, o.kind, o.rule"
    " FROM (SELECT id, recipients, subject, sent_at FROM messages"
    "       WHERE account_id = ?1 AND id < ?2 ORDER BY id DESC LIMIT ?3) AS m"
    " LEFT JOIN opens AS o ON o.message_id = m.id ORDER BY m.id DESC, o.at, o.id";

struct CloseDb
{
    void operator()(sqlite3 *db) const { sqlite3_close_v2(db); }
};
struct FinalizeStatement
{
    void operator()(sqlite3_stmt *statement) const { sqlite3_finalize(statement); }
};
using DbHandle = std::unique_ptr<sqlite3, CloseDb>;
using StatementHandle = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

// A value the schema refuses is the caller's; anything else (full disk, I/O
// error, a lock held past the timeout, a damaged file) is the database's.
[[noreturn]] void Raise(sqlite3 *db, int rc, const char *what)
{
    std::string text = std::string("SQLite, ") + what + ": " + sqlite3_errstr(rc);
    if (db != nullptr && sqlite3_extended_errcode(db) == rc)
        text += std::string(" (") + sqlite3_errmsg(db) + ")";
    if ((rc & 0xFF) == SQLITE_CONSTRAINT)
        throw std::invalid_argument(text);
    throw StorageUnavailable(text);
}

// One use of a cached statement: values bound in order, rows read; reset on
// the way out, so the statement holds neither a read lock nor a value.
class Query
{
public:
    Query(sqlite3 *db, sqlite3_stmt *statement, const char *what) : m_db(db), m_statement(statement), m_what(what) {}
    ~Query()
    {
        sqlite3_reset(m_statement);
        sqlite3_clear_bindings(m_statement);
    }
    Query(const Query &) = delete;
    Query &operator=(const Query &) = delete;

    Query &Bind(int64_t value) { return Check(sqlite3_bind_int64(m_statement, ++m_index, value)); }
    Query &Bind(TimePoint at) { return Bind(static_cast<int64_t>(at.time_since_epoch().count())); }
    Query &Bind(const std::string &text)
    {
        std::string scratch;
        const std::string &clean = CleanText(text, scratch);
        return Check(sqlite3_bind_text64(m_statement, ++m_index, clean.data(), clean.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
    }

    // Whether a row came; raises for an error.
    bool Step() { return StepCode() == SQLITE_ROW; }
    // The step's code, for the one caller that tells a constraint apart.
    int StepCode()
    {
        const int rc = sqlite3_step(m_statement);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE && (rc & 0xFF) != SQLITE_CONSTRAINT)
            Raise(m_db, rc, m_what);
        return rc;
    }
    // Runs a statement that returns no row; the rows it changed.
    int64_t Run()
    {
        const int rc = StepCode();
        if (rc != SQLITE_DONE && rc != SQLITE_ROW)
            Raise(m_db, rc, m_what);
        return sqlite3_changes64(m_db);
    }

    bool IsNull(int column) const { return sqlite3_column_type(m_statement, column) == SQLITE_NULL; }
    int64_t Int(int column) const { return sqlite3_column_int64(m_statement, column); }
    TimePoint Time(int column) const { return TimePoint(std::chrono::microseconds(Int(column))); }
    std::string Text(int column) const
    {
        const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(m_statement, column));
        return text ? std::string(text, sqlite3_column_bytes(m_statement, column)) : std::string();
    }

private:
    Query &Check(int rc)
    {
        if (rc != SQLITE_OK)
            Raise(m_db, rc, m_what);
        return *this;
    }

    sqlite3 *m_db;
    sqlite3_stmt *m_statement;
    const char *m_what;
    int m_index = 0;
};

// A connection and its prepared statements, used by one thread at a time.
class Connection
{
public:
    Connection(const std::string &path, bool syncEveryCommit, bool readOnly)
    {
        sqlite3 *db = nullptr;
        const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
        m_db.reset(db); // a handle comes even when the open fails
        if (rc != SQLITE_OK)
            Raise(db, rc, "opening the database");
        sqlite3_extended_result_codes(db, 1);
        sqlite3_busy_timeout(db, kBusyTimeoutMs);
        Execute("PRAGMA foreign_keys = ON");
        Execute(syncEveryCommit ? "PRAGMA synchronous = FULL" : "PRAGMA synchronous = NORMAL");
        if (readOnly)
            Execute("PRAGMA query_only = ON");
    }

    sqlite3 *Db() const { return m_db.get(); }

    // The statement of this SQL text (a constant: its address is the key),
    // prepared once per connection.
    Query Prepare(const char *sql, const char *what)
    {
        StatementHandle &statement = m_statements[sql];
        if (!statement) {
            sqlite3_stmt *raw = nullptr;
            const int rc = sqlite3_prepare_v3(Db(), sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
            statement.reset(raw);
            if (rc != SQLITE_OK)
                Raise(Db(), rc, what);
        }
        return Query(Db(), statement.get(), what);
    }

    // SQL without values or rows: pragmas, the schema.
    void Execute(const char *sql)
    {
        const int rc = sqlite3_exec(Db(), sql, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK)
            Raise(Db(), rc, sql);
    }

private:
    DbHandle m_db;
    std::unordered_map<const char *, StatementHandle> m_statements; // declared after m_db: finalized first
};

// BEGIN IMMEDIATE ... COMMIT; whatever stops short of the commit is rolled
// back, so a failure leaves no half-written row and the connection ready.
class Transaction
{
public:
    explicit Transaction(Connection &connection) : m_connection(connection)
    {
        m_connection.Prepare("BEGIN IMMEDIATE", "beginning a transaction").Run();
    }
    ~Transaction()
    {
        if (!sqlite3_get_autocommit(m_connection.Db()))
            sqlite3_exec(m_connection.Db(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    void Commit() { m_connection.Prepare("COMMIT", "committing").Run(); }

private:
    Connection &m_connection;
};

MessageView ReadMessage(const Query &row)
{
    MessageView view;
    view.id = row.Int(0);
    view.recipients = row.Text(1);
    view.subject = row.Text(2);
    view.sentAt = row.Time(3);
    return view;
}

// Rows of a messages-with-opens query, folded into messages.
std::vector<MessageView> ReadMessages(Query &query)
{
    std::vector<MessageView> messages;
    while (query.Step()) {
        if (messages.empty() || messages.back().id != query.Int(0))
            messages.push_back(ReadMessage(query));
        if (!query.IsNull(4))
            messages.back().opens.push_back(
                Open{messages.back().id, query.Time(4), query.Text(5), query.Text(6), query.Text(7), query.Text(8)});
    }
    return messages;
}

class SqliteStorage final : public Storage
{
public:
    SqliteStorage(const std::string &path, const SqliteOptions &options)
        : m_writer(path, options.syncEveryCommit, false)
    {
        {
            Query mode = m_writer.Prepare("PRAGMA journal_mode = WAL", "choosing the WAL journal");
            if (!mode.Step() || mode.Text(0) != "wal")
                throw StorageUnavailable("SQLite: the database at " + path + " cannot use a WAL journal");
        }
        MakeSchema();
        for (int i = 0; i < options.readers; ++i)
            m_idleReaders.push_back(std::make_unique<Connection>(path, options.syncEveryCommit, true));
        m_readers = options.readers;
    }

    std::optional<Account> FindAccount(const std::string &email) override
    {
        return Read([&](Connection &c) -> std::optional<Account> {
            Query q = c.Prepare("SELECT id, email, password_hash, created_at FROM accounts WHERE email = ?1",
                                "finding an account");
            if (!q.Bind(email).Step())
                return std::nullopt;
            return Account{q.Int(0), q.Text(1), q.Text(2), q.Time(3)};
        });
    }

    int64_t CreateAccount(const std::string &email, const std::string &passwordHash) override
    {
        return Write([&](Connection &c) {
            Query q = c.Prepare("INSERT INTO accounts (email, password_hash, created_at) VALUES (?1, ?2, ?3)",
                                "creating an account");
            const int rc = q.Bind(email).Bind(passwordHash).Bind(Now()).StepCode();
            if (rc == SQLITE_CONSTRAINT_UNIQUE)
                throw AccountExists("an account exists for " + email);
            if (rc != SQLITE_DONE)
                Raise(c.Db(), rc, "creating an account");
            return sqlite3_last_insert_rowid(c.Db());
        });
    }

    int64_t AddMessage(const NewMessage &m) override
    {
        return Write([&](Connection &c) {
            c.Prepare("INSERT INTO messages (account_id, token, recipients, subject, sent_at, sender_address)"
                      " VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
                      "adding a message")
                .Bind(m.accountId)
                .Bind(m.token)
                .Bind(m.recipients)
                .Bind(m.subject)
                .Bind(m.sentAt)
                .Bind(m.senderAddress)
                .Run();
            return sqlite3_last_insert_rowid(c.Db());
        });
    }

    std::optional<TokenTarget> FindToken(const std::string &token) override
    {
        return Read([&](Connection &c) -> std::optional<TokenTarget> {
            Query q = c.Prepare("SELECT id, account_id, sent_at FROM messages WHERE token = ?1", "finding a token");
            if (!q.Bind(token).Step())
                return std::nullopt;
            return TokenTarget{q.Int(0), q.Int(1), q.Time(2)};
        });
    }

    bool PostedFrom(int64_t accountId, const std::string &address, TimePoint since) override
    {
        return Read([&](Connection &c) {
            return c
                .Prepare("SELECT 1 FROM messages WHERE account_id = ?1 AND sender_address = ?2 AND sent_at >= ?3 LIMIT 1",
                         "finding a sender's address")
                .Bind(accountId)
                .Bind(address)
                .Bind(since)
                .Step();
        });
    }

    void AddOpens(const std::vector<Open> &opens) override
    {
        if (opens.empty())
            return;
        Write([&](Connection &c) {
            Transaction transaction(c);
            for (const Open &open : opens)
                c.Prepare("INSERT INTO opens (message_id, at, user_agent, client_address, kind, rule)"
                          " VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
                          "adding opens")
                    .Bind(open.messageId)
                    .Bind(open.at)
                    .Bind(open.userAgent)
                    .Bind(open.clientAddress)
                    .Bind(open.kind)
                    .Bind(open.rule)
                    .Run();
            transaction.Commit();
        });
    }

    std::vector<MessageView> ListMessages(int64_t accountId, int limit, std::optional<int64_t> beforeId) override
    {
        if (limit <= 0)
            return {};
        return Read([&](Connection &c) {
            Query q = c.Prepare(kListMessages, "listing messages");
            q.Bind(accountId).Bind(beforeId.value_or(std::numeric_limits<int64_t>::max())).Bind(int64_t{limit});
            return ReadMessages(q);
        });
    }

    std::optional<MessageView> GetMessage(int64_t accountId, int64_t messageId) override
    {
        return MessageAsPage(*this, accountId, messageId);
    }

    bool DeleteMessage(int64_t accountId, int64_t messageId) override
    {
        return Write([&](Connection &c) {
            return c.Prepare("DELETE FROM messages WHERE id = ?1 AND account_id = ?2", "deleting a message")
                       .Bind(messageId)
                       .Bind(accountId)
                       .Run() > 0;
        });
    }

    void AddSession(const std::string &idHash, int64_t accountId, TimePoint expiresAt) override
    {
        Write([&](Connection &c) {
            c.Prepare("INSERT INTO sessions (id_hash, account_id, expires_at) VALUES (?1, ?2, ?3)", "adding a session")
                .Bind(idHash)
                .Bind(accountId)
                .Bind(expiresAt)
                .Run();
        });
    }

    std::optional<Account> FindSession(const std::string &idHash, TimePoint now) override
    {
        return Read([&](Connection &c) -> std::optional<Account> {
            Query q = c.Prepare("SELECT a.id, a.email, a.password_hash, a.created_at FROM sessions AS s"
                                " JOIN accounts AS a ON a.id = s.account_id WHERE s.id_hash = ?1 AND s.expires_at > ?2",
                                "finding a session");
            if (!q.Bind(idHash).Bind(now).Step())
                return std::nullopt;
            return Account{q.Int(0), q.Text(1), q.Text(2), q.Time(3)};
        });
    }

    void DeleteSession(const std::string &idHash) override
    {
        Write([&](Connection &c) {
            c.Prepare("DELETE FROM sessions WHERE id_hash = ?1", "ending a session").Bind(idHash).Run();
        });
    }

    int64_t DeleteOtherSessions(int64_t accountId, const std::string &keepHash) override
    {
        return Write([&](Connection &c) {
            return c.Prepare("DELETE FROM sessions WHERE account_id = ?1 AND id_hash <> ?2", "ending sessions")
                .Bind(accountId)
                .Bind(keepHash)
                .Run();
        });
    }

    void AddPasswordReset(const std::string &tokenHash, int64_t accountId, TimePoint expiresAt) override
    {
        Write([&](Connection &c) {
            c.Prepare("INSERT INTO password_resets (token_hash, account_id, expires_at) VALUES (?1, ?2, ?3)",
                      "adding a reset link")
                .Bind(tokenHash)
                .Bind(accountId)
                .Bind(expiresAt)
                .Run();
        });
    }

    std::optional<int64_t> FindPasswordReset(const std::string &tokenHash, TimePoint now, bool use) override
    {
        auto find = [&](Connection &c) -> std::optional<int64_t> {
            Query q = use ? c.Prepare("DELETE FROM password_resets WHERE token_hash = ?1 RETURNING account_id, expires_at",
                                      "using a reset link")
                          : c.Prepare("SELECT account_id, expires_at FROM password_resets WHERE token_hash = ?1",
                                      "finding a reset link");
            if (!q.Bind(tokenHash).Step())
                return std::nullopt;
            const int64_t account = q.Int(0);
            const bool live = q.Time(1) > now;
            while (q.Step()) {
            }
            return live ? std::optional<int64_t>(account) : std::nullopt;
        };
        return use ? Write(find) : Read(find);
    }

    void SetPasswordHash(int64_t accountId, const std::string &passwordHash) override
    {
        Write([&](Connection &c) {
            c.Prepare("UPDATE accounts SET password_hash = ?2 WHERE id = ?1", "changing a password")
                .Bind(accountId)
                .Bind(passwordHash)
                .Run();
        });
    }

    bool DeleteAccount(int64_t accountId) override
    {
        return Write([&](Connection &c) {
            return c.Prepare("DELETE FROM accounts WHERE id = ?1", "deleting an account").Bind(accountId).Run() > 0;
        });
    }

    void AddFailure(const std::string &key, TimePoint at) override
    {
        Write([&](Connection &c) {
            c.Prepare("INSERT INTO failures (key, at) VALUES (?1, ?2)", "counting a failed sign-in").Bind(key).Bind(at).Run();
        });
    }

    int CountFailures(const std::string &key, TimePoint since) override
    {
        return Read([&](Connection &c) {
            Query q = c.Prepare("SELECT count(*) FROM failures WHERE key = ?1 AND at >= ?2", "counting failed sign-ins");
            q.Bind(key).Bind(since).Step();
            return static_cast<int>(q.Int(0));
        });
    }

    PurgeCount Purge(TimePoint before, TimePoint failuresBefore) override
    {
        PurgeCount count;
        count.opens += DeleteInBatches(
            "DELETE FROM opens WHERE id IN (SELECT id FROM opens WHERE at < ?1 LIMIT ?2)", before, kPurgeOpens);
        // Each batch takes the opens of its messages first, so they are counted.
        for (;;) {
            const int64_t messages = Write([&](Connection &c) {
                Transaction transaction(c);
                count.opens += c.Prepare("DELETE FROM opens WHERE message_id IN"
                                         " (SELECT id FROM messages WHERE sent_at < ?1 ORDER BY id LIMIT ?2)",
                                         "purging opens of old messages")
                                   .Bind(before)
                                   .Bind(int64_t{kPurgeMessages})
                                   .Run();
                const int64_t n = c.Prepare("DELETE FROM messages WHERE id IN"
                                            " (SELECT id FROM messages WHERE sent_at < ?1 ORDER BY id LIMIT ?2)",
                                            "purging old messages")
                                      .Bind(before)
                                      .Bind(int64_t{kPurgeMessages})
                                      .Run();
                transaction.Commit();
                return n;
            });
            count.messages += messages;
            if (messages < kPurgeMessages)
                break;
        }
        count.failures += DeleteInBatches(
            "DELETE FROM failures WHERE id IN (SELECT id FROM failures WHERE at < ?1 LIMIT ?2)", failuresBefore,
            kPurgeOpens);
        DeleteInBatches("DELETE FROM sessions WHERE id_hash IN"
                        " (SELECT id_hash FROM sessions WHERE expires_at < ?1 LIMIT ?2)",
                        failuresBefore, kPurgeOpens);
        DeleteInBatches("DELETE FROM password_resets WHERE token_hash IN"
                        " (SELECT token_hash FROM password_resets WHERE expires_at < ?1 LIMIT ?2)",
                        failuresBefore, kPurgeOpens);
        return count;
    }

    bool Healthy() override
    {
        try {
            return Read([](Connection &c) { return c.Prepare("SELECT 1", "checking the database").Step(); });
        } catch (const StorageUnavailable &) {
            return false;
        }
    }

private:
    void MakeSchema()
    {
        Transaction transaction(m_writer);
        int64_t found = 0;
        {
            Query version = m_writer.Prepare("PRAGMA user_version", "reading the schema's version");
            if (version.Step())
                found = version.Int(0);
        }
        if (found > kSchemaVersion)
            throw std::runtime_error("SQLite: the database is of schema version " + std::to_string(found) +
                                     ", newer than this program's " + std::to_string(kSchemaVersion));
        if (found == 0)
            m_writer.Execute(SchemaSql("INTEGER PRIMARY KEY AUTOINCREMENT", "INTEGER PRIMARY KEY").c_str());
        for (int to = std::max<int>(found, 1) + 1; to <= kSchemaVersion; ++to)
            m_writer.Execute(MigrationSql(to).c_str());
        if (found < kSchemaVersion)
            m_writer.Execute(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
        transaction.Commit();
    }

    // One statement run in transactions of `batch` rows until fewer remain.
    int64_t DeleteInBatches(const char *sql, TimePoint before, int batch)
    {
        int64_t total = 0;
        for (;;) {
            const int64_t n = Write([&](Connection &c) {
                return c.Prepare(sql, "purging").Bind(before).Bind(int64_t{batch}).Run();
            });
            total += n;
            if (n < batch)
                return total;
        }
    }

    template <class F> std::invoke_result_t<F &, Connection &> Write(F &&f)
    {
        std::lock_guard<std::mutex> lock(m_writeMutex);
        return f(m_writer);
    }

    template <class F> std::invoke_result_t<F &, Connection &> Read(F &&f)
    {
        if (m_readers == 0)
            return Write(f);
        std::unique_ptr<Connection> reader;
        {
            std::unique_lock<std::mutex> lock(m_readMutex);
            m_readerFree.wait(lock, [&] { return !m_idleReaders.empty(); });
            reader = std::move(m_idleReaders.back());
            m_idleReaders.pop_back();
        }
        struct GiveBack
        {
            SqliteStorage &self;
            std::unique_ptr<Connection> &reader;
            ~GiveBack()
            {
                {
                    std::lock_guard<std::mutex> lock(self.m_readMutex);
                    self.m_idleReaders.push_back(std::move(reader));
                }
                self.m_readerFree.notify_one();
            }
        } giveBack{*this, reader};
        return f(*reader);
    }

    std::mutex m_writeMutex;
    Connection m_writer;
    int m_readers = 0;
    std::mutex m_readMutex;
    std::condition_variable m_readerFree;
    std::vector<std::unique_ptr<Connection>> m_idleReaders;
};

} // namespace

std::unique_ptr<Storage> OpenSqlite(const std::string &directory, const SqliteOptions &options)
{
    namespace fs = std::filesystem;
    std::error_code error;
    if (!fs::is_directory(directory, error)) {
        // Subjects and addresses are nobody else's business on this machine.
        fs::create_directories(directory, error);
        if (!error)
            fs::permissions(directory, fs::perms::owner_all, error);
        if (error)
            throw StorageUnavailable("SQLite: cannot make the directory " + directory + ": " + error.message());
    }
    return std::make_unique<SqliteStorage>((fs::path(directory) / kFileName).string(), options);
}

} // namespace quorvia
