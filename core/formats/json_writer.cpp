// The JSON writer: prints the bound Dictionary as JSON text, indented or minified, walking the
// tree without recursion so that any depth of nesting is safe.
#include <cstring>

#include "core/formats/json.h"
#include "core/formats/json_internal.h"
#include "core/platform/document_stream.h"
#include "core/platform/memory_stream.h"
#include "core/platform/null_stream.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"

namespace {

// Output collects here and goes to the stream in blocks.
struct Writer {
    Stream* Target;
    uint8_t Block[4096];
    uint32_t Used;
    bool Failed;
};

void Flush(Writer* w) {
    if (w->Used == 0 || w->Failed) return;
    uint32_t written = 0;
    if (!Stream_Write(w->Target, w->Block, w->Used, &written) || written != w->Used) w->Failed = true;
    w->Used = 0;
}

void Put(Writer* w, const char* bytes, uint32_t length) {
    while (length > 0 && !w->Failed) {
        if (w->Used == sizeof(w->Block)) Flush(w);
        uint32_t n = (uint32_t)sizeof(w->Block) - w->Used;
        if (n > length) n = length;
        memcpy(w->Block + w->Used, bytes, n);
        w->Used += n;
        bytes += n;
        length -= n;
    }
}

void PutChar(Writer* w, char c) {
    if (w->Used == sizeof(w->Block)) Flush(w);
    if (!w->Failed) w->Block[w->Used++] = (uint8_t)c;
}

void PutUnit(Writer* w, uint32_t unit) {
    static const char kHex[] = "0123456789ABCDEF";
    char out[6] = {
        '\\', 'u', kHex[(unit >> 12) & 15], kHex[(unit >> 8) & 15], kHex[(unit >> 4) & 15], kHex[unit & 15]};
    Put(w, out, 6);
}

// A string's content: quote and backslash escaped, the short control escapes, other control
// characters (NUL included) as \u00XX so the text is valid JSON, and each multi-byte UTF-8
// character as its UTF-16 units in upper-case hex. Bytes that are not valid UTF-8 are copied.
void PutEscaped(Writer* w, const char* text, int32_t length) {
    const uint8_t* s = reinterpret_cast<const uint8_t*>(text);
    int32_t i = 0;
    while (i < length) {
        int32_t run = i;
        while (run < length && s[run] >= 0x20 && s[run] < 0x80 && s[run] != '"' && s[run] != '\\') run++;
        if (run > i) {
            Put(w, text + i, (uint32_t)(run - i));
            i = run;
            continue;
        }
        const uint8_t c = s[i];
        if (c == '"' || c == '\\') {
            PutChar(w, '\\');
            PutChar(w, (char)c);
            i++;
            continue;
        }
        if (c < 0x20) {
            const char* shortForm = c == 8    ? "\\b"
                                    : c == 9  ? "\\t"
                                    : c == 10 ? "\\n"
                                    : c == 12 ? "\\f"
                                    : c == 13 ? "\\r"
                                              : nullptr;
            if (shortForm)
                Put(w, shortForm, 2);
            else
                PutUnit(w, c);
            i++;
            continue;
        }
        int32_t need = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        bool valid = need > 0 && i + need < length;
        uint32_t cp = c & (0x3F >> need);
        for (int32_t k = 1; valid && k <= need; k++) {
            if ((s[i + k] & 0xC0) != 0x80) valid = false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if (!valid || cp > 0x10FFFF) {
            PutChar(w, (char)c);
            i++;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            PutUnit(w, 0xD800 + (cp >> 10));
            PutUnit(w, 0xDC00 + (cp & 0x3FF));
        } else {
            PutUnit(w, cp);
        }
        i += need + 1;
    }
}

void PutIndent(Writer* w, int32_t level) {
    for (int32_t i = 0; i < level; i++) Put(w, "    ", 4);
}

// Writes one item's key (when it has one) and its value; a container's opening bracket only.
// Returns the child dictionary to descend into, or null.
Dictionary* PutItemStart(JSON* json, Writer* w, Dictionary* dict, DictionaryItem* item, int32_t level) {
    const bool minify = json->Minify != 0;
    const char* key = nullptr;
    Dictionary_ItemGetKeyPtr(dict, item, &key);
    if (!minify && level >= 1) PutIndent(w, level);
    if (key) {
        PutChar(w, '"');
        uint32_t isPrivate = 0;
        if (json->PrivateKeys && Dictionary_ItemGetPrivate(dict, item, &isPrivate) && isPrivate)
            PutChar(w, '.');
        PutEscaped(w, key, (int32_t)strlen(key));
        Put(w, minify ? "\":" : "\": ", minify ? 2 : 3);
    }
    uint32_t type = 0;
    Dictionary_ItemGetType(dict, item, &type);
    const char* text = nullptr;
    int32_t length = 0;
    switch (type) {
    case DICTIONARY_TYPE_NULL:
    case DICTIONARY_TYPE_BOOLEAN:
    case DICTIONARY_TYPE_INT64:
    case DICTIONARY_TYPE_FLOAT64:
        Dictionary_ItemGetBufferPtr(dict, item, &text, &length);
        if (text) Put(w, text, (uint32_t)length);
        return nullptr;
    case DICTIONARY_TYPE_STRING:
        Dictionary_ItemGetBufferPtr(dict, item, &text, &length);
        PutChar(w, '"');
        if (text) PutEscaped(w, text, length);
        PutChar(w, '"');
        return nullptr;
    case DICTIONARY_TYPE_LIST:
    case DICTIONARY_TYPE_DICTIONARY: {
        PutChar(w, type == DICTIONARY_TYPE_LIST ? '[' : '{');
        if (!minify) PutChar(w, '\n');
        Dictionary* child = nullptr;
        Dictionary_ItemGetDictionaryHandle(dict, item, &child);
        return child;
    }
    default:
        return nullptr;
    }
}

void PutItemEnd(JSON* json, Writer* w, Dictionary* dict, DictionaryItem* item) {
    DictionaryItem* next = nullptr;
    Dictionary_ItemGetNext(dict, item, &next);
    if (next) PutChar(w, ',');
    if (!json->Minify) PutChar(w, '\n');
}

void PutClose(JSON* json, Writer* w, Dictionary* dict, DictionaryItem* item, int32_t level) {
    uint32_t type = 0;
    Dictionary_ItemGetType(dict, item, &type);
    if (!json->Minify && level >= 1) PutIndent(w, level);
    PutChar(w, type == DICTIONARY_TYPE_LIST ? ']' : '}');
    PutItemEnd(json, w, dict, item);
}

} // namespace

int64_t JSON_SaveStream(JSON* json, Stream* stream) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    ASSERT_POINTER(stream);
    if (!json->Dict) return 0;
    DictionaryItem* item = nullptr;
    if (!Dictionary_ItemGetFirst(json->Dict, &item) || !item) return 0;
    Writer* w = static_cast<Writer*>(Memory_Alloc(sizeof(Writer)));
    w->Target = stream;
    w->Used = 0;
    w->Failed = false;
    Dictionary* dict = json->Dict;
    int32_t level = 0;
    // Depth-first walk: descend into non-empty containers, climb back through the parent items.
    while (item && !w->Failed) {
        Dictionary* child = PutItemStart(json, w, dict, item, level);
        DictionaryItem* first = nullptr;
        if (child && Dictionary_ItemGetFirst(child, &first) && first) {
            dict = child;
            item = first;
            level++;
            continue;
        }
        if (child) {
            PutClose(json, w, dict, item, level);
        } else {
            PutItemEnd(json, w, dict, item);
        }
        // Move on: the next sibling, or close containers upwards until one has a next sibling.
        for (;;) {
            DictionaryItem* next = nullptr;
            Dictionary_ItemGetNext(dict, item, &next);
            if (next) {
                item = next;
                break;
            }
            if (dict == json->Dict || level == 0) {
                item = nullptr;
                break;
            }
            Dictionary* parent = nullptr;
            DictionaryItem* parentItem = nullptr;
            Dictionary_GetParent(dict, &parent, &parentItem);
            if (!parent || !parentItem) {
                item = nullptr;
                break;
            }
            level--;
            dict = parent;
            item = parentItem;
            PutClose(json, w, dict, item, level);
        }
    }
    Flush(w);
    const bool failed = w->Failed;
    Memory_Free(w, sizeof(Writer));
    return failed ? 0 : 1;
}

int64_t JSON_SaveBuffer(JSON* json, void* buffer, uint32_t capacity, uint32_t* length) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    ASSERT_POINTER(length);
    *length = 0;
    ASSERT_POINTER(buffer);
    return Document_SaveBuffer(json, DocumentStreamCall<JSON, JSON_SaveStream>, buffer, capacity, length);
}

int64_t JSON_SaveBufferEstimate(JSON* json, uint32_t* length) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    ASSERT_POINTER(length);
    *length = 0;
    return Document_SaveEstimate(json, DocumentStreamCall<JSON, JSON_SaveStream>, length);
}
