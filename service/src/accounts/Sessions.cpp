#include "accounts/Sessions.h"

#include <sodium.h>

namespace quorvia {
namespace {

constexpr size_t kSecretBytes = 32;
constexpr size_t kSecretChars = 43; // base64url of 32 bytes, unpadded

// A keyed BLAKE2b of the secret: the context keeps a session's hash, a reset
// link's hash and a form token apart even for the same secret.
std::string Digest(const std::string &secret, const char (&context)[16])
{
    unsigned char key[crypto_generichash_KEYBYTES_MIN] = {};
    for (size_t i = 0; i < sizeof context && i < sizeof key; ++i)
        key[i] = static_cast<unsigned char>(context[i]);
    unsigned char out[32];
    crypto_generichash(out, sizeof out, reinterpret_cast<const unsigned char *>(secret.data()), secret.size(), key,
                       sizeof key);
    char hex[sizeof out * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, out, sizeof out);
    return hex;
}

const char kSessionContext[16] = "quorvia-session";
const char kResetContext[16] = "quorvia-reset..";
const char kFormContext[16] = "quorvia-form...";

} // namespace

std::string Sessions::NewSecret()
{
    unsigned char bytes[kSecretBytes];
    randombytes_buf(bytes, sizeof bytes);
    char text[sodium_base64_ENCODED_LEN(kSecretBytes, sodium_base64_VARIANT_URLSAFE_NO_PADDING)];
    sodium_bin2base64(text, sizeof text, bytes, sizeof bytes, sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    return text;
}

bool Sessions::IsSecretShaped(const std::string &text)
{
    return text.size() == kSecretChars &&
           text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_") ==
               std::string::npos;
}

std::string Sessions::Start(int64_t accountId)
{
    const std::string secret = NewSecret();
    m_storage.AddSession(Digest(secret, kSessionContext), accountId, Now() + kLifetime);
    return secret;
}

std::optional<Account> Sessions::Find(const std::string &secret)
{
    if (!IsSecretShaped(secret))
        return std::nullopt;
    return m_storage.FindSession(Digest(secret, kSessionContext), Now());
}

void Sessions::End(const std::string &secret)
{
    if (IsSecretShaped(secret))
        m_storage.DeleteSession(Digest(secret, kSessionContext));
}

void Sessions::EndOthers(int64_t accountId, const std::string &keepSecret)
{
    m_storage.DeleteOtherSessions(accountId, Digest(keepSecret, kSessionContext));
}

std::string Sessions::FormToken(const std::string &secret)
{
    return Digest(secret, kFormContext);
}

std::string Sessions::StartReset(int64_t accountId)
{
    const std::string secret = NewSecret();
    m_storage.AddPasswordReset(Digest(secret, kResetContext), accountId, Now() + kResetLifetime);
    return secret;
}

std::optional<int64_t> Sessions::FindReset(const std::string &secret, bool use)
{
    if (!IsSecretShaped(secret))
        return std::nullopt;
    return m_storage.FindPasswordReset(Digest(secret, kResetContext), Now(), use);
}

} // namespace quorvia
