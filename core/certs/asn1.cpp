// DER node trees over the caller's buffer for certificates, signed data, key files and the TLS
// handshake, with the INTEGER and SEQUENCE writers the system needs to produce itself.
#include "core/certs/asn1.h"

#include <cstdio>
#include <cstring>

#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/time.h"

namespace {

constexpr uint32_t kTypeBitString = 3;
constexpr uint32_t kTypeInteger = 2;
constexpr uint32_t kTypeOctetString = 4;
constexpr uint32_t kTypeOid = 6;
constexpr uint32_t kTypeSequence = 16;
constexpr uint32_t kTypeUtcTime = 23;
constexpr uint32_t kTypeGeneralizedTime = 24;
constexpr uint32_t kTypeBmpString = 30;
constexpr uint32_t kConstructed = 0x20;
constexpr uint32_t kUnlimitedDepth = 0xFFFFFFFF;
// Longest dotted OID text compared by ASN1_Find; a longer OID never matches.
constexpr int32_t kOidTextSize = 1024;

int64_t DeleteHandle(void** handle) {
    return ASN1_Delete(reinterpret_cast<ASN1**>(handle));
}

bool IsRefusedType(uint32_t type) {
    return type == 13 || type == 14 || type == 15 || type == 29 || type == 31;
}

ASN1* NewNode() {
    ASN1* node = static_cast<ASN1*>(Memory_AllocZero(sizeof(ASN1)));
    node->Header.ClassId = ASN1_CLASS_ID;
    node->Header.RefCount = 1;
    node->Header.Delete = DeleteHandle;
    return node;
}

void AppendChild(ASN1* parent, ASN1* child) {
    if (parent->Tail) parent->Tail->Next = child;
    else parent->Head = child;
    parent->Tail = child;
    parent->Count++;
}

// Recursion is bounded by ASN1_MAX_DEPTH, so hostile nesting fails instead of exhausting the stack.
bool DecodeRangeInt(ASN1* node, const uint8_t* buffer, uint32_t size, uint32_t start, uint32_t length,
                    bool endOfContents, uint32_t* consumed, uint32_t depth) {
    *consumed = 0;
    if (depth > ASN1_MAX_DEPTH) return false;
    // A range without a definite length may run to the end of the buffer.
    uint64_t end = length ? (uint64_t)start + length : size;
    if (end > size) end = size;
    uint64_t pos = start;
    while (pos < size) {
        uint32_t tag = 0;
        uint32_t header = 0;
        const int32_t valueLength = ASN1_DecodeTL(buffer, size, (uint32_t)pos, &tag, &header);
        if (header == 0) return false;
        // A header cut off by the end of the buffer or of the range is malformed, not zero-filled.
        if (pos + header > end) return false;
        const uint8_t* nodePtr = buffer + pos;
        pos += header;
        if (tag == 0 && endOfContents) {
            *consumed = (uint32_t)(pos - start);
            return true;
        }
        if (valueLength < 0 || (uint64_t)valueLength > end - pos) return false;

        ASN1* child = NewNode();
        child->NodePtr = nodePtr;
        child->Tag = tag;
        child->ValueSize = valueLength;
        child->ValuePtr = buffer + pos;
        AppendChild(node, child);

        if (tag & kConstructed) {
            uint32_t used = 0;
            // Only the length octet 0x80 leaves the length open; a definite length of 0 is an empty
            // element that ends where it starts.
            const bool indefinite = valueLength == 0 && nodePtr[header - 1] == 0x80;
            if (valueLength > 0) {
                if (!DecodeRangeInt(child, buffer, size, (uint32_t)pos, (uint32_t)valueLength, false, &used,
                                    depth + 1)) {
                    ASN1_Reset(node);
                    return false;
                }
                // A definite length is trusted for the position, so that an ignored trailing byte
                // is never read again as an element of this level.
                child->ValueSize = (int32_t)used;
                pos += (uint32_t)valueLength;
            } else if (indefinite) {
                // No room left for the end-of-contents octets fails as well.
                if (pos >= end || !DecodeRangeInt(child, buffer, size, (uint32_t)pos, (uint32_t)(end - pos), true,
                                                  &used, depth + 1)) {
                    ASN1_Reset(node);
                    return false;
                }
                child->ValueSize = (int32_t)used;
                pos += used;
            }
        } else {
            const uint32_t type = tag & 31;
            if ((type == kTypeBitString || type == kTypeOctetString) && valueLength > 0) {
                // Strings often wrap nested DER (extensions, key files); the contents are their own
                // buffer, so the inner decoding can never leave them. Its failure is not an error.
                uint32_t used = 0;
                DecodeRangeInt(child, child->ValuePtr, (uint32_t)valueLength, 0, (uint32_t)valueLength, false,
                               &used, depth + 1);
            }
            pos += (uint32_t)valueLength;
        }
        if ((int64_t)pos >= (int64_t)start + (int64_t)length - 1) {
            *consumed = (uint32_t)(pos - start);
            return true;
        }
    }
    return false;
}

void Append(char* text, int32_t size, int32_t* used, const char* piece) {
    for (const char* p = piece; *p && *used < size - 1; p++) text[(*used)++] = *p;
    if (size > 0) text[*used] = 0;
}

bool ReadDigits(const uint8_t* p, int32_t* value) {
    if (p[0] < '0' || p[0] > '9' || p[1] < '0' || p[1] > '9') return false;
    *value = (p[0] - '0') * 10 + (p[1] - '0');
    return true;
}

// Appends one code point as UTF-8 when it fits with the terminator; false when it does not.
bool AppendUtf8(char* text, int32_t size, int32_t* used, uint32_t cp) {
    char bytes[4];
    int32_t n;
    if (cp < 0x80) {
        bytes[0] = (char)cp;
        n = 1;
    } else if (cp < 0x800) {
        bytes[0] = (char)(0xC0 | (cp >> 6));
        bytes[1] = (char)(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        bytes[0] = (char)(0xE0 | (cp >> 12));
        bytes[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
        bytes[2] = (char)(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        bytes[0] = (char)(0xF0 | (cp >> 18));
        bytes[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
        bytes[2] = (char)(0x80 | ((cp >> 6) & 0x3F));
        bytes[3] = (char)(0x80 | (cp & 0x3F));
        n = 4;
    }
    if (*used + n > size - 1) return false;
    memcpy(text + *used, bytes, (size_t)n);
    *used += n;
    text[*used] = 0;
    return true;
}

bool FindInt(ASN1* node, const char* oid, uint32_t depth, ASN1** out) {
    if (node->NodePtr && (node->Tag & 31) == kTypeOid) {
        char text[kOidTextSize];
        if (ASN1_ParseOid(node, text, kOidTextSize) && strlen(text) < (size_t)kOidTextSize - 1 &&
            strcmp(text, oid) == 0)
            return true;
    }
    if (depth != kUnlimitedDepth && depth < 1) return false;
    const uint32_t next = depth == kUnlimitedDepth ? depth : depth - 1;
    for (ASN1* child = node->Head; child; child = child->Next) {
        ASN1* found = nullptr;
        if (!FindInt(child, oid, next, &found)) continue;
        if (found) {
            *out = found;
            return true;
        }
        if (!child->Next) return false;
        *out = child->Next;
        return true;
    }
    return false;
}

// Bytes of the shortest DER header for a content length: identifier, length octet, length bytes.
uint32_t HeaderSize(uint32_t length) {
    uint32_t n = 0;
    if (length >= 128)
        for (uint32_t v = length; v; v >>= 8) n++;
    return 2 + n;
}

void WriteHeader(uint8_t* out, uint8_t identifier, uint32_t length) {
    out[0] = identifier;
    if (length < 128) {
        out[1] = (uint8_t)length;
        return;
    }
    const uint32_t n = HeaderSize(length) - 2;
    out[1] = (uint8_t)(0x80 + n);
    for (uint32_t i = 0; i < n; i++) out[2 + i] = (uint8_t)(length >> (8 * (n - 1 - i)));
}

} // namespace

int64_t ASN1_Create(ASN1** handle) {
    ASSERT_POINTER(handle);
    *handle = NewNode();
    return 1;
}

int64_t ASN1_Delete(ASN1** handle) {
    ASSERT_POINTER(handle);
    ASN1* node = *handle;
    CLASS_CHECK(node, ASN1_CLASS_ID);
    ASN1_Reset(node);
    node->Header.ClassId = 0;
    Memory_Free(node, sizeof(ASN1));
    *handle = nullptr;
    return 1;
}

int64_t ASN1_AddRef(ASN1* node) {
    CLASS_CHECK(node, ASN1_CLASS_ID);
    Class_AddRef(node);
    return 1;
}

int64_t ASN1_Release(ASN1** handle) {
    ASSERT_POINTER(handle);
    if (*handle == nullptr) return 0;
    CLASS_CHECK(*handle, ASN1_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t ASN1_GetInstanceId(ASN1* node, char* buffer, int32_t size) {
    CLASS_CHECK(node, ASN1_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, node->Header.InstanceId, (int32_t)sizeof(node->Header.InstanceId));
    return 1;
}

int64_t ASN1_Reset(ASN1* node) {
    CLASS_CHECK(node, ASN1_CLASS_ID);
    ASN1* child = node->Head;
    node->Head = node->Tail = nullptr;
    node->Count = 0;
    while (child) {
        ASN1* next = child->Next;
        child->Next = nullptr;
        Class_Release(&child);
        child = next;
    }
    return 1;
}

int64_t ASN1_Decode(ASN1* node, const uint8_t* buffer, uint32_t length) {
    CLASS_CHECK(node, ASN1_CLASS_ID);
    if (buffer == nullptr) return 0;
    uint32_t consumed = 0;
    return ASN1_DecodeRange(node, buffer, length, 0, length, 0, &consumed);
}

int64_t ASN1_DecodeRange(ASN1* node, const uint8_t* buffer, uint32_t bufferSize, uint32_t start,
                         uint32_t rangeLength, int32_t endOfContents, uint32_t* consumed) {
    CLASS_CHECK(node, ASN1_CLASS_ID);
    ASSERT_POINTER(consumed);
    *consumed = 0;
    if (buffer == nullptr) return 0;
    return DecodeRangeInt(node, buffer, bufferSize, start, rangeLength, endOfContents != 0, consumed, 0) ? 1 : 0;
}

int32_t ASN1_DecodeTL(const uint8_t* buffer, uint32_t size, uint32_t offset, uint32_t* tag,
                      uint32_t* headerLength) {
    ASSERT_POINTER(tag);
    ASSERT_POINTER(headerLength);
    *tag = 0;
    *headerLength = 0;
    uint64_t p = offset;
    uint32_t number = 0;
    if (p < size) {
        const uint8_t identifier = buffer[p++];
        if ((identifier & 31) != 31) {
            number = identifier;
        } else {
            while (p < size) {
                const uint8_t b = buffer[p++];
                number = (number << 7) | (b & 0x7F);
                if (!(b & 0x80)) break;
            }
        }
        if (IsRefusedType(number & 31)) return 0;
    } else {
        p++;
    }
    const uint8_t first = p < size ? buffer[p] : 0;
    p++;
    int32_t length;
    if (first == 0xFF) {
        length = -1;
    } else if (!(first & 0x80)) {
        length = first;
    } else if (first == 0x80) {
        length = 0;
    } else {
        // Four length octets already reach past any buffer this reader takes (sizes are 32-bit and
        // lengths 31-bit); more are refused rather than cut to their low bytes, as is any length
        // that does not fit 31 bits.
        const uint32_t count = first & 0x7F;
        uint64_t value = 0;
        for (uint32_t i = 0; i < count; i++, p++) value = (value << 8) | (p < size ? buffer[p] : 0);
        length = count > 4 || value > 0x7FFFFFFF ? -1 : (int32_t)value;
    }
    *tag = number;
    *headerLength = (uint32_t)(p - offset);
    return length;
}

ASN1* ASN1_GetElement(ASN1* node, uint32_t index) {
    CLASS_CHECK(node, ASN1_CLASS_ID);
    if ((int32_t)index < 0) index = 0;
    ASN1* child = node->Head;
    for (uint32_t i = 0; child && i < index; i++) child = child->Next;
    return child;
}

int64_t ASN1_GetElementCount(ASN1* node, uint32_t* count) {
    CLASS_CHECK(node, ASN1_CLASS_ID);
    ASSERT_POINTER(count);
    *count = node->Count;
    return 1;
}

int64_t ASN1_Find(ASN1* node, const char* oid, uint32_t depth, ASN1** out) {
    CLASS_CHECK(node, ASN1_CLASS_ID);
    ASSERT_POINTER(oid);
    ASSERT_POINTER(out);
    *out = nullptr;
    return FindInt(node, oid, depth, out) ? 1 : 0;
}

uint32_t ASN1_GetType(ASN1* node) {
    if (node == nullptr) return 0;
    CLASS_CHECK(node, ASN1_CLASS_ID);
    return node->Tag & 31;
}

int64_t ASN1_GetTag(ASN1* node, uint8_t* tag) {
    CLASS_CHECK(node, ASN1_CLASS_ID);
    ASSERT_POINTER(tag);
    *tag = (uint8_t)node->Tag;
    return 1;
}

const uint8_t* ASN1_GetNodePtr(ASN1* node) {
    CLASS_CHECK(node, ASN1_CLASS_ID);
    return node->NodePtr;
}

uint32_t ASN1_GetNodeSize(ASN1* node) {
    CLASS_CHECK(node, ASN1_CLASS_ID);
    if (node->NodePtr == nullptr) return 0;
    return (uint32_t)(node->ValuePtr - node->NodePtr) + (uint32_t)node->ValueSize;
}

const uint8_t* ASN1_GetValuePtr(ASN1* node) {
    CLASS_CHECK(node, ASN1_CLASS_ID);
    return node->ValuePtr;
}

uint32_t ASN1_GetValueSize(ASN1* node) {
    CLASS_CHECK(node, ASN1_CLASS_ID);
    return (uint32_t)node->ValueSize;
}

int64_t ASN1_ParseBigInt(ASN1* node, BigInt* value) {
    CLASS_CHECK(node, ASN1_CLASS_ID);
    CLASS_CHECK(value, BIGINT_CLASS_ID);
    if ((node->Tag & 31) != kTypeInteger) return 0;
    return BigInt_ImportBinary(value, node->ValuePtr, (uint32_t)node->ValueSize);
}

int64_t ASN1_ParseInt32(ASN1* node, uint32_t* value) {
    CLASS_CHECK(node, ASN1_CLASS_ID);
    ASSERT_POINTER(value);
    *value = 0;
    if ((node->Tag & 31) != kTypeInteger || node->ValueSize > 4) return 0;
    uint32_t v = 0;
    for (int32_t i = 0; i < node->ValueSize; i++) v = (v << 8) | node->ValuePtr[i];
    *value = v;
    return 1;
}

int64_t ASN1_ParseOid(ASN1* node, char* text, int32_t size) {
    CLASS_CHECK(node, ASN1_CLASS_ID);
    ASSERT_POINTER(text);
    if (size > 0) text[0] = 0;
    if (node->ValueSize < 1) return 0;
    const uint8_t* v = node->ValuePtr;
    const int32_t n = node->ValueSize;
    int32_t used = 0;
    char piece[32];
    for (int32_t i = 0; i < n;) {
        // A subidentifier is base-128, most significant group first. A leading 0x80 group and a
        // value past 32 bits are refused: either would let one identifier pass for another.
        if (v[i] == 0x80) {
            if (size > 0) text[0] = 0;
            return 0;
        }
        const bool first = i == 0;
        // The first subidentifier joins the first two arcs (40 * arc1 + arc2), so with a first arc
        // of 2 it may be 80 above the 32-bit range of the second arc.
        const uint64_t limit = first ? 0xFFFFFFFFull + 80 : 0xFFFFFFFFull;
        uint64_t arc = 0;
        for (;;) {
            if (i >= n) {
                if (size > 0) text[0] = 0;
                return 0;
            }
            const uint8_t b = v[i++];
            arc = (arc << 7) | (b & 0x7F);
            if (arc > limit) {
                if (size > 0) text[0] = 0;
                return 0;
            }
            if (!(b & 0x80)) break;
        }
        if (first) {
            const uint64_t top = arc < 80 ? arc / 40 : 2;
            snprintf(piece, sizeof(piece), "%u.%u", (unsigned)top, (unsigned)(arc - 40 * top));
        } else {
            snprintf(piece, sizeof(piece), ".%u", (unsigned)arc);
        }
        Append(text, size, &used, piece);
    }
    return 1;
}

int64_t ASN1_ParseString(ASN1* node, char* text, int32_t size) {
    CLASS_CHECK(node, ASN1_CLASS_ID);
    ASSERT_POINTER(text);
    if (size < 1) return 0;
    text[0] = 0;
    const uint32_t type = node->Tag & 31;
    const uint8_t* v = node->ValuePtr;
    const int32_t n = node->ValueSize;
    if (type == 12 || type == 19 || type == 20 || type == 22) {
        const int32_t count = n < size - 1 ? n : size - 1;
        if (count > 0) memcpy(text, v, (size_t)count);
        text[count] = 0;
        return 1;
    }
    if (type != kTypeBmpString) return 0;
    int32_t used = 0;
    for (int32_t i = 0; i + 1 < n; i += 2) {
        uint32_t cp = (uint32_t)(v[i] << 8 | v[i + 1]);
        if (cp >= 0xD800 && cp < 0xDC00 && i + 3 < n) {
            const uint32_t low = (uint32_t)(v[i + 2] << 8 | v[i + 3]);
            if (low >= 0xDC00 && low < 0xE000) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        // A lone surrogate has no UTF-8 form.
        if (cp >= 0xD800 && cp < 0xE000) cp = 0xFFFD;
        if (!AppendUtf8(text, size, &used, cp)) break;
    }
    return 1;
}

int64_t ASN1_ParseUTCTime(ASN1* node, double* time) {
    CLASS_CHECK(node, ASN1_CLASS_ID);
    ASSERT_POINTER(time);
    *time = 0;
    // UTCTime carries two year digits, GeneralizedTime four; the rest is laid out alike.
    const uint32_t type = node->Tag & 31;
    const int32_t yearDigits = type == kTypeUtcTime ? 2 : type == kTypeGeneralizedTime ? 4 : 0;
    if (yearDigits == 0 || node->ValueSize < yearDigits + 4) return 0;
    const uint8_t* v = node->ValuePtr;
    const int32_t n = node->ValueSize - yearDigits;
    int32_t century = 0, year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (yearDigits == 4 && !ReadDigits(v, &century)) return 0;
    v += yearDigits - 2;
    if (!ReadDigits(v, &year) || !ReadDigits(v + 2, &month) || !ReadDigits(v + 4, &day)) return 0;
    if (n >= 6 && !ReadDigits(v + 6, &hour)) return 0;
    if (n >= 8 && !ReadDigits(v + 8, &minute)) return 0;
    if (n >= 10 && !ReadDigits(v + 10, &second)) return 0;
    // Two-digit years 50-99 are the 1900s and 00-49 the 2000s, as certificates use them.
    const uint32_t fullYear = yearDigits == 4 ? (uint32_t)(century * 100 + year)
                                              : (uint32_t)(year >= 50 ? 1900 + year : 2000 + year);
    return Time_GetEncoded(time, hour, minute, second, month, day, fullYear);
}

int64_t ASN1_EncodeBigInt(ASN1* node, BigInt* value, uint8_t* buffer, uint32_t size) {
    if (node) CLASS_CHECK(node, ASN1_CLASS_ID);
    CLASS_CHECK(value, BIGINT_CLASS_ID);
    ASSERT_POINTER(buffer);
    if (size < 2) return 0;
    uint32_t count = 0;
    if (!BigInt_ExportBinary(value, buffer + 2, size - 2, &count)) return 0;
    // INTEGER is two's complement: a magnitude whose top bit is set needs a 0x00 before it, or
    // every reader takes it for a negative number; zero is one 0x00 byte, as DER has no empty
    // INTEGER.
    const uint32_t pad = count == 0 || (buffer[2] & 0x80) ? 1 : 0;
    const uint32_t content = count + pad;
    const uint32_t header = HeaderSize(content);
    if ((uint64_t)header + content > size) return 0;
    memmove(buffer + header + pad, buffer + 2, count);
    if (pad) buffer[header] = 0x00;
    WriteHeader(buffer, 0x02, content);
    if (node == nullptr) return 1;
    ASN1_Reset(node);
    return ASN1_Decode(node, buffer, header + content);
}

int64_t ASN1_EncodeSequenceAddNode(ASN1* node, uint8_t* buffer, int32_t DataSize, const uint8_t* element,
                                   uint32_t elementSize, uint32_t* sequenceLength) {
    if (node) CLASS_CHECK(node, ASN1_CLASS_ID);
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(element);
    ASSERT_POINTER(sequenceLength);
    *sequenceLength = 0;
    ASSERT_MSG(DataSize >= 2, "DataSize is too small");
    const uint32_t size = (uint32_t)DataSize;

    uint32_t elementTag = 0;
    uint32_t elementHeader = 0;
    const int32_t elementLength = ASN1_DecodeTL(element, elementSize, 0, &elementTag, &elementHeader);
    if (elementHeader < 2 || elementLength < 0 || (uint64_t)elementHeader + (uint32_t)elementLength > elementSize)
        return 0;
    const uint32_t elementTotal = elementHeader + (uint32_t)elementLength;

    uint32_t tag = 0;
    uint32_t header = 0;
    const int32_t oldLength = ASN1_DecodeTL(buffer, size, 0, &tag, &header);
    if (header < 2 || oldLength < 0) return 0;
    if (oldLength != 0 ? (tag & 31) != kTypeSequence : (tag & 0x0F) != 0) return 0;
    if ((uint64_t)header + (uint32_t)oldLength > size) return 0;

    // Everything is checked before the first byte moves, so a refusal leaves the buffer as it was.
    const uint64_t newLength = (uint64_t)(uint32_t)oldLength + elementTotal;
    if (newLength > size) return 0;
    const uint32_t newHeader = HeaderSize((uint32_t)newLength);
    if (newHeader + newLength > size) return 0;
    memmove(buffer + newHeader, buffer + header, (size_t)oldLength);
    memmove(buffer + newHeader + oldLength, element, elementTotal);
    WriteHeader(buffer, 0x30, (uint32_t)newLength);
    *sequenceLength = newHeader + (uint32_t)newLength;
    if (node == nullptr) return 1;
    return ASN1_Decode(node, buffer, *sequenceLength);
}
