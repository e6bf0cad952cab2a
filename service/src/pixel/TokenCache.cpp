#include "pixel/TokenCache.h"

#include <mutex>

namespace quorvia {

std::optional<TokenTarget> TokenCache::Find(const std::string &token)
{
    {
        std::shared_lock<std::shared_mutex> lock(m_mutex);
        const auto found = m_found.find(token);
        if (found != m_found.end())
            return found->second;
    }
    std::optional<TokenTarget> target = m_storage.FindToken(token);
    if (target) {
        std::lock_guard<std::shared_mutex> lock(m_mutex);
        if (m_found.size() >= m_capacity)
            m_found = {}; // gives the buckets back too
        m_found.emplace(token, *target);
    }
    return target;
}

} // namespace quorvia
