// Accounts: the e-mail address is the login; the password rests only as an
// Argon2id hash (libsodium) and is checked in constant time. A verified
// sign-in is remembered for a short while (keyed by a secret of this instance
// and the account's current hash, so a new password ends it), so that a busy
// sender does not cost a full Argon2id run per message. Failed sign-ins are
// counted per account and per client address in the storage, which every
// instance shares; past the limit the answer is "limited" until the window
// has passed.
#pragma once

#include "storage/Storage.h"

#include <chrono>
#include <mutex>
#include <string>
#include <unordered_map>

namespace quorvia {

struct AccountLimits
{
    int failures = 10;                                  // within the window, per account and per address
    std::chrono::seconds window = std::chrono::minutes(15);
    std::chrono::seconds remember = std::chrono::seconds(60); // a verified sign-in
};

class Accounts
{
public:
    explicit Accounts(Storage &storage, AccountLimits limits = AccountLimits());

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

    // A new account; the address is taken in lower case. Raises
    // std::invalid_argument for an address or password that cannot be one
    // (no '@', empty password), AccountExists, StorageUnavailable.
    int64_t Create(const std::string &email, const std::string &password);

    static std::string HashPassword(const std::string &password);
    static bool VerifyPassword(const std::string &hash, const std::string &password);

private:
    Storage &m_storage;
    AccountLimits m_limits;
    unsigned char m_secret[32];
    std::mutex m_mutex;
    std::unordered_map<std::string, std::chrono::steady_clock::time_point> m_remembered;
};

} // namespace quorvia
