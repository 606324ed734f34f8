#include "tef/RiZedIzAdeBase.h"

#include <clocale>
#include "platform/Text.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>

namespace {

constexpr int64_t kMSecsPerDay = 86'400'000;
// Just outside 0001-01-01 (day -693593, whose times count further below it) and
// 9999-12-31 (day 2958465); beyond them a value is not a date this component can write.
constexpr double kMenorData = -693594.0;
constexpr double kMaiorData = 2958466.0;

// Days from 1970-01-01 of a proleptic Gregorian date (H. Hinnant's days_from_civil).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (m <= 2));
  month = static_cast<int>(m);
  day = static_cast<int>(d);
}

const int64_t kDiasAte1970 = -days_from_civil(1899, 12, 30);  // 25569

bool is_leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int year, int month) {
  static constexpr int kDias[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap(year) ? 29 : kDias[month - 1];
}

// Milliseconds since 1899-12-30 00:00, rounded the way the date-time decoding rounds.
int64_t total_msecs(TDateTime value) {
  if (!std::isfinite(value)) return 0;
  const double ms = value * static_cast<double>(kMSecsPerDay);
  // Far beyond any year this component handles; keeps llround defined.
  constexpr double kLimite = 1e17;
  if (ms > kLimite) return static_cast<int64_t>(kLimite);
  if (ms < -kLimite) return -static_cast<int64_t>(kLimite);
  return std::llround(ms);
}

bool writable_date(TDateTime value) {
  return std::isfinite(value) && value > kMenorData && value < kMaiorData;
}

// Trims the way the component's text functions do: every byte up to the blank goes.
// A decimal 32-bit integer with an optional sign and nothing else.
bool parse_int32(const std::string& s, int32_t& out) {
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  if (i == s.size()) return false;
  int64_t v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
    if (v > int64_t{std::numeric_limits<int32_t>::max()} + 1) return false;
  }
  if (negative) v = -v;
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
    return false;
  out = static_cast<int32_t>(v);
  return true;
}

std::string digits_of(const std::string& s) {
  std::string out;
  for (char c : norvane::trim(s))
    if (c >= '0' && c <= '9') out += c;
  return out;
}

// The number in digits [pos, pos+len) of a digit string (1-based, as the formats count).
int digits_at(const std::string& d, size_t pos, size_t len) {
  int v = 0;
  for (size_t i = pos - 1; i < pos - 1 + len; ++i) v = v * 10 + (d[i] - '0');
  return v;
}

// Sign and at least `width` digits: -5 with width 3 gives "-005".
std::string zero_padded(int64_t value, size_t width) {
  const bool negative = value < 0;
  const uint64_t magnitude =
      negative ? uint64_t{0} - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  std::string digits = std::to_string(magnitude);
  if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
  return negative ? "-" + digits : digits;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Currency

namespace {

Currency saturating(double scaled) {
  // 2^63 is exactly representable; anything at or beyond it saturates.
  constexpr double kLimite = 9223372036854775808.0;
  if (std::isnan(scaled)) return Currency();
  if (scaled >= kLimite) return Currency::FromRaw(std::numeric_limits<int64_t>::max());
  if (scaled <= -kLimite) return Currency::FromRaw(std::numeric_limits<int64_t>::min());
  return Currency::FromRaw(static_cast<int64_t>(scaled));
}

}  // namespace

Currency Currency::FromDoubleHalfEven(double value) {
  // nearbyint rounds in the default mode, to nearest with ties to even.
  return saturating(std::nearbyint(value * kScale));
}

Currency Currency::FromDouble(double value) {
  if (std::isnan(value)) return Currency();
  const double scaled = std::round(value * kScale);
  return saturating(scaled);
}

int64_t Currency::ToCents() const {
  int64_t q = units_ / 100;
  const int64_t r = units_ % 100;
  if (r >= 50) ++q;
  else if (r <= -50) --q;
  return q;
}

Currency Currency::RoundToCentsHalfEven() const {
  int64_t q = units_ / 100;
  const int64_t r = units_ % 100;
  if (r > 50 || (r == 50 && q % 2 != 0)) ++q;
  else if (r < -50 || (r == -50 && q % 2 != 0)) --q;
  return Currency(q * 100);
}

std::string Currency::Format(char decimal_separator) const {
  const int64_t cents = ToCents();
  const bool negative = cents < 0;
  const uint64_t magnitude =
      negative ? uint64_t{0} - static_cast<uint64_t>(cents) : static_cast<uint64_t>(cents);
  std::string text = std::to_string(magnitude / 100);
  text += decimal_separator;
  const unsigned frac = static_cast<unsigned>(magnitude % 100);
  text += static_cast<char>('0' + frac / 10);
  text += static_cast<char>('0' + frac % 10);
  return negative ? "-" + text : text;
}

// ---------------------------------------------------------------------------------------
// Dates

bool TryEncodeDate(int Year, int Month, int Day, TDateTime& Result) {
  if (Year < 1 || Year > 9999 || Month < 1 || Month > 12) return false;
  if (Day < 1 || Day > days_in_month(Year, Month)) return false;
  Result = static_cast<double>(days_from_civil(Year, static_cast<unsigned>(Month),
                                               static_cast<unsigned>(Day)) +
                               kDiasAte1970);
  return true;
}

bool TryEncodeTime(int Hour, int Min, int Sec, int MSec, TDateTime& Result) {
  if (Hour < 0 || Hour > 23 || Min < 0 || Min > 59 || Sec < 0 || Sec > 59 || MSec < 0 ||
      MSec > 999)
    return false;
  const int64_t ms = ((int64_t{Hour} * 60 + Min) * 60 + Sec) * 1000 + MSec;
  Result = static_cast<double>(ms) / static_cast<double>(kMSecsPerDay);
  return true;
}

bool TryEncodeDateTime(int Year, int Month, int Day, int Hour, int Min, int Sec, int MSec,
                       TDateTime& Result) {
  TDateTime date, time;
  if (!TryEncodeDate(Year, Month, Day, date) || !TryEncodeTime(Hour, Min, Sec, MSec, time))
    return false;
  // Before 1899-12-30 the day count is negative and the time still counts forward.
  Result = date < 0 ? date - time : date + time;
  return true;
}

void DecodeDate(TDateTime Value, int& Year, int& Month, int& Day) {
  const int64_t days = total_msecs(Value) / kMSecsPerDay;
  civil_from_days(days - kDiasAte1970, Year, Month, Day);
}

void DecodeTime(TDateTime Value, int& Hour, int& Min, int& Sec, int& MSec) {
  const int64_t total = total_msecs(Value);
  int64_t ms = (total < 0 ? -total : total) % kMSecsPerDay;
  MSec = static_cast<int>(ms % 1000);
  ms /= 1000;
  Sec = static_cast<int>(ms % 60);
  ms /= 60;
  Min = static_cast<int>(ms % 60);
  Hour = static_cast<int>(ms / 60);
}

TDateTime DateTimeFromTimePoint(norvane::TimePoint tp) {
  using namespace std::chrono;
  const int64_t ms_epoch = duration_cast<milliseconds>(tp.time_since_epoch()).count();
  int64_t secs = ms_epoch / 1000;
  int64_t ms = ms_epoch % 1000;
  if (ms < 0) { ms += 1000; --secs; }
  const std::time_t t = static_cast<std::time_t>(secs);
  std::tm local{};
  localtime_r(&t, &local);
  TDateTime result = 0;
  TryEncodeDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                    local.tm_min, local.tm_sec > 59 ? 59 : local.tm_sec, static_cast<int>(ms),
                    result);
  return result;
}

TDateTime Now() { return DateTimeFromTimePoint(norvane::now()); }

std::string FormatDateTime(const std::string& Format, TDateTime Value) {
  int year, month, day, hour, min, sec, msec;
  DecodeDate(Value, year, month, day);
  DecodeTime(Value, hour, min, sec, msec);
  auto lower = [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); };
  // Length of the run of the same letter (either case) starting at i.
  auto run = [&](size_t i) {
    size_t n = 1;
    while (i + n < Format.size() && lower(Format[i + n]) == lower(Format[i])) ++n;
    return n;
  };
  std::string out;
  size_t i = 0;
  while (i < Format.size()) {
    const char c = lower(Format[i]);
    size_t n = 0;
    switch (c) {
      case 'y':  // "yyyy" the whole year; one to three letters its last two digits
        n = run(i) >= 4 ? 4 : run(i);
        out += n == 4 ? zero_padded(year, 4) : zero_padded(year % 100, 2);
        break;
      case 'm': n = run(i) >= 2 ? 2 : 1; out += zero_padded(month, n); break;
      case 'd': n = run(i) >= 2 ? 2 : 1; out += zero_padded(day, n); break;
      case 'h': n = run(i) >= 2 ? 2 : 1; out += zero_padded(hour, n); break;
      case 'n': n = run(i) >= 2 ? 2 : 1; out += zero_padded(min, n); break;
      case 's': n = run(i) >= 2 ? 2 : 1; out += zero_padded(sec, n); break;
      case 'z': n = run(i) >= 3 ? 3 : 1; out += zero_padded(msec, n); break;
      default: out += Format[i]; n = 1; break;
    }
    i += n;
  }
  return out;
}

// ---------------------------------------------------------------------------------------
// TRiZedIzAdeInformacao

int32_t TRiZedIzAdeInformacao::AsInteger() const {
  int32_t v = 0;
  return parse_int32(norvane::trim(fInformacao), v) ? v : 0;
}

void TRiZedIzAdeInformacao::SetAsInteger(int32_t AValue) {
  fInformacao = AValue == 0 ? std::string() : std::to_string(AValue);
}

double TRiZedIzAdeInformacao::AsFloat() const {
  std::string number;
  for (char c : norvane::trim(fInformacao))
    if (c != ',' && c != '.') number += c;
  int32_t v = 0;
  return parse_int32(number, v) ? v / 100.0 : 0.0;
}

void TRiZedIzAdeInformacao::SetAsFloat(double AValue) {
  const double hundredths = std::round(AValue * 100.0);  // halves away from zero
  // Beyond the 32-bit range the value could not be read back; NaN is no amount at all.
  if (!std::isfinite(hundredths) || std::fabs(hundredths) > 9e15 || hundredths == 0) {
    fInformacao.clear();
    return;
  }
  fInformacao = zero_padded(static_cast<int64_t>(hundredths), 3);
}

TDateTime TRiZedIzAdeInformacao::AsDate() const {
  const std::string d = digits_of(fInformacao);
  TDateTime result = 0;
  if (d.size() < 8 || !TryEncodeDate(digits_at(d, 5, 4), digits_at(d, 3, 2), digits_at(d, 1, 2),
                                     result))
    return 0;
  return result;
}

TDateTime TRiZedIzAdeInformacao::AsTime() const {
  const std::string d = digits_of(fInformacao);
  TDateTime result = 0;
  if (d.size() < 6 ||
      !TryEncodeTime(digits_at(d, 1, 2), digits_at(d, 3, 2), digits_at(d, 5, 2), 0, result))
    return 0;
  return result;
}

TDateTime TRiZedIzAdeInformacao::AsTimeStamp() const {
  const std::string d = digits_of(fInformacao);
  if (d.size() < 10) return 0;
  int year, month, day;
  DecodeDate(Now(), year, month, day);
  TDateTime result = 0;
  if (!TryEncodeDateTime(year, digits_at(d, 3, 2), digits_at(d, 1, 2), digits_at(d, 5, 2),
                         digits_at(d, 7, 2), digits_at(d, 9, 2), 0, result))
    return 0;
  return result;
}

TDateTime TRiZedIzAdeInformacao::AsTimeStampSQL() const {
  const std::string d = digits_of(fInformacao);
  TDateTime result = 0;
  if (d.size() < 14 ||
      !TryEncodeDateTime(digits_at(d, 1, 4), digits_at(d, 5, 2), digits_at(d, 7, 2),
                         digits_at(d, 9, 2), digits_at(d, 11, 2), digits_at(d, 13, 2), 0, result))
    return 0;
  return result;
}

namespace {
// A zero date-time, and one this component cannot name, both leave the text empty.
std::string format_or_empty(const char* format, TDateTime value) {
  return value == 0 || !writable_date(value) ? std::string() : FormatDateTime(format, value);
}
}  // namespace

void TRiZedIzAdeInformacao::SetAsDate(TDateTime AValue) {
  fInformacao = format_or_empty("DDMMYYYY", AValue);
}

void TRiZedIzAdeInformacao::SetAsTime(TDateTime AValue) {
  fInformacao = format_or_empty("HHNNSS", AValue);
}

void TRiZedIzAdeInformacao::SetAsTimeStamp(TDateTime AValue) {
  fInformacao = format_or_empty("DDMMHHNNSS", AValue);
}

void TRiZedIzAdeInformacao::SetAsTimeStampSQL(TDateTime AValue) {
  fInformacao = format_or_empty("YYYYMMDDHHNNSS", AValue);
}

char decimal_separator() {
  const std::lconv* conv = std::localeconv();
  return conv != nullptr && conv->decimal_point != nullptr && conv->decimal_point[0] != '\0'
             ? conv->decimal_point[0]
             : '.';
}
