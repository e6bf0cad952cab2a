// The form the add-in posts to /index.php/messagefeed: login, password,
// recipients and subject, every byte %XX-escaped; login and password are the
// UTF-8 bytes of their text, recipients and subject the UTF-16LE bytes of
// theirs; then raw=1. Decoded into UTF-8 text, or refused with the reason.
// Strict: the fields in that order, each once; hex digits in either case; a
// character written as itself, even an unreserved one, is refused (the add-in
// never writes one, and '+' could then be read two ways); no NUL in any field.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quorvia {

// The most of a form the service reads.
constexpr size_t kMaxFeedForm = 64 * 1024;

struct FeedForm
{
    std::string login;      // UTF-8
    std::string password;   // UTF-8
    std::string recipients; // UTF-8, from UTF-16LE
    std::string subject;    // UTF-8, from UTF-16LE
};

// Nothing when the body is not that form; *reason then says why, in words a
// developer reading a 400 would understand ("odd number of UTF-16 bytes in
// to", "unknown field x", ...).
std::optional<FeedForm> DecodeFeedForm(std::string_view body, std::string *reason);

} // namespace quorvia
