#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tvr {

// Dates as Unix-epoch seconds (double), the catalog's and the engine's representation.
// Text form: strict "YYYY-MM-DDTHH:MM:SSZ" in UTC, no fractional seconds.

// Formats the whole seconds (rounded toward negative infinity) of `unixSeconds`. A time
// outside years 0000 to 9999 (or not a number) gives the nearest end of that range
// (NaN the start), so the text always parses back.
std::string formatISO8601(double unixSeconds);
// Parses exactly the form above; nullopt for anything else (fractions, offsets, bad fields).
std::optional<double> parseISO8601(std::string_view text);

// Seconds between 1970-01-01 and 2001-01-01 (the reference date some stored documents use).
inline constexpr double kSecondsFrom1970To2001 = 978307200.0;

// The current time in Unix-epoch seconds.
double nowUnixSeconds();

}  // namespace tvr
