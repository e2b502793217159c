// Regional settings and the date/number texts built from them. Process-wide, guarded for
// use from several threads; defaults come from the process locale, setters serve tests.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kavar::formats {

// Day count: 0 is 1899-12-30 00:00, the fraction is the time of day.
using TDateTime = double;

// Raised by the Str-to-value conversions, message names the text ("'2359' is not a
// valid time").
class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Picture strings in the Windows locale style: yyyy yy MM M dd d HH H hh h mm m ss s tt.
std::string ShortDateFormat();
void SetShortDateFormat(const std::string& picture);
std::string LongTimeFormat();
void SetLongTimeFormat(const std::string& picture);
std::string DecimalSeparator();
void SetDecimalSeparator(const std::string& separator);
// Back to the defaults of the process locale (tests).
void ResetToLocaleDefaults();

TDateTime EncodeDate(int year, int month, int day);  // throws EConvertError when invalid
TDateTime EncodeTime(int hour, int minute, int second, int millisecond);
void DecodeDate(TDateTime value, int& year, int& month, int& day);
void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& millisecond);

TDateTime Now();  // local wall-clock time
TDateTime Date();  // today, local
// Seconds since the epoch (UTC) to the machine's local wall-clock time, using the zone
// rules in force at that instant.
TDateTime UnixToLocal(std::int64_t unixSeconds, int milliseconds = 0);

// Formats a value by a picture string (see above); other characters are copied, text in
// single or double quotes is copied without the quotes.
std::string FormatDateTime(std::string_view picture, TDateTime value);
std::string DateToStr(TDateTime value);      // short date format
std::string TimeToStr(TDateTime value);      // long time format
std::string DateTimeToStr(TDateTime value);  // date, and " " + time unless exactly midnight

// Reads a time of day: hours, optional ":" minutes, optional ":" seconds, an optional
// AM/PM marker before or after (hours 1..12 then). Digit runs are whole numbers and the
// whole text must be used. StrToTime throws EConvertError naming the text.
bool TryStrToTime(std::string_view text, TDateTime& value);
TDateTime StrToTime(std::string_view text);

// The general floating-point text: 15 significant digits, trailing zeros dropped, fixed
// notation for magnitudes in [1e-5, 1e15), otherwise scientific with the shortest exponent
// (1E-6, 1E20); the regional decimal separator; zero is "0".
std::string FloatToStr(double value);
// Reads a decimal number written with the regional decimal separator (a full stop is
// not accepted where the separator is another sign). Leading/trailing blanks allowed.
bool TryStrToFloat(std::string_view text, double& value);

}  // namespace kavar::formats
