// Tests of the clocks and of encoded time: calendar arithmetic, conversions, texts and parsers.
#include "core/runtime/time.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/abort_hook.h"

namespace {

double Encode(int32_t year, int32_t month, int32_t day, int32_t hour = 0, int32_t minute = 0,
              int32_t second = 0) {
    double value = -1.0;
    EXPECT_EQ(Time_GetEncoded(&value, hour, minute, second, month, day, static_cast<uint32_t>(year)), 1);
    return value;
}

struct Fields {
    int hour, minute, second, month, day;
    uint32_t year;
    bool operator==(const Fields&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Fields& f) {
    return out << f.year << "-" << f.month << "-" << f.day << " " << f.hour << ":" << f.minute << ":"
               << f.second;
}

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
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

constexpr double kHttpExample = 784111777.0; // Sun, 06 Nov 1994 08:49:37 GMT

} // namespace

TEST(TimeTest, EncodesKnownDates) {
    EXPECT_EQ(Encode(1970, 1, 1), 0.0);
    EXPECT_EQ(Encode(2000, 3, 1), 951868800.0);
    // Before 1970 the year part is dropped: the date falls in 1970.
    EXPECT_EQ(Encode(1969, 12, 31, 23, 59, 59), 31535999.0);
    EXPECT_EQ(Encode(1968, 3, 1), Encode(1970, 3, 1));
    EXPECT_EQ(Encode(1994, 11, 6, 8, 49, 37), kHttpExample);

    const struct {
        int32_t year, month, day;
        double value;
    } cases[] = {
        {1972, 2, 29, 68169600.0},  {1972, 3, 1, 68256000.0},     {1972, 12, 31, 94608000.0},
        {2000, 2, 29, 951782400.0}, {2000, 12, 31, 978220800.0},  {2100, 2, 28, 4107456000.0},
        {2100, 3, 1, 4107542400.0}, {2400, 2, 29, 13574563200.0}, {2400, 12, 31, 13601001600.0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Encode(c.year, c.month, c.day), c.value) << c.year << "-" << c.month;
}

TEST(TimeTest, EncodeCarriesSignedFieldsAndNeverGoesBelowZero) {
    EXPECT_EQ(Encode(1994, 11, 6, -1, 0, 0), Encode(1994, 11, 5, 23, 0, 0));
    EXPECT_EQ(Encode(1994, 11, 6, 0, -30, 0), Encode(1994, 11, 5, 23, 30, 0));
    EXPECT_EQ(Encode(1994, 12, 31, 27, 0, 0), Encode(1995, 1, 1, 3, 0, 0));
    EXPECT_EQ(Encode(2000, 3, 0), Encode(2000, 2, 29));
    EXPECT_EQ(Encode(1970, 1, 1, -1, 0, 0), 0.0);
    EXPECT_EQ(Encode(1970, 1, 1, 0, 0, -5), 0.0);
    // The extremes of every field stay inside 64-bit arithmetic.
    double value = -1.0;
    EXPECT_EQ(Time_GetEncoded(&value, INT32_MAX, INT32_MAX, INT32_MAX, 12, INT32_MAX, UINT32_MAX), 1);
    EXPECT_GT(value, 0.0);
    EXPECT_EQ(Time_GetEncoded(&value, INT32_MIN, INT32_MIN, INT32_MIN, 1, INT32_MIN, 0), 1);
    EXPECT_EQ(value, 0.0);
    // A month outside 1 to 12 has no days-before-month entry.
    value = 5.0;
    EXPECT_EQ(Time_GetEncoded(&value, 0, 0, 0, 0, 1, 2000), 0);
    EXPECT_EQ(value, 0.0);
    EXPECT_EQ(Time_GetEncoded(&value, 0, 0, 0, 13, 1, 2000), 0);
    EXPECT_EQ(Time_GetEncoded(&value, 0, 0, 0, -1, 1, 2000), 0);
}

TEST(TimeTest, DecodesKnownValues) {
    EXPECT_EQ(Decode(951868799.0), (Fields{23, 59, 59, 2, 29, 2000}));
    EXPECT_EQ(Decode(0.0), (Fields{0, 0, 0, 1, 1, 1970}));
    EXPECT_EQ(Decode(kHttpExample), (Fields{8, 49, 37, 11, 6, 1994}));
    EXPECT_EQ(Decode(kHttpExample + 0.999), (Fields{8, 49, 37, 11, 6, 1994}));
    EXPECT_EQ(Decode(4107542399.0), (Fields{23, 59, 59, 2, 28, 2100}));
    EXPECT_EQ(Decode(13574563200.0), (Fields{0, 0, 0, 2, 29, 2400}));
    EXPECT_EQ(Decode(13601001600.0 + 86399), (Fields{23, 59, 59, 12, 31, 2400}));
    EXPECT_EQ(Decode(13601001600.0 + 86400), (Fields{0, 0, 0, 1, 1, 2401}));
    // The last representable year, then the first that does not fit 32 bits.
    const double last = Encode(4294967295, 12, 31, 12, 0, 0);
    EXPECT_EQ(Decode(last), (Fields{12, 0, 0, 12, 31, 4294967295u}));

    uint8_t h = 1, mi = 1, s = 1, mo = 1, d = 1;
    uint32_t y = 1;
    for (double bad : {-1.0, -0.5, std::nan(""), HUGE_VAL, 1.4e17, 1e300}) {
        EXPECT_EQ(Time_GetDecoded(&h, &mi, &s, &mo, &d, &y, bad), 0) << bad;
        EXPECT_EQ(h + mi + s + mo + d + y, 0u);
    }
}

TEST(TimeTest, EveryDayRoundTripsAgainstReference) {
    // Each day from 1970 to the end of 2500 (leap years 1972, 2000, 2400 and the non-leap 2100
    // included), at a time that exercises every field.
    int64_t expectedDays = 0;
    for (int32_t year = 1970; year <= 2500; ++year) {
        for (int32_t month = 1; month <= 12; ++month) {
            const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
            const int32_t length =
                static_cast<int32_t>(GlobalTimeDaysInMonth[month - 1]) + (leap && month == 2);
            for (int32_t day = 1; day <= length; ++day) {
                ASSERT_EQ(expectedDays, ReferenceDays(year, month, day));
                const double value = Encode(year, month, day, 13, 14, 15);
                ASSERT_EQ(value, static_cast<double>(expectedDays * 86400 + 13 * 3600 + 14 * 60 + 15));
                ASSERT_EQ(Decode(value), (Fields{13, 14, 15, month, day, static_cast<uint32_t>(year)}));
                int32_t weekday = -1;
                ASSERT_EQ(Time_GetDayOfWeek(month, day, year, &weekday), 1);
                ASSERT_EQ(weekday, (expectedDays + 4) % 7); // 1970-01-01 was a Thursday
                ++expectedDays;
            }
        }
    }
}

TEST(TimeTest, DayOfWeekAndNames) {
    int32_t weekday = -1;
    EXPECT_EQ(Time_GetDayOfWeek(11, 6, 1994, &weekday), 1);
    EXPECT_EQ(weekday, 0);
    EXPECT_EQ(Time_GetDayOfWeek(2, 29, 2000, &weekday), 1);
    EXPECT_EQ(weekday, 2);
    EXPECT_EQ(Time_GetDayOfWeek(2, 29, 2000, nullptr), 0);
    EXPECT_EQ(Time_GetDayOfWeek(13, 1, 2000, &weekday), 0);
    EXPECT_EQ(weekday, 0);
    EXPECT_EQ(Time_GetDayOfWeek(1, 1, 0, &weekday), 1);
    EXPECT_GE(weekday, 0);
    EXPECT_LT(weekday, 7);

    EXPECT_STREQ(Time_GetMonthName(1), "January");
    EXPECT_STREQ(Time_GetMonthName(12), "December");
    EXPECT_STREQ(Time_GetMonthName(0), "");
    EXPECT_STREQ(Time_GetMonthName(13), "");
    EXPECT_STREQ(Time_GetShortMonthName(9), "Sep");
    EXPECT_STREQ(Time_GetShortMonthName(-1), "");
    EXPECT_STREQ(Time_GetDayName(1), "Sunday");
    EXPECT_STREQ(Time_GetDayName(7), "Saturday");
    EXPECT_STREQ(Time_GetDayName(8), "");
    EXPECT_STREQ(Time_GetShortDayName(4), "Wed");
    EXPECT_STREQ(Time_GetShortDayName(0), "");
    EXPECT_EQ(GlobalTimeDaysBeforeMonth[11], 334);
    EXPECT_EQ(GlobalTimeDaysInMonth[1], 28u);
}

TEST(TimeTest, TmConversions) {
    struct tm record;
    memset(&record, 0x55, sizeof(record));
    ASSERT_EQ(Time_ConvertEncodedToTm(&record, kHttpExample), 1);
    EXPECT_EQ(record.tm_sec, 37);
    EXPECT_EQ(record.tm_min, 49);
    EXPECT_EQ(record.tm_hour, 8);
    EXPECT_EQ(record.tm_mday, 6);
    EXPECT_EQ(record.tm_mon, 10);
    EXPECT_EQ(record.tm_year, 94);
    EXPECT_EQ(record.tm_isdst, -1);
    EXPECT_EQ(record.tm_wday, 0);
    EXPECT_EQ(record.tm_yday, 0);
    EXPECT_EQ(record.tm_gmtoff, 0);
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
    EXPECT_EQ(record.tm_year, 0);
    EXPECT_EQ(record.tm_mday, 0);
    // A year that tm_year (years since 1900, an int) cannot hold.
    EXPECT_EQ(Time_ConvertEncodedToTm(&record, Encode(4294967295, 1, 1)), 0);
}

TEST(TimeTest, WallClock) {
    struct tm gmt, local;
    const double before = Time_GetCurrentEncoded();
    const double encodedGmt = Time_GetCurrentEncodedGMT(&gmt);
    const double encodedLocal = Time_GetCurrentEncodedLocal(&local);
    const double after = Time_GetCurrentEncoded();
    // UTC broken down and encoded again is the plain UTC second count.
    EXPECT_GE(encodedGmt, before);
    EXPECT_LE(encodedGmt, after);
    EXPECT_GT(before, 1.6e9);
    double fromTm = 0.0;
    EXPECT_EQ(Time_ConvertTmToEncoded(&gmt, &fromTm), 1);
    EXPECT_EQ(fromTm, encodedGmt);
    // Local time differs from UTC by the zone, at most 14 hours.
    EXPECT_LE(std::fabs(encodedLocal - encodedGmt), 14 * 3600.0 + 2);
    EXPECT_GT(Time_GetCurrentEncodedLocal(nullptr), 0.0);
    EXPECT_GT(Time_GetCurrentEncodedGMT(nullptr), 0.0);
    EXPECT_GE(Time_GetClockCount(), 0.0);
    EXPECT_EQ(Time_Init(), 1);
    EXPECT_EQ(Time_Remove(), 1);
}

TEST(TimeTest, MonotonicClockNeverGoesBackwards) {
    const uint64_t first = Time_GetCycleCount();
    EXPECT_LT(first, 60u * 60u * 1000u); // counts from the first call in this process
    std::vector<std::thread> threads;
    std::atomic<int> backwards{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&backwards] {
            uint64_t previous = Time_GetCycleCount();
            double previousSeconds = Time_GetCurrent();
            for (int i = 0; i < 20000; ++i) {
                const uint64_t now = Time_GetCycleCount();
                const double seconds = Time_GetCurrent();
                if (now < previous || seconds < previousSeconds) ++backwards;
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
    double value = -1.0;
    EXPECT_EQ(Time_ConvertUniversalToUnix(116444736000000000ull, &value), 1);
    EXPECT_EQ(value, 0.0);
    EXPECT_EQ(Time_ConvertUniversalToUnix(116444736000000000ull + 7841117770000000ull + 9999999, &value), 1);
    EXPECT_EQ(value, kHttpExample);
    // Before 1970 the subtraction would wrap around to a date far in the future.
    value = -1.0;
    EXPECT_EQ(Time_ConvertUniversalToUnix(116444736000000000ull - 1, &value), 0);
    EXPECT_EQ(value, 0.0);
    EXPECT_EQ(Time_ConvertUniversalToUnix(0, &value), 0);
    EXPECT_EQ(Time_ConvertUniversalToUnix(UINT64_MAX, &value), 1);
    EXPECT_EQ(value, static_cast<double>((UINT64_MAX - 116444736000000000ull) / 10000000ull));
}

TEST(TimeTest, DosDates) {
    // 1994-11-06 08:49:36: year 14, month 11, day 6, hour 8, minute 49, seconds / 2 = 18.
    const uint32_t word = (14u << 25) | (11u << 21) | (6u << 16) | (8u << 11) | (49u << 5) | 18u;
    double value = -1.0;
    EXPECT_EQ(Time_ConvertDosDateToEncoded(&value, word), 1);
    EXPECT_EQ(value, kHttpExample - 1);
    uint32_t back = 1;
    EXPECT_EQ(Time_ConvertEncodedToDosDate(&back, kHttpExample), 1); // odd second rounds down
    EXPECT_EQ(back, word);

    const struct {
        int32_t year, month, day, hour, minute, second;
        int64_t ok;
    } cases[] = {
        {1980, 1, 1, 0, 0, 0, 1},      {2000, 2, 29, 23, 59, 58, 1},  {2107, 12, 31, 23, 59, 58, 1},
        {2024, 12, 31, 12, 30, 10, 1}, {1979, 12, 31, 23, 59, 58, 0}, {1970, 1, 1, 0, 0, 0, 0},
        {2108, 1, 1, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        const double encoded = Encode(c.year, c.month, c.day, c.hour, c.minute, c.second);
        uint32_t dos = 1;
        ASSERT_EQ(Time_ConvertEncodedToDosDate(&dos, encoded), c.ok) << c.year;
        if (!c.ok) {
            EXPECT_EQ(dos, 0u);
            continue;
        }
        EXPECT_EQ(dos >> 25, static_cast<uint32_t>(c.year - 1980));
        EXPECT_EQ((dos >> 21) & 0xF, static_cast<uint32_t>(c.month));
        double decoded = -1.0;
        EXPECT_EQ(Time_ConvertDosDateToEncoded(&decoded, dos), 1);
        EXPECT_EQ(decoded, encoded);
    }
    uint32_t dos = 1;
    EXPECT_EQ(Time_ConvertEncodedToDosDate(&dos, -1.0), 0);
    EXPECT_EQ(dos, 0u);
    // Month fields 0 and 13 to 15 name no month.
    value = -1.0;
    EXPECT_EQ(Time_ConvertDosDateToEncoded(&value, 0), 0);
    EXPECT_EQ(value, 0.0);
    EXPECT_EQ(Time_ConvertDosDateToEncoded(&value, 15u << 21 | 1u << 16), 0);
    EXPECT_EQ(Time_ConvertDosDateToEncoded(&value, UINT32_MAX), 0);
}

TEST(TimeTest, EncodedStrings) {
    EXPECT_EQ(EncodedText(0x40000000, kHttpExample), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(EncodedText(0x7B, kHttpExample), "11/06/1994 08:49:37");
    // Two-digit years are the year modulo 100.
    EXPECT_EQ(EncodedText(0x10000000, kHttpExample), "Sun, 06 Nov 94 08:49:37 GMT");
    EXPECT_EQ(EncodedText(0x20000000, kHttpExample), "Sunday, 06-Nov-94 08:49:37 GMT");
    EXPECT_EQ(EncodedText(0x20000000, Encode(2005, 1, 2, 3, 4, 5)), "Sunday, 02-Jan-05 03:04:05 GMT");
    EXPECT_EQ(EncodedText(0x10000000 | 0x40000000 | 0x7B, kHttpExample), "Sun, 06 Nov 94 08:49:37 GMT");
    EXPECT_EQ(EncodedText(0x7B | 0x2000, Encode(2005, 1, 2, 3, 4, 5)), "1/2/5 3:4:5");
    EXPECT_EQ(EncodedText(0x7B | 0x2000, kHttpExample), "11/6/94 8:49:37");
    EXPECT_EQ(EncodedText(0xB, Encode(2000, 2, 29, 23, 59, 59)), "02/29/2000");
    EXPECT_EQ(EncodedText(0x70, kHttpExample), "08:49:37");
    EXPECT_EQ(EncodedText(0x60, kHttpExample), "49:37");
    EXPECT_EQ(EncodedText(0x50, kHttpExample), "08:37");
    EXPECT_EQ(EncodedText(0x1, kHttpExample), "1994");
    EXPECT_EQ(EncodedText(0x9, kHttpExample), "06/1994");
    EXPECT_EQ(EncodedText(0x2 | 0x10, kHttpExample), "11 08");
    EXPECT_EQ(EncodedText(0, kHttpExample), "");
    EXPECT_EQ(EncodedText(0x40000000, 0.0), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(EncodedText(0x40000000, Encode(2400, 2, 29)), "Tue, 29 Feb 2400 00:00:00 GMT");

    char buffer[64];
    strcpy(buffer, "old");
    EXPECT_EQ(Time_EncodedString(0x7B, buffer, sizeof(buffer), -1.0), 0);
    EXPECT_STREQ(buffer, "");
    strcpy(buffer, "old");
    EXPECT_EQ(Time_EncodedString(0x7B, buffer, sizeof(buffer), std::nan("")), 0);
    EXPECT_STREQ(buffer, "");
    // A small buffer cuts the text and stays terminated.
    memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(Time_EncodedString(0x7B, buffer, 6, kHttpExample), 1);
    EXPECT_EQ(std::string(buffer), "11/06");
    EXPECT_EQ(buffer[6], 'x');
    EXPECT_EQ(Time_EncodedString(0x40000000, buffer, 0, kHttpExample), 0);
}

TEST(TimeTest, DurationStrings) {
    const struct {
        uint32_t fields;
        double seconds;
        const char* text;
    } cases[] = {
        {0x70 | 0x100, 3725.0, "1h  2m  5s"},
        {0x70 | 0x100 | 0x2000, 3725.0, "1h  2m"},
        {0x70 | 0x200, 3661.0, "1 hour  1 minute  1 second"},
        {0x70 | 0x200, 7322.0, "2 hours  2 minutes  2 seconds"},
        {0x70, 3725.0, "1  2  5"},
        {0x70 | 0x100, 0.0, ""},
        {0x70 | 0x100 | 0x400, 0.0, "0h  0m  0s"},
        {0x70 | 0x100, 3600.0, "1h"},
        {0x70 | 0x100, 60.0, "1m"},
        // Rounding to the nearest second when milliseconds are not shown.
        {0x40 | 0x100, 1.6, "2s"},
        {0x40 | 0x100, 1.4, "1s"},
        // Seconds and milliseconds together count the fraction once.
        {0xC0 | 0x100, 1.6, "1s 0600ms"},
        {0xFC | 0x100, 694861.5, "1w 1d  1h  1m  1s 0500ms"},
        {0xFC | 0x200, 8 * 86400.0, "1 week 1 day"},
        {0x8 | 0x200 | 0x400, 86400.0 * 3, "3 days"},
        // Units not shown fold into the next smaller one.
        {0x10 | 0x800 | 0x100, 90061.0, "25h"},
        {0x20 | 0x800 | 0x100, 3725.0, "62m"},
        {0x80 | 0x800 | 0x100, 1.6, "1600ms"},
        {0x8 | 0x800 | 0x100, 15 * 86400.0, "15d"},
        {0x10 | 0x100, 90061.0, "1h"},
        // Zero padding.
        {0x60 | 0x100 | 0x1000, 65.0, "01m 05s"},
        {0x60 | 0x100 | 0x1000 | 0x400, 5.0, "00m 05s"},
        // Nothing negative, NaN or absurdly large breaks the text.
        {0x70 | 0x100 | 0x400, -5.0, "0h  0m  0s"},
        {0x70 | 0x100 | 0x400, std::nan(""), "0h  0m  0s"},
        {0x8 | 0x800 | 0x100, 1e300, "11574074074d"},
        {0x80 | 0x800 | 0x100, 1e300, "1000000000000000000ms"},
    };
    for (const auto& c : cases) EXPECT_EQ(Duration(c.fields, c.seconds), c.text) << std::hex << c.fields;

    char buffer[8];
    memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(Time_DurationString(0x70 | 0x200, buffer, 5, 3725.0), 1);
    EXPECT_STREQ(buffer, "1 h"); // " 1 h" cut at the capacity, then trimmed
    EXPECT_EQ(buffer[5], 'x');
}

TEST(TimeTest, OffsetStrings) {
    const struct {
        const char* text;
        int64_t ok;
        int32_t hours, minutes;
    } cases[] = {
        {"", 1, 0, 0},         {"UT", 1, 0, 0},    {"UTC", 1, 0, 0},    {"GMT", 1, 0, 0},
        {"Z", 1, 0, 0},        {"EST", 1, -5, 0},  {"EDT", 1, -4, 0},   {"CST", 1, -6, 0},
        {"CDT", 1, -5, 0},     {"MST", 1, -7, 0},  {"MDT", 1, -6, 0},   {"PST", 1, -8, 0},
        {"PDT", 1, -7, 0},     {"A", 1, -1, 0},    {"M", 1, -12, 0},    {"N", 1, 1, 0},
        {"Y", 1, 12, 0},       {"+0100", 1, 1, 0}, {"-0500", 1, -5, 0}, {"+0530", 1, 5, 30},
        {"-0930", 1, -9, -30}, {"0100", 1, -1, 0}, {"+01000", 1, 1, 0}, {"gmt", 0, 0, 0},
        {"XYZ", 0, 0, 0},      {"B", 0, 0, 0},     {"+01", 0, 0, 0},    {"+010", 0, 0, 0},
        {"+01a0", 0, 0, 0},    {"EEST", 0, 0, 0},  {"--0100", 0, 0, 0},
    };
    for (const auto& c : cases) {
        int32_t hours = 77, minutes = 77;
        EXPECT_EQ(Time_ParseOffsetString(c.text, &hours, &minutes), c.ok) << c.text;
        EXPECT_EQ(hours, c.hours) << c.text;
        EXPECT_EQ(minutes, c.minutes) << c.text;
    }
}

TEST(TimeTest, ParsesHttpDates) {
    const struct {
        const char* text;
        int64_t ok;
        double value;
    } cases[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", 1, kHttpExample},  // RFC 1123
        {"Sun Nov  6 08:49:37 1994", 1, kHttpExample},       // asctime
        {"Sunday, 06-Nov-94 08:49:37 GMT", 1, kHttpExample}, // RFC 850, two-digit year
        {"sun, 06 NOV 1994 08:49:37", 1, kHttpExample},      // no zone, any case
        {"Sun Nov 6 08:49:37 1994 GMT", 1, kHttpExample},
        {"Sun,,06   Nov--1994 08::49:37  GMT", 1, kHttpExample}, // runs of separators
        {"Sun, 06 Nov 1994 08:49:37 +0000", 1, kHttpExample},
        {"Sun, 06 Nov 1994 13:49:37 EST", 1, kHttpExample + 10 * 3600},
        {"Sun, 06 Nov 1994 08:49:37 XYZ", 1, kHttpExample},  // unknown zone ignored
        {"Sun, 06 Nov 1994 00:30:00 +0100", 1, 784078200.0}, // 1994-11-05 23:30:00
        {"Sun, 06 Nov 1994 08:49:37 -0500", 1, kHttpExample + 5 * 3600},
        {"Sun, 06 Nov 1994 08:49:37 +0530", 1, kHttpExample - 5 * 3600 - 30 * 60},
        // Four-digit years are taken as written: 0094 encodes as if in 1970.
        {"Sun, 06 Nov 0094 08:49:37 GMT", 1, 26729377.0},
        {"Sat, 01 Jan 00 00:00:00 GMT", 1, 946684800.0},  // 2000
        {"Tue, 01 Jan 69 00:00:00 GMT", 1, 3124224000.0}, // 2069
        {"Thu, 01 Jan 70 00:00:00 GMT", 1, 0.0},          // 1970
        {"Thu, 01 Jan 1970 00:00:00 +0100", 1, 0.0},      // never below 0
        {"Sun, 06 Foo 1994 08:49:37 GMT", 0, 0.0},
        {"Sun Foo  6 08:49:37 1994", 0, 0.0},
        {"Sun, 06 November 1994 08:49:37 GMT", 0, 0.0},
        {"Sun, 06 Nov 1994 08:49", 0, 0.0},              // 6 tokens
        {"Sun, 06 Nov 1994 08:49:37 GMT extra", 0, 0.0}, // 9 tokens
        {"a b c d e f g h i j k l m n", 0, 0.0},
        {"", 0, 0.0},
        {",,,,---:::", 0, 0.0},
    };
    for (const auto& c : cases) {
        double value = -1.0;
        EXPECT_EQ(Time_ParseStringEncoded(c.text, &value), c.ok) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }

    int32_t hour, minute, second, month, day;
    uint32_t year;
    ASSERT_EQ(
        Time_ParseString("Sun, 06 Nov 1994 00:30:00 +0100", &hour, &minute, &second, &month, &day, &year), 1);
    EXPECT_EQ(hour, -1);
    EXPECT_EQ(minute, 30);
    EXPECT_EQ(month, 11);
    EXPECT_EQ(day, 6);
    EXPECT_EQ(year, 1994u);
    ASSERT_EQ(
        Time_ParseString("Sun, 06 Nov 1994 08:49:37 -0930", &hour, &minute, &second, &month, &day, &year), 1);
    EXPECT_EQ(hour, 17);
    EXPECT_EQ(minute, 79);
    EXPECT_EQ(second, 37);
    hour = minute = 5;
    EXPECT_EQ(Time_ParseString("nonsense", &hour, &minute, &second, &month, &day, &year), 0);
    EXPECT_EQ(hour + minute + second + month + day, 0);
    EXPECT_EQ(year, 0u);
}

TEST(TimeTest, ParsesHostileDatesSafely) {
    // Huge numbers saturate instead of overflowing.
    double value = -1.0;
    EXPECT_EQ(Time_ParseStringEncoded("Sun, 99999999999999999999 Nov 99999999999 99999999999:99999999999:"
                                      "99999999999 +9999",
                                      &value),
              1);
    EXPECT_GT(value, 0.0);
    EXPECT_EQ(Time_ParseStringEncoded("Sun Nov +5 +8:+49:+37 +1994", &value), 1);
    EXPECT_EQ(value, Encode(1994, 11, 5, 8, 49, 37));
    // Only the first 319 characters are read: a date pushed past them is not seen...
    std::string padded = std::string(319, ' ') + "Sun, 06 Nov 1994 08:49:37 GMT";
    EXPECT_EQ(Time_ParseStringEncoded(padded.c_str(), &value), 0);
    // ...and trailing text past them does not count as tokens.
    std::string trailing = "Sun, 06 Nov 1994 08:49:37 GMT" + std::string(290, ' ') + "x y z";
    ASSERT_GT(trailing.size(), 319u);
    EXPECT_EQ(Time_ParseStringEncoded(trailing.c_str(), &value), 1);
    EXPECT_EQ(value, kHttpExample);
    // A text ending exactly at a token is read to its end and no further.
    const char exact[] = {'S', 'u', 'n', ' ', 'N', 'o', 'v', ' ', '6', ' ',
                          '1', ':', '2', ':', '3', ' ', '9', '4', '\0'};
    EXPECT_EQ(Time_ParseStringEncoded(exact, &value), 1);
    EXPECT_EQ(value, Encode(1994, 11, 6, 1, 2, 3));
}

TEST(TimeTest, Spans) {
    struct tm now;
    Time_GetCurrentEncodedLocal(&now);
    const uint32_t year = static_cast<uint32_t>(now.tm_year + 1900);
    double value = -1.0;
    ASSERT_EQ(Time_SpanParse("22:30", &value), 1);
    Fields decoded = Decode(value);
    EXPECT_EQ(decoded.hour, 22);
    EXPECT_EQ(decoded.minute, 30);
    EXPECT_EQ(decoded.month, 1);
    EXPECT_EQ(decoded.day, 1);
    EXPECT_LE(decoded.year - year, 1u); // the year may turn between the two readings
    ASSERT_EQ(Time_SpanParse("7", &value), 1);
    EXPECT_EQ(Decode(value).hour, 7);
    EXPECT_EQ(Decode(value).minute, 0);
    ASSERT_EQ(Time_SpanParse("", &value), 1);
    EXPECT_EQ(Decode(value).hour, 0);
    ASSERT_EQ(Time_SpanParse(":15", &value), 1);
    EXPECT_EQ(Decode(value).minute, 15);
    ASSERT_EQ(Time_SpanParse("24:60", &value), 1);
    EXPECT_EQ(Decode(value).day, 2);
    EXPECT_EQ(Decode(value).hour, 1);
    for (const char* bad : {"25:00", "10:61", "-1:00", "10:-5", "99999999999999:0"}) {
        value = -1.0;
        EXPECT_EQ(Time_SpanParse(bad, &value), 0) << bad;
        EXPECT_EQ(value, 0.0) << bad;
    }

    const struct {
        int32_t hour, minute, startHour, startMinute, endHour, endMinute;
        int64_t inside;
    } cases[] = {
        {23, 30, 22, 0, 2, 0, 1}, {3, 0, 22, 0, 2, 0, 0},   {1, 59, 22, 0, 2, 0, 1}, {2, 0, 22, 0, 2, 0, 0},
        {22, 0, 22, 0, 2, 0, 1},  {9, 0, 9, 0, 17, 0, 1},   {17, 0, 9, 0, 17, 0, 0}, {16, 59, 9, 0, 17, 0, 1},
        {8, 59, 9, 0, 17, 0, 0},  {12, 0, 12, 0, 12, 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Time_SpanCompare(c.hour, c.minute, c.startHour, c.startMinute, c.endHour, c.endMinute),
                  c.inside)
            << c.hour << ":" << c.minute << " in " << c.startHour << ":" << c.startMinute << "-" << c.endHour;
    }
}

TEST(TimeDeathTest, NullPointersAbort) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string message = AbortRegex("Pointer is NULL\n");
    uint8_t b;
    uint32_t u;
    int32_t i;
    double d;
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Time_GetEncoded(nullptr, 0, 0, 0, 1, 1, 1970);
        },
        message);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Time_GetDecoded(nullptr, &b, &b, &b, &b, &u, 0.0);
        },
        message);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Time_GetDecoded(&b, &b, &b, &b, &b, nullptr, 0.0);
        },
        message);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Time_ConvertUniversalToUnix(0, nullptr);
        },
        message);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Time_ConvertDosDateToEncoded(nullptr, 0);
        },
        message);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Time_ConvertEncodedToDosDate(nullptr, 0.0);
        },
        message);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Time_ParseString("x", &i, &i, &i, &i, &i, nullptr);
        },
        message);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Time_ParseString(nullptr, &i, &i, &i, &i, &i, &u);
        },
        message);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Time_ParseOffsetString("GMT", nullptr, &i);
        },
        message);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Time_ParseStringEncoded("x", nullptr);
        },
        message);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Time_SpanParse("1:00", nullptr);
        },
        message);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Time_SpanParse(nullptr, &d);
        },
        message);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Time_EncodedString(0x7B, nullptr, 10, 0.0);
        },
        message);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Time_DurationString(0x70, nullptr, 10, 0.0);
        },
        message);
}
