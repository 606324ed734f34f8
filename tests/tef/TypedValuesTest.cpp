#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "../support/LocalTime.h"
#include "platform/Clock.h"
#include "tef/RiZedIzAdeBase.h"

namespace {

TDateTime dt(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  TDateTime v = 0;
  EXPECT_TRUE(TryEncodeDateTime(y, mo, d, h, mi, s, ms, v));
  return v;
}

// Sets the service clock to a local date-time for the life of the object.
class LocalClock {
 public:
  LocalClock(int y, int mo, int d, int h = 12) {
    const auto tp = testing_support::local_time(y, mo, d, h, 0, 0);
    norvane::set_clock_for_tests([tp] { return tp; });
  }
  ~LocalClock() { norvane::set_clock_for_tests(nullptr); }
};

std::string text_of(const TDateTime v) { return FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", v); }

// ---------------------------------------------------------------------------------------
// Reading

struct NumberRead {
  const char* text;
  int32_t as_integer;
  double as_float;
};

TEST(TypedValues, NumbersReadFromText) {
  const NumberRead cases[] = {
      {"10,50", 0, 10.5},
      {"10.50", 0, 10.5},
      {"1.234,56", 0, 1234.56},  // separators are not part of an integer
      {"10", 10, 0.1},
      {"", 0, 0},
      {"abc", 0, 0},
      {"  42\t", 42, 0.42},
      {"4 2", 0, 0},
      {"-150", -150, -1.5},
      {"+7", 7, 0.07},
      {"2147483647", 2147483647, 21474836.47},
      {"-2147483648", -2147483647 - 1, -21474836.48},
      {"2147483648", 0, 0},  // beyond 32 bits is not a number
      {"99999999999", 0, 0},
      {"12a", 0, 0},
      {"-", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("text \"") + c.text + "\"");
    TRiZedIzAdeInformacao info(c.text);
    EXPECT_EQ(info.AsInteger(), c.as_integer);
    EXPECT_DOUBLE_EQ(info.AsFloat(), c.as_float);
    EXPECT_EQ(info.AsString(), c.text);
  }
}

struct DateRead {
  const char* what;
  std::function<TDateTime(const TRiZedIzAdeInformacao&)> view;
  const char* text;
  TDateTime expected;  // 0 when the text is no valid date-time
};

TEST(TypedValues, DatesAndTimesReadFromTheirDigits) {
  const LocalClock clock(2023, 6, 15);
  auto date = [](const TRiZedIzAdeInformacao& i) { return i.AsDate(); };
  auto time = [](const TRiZedIzAdeInformacao& i) { return i.AsTime(); };
  auto stamp = [](const TRiZedIzAdeInformacao& i) { return i.AsTimeStamp(); };
  auto sql = [](const TRiZedIzAdeInformacao& i) { return i.AsTimeStampSQL(); };
  TDateTime t2359 = 0;
  ASSERT_TRUE(TryEncodeTime(23, 59, 59, 0, t2359));
  const std::vector<DateRead> cases = {
      {"date with separators", date, "31/12/2024", dt(2024, 12, 31)},
      {"date digits only", date, "31122024", dt(2024, 12, 31)},
      {"date, extra digits ignored", date, " 31122024 1030 ", dt(2024, 12, 31)},
      {"date with six digits", date, "311224", 0},
      {"date 30 February", date, "30022024", 0},
      {"date 29 February, leap year", date, "29022024", dt(2024, 2, 29)},
      {"date month 13", date, "01132024", 0},
      {"date year 0", date, "01010000", 0},
      {"date empty", date, "", 0},
      {"time", time, "23:59:59", t2359},
      {"time midnight", time, "000000", 0},
      {"time hour 25", time, "250000", 0},
      {"time second 60", time, "120060", 0},
      {"time four digits", time, "2359", 0},
      {"stamp in the current year", stamp, "3112235958", dt(2023, 12, 31, 23, 59, 58)},
      {"stamp 29 February, current year not leap", stamp, "2902120000", 0},
      {"stamp nine digits", stamp, "311223595", 0},
      {"sql 29 February 2024", sql, "20240229235959", dt(2024, 2, 29, 23, 59, 59)},
      {"sql with separators", sql, "2024-02-29 23:59:59", dt(2024, 2, 29, 23, 59, 59)},
      {"sql 30 February", sql, "20240230000000", 0},
      {"sql hour 24", sql, "20240228240000", 0},
      {"sql thirteen digits", sql, "2024022923595", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.view(TRiZedIzAdeInformacao(c.text)), c.expected)
        << text_of(c.view(TRiZedIzAdeInformacao(c.text)));
  }
}

TEST(TypedValues, TimeStampTakesTheYearOfTheClock) {
  const TRiZedIzAdeInformacao leap_day("2902120000");
  {
    const LocalClock clock(2024, 1, 10);
    EXPECT_EQ(leap_day.AsTimeStamp(), dt(2024, 2, 29, 12));
  }
  {
    const LocalClock clock(2031, 12, 31, 23);
    EXPECT_EQ(TRiZedIzAdeInformacao("0101000000").AsTimeStamp(), dt(2031, 1, 1));
  }
}

// ---------------------------------------------------------------------------------------
// Writing

struct Write {
  const char* what;
  std::function<void(TRiZedIzAdeInformacao&)> write;
  const char* expected;
};

TEST(TypedValues, WritesUseTheFixedFormats) {
  const std::vector<Write> cases = {
      {"float 0.5", [](auto& i) { i.SetAsFloat(0.5); }, "050"},
      {"float 12.3", [](auto& i) { i.SetAsFloat(12.3); }, "1230"},
      {"float 0.01", [](auto& i) { i.SetAsFloat(0.01); }, "001"},
      {"float 1234.56", [](auto& i) { i.SetAsFloat(1234.56); }, "123456"},
      {"float half a cent goes away from zero", [](auto& i) { i.SetAsFloat(0.125); }, "013"},
      {"float negative", [](auto& i) { i.SetAsFloat(-0.5); }, "-050"},
      {"float 0", [](auto& i) { i.SetAsFloat(0); }, ""},
      {"float NaN", [](auto& i) { i.SetAsFloat(std::nan("")); }, ""},
      {"integer", [](auto& i) { i.SetAsInteger(-7); }, "-7"},
      {"integer 0", [](auto& i) { i.SetAsInteger(0); }, ""},
      {"date", [](auto& i) { i.SetAsDate(dt(2024, 12, 31, 8, 5, 1)); }, "31122024"},
      {"date 0", [](auto& i) { i.SetAsDate(0); }, ""},
      {"time", [](auto& i) { i.SetAsTime(dt(2024, 12, 31, 8, 5, 1)); }, "080501"},
      {"time 0", [](auto& i) { i.SetAsTime(0); }, ""},
      {"stamp", [](auto& i) { i.SetAsTimeStamp(dt(2024, 3, 9, 23, 59, 58)); }, "0903235958"},
      {"sql", [](auto& i) { i.SetAsTimeStampSQL(dt(2024, 2, 29, 23, 59, 59)); }, "20240229235959"},
      {"sql 0", [](auto& i) { i.SetAsTimeStampSQL(0); }, ""},
      {"date beyond year 9999", [](auto& i) { i.SetAsDate(1e9); }, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TRiZedIzAdeInformacao info("previous");
    c.write(info);
    EXPECT_EQ(info.AsString(), c.expected);
  }
}

TEST(TypedValues, WrittenValuesReadBack) {
  const TDateTime moments[] = {dt(2024, 2, 29, 23, 59, 59), dt(1999, 12, 31), dt(2000, 1, 1, 0, 0, 1),
                               dt(9999, 12, 31, 23, 59, 59), dt(1, 1, 1, 1, 1, 1)};
  for (TDateTime m : moments) {
    SCOPED_TRACE(text_of(m));
    TRiZedIzAdeInformacao info;
    info.SetAsTimeStampSQL(m);
    EXPECT_EQ(info.AsTimeStampSQL(), m);
    info.SetAsDate(m);
    EXPECT_EQ(info.AsDate(), std::trunc(m));
  }
  for (double amount : {0.01, 0.1, 10.5, 1234.56, -99.99, 21474836.47}) {
    TRiZedIzAdeInformacao info;
    info.SetAsFloat(amount);
    EXPECT_DOUBLE_EQ(info.AsFloat(), amount) << info.AsString();
  }
}

// ---------------------------------------------------------------------------------------
// Dates and money helpers

TEST(DateTime, DayNumbersMatchTheCalendar) {
  struct Case { int y, m, d; double day; };
  const Case cases[] = {{1899, 12, 30, 0},     {1900, 1, 1, 2},       {2000, 1, 1, 36526},
                        {2024, 2, 29, 45351},  {2024, 12, 31, 45657}, {1, 1, 1, -693593},
                        {9999, 12, 31, 2958465}};
  for (const auto& c : cases) {
    TDateTime v = -1;
    ASSERT_TRUE(TryEncodeDate(c.y, c.m, c.d, v));
    EXPECT_EQ(v, c.day) << c.y << "-" << c.m << "-" << c.d;
    int y, m, d;
    DecodeDate(v, y, m, d);
    EXPECT_EQ(y * 10000 + m * 100 + d, c.y * 10000 + c.m * 100 + c.d);
  }
  TDateTime v = 0;
  EXPECT_FALSE(TryEncodeDate(2023, 2, 29, v));
  EXPECT_FALSE(TryEncodeDate(2100, 2, 29, v));
  EXPECT_TRUE(TryEncodeDate(2000, 2, 29, v));
  EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, v));
  EXPECT_FALSE(TryEncodeTime(0, 0, 0, 1000, v));
}

TEST(DateTime, LastMillisecondOfTheDayStaysInThatDay) {
  const TDateTime v = dt(2024, 12, 31, 23, 59, 59, 999);
  EXPECT_EQ(FormatDateTime("dd/mm/yyyy hh:nn:ss:zzz", v), "31/12/2024 23:59:59:999");
  EXPECT_EQ(FormatDateTime("d/m/yy h:n:s.z", dt(2005, 3, 4, 5, 6, 7, 8)), "4/3/05 5:6:7.8");
}

TEST(DateTime, NowIsTheLocalTimeOfTheServiceClock) {
  const auto tp = testing_support::local_time(2026, 12, 10, 3, 4, 5, 678);
  norvane::set_clock_for_tests([tp] { return tp; });
  EXPECT_EQ(FormatDateTime("dd/mm hh:nn:ss:zzz", Now()), "10/12 03:04:05:678");
  norvane::set_clock_for_tests(nullptr);
}

TEST(CurrencyValue, RoundingRules) {
  struct Case { int64_t raw; int64_t cents_away; int64_t raw_half_even; const char* comma; };
  const Case cases[] = {
      {155000, 1550, 155000, "15,50"},  // 15.50
      {100, 1, 100, "0,01"},            // 0.01
      {50, 1, 0, "0,01"},               // 0.005: away -> 0.01, even -> 0.00
      {150, 2, 200, "0,02"},            // 0.015: even -> 0.02
      {1250, 13, 1200, "0,13"},         // 0.125: even -> 0.12
      {1350, 14, 1400, "0,14"},         // 0.135: even -> 0.14
      {1351, 14, 1400, "0,14"},
      {40, 0, 0, "0,00"},               // 0.004
      {-150, -2, -200, "-0,02"},
      {-1250, -13, -1200, "-0,13"},
      {-40, 0, 0, "0,00"},
      {0, 0, 0, "0,00"},
      {123456789, 1234568, 123456800, "12345,68"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.raw);
    const Currency v = Currency::FromRaw(c.raw);
    EXPECT_EQ(v.ToCents(), c.cents_away);
    EXPECT_EQ(v.RoundToCentsHalfEven().Raw(), c.raw_half_even);
    EXPECT_EQ(v.Format(','), c.comma);
  }
  EXPECT_EQ(Currency::FromDouble(10.5).Format('.'), "10.50");
  EXPECT_EQ(Currency::FromDouble(0.1) + Currency::FromDouble(0.2), Currency::FromCents(30));
  EXPECT_EQ(Currency::FromDouble(1e300).Raw(), INT64_MAX);
  EXPECT_EQ(Currency::FromDouble(std::nan("")).Raw(), 0);
}

}  // namespace
