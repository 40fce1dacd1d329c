// Locale-independent number conversions of the platform layer: the C library's own correctly
// rounded conversions, run against one "C" locale object kept for the process.
#include "core/linux/platform_number.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <locale.h>

#include "core/runtime/debug.h"

namespace {

// Made once and never freed: every thread reads it, and the "C" locale holds no data of its own.
locale_t CLocale() {
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    ASSERT_MSG(c != static_cast<locale_t>(0), "The C locale could not be made");
    return c;
}

} // namespace

double Platform_StringToDouble(const char* text, char** end) {
    ASSERT_POINTER(text);
    return strtod_l(text, end, CLocale());
}

float Platform_StringToFloat(const char* text, char** end) {
    ASSERT_POINTER(text);
    return strtof_l(text, end, CLocale());
}

int32_t Platform_PrintGeneral(char* text, size_t size, int32_t precision, double value) {
    // glibc has no snprintf_l; the thread's own locale is switched around the call, which leaves
    // other threads and the process locale alone.
    const locale_t previous = uselocale(CLocale());
    const int written = snprintf(text, size, "%.*g", static_cast<int>(precision), value);
    uselocale(previous);
    return written;
}
