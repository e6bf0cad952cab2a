// Text as both databases keep it: valid UTF-8 without NUL. PostgreSQL refuses
// anything else, and one user agent of bad bytes must not sink a whole batch
// of opens, so such bytes become U+FFFD in SQLite and PostgreSQL alike.
#pragma once

#include <string>

namespace quorvia {

// `text` itself when it is already clean, else a cleaned copy in `scratch`.
const std::string &CleanText(const std::string &text, std::string &scratch);

} // namespace quorvia
