// The YAML reader: one pass over the bytes with a stack of open collections (block ones placed by
// their indentation, flow ones by their brackets); no recursion, so nesting cannot exhaust the
// machine stack, and the stack's fixed depth bounds what a document may open.
#include <cstring>

#include "core/formats/yaml_internal.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/dictionary_load.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

constexpr uint32_t kBlock = 4096;
constexpr int32_t kPathSize = 1024;
// Scalars longer than this are refused: item lengths are 32-bit.
constexpr int32_t kMaxText = 0x3FFFFFFF;

enum LevelKind : uint32_t { kDocument, kBlockSeq, kBlockMap, kFlowSeq, kFlowMap };

struct Level {
    int32_t Indent;
    LevelKind Kind;
    Dictionary* Dict;
    bool Open;   // a slot (a key or a dash) waits for its value
    bool HasKey; // maps: Key holds the slot's key
    char Key[YAML_MAX_KEY_LENGTH + 2];
};

struct Text {
    char* Data;
    int32_t Length;
    int32_t Capacity;
};

struct Reader {
    YAML* Yaml;
    Stream* Source;
    const uint8_t* At;
    const uint8_t* End;
    bool Ended;
    int32_t Line;
    int32_t Column;
    uint64_t Position;
    // UTF-8 check: continuation bytes still expected and the range the next one must fall in.
    int32_t Need;
    uint8_t Low;
    uint8_t High;
    bool Stop;
    bool Trace; // the verbose level asks for a line per raised value
    uint32_t Code;
    bool DocumentLine; // a "---" line was read
    bool Pending;      // Value holds a plain scalar not yet raised
    Text Value;
    Text Key;
    int32_t Top;
    Level Levels[YAML_MAX_LEVELS];
    uint8_t Block[kBlock];
};

// ---- Input -----------------------------------------------------------------------------------

bool Refill(Reader* r) {
    if (r->Ended || !r->Source) {
        r->Ended = true;
        return false;
    }
    uint32_t read = 0;
    Stream_Read(r->Source, r->Block, kBlock, &read);
    if (read == 0) {
        r->Ended = true;
        return false;
    }
    r->At = r->Block;
    r->End = r->Block + read;
    return true;
}

inline int32_t Peek(Reader* r) {
    if (r->At == r->End && !Refill(r)) return -1;
    return *r->At;
}

void Fail(Reader* r, uint32_t code, const char* format, ...) {
    if (r->Stop) return;
    r->Stop = true;
    r->Code = code;
    if (format) {
        va_list args;
        va_start(args, format);
        YAML_VPrint(r->Yaml, 0, format, args);
        va_end(args);
    }
}

void FailEnd(Reader* r) {
    Fail(r, YAML_ERROR_END_OF_STREAM, "Unexpected end of stream [%d:%d]", r->Line, r->Column);
}

// Consumes the byte Peek answered; checks that the bytes form UTF-8.
inline void Advance(Reader* r) {
    const uint8_t c = *r->At++;
    r->Position++;
    if (c == '\n') {
        r->Line++;
        r->Column = 1;
    } else {
        r->Column++;
    }
    if (c < 0x80 && r->Need == 0) return;
    bool ok = true;
    if (r->Need > 0) {
        ok = c >= r->Low && c <= r->High;
        r->Need--;
        r->Low = 0x80;
        r->High = 0xBF;
    } else if (c >= 0xC2 && c <= 0xDF) {
        r->Need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
        r->Need = 2;
        r->Low = c == 0xE0 ? 0xA0 : 0x80;
        r->High = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        r->Need = 3;
        r->Low = c == 0xF0 ? 0x90 : 0x80;
        r->High = c == 0xF4 ? 0x8F : 0xBF;
    } else {
        ok = false;
    }
    if (!ok) Fail(r, YAML_ERROR_SYNTAX, "Invalid UTF-8 byte [0x%02X @ %d:%d]", c, r->Line, r->Column - 1);
}

inline bool IsBlank(int32_t c) {
    return c == ' ' || c == '\t' || c == '\r';
}

void SkipBlanks(Reader* r) {
    while (!r->Stop && IsBlank(Peek(r))) Advance(r);
}

void FlushPending(Reader* r);

// A comment runs to the end of its line, or of the text: an editor may save the last line without
// a line break. It ends a plain scalar: the next line may not continue it.
void SkipComment(Reader* r) {
    FlushPending(r);
    for (;;) {
        const int32_t c = Peek(r);
        if (c < 0 || c == '\n' || r->Stop) return;
        Advance(r);
    }
}

// The end of the text closes a line as a line break does: a last line without one still counts.
inline bool IsLineEnd(int32_t c) {
    return c < 0 || c == '\n';
}

// ---- Text buffers ----------------------------------------------------------------------------

bool Grow(Reader* r, Text* t, int32_t extra) {
    if (t->Length + extra < t->Capacity) return true;
    if (t->Length > kMaxText - extra) {
        Fail(r, YAML_ERROR_SYNTAX, "Scalar too long [@ %d:%d]", r->Line, r->Column);
        return false;
    }
    int32_t capacity = t->Capacity ? t->Capacity : 320;
    while (capacity <= t->Length + extra) capacity = capacity > kMaxText / 2 ? kMaxText + 1 : capacity * 2;
    char* data = static_cast<char*>(Memory_Alloc(capacity));
    if (t->Length) memcpy(data, t->Data, (size_t)t->Length);
    if (t->Data) Memory_Free(t->Data, t->Capacity);
    t->Data = data;
    t->Capacity = capacity;
    return true;
}

inline void Append(Reader* r, Text* t, char c) {
    if (t->Length + 1 >= t->Capacity && !Grow(r, t, 1)) return;
    t->Data[t->Length++] = c;
}

void AppendBytes(Reader* r, Text* t, const char* bytes, int32_t n) {
    if (!Grow(r, t, n)) return;
    memcpy(t->Data + t->Length, bytes, (size_t)n);
    t->Length += n;
}

void TrimRight(Text* t) {
    while (t->Length > 0 && (t->Data[t->Length - 1] == ' ' || t->Data[t->Length - 1] == '\t' ||
                             t->Data[t->Length - 1] == '\r' || t->Data[t->Length - 1] == '\n'))
        t->Length--;
}

// NUL-terminated view of the buffer.
const char* Terminated(Reader* r, Text* t) {
    if (t->Length + 1 >= t->Capacity && !Grow(r, t, 1)) return "";
    t->Data[t->Length] = 0;
    return t->Data;
}

// ---- Scalar types ----------------------------------------------------------------------------

bool EqualsNoCase(const char* text, int32_t length, const char* word) {
    const int32_t n = (int32_t)strlen(word);
    if (length != n) return false;
    for (int32_t i = 0; i < n; i++) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = (char)(c + 32);
        if (c != word[i]) return false;
    }
    return true;
}

bool IsHex(int32_t c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

} // namespace

// The item type of a plain scalar: block context compares words ignoring case and takes a "+"
// sign and hexadecimal; flow context is exact and takes only "-" and decimals. A number is what
// the library's number reader reads whole, so every reader of the item gets its value; one
// beyond the double's range ("1e999") has no value and stays a string.
uint32_t YAML_PlainType(const char* text, int32_t length, bool flow) {
    if (length == 0) return DICTIONARY_TYPE_NULL;
    double value = 0;
    if (flow) {
        if (length == 4 && memcmp(text, "null", 4) == 0) return DICTIONARY_TYPE_NULL;
        if ((length == 4 && memcmp(text, "true", 4) == 0) || (length == 5 && memcmp(text, "false", 5) == 0))
            return DICTIONARY_TYPE_BOOLEAN;
        const int32_t sign = text[0] == '-' ? 1 : 0;
        const bool hex = length - sign >= 2 && text[sign] == '0' && (text[sign + 1] == 'x' || text[sign + 1] == 'X');
        return text[0] != '+' && !hex && String_ParseNumber(text, (size_t)length, &value, nullptr)
                   ? DICTIONARY_TYPE_FLOAT64
                   : DICTIONARY_TYPE_STRING;
    }
    if (EqualsNoCase(text, length, "null")) return DICTIONARY_TYPE_NULL;
    if (EqualsNoCase(text, length, "true") || EqualsNoCase(text, length, "false"))
        return DICTIONARY_TYPE_BOOLEAN;
    return String_ParseNumber(text, (size_t)length, &value, nullptr) ? DICTIONARY_TYPE_FLOAT64
                                                                      : DICTIONARY_TYPE_STRING;
}

namespace {

// ---- Raising values --------------------------------------------------------------------------

void BuildPath(Reader* r, char* path) {
    int32_t used = 0;
    path[0] = 0;
    for (int32_t i = 1; i <= r->Top; i++) {
        const Level& level = r->Levels[i];
        if (!level.HasKey) continue;
        const int32_t n = (int32_t)strlen(level.Key);
        if (used + n + 2 > kPathSize) break;
        if (used) path[used++] = '\\';
        memcpy(path + used, level.Key, (size_t)n + 1);
        used += n;
    }
}

// Fills the open slot of the top level; a container's nested Dictionary is answered.
Dictionary* Raise(Reader* r, uint32_t type, const char* text, int32_t length) {
    Level& level = r->Levels[r->Top];
    level.Open = false;
    if (r->Trace) {
        char path[kPathSize];
        BuildPath(r, path);
        YAML_VerboseLog(r->Yaml, 9, "Path %s Type %d Buf %s BufSize %d StreamPos %lld NodePos %d NodeSize %d",
                        path, (int32_t)type, length ? text : "", length, (int64_t)r->Position, 0, length);
    }
    Dictionary* target = level.Dict;
    if (!target) return nullptr;
    const bool keyed = level.Kind == kBlockMap || level.Kind == kFlowMap;
    // The key is terminated within its buffer; a Boolean's text starts with 't' when true.
    Dictionary* child = nullptr;
    Dictionary_AppendLoaded(target, keyed ? level.Key : nullptr, (int32_t)sizeof(level.Key), type, text, length,
                            &child);
    return child;
}

void RaisePlain(Reader* r, Text* t, bool flow) {
    TrimRight(t);
    const char* text = Terminated(r, t);
    Raise(r, YAML_PlainType(text, t->Length, flow), text, t->Length);
    t->Length = 0;
}

void FlushPending(Reader* r) {
    if (!r->Pending) return;
    r->Pending = false;
    RaisePlain(r, &r->Value, false);
}

void PopLevel(Reader* r) {
    if (r->Levels[r->Top].Open) Raise(r, DICTIONARY_TYPE_NULL, "", 0);
    r->Top--;
}

// Closes the block levels indented deeper than `indent`.
void PopTo(Reader* r, int32_t indent) {
    while (r->Top > 0 && r->Levels[r->Top].Indent > indent) PopLevel(r);
}

bool SetKey(Reader* r, Level* level, const char* key, int32_t length) {
    if (length > YAML_MAX_KEY_LENGTH) {
        Fail(r, YAML_ERROR_SYNTAX, "Map key exceeded length limit [%s @ %d:%d]", key, r->Line, r->Column);
        return false;
    }
    // Keys are C strings in the store: cut at a NUL ("\0", "\x00"), one could stand for another.
    if (memchr(key, 0, (size_t)length) != nullptr) {
        Fail(r, YAML_ERROR_SYNTAX, "Map key holds a NUL character [%s @ %d:%d]", key, r->Line, r->Column);
        return false;
    }
    memcpy(level->Key, key, (size_t)length);
    level->Key[length] = 0;
    level->HasKey = true;
    level->Open = true;
    return true;
}

// Raises a container into the top slot and opens a level for it.
bool Push(Reader* r, LevelKind kind, int32_t indent, int32_t c) {
    if (r->Top + 1 >= YAML_MAX_LEVELS) {
        // A refused block collection fails with the same code, without a message.
        const bool flow = kind == kFlowSeq || kind == kFlowMap;
        if (flow)
            Fail(r, YAML_ERROR_FIELD_TYPE, "Unknown field type [%c @ %d:%d]", c, r->Line, r->Column);
        else
            Fail(r, YAML_ERROR_FIELD_TYPE, nullptr);
        return false;
    }
    const bool list = kind == kBlockSeq || kind == kFlowSeq;
    Dictionary* child = Raise(r, list ? DICTIONARY_TYPE_LIST : DICTIONARY_TYPE_DICTIONARY, "", 0);
    Level& level = r->Levels[++r->Top];
    level.Indent = indent;
    level.Kind = kind;
    level.Dict = child;
    level.Open = kind == kBlockSeq;
    level.HasKey = false;
    level.Key[0] = 0;
    return true;
}

void MisplacedAt(Reader* r, int32_t line, int32_t column) {
    Fail(r, YAML_ERROR_SYNTAX, "Unexpected node [@ %d:%d]", line, column);
}

void Misplaced(Reader* r) {
    MisplacedAt(r, r->Line, r->Column);
}

// A mapping key at `indent`.
bool KeyEvent(Reader* r, int32_t indent, const char* key, int32_t length) {
    FlushPending(r);
    PopTo(r, indent);
    // A key may pass a sequence of its own indentation: "k:" then "- x" lines, then the next key.
    while (r->Top > 0 && r->Levels[r->Top].Kind == kBlockSeq && r->Levels[r->Top].Indent == indent)
        PopLevel(r);
    Level* top = &r->Levels[r->Top];
    if (top->Kind == kBlockMap && top->Indent == indent) {
        if (top->Open) Raise(r, DICTIONARY_TYPE_NULL, "", 0);
        return SetKey(r, top, key, length);
    }
    if (!top->Open || top->Indent >= indent) {
        Misplaced(r);
        return false;
    }
    if (!Push(r, kBlockMap, indent, ':')) return false;
    return SetKey(r, &r->Levels[r->Top], key, length);
}

// A sequence dash at `indent`.
bool DashEvent(Reader* r, int32_t indent) {
    FlushPending(r);
    PopTo(r, indent);
    Level* top = &r->Levels[r->Top];
    if (top->Kind == kBlockSeq && top->Indent == indent) {
        if (top->Open) Raise(r, DICTIONARY_TYPE_NULL, "", 0);
        top->Open = true;
        return true;
    }
    if (!top->Open || (top->Indent > indent) || (top->Indent == indent && top->Kind != kBlockMap)) {
        Misplaced(r);
        return false;
    }
    return Push(r, kBlockSeq, indent, '-');
}

// A scalar standing where a node may start at `indent` (it began at line:column); plain ones wait
// for continuation lines.
bool ScalarEvent(Reader* r, int32_t indent, bool lineStart, bool plain, Text* t, int32_t line, int32_t column) {
    // Only a line indented deeper than the collection holding the scalar continues it.
    if (plain && lineStart && r->Pending && indent > r->Levels[r->Top].Indent) {
        TrimRight(&r->Value);
        Append(r, &r->Value, ' ');
        AppendBytes(r, &r->Value, t->Data, t->Length);
        t->Length = 0;
        return !r->Stop;
    }
    FlushPending(r);
    PopTo(r, indent);
    // A line holding only a scalar at the indentation of its collection (or lower) is no value of
    // it: it is a key that lost its colon or a stray line, and taking it would change a neighbour.
    const Level& top = r->Levels[r->Top];
    if (!top.Open || (lineStart && top.Indent >= indent)) {
        MisplacedAt(r, line, column);
        return false;
    }
    if (plain) {
        // The scalar becomes the value buffer; it stays open for folded lines.
        Text swap = r->Value;
        r->Value = *t;
        *t = swap;
        t->Length = 0;
        r->Pending = true;
        return true;
    }
    Raise(r, DICTIONARY_TYPE_STRING, Terminated(r, t), t->Length);
    t->Length = 0;
    return !r->Stop;
}

// ---- Quoted scalars --------------------------------------------------------------------------

int32_t PutUtf8(uint32_t cp, char* out) {
    if (cp < 0x80) {
        out[0] = (char)cp;
        return 1;
    }
    if (cp < 0x800) {
        out[0] = (char)(0xC0 | (cp >> 6));
        out[1] = (char)(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = (char)(0xE0 | (cp >> 12));
        out[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
        out[2] = (char)(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = (char)(0xF0 | (cp >> 18));
    out[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
    out[2] = (char)(0x80 | ((cp >> 6) & 0x3F));
    out[3] = (char)(0x80 | (cp & 0x3F));
    return 4;
}

void Escape(Reader* r, Text* t) {
    const int32_t c = Peek(r);
    if (c < 0) return FailEnd(r);
    const int32_t line = r->Line, column = r->Column;
    Advance(r);
    int32_t digits = 0;
    switch (c) {
    case '\\':
    case '"':
    case '/':
    case ' ':
        return Append(r, t, (char)c);
    case 'a':
        return Append(r, t, 7);
    case 'b':
        return Append(r, t, 8);
    case 't':
        return Append(r, t, 9);
    case 'n':
        return Append(r, t, 10);
    case 'v':
        return Append(r, t, 11);
    case 'f':
        return Append(r, t, 12);
    case 'r':
        return Append(r, t, 13);
    case 'e':
        return Append(r, t, 27);
    // NUL is a character like any other: values keep their length.
    case '0':
        return Append(r, t, 0);
    case '_':
        return Append(r, t, (char)0xA0);
    case 'N':
        return Append(r, t, (char)0x85);
    case 'L':
        return AppendBytes(r, t, "\xE2\x80\xA8", 3);
    case 'P':
        return AppendBytes(r, t, "\xE2\x80\xA9", 3);
    case 'x':
        digits = 2;
        break;
    case 'u':
        digits = 4;
        break;
    case 'U':
        digits = 8;
        break;
    default:
        return Fail(r, YAML_ERROR_ESCAPE, "Unexpected escape character in string [%c @ %d:%d]", c, line,
                    column);
    }
    char hex[9] = {0};
    uint32_t value = 0;
    bool valid = true;
    for (int32_t i = 0; i < digits; i++) {
        const int32_t d = Peek(r);
        if (d < 0) return FailEnd(r);
        if (d == '\n' || r->Stop) {
            valid = false;
            break;
        }
        Advance(r);
        hex[i] = (char)d;
        if (!IsHex(d)) valid = false;
        value = value * 16 + (uint32_t)(d <= '9' ? d - '0' : (d | 0x20) - 'a' + 10);
    }
    if (r->Stop) return;
    if (!valid)
        return Fail(r, YAML_ERROR_ESCAPE, "Unexpected Unicode hex characters [%.4s @ %d:%d]", hex, line,
                    column);
    if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return Fail(r, YAML_ERROR_ESCAPE, "Unexpected Unicode character value [\\u%0x @ %d:%d]", value, line,
                    column);
    char out[4];
    AppendBytes(r, t, out, PutUtf8(value, out));
}

// A line break inside quotes folds into one space, the blanks around it dropped; the first `kept`
// bytes stay (blanks written as escapes are content).
void Fold(Reader* r, Text* t, int32_t kept) {
    while (t->Length > kept && IsBlank(t->Data[t->Length - 1])) t->Length--;
    for (int32_t c = Peek(r); !r->Stop && (IsBlank(c) || c == '\n'); c = Peek(r)) Advance(r);
    Append(r, t, ' ');
}

// Reads a quoted scalar (the opening quote is next) into `t`.
bool Quoted(Reader* r, Text* t) {
    const int32_t quote = Peek(r);
    Advance(r);
    t->Length = 0;
    int32_t kept = 0;
    for (;;) {
        if (r->Stop) return false;
        const int32_t c = Peek(r);
        if (c < 0) {
            FailEnd(r);
            return false;
        }
        Advance(r);
        if (c == quote) {
            if (quote == '"' || Peek(r) != '\'') return !r->Stop;
            Advance(r);
            Append(r, t, '\'');
        } else if (c == '\\' && quote == '"') {
            Escape(r, t);
            kept = t->Length;
        } else if (c == '\n') {
            Fold(r, t, kept);
        } else {
            Append(r, t, (char)c);
        }
    }
}

// After a node: only blanks and a comment may end the line.
bool LineRest(Reader* r) {
    SkipBlanks(r);
    const int32_t c = Peek(r);
    if (r->Stop) return false;
    if (c < 0 || c == '\n') return true;
    if (c == '#') {
        SkipComment(r);
        return !r->Stop;
    }
    Misplaced(r);
    return false;
}

// ---- Flow collections ------------------------------------------------------------------------

// A plain scalar inside brackets: it ends at "," or "#", at "]" in a sequence and "}" (or ":" as a
// key) in a mapping; line breaks fold.
int32_t FlowPlain(Reader* r, Text* t, bool inMap, bool asKey) {
    t->Length = 0;
    for (;;) {
        const int32_t c = Peek(r);
        if (r->Stop) return -1;
        if (c < 0) {
            FailEnd(r);
            return -1;
        }
        if (c == ',' || c == '#' || (inMap ? c == '}' : c == ']') || (asKey && c == ':')) {
            TrimRight(t);
            return c;
        }
        Advance(r);
        if (c == '\n')
            Fold(r, t, 0);
        else
            Append(r, t, (char)c);
    }
}

inline bool IsReserved(int32_t c) {
    return c == '@' || c == '`';
}

// "@" and "`" are kept for future use: no node may start with one, and dropping the character
// would give a value the writer never meant ("@-3.14" read as a number).
void Reserved(Reader* r, int32_t c) {
    Fail(r, YAML_ERROR_SYNTAX, " Invalid use of Reserved Indicator [%c @ %d:%d]", c, r->Line, r->Column);
}

// Reads a flow collection whose opening bracket is next, into the open slot of the top level.
bool Flow(Reader* r) {
    const int32_t base = r->Top;
    Text* t = &r->Key;
    for (;;) {
        if (r->Stop) return false;
        const int32_t c = Peek(r);
        if (c < 0) {
            FailEnd(r);
            return false;
        }
        if (r->Top == base) {
            // The opening bracket of the outermost collection.
            Advance(r);
            if (!Push(r, c == '[' ? kFlowSeq : kFlowMap, r->Levels[base].Indent, c)) return false;
            continue;
        }
        if (IsBlank(c) || c == '\n') {
            Advance(r);
            continue;
        }
        if (c == '#') {
            SkipComment(r);
            continue;
        }
        Level* top = &r->Levels[r->Top];
        const bool inMap = top->Kind == kFlowMap;
        const bool wantKey = inMap && !top->Open;
        if ((inMap && c == '}') || (!inMap && c == ']')) {
            Advance(r);
            PopLevel(r);
            if (r->Top == base) return !r->Stop;
            continue;
        }
        if (c == ',') {
            Advance(r);
            if (inMap && top->Open) Raise(r, DICTIONARY_TYPE_NULL, "", 0);
            continue;
        }
        if (IsReserved(c)) {
            Reserved(r, c);
            return false;
        }
        if (c == '[' || c == '{') {
            if (wantKey) {
                Misplaced(r);
                return false;
            }
            Advance(r);
            if (!inMap) top->Open = true;
            if (!Push(r, c == '[' ? kFlowSeq : kFlowMap, top->Indent, c)) return false;
            continue;
        }
        if (c == '"' || c == '\'') {
            if (!Quoted(r, t)) return false;
            if (wantKey) {
                while (!r->Stop && (IsBlank(Peek(r)) || Peek(r) == '\n')) Advance(r);
                const int32_t next = Peek(r);
                if (next == ':') Advance(r);
                if (!SetKey(r, top, Terminated(r, t), t->Length)) return false;
                if (next != ':') Raise(r, DICTIONARY_TYPE_NULL, "", 0);
                continue;
            }
            top->Open = true;
            Raise(r, DICTIONARY_TYPE_STRING, Terminated(r, t), t->Length);
            continue;
        }
        const int32_t end = FlowPlain(r, t, inMap, wantKey);
        if (end < 0) return false;
        if (wantKey) {
            if (end == ':') Advance(r);
            if (!SetKey(r, top, Terminated(r, t), t->Length)) return false;
            // "{a}" is the key a without a value.
            if (end != ':') Raise(r, DICTIONARY_TYPE_NULL, "", 0);
            continue;
        }
        top->Open = true;
        RaisePlain(r, t, true);
    }
}

// ---- Block structure -------------------------------------------------------------------------

// A value after "key:" and its blank: a flow collection, a quoted or plain scalar, or nothing
// (the value may follow on the next lines).
bool Value(Reader* r, int32_t indent) {
    for (;;) {
        SkipBlanks(r);
        const int32_t c = Peek(r);
        if (r->Stop) return false;
        if (c < 0 || c == '\n') return true;
        if (c == '#') {
            SkipComment(r);
            return !r->Stop;
        }
        if (IsReserved(c)) {
            Reserved(r, c);
            return false;
        }
        if (c == '[' || c == '{') return Flow(r) && LineRest(r);
        const int32_t line = r->Line, column = r->Column;
        if (c == '"' || c == '\'') {
            if (!Quoted(r, &r->Key)) return false;
            return ScalarEvent(r, indent + 1, false, false, &r->Key, line, column) && LineRest(r);
        }
        // Plain text to the end of the line; "#" starts a comment wherever it stands.
        Text* t = &r->Key;
        t->Length = 0;
        for (int32_t d = Peek(r); d >= 0 && d != '\n' && d != '#' && !r->Stop; d = Peek(r)) {
            Advance(r);
            Append(r, t, (char)d);
        }
        TrimRight(t);
        if (!ScalarEvent(r, indent + 1, false, true, t, line, column)) return false;
        if (Peek(r) == '#') SkipComment(r);
        return !r->Stop;
    }
}

// Text that is a mapping key when a ":" and a blank follow it, else a plain scalar ending the
// line. The text may not stop inside it. `t` may already hold its first characters.
bool KeyOrScalar(Reader* r, int32_t indent, bool lineStart, Text* t) {
    const int32_t line = r->Line, column = r->Column;
    // Where the text began: the characters already taken stand on this line.
    const int32_t start = r->Column - t->Length;
    if (t->Length == 0 && (Peek(r) == '"' || Peek(r) == '\'')) {
        if (!Quoted(r, t)) return false;
        SkipBlanks(r);
        if (Peek(r) != ':') return ScalarEvent(r, indent, lineStart, false, t, line, start) && LineRest(r);
        // A key stands on one line: a quoted text running over lines before a ":" is refused.
        if (r->Line != line) {
            MisplacedAt(r, line, start);
            return false;
        }
        Advance(r);
        const int32_t n = Peek(r);
        if (!IsBlank(n) && !IsLineEnd(n)) {
            Misplaced(r);
            return false;
        }
        if (!KeyEvent(r, indent, Terminated(r, t), t->Length)) return false;
        return Value(r, indent);
    }
    for (;;) {
        const int32_t c = Peek(r);
        if (r->Stop) return false;
        if (IsLineEnd(c) || c == '#') {
            TrimRight(t);
            if (!ScalarEvent(r, indent, lineStart, true, t, line, start)) return false;
            if (c == '#') SkipComment(r);
            return !r->Stop;
        }
        Advance(r);
        if (c == ':') {
            const int32_t n = Peek(r);
            if (IsBlank(n) || IsLineEnd(n)) {
                TrimRight(t);
                if (t->Length > YAML_MAX_KEY_LENGTH) {
                    Fail(r, YAML_ERROR_SYNTAX, "Map key exceeded length limit [%s @ %d:%d]", Terminated(r, t),
                         line, column);
                    return false;
                }
                if (!KeyEvent(r, indent, Terminated(r, t), t->Length)) return false;
                t->Length = 0;
                return Value(r, indent);
            }
        }
        Append(r, t, (char)c);
    }
}

// The content after "- ": a flow collection, a quoted scalar, key-or-scalar text, or the dash of
// a sequence nested in this entry ("- - a").
bool Entry(Reader* r) {
    bool tab = false;
    for (;;) {
        for (int32_t b = Peek(r); !r->Stop && IsBlank(b); b = Peek(r)) {
            tab = tab || b == '\t';
            Advance(r);
        }
        const int32_t c = Peek(r);
        if (r->Stop) return false;
        if (c < 0 || c == '\n') return true;
        if (c == '#') {
            SkipComment(r);
            return !r->Stop;
        }
        if (IsReserved(c)) {
            Reserved(r, c);
            return false;
        }
        if (c == ',') {
            Advance(r);
            continue;
        }
        if (c == '[' || c == '{') return Flow(r) && LineRest(r);
        r->Key.Length = 0;
        const int32_t indent = r->Column - 1;
        if (c == '-') {
            const int32_t line = r->Line;
            Advance(r);
            const int32_t n = Peek(r);
            if (IsBlank(n) || IsLineEnd(n)) {
                // A tab gives the nested sequence no indentation its next entries could match.
                if (tab) {
                    MisplacedAt(r, line, indent + 1);
                    return false;
                }
                if (!DashEvent(r, indent)) return false;
                continue;
            }
            Append(r, &r->Key, '-');
        }
        return KeyOrScalar(r, indent, false, &r->Key);
    }
}

// The document ends: what is open is closed and code 1 reported.
void DocumentEnd(Reader* r) {
    FlushPending(r);
    while (r->Top > 0) PopLevel(r);
    if (!r->Stop) {
        r->Stop = true;
        r->Code = YAML_ERROR_DOCUMENT_END;
    }
}

// After "---" or "...": blanks to the end of the line.
bool DocumentLineRest(Reader* r) {
    SkipBlanks(r);
    const int32_t c = Peek(r);
    if (r->Stop) return false;
    if (!IsLineEnd(c)) {
        Fail(r, YAML_ERROR_SYNTAX, "Unexpected character after document marker [%c @ %d:%d]", c, r->Line,
             r->Column);
        return false;
    }
    return true;
}

bool HasContent(Reader* r) {
    return r->Pending || r->Top > 0 || !r->Levels[0].Open;
}

// One line from its first non-blank character at `indent`.
bool LineStart(Reader* r, int32_t indent) {
    const int32_t c = Peek(r);
    Text* t = &r->Key;
    t->Length = 0;
    if (c == '#') {
        SkipComment(r);
        return !r->Stop;
    }
    // Only a line continuing an open plain scalar may start with a reserved indicator: there it
    // is text inside the scalar, not the start of a node.
    if (IsReserved(c) && !(r->Pending && indent > r->Levels[r->Top].Indent)) {
        FlushPending(r);
        Reserved(r, c);
        return false;
    }
    if (c == '-') {
        const int32_t line = r->Line;
        Advance(r);
        const int32_t n = Peek(r);
        if (IsBlank(n) || IsLineEnd(n)) {
            // Deeper than the collection of a plain scalar still open, "- " is text that continues
            // it, not an entry; unless that scalar itself opens with a dash ("key: - a"), a
            // sequence begun on its key's line, which has no place for more entries.
            const Text& open = r->Value;
            const bool dashed = open.Length > 0 && open.Data[0] == '-' && (open.Length == 1 || IsBlank(open.Data[1]));
            if (r->Pending && indent > r->Levels[r->Top].Indent && !dashed) {
                Append(r, t, '-');
                return KeyOrScalar(r, indent, true, t);
            }
            return DashEvent(r, indent) && Entry(r);
        }
        if (n == '-' && indent == 0) {
            Advance(r);
            const int32_t third = Peek(r);
            if (third < 0) {
                FailEnd(r);
                return false;
            }
            if (third != '-')
                YAML_Print(r->Yaml, "Unexpected character in document directive [%c @ %d:%d]", third, line,
                           r->Column);
            if (third != '\n') Advance(r);
            if (!DocumentLineRest(r)) return false;
            if (HasContent(r) || r->DocumentLine) {
                DocumentEnd(r);
                return false;
            }
            r->DocumentLine = true;
            return true;
        }
        if (n == '-') {
            Append(r, t, '-');
            return KeyOrScalar(r, indent, true, t);
        }
        Fail(r, YAML_ERROR_SYNTAX, "Unexpected character parsing block sequence [%c @ %d:%d]", n, r->Line,
             r->Column);
        return false;
    }
    if (c == '.' && indent == 0) {
        int32_t dots = 0;
        while (dots < 3 && Peek(r) == '.') {
            Advance(r);
            dots++;
        }
        if (dots == 3) {
            if (!DocumentLineRest(r)) return false;
            DocumentEnd(r);
            return false;
        }
        for (int32_t i = 0; i < dots; i++) Append(r, t, '.');
    }
    return KeyOrScalar(r, indent, true, t);
}

void Run(Reader* r) {
    r->Levels[0].Indent = -1;
    r->Levels[0].Kind = kDocument;
    r->Levels[0].Dict = r->Yaml->Dict;
    r->Levels[0].Open = true;
    r->Levels[0].HasKey = false;
    r->Levels[0].Key[0] = 0;
    while (!r->Stop) {
        int32_t c = Peek(r);
        while (!r->Stop && (IsBlank(c) || c == '\n')) {
            Advance(r);
            c = Peek(r);
        }
        if (r->Stop || c < 0) break;
        if (!LineStart(r, r->Column - 1)) break;
    }
    if (r->Need > 0 && !r->Stop)
        Fail(r, YAML_ERROR_SYNTAX, "Invalid UTF-8 byte [end @ %d:%d]", r->Line, r->Column);
    if (r->Stop && r->Code != YAML_ERROR_DOCUMENT_END) return;
    FlushPending(r);
    while (r->Top > 0) PopLevel(r);
}

} // namespace

void YAML_ScanInput(YAML* yaml, Stream* stream, const uint8_t* bytes, uint64_t length) {
    Reader* r = static_cast<Reader*>(Memory_Alloc(sizeof(Reader)));
    memset(static_cast<void*>(r), 0, offsetof(Reader, Levels));
    r->Yaml = yaml;
    r->Source = stream;
    r->Line = 1;
    r->Column = 1;
    r->Low = 0x80;
    r->High = 0xBF;
    r->Trace = YAML_IsVerboseLevel(yaml, 9) != 0;
    if (!stream) {
        r->At = bytes;
        r->End = bytes + length;
        r->Ended = true;
    }
    Run(r);
    yaml->Error = r->Code;
    if (r->Value.Data) Memory_Free(r->Value.Data, r->Value.Capacity);
    if (r->Key.Data) Memory_Free(r->Key.Data, r->Key.Capacity);
    Memory_Free(r, sizeof(Reader));
}
