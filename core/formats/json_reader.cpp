// The JSON scanner: a resumable state machine over runs of bytes that keeps a stack of open
// containers and raises every completed value, with its path, to the callback and the Dictionary.
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/formats/json.h"
#include "core/formats/json_internal.h"
#include "core/formats/json_simd.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/dictionary_load.h"
#include "core/runtime/memory.h"
#include "core/runtime/string_print.h"
#include "core/runtime/unicode.h"

namespace {

// Number states: start, after a leading zero, in digits, just after the exponent letter, a digit
// is required, after a leading minus.
enum : uint32_t { S0 = 0, S1, S2, S3, S4, S5 };
enum : uint32_t { NUMBER_POINT = 1, NUMBER_EXPONENT = 2 };
// String substates.
enum : uint32_t { STRING_PLAIN = 0, STRING_ESCAPE = 1, STRING_HEX = 2 };

constexpr int32_t kPathSize = JSON_PATH_SIZE;
// A scalar stored straight from the input is shorter than the longest value text; a longer one
// goes the buffered way, which reports it.
constexpr uint32_t kDirectLimit = 0x7FFFFF00;

bool Fail(JSON* json, uint32_t code) {
    json->Error = code;
    json->Done = 1;
    return false;
}

void Grow(JSON* json, int32_t extra) {
    const int64_t needed = (int64_t)json->ValueLength + extra + 1;
    if (needed <= json->ValueCapacity) return;
    int64_t capacity = json->ValueCapacity;
    while (capacity < needed) capacity *= 2;
    if (capacity > 0x7FFFFFFF) capacity = 0x7FFFFFFF;
    char* grown = static_cast<char*>(Memory_Alloc((int32_t)capacity));
    memcpy(grown, json->Value, (size_t)json->ValueLength + 1);
    Memory_Free(json->Value, json->ValueCapacity);
    json->Value = grown;
    json->ValueCapacity = (int32_t)capacity;
}

// Appends bytes to the value buffer, which stays NUL-terminated. False when the text would pass
// the largest length an item can hold.
bool BufferAppend(JSON* json, const char* bytes, int32_t length) {
    if ((int64_t)json->ValueLength + length >= 0x7FFFFF00) {
        JSON_Print(json, "Value too long [@ %d:%d]", json->Line, json->Column);
        return Fail(json, JSON_ERROR_STRING);
    }
    Grow(json, length);
    memcpy(json->Value + json->ValueLength, bytes, (size_t)length);
    json->ValueLength += length;
    json->Value[json->ValueLength] = 0;
    return true;
}

void BufferEmpty(JSON* json) {
    json->ValueLength = 0;
    json->Value[0] = 0;
}

bool InObject(const JSON* json) {
    return json->Depth > 0 && json->TypeStack[json->Depth - 1] == JSON_VALUE_OBJECT;
}

bool InArray(const JSON* json) {
    return json->Depth > 0 && json->TypeStack[json->Depth - 1] == JSON_VALUE_ARRAY;
}

bool KeyPending(const JSON* json) {
    return json->Depth > 0 && (json->KeyFlags & (1u << (json->Depth - 1))) != 0;
}

void ClearKey(JSON* json, int32_t depth) {
    if (depth < 0) return;
    JSON_PathChanged(json, depth);
    json->KeyFlags &= ~(1u << depth);
    json->KeyText[depth][0] = 0;
    json->KeyLength[depth] = 0;
    json->KeyPathLength[depth] = 0;
}

} // namespace

int64_t JSON_BufferConcat(JSON* json, char c) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    if ((uint8_t)c >= 0x80) json->ValueHigh = 1;
    if (c == 0) json->ValueNul = 1;
    if (json->ValueLength + 1 < json->ValueCapacity) {
        json->Value[json->ValueLength++] = c;
        json->Value[json->ValueLength] = 0;
        return 1;
    }
    return BufferAppend(json, &c, 1) ? 1 : 0;
}

namespace {

// The path of the open containers, NUL-terminated, in the object's own path text; valid until the
// scanner moves on. Only the levels that changed since the last value are built again, by
// copying; whatever does not fit is cut.
const char* BuildPath(JSON* json, int32_t* pathLength) {
    int32_t used = json->PathDepth > 0 ? json->PathEnd[json->PathDepth - 1] : 0;
    char* path = json->PathText;
    const auto append = [&](const char* text, int32_t length) {
        const int32_t room = kPathSize - 1 - used;
        if (length > room) length = room;
        memcpy(path + used, text, (size_t)length);
        used += length;
    };
    for (int32_t d = json->PathDepth; d < json->Depth; d++) {
        if (d > 0) append("\\", 1);
        if (json->TypeStack[d] == JSON_VALUE_ARRAY) {
            char digits[16];
            int32_t at = (int32_t)sizeof(digits);
            uint32_t index = json->ArrayIndex[d] < 0 ? 0u : (uint32_t)json->ArrayIndex[d];
            do {
                digits[--at] = (char)('0' + index % 10);
                index /= 10;
            } while (index != 0);
            append(digits + at, (int32_t)sizeof(digits) - at);
        } else if (json->KeyPathLength[d] <= 32 && used + 32 < kPathSize) {
            // A short key in one fixed-size copy: the key text and the path text both have the
            // room, and what lies past the key's end is written over by the next level.
            memcpy(path + used, json->KeyText[d], 32);
            used += json->KeyPathLength[d];
        } else {
            append(json->KeyText[d], json->KeyPathLength[d]);
        }
        json->PathEnd[d] = used;
    }
    json->PathDepth = json->Depth;
    const int32_t length = json->Depth > 0 ? json->PathEnd[json->Depth - 1] : 0;
    // Levels at and past the depth are rebuilt before they are used again, so the terminator
    // overwrites nothing that is still valid.
    path[length] = 0;
    *pathLength = length;
    return path;
}

} // namespace

int64_t JSON_GetPath(JSON* json, char* buffer, int32_t capacity) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    ASSERT_POINTER(buffer);
    if (capacity <= 0) return 0;
    int32_t length = 0;
    const char* path = BuildPath(json, &length);
    const int32_t copied = length < capacity - 1 ? length : capacity - 1;
    memcpy(buffer, path, (size_t)copied);
    buffer[copied] = 0;
    return 1;
}

namespace {

// A value raised (and let through by the callback) becomes an item of the container open at the
// current depth, when a Dictionary is bound.
void StoreValue(JSON* json, uint32_t type, const char* value, int32_t length) {
    if (!json->Dict) return;
    Dictionary* target = json->Containers[json->Depth];
    if (!target) target = json->Depth == 0 ? json->Dict : nullptr;
    if (!target) return;
    const char* key = nullptr;
    int32_t keyLength = 0;
    if (InObject(json) && KeyPending(json)) {
        key = json->KeyText[json->Depth - 1];
        keyLength = json->KeyLength[json->Depth - 1];
    }
    // The item type of each JsonValueType.
    static constexpr uint32_t kItemType[] = {DICTIONARY_TYPE_UNKNOWN,    DICTIONARY_TYPE_STRING,
                                             DICTIONARY_TYPE_FLOAT64,    DICTIONARY_TYPE_DICTIONARY,
                                             DICTIONARY_TYPE_LIST,       DICTIONARY_TYPE_BOOLEAN,
                                             DICTIONARY_TYPE_NULL};
    uint32_t itemType = DICTIONARY_TYPE_UNKNOWN;
    if (type < sizeof(kItemType) / sizeof(kItemType[0])) itemType = kItemType[type];
    if (itemType == DICTIONARY_TYPE_UNKNOWN) length = 0;
    Dictionary* child = nullptr;
    Dictionary_AppendLoadedIndexLater(target, key, keyLength, itemType, value, length, &child);
    if (itemType == DICTIONARY_TYPE_DICTIONARY || itemType == DICTIONARY_TYPE_LIST)
        json->Containers[json->Depth + 1] = child;
}

} // namespace

int64_t JSON_RaiseValue(JSON* json, const char* path, uint32_t type, const char* value, int32_t length,
                        uint64_t position) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    ASSERT_POINTER(value);
    ASSERT_MSG(length >= 0, "A value length cannot be negative");
    const bool trace = json->TraceValues != 0;
    if (!path) {
        // The path is only built when someone will see it.
        int32_t pathLength = 0;
        path = json->Callback != nullptr || trace ? BuildPath(json, &pathLength) : "";
    }
    if (trace)
        JSON_VerboseLog(json, 9, "Path %s Type %d Buf %s BufSize %d StreamPos %lld NodePos %d NodeSize %d",
                        path, (int32_t)type, value, length, (int64_t)position, length, length);
    if (json->Callback) {
        uint32_t error = 0;
        if (!json->Callback(json, json->CallbackUser, path, type, value, length, position, length, length,
                            &error)) {
            // A veto without a code still stops the load as a failure.
            return Fail(json, error != 0 ? error : JSON_ERROR_BUILD);
        }
    }
    StoreValue(json, type, value, length);
    return 1;
}

int64_t JSON_ValidateComma(JSON* json, char c) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    if (json->ValueComplete && !json->Comma) {
        JSON_Print(json, "Comma expected [%c @ %d:%d]", c, json->Line, json->Column);
        return 0;
    }
    return 1;
}

namespace {

// What opening any value does first; a comma missing before it is only reported.
void OpenValue(JSON* json, char c) {
    if (json->ValueComplete && !json->Comma)
        JSON_Print(json, "Comma expected [%c @ %d:%d]", c, json->Line, json->Column);
    json->ValueComplete = json->Comma = 0;
    json->Substate = json->NumberFlags = 0;
    json->HexCount = 0;
    json->PendingHigh = 0;
    json->Started = 1;
    if (InArray(json)) {
        json->ArrayIndex[json->Depth - 1]++;
        JSON_PathChanged(json, json->Depth - 1);
    }
}

// Opens a string, number or literal.
void PushScalar(JSON* json, uint32_t kind, char c) {
    OpenValue(json, c);
    json->TypeStack[json->Depth] = kind;
    json->ValueHigh = 0;
    json->ValueNul = 0;
    BufferEmpty(json);
}

// Opens an object or array; `direct` when no callback or trace sees the raise.
bool OpenContainer(JSON* json, uint32_t kind, char c, bool direct) {
    OpenValue(json, c);
    if (json->Depth + 1 >= JSON_MAX_DEPTH) {
        JSON_Print(json, "Unknown field type [%c @ %d:%d]", c, json->Line, json->Column);
        return Fail(json, JSON_ERROR_FIELD_TYPE);
    }
    // A container cannot be an object key: without a pending key it would be stored unnamed.
    if (InObject(json) && !KeyPending(json)) {
        JSON_Print(json, "Unknown field type [%c @ %d:%d]", c, json->Line, json->Column);
        return Fail(json, JSON_ERROR_FIELD_TYPE);
    }
    json->TypeStack[json->Depth] = kind;
    JSON_PathChanged(json, json->Depth);
    if (direct)
        StoreValue(json, kind, "", 0);
    else if (!JSON_RaiseValue(json, nullptr, kind, "", 0, json->StreamPosition))
        return false;
    json->Depth++;
    json->TypeStack[json->Depth] = 0;
    json->ArrayIndex[json->Depth - 1] = -1;
    ClearKey(json, json->Depth - 1);
    return true;
}

} // namespace

int64_t JSON_PushType(JSON* json, uint32_t kind, char c) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    if (kind < JSON_VALUE_STRING || kind > JSON_VALUE_NULL) {
        JSON_Print(json, "Unknown type [%d]", (int32_t)kind);
        return Fail(json, JSON_ERROR_TYPE);
    }
    if (kind != JSON_VALUE_OBJECT && kind != JSON_VALUE_ARRAY) {
        PushScalar(json, kind, c);
        return 1;
    }
    return OpenContainer(json, kind, c, json->Callback == nullptr && json->TraceValues == 0) ? 1 : 0;
}

int64_t JSON_BufferFlush(JSON* json, uint32_t type) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    // A caller filling the buffer by hand has consumed no stream characters: the position stays 0.
    const uint64_t length = (uint64_t)json->ValueLength;
    const uint64_t position = json->StreamPosition >= length ? json->StreamPosition - length : 0;
    if (!JSON_RaiseValue(json, nullptr, type, json->Value, json->ValueLength, position)) return 0;
    json->ValueComplete = 1;
    BufferEmpty(json);
    return 1;
}

namespace {

// The scalar at the current depth, whose text is `text` (the value buffer, or the input itself
// when the whole scalar was in view), is complete: it becomes the pending key of an object, or is
// raised as a value.
// Closes the scalar of `kind` open at the current depth, with its text.
// `room` is the count of bytes readable from `text` on (a short key is copied in one fixed-size
// move when there are enough).
bool PopScalar(JSON* json, uint32_t kind, const char* text, int32_t length, uint32_t room) {
    json->TypeStack[json->Depth] = 0;
    if (InObject(json) && !KeyPending(json)) {
        const int32_t d = json->Depth - 1;
        if (length > JSON_MAX_KEY_LENGTH) {
            JSON_Print(json, "Key exceeds maximum length [%d > %d @ %d:%d]", length, JSON_MAX_KEY_LENGTH,
                       json->Line, json->Column);
            return Fail(json, JSON_ERROR_STRING);
        }
        // Keys are C strings in the store: a NUL (from \u0000) would cut this one, and the cut
        // key could stand for another key of the object.
        if (json->ValueNul && memchr(text, 0, (size_t)length) != nullptr) {
            JSON_Print(json, "Key holds a NUL character [%s @ %d:%d]", text, json->Line, json->Column);
            return Fail(json, JSON_ERROR_STRING);
        }
        if (length > 0 || kind == JSON_VALUE_STRING) {
            JSON_PathChanged(json, d);
            if (length <= 32 && room >= 32)
                memcpy(json->KeyText[d], text, 32);
            else
                memcpy(json->KeyText[d], text, (size_t)length);
            json->KeyText[d][length] = 0;
            json->KeyLength[d] = length;
            json->KeyPathLength[d] = length;
            json->KeyFlags |= 1u << d;
        }
        BufferEmpty(json);
        return true;
    }
    if (json->Callback == nullptr && json->TraceValues == 0) {
        // Nobody sees the raise: straight to the store.
        StoreValue(json, kind, text, length);
    } else {
        const uint64_t position =
            json->StreamPosition >= (uint64_t)length ? json->StreamPosition - (uint64_t)length : 0;
        if (!JSON_RaiseValue(json, nullptr, kind, text, length, position)) return false;
    }
    json->ValueComplete = 1;
    BufferEmpty(json);
    if (InObject(json)) ClearKey(json, json->Depth - 1);
    if (json->Depth == 0) json->Done = 1;
    return true;
}

bool PopValueText(JSON* json, const char* text, int32_t length) {
    return PopScalar(json, json->TypeStack[json->Depth], text, length, 0);
}

bool PopValue(JSON* json) {
    return PopScalar(json, json->TypeStack[json->Depth], json->Value, json->ValueLength,
                     (uint32_t)json->ValueCapacity);
}

bool PopContainer(JSON* json) {
    if (json->Depth <= 0) return Fail(json, JSON_ERROR_FIELD_TYPE);
    json->Depth--;
    ClearKey(json, json->Depth);
    const bool object = json->TypeStack[json->Depth] == JSON_VALUE_OBJECT;
    json->TypeStack[json->Depth] = 0;
    // An object is complete: its key index is made now, in one pass (an array's items are unnamed).
    if (object && json->Containers[json->Depth + 1])
        Dictionary_IndexLoaded(json->Containers[json->Depth + 1]);
    json->Containers[json->Depth + 1] = nullptr;
    if (InObject(json)) ClearKey(json, json->Depth - 1);
    json->ValueComplete = 1;
    json->Comma = 0;
    if (json->Depth == 0) json->Done = 1;
    return true;
}

} // namespace

int64_t JSON_PopType(JSON* json) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    return json->TypeStack[json->Depth] != 0 ? PopValue(json) : PopContainer(json);
}

namespace {

// Appends a code point as UTF-8.
bool AppendCodePoint(JSON* json, uint32_t cp) {
    if (cp == 0) json->ValueNul = 1;
    char out[4];
    int32_t n;
    if (cp < 0x80) {
        out[0] = (char)cp;
        n = 1;
    } else if (cp < 0x800) {
        out[0] = (char)(0xC0 | (cp >> 6));
        out[1] = (char)(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        out[0] = (char)(0xE0 | (cp >> 12));
        out[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
        out[2] = (char)(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        out[0] = (char)(0xF0 | (cp >> 18));
        out[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
        out[2] = (char)(0x80 | ((cp >> 6) & 0x3F));
        out[3] = (char)(0x80 | (cp & 0x3F));
        n = 4;
    }
    return BufferAppend(json, out, n);
}

int32_t HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The four digits of a unicode escape are complete; surrogate halves are joined into one character.
bool FinishHex(JSON* json) {
    uint32_t value = 0;
    for (int32_t i = 0; i < 4; i++) {
        const int32_t digit = HexValue(json->Hex[i]);
        if (digit < 0) {
            JSON_Print(json, "Unexpected unicode hex characters [%.4s @ %d:%d]", json->Hex, json->Line,
                       json->Column);
            return Fail(json, JSON_ERROR_STRING);
        }
        value = (value << 4) | (uint32_t)digit;
    }
    json->Substate = STRING_PLAIN;
    json->HexCount = 0;
    if (json->PendingHigh) {
        const uint32_t high = json->PendingHigh;
        json->PendingHigh = 0;
        if (value >= 0xDC00 && value <= 0xDFFF)
            return AppendCodePoint(json, 0x10000 + ((high - 0xD800) << 10) + (value - 0xDC00));
        JSON_Print(json, "Unexpected unicode character value [\\u%0x @ %d:%d]", high, json->Line,
                   json->Column);
        return Fail(json, JSON_ERROR_STRING);
    }
    if (value >= 0xD800 && value <= 0xDBFF) {
        json->PendingHigh = value;
        return true;
    }
    if (value >= 0xDC00 && value <= 0xDFFF) {
        JSON_Print(json, "Unexpected unicode character value [\\u%0x @ %d:%d]", value, json->Line,
                   json->Column);
        return Fail(json, JSON_ERROR_STRING);
    }
    return AppendCodePoint(json, value);
}

bool EndString(JSON* json) {
    if (json->PendingHigh) {
        JSON_Print(json, "Unexpected unicode character value [\\u%0x @ %d:%d]", json->PendingHigh, json->Line,
                   json->Column);
        return Fail(json, JSON_ERROR_STRING);
    }
    if (json->ValueHigh && StringUtf8_ValidLength(json->Value, json->ValueLength) != json->ValueLength) {
        JSON_Print(json, "Invalid UTF-8 in string [@ %d:%d]", json->Line, json->Column);
        return Fail(json, JSON_ERROR_STRING);
    }
    return JSON_PopType(json);
}

constexpr uint32_t kEscapeFailed = 0xFFFFFFFFu;

// The four hex digits at p, or -1.
int32_t HexWord(const uint8_t* p) {
    int32_t value = 0;
    for (int32_t k = 0; k < 4; k++) {
        const int32_t digit = HexValue((char)p[k]);
        if (digit < 0) return -1;
        value = (value << 4) | digit;
    }
    return value;
}

// Decodes the escape at p (a backslash, with `room` bytes in view) when it is complete and well
// formed: a one-letter escape, a \u escape of a character outside the surrogates, or a \u pair of
// surrogates; answers the bytes taken, with the position, line and column moved as the byte-wise
// path moves them. 0 leaves the escape to that path (which also reports what is wrong);
// kEscapeFailed when the text grew too long.
uint32_t InlineEscape(JSON* json, const uint8_t* p, uint32_t room) {
    if (room < 2) return 0;
    char out = 0;
    switch (p[1]) {
    case '"':
    case '/':
    case '\\':
        out = (char)p[1];
        break;
    case 'b':
        out = 8;
        break;
    case 'f':
        out = 12;
        break;
    case 'n':
        out = 10;
        break;
    case 'r':
        out = 13;
        break;
    case 't':
        out = 9;
        break;
    case 'u': {
        if (room < 6) return 0;
        const int32_t value = HexWord(p + 2);
        if (value < 0 || (value >= 0xDC00 && value <= 0xDFFF)) return 0;
        uint32_t cp = (uint32_t)value;
        uint32_t taken = 6;
        if (value >= 0xD800 && value <= 0xDBFF) {
            if (room < 12 || p[6] != '\\' || p[7] != 'u') return 0;
            const int32_t low = HexWord(p + 8);
            if (low < 0xDC00 || low > 0xDFFF) return 0;
            cp = 0x10000 + (((uint32_t)value - 0xD800) << 10) + ((uint32_t)low - 0xDC00);
            taken = 12;
        }
        if (!AppendCodePoint(json, cp)) return kEscapeFailed;
        json->StreamPosition += taken;
        json->Column += (int32_t)taken;
        return taken;
    }
    default:
        return 0;
    }
    if (!JSON_BufferConcat(json, out)) return kEscapeFailed;
    json->StreamPosition += 2;
    if (out == 10) {
        // As the byte-wise path counts it: the new line starts at the escape letter.
        json->Line++;
        json->Column = 1;
    } else {
        json->Column += 2;
    }
    return 2;
}

// One character inside a string. Plain runs are handled in bulk by the caller.
bool StringChar(JSON* json, char c) {
    if (json->Substate == STRING_HEX) {
        json->Hex[json->HexCount++] = c;
        return json->HexCount < 4 || FinishHex(json);
    }
    if (json->Substate == STRING_ESCAPE) {
        json->Substate = STRING_PLAIN;
        if (json->PendingHigh && c != 'u') {
            JSON_Print(json, "Unexpected unicode character value [\\u%0x @ %d:%d]", json->PendingHigh,
                       json->Line, json->Column);
            return Fail(json, JSON_ERROR_STRING);
        }
        switch (c) {
        case '"':
        case '/':
        case '\\':
            return JSON_BufferConcat(json, c);
        case 'b':
            return JSON_BufferConcat(json, 8);
        case 'f':
            return JSON_BufferConcat(json, 12);
        case 'n':
            json->Line++;
            json->Column = 0;
            return JSON_BufferConcat(json, 10);
        case 'r':
            return JSON_BufferConcat(json, 13);
        case 't':
            return JSON_BufferConcat(json, 9);
        case 'u':
            json->Substate = STRING_HEX;
            json->HexCount = 0;
            return true;
        default:
            JSON_Print(json, "Unexpected escape character in string [%c @ %d:%d]", c, json->Line,
                       json->Column);
            return Fail(json, JSON_ERROR_STRING);
        }
    }
    if (json->PendingHigh && c != '\\') {
        JSON_Print(json, "Unexpected unicode character value [\\u%0x @ %d:%d]", json->PendingHigh, json->Line,
                   json->Column);
        return Fail(json, JSON_ERROR_STRING);
    }
    if (c == '"') return EndString(json);
    if (c == '\\') {
        json->Substate = STRING_ESCAPE;
        return true;
    }
    if (c == 0) {
        JSON_Print(json, "Unexpected NUL character in string [@ %d:%d]", json->Line, json->Column);
        return Fail(json, JSON_ERROR_STRING);
    }
    return JSON_BufferConcat(json, c);
}

bool NumberError(JSON* json, char c) {
    JSON_Print(json, "Unexpected character parsing integer [%c @ %d:%d]", c, json->Line, json->Column);
    return Fail(json, JSON_ERROR_INTEGER);
}

enum NumberStep { NUMBER_TAKEN, NUMBER_ENDED, NUMBER_BAD };

// One character of a number against the state and flags so far: taken into the number, the end
// of the number (the character belongs to what follows), or an error. The grammar is JSON's
// own: a '-' only in front, no leading zero before other digits, a point only after the whole
// part's digits, a '+' only in the exponent, and a digit after each of '-', '.' and the
// exponent; so every number stored is one any JSON reader takes, with the value it gives.
inline NumberStep StepNumber(uint32_t& s, uint32_t& flags, char c) {
    switch (c) {
    case '+':
        if (s != S3) return NUMBER_BAD;
        s = S4;
        return NUMBER_TAKEN;
    case '-':
        if (s == S0)
            s = S5;
        else if (s == S3)
            s = S4;
        else
            return NUMBER_BAD;
        return NUMBER_TAKEN;
    case '.':
        if ((flags & (NUMBER_POINT | NUMBER_EXPONENT)) || (s != S1 && s != S2)) return NUMBER_BAD;
        flags |= NUMBER_POINT;
        s = S4;
        return NUMBER_TAKEN;
    case '0':
        if (s == S1) return NUMBER_BAD;
        s = s == S0 || s == S5 ? S1 : S2;
        return NUMBER_TAKEN;
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
        if (s == S1) return NUMBER_BAD;
        s = S2;
        return NUMBER_TAKEN;
    case 'e':
    case 'E':
        if ((flags & NUMBER_EXPONENT) || (s != S1 && s != S2)) return NUMBER_BAD;
        flags |= NUMBER_EXPONENT;
        s = S3;
        return NUMBER_TAKEN;
    default:
        return s == S1 || s == S2 ? NUMBER_ENDED : NUMBER_BAD;
    }
}

// One character of a number; *again is set when the number ended and `c` belongs to what follows.
bool NumberChar(JSON* json, char c, bool* again) {
    switch (StepNumber(json->Substate, json->NumberFlags, c)) {
    case NUMBER_TAKEN:
        return JSON_BufferConcat(json, c);
    case NUMBER_ENDED:
        *again = true;
        return JSON_PopType(json);
    default:
        return NumberError(json, c);
    }
}

// The end of a whole, valid number starting at `i`, followed by the byte that ends it, all in
// view; 0 when it is not (an error, or the input ends first), for the byte-wise path to handle.
uint32_t WholeNumberEnd(const uint8_t* bytes, uint32_t i, uint32_t length) {
    uint32_t s = S0, flags = 0;
    for (uint32_t j = i; j < length; j++) {
        switch (StepNumber(s, flags, (char)bytes[j])) {
        case NUMBER_TAKEN:
            continue;
        case NUMBER_ENDED:
            return j;
        default:
            return 0;
        }
    }
    return 0;
}

} // namespace

bool JSON_IsNumberText(const char* text, int32_t length) {
    uint32_t s = S0, flags = 0;
    for (int32_t i = 0; i < length; i++)
        if (StepNumber(s, flags, text[i]) != NUMBER_TAKEN) return false;
    return s == S1 || s == S2;
}

namespace {

// One character of a literal; *counted is set when it completed the literal, which is then
// raised with this last character already consumed, as a literal taken whole is.
bool LiteralChar(JSON* json, char c, bool* counted) {
    const uint32_t kind = json->TypeStack[json->Depth];
    if (!JSON_BufferConcat(json, c)) return false;
    const char* v = json->Value;
    const int32_t n = json->ValueLength;
    if (kind == JSON_VALUE_NULL) {
        if (memcmp(v, "null", (size_t)n) != 0) {
            JSON_Print(json, "Unexpected characters parsing null [%.3s @ %d:%d]", v, json->Line,
                       json->Column);
            return Fail(json, JSON_ERROR_NULL);
        }
        if (n < 4) return true;
        *counted = true;
        json->StreamPosition++;
        json->Column++;
        return JSON_PopType(json);
    }
    const bool isTrue = n <= 4 && memcmp(v, "true", (size_t)n) == 0;
    const bool isFalse = n <= 5 && memcmp(v, "false", (size_t)n) == 0;
    if (!isTrue && !isFalse) {
        JSON_Print(json, "Unexpected characters parsing boolean [%.5s @ %d:%d]", v, json->Line, json->Column);
        return Fail(json, JSON_ERROR_BOOLEAN);
    }
    if ((isTrue && n == 4) || (isFalse && n == 5)) {
        *counted = true;
        json->StreamPosition++;
        json->Column++;
        return JSON_PopType(json);
    }
    return true;
}

// One character between values.
bool BetweenChar(JSON* json, char c, bool* again) {
    switch (c) {
    case ' ':
    case '\t':
    case '\n':
    case '\r':
    case 0:
    case ':':
        return true;
    case ',':
        // A key followed by a comma has no value to go with it.
        if (InObject(json) && KeyPending(json)) {
            JSON_Print(json, "Unknown field type [%c @ %d:%d]", c, json->Line, json->Column);
            return Fail(json, JSON_ERROR_FIELD_TYPE);
        }
        json->Comma = 1;
        json->ValueComplete = 0;
        return true;
    case '"':
        return JSON_PushType(json, JSON_VALUE_STRING, c);
    case '+':
    case '-':
    case '.':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
        *again = true;
        return JSON_PushType(json, JSON_VALUE_NUMBER, c);
    case 't':
    case 'f':
        *again = true;
        return JSON_PushType(json, JSON_VALUE_BOOLEAN, c);
    case 'n':
        *again = true;
        return JSON_PushType(json, JSON_VALUE_NULL, c);
    case '{':
        return JSON_PushType(json, JSON_VALUE_OBJECT, c);
    case '[':
        return JSON_PushType(json, JSON_VALUE_ARRAY, c);
    case ']':
    case '}':
        if (json->Depth == 0) {
            JSON_Print(json, "Unknown field type [%c @ %d:%d]", c, json->Line, json->Column);
            return Fail(json, JSON_ERROR_FIELD_TYPE);
        }
        if (json->Comma) JSON_Print(json, "Comma not expected [, @ %d:%d]", json->Line, json->Column);
        // A key read without its value leaves nothing to store.
        if (InObject(json) && KeyPending(json)) {
            JSON_Print(json, "Unknown field type [%c @ %d:%d]", c, json->Line, json->Column);
            return Fail(json, JSON_ERROR_FIELD_TYPE);
        }
        return JSON_PopType(json);
    default:
        JSON_Print(json, "Unknown field type [%c @ %d:%d]", c, json->Line, json->Column);
        return Fail(json, JSON_ERROR_FIELD_TYPE);
    }
}

// The end of a plain string run from `i`: the first 16 bytes are looked at here (most keys and
// short values end in them), the rest by the vector search of the engine in use.
inline size_t RunEnd(const uint8_t* bytes, size_t i, size_t length, bool* nonAscii, bool vector) {
#if defined(__SSE2__)
    if (vector && length - i >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
        const __m128i stop =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))),
                         _mm_cmpeq_epi8(v, _mm_setzero_si128()));
        const uint32_t stops = (uint32_t)_mm_movemask_epi8(stop);
        const uint32_t highs = (uint32_t)_mm_movemask_epi8(v);
        if (stops) {
            const uint32_t at = (uint32_t)__builtin_ctz(stops);
            if (highs & ((1u << at) - 1)) *nonAscii = true;
            return i + at;
        }
        if (highs) *nonAscii = true;
        return JsonSimd_StringRunEnd(bytes, i + 16, length, nonAscii);
    }
#else
    (void)vector;
#endif
    return JsonSimd_StringRunEnd(bytes, i, length, nonAscii);
}

// The end of a whole number from `i` in view: whole numbers without point or exponent are taken
// by a plain digit loop, anything else by the state machine.
inline uint32_t NumberEnd(const uint8_t* bytes, uint32_t i, uint32_t length) {
    uint32_t j = i + (bytes[i] == '-' ? 1u : 0u);
    if (j < length && bytes[j] >= '1' && bytes[j] <= '9') {
        j++;
        while (j < length && (uint32_t)(bytes[j] - '0') < 10) j++;
        if (j < length) {
            const uint8_t c = bytes[j];
            if (c != '.' && c != 'e' && c != 'E' && c != '+' && c != '-') return j;
        }
    }
    return WholeNumberEnd(bytes, i, length);
}

// The text of a scalar wholly in view into the empty value buffer, for a callback; `room` is the
// count of bytes readable from `text` on. A short text goes in one fixed-size copy.
inline bool CopyValue(JSON* json, const char* text, int32_t length, uint32_t room) {
    if (length <= 32 && room >= 32 && json->ValueLength == 0 && json->ValueCapacity > 32) {
        memcpy(json->Value, text, 32);
        json->Value[length] = 0;
        json->ValueLength = length;
        return true;
    }
    return BufferAppend(json, text, length);
}

inline void Advance(JSON* json, uint32_t n) {
    json->StreamPosition += n;
    json->Column += (int32_t)n;
}

// Whole tokens between values, while each is entirely in view and needs nothing of the byte-wise
// path: white space, separators, brackets, and strings, numbers and literals that open and close
// here. Answers where it stopped; the scanner state there is what the byte-wise path expects (a
// value left open is continued by it).
uint32_t ScanTokens(JSON* json, const uint8_t* bytes, uint32_t i, uint32_t length, bool direct, bool vector) {
    while (i < length) {
        const uint8_t c = bytes[i];
        switch (c) {
        case ' ':
        case '\n':
        case '\r':
        case '\t': {
            uint32_t end = i + 1;
            if (end < length && bytes[end] <= ' ') end = (uint32_t)JsonSimd_SpaceRunEnd(bytes, end, length);
            Advance(json, end - i);
            i = end;
            continue;
        }
        case ':':
        case 0:
            Advance(json, 1);
            i++;
            continue;
        case '"': {
            PushScalar(json, JSON_VALUE_STRING, '"');
            Advance(json, 1);
            i++;
            bool nonAscii = false;
            const uint32_t end = (uint32_t)RunEnd(bytes, i, length, &nonAscii, vector);
            const char* text = reinterpret_cast<const char*>(bytes + i);
            const int32_t run = (int32_t)(end - i);
            if (end < length && bytes[end] == '"' && end - i < kDirectLimit &&
                (!nonAscii || StringUtf8_ValidLength(text, run) == run)) {
                Advance(json, (uint32_t)run);
                // A key is never raised: it goes to its level's key text from the input.
                if (direct || (InObject(json) && !KeyPending(json))) {
                    if (!PopScalar(json, JSON_VALUE_STRING, text, run, length - i)) return end;
                } else if (!CopyValue(json, text, run, length - (uint32_t)(text - reinterpret_cast<const char*>(bytes))) || !PopValue(json)) {
                    return end;
                }
                // The closing quote.
                Advance(json, 1);
                i = end + 1;
                break;
            }
            // An escape, a bad byte or the end of the view: the byte-wise path goes on from the
            // stop, with the run so far in the value buffer.
            if (run > 0) {
                if (nonAscii) json->ValueHigh = 1;
                if (!BufferAppend(json, text, run)) return end;
                Advance(json, (uint32_t)run);
            }
            return end;
        }
        case '-':
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9': {
            PushScalar(json, JSON_VALUE_NUMBER, (char)c);
            const uint32_t end = NumberEnd(bytes, i, length);
            if (end <= i || end - i >= kDirectLimit) return i;
            const int32_t run = (int32_t)(end - i);
            const char* text = reinterpret_cast<const char*>(bytes + i);
            Advance(json, (uint32_t)run);
            if (direct || (InObject(json) && !KeyPending(json))) {
                if (!PopScalar(json, JSON_VALUE_NUMBER, text, run, length - i)) return end;
            } else if (!CopyValue(json, text, run, length - (uint32_t)(text - reinterpret_cast<const char*>(bytes))) || !PopValue(json)) {
                return end;
            }
            i = end;
            break;
        }
        case 't':
        case 'f':
        case 'n': {
            if (length - i < 5) return i;
            // The literal's own text, NUL-terminated for a callback.
            const char* literal = c == 't' ? "true" : c == 'f' ? "false" : "null";
            const uint32_t n = c == 'f' ? 5 : 4;
            if (memcmp(bytes + i, literal, n) != 0) return i;
            PushScalar(json, c == 'n' ? JSON_VALUE_NULL : JSON_VALUE_BOOLEAN, (char)c);
            Advance(json, n);
            if (!PopScalar(json, c == 'n' ? JSON_VALUE_NULL : JSON_VALUE_BOOLEAN, literal, (int32_t)n, 0)) return i + n;
            i += n;
            break;
        }
        case '{':
        case '[':
            if (!OpenContainer(json, c == '{' ? JSON_VALUE_OBJECT : JSON_VALUE_ARRAY, (char)c, direct)) return i;
            Advance(json, 1);
            i++;
            break;
        case ',':
            // A key followed by a comma is the byte-wise path's to report.
            if (InObject(json) && KeyPending(json)) return i;
            json->Comma = 1;
            json->ValueComplete = 0;
            Advance(json, 1);
            i++;
            continue;
        case ']':
        case '}':
            if (json->Depth > 0 && !json->Comma && !(InObject(json) && KeyPending(json))) {
                PopContainer(json);
                Advance(json, 1);
                i++;
                break;
            }
            // What is reported around a close stays with the byte-wise path.
            return i;
        default:
            return i;
        }
        if (json->Done) return i;
    }
    return i;
}

} // namespace

void JSON_ScanBytes(JSON* json, const uint8_t* bytes, uint32_t length) {
    // Without a callback or a trace, that would see the text of a value as a NUL-terminated
    // string, a scalar wholly in view is stored straight from the input.
    const bool direct = json->Callback == nullptr && json->TraceValues == 0;
    const bool vector = JsonSimd_Engine() != JSON_SIMD_SCALAR;
    uint32_t i = 0;
    while (i < length && !json->Done) {
        if (json->TypeStack[json->Depth] == 0) {
            i = ScanTokens(json, bytes, i, length, direct, vector);
            if (i >= length || json->Done) break;
        }
        const uint32_t kind = json->TypeStack[json->Depth];
        // The plain run of a string goes to the value buffer in one copy, or, when it is the
        // whole string, to its item without one.
        if (kind == JSON_VALUE_STRING && json->Substate == STRING_PLAIN && !json->PendingHigh) {
            bool nonAscii = false;
            const uint32_t end = (uint32_t)RunEnd(bytes, i, length, &nonAscii, vector);
            if (direct && json->ValueLength == 0 && end < length && bytes[end] == '"' &&
                end - i < kDirectLimit) {
                const char* text = reinterpret_cast<const char*>(bytes + i);
                const int32_t run = (int32_t)(end - i);
                if (!nonAscii || StringUtf8_ValidLength(text, run) == run) {
                    json->StreamPosition += (uint64_t)run;
                    json->Column += run;
                    if (!PopValueText(json, text, run)) return;
                    // The closing quote.
                    i = end + 1;
                    json->StreamPosition++;
                    json->Column++;
                    continue;
                }
            }
            const bool moved = end > i;
            if (moved) {
                const int32_t run = (int32_t)(end - i);
                if (nonAscii) json->ValueHigh = 1;
                if (!BufferAppend(json, reinterpret_cast<const char*>(bytes + i), run)) return;
                json->StreamPosition += (uint64_t)run;
                json->Column += run;
                i = end;
            }
            // A well-formed escape in view is decoded at once.
            if (i < length && bytes[i] == '\\') {
                const uint32_t taken = InlineEscape(json, bytes + i, length - i);
                if (taken == kEscapeFailed) return;
                if (taken > 0) {
                    i += taken;
                    continue;
                }
            }
            if (moved) continue;
        }
        // White space between values and the digit runs of numbers are skipped or copied in bulk.
        if (kind == 0) {
            const uint8_t first = bytes[i];
            const bool blank = first == ' ' || first == '\n' || first == '\r' || first == '\t';
            const uint32_t end = blank ? (uint32_t)JsonSimd_SpaceRunEnd(bytes, i + 1, length) : i;
            if (end > i) {
                json->StreamPosition += end - i;
                json->Column += (int32_t)(end - i);
                i = end;
                continue;
            }
            // The commonest bytes between values, taken without the general dispatch.
            if (first == '"' || first == ':' || (first == ',' && !(InObject(json) && KeyPending(json)))) {
                if (first == '"') {
                    PushScalar(json, JSON_VALUE_STRING, '"');
                } else if (first == ',') {
                    json->Comma = 1;
                    json->ValueComplete = 0;
                }
                i++;
                json->StreamPosition++;
                json->Column++;
                continue;
            }
            // A number or literal opens here and is read from this byte on.
            if ((first >= '0' && first <= '9') || first == '-') {
                PushScalar(json, JSON_VALUE_NUMBER, (char)first);
                continue;
            }
            if (first == 't' || first == 'f' || first == 'n') {
                PushScalar(json, first == 'n' ? JSON_VALUE_NULL : JSON_VALUE_BOOLEAN, (char)first);
                continue;
            }
        } else if (kind == JSON_VALUE_NUMBER && json->ValueLength == 0 && json->Substate == S0) {
            // A whole number in view is checked in one pass, and stored straight from the input
            // or (for a callback, which sees a terminated text) with one copy.
            const uint32_t end = WholeNumberEnd(bytes, i, length);
            if (end > i && end - i < kDirectLimit) {
                const int32_t run = (int32_t)(end - i);
                const char* text = reinterpret_cast<const char*>(bytes + i);
                if (!direct && !BufferAppend(json, text, run)) return;
                json->StreamPosition += (uint64_t)run;
                json->Column += run;
                if (!(direct ? PopValueText(json, text, run) : PopValue(json))) return;
                i = end;
                continue;
            }
        }
        if (kind == JSON_VALUE_NUMBER && json->Substate == S2) {
            uint32_t end = i;
            while (end < length && bytes[end] >= '0' && bytes[end] <= '9') end++;
            if (end > i) {
                const int32_t run = (int32_t)(end - i);
                if (!BufferAppend(json, reinterpret_cast<const char*>(bytes + i), run)) return;
                json->StreamPosition += (uint64_t)run;
                json->Column += run;
                i = end;
                continue;
            }
        } else if ((kind == JSON_VALUE_BOOLEAN || kind == JSON_VALUE_NULL) && json->ValueLength == 0 &&
                   length - i >= 5) {
            // A whole literal in view is taken at once.
            const char* p = reinterpret_cast<const char*>(bytes + i);
            const int32_t n = memcmp(p, "true", 4) == 0 || memcmp(p, "null", 4) == 0 ? 4
                              : memcmp(p, "false", 5) == 0                           ? 5
                                                                                     : 0;
            if (n > 0 && (n == 5) == (kind == JSON_VALUE_BOOLEAN && p[0] == 'f') &&
                (kind == JSON_VALUE_NULL) == (p[0] == 'n')) {
                if (!BufferAppend(json, p, n)) return;
                json->StreamPosition += (uint64_t)n;
                json->Column += n;
                i += (uint32_t)n;
                if (!JSON_PopType(json)) return;
                continue;
            }
        }
        const char c = (char)bytes[i];
        bool again = false;
        bool counted = false;
        bool ok;
        switch (kind) {
        case 0:
            ok = BetweenChar(json, c, &again);
            break;
        case JSON_VALUE_STRING:
            ok = StringChar(json, c);
            break;
        case JSON_VALUE_NUMBER:
            ok = NumberChar(json, c, &again);
            break;
        case JSON_VALUE_BOOLEAN:
        case JSON_VALUE_NULL:
            ok = LiteralChar(json, c, &counted);
            break;
        default:
            JSON_Print(json, "Unknown type [%d]", (int32_t)kind);
            Fail(json, JSON_ERROR_TYPE);
            return;
        }
        if (!ok) return;
        if (!again) {
            i++;
            if (!counted) {
                json->StreamPosition++;
                json->Column++;
            }
        }
    }
}

void JSON_IndexOpenContainers(JSON* json) {
    if (!json->Dict) return;
    for (Dictionary* open : json->Containers)
        if (open) Dictionary_IndexLoaded(open);
    Dictionary_IndexLoaded(json->Dict);
}

namespace {

int64_t ScanEnd(JSON* json) {
    if (json->Error != 0) return 0;
    if (json->Done) return 1;
    const uint32_t kind = json->TypeStack[json->Depth];
    if (kind == JSON_VALUE_NUMBER) {
        // A number is complete at the end of the input unless it stops after a sign, point or exponent.
        bool again = false;
        if (!NumberChar(json, ' ', &again)) return 0;
        if (json->Done) return 1;
    }
    if (json->Error == 0) {
        if (json->TypeStack[json->Depth] == JSON_VALUE_STRING)
            JSON_Print(json, "Unexpected end of input in string [@ %d:%d]", json->Line, json->Column);
        else
            JSON_Print(json, "Unexpected end of input [@ %d:%d]", json->Line, json->Column);
        const uint32_t open = json->TypeStack[json->Depth];
        Fail(json, open == JSON_VALUE_STRING    ? JSON_ERROR_STRING
                   : open == JSON_VALUE_BOOLEAN ? JSON_ERROR_BOOLEAN
                   : open == JSON_VALUE_NULL    ? JSON_ERROR_NULL
                                                : JSON_ERROR_FIELD_TYPE);
    }
    return 0;
}

} // namespace

int64_t JSON_ScanFinish(JSON* json) {
    const int64_t result = ScanEnd(json);
    JSON_IndexOpenContainers(json);
    return result;
}
