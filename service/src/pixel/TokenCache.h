// TokenCache: the messages of tokens this instance has seen, so that a pixel
// asks the database once per token, not once per fetch. Safe beside other
// instances: a token names the same message for as long as it exists, and an
// open of a message deleted since is refused by the storage, as without the
// cache. Only found tokens are kept (random ones would only fill it), and at
// most `capacity` of them: when full it starts over, which keeps the memory
// bounded and costs one look-up per token afterwards.
#pragma once

#include "storage/Storage.h"

#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>

namespace quorvia {

class TokenCache
{
public:
    explicit TokenCache(Storage &storage, size_t capacity = 100000) : m_storage(storage), m_capacity(capacity) {}

    // The storage's FindToken, remembered when found. Raises as it does.
    std::optional<TokenTarget> Find(const std::string &token);

private:
    Storage &m_storage;
    const size_t m_capacity;
    std::shared_mutex m_mutex;
    std::unordered_map<std::string, TokenTarget> m_found;
};

} // namespace quorvia
