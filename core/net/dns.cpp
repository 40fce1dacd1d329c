// DNS message object: header, question and resource lists from two pools, the wire encoder with
// name compression, the bounded decoder, the text forms of resource data and the debug print.
#include "core/net/dns.h"

#include <cstring>
#include <span>
#include <string_view>

#include "core/linux/platform.h"
#include "core/runtime/class.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"

struct DNSQuestion {
    DNSQuestion* Next;
    char Name[DNS_NAME_MAX + 1];
    uint16_t Type;
    uint16_t Class;
};

struct DNSResource {
    DNSResource* Next;
    char Name[DNS_NAME_MAX + 1];
    uint16_t Type;
    uint16_t Class;
    uint32_t TTL;
    uint16_t DataLength;
    uint16_t WireLength;
    // One byte beyond the largest data, so that stored data is always terminated.
    uint8_t Data[DNS_DATA_MAX + 1];
};

namespace {

struct ResourceList {
    DNSResource* Head;
    DNSResource* Tail;
    uint32_t Length;
};

} // namespace

struct DNS {
    Class Header;
    Pool* ResourcePool;
    Pool* QuestionPool;
    DNSQuestion* QuestionHead;
    DNSQuestion* QuestionTail;
    uint32_t QuestionLength;
    ResourceList Answers;
    ResourceList NameServers;
    ResourceList Additional;
    uint16_t ID;
    uint8_t QR, Opcode, AA, TC, RD, RA, Z, RCODE;
    uint16_t QDCount, ANCount, NSCount, ARCount;
};

namespace {

constexpr uint32_t kPoolChunk = 50;
// A compression pointer holds a 14-bit offset.
constexpr int32_t kPointerReach = 0x4000;
// RFC 1035 keeps labels to 63 bytes: the top two bits of a length byte mark pointers (11) and
// forms no reader knows (01, 10), so a longer label would not read back.
constexpr int32_t kLabelMax = 63;
// Wire form of the longest name text: one length byte more than the text, and the root byte.
constexpr int32_t kEncodedNameMax = DNS_NAME_MAX + 2;

struct StringTableEntry {
    int32_t Value;
    const char* Name;
};

constexpr StringTableEntry DNS_ResourceTypeStringTable[] = {
    {0, "Unknown"}, {1, "A"},     {2, "NS"},     {3, "MD"},    {4, "MF"},     {5, "CNAME"}, {6, "SOA"},
    {7, "MB"},      {8, "MG"},    {9, "MR"},     {10, "NULL"}, {11, "WKS"},   {12, "PTR"},  {13, "HINFO"},
    {14, "MINFO"},  {15, "MX"},   {16, "TXT"},   {29, "LOC"},  {33, "SRV"},   {255, "ANY"},
};
constexpr StringTableEntry DNS_QuestionTypeStringTable[] = {
    {0, "Unknown"}, {1, "A"},      {2, "NS"},     {3, "MD"},    {4, "MF"},     {5, "CNAME"},
    {6, "SOA"},     {7, "MB"},     {8, "MG"},     {9, "MR"},    {10, "NULL"},  {11, "WKS"},
    {12, "PTR"},    {13, "HINFO"}, {14, "MINFO"}, {15, "MX"},   {16, "TXT"},   {29, "LOC"},
    {33, "SRV"},    {252, "AXFR"}, {253, "MAILB"}, {254, "MAILA"}, {255, "*"},
};
constexpr StringTableEntry DNS_ResourceClassStringTable[] = {
    {0, "Unknown"}, {1, "IN"}, {2, "CS"}, {3, "CH"}, {4, "HS"},
};
constexpr StringTableEntry DNS_QuestionClassStringTable[] = {
    {0, "Unknown"}, {1, "IN"}, {2, "CS"}, {3, "CH"}, {4, "HS"}, {255, "*"},
};
constexpr StringTableEntry DNS_HeaderQRStringTable[] = {{-1, "Unknown"}, {0, "Query"}, {1, "Response"}};
constexpr StringTableEntry DNS_HeaderOpcodeStringTable[] = {
    {-1, "Unknown"}, {0, "Query"}, {1, "Inverse Query"}, {2, "Status"}};
constexpr StringTableEntry DNS_HeaderAAStringTable[] = {{-1, "Unknown"}, {0, "Normal"}, {1, "Authoritative"}};
constexpr StringTableEntry DNS_HeaderTCStringTable[] = {{-1, "Unknown"}, {0, "Whole"}, {1, "Truncated"}};
constexpr StringTableEntry DNS_HeaderRDStringTable[] = {{-1, "Unknown"}, {0, "No Recursion"}, {1, "Recursion"}};
constexpr StringTableEntry DNS_HeaderRAStringTable[] = {
    {-1, "Unknown"}, {0, "Recursion Not Available"}, {1, "Recursion Available"}};
constexpr StringTableEntry DNS_HeaderRCODEStringTable[] = {
    {-1, "Reserved"}, {0, "No Error"},       {1, "Format Error"}, {2, "Server Failure"},
    {3, "Name Error"}, {4, "Not Implemented"}, {5, "Refused"}};

// The first entry of each table names the value that is not listed.
const char* Translate(std::span<const StringTableEntry> table, int32_t value) {
    for (const StringTableEntry& entry : table)
        if (entry.Value == value) return entry.Name;
    return table[0].Name;
}

// A failed name decode leaves the labels read so far, terminated in place of the last '.'.
int64_t Unfinished(char* buffer, int32_t size, int32_t used) {
    if (size > 0) buffer[used > 0 ? used - 1 : 0] = 0;
    return 0;
}

int64_t DeleteHandle(void** handle) {
    return DNS_Delete(reinterpret_cast<DNS**>(handle));
}

uint16_t Read16(const uint8_t* p) {
    return (uint16_t)(p[0] << 8 | p[1]);
}
uint32_t Read32(const uint8_t* p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}
void Write16(uint8_t* p, uint16_t v) {
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}
void Write32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

uint8_t Lower(uint8_t c) {
    return (c >= 'A' && c <= 'Z') ? (uint8_t)(c + 32) : c;
}

// Work done looking for names to point at (hash steps, probes, bytes compared).
thread_local uint64_t CompressionWork = 0;

// Whether the encoded name suffix `s` (labels ending in a 0 byte or a pointer) is spelled at
// message[at, end): length bytes and pointers exactly, label letters without case.
bool SuffixAt(const uint8_t* message, int32_t at, int32_t end, const uint8_t* s) {
    int32_t i = 0;
    for (;;) {
        const uint8_t b = s[i];
        CompressionWork += 1 + (b <= kLabelMax ? b : 0);
        if (at + i >= end) return false;
        if (b == 0) return message[at + i] == 0;
        if (b >= 0xC0) return at + i + 1 < end && message[at + i] == b && message[at + i + 1] == s[i + 1];
        if (message[at + i] != b || at + i + 1 + b > end) return false;
        for (int32_t k = 1; k <= b; k++)
            if (Lower(message[at + i + k]) != Lower(s[i + k])) return false;
        i += 1 + b;
    }
}

// The name's labels (length byte and characters) ending in the root byte. A trailing '.' is
// dropped; an empty or over-long label inside the name is refused, since it would end the name
// early or read back as a pointer.
int32_t SplitLabels(const char* name, uint8_t* out) {
    size_t length = strnlen(name, DNS_NAME_MAX + 1);
    if (length > (size_t)DNS_NAME_MAX) return -1;
    std::string_view text(name, length);
    if (!text.empty() && text.back() == '.') text.remove_suffix(1);
    int32_t used = 0;
    while (!text.empty()) {
        const size_t dot = text.find('.');
        const std::string_view label = text.substr(0, dot);
        if (label.empty() || label.size() > (size_t)kLabelMax) return -1;
        out[used++] = (uint8_t)label.size();
        memcpy(out + used, label.data(), label.size());
        used += (int32_t)label.size();
        if (dot == std::string_view::npos) break;
        text.remove_prefix(dot + 1);
        if (text.empty()) return -1;
    }
    out[used++] = 0;
    return used;
}

// Hashes of spelled name suffixes, letters folded: the end of a name (its 0 byte or its two
// pointer bytes), then one label in front of what follows it.
uint64_t Mix(uint64_t h) {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    return h ^ (h >> 33);
}

uint64_t EndHash(const uint8_t* p) {
    CompressionWork++;
    return Mix(p[0] == 0 ? 1 : 0x20000u | (uint32_t)p[0] << 8 | p[1]);
}

uint64_t LabelHash(uint64_t next, const uint8_t* label) {
    uint64_t h = next ^ ((uint64_t)label[0] << 56);
    for (int32_t k = 1; k <= label[0]; k++) h = (h ^ Lower(label[k])) * 0x100000001B3ull;
    CompressionWork += 1 + label[0];
    return Mix(h);
}

// The offsets a pointer may take, each under the hash of the name suffix spelled there, so that
// compression looks each suffix up instead of searching the message: encoding stays linear in
// the message. Only the first offset of a spelling is kept (the lowest, as offsets are added in
// rising order); a hash shared by two spellings only costs the second one its pointer, since a
// lookup always compares the bytes.
struct NameIndex {
    struct Entry {
        uint64_t Key;
        int32_t Offset; // offset + 1; 0 marks a free slot
    };
    Entry* Slots = nullptr;
    uint32_t Capacity = 0; // a power of two
    uint32_t Used = 0;

    NameIndex() = default;
    NameIndex(const NameIndex&) = delete;
    NameIndex& operator=(const NameIndex&) = delete;
    ~NameIndex() {
        if (Slots) Memory_Free(Slots, sizeof(Entry) * Capacity);
    }

    Entry* Slot(uint64_t key) {
        for (uint32_t i = (uint32_t)key & (Capacity - 1);; i = (i + 1) & (Capacity - 1)) {
            CompressionWork++;
            if (Slots[i].Offset == 0 || Slots[i].Key == key) return &Slots[i];
        }
    }

    void Add(uint64_t key, int32_t offset) {
        // A pointer holds 14 bits: later names are simply written in full.
        if (offset >= kPointerReach) return;
        if (2 * (Used + 1) > Capacity) {
            Entry* old = Slots;
            const uint32_t oldCapacity = Capacity;
            Capacity = Capacity ? 2 * Capacity : 64;
            Slots = static_cast<Entry*>(Memory_AllocZero(sizeof(Entry) * Capacity));
            for (uint32_t i = 0; i < oldCapacity; i++)
                if (old[i].Offset) *Slot(old[i].Key) = old[i];
            if (old) Memory_Free(old, sizeof(Entry) * oldCapacity);
        }
        Entry* e = Slot(key);
        if (e->Offset) return;
        e->Key = key;
        e->Offset = offset + 1;
        Used++;
    }

    // Where the suffix s is spelled in message[0, end), or -1.
    int32_t Find(uint64_t key, const uint8_t* message, int32_t end, const uint8_t* s) {
        if (!Slots) return -1;
        const Entry* e = Slot(key);
        if (!e->Offset || !SuffixAt(message, e->Offset - 1, end, s)) return -1;
        return e->Offset - 1;
    }
};

// Start of each label of an encoded name and the hash of the suffix from there; the count.
int32_t SuffixHashes(const uint8_t* encoded, int32_t used, int32_t* starts, uint64_t* hashes) {
    int32_t count = 0;
    int32_t i = 0;
    while (i < used && encoded[i] != 0 && encoded[i] <= kLabelMax) {
        starts[count++] = i;
        i += 1 + encoded[i];
    }
    uint64_t h = EndHash(encoded + i);
    for (int32_t k = count - 1; k >= 0; k--) hashes[k] = h = LabelHash(h, encoded + starts[k]);
    return count;
}

// Labels in a name: each takes at least two bytes of its wire form.
constexpr int32_t kLabelsMax = kEncodedNameMax / 2;

// Replaces the longest suffix found in message[0, position) by a pointer, repeating until a pass
// changes nothing (a longer suffix may end in the pointer just made); each change shortens the
// name, so the passes end.
int32_t Compress(uint8_t* encoded, int32_t used, const uint8_t* message, int32_t position, NameIndex* index) {
    int32_t starts[kLabelsMax];
    uint64_t hashes[kLabelsMax];
    for (bool changed = true; changed;) {
        changed = false;
        const int32_t count = SuffixHashes(encoded, used, starts, hashes);
        for (int32_t k = 0; k < count; k++) {
            const int32_t at = index->Find(hashes[k], message, position, encoded + starts[k]);
            if (at < 0) continue;
            encoded[starts[k]] = (uint8_t)(0xC0 | at >> 8);
            encoded[starts[k] + 1] = (uint8_t)(at & 0xFF);
            used = starts[k] + 2;
            changed = true;
            break;
        }
    }
    return used;
}

// Every name suffix spelled in message[0, end), found from the back: a label is a name when
// what follows it is one.
void IndexMessage(NameIndex* index, const uint8_t* message, int32_t end) {
    // A suffix that may be pointed at starts below the pointer's reach and is no longer than a name.
    if (end > kPointerReach + kEncodedNameMax) end = kPointerReach + kEncodedNameMax;
    if (end <= 0) return;
    uint64_t* hashes = static_cast<uint64_t*>(Memory_Alloc(sizeof(uint64_t) * (size_t)end));
    uint8_t* spelled = static_cast<uint8_t*>(Memory_AllocZero((size_t)end));
    for (int32_t at = end - 1; at >= 0; at--) {
        const uint8_t b = message[at];
        if (b == 0 || (b > kLabelMax && at + 1 < end)) {
            hashes[at] = EndHash(message + at);
            spelled[at] = 1;
        } else if (b <= kLabelMax && at + 1 + b < end && spelled[at + 1 + b]) {
            hashes[at] = LabelHash(hashes[at + 1 + b], message + at);
            spelled[at] = 2;
        }
    }
    const int32_t reach = end < kPointerReach ? end : kPointerReach;
    for (int32_t at = 0; at < reach; at++)
        if (spelled[at] == 2) index->Add(hashes[at], at);
    Memory_Free(spelled, (size_t)end);
    Memory_Free(hashes, sizeof(uint64_t) * (size_t)end);
}

// Names just written at message[position] become suffixes that later names may point at.
void IndexName(NameIndex* index, const uint8_t* encoded, int32_t used, int32_t position) {
    int32_t starts[kLabelsMax];
    uint64_t hashes[kLabelsMax];
    const int32_t count = SuffixHashes(encoded, used, starts, hashes);
    for (int32_t k = 0; k < count; k++) index->Add(hashes[k], position + starts[k]);
}

// Writes the name at message[position], compressed against the suffixes of the index, which it
// then joins.
int64_t EncodeName(const char* name, uint8_t* message, int32_t size, int32_t position, int32_t* length,
                   NameIndex* index) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(message);
    ASSERT_POINTER(length);
    *length = 0;
    if (position < 0 || position >= size) {
        Log_Debug("Invalid position %d (max %d)\n", position, size);
        return 0;
    }
    uint8_t encoded[kEncodedNameMax];
    int32_t used = SplitLabels(name, encoded);
    if (used < 0) return 0;
    used = Compress(encoded, used, message, position, index);
    if (used > size - position) return 0;
    memcpy(message + position, encoded, (size_t)used);
    IndexName(index, encoded, used, position);
    *length = used;
    return 1;
}

// The terminated text at the start of stored data: its length, or -1 without a terminator.
int32_t StoredText(const uint8_t* data, int32_t length) {
    const void* end = memchr(data, 0, (size_t)length);
    return end ? (int32_t)(static_cast<const uint8_t*>(end) - data) : -1;
}

DNSResource* NewResource(DNS* dns) {
    DNSResource* r = static_cast<DNSResource*>(Pool_Alloc(dns->ResourcePool, sizeof(DNSResource)));
    memset(r, 0, sizeof(DNSResource));
    return r;
}

void Append(ResourceList* list, DNSResource* r) {
    if (list->Tail)
        list->Tail->Next = r;
    else
        list->Head = r;
    list->Tail = r;
    list->Length++;
}

DNSQuestion* AppendQuestion(DNS* dns) {
    DNSQuestion* q = static_cast<DNSQuestion*>(Pool_Alloc(dns->QuestionPool, sizeof(DNSQuestion)));
    memset(q, 0, sizeof(DNSQuestion));
    if (dns->QuestionTail)
        dns->QuestionTail->Next = q;
    else
        dns->QuestionHead = q;
    dns->QuestionTail = q;
    dns->QuestionLength++;
    return q;
}

int64_t AddResource(DNS* dns, ResourceList* list, uint16_t* count, DNSResource** resource) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(resource);
    *resource = NewResource(dns);
    Append(list, *resource);
    (*count)++;
    return 1;
}

int64_t GetNextResource(DNS* dns, DNSResource* resource, DNSResource** next) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(resource);
    ASSERT_POINTER(next);
    *next = resource->Next;
    return *next != nullptr;
}

int64_t GetFirstResource(DNS* dns, const ResourceList* list, DNSResource** first) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(first);
    *first = list->Head;
    return *first != nullptr;
}

int64_t CopyName(char* buffer, int32_t size, const char* name) {
    ASSERT_POINTER(buffer);
    if (size < 1) return 0;
    const int32_t length = (int32_t)strlen(name);
    String_CopyLengthSafe(buffer, size, name, length);
    return length < size;
}

int64_t StoreName(char* target, const char* name) {
    ASSERT_POINTER(name);
    const size_t length = strnlen(name, DNS_NAME_MAX + 1);
    if (length > (size_t)DNS_NAME_MAX) return 0;
    memcpy(target, name, length);
    target[length] = 0;
    return 1;
}

// Hex bytes "%.2X " while a whole one and the terminator fit.
void HexForm(char* buffer, int32_t size, const uint8_t* data, int32_t length) {
    buffer[0] = 0;
    if (size < 5) return;
    int32_t used = 0;
    for (int32_t i = 0; i < length && size - used >= 4; i++)
        used += String_Print(buffer + used, size - used, "%.2X ", data[i]);
}

// Centimetres from a LOC size or precision byte: mantissa and power of ten, each modulo 10.
uint64_t LocCentimetres(uint8_t b) {
    uint64_t value = (uint64_t)((b >> 4) % 10);
    for (int32_t e = (b & 15) % 10; e > 0; e--) value *= 10;
    return value;
}

int32_t FormatLoc(char* out, int32_t size, const uint8_t* data) {
    char metres[3][32];
    for (int32_t i = 0; i < 3; i++) {
        const uint64_t cm = LocCentimetres(data[1 + i]);
        String_Print(metres[i], sizeof(metres[i]), "%d.%.2d", (int32_t)(cm / 100), (int32_t)(cm % 100));
    }
    const double lat = ((double)Read32(data + 4) - 2147483648.0) / 3600000.0;
    const double lon = ((double)Read32(data + 8) - 2147483648.0) / 3600000.0;
    const int64_t alt = (int64_t)Read32(data + 12) - 10000000;
    const int64_t magnitude = alt < 0 ? -alt : alt;
    int32_t used = String_Print(out, size,
                                "VERSION=%d, "
                                "SIZE=%s, "
                                "HORIZ PRE=%s, "
                                "VERT PRE=%s, "
                                "LAT=%.4f, "
                                "LONG=%.4f, ",
                                data[0], metres[0], metres[1], metres[2], lat, lon);
    // Below the base the sign is written apart, since the whole metres may be 0.
    used += String_Print(out + used, size - used, alt < 0 ? "ALT=-%d.%.2dm" : "ALT=%d.%.2dm",
                         (int32_t)(magnitude / 100), (int32_t)(magnitude % 100));
    return used;
}

int64_t EncodeFixed(uint8_t* message, int32_t size, int32_t position, const uint8_t* bytes, int32_t count) {
    if (position < 0 || count > size - position) return 0;
    memcpy(message + position, bytes, (size_t)count);
    return 1;
}

// The RDATA of a resource from its stored form, written at message[position].
int64_t EncodeRData(const DNSResource* r, uint8_t* message, int32_t size, int32_t position, int32_t* length,
                    NameIndex* index) {
    *length = 0;
    const uint8_t* data = r->Data;
    const int32_t stored = r->DataLength;
    switch (r->Type) {
    case DNS_TYPE_NS:
    case DNS_TYPE_CNAME:
    case DNS_TYPE_PTR:
        return EncodeName(reinterpret_cast<const char*>(data), message, size, position, length, index);
    case DNS_TYPE_MX: {
        if (stored < 2 || !EncodeFixed(message, size, position, data, 2)) return 0;
        int32_t name = 0;
        if (!EncodeName(reinterpret_cast<const char*>(data + 2), message, size, position + 2, &name, index)) return 0;
        *length = 2 + name;
        return 1;
    }
    case DNS_TYPE_SOA: {
        // The stored form holds the names as text and the numbers in host order; the wire wants
        // both names encoded and the numbers big-endian.
        const int32_t mname = StoredText(data, stored);
        if (mname < 0) return 0;
        const int32_t rname = StoredText(data + mname + 1, stored - mname - 1);
        if (rname < 0 || stored - mname - rname - 2 < 20) return 0;
        int32_t used = 0, part = 0;
        if (!EncodeName(reinterpret_cast<const char*>(data), message, size, position, &part, index)) return 0;
        used += part;
        if (!EncodeName(reinterpret_cast<const char*>(data + mname + 1), message, size, position + used, &part,
                        index))
            return 0;
        used += part;
        uint8_t numbers[20];
        for (int32_t i = 0; i < 5; i++) {
            uint32_t v;
            memcpy(&v, data + mname + rname + 2 + 4 * i, 4);
            Write32(numbers + 4 * i, v);
        }
        if (!EncodeFixed(message, size, position + used, numbers, 20)) return 0;
        *length = used + 20;
        return 1;
    }
    default:
        if (!EncodeFixed(message, size, position, data, stored)) return 0;
        *length = stored;
        return 1;
    }
}

// Stores a name from inside RDATA; it must end within the RDATA.
int64_t DecodeDataName(char* text, const uint8_t* message, int32_t length, int32_t position, int32_t end,
                       int32_t* consumed) {
    if (!DNS_DecodeString(text, DNS_NAME_MAX + 1, message, length, position, consumed)) return 0;
    return position + *consumed <= end;
}

int64_t StoreData(DNSResource* r, const uint8_t* bytes, int32_t count) {
    if (count >= DNS_DATA_MAX) {
        Log_Debug("Out Resource length too big (%d > %d)\n", count, DNS_DATA_MAX);
        return 0;
    }
    memcpy(r->Data, bytes, (size_t)count);
    r->Data[count] = 0;
    r->DataLength = (uint16_t)count;
    return 1;
}

int64_t DecodeRData(DNSResource* r, const uint8_t* message, int32_t length, int32_t start, int32_t rdlength) {
    const int32_t end = start + rdlength;
    // Room for the largest stored forms, so that an over-long one is reported rather than cut.
    uint8_t stored[2 * (DNS_NAME_MAX + 1) + 20];
    int32_t used = 0;
    switch (r->Type) {
    case DNS_TYPE_NS:
    case DNS_TYPE_CNAME:
    case DNS_TYPE_PTR: {
        int32_t consumed = 0;
        if (!DecodeDataName(reinterpret_cast<char*>(stored), message, length, start, end, &consumed)) return 0;
        used = (int32_t)strlen(reinterpret_cast<char*>(stored)) + 1;
        break;
    }
    case DNS_TYPE_MX: {
        int32_t consumed = 0;
        if (rdlength < 2) return 0;
        memcpy(stored, message + start, 2);
        if (!DecodeDataName(reinterpret_cast<char*>(stored + 2), message, length, start + 2, end, &consumed))
            return 0;
        used = 2 + (int32_t)strlen(reinterpret_cast<char*>(stored + 2)) + 1;
        break;
    }
    case DNS_TYPE_SOA: {
        int32_t first = 0, second = 0;
        if (!DecodeDataName(reinterpret_cast<char*>(stored), message, length, start, end, &first)) return 0;
        used = (int32_t)strlen(reinterpret_cast<char*>(stored)) + 1;
        if (!DecodeDataName(reinterpret_cast<char*>(stored + used), message, length, start + first, end, &second))
            return 0;
        used += (int32_t)strlen(reinterpret_cast<char*>(stored + used)) + 1;
        const int32_t numbers = start + first + second;
        if (end - numbers < 20) return 0;
        for (int32_t i = 0; i < 5; i++) {
            const uint32_t v = Read32(message + numbers + 4 * i);
            memcpy(stored + used + 4 * i, &v, 4);
        }
        used += 20;
        break;
    }
    default:
        return StoreData(r, message + start, rdlength);
    }
    return StoreData(r, stored, used);
}

int64_t DecodeQuestion(DNSQuestion* q, const uint8_t* message, int32_t length, int32_t position, int32_t* consumed) {
    int32_t name = 0;
    if (!DNS_DecodeString(q->Name, sizeof(q->Name), message, length, position, &name)) return 0;
    const int32_t p = position + name;
    if (length - p < 4) return 0;
    q->Type = Read16(message + p);
    q->Class = Read16(message + p + 2);
    *consumed = name + 4;
    return 1;
}

int64_t DecodeList(DNS* dns, ResourceList* list, uint16_t count, const char* format, const uint8_t* message,
                   int32_t length, int32_t* position) {
    for (int32_t i = 0; i < count; i++) {
        DNSResource* r = NewResource(dns);
        Append(list, r);
        int32_t consumed = 0;
        if (!DNS_DecodeResource(dns, r, message, length, *position, &consumed)) {
            Log_Debug(format, i, length);
            return 0;
        }
        *position += consumed;
    }
    return 1;
}

// RDLENGTH is written once the RDATA is, so RDATA names are compressed only against the names
// of the index, never against those two bytes.
int64_t EncodeResource(DNSResource* resource, uint8_t* message, int32_t size, int32_t position, int32_t* length,
                       NameIndex* index) {
    *length = 0;
    int32_t used = 0;
    if (!EncodeName(resource->Name, message, size, position, &used, index)) return 0;
    uint8_t fixed[10];
    Write16(fixed, resource->Type);
    Write16(fixed + 2, resource->Class);
    Write32(fixed + 4, resource->TTL);
    if (!EncodeFixed(message, size, position + used, fixed, 8) || size - position - used - 8 < 2) return 0;
    const int32_t rdlength = position + used + 8;
    int32_t rdata = 0;
    if (!EncodeRData(resource, message, size, rdlength + 2, &rdata, index) || rdata > 0xFFFF) return 0;
    Write16(message + rdlength, (uint16_t)rdata);
    resource->WireLength = (uint16_t)rdata;
    *length = used + 10 + rdata;
    return 1;
}

int64_t EncodeList(const ResourceList* list, const char* format, uint8_t* buffer, int32_t size, int32_t* position,
                   NameIndex* names) {
    int32_t index = 0;
    for (DNSResource* r = list->Head; r; r = r->Next, index++) {
        int32_t written = 0;
        if (!EncodeResource(r, buffer, size, *position, &written, names)) {
            Log_Debug(format, index, size);
            return 0;
        }
        *position += written;
    }
    return 1;
}

void PrintList(DNS* dns, const ResourceList* list, const char* title) {
    int32_t number = 1;
    for (DNSResource* r = list->Head; r; r = r->Next, number++) {
        Log_Debug(title, number);
        DNS_PrintResource(dns, r);
    }
}

} // namespace

int64_t DNS_Create(DNS** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    DNS* dns = static_cast<DNS*>(Memory_AllocZero(sizeof(DNS)));
    dns->Header.ClassId = DNS_CLASS_ID;
    dns->Header.RefCount = 1;
    dns->Header.Delete = DeleteHandle;
    Pool_Create(&dns->ResourcePool);
    Pool_SetMemorySize(dns->ResourcePool, sizeof(DNSResource));
    Pool_SetChunkSize(dns->ResourcePool, kPoolChunk);
    Pool_Create(&dns->QuestionPool);
    Pool_SetMemorySize(dns->QuestionPool, sizeof(DNSQuestion));
    Pool_SetChunkSize(dns->QuestionPool, kPoolChunk);
    DNS_Reset(dns);
    *handle = dns;
    return 1;
}

int64_t DNS_Delete(DNS** handle) {
    ASSERT_POINTER(handle);
    DNS* dns = *handle;
    CLASS_CHECK(dns, DNS_CLASS_ID);
    DNS_Reset(dns);
    Pool_Delete(&dns->ResourcePool);
    Pool_Delete(&dns->QuestionPool);
    dns->Header.ClassId = 0;
    Memory_Free(dns, sizeof(DNS));
    *handle = nullptr;
    return 1;
}

int64_t DNS_AddRef(DNS* dns) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    Class_AddRef(dns);
    return 1;
}

int64_t DNS_Release(DNS** handle) {
    ASSERT_POINTER(handle);
    if (*handle == nullptr) return 0;
    CLASS_CHECK(*handle, DNS_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t DNS_GetInstanceId(DNS* dns, char* buffer, int32_t size) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, dns->Header.InstanceId, (int32_t)sizeof(dns->Header.InstanceId));
    return 1;
}

int64_t DNS_Reset(DNS* dns) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    uint8_t id[2];
    Platform_CryptFill(id, sizeof(id));
    dns->ID = Read16(id);
    Pool_Reset(dns->ResourcePool);
    Pool_Reset(dns->QuestionPool);
    dns->QuestionHead = dns->QuestionTail = nullptr;
    dns->QuestionLength = 0;
    dns->Answers = dns->NameServers = dns->Additional = ResourceList{};
    // The counts describe the lists; left standing they would announce records that are gone.
    dns->QDCount = dns->ANCount = dns->NSCount = dns->ARCount = 0;
    return 1;
}

#define DNS_HEADER_FIELD(Name, Type)                   \
    int64_t DNS_HeaderSet##Name(DNS* dns, Type value) { \
        CLASS_CHECK(dns, DNS_CLASS_ID);                 \
        dns->Name = value;                              \
        return 1;                                       \
    }                                                   \
    Type DNS_HeaderGet##Name(DNS* dns) {                \
        CLASS_CHECK(dns, DNS_CLASS_ID);                 \
        return dns->Name;                               \
    }
DNS_HEADER_FIELD(ID, uint16_t)
DNS_HEADER_FIELD(QR, uint8_t)
DNS_HEADER_FIELD(Opcode, uint8_t)
DNS_HEADER_FIELD(AA, uint8_t)
DNS_HEADER_FIELD(TC, uint8_t)
DNS_HEADER_FIELD(RD, uint8_t)
DNS_HEADER_FIELD(RA, uint8_t)
DNS_HEADER_FIELD(Z, uint8_t)
DNS_HEADER_FIELD(RCODE, uint8_t)
#undef DNS_HEADER_FIELD

uint16_t DNS_HeaderGetQDCount(DNS* dns) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    return dns->QDCount;
}
uint16_t DNS_HeaderGetANCount(DNS* dns) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    return dns->ANCount;
}
uint16_t DNS_HeaderGetNSCount(DNS* dns) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    return dns->NSCount;
}
uint16_t DNS_HeaderGetARCount(DNS* dns) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    return dns->ARCount;
}

int64_t DNS_QuestionAdd(DNS* dns, DNSQuestion** question) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(question);
    *question = AppendQuestion(dns);
    dns->QDCount++;
    return 1;
}
int64_t DNS_AnswerAdd(DNS* dns, DNSResource** resource) {
    return AddResource(dns, &dns->Answers, &dns->ANCount, resource);
}
int64_t DNS_NameServerAdd(DNS* dns, DNSResource** resource) {
    return AddResource(dns, &dns->NameServers, &dns->NSCount, resource);
}
int64_t DNS_AdditionalRecordAdd(DNS* dns, DNSResource** resource) {
    return AddResource(dns, &dns->Additional, &dns->ARCount, resource);
}

int64_t DNS_QuestionGetFirst(DNS* dns, DNSQuestion** question) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(question);
    *question = dns->QuestionHead;
    return *question != nullptr;
}
int64_t DNS_QuestionGetNext(DNS* dns, DNSQuestion* question, DNSQuestion** next) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(question);
    ASSERT_POINTER(next);
    *next = question->Next;
    return *next != nullptr;
}
int64_t DNS_AnswerGetFirst(DNS* dns, DNSResource** resource) {
    return GetFirstResource(dns, &dns->Answers, resource);
}
int64_t DNS_AnswerGetNext(DNS* dns, DNSResource* resource, DNSResource** next) {
    return GetNextResource(dns, resource, next);
}
int64_t DNS_NameServerGetFirst(DNS* dns, DNSResource** resource) {
    return GetFirstResource(dns, &dns->NameServers, resource);
}
int64_t DNS_NameServerGetNext(DNS* dns, DNSResource* resource, DNSResource** next) {
    return GetNextResource(dns, resource, next);
}
int64_t DNS_AdditionalRecordGetFirst(DNS* dns, DNSResource** resource) {
    return GetFirstResource(dns, &dns->Additional, resource);
}
int64_t DNS_AdditionalRecordGetNext(DNS* dns, DNSResource* resource, DNSResource** next) {
    return GetNextResource(dns, resource, next);
}

int64_t DNS_QuestionSetName(DNS* dns, DNSQuestion* question, const char* name) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(question);
    return StoreName(question->Name, name);
}
int64_t DNS_QuestionGetName(DNS* dns, DNSQuestion* question, char* buffer, int32_t size) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(question);
    return CopyName(buffer, size, question->Name);
}
int64_t DNS_QuestionSetType(DNS* dns, DNSQuestion* question, uint16_t type) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(question);
    question->Type = type;
    return 1;
}
uint16_t DNS_QuestionGetType(DNS* dns, DNSQuestion* question) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(question);
    return question->Type;
}
int64_t DNS_QuestionSetClass(DNS* dns, DNSQuestion* question, uint16_t value) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(question);
    question->Class = value;
    return 1;
}
uint16_t DNS_QuestionGetClass(DNS* dns, DNSQuestion* question) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(question);
    return question->Class;
}

int64_t DNS_ResourceSetName(DNS* dns, DNSResource* resource, const char* name) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(resource);
    return StoreName(resource->Name, name);
}
int64_t DNS_ResourceGetName(DNS* dns, DNSResource* resource, char* buffer, int32_t size) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(resource);
    return CopyName(buffer, size, resource->Name);
}
int64_t DNS_ResourceSetType(DNS* dns, DNSResource* resource, uint16_t type) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(resource);
    resource->Type = type;
    return 1;
}
uint16_t DNS_ResourceGetType(DNS* dns, DNSResource* resource) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(resource);
    return resource->Type;
}
int64_t DNS_ResourceSetClass(DNS* dns, DNSResource* resource, uint16_t value) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(resource);
    resource->Class = value;
    return 1;
}
uint16_t DNS_ResourceGetClass(DNS* dns, DNSResource* resource) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(resource);
    return resource->Class;
}
int64_t DNS_ResourceSetTTL(DNS* dns, DNSResource* resource, uint32_t ttl) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(resource);
    resource->TTL = ttl;
    return 1;
}
uint32_t DNS_ResourceGetTTL(DNS* dns, DNSResource* resource) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(resource);
    return resource->TTL;
}

int64_t DNS_ResourceSetData(DNS* dns, DNSResource* resource, const void* bytes, int32_t length) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(resource);
    if (length < 0 || length > DNS_DATA_MAX) return 0;
    if (length > 0) {
        ASSERT_POINTER(bytes);
        memcpy(resource->Data, bytes, (size_t)length);
    }
    resource->Data[length] = 0;
    resource->DataLength = (uint16_t)length;
    resource->WireLength = (uint16_t)length;
    return 1;
}

int64_t DNS_ResourceGetData(DNS* dns, DNSResource* resource, void* buffer, int32_t size, int32_t* length) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(resource);
    ASSERT_POINTER(length);
    *length = 0;
    const int32_t count = size < resource->DataLength ? (size < 0 ? 0 : size) : resource->DataLength;
    if (count > 0) {
        ASSERT_POINTER(buffer);
        memcpy(buffer, resource->Data, (size_t)count);
    }
    *length = count;
    return count == resource->DataLength;
}

int32_t DNS_ResourceGetTrueDataSize(DNS* dns, DNSResource* resource) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(resource);
    return resource->WireLength;
}

int64_t DNS_ResourceGetString(DNS* dns, DNSResource* resource, char* buffer, int32_t size) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(resource);
    return DNS_DecodeResourceRData(buffer, size, resource->Type, resource->Data, resource->DataLength);
}

int64_t DNS_EncodeString(const char* name, uint8_t* message, int32_t size, int32_t position, int32_t* length) {
    ASSERT_POINTER(message);
    NameIndex index;
    if (position >= 0 && position < size) IndexMessage(&index, message, position);
    return EncodeName(name, message, size, position, length, &index);
}

int64_t DNS_DecodeString(char* buffer, int32_t size, const uint8_t* message, int32_t length, int32_t position,
                         int32_t* consumed) {
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(message);
    ASSERT_POINTER(consumed);
    *consumed = 0;
    if (size > 0) buffer[0] = 0;
    int32_t used = 0, jumps = 0, taken = -1;
    int32_t p = position;
    for (;;) {
        if (p < 0 || p >= length) {
            Log_Debug("Invalid position %d (max %d)\n", p, length);
            return Unfinished(buffer, size, used);
        }
        const uint8_t b = message[p];
        const uint8_t top = b & 0xC0;
        if (top == 0xC0) {
            if (p + 1 >= length) {
                Log_Debug("Invalid position %d (max %d)\n", p + 1, length);
                return Unfinished(buffer, size, used);
            }
            if (taken < 0) taken = p + 2 - position;
            if (++jumps > DNS_JUMP_MAX) {
                Log_Debug("Depth too great (%d > %d)\n", jumps, (int32_t)DNS_JUMP_MAX);
                return Unfinished(buffer, size, used);
            }
            p = (b & 0x3F) << 8 | message[p + 1];
            continue;
        }
        if (top != 0) {
            Log_Debug("Unsupported pattern (0x%.2X %d [%d])\n", top, b, jumps);
            return Unfinished(buffer, size, used);
        }
        if (b == 0) {
            if (taken < 0) taken = p + 1 - position;
            break;
        }
        if (b > length - p - 1) {
            Log_Debug("Copy size too large (%d > %d)\n", (int32_t)b, length - p - 1);
            return Unfinished(buffer, size, used);
        }
        // The label and its '.', which the last label's terminator replaces, must fit.
        if (b + 1 > size - used) {
            Log_Debug("Length of string buffer too small (%d > %d)\n", b + 1, size - used);
            return Unfinished(buffer, size, used);
        }
        memcpy(buffer + used, message + p + 1, b);
        used += b;
        buffer[used++] = '.';
        p += 1 + b;
    }
    if (used == 0) {
        if (size < 2) {
            Log_Debug("Length of string buffer too small (%d > %d)\n", 2, size);
            return 0;
        }
        buffer[used++] = '.';
    } else {
        used--;
    }
    buffer[used] = 0;
    *consumed = taken;
    return 1;
}

int64_t DNS_EncodeResource(DNS* dns, DNSResource* resource, uint8_t* message, int32_t size, int32_t position,
                           int32_t* length) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(resource);
    ASSERT_POINTER(message);
    ASSERT_POINTER(length);
    NameIndex index;
    IndexMessage(&index, message, position < size ? position : size);
    return EncodeResource(resource, message, size, position, length, &index);
}

int64_t DNS_DecodeResource(DNS* dns, DNSResource* resource, const uint8_t* message, int32_t length,
                           int32_t position, int32_t* consumed) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(resource);
    ASSERT_POINTER(consumed);
    *consumed = 0;
    int32_t name = 0;
    if (!DNS_DecodeString(resource->Name, sizeof(resource->Name), message, length, position, &name)) return 0;
    const int32_t p = position + name;
    if (length - p < 10) return 0;
    resource->Type = Read16(message + p);
    resource->Class = Read16(message + p + 2);
    resource->TTL = Read32(message + p + 4);
    const int32_t rdlength = Read16(message + p + 8);
    if (rdlength >= DNS_DATA_MAX) {
        Log_Debug("In Resource length too big (%d > %d)\n", rdlength, (int32_t)DNS_DATA_MAX);
        return 0;
    }
    if (length - p - 10 < rdlength) return 0;
    resource->WireLength = (uint16_t)rdlength;
    if (!DecodeRData(resource, message, length, p + 10, rdlength)) return 0;
    *consumed = name + 10 + rdlength;
    return 1;
}

int64_t DNS_Encode(DNS* dns, uint8_t* buffer, int32_t size, int32_t* length) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(length);
    *length = 0;
    if (size < DNS_HEADER_SIZE) return 0;
    Write16(buffer, dns->ID);
    buffer[2] = (uint8_t)(dns->QR << 7 | (dns->Opcode & 15) << 3 | (dns->AA & 1) << 2 | (dns->TC & 1) << 1 |
                          (dns->RD & 1));
    buffer[3] = (uint8_t)(dns->RA << 7 | (dns->Z & 7) << 4 | (dns->RCODE & 15));
    Write16(buffer + 4, dns->QDCount);
    Write16(buffer + 6, dns->ANCount);
    Write16(buffer + 8, dns->NSCount);
    Write16(buffer + 10, dns->ARCount);
    // Names may point into the header as into any earlier name.
    NameIndex names;
    IndexMessage(&names, buffer, DNS_HEADER_SIZE);
    int32_t position = DNS_HEADER_SIZE;
    int32_t index = 0;
    for (DNSQuestion* q = dns->QuestionHead; q; q = q->Next, index++) {
        int32_t name = 0;
        uint8_t fixed[4];
        Write16(fixed, q->Type);
        Write16(fixed + 2, q->Class);
        if (!EncodeName(q->Name, buffer, size, position, &name, &names) ||
            !EncodeFixed(buffer, size, position + name, fixed, 4)) {
            Log_Debug("Encoding Failed in QDList (%d / %d)\n", index, size);
            return 0;
        }
        position += name + 4;
    }
    if (!EncodeList(&dns->Answers, "Encoding Failed in ANList (%d / %d)\n", buffer, size, &position, &names) ||
        !EncodeList(&dns->NameServers, "Encoding Failed in NSList (%d / %d)\n", buffer, size, &position,
                    &names) ||
        !EncodeList(&dns->Additional, "Encoding Failed in ARList (%d / %d)\n", buffer, size, &position,
                    &names))
        return 0;
    *length = position;
    return 1;
}

int64_t DNS_Decode(DNS* dns, const uint8_t* message, int32_t length) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    DNS_Reset(dns);
    if (length < DNS_HEADER_SIZE || message == nullptr) {
        Log_Debug("Failed (%d of %d processed)\n", 0, length);
        return 0;
    }
    dns->ID = Read16(message);
    dns->QR = message[2] >> 7;
    dns->Opcode = (message[2] >> 3) & 15;
    dns->AA = (message[2] >> 2) & 1;
    dns->TC = (message[2] >> 1) & 1;
    dns->RD = message[2] & 1;
    dns->RA = message[3] >> 7;
    dns->Z = (message[3] >> 4) & 7;
    dns->RCODE = message[3] & 15;
    dns->QDCount = Read16(message + 4);
    dns->ANCount = Read16(message + 6);
    dns->NSCount = Read16(message + 8);
    dns->ARCount = Read16(message + 10);
    int32_t position = DNS_HEADER_SIZE;
    for (int32_t i = 0; i < dns->QDCount; i++) {
        int32_t consumed = 0;
        if (!DecodeQuestion(AppendQuestion(dns), message, length, position, &consumed)) {
            Log_Debug("Decoding Failed in QDList (%d / %d)\n", i, length);
            return 0;
        }
        position += consumed;
    }
    if (!DecodeList(dns, &dns->Answers, dns->ANCount, "Decoding Failed in ANList (%d / %d)\n", message, length,
                    &position) ||
        !DecodeList(dns, &dns->NameServers, dns->NSCount, "Decoding Failed in NSList (%d / %d)\n", message,
                    length, &position) ||
        !DecodeList(dns, &dns->Additional, dns->ARCount, "Decoding Failed in ARList (%d / %d)\n", message, length,
                    &position))
        return 0;
    if (position == length) return 1;
    if (position == length - 1) {
        Log_Debug("One byte [0x%.2X] slop (%d of %d processed)\n", message[position], position, length);
        return 1;
    }
    Log_Debug("Failed (%d of %d processed)\n", position, length);
    return 0;
}

int64_t DNS_DecodeResourceRData(char* buffer, int32_t size, uint16_t type, const uint8_t* data, int32_t length) {
    ASSERT_POINTER(buffer);
    if (size < 1) return 0;
    buffer[0] = 0;
    if (length < 0) length = 0;
    if (length > 0) ASSERT_POINTER(data);
    char text[DNS_TEXT_MAX + 64];
    text[0] = 0;
    switch (type) {
    case DNS_TYPE_A:
        if (length < 4) break;
        String_Print(text, sizeof(text), "%ipv4", data);
        return CopyName(buffer, size, text);
    case DNS_TYPE_NS:
    case DNS_TYPE_CNAME:
    case DNS_TYPE_MR:
    case DNS_TYPE_PTR:
    case DNS_TYPE_TXT: {
        // Stored data ends in a NUL; the text stops at the first one.
        if (length == 0) return 1;
        const int32_t n = StoredText(data, length);
        String_CopyLengthSafe(buffer, size, reinterpret_cast<const char*>(data), n < 0 ? length : n);
        return 1;
    }
    case DNS_TYPE_SOA: {
        const int32_t mname = length > 0 ? StoredText(data, length) : -1;
        if (mname < 0) break;
        const int32_t rname = StoredText(data + mname + 1, length - mname - 1);
        if (rname < 0 || length - mname - rname - 2 < 20) break;
        uint32_t v[5];
        memcpy(v, data + mname + rname + 2, sizeof(v));
        char durations[4][64];
        for (int32_t i = 0; i < 4; i++) DNS_DecodeResourceTTL(durations[i], sizeof(durations[i]), (int32_t)v[i + 1]);
        // Names are at most DNS_NAME_MAX bytes each; the whole text may pass the usual limit.
        char soa[2 * DNS_NAME_MAX + 400];
        String_Print(soa, sizeof(soa),
                     "MNAME=%s, "
                     "RNAME=%s, "
                     "Serial=%d, "
                     "Refresh=%s, "
                     "Retry=%s, "
                     "Expire=%s, "
                     "Minimum=%s",
                     reinterpret_cast<const char*>(data), reinterpret_cast<const char*>(data + mname + 1),
                     (int32_t)v[0], durations[0], durations[1], durations[2], durations[3]);
        return CopyName(buffer, size, soa);
    }
    case DNS_TYPE_MX: {
        if (length < 3 || StoredText(data + 2, length - 2) < 0) break;
        String_Print(text, sizeof(text), "[%d] %s", (int32_t)Read16(data), reinterpret_cast<const char*>(data + 2));
        return CopyName(buffer, size, text);
    }
    case DNS_TYPE_LOC:
        if (length < 16) break;
        FormatLoc(text, sizeof(text), data);
        return CopyName(buffer, size, text);
    default:
        break;
    }
    // Data too short for its type's form is shown as bytes, like unknown types.
    HexForm(buffer, size, data, length);
    return 1;
}

int64_t DNS_DecodeResourceTTL(char* buffer, int32_t size, int32_t seconds) {
    ASSERT_POINTER(buffer);
    if (size < 1) return 0;
    const int32_t s = seconds < 0 ? 0 : seconds;
    const int32_t weeks = s / 604800, days = (s / 86400) % 7, hours = (s / 3600) % 24, minutes = (s / 60) % 60,
                  rest = s % 60;
    char text[80];
    if (s >= 604800)
        String_Print(text, sizeof(text), "%dw %dd %dh %dm %ds", weeks, days, hours, minutes, rest);
    else if (s >= 86400)
        String_Print(text, sizeof(text), "%dd %dh %dm %ds", days, hours, minutes, rest);
    else if (s >= 3600)
        String_Print(text, sizeof(text), "%dh %dm %ds", hours, minutes, rest);
    else if (s >= 60)
        String_Print(text, sizeof(text), "%dm %ds", minutes, rest);
    else if (s > 0)
        String_Print(text, sizeof(text), "%ds", rest);
    else
        String_Print(text, sizeof(text), "N/A");
    return CopyName(buffer, size, text);
}

int64_t DNS_PrintResource(DNS* dns, DNSResource* resource) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    ASSERT_POINTER(resource);
    char text[DNS_TEXT_MAX + 1];
    DNS_ResourceGetString(dns, resource, text, sizeof(text));
    Log_Debug("  Domain   = %s\n", resource->Name);
    Log_Debug("  Type     = %d (%s)\n", (int32_t)resource->Type, DNS_TranslateResourceType(resource->Type));
    Log_Debug("  Class    = %d (%s)\n", (int32_t)resource->Class, DNS_TranslateResourceClass(resource->Class));
    Log_Debug("  TTL      = %d\n", (int32_t)resource->TTL);
    Log_Debug("  RDLength = %d (%d) /"
              " %s\n",
              (int32_t)resource->DataLength, (int32_t)resource->WireLength, text);
    Log_Debug("\n");
    return 1;
}

int64_t DNS_Print(DNS* dns) {
    CLASS_CHECK(dns, DNS_CLASS_ID);
    Log_Debug("ID         = %d\n", (int32_t)dns->ID);
    Log_Debug("QR         = %d (%s)\n", (int32_t)dns->QR, DNS_TranslateHeaderQR(dns->QR));
    Log_Debug("Opcode     = %d (%s)\n", (int32_t)dns->Opcode, DNS_TranslateHeaderOpcode(dns->Opcode));
    Log_Debug("AA         = %d (%s)\n", (int32_t)dns->AA, DNS_TranslateHeaderAA(dns->AA));
    Log_Debug("TC         = %d (%s)\n", (int32_t)dns->TC, DNS_TranslateHeaderTC(dns->TC));
    Log_Debug("RD         = %d (%s)\n", (int32_t)dns->RD, DNS_TranslateHeaderRD(dns->RD));
    Log_Debug("RA         = %d (%s)\n", (int32_t)dns->RA, DNS_TranslateHeaderRA(dns->RA));
    Log_Debug("Z          = %d (Unknown)\n", (int32_t)dns->Z);
    Log_Debug("RCODE      = %d (%s)\n", (int32_t)dns->RCODE, DNS_TranslateHeaderRCODE(dns->RCODE));
    Log_Debug("QDCount    = %d (Question Count)\n", (int32_t)dns->QDCount);
    Log_Debug("ANCount    = %d (Resource Count)\n", (int32_t)dns->ANCount);
    Log_Debug("NSCount    = %d (Nameserver Count)\n", (int32_t)dns->NSCount);
    Log_Debug("ARCount    = %d (Additional Resource Count)\n", (int32_t)dns->ARCount);
    int32_t number = 1;
    for (DNSQuestion* q = dns->QuestionHead; q; q = q->Next, number++) {
        Log_Debug("Question List %d:\n", number);
        Log_Debug("  Domain   = %s\n", q->Name);
        Log_Debug("  QType    = %d (%s)\n", (int32_t)q->Type, DNS_TranslateQuestionType(q->Type));
        Log_Debug("  QClass   = 0x%.4X (%s)\n", (int32_t)q->Class, DNS_TranslateQuestionClass(q->Class));
    }
    PrintList(dns, &dns->Answers, "Answer List %d:\n");
    PrintList(dns, &dns->NameServers, "Name Server List %d:\n");
    PrintList(dns, &dns->Additional, "Additional Records %d:\n");
    Log_Debug("\n");
    return 1;
}

const char* DNS_TranslateResourceType(int32_t value) {
    return Translate(DNS_ResourceTypeStringTable, value);
}
const char* DNS_TranslateResourceClass(int32_t value) {
    return Translate(DNS_ResourceClassStringTable, value);
}
const char* DNS_TranslateQuestionType(int32_t value) {
    return Translate(DNS_QuestionTypeStringTable, value);
}
const char* DNS_TranslateQuestionClass(int32_t value) {
    return Translate(DNS_QuestionClassStringTable, value);
}
const char* DNS_TranslateHeaderQR(int32_t value) {
    return Translate(DNS_HeaderQRStringTable, value);
}
const char* DNS_TranslateHeaderOpcode(int32_t value) {
    return Translate(DNS_HeaderOpcodeStringTable, value);
}
const char* DNS_TranslateHeaderAA(int32_t value) {
    return Translate(DNS_HeaderAAStringTable, value);
}
const char* DNS_TranslateHeaderTC(int32_t value) {
    return Translate(DNS_HeaderTCStringTable, value);
}
const char* DNS_TranslateHeaderRD(int32_t value) {
    return Translate(DNS_HeaderRDStringTable, value);
}
const char* DNS_TranslateHeaderRA(int32_t value) {
    return Translate(DNS_HeaderRAStringTable, value);
}
const char* DNS_TranslateHeaderRCODE(int32_t value) {
    return Translate(DNS_HeaderRCODEStringTable, value);
}

namespace dns_internal {

uint64_t CompressionSteps() {
    return CompressionWork;
}

} // namespace dns_internal
