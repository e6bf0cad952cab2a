// A message as the API gives it: id, subject, recipients, sent_at, status,
// first_opened_at and its opens (at, kind, client, address, rule). Times in
// UTC, ISO 8601 with milliseconds.
#pragma once

#include "storage/Storage.h"

#include <nlohmann/json.hpp>

namespace quorvia {

std::string IsoTime(TimePoint time);
nlohmann::json MessageJson(const MessageView &message);

} // namespace quorvia
