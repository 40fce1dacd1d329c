// Bandwidth meters: byte counts and allowances kept in a tree under one process-wide lock; a
// transfer may move only what every limited meter between it and the root still allows.
#include "core/runtime/meter.h"

#include <atomic>
#include <cmath>
#include <cstring>

#include "core/runtime/class.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/time.h"

namespace {

struct MeterList {
    uint32_t Tag;
    Meter* First;
    Meter* Last;
    int32_t Count;
};

} // namespace

struct Meter {
    Class Header;
    Meter* Parent;
    uint64_t OverallUsage;
    // 64 bits wide: the reports of one calculation interval can pass 2^31 bytes.
    uint64_t BytesSinceCalculation;
    int32_t LastGranted;
    int32_t Allowance;
    int32_t Limit;
    double CurrentBandwidth;
    double MaxBandwidth;
    MeterList Children;
    uint32_t Verbose;
    Meter* Next;
    Meter* Previous;
};

namespace {

struct MeterState {
    uint32_t Tag;
    Meter* Root;
    CriticalSection* Lock;
    double LastCalculation;
    double LastAccrual;
};

std::atomic<MeterState*> GlobalMeter{nullptr};
std::atomic<MeterClockFunc> g_clock{nullptr};

double Now() {
    MeterClockFunc clock = g_clock.load();
    return clock ? clock() : Time_GetCurrent();
}

// Meters made before Meter_Init or left after Meter_Remove run unlocked.
CriticalSection* MeterLock() {
    MeterState* state = GlobalMeter.load();
    return state ? state->Lock : nullptr;
}

int64_t DeleteHandle(void** handle) {
    return Meter_Delete(reinterpret_cast<Meter**>(handle));
}

// The most an allowance may hold: 1.05 seconds' worth, computed in single precision so that
// the values match the long-standing ones (1050 for 1000, 1075 for 1024, 104999 for 100000),
// and never more than an allowance can hold.
int64_t AllowanceCap(int32_t limit) {
    const float product = static_cast<float>(limit) * 1.05f;
    const double cap = std::floor(static_cast<double>(product));
    return cap > (double)INT32_MAX ? INT32_MAX : (int64_t)cap;
}

// Adds to a limited meter's allowance without passing its cap; the sum is formed wide so that
// neither a long idle time nor a large limit can overflow it.
void AddAllowance(Meter* m, double amount) {
    const int64_t cap = AllowanceCap(m->Limit);
    double sum = (double)m->Allowance + amount;
    if (!(sum < (double)cap)) sum = (double)cap;
    if (sum < (double)INT32_MIN) sum = (double)INT32_MIN;
    m->Allowance = (int32_t)sum;
}

void Accrue(Meter* m, double seconds) {
    if (m->Limit > 0) AddAllowance(m, std::floor((double)m->Limit * seconds));
    for (Meter* child = m->Children.First; child; child = child->Next) Accrue(child, seconds);
}

void Calculate(Meter* m, double seconds) {
    m->CurrentBandwidth = (double)m->BytesSinceCalculation / seconds;
    if (m->CurrentBandwidth > m->MaxBandwidth) m->MaxBandwidth = m->CurrentBandwidth;
    m->BytesSinceCalculation = 0;
    for (Meter* child = m->Children.First; child; child = child->Next) Calculate(child, seconds);
}

void ResetTree(Meter* m, bool removeLimit) {
    m->OverallUsage = 0;
    m->CurrentBandwidth = 0.0;
    m->MaxBandwidth = 0.0;
    if (removeLimit) m->Limit = -1;
    for (Meter* child = m->Children.First; child; child = child->Next) ResetTree(child, removeLimit);
}

int32_t EffectiveLimit(Meter* m) {
    // Only positive limits throttle; any negative value on an ancestor means "none" there and
    // must not hide a limit further down.
    int32_t smallest = -1;
    for (Meter* p = m; p; p = p->Parent)
        if (p->Limit > 0 && (smallest < 1 || p->Limit < smallest)) smallest = p->Limit;
    return smallest > 0 ? smallest : m->Limit;
}

void Unlink(Meter* m) {
    Meter* parent = m->Parent;
    if (parent) {
        if (m->Previous)
            m->Previous->Next = m->Next;
        else
            parent->Children.First = m->Next;
        if (m->Next)
            m->Next->Previous = m->Previous;
        else
            parent->Children.Last = m->Previous;
        parent->Children.Count--;
    }
    m->Parent = nullptr;
    m->Next = nullptr;
    m->Previous = nullptr;
}

void Append(Meter* parent, Meter* m) {
    m->Parent = parent;
    m->Previous = parent->Children.Last;
    m->Next = nullptr;
    if (parent->Children.Last)
        parent->Children.Last->Next = m;
    else
        parent->Children.First = m;
    parent->Children.Last = m;
    parent->Children.Count++;
}

} // namespace

int64_t Meter_Init() {
    if (GlobalMeter.load()) return 1;
    MeterState* state = static_cast<MeterState*>(Memory_AllocZero(sizeof(MeterState)));
    state->Tag = METER_GLOBAL_TAG;
    CriticalSection_Create(&state->Lock);
    Meter_Create(&state->Root);
    // One second in the past, so that the first pass calculates and accrues at once.
    const double start = Now() - 1.0;
    state->LastCalculation = start;
    state->LastAccrual = start;
    GlobalMeter.store(state);
    return 1;
}

int64_t Meter_Remove() {
    MeterState* state = GlobalMeter.load();
    if (!state) return 1;
    Meter_Delete(&state->Root);
    GlobalMeter.store(nullptr);
    CriticalSection_Delete(&state->Lock);
    state->Tag = 0;
    Memory_Free(state, sizeof(MeterState));
    return 1;
}

Meter* Meter_RootHandle() {
    MeterState* state = GlobalMeter.load();
    ASSERT_MSG(state != NULL, "Meter not initialized");
    ASSERT_POINTER(state->Root);
    return state->Root;
}

int64_t Meter_Process() {
    MeterState* state = GlobalMeter.load();
    if (!state) return 0;
    const double now = Now();
    // Reports arrive from other threads, so the calculation takes the lock as the accrual does.
    if (now >= state->LastCalculation + 1.0) {
        CriticalSectionGuard guard(state->Lock);
        Calculate(state->Root, now - state->LastCalculation);
        state->LastCalculation = now;
    }
    if (now >= state->LastAccrual + 1.0) {
        CriticalSectionGuard guard(state->Lock);
        Accrue(state->Root, now - state->LastAccrual);
        state->LastAccrual = now;
    }
    return 1;
}

int64_t Meter_SetClockOverride(MeterClockFunc fn) {
    g_clock.store(fn);
    return 1;
}

int64_t Meter_Create(Meter** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    Meter* m = static_cast<Meter*>(Memory_AllocZero(sizeof(Meter)));
    m->Header.ClassId = METER_CLASS_ID;
    m->Header.RefCount = 1;
    m->Header.Delete = DeleteHandle;
    m->Children.Tag = METER_CLASS_ID;
    m->Limit = -1;
    *handle = m;
    return 1;
}

int64_t Meter_Delete(Meter** handle) {
    ASSERT_POINTER(handle);
    Meter* m = *handle;
    CLASS_CHECK(m, METER_CLASS_ID);
    {
        CriticalSectionGuard guard(MeterLock());
        Meter* child = m->Children.First;
        while (child) {
            Meter* next = child->Next;
            child->Parent = nullptr;
            child->Next = nullptr;
            child->Previous = nullptr;
            child = next;
        }
        m->Children.First = nullptr;
        m->Children.Last = nullptr;
        m->Children.Count = 0;
        Unlink(m);
    }
    m->Header.ClassId = 0;
    Memory_Free(m, sizeof(Meter));
    *handle = nullptr;
    return 1;
}

int64_t Meter_AddRef(Meter* meter) {
    CLASS_CHECK(meter, METER_CLASS_ID);
    Class_AddRef(meter);
    return 1;
}

int64_t Meter_Release(Meter** handle) {
    ASSERT_POINTER(handle);
    if (*handle == nullptr) return 0;
    CLASS_CHECK(*handle, METER_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t Meter_GetInstanceId(Meter* meter, char* buffer, int32_t size) {
    CLASS_CHECK(meter, METER_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, meter->Header.InstanceId, (int32_t)sizeof(meter->Header.InstanceId));
    return 1;
}

int64_t Meter_SetParentHandle(Meter* meter, Meter* parent) {
    CLASS_CHECK(meter, METER_CLASS_ID);
    if (parent) CLASS_CHECK(parent, METER_CLASS_ID);
    CriticalSectionGuard guard(MeterLock());
    // Walking up from the new parent must not meet the meter: a loop would make every walk to
    // the root endless.
    for (Meter* p = parent; p; p = p->Parent)
        if (p == meter) return 0;
    Unlink(meter);
    if (parent) Append(parent, meter);
    return 1;
}

int64_t Meter_SetParentHandleCarryUsage(Meter* meter, Meter* parent) {
    CLASS_CHECK(meter, METER_CLASS_ID);
    if (parent) CLASS_CHECK(parent, METER_CLASS_ID);
    CriticalSectionGuard guard(MeterLock());
    for (Meter* p = parent; p; p = p->Parent)
        if (p == meter) return 0;
    Unlink(meter);
    if (!parent) return 1;
    Append(parent, meter);
    // Under the one lock, so that no report falls between the count taken and the new link.
    for (Meter* p = parent; p; p = p->Parent) {
        p->OverallUsage += meter->OverallUsage;
        p->BytesSinceCalculation += meter->OverallUsage;
    }
    return 1;
}

int64_t Meter_Report(Meter* meter, uint32_t count) {
    CLASS_CHECK(meter, METER_CLASS_ID);
    CriticalSectionGuard guard(MeterLock());
    const int32_t granted = meter->LastGranted;
    if (granted >= 1 && (int64_t)granted > (int64_t)count) {
        const double unused = (double)((int64_t)granted - (int64_t)count);
        for (Meter* p = meter; p; p = p->Parent)
            if (p->Limit > 0) AddAllowance(p, unused);
    }
    // A grant is answered by one report; a second report must not give it back again.
    meter->LastGranted = 0;
    if (count < 1) return 1;
    for (Meter* p = meter; p; p = p->Parent) {
        p->OverallUsage += count;
        p->BytesSinceCalculation += count;
        if (p->Verbose == 1)
            Log_Debug("Meter 0x%p reported %u bytes, counted overall %llu bytes\n", p, count,
                      p->OverallUsage);
    }
    return 1;
}

int64_t Meter_Limit(Meter* meter, int32_t* count) {
    CLASS_CHECK(meter, METER_CLASS_ID);
    ASSERT_POINTER(count);
    if (*count < 1) return 0;
    CriticalSectionGuard guard(MeterLock());
    if (EffectiveLimit(meter) < 1) {
        meter->LastGranted = 0;
        return 1;
    }
    int32_t wanted = *count;
    for (Meter* p = meter; p; p = p->Parent) {
        if (p->Limit <= 0) continue;
        if (p->Allowance < wanted) wanted = p->Allowance;
        if (p->Limit < wanted) wanted = p->Limit;
    }
    if (wanted < 0) wanted = 0;
    meter->LastGranted = wanted;
    // Only limited meters keep an allowance: one without a limit is never read and would only
    // run down without end under a limited ancestor.
    for (Meter* p = meter; p; p = p->Parent)
        if (p->Limit > 0) p->Allowance -= wanted;
    *count = wanted;
    return wanted > 0;
}

int64_t Meter_SetLimitBandwidth(Meter* meter, int32_t bytesPerSecond) {
    CLASS_CHECK(meter, METER_CLASS_ID);
    const int32_t limit = bytesPerSecond < 0
                              ? bytesPerSecond
                              : (bytesPerSecond <= (int32_t)METER_MIN_LIMIT ? 1024 : bytesPerSecond);
    CriticalSectionGuard guard(MeterLock());
    if (limit != meter->Limit) {
        meter->Limit = limit;
        meter->Allowance = 0;
        // A new limit starts with one second's worth of bytes.
        if (limit > 0) Accrue(meter, 1.0);
    }
    return 1;
}

int64_t Meter_GetLimitBandwidth(Meter* meter, int32_t* bytesPerSecond) {
    ASSERT_POINTER(bytesPerSecond);
    *bytesPerSecond = 0;
    CLASS_CHECK(meter, METER_CLASS_ID);
    CriticalSectionGuard guard(MeterLock());
    *bytesPerSecond = EffectiveLimit(meter);
    return 1;
}

int64_t Meter_GetOverallUsage(Meter* meter, uint64_t* usage) {
    ASSERT_POINTER(usage);
    *usage = 0;
    CLASS_CHECK(meter, METER_CLASS_ID);
    CriticalSectionGuard guard(MeterLock());
    *usage = meter->OverallUsage;
    return 1;
}

int64_t Meter_GetCurrentBandwidth(Meter* meter, double* bytesPerSecond) {
    ASSERT_POINTER(bytesPerSecond);
    *bytesPerSecond = 0.0;
    CLASS_CHECK(meter, METER_CLASS_ID);
    CriticalSectionGuard guard(MeterLock());
    *bytesPerSecond = meter->CurrentBandwidth;
    return 1;
}

int64_t Meter_GetMaxBandwidth(Meter* meter, double* bytesPerSecond) {
    ASSERT_POINTER(bytesPerSecond);
    *bytesPerSecond = 0.0;
    CLASS_CHECK(meter, METER_CLASS_ID);
    CriticalSectionGuard guard(MeterLock());
    *bytesPerSecond = meter->MaxBandwidth;
    return 1;
}

int64_t Meter_Reset(Meter* meter) {
    CLASS_CHECK(meter, METER_CLASS_ID);
    CriticalSectionGuard guard(MeterLock());
    ResetTree(meter, true);
    return 1;
}

int64_t Meter_ResetCounters(Meter* meter) {
    CLASS_CHECK(meter, METER_CLASS_ID);
    CriticalSectionGuard guard(MeterLock());
    ResetTree(meter, false);
    return 1;
}

int64_t Meter_SetVerbose(Meter* meter, uint32_t flag) {
    CLASS_CHECK(meter, METER_CLASS_ID);
    CriticalSectionGuard guard(MeterLock());
    meter->Verbose = flag;
    return 1;
}
