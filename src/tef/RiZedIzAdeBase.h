#pragma once
// Money, dates and the typed value holder of the TEF component.
//
// Text conventions of the whole TEF component: a "string" parameter or field is UTF-8
// (the service's own text, Portuguese literals, paths); a "single-byte" value is a
// std::string holding Windows-1252 bytes (TEF file lines and values, library arguments).
// platform/CodePage.h converts between the two.
#include <compare>
#include <cstdint>
#include <string>

#include "platform/Clock.h"

// ---------------------------------------------------------------------------------------
// Currency: a signed 64-bit count of 1/10000 units, so that sums of amounts are exact.
// There is no implicit conversion from numbers: say which unit you mean.
class Currency {
 public:
  static constexpr int64_t kScale = 10000;

  constexpr Currency() = default;
  static constexpr Currency FromRaw(int64_t units) { return Currency(units); }
  static constexpr Currency FromCents(int64_t cents) { return Currency(cents * 100); }
  // Nearest 1/10000, halves away from zero; NaN gives 0 and values beyond the range saturate.
  static Currency FromDouble(double value);
  // The same with halves going to the even 1/10000: how the component's operations take
  // the host's amounts.
  static Currency FromDoubleHalfEven(double value);

  constexpr int64_t Raw() const { return units_; }
  double ToDouble() const { return static_cast<double>(units_) / kScale; }

  // The amount in whole cents, halves away from zero (0.015 -> 2, -0.015 -> -2).
  int64_t ToCents() const;
  // The amount rounded to two decimals with a tie going to the even cent, the rule of the
  // payment totals (0.125 -> 0.12, 0.135 -> 0.14).
  Currency RoundToCentsHalfEven() const;
  // Two decimals (halves away from zero), at least one integer digit, no thousands
  // separator: Format(',') gives "10,50" (the form CliSiTef takes), Format('.') "10.50".
  std::string Format(char decimal_separator) const;

  constexpr Currency operator-() const { return Currency(-units_); }
  constexpr Currency operator+(Currency other) const { return Currency(units_ + other.units_); }
  constexpr Currency operator-(Currency other) const { return Currency(units_ - other.units_); }
  constexpr Currency operator*(int64_t factor) const { return Currency(units_ * factor); }
  constexpr Currency& operator+=(Currency other) { units_ += other.units_; return *this; }
  constexpr Currency& operator-=(Currency other) { units_ -= other.units_; return *this; }
  constexpr auto operator<=>(const Currency&) const = default;

 private:
  constexpr explicit Currency(int64_t units) : units_(units) {}
  int64_t units_ = 0;
};

// ---------------------------------------------------------------------------------------
// TDateTime: days since 1899-12-30 with the time of day as the fraction; 0 means "no date".
// All values are local time (the process's time zone).
using TDateTime = double;

// Years 1 to 9999, real calendar dates only (no 30 February).
bool TryEncodeDate(int Year, int Month, int Day, TDateTime& Result);
// Hours 0-23, minutes and seconds 0-59, milliseconds 0-999; the result is a fraction of a day.
bool TryEncodeTime(int Hour, int Min, int Sec, int MSec, TDateTime& Result);
// Date and time together; false when either part is invalid.
bool TryEncodeDateTime(int Year, int Month, int Day, int Hour, int Min, int Sec, int MSec,
                       TDateTime& Result);
// The date part of a value (the integer part).
void DecodeDate(TDateTime Value, int& Year, int& Month, int& Day);
// The time part (the absolute fraction), rounded to the nearest millisecond.
void DecodeTime(TDateTime Value, int& Hour, int& Min, int& Sec, int& MSec);

// The local date-time of a clock reading, to the millisecond.
TDateTime DateTimeFromTimePoint(norvane::TimePoint tp);
// The local date-time now, from the service's one clock (norvane::now()).
TDateTime Now();

// The decimal separator of the process's number format settings (LC_NUMERIC).
char decimal_separator();

// Formats a date-time with the tokens yyyy, yy, mm, m, dd, d, hh, h, nn, n, ss, s, zzz, z
// (letters in either case; "nn" is minutes, "mm" always the month); every other character
// is copied. FormatDateTime("dd/mm hh:nn:ss:zzz", v) gives "31/12 23:59:58:007".
std::string FormatDateTime(const std::string& Format, TDateTime Value);

// ---------------------------------------------------------------------------------------
// The text value of one TEF field (single-byte) with typed views in the fixed formats of
// the TEF files. Typed reads never fail: a text that does not fit the view reads as 0 (or
// as the zero date-time). Writing 0 (or the zero date-time) to a typed view empties the text.
class TRiZedIzAdeInformacao {
 public:
  TRiZedIzAdeInformacao() = default;
  explicit TRiZedIzAdeInformacao(std::string text) : fInformacao(std::move(text)) {}

  // A name for the value; not interpreted.
  const std::string& Nome() const { return FNome; }
  void SetNome(const std::string& AValue) { FNome = AValue; }

  // The text unchanged.
  const std::string& AsString() const { return fInformacao; }
  void SetAsString(const std::string& AValue) { fInformacao = AValue; }

  // Trimmed decimal 32-bit integer, 0 when it is not one. Writes decimal text.
  int32_t AsInteger() const;
  void SetAsInteger(int32_t AValue);

  // Read: every "," and "." removed, the rest a decimal 32-bit integer of hundredths
  // ("10,50" -> 10.5, "10" -> 0.1). Write: hundredths, halves away from zero, at least
  // three digits (0.5 -> "050").
  double AsFloat() const;
  void SetAsFloat(double AValue);

  // Dates and times read only the digits of the trimmed text, by position:
  // AsDate DDMMYYYY, AsTime HHNNSS, AsTimeStamp DDMMHHNNSS (in the current year),
  // AsTimeStampSQL YYYYMMDDHHNNSS. Writes use those formats.
  TDateTime AsDate() const;
  void SetAsDate(TDateTime AValue);
  TDateTime AsTime() const;
  void SetAsTime(TDateTime AValue);
  TDateTime AsTimeStamp() const;
  void SetAsTimeStamp(TDateTime AValue);
  TDateTime AsTimeStampSQL() const;
  void SetAsTimeStampSQL(TDateTime AValue);

 private:
  std::string fInformacao;
  std::string FNome;
};
