// DNS messages in the RFC 1035 wire format: a header, a question list and three resource lists,
// built, encoded with name compression, decoded with bounded pointer chasing, and printed.
#pragma once

#include <cstdint>

enum : uint32_t { DNS_CLASS_ID = 0x47A116EB };

enum : int32_t {
    DNS_HEADER_SIZE = 12,
    // Longest name text and longest resource data a record holds.
    DNS_NAME_MAX = 512,
    DNS_DATA_MAX = 512,
    // Pointer jumps one name may take while decoding.
    DNS_JUMP_MAX = 100,
    // Longest text form of resource data that a print shows.
    DNS_TEXT_MAX = 1024,
};

enum : uint16_t {
    DNS_TYPE_A = 1,
    DNS_TYPE_NS = 2,
    DNS_TYPE_CNAME = 5,
    DNS_TYPE_SOA = 6,
    DNS_TYPE_MR = 9,
    DNS_TYPE_PTR = 12,
    DNS_TYPE_MX = 15,
    DNS_TYPE_TXT = 16,
    DNS_TYPE_LOC = 29,
    DNS_CLASS_IN = 1,
};

struct DNS;
struct DNSQuestion;
struct DNSResource;

int64_t DNS_Create(DNS** handle);
int64_t DNS_Delete(DNS** handle);
int64_t DNS_AddRef(DNS* dns);
int64_t DNS_Release(DNS** handle);
int64_t DNS_GetInstanceId(DNS* dns, char* buffer, int32_t size);

// A fresh random ID, all four lists and their counts emptied; the header's flags stay.
int64_t DNS_Reset(DNS* dns);

// Header fields are stored as given; the encoder masks them to their wire widths.
int64_t DNS_HeaderSetID(DNS* dns, uint16_t value);
uint16_t DNS_HeaderGetID(DNS* dns);
int64_t DNS_HeaderSetQR(DNS* dns, uint8_t value);
uint8_t DNS_HeaderGetQR(DNS* dns);
int64_t DNS_HeaderSetOpcode(DNS* dns, uint8_t value);
uint8_t DNS_HeaderGetOpcode(DNS* dns);
int64_t DNS_HeaderSetAA(DNS* dns, uint8_t value);
uint8_t DNS_HeaderGetAA(DNS* dns);
int64_t DNS_HeaderSetTC(DNS* dns, uint8_t value);
uint8_t DNS_HeaderGetTC(DNS* dns);
int64_t DNS_HeaderSetRD(DNS* dns, uint8_t value);
uint8_t DNS_HeaderGetRD(DNS* dns);
int64_t DNS_HeaderSetRA(DNS* dns, uint8_t value);
uint8_t DNS_HeaderGetRA(DNS* dns);
int64_t DNS_HeaderSetZ(DNS* dns, uint8_t value);
uint8_t DNS_HeaderGetZ(DNS* dns);
int64_t DNS_HeaderSetRCODE(DNS* dns, uint8_t value);
uint8_t DNS_HeaderGetRCODE(DNS* dns);
uint16_t DNS_HeaderGetQDCount(DNS* dns);
uint16_t DNS_HeaderGetANCount(DNS* dns);
uint16_t DNS_HeaderGetNSCount(DNS* dns);
uint16_t DNS_HeaderGetARCount(DNS* dns);

// Appending a zeroed record raises the matching count. Records belong to the object.
int64_t DNS_QuestionAdd(DNS* dns, DNSQuestion** question);
int64_t DNS_AnswerAdd(DNS* dns, DNSResource** resource);
int64_t DNS_NameServerAdd(DNS* dns, DNSResource** resource);
int64_t DNS_AdditionalRecordAdd(DNS* dns, DNSResource** resource);
int64_t DNS_QuestionGetFirst(DNS* dns, DNSQuestion** question);
int64_t DNS_QuestionGetNext(DNS* dns, DNSQuestion* question, DNSQuestion** next);
int64_t DNS_AnswerGetFirst(DNS* dns, DNSResource** resource);
int64_t DNS_AnswerGetNext(DNS* dns, DNSResource* resource, DNSResource** next);
int64_t DNS_NameServerGetFirst(DNS* dns, DNSResource** resource);
int64_t DNS_NameServerGetNext(DNS* dns, DNSResource* resource, DNSResource** next);
int64_t DNS_AdditionalRecordGetFirst(DNS* dns, DNSResource** resource);
int64_t DNS_AdditionalRecordGetNext(DNS* dns, DNSResource* resource, DNSResource** next);

// Names longer than DNS_NAME_MAX bytes are refused. Get copies the name and answers whether it
// fitted whole (the copy is always terminated).
int64_t DNS_QuestionSetName(DNS* dns, DNSQuestion* question, const char* name);
int64_t DNS_QuestionGetName(DNS* dns, DNSQuestion* question, char* buffer, int32_t size);
int64_t DNS_QuestionSetType(DNS* dns, DNSQuestion* question, uint16_t type);
uint16_t DNS_QuestionGetType(DNS* dns, DNSQuestion* question);
int64_t DNS_QuestionSetClass(DNS* dns, DNSQuestion* question, uint16_t value);
uint16_t DNS_QuestionGetClass(DNS* dns, DNSQuestion* question);

int64_t DNS_ResourceSetName(DNS* dns, DNSResource* resource, const char* name);
int64_t DNS_ResourceGetName(DNS* dns, DNSResource* resource, char* buffer, int32_t size);
int64_t DNS_ResourceSetType(DNS* dns, DNSResource* resource, uint16_t type);
uint16_t DNS_ResourceGetType(DNS* dns, DNSResource* resource);
int64_t DNS_ResourceSetClass(DNS* dns, DNSResource* resource, uint16_t value);
uint16_t DNS_ResourceGetClass(DNS* dns, DNSResource* resource);
int64_t DNS_ResourceSetTTL(DNS* dns, DNSResource* resource, uint32_t ttl);
uint32_t DNS_ResourceGetTTL(DNS* dns, DNSResource* resource);
// The stored data form depends on the type (names as terminated text; SOA as MNAME, NUL, RNAME,
// NUL and five host-order u32; MX as two network-order preference bytes and a terminated name;
// other types the RDATA bytes). Set fails for more than DNS_DATA_MAX bytes and stores nothing.
int64_t DNS_ResourceSetData(DNS* dns, DNSResource* resource, const void* bytes, int32_t length);
// Copies min(size, data length) bytes; answers whether all of it fitted.
int64_t DNS_ResourceGetData(DNS* dns, DNSResource* resource, void* buffer, int32_t size, int32_t* length);
// RDLENGTH as last read or written.
int32_t DNS_ResourceGetTrueDataSize(DNS* dns, DNSResource* resource);
// The one-line text form of the data (see DNS_DecodeResourceRData).
int64_t DNS_ResourceGetString(DNS* dns, DNSResource* resource, char* buffer, int32_t size);

int64_t DNS_Encode(DNS* dns, uint8_t* buffer, int32_t size, int32_t* length);
int64_t DNS_Decode(DNS* dns, const uint8_t* message, int32_t length);
int64_t DNS_Print(DNS* dns);

// Writes the dotted name at message[position], compressed against message[0, position); pointers
// reach offsets below 16384 only. DNS_Encode compresses against the header and the names it has
// written, which keeps its work linear in the message.
int64_t DNS_EncodeString(const char* name, uint8_t* message, int32_t size, int32_t position, int32_t* length);
// Reads the name at message[position] into text; consumed counts the bytes at position only.
int64_t DNS_DecodeString(char* buffer, int32_t size, const uint8_t* message, int32_t length, int32_t position,
                         int32_t* consumed);
int64_t DNS_EncodeResource(DNS* dns, DNSResource* resource, uint8_t* message, int32_t size, int32_t position,
                           int32_t* length);
int64_t DNS_DecodeResource(DNS* dns, DNSResource* resource, const uint8_t* message, int32_t length,
                           int32_t position, int32_t* consumed);
// The text form of stored resource data of the given type.
int64_t DNS_DecodeResourceRData(char* buffer, int32_t size, uint16_t type, const uint8_t* data, int32_t length);
// A duration as "1w 0d 2h 3m 4s", shortened below a week, a day, an hour, a minute; 0 is "N/A".
int64_t DNS_DecodeResourceTTL(char* buffer, int32_t size, int32_t seconds);
int64_t DNS_PrintResource(DNS* dns, DNSResource* resource);

const char* DNS_TranslateResourceType(int32_t value);
const char* DNS_TranslateResourceClass(int32_t value);
const char* DNS_TranslateQuestionType(int32_t value);
const char* DNS_TranslateQuestionClass(int32_t value);
const char* DNS_TranslateHeaderQR(int32_t value);
const char* DNS_TranslateHeaderOpcode(int32_t value);
const char* DNS_TranslateHeaderAA(int32_t value);
const char* DNS_TranslateHeaderTC(int32_t value);
const char* DNS_TranslateHeaderRD(int32_t value);
const char* DNS_TranslateHeaderRA(int32_t value);
const char* DNS_TranslateHeaderRCODE(int32_t value);

namespace dns_internal {

// Work done so far on this thread looking for names to point at (hash steps, table probes, bytes
// compared), so that tests can bound the encoder's work by the size of what it writes.
uint64_t CompressionSteps();

} // namespace dns_internal
