// The process-wide "system ANSI code page": the single-byte encoding of the settings
// file, the daily log and the batch files. Text inside the program is UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace kavar::codepage {

// Name of the current ANSI code page, for example "windows-1256". Taken from the
// environment variable KAVAR_ANSI_CODEPAGE on first use, else "windows-1256".
std::string Current();

// Replaces the process-wide code page (tests, tools). Throws std::invalid_argument when
// the system cannot convert to or from that code page.
void SetCurrent(const std::string& name);

// UTF-8 text to bytes of the current code page. A character the code page lacks goes
// through the code page's published best-fit mapping first; only what has no best fit
// becomes '?'. Invalid UTF-8 sequences become '?'. Never throws for bad input.
std::string FromUtf8(std::string_view utf8);

// Bytes of the current code page to UTF-8 text. A byte the code page does not define
// becomes U+FFFD. Never throws for bad input.
std::string ToUtf8(std::string_view bytes);

// The same two conversions for a named encoding (for example the encoding an XML
// answer declares). Throw std::invalid_argument for an encoding the system lacks.
std::string FromUtf8(std::string_view utf8, const std::string& encoding);
std::string ToUtf8(std::string_view bytes, const std::string& encoding);

}  // namespace kavar::codepage
