// PostgreSQL storage, for several instances sharing one database: a small
// pool of libpq connections, statements prepared once per connection, every
// value bound. A connection that fails is dropped together with the idle ones
// (a failure is most often the server going away), so the next call connects
// anew and the service recovers without a restart.
#include "storage/Storage.h"
#include "storage/Common.h"

#include <libpq-fe.h>

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <unordered_set>

namespace quorvia {
namespace {

constexpr size_t kPoolSize = 8;
constexpr size_t kRowsPerInsert = 1000; // 6 values a row, far below the 65535 of one statement

// Every instance takes this lock before it looks at the schema, so instances
// that start together make it once.
constexpr const char *kLockSchema = "SELECT pg_advisory_xact_lock(5833830785426581810)";

// A statement prepared under its name on each connection that runs it.
struct Statement
{
    const char *name;
    const char *sql;
};

constexpr Statement kFindAccount{"find_account",
                                 "SELECT id, email, password_hash, created_at FROM accounts WHERE email = $1"};
constexpr Statement kCreateAccount{
    "create_account", "INSERT INTO accounts (email, password_hash, created_at) VALUES ($1, $2, $3) RETURNING id"};
constexpr Statement kAddMessage{
    "add_message", "INSERT INTO messages (account_id, token, recipients, subject, sent_at, sender_address)"
                   " VALUES ($1, $2, $3, $4, $5, $6) RETURNING id"};
constexpr Statement kFindToken{"find_token", "SELECT id, account_id, sent_at FROM messages WHERE token = $1"};
constexpr Statement kPostedFrom{
    "posted_from",
    "SELECT 1 FROM messages WHERE account_id = $1 AND sender_address = $2 AND sent_at >= $3 LIMIT 1"};
// A page of an account's messages, newest first, with their opens oldest
// first; a message without opens comes once, with NULL open columns.
constexpr Statement kListMessages{
    "list_messages",
    "SELECT m.id, m.recipients, m.subject, m.sent_at, o.at, o.user_agent, o.client_address, o.kind, o.rule"
    " FROM (SELECT id, recipients, subject, sent_at FROM messages"
    "       WHERE account_id = $1 AND id < $2 ORDER BY id DESC LIMIT $3) AS m"
    " LEFT JOIN opens AS o ON o.message_id = m.id ORDER BY m.id DESC, o.at, o.id"};
constexpr Statement kDeleteMessage{"delete_message", "DELETE FROM messages WHERE id = $1 AND account_id = $2"};
constexpr Statement kAddSession{"add_session",
                                "INSERT INTO sessions (id_hash, account_id, expires_at) VALUES ($1, $2, $3)"};
constexpr Statement kFindSession{
    "find_session", "SELECT a.id, a.email, a.password_hash, a.created_at FROM sessions AS s"
                    " JOIN accounts AS a ON a.id = s.account_id WHERE s.id_hash = $1 AND s.expires_at > $2"};
constexpr Statement kDeleteSession{"delete_session", "DELETE FROM sessions WHERE id_hash = $1"};
constexpr Statement kDeleteOtherSessions{"delete_other_sessions",
                                         "DELETE FROM sessions WHERE account_id = $1 AND id_hash <> $2"};
constexpr Statement kAddPasswordReset{
    "add_password_reset", "INSERT INTO password_resets (token_hash, account_id, expires_at) VALUES ($1, $2, $3)"};
constexpr Statement kFindPasswordReset{"find_password_reset",
                                       "SELECT account_id, expires_at FROM password_resets WHERE token_hash = $1"};
constexpr Statement kUsePasswordReset{
    "use_password_reset", "DELETE FROM password_resets WHERE token_hash = $1 RETURNING account_id, expires_at"};
constexpr Statement kSetPasswordHash{"set_password_hash", "UPDATE accounts SET password_hash = $2 WHERE id = $1"};
constexpr Statement kDeleteAccount{"delete_account", "DELETE FROM accounts WHERE id = $1"};
constexpr Statement kPurgeExpiredSessions{
    "purge_sessions",
    "DELETE FROM sessions WHERE id_hash IN (SELECT id_hash FROM sessions WHERE expires_at < $1 LIMIT $2)"};
constexpr Statement kPurgeExpiredResets{
    "purge_resets", "DELETE FROM password_resets WHERE token_hash IN"
                    " (SELECT token_hash FROM password_resets WHERE expires_at < $1 LIMIT $2)"};
constexpr Statement kAddFailure{"add_failure", "INSERT INTO failures (key, at) VALUES ($1, $2)"};
constexpr Statement kCountFailures{"count_failures", "SELECT count(*) FROM failures WHERE key = $1 AND at >= $2"};
constexpr Statement kPurgeOldOpens{"purge_opens",
                                   "DELETE FROM opens WHERE id IN (SELECT id FROM opens WHERE at < $1 LIMIT $2)"};
// The batch's messages are picked once; their opens go first, so they are counted.
constexpr Statement kPurgeOldMessages{
    "purge_messages",
    "WITH doomed AS (SELECT id FROM messages WHERE sent_at < $1 ORDER BY id LIMIT $2),"
    " gone_opens AS (DELETE FROM opens WHERE message_id IN (SELECT id FROM doomed) RETURNING 1),"
    " gone AS (DELETE FROM messages WHERE id IN (SELECT id FROM doomed) RETURNING 1)"
    " SELECT (SELECT count(*) FROM gone), (SELECT count(*) FROM gone_opens)"};
constexpr Statement kPurgeOldFailures{
    "purge_failures", "DELETE FROM failures WHERE id IN (SELECT id FROM failures WHERE at < $1 LIMIT $2)"};
constexpr Statement kHealthy{"healthy", "SELECT 1"};

struct FinishConnection
{
    void operator()(PGconn *connection) const { PQfinish(connection); }
};
struct ClearResult
{
    void operator()(PGresult *result) const { PQclear(result); }
};
using ConnectionHandle = std::unique_ptr<PGconn, FinishConnection>;
using ResultHandle = std::unique_ptr<PGresult, ClearResult>;

bool HasState(const PGresult *result, const char *prefix)
{
    const char *state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    return state != nullptr && std::strncmp(state, prefix, std::strlen(prefix)) == 0;
}

// Integrity (23) and data (22) errors are the caller's values; anything else
// (no connection, the server shutting down, a full disk) is the database's.
[[noreturn]] void Raise(PGconn *connection, const PGresult *result, const char *what)
{
    std::string text = std::string("PostgreSQL, ") + what + ": " +
                       (result ? PQresultErrorMessage(result) : PQerrorMessage(connection));
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    if (HasState(result, "23") || HasState(result, "22"))
        throw std::invalid_argument(text);
    throw StorageUnavailable(text);
}

// Values as text, the form libpq sends them in.
class Values
{
public:
    Values &Add(int64_t value) { return Put(std::to_string(value)); }
    Values &Add(TimePoint at) { return Add(static_cast<int64_t>(at.time_since_epoch().count())); }
    Values &Add(const std::string &text)
    {
        std::string scratch;
        return Put(CleanText(text, scratch));
    }
    int Count() const { return static_cast<int>(m_values.size()); }
    const char *const *Pointers()
    {
        m_pointers.clear();
        for (const std::string &value : m_values)
            m_pointers.push_back(value.c_str());
        return m_pointers.data();
    }

private:
    Values &Put(std::string value)
    {
        m_values.push_back(std::move(value));
        return *this;
    }
    std::vector<std::string> m_values;
    std::vector<const char *> m_pointers;
};

class Result
{
public:
    explicit Result(ResultHandle result) : m_result(std::move(result)) {}
    const PGresult *Raw() const { return m_result.get(); }
    int Rows() const { return PQntuples(m_result.get()); }
    bool IsNull(int row, int column) const { return PQgetisnull(m_result.get(), row, column); }
    std::string Text(int row, int column) const
    {
        return std::string(PQgetvalue(m_result.get(), row, column), PQgetlength(m_result.get(), row, column));
    }
    int64_t Int(int row, int column) const
    {
        const char *text = PQgetvalue(m_result.get(), row, column);
        int64_t value = 0;
        std::from_chars(text, text + PQgetlength(m_result.get(), row, column), value);
        return value;
    }
    TimePoint Time(int row, int column) const { return TimePoint(std::chrono::microseconds(Int(row, column))); }
    int64_t Affected() const
    {
        const char *text = PQcmdTuples(m_result.get());
        int64_t value = 0;
        std::from_chars(text, text + std::strlen(text), value);
        return value;
    }

private:
    ResultHandle m_result;
};

class Connection
{
public:
    explicit Connection(const std::string &url)
    {
        // Defaults before the URL, which may change them; the encoding after it.
        // The keepalives find a server that vanished without a word in about
        // 30 s, instead of the system's two hours.
        const char *keys[] = {"connect_timeout", "keepalives_idle", "keepalives_interval", "keepalives_count",
                              "application_name", "dbname", "client_encoding", nullptr};
        const char *values[] = {"5", "15", "5", "3", "quorvia-service", url.c_str(), "UTF8", nullptr};
        m_connection.reset(PQconnectdbParams(keys, values, 1));
        if (!m_connection)
            throw StorageUnavailable("PostgreSQL: out of memory for a connection");
        if (PQstatus(m_connection.get()) != CONNECTION_OK)
            Raise(m_connection.get(), nullptr, "connecting");
        // The server's notices ("already exists, skipping") are nobody's business.
        PQsetNoticeProcessor(m_connection.get(), [](void *, const char *) {}, nullptr);
    }

    PGconn *Raw() const { return m_connection.get(); }

    // Whether it can take a statement: connected, no transaction left open.
    // A server that went away while the connection was idle shows here.
    bool Usable()
    {
        return PQconsumeInput(Raw()) == 1 && PQstatus(Raw()) == CONNECTION_OK &&
               PQtransactionStatus(Raw()) == PQTRANS_IDLE;
    }

    Result Run(const Statement &statement, Values values = Values())
    {
        if (!m_prepared.count(statement.name)) {
            ResultHandle prepared(PQprepare(Raw(), statement.name, statement.sql, 0, nullptr));
            Check(prepared.get(), statement.name);
            m_prepared.insert(statement.name);
        }
        const int count = values.Count();
        ResultHandle result(PQexecPrepared(Raw(), statement.name, count, values.Pointers(), nullptr, nullptr, 0));
        return Check(std::move(result), statement.name);
    }

    // SQL made for the call, with its values bound all the same.
    Result RunMade(const std::string &sql, Values &values, const char *what)
    {
        const int count = values.Count();
        ResultHandle result(PQexecParams(Raw(), sql.c_str(), count, nullptr, values.Pointers(), nullptr, nullptr, 0));
        return Check(std::move(result), what);
    }

    // SQL without values: transactions, the schema.
    Result Execute(const char *sql) { return Check(ResultHandle(PQexec(Raw(), sql)), sql); }

private:
    Result Check(ResultHandle result, const char *what)
    {
        Check(result.get(), what);
        return Result(std::move(result));
    }
    void Check(const PGresult *result, const char *what)
    {
        const ExecStatusType status = PQresultStatus(result);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
            Raise(Raw(), result, what);
    }

    ConnectionHandle m_connection;
    std::unordered_set<const char *> m_prepared;
};

// BEGIN ... COMMIT; whatever stops short of the commit is rolled back.
class Transaction
{
public:
    explicit Transaction(Connection &connection) : m_connection(connection) { m_connection.Execute("BEGIN"); }
    ~Transaction()
    {
        if (PQtransactionStatus(m_connection.Raw()) != PQTRANS_IDLE)
            ResultHandle(PQexec(m_connection.Raw(), "ROLLBACK"));
    }
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    void Commit() { m_connection.Execute("COMMIT"); }

private:
    Connection &m_connection;
};

class Pool
{
public:
    explicit Pool(std::string url) : m_url(std::move(url)) {}

    // A connection for one call, back to the pool when the call is over.
    class Lease
    {
    public:
        Lease(Pool &pool, std::unique_ptr<Connection> connection) : m_pool(pool), m_connection(std::move(connection)) {}
        ~Lease() { m_pool.GiveBack(std::move(m_connection)); }
        Lease(const Lease &) = delete;
        Lease &operator=(const Lease &) = delete;
        Connection &operator*() const { return *m_connection; }

    private:
        Pool &m_pool;
        std::unique_ptr<Connection> m_connection;
    };

    Lease Take()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [&] { return !m_idle.empty() || m_open < kPoolSize; });
            if (m_idle.empty())
                break;
            std::unique_ptr<Connection> connection = std::move(m_idle.back());
            m_idle.pop_back();
            if (connection->Usable())
                return Lease(*this, std::move(connection));
            --m_open;
        }
        ++m_open; // connected outside the lock
        lock.unlock();
        try {
            return Lease(*this, std::make_unique<Connection>(m_url));
        } catch (...) {
            lock.lock();
            --m_open;
            m_changed.notify_one();
            throw;
        }
    }

private:
    void GiveBack(std::unique_ptr<Connection> connection)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (connection->Usable()) {
            m_idle.push_back(std::move(connection));
        } else {
            m_open -= 1 + m_idle.size();
            m_idle.clear();
        }
        m_changed.notify_all();
    }

    const std::string m_url;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::unique_ptr<Connection>> m_idle;
    size_t m_open = 0; // idle and leased
};

// Rows of the listing, folded into messages.
std::vector<MessageView> ReadMessages(const Result &rows)
{
    std::vector<MessageView> messages;
    for (int r = 0; r < rows.Rows(); ++r) {
        if (messages.empty() || messages.back().id != rows.Int(r, 0)) {
            MessageView &view = messages.emplace_back();
            view.id = rows.Int(r, 0);
            view.recipients = rows.Text(r, 1);
            view.subject = rows.Text(r, 2);
            view.sentAt = rows.Time(r, 3);
        }
        if (!rows.IsNull(r, 4))
            messages.back().opens.push_back(Open{messages.back().id, rows.Time(r, 4), rows.Text(r, 5), rows.Text(r, 6),
                                                 rows.Text(r, 7), rows.Text(r, 8)});
    }
    return messages;
}

class PostgresStorage final : public Storage
{
public:
    explicit PostgresStorage(const std::string &url) : m_pool(url)
    {
        Pool::Lease lease = m_pool.Take();
        Connection &c = *lease;
        Transaction transaction(c);
        c.Execute(kLockSchema);
        c.Execute("CREATE TABLE IF NOT EXISTS schema_version (version integer NOT NULL)");
        const int64_t found = c.Execute("SELECT coalesce(max(version), 0) FROM schema_version").Int(0, 0);
        if (found > kSchemaVersion)
            throw std::runtime_error("PostgreSQL: the database is of schema version " + std::to_string(found) +
                                     ", newer than this program's " + std::to_string(kSchemaVersion));
        if (found == 0) {
            const std::string identity = "bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY";
            c.Execute(SchemaSql(identity, identity).c_str());
            c.Execute("INSERT INTO schema_version (version) VALUES (1)");
        }
        for (int to = std::max<int>(found, 1) + 1; to <= kSchemaVersion; ++to)
            c.Execute(MigrationSql(to).c_str());
        if (found < kSchemaVersion)
            c.Execute(("UPDATE schema_version SET version = " + std::to_string(kSchemaVersion)).c_str());
        transaction.Commit();
    }

    std::optional<Account> FindAccount(const std::string &email) override
    {
        const Result r = Run(kFindAccount, Values().Add(email));
        if (r.Rows() == 0)
            return std::nullopt;
        return Account{r.Int(0, 0), r.Text(0, 1), r.Text(0, 2), r.Time(0, 3)};
    }

    int64_t CreateAccount(const std::string &email, const std::string &passwordHash) override
    {
        try {
            return Run(kCreateAccount, Values().Add(email).Add(passwordHash).Add(Now())).Int(0, 0);
        } catch (const std::invalid_argument &) {
            // The only integrity error an insert of these values can meet.
            throw AccountExists("an account exists for " + email);
        }
    }

    int64_t AddMessage(const NewMessage &m) override
    {
        return Run(kAddMessage, Values()
                                    .Add(m.accountId)
                                    .Add(m.token)
                                    .Add(m.recipients)
                                    .Add(m.subject)
                                    .Add(m.sentAt)
                                    .Add(m.senderAddress))
            .Int(0, 0);
    }

    std::optional<TokenTarget> FindToken(const std::string &token) override
    {
        const Result r = Run(kFindToken, Values().Add(token));
        if (r.Rows() == 0)
            return std::nullopt;
        return TokenTarget{r.Int(0, 0), r.Int(0, 1), r.Time(0, 2)};
    }

    bool PostedFrom(int64_t accountId, const std::string &address, TimePoint since) override
    {
        return Run(kPostedFrom, Values().Add(accountId).Add(address).Add(since)).Rows() > 0;
    }

    void AddOpens(const std::vector<Open> &opens) override
    {
        if (opens.empty())
            return;
        Pool::Lease lease = m_pool.Take();
        Connection &c = *lease;
        // One statement of up to kRowsPerInsert rows is a transaction of its own.
        std::optional<Transaction> transaction;
        if (opens.size() > kRowsPerInsert)
            transaction.emplace(c);
        for (size_t first = 0; first < opens.size(); first += kRowsPerInsert) {
            const size_t end = std::min(opens.size(), first + kRowsPerInsert);
            std::string sql = "INSERT INTO opens (message_id, at, user_agent, client_address, kind, rule) VALUES ";
            Values values;
            for (size_t i = first; i < end; ++i) {
                const int n = values.Count();
                sql += (i == first ? "(" : ", (");
                for (int k = 1; k <= 6; ++k)
                    sql += "$" + std::to_string(n + k) + (k < 6 ? ", " : ")");
                const Open &open = opens[i];
                values.Add(open.messageId).Add(open.at).Add(open.userAgent).Add(open.clientAddress).Add(open.kind).Add(
                    open.rule);
            }
            c.RunMade(sql, values, "adding opens");
        }
        if (transaction)
            transaction->Commit();
    }

    std::vector<MessageView> ListMessages(int64_t accountId, int limit, std::optional<int64_t> beforeId) override
    {
        if (limit <= 0)
            return {};
        return ReadMessages(Run(kListMessages, Values()
                                                   .Add(accountId)
                                                   .Add(beforeId.value_or(std::numeric_limits<int64_t>::max()))
                                                   .Add(int64_t{limit})));
    }

    std::optional<MessageView> GetMessage(int64_t accountId, int64_t messageId) override
    {
        return MessageAsPage(*this, accountId, messageId);
    }

    bool DeleteMessage(int64_t accountId, int64_t messageId) override
    {
        return Run(kDeleteMessage, Values().Add(messageId).Add(accountId)).Affected() > 0;
    }

    void AddSession(const std::string &idHash, int64_t accountId, TimePoint expiresAt) override
    {
        Run(kAddSession, Values().Add(idHash).Add(accountId).Add(expiresAt));
    }

    std::optional<Account> FindSession(const std::string &idHash, TimePoint now) override
    {
        const Result r = Run(kFindSession, Values().Add(idHash).Add(now));
        if (r.Rows() == 0)
            return std::nullopt;
        return Account{r.Int(0, 0), r.Text(0, 1), r.Text(0, 2), r.Time(0, 3)};
    }

    void DeleteSession(const std::string &idHash) override { Run(kDeleteSession, Values().Add(idHash)); }

    int64_t DeleteOtherSessions(int64_t accountId, const std::string &keepHash) override
    {
        return Run(kDeleteOtherSessions, Values().Add(accountId).Add(keepHash)).Affected();
    }

    void AddPasswordReset(const std::string &tokenHash, int64_t accountId, TimePoint expiresAt) override
    {
        Run(kAddPasswordReset, Values().Add(tokenHash).Add(accountId).Add(expiresAt));
    }

    std::optional<int64_t> FindPasswordReset(const std::string &tokenHash, TimePoint now, bool use) override
    {
        const Result r = Run(use ? kUsePasswordReset : kFindPasswordReset, Values().Add(tokenHash));
        if (r.Rows() == 0 || r.Time(0, 1) <= now)
            return std::nullopt;
        return r.Int(0, 0);
    }

    void SetPasswordHash(int64_t accountId, const std::string &passwordHash) override
    {
        Run(kSetPasswordHash, Values().Add(accountId).Add(passwordHash));
    }

    bool DeleteAccount(int64_t accountId) override
    {
        return Run(kDeleteAccount, Values().Add(accountId)).Affected() > 0;
    }

    void AddFailure(const std::string &key, TimePoint at) override { Run(kAddFailure, Values().Add(key).Add(at)); }

    int CountFailures(const std::string &key, TimePoint since) override
    {
        return static_cast<int>(Run(kCountFailures, Values().Add(key).Add(since)).Int(0, 0));
    }

    PurgeCount Purge(TimePoint before, TimePoint failuresBefore) override
    {
        PurgeCount count;
        int64_t n = 0;
        do {
            n = Run(kPurgeOldOpens, Values().Add(before).Add(int64_t{kPurgeOpens})).Affected();
            count.opens += n;
        } while (n == kPurgeOpens);
        do {
            const Result r = Run(kPurgeOldMessages, Values().Add(before).Add(int64_t{kPurgeMessages}));
            n = r.Int(0, 0);
            count.messages += n;
            count.opens += r.Int(0, 1);
        } while (n == kPurgeMessages);
        do {
            n = Run(kPurgeOldFailures, Values().Add(failuresBefore).Add(int64_t{kPurgeOpens})).Affected();
            count.failures += n;
        } while (n == kPurgeOpens);
        for (const Statement *expired : {&kPurgeExpiredSessions, &kPurgeExpiredResets})
            while (Run(*expired, Values().Add(failuresBefore).Add(int64_t{kPurgeOpens})).Affected() == kPurgeOpens) {
            }
        return count;
    }

    bool Healthy() override
    {
        try {
            return Run(kHealthy).Rows() == 1;
        } catch (const StorageUnavailable &) {
            return false;
        }
    }

private:
    Result Run(const Statement &statement, Values values = Values())
    {
        Pool::Lease lease = m_pool.Take();
        return (*lease).Run(statement, std::move(values));
    }

    Pool m_pool;
};

} // namespace

std::unique_ptr<Storage> OpenPostgres(const std::string &url)
{
    return std::make_unique<PostgresStorage>(url);
}

} // namespace quorvia
