// Feeds arbitrary bytes to every text decoder and encoder of the Unicode conversions, the
// character-reference coders and the 16-bit string library, with exactly sized heap buffers on
// both sides so that any read or write past a bound is caught.
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/runtime/unicode.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

template <typename T> T* Allocate(size_t count) {
    // A zero-sized block still gets its own address, and any access to it is reported.
    return static_cast<T*>(std::malloc(count == 0 ? 1 : count * sizeof(T)));
}

// A NUL-terminated copy; the allocation is exactly size + 1 bytes.
char* Terminated(const uint8_t* data, size_t size) {
    char* text = Allocate<char>(size + 1);
    std::memcpy(text, data, size);
    text[size] = 0;
    return text;
}

// A copy without a terminator: readers must keep to the given length.
char* Counted(const uint8_t* data, size_t size) {
    char* text = Allocate<char>(size);
    if (size > 0) std::memcpy(text, data, size);
    return text;
}

template <typename Unit> Unit* Units(const uint8_t* data, size_t size, size_t* count, bool terminate) {
    *count = size / sizeof(Unit);
    Unit* units = Allocate<Unit>(*count + (terminate ? 1 : 0));
    if (*count > 0) std::memcpy(units, data, *count * sizeof(Unit));
    if (terminate) units[*count] = 0;
    return units;
}

size_t Length8(const char* text, int32_t capacity) {
    return strnlen(text, static_cast<size_t>(capacity));
}

// Every UTF-8 target of a given capacity must be terminated inside it.
void RequireTerminated(const char* target, int32_t capacity, int32_t result) {
    if (capacity < 1) return;
    const size_t length = Length8(target, capacity);
    Require(length < static_cast<size_t>(capacity));
    Require(result >= 0 && result < capacity);
}

// True when text is a sequence of whole characters each in its shortest form, so that decoding
// and encoding it again gives the same bytes.
bool Canonical(const char* text) {
    const size_t size = std::strlen(text);
    size_t i = 0;
    while (i < size) {
        uint32_t codePoint = 0;
        int32_t length = 0;
        if (!CharUtf8_ConvertToUtf32(text + i, static_cast<int32_t>(size - i), &codePoint, &length))
            return false;
        char again[8];
        int32_t written = 0;
        if (!CharUtf64_CopyToUtf8(codePoint, again, sizeof(again), &written)) return false;
        if (written != length || std::memcmp(again, text + i, static_cast<size_t>(length)) != 0) return false;
        i += static_cast<size_t>(length);
    }
    return true;
}

void Utf8Decoders(const uint8_t* data, size_t size, int32_t capacity) {
    char* text = Terminated(data, size);
    char* counted = Counted(data, size);
    const int32_t last = static_cast<int32_t>(size) - 1;

    for (size_t i = 0; i <= size; i++) {
        uint16_t unit = 0;
        int32_t length = 0;
        (void)CharUtf8_ConvertToUtf16(text + i, &unit, &length);
        Require(length >= 0 && length <= 6 && static_cast<size_t>(length) <= size - i + 1);
        uint32_t codePoint = 0;
        (void)CharUtf8_ConvertToUtf32(counted + i, static_cast<int32_t>(size - i), &codePoint, &length);
        Require(static_cast<size_t>(length) <= size - i);
        Require(codePoint <= 0x7FFFFFFF);
    }
    const int32_t characters = StringUtf8_Length(text);
    Require(characters >= 0 && static_cast<size_t>(characters) <= size);

    uint16_t* target16 = Allocate<uint16_t>(static_cast<size_t>(capacity));
    int32_t units = StringUtf8_CopyLengthToUtf16(target16, capacity, counted, last);
    Require(units >= 0 && units <= capacity);
    units = StringUtf8_CopyToUtf16(target16, text, capacity);
    Require(units >= 0 && units <= capacity);
    std::free(target16);

    uint32_t* target32 = Allocate<uint32_t>(static_cast<size_t>(capacity));
    units = StringUtf8_CopyLengthToUtf32(target32, capacity, counted, last);
    Require(units >= 0 && units <= capacity);
    for (int32_t i = 0; i < units; i++) Require(target32[i] <= 0x7FFFFFFF);
    units = StringUtf8_CopyToUtf32(target32, text, capacity);
    Require(units >= 0 && units <= capacity);
    std::free(target32);

    // The allocating forms are always terminated.
    uint16_t* created16 = nullptr;
    if (StringUtf8_CreateUtf16(text, &created16)) {
        Require(StringUtf16_Length(created16) <= characters);
        // Their 16-bit text goes back to UTF-8 within the measured size.
        char* back = nullptr;
        if (StringUtf16_CreateUtf8(created16, &back)) {
            Require(std::strlen(back) == static_cast<size_t>(StringUtf16_LengthUtf8(created16)));
            StringUtf16_DeleteUtf8(&back);
        }
        StringUtf8_DeleteUtf16(&created16);
    }
    if (StringUtf8_CreateUtf16Length(text, capacity, &created16)) {
        Require(StringUtf16_Length(created16) < capacity);
        StringUtf8_DeleteUtf16(&created16);
    }
    uint32_t* created32 = nullptr;
    if (StringUtf8_CreateWide(text, &created32)) {
        char* back = nullptr;
        if (WideString_CreateUtf8(created32, &back)) {
            // Whole, shortest-form text survives the trip through 32-bit units unchanged.
            if (Canonical(text)) Require(std::strcmp(back, text) == 0);
            WideString_DeleteUtf8(&back);
        }
        StringUtf8_DeleteWide(&created32);
    }

    // Locale conversions: measured, then converted whole or not at all.
    target16 = Allocate<uint16_t>(static_cast<size_t>(capacity));
    units = String_CopyLengthToUtf16(target16, capacity, counted, static_cast<int32_t>(size));
    Require(units >= 0 && (capacity < 1 || units < capacity));
    units = String_CopyToUtf16(target16, text, capacity);
    Require(units >= 0 && (capacity < 1 || units < capacity));
    if (capacity >= 1) Require(target16[units] == 0);
    std::free(target16);

    std::free(counted);
    std::free(text);
}

void ReferenceCoders(const uint8_t* data, size_t size, int32_t capacity) {
    char* text = Terminated(data, size);
    char* target = Allocate<char>(static_cast<size_t>(capacity));

    const int64_t decoded = StringUtf8_DecodeHtml(text, target, capacity);
    Require(decoded == 0 || decoded == 1);
    RequireTerminated(target, capacity, capacity >= 1 ? static_cast<int32_t>(Length8(target, capacity)) : 0);

    Require(StringUtf8_DecodeString(text, target, capacity) == 1);
    RequireTerminated(target, capacity, capacity >= 1 ? static_cast<int32_t>(Length8(target, capacity)) : 0);

    Require(StringUtf8_EncodeString(text, target, capacity) == 1);
    RequireTerminated(target, capacity, capacity >= 1 ? static_cast<int32_t>(Length8(target, capacity)) : 0);
    for (size_t i = 0; capacity >= 1 && target[i] != 0; i++) Require(static_cast<uint8_t>(target[i]) < 0x80);
    std::free(target);

    // The numeric references are the inverse of each other on whole characters, when the text
    // holds nothing that already looks like a reference.
    if (Canonical(text) && std::strchr(text, '#') == nullptr) {
        const size_t room = size * 14 + 1;
        char* encoded = Allocate<char>(room);
        StringUtf8_EncodeString(text, encoded, static_cast<int32_t>(room));
        char* back = Allocate<char>(size + 1);
        StringUtf8_DecodeString(encoded, back, static_cast<int32_t>(size + 1));
        Require(std::strcmp(back, text) == 0);
        std::free(back);
        std::free(encoded);
    }

    size_t count = 0;
    uint16_t* text16 = Units<uint16_t>(data, size, &count, true);
    uint16_t* target16 = Allocate<uint16_t>(static_cast<size_t>(capacity));
    const int64_t decoded16 = StringUtf16_DecodeHtml(text16, target16, capacity);
    Require(decoded16 == 0 || decoded16 == 1);
    if (capacity >= 1) Require(StringUtf16_Length(target16) < capacity);
    std::free(target16);
    std::free(text16);
    std::free(text);
}

void WideEncoders(const uint8_t* data, size_t size, int32_t capacity) {
    size_t count16 = 0;
    uint16_t* counted16 = Units<uint16_t>(data, size, &count16, false);
    size_t count32 = 0;
    uint32_t* counted32 = Units<uint32_t>(data, size, &count32, false);
    char* ansi = Counted(data, size);
    char* target = Allocate<char>(static_cast<size_t>(capacity));

    int32_t written =
        StringUtf16_CopyLengthToUtf8(target, capacity, counted16, static_cast<int32_t>(count16));
    RequireTerminated(target, capacity, written);
    written = StringUtf16_ESCopyLengthToUtf8(target, capacity, counted16, static_cast<int32_t>(count16));
    RequireTerminated(target, capacity, written);
    written = StringUtf32_CopyLengthToUtf8(target, capacity, counted32, static_cast<int32_t>(count32));
    RequireTerminated(target, capacity, written);
    written = StringAnsi_CopyLengthToUtf8(target, capacity, ansi, static_cast<int32_t>(size));
    RequireTerminated(target, capacity, written);
    written = StringUtf16_CopyLengthToAscii(target, capacity, counted16, static_cast<int32_t>(count16));
    RequireTerminated(target, capacity, written);

    uint16_t* target16 = Allocate<uint16_t>(static_cast<size_t>(capacity));
    const int32_t units =
        StringUtf32_CopyLengthToUtf16(target16, capacity, counted32, static_cast<int32_t>(count32) - 1);
    Require(units >= 0 && units <= capacity);
    std::free(target16);

    // Terminated forms and the allocating conversions, sized by their own length functions.
    size_t n = 0;
    uint16_t* text16 = Units<uint16_t>(data, size, &n, true);
    uint32_t* text32 = Units<uint32_t>(data, size, &n, true);
    char* text = Terminated(data, size);
    char* created = nullptr;
    if (StringUtf16_CreateUtf8(text16, &created)) {
        Require(std::strlen(created) == static_cast<size_t>(StringUtf16_LengthUtf8(text16)));
        StringUtf16_DeleteUtf8(&created);
    }
    if (WideString_CreateUtf8(text32, &created)) {
        const int32_t length = StringUtf32_LengthUtf8(text32);
        Require(std::strlen(created) <= static_cast<size_t>(length));
        WideString_DeleteUtf8(&created);
    }
    if (StringAnsi_CreateUtf8(text, &created)) {
        Require(std::strlen(created) == static_cast<size_t>(StringAnsi_LengthUtf8(text)));
        StringAnsi_DeleteUtf8(&created);
    }
    written = StringUtf16_CopyToAscii(target, text16, capacity);
    RequireTerminated(target, capacity, written);
    std::free(text);
    std::free(text32);
    std::free(text16);

    std::free(target);
    std::free(ansi);
    std::free(counted32);
    std::free(counted16);
}

void String16Library(const uint8_t* data, size_t size, int32_t capacity, size_t split) {
    size_t count = 0;
    uint16_t* text = Units<uint16_t>(data, split, &count, true);
    uint16_t* pattern = Units<uint16_t>(data + split, size - split, &count, true);
    const uint16_t* pos = nullptr;
    const uint16_t unit = size > 0 ? data[0] : 'a';

    (void)StringUtf16_FindChar(text, unit, &pos);
    (void)StringUtf16_FindCharReverse(text, unit, &pos);
    (void)StringUtf16_FindCharReverseAt(text, unit, capacity - 2, &pos);
    (void)StringUtf16_FindString(text, pattern, &pos);
    (void)StringUtf16_FindStringWithoutCase(text, pattern, &pos);
    (void)StringUtf16_CompareBeginning(text, pattern);
    (void)StringUtf16_CompareBeginningWithoutCase(text, pattern);
    (void)StringUtf16_Compare(text, pattern);
    (void)StringUtf16_CompareWithoutCase(text, pattern);
    (void)StringUtf16_CompareLength(text, pattern, capacity);
    (void)StringUtf16_CompareLengthWithoutCase(text, pattern, capacity);
    (void)StringUtf16_CompareEnding(text, pattern);
    (void)StringUtf16_CompareEndingWithoutCase(text, pattern);
    (void)StringUtf16_CompareWildcard(text, pattern);
    (void)StringUtf16_CompareWildcardWithoutCase(text, pattern);
    (void)StringUtf16_AtoI64(text);
    (void)StringUtf16_AtoI(pattern);
    // A text always matches itself as a pattern: each '*' in it can stand for itself.
    Require(StringUtf16_CompareWildcard(text, text) == 1);
    Require(StringUtf16_CompareWildcardWithoutCase(pattern, pattern) == 1);

    uint16_t* target = Allocate<uint16_t>(static_cast<size_t>(capacity));
    int32_t units = StringUtf16_CopyLength(target, text, capacity);
    Require(units >= 0 && (capacity < 1 || units < capacity));
    units = StringUtf16_CatLength(target, pattern, capacity);
    Require(units >= 0 && (capacity < 1 || StringUtf16_Length(target) < capacity));
    if (capacity >= 1) StringUtf16_Reverse(target);
    std::free(target);
    std::free(pattern);
    std::free(text);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The locale conversions are exercised with a multibyte encoding.
    std::setlocale(LC_CTYPE, "C.UTF-8");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 4096) return 0;
    // The first byte picks the capacity of every target and a split point of the rest.
    const uint8_t control = data[0];
    const uint8_t* body = data + 1;
    const size_t bodySize = size - 1;
    const int32_t capacity = control < 0xF0 ? control % 24 : static_cast<int32_t>(bodySize) * 2 + 2;
    const size_t split = bodySize > 0 ? (control * 7u) % (bodySize + 1) : 0;

    Utf8Decoders(body, bodySize, capacity);
    ReferenceCoders(body, bodySize, capacity);
    WideEncoders(body, bodySize, capacity);
    String16Library(body, bodySize, capacity, split & ~size_t{1});
    return 0;
}
