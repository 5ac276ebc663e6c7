#include "support/utc_time.h"

#include <algorithm>

namespace kelvane {
namespace {

// Reads exactly `count` digits at text[pos].
std::optional<int> digits(std::string_view text, std::size_t pos, std::size_t count) {
  if (pos + count > text.size()) return std::nullopt;
  int value = 0;
  for (std::size_t i = pos; i < pos + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

bool is_leap(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int days_in_month(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the date (proleptic Gregorian calendar).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// The date of a day counted from 1970-01-01 (the inverse of the above).
struct Date {
  std::int64_t year;
  unsigned month, day;
};
Date civil_from_days(std::int64_t z) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned day = doy - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2), month, day};
}

// Appends `value` in exactly `count` decimal digits.
void append_digits(std::string& out, std::int64_t value, int count) {
  char digits[4];
  for (int i = count - 1; i >= 0; --i, value /= 10) digits[i] = static_cast<char>('0' + value % 10);
  out.append(digits, static_cast<std::size_t>(count));
}

struct Fields {
  int year, month, day, hour, minute, second;
};

// "YYYY-MM-DDTHH:MM:SS", the first 19 characters.
std::optional<Fields> date_and_time(std::string_view text) {
  if (text.size() < 19 || text[4] != '-' || text[7] != '-' || text[13] != ':' || text[16] != ':') {
    return std::nullopt;
  }
  if (text[10] != 'T' && text[10] != 't' && text[10] != ' ') return std::nullopt;
  const auto year = digits(text, 0, 4), month = digits(text, 5, 2), day = digits(text, 8, 2);
  const auto hour = digits(text, 11, 2), minute = digits(text, 14, 2), second = digits(text, 17, 2);
  if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
  if (*month < 1 || *month > 12 || *day < 1 || *day > days_in_month(*year, *month)) {
    return std::nullopt;
  }
  if (*hour > 23 || *minute > 59 || *second > 60) return std::nullopt;
  return Fields{*year, *month, *day, *hour, *minute, *second == 60 ? 59 : *second};
}

// "Z", or "+HH:MM" / "-HH:MM": seconds east of UTC.
std::optional<int> zone_offset(std::string_view zone) {
  if (zone == "Z" || zone == "z") return 0;
  if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || zone[3] != ':') {
    return std::nullopt;
  }
  const auto hours = digits(zone, 1, 2), minutes = digits(zone, 4, 2);
  if (!hours || !minutes || *hours > 23 || *minutes > 59) return std::nullopt;
  const int offset = *hours * 3600 + *minutes * 60;
  return zone[0] == '-' ? -offset : offset;
}

}  // namespace

std::string utc_text(std::int64_t seconds) {
  constexpr std::int64_t kFirst = -62167219200;  // 0000-01-01T00:00:00Z
  constexpr std::int64_t kLast = 253402300799;   // 9999-12-31T23:59:59Z
  seconds = std::clamp(seconds, kFirst, kLast);
  const std::int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
  const std::int64_t in_day = seconds - days * 86400;
  const Date date = civil_from_days(days);
  std::string out;
  out.reserve(20);
  append_digits(out, date.year, 4);
  out += '-';
  append_digits(out, date.month, 2);
  out += '-';
  append_digits(out, date.day, 2);
  out += 'T';
  append_digits(out, in_day / 3600, 2);
  out += ':';
  append_digits(out, in_day / 60 % 60, 2);
  out += ':';
  append_digits(out, in_day % 60, 2);
  out += 'Z';
  return out;
}

std::optional<std::int64_t> parse_rfc3339(std::string_view text) noexcept {
  const std::optional<Fields> f = date_and_time(text);
  if (!f) return std::nullopt;
  std::size_t pos = 19;
  if (pos < text.size() && text[pos] == '.') {
    const std::size_t first = ++pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++pos;
    if (pos == first) return std::nullopt;
  }
  const std::optional<int> offset = zone_offset(text.substr(pos));
  if (!offset) return std::nullopt;
  const std::int64_t days =
      days_from_civil(f->year, static_cast<unsigned>(f->month), static_cast<unsigned>(f->day));
  return days * 86400 + f->hour * 3600 + f->minute * 60 + f->second - *offset;
}

}  // namespace kelvane
