// X500: the three parts of a distinguished name the system identifies certificates by (common
// name, organization, organizational unit), read from DER or from "key=value, ..." text.
#pragma once

#include <cstdint>

#include "core/certs/asn1.h"

enum : uint32_t {
    X500_CLASS_ID = 0x0CBDAEC3,
    // Each text holds at most 319 bytes and its NUL.
    X500_TEXT_SIZE = 320,
};

struct X500;

int64_t X500_Create(X500** handle);
int64_t X500_Delete(X500** handle);
int64_t X500_AddRef(X500* name);
int64_t X500_Release(X500** handle);
int64_t X500_GetInstanceId(X500* name, char* buffer, int32_t size);

// Empties all three texts; 1.
int64_t X500_Reset(X500* name);
// Reads CN, O and OU from a Name (SEQUENCE OF SET): the first attribute of every relative name,
// the last occurrence winning. Texts the Name does not carry keep their earlier value. 1 when at
// least one of the three was found.
int64_t X500_Build(X500* name, ASN1* node);
// Looks the key (ASCII case ignored) up in a text of comma-separated key=value parts, both sides
// trimmed; the value is copied truncated to size - 1. 0 with an empty value when absent.
int64_t X500_StringGet(const char* text, const char* key, char* value, int32_t size);
// Fills O, OU and CN from such a text; 1 when any was found.
int64_t X500_StringBuild(X500* name, const char* text);
// 1 when CN, O and OU are each byte-for-byte equal.
int64_t X500_Compare(X500* first, X500* second);

// Copies the text truncated to size - 1; 1.
int64_t X500_GetO(X500* name, char* text, int32_t size);
int64_t X500_GetOU(X500* name, char* text, int32_t size);
int64_t X500_GetCN(X500* name, char* text, int32_t size);
