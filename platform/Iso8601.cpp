#include "platform/Iso8601.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace tvr {

namespace {
// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
long long daysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void civilFromDays(long long z, long long& y, unsigned& m, unsigned& d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<long long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

bool digits(std::string_view s, std::size_t pos, std::size_t count, int& value) {
  value = 0;
  for (std::size_t i = pos; i < pos + count; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    value = value * 10 + (s[i] - '0');
  }
  return true;
}
}  // namespace

std::string formatISO8601(double unixSeconds) {
  // NaN fails both comparisons and ends at the earliest date.
  if (!(unixSeconds >= kEarliestRepresentableDate)) unixSeconds = kEarliestRepresentableDate;
  if (unixSeconds > kLatestRepresentableDate) unixSeconds = kLatestRepresentableDate;
  long long total = static_cast<long long>(std::floor(unixSeconds));
  long long days = total >= 0 ? total / 86400 : -((-total + 86399) / 86400);
  long long secondsOfDay = total - days * 86400;
  long long y;
  unsigned m, d;
  civilFromDays(days, y, m, d);
  char text[96];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ", y, m, d, secondsOfDay / 3600,
                secondsOfDay / 60 % 60, secondsOfDay % 60);
  return text;
}

std::optional<double> parseISO8601(std::string_view s) {
  if (s.size() != 20 || s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[13] != ':' || s[16] != ':' || s[19] != 'Z') {
    return std::nullopt;
  }
  int year, month, day, hour, minute, second;
  if (!digits(s, 0, 4, year) || !digits(s, 5, 2, month) || !digits(s, 8, 2, day) || !digits(s, 11, 2, hour) ||
      !digits(s, 14, 2, minute) || !digits(s, 17, 2, second)) {
    return std::nullopt;
  }
  static const int monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month < 1 || month > 12) return std::nullopt;
  int maxDay = monthDays[month - 1] + (month == 2 && leap ? 1 : 0);
  if (day < 1 || day > maxDay || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  long long days = daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  return static_cast<double>(days * 86400 + hour * 3600 + minute * 60 + second);
}

double nowUnixSeconds() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace tvr
