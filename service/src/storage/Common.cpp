#include "storage/Common.h"

#include <limits>
#include <stdexcept>

namespace quorvia {
namespace {

// The length of the valid UTF-8 sequence that starts `s` (RFC 3629: no
// overlong forms, no surrogates, nothing past U+10FFFF), 0 for none; NUL is
// none too.
size_t SequenceLength(const unsigned char *s, size_t left)
{
    const unsigned char c = s[0];
    if (c >= 0x01 && c < 0x80)
        return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // the second byte's range
    if (c >= 0xC2 && c <= 0xDF)
        length = 2;
    else if (c == 0xE0)
        length = 3, low = 0xA0;
    else if (c == 0xED)
        length = 3, high = 0x9F;
    else if (c >= 0xE1 && c <= 0xEF)
        length = 3;
    else if (c == 0xF0)
        length = 4, low = 0x90;
    else if (c >= 0xF1 && c <= 0xF3)
        length = 4;
    else if (c == 0xF4)
        length = 4, high = 0x8F;
    else
        return 0;
    if (left < length || s[1] < low || s[1] > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if (s[i] < 0x80 || s[i] > 0xBF)
            return 0;
    return length;
}

} // namespace

std::string SchemaSql(const std::string &key, const std::string &rowKey)
{
    std::string sql = R"(
CREATE TABLE accounts (
    id @KEY@,
    email text NOT NULL UNIQUE,
    password_hash text NOT NULL,
    created_at bigint NOT NULL);
CREATE TABLE messages (
    id @KEY@,
    account_id bigint NOT NULL REFERENCES accounts (id) ON DELETE CASCADE,
    token text NOT NULL UNIQUE,
    recipients text NOT NULL,
    subject text NOT NULL,
    sent_at bigint NOT NULL,
    sender_address text NOT NULL);
CREATE INDEX messages_by_account ON messages (account_id, id);
CREATE INDEX messages_by_sender ON messages (account_id, sender_address, sent_at);
CREATE INDEX messages_by_sent_at ON messages (sent_at);
CREATE TABLE opens (
    id @ROWKEY@,
    message_id bigint NOT NULL REFERENCES messages (id) ON DELETE CASCADE,
    at bigint NOT NULL,
    user_agent text NOT NULL,
    client_address text NOT NULL,
    kind text NOT NULL CHECK (kind IN ('person', 'prefetch', 'scanner', 'sender')),
    rule text NOT NULL);
CREATE INDEX opens_by_message ON opens (message_id, at, id);
CREATE INDEX opens_by_at ON opens (at);
CREATE TABLE failures (
    id @ROWKEY@,
    key text NOT NULL,
    at bigint NOT NULL);
CREATE INDEX failures_by_key ON failures (key, at);
CREATE INDEX failures_by_at ON failures (at);
)";
    for (const auto &[marker, value] : {std::pair<std::string, std::string>{"@KEY@", key}, {"@ROWKEY@", rowKey}})
        for (size_t at = sql.find(marker); at != std::string::npos; at = sql.find(marker, at))
            sql.replace(at, marker.size(), value);
    return sql;
}

std::string MigrationSql(int to)
{
    switch (to) {
    case 2:
        // Web sessions and password reset links: only hashes of their secrets,
        // so a copy of the database opens no account.
        return R"(
CREATE TABLE sessions (
    id_hash text PRIMARY KEY,
    account_id bigint NOT NULL REFERENCES accounts (id) ON DELETE CASCADE,
    expires_at bigint NOT NULL);
CREATE INDEX sessions_by_account ON sessions (account_id);
CREATE INDEX sessions_by_expiry ON sessions (expires_at);
CREATE TABLE password_resets (
    token_hash text PRIMARY KEY,
    account_id bigint NOT NULL REFERENCES accounts (id) ON DELETE CASCADE,
    expires_at bigint NOT NULL);
CREATE INDEX password_resets_by_account ON password_resets (account_id);
CREATE INDEX password_resets_by_expiry ON password_resets (expires_at);
)";
    }
    throw std::logic_error("no migration to schema version " + std::to_string(to));
}

std::optional<MessageView> MessageAsPage(Storage &storage, int64_t accountId, int64_t messageId)
{
    if (messageId <= 0 || messageId == std::numeric_limits<int64_t>::max())
        return std::nullopt;
    std::vector<MessageView> page = storage.ListMessages(accountId, 1, messageId + 1);
    if (page.empty() || page.front().id != messageId)
        return std::nullopt;
    return std::move(page.front());
}

const std::string &CleanText(const std::string &text, std::string &scratch)
{
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    const size_t size = text.size();
    size_t i = 0;
    while (i < size) {
        const size_t length = SequenceLength(s + i, size - i);
        if (length == 0)
            break;
        i += length;
    }
    if (i == size)
        return text;
    scratch.assign(text, 0, i);
    while (i < size) {
        const size_t length = SequenceLength(s + i, size - i);
        if (length == 0) {
            scratch += "\xEF\xBF\xBD";
            ++i;
        } else {
            scratch.append(text, i, length);
            i += length;
        }
    }
    return scratch;
}

} // namespace quorvia
