// Base64 codecs of RFC 4648 (section 4 padded, section 5 URL-safe without padding) and the
// Base64 macro keys.
#include "core/formats/base64.h"

#include <algorithm>
#include <cstring>

#include "core/formats/base64_simd.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

constexpr char kStandard[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUrlSafe[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr uint8_t kInvalid = 128;
// Room that Base64_Decode keeps free at the end of the output, as the size calculator promises.
constexpr int32_t kDecodeMargin = 4;
constexpr int32_t kScratchBytes = 4096;

struct DecodeTable {
    uint8_t Value[256];
    constexpr DecodeTable() : Value() {
        for (int32_t i = 0; i < 256; i++) Value[i] = kInvalid;
        for (int32_t i = 0; i < 64; i++) Value[(uint8_t)kStandard[i]] = (uint8_t)i;
        Value[(uint8_t)'='] = 0;
    }
};
constexpr DecodeTable kDecode;

// Writes whole groups only: a group whose characters (padding included) do not all fit is not
// begun, so the text never ends in a cut group and a short buffer is always reported.
int64_t EncodeWith(const char* alphabet, bool pad, const void* bytes, int32_t length, char* text,
                   int32_t capacity, uint32_t* written) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(written);
    *written = 0;
    if (length > 0) ASSERT_POINTER(bytes);
    if (length < 0) length = 0;
    const uint8_t* in = static_cast<const uint8_t*>(bytes);
    int64_t room = std::max<int32_t>(capacity, 0);
    int64_t out = 0;
    int32_t i = 0;
    // Whole groups that fit go through the vector engine; the ends are done one group at a time.
    if (length >= 16) {
        size_t taken = 0;
        out =
            (int64_t)Base64Simd_Encode(in, (size_t)length, text, (size_t)room, alphabet == kUrlSafe, &taken);
        i = (int32_t)taken;
    }
    while (i < length) {
        int32_t n = std::min(3, length - i);
        int32_t chars = pad ? 4 : n + 1;
        if (room - out < chars) break;
        uint32_t v = (uint32_t)in[i] << 16;
        if (n > 1) v |= (uint32_t)in[i + 1] << 8;
        if (n > 2) v |= in[i + 2];
        char group[4] = {alphabet[(v >> 18) & 63], alphabet[(v >> 12) & 63], alphabet[(v >> 6) & 63],
                         alphabet[v & 63]};
        if (n < 3) group[3] = '=';
        if (n < 2) group[2] = '=';
        memcpy(text + out, group, (size_t)chars);
        out += chars;
        i += n;
    }
    if (out < room) text[out] = 0;
    *written = (uint32_t)out;
    return i == length ? 1 : 0;
}

int32_t HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes into a heap buffer sized for the text, then copies what fits the caller's value.
void DecodeToValue(const char* argument, bool url, char* value, int32_t capacity) {
    int32_t n = (int32_t)strnlen(argument, 0x7FFFFFF0);
    uint32_t size = 0;
    Base64_CalculateDecodeSize((uint32_t)n, &size);
    uint8_t* scratch = static_cast<uint8_t*>(Memory_Alloc(size));
    uint32_t decoded = 0;
    int64_t ok = url ? Base64_UrlDecode(argument, n, scratch, (int32_t)size, &decoded)
                     : Base64_Decode(argument, n, scratch, (int32_t)size, &decoded);
    uint32_t keep = ok ? std::min<uint32_t>(decoded, (uint32_t)(capacity - 1)) : 0;
    memcpy(value, scratch, keep);
    value[keep] = 0;
    Memory_Free(scratch, size);
}

} // namespace

int64_t Base64_Encode(const void* bytes, int32_t length, char* text, int32_t capacity, uint32_t* written) {
    return EncodeWith(kStandard, true, bytes, length, text, capacity, written);
}

int64_t Base64_UrlEncode(const void* bytes, int32_t length, char* text, int32_t capacity, uint32_t* written) {
    return EncodeWith(kUrlSafe, false, bytes, length, text, capacity, written);
}

int64_t Base64_Decode(const char* text, int32_t length, uint8_t* bytes, int32_t capacity, uint32_t* decoded) {
    (void)length; // the text runs to its NUL
    ASSERT_POINTER(text);
    ASSERT_POINTER(bytes);
    ASSERT_POINTER(decoded);
    *decoded = 0;
    if (capacity < kDecodeMargin + 1) return 0;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(text);
    int32_t count = 0;
    // Plain groups go through the vector engine while their output stays below the margin; it
    // stops before any '=', NUL or byte outside the alphabet, which the loop below then judges.
    // The loop never reads more than this many characters before the margin stops it.
    const size_t reach = strnlen(text, 4 * ((size_t)(capacity - kDecodeMargin) / 3 + 2));
    if (reach >= 16) {
        size_t produced = 0;
        p += Base64Simd_Decode(p, reach, bytes, (size_t)(capacity - kDecodeMargin), &produced);
        count = (int32_t)produced;
    }
    for (;;) {
        if (count >= capacity - kDecodeMargin) {
            bytes[count] = 0;
            *decoded = (uint32_t)count;
            return 0;
        }
        if (p[0] == 0) break;
        uint8_t v[4];
        int32_t pads = 0;
        for (int32_t k = 0; k < 4; k++) {
            // A NUL inside a group is invalid like any other byte outside the alphabet.
            v[k] = kDecode.Value[p[k]];
            bool isPad = p[k] == '=';
            // Padding may only fill the tail of a group: at most its last two characters, and
            // nothing but padding after the first one.
            bool badPad = isPad ? (k < 2) : (pads > 0);
            if (v[k] == kInvalid || badPad) {
                bytes[count] = 0;
                *decoded = (uint32_t)count;
                return 0;
            }
            if (isPad) pads++;
        }
        uint32_t bits = ((uint32_t)v[0] << 18) | ((uint32_t)v[1] << 12) | ((uint32_t)v[2] << 6) | v[3];
        uint8_t group[3] = {(uint8_t)(bits >> 16), (uint8_t)(bits >> 8), (uint8_t)bits};
        int32_t real = 3 - pads;
        memcpy(bytes + count, group, (size_t)real);
        count += real;
        p += 4;
        // A padded group ends the text: anything after it is refused.
        if (pads > 0 && p[0] != 0) {
            bytes[count] = 0;
            *decoded = (uint32_t)count;
            return 0;
        }
    }
    bytes[count] = 0;
    *decoded = (uint32_t)count;
    return 1;
}

int64_t Base64_UrlDecode(const char* text, int32_t length, uint8_t* bytes, int32_t capacity,
                         uint32_t* decoded) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(bytes);
    ASSERT_POINTER(decoded);
    *decoded = 0;
    int32_t n = (int32_t)strnlen(text, length < 0 ? 0x7FFFFFF0 : (size_t)length);
    if (n > 0x7FFFFFF0 - 8) return 0;
    if (n % 4 == 1) return 0;
    int32_t padded = (n + 3) / 4 * 4;
    char* copy = static_cast<char*>(Memory_Alloc(padded + 1));
    for (int32_t i = 0; i < n; i++) {
        char c = text[i];
        copy[i] = c == '-' ? '+' : c == '_' ? '/' : c;
    }
    for (int32_t i = n; i < padded; i++) copy[i] = '=';
    copy[padded] = 0;
    int64_t result = Base64_Decode(copy, padded, bytes, capacity, decoded);
    Memory_Free(copy, padded + 1);
    return result;
}

int64_t Base64_CalculateEncodeSize(uint32_t count, uint32_t* size) {
    ASSERT_POINTER(size);
    *size = 0;
    uint64_t need = ((uint64_t)count + 2) / 3 * 4 + 1;
    if (need > 0x7FFFFFFF) return 0;
    *size = (uint32_t)need;
    return 1;
}

int64_t Base64_CalculateDecodeSize(uint32_t count, uint32_t* size) {
    ASSERT_POINTER(size);
    *size = count / 4 * 3 + 10;
    return 1;
}

int64_t Base64_ExpandKey(void* user, const char* name, char* argument, char* value, int32_t capacity) {
    (void)user;
    ASSERT_POINTER(name);
    ASSERT_POINTER(value);
    if (argument == nullptr) return 0;
    auto is = [name](const char* a, const char* b) {
        return String_CompareWithoutCase(name, a) || String_CompareWithoutCase(name, b);
    };
    bool decode = is("FromBase64", "Base64Decode");
    bool encode = is("ToBase64", "Base64Encode");
    bool toHex = is("Base64ToHex", "Base64ToHex");
    bool fromHex = is("HexToBase64", "HexToBase64");
    bool urlEncode = is("ToBase64Url", "Base64UrlEncode");
    bool urlDecode = is("FromBase64Url", "Base64UrlDecode");
    if (!(decode || encode || toHex || fromHex || urlEncode || urlDecode)) return 0;
    if (capacity <= 0) return 1;
    value[0] = 0;
    int32_t n = (int32_t)strnlen(argument, 0x7FFFFFF0);
    uint32_t written = 0;
    if (decode || urlDecode) {
        DecodeToValue(argument, urlDecode, value, capacity);
    } else if (encode) {
        Base64_Encode(argument, n, value, capacity, &written);
    } else if (urlEncode) {
        Base64_UrlEncode(argument, n, value, capacity, &written);
    } else if (toHex) {
        uint8_t* scratch = static_cast<uint8_t*>(Memory_Alloc(kScratchBytes + kDecodeMargin + 1));
        uint32_t decoded = 0;
        if (Base64_Decode(argument, n, scratch, kScratchBytes + kDecodeMargin + 1, &decoded) &&
            decoded <= (uint32_t)kScratchBytes) {
            static const char kDigits[] = "0123456789ABCDEF";
            int32_t out = 0;
            for (uint32_t i = 0; i < decoded && out + 2 < capacity; i++) {
                value[out++] = kDigits[scratch[i] >> 4];
                value[out++] = kDigits[scratch[i] & 15];
            }
            value[out] = 0;
        }
        Memory_Free(scratch, kScratchBytes + kDecodeMargin + 1);
    } else {
        // Hex text with an odd length, a non-hex digit or more than the scratch holds gives nothing.
        if (n % 2 == 0 && n / 2 <= kScratchBytes) {
            uint8_t* scratch = static_cast<uint8_t*>(Memory_Alloc(kScratchBytes));
            int32_t count = 0;
            bool ok = true;
            for (int32_t i = 0; i < n; i += 2) {
                int32_t hi = HexValue(argument[i]), lo = HexValue(argument[i + 1]);
                if (hi < 0 || lo < 0) {
                    ok = false;
                    break;
                }
                scratch[count++] = (uint8_t)(hi << 4 | lo);
            }
            if (ok) Base64_Encode(scratch, count, value, capacity, &written);
            Memory_Free(scratch, kScratchBytes);
        }
    }
    return 1;
}

// ---- Base64Stream ----

namespace {

constexpr uint32_t kWorkCapacity = 1024;

} // namespace

struct Base64Stream {
    Class Header;
    Stream StreamRecord;
    uint8_t Work[kWorkCapacity];
    int32_t WorkFill;
    int32_t WorkPosition;
    // Read coder: bytes that do not yet make a whole group.
    uint8_t ReadPending[3];
    int32_t ReadPendingCount;
    // Write coder: the bits held over from the previous character and the place in the group
    // (0 to 3 characters seen).
    uint8_t WriteHeld;
    int32_t WritePhase;
};

namespace {

int64_t DeleteStreamHandle(void** handle) {
    return Base64Stream_Delete(reinterpret_cast<Base64Stream**>(handle));
}

void ResetCoders(Base64Stream* s) {
    s->WorkFill = 0;
    s->WorkPosition = 0;
    s->ReadPendingCount = 0;
    s->WriteHeld = 0;
    s->WritePhase = 0;
}

void EmitGroup(const uint8_t* in, int32_t n, char* out) {
    uint32_t v = (uint32_t)in[0] << 16;
    if (n > 1) v |= (uint32_t)in[1] << 8;
    if (n > 2) v |= in[2];
    out[0] = kStandard[(v >> 18) & 63];
    out[1] = kStandard[(v >> 12) & 63];
    out[2] = n > 1 ? kStandard[(v >> 6) & 63] : '=';
    out[3] = n > 2 ? kStandard[v & 63] : '=';
}

} // namespace

int64_t Base64Stream_Create(Base64Stream** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    Base64Stream* s = static_cast<Base64Stream*>(Memory_AllocZero(sizeof(Base64Stream)));
    s->Header.ClassId = BASE64_STREAM_CLASS_ID;
    s->Header.RefCount = 1;
    s->Header.Delete = DeleteStreamHandle;
    Stream& r = s->StreamRecord;
    r.Handle = s;
    r.Write = StreamSlot<Base64Stream_Write>::Call;
    r.Read = StreamSlot<Base64Stream_Read>::Call;
    r.Seek = StreamSlot<Base64Stream_Seek>::Call;
    r.Flush = StreamSlot<Base64Stream_Flush>::Call;
    r.Tell = StreamSlot<Base64Stream_Tell>::Call;
    r.Length = StreamSlot<Base64Stream_Length>::Call;
    r.IsOpen = StreamSlot<Base64Stream_IsOpen>::Call;
    r.Close = StreamSlot<Base64Stream_Close>::Call;
    *handle = s;
    return 1;
}

int64_t Base64Stream_Delete(Base64Stream** handle) {
    ASSERT_POINTER(handle);
    Base64Stream* s = *handle;
    CLASS_CHECK(s, BASE64_STREAM_CLASS_ID);
    s->Header.ClassId = 0;
    Memory_Free(s, sizeof(Base64Stream));
    *handle = nullptr;
    return 1;
}

int64_t Base64Stream_AddRef(Base64Stream* stream) {
    CLASS_CHECK(stream, BASE64_STREAM_CLASS_ID);
    Class_AddRef(stream);
    return 1;
}

int64_t Base64Stream_Release(Base64Stream** handle) {
    ASSERT_POINTER(handle);
    if (*handle == nullptr) return 0;
    CLASS_CHECK(*handle, BASE64_STREAM_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t Base64Stream_GetInstanceId(Base64Stream* stream, char* buffer, int32_t size) {
    CLASS_CHECK(stream, BASE64_STREAM_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, stream->Header.InstanceId,
                          (int32_t)sizeof(stream->Header.InstanceId));
    return 1;
}

int64_t Base64Stream_SetBaseStreamHandle(Base64Stream* stream, Stream* base) {
    CLASS_CHECK(stream, BASE64_STREAM_CLASS_ID);
    stream->StreamRecord.BaseStreamHandle = base;
    ResetCoders(stream);
    return 1;
}

int64_t Base64Stream_GetStreamHandle(Base64Stream* stream, Stream** handle) {
    CLASS_CHECK(stream, BASE64_STREAM_CLASS_ID);
    ASSERT_POINTER(handle);
    *handle = &stream->StreamRecord;
    return 1;
}

int64_t Base64Stream_Read(Base64Stream* stream, void* buffer, uint32_t size, uint32_t* read) {
    ASSERT_POINTER(read);
    *read = 0;
    CLASS_CHECK(stream, BASE64_STREAM_CLASS_ID);
    ASSERT_POINTER(buffer);
    Stream* base = stream->StreamRecord.BaseStreamHandle;
    if (!base || !Stream_CanRead(base)) return 0;
    char* out = static_cast<char*>(buffer);
    uint32_t used = 0;
    while (size - used >= 4) {
        if (stream->ReadPendingCount == 3) {
            EmitGroup(stream->ReadPending, 3, out + used);
            used += 4;
            stream->ReadPendingCount = 0;
            continue;
        }
        if (stream->WorkPosition < stream->WorkFill) {
            stream->ReadPending[stream->ReadPendingCount++] = stream->Work[stream->WorkPosition++];
            continue;
        }
        uint32_t got = 0;
        Stream_ClearLastError(base);
        int64_t ok = Stream_Read(base, stream->Work, kWorkCapacity, &got);
        if (got > 0) {
            stream->WorkFill = (int32_t)got;
            stream->WorkPosition = 0;
            continue;
        }
        stream->WorkFill = stream->WorkPosition = 0;
        if (!ok && Stream_HasError(base)) {
            *read = used;
            return used > 0 ? 1 : 0;
        }
        // The base stream ended: the last bytes go out with their padding.
        if (stream->ReadPendingCount > 0) {
            EmitGroup(stream->ReadPending, stream->ReadPendingCount, out + used);
            used += 4;
            stream->ReadPendingCount = 0;
        }
        break;
    }
    *read = used;
    return 1;
}

int64_t Base64Stream_Write(Base64Stream* stream, const void* buffer, uint32_t size, uint32_t* written) {
    ASSERT_POINTER(written);
    *written = 0;
    CLASS_CHECK(stream, BASE64_STREAM_CLASS_ID);
    ASSERT_POINTER(buffer);
    Stream* base = stream->StreamRecord.BaseStreamHandle;
    if (!base || !Stream_CanWrite(base)) return 0;
    // Decoded apart from the read side's work buffer, so reading and writing do not disturb
    // each other; each character gives at most one byte, so the room check is per character.
    uint8_t decoded[kWorkCapacity];
    uint32_t fill = 0;
    uint32_t consumed = 0;
    const uint8_t* in = static_cast<const uint8_t*>(buffer);
    while (consumed < size && fill < kWorkCapacity) {
        uint8_t c = in[consumed++];
        if (c == '=') {
            stream->WritePhase = 0;
            stream->WriteHeld = 0;
            continue;
        }
        uint8_t v = kDecode.Value[c];
        if (v == kInvalid) continue;
        switch (stream->WritePhase) {
        case 0:
            stream->WriteHeld = v;
            break;
        case 1:
            decoded[fill++] = (uint8_t)(stream->WriteHeld << 2 | v >> 4);
            stream->WriteHeld = v & 0x0F;
            break;
        case 2:
            decoded[fill++] = (uint8_t)(stream->WriteHeld << 4 | v >> 2);
            stream->WriteHeld = v & 0x03;
            break;
        default:
            decoded[fill++] = (uint8_t)(stream->WriteHeld << 6 | v);
            break;
        }
        stream->WritePhase = (stream->WritePhase + 1) & 3;
    }
    if (fill > 0) {
        uint32_t put = 0;
        if (!Stream_Write(base, decoded, fill, &put) || put < fill) return 0;
    }
    *written = consumed;
    return 1;
}

int64_t Base64Stream_Seek(Base64Stream* stream, int64_t offset, SeekOrigin origin) {
    CLASS_CHECK(stream, BASE64_STREAM_CLASS_ID);
    if (offset != 0 && origin != SEEK_ORIGIN_BEGIN) return 0;
    ResetCoders(stream);
    Stream* base = stream->StreamRecord.BaseStreamHandle;
    if (!base) return 0;
    return Stream_Seek(base, offset, origin);
}

int64_t Base64Stream_Flush(Base64Stream* stream) {
    CLASS_CHECK(stream, BASE64_STREAM_CLASS_ID);
    Stream* base = stream->StreamRecord.BaseStreamHandle;
    if (!base || !Stream_CanWrite(base)) return 0;
    return Stream_Flush(base);
}

int64_t Base64Stream_Tell(Base64Stream* stream, uint64_t* position) {
    ASSERT_POINTER(position);
    *position = 0;
    CLASS_CHECK(stream, BASE64_STREAM_CLASS_ID);
    Stream* base = stream->StreamRecord.BaseStreamHandle;
    return base ? Stream_Tell(base, position) : 0;
}

int64_t Base64Stream_Length(Base64Stream* stream, uint64_t* length) {
    ASSERT_POINTER(length);
    *length = 0;
    CLASS_CHECK(stream, BASE64_STREAM_CLASS_ID);
    Stream* base = stream->StreamRecord.BaseStreamHandle;
    return base ? Stream_Length(base, length) : 0;
}

int64_t Base64Stream_IsOpen(Base64Stream* stream) {
    CLASS_CHECK(stream, BASE64_STREAM_CLASS_ID);
    Stream* base = stream->StreamRecord.BaseStreamHandle;
    return base ? Stream_IsOpen(base) : 0;
}

int64_t Base64Stream_Close(Base64Stream* stream) {
    CLASS_CHECK(stream, BASE64_STREAM_CLASS_ID);
    ResetCoders(stream);
    Stream* base = stream->StreamRecord.BaseStreamHandle;
    return base ? Stream_Close(base) : 0;
}
