// The storage, the same cases against SQLite (a temporary directory) and
// PostgreSQL (a fresh schema of the tests' private server, which the
// postgres fixture starts; without it those cases fail).
#include "storage/Storage.h"

#include "TestPlaces.h"

#include <gtest/gtest.h>

#include <libpq-fe.h>
#include <sqlite3.h>

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

namespace quorvia {
namespace {

namespace fs = std::filesystem;
using namespace test;

TimePoint At(int64_t seconds) { return TimePoint(std::chrono::seconds(seconds)); }

// A database for one test, and a way behind the storage's back to it.
class Backend
{
public:
    virtual ~Backend() = default;
    virtual std::unique_ptr<Storage> Open() = 0;
    virtual void SetSchemaVersion(int version) = 0;
    virtual void Execute(const std::string &sql) = 0;
};

class SqliteBackend final : public Backend
{
public:
    std::unique_ptr<Storage> Open() override { return OpenSqlite(m_dir.path / "data"); }
    void SetSchemaVersion(int version) override
    {
        Execute("PRAGMA user_version = " + std::to_string(version));
    }
    void Execute(const std::string &sql) override
    {
        sqlite3 *raw = nullptr;
        sqlite3_open((m_dir.path / "data" / "quorvia.db").c_str(), &raw);
        std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, sqlite3_close);
        ASSERT_EQ(SQLITE_OK, sqlite3_exec(raw, sql.c_str(), 0, 0, 0)) << sql;
    }

private:
    TempDir m_dir;
};

class PostgresBackend final : public Backend
{
public:
    std::string Url() const { return m_schema.Url(); }
    std::unique_ptr<Storage> Open() override { return OpenPostgres(Url()); }
    void SetSchemaVersion(int version) override
    {
        PostgresExecute(Url(), "UPDATE schema_version SET version = " + std::to_string(version));
    }
    void Execute(const std::string &sql) override { PostgresExecute(Url(), sql); }

private:
    PostgresSchema m_schema;
};

struct BackendKind
{
    const char *name;
    std::function<std::unique_ptr<Backend>()> make;
};
void PrintTo(const BackendKind &kind, std::ostream *out) { *out << kind.name; }

class StorageTest : public testing::TestWithParam<BackendKind>
{
protected:
    void SetUp() override
    {
        try {
            backend = GetParam().make();
            store = backend->Open();
        } catch (const std::exception &e) {
            FAIL() << e.what();
        }
    }

    int64_t NewMessage(int64_t account, const std::string &token, TimePoint sentAt = At(1000),
                       const std::string &subject = "Hello")
    {
        return store->AddMessage({account, token, "bob@example.org", subject, sentAt, "203.0.113.0/24"});
    }
    static Open OpenOf(int64_t message, TimePoint at, std::string kind = "person")
    {
        return {message, at, "Mozilla/5.0", "198.51.100.0/24", std::move(kind), "default"};
    }
    size_t OpensOf(int64_t account, int64_t message)
    {
        const auto view = store->GetMessage(account, message);
        return view ? view->opens.size() : 0;
    }

    std::unique_ptr<Backend> backend;
    std::unique_ptr<Storage> store;
};

TEST_P(StorageTest, AnAccountIsMadeOnceAndFoundByItsAddress)
{
    const TimePoint before = Now();
    const int64_t id = store->CreateAccount("ann@example.com", "$argon2id$hash");
    const auto found = store->FindAccount("ann@example.com");
    ASSERT_TRUE(found);
    EXPECT_EQ(id, found->id);
    EXPECT_EQ("ann@example.com", found->email);
    EXPECT_EQ("$argon2id$hash", found->passwordHash);
    EXPECT_TRUE(found->createdAt >= before && found->createdAt <= Now());
    EXPECT_THROW(store->CreateAccount("ann@example.com", "other"), AccountExists);
    EXPECT_FALSE(store->FindAccount("bob@example.com"));
    EXPECT_NE(id, store->CreateAccount("bob@example.com", "h"));
}

TEST_P(StorageTest, AMessageIsFoundByItsTokenAndItsTextKeptAsUtf8)
{
    const int64_t account = store->CreateAccount("ann@example.com", "h");
    EXPECT_THROW(NewMessage(account + 1, "no-such-account"), std::invalid_argument);
    const struct
    {
        std::string text, kept;
    } cases[] = {
        {"Grüße, 日本, 🎉", "Grüße, 日本, 🎉"},
        {"Latin-1 caf\xE9", "Latin-1 caf\xEF\xBF\xBD"},
        {std::string("nul\0inside", 10), "nul\xEF\xBF\xBDinside"},
        {"cut \xE2\x82", "cut \xEF\xBF\xBD\xEF\xBF\xBD"},
        {"surrogate \xED\xA0\x80", "surrogate \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto &c : cases) {
        const std::string token = "token-" + std::to_string(&c - cases);
        const int64_t id = NewMessage(account, token, At(1000), c.text);
        const auto target = store->FindToken(token);
        ASSERT_TRUE(target) << token;
        EXPECT_EQ(id, target->messageId);
        EXPECT_EQ(account, target->accountId);
        EXPECT_EQ(At(1000), target->sentAt);
        Open open = OpenOf(id, At(1001));
        open.userAgent = c.text;
        store->AddOpens({open});
        const auto view = store->GetMessage(account, id);
        ASSERT_TRUE(view && view->opens.size() == 1) << token;
        EXPECT_EQ(c.kept, view->subject) << token;
        EXPECT_EQ(c.kept, view->opens[0].userAgent) << token;
    }
    EXPECT_FALSE(store->FindToken("no-such-token"));
}

TEST_P(StorageTest, OpensOfABatchAreAllKeptOrNone)
{
    const int64_t account = store->CreateAccount("ann@example.com", "h");
    const int64_t message = NewMessage(account, "t");
    const std::vector<Open> large(2500, OpenOf(message, At(1100))); // more than PostgreSQL's rows per insert
    std::vector<Open> largeBad = large;
    largeBad.back().kind = "robot";
    const struct
    {
        const char *name;
        std::vector<Open> batch;
        bool refused;
    } cases[] = {
        {"good", {OpenOf(message, At(1100)), OpenOf(message, At(1200), "prefetch")}, false},
        {"a gone message", {OpenOf(message, At(1100)), OpenOf(message + 1, At(1100))}, true},
        {"an unknown kind", {OpenOf(message, At(1100)), OpenOf(message, At(1100), "robot")}, true},
        {"large, the last bad", largeBad, true},
        {"large", large, false},
    };
    size_t kept = 0;
    for (const auto &c : cases) {
        if (c.refused) {
            EXPECT_THROW(store->AddOpens(c.batch), std::invalid_argument) << c.name;
        } else {
            store->AddOpens(c.batch);
            kept += c.batch.size();
        }
        EXPECT_EQ(kept, OpensOf(account, message)) << c.name;
    }
}

TEST_P(StorageTest, ListingIsNewestFirstInPagesWithOpensOldestFirst)
{
    const int64_t ann = store->CreateAccount("ann@example.com", "h");
    const int64_t bob = store->CreateAccount("bob@example.com", "h");
    std::vector<int64_t> ids;
    for (int i = 0; i < 5; ++i) {
        ids.push_back(NewMessage(ann, "ann-" + std::to_string(i), At(1000 + i), "subject " + std::to_string(i)));
        NewMessage(bob, "bob-" + std::to_string(i));
    }
    store->AddOpens({OpenOf(ids[2], At(1300)), OpenOf(ids[2], At(1100), "scanner"), OpenOf(ids[2], At(1200))});

    const struct
    {
        int limit;
        std::optional<int64_t> before;
        std::vector<int64_t> expected;
    } pages[] = {
        {2, std::nullopt, {ids[4], ids[3]}}, {2, ids[3], {ids[2], ids[1]}}, {2, ids[1], {ids[0]}},
        {2, ids[0], {}},                     {0, std::nullopt, {}},
    };
    for (const auto &page : pages) {
        std::vector<int64_t> listed;
        for (const MessageView &view : store->ListMessages(ann, page.limit, page.before))
            listed.push_back(view.id);
        EXPECT_EQ(page.expected, listed) << "limit " << page.limit << " before " << page.before.value_or(0);
    }
    const MessageView view = store->ListMessages(ann, 1, ids[3]).at(0);
    EXPECT_EQ("subject 2", view.subject);
    EXPECT_EQ("bob@example.org", view.recipients);
    EXPECT_EQ(At(1002), view.sentAt);
    ASSERT_EQ(3u, view.opens.size());
    const Open &first = view.opens[0];
    EXPECT_EQ(std::make_tuple(ids[2], At(1100), std::string("Mozilla/5.0"), std::string("198.51.100.0/24"),
                              std::string("scanner"), std::string("default")),
              std::tie(first.messageId, first.at, first.userAgent, first.clientAddress, first.kind, first.rule));
    EXPECT_EQ(At(1200), view.opens[1].at);
    EXPECT_EQ(At(1300), view.opens[2].at);
}

TEST_P(StorageTest, AnAccountSeesAndDeletesOnlyItsOwnMessagesWithTheirOpens)
{
    const int64_t ann = store->CreateAccount("ann@example.com", "h");
    const int64_t bob = store->CreateAccount("bob@example.com", "h");
    const int64_t kept = NewMessage(ann, "kept");
    const int64_t doomed = NewMessage(ann, "doomed");
    store->AddOpens({OpenOf(kept, At(1100)), OpenOf(doomed, At(1100)), OpenOf(doomed, At(1200))});

    EXPECT_FALSE(store->GetMessage(bob, doomed));
    EXPECT_FALSE(store->DeleteMessage(bob, doomed));
    EXPECT_EQ(2u, OpensOf(ann, doomed));
    EXPECT_TRUE(store->DeleteMessage(ann, doomed));
    EXPECT_FALSE(store->DeleteMessage(ann, doomed));
    EXPECT_FALSE(store->GetMessage(ann, doomed));
    EXPECT_FALSE(store->FindToken("doomed"));
    EXPECT_THROW(store->AddOpens({OpenOf(doomed, At(1300))}), std::invalid_argument);
    // A newer message never takes the id of a deleted one.
    EXPECT_GT(NewMessage(ann, "later"), doomed);
    // The deleted message's opens went with it: only the kept one's remain to purge.
    const PurgeCount purged = store->Purge(At(5000), At(0));
    EXPECT_EQ(2, purged.messages);
    EXPECT_EQ(1, purged.opens);
}

TEST_P(StorageTest, PostedFromIsTheAccountsOwnAddressSinceAMoment)
{
    const int64_t ann = store->CreateAccount("ann@example.com", "h");
    const int64_t bob = store->CreateAccount("bob@example.com", "h");
    NewMessage(ann, "t", At(1000)); // from 203.0.113.0/24
    const struct
    {
        int64_t account;
        const char *address;
        int64_t since;
        bool expected;
    } cases[] = {
        {ann, "203.0.113.0/24", 900, true},  {ann, "203.0.113.0/24", 1000, true}, {ann, "203.0.113.0/24", 1001, false},
        {ann, "198.51.100.0/24", 900, false}, {bob, "203.0.113.0/24", 900, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.expected, store->PostedFrom(c.account, c.address, At(c.since)))
            << c.account << " " << c.address << " " << c.since;
}

TEST_P(StorageTest, FailuresAreCountedPerKeyWithinTheWindow)
{
    for (int64_t at : {100, 200, 300})
        store->AddFailure("account:ann@example.com", At(at));
    store->AddFailure("address:203.0.113.0/24", At(250));
    const struct
    {
        const char *key;
        int64_t since;
        int expected;
    } cases[] = {
        {"account:ann@example.com", 0, 3},   {"account:ann@example.com", 200, 2},
        {"account:ann@example.com", 301, 0}, {"address:203.0.113.0/24", 0, 1},
        {"account:bob@example.com", 0, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.expected, store->CountFailures(c.key, At(c.since))) << c.key << " since " << c.since;
}

TEST_P(StorageTest, PurgeRemovesWhatIsOlderWithItsOpensInBatchesAndLeavesTheRest)
{
    const int64_t ann = store->CreateAccount("ann@example.com", "h");
    std::vector<int64_t> old; // more than one batch of messages, and of opens
    for (int i = 0; i < 250; ++i)
        old.push_back(NewMessage(ann, "old-" + std::to_string(i), At(100)));
    std::vector<Open> opens;
    for (int i = 0; i < 2500; ++i)
        opens.push_back(OpenOf(old[i % old.size()], At(150)));
    opens.push_back(OpenOf(opens[0].messageId, At(5000))); // newer, but its message is old
    const int64_t recent = NewMessage(ann, "recent", At(2000));
    opens.push_back(OpenOf(recent, At(3000)));
    store->AddOpens(opens);
    store->AddFailure("k", At(100));
    store->AddFailure("k", At(2000));

    const PurgeCount purged = store->Purge(At(1000), At(1000));
    EXPECT_EQ(250, purged.messages);
    EXPECT_EQ(2501, purged.opens);
    EXPECT_EQ(1, purged.failures);
    const auto left = store->ListMessages(ann, 10, std::nullopt);
    ASSERT_EQ(1u, left.size());
    EXPECT_EQ(recent, left[0].id);
    EXPECT_EQ(1u, left[0].opens.size());
    EXPECT_EQ(1, store->CountFailures("k", At(0)));
    const PurgeCount again = store->Purge(At(1000), At(1000));
    EXPECT_EQ(0, again.messages + again.opens + again.failures);
}

TEST_P(StorageTest, ConcurrentBatchesLoseNoOpen)
{
    const int64_t ann = store->CreateAccount("ann@example.com", "h");
    const int64_t message = NewMessage(ann, "t");
    constexpr int kThreads = 4, kBatches = 40, kBatch = 8;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            try {
                for (int b = 0; b < kBatches; ++b) {
                    if (!store->FindToken("t"))
                        ++failures;
                    store->AddOpens(std::vector<Open>(kBatch, OpenOf(message, At(2000 + t))));
                }
            } catch (const std::exception &) {
                ++failures;
            }
        });
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(0, failures.load());
    const auto view = store->GetMessage(ann, message);
    ASSERT_TRUE(view);
    EXPECT_EQ(size_t{kThreads * kBatches * kBatch}, view->opens.size());
}

// A child process records messages and batches of opens and says so after
// each call returns; killed at an arbitrary moment, every call it reported
// is there, and no batch is there in part.
TEST_P(StorageTest, WhatAReturnedCallWroteSurvivesAKilledProcess)
{
    const int64_t ann = store->CreateAccount("ann@example.com", "h");
    store.reset(); // the child opens its own; no connection crosses the fork
    int report[2];
    ASSERT_EQ(0, pipe(report));
    const pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
        close(report[0]);
        try {
            auto own = backend->Open();
            for (int i = 0; i < 100000; ++i) {
                const int64_t id = own->AddMessage(
                    {ann, "k" + std::to_string(i), "bob@example.org", "s", At(1000), "203.0.113.0/24"});
                own->AddOpens(std::vector<Open>(8, OpenOf(id, At(1100))));
                const std::string line = std::to_string(id) + "\n";
                if (write(report[1], line.data(), line.size()) != ssize_t(line.size()))
                    _exit(1);
            }
        } catch (...) {
        }
        _exit(1);
    }
    close(report[1]);
    std::string reported;
    char buffer[256];
    ssize_t n = 0;
    while (std::count(reported.begin(), reported.end(), '\n') < 50 && (n = read(report[0], buffer, sizeof buffer)) > 0)
        reported.append(buffer, n);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(report[0]);

    store = backend->Open();
    std::set<int64_t> done;
    std::istringstream lines(reported);
    for (int64_t id; lines >> id;)
        done.insert(id);
    ASSERT_GE(done.size(), 50u);
    for (const MessageView &view : store->ListMessages(ann, 100000, std::nullopt)) {
        EXPECT_TRUE(view.opens.size() == 0 || view.opens.size() == 8) << view.id << ": " << view.opens.size();
        if (done.erase(view.id)) {
            EXPECT_EQ(8u, view.opens.size()) << view.id;
        }
    }
    EXPECT_TRUE(done.empty()) << done.size() << " reported messages are gone";
}

TEST_P(StorageTest, InstancesStartingTogetherMakeTheSchemaOnceAndANewerOneIsRefused)
{
    std::unique_ptr<Backend> fresh;
    ASSERT_NO_THROW(fresh = GetParam().make());
    std::vector<std::unique_ptr<Storage>> instances(4);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (auto &instance : instances)
        threads.emplace_back([&] {
            try {
                instance = fresh->Open();
            } catch (const std::exception &e) {
                ++failures;
                ADD_FAILURE() << e.what();
            }
        });
    for (std::thread &thread : threads)
        thread.join();
    ASSERT_EQ(0, failures.load());
    const int64_t id = instances[0]->CreateAccount("ann@example.com", "h");
    EXPECT_EQ(id, instances[3]->FindAccount("ann@example.com")->id);
    instances.clear();
    fresh->SetSchemaVersion(99);
    EXPECT_THROW(fresh->Open(), std::runtime_error);
}

TEST_P(StorageTest, SessionsAndResetLinksLiveUntilTheyExpireAndGoWithTheirAccount)
{
    const int64_t ann = store->CreateAccount("ann@example.com", "h1");
    const int64_t bob = store->CreateAccount("bob@example.com", "h");
    store->AddSession("s1", ann, At(2000));
    store->AddSession("s2", ann, At(3000));
    store->AddSession("bob", bob, At(3000));
    EXPECT_EQ(ann, store->FindSession("s1", At(1999)).value_or(Account{}).id);
    EXPECT_FALSE(store->FindSession("s1", At(2000)));
    EXPECT_FALSE(store->FindSession("none", At(0)));
    EXPECT_EQ(1, store->DeleteOtherSessions(ann, "s2"));
    EXPECT_FALSE(store->FindSession("s1", At(0)));
    store->DeleteSession("s2");
    EXPECT_FALSE(store->FindSession("s2", At(0)));

    store->AddPasswordReset("r1", ann, At(2000));
    store->AddPasswordReset("r2", ann, At(2000));
    EXPECT_EQ(ann, store->FindPasswordReset("r1", At(1000), false));
    EXPECT_EQ(ann, store->FindPasswordReset("r1", At(1000), true));
    EXPECT_FALSE(store->FindPasswordReset("r1", At(1000), true)) << "a link works once";
    EXPECT_FALSE(store->FindPasswordReset("r2", At(2000), false)) << "nor after it expired";
    store->SetPasswordHash(ann, "h2");
    EXPECT_EQ("h2", store->FindAccount("ann@example.com")->passwordHash);
    EXPECT_EQ("h", store->FindAccount("bob@example.com")->passwordHash);

    // The purge takes what expired before its second moment.
    store->AddSession("s3", ann, At(100));
    store->Purge(At(0), At(2500));
    EXPECT_FALSE(store->FindSession("s3", At(0)));
    EXPECT_FALSE(store->FindPasswordReset("r2", At(0), false));
    EXPECT_TRUE(store->FindSession("bob", At(0)));

    // An account goes with all it has; another's stays.
    const int64_t message = NewMessage(ann, "t");
    store->AddOpens({OpenOf(message, At(1100))});
    store->AddSession("s4", ann, At(3000));
    store->AddPasswordReset("r3", ann, At(3000));
    EXPECT_TRUE(store->DeleteAccount(ann));
    EXPECT_FALSE(store->DeleteAccount(ann));
    EXPECT_FALSE(store->FindAccount("ann@example.com"));
    EXPECT_FALSE(store->FindToken("t"));
    EXPECT_FALSE(store->FindSession("s4", At(0)));
    EXPECT_FALSE(store->FindPasswordReset("r3", At(0), false));
    EXPECT_TRUE(store->FindSession("bob", At(0)));
    EXPECT_EQ(0, store->Purge(At(5000), At(0)).opens) << "the opens went with the account";
}

TEST_P(StorageTest, AVersionOneDatabaseIsMigratedOnceAndKeepsItsData)
{
    const int64_t ann = store->CreateAccount("ann@example.com", "h");
    NewMessage(ann, "t");
    store.reset();
    backend->Execute("DROP TABLE sessions; DROP TABLE password_resets");
    backend->SetSchemaVersion(1);
    for (int open = 0; open < 2; ++open) { // the second opening finds version 2 and leaves it
        ASSERT_NO_THROW(store = backend->Open());
        EXPECT_TRUE(store->FindToken("t"));
        if (open == 0)
            store->AddSession("s", ann, At(2000));
        EXPECT_TRUE(store->FindSession("s", At(0)));
        store.reset();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Backends, StorageTest,
    testing::Values(BackendKind{"Sqlite", [] { return std::unique_ptr<Backend>(new SqliteBackend); }},
                    BackendKind{"Postgres", [] { return std::unique_ptr<Backend>(new PostgresBackend); }}),
    [](const testing::TestParamInfo<BackendKind> &info) { return std::string(info.param.name); });

TEST(SqliteStorage, AFullDiskIsUnavailableLeavesNoRowAndPassesOnceThereIsRoom)
{
    TempDir dir;
    SmallDisk disk(dir.path);
    if (!disk.failure.empty())
        GTEST_SKIP() << disk.failure;
    auto store = OpenSqlite(dir.path / "data");
    const int64_t ann = store->CreateAccount("ann@example.com", "h");
    const std::string big(256 * 1024, 'x');
    const NewMessage message{ann, "big", "bob@example.org", big, At(1000), "203.0.113.0/24"};
    const int64_t id = store->AddMessage({ann, "small", "bob@example.org", "s", At(1000), "203.0.113.0/24"});
    Open open{id, At(1100), std::string(1024, 'u'), "198.51.100.0/24", "person", "default"};
    const std::vector<Open> opens(600, open);
    disk.Fill();
    EXPECT_THROW(store->AddMessage(message), StorageUnavailable);
    EXPECT_THROW(store->AddOpens(opens), StorageUnavailable);
    disk.MakeRoom();
    EXPECT_FALSE(store->FindToken("big"));
    EXPECT_EQ(0u, store->GetMessage(ann, id)->opens.size());
    EXPECT_NO_THROW(store->AddMessage(message));
    EXPECT_NO_THROW(store->AddOpens(opens));
    EXPECT_EQ(600u, store->GetMessage(ann, id)->opens.size());
}

TEST(SqliteStorage, ALockHeldPastTheTimeoutIsUnavailableAndPassesOnceReleased)
{
    TempDir dir;
    auto store = OpenSqlite(dir.path);
    const int64_t id = store->AddMessage({store->CreateAccount("a@example.com", "h"), "t", "r", "s", At(1), "a"});
    sqlite3 *raw = nullptr;
    sqlite3_open((dir.path / "quorvia.db").c_str(), &raw);
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> other(raw, sqlite3_close);
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(raw, "BEGIN IMMEDIATE", 0, 0, 0));
    const std::vector<Open> opens(3, Open{id, At(2), "ua", "a", "person", "default"});
    EXPECT_THROW(store->AddOpens(opens), StorageUnavailable);
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(raw, "ROLLBACK", 0, 0, 0));
    EXPECT_NO_THROW(store->AddOpens(opens));
}

TEST(PostgresStorage, ALostServerIsUnavailableAndTheNextCallAfterItsReturnReconnects)
{
    std::unique_ptr<PostgresBackend> backend;
    ASSERT_NO_THROW(backend = std::make_unique<PostgresBackend>());
    auto store = backend->Open();
    const int64_t id = store->AddMessage({store->CreateAccount("a@example.com", "h"), "t", "r", "s", At(1), "a"});
    const std::vector<Open> opens(3, Open{id, At(2), "ua", "a", "person", "default"});
    ASSERT_NO_THROW(PostgresScript("pause"));
    EXPECT_THROW(store->AddOpens(opens), StorageUnavailable);
    EXPECT_THROW(store->FindToken("t"), StorageUnavailable);
    EXPECT_FALSE(store->Healthy());
    ASSERT_NO_THROW(PostgresScript("start"));
    EXPECT_TRUE(store->Healthy());
    EXPECT_NO_THROW(store->AddOpens(opens));
    ASSERT_TRUE(store->FindToken("t"));
    EXPECT_EQ(3u, store->GetMessage(store->FindToken("t")->accountId, id)->opens.size());
}

} // namespace
} // namespace quorvia
