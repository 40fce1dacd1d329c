// The XML scanner: a byte-at-a-time state machine over tags, attributes and text that raises each
// value into the bound Dictionary. It keeps its own fixed level stack, so no input can make it
// recurse, and every way a document can be cut short or malformed ends in an error code.
#include <cstring>

#include "core/formats/xml.h"
#include "core/formats/xml_internal.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/dictionary_load.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

enum : uint32_t { kOutside = 0, kTagName = 1, kAttrName = 2, kAttrValue = 3, kText = 4 };
enum : uint32_t { kBeforeToken = 0, kBare = 1, kQuoted = 8 };
// A token too large for the buffer's 32-bit sizes is refused rather than grown without bound.
constexpr int32_t kMaxToken = 1 << 30;

bool IsSpace(uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

void Fail(XML* xml, uint32_t code) {
    if (xml->Error == 0) xml->Error = code;
}

void TokenClear(XML* xml) {
    xml->TokenLength = 0;
    xml->Token[0] = 0;
}

void TokenAppend(XML* xml, uint8_t c) {
    if (xml->TokenLength + 2 > xml->TokenCapacity) {
        if (xml->TokenCapacity >= kMaxToken) {
            Fail(xml, XML_ERROR_SYNTAX);
            return;
        }
        const int32_t capacity = xml->TokenCapacity * 2;
        char* grown = static_cast<char*>(Memory_Alloc(capacity));
        memcpy(grown, xml->Token, (size_t)xml->TokenLength);
        Memory_Free(xml->Token, xml->TokenCapacity);
        xml->Token = grown;
        xml->TokenCapacity = capacity;
    }
    xml->Token[xml->TokenLength++] = (char)c;
    xml->Token[xml->TokenLength] = 0;
}

void TokenAppendRun(XML* xml, const uint8_t* bytes, int32_t count) {
    if (xml->TokenLength + count + 1 > xml->TokenCapacity) {
        int64_t capacity = xml->TokenCapacity;
        while (capacity < (int64_t)xml->TokenLength + count + 1) capacity *= 2;
        if (capacity > kMaxToken) {
            Fail(xml, XML_ERROR_SYNTAX);
            return;
        }
        char* grown = static_cast<char*>(Memory_Alloc(capacity));
        memcpy(grown, xml->Token, (size_t)xml->TokenLength);
        Memory_Free(xml->Token, xml->TokenCapacity);
        xml->Token = grown;
        xml->TokenCapacity = (int32_t)capacity;
    }
    memcpy(xml->Token + xml->TokenLength, bytes, (size_t)count);
    xml->TokenLength += count;
    xml->Token[xml->TokenLength] = 0;
}

// Decodes the five predefined entities and numeric character references of text[0..length) into
// out (which has room for length bytes: no reference is shorter than what it stands for). Out may
// be the text itself: nothing is written ahead of what was read.
// Nothing else expands, so a document cannot make its own size grow.
bool DecodeReferences(const char* text, int32_t length, char* out, int32_t* outLength) {
    int32_t o = 0;
    for (int32_t i = 0; i < length;) {
        if (text[i] != '&') {
            out[o++] = text[i++];
            continue;
        }
        int32_t end = i + 1;
        while (end < length && end - i <= 12 && text[end] != ';') end++;
        if (end >= length || text[end] != ';') return false;
        const char* name = text + i + 1;
        const int32_t n = end - i - 1;
        char single = 0;
        if (n == 2 && memcmp(name, "lt", 2) == 0) single = '<';
        else if (n == 2 && memcmp(name, "gt", 2) == 0) single = '>';
        else if (n == 3 && memcmp(name, "amp", 3) == 0) single = '&';
        else if (n == 4 && memcmp(name, "quot", 4) == 0) single = '"';
        else if (n == 4 && memcmp(name, "apos", 4) == 0) single = '\'';
        if (single) {
            out[o++] = single;
            i = end + 1;
            continue;
        }
        if (n < 2 || name[0] != '#') return false;
        const bool hex = name[1] == 'x';
        int32_t k = hex ? 2 : 1;
        if (k >= n) return false;
        uint32_t cp = 0;
        for (; k < n; k++) {
            const char c = name[k];
            uint32_t digit;
            if (c >= '0' && c <= '9') digit = (uint32_t)(c - '0');
            else if (hex && c >= 'a' && c <= 'f') digit = (uint32_t)(c - 'a' + 10);
            else if (hex && c >= 'A' && c <= 'F') digit = (uint32_t)(c - 'A' + 10);
            else return false;
            cp = cp * (hex ? 16 : 10) + digit;
            if (cp > 0x10FFFF) return false;
        }
        if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        if (cp < 0x80) {
            out[o++] = (char)cp;
        } else if (cp < 0x800) {
            out[o++] = (char)(0xC0 | (cp >> 6));
            out[o++] = (char)(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out[o++] = (char)(0xE0 | (cp >> 12));
            out[o++] = (char)(0x80 | ((cp >> 6) & 0x3F));
            out[o++] = (char)(0x80 | (cp & 0x3F));
        } else {
            out[o++] = (char)(0xF0 | (cp >> 18));
            out[o++] = (char)(0x80 | ((cp >> 12) & 0x3F));
            out[o++] = (char)(0x80 | ((cp >> 6) & 0x3F));
            out[o++] = (char)(0x80 | (cp & 0x3F));
        }
        i = end + 1;
    }
    out[o] = 0;
    *outLength = o;
    return true;
}

// The keys of levels 0 up to the level below the top, joined by backslashes.
void BuildPath(XML* xml, char* path) {
    int32_t used = 0;
    for (int32_t i = 0; i < xml->Top; i++) {
        if (i > 0 && used < XML_MAX_PATH_LENGTH - 1) path[used++] = '\\';
        const char* key = xml->Levels[i].Key;
        for (int32_t k = 0; key[k] && used < XML_MAX_PATH_LENGTH - 1; k++) path[used++] = key[k];
    }
    path[used] = 0;
}

Dictionary* Receiver(XML* xml, int32_t from);

// Appends an item of `type` under a level's key (terminated within its buffer) in one step.
Dictionary* Store(Dictionary* dict, const char* key, uint32_t type, const char* text, int32_t length) {
    Dictionary* child = nullptr;
    Dictionary_AppendLoaded(dict, key, XML_KEY_TEXT_SIZE, type, text, length, &child);
    return child;
}

// Stores the pending element of level `slot` as a Dictionary, with its text when it has one.
void Materialize(XML* xml, int32_t slot) {
    XmlLevel& level = xml->Levels[slot];
    level.Pending = 0;
    Dictionary* parent = Receiver(xml, slot - 1);
    Dictionary* child = Store(parent, xml->Levels[slot - 1].Key, DICTIONARY_TYPE_DICTIONARY, nullptr, 0);
    DictionaryItem* item = nullptr;
    Dictionary_GetParent(child, nullptr, &item);
    level.Container = child;
    level.Item = item;
    if (xml->HasPendingText) {
        xml->HasPendingText = 0;
        Store(child, "#text", DICTIONARY_TYPE_STRING, xml->PendingText, xml->PendingTextLength);
    }
}

Dictionary* Receiver(XML* xml, int32_t from) {
    for (int32_t i = from; i >= 0; i--) {
        if (xml->Levels[i].Pending) Materialize(xml, i);
        if (xml->Levels[i].Container) return xml->Levels[i].Container;
    }
    return xml->Dict;
}

void KeepPendingText(XML* xml, const char* text, int32_t length) {
    if (length + 1 > xml->PendingTextCapacity) {
        int32_t capacity = xml->PendingTextCapacity ? xml->PendingTextCapacity : 256;
        while (capacity < length + 1) capacity *= 2;
        if (xml->PendingText) Memory_Free(xml->PendingText, xml->PendingTextCapacity);
        xml->PendingText = static_cast<char*>(Memory_Alloc(capacity));
        xml->PendingTextCapacity = capacity;
    }
    memcpy(xml->PendingText, text, (size_t)length);
    xml->PendingTextLength = length;
    xml->HasPendingText = 1;
}

// Reports a value and stores it under the key of the level below the top. An element's new
// Dictionary becomes the container of the top level.
void Raise(XML* xml, uint32_t type, const char* text, int32_t length, int32_t nodePosition,
           bool isText = false) {
    if (xml->Trace || xml->Callback) {
        char path[XML_MAX_PATH_LENGTH];
        BuildPath(xml, path);
        if (xml->Trace)
            XML_VerboseLog(xml, 9, "Path %s Depth %d Type %d Buf %s BufSize %d StreamPos %lld NodePos %d NodeSize %d",
                           path, xml->Top, (int32_t)type, text ? text : "", length,
                           (long long)xml->StreamPosition, nodePosition, length);
        if (xml->Callback)
            xml->Callback(xml, xml->CallbackUser, path, type, text, length, xml->StreamPosition, nodePosition,
                          length);
    }
    if (!xml->Dict) return;
    const char* key = xml->Levels[xml->Top - 1].Key;
    if (!key[0]) return;
    if (type == XML_TYPE_ELEMENT) {
        if (xml->Levels[xml->Top - 1].Pending) Materialize(xml, xml->Top - 1);
        XmlLevel& level = xml->Levels[xml->Top];
        level.Pending = 1;
        level.Container = nullptr;
        level.Item = nullptr;
        xml->HasPendingText = 0;
        return;
    }
    if (isText && xml->Levels[xml->Top - 1].Pending && !xml->HasPendingText) {
        KeepPendingText(xml, text, length);
        return;
    }
    Dictionary* container = Receiver(xml, xml->Top - 1);
    if (type == XML_TYPE_TEXT)
        Store(container, key, DICTIONARY_TYPE_STRING, text, length);
    else
        Store(container, key, DICTIONARY_TYPE_NULL, nullptr, 0);
}

bool SetKey(XML* xml, const char* prefix, const char* name, int32_t length) {
    if (length > XML_MAX_NAME_LENGTH) {
        Fail(xml, XML_ERROR_NAME_LENGTH);
        return false;
    }
    char* key = xml->Levels[xml->Top - 1].Key;
    const int32_t p = (int32_t)strlen(prefix);
    memcpy(key, prefix, (size_t)p);
    memcpy(key + p, name, (size_t)length);
    key[p + length] = 0;
    return true;
}

// Raises the token as a String (a text or an attribute value) after decoding its references.
// Decodes in place: the token buffer is emptied after the raise anyway.
void RaiseText(XML* xml, char* text, int32_t length, bool isText) {
    int32_t decodedLength = length;
    if (memchr(text, '&', (size_t)length) && !DecodeReferences(text, length, text, &decodedLength)) {
        Fail(xml, XML_ERROR_REFERENCE);
        return;
    }
    text[decodedLength] = 0;
    Raise(xml, XML_TYPE_TEXT, text, decodedLength, (int32_t)xml->StreamPosition, isText);
}

// Raises text[0..length) (with room for a terminator after it) as "#text": trimmed at both ends
// and dropped when nothing is left, unless it is kept whole.
void RaiseTextItem(XML* xml, char* text, int32_t length, bool whole) {
    int32_t start = 0;
    if (!whole) {
        while (start < length && IsSpace((uint8_t)text[start])) start++;
        while (length > start && IsSpace((uint8_t)text[length - 1])) length--;
        if (length == start) return;
    }
    if (!SetKey(xml, "", "#text", 5)) return;
    RaiseText(xml, text + start, length - start, true);
}

void FlushText(XML* xml) {
    RaiseTextItem(xml, xml->Token, xml->TokenLength, false);
    TokenClear(xml);
}

// Keep-text mode: the text before a tag waits until the tag's name is known.
void HoldText(XML* xml) {
    if (xml->TokenLength + 1 > xml->HeldTextCapacity) {
        int32_t capacity = xml->HeldTextCapacity ? xml->HeldTextCapacity : 256;
        while (capacity < xml->TokenLength + 1) capacity *= 2;
        if (xml->HeldText) Memory_Free(xml->HeldText, xml->HeldTextCapacity);
        xml->HeldText = static_cast<char*>(Memory_Alloc(capacity));
        xml->HeldTextCapacity = capacity;
    }
    memcpy(xml->HeldText, xml->Token, (size_t)xml->TokenLength);
    xml->HeldText[xml->TokenLength] = 0;
    xml->HeldTextLength = xml->TokenLength;
    xml->HasHeldText = 1;
    TokenClear(xml);
}

// The held text is kept whole when the tag ends the element it was the whole content of.
void ReleaseHeldText(XML* xml, bool endTag) {
    xml->HasHeldText = 0;
    const bool whole = endTag && xml->Levels[xml->Top - 1].Pending && !xml->HasPendingText;
    RaiseTextItem(xml, xml->HeldText, xml->HeldTextLength, whole);
}

void OpenLevel(XML* xml) {
    if (xml->Top + 1 >= XML_MAX_LEVELS) {
        Fail(xml, XML_ERROR_DEPTH);
        return;
    }
    xml->Top++;
    xml->Levels[xml->Top].Type = XML_TYPE_TEXT;
    xml->Levels[xml->Top - 1].Key[0] = 0;
}

// Closes the open element or declaration: its content level and its own level's container.
void CloseLevel(XML* xml) {
    if (xml->Levels[xml->Top - 1].Pending) Materialize(xml, xml->Top - 1);
    xml->Levels[xml->Top].Container = nullptr;
    xml->Levels[xml->Top].Item = nullptr;
    xml->Top--;
    xml->Levels[xml->Top].Container = nullptr;
    xml->Levels[xml->Top].Item = nullptr;
}

void BeginTag(XML* xml) {
    xml->Levels[xml->Top].Type = XML_TYPE_ELEMENT;
    xml->Levels[xml->Top - 1].Key[0] = 0;
    TokenClear(xml);
    xml->State = kTagName;
    xml->Substate = kBeforeToken;
    xml->EndTag = 0;
}

// The element open at the top gets its end tag: an element whose only content is one text
// becomes a plain String of that text.
void EndElement(XML* xml, const char* name) {
    if (xml->Top < 2 || strcmp(xml->Levels[xml->Top - 2].Key, name) != 0) {
        Fail(xml, XML_ERROR_SYNTAX);
        return;
    }
    XmlLevel& level = xml->Levels[xml->Top - 1];
    if (level.Pending) {
        level.Pending = 0;
        Dictionary* parent = Receiver(xml, xml->Top - 2);
        if (xml->HasPendingText) {
            xml->HasPendingText = 0;
            Store(parent, name, DICTIONARY_TYPE_STRING, xml->PendingText, xml->PendingTextLength);
        } else {
            Store(parent, name, DICTIONARY_TYPE_DICTIONARY, nullptr, 0);
        }
        CloseLevel(xml);
        return;
    }
    Dictionary* element = level.Container;
    DictionaryItem* item = level.Item;
    uint32_t count = 0;
    DictionaryItem* only = nullptr;
    uint32_t type = 0;
    if (element && item && Dictionary_ItemGetCount(element, &count) && count == 1 &&
        Dictionary_ItemGetFirst(element, &only) && only && XML_IsTextItem(element, only) &&
        Dictionary_ItemGetType(element, only, &type) &&
        type == DICTIONARY_TYPE_STRING) {
        const char* text = nullptr;
        int32_t length = 0;
        Dictionary_ItemGetBufferPtr(element, only, &text, &length);
        char* copy = static_cast<char*>(Memory_Alloc(length + 1));
        memcpy(copy, text, (size_t)length);
        Dictionary* parent = Receiver(xml, xml->Top - 2);
        Dictionary_ItemSetType(parent, item, DICTIONARY_TYPE_STRING);
        Dictionary_ItemSetBuffer(parent, item, copy, length);
        Memory_Free(copy, length + 1);
    }
    CloseLevel(xml);
}

// The tag name is complete; `end` is the byte that ended it.
void TagNameDone(XML* xml, uint8_t end, bool quoted) {
    const char* name = xml->Token;
    int32_t length = xml->TokenLength;
    if (xml->HasHeldText) {
        ReleaseHeldText(xml, !quoted && length > 0 && name[0] == '/');
        if (xml->Error) return;
    }
    if (quoted || length == 0) {
        Fail(xml, XML_ERROR_SYNTAX);
        return;
    }
    if (name[0] == '/') {
        if (length > XML_MAX_NAME_LENGTH + 1) {
            Fail(xml, XML_ERROR_NAME_LENGTH);
            return;
        }
        EndElement(xml, name + 1);
        if (xml->Error) return;
        xml->EndTag = 1;
        xml->State = end == '>' ? kText : kAttrName;
        TokenClear(xml);
        return;
    }
    // Attribute keys and text carry "-" and "#" (and "." marks a private key): element names never
    // do, so no element can be taken for an attribute or text when the tree is written back.
    if (name[0] == '-' || name[0] == '#' || name[0] == '.') {
        Fail(xml, XML_ERROR_SYNTAX);
        return;
    }
    xml->Regular = (name[0] != '!' && name[0] != '?') ? 1 : 0;
    // Only a regular element closes itself with "/"; a declaration has no content to close.
    const bool empty = xml->Regular && name[length - 1] == '/';
    if (empty) length--;
    if (length == 0 || (empty && (end != '>' || name[length - 1] == '/'))) {
        Fail(xml, XML_ERROR_SYNTAX);
        return;
    }
    if (!SetKey(xml, "", name, length)) return;
    Raise(xml, XML_TYPE_ELEMENT, nullptr, 0, (int32_t)xml->StreamPosition);
    TokenClear(xml);
    if (empty) {
        if (xml->Levels[xml->Top].Pending) Materialize(xml, xml->Top);
        xml->Levels[xml->Top].Container = nullptr;
        xml->Levels[xml->Top].Item = nullptr;
        xml->State = kText;
        return;
    }
    OpenLevel(xml);
    if (xml->Error) return;
    if (!xml->Regular && end == '>') {
        CloseLevel(xml);
        xml->State = kOutside;
        return;
    }
    xml->State = end == '>' ? kText : kAttrName;
}

void AttrNameDone(XML* xml, uint8_t end, bool quoted) {
    const char* name = xml->Token;
    const int32_t length = xml->TokenLength;
    if (xml->EndTag) {
        // An end tag holds nothing but its name.
        if (end != '>' || length > 0) Fail(xml, XML_ERROR_SYNTAX);
        else xml->State = kText;
        TokenClear(xml);
        return;
    }
    const bool slash = !quoted && length == 1 && name[0] == '/';
    if (end == '=') {
        if (length == 0 || slash) {
            Fail(xml, XML_ERROR_SYNTAX);
            return;
        }
        if (!SetKey(xml, "-", name, length)) return;
        TokenClear(xml);
        xml->State = kAttrValue;
        return;
    }
    if (end != '>') {
        // A space or the closing quote: an attribute without value.
        if (length == 0 || slash || (!xml->Regular && !quoted && length == 1 && name[0] == '?')) {
            Fail(xml, XML_ERROR_SYNTAX);
            return;
        }
        if (!SetKey(xml, "-", name, length)) return;
        Raise(xml, XML_TYPE_ATTRIBUTE, nullptr, 0, (int32_t)xml->StreamPosition);
        TokenClear(xml);
        return;
    }
    if (xml->Regular) {
        if (slash) {
            CloseLevel(xml);
        } else if (length > 0) {
            if (!SetKey(xml, "-", name, length)) return;
            Raise(xml, XML_TYPE_ATTRIBUTE, nullptr, 0, (int32_t)xml->StreamPosition);
        }
        TokenClear(xml);
        xml->State = kText;
        return;
    }
    // A declaration ends: a closing "?" (alone or at the end of the last word) is kept as "-?".
    if (length > 1 && name[length - 1] == '?') {
        if (!SetKey(xml, "-", name, length - 1)) return;
        Raise(xml, XML_TYPE_ATTRIBUTE, nullptr, 0, (int32_t)xml->StreamPosition);
        if (!SetKey(xml, "-", "?", 1)) return;
        Raise(xml, XML_TYPE_END, nullptr, 0, (int32_t)xml->StreamPosition);
    } else if (length > 0) {
        if (!SetKey(xml, "-", name, length)) return;
        Raise(xml, length == 1 && name[0] == '?' ? XML_TYPE_END : XML_TYPE_ATTRIBUTE, nullptr, 0,
              (int32_t)xml->StreamPosition);
    }
    CloseLevel(xml);
    TokenClear(xml);
    xml->State = kOutside;
}

void AttrValueDone(XML* xml, uint8_t end) {
    RaiseText(xml, xml->Token, xml->TokenLength, false);
    TokenClear(xml);
    if (xml->Error) return;
    if (end != '>') {
        xml->State = kAttrName;
        return;
    }
    if (!xml->Regular) {
        CloseLevel(xml);
        xml->State = kOutside;
        return;
    }
    // Text directly after a tag whose last value was unquoted is skipped.
    xml->State = kOutside;
}

// One byte of a tag: 0 while the token goes on, else the byte that ended it (with *quoted set
// for a quoted token).
int32_t TagByte(XML* xml, uint8_t c, bool* quoted) {
    *quoted = false;
    switch (xml->Substate) {
    case kBeforeToken:
        if (IsSpace(c)) return 0;
        if (c == '"') {
            xml->Substate = kQuoted;
            return 0;
        }
        if (c == '=' || c == '>') return c;
        xml->Substate = kBare;
        TokenAppend(xml, c);
        return 0;
    case kBare:
        if (c == ' ' || c == '=' || c == '>') {
            xml->Substate = kBeforeToken;
            return c;
        }
        TokenAppend(xml, c);
        return 0;
    default:
        if (c == '"') {
            xml->Substate = kBeforeToken;
            *quoted = true;
            return c;
        }
        TokenAppend(xml, c);
        return 0;
    }
}

// UTF-8 well-formedness, one byte at a time: shortest forms only, no surrogates, nothing past
// U+10FFFF, and no NUL.
bool CheckEncoding(XML* xml, uint8_t c) {
    if (xml->Utf8Need) {
        if (c < xml->Utf8Low || c > xml->Utf8High) return false;
        xml->Utf8Need--;
        xml->Utf8Low = 0x80;
        xml->Utf8High = 0xBF;
        return true;
    }
    if (c == 0) return false;
    if (c < 0x80) return true;
    xml->Utf8Low = 0x80;
    xml->Utf8High = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) xml->Utf8Need = 1;
    else if (c >= 0xE0 && c <= 0xEF) {
        xml->Utf8Need = 2;
        if (c == 0xE0) xml->Utf8Low = 0xA0;
        if (c == 0xED) xml->Utf8High = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        xml->Utf8Need = 3;
        if (c == 0xF0) xml->Utf8Low = 0x90;
        if (c == 0xF4) xml->Utf8High = 0x8F;
    } else {
        return false;
    }
    return true;
}

} // namespace

void XML_ResetState(XML* xml) {
    for (int32_t i = 0; i < XML_MAX_LEVELS; i++) {
        xml->Levels[i].Type = 0;
        xml->Levels[i].Key[0] = 0;
        xml->Levels[i].Container = nullptr;
        xml->Levels[i].Item = nullptr;
        xml->Levels[i].Pending = 0;
    }
    xml->HasPendingText = 0;
    xml->HasHeldText = 0;
    xml->Top = 1;
    xml->Substate = 0;
    xml->State = kOutside;
    xml->Error = 0;
    xml->StreamPosition = 0;
    xml->Regular = 0;
    xml->EndTag = 0;
    xml->Utf8Need = 0;
    xml->Started = 0;
    xml->Trace = XML_IsVerboseLevel(xml, 9) ? 1 : 0;
    if (xml->Token) TokenClear(xml);
}

void XML_ScanBytes(XML* xml, const uint8_t* bytes, uint32_t length) {
    xml->Started = 1;
    for (uint32_t i = 0; i < length && xml->Error == 0; i++) {
        if (xml->Utf8Need == 0) {
            // Runs of plain ASCII that the byte-wise steps below would only append or pass over are
            // taken in one step: text, quoted and bare tokens go to the token in one copy; blanks
            // before a token and bytes outside any tag are passed.
            uint32_t j = i;
            if (xml->State == kText && (xml->TokenLength > 0 || xml->KeepText)) {
                while (j < length && bytes[j] != '<' && bytes[j] > 0 && bytes[j] < 0x80) j++;
                if (j > i) TokenAppendRun(xml, bytes + i, (int32_t)(j - i));
            } else if (xml->State == kText) {
                while (j < length && IsSpace(bytes[j])) j++;
            } else if (xml->State == kOutside) {
                while (j < length && bytes[j] != '<' && bytes[j] > 0 && bytes[j] < 0x80) j++;
            } else if (xml->Substate == kQuoted) {
                while (j < length && bytes[j] != '"' && bytes[j] > 0 && bytes[j] < 0x80) j++;
                if (j > i) TokenAppendRun(xml, bytes + i, (int32_t)(j - i));
            } else if (xml->Substate == kBeforeToken) {
                while (j < length && IsSpace(bytes[j])) j++;
            } else {
                // A bare name stops one byte past its longest length, where the byte-wise check
                // below would stop it.
                const bool name = xml->State == kTagName || xml->State == kAttrName;
                uint32_t end = length;
                if (name) {
                    const int64_t room = (int64_t)XML_MAX_NAME_LENGTH + 2 - xml->TokenLength;
                    end = room <= 0 ? i : (int64_t)(length - i) > room ? i + (uint32_t)room : length;
                }
                while (j < end && bytes[j] != ' ' && bytes[j] != '=' && bytes[j] != '>' && bytes[j] > 0 &&
                       bytes[j] < 0x80)
                    j++;
                if (j > i) {
                    TokenAppendRun(xml, bytes + i, (int32_t)(j - i));
                    if (name && xml->TokenLength > XML_MAX_NAME_LENGTH + 1) Fail(xml, XML_ERROR_NAME_LENGTH);
                }
            }
            if (j > i) {
                xml->StreamPosition += j - i;
                i = j - 1;
                continue;
            }
        }
        const uint8_t c = bytes[i];
        xml->StreamPosition++;
        if (!CheckEncoding(xml, c)) {
            Fail(xml, XML_ERROR_ENCODING);
            break;
        }
        switch (xml->State) {
        case kOutside:
            if (c == '<') BeginTag(xml);
            break;
        case kText:
            if (c == '<') {
                if (xml->KeepText) HoldText(xml);
                else FlushText(xml);
                if (xml->Error == 0) BeginTag(xml);
            } else if (xml->TokenLength > 0 || xml->KeepText || !IsSpace(c)) {
                TokenAppend(xml, c);
            }
            break;
        default: {
            bool quoted = false;
            const int32_t end = TagByte(xml, c, &quoted);
            if (xml->Error || end == 0) break;
            if (xml->State == kTagName) {
                TagNameDone(xml, (uint8_t)end, quoted);
            } else if (xml->State == kAttrName) {
                AttrNameDone(xml, (uint8_t)end, quoted);
            } else {
                AttrValueDone(xml, (uint8_t)end);
            }
            break;
        }
        }
        // Names are short: a name that outgrows its key fails at once, not after gigabytes.
        if (xml->Substate != kBeforeToken && (xml->State == kTagName || xml->State == kAttrName) &&
            xml->TokenLength > XML_MAX_NAME_LENGTH + 1)
            Fail(xml, XML_ERROR_NAME_LENGTH);
    }
}

int64_t XML_ScanFinish(XML* xml) {
    if (xml->Error) return 0;
    if (xml->Utf8Need) {
        Fail(xml, XML_ERROR_ENCODING);
        return 0;
    }
    if (xml->State == kTagName || xml->State == kAttrName || xml->State == kAttrValue) {
        Fail(xml, XML_ERROR_TRUNCATED);
        return 0;
    }
    if (xml->State == kText) FlushText(xml);
    if (xml->Error) return 0;
    if (xml->Top > 1) {
        Fail(xml, XML_ERROR_TRUNCATED);
        return 0;
    }
    return 1;
}
