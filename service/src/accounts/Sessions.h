// Web sessions and one-time password reset links. Each is a random 256-bit
// secret that only its holder has (a cookie, a mailed link); the storage
// keeps a hash of it, so every instance sharing the database knows it and a
// copy of the database opens nothing.
#pragma once

#include "storage/Storage.h"

#include <chrono>
#include <optional>
#include <string>

namespace quorvia {

class Sessions
{
public:
    static constexpr std::chrono::hours kLifetime{24 * 14};
    static constexpr std::chrono::hours kResetLifetime{1};

    explicit Sessions(Storage &storage) : m_storage(storage) {}

    // A new session of the account: the secret for its cookie.
    std::string Start(int64_t accountId);
    // The account of a live session, or nothing for anything else.
    std::optional<Account> Find(const std::string &secret);
    void End(const std::string &secret);
    // Ends every session of the account but the one of `keepSecret`.
    void EndOthers(int64_t accountId, const std::string &keepSecret);

    // The session's form token: derived from its secret, so every instance
    // computes the same one and nobody without the cookie can.
    static std::string FormToken(const std::string &secret);

    // A reset link's secret, valid for kResetLifetime.
    std::string StartReset(int64_t accountId);
    // The account of a live reset link; `use` spends it.
    std::optional<int64_t> FindReset(const std::string &secret, bool use);

    // 32 random bytes, base64url without padding (43 characters).
    static std::string NewSecret();
    static bool IsSecretShaped(const std::string &text);

private:
    Storage &m_storage;
};

} // namespace quorvia
