#include "web/Cookies.h"

#include <httplib.h>

namespace quorvia {

std::string CookieValue(const httplib::Request &request, const std::string &name)
{
    const size_t headers = request.get_header_value_count("Cookie");
    for (size_t h = 0; h < headers; ++h) {
        const std::string header = request.get_header_value("Cookie", h);
        size_t at = 0;
        while (at < header.size()) {
            size_t end = header.find(';', at);
            if (end == std::string::npos)
                end = header.size();
            size_t begin = header.find_first_not_of(' ', at);
            if (begin < end) {
                const size_t equals = header.find('=', begin);
                if (equals < end && header.compare(begin, equals - begin, name) == 0 &&
                    equals - begin == name.size())
                    return header.substr(equals + 1, end - equals - 1);
            }
            at = end + 1;
        }
    }
    return std::string();
}

std::string SetCookie(const std::string &name, const std::string &value, std::optional<std::chrono::seconds> maxAge)
{
    std::string line = name + "=" + value + "; Path=/; Secure; HttpOnly; SameSite=Lax";
    if (maxAge)
        line += "; Max-Age=" + std::to_string(maxAge->count());
    return line;
}

} // namespace quorvia
