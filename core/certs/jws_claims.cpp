// JWSClaims: an ordered list of checks run on a verified token's payload, and the registered
// time claims "exp" and "nbf".
#include "core/certs/jws.h"

#include "core/runtime/class_family.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"
#include "core/runtime/time.h"

namespace {

struct Entry {
    Entry* Next;
    Entry* Previous;
    JWSClaimFunc Check;
    uint32_t Absent;
};

constexpr uint32_t kEntriesPerChunk = 5;

} // namespace

struct JWSClaims {
    Class Header;
    Entry* Head;
    Entry* Tail;
    uint32_t Count;
    Pool* Entries;
};

namespace {

int64_t DeleteHandle(void** handle) {
    return JWSClaims_Delete(reinterpret_cast<JWSClaims**>(handle));
}

// The claim as a number: 1 with it, 0 when absent; -1 when present but not a number, which no
// check may take for an absent claim (that would make an unreadable "exp" never expire).
int32_t ReadClaim(Dictionary* payload, const char* name, double* value) {
    *value = 0.0;
    if (!payload || !Dictionary_ContainsKey(payload, name)) return 0;
    return Dictionary_GetFloat64ByKey(payload, name, value) == 1 ? 1 : -1;
}

} // namespace

int64_t JWSClaims_Create(JWSClaims** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* claims = static_cast<JWSClaims*>(Memory_AllocZero(sizeof(JWSClaims)));
    claims->Header.ClassId = JWSCLAIMS_CLASS_ID;
    claims->Header.RefCount = 1;
    claims->Header.Delete = DeleteHandle;
    Pool_Create(&claims->Entries);
    Pool_SetMemorySize(claims->Entries, sizeof(Entry));
    Pool_SetChunkSize(claims->Entries, kEntriesPerChunk);
    *handle = claims;
    return 1;
}

int64_t JWSClaims_Delete(JWSClaims** handle) {
    ASSERT_POINTER(handle);
    JWSClaims* claims = *handle;
    CLASS_CHECK(claims, JWSCLAIMS_CLASS_ID);
    for (Entry* entry = claims->Head; entry;) {
        Entry* next = entry->Next;
        Pool_Free(claims->Entries, &entry, sizeof(Entry));
        entry = next;
    }
    Pool_Delete(&claims->Entries);
    claims->Header.ClassId = 0;
    Memory_Free(claims, sizeof(JWSClaims));
    *handle = nullptr;
    return 1;
}

CLASS_BASICS(JWSClaims, JWSClaims, JWSCLAIMS_CLASS_ID)

int64_t JWSClaims_Add(JWSClaims* claims, uint32_t absent, JWSClaimFunc check) {
    CLASS_CHECK(claims, JWSCLAIMS_CLASS_ID);
    ASSERT_POINTER(check);
    auto* entry = static_cast<Entry*>(Pool_Alloc(claims->Entries, sizeof(Entry)));
    entry->Next = nullptr;
    entry->Previous = claims->Tail;
    entry->Check = check;
    entry->Absent = absent;
    if (claims->Tail)
        claims->Tail->Next = entry;
    else
        claims->Head = entry;
    claims->Tail = entry;
    claims->Count++;
    return 1;
}

int64_t JWSClaims_Validate(JWSClaims* claims, Dictionary* payload) {
    CLASS_CHECK(claims, JWSCLAIMS_CLASS_ID);
    for (Entry* entry = claims->Head; entry; entry = entry->Next)
        if (entry->Check(payload, entry->Absent) == 0) return 0;
    return 1;
}

int64_t JWSClaim_Exp(Dictionary* payload, uint32_t absent) {
    double exp = 0.0;
    const int32_t present = ReadClaim(payload, "exp", &exp);
    if (present == 0) return absent;
    const double now = Time_GetCurrentEncodedGMT(nullptr);
    if (present < 0 || now >= exp) {
        Log_Debug("JWS claim exp failed validation (%.0f >= %.0f)\n", now, exp);
        return 0;
    }
    return 1;
}

int64_t JWSClaim_Nbf(Dictionary* payload, uint32_t absent) {
    double nbf = 0.0;
    const int32_t present = ReadClaim(payload, "nbf", &nbf);
    if (present == 0) return absent;
    const double now = Time_GetCurrentEncodedGMT(nullptr);
    if (present < 0 || nbf > now) {
        Log_Debug("JWS claim nbf failed validation (%.0f < %.0f)\n", now, nbf);
        return 0;
    }
    return 1;
}
