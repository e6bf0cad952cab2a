// Accounts: the e-mail address is the login; the password rests only as an
// Argon2id hash (libsodium) and is checked in constant time. A verified
// sign-in is remembered for a short while (keyed by a secret of this instance
// and the account's current hash, so a new password ends it), so that a busy
// sender does not cost a full Argon2id run per message. Failed sign-ins are
// counted per account and per client address in the storage, which every
// instance shares; past the limit the answer is "limited" until the window
// has passed. Sign-ups are counted per client address the same way, as each
// costs a password hash.
#pragma once

#include "storage/Storage.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <future>
#include <mutex>
#include <semaphore>
#include <string>
#include <unordered_map>

namespace quorvia {

struct AccountLimits
{
    int failures = 10;                                  // within the window, per account and per address
    std::chrono::seconds window = std::chrono::minutes(15);
    std::chrono::seconds remember = std::chrono::seconds(60); // a verified sign-in
    size_t rememberedMax = 10000; // remembered sign-ins kept at once; the soonest to expire goes first
    // Argon2id runs at once: each takes 64 MiB, so this bounds the memory that
    // concurrent sign-ins (wrong ones too) can take; the rest wait their turn.
    int concurrentVerifications = 4;
    int signUps = 5;                                    // new accounts per client address within signUpWindow
    std::chrono::seconds signUpWindow = std::chrono::hours(1);
};

class Accounts
{
public:
    explicit Accounts(Storage &storage, AccountLimits limits = AccountLimits());
    ~Accounts();
    Accounts(const Accounts &) = delete;
    Accounts &operator=(const Accounts &) = delete;

    enum class Outcome
    {
        Ok,
        Wrong,   // no such account, or the wrong password
        Limited, // too many failures for the account or the address
    };
    struct SignIn
    {
        Outcome outcome = Outcome::Wrong;
        Account account; // for Ok
    };
    // Raises StorageUnavailable.
    SignIn Check(const std::string &email, const std::string &password, const std::string &clientAddress);

    // A new account; the address is taken trimmed and in lower case. Raises
    // std::invalid_argument for an address or password that cannot be one (an
    // address needs one '@', a dot in its domain, no control character or
    // space, at most 254 bytes; a password at least 8 bytes), AccountExists,
    // StorageUnavailable.
    int64_t Create(const std::string &email, const std::string &password);

    // Counts a sign-up from the client address; false, counting nothing, when
    // the address has had `signUps` within the window already. Raises
    // StorageUnavailable.
    bool TakeSignUp(const std::string &clientAddress);

    // The account of an address as a person types it (any case, spaces
    // around), or nothing. Raises StorageUnavailable.
    std::optional<Account> Find(const std::string &email);
    // Why an address cannot be an account's, or nothing when it can.
    static std::optional<std::string> AddressProblem(const std::string &email);

    // A new password for the account (at least 8 bytes, else
    // std::invalid_argument). Its new hash ends the remembered sign-ins of
    // the old one. Raises StorageUnavailable.
    void SetPassword(int64_t accountId, const std::string &password);

    static std::string HashPassword(const std::string &password);
    static bool VerifyPassword(const std::string &hash, const std::string &password);

    // How many Argon2id verifications Check has run: what remembering saves,
    // for the tests and the server's figures.
    uint64_t PasswordVerifications() const { return m_verifications.load(); }

private:
    // Under m_mutex.
    void Remember(const std::string &key);

    Storage &m_storage;
    AccountLimits m_limits;
    unsigned char m_secret[32];
    std::mutex m_mutex;
    std::unordered_map<std::string, std::chrono::steady_clock::time_point> m_remembered;
    // Verifications under way, by the remembered sign-in's key: concurrent
    // posts with the same sign-in share one run instead of each starting its own.
    std::unordered_map<std::string, std::shared_future<bool>> m_verifying;
    std::counting_semaphore<1024> m_verificationSlots;
    std::string m_dummyHash; // verified against for an unknown account, so that it costs the same
    std::atomic<uint64_t> m_verifications{0};
};

} // namespace quorvia
