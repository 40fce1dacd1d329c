// Clocks and encoded time: the monotonic clock, calendar arithmetic on EncodedTime and the
// date, duration and zone texts used by the log and by HTTP.
#include "core/runtime/time.h"

#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <string_view>

#include "core/linux/platform_time.h"
#include "core/runtime/debug.h"
#include "core/runtime/string_print.h"

const char* const GlobalTimeMonths[12] = {"January",   "February", "March",    "April",
                                          "May",       "June",     "July",     "August",
                                          "September", "October",  "November", "December"};
const char* const GlobalTimeShortMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const GlobalTimeDays[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                       "Thursday", "Friday", "Saturday"};
const char* const GlobalTimeShortDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const uint16_t GlobalTimeDaysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
const uint32_t GlobalTimeDaysInMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

namespace {

constexpr int64_t kSecondsPerDay = 86400;

// Numbers read from texts stop growing here, so that sums of a few of them (a zone subtracted
// from an hour, hours times 3600) cannot overflow.
constexpr int64_t kMaxTextNumber = 999999999;

// Durations above this (about 31 million years) print as this; it keeps milliseconds of the
// whole duration inside 64 bits.
constexpr double kMaxDurationSeconds = 1e15;

bool IsLeapYear(int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Leap years among the years 1 to year.
int64_t LeapYearsThrough(int64_t year) {
    return year / 4 - year / 100 + year / 400;
}

// Days from 1970-01-01 to January 1 of the year; 0 for years up to 1970.
int64_t DaysBeforeYear(int64_t year) {
    if (year <= 1970) return 0;
    return 365 * (year - 1970) + LeapYearsThrough(year - 1) - LeapYearsThrough(1970);
}

// The first value whose year no longer fits the 32-bit year field.
double FirstUndecodableValue() {
    static const double limit = static_cast<double>(DaysBeforeYear(int64_t{1} << 32) * kSecondsPerDay);
    return limit;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Reads a number the way atoi does (leading white space, a sign, digits up to the first
// other character), saturating at kMaxTextNumber.
int32_t ParseNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > kMaxTextNumber) value = kMaxTextNumber;
    }
    return static_cast<int32_t>(negative ? -value : value);
}

bool EqualsWithoutCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// 1 to 12 for a short month name in any case, 0 for anything else.
int32_t ShortMonthIndex(std::string_view name) {
    for (int32_t i = 0; i < 12; ++i) {
        if (EqualsWithoutCase(name, GlobalTimeShortMonths[i])) return i + 1;
    }
    return 0;
}

// Appends formatted text to a terminated buffer, cutting at its capacity (at least 1).
struct TextBuilder {
    char* Buffer;
    int32_t Capacity;
    int32_t Length;

    void Append(const char* format, ...) {
        va_list args;
        va_start(args, format);
        String_VPrint(Buffer + Length, Capacity - Length, format, args);
        va_end(args);
        Length += static_cast<int32_t>(strnlen(Buffer + Length, static_cast<size_t>(Capacity - Length - 1)));
    }
};

// Removes leading and trailing spaces in place.
void TrimSpaces(char* text) {
    size_t length = strlen(text);
    size_t start = 0;
    while (start < length && text[start] == ' ') ++start;
    while (length > start && text[length - 1] == ' ') --length;
    memmove(text, text + start, length - start);
    text[length - start] = '\0';
}

std::atomic<uint64_t> GlobalTimeLastCycleCount{0};

// The current time broken down by the given zone conversion, copied out when asked, and encoded.
double CurrentEncoded(int64_t (*breakDown)(int64_t, struct tm*), struct tm* out) {
    if (out != nullptr) memset(out, 0, sizeof(*out));
    struct tm record;
    if (!breakDown(Platform_GetWallClockSeconds(), &record)) return 0.0;
    if (out != nullptr) *out = record;
    double value = 0.0;
    Time_ConvertTmToEncoded(&record, &value);
    return value;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Monotonic clock

uint64_t Time_GetCycleCount() {
    // Initialised once, thread-safely, by the first caller.
    static const uint64_t base = Platform_GetMonotonicNanoseconds();
    uint64_t now = Platform_GetMonotonicNanoseconds();
    uint64_t count = now > base ? (now - base) / 1000000u : 0;
    // Two threads may read the clock in one order and return in the other; the shared
    // high-water mark keeps every value handed out at least as large as any handed out before.
    uint64_t last = GlobalTimeLastCycleCount.load();
    while (count > last && !GlobalTimeLastCycleCount.compare_exchange_weak(last, count)) {
    }
    return count > last ? count : last;
}

double Time_GetCurrent() {
    return static_cast<double>(Time_GetCycleCount()) / 1000.0;
}

double Time_GetClockCount() {
    return Platform_GetProcessorClock();
}

int64_t Time_Init() {
    return 1;
}

int64_t Time_Remove() {
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Wall clock and conversions

double Time_GetCurrentEncoded() {
    return static_cast<double>(Platform_GetWallClockSeconds());
}

double Time_GetCurrentEncodedLocal(struct tm* out) { return CurrentEncoded(Platform_LocalTime, out); }

double Time_GetCurrentEncodedGMT(struct tm* out) { return CurrentEncoded(Platform_GmTime, out); }

int64_t Time_GetEncoded(double* value, int32_t hour, int32_t minute, int32_t second, int32_t month,
                        int32_t day, uint32_t year) {
    ASSERT_POINTER(value);
    *value = 0.0;
    if (month < 1 || month > 12) return 0;
    int64_t days = DaysBeforeYear(year);
    if (year > 1970 && month >= 3 && IsLeapYear(year)) days += 1;
    days += GlobalTimeDaysBeforeMonth[month - 1] + int64_t{day} - 1;
    // All terms are at most about 2^57, so the sum stays inside 64 bits.
    int64_t seconds = days * kSecondsPerDay + int64_t{hour} * 3600 + int64_t{minute} * 60 + second;
    *value = seconds < 0 ? 0.0 : static_cast<double>(seconds);
    return 1;
}

int64_t Time_GetDecoded(uint8_t* hour, uint8_t* minute, uint8_t* second, uint8_t* month, uint8_t* day,
                        uint32_t* year, double value) {
    ASSERT_POINTER(hour);
    ASSERT_POINTER(minute);
    ASSERT_POINTER(second);
    ASSERT_POINTER(month);
    ASSERT_POINTER(day);
    ASSERT_POINTER(year);
    *hour = *minute = *second = *month = *day = 0;
    *year = 0;
    // Negative, NaN and years beyond the 32-bit field cannot be decoded.
    if (!(value >= 0.0) || value >= FirstUndecodableValue()) return 0;

    int64_t total = static_cast<int64_t>(value);
    int64_t days = total / kSecondsPerDay;
    int64_t rest = total % kSecondsPerDay;

    // Civil date from a day count, in whole 400-year eras (146097 days) of years starting on
    // March 1, so that the leap day is the last day of its year; constant time for any value.
    int64_t z = days + 719468; // days from 0000-03-01 to 1970-01-01
    int64_t era = z / 146097;
    int64_t dayOfEra = z - era * 146097;
    int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    int64_t monthIndex = (5 * dayOfYear + 2) / 153; // 0 = March
    int64_t dayOfMonth = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    int64_t monthNumber = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    int64_t yearNumber = yearOfEra + era * 400 + (monthNumber <= 2 ? 1 : 0);

    *year = static_cast<uint32_t>(yearNumber);
    *month = static_cast<uint8_t>(monthNumber);
    *day = static_cast<uint8_t>(dayOfMonth);
    *hour = static_cast<uint8_t>(rest / 3600);
    *minute = static_cast<uint8_t>(rest / 60 % 60);
    *second = static_cast<uint8_t>(rest % 60);
    return 1;
}

int64_t Time_ConvertTmToEncoded(const struct tm* record, double* value) {
    if (value == nullptr) return 0;
    *value = 0.0;
    if (record == nullptr) return 0;
    if (record->tm_mon < 0 || record->tm_mon > 11) return 0;
    // Every year up to 1970 encodes alike, so earlier ones need no exact value.
    int64_t year = int64_t{record->tm_year} + 1900;
    if (year < 0) year = 0;
    return Time_GetEncoded(value, record->tm_hour, record->tm_min, record->tm_sec, record->tm_mon + 1,
                           record->tm_mday, static_cast<uint32_t>(year));
}

int64_t Time_ConvertEncodedToTm(struct tm* record, double value) {
    if (record == nullptr) return 0;
    memset(record, 0, sizeof(*record));
    uint8_t hour, minute, second, month, day;
    uint32_t year;
    if (!Time_GetDecoded(&hour, &minute, &second, &month, &day, &year, value)) return 0;
    if (int64_t{year} - 1900 > INT32_MAX) return 0;
    record->tm_sec = second;
    record->tm_min = minute;
    record->tm_hour = hour;
    record->tm_mday = day;
    record->tm_mon = month - 1;
    record->tm_year = static_cast<int>(int64_t{year} - 1900);
    record->tm_isdst = -1;
    return 1;
}

int64_t Time_GetDayOfWeek(int32_t month, int32_t day, uint32_t year, int32_t* weekday) {
    if (weekday == nullptr) return 0;
    *weekday = 0;
    if (month < 1 || month > 12) return 0;
    static constexpr int64_t kMonthOffsets[12] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    int64_t y = int64_t{year} - (month < 3 ? 1 : 0);
    int64_t w = (y + y / 4 - y / 100 + y / 400 + kMonthOffsets[month - 1] + day) % 7;
    *weekday = static_cast<int32_t>(w < 0 ? w + 7 : w);
    return 1;
}

const char* Time_GetMonthName(int32_t month) {
    return month >= 1 && month <= 12 ? GlobalTimeMonths[month - 1] : "";
}

const char* Time_GetShortMonthName(int32_t month) {
    return month >= 1 && month <= 12 ? GlobalTimeShortMonths[month - 1] : "";
}

const char* Time_GetDayName(int32_t day) {
    return day >= 1 && day <= 7 ? GlobalTimeDays[day - 1] : "";
}

const char* Time_GetShortDayName(int32_t day) {
    return day >= 1 && day <= 7 ? GlobalTimeShortDays[day - 1] : "";
}

int64_t Time_ConvertUniversalToUnix(uint64_t fileTime, double* value) {
    ASSERT_POINTER(value);
    *value = 0.0;
    // 100-nanosecond units from 1601-01-01 to 1970-01-01.
    constexpr uint64_t kUnixEpoch = 116444736000000000ull;
    // Earlier file times would wrap around in the subtraction; they are before any encoded time.
    if (fileTime < kUnixEpoch) return 0;
    *value = static_cast<double>((fileTime - kUnixEpoch) / 10000000ull);
    return 1;
}

int64_t Time_ConvertDosDateToEncoded(double* value, uint32_t dosDate) {
    ASSERT_POINTER(value);
    *value = 0.0;
    int32_t second = static_cast<int32_t>(dosDate & 0x1F) * 2;
    int32_t minute = static_cast<int32_t>((dosDate >> 5) & 0x3F);
    int32_t hour = static_cast<int32_t>((dosDate >> 11) & 0x1F);
    int32_t day = static_cast<int32_t>((dosDate >> 16) & 0x1F);
    int32_t month = static_cast<int32_t>((dosDate >> 21) & 0x0F);
    uint32_t year = (dosDate >> 25) + 1980;
    return Time_GetEncoded(value, hour, minute, second, month, day, year);
}

int64_t Time_ConvertEncodedToDosDate(uint32_t* dosDate, double value) {
    ASSERT_POINTER(dosDate);
    *dosDate = 0;
    uint8_t hour, minute, second, month, day;
    uint32_t year;
    if (!Time_GetDecoded(&hour, &minute, &second, &month, &day, &year, value)) return 0;
    int64_t dosYear = year;
    if (dosYear < 80) {
        dosYear += 20;
    } else if (dosYear < 1980) {
        dosYear -= 80;
    } else {
        dosYear -= 1980;
    }
    // Seven bits of year: 1980 to 2107. Other years have no DOS form.
    if (dosYear < 0 || dosYear > 127) return 0;
    *dosDate = (static_cast<uint32_t>(dosYear) << 25) | (uint32_t{month} << 21) | (uint32_t{day} << 16) |
               (uint32_t{hour} << 11) | (uint32_t{minute} << 5) | (uint32_t{second} / 2);
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Texts

int64_t Time_EncodedString(uint32_t fields, char* buffer, int32_t capacity, double value) {
    ASSERT_POINTER(buffer);
    if (capacity <= 0) return 0;
    buffer[0] = '\0';
    uint8_t hour, minute, second, month, day;
    uint32_t year;
    if (!Time_GetDecoded(&hour, &minute, &second, &month, &day, &year, value)) return 0;
    int32_t weekday = 0;
    Time_GetDayOfWeek(month, day, year, &weekday);

    if (fields & TIME_FIELD_RFC822) {
        String_Print(buffer, capacity, "%s, %.2d %s %.2d %.2d:%.2d:%.2d GMT", GlobalTimeShortDays[weekday],
                     day, GlobalTimeShortMonths[month - 1], static_cast<int32_t>(year % 100), hour, minute,
                     second);
        return 1;
    }
    if (fields & TIME_FIELD_RFC850) {
        String_Print(buffer, capacity, "%s, %.2d-%s-%.2d %.2d:%.2d:%.2d GMT", GlobalTimeDays[weekday], day,
                     GlobalTimeShortMonths[month - 1], static_cast<int32_t>(year % 100), hour, minute,
                     second);
        return 1;
    }
    if (fields & TIME_FIELD_RFC1123) {
        String_Print(buffer, capacity, "%s, %.2d %s %u %.2d:%.2d:%.2d GMT", GlobalTimeShortDays[weekday], day,
                     GlobalTimeShortMonths[month - 1], year, hour, minute, second);
        return 1;
    }

    const bool plain = (fields & TIME_FIELD_SHORT) != 0;
    const char* number = plain ? "%d" : "%.2d";
    TextBuilder text{buffer, capacity, 0};
    if (fields & TIME_FIELD_MONTH) text.Append(number, month);
    if (fields & TIME_FIELD_DAY) {
        if (text.Length > 0) text.Append("/");
        text.Append(number, day);
    }
    if (fields & TIME_FIELD_YEAR) {
        if (text.Length > 0) text.Append("/");
        text.Append("%u", plain ? year % 100 : year);
    }
    if (fields & (TIME_FIELD_HOUR | TIME_FIELD_MINUTE | TIME_FIELD_SECOND)) {
        // The space only separates a date from the time; a time alone starts the text.
        if (text.Length > 0) text.Append(" ");
        const int32_t timeStart = text.Length;
        if (fields & TIME_FIELD_HOUR) text.Append(number, hour);
        if (fields & TIME_FIELD_MINUTE) {
            if (text.Length > timeStart) text.Append(":");
            text.Append(number, minute);
        }
        if (fields & TIME_FIELD_SECOND) {
            if (text.Length > timeStart) text.Append(":");
            text.Append(number, second);
        }
    }
    return 1;
}

int64_t Time_DurationString(uint32_t fields, char* buffer, int32_t capacity, double seconds) {
    ASSERT_POINTER(buffer);
    if (capacity <= 0) return 0;
    buffer[0] = '\0';
    if (!(seconds > 0.0)) seconds = 0.0; // negative and NaN
    if (seconds > kMaxDurationSeconds) seconds = kMaxDurationSeconds;

    // Whole seconds round to the nearest, unless milliseconds are shown: then rounding up
    // would count the fraction twice (1.6 s is 1 s 600 ms, not 2 s 600 ms).
    const int64_t total = (fields & TIME_DURATION_MILLISECONDS) ? static_cast<int64_t>(seconds)
                                                                : static_cast<int64_t>(std::llround(seconds));
    struct Unit {
        uint32_t Bit;
        int32_t Width;  // negative: minimum digits with leading zeros
        int32_t Factor; // this unit in the next smaller one
        const char* ShortLabel;
        const char* Singular;
        const char* Plural;
    };
    static constexpr Unit kUnits[6] = {
        {TIME_DURATION_WEEKS, 2, 7, "w", " week", " weeks"},
        {TIME_DURATION_DAYS, 0, 24, "d", " day", " days"},
        {TIME_DURATION_HOURS, 2, 60, "h", " hour", " hours"},
        {TIME_DURATION_MINUTES, 2, 60, "m", " minute", " minutes"},
        {TIME_DURATION_SECONDS, 2, 1000, "s", " second", " seconds"},
        {TIME_DURATION_MILLISECONDS, -4, 0, "ms", " millisecond", " milliseconds"},
    };
    int64_t values[6] = {
        total / 604800,  total / 86400 % 7, total / 3600 % 24,
        total / 60 % 60, total % 60,        static_cast<int64_t>((seconds - std::floor(seconds)) * 1000.0),
    };
    if (fields & TIME_DURATION_FOLD) {
        for (int32_t i = 0; i < 5; ++i) {
            if (!(fields & kUnits[i].Bit)) values[i + 1] += values[i] * kUnits[i].Factor;
        }
    }

    TextBuilder text{buffer, capacity, 0};
    int32_t printed = 0;
    for (int32_t i = 0; i < 6; ++i) {
        const Unit& unit = kUnits[i];
        if (!(fields & unit.Bit)) continue;
        if ((fields & TIME_DURATION_TWO_UNITS) && printed >= 2) continue;
        if (values[i] < 1 && !(fields & TIME_DURATION_SHOW_ZERO)) continue;
        const char* label = "";
        if (fields & TIME_DURATION_LONG_LABELS) {
            label = values[i] == 1 ? unit.Singular : unit.Plural;
        } else if (fields & TIME_DURATION_SHORT_LABELS) {
            label = unit.ShortLabel;
        }
        const char* format = "%lld%s ";
        if (unit.Width < 0) {
            format = "%.4lld%s ";
        } else if (unit.Width > 0) {
            format = (fields & TIME_DURATION_ZERO_PAD) ? "%.2lld%s " : "%2lld%s ";
        }
        text.Append(format, static_cast<long long>(values[i]), label);
        ++printed;
    }
    TrimSpaces(buffer);
    return 1;
}

int64_t Time_ParseOffsetString(const char* text, int32_t* hours, int32_t* minutes) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(hours);
    ASSERT_POINTER(minutes);
    *hours = 0;
    *minutes = 0;
    struct Zone {
        const char* Name;
        int32_t Hours;
    };
    static constexpr Zone kZones[] = {
        {"", 0},     {"UT", 0},   {"UTC", 0},  {"GMT", 0},  {"Z", 0},    {"EST", -5},
        {"EDT", -4}, {"CST", -6}, {"CDT", -5}, {"MST", -7}, {"MDT", -6}, {"PST", -8},
        {"PDT", -7}, {"A", -1},   {"M", -12},  {"N", 1},    {"Y", 12},
    };
    const std::string_view zone(text);
    for (const Zone& z : kZones) {
        if (zone == z.Name) {
            *hours = z.Hours;
            return 1;
        }
    }
    if (zone.size() < 4) return 0;
    const bool positive = zone[0] == '+';
    const size_t start = (zone[0] == '+' || zone[0] == '-') ? 1 : 0;
    // Four digits, hhmm; anything else is not a zone.
    if (zone.size() < start + 4) return 0;
    for (size_t i = start; i < start + 4; ++i) {
        if (!IsDigit(zone[i])) return 0;
    }
    const int32_t h = (zone[start] - '0') * 10 + (zone[start + 1] - '0');
    const int32_t m = (zone[start + 2] - '0') * 10 + (zone[start + 3] - '0');
    *hours = positive ? h : -h;
    *minutes = positive ? m : -m;
    return 1;
}

int64_t Time_ParseString(const char* text, int32_t* hour, int32_t* minute, int32_t* second, int32_t* month,
                         int32_t* day, uint32_t* year) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(hour);
    ASSERT_POINTER(minute);
    ASSERT_POINTER(second);
    ASSERT_POINTER(month);
    ASSERT_POINTER(day);
    ASSERT_POINTER(year);
    *hour = *minute = *second = *month = *day = 0;
    *year = 0;

    // Tokens are cut in place in a bounded copy, each ending in a NUL like strtok's.
    char copy[320];
    const size_t length = strnlen(text, sizeof(copy) - 1);
    memcpy(copy, text, length);
    copy[length] = '\0';
    auto isSeparator = [](char c) { return c == ' ' || c == ',' || c == '-' || c == ':'; };
    std::string_view tokens[10];
    int32_t count = 0;
    size_t i = 0;
    while (count < 10) {
        while (i < length && isSeparator(copy[i])) ++i;
        if (i >= length) break;
        const size_t start = i;
        while (i < length && !isSeparator(copy[i])) ++i;
        tokens[count++] = std::string_view(copy + start, i - start);
        copy[i] = '\0'; // i <= length < sizeof(copy)
        if (i < length) ++i;
    }
    if (count < 7 || count > 8) return 0;

    int32_t h, mi, s, mo, d;
    std::string_view yearToken, zoneToken;
    if (!IsDigit(tokens[1][0])) {
        // asctime: "Sun Nov  6 08:49:37 1994"
        mo = ShortMonthIndex(tokens[1]);
        d = ParseNumber(tokens[2]);
        h = ParseNumber(tokens[3]);
        mi = ParseNumber(tokens[4]);
        s = ParseNumber(tokens[5]);
        yearToken = tokens[6];
    } else {
        // RFC 1123 "Sun, 06 Nov 1994 08:49:37 GMT" and RFC 850 "Sunday, 06-Nov-94 08:49:37 GMT"
        d = ParseNumber(tokens[1]);
        mo = ShortMonthIndex(tokens[2]);
        yearToken = tokens[3];
        h = ParseNumber(tokens[4]);
        mi = ParseNumber(tokens[5]);
        s = ParseNumber(tokens[6]);
        if (count == 8) zoneToken = tokens[7];
    }
    if (mo == 0) return 0;

    int32_t y = ParseNumber(yearToken);
    if (y < 0) y = 0;
    // Two-digit years (RFC 850) pivot at 1970, where encoded time begins.
    if (yearToken.size() == 2 && IsDigit(yearToken[0]) && IsDigit(yearToken[1])) y += y < 70 ? 2000 : 1900;

    int32_t zoneHours = 0, zoneMinutes = 0;
    if (!zoneToken.empty() && Time_ParseOffsetString(zoneToken.data(), &zoneHours, &zoneMinutes)) {
        h -= zoneHours;
        mi -= zoneMinutes;
    }
    *hour = h;
    *minute = mi;
    *second = s;
    *month = mo;
    *day = d;
    *year = static_cast<uint32_t>(y);
    return 1;
}

int64_t Time_ParseStringEncoded(const char* text, double* value) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(value);
    *value = 0.0;
    int32_t hour, minute, second, month, day;
    uint32_t year;
    if (!Time_ParseString(text, &hour, &minute, &second, &month, &day, &year)) return 0;
    return Time_GetEncoded(value, hour, minute, second, month, day, year);
}

int64_t Time_SpanParse(const char* text, double* value) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(value);
    *value = 0.0;
    const std::string_view span(text);
    const size_t colon = span.find(':');
    const int32_t hour = ParseNumber(span.substr(0, colon));
    const int32_t minute = colon == std::string_view::npos ? 0 : ParseNumber(span.substr(colon + 1));
    if (hour < 0 || hour > 24 || minute < 0 || minute > 60) return 0;
    struct tm now;
    Time_GetCurrentEncodedLocal(&now); // zeroed when the clock cannot be read
    const int64_t year = int64_t{now.tm_year} + 1900;
    return Time_GetEncoded(value, hour, minute, now.tm_sec, 1, 1, static_cast<uint32_t>(year < 0 ? 0 : year));
}

int64_t Time_SpanCompare(int32_t hour, int32_t minute, int32_t startHour, int32_t startMinute,
                         int32_t endHour, int32_t endMinute) {
    const int64_t time = int64_t{hour} * 60 + minute;
    const int64_t start = int64_t{startHour} * 60 + startMinute;
    const int64_t end = int64_t{endHour} * 60 + endMinute;
    if (start <= end) return time >= start && time < end ? 1 : 0;
    // The span wraps over midnight.
    return time >= start || time < end ? 1 : 0;
}
