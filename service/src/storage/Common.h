// What the SQLite and PostgreSQL storages share: the schema, the sizes of the
// purge's batches, text as both keep it, and a message read as a page of one.
#pragma once

#include "storage/Storage.h"

#include <string>

namespace quorvia {

constexpr int kSchemaVersion = 2;
constexpr int kPurgeOpens = 1000;   // opens (or failures) deleted per purge transaction
constexpr int kPurgeMessages = 100; // messages, with their opens, per purge transaction

// The tables and indexes of kSchemaVersion, in one dialect: `key` is the id
// column of accounts and messages, whose ids are never used again (a client
// holding the id of a deleted message must not reach a newer one); `rowKey`
// that of opens and failures.
std::string SchemaSql(const std::string &key, const std::string &rowKey);

// What takes a database of version `to - 1` to version `to` (2 ..
// kSchemaVersion), in SQL both dialects read. A new database is made at
// version 1 and taken up the same steps, so there is one path to each version.
std::string MigrationSql(int to);

// Text as both databases keep it: valid UTF-8 without NUL. PostgreSQL refuses
// anything else, and one user agent of bad bytes must not sink a whole batch
// of opens, so such bytes become U+FFFD in SQLite and PostgreSQL alike.
// `text` itself when it is already clean, else a cleaned copy in `scratch`.
const std::string &CleanText(const std::string &text, std::string &scratch);

// GetMessage through the listing's query: the page of one that starts at it.
std::optional<MessageView> MessageAsPage(Storage &storage, int64_t accountId, int64_t messageId);

} // namespace quorvia
