#include "api/MessageJson.h"

#include "pixel/OpenRules.h"

#include <ctime>

namespace quorvia {

std::string IsoTime(TimePoint time)
{
    const auto micros = time.time_since_epoch().count();
    const time_t seconds = static_cast<time_t>(micros / 1000000 - (micros % 1000000 < 0 ? 1 : 0));
    const long millis = static_cast<long>(((micros % 1000000) + 1000000) % 1000000 / 1000);
    tm utc;
    gmtime_r(&seconds, &utc);
    char text[40];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03ldZ", millis);
    return text;
}

nlohmann::json MessageJson(const MessageView &message)
{
    nlohmann::json opens = nlohmann::json::array();
    for (const Open &open : message.opens)
        opens.push_back({{"at", IsoTime(open.at)},
                         {"kind", open.kind},
                         {"client", open.userAgent},
                         {"address", open.clientAddress},
                         {"rule", open.rule}});
    const Open *first = FirstPersonOpen(message.opens);
    // Text from mail clients is not always UTF-8: replaced, never refused.
    return {{"id", message.id},
            {"subject", message.subject},
            {"recipients", message.recipients},
            {"sent_at", IsoTime(message.sentAt)},
            {"status", MessageStatus(message.opens)},
            {"first_opened_at", first ? nlohmann::json(IsoTime(first->at)) : nlohmann::json(nullptr)},
            {"opens", opens}};
}

} // namespace quorvia
