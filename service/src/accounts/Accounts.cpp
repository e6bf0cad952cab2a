#include "accounts/Accounts.h"

#include <sodium.h>

#include <algorithm>
#include <stdexcept>

namespace quorvia {

namespace {

// Interactive rather than moderate: a hash is verified for every sign-in not
// remembered and for every wrong password anybody sends, before any account
// is known. Moderate's 256 MiB per verification would let a handful of
// concurrent unauthenticated requests take a gigabyte, and at about 0.75 s of
// a core each (measured on the project's 2-core machines) a few dozen would
// hold the machine; interactive's 64 MiB and two passes (about 140 ms there)
// keep that bounded and still make each offline guess at a stolen hash cost
// 64 MiB of memory.
constexpr unsigned long long kOpsLimit = crypto_pwhash_OPSLIMIT_INTERACTIVE;
constexpr size_t kMemLimit = crypto_pwhash_MEMLIMIT_INTERACTIVE;

constexpr size_t kMaxEmail = 254;
constexpr size_t kMaxKeyAddress = 64;
constexpr size_t kMinPassword = 8;

// sodium_init is idempotent and thread-safe; this makes sure it ran before
// anything here draws random bytes or hashes.
void EnsureSodium()
{
    static const int result = sodium_init();
    if (result < 0)
        throw std::runtime_error("libsodium could not be initialised");
}

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Addresses are compared trimmed and in (ASCII) lower case.
std::string NormalizedEmail(const std::string &email)
{
    size_t begin = 0, end = email.size();
    while (begin < end && IsSpace(email[begin]))
        ++begin;
    while (end > begin && IsSpace(email[end - 1]))
        --end;
    std::string out = email.substr(begin, end - begin);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

void ValidateEmail(const std::string &email)
{
    if (email.size() > kMaxEmail)
        throw std::invalid_argument("an address has at most 254 bytes");
    for (char c : email) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || u == ' ')
            throw std::invalid_argument("an address has no control character or space");
    }
    const size_t at = email.find('@');
    if (at == std::string::npos || email.find('@', at + 1) != std::string::npos || at == 0)
        throw std::invalid_argument("an address has one '@' with something before it");
    const std::string domain = email.substr(at + 1);
    const size_t dot = domain.find('.');
    if (dot == std::string::npos || domain.front() == '.' || domain.back() == '.')
        throw std::invalid_argument("an address has a domain with a dot in it");
}

// Keys of the failure counts, bounded whatever a client sends.
std::string AccountKey(const std::string &email)
{
    return "account:" + email.substr(0, kMaxEmail);
}

std::string AddressKey(const std::string &address)
{
    return "address:" + address.substr(0, kMaxKeyAddress);
}

std::string SignUpKey(const std::string &address)
{
    return "signup:" + address.substr(0, kMaxKeyAddress);
}

} // namespace

Accounts::Accounts(Storage &storage, AccountLimits limits)
    : m_storage(storage), m_limits(limits), m_verificationSlots(std::clamp(limits.concurrentVerifications, 1, 1024))
{
    EnsureSodium();
    randombytes_buf(m_secret, sizeof m_secret);
    unsigned char random[16];
    randombytes_buf(random, sizeof random);
    m_dummyHash = HashPassword(std::string(reinterpret_cast<const char *>(random), sizeof random));
}

Accounts::~Accounts()
{
    sodium_memzero(m_secret, sizeof m_secret);
}

std::string Accounts::HashPassword(const std::string &password)
{
    EnsureSodium();
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, password.data(), password.size(), kOpsLimit, kMemLimit) != 0)
        throw std::runtime_error("not enough memory to hash a password");
    return std::string(hash);
}

bool Accounts::VerifyPassword(const std::string &hash, const std::string &password)
{
    EnsureSodium();
    // Constant time in the password; a hash that is no Argon2id string fails.
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

Accounts::SignIn Accounts::Check(const std::string &email, const std::string &password,
                                 const std::string &clientAddress)
{
    const std::string address = NormalizedEmail(email);
    const std::string accountKey = AccountKey(address);
    const std::string addressKey = AddressKey(clientAddress);
    SignIn result;

    // Refused before any verification: past the limit even the right password
    // gets no answer that would tell it is right.
    const TimePoint since = Now() - std::chrono::duration_cast<std::chrono::microseconds>(m_limits.window);
    if (m_storage.CountFailures(accountKey, since) >= m_limits.failures ||
        m_storage.CountFailures(addressKey, since) >= m_limits.failures) {
        result.outcome = Outcome::Limited;
        return result;
    }

    std::optional<Account> account = address.size() <= kMaxEmail ? m_storage.FindAccount(address) : std::nullopt;
    const std::string &hash = account ? account->passwordHash : m_dummyHash;

    // The remembered sign-in's key: a keyed hash of the account, its current
    // hash (a new password, with its new salt, ends it) and the password; the
    // password itself is never kept.
    unsigned char key[crypto_generichash_BYTES];
    {
        crypto_generichash_state state;
        crypto_generichash_init(&state, m_secret, sizeof m_secret, sizeof key);
        unsigned char fixed[16];
        const uint64_t id = account ? static_cast<uint64_t>(account->id) : 0;
        const uint64_t hashSize = hash.size();
        for (int i = 0; i < 8; ++i) {
            fixed[i] = static_cast<unsigned char>(id >> (8 * i));
            fixed[8 + i] = static_cast<unsigned char>(hashSize >> (8 * i));
        }
        crypto_generichash_update(&state, fixed, sizeof fixed);
        crypto_generichash_update(&state, reinterpret_cast<const unsigned char *>(hash.data()), hash.size());
        crypto_generichash_update(&state, reinterpret_cast<const unsigned char *>(password.data()), password.size());
        crypto_generichash_final(&state, key, sizeof key);
    }
    const std::string rememberKey(reinterpret_cast<const char *>(key), sizeof key);
    std::shared_future<bool> verification;
    std::promise<bool> outcome; // for the verification this call runs itself
    bool runsIt = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_remembered.find(rememberKey);
        if (account && it != m_remembered.end()) {
            if (std::chrono::steady_clock::now() < it->second) {
                result.outcome = Outcome::Ok;
                result.account = std::move(*account);
                return result;
            }
            m_remembered.erase(it);
        }
        auto running = m_verifying.find(rememberKey);
        if (running != m_verifying.end()) {
            verification = running->second;
        } else {
            verification = outcome.get_future().share();
            m_verifying.emplace(rememberKey, verification);
            runsIt = true;
        }
    }

    if (runsIt) {
        // One Argon2id run whether or not the account exists.
        bool verified = false;
        try {
            m_verificationSlots.acquire();
            struct Slot
            {
                std::counting_semaphore<1024> &slots;
                ~Slot() { slots.release(); }
            } slot{m_verificationSlots};
            ++m_verifications;
            verified = VerifyPassword(hash, password) && account.has_value();
        } catch (...) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_verifying.erase(rememberKey);
            outcome.set_exception(std::current_exception());
            throw;
        }
        {
            // Remembered before the run is no longer found, so that no later
            // call of the same sign-in starts another.
            std::lock_guard<std::mutex> lock(m_mutex);
            if (verified)
                Remember(rememberKey);
            m_verifying.erase(rememberKey);
        }
        outcome.set_value(verified);
    }

    // Every wrong attempt counts, whether it ran the verification or shared one.
    if (!verification.get()) {
        const TimePoint at = Now();
        m_storage.AddFailure(accountKey, at);
        m_storage.AddFailure(addressKey, at);
        return result;
    }
    result.outcome = Outcome::Ok;
    result.account = std::move(*account);
    return result;
}

void Accounts::Remember(const std::string &key)
{
    if (m_limits.rememberedMax == 0 || m_limits.remember.count() <= 0)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (m_remembered.size() >= m_limits.rememberedMax) {
        std::erase_if(m_remembered, [now](const auto &entry) { return entry.second <= now; });
        // Still full: the one that would expire soonest goes.
        while (m_remembered.size() >= m_limits.rememberedMax) {
            auto soonest = m_remembered.begin();
            for (auto it = m_remembered.begin(); it != m_remembered.end(); ++it)
                if (it->second < soonest->second)
                    soonest = it;
            m_remembered.erase(soonest);
        }
    }
    m_remembered[key] = now + m_limits.remember;
}

int64_t Accounts::Create(const std::string &email, const std::string &password)
{
    const std::string address = NormalizedEmail(email);
    ValidateEmail(address);
    if (password.size() < kMinPassword)
        throw std::invalid_argument("a password has at least 8 bytes");
    return m_storage.CreateAccount(address, HashPassword(password));
}

bool Accounts::TakeSignUp(const std::string &clientAddress)
{
    // Counted before it is added, so that refusals add no rows.
    const std::string key = SignUpKey(clientAddress);
    const TimePoint now = Now();
    if (m_storage.CountFailures(key, now - std::chrono::duration_cast<std::chrono::microseconds>(m_limits.signUpWindow)) >=
        m_limits.signUps)
        return false;
    m_storage.AddFailure(key, now);
    return true;
}

std::optional<Account> Accounts::Find(const std::string &email)
{
    const std::string address = NormalizedEmail(email);
    return address.size() <= kMaxEmail ? m_storage.FindAccount(address) : std::nullopt;
}

std::optional<std::string> Accounts::AddressProblem(const std::string &email)
{
    try {
        ValidateEmail(NormalizedEmail(email));
        return std::nullopt;
    } catch (const std::invalid_argument &e) {
        return std::string(e.what());
    }
}

void Accounts::SetPassword(int64_t accountId, const std::string &password)
{
    if (password.size() < kMinPassword)
        throw std::invalid_argument("a password has at least 8 bytes");
    m_storage.SetPasswordHash(accountId, HashPassword(password));
}

} // namespace quorvia
