// The service's cookies: read from a request, and the Set-Cookie lines. Every
// one is Secure (browsers keep it off plain http, except on localhost, which
// they count as secure), HttpOnly and SameSite=Lax.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace httplib {
struct Request;
}

namespace quorvia {

constexpr const char *kSessionCookie = "qv_session";
constexpr const char *kFormCookie = "qv_form"; // a signed-out visitor's form secret

// The first cookie of that name, or empty.
std::string CookieValue(const httplib::Request &request, const std::string &name);
// `maxAge` nothing: until the browser closes; zero: remove it.
std::string SetCookie(const std::string &name, const std::string &value, std::optional<std::chrono::seconds> maxAge);

} // namespace quorvia
