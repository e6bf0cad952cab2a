// Sign-ins against a small in-memory Storage: passwords, limits, remembering.
#include "accounts/Accounts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <latch>
#include <map>
#include <mutex>
#include <thread>

namespace quorvia {
namespace {

// Only what Accounts uses; the rest is never called here.
struct FakeStorage : Storage
{
    std::map<std::string, Account> accounts;
    std::vector<std::pair<std::string, TimePoint>> failures;
    std::mutex mutex; // sign-ins may run at once

    std::optional<Account> FindAccount(const std::string &email) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        return accounts.count(email) ? std::optional<Account>(accounts[email]) : std::nullopt;
    }
    int64_t CreateAccount(const std::string &email, const std::string &passwordHash) override
    {
        if (accounts.count(email))
            throw AccountExists(email);
        accounts[email] = Account{static_cast<int64_t>(accounts.size()) + 1, email, passwordHash, Now()};
        return accounts[email].id;
    }
    void AddFailure(const std::string &key, TimePoint at) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        failures.emplace_back(key, at);
    }
    int CountFailures(const std::string &key, TimePoint since) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        return static_cast<int>(std::count_if(failures.begin(), failures.end(),
                                               [&](const auto &f) { return f.first == key && f.second >= since; }));
    }
    [[noreturn]] static void Unused() { throw std::logic_error("not used by Accounts"); }
    int64_t AddMessage(const NewMessage &) override { Unused(); }
    std::optional<TokenTarget> FindToken(const std::string &) override { Unused(); }
    bool PostedFrom(int64_t, const std::string &, TimePoint) override { Unused(); }
    void AddOpens(const std::vector<Open> &) override { Unused(); }
    std::vector<MessageView> ListMessages(int64_t, int, std::optional<int64_t>) override { Unused(); }
    std::optional<MessageView> GetMessage(int64_t, int64_t) override { Unused(); }
    bool DeleteMessage(int64_t, int64_t) override { Unused(); }
    PurgeCount Purge(TimePoint, TimePoint) override { Unused(); }
    bool Healthy() override { return true; }
    void SetPasswordHash(int64_t id, const std::string &passwordHash) override
    {
        for (auto &[email, account] : accounts)
            if (account.id == id)
                account.passwordHash = passwordHash;
    }
    void AddSession(const std::string &, int64_t, TimePoint) override { Unused(); }
    std::optional<Account> FindSession(const std::string &, TimePoint) override { Unused(); }
    void DeleteSession(const std::string &) override { Unused(); }
    int64_t DeleteOtherSessions(int64_t, const std::string &) override { Unused(); }
    void AddPasswordReset(const std::string &, int64_t, TimePoint) override { Unused(); }
    std::optional<int64_t> FindPasswordReset(const std::string &, TimePoint, bool) override { Unused(); }
    bool DeleteAccount(int64_t) override { Unused(); }
};

using Outcome = Accounts::Outcome;
const std::string kRight = "correct horse battery";

struct Attempt
{
    std::string email, password, address;
    Outcome outcome;
    uint64_t verifications; // Argon2id runs this attempt costs
};

// Each attempt in order against one Accounts; the verification count shows
// which answers came from a remembered sign-in.
void Expect(Accounts &accounts, const std::vector<Attempt> &attempts)
{
    for (size_t i = 0; i < attempts.size(); ++i) {
        const Attempt &a = attempts[i];
        const uint64_t before = accounts.PasswordVerifications();
        EXPECT_EQ(accounts.Check(a.email, a.password, a.address).outcome, a.outcome) << "attempt " << i;
        EXPECT_EQ(accounts.PasswordVerifications() - before, a.verifications) << "attempt " << i;
    }
}

TEST(Accounts, ChecksPasswordsAndRemembersRightOnes)
{
    FakeStorage storage;
    Accounts accounts(storage);
    accounts.Create("anna@example.com", kRight);
    Expect(accounts, {
                      {"anna@example.com", "wrong password", "a1", Outcome::Wrong, 1},
                      // An unknown account costs one verification too, so its answer takes as long.
                      {"nobody@example.com", kRight, "a1", Outcome::Wrong, 1},
                      {"  ANNA@Example.COM\t", kRight, "a1", Outcome::Ok, 1},
                      {"anna@example.com", kRight, "a2", Outcome::Ok, 0},
                      {"anna@example.com", "wrong password", "a1", Outcome::Wrong, 1},
                      {"anna@example.com", kRight + " ", "a1", Outcome::Wrong, 1},
                  });
    EXPECT_EQ(accounts.Check("anna@example.com", kRight, "x").account.email, "anna@example.com");
}

TEST(Accounts, LimitsFailuresPerAccountAndPerAddressBeforeVerifying)
{
    AccountLimits limits;
    limits.failures = 3;
    FakeStorage storage;
    Accounts accounts(storage, limits);
    accounts.Create("anna@example.com", kRight);
    accounts.Create("bob@example.com", kRight);
    // Three wrong passwords for anna from three addresses: anna is limited
    // everywhere, even with her right password, and nothing is verified.
    Expect(accounts, {
                      {"anna@example.com", "guess 1", "a1", Outcome::Wrong, 1},
                      {"anna@example.com", "guess 2", "a2", Outcome::Wrong, 1},
                      {"ANNA@example.com", "guess 3", "a3", Outcome::Wrong, 1},
                      {"anna@example.com", kRight, "a4", Outcome::Limited, 0},
                      {"bob@example.com", kRight, "a1", Outcome::Ok, 1},
                  });
    // Three failures from one address, for any accounts: that address is
    // limited for everybody, other addresses are not.
    Expect(accounts, {
                      {"carol@example.com", "x", "b1", Outcome::Wrong, 1},
                      {"dave@example.com", "x", "b1", Outcome::Wrong, 1},
                      {"bob@example.com", "x", "b1", Outcome::Wrong, 1},
                      {"bob@example.com", kRight, "b1", Outcome::Limited, 0},
                      {"bob@example.com", kRight, "b2", Outcome::Ok, 0},
                  });
    // Failures older than the window do not count.
    storage.failures.clear();
    for (int i = 0; i < 5; ++i)
        storage.AddFailure("account:anna@example.com", Now() - std::chrono::minutes(16));
    Expect(accounts, {{"anna@example.com", kRight, "c1", Outcome::Ok, 1}});
}

TEST(Accounts, RememberedSignInsEndWithANewHashExpireAndAreBounded)
{
    AccountLimits limits;
    limits.remember = std::chrono::seconds(1);
    limits.rememberedMax = 2;
    FakeStorage storage;
    Accounts accounts(storage, limits);
    for (const char *email : {"a@example.com", "b@example.com", "c@example.com"})
        accounts.Create(email, kRight);
    Expect(accounts, {{"a@example.com", kRight, "x", Outcome::Ok, 1}, {"a@example.com", kRight, "x", Outcome::Ok, 0}});
    // The same password set again has a new salt, so a new hash: verified again.
    storage.accounts["a@example.com"].passwordHash = Accounts::HashPassword(kRight);
    Expect(accounts, {
                         {"a@example.com", kRight, "x", Outcome::Ok, 1},
                         {"b@example.com", kRight, "x", Outcome::Ok, 1},
                         {"c@example.com", kRight, "x", Outcome::Ok, 1}, // a, the soonest to expire, goes
                         {"c@example.com", kRight, "x", Outcome::Ok, 0},
                         {"a@example.com", kRight, "x", Outcome::Ok, 1},
                     });
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    Expect(accounts, {{"c@example.com", kRight, "x", Outcome::Ok, 1}});
    storage.accounts["c@example.com"].passwordHash = Accounts::HashPassword("a new password");
    Expect(accounts, {{"c@example.com", kRight, "x", Outcome::Wrong, 1}});
}

// A busy sender's posts arrive together when its remembered sign-in is gone:
// they share one verification, right or wrong, and every wrong one counts.
TEST(Accounts, ConcurrentChecksOfOneSignInShareOneVerification)
{
    FakeStorage storage;
    Accounts accounts(storage);
    accounts.Create("anna@example.com", kRight);
    for (const std::string &password : {std::string("a wrong password"), kRight}) {
        const uint64_t before = accounts.PasswordVerifications();
        std::vector<std::thread> posts;
        std::atomic<int> answered{0};
        std::latch together(8); // all ask at once, well within one verification's 140 ms
        const Outcome expected = password == kRight ? Outcome::Ok : Outcome::Wrong;
        for (int i = 0; i < 8; ++i)
            posts.emplace_back([&] {
                together.arrive_and_wait();
                if (accounts.Check("anna@example.com", password, "192.0.2.0/24").outcome == expected)
                    ++answered;
            });
        for (std::thread &post : posts)
            post.join();
        EXPECT_EQ(8, answered.load()) << password;
        EXPECT_EQ(1u, accounts.PasswordVerifications() - before) << password;
    }
    EXPECT_EQ(16u, storage.failures.size()); // 8 wrong attempts, each for the account and the address
}

TEST(Accounts, CreateValidatesAndStoresAnArgon2idHash)
{
    FakeStorage storage;
    Accounts accounts(storage);
    const std::string tooLong = std::string(243, 'a') + "@example.com"; // 255 bytes
    const std::pair<std::string, std::string> refused[] = {
        {"", kRight},           {"anna", kRight},          {"@example.com", kRight},
        {"a@@example.com", kRight}, {"a@b@example.com", kRight}, {"anna@example", kRight},
        {"anna@.com", kRight},  {"anna@example.", kRight}, {"an na@example.com", kRight},
        {"an\x01na@example.com", kRight}, {tooLong, kRight}, {"anna@example.com", "1234567"},
    };
    for (const auto &[email, password] : refused)
        EXPECT_THROW(accounts.Create(email, password), std::invalid_argument) << email << " / " << password;
    EXPECT_TRUE(storage.accounts.empty());

    accounts.Create(" Anna@Example.COM ", "12345678");
    ASSERT_EQ(storage.accounts.count("anna@example.com"), 1u);
    const std::string &hash = storage.accounts["anna@example.com"].passwordHash;
    EXPECT_EQ(hash.rfind("$argon2id$", 0), 0u) << hash;
    EXPECT_TRUE(Accounts::VerifyPassword(hash, "12345678"));
    EXPECT_FALSE(Accounts::VerifyPassword(hash, "12345679"));
    EXPECT_FALSE(Accounts::VerifyPassword("not a hash", "12345678"));
    EXPECT_THROW(accounts.Create("anna@example.com", "another password"), AccountExists);
    accounts.Create(std::string(242, 'a') + "@example.com", kRight); // 254 bytes: the most
}

} // namespace
} // namespace quorvia
