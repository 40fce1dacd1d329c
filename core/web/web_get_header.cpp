// HTTP header text: lines, the status line, parameters and byte ranges of header values, the
// Dictionary form of a block, and the proxy and bypass lists of proxy configuration. Everything
// here reads outside input (responses, configuration, auto-configuration answers): every scan is
// bounded by the text's end or the given length, and every number is checked for overflow.
#include "core/web/web_get_header.h"

#include <cstring>
#include <string_view>

#include "core/formats/url.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"

namespace {

// Proxy and bypass list items are read up to this many characters.
constexpr size_t kListItem = 512;
// Host names are at most 253 characters.
constexpr int32_t kHost = 256;
// Parameter names compared by WebGet_HeaderValueFindParameter.
constexpr int32_t kParameterName = 80;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsLineBreak(char c) {
    return c == '\r' || c == '\n';
}

bool IsControl(char c) {
    return (unsigned char)c < 32;
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? (char)(c + 32) : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

bool HasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

void Clear(char* buffer, int32_t capacity) {
    if (buffer && capacity > 0) buffer[0] = 0;
}

void CopyOut(char* buffer, int32_t capacity, std::string_view text) {
    if (!buffer || capacity < 1) return;
    const size_t n = text.size() < (size_t)capacity - 1 ? text.size() : (size_t)capacity - 1;
    memcpy(buffer, text.data(), n);
    buffer[n] = 0;
}

// Reads an optional sign and at least one decimal digit from the front of s, which moves past
// them. False for no digit or a value outside the signed 64-bit range: a wrapped number would
// turn an absurd range into a plausible one.
bool ReadNumber(std::string_view& s, int64_t* value) {
    size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    const size_t digits = i;
    uint64_t magnitude = 0;
    const uint64_t limit = negative ? (uint64_t)INT64_MAX + 1 : (uint64_t)INT64_MAX;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        const uint32_t d = (uint32_t)(s[i] - '0');
        if (magnitude > (limit - d) / 10) return false;
        magnitude = magnitude * 10 + d;
        i++;
    }
    if (i == digits) return false;
    *value = negative ? (int64_t)(0 - magnitude) : (int64_t)magnitude;
    s.remove_prefix(i);
    return true;
}

void SkipBlanks(std::string_view& s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
}

// The first line of a counted block: up to its first CR, LF or NUL.
std::string_view FirstLine(const char* block, int32_t length) {
    const size_t n = length > 0 ? strnlen(block, (size_t)length) : 0;
    std::string_view s(block, n);
    return s.substr(0, s.find_first_of("\r\n"));
}

// The line starting at line, without its line end.
std::string_view LineAt(const char* line) {
    return std::string_view(line, strcspn(line, "\r\n"));
}

// Item index of a ";"-separated list, blanks at both ends dropped and cut to kListItem
// characters; false when the list has fewer items.
bool ListItem(const char* list, int32_t index, std::string_view* item) {
    std::string_view rest(list);
    for (int32_t i = 0; i < index; i++) {
        const size_t semi = rest.find(';');
        if (semi == std::string_view::npos) return false;
        rest.remove_prefix(semi + 1);
    }
    *item = TrimBlanks(rest.substr(0, rest.find(';')).substr(0, kListItem));
    return true;
}

// Walks the items of a ";"-separated list in one pass, each as ListItem gives it, until fn
// answers false.
template <typename F> void ForEachItem(const char* list, F fn) {
    std::string_view rest(list);
    for (;;) {
        const size_t semi = rest.find(';');
        if (!fn(TrimBlanks(rest.substr(0, semi).substr(0, kListItem)))) return;
        if (semi == std::string_view::npos) return;
        rest.remove_prefix(semi + 1);
    }
}

// '*' matches any run of characters and '?' any one, ASCII case ignored. Backtracks only to the
// last star, so the cost stays within the product of the two lengths.
bool WildcardMatch(std::string_view text, std::string_view pattern) {
    size_t t = 0, p = 0;
    size_t star = std::string_view::npos, mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || Lower(pattern[p]) == Lower(text[t]))) {
            t++;
            p++;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') p++;
    return p == pattern.size();
}

// Appends to a bounded buffer, remembering whether anything was cut.
struct Writer {
    char* Buffer;
    int32_t Capacity;
    int32_t Used = 0;
    bool Cut = false;
    bool Broken = false; // a line break inside a key or value

    void Put(std::string_view text) {
        const size_t room = (size_t)(Capacity - 1 - Used);
        const size_t n = text.size() < room ? text.size() : room;
        if (n < text.size()) Cut = true;
        memcpy(Buffer + Used, text.data(), n);
        Used += (int32_t)n;
        Buffer[Used] = 0;
    }
    void PutField(std::string_view text) {
        if (HasLineBreak(text)) Broken = true;
        Put(text);
    }
};

std::string_view ItemText(Dictionary* dict, DictionaryItem* item) {
    const char* bytes = nullptr;
    int32_t length = 0;
    if (!Dictionary_ItemGetBufferPtr(dict, item, &bytes, &length) || !bytes || length < 0) return {};
    return std::string_view(bytes, (size_t)length);
}

std::string_view ItemKey(Dictionary* dict, DictionaryItem* item) {
    const char* key = nullptr;
    Dictionary_ItemGetKeyPtr(dict, item, &key);
    return key ? std::string_view(key) : std::string_view();
}

// Adds a String item; a null key makes an unnamed one.
void AddText(Dictionary* dict, const char* key, std::string_view value) {
    DictionaryItem* item = nullptr;
    Dictionary_Add(dict, key, &item);
    if (!item) return;
    Dictionary_ItemSetType(dict, item, DICTIONARY_TYPE_STRING);
    Dictionary_ItemSetBuffer(dict, item, value.data(), (int32_t)value.size());
}

void AddCookies(Dictionary* dict, const char* key, std::string_view value) {
    Dictionary* pairs = nullptr;
    Dictionary_AddDictionary(dict, key, &pairs, nullptr);
    if (!pairs) return;
    while (!value.empty()) {
        const size_t semi = value.find(';');
        std::string_view pair = TrimBlanks(value.substr(0, semi));
        value.remove_prefix(semi == std::string_view::npos ? value.size() : semi + 1);
        if (pair.empty()) continue;
        const size_t eq = pair.find('=');
        std::string_view name = TrimBlanks(pair.substr(0, eq));
        std::string_view text = eq == std::string_view::npos ? std::string_view() : TrimBlanks(pair.substr(eq + 1));
        char key[DICTIONARY_MAX_KEY_LENGTH + 1];
        CopyOut(key, (int32_t)sizeof(key), name);
        AddText(pairs, key, text);
    }
}

} // namespace

// ---- Lines of a block -----------------------------------------------------------------------

int64_t WebGet_HeaderEnum(const char* line, const char** next) {
    ASSERT_POINTER(line);
    ASSERT_POINTER(next);
    *next = nullptr;
    const char* p = line + strcspn(line, "\r\n");
    if (!*p) return 0;
    while (IsLineBreak(*p)) p++;
    *next = p;
    return 1;
}

int64_t WebGet_HeaderFind(const char* block, const char* name, const char** line) {
    ASSERT_POINTER(block);
    ASSERT_POINTER(name);
    ASSERT_POINTER(line);
    *line = nullptr;
    const size_t n = strlen(name);
    for (const char* p = block; p && *p;) {
        const std::string_view text = LineAt(p);
        if (text.size() > n && text[n] == ':' && EqualNoCase(text.substr(0, n), name)) {
            *line = p;
            return 1;
        }
        const char* next = nullptr;
        WebGet_HeaderEnum(p, &next);
        p = next;
    }
    return 0;
}

int64_t WebGet_HeaderGet(const char* line, char* name, int32_t nameCapacity, char* value, int32_t valueCapacity) {
    ASSERT_POINTER(line);
    Clear(name, nameCapacity);
    Clear(value, valueCapacity);
    std::string_view text = LineAt(line);
    SkipBlanks(text);
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos) return 0;
    CopyOut(name, nameCapacity, text.substr(0, colon));
    std::string_view rest = text.substr(colon + 1);
    SkipBlanks(rest);
    CopyOut(value, valueCapacity, rest);
    return 1;
}

int64_t WebGet_HeaderGetByName(const char* block, const char* name, char* value, int32_t capacity) {
    ASSERT_POINTER(value);
    Clear(value, capacity);
    const char* line = nullptr;
    if (!WebGet_HeaderFind(block, name, &line)) return 0;
    return WebGet_HeaderGet(line, nullptr, 0, value, capacity);
}

int64_t WebGet_HeaderSet(char* block, int32_t capacity, const char* name, const char* value, int32_t replace) {
    ASSERT_POINTER(block);
    ASSERT_POINTER(name);
    ASSERT_POINTER(value);
    if (capacity < 1 || HasLineBreak(name) || HasLineBreak(value)) return 0;
    const size_t used = strnlen(block, (size_t)capacity);
    if (used == (size_t)capacity) return 0; // not a terminated text within its capacity
    const char* found = nullptr;
    WebGet_HeaderFind(block, name, &found);
    if (found && !replace) return 0;

    // What the block will hold once the old line is gone, to check the new line fits whole:
    // a line cut short would send a different header, or none at all.
    size_t kept = used;
    char lastChar = used > 0 ? block[used - 1] : '\n';
    if (found) {
        const char* end = found + strcspn(found, "\r\n");
        while (IsLineBreak(*end)) end++;
        kept -= (size_t)(end - found);
        if (!*end) lastChar = found > block ? found[-1] : '\n';
    }
    // A last line without its line end gets one first, so that the new line stays a line of
    // its own.
    const bool endsOpen = kept > 0 && !IsLineBreak(lastChar);
    const size_t needed = strlen(name) + 2 + strlen(value) + 2 + (endsOpen ? 2 : 0);
    if (kept + needed + 1 > (size_t)capacity) return 0;

    if (found) {
        char* line = block + (found - block);
        if (!WebGet_HeaderRemove(line)) *line = 0;
    }
    if (endsOpen) String_CatLength(block, "\r\n", capacity);
    String_CatLength(block, name, capacity);
    String_CatLength(block, ": ", capacity);
    String_CatLength(block, value, capacity);
    String_CatLength(block, "\r\n", capacity);
    return 1;
}

int64_t WebGet_HeaderRemove(char* line) {
    ASSERT_POINTER(line);
    char* end = line + strcspn(line, "\r\n");
    if (!*end) return 0;
    while (IsLineBreak(*end)) end++;
    memmove(line, end, strlen(end) + 1);
    return 1;
}

// ---- The first line -------------------------------------------------------------------------

int64_t WebGet_HeaderGetHTTPCode(const char* block, int32_t length, int32_t* code) {
    ASSERT_POINTER(block);
    ASSERT_POINTER(code);
    *code = 0;
    std::string_view line = FirstLine(block, length);
    const size_t blank = line.find(' ');
    if (blank == std::string_view::npos) return 0;
    line.remove_prefix(blank + 1);
    int64_t number = 0;
    if (!ReadNumber(line, &number) || number < INT32_MIN || number > INT32_MAX) return 0;
    *code = (int32_t)number;
    return number >= 100 ? 1 : 0;
}

int64_t WebGet_HeaderGetHTTPVersion(const char* block, int32_t length, double* version) {
    ASSERT_POINTER(block);
    ASSERT_POINTER(version);
    *version = 0;
    const size_t n = length > 0 ? strnlen(block, (size_t)length) : 0;
    const std::string_view text(block, n);
    const size_t at = text.find("HTTP/");
    if (at == std::string_view::npos || at + 6 > n) return 0;
    std::string_view rest = text.substr(at + 5);
    double value = 0;
    size_t i = 0;
    for (; i < rest.size() && rest[i] >= '0' && rest[i] <= '9' && i < 18; i++) value = value * 10 + (rest[i] - '0');
    if (i < rest.size() && rest[i] == '.') {
        double scale = 0.1;
        for (i++; i < rest.size() && rest[i] >= '0' && rest[i] <= '9'; i++, scale /= 10) value += (rest[i] - '0') * scale;
    }
    *version = value;
    return value >= 1.0 ? 1 : 0;
}

int64_t WebGet_HeaderGetHTTPStatus(const char* block, int32_t length, char* buffer, int32_t capacity) {
    ASSERT_POINTER(block);
    ASSERT_POINTER(buffer);
    Clear(buffer, capacity);
    std::string_view line = FirstLine(block, length);
    const size_t first = line.find_first_of(" :");
    if (first == std::string_view::npos || line[first] == ':') return 0;
    line.remove_prefix(first + 1);
    const size_t second = line.find(' ');
    if (second == std::string_view::npos) return 0;
    CopyOut(buffer, capacity, TrimBlanks(line.substr(second + 1)));
    return 1;
}

// ---- Header values --------------------------------------------------------------------------

int64_t WebGet_HeaderValueExtractNextParameter(const char** cursor, char* name, int32_t MaxName, char* value,
                                               int32_t MaxValue) {
    ASSERT_POINTER(cursor);
    ASSERT_POINTER(*cursor);
    ASSERT_POINTER(name);
    ASSERT_POINTER(value);
    ASSERT_MSG(MaxName > 0, "%s: MaxName must be greater than zero\n", "WebGet_HeaderValueExtractNextParameter");
    ASSERT_MSG(MaxValue > 0, "%s: MaxValue must be greater than zero\n", "WebGet_HeaderValueExtractNextParameter");
    name[0] = 0;
    value[0] = 0;
    const char* p = *cursor;
    while (*p == ';' || IsBlank(*p)) p++;
    if (IsControl(*p)) {
        *cursor = p;
        return 0;
    }
    const char* start = p;
    while (*p != ';' && *p != '=' && !IsControl(*p)) p++;
    CopyOut(name, MaxName, std::string_view(start, (size_t)(p - start)));
    if (*p == '=') {
        start = ++p;
        while (*p != ';' && !IsControl(*p)) p++;
        CopyOut(value, MaxValue, std::string_view(start, (size_t)(p - start)));
    }
    *cursor = p;
    return 1;
}

int64_t WebGet_HeaderValueFindParameter(const char* value, const char* name, char* buffer, int32_t capacity) {
    ASSERT_POINTER(value);
    ASSERT_POINTER(name);
    ASSERT_POINTER(buffer);
    if (capacity < 1) return 0;
    buffer[0] = 0;
    char found[kParameterName];
    for (const char* cursor = value; WebGet_HeaderValueExtractNextParameter(&cursor, found, kParameterName, buffer, capacity);)
        if (String_CompareWithoutCase(found, name)) return 1;
    buffer[0] = 0;
    return 0;
}

int64_t WebGet_HeaderValueExtractParameter(const char* text, const char* name, char* value, int32_t MaxValue) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(name);
    ASSERT_POINTER(value);
    ASSERT_MSG(MaxValue > 0, "%s: MaxValue must be greater than zero\n", "WebGet_HeaderValueExtractParameter");
    value[0] = 0;
    const std::string_view all(text);
    const size_t n = strlen(name);
    if (n == 0) return 0;
    // An occurrence that is the tail of a longer word ("nonce" in "cnonce") or not followed by a
    // separator is not the parameter; the search goes on past it.
    for (size_t at = 0; at + n <= all.size(); at++) {
        if (!EqualNoCase(all.substr(at, n), std::string_view(name, n))) continue;
        if (at > 0) {
            const char before = all[at - 1];
            if ((before >= '0' && before <= '9') || (Lower(before) >= 'a' && Lower(before) <= 'z')) continue;
        }
        std::string_view rest = all.substr(at + n);
        SkipBlanks(rest);
        if (rest.empty() || (rest.front() != ':' && rest.front() != '=')) continue;
        rest.remove_prefix(1);
        // "name: value" puts a blank before the value; it is not the value.
        SkipBlanks(rest);
        size_t end;
        if (!rest.empty() && (rest.front() == '"' || rest.front() == '\'')) {
            const char quote = rest.front();
            rest.remove_prefix(1);
            end = rest.find(quote);
        } else {
            end = rest.find_first_of(" ,;");
            const size_t crlf = rest.find("\r\n");
            if (crlf < end) end = crlf;
        }
        CopyOut(value, MaxValue, rest.substr(0, end));
        return 1;
    }
    return 0;
}

int64_t WebGet_HeaderValueDecodeRange(const char* value, int64_t* first, int64_t* last) {
    ASSERT_POINTER(value);
    ASSERT_POINTER(first);
    ASSERT_POINTER(last);
    *first = 0;
    *last = -1;
    const char* at = nullptr;
    if (!String_FindStringWithoutCase(value, "bytes", &at)) return 0;
    std::string_view s(at + 5);
    SkipBlanks(s);
    if (s.empty() || s.front() != '=') return 0;
    s.remove_prefix(1);
    SkipBlanks(s);
    if (!ReadNumber(s, first)) return 0;
    SkipBlanks(s);
    if (*first < 0) return (s.empty() || s.front() != '-') ? 1 : 0;
    if (s.empty()) return 1; // "bytes=100": from there to the end
    if (s.front() != '-') return 0;
    s.remove_prefix(1);
    if (s.empty() || s.front() == ',') return 1; // open range: to the end
    SkipBlanks(s);
    if (!ReadNumber(s, last)) {
        *last = -1;
        return 0;
    }
    return *last >= *first ? 1 : 0;
}

int64_t WebGet_HeaderValueDecodeContentRange(const char* value, int64_t* first, int64_t* last, int64_t* total) {
    ASSERT_POINTER(value);
    ASSERT_POINTER(first);
    ASSERT_POINTER(last);
    ASSERT_POINTER(total);
    *first = 0;
    *last = -1;
    *total = -1;
    const char* at = nullptr;
    if (!String_FindStringWithoutCase(value, "bytes", &at)) return 0;
    std::string_view s(at + 5);
    if (s.empty() || !IsBlank(s.front())) return 0;
    SkipBlanks(s);
    if (!s.empty() && s.front() == '*') {
        // The unsatisfied form "*/total" carries no range.
        s.remove_prefix(1);
        if (s.empty() || s.front() != '/') return 0;
        return *last >= *first ? 1 : 0;
    }
    int64_t number = 0;
    if (!ReadNumber(s, &number)) return 0;
    *first = number < 0 ? 0 : number;
    SkipBlanks(s);
    if (s.empty() || s.front() != '-') return 0;
    s.remove_prefix(1);
    SkipBlanks(s);
    if (!ReadNumber(s, &number)) return 0;
    *last = number;
    SkipBlanks(s);
    if (s.empty() || s.front() != '/') return 0;
    s.remove_prefix(1);
    SkipBlanks(s);
    if (s.empty()) return 0;
    if (s.front() != '*') {
        if (!ReadNumber(s, &number)) return 0;
        *total = number;
    }
    return *last >= *first ? 1 : 0;
}

int64_t WebGet_HeaderDecodeContentRange(const char* block, int64_t* first, int64_t* last) {
    ASSERT_POINTER(first);
    ASSERT_POINTER(last);
    *first = 0;
    *last = -1;
    char value[256];
    if (!WebGet_HeaderGetByName(block, "Content-Range", value, (int32_t)sizeof(value))) return 0;
    int64_t total = -1;
    return WebGet_HeaderValueDecodeContentRange(value, first, last, &total);
}

// ---- Dictionary form ------------------------------------------------------------------------

int64_t WebGet_HeaderToDictionary(const char* block, Dictionary* dict, int32_t firstLine) {
    ASSERT_POINTER(block);
    ASSERT_POINTER(dict);
    std::string_view rest(block);
    for (bool first = true;; first = false) {
        const size_t crlf = rest.find("\r\n");
        if (crlf == std::string_view::npos) break;
        const std::string_view line = rest.substr(0, crlf);
        rest.remove_prefix(crlf);
        while (!rest.empty() && IsLineBreak(rest.front())) rest.remove_prefix(1);

        if (first) {
            if (firstLine != 1) continue;
            Dictionary* words = nullptr;
            Dictionary_AddList(dict, nullptr, &words, nullptr);
            for (std::string_view w = line; words && !w.empty();) {
                SkipBlanks(w);
                const size_t end = w.find_first_of(" \t");
                if (!w.empty()) AddText(words, nullptr, w.substr(0, end));
                w.remove_prefix(end == std::string_view::npos ? w.size() : end);
            }
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            char key[DICTIONARY_MAX_KEY_LENGTH + 1];
            CopyOut(key, (int32_t)sizeof(key), line);
            Dictionary_Add(dict, key, nullptr);
            continue;
        }
        std::string_view value = line.substr(colon + 1);
        SkipBlanks(value);
        WebGet_HeaderAddField(dict, line.data(), (int32_t)colon, value.data(), (int32_t)value.size());
    }
    return 1;
}

int64_t WebGet_HeaderAddField(Dictionary* dict, const char* name, int32_t nameLength, const char* value,
                              int32_t valueLength) {
    ASSERT_POINTER(dict);
    char key[DICTIONARY_MAX_KEY_LENGTH + 1];
    CopyOut(key, (int32_t)sizeof(key), std::string_view(name, nameLength > 0 ? (size_t)nameLength : 0));
    const std::string_view text(value, valueLength > 0 ? (size_t)valueLength : 0);
    // Header names are case-blind, so "set-cookie" is a cookie header as much as "Set-Cookie".
    if (String_ContainsStringWithoutCase(key, "Cookie"))
        AddCookies(dict, key, text);
    else
        AddText(dict, key, text);
    return 1;
}

int64_t WebGet_HeaderFromDictionary(Dictionary* dict, char* buffer, int32_t capacity) {
    ASSERT_POINTER(dict);
    ASSERT_POINTER(buffer);
    if (capacity < 1) return 0;
    buffer[0] = 0;
    Writer w{buffer, capacity};
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(dict, &item);
    for (bool first = true; item; first = false) {
        const std::string_view key = ItemKey(dict, item);
        if (!key.empty()) {
            w.PutField(key);
            w.Put(": ");
        }
        uint32_t type = 0;
        Dictionary_ItemGetType(dict, item, &type);
        Dictionary* child = nullptr;
        if (type == DICTIONARY_TYPE_LIST || type == DICTIONARY_TYPE_DICTIONARY)
            Dictionary_ItemGetDictionaryHandle(dict, item, &child);
        if (child && (type == DICTIONARY_TYPE_DICTIONARY || first)) {
            DictionaryItem* member = nullptr;
            Dictionary_ItemGetFirst(child, &member);
            for (bool firstMember = true; member; firstMember = false) {
                if (!firstMember) w.Put(type == DICTIONARY_TYPE_LIST ? " " : ";");
                if (type == DICTIONARY_TYPE_DICTIONARY) {
                    w.PutField(ItemKey(child, member));
                    w.Put("=");
                }
                w.PutField(ItemText(child, member));
                DictionaryItem* next = nullptr;
                Dictionary_ItemGetNext(child, member, &next);
                member = next;
            }
        } else if (type == DICTIONARY_TYPE_STRING || type == DICTIONARY_TYPE_INT64 ||
                   type == DICTIONARY_TYPE_FLOAT64) {
            w.PutField(ItemText(dict, item));
        }
        w.Put("\r\n");
        DictionaryItem* next = nullptr;
        Dictionary_ItemGetNext(dict, item, &next);
        item = next;
    }
    w.Put("\r\n");
    if (w.Broken) {
        // A line break inside a field would smuggle in lines of the caller's choosing.
        buffer[0] = 0;
        return 0;
    }
    return w.Cut ? 0 : 1;
}

// ---- Proxy lists ----------------------------------------------------------------------------

int64_t WebGet_GetNextProxy(const char* list, int32_t index, char* buffer, int32_t capacity) {
    ASSERT_POINTER(list);
    ASSERT_POINTER(buffer);
    Clear(buffer, capacity);
    std::string_view item;
    if (index < 0 || !ListItem(list, index, &item) || item.empty()) return 0;
    if (EqualNoCase(item, "DIRECT")) return 1;

    std::string_view scheme = "http";
    std::string_view host;
    if (StartsWith(item, "HTTP ") || StartsWith(item, "HTTPS ")) {
        scheme = StartsWith(item, "HTTPS ") ? "https" : "http";
        host = TrimBlanks(item.substr(scheme.size() + 1));
    } else {
        std::string_view address = item;
        if (StartsWith(item, "PROXY ")) {
            address = TrimBlanks(item.substr(6));
        } else if (item.find_first_of(" \t") != std::string_view::npos) {
            char text[kListItem + 1];
            CopyOut(text, (int32_t)sizeof(text), item);
            Log_Warning("Unsupported proxy configuration type (%s)\n", text);
            return 0;
        }
        const size_t sep = address.find("://");
        if (sep != std::string_view::npos) {
            scheme = address.substr(0, sep);
            address.remove_prefix(sep + 3);
        }
        host = address;
    }
    host = host.substr(0, host.find_first_of("/\\"));
    if (host.empty() || scheme.empty()) return 0;

    char schemeText[32];
    CopyOut(schemeText, (int32_t)sizeof(schemeText), scheme);
    String_Lower(schemeText);
    char hostText[kListItem + 1];
    CopyOut(hostText, (int32_t)sizeof(hostText), host);
    // A proxy address cut short would name another host: nothing rather than that.
    const size_t needed = strlen(schemeText) + 3 + strlen(hostText) + 1;
    if (capacity < 1 || needed + 1 > (size_t)capacity) return 0;
    String_Print(buffer, capacity, "%s://%s/", schemeText, hostText);
    return 1;
}

int64_t WebGet_BypassProxy(const char* url, const char* list) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(list);
    char hostText[kHost];
    URL_ParseHostWithoutPort(url, hostText, kHost);
    const std::string_view host(hostText);
    const bool loopback = host == "127.0.0.1" || EqualNoCase(host, "localhost");
    const bool dotted = host.find('.') != std::string_view::npos;
    int64_t answer = loopback ? 1 : 0;
    ForEachItem(list, [&](std::string_view item) {
        if (item.empty()) return true;
        if (EqualNoCase(item, "<local>")) {
            if (!dotted) answer = 1;
        } else if (EqualNoCase(item, "<-loopback>")) {
            if (loopback) answer = 0;
        } else if (WildcardMatch(host, item)) {
            answer = 1;
        }
        return true;
    });
    return answer;
}

int64_t WebGet_GetProxyByProtocol(const char* url, const char* settings, char* buffer, int32_t capacity) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(settings);
    ASSERT_POINTER(buffer);
    Clear(buffer, capacity);
    const std::string_view address(url);
    const size_t sep = address.find("://");
    const std::string_view scheme = sep == std::string_view::npos ? std::string_view("http") : address.substr(0, sep);
    bool found = false;
    if (strchr(settings, '=')) {
        ForEachItem(settings, [&](std::string_view item) {
            const size_t eq = item.find('=');
            // The whole name must be the scheme: "http" must not take the "https" proxy.
            if (eq == std::string_view::npos || !EqualNoCase(TrimBlanks(item.substr(0, eq)), scheme)) return true;
            CopyOut(buffer, capacity, TrimBlanks(item.substr(eq + 1)));
            found = true;
            return false;
        });
    }
    if (!found) CopyOut(buffer, capacity, settings);
    return 1;
}
