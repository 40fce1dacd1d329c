// The XML writer: prints a Dictionary tree as elements, attributes and text, escaping values so
// that every tree the reader makes reads back the same. It walks with its own stack, so any depth
// of nesting is safe.
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "core/formats/xml.h"
#include "core/formats/xml_internal.h"
#include "core/platform/document_stream.h"
#include "core/platform/memory_stream.h"
#include "core/platform/null_stream.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"

namespace {

struct Writer {
    Stream* Target;
    XML* Owner;
    uint8_t Block[4096];
    uint32_t Used;
    bool Failed;
};

// ---- What the reader can take back ------------------------------------------------------------

// UTF-8 as the reader checks it: shortest forms, no surrogates, nothing past U+10FFFF, no NUL.
bool ValidUtf8(const char* text, size_t length) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(text);
    for (size_t i = 0; i < length;) {
        const uint8_t c = p[i];
        if (c == 0) return false;
        if (c < 0x80) {
            i++;
            continue;
        }
        size_t need;
        uint8_t low = 0x80, high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) need = 1;
        else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            if (c == 0xE0) low = 0xA0;
            if (c == 0xED) high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (length - i <= need) return false;
        for (size_t k = 1; k <= need; k++) {
            if (p[i + k] < low || p[i + k] > high) return false;
            low = 0x80;
            high = 0xBF;
        }
        i += need + 1;
    }
    return true;
}

// A name the reader takes back as one bare word: not empty, short enough, UTF-8, free of the
// bytes that end a word (space, "=", ">"), and not starting with one that is skipped before a
// word (tab, line feed, carriage return) or starts a quoted one.
bool BareWord(const char* name) {
    const size_t length = strlen(name);
    if (length == 0 || length > (size_t)XML_MAX_NAME_LENGTH || name[0] == '"' || strchr("\t\n\r", name[0]) ||
        !ValidUtf8(name, length))
        return false;
    return !strpbrk(name, " =>");
}

// An element name: a bare word that reads as a start tag of that name. "/" starts an end tag and
// ends an empty element; "-", "#" and "." belong to attribute, text and private keys.
bool ElementName(const char* name) {
    if (!BareWord(name) || strchr("-#./", name[0])) return false;
    const bool regular = name[0] != '!' && name[0] != '?';
    return !regular || name[strlen(name) - 1] != '/';
}

bool Refuse(Writer* w, const char* what, const char* name) {
    XML_Print(w->Owner, "Unable to write %s [%s]: the XML text cannot carry it", what, name ? name : "");
    w->Failed = true;
    return false;
}

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

void PutText(Writer* w, const char* text) {
    Put(w, text, (uint32_t)strlen(text));
}

void PutIndent(Writer* w, int32_t depth) {
    for (int32_t i = 0; i < depth; i++) Put(w, "    ", 4);
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Markup characters become references; in text, white space at either end does too, since the
// reader trims it. A carriage return is always a reference: other readers turn a raw one into a
// line feed.
void PutEscaped(Writer* w, const char* text, int32_t length, bool attribute) {
    int32_t start = 0;
    int32_t end = length;
    if (!attribute) {
        while (start < length && IsSpace(text[start])) start++;
        while (end > start && IsSpace(text[end - 1])) end--;
    }
    for (int32_t i = 0; i < length; i++) {
        const char c = text[i];
        const char* reference = nullptr;
        char numeric[8];
        if (c == '&') reference = "&amp;";
        else if (c == '<') reference = "&lt;";
        else if (c == '>') reference = "&gt;";
        else if (c == '"' && attribute) reference = "&quot;";
        else if (i < start || i >= end || c == '\r') {
            snprintf(numeric, sizeof(numeric), "&#%d;", (int)(unsigned char)c);
            reference = numeric;
        }
        if (reference) PutText(w, reference);
        else Put(w, &c, 1);
    }
}

// An attribute name without value is written bare when the reader would read it back as one
// word, else quoted.
void PutName(Writer* w, const char* name, bool regular) {
    const size_t length = strlen(name);
    // An empty name, or one holding a quote where it would have to be quoted, cannot be read back.
    // A word given in its quotes (a document type's identifiers) is written as it stands.
    const bool inQuotes = length >= 2 && name[0] == '"' && name[length - 1] == '"' &&
                          !memchr(name + 1, '"', length - 2);
    if (length == 0 || length > (size_t)XML_MAX_NAME_LENGTH + 2 || !ValidUtf8(name, length) ||
        (!inQuotes && strchr(name, '"') && (name[0] == '"' || strchr("\t\n\r", name[0]) || strpbrk(name, " =>")))) {
        Refuse(w, "attribute", name);
        return;
    }
    // In a declaration a bare word ending in "?" would be read as the word and the closing "?".
    bool quote = name[0] == 0 || (name[0] == '/' && name[1] == 0) || IsSpace(name[0]) ||
                 (!regular && name[length - 1] == '?');
    for (const char* p = name; *p && !quote; p++)
        if (*p == ' ' || *p == '=' || *p == '>') quote = true;
    // A name holding a quote cannot be quoted; the reader never makes one that needs quoting
    // but for a declaration's last word ending in "?", which a space then keeps whole.
    const bool bare = strchr(name, '"') != nullptr;
    if (bare) quote = false;
    if (quote) Put(w, "\"", 1);
    PutText(w, name);
    if (quote) Put(w, "\"", 1);
    if (bare && !regular && name[length - 1] == '?') Put(w, " ", 1);
}

} // namespace

bool XML_IsTextItem(Dictionary* dict, DictionaryItem* item) {
    const char* key = nullptr;
    if (!Dictionary_ItemGetKeyPtr(dict, item, &key) || !key) return false;
    if (strcasecmp(key, "#text") == 0) return true;
    uint32_t isPrivate = 0;
    return strcasecmp(key, "text") == 0 && Dictionary_ItemGetPrivate(dict, item, &isPrivate) && isPrivate;
}

namespace {

// The start tag's attributes: the "-" items of the element's Dictionary.
bool IsAttribute(Dictionary* element, DictionaryItem* item) {
    const char* key = nullptr;
    uint32_t type = 0;
    Dictionary_ItemGetKeyPtr(element, item, &key);
    Dictionary_ItemGetType(element, item, &type);
    return key && key[0] == '-' && (type == DICTIONARY_TYPE_NULL || type == DICTIONARY_TYPE_STRING);
}

void PutAttributes(Writer* w, Dictionary* element, bool regular) {
    DictionaryItem* last = nullptr;
    Dictionary_ItemGetLast(element, &last);
    while (last && !IsAttribute(element, last)) Dictionary_ItemGetPrev(element, last, &last);
    bool any = false;
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(element, &item);
    for (; item; Dictionary_ItemGetNext(element, item, &item)) {
        if (!IsAttribute(element, item)) continue;
        const char* key = nullptr;
        Dictionary_ItemGetKeyPtr(element, item, &key);
        uint32_t type = 0;
        Dictionary_ItemGetType(element, item, &type);
        const bool first = !any;
        any = true;
        if (type == DICTIONARY_TYPE_NULL) {
            // The "?" that closes a declaration follows the last attribute directly; straight
            // after the name it would become part of the name, and anywhere else a word.
            if (!regular && strcmp(key, "-?") == 0) {
                if (item != last) Put(w, " \"?\"", 4);
                else if (first) Put(w, " ?", 2);
                else Put(w, "?", 1);
                continue;
            }
            Put(w, " ", 1);
            PutName(w, key + 1, regular);
        } else if (type == DICTIONARY_TYPE_STRING) {
            const char* text = nullptr;
            int32_t length = 0;
            Dictionary_ItemGetBufferPtr(element, item, &text, &length);
            if (!BareWord(key + 1) || strcmp(key + 1, "/") == 0) {
                Refuse(w, "attribute", key + 1);
                return;
            }
            if (text && !ValidUtf8(text, (size_t)length)) {
                Refuse(w, "the value of attribute", key + 1);
                return;
            }
            Put(w, " ", 1);
            PutText(w, key + 1);
            Put(w, "=\"", 2);
            if (text) PutEscaped(w, text, length, true);
            Put(w, "\"", 1);
        }
    }
}

// The single "#text" String of an element that holds nothing else but its attributes, or null.
// Such text is written inline with its tags: on lines of its own, the indentation around it
// would be part of the text for every other reader.
DictionaryItem* OnlyText(Dictionary* element) {
    DictionaryItem* only = nullptr;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(element, &item); item; Dictionary_ItemGetNext(element, item, &item)) {
        if (IsAttribute(element, item)) continue;
        if (only) return nullptr;
        only = item;
    }
    uint32_t type = 0;
    if (!only || !XML_IsTextItem(element, only)) return nullptr;
    Dictionary_ItemGetType(element, only, &type);
    return type == DICTIONARY_TYPE_STRING ? only : nullptr;
}

struct Frame {
    Dictionary* Dict;
    DictionaryItem* Next;
    // Items of a List are written under the List's key.
    const char* ListKey;
    int32_t Depth;
    // The element to end when the frame is done (null for a List or the top).
    const char* CloseKey;
    // What this frame wrote last. Text reads back only where the reader is in text: straight
    // after a start tag or after an element's end, not after a declaration (nor at the start of
    // the document), and not after another text, which it would join.
    uint8_t Last;
};

enum : uint8_t { kNothing = 0, kTextLast = 1, kElementLast = 2, kDeclarationLast = 3 };

struct FrameStack {
    Frame* Frames = nullptr;
    int32_t Count = 0;
    int32_t Capacity = 0;

    void Push(const Frame& frame) {
        if (Count == Capacity) {
            const int32_t capacity = Capacity ? Capacity * 2 : 32;
            Frame* grown = static_cast<Frame*>(Memory_Alloc(sizeof(Frame) * capacity));
            if (Count) memcpy(grown, Frames, sizeof(Frame) * Count);
            if (Frames) Memory_Free(Frames, sizeof(Frame) * Capacity);
            Frames = grown;
            Capacity = capacity;
        }
        Frames[Count++] = frame;
    }
    ~FrameStack() {
        if (Frames) Memory_Free(Frames, sizeof(Frame) * Capacity);
    }
};

void WriteTree(XML* xml, Writer* w, Dictionary* root) {
    const bool minify = xml->Minify != 0;
    FrameStack stack;
    DictionaryItem* first = nullptr;
    Dictionary_ItemGetFirst(root, &first);
    // A List's own Dictionary writes its items under the List's key.
    const char* rootListKey = nullptr;
    Dictionary* parent = nullptr;
    DictionaryItem* parentItem = nullptr;
    if (Dictionary_GetParent(root, &parent, &parentItem) && parent && parentItem) {
        uint32_t type = 0;
        Dictionary_ItemGetType(parent, parentItem, &type);
        if (type == DICTIONARY_TYPE_LIST) Dictionary_ItemGetKeyPtr(parent, parentItem, &rootListKey);
    }
    stack.Push({root, first, rootListKey, 0, nullptr, kNothing});
    while (stack.Count > 0 && !w->Failed) {
        Frame& frame = stack.Frames[stack.Count - 1];
        if (!frame.Next) {
            const Frame done = frame;
            stack.Count--;
            if (done.CloseKey) {
                if (done.CloseKey[0] != '!' && done.CloseKey[0] != '?') {
                    if (!minify) PutIndent(w, done.Depth - 1);
                    Put(w, "</", 2);
                    PutText(w, done.CloseKey);
                    Put(w, ">", 1);
                }
                if (!minify) Put(w, "\n", 1);
            }
            continue;
        }
        Dictionary* dict = frame.Dict;
        DictionaryItem* item = frame.Next;
        Dictionary_ItemGetNext(dict, item, &frame.Next);
        const int32_t depth = frame.Depth;
        const bool inElement = frame.CloseKey != nullptr;
        const char* key = frame.ListKey;
        if (!key) Dictionary_ItemGetKeyPtr(dict, item, &key);
        uint32_t type = 0;
        Dictionary_ItemGetType(dict, item, &type);
        const bool written =
            type == DICTIONARY_TYPE_STRING || type == DICTIONARY_TYPE_DICTIONARY || type == DICTIONARY_TYPE_LIST;
        if (!written) continue;
        // Whatever is written must read back as itself; what cannot fails the save.
        if (!key) {
            Refuse(w, "an item without key", "");
            break;
        }
        if (key[0] == '-') {
            if (!frame.ListKey && inElement && IsAttribute(dict, item)) continue;
            Refuse(w, "element", key);
            break;
        }
        if (type == DICTIONARY_TYPE_LIST) {
            Dictionary* child = nullptr;
            Dictionary_ItemGetDictionaryHandle(dict, item, &child);
            DictionaryItem* childFirst = nullptr;
            if (child) Dictionary_ItemGetFirst(child, &childFirst);
            // `frame` may move when the stack grows: nothing of it is used after the push.
            if (childFirst) {
                frame.Last = key[0] == '!' || key[0] == '?' ? kDeclarationLast : kElementLast;
                stack.Push({child, childFirst, key, depth, nullptr, kNothing});
            }
            continue;
        }
        const bool isText = type == DICTIONARY_TYPE_STRING && !frame.ListKey && XML_IsTextItem(dict, item);
        if (!isText) {
            if (!ElementName(key) || (type == DICTIONARY_TYPE_STRING && (key[0] == '!' || key[0] == '?'))) {
                Refuse(w, "element", key);
                break;
            }
            if (depth >= XML_MAX_LEVELS - 2) {
                Refuse(w, "element nested this deep", key);
                break;
            }
        }
        if (type == DICTIONARY_TYPE_STRING) {
            const char* text = nullptr;
            int32_t length = 0;
            Dictionary_ItemGetBufferPtr(dict, item, &text, &length);
            if (text && !ValidUtf8(text, (size_t)length)) {
                Refuse(w, "the text of", key);
                break;
            }
            const bool readable = frame.Last == kElementLast || (frame.Last == kNothing && inElement);
            if (isText && (!readable || !text || length == 0)) {
                Refuse(w, "text", text);
                break;
            }
            frame.Last = isText ? kTextLast : kElementLast;
            if (!minify) PutIndent(w, depth);
            if (isText) {
                PutEscaped(w, text, length, false);
            } else {
                Put(w, "<", 1);
                PutText(w, key);
                Put(w, ">", 1);
                if (text) PutEscaped(w, text, length, false);
                Put(w, "</", 2);
                PutText(w, key);
                Put(w, ">", 1);
            }
            if (!minify) Put(w, "\n", 1);
            continue;
        }
        frame.Last = key[0] == '!' || key[0] == '?' ? kDeclarationLast : kElementLast;
        if (type != DICTIONARY_TYPE_DICTIONARY) continue;
        Dictionary* element = nullptr;
        Dictionary_ItemGetDictionaryHandle(dict, item, &element);
        if (!element) continue;
        const bool regular = key[0] != '!' && key[0] != '?';
        // A declaration ends with its start tag: it holds attributes only.
        DictionaryItem* content = nullptr;
        Dictionary_ItemGetFirst(element, &content);
        while (!regular && content && IsAttribute(element, content)) Dictionary_ItemGetNext(element, content, &content);
        if (!regular && content) {
            Refuse(w, "declaration with content", key);
            break;
        }
        if (!minify) PutIndent(w, depth);
        Put(w, "<", 1);
        PutText(w, key);
        PutAttributes(w, element, regular);
        Put(w, ">", 1);
        DictionaryItem* text = OnlyText(element);
        if (text) {
            const char* bytes = nullptr;
            int32_t length = 0;
            Dictionary_ItemGetBufferPtr(element, text, &bytes, &length);
            if (!bytes || length == 0 || !ValidUtf8(bytes, (size_t)length)) {
                Refuse(w, "the text of", key);
                break;
            }
            PutEscaped(w, bytes, length, false);
            if (regular) {
                Put(w, "</", 2);
                PutText(w, key);
                Put(w, ">", 1);
            }
            if (!minify) Put(w, "\n", 1);
            continue;
        }
        if (!minify) Put(w, "\n", 1);
        DictionaryItem* childFirst = nullptr;
        Dictionary_ItemGetFirst(element, &childFirst);
        stack.Push({element, childFirst, nullptr, depth + 1, key, kNothing});
    }
}

} // namespace

int64_t XML_SaveStream(XML* xml, Stream* stream) {
    CLASS_CHECK(xml, XML_CLASS_ID);
    ASSERT_POINTER(stream);
    if (!xml->Dict) return 0;
    Writer* w = static_cast<Writer*>(Memory_Alloc(sizeof(Writer)));
    w->Target = stream;
    w->Owner = xml;
    w->Used = 0;
    w->Failed = false;
    WriteTree(xml, w, xml->Dict);
    Flush(w);
    const bool failed = w->Failed;
    Memory_Free(w, sizeof(Writer));
    return failed ? 0 : 1;
}

int64_t XML_SaveBuffer(XML* xml, void* buffer, uint32_t capacity, uint32_t* length) {
    CLASS_CHECK(xml, XML_CLASS_ID);
    ASSERT_POINTER(length);
    *length = 0;
    ASSERT_POINTER(buffer);
    return Document_SaveBuffer(xml, DocumentStreamCall<XML, XML_SaveStream>, buffer, capacity, length);
}

int64_t XML_SaveBufferEstimate(XML* xml, uint32_t* length) {
    CLASS_CHECK(xml, XML_CLASS_ID);
    ASSERT_POINTER(length);
    *length = 0;
    return Document_SaveEstimate(xml, DocumentStreamCall<XML, XML_SaveStream>, length);
}
