// Clocks and wall-clock time: the monotonic clock behind every time-out, and EncodedTime, the
// zone-free seconds-since-1970 value with its calendar, tm, DOS, file-time and text forms.
#pragma once

#include <cstdint>
#include <ctime>

// Seconds since 1970-01-01 00:00:00 of whichever zone the calendar fields were taken in.
// Never below 0: dates before 1970 encode as if in 1970.
typedef double EncodedTime;

extern const char* const GlobalTimeMonths[12];
extern const char* const GlobalTimeShortMonths[12];
extern const char* const GlobalTimeDays[7];
extern const char* const GlobalTimeShortDays[7];
extern const uint16_t GlobalTimeDaysBeforeMonth[12];
extern const uint32_t GlobalTimeDaysInMonth[12];

// Time_EncodedString field bits.
enum : uint32_t {
    TIME_FIELD_YEAR = 0x1,
    TIME_FIELD_MONTH = 0x2,
    TIME_FIELD_DAY = 0x8,
    TIME_FIELD_HOUR = 0x10,
    TIME_FIELD_MINUTE = 0x20,
    TIME_FIELD_SECOND = 0x40,
    TIME_FIELD_SHORT = 0x2000,       // numbers without padding, two-digit year
    TIME_FIELD_RFC822 = 0x10000000,  // "Sun, 06 Nov 94 08:49:37 GMT"
    TIME_FIELD_RFC850 = 0x20000000,  // "Sunday, 06-Nov-94 08:49:37 GMT"
    TIME_FIELD_RFC1123 = 0x40000000, // "Sun, 06 Nov 1994 08:49:37 GMT"
};

// Time_DurationString field bits.
enum : uint32_t {
    TIME_DURATION_WEEKS = 0x4,
    TIME_DURATION_DAYS = 0x8,
    TIME_DURATION_HOURS = 0x10,
    TIME_DURATION_MINUTES = 0x20,
    TIME_DURATION_SECONDS = 0x40,
    TIME_DURATION_MILLISECONDS = 0x80,
    TIME_DURATION_SHORT_LABELS = 0x100, // "w", "d", "h", "m", "s", "ms"
    TIME_DURATION_LONG_LABELS = 0x200,  // " week"/" weeks", ...
    TIME_DURATION_SHOW_ZERO = 0x400,    // print units whose value is 0
    TIME_DURATION_FOLD = 0x800,         // units not shown fold into the next smaller one
    TIME_DURATION_ZERO_PAD = 0x1000,    // widths pad with zeros
    TIME_DURATION_TWO_UNITS = 0x2000,   // stop after two printed units
};

// Monotonic clock.
uint64_t Time_GetCycleCount();
double Time_GetCurrent();
double Time_GetClockCount();
int64_t Time_Init();
int64_t Time_Remove();

// Wall clock and conversions.
double Time_GetCurrentEncoded();
double Time_GetCurrentEncodedLocal(struct tm* out);
double Time_GetCurrentEncodedGMT(struct tm* out);
// Hour, minute, second and day are signed: values outside their range carry into the
// neighbouring units. Fails (value 0) only for a month outside 1 to 12.
int64_t Time_GetEncoded(double* value, int32_t hour, int32_t minute, int32_t second, int32_t month,
                        int32_t day, uint32_t year);
int64_t Time_GetDecoded(uint8_t* hour, uint8_t* minute, uint8_t* second, uint8_t* month, uint8_t* day,
                        uint32_t* year, double value);
int64_t Time_ConvertTmToEncoded(const struct tm* record, double* value);
int64_t Time_ConvertEncodedToTm(struct tm* record, double value);
int64_t Time_GetDayOfWeek(int32_t month, int32_t day, uint32_t year, int32_t* weekday);
const char* Time_GetMonthName(int32_t month);
const char* Time_GetShortMonthName(int32_t month);
const char* Time_GetDayName(int32_t day);
const char* Time_GetShortDayName(int32_t day);
int64_t Time_ConvertUniversalToUnix(uint64_t fileTime, double* value);
int64_t Time_ConvertDosDateToEncoded(double* value, uint32_t dosDate);
int64_t Time_ConvertEncodedToDosDate(uint32_t* dosDate, double value);

// Texts.
int64_t Time_EncodedString(uint32_t fields, char* buffer, int32_t capacity, double value);
int64_t Time_DurationString(uint32_t fields, char* buffer, int32_t capacity, double seconds);
// Hour and minute come back with the zone subtracted, so they may lie outside 0-23 / 0-59.
int64_t Time_ParseString(const char* text, int32_t* hour, int32_t* minute, int32_t* second, int32_t* month,
                         int32_t* day, uint32_t* year);
int64_t Time_ParseOffsetString(const char* text, int32_t* hours, int32_t* minutes);
int64_t Time_ParseStringEncoded(const char* text, double* value);
int64_t Time_SpanParse(const char* text, double* value);
int64_t Time_SpanCompare(int32_t hour, int32_t minute, int32_t startHour, int32_t startMinute,
                         int32_t endHour, int32_t endMinute);
