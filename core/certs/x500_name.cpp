// X500: common name, organization and organizational unit of a distinguished name. Names that
// differ only in other attributes are the same name here.
#include "core/certs/x500_name.h"

#include <cstring>

#include "core/runtime/class_family.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

struct X500 {
    Class Header;
    char O[X500_TEXT_SIZE];
    char OU[X500_TEXT_SIZE];
    char CN[X500_TEXT_SIZE];
};

namespace {

// Dotted-text room for the attribute types read here (anything longer is not one of them).
constexpr int32_t kOidTextSize = 64;

int64_t DeleteHandle(void** handle) {
    return X500_Delete(reinterpret_cast<X500**>(handle));
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

// [begin, end) without white space at both ends.
void Trim(const char** begin, const char** end) {
    while (*begin < *end && IsSpace(**begin)) ++*begin;
    while (*end > *begin && IsSpace((*end)[-1])) --*end;
}

int64_t CopyOut(const char* text, char* out, int32_t size) {
    ASSERT_POINTER(out);
    if (size < 1) return 0;
    String_CopyLengthSafe(out, size, text, X500_TEXT_SIZE);
    return 1;
}

} // namespace

int64_t X500_Create(X500** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* name = static_cast<X500*>(Memory_AllocZero(sizeof(X500)));
    name->Header.ClassId = X500_CLASS_ID;
    name->Header.RefCount = 1;
    name->Header.Delete = DeleteHandle;
    *handle = name;
    return 1;
}

int64_t X500_Delete(X500** handle) {
    ASSERT_POINTER(handle);
    X500* name = *handle;
    CLASS_CHECK(name, X500_CLASS_ID);
    name->Header.ClassId = 0;
    Memory_Free(name, sizeof(X500));
    *handle = nullptr;
    return 1;
}

CLASS_BASICS(X500, X500, X500_CLASS_ID)

int64_t X500_Reset(X500* name) {
    CLASS_CHECK(name, X500_CLASS_ID);
    name->O[0] = name->OU[0] = name->CN[0] = 0;
    return 1;
}

int64_t X500_Build(X500* name, ASN1* node) {
    CLASS_CHECK(name, X500_CLASS_ID);
    if (!node) return 0;
    CLASS_CHECK(node, ASN1_CLASS_ID);
    int64_t found = 0;
    for (ASN1* rdn = node->Head; rdn; rdn = rdn->Next) {
        // Only the first attribute of a relative name counts.
        ASN1* attribute = rdn->Head;
        if (!attribute || !attribute->Head) continue;
        char oid[kOidTextSize];
        if (!ASN1_ParseOid(attribute->Head, oid, (int32_t)sizeof(oid))) continue;
        char* target = nullptr;
        if (strcmp(oid, "2.5.4.3") == 0)
            target = name->CN;
        else if (strcmp(oid, "2.5.4.10") == 0)
            target = name->O;
        else if (strcmp(oid, "2.5.4.11") == 0)
            target = name->OU;
        if (!target) continue;
        found = 1;
        target[0] = 0;
        if (attribute->Head->Next) ASN1_ParseString(attribute->Head->Next, target, X500_TEXT_SIZE);
    }
    return found;
}

int64_t X500_StringGet(const char* text, const char* key, char* value, int32_t size) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(key);
    ASSERT_POINTER(value);
    if (size < 1) return 0;
    value[0] = 0;
    const char* position = text;
    for (;;) {
        const char* equals = strchr(position, '=');
        if (!equals) return 0;
        const char* keyBegin = position;
        const char* keyEnd = equals;
        const char* valueBegin = equals + 1;
        const char* comma = strchr(valueBegin, ',');
        const char* valueEnd = comma ? comma : valueBegin + strlen(valueBegin);
        Trim(&keyBegin, &keyEnd);
        const size_t keyLength = strlen(key);
        if ((size_t)(keyEnd - keyBegin) == keyLength && String_CompareLengthWithoutCase(keyBegin, key, (int32_t)keyLength)) {
            // The value is cut to what a name keeps before it is trimmed.
            if (valueEnd - valueBegin > (ptrdiff_t)(X500_TEXT_SIZE - 1)) valueEnd = valueBegin + (X500_TEXT_SIZE - 1);
            Trim(&valueBegin, &valueEnd);
            int32_t count = (int32_t)(valueEnd - valueBegin);
            if (count > size - 1) count = size - 1;
            memcpy(value, valueBegin, (size_t)count);
            value[count] = 0;
            return 1;
        }
        if (!comma) return 0;
        position = comma + 1;
    }
}

int64_t X500_StringBuild(X500* name, const char* text) {
    CLASS_CHECK(name, X500_CLASS_ID);
    ASSERT_POINTER(text);
    int64_t found = 0;
    found |= X500_StringGet(text, "O", name->O, X500_TEXT_SIZE);
    found |= X500_StringGet(text, "OU", name->OU, X500_TEXT_SIZE);
    found |= X500_StringGet(text, "CN", name->CN, X500_TEXT_SIZE);
    return found;
}

int64_t X500_Compare(X500* first, X500* second) {
    CLASS_CHECK(first, X500_CLASS_ID);
    CLASS_CHECK(second, X500_CLASS_ID);
    return strcmp(first->CN, second->CN) == 0 && strcmp(first->O, second->O) == 0 &&
           strcmp(first->OU, second->OU) == 0;
}

int64_t X500_GetO(X500* name, char* text, int32_t size) {
    CLASS_CHECK(name, X500_CLASS_ID);
    return CopyOut(name->O, text, size);
}

int64_t X500_GetOU(X500* name, char* text, int32_t size) {
    CLASS_CHECK(name, X500_CLASS_ID);
    return CopyOut(name->OU, text, size);
}

int64_t X500_GetCN(X500* name, char* text, int32_t size) {
    CLASS_CHECK(name, X500_CLASS_ID);
    return CopyOut(name->CN, text, size);
}
