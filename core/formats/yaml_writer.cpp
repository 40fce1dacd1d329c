// The YAML writer: block mappings and sequences, two spaces per level, scalars bare when the reader
// would give them back unchanged and double-quoted with escapes otherwise.
#include <cstring>
#include <new>

#include "core/formats/yaml_internal.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"

namespace {

constexpr uint32_t kBlock = 4096;

struct Writer {
    Stream* Target = nullptr;
    uint32_t Used = 0;
    bool Failed = false;
    bool LineOpen = false;
    char Key[DICTIONARY_MAX_KEY_LENGTH + 2] = {};
    uint8_t Block[kBlock];
};

void Flush(Writer* w) {
    if (w->Used == 0 || w->Failed) return;
    uint32_t written = 0;
    if (!Stream_Write(w->Target, w->Block, w->Used, &written) || written != w->Used) w->Failed = true;
    w->Used = 0;
}

void Put(Writer* w, const char* bytes, size_t length) {
    while (length > 0 && !w->Failed) {
        if (w->Used == kBlock) Flush(w);
        size_t n = kBlock - w->Used;
        if (n > length) n = length;
        memcpy(w->Block + w->Used, bytes, n);
        w->Used += (uint32_t)n;
        bytes += n;
        length -= n;
    }
}

inline void PutChar(Writer* w, char c) {
    if (w->Used == kBlock) Flush(w);
    if (!w->Failed) w->Block[w->Used++] = (uint8_t)c;
}

// Items are separated by line feeds; the save adds the last one.
void StartLine(Writer* w, int32_t depth) {
    if (w->LineOpen) PutChar(w, '\n');
    w->LineOpen = true;
    for (int32_t i = 0; i < depth; i++) Put(w, "  ", 2);
}

// The code point of the UTF-8 sequence at text[i] (its length in *n), or -1 when the bytes are
// no UTF-8.
int32_t Decode(const uint8_t* p, int32_t left, int32_t* n) {
    const uint8_t c = p[0];
    int32_t need = 0;
    uint32_t cp = 0;
    uint8_t low = 0x80, high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        need = 1;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 2;
        cp = c & 0x0F;
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 3;
        cp = c & 0x07;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
    } else {
        return -1;
    }
    if (left <= need) return -1;
    for (int32_t i = 1; i <= need; i++) {
        if (p[i] < low || p[i] > high) return -1;
        low = 0x80;
        high = 0xBF;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    *n = need + 1;
    return (int32_t)cp;
}

void PutHex(Writer* w, const char* prefix, uint32_t value, int32_t digits) {
    static const char kHex[] = "0123456789abcdef";
    Put(w, prefix, 2);
    for (int32_t i = digits - 1; i >= 0; i--) PutChar(w, kHex[(value >> (i * 4)) & 0xF]);
}

// Escaped as JSON does, except that code points above the 16-bit range use "\U" (the reader takes
// no surrogate pairs) and the two lone bytes the reader's "\_" and "\N" make are written so.
void PutQuoted(Writer* w, const char* text, int32_t length) {
    PutChar(w, '"');
    const uint8_t* p = reinterpret_cast<const uint8_t*>(text);
    int32_t start = 0;
    for (int32_t i = 0; i < length;) {
        const uint8_t c = p[i];
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            i++;
            continue;
        }
        Put(w, text + start, (size_t)(i - start));
        int32_t n = 1;
        switch (c) {
        case '"':
            Put(w, "\\\"", 2);
            break;
        case '\\':
            Put(w, "\\\\", 2);
            break;
        case '\b':
            Put(w, "\\b", 2);
            break;
        case '\t':
            Put(w, "\\t", 2);
            break;
        case '\n':
            Put(w, "\\n", 2);
            break;
        case '\f':
            Put(w, "\\f", 2);
            break;
        case '\r':
            Put(w, "\\r", 2);
            break;
        default:
            if (c < 0x80) {
                PutHex(w, "\\u", c, 4);
                break;
            }
            const int32_t cp = Decode(p + i, length - i, &n);
            if (cp >= 0x10000)
                PutHex(w, "\\U", (uint32_t)cp, 8);
            else if (cp >= 0)
                PutHex(w, "\\u", (uint32_t)cp, 4);
            else if (c == 0xA0)
                Put(w, "\\_", 2);
            else if (c == 0x85)
                Put(w, "\\N", 2);
            else
                PutHex(w, "\\u", c, 4);
            break;
        }
        i += n;
        start = i;
    }
    Put(w, text + start, (size_t)(length - start));
    PutChar(w, '"');
}

// Bare only when the reader gives the text back as a String, unchanged: no indicator, quote,
// comment, colon, escape, outer blank or non-ASCII byte, and (for values) no other type's look.
bool Bare(const char* text, int32_t length, bool key) {
    if (length == 0) return false;
    const char first = text[0];
    const bool firstOk = (first >= 'a' && first <= 'z') || (first >= 'A' && first <= 'Z') ||
                         (first >= '0' && first <= '9') || strchr("_/(<=$^;+)", first) != nullptr;
    if (!firstOk || text[length - 1] == ' ') return false;
    for (int32_t i = 0; i < length; i++) {
        const uint8_t c = (uint8_t)text[i];
        if (c < 0x20 || c >= 0x7F) return false;
        switch (c) {
        case '\\':
        case '"':
        case '\'':
        case '#':
        case ':':
        case ',':
        case '[':
        case ']':
        case '{':
        case '}':
            return false;
        default:
            break;
        }
    }
    return key || YAML_PlainType(text, length, false) == DICTIONARY_TYPE_STRING;
}

void PutText(Writer* w, const char* text, int32_t length, bool key) {
    if (Bare(text, length, key))
        Put(w, text, (size_t)length);
    else
        PutQuoted(w, text, length);
}

void PutScalar(Writer* w, Dictionary* dict, DictionaryItem* item, uint32_t type) {
    const char* text = nullptr;
    int32_t length = 0;
    switch (type) {
    case DICTIONARY_TYPE_BOOLEAN: {
        uint32_t value = 0;
        Dictionary_ItemGetBoolean(dict, item, &value);
        Put(w, value ? "true" : "false", value ? 4 : 5);
        return;
    }
    case DICTIONARY_TYPE_INT64:
    case DICTIONARY_TYPE_FLOAT64:
        Dictionary_ItemGetBufferPtr(dict, item, &text, &length);
        if (text && length > 0) {
            Put(w, text, strnlen(text, (size_t)length));
            return;
        }
        Put(w, "null", 4);
        return;
    case DICTIONARY_TYPE_STRING:
        Dictionary_ItemGetBufferPtr(dict, item, &text, &length);
        PutText(w, text ? text : "", text ? length : 0, false);
        return;
    default:
        Put(w, "null", 4);
        return;
    }
}

bool IsContainerType(uint32_t type) {
    return type == DICTIONARY_TYPE_LIST || type == DICTIONARY_TYPE_DICTIONARY;
}

// The type of the container `dict` is (the root counts as a Dictionary).
uint32_t ContainerType(Dictionary* root, Dictionary* dict) {
    if (dict == root) return DICTIONARY_TYPE_DICTIONARY;
    Dictionary* parent = nullptr;
    DictionaryItem* parentItem = nullptr;
    uint32_t type = DICTIONARY_TYPE_DICTIONARY;
    if (Dictionary_GetParent(dict, &parent, &parentItem) && parent)
        Dictionary_ItemGetType(parent, parentItem, &type);
    return type;
}

// A keyless container in the root is the document's own collection: it is written without a
// level of its own.
bool Transparent(Dictionary* root, Dictionary* parent, DictionaryItem* item) {
    const char* key = nullptr;
    return parent == root && !Dictionary_ItemGetKeyPtr(parent, item, &key);
}

// Walks the tree without recursion: descends into non-empty containers and climbs back through
// the parent items, so any nesting depth is written.
void WriteTree(Writer* w, Dictionary* root) {
    Dictionary* dict = root;
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(root, &item);
    int32_t depth = 0;
    uint32_t containerType = DICTIONARY_TYPE_DICTIONARY;
    while (!w->Failed) {
        if (!item) {
            if (dict == root) return;
            Dictionary* parent = nullptr;
            DictionaryItem* parentItem = nullptr;
            if (!Dictionary_GetParent(dict, &parent, &parentItem) || !parent) return;
            if (!Transparent(root, parent, parentItem)) depth--;
            dict = parent;
            containerType = ContainerType(root, dict);
            Dictionary_ItemGetNext(dict, parentItem, &item);
            continue;
        }
        uint32_t type = 0;
        Dictionary_ItemGetType(dict, item, &type);
        const char* key = nullptr;
        const bool keyed =
            containerType != DICTIONARY_TYPE_LIST && Dictionary_ItemGetKeyPtr(dict, item, &key) && key;
        Dictionary* child = nullptr;
        DictionaryItem* first = nullptr;
        if (IsContainerType(type)) {
            Dictionary_ItemGetDictionaryHandle(dict, item, &child);
            if (child) Dictionary_ItemGetFirst(child, &first);
        }
        const bool transparent = dict == root && !keyed;
        if (transparent && IsContainerType(type)) {
            if (first) {
                dict = child;
                item = first;
                containerType = type;
                continue;
            }
        } else {
            StartLine(w, depth);
            if (keyed) {
                // A private item's key goes out with the "." mark the Dictionary reads as private,
                // so that the item comes back private.
                if (Dictionary_ItemGetPrivate(dict, item, nullptr)) {
                    w->Key[0] = '.';
                    strncpy(w->Key + 1, key, sizeof(w->Key) - 2);
                    w->Key[sizeof(w->Key) - 1] = 0;
                    key = w->Key;
                }
                PutText(w, key, (int32_t)strlen(key), true);
                PutChar(w, ':');
            } else if (!transparent) {
                PutChar(w, '-');
            }
            if (IsContainerType(type) && first) {
                dict = child;
                item = first;
                containerType = type;
                depth++;
                continue;
            }
            if (!transparent) PutChar(w, ' ');
            if (IsContainerType(type))
                Put(w, type == DICTIONARY_TYPE_LIST ? "[]" : "{}", 2);
            else
                PutScalar(w, dict, item, type);
        }
        Dictionary_ItemGetNext(dict, item, &item);
    }
}

} // namespace

int64_t YAML_SaveStream(YAML* yaml, Stream* stream) {
    CLASS_CHECK(yaml, YAML_CLASS_ID);
    ASSERT_POINTER(stream);
    if (!yaml->Dict) return 0;
    Writer* w = new (Memory_Alloc(sizeof(Writer))) Writer();
    w->Target = stream;
    WriteTree(w, yaml->Dict);
    PutChar(w, '\n');
    Flush(w);
    const bool failed = w->Failed;
    w->~Writer();
    Memory_Free(w, sizeof(Writer));
    return failed ? 0 : 1;
}
