// Tests of the clocks and of encoded time: calendar arithmetic, conversions, texts and parsers.
#include "core/runtime/time.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

double Encode(int32_t year, int32_t month, int32_t day, int32_t hour = 0, int32_t minute = 0,
              int32_t second = 0) {
    double value = -1.0;
    EXPECT_EQ(Time_GetEncoded(&value, hour, minute, second, month, day, static_cast<uint32_t>(year)), 1);
    return value;
}

// hour, minute, second, month, day, year
using Fields = std::vector<int64_t>;

Fields Decode(double value) {
    uint8_t hour = 99, minute = 99, second = 99, month = 99, day = 99;
    uint32_t year = 99;
    EXPECT_EQ(Time_GetDecoded(&hour, &minute, &second, &month, &day, &year, value), 1) << value;
    return {hour, minute, second, month, day, year};
}

std::string EncodedText(uint32_t fields, double value) {
    char buffer[128];
    memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(Time_EncodedString(fields, buffer, sizeof(buffer), value), 1);
    return buffer;
}

std::string Duration(uint32_t fields, double seconds) {
    char buffer[256];
    memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(Time_DurationString(fields, buffer, sizeof(buffer), seconds), 1);
    return buffer;
}

// Days from 1970-01-01, by a formula independent of the module (proleptic Gregorian).
int64_t ReferenceDays(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

constexpr double kHttpExample = 784111777.0; // Sun, 06 Nov 1994 08:49:37 GMT

} // namespace

// Each day from 1970 to the end of 2500 (leap years 1972, 2000, 2400 and the non-leap 2100
// included) against the reference, at a time that exercises every field.
TEST(TimeTest, EveryDayEncodesDecodesAndNamesItsWeekdayAsTheReference) {
    for (int32_t year = 1970; year <= 2500; ++year) {
        for (int32_t month = 1; month <= 12; ++month) {
            const int64_t first = ReferenceDays(year, month, 1);
            for (int32_t day = 1; first + day - 1 < ReferenceDays(year + (month == 12), month % 12 + 1, 1);
                 ++day) {
                const int64_t days = first + day - 1;
                const double value = Encode(year, month, day, 13, 14, 15);
                ASSERT_EQ(value, static_cast<double>(days * 86400 + 13 * 3600 + 14 * 60 + 15));
                ASSERT_EQ(Decode(value), (Fields{13, 14, 15, month, day, year}));
                int32_t weekday = -1;
                ASSERT_EQ(Time_GetDayOfWeek(month, day, year, &weekday), 1);
                ASSERT_EQ(weekday, (days + 4) % 7); // 1970-01-01 was a Thursday
            }
        }
    }
}

TEST(TimeTest, EncodeCarriesSignedFieldsAndNeverGoesBelowZero) {
    EXPECT_EQ(Encode(1994, 11, 6, 8, 49, 37), kHttpExample);
    // Before 1970 the year part is dropped: the date falls in 1970.
    EXPECT_EQ(Encode(1969, 12, 31, 23, 59, 59), 31535999.0);
    EXPECT_EQ(Encode(1968, 3, 1), Encode(1970, 3, 1));
    const double carried[][2] = {{Encode(1994, 11, 6, -1), Encode(1994, 11, 5, 23)},
                                 {Encode(1994, 11, 6, 0, -30), Encode(1994, 11, 5, 23, 30)},
                                 {Encode(1994, 12, 31, 27), Encode(1995, 1, 1, 3)},
                                 {Encode(2000, 3, 0), Encode(2000, 2, 29)},
                                 {Encode(1970, 1, 1, -1), 0.0},
                                 {Encode(1970, 1, 1, 0, 0, -5), 0.0}};
    for (const auto& c : carried) EXPECT_EQ(c[0], c[1]);
    // The extremes of every field stay inside 64-bit arithmetic.
    double value = -1.0;
    EXPECT_EQ(Time_GetEncoded(&value, INT32_MAX, INT32_MAX, INT32_MAX, 12, INT32_MAX, UINT32_MAX), 1);
    EXPECT_GT(value, 0.0);
    EXPECT_EQ(Time_GetEncoded(&value, INT32_MIN, INT32_MIN, INT32_MIN, 1, INT32_MIN, 0), 1);
    EXPECT_EQ(value, 0.0);
    // A month outside 1 to 12 has no days-before-month entry.
    for (int32_t month : {0, 13, -1}) {
        value = 5.0;
        EXPECT_EQ(Time_GetEncoded(&value, 0, 0, 0, month, 1, 2000), 0) << month;
        EXPECT_EQ(value, 0.0);
    }
}

TEST(TimeTest, DecodesBoundaries) {
    const double lastYear = Encode(4294967295, 12, 31, 12);
    const struct {
        double value;
        Fields fields;
    } cases[] = {{0.0, {0, 0, 0, 1, 1, 1970}},
                 {951868799.0, {23, 59, 59, 2, 29, 2000}},
                 {kHttpExample + 0.999, {8, 49, 37, 11, 6, 1994}},
                 {13601001600.0 + 86399, {23, 59, 59, 12, 31, 2400}},
                 {13601001600.0 + 86400, {0, 0, 0, 1, 1, 2401}},
                 {lastYear, {12, 0, 0, 12, 31, 4294967295}}};
    for (const auto& c : cases) EXPECT_EQ(Decode(c.value), c.fields) << c.value;
    uint8_t h = 1, mi = 1, s = 1, mo = 1, d = 1;
    uint32_t y = 1;
    for (double bad : {-1.0, -0.5, std::nan(""), HUGE_VAL, 1.4e17, 1e300}) {
        EXPECT_EQ(Time_GetDecoded(&h, &mi, &s, &mo, &d, &y, bad), 0) << bad;
        EXPECT_EQ(h + mi + s + mo + d + y, 0u);
    }
}

TEST(TimeTest, DayOfWeekAndNamesRefuseWhatIsOutOfRange) {
    int32_t weekday = -1;
    EXPECT_EQ(Time_GetDayOfWeek(13, 1, 2000, &weekday), 0);
    EXPECT_EQ(weekday, 0);
    EXPECT_EQ(Time_GetDayOfWeek(0, 1, 2000, &weekday), 0);
    EXPECT_EQ(Time_GetDayOfWeek(2, 29, 2000, nullptr), 0);
    EXPECT_EQ(Time_GetDayOfWeek(1, 1, 0, &weekday), 1);
    EXPECT_TRUE(weekday >= 0 && weekday < 7) << weekday;
    EXPECT_EQ((std::vector<std::string>{
                  Time_GetMonthName(1), Time_GetMonthName(12), Time_GetShortMonthName(9), Time_GetDayName(1),
                  Time_GetDayName(7), Time_GetShortDayName(4),
                  std::string(Time_GetMonthName(0)) + Time_GetMonthName(13) + Time_GetShortMonthName(-1) +
                      Time_GetDayName(8) + Time_GetShortDayName(0)}),
              (std::vector<std::string>{"January", "December", "Sep", "Sunday", "Saturday", "Wed", ""}));
}

TEST(TimeTest, TmConversions) {
    struct tm record;
    memset(&record, 0x55, sizeof(record));
    ASSERT_EQ(Time_ConvertEncodedToTm(&record, kHttpExample), 1);
    EXPECT_EQ((std::vector<int64_t>{record.tm_sec, record.tm_min, record.tm_hour, record.tm_mday,
                                    record.tm_mon, record.tm_year, record.tm_isdst, record.tm_wday,
                                    record.tm_yday, record.tm_gmtoff}),
              (std::vector<int64_t>{37, 49, 8, 6, 10, 94, -1, 0, 0, 0}));
    EXPECT_EQ(record.tm_zone, nullptr);
    double value = -1.0;
    EXPECT_EQ(Time_ConvertTmToEncoded(&record, &value), 1);
    EXPECT_EQ(value, kHttpExample);
    EXPECT_EQ(Time_ConvertTmToEncoded(&record, nullptr), 0);
    EXPECT_EQ(Time_ConvertTmToEncoded(nullptr, &value), 0);
    EXPECT_EQ(value, 0.0);
    EXPECT_EQ(Time_ConvertEncodedToTm(nullptr, kHttpExample), 0);
    // Fields a tm can hold but a calendar cannot: month out of range fails, extreme years stay
    // defined.
    record.tm_mon = 12;
    EXPECT_EQ(Time_ConvertTmToEncoded(&record, &value), 0);
    record.tm_mon = 0;
    record.tm_year = INT32_MIN;
    EXPECT_EQ(Time_ConvertTmToEncoded(&record, &value), 1);
    record.tm_year = INT32_MAX;
    EXPECT_EQ(Time_ConvertTmToEncoded(&record, &value), 1);
    EXPECT_GT(value, 0.0);
    memset(&record, 0x55, sizeof(record));
    EXPECT_EQ(Time_ConvertEncodedToTm(&record, -1.0), 0);
    EXPECT_EQ(record.tm_year + record.tm_mday, 0);
    // A year that tm_year (years since 1900, an int) cannot hold.
    EXPECT_EQ(Time_ConvertEncodedToTm(&record, Encode(4294967295, 1, 1)), 0);
}

TEST(TimeTest, Clocks) {
    struct tm gmt, local;
    const double before = Time_GetCurrentEncoded();
    const double encodedGmt = Time_GetCurrentEncodedGMT(&gmt);
    const double encodedLocal = Time_GetCurrentEncodedLocal(&local);
    EXPECT_TRUE(before > 1.6e9 && encodedGmt >= before && encodedGmt <= Time_GetCurrentEncoded());
    // UTC broken down and encoded again is the plain UTC second count; local time differs from
    // UTC by the zone, at most 14 hours.
    double fromTm = 0.0;
    EXPECT_EQ(Time_ConvertTmToEncoded(&gmt, &fromTm), 1);
    EXPECT_EQ(fromTm, encodedGmt);
    EXPECT_LE(std::fabs(encodedLocal - encodedGmt), 14 * 3600.0 + 2);
    EXPECT_TRUE(Time_GetCurrentEncodedLocal(nullptr) > 0 && Time_GetCurrentEncodedGMT(nullptr) > 0);
    EXPECT_GE(Time_GetClockCount(), 0.0);

    // The monotonic clock counts milliseconds from its first use and never goes backwards.
    EXPECT_LT(Time_GetCycleCount(), 60u * 60u * 1000u);
    std::atomic<int> backwards{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&backwards] {
            uint64_t previous = Time_GetCycleCount();
            double previousSeconds = Time_GetCurrent();
            for (int i = 0; i < 20000; ++i) {
                const uint64_t now = Time_GetCycleCount();
                const double seconds = Time_GetCurrent();
                backwards += now < previous || seconds < previousSeconds;
                previous = now;
                previousSeconds = seconds;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(backwards.load(), 0);
    const uint64_t cycles = Time_GetCycleCount();
    const double seconds = Time_GetCurrent();
    EXPECT_GE(seconds * 1000.0 + 0.5, static_cast<double>(cycles));
    EXPECT_EQ(seconds, std::floor(seconds * 1000.0 + 0.5) / 1000.0); // whole milliseconds
}

TEST(TimeTest, UniversalFileTimes) {
    constexpr uint64_t kEpoch = 116444736000000000ull; // 1970 in 100 ns units from 1601
    // Before 1970 the subtraction would wrap around to a date far in the future.
    const struct {
        uint64_t fileTime;
        int64_t ok;
        double value;
    } cases[] = {{kEpoch, 1, 0.0},
                 {kEpoch + 7841117770000000ull + 9999999, 1, kHttpExample},
                 {kEpoch - 1, 0, 0.0},
                 {0, 0, 0.0},
                 {UINT64_MAX, 1, static_cast<double>((UINT64_MAX - kEpoch) / 10000000ull)}};
    for (const auto& c : cases) {
        double value = -1.0;
        EXPECT_EQ(Time_ConvertUniversalToUnix(c.fileTime, &value), c.ok) << c.fileTime;
        EXPECT_EQ(value, c.value) << c.fileTime;
    }
}

TEST(TimeTest, DosDates) {
    // 1994-11-06 08:49:36: year 14, month 11, day 6, hour 8, minute 49, seconds / 2 = 18.
    const uint32_t word = (14u << 25) | (11u << 21) | (6u << 16) | (8u << 11) | (49u << 5) | 18u;
    double value = -1.0;
    EXPECT_EQ(Time_ConvertDosDateToEncoded(&value, word), 1);
    EXPECT_EQ(value, kHttpExample - 1);
    uint32_t dos = 1;
    EXPECT_EQ(Time_ConvertEncodedToDosDate(&dos, kHttpExample), 1); // odd second rounds down
    EXPECT_EQ(dos, word);
    const struct {
        int32_t year, month, day, hour, minute, second;
        int64_t ok;
    } cases[] = {{1980, 1, 1, 0, 0, 0, 1},      {2000, 2, 29, 23, 59, 58, 1},  {2107, 12, 31, 23, 59, 58, 1},
                 {2024, 12, 31, 12, 30, 10, 1}, {1979, 12, 31, 23, 59, 58, 0}, {1970, 1, 1, 0, 0, 0, 0},
                 {2108, 1, 1, 0, 0, 0, 0}};
    for (const auto& c : cases) {
        const double encoded = Encode(c.year, c.month, c.day, c.hour, c.minute, c.second);
        dos = 1;
        ASSERT_EQ(Time_ConvertEncodedToDosDate(&dos, encoded), c.ok) << c.year;
        EXPECT_EQ(dos >> 25, c.ok ? static_cast<uint32_t>(c.year - 1980) : 0u) << c.year;
        EXPECT_EQ((dos >> 21) & 0xF, c.ok ? static_cast<uint32_t>(c.month) : 0u) << c.year;
        value = -1.0;
        EXPECT_EQ(Time_ConvertDosDateToEncoded(&value, dos), c.ok) << c.year;
        EXPECT_EQ(value, c.ok ? encoded : 0.0) << c.year;
    }
    EXPECT_EQ(Time_ConvertEncodedToDosDate(&dos, -1.0), 0);
    EXPECT_EQ(dos, 0u);
    // Month fields 0 and 13 to 15 name no month.
    for (uint32_t bad : {0u, 15u << 21 | 1u << 16, UINT32_MAX}) {
        value = -1.0;
        EXPECT_EQ(Time_ConvertDosDateToEncoded(&value, bad), 0) << bad;
        EXPECT_EQ(value, 0.0);
    }
}

TEST(TimeTest, EncodedStrings) {
    const double y2005 = Encode(2005, 1, 2, 3, 4, 5);
    // Two-digit years are the year modulo 100.
    const struct {
        uint32_t fields;
        double value;
        const char* text;
    } cases[] = {{0x40000000, kHttpExample, "Sun, 06 Nov 1994 08:49:37 GMT"},
                 {0x7B, kHttpExample, "11/06/1994 08:49:37"},
                 {0x10000000, kHttpExample, "Sun, 06 Nov 94 08:49:37 GMT"},
                 {0x20000000, kHttpExample, "Sunday, 06-Nov-94 08:49:37 GMT"},
                 {0x20000000, y2005, "Sunday, 02-Jan-05 03:04:05 GMT"},
                 {0x10000000 | 0x40000000 | 0x7B, kHttpExample, "Sun, 06 Nov 94 08:49:37 GMT"},
                 {0x7B | 0x2000, y2005, "1/2/5 3:4:5"},
                 {0x7B | 0x2000, kHttpExample, "11/6/94 8:49:37"},
                 {0xB, Encode(2000, 2, 29, 23, 59, 59), "02/29/2000"},
                 {0x70, kHttpExample, "08:49:37"},
                 {0x60, kHttpExample, "49:37"},
                 {0x50, kHttpExample, "08:37"},
                 {0x1, kHttpExample, "1994"},
                 {0x9, kHttpExample, "06/1994"},
                 {0x2 | 0x10, kHttpExample, "11 08"},
                 {0, kHttpExample, ""},
                 {0x40000000, 0.0, "Thu, 01 Jan 1970 00:00:00 GMT"},
                 {0x40000000, Encode(2400, 2, 29), "Tue, 29 Feb 2400 00:00:00 GMT"}};
    for (const auto& c : cases) EXPECT_EQ(EncodedText(c.fields, c.value), c.text) << std::hex << c.fields;
    char buffer[64];
    for (double bad : {-1.0, std::nan("")}) {
        strcpy(buffer, "old");
        EXPECT_EQ(Time_EncodedString(0x7B, buffer, sizeof(buffer), bad), 0);
        EXPECT_STREQ(buffer, "");
    }
    // A small buffer cuts the text and stays terminated.
    memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(Time_EncodedString(0x7B, buffer, 6, kHttpExample), 1);
    EXPECT_EQ(std::string(buffer, 7), std::string("11/06\0x", 7));
    EXPECT_EQ(Time_EncodedString(0x40000000, buffer, 0, kHttpExample), 0);
}

TEST(TimeTest, DurationStrings) {
    // Whole seconds round unless milliseconds are shown; units not shown fold into the next
    // smaller one; nothing negative, NaN or absurdly large breaks the text.
    const struct {
        uint32_t fields;
        double seconds;
        const char* text;
    } cases[] = {{0x70 | 0x100, 3725.0, "1h  2m  5s"},
                 {0x70 | 0x100 | 0x2000, 3725.0, "1h  2m"},
                 {0x70 | 0x200, 3661.0, "1 hour  1 minute  1 second"},
                 {0x70 | 0x200, 7322.0, "2 hours  2 minutes  2 seconds"},
                 {0x70, 3725.0, "1  2  5"},
                 {0x70 | 0x100, 0.0, ""},
                 {0x70 | 0x100 | 0x400, 0.0, "0h  0m  0s"},
                 {0x70 | 0x100, 3600.0, "1h"},
                 {0x70 | 0x100, 60.0, "1m"},
                 {0x40 | 0x100, 1.6, "2s"},
                 {0x40 | 0x100, 1.4, "1s"},
                 {0xC0 | 0x100, 1.6, "1s 0600ms"},
                 {0xFC | 0x100, 694861.5, "1w 1d  1h  1m  1s 0500ms"},
                 {0xFC | 0x200, 8 * 86400.0, "1 week 1 day"},
                 {0x8 | 0x200 | 0x400, 86400.0 * 3, "3 days"},
                 {0x10 | 0x800 | 0x100, 90061.0, "25h"},
                 {0x20 | 0x800 | 0x100, 3725.0, "62m"},
                 {0x80 | 0x800 | 0x100, 1.6, "1600ms"},
                 {0x8 | 0x800 | 0x100, 15 * 86400.0, "15d"},
                 {0x10 | 0x100, 90061.0, "1h"},
                 {0x60 | 0x100 | 0x1000, 65.0, "01m 05s"},
                 {0x60 | 0x100 | 0x1000 | 0x400, 5.0, "00m 05s"},
                 {0x70 | 0x100 | 0x400, -5.0, "0h  0m  0s"},
                 {0x70 | 0x100 | 0x400, std::nan(""), "0h  0m  0s"},
                 {0x8 | 0x800 | 0x100, 1e300, "11574074074d"},
                 {0x80 | 0x800 | 0x100, 1e300, "1000000000000000000ms"}};
    for (const auto& c : cases) EXPECT_EQ(Duration(c.fields, c.seconds), c.text) << std::hex << c.fields;
    char buffer[8];
    memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(Time_DurationString(0x70 | 0x200, buffer, 5, 3725.0), 1);
    // " 1 h" cut at the capacity, then trimmed.
    EXPECT_EQ(std::string(buffer, 6), std::string("1 h\0\0x", 6));
}

TEST(TimeTest, OffsetStrings) {
    const struct {
        const char* text;
        int64_t ok;
        int32_t hours, minutes;
    } cases[] = {{"", 1, 0, 0},         {"UT", 1, 0, 0},    {"UTC", 1, 0, 0},    {"GMT", 1, 0, 0},
                 {"Z", 1, 0, 0},        {"EST", 1, -5, 0},  {"EDT", 1, -4, 0},   {"CST", 1, -6, 0},
                 {"CDT", 1, -5, 0},     {"MST", 1, -7, 0},  {"MDT", 1, -6, 0},   {"PST", 1, -8, 0},
                 {"PDT", 1, -7, 0},     {"A", 1, -1, 0},    {"M", 1, -12, 0},    {"N", 1, 1, 0},
                 {"Y", 1, 12, 0},       {"+0100", 1, 1, 0}, {"-0500", 1, -5, 0}, {"+0530", 1, 5, 30},
                 {"-0930", 1, -9, -30}, {"0100", 1, -1, 0}, {"+01000", 1, 1, 0}, {"gmt", 0, 0, 0},
                 {"XYZ", 0, 0, 0},      {"B", 0, 0, 0},     {"+01", 0, 0, 0},    {"+010", 0, 0, 0},
                 {"+01a0", 0, 0, 0},    {"EEST", 0, 0, 0},  {"--0100", 0, 0, 0}};
    for (const auto& c : cases) {
        int32_t hours = 77, minutes = 77;
        EXPECT_EQ(Time_ParseOffsetString(c.text, &hours, &minutes), c.ok) << c.text;
        EXPECT_EQ(std::make_pair(hours, minutes), std::make_pair(c.hours, c.minutes)) << c.text;
    }
}

TEST(TimeTest, ParsesHttpDates) {
    // RFC 1123, asctime and RFC 850 forms, any case, runs of separators, zones; unknown zones are
    // ignored; four-digit years are taken as written (0094 encodes as if in 1970), two-digit
    // years pivot at 1970, and nothing encodes below 0.
    const struct {
        const char* text;
        int64_t ok;
        double value;
    } cases[] = {{"Sun, 06 Nov 1994 08:49:37 GMT", 1, kHttpExample},
                 {"Sun Nov  6 08:49:37 1994", 1, kHttpExample},
                 {"Sunday, 06-Nov-94 08:49:37 GMT", 1, kHttpExample},
                 {"sun, 06 NOV 1994 08:49:37", 1, kHttpExample},
                 {"Sun Nov 6 08:49:37 1994 GMT", 1, kHttpExample},
                 {"Sun,,06   Nov--1994 08::49:37  GMT", 1, kHttpExample},
                 {"Sun, 06 Nov 1994 08:49:37 +0000", 1, kHttpExample},
                 {"Sun, 06 Nov 1994 13:49:37 EST", 1, kHttpExample + 10 * 3600},
                 {"Sun, 06 Nov 1994 08:49:37 XYZ", 1, kHttpExample},
                 {"Sun, 06 Nov 1994 00:30:00 +0100", 1, 784078200.0},
                 {"Sun, 06 Nov 1994 08:49:37 -0500", 1, kHttpExample + 5 * 3600},
                 {"Sun, 06 Nov 1994 08:49:37 +0530", 1, kHttpExample - 5 * 3600 - 30 * 60},
                 {"Sun, 06 Nov 0094 08:49:37 GMT", 1, 26729377.0},
                 {"Sat, 01 Jan 00 00:00:00 GMT", 1, 946684800.0},
                 {"Tue, 01 Jan 69 00:00:00 GMT", 1, 3124224000.0},
                 {"Thu, 01 Jan 70 00:00:00 GMT", 1, 0.0},
                 {"Thu, 01 Jan 1970 00:00:00 +0100", 1, 0.0},
                 {"Sun, 06 Foo 1994 08:49:37 GMT", 0, 0.0},
                 {"Sun Foo  6 08:49:37 1994", 0, 0.0},
                 {"Sun, 06 November 1994 08:49:37 GMT", 0, 0.0},
                 {"Sun, 06 Nov 1994 08:49", 0, 0.0},
                 {"Sun, 06 Nov 1994 08:49:37 GMT extra", 0, 0.0},
                 {"a b c d e f g h i j k l m n", 0, 0.0},
                 {"", 0, 0.0},
                 {",,,,---:::", 0, 0.0}};
    for (const auto& c : cases) {
        double value = -1.0;
        EXPECT_EQ(Time_ParseStringEncoded(c.text, &value), c.ok) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
    // The zone is subtracted from the fields, which may then lie outside their ranges.
    const std::pair<const char*, Fields> fields[] = {
        {"Sun, 06 Nov 1994 00:30:00 +0100", {-1, 30, 0, 11, 6, 1994}},
        {"Sun, 06 Nov 1994 08:49:37 -0930", {17, 79, 37, 11, 6, 1994}},
        {"nonsense", {0, 0, 0, 0, 0, 0}}};
    for (const auto& [text, expected] : fields) {
        int32_t h = 5, mi = 5, s = 5, mo = 5, d = 5;
        uint32_t y = 5;
        EXPECT_EQ(Time_ParseString(text, &h, &mi, &s, &mo, &d, &y), expected[5] != 0) << text;
        EXPECT_EQ((Fields{h, mi, s, mo, d, y}), expected) << text;
    }
}

TEST(TimeTest, ParsesHostileDatesSafely) {
    // Huge numbers saturate instead of overflowing.
    double value = -1.0;
    EXPECT_EQ(
        Time_ParseStringEncoded(
            "Sun, 99999999999999999999 Nov 99999999999 99999999999:99999999999:99999999999 +9999", &value),
        1);
    EXPECT_GT(value, 0.0);
    EXPECT_EQ(Time_ParseStringEncoded("Sun Nov +5 +8:+49:+37 +1994", &value), 1);
    EXPECT_EQ(value, Encode(1994, 11, 5, 8, 49, 37));
    // Only the first 319 characters are read: a date pushed past them is not seen, and trailing
    // text past them does not count as tokens.
    EXPECT_EQ(
        Time_ParseStringEncoded((std::string(319, ' ') + "Sun, 06 Nov 1994 08:49:37 GMT").c_str(), &value),
        0);
    const std::string trailing = "Sun, 06 Nov 1994 08:49:37 GMT" + std::string(290, ' ') + "x y z";
    EXPECT_EQ(Time_ParseStringEncoded(trailing.c_str(), &value), 1);
    EXPECT_EQ(value, kHttpExample);
    // A text ending exactly at a token is read to its end and no further.
    const std::string exact = "Sun Nov 6 1:2:3 94";
    EXPECT_EQ(Time_ParseStringEncoded(std::vector<char>(exact.c_str(), exact.c_str() + 19).data(), &value),
              1);
    EXPECT_EQ(value, Encode(1994, 11, 6, 1, 2, 3));
}

TEST(TimeTest, Spans) {
    struct tm now;
    Time_GetCurrentEncodedLocal(&now);
    const int64_t year = now.tm_year + 1900;
    const std::pair<const char*, Fields> spans[] = {{"22:30", {22, 30, 1, 1}},
                                                    {"7", {7, 0, 1, 1}},
                                                    {"", {0, 0, 1, 1}},
                                                    {":15", {0, 15, 1, 1}},
                                                    {"24:60", {1, 0, 1, 2}}};
    for (const auto& [text, expected] : spans) {
        double value = -1.0;
        ASSERT_EQ(Time_SpanParse(text, &value), 1) << text;
        const Fields decoded = Decode(value);
        EXPECT_EQ((Fields{decoded[0], decoded[1], decoded[3], decoded[4]}), expected) << text;
        EXPECT_LE(decoded[5] - year, 1) << "the year may turn between the two readings";
    }
    for (const char* bad : {"25:00", "10:61", "-1:00", "10:-5", "99999999999999:0"}) {
        double value = -1.0;
        EXPECT_EQ(Time_SpanParse(bad, &value), 0) << bad;
        EXPECT_EQ(value, 0.0) << bad;
    }
    // hour, minute, start hour, start minute, end hour, end minute, inside
    const int32_t cases[][7] = {{23, 30, 22, 0, 2, 0, 1}, {3, 0, 22, 0, 2, 0, 0},   {1, 59, 22, 0, 2, 0, 1},
                                {2, 0, 22, 0, 2, 0, 0},   {22, 0, 22, 0, 2, 0, 1},  {9, 0, 9, 0, 17, 0, 1},
                                {17, 0, 9, 0, 17, 0, 0},  {16, 59, 9, 0, 17, 0, 1}, {8, 59, 9, 0, 17, 0, 0},
                                {12, 0, 12, 0, 12, 0, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(Time_SpanCompare(c[0], c[1], c[2], c[3], c[4], c[5]), c[6])
            << c[0] << ":" << c[1] << " in " << c[2] << ":" << c[3] << "-" << c[4] << ":" << c[5];
}
