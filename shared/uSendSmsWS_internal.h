// Internals of TSendSmsWS that its tests reach directly: the limits of an exchange and the
// conversions applied to the texts of an answer. Not for use outside the client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/formats/formats.h"

namespace kavar::sendsms {

// A provider that accepts no connection, or answers slowly or never, must not hold a send
// cycle for long: connecting may take this long, the whole exchange at most the second.
inline constexpr long kConnectTimeoutMs = 15000;
inline constexpr long kTotalTimeoutMs = 60000;
// A real answer is a few kilobytes; the XML tree costs up to ~16 times its text, so a
// larger body is refused before it is parsed.
inline constexpr std::size_t kMaxAnswerBytes = 4u << 20;
// A message or delivery list longer than this is refused instead of being sized.
inline constexpr std::size_t kMaxListEntries = 10000;

// Optional sign and decimal digits, within the 32-bit range; nothing else.
bool TryStrToInt32(std::string_view text, std::int32_t& value);
// "true"/"false" in any letter case, or a number (true when not zero).
bool TryStrToBoolean(std::string_view text, bool& value);
// An XML Schema dateTime, as UTC (or by its zone designator), turned into the machine's
// local time for that instant, then moved 4 h 30 min back.
bool TryXmlDateTimeToLocal(std::string_view text, kavar::formats::TDateTime& value);

}  // namespace kavar::sendsms
