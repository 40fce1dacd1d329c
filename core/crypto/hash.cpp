// The Hash front object, the record lookups, digest-to-text and the one-call digests that run an
// algorithm instance in the caller's stack frame.
#include "core/crypto/hash.h"

#include <algorithm>
#include <cstring>

#include "core/crypto/md2.h"
#include "core/crypto/md4.h"
#include "core/crypto/md5.h"
#include "core/crypto/sha1.h"
#include "core/crypto/sha256.h"
#include "core/crypto/sha512.h"
#include "core/formats/crc.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/unicode.h"

struct Hash {
    Class Header;
    void* Instance;
    const HashInterface* Interface;
    uint8_t* Pending;
    uint32_t PendingLength;
};

namespace {

int64_t DeleteHandle(void** handle) {
    return Hash_Delete(reinterpret_cast<Hash**>(handle));
}

void FreePending(Hash* h) {
    if (h->Pending) Memory_Free(h->Pending, HASH_PENDING_CAPACITY);
    h->Pending = nullptr;
    h->PendingLength = 0;
}

struct NamedRecord {
    const char* Name;
    const HashInterface* Record;
};

struct OidRecord {
    const char* Oid;
    const HashInterface* Record;
};

// The records in lookup order.
const NamedRecord kNames[] = {
    {"CRC", &CRC_INTERFACE},       {"MD2", &MD2_INTERFACE},       {"MD4", &MD4_INTERFACE},
    {"MD5", &MD5_INTERFACE},       {"SHA1", &SHA1_INTERFACE},     {"SHA224", &SHA224_INTERFACE},
    {"SHA256", &SHA256_INTERFACE}, {"SHA384", &SHA384_INTERFACE}, {"SHA512", &SHA512_INTERFACE},
};

// Digest, RSA-, DSA- and ECDSA-signature identifiers all lead to their hash.
const OidRecord kOids[] = {
    {"1.3.6.1.4.1.11591.14.1", &CRC_INTERFACE},
    {"1.2.840.113549.1.1.2", &MD2_INTERFACE},
    {"1.3.14.7.2.3.1", &MD2_INTERFACE},
    {"1.2.840.113549.1.1.3", &MD4_INTERFACE},
    {"1.3.14.3.2.2", &MD4_INTERFACE},
    {"1.3.14.3.2.4", &MD4_INTERFACE},
    {"1.2.840.113549.1.1.4", &MD5_INTERFACE},
    {"1.3.14.3.2.3", &MD5_INTERFACE},
    {"1.2.840.113549.2.5", &MD5_INTERFACE},
    {"1.2.840.113549.1.1.5", &SHA1_INTERFACE},
    {"1.2.840.10040.4.3", &SHA1_INTERFACE},
    {"1.3.14.3.2.29", &SHA1_INTERFACE},
    {"1.3.14.3.2.26", &SHA1_INTERFACE},
    {"1.2.840.10045.4.1", &SHA1_INTERFACE},
    {"1.2.840.10045.4.3.1", &SHA224_INTERFACE},
    {"1.2.840.113549.1.1.11", &SHA256_INTERFACE},
    {"2.16.840.1.101.3.4.2.1", &SHA256_INTERFACE},
    {"1.2.840.10045.4.3.2", &SHA256_INTERFACE},
    {"1.2.840.113549.1.1.12", &SHA384_INTERFACE},
    {"2.16.840.1.101.3.4.2.2", &SHA384_INTERFACE},
    {"1.2.840.10045.4.3.3", &SHA384_INTERFACE},
    {"1.2.840.113549.1.1.13", &SHA512_INTERFACE},
    {"2.16.840.1.101.3.4.2.3", &SHA512_INTERFACE},
    {"1.2.840.10045.4.3.4", &SHA512_INTERFACE},
};

// By digest length; 16 bytes means MD5, never MD2 or MD4.
const HashInterface* const kBySize[] = {&CRC_INTERFACE,    &MD5_INTERFACE,    &SHA1_INTERFACE,
                                        &SHA224_INTERFACE, &SHA256_INTERFACE, &SHA384_INTERFACE,
                                        &SHA512_INTERFACE};

// Instances placed in the caller's frame; every record's SizeOf fits.
constexpr uint32_t kStackInstanceCapacity = 1024;
constexpr int32_t kFoldChunk = 1024;

int64_t CheckQuickRecord(const HashInterface* r, bool wantString) {
    ASSERT_POINTER(r);
    ASSERT_POINTER(r->SizeOf);
    ASSERT_POINTER(r->Stack);
    ASSERT_POINTER(r->Unstack);
    ASSERT_POINTER(r->Process);
    ASSERT_POINTER(r->Generate);
    if (wantString)
        ASSERT_POINTER(r->GetString);
    else
        ASSERT_POINTER(r->GetDigest);
    uint32_t size = (r->SizeOf() + 15u) & ~15u;
    ASSERT_MSG(size <= kStackInstanceCapacity, "Hash instance of %s does not fit the stack frame", r->Name);
    return 1;
}

} // namespace

int64_t Hash_Create(Hash** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    Hash* h = static_cast<Hash*>(Memory_AllocZero(sizeof(Hash)));
    h->Header.ClassId = HASH_CLASS_ID;
    h->Header.RefCount = 1;
    h->Header.Delete = DeleteHandle;
    *handle = h;
    return 1;
}

int64_t Hash_Delete(Hash** handle) {
    ASSERT_POINTER(handle);
    Hash* h = *handle;
    CLASS_CHECK(h, HASH_CLASS_ID);
    Hash_SetInterface(h, nullptr);
    h->Header.ClassId = 0;
    Memory_Free(h, sizeof(Hash));
    *handle = nullptr;
    return 1;
}

int64_t Hash_AddRef(Hash* hash) {
    CLASS_CHECK(hash, HASH_CLASS_ID);
    Class_AddRef(hash);
    return 1;
}

int64_t Hash_Release(Hash** handle) {
    ASSERT_POINTER(handle);
    if (*handle == nullptr) return 0;
    CLASS_CHECK(*handle, HASH_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t Hash_GetInstanceId(Hash* hash, char* buffer, int32_t size) {
    CLASS_CHECK(hash, HASH_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, hash->Header.InstanceId, (int32_t)sizeof(hash->Header.InstanceId));
    return 1;
}

int64_t Hash_SetInterface(Hash* hash, const HashInterface* record) {
    CLASS_CHECK(hash, HASH_CLASS_ID);
    if (record == hash->Interface) {
        Hash_Reset(hash);
        return 1;
    }
    if (hash->Instance) hash->Interface->Delete(&hash->Instance);
    hash->Instance = nullptr;
    hash->Interface = record;
    int64_t result = 1;
    if (record) {
        const HashInterface* Interface = record;
        ASSERT_POINTER(Interface->Name);
        ASSERT_MSG(Interface->DigestSize != 0, "%s: DigestSize must not be zero\n", "Hash_SetInterface");
        ASSERT_POINTER(Interface->Create);
        ASSERT_POINTER(Interface->Delete);
        ASSERT_POINTER(Interface->Reset);
        ASSERT_POINTER(Interface->Process);
        ASSERT_POINTER(Interface->Generate);
        ASSERT_POINTER(Interface->IsGenerated);
        ASSERT_POINTER(Interface->GetDigest);
        ASSERT_POINTER(Interface->GetString);
        Interface->Create(&hash->Instance);
        if (hash->PendingLength > 0)
            result = Interface->Process(hash->Instance, hash->Pending, hash->PendingLength);
    }
    FreePending(hash);
    return result;
}

int64_t Hash_GetInterface(Hash* hash, const HashInterface** record) {
    CLASS_CHECK(hash, HASH_CLASS_ID);
    ASSERT_POINTER(record);
    *record = hash->Interface;
    return 1;
}

int64_t Hash_Reset(Hash* hash) {
    CLASS_CHECK(hash, HASH_CLASS_ID);
    if (hash->PendingLength > 0 || hash->Pending) {
        FreePending(hash);
        return 1;
    }
    if (hash->Interface) return hash->Interface->Reset(hash->Instance);
    return 0;
}

int64_t Hash_Process(Hash* hash, const void* data, uint32_t length, uint32_t* processed) {
    CLASS_CHECK(hash, HASH_CLASS_ID);
    ASSERT_POINTER(data);
    if (processed) *processed = 0;
    if (hash->Interface) {
        int64_t result = hash->Interface->Process(hash->Instance, data, length);
        if (result == 1 && processed) *processed = length;
        return result;
    }
    if (length > HASH_PENDING_CAPACITY - hash->PendingLength) return 0;
    if (length == 0) return 1;
    if (!hash->Pending) hash->Pending = static_cast<uint8_t*>(Memory_Alloc(HASH_PENDING_CAPACITY));
    memcpy(hash->Pending + hash->PendingLength, data, length);
    hash->PendingLength += length;
    if (processed) *processed = length;
    return 1;
}

int64_t Hash_Generate(Hash* hash) {
    CLASS_CHECK(hash, HASH_CLASS_ID);
    if (!hash->Interface) return 0;
    return hash->Interface->Generate(hash->Instance);
}

int64_t Hash_IsGenerated(Hash* hash) {
    CLASS_CHECK(hash, HASH_CLASS_ID);
    if (!hash->Interface) return 0;
    return hash->Interface->IsGenerated(hash->Instance) ? 1 : 0;
}

int64_t Hash_GetDigest(Hash* hash, uint8_t* out, uint32_t capacity) {
    CLASS_CHECK(hash, HASH_CLASS_ID);
    ASSERT_POINTER(out);
    if (!hash->Interface) return 0;
    int32_t cap = (int32_t)std::min<uint32_t>(capacity, 0x7FFFFFFFu);
    return hash->Interface->GetDigest(hash->Instance, out, cap);
}

uint32_t Hash_GetDigestSize(Hash* hash) {
    CLASS_CHECK(hash, HASH_CLASS_ID);
    return hash->Interface ? hash->Interface->DigestSize : 0;
}

uint32_t Hash_GetBlockSize(Hash* hash) {
    CLASS_CHECK(hash, HASH_CLASS_ID);
    return hash->Interface ? hash->Interface->BlockSize : 0;
}

int64_t Hash_GetString(Hash* hash, uint32_t spaced, char* out, uint32_t capacity) {
    CLASS_CHECK(hash, HASH_CLASS_ID);
    ASSERT_POINTER(out);
    if (!hash->Interface) return 0;
    if (capacity > 0) out[0] = 0;
    uint32_t size = hash->Interface->DigestSize;
    uint8_t* digest = static_cast<uint8_t*>(Memory_Alloc(size));
    int64_t result = Hash_GetDigest(hash, digest, size);
    if (result == 1) {
        int32_t cap = (int32_t)std::min<uint32_t>(capacity, 0x7FFFFFFFu);
        result = Hash_ConvertDigestToString(digest, (int32_t)size, spaced, out, cap);
    }
    Memory_Free(digest, size);
    return result;
}

int64_t Hash_CopyTo(Hash* source, Hash* target) {
    CLASS_CHECK(source, HASH_CLASS_ID);
    CLASS_CHECK(target, HASH_CLASS_ID);
    if (!source->Interface || source->Interface != target->Interface) return 0;
    ASSERT_POINTER(source->Interface->CopyTo);
    return source->Interface->CopyTo(source->Instance, target->Instance);
}

int64_t Hash_InterfaceFromName(const char* name, const HashInterface** record) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(record);
    for (const NamedRecord& n : kNames) {
        if (String_CompareWithoutCase(name, n.Name)) {
            *record = n.Record;
            return 1;
        }
    }
    Log_Error("Unsupported hash algorithm %s\n", name);
    return 0;
}

int64_t Hash_InterfaceFromOid(const char* oidText, const HashInterface** record) {
    ASSERT_POINTER(oidText);
    ASSERT_POINTER(record);
    for (const OidRecord& o : kOids) {
        if (strcmp(oidText, o.Oid) == 0) {
            *record = o.Record;
            return 1;
        }
    }
    Log_Error("Unsupported hash algorithm %s\n", oidText);
    return 0;
}

int64_t Hash_InterfaceFromDigestSize(uint32_t size, const HashInterface** record) {
    ASSERT_POINTER(record);
    for (const HashInterface* r : kBySize) {
        if (r->DigestSize == size) {
            *record = r;
            return 1;
        }
    }
    Log_Error("Unsupported hash digest size %d", (int32_t)size);
    return 0;
}

int64_t Hash_ConvertDigestToString(const uint8_t* digest, int32_t length, uint32_t spaced, char* out,
                                   int32_t capacity) {
    static const char kDigits[] = "0123456789abcdef";
    ASSERT_POINTER(out);
    if (capacity <= 0) return 0;
    if (length < 0) length = 0;
    if (length > 0) ASSERT_POINTER(digest);
    int32_t rem = capacity;
    int32_t i = 0;
    char* p = out;
    while (rem >= 3 && i < length) {
        *p++ = kDigits[digest[i] >> 4];
        *p++ = kDigits[digest[i] & 15];
        i++;
        if (spaced == 1 && rem >= 4 && i % 4 == 0) {
            if (rem >= 5) *p++ = ' ';
            rem -= 3;
        } else {
            rem -= 2;
        }
    }
    int64_t complete = (i == length) ? 1 : 0;
    if (rem >= 2 && i < length) *p++ = kDigits[digest[i] >> 4];
    *p = 0;
    return complete;
}

int64_t Hash_QuickDigest(const HashInterface* record, const void* data, int32_t length, uint8_t* out,
                         int32_t capacity) {
    return Hash_QuickDigest2(record, data, length, 1, out, capacity);
}

int64_t Hash_QuickDigest2(const HashInterface* record, const void* data, int32_t length,
                          uint32_t caseSensitive, uint8_t* out, int32_t capacity) {
    CheckQuickRecord(record, false);
    ASSERT_POINTER(out);
    if (length > 0) ASSERT_POINTER(data);
    if (!caseSensitive && length <= 0) return 0;
    alignas(16) uint8_t instance[kStackInstanceCapacity];
    record->Stack(instance);
    int64_t result = 1;
    if (caseSensitive) {
        if (length > 0) result = record->Process(instance, data, (uint32_t)length);
    } else {
        uint8_t chunk[kFoldChunk];
        const uint8_t* src = static_cast<const uint8_t*>(data);
        for (int32_t done = 0; done < length && result == 1;) {
            int32_t n = std::min(kFoldChunk, length - done);
            for (int32_t k = 0; k < n; k++) {
                uint8_t c = src[done + k];
                chunk[k] = (c >= 0x61 && c <= 0x7A) ? (uint8_t)(c - 0x20) : c;
            }
            result = record->Process(instance, chunk, (uint32_t)n);
            done += n;
        }
    }
    if (result == 1) {
        record->Generate(instance);
        result = record->GetDigest(instance, out, capacity);
    }
    record->Unstack(instance);
    return result;
}

int64_t Hash_QuickString(const HashInterface* record, const void* data, int32_t length, uint32_t spaced,
                         char* out, int32_t capacity) {
    CheckQuickRecord(record, true);
    ASSERT_POINTER(out);
    if (length > 0) ASSERT_POINTER(data);
    alignas(16) uint8_t instance[kStackInstanceCapacity];
    record->Stack(instance);
    int64_t result = 1;
    if (length > 0) result = record->Process(instance, data, (uint32_t)length);
    if (result == 1) {
        record->Generate(instance);
        result = record->GetString(instance, spaced, out, capacity);
    }
    record->Unstack(instance);
    return result;
}

int64_t Hash_QuickDigestUtf16(const HashInterface* record, const uint16_t* text16, int32_t unitCount,
                              uint32_t caseSensitive, uint8_t* out, int32_t capacity) {
    CheckQuickRecord(record, false);
    ASSERT_POINTER(out);
    if (unitCount > 0) ASSERT_POINTER(text16);
    alignas(16) uint8_t instance[kStackInstanceCapacity];
    record->Stack(instance);
    int64_t result = 1;
    for (int32_t i = 0; i < unitCount && result == 1; i++) {
        char utf8[8];
        int32_t n = 0;
        if (!CharUtf64_CopyToUtf8(text16[i], utf8, (int32_t)sizeof(utf8), &n) || n <= 0) {
            result = 0;
            break;
        }
        if (!caseSensitive) {
            for (int32_t k = 0; k < n; k++)
                if (utf8[k] >= 0x61 && utf8[k] <= 0x7A) utf8[k] = (char)(utf8[k] - 0x20);
        }
        result = record->Process(instance, utf8, (uint32_t)n);
    }
    if (result == 1) {
        record->Generate(instance);
        result = record->GetDigest(instance, out, capacity);
    }
    record->Unstack(instance);
    return result;
}

int64_t Hash_QuickStringUtf16(const HashInterface* record, const void* data, int32_t length, uint32_t spaced,
                              char* out, int32_t capacity) {
    return Hash_QuickString(record, data, length, spaced, out, capacity);
}

int64_t Hash_ExpandKey(void* user, const char* name, char* argument, char* value, int32_t capacity) {
    (void)user;
    ASSERT_POINTER(name);
    ASSERT_POINTER(value);
    static const NamedRecord kKeys[] = {
        {"CRC", &CRC_INTERFACE},   {"MD4", &MD4_INTERFACE},       {"MD5", &MD5_INTERFACE},
        {"SHA1", &SHA1_INTERFACE}, {"SHA256", &SHA256_INTERFACE},
    };
    const HashInterface* record = nullptr;
    for (const NamedRecord& k : kKeys)
        if (String_CompareWithoutCase(name, k.Name)) record = k.Record;
    char* text = argument;
    if (!record) {
        if (!String_CompareWithoutCase(name, "Hash")) return 0;
        if (!argument) return 0;
        char* comma = strchr(argument, ',');
        if (capacity > 0) value[0] = 0;
        if (!comma) return 1;
        *comma = 0;
        if (!Hash_InterfaceFromName(argument, &record)) return 1;
        text = comma + 1;
    }
    if (capacity > 0) value[0] = 0;
    if (!text) return 1;
    const size_t length = strnlen(text, 0x7FFFFFFF);
    Hash_QuickString(record, text, (int32_t)length, 0, value, capacity);
    return 1;
}
