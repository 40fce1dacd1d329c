// Dates of the zip library: file times read and set through the platform, and the conversions
// between seconds since 1970, local calendar fields and DOS dates.
#include <cstring>

#include "core/linux/platform_file.h"
#include "core/linux/platform_time.h"
#include "core/platform/zip_file.h"

namespace {

// The earliest DOS date: 1980-01-01 00:00:00.
constexpr uint32_t kFirstDosDate = (1u << 5 | 1u) << 16;

int64_t FloorDivide(int64_t value, int64_t divisor) {
    const int64_t quotient = value / divisor;
    return (value % divisor != 0 && (value < 0) != (divisor < 0)) ? quotient - 1 : quotient;
}

// Days since 1970-01-01 of a proleptic Gregorian date; any day number carries over.
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = FloorDivide(year, 400);
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// The calendar fields read as UTC, as seconds since 1970. Fields out of their range carry over
// into the next larger unit, as the C library does for local fields.
int64_t CalendarSeconds(const struct tm& record) {
    const int64_t months = int64_t{record.tm_mon};
    const int64_t year = int64_t{record.tm_year} + 1900 + FloorDivide(months, 12);
    const int64_t month = months - FloorDivide(months, 12) * 12 + 1;
    return DaysFromCivil(year, month, 0) * 86400 + (int64_t{record.tm_mday}) * 86400 +
           int64_t{record.tm_hour} * 3600 + int64_t{record.tm_min} * 60 + int64_t{record.tm_sec};
}

// The seconds since 1970 whose local calendar fields are the given ones. The zone's offset at a
// first guess corrects the guess; a second round settles offsets that change in between
// (daylight saving). A time that does not exist locally (skipped by a change) lands on one side.
int64_t LocalCalendarSeconds(const struct tm& record) {
    const int64_t wanted = CalendarSeconds(record);
    int64_t guess = wanted;
    for (int32_t round = 0; round < 4; round++) {
        struct tm local;
        if (!Platform_LocalTime(guess, &local)) break;
        const int64_t difference = wanted - CalendarSeconds(local);
        if (difference == 0) break;
        guess += difference;
    }
    return guess;
}

bool ValidDosFields(const struct tm& record) {
    auto within = [](int32_t low, int32_t high, int32_t value) { return low <= value && value <= high; };
    // Years since 1980, with 80 more allowed for callers that count from 1900.
    return within(0, 127 + 80, record.tm_year) && within(0, 11, record.tm_mon) &&
           within(1, 31, record.tm_mday) && within(0, 23, record.tm_hour) && within(0, 59, record.tm_min) &&
           within(0, 59, record.tm_sec);
}

void DosFields(uint64_t dosDate, struct tm* record) {
    memset(record, 0, sizeof(*record));
    const uint32_t date = (uint32_t)(dosDate >> 16) & 0xFFFF;
    const uint32_t time = (uint32_t)dosDate & 0xFFFF;
    record->tm_mday = (int32_t)(date & 0x1F);
    record->tm_mon = (int32_t)((date >> 5) & 0x0F) - 1;
    record->tm_year = (int32_t)(date >> 9) + 80;
    record->tm_hour = (int32_t)(time >> 11);
    record->tm_min = (int32_t)((time >> 5) & 0x3F);
    record->tm_sec = (int32_t)(time & 0x1F) * 2;
    record->tm_isdst = -1;
}

} // namespace

// ---- File dates ---------------------------------------------------------------------------------------

// The platform hands out calendar fields of UTC; they are read as such, never as local fields,
// which would shift every date by the zone's offset.
int32_t mz_os_get_file_date(const char* path, time_t* modified, time_t* accessed, time_t* creation) {
    if (modified) *modified = 0;
    if (accessed) *accessed = 0;
    if (creation) *creation = 0;
    if (!path) return MZ_PARAM_ERROR;
    struct tm created, read, written;
    if (!Platform_GetFileTime(path, nullptr, nullptr, &created, &read, &written)) return MZ_INTERNAL_ERROR;
    if (modified) *modified = (time_t)CalendarSeconds(written);
    if (accessed) *accessed = (time_t)CalendarSeconds(read);
    if (creation) *creation = (time_t)CalendarSeconds(created);
    return MZ_OK;
}

// The platform takes calendar fields of UTC, so the times are broken down in UTC.
int32_t mz_os_set_file_date(const char* path, time_t modified, time_t accessed, time_t creation) {
    if (!path) return MZ_PARAM_ERROR;
    struct tm created, read, written;
    if (!Platform_GmTime(creation, &created) || !Platform_GmTime(accessed, &read) ||
        !Platform_GmTime(modified, &written))
        return MZ_INTERNAL_ERROR;
    return Platform_SetFileTime(path, nullptr, nullptr, &created, &read, &written) ? MZ_OK
                                                                                   : MZ_INTERNAL_ERROR;
}

// ---- Conversions ---------------------------------------------------------------------------------------

int32_t mz_zip_time_t_to_tm(time_t unixTime, struct tm* record) {
    if (!record) return MZ_PARAM_ERROR;
    return Platform_LocalTime(unixTime, record) ? MZ_OK : MZ_INTERNAL_ERROR;
}

uint32_t mz_zip_tm_to_dosdate(const struct tm* record) {
    if (!record) return 0;
    struct tm fields = *record;
    if (fields.tm_year < 0) return 0;
    if (fields.tm_year >= 1980)
        fields.tm_year -= 1980;
    else if (fields.tm_year >= 80)
        fields.tm_year -= 80;
    else
        fields.tm_year += 20;
    if (!ValidDosFields(fields) || fields.tm_year > 127) return 0;
    const uint32_t date =
        (uint32_t)fields.tm_mday | (uint32_t)(fields.tm_mon + 1) << 5 | (uint32_t)fields.tm_year << 9;
    const uint32_t time =
        (uint32_t)fields.tm_sec / 2 | (uint32_t)fields.tm_min << 5 | (uint32_t)fields.tm_hour << 11;
    return date << 16 | time;
}

uint32_t mz_zip_time_t_to_dos_date(time_t unixTime) {
    struct tm local;
    if (mz_zip_time_t_to_tm(unixTime, &local) != MZ_OK) return 0;
    // Read as two digits, a year of the 1970s would come back as one of the 2070s.
    if (local.tm_year < 80) return kFirstDosDate;
    return mz_zip_tm_to_dosdate(&local);
}

int32_t mz_zip_dosdate_to_tm(uint64_t dosDate, struct tm* record) {
    if (!record) return MZ_PARAM_ERROR;
    DosFields(dosDate, record);
    if (!ValidDosFields(*record)) {
        memset(record, 0, sizeof(*record));
        return MZ_FORMAT_ERROR;
    }
    return MZ_OK;
}

time_t mz_zip_dosdate_to_time_t(uint64_t dosDate) {
    struct tm fields;
    DosFields(dosDate, &fields);
    return (time_t)LocalCalendarSeconds(fields);
}
