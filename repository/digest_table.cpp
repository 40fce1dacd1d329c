// The piece table of a content manifest: the digests sit in one array indexed by piece number,
// grown in blocks of 100 digests as the scan hands them over.
#include "repository/digest_table.h"

#include <cstring>

#include "core/crypto/hash.h"
#include "core/formats/base64.h"
#include "core/runtime/class_family.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "repository/manifest_value.h"

struct PieceList {
    Class Header;
    uint32_t DigestSize; // 0 until the first digest
    int32_t PieceTotal;
    uint8_t* Digests;
    uint32_t DigestCapacity; // in digests
    uint32_t HashPadding;
    uint32_t PieceLength; // 0 when the manifest gave no usable size
    char Algorithm[PIECELIST_ALGORITHM_SIZE];
};

namespace {

// The longest Base64 text of a 64-byte digest is 88 characters; a little slack for nothing else.
constexpr int32_t kMaxDigestText = 100;

void FreeDigests(PieceList* list) {
    if (list->Digests) Memory_Free(list->Digests, list->DigestCapacity * list->DigestSize);
    list->Digests = nullptr;
    list->DigestCapacity = 0;
}

void Defaults(PieceList* list) {
    FreeDigests(list);
    list->DigestSize = 0;
    list->PieceTotal = 0;
    list->HashPadding = 1;
    list->PieceLength = PIECELIST_DEFAULT_PIECE_LENGTH;
    String_CopyLength(list->Algorithm, "SHA1", (int32_t)sizeof(list->Algorithm));
}

int64_t DeleteList(void** handle) {
    auto* list = static_cast<PieceList*>(*handle);
    FreeDigests(list);
    list->Header.ClassId = 0;
    Memory_Free(list, sizeof(PieceList));
    *handle = nullptr;
    return 1;
}

// Decodes one digest text; 0 bytes when it is no Base64 of 1 to 64 bytes.
uint32_t DecodeDigest(const char* text, int32_t length, uint8_t* out) {
    if (length <= 0 || length > kMaxDigestText) return 0;
    char terminated[kMaxDigestText + 1];
    memcpy(terminated, text, (size_t)length);
    terminated[length] = 0;
    uint8_t bytes[PIECELIST_MAX_DIGEST_SIZE + 16];
    uint32_t decoded = 0;
    if (!Base64_Decode(terminated, length, bytes, (int32_t)sizeof(bytes), &decoded)) return 0;
    if (decoded == 0 || decoded > PIECELIST_MAX_DIGEST_SIZE) return 0;
    memcpy(out, bytes, decoded);
    return decoded;
}

bool AddDigest(PieceList* list, const char* text, int32_t length) {
    uint8_t digest[PIECELIST_MAX_DIGEST_SIZE];
    const uint32_t size = DecodeDigest(text, length, digest);
    if (size == 0) return false;
    if (list->DigestSize == 0) list->DigestSize = size;
    if (size != list->DigestSize) return false;
    const uint32_t n = (uint32_t)list->PieceTotal;
    if (n == 0x7FFFFFFF) return false;
    if (n == list->DigestCapacity) {
        const uint64_t capacity = ((uint64_t)n + PIECELIST_DIGEST_BLOCK) / PIECELIST_DIGEST_BLOCK * PIECELIST_DIGEST_BLOCK;
        if (capacity * size > 0x7FFFFFFF) return false;
        auto* grown = static_cast<uint8_t*>(Memory_Alloc(capacity * size));
        if (n) memcpy(grown, list->Digests, (size_t)n * size);
        if (list->Digests) Memory_Free(list->Digests, list->DigestCapacity * size);
        list->Digests = grown;
        list->DigestCapacity = (uint32_t)capacity;
    }
    memcpy(list->Digests + (size_t)n * size, digest, size);
    list->PieceTotal++;
    return true;
}

void CheckIndex(const PieceList* list, int32_t index) {
    if (!(index >= 0 && index < list->PieceTotal))
        Debug_AbortInt(__FILE__, __LINE__, "Assertion failed (Index >= 0 && Index < PieceList->PieceTotal)\n"
                                           "Index out of bounds");
}

int32_t ToIndex(uint64_t value) {
    return value > 0x7FFFFFFF ? 0x7FFFFFFF : (int32_t)value;
}

} // namespace

CLASS_BASICS(PieceList, PieceList, PIECELIST_CLASS_ID)

int64_t PieceList_Create(PieceList** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* list = static_cast<PieceList*>(Memory_AllocZero(sizeof(PieceList)));
    list->Header.ClassId = PIECELIST_CLASS_ID;
    list->Header.RefCount = 1;
    list->Header.Delete = DeleteList;
    Class_GenerateInstanceIdReal(list);
    Defaults(list);
    *handle = list;
    return 1;
}

int64_t PieceList_Reset(PieceList* list) {
    CLASS_CHECK(list, PIECELIST_CLASS_ID);
    Defaults(list);
    return 1;
}

int64_t PieceList_MemberAddByValue(PieceList* list, const char* path, uint32_t type, const char* text, int32_t length,
                                   uint32_t* error) {
    CLASS_CHECK(list, PIECELIST_CLASS_ID);
    ASSERT_POINTER(path);
    if (error) *error = 0;
    if (!text || length < 0) length = 0;
    const ManifestPath p = ManifestPath_Split(path);
    if (p.Count < 2) return 1;
    const std::string_view key = p.Part[1];
    if (ManifestText_Is(key, "digests")) {
        if (p.Count != 3) return 1;
        // A container where a digest belongs would leave the count of pieces short: refused too.
        if (ManifestValue_IsScalar(type) && AddDigest(list, text, length)) return 1;
        if (error) *error = JSON_ERROR_BUILD;
        return 0;
    }
    if (p.Count != 2 || !ManifestValue_IsScalar(type)) return 1;
    if (ManifestText_Is(key, "algorithm")) {
        String_CopyLengthSafe(list->Algorithm, (int32_t)sizeof(list->Algorithm), text, length);
    } else if (ManifestText_Is(key, "hashPadding")) {
        list->HashPadding = ManifestText_IsTrue(text, length) ? 1 : 0;
    } else if (ManifestText_Is(key, "size")) {
        const int64_t size = ManifestText_ToInt64(text, length);
        list->PieceLength = size >= 1 && size <= 0x7FFFFFFF ? (uint32_t)size : 0;
    }
    return 1;
}

int64_t PieceList_MemberFlush(PieceList* list) {
    CLASS_CHECK(list, PIECELIST_CLASS_ID);
    return 1;
}

int64_t PieceList_GetPieceTotal(PieceList* list, int32_t* total) {
    CLASS_CHECK(list, PIECELIST_CLASS_ID);
    ASSERT_POINTER(total);
    *total = list->PieceTotal;
    return 1;
}

int64_t PieceList_GetPieceLength(PieceList* list, uint32_t* length) {
    CLASS_CHECK(list, PIECELIST_CLASS_ID);
    ASSERT_POINTER(length);
    *length = list->PieceLength;
    return 1;
}

int64_t PieceList_GetHashPadding(PieceList* list, uint32_t* hashPadding) {
    CLASS_CHECK(list, PIECELIST_CLASS_ID);
    ASSERT_POINTER(hashPadding);
    *hashPadding = list->HashPadding;
    return 1;
}

int64_t PieceList_GetDigestSize(PieceList* list, uint32_t* size) {
    CLASS_CHECK(list, PIECELIST_CLASS_ID);
    ASSERT_POINTER(size);
    *size = list->DigestSize;
    return 1;
}

int64_t PieceList_GetAlgorithmName(PieceList* list, char* buffer, int32_t size) {
    CLASS_CHECK(list, PIECELIST_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLength(buffer, list->Algorithm, size);
    return 1;
}

int64_t PieceList_GetAlgorithm(PieceList* list, const HashInterface** record) {
    CLASS_CHECK(list, PIECELIST_CLASS_ID);
    ASSERT_POINTER(record);
    *record = nullptr;
    return Hash_InterfaceFromName(list->Algorithm, record) && *record;
}

int64_t PieceList_GetDigestByIndex(PieceList* list, int32_t index, uint8_t* buffer, int32_t size) {
    CLASS_CHECK(list, PIECELIST_CLASS_ID);
    ASSERT_POINTER(buffer);
    CheckIndex(list, index);
    const int32_t n = size < (int32_t)list->DigestSize ? size : (int32_t)list->DigestSize;
    if (n > 0) memcpy(buffer, list->Digests + (size_t)index * list->DigestSize, (size_t)n);
    return 1;
}

int64_t PieceList_GetDigestStringByIndex(PieceList* list, int32_t index, char* buffer, int32_t size) {
    CLASS_CHECK(list, PIECELIST_CLASS_ID);
    ASSERT_POINTER(buffer);
    CheckIndex(list, index);
    return Hash_ConvertDigestToString(list->Digests + (size_t)index * list->DigestSize, (int32_t)list->DigestSize, 0,
                                      buffer, size);
}

int64_t PieceList_GetIndexByDigest(PieceList* list, const uint8_t* digest, int32_t* index) {
    CLASS_CHECK(list, PIECELIST_CLASS_ID);
    ASSERT_POINTER(digest);
    ASSERT_POINTER(index);
    *index = -1;
    for (int32_t i = 0; i < list->PieceTotal; i++) {
        if (memcmp(list->Digests + (size_t)i * list->DigestSize, digest, list->DigestSize) == 0) {
            *index = i;
            return 1;
        }
    }
    return 0;
}

int64_t PieceList_CompareByIndex(PieceList* list, int32_t index, const uint8_t* digest, int32_t length) {
    CLASS_CHECK(list, PIECELIST_CLASS_ID);
    ASSERT_POINTER(digest);
    CheckIndex(list, index);
    if (length != (int32_t)list->DigestSize) return 0;
    return memcmp(list->Digests + (size_t)index * list->DigestSize, digest, (size_t)length) == 0;
}

uint64_t PieceList_GetStartOffset(PieceList* list, int32_t index) {
    CLASS_CHECK(list, PIECELIST_CLASS_ID);
    return (uint64_t)list->PieceLength * (uint64_t)(int64_t)index;
}

uint64_t PieceList_GetEndOffset(PieceList* list, int32_t index) {
    CLASS_CHECK(list, PIECELIST_CLASS_ID);
    return (uint64_t)list->PieceLength * (uint64_t)((int64_t)index + 1) - 1;
}

uint64_t PieceList_GetOffsetByIndex(uint32_t size, int32_t index) {
    return (uint64_t)(int64_t)index * size;
}

int32_t PieceList_GetIndexByOffset(uint64_t offset, uint32_t size) {
    return size < 1 ? 0 : ToIndex(offset / size);
}

int64_t PieceList_GetIndexRangeByOffset(PieceList* list, uint64_t offset, uint64_t length, uint32_t clamp,
                                        int32_t* first, int32_t* last) {
    CLASS_CHECK(list, PIECELIST_CLASS_ID);
    const uint32_t size = list->PieceLength;
    const uint64_t end = length > UINT64_MAX - offset ? UINT64_MAX : offset + length;
    int32_t a = size < 1 ? 0 : ToIndex(offset / size);
    int32_t b = size < 1 ? 0 : ToIndex(end / size);
    if (clamp == 1) {
        const int32_t top = list->PieceTotal - 1;
        if (a > top) a = top;
        if (b > top) b = top;
        if (a < 0) a = 0;
        if (b < 0) b = 0;
    }
    if (first) *first = a;
    if (last) *last = b;
    return 1;
}
