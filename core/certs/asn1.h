// DER (and BER with indefinite lengths) decoded into a tree of nodes that point into the caller's
// buffer, with readers for the common value types and writers for INTEGER and SEQUENCE.
#pragma once

#include <cstdint>

#include "core/crypto/big_integer.h"
#include "core/runtime/class.h"

enum : uint32_t { ASN1_CLASS_ID = 0xE7D274D9 };

// Nested constructed elements (and strings decoded as nested DER) deeper than this are refused,
// so that hostile input cannot exhaust the stack; real certificates and key files stay far below.
enum : uint32_t { ASN1_MAX_DEPTH = 128 };

// One object type is both the root handle and every node of a decoded tree. Nothing is copied:
// the pointers refer to the decoded buffer, which must outlive the tree.
struct ASN1 {
    Class Header;
    const uint8_t* NodePtr;
    uint32_t Tag;
    int32_t ValueSize;
    const uint8_t* ValuePtr;
    ASN1* Head;
    ASN1* Tail;
    uint32_t Count;
    // The next sibling within the parent's list.
    ASN1* Next;
};

int64_t ASN1_Create(ASN1** handle);
int64_t ASN1_Delete(ASN1** handle);
int64_t ASN1_AddRef(ASN1* node);
int64_t ASN1_Release(ASN1** handle);
int64_t ASN1_GetInstanceId(ASN1* node, char* buffer, int32_t size);
// Frees all children; the node stays usable.
int64_t ASN1_Reset(ASN1* node);

// Appends the top-level elements of the buffer as children of the node. A failure may leave the
// children that were complete before it; reset the node before reuse.
int64_t ASN1_Decode(ASN1* node, const uint8_t* buffer, uint32_t length);
// Decodes the elements of [start, start + rangeLength); a range length of 0 stands for an element
// without a definite length. With endOfContents set, a tag of 0 ends the range.
int64_t ASN1_DecodeRange(ASN1* node, const uint8_t* buffer, uint32_t bufferSize, uint32_t start,
                         uint32_t rangeLength, int32_t endOfContents, uint32_t* consumed);
// Reads one identifier and length at the offset: the length (0 for indefinite, -1 for the
// reserved octet 0xFF, for more than four length octets and for a length past 31 bits), the tag
// and the header length. A refused type answers 0 with header 0.
int32_t ASN1_DecodeTL(const uint8_t* buffer, uint32_t size, uint32_t offset, uint32_t* tag,
                      uint32_t* headerLength);

// Children are borrowed from their parent. An index negative as a signed number gives the first.
ASN1* ASN1_GetElement(ASN1* node, uint32_t index);
int64_t ASN1_GetElementCount(ASN1* node, uint32_t* count);
// The element that follows the OBJECT IDENTIFIER with the given dotted text, searched to the
// given depth (0xFFFFFFFF = unlimited).
int64_t ASN1_Find(ASN1* node, const char* oid, uint32_t depth, ASN1** out);

// tag & 31; 0 for a null node.
uint32_t ASN1_GetType(ASN1* node);
int64_t ASN1_GetTag(ASN1* node, uint8_t* tag);
const uint8_t* ASN1_GetNodePtr(ASN1* node);
// Header plus contents: the whole element's encoding.
uint32_t ASN1_GetNodeSize(ASN1* node);
const uint8_t* ASN1_GetValuePtr(ASN1* node);
uint32_t ASN1_GetValueSize(ASN1* node);

// The contents of an INTEGER as an unsigned big-endian magnitude; the value is untouched on failure.
int64_t ASN1_ParseBigInt(ASN1* node, BigInt* value);
int64_t ASN1_ParseInt32(ASN1* node, uint32_t* value);
// Dotted text of an OBJECT IDENTIFIER, arcs up to 2^32 - 1, a first arc of 2 taking any second
// arc. Non-minimal subidentifiers and arcs past 32 bits fail with an empty text.
int64_t ASN1_ParseOid(ASN1* node, char* text, int32_t size);
int64_t ASN1_ParseString(ASN1* node, char* text, int32_t size);
// Seconds since 1970-01-01 UTC.
int64_t ASN1_ParseUTCTime(ASN1* node, double* time);

// Writes an INTEGER of the magnitude (with a leading 0x00 when its top bit is set, so that it
// reads back positive); when a node is given it is reset and the bytes decoded into it.
int64_t ASN1_EncodeBigInt(ASN1* node, BigInt* value, uint8_t* buffer, uint32_t size);
// Appends one encoded element to the SEQUENCE in the buffer (all zero bytes = empty sequence);
// out is the sequence's whole length. When a node is given the buffer is decoded into it.
int64_t ASN1_EncodeSequenceAddNode(ASN1* node, uint8_t* buffer, int32_t DataSize, const uint8_t* element,
                                   uint32_t elementSize, uint32_t* sequenceLength);
