#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tvr {

// Dates as Unix-epoch seconds (double), the catalog's and the engine's representation.
// Text form: strict "YYYY-MM-DDTHH:MM:SSZ" in UTC, no fractional seconds.

// Seconds of 0001-01-01T00:00:00Z and 9999-12-31T23:59:59Z: the dates the text form holds.
inline constexpr double kEarliestRepresentableDate = -62135596800.0;
inline constexpr double kLatestRepresentableDate = 253402300799.0;

// True for a finite date from year 1 to year 9999. Dates read from repository files are
// checked with it before they are shown; others are left out.
inline bool isRepresentableDate(double unixSeconds) {
  return unixSeconds >= kEarliestRepresentableDate && unixSeconds < kLatestRepresentableDate + 1.0;
}

// Formats the whole seconds (rounded toward negative infinity) of `unixSeconds`. A date
// that is not representable is clamped to the nearest representable one (callers check
// with isRepresentableDate first; this only keeps the conversion defined).
std::string formatISO8601(double unixSeconds);
// Parses exactly the form above; nullopt for anything else (fractions, offsets, bad fields).
std::optional<double> parseISO8601(std::string_view text);

// Seconds between 1970-01-01 and 2001-01-01 (the reference date some stored documents use).
inline constexpr double kSecondsFrom1970To2001 = 978307200.0;

// The current time in Unix-epoch seconds.
double nowUnixSeconds();

}  // namespace tvr
