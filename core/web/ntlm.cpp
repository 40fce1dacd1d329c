// NTLM messages: the negotiate and authenticate messages that the HTTP authenticator sends, the
// server's challenge it receives, and the NTLM2 session and NTLMv2 responses computed from a password.
#include "core/web/ntlm.h"

#include "core/runtime/class_family.h"

#include <atomic>
#include <chrono>
#include <cstring>

#include "core/crypto/des.h"
#include "core/crypto/hash.h"
#include "core/crypto/hmac.h"
#include "core/crypto/md4.h"
#include "core/crypto/md5.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/runtime/unicode.h"

struct NTLM {
    Class Header;
};

namespace {

const uint8_t Signature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};

std::atomic<uint32_t> g_defaultFlags{NTLM_DEFAULT_FLAGS};
std::atomic<uint32_t> g_testMode{0};

// Table order, not bit order: the names print in this order.
const struct {
    uint32_t Bit;
    const char* Name;
} NTLM_NegotiateFlagStringTable[] = {
    {0x1, "Unicode"},          {0x2, "OEM"},
    {0x4, "RequestTarget"},    {0x8, "Unknown1"},
    {0x10, "Sign"},            {0x20, "Seal"},
    {0x40, "DGRAM"},           {0x80, "LM"},
    {0x100, "Netware"},        {0x200, "NTLM"},
    {0x400, "Unknown2"},       {0x800, "Anonymous"},
    {0x1000, "Domain"},        {0x2000, "Workstation"},
    {0x8000, "AlwaysSign"},    {0x10000, "TargetTypeDomain"},
    {0x20000, "TargetTypeServer"}, {0x40000, "TargetTypeShare"},
    {0x80000, "ExtendedSecurty"}, {0x100000, "RIR"},
    {0x200000, "RAR"},         {0x400000, "RNNSK"},
    {0x800000, "TargetInfo"},  {0x2000000, "Version"},
    {0x20000000, "128"},       {0x40000000, "KeyExchange"},
    {0x80000000, "56"},        {0x4000, "Local"},
};

const struct {
    uint32_t Type;
    const char* Name;
} NTLM_MessageTypeStringTable[] = {{1, "Negotiate"}, {2, "Challenge"}, {3, "Authenticate"}, {8, "Unknown"}};

// Client challenge in test mode, and the NTLMv2 timestamp there.
constexpr uint8_t TestClientChallengeByte = 0xAA;
constexpr uint64_t TestTimestamp = 0x1d2d400fdc80b80ull;
// 100-nanosecond units from 1601-01-01 to 1970-01-01.
constexpr uint64_t EpochOffset = 116444736000000000ull;

// Password capacities in UTF-16 units (with the terminator) of the two response kinds.
constexpr int32_t PasswordUnitsV1 = 120;
constexpr int32_t PasswordUnitsV2 = 256;
constexpr int32_t TargetNameLimit = 256;
// The blob stays within 512 bytes: 28 fixed bytes, then at most 484 of target information, then
// 4 zero bytes only when they still fit.
constexpr int32_t BlobFixedSize = 28;
constexpr int32_t BlobTargetInfoLimit = 484;
constexpr int32_t BlobSize = 512;
constexpr int32_t UserUnitsLimit = 512;

int64_t DeleteHandle(void** handle) {
    return NTLM_Delete(reinterpret_cast<NTLM**>(handle));
}

void Put16(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}
void Put64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; i++) p[i] = (uint8_t)(v >> (8 * i));
}
uint32_t Get16(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8;
}
uint32_t Get32(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// The bytes of a buffer in the record; an empty buffer's offset is never checked, so it is not used.
const uint8_t* Field(const NTLMResponse2* r, const NTLMSecurityBuffer& b) {
    return b.Length ? r->Data + b.Offset : r->Data;
}

NTLMSecurityBuffer ReadBuffer(const uint8_t* p) {
    NTLMSecurityBuffer b;
    b.Length = (uint16_t)Get16(p);
    b.MaxLength = (uint16_t)Get16(p + 2);
    b.Offset = Get32(p + 4);
    return b;
}

// A buffer of non-zero length starts before the end and ends within `end`; 64-bit sums so that
// an offset near 4 GiB cannot wrap.
bool BufferInside(const NTLMSecurityBuffer& b, uint32_t end) {
    if (b.Length == 0) return true;
    return (uint64_t)b.Offset < end && (uint64_t)b.Offset + b.Length <= end;
}

// Writer that puts the fields in order while they fit; after the first that does not, nothing
// more is written, so a later smaller field never lands at the wrong offset.
struct Writer {
    uint8_t* Out;
    int32_t Capacity;
    int32_t Used = 0;
    bool Full = false;
    void Put(const void* data, int32_t size) {
        if (Full || Used + size > Capacity) {
            Full = true;
            return;
        }
        memcpy(Out + Used, data, (size_t)size);
        Used += size;
    }
    void Put32(uint32_t v) {
        uint8_t b[4];
        ::Put32(b, v);
        Put(b, 4);
    }
    void PutBuffer(const NTLMSecurityBuffer& sb) {
        uint8_t b[8];
        Put16(b, sb.Length);
        Put16(b + 2, sb.MaxLength);
        ::Put32(b + 4, sb.Offset);
        Put(b, 8);
    }
};

// Appends bytes to a payload and describes them with a security buffer; the caller made sure
// they fit.
void Append(uint8_t* payload, uint32_t* used, uint32_t base, const void* data, uint32_t size,
            NTLMSecurityBuffer* sb) {
    sb->Length = sb->MaxLength = (uint16_t)size;
    sb->Offset = base + *used;
    if (size) memcpy(payload + *used, data, size);
    *used += size;
}

// UTF-16LE bytes of a UTF-8 text, at most `units` - 1 units; the number of bytes.
int32_t ToUtf16LE(const char* text, int32_t units, uint8_t* out, bool upper) {
    uint16_t* wide = static_cast<uint16_t*>(Memory_AllocZero(units * 2));
    const int32_t count = StringUtf8_CopyToUtf16(wide, text, units);
    int32_t n = 0;
    for (int32_t i = 0; i < count && i < units - 1 && wide[i]; i++, n++) {
        uint16_t u = wide[i];
        if (upper && u >= 'a' && u <= 'z') u = (uint16_t)(u - 'a' + 'A');
        Put16(out + 2 * n, u);
    }
    Memory_Free(wide, units * 2);
    return n * 2;
}

void NtHash(const char* password, int32_t units, uint8_t out[16]) {
    uint8_t* bytes = static_cast<uint8_t*>(Memory_AllocZero(units * 2));
    const int32_t size = ToUtf16LE(password, units, bytes, false);
    Hash_QuickDigest(&MD4_INTERFACE, bytes, size, out, 16);
    Memory_Free(bytes, units * 2);
}

// Spreads 7 key bytes over 8, seven bits each in the high positions; parity bits stay clear.
void SpreadKey(const uint8_t in[7], uint8_t out[8]) {
    out[0] = in[0] & 0xFE;
    out[1] = (uint8_t)((in[0] << 7) | (in[1] >> 1)) & 0xFE;
    out[2] = (uint8_t)((in[1] << 6) | (in[2] >> 2)) & 0xFE;
    out[3] = (uint8_t)((in[2] << 5) | (in[3] >> 3)) & 0xFE;
    out[4] = (uint8_t)((in[3] << 4) | (in[4] >> 4)) & 0xFE;
    out[5] = (uint8_t)((in[4] << 3) | (in[5] >> 5)) & 0xFE;
    out[6] = (uint8_t)((in[5] << 2) | (in[6] >> 6)) & 0xFE;
    out[7] = (uint8_t)(in[6] << 1) & 0xFE;
}

int64_t DesEncrypt(const uint8_t key7[7], const uint8_t in[8], uint8_t out[8]) {
    uint8_t key[8];
    SpreadKey(key7, key);
    DES* des = nullptr;
    DES_Create(&des);
    int64_t ok = DES_SetEncryptKey(des, key, 8);
    if (ok) ok = DES_Encrypt(des, in, out, 8);
    DES_Release(&des);
    return ok;
}

void ClientChallenge(uint8_t out[8]) {
    if (g_testMode.load())
        memset(out, TestClientChallengeByte, 8);
    else
        Memory_CryptFill(out, 8);
}

// NTLM2 session response: NT response 24 bytes, LM response 24 bytes.
void SessionResponse(const NTLMResponse2* challenge, const char* password, uint8_t nt[24], uint8_t lm[24]) {
    uint8_t client[8];
    ClientChallenge(client);
    uint8_t hash[21] = {};
    NtHash(password, PasswordUnitsV1, hash);
    uint8_t both[16];
    memcpy(both, challenge->Challenge, 8);
    memcpy(both + 8, client, 8);
    uint8_t session[16];
    Hash_QuickDigest(&MD5_INTERFACE, both, 16, session, 16);
    memset(nt, 0, 24);
    if (DesEncrypt(hash, session, nt) && DesEncrypt(hash + 7, session, nt + 8)) DesEncrypt(hash + 14, session, nt + 16);
    memcpy(lm, client, 8);
    memset(lm + 8, 0, 16);
}

uint64_t Timestamp() {
    if (g_testMode.load()) return TestTimestamp;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    return (uint64_t)ms * 10000u + EpochOffset;
}

// NTLMv2 response: NT response (proof and blob) and its length; LM response 24 zero bytes.
uint32_t V2Response(const NTLMResponse2* challenge, const char* user, const char* password,
                    uint8_t nt[16 + BlobSize], uint8_t lm[24]) {
    // The target name as UTF-16LE units, whole units only, up to the first zero unit.
    const uint32_t nameBytes = challenge->TargetName.Length < TargetNameLimit ? challenge->TargetName.Length
                                                                              : TargetNameLimit;
    const uint8_t* name = Field(challenge, challenge->TargetName);
    uint32_t nameUnits = 0;
    while (nameUnits < nameBytes / 2 && Get16(name + 2 * nameUnits)) nameUnits++;

    uint8_t hash[16];
    NtHash(password, PasswordUnitsV2, hash);
    uint8_t* identity = static_cast<uint8_t*>(Memory_AllocZero(UserUnitsLimit * 2 + TargetNameLimit));
    int32_t size = ToUtf16LE(user, UserUnitsLimit, identity, true);
    memcpy(identity + size, name, nameUnits * 2);
    size += (int32_t)nameUnits * 2;
    uint8_t v2hash[16];
    HMAC_QuickDigest(&MD5_INTERFACE, identity, (uint32_t)size, hash, 16, v2hash, 16);
    Memory_Free(identity, UserUnitsLimit * 2 + TargetNameLimit);

    memset(lm, 0, 24);
    uint8_t* blob = nt + 16;
    memset(blob, 0, BlobSize);
    blob[0] = 1;
    blob[1] = 1;
    Put64(blob + 8, Timestamp());
    ClientChallenge(blob + 16);
    uint32_t blobSize = BlobFixedSize;
    const uint32_t infoSize = challenge->TargetInfo.Length;
    if (infoSize <= (uint32_t)BlobTargetInfoLimit) {
        memcpy(blob + blobSize, Field(challenge, challenge->TargetInfo), infoSize);
        blobSize += infoSize;
    }
    if (blobSize + 4 <= (uint32_t)BlobSize) blobSize += 4;

    uint8_t* signed_ = static_cast<uint8_t*>(Memory_AllocZero(8 + BlobSize));
    memcpy(signed_, challenge->Challenge, 8);
    memcpy(signed_ + 8, blob, blobSize);
    HMAC_QuickDigest(&MD5_INTERFACE, signed_, 8 + blobSize, v2hash, 16, nt, 16);
    Memory_Free(signed_, 8 + BlobSize);
    return 16 + blobSize;
}

// The name of the text in the message: UTF-16LE when the flags say Unicode, else 8-bit.
int32_t NameBytes(const char* text, bool unicode, uint8_t* out, int32_t capacity) {
    if (unicode) return ToUtf16LE(text, capacity / 2 + 1, out, false);
    const int32_t n = (int32_t)strnlen(text, (size_t)capacity);
    memcpy(out, text, (size_t)n);
    return n;
}

} // namespace

CLASS_BASICS(NTLM, NTLM, NTLM_CLASS_ID)

int64_t NTLM_Create(NTLM** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    NTLM* ntlm = static_cast<NTLM*>(Memory_AllocZero(sizeof(NTLM)));
    ntlm->Header.ClassId = NTLM_CLASS_ID;
    ntlm->Header.RefCount = 1;
    ntlm->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(ntlm);
    *handle = ntlm;
    return 1;
}

int64_t NTLM_Delete(NTLM** handle) {
    ASSERT_POINTER(handle);
    CLASS_CHECK(*handle, NTLM_CLASS_ID);
    (*handle)->Header.ClassId = 0;
    Memory_Free(*handle, sizeof(NTLM));
    *handle = nullptr;
    return 1;
}

// ---- Negotiate ----------------------------------------------------------------------------

int64_t NTLM_Request1Create(NTLM* ntlm, const char* domain, const char* workstation, NTLMRequest1** message) {
    CLASS_CHECK(ntlm, NTLM_CLASS_ID);
    ASSERT_POINTER(message);
    *message = nullptr;
    if (!domain) domain = "";
    if (!workstation) workstation = "";
    NTLMRequest1* m = static_cast<NTLMRequest1*>(Memory_AllocZero(sizeof(NTLMRequest1)));
    memcpy(m->Signature, Signature, 8);
    m->Type = 1;
    m->Flags = g_defaultFlags.load();
    // Each name keeps to half the payload, so both always fit.
    const uint32_t half = NTLM_REQUEST1_PAYLOAD_SIZE / 2;
    const uint32_t domainSize = (uint32_t)strnlen(domain, half);
    const uint32_t workstationSize = (uint32_t)strnlen(workstation, half);
    if (domainSize) m->Flags |= NTLM_FLAG_DOMAIN;
    if (workstationSize) m->Flags |= NTLM_FLAG_WORKSTATION;
    Append(m->Payload, &m->PayloadLength, NTLM_REQUEST1_HEADER_SIZE, domain, domainSize, &m->Domain);
    Append(m->Payload, &m->PayloadLength, NTLM_REQUEST1_HEADER_SIZE, workstation, workstationSize, &m->Workstation);
    *message = m;
    return 1;
}

int64_t NTLM_Request1GetBuffer(NTLM* ntlm, NTLMRequest1* m, uint8_t* buffer, int32_t capacity) {
    CLASS_CHECK(ntlm, NTLM_CLASS_ID);
    ASSERT_POINTER(m);
    ASSERT_POINTER(buffer);
    Writer w{buffer, capacity};
    w.Put(m->Signature, 8);
    w.Put32(m->Type);
    w.Put32(m->Flags);
    w.PutBuffer(m->Domain);
    w.PutBuffer(m->Workstation);
    if (w.Used == NTLM_REQUEST1_HEADER_SIZE) w.Put(m->Payload, (int32_t)m->PayloadLength);
    return w.Used;
}

int64_t NTLM_Request1Delete(NTLM* ntlm, NTLMRequest1** message) {
    CLASS_CHECK(ntlm, NTLM_CLASS_ID);
    ASSERT_POINTER(message);
    if (*message) Memory_Free(*message, sizeof(NTLMRequest1));
    *message = nullptr;
    return 1;
}

// ---- Challenge ----------------------------------------------------------------------------

int64_t NTLM_Response2Create(NTLM* ntlm, const uint8_t* bytes, int32_t length, NTLMResponse2** record) {
    CLASS_CHECK(ntlm, NTLM_CLASS_ID);
    ASSERT_POINTER(record);
    *record = nullptr;
    if (!bytes || length < 32) return 0;
    if (memcmp(bytes, Signature, 8) != 0 || Get32(bytes + 8) != 2) return 0;
    // Buffers are read from the stored bytes, so they must lie within those, not merely within
    // the message.
    const uint32_t limit = NTLM_RESPONSE2_STORED_SIZE;
    const uint32_t stored = (uint32_t)length < limit ? (uint32_t)length : limit;
    const NTLMSecurityBuffer targetName = ReadBuffer(bytes + 12);
    if (!BufferInside(targetName, stored)) return 0;
    const uint32_t flags = Get32(bytes + 20);
    if ((flags & g_defaultFlags.load()) == 0) return 0;
    NTLMSecurityBuffer targetInfo = {};
    if (length >= NTLM_RESPONSE2_HEADER_SIZE) {
        targetInfo = ReadBuffer(bytes + 40);
        if (!BufferInside(targetInfo, stored)) return 0;
    }
    NTLMResponse2* r = static_cast<NTLMResponse2*>(Memory_AllocZero(sizeof(NTLMResponse2)));
    memcpy(r->Signature, bytes, 8);
    r->Type = 2;
    r->TargetName = targetName;
    r->Flags = flags;
    memcpy(r->Challenge, bytes + 24, 8);
    if (length >= NTLM_RESPONSE2_HEADER_SIZE) memcpy(r->Context, bytes + 32, 8);
    r->TargetInfo = targetInfo;
    r->Form = length < 48 ? 1 : length < 56 ? 2 : 3;
    r->DataLength = stored;
    memcpy(r->Data, bytes, stored);
    r->UseV2 = 0;
    *record = r;
    return 1;
}

int64_t NTLM_ResponseSetV2(NTLM* ntlm, NTLMResponse2* record, uint32_t on) {
    CLASS_CHECK(ntlm, NTLM_CLASS_ID);
    ASSERT_POINTER(record);
    record->UseV2 = on;
    return 1;
}

int64_t NTLM_Response2Delete(NTLM* ntlm, NTLMResponse2** record) {
    CLASS_CHECK(ntlm, NTLM_CLASS_ID);
    ASSERT_POINTER(record);
    if (*record) Memory_Free(*record, sizeof(NTLMResponse2));
    *record = nullptr;
    return 1;
}

namespace {

// A UTF-16LE text of the message, terminated, for "%!s"; at most 256 bytes of it.
void PrintWide(const uint8_t* bytes, uint32_t size, const char* prefix) {
    uint16_t text[TargetNameLimit / 2 + 1] = {};
    const uint32_t n = (size < (uint32_t)TargetNameLimit ? size : (uint32_t)TargetNameLimit) / 2;
    for (uint32_t i = 0; i < n; i++) text[i] = (uint16_t)Get16(bytes + 2 * i);
    if (prefix) Log_Debug("%s[%!s]\n", prefix, text);
    else Log_Debug("[%!s]\n", text);
}

} // namespace

int64_t NTLM_Response2Print(NTLM* ntlm, NTLMResponse2* r) {
    CLASS_CHECK(ntlm, NTLM_CLASS_ID);
    ASSERT_POINTER(r);
    Log_Debug("NTLM Message\n");
    char text[512];
    String_CopyLengthSafe(text, sizeof(text), reinterpret_cast<const char*>(r->Signature), 8);
    Log_Debug("Protocol: %s\n", text);
    const char* typeName = "Negotiate";
    for (const auto& row : NTLM_MessageTypeStringTable)
        if (row.Type == r->Type) typeName = row.Name;
    Log_Debug("Type: %s (%d)\n", typeName, (int32_t)r->Type);
    Log_Debug("Version: %d\n", (int32_t)r->Form);
    char prefix[64];
    String_Print(prefix, sizeof(prefix), "Target Name: %d %d, ", (int32_t)r->TargetName.Offset,
                 (int32_t)r->TargetName.Length);
    PrintWide(Field(r, r->TargetName), r->TargetName.Length, prefix);
    NTLM_GetFlagString(r->Flags, text, sizeof(text));
    Log_Debug("Flags: %s (0x%08x)\n", text, r->Flags);
    Hash_ConvertDigestToString(r->Challenge, 8, 0, text, sizeof(text));
    Log_Debug("Challenge: %s\n", text);
    if (r->Form < 2) return 1;
    Hash_ConvertDigestToString(r->Context, 8, 0, text, sizeof(text));
    Log_Debug("Context: %s\n", text);
    if (r->TargetInfo.Length == 0) return 1;
    Log_Debug("Target Info Block:\n");
    const uint8_t* p = Field(r, r->TargetInfo);
    const uint8_t* end = p + r->TargetInfo.Length;
    static const char* const labels[] = {nullptr, "   Server name    : ", "   Domain name    : ",
                                         "   Full name      : ", "   DNS domain name: "};
    while (end - p >= 4) {
        const uint32_t type = Get16(p);
        const uint32_t size = Get16(p + 2);
        if (type == 0) break;
        p += 4;
        // An entry running past the block is not read.
        if ((uint32_t)(end - p) < size) break;
        if (type >= 1 && type <= 4) {
            PrintWide(p, size, labels[type]);
        } else if (type == 7 && size >= 8) {
            uint64_t stamp = 0;
            for (int i = 7; i >= 0; i--) stamp = stamp << 8 | p[i];
            Log_Debug("   Timestamp      : %lu\n", (unsigned long)stamp);
        }
        p += size;
    }
    return 1;
}

// ---- Authenticate -------------------------------------------------------------------------

int64_t NTLM_Request3Create(NTLM* ntlm, NTLMResponse2* challenge, const char* user, const char* password,
                            NTLMRequest3** message) {
    CLASS_CHECK(ntlm, NTLM_CLASS_ID);
    ASSERT_POINTER(challenge);
    ASSERT_POINTER(message);
    *message = nullptr;
    if (!user) user = "";
    if (!password) password = "";
    const uint32_t flags = ((challenge->Flags & g_defaultFlags.load()) &
                            ~(uint32_t)(NTLM_FLAG_LOCAL | NTLM_FLAG_EXTENDED_SECURITY | NTLM_FLAG_VERSION)) |
                           NTLM_FLAG_EXTENDED_SECURITY;
    const bool unicode = (flags & NTLM_FLAG_UNICODE) != 0;

    uint8_t* nt = static_cast<uint8_t*>(Memory_AllocZero(16 + BlobSize));
    uint8_t lm[24];
    const uint32_t ntSize = challenge->UseV2 ? V2Response(challenge, user, password, nt, lm)
                                             : (SessionResponse(challenge, password, nt, lm), 24u);
    const int32_t nameCapacity = UserUnitsLimit * 2;
    uint8_t* name = static_cast<uint8_t*>(Memory_AllocZero(nameCapacity));
    const bool test = g_testMode.load() != 0;

    NTLMRequest3* m = static_cast<NTLMRequest3*>(Memory_AllocZero(sizeof(NTLMRequest3)));
    memcpy(m->Signature, Signature, 8);
    m->Type = 3;
    m->Flags = flags;
    const uint32_t base = NTLM_REQUEST3_HEADER_SIZE;
    Append(m->Payload, &m->PayloadLength, base, lm, 24, &m->LmResponse);
    Append(m->Payload, &m->PayloadLength, base, nt, ntSize, &m->NtResponse);
    bool fits = true;
    // Domain, user, workstation; outside test mode only the user carries text.
    const char* texts[3] = {test ? "Domain" : "", user, test ? "COMPUTER" : ""};
    NTLMSecurityBuffer* buffers[3] = {&m->Domain, &m->User, &m->Workstation};
    for (int i = 0; i < 3; i++) {
        const int32_t size = NameBytes(texts[i], unicode, name, nameCapacity);
        if (m->PayloadLength + (uint32_t)size > (uint32_t)NTLM_REQUEST3_PAYLOAD_SIZE) {
            fits = false;
            break;
        }
        Append(m->Payload, &m->PayloadLength, base, name, (uint32_t)size, buffers[i]);
    }
    m->SessionKey.Offset = base;
    Memory_Free(name, nameCapacity);
    Memory_Free(nt, 16 + BlobSize);
    if (!fits) {
        Memory_Free(m, sizeof(NTLMRequest3));
        return 0;
    }
    *message = m;
    return 1;
}

int64_t NTLM_Request3GetBuffer(NTLM* ntlm, NTLMRequest3* m, uint8_t* buffer, int32_t capacity) {
    CLASS_CHECK(ntlm, NTLM_CLASS_ID);
    ASSERT_POINTER(m);
    ASSERT_POINTER(buffer);
    Writer w{buffer, capacity};
    w.Put(m->Signature, 8);
    w.Put32(m->Type);
    w.PutBuffer(m->LmResponse);
    w.PutBuffer(m->NtResponse);
    w.PutBuffer(m->Domain);
    w.PutBuffer(m->User);
    w.PutBuffer(m->Workstation);
    w.PutBuffer(m->SessionKey);
    w.Put32(m->Flags);
    if (w.Used == NTLM_REQUEST3_HEADER_SIZE) w.Put(m->Payload, (int32_t)m->PayloadLength);
    return w.Used;
}

int64_t NTLM_Request3Delete(NTLM* ntlm, NTLMRequest3** message) {
    CLASS_CHECK(ntlm, NTLM_CLASS_ID);
    ASSERT_POINTER(message);
    if (*message) Memory_Free(*message, sizeof(NTLMRequest3));
    *message = nullptr;
    return 1;
}

// ---- Process-wide settings and names --------------------------------------------------------

int64_t NTLM_SetForTest(uint32_t on) {
    g_testMode.store(on ? 1 : 0);
    g_defaultFlags.store(NTLM_DEFAULT_FLAGS);
    return 1;
}

int64_t NTLM_TestFlagTurnOn(uint32_t bits) {
    if (g_testMode.load()) g_defaultFlags.fetch_or(bits);
    return 1;
}

int64_t NTLM_TestFlagTurnOff(uint32_t bits) {
    if (g_testMode.load()) g_defaultFlags.fetch_and(~bits);
    return 1;
}

uint32_t NTLM_GetDefaultFlags() {
    return g_defaultFlags.load();
}

int64_t NTLM_GetFlagString(uint32_t flags, char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity < 1) return 0;
    buffer[0] = 0;
    bool first = true;
    for (const auto& row : NTLM_NegotiateFlagStringTable) {
        if (!(flags & row.Bit)) continue;
        if (!first) String_CatLength(buffer, ", ", capacity);
        String_CatLength(buffer, row.Name, capacity);
        first = false;
    }
    return 1;
}

const char* NTLM_TranslateMessageType(uint32_t type) {
    for (const auto& row : NTLM_MessageTypeStringTable)
        if (row.Type == type) return row.Name;
    return "Unknown";
}
