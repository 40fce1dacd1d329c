// Whether the four-limb Montgomery routines may run: they need BMI2's mulx and ADX's adcx/adox.
#include "core/crypto/ec_mont4.h"

#if EC_MONT4_ASM
#include <cpuid.h>
#endif

namespace ec_internal {

namespace {

bool Detect() {
#if EC_MONT4_ASM
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return (b & bit_BMI2) && (b & bit_ADX);
#else
    return false;
#endif
}

} // namespace

bool Mont4AsmAvailable() {
    static const bool available = Detect();
    return available;
}

// Set during static initialisation; an engine used before then takes the portable code, which
// gives the same results.
std::atomic<bool> Mont4AsmOn{Mont4AsmAvailable()};

void Mont4ForcePortable(bool on) {
    Mont4AsmOn.store(!on && Mont4AsmAvailable(), std::memory_order_relaxed);
}

} // namespace ec_internal
