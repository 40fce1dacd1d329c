// The JSON writer: prints the bound Dictionary as JSON text, indented or minified, walking the
// tree without recursion so that any depth of nesting is safe.
#include <cstring>

#include "core/formats/json.h"
#include "core/formats/json_internal.h"
#include "core/platform/document_stream.h"
#include "core/platform/memory_stream.h"
#include "core/platform/null_stream.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/dictionary_load.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

// Output collects here and goes to the stream in blocks.
struct Writer {
    Stream* Target;
    uint32_t Used;
    bool Failed;
    uint8_t Block[65536];
};

void Flush(Writer* w) {
    if (w->Used == 0 || w->Failed) return;
    uint32_t written = 0;
    if (!Stream_Write(w->Target, w->Block, w->Used, &written) || written != w->Used) w->Failed = true;
    w->Used = 0;
}

void PutSlow(Writer* w, const char* bytes, uint32_t length) {
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

// Most pieces fit the room left: one copy. After a failed write the block only collects bytes
// that are never written.
inline void Put(Writer* w, const char* bytes, uint32_t length) {
    if (length <= (uint32_t)sizeof(w->Block) - w->Used) {
        memcpy(w->Block + w->Used, bytes, length);
        w->Used += length;
        return;
    }
    PutSlow(w, bytes, length);
}

inline void PutChar(Writer* w, char c) {
    if (w->Used == sizeof(w->Block)) Flush(w);
    if (!w->Failed) w->Block[w->Used++] = (uint8_t)c;
}

void PutUnit(Writer* w, uint32_t unit) {
    static const char kHex[] = "0123456789ABCDEF";
    char out[6] = {
        '\\', 'u', kHex[(unit >> 12) & 15], kHex[(unit >> 8) & 15], kHex[(unit >> 4) & 15], kHex[unit & 15]};
    Put(w, out, 6);
}

// True when none of the 8 bytes needs escaping: each is at least 0x20, below 0x80, and neither a
// quote nor a backslash.
inline bool PlainWord(const uint8_t* bytes) {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    uint64_t v;
    memcpy(&v, bytes, 8);
    const uint64_t quote = v ^ (kOnes * '"');
    const uint64_t backslash = v ^ (kOnes * '\\');
    const uint64_t special = ((v - kOnes * 0x20) & ~v) | ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash);
    return ((special | v) & kHigh) == 0;
}

// A string's content: quote and backslash escaped, the short control escapes, other control
// characters (NUL included) as \u00XX so the text is valid JSON, and each multi-byte UTF-8
// character as its UTF-16 units in upper-case hex. Bytes that are not valid UTF-8 are copied.
// With `endsAtNul` (a key) the text ends at its first NUL.
void PutEscaped(Writer* w, const char* text, int32_t length, bool endsAtNul = false) {
    const uint8_t* s = reinterpret_cast<const uint8_t*>(text);
    int32_t i = 0;
    while (i < length) {
        int32_t run = i;
        while (length - run >= 8 && PlainWord(s + run)) run += 8;
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
            if (c == 0 && endsAtNul) return;
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

// A number item's text: JSON's own spelling as it is; another a reader took as a number ("+5",
// "1.e5", ".5e3", "0x10", from YAML) as the shortest text of its value; a text without a finite
// value as null, so that the document holds only numbers a JSON reader takes.
void PutNumber(Writer* w, const char* text, int32_t length) {
    if (!text) return;
    if (JSON_IsNumberText(text, length)) {
        Put(w, text, (uint32_t)length);
        return;
    }
    double value = 0;
    char shortest[32];
    if (String_ParseNumber(text, strnlen(text, (size_t)length), &value, nullptr) &&
        String_PrintNumber(value, shortest, sizeof(shortest)))
        Put(w, shortest, (uint32_t)strlen(shortest));
    else
        Put(w, "null", 4);
}

// Writes one item's key (when it has one) and its value; a container's opening bracket only.
// Returns the child dictionary to descend into, or null.
Dictionary* PutItemStart(JSON* json, Writer* w, const DictionaryItemView& view, int32_t level) {
    const bool minify = json->Minify != 0;
    if (!minify && level >= 1) PutIndent(w, level);
    if (view.Key) {
        PutChar(w, '"');
        if (json->PrivateKeys && view.Private) PutChar(w, '.');
        PutEscaped(w, view.Key, view.KeyLength, true);
        Put(w, minify ? "\":" : "\": ", minify ? 2 : 3);
    }
    switch (view.Type) {
    case DICTIONARY_TYPE_NULL:
    case DICTIONARY_TYPE_BOOLEAN:
        if (view.Text) Put(w, view.Text, (uint32_t)view.Length);
        return nullptr;
    case DICTIONARY_TYPE_INT64:
    case DICTIONARY_TYPE_FLOAT64:
        PutNumber(w, view.Text, view.Length);
        return nullptr;
    case DICTIONARY_TYPE_STRING:
        PutChar(w, '"');
        if (view.Text) PutEscaped(w, view.Text, view.Length);
        PutChar(w, '"');
        return nullptr;
    case DICTIONARY_TYPE_LIST:
    case DICTIONARY_TYPE_DICTIONARY:
        PutChar(w, view.Type == DICTIONARY_TYPE_LIST ? '[' : '{');
        if (!minify) PutChar(w, '\n');
        return view.Child;
    default:
        return nullptr;
    }
}

void PutItemEnd(JSON* json, Writer* w, const DictionaryItemView& view) {
    if (view.Next) PutChar(w, ',');
    if (!json->Minify) PutChar(w, '\n');
}

void PutClose(JSON* json, Writer* w, const DictionaryItemView& view, int32_t level) {
    if (!json->Minify && level >= 1) PutIndent(w, level);
    PutChar(w, view.Type == DICTIONARY_TYPE_LIST ? ']' : '}');
    PutItemEnd(json, w, view);
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
    // Each item is read whole once.
    while (item && !w->Failed) {
        DictionaryItemView view;
        Dictionary_ItemGetView(dict, item, &view);
        Dictionary* child = PutItemStart(json, w, view, level);
        DictionaryItem* first = nullptr;
        if (child && Dictionary_ItemGetFirst(child, &first) && first) {
            dict = child;
            item = first;
            level++;
            continue;
        }
        if (child) {
            PutClose(json, w, view, level);
        } else {
            PutItemEnd(json, w, view);
        }
        // Move on: the next sibling, or close containers upwards until one has a next sibling.
        DictionaryItem* next = view.Next;
        for (;;) {
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
            DictionaryItemView up;
            Dictionary_ItemGetView(dict, item, &up);
            PutClose(json, w, up, level);
            next = up.Next;
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
