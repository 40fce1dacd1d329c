// The INI object: a line reader that fills a bound Dictionary (top-level keys, then one nested
// Dictionary per section) and a writer that prints one back, with escapes for the characters
// that would break a line.
#include "core/formats/ini.h"

#include "core/runtime/class_family.h"

#include <cstring>

#include "core/platform/document_stream.h"
#include "core/platform/buffered_stream.h"
#include "core/platform/file.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

struct Ini {
    Class Header;
    ClassPrint Print;
    Dictionary* Dict;
    const char* LineEnding;
};

namespace {

// Files go through a buffer of this size both ways; the reader takes the stream in blocks of it.
constexpr uint32_t kBlock = 4096;

int64_t DeleteHandle(void** handle) {
    return Ini_Delete(reinterpret_cast<Ini**>(handle));
}

void PreparePrint(Ini* ini) {
    ClassPrint_Prepare(&ini->Print, ini, "Ini", nullptr);
}

// ---- Keys as the Dictionary keeps them ------------------------------------------------------

// While PrivateKeys is on, the Dictionary takes one leading '.' or '#' as the private mark, and it
// cuts keys to DICTIONARY_MAX_KEY_LENGTH bytes, never inside a UTF-8 character. Section lookups
// must compare against that kept form, or a long name would open a new section every time.
struct KeptKey {
    char Mark; // 0 when the key carries no private mark
    const char* Text;
    int32_t Length;
};

KeptKey Kept(Dictionary* dict, const char* key) {
    uint32_t privateKeys = 0;
    Dictionary_GetPrivateKeys(dict, &privateKeys);
    KeptKey kept = {0, key, (int32_t)strnlen(key, INI_MAX_LINE_LENGTH + 1)};
    if (privateKeys == 1 && kept.Length >= 1 && (key[0] == '.' || key[0] == '#')) {
        kept.Mark = key[0];
        kept.Text++;
        kept.Length--;
    }
    if (kept.Length > DICTIONARY_MAX_KEY_LENGTH) {
        kept.Length = DICTIONARY_MAX_KEY_LENGTH;
        while (kept.Length > 0 && ((uint8_t)kept.Text[kept.Length] & 0xC0) == 0x80) kept.Length--;
    }
    return kept;
}

// ---- Names seen ----------------------------------------------------------------------------

// A set of names compared as the Dictionary compares keys (ASCII case ignored unless it is case
// sensitive), each with a Dictionary handle: the reader's sections by name, and the writer's
// section names, so that neither scans the items again for every header.
struct NameEntry {
    uint64_t Hash;
    char* Name; // null: a free slot
    int32_t Length;
    Dictionary* Value;
};

struct NameSet {
    NameEntry* Slots = nullptr;
    uint32_t Capacity = 0; // a power of two, or 0
    uint32_t Count = 0;
    bool Caseless = false;

    ~NameSet() {
        for (uint32_t i = 0; i < Capacity; i++)
            if (Slots[i].Name) Memory_Free(Slots[i].Name, Slots[i].Length + 1);
        if (Slots) Memory_Free(Slots, sizeof(NameEntry) * Capacity);
    }

    uint8_t Fold(uint8_t c) const { return Caseless && c >= 'A' && c <= 'Z' ? (uint8_t)(c - 'A' + 'a') : c; }

    uint64_t HashOf(const char* name, int32_t length) const {
        uint64_t h = 14695981039346656037ull;
        for (int32_t i = 0; i < length; i++) h = (h ^ Fold((uint8_t)name[i])) * 1099511628211ull;
        return h;
    }

    bool Same(const NameEntry& e, uint64_t hash, const char* name, int32_t length) const {
        if (e.Hash != hash || e.Length != length) return false;
        for (int32_t i = 0; i < length; i++)
            if (Fold((uint8_t)e.Name[i]) != Fold((uint8_t)name[i])) return false;
        return true;
    }

    // The entry of the name, or the free slot where it belongs.
    NameEntry* Slot(const char* name, int32_t length, uint64_t hash) const {
        for (uint32_t i = (uint32_t)hash & (Capacity - 1);; i = (i + 1) & (Capacity - 1))
            if (!Slots[i].Name || Same(Slots[i], hash, name, length)) return &Slots[i];
    }

    NameEntry* Find(const char* name, int32_t length) const {
        if (!Capacity) return nullptr;
        NameEntry* e = Slot(name, length, HashOf(name, length));
        return e->Name ? e : nullptr;
    }

    // Adds the name (when new) and answers its entry.
    NameEntry* Add(const char* name, int32_t length) {
        if ((Count + 1) * 2 > Capacity) Grow();
        const uint64_t hash = HashOf(name, length);
        NameEntry* e = Slot(name, length, hash);
        if (e->Name) return e;
        e->Hash = hash;
        e->Length = length;
        e->Name = static_cast<char*>(Memory_Alloc(length + 1));
        memcpy(e->Name, name, (size_t)length);
        e->Name[length] = 0;
        e->Value = nullptr;
        Count++;
        return e;
    }

    void Grow() {
        const uint32_t capacity = Capacity ? Capacity * 2 : 64;
        NameEntry* old = Slots;
        const uint32_t oldCapacity = Capacity;
        Slots = static_cast<NameEntry*>(Memory_AllocZero(sizeof(NameEntry) * capacity));
        Capacity = capacity;
        for (uint32_t i = 0; i < oldCapacity; i++)
            if (old[i].Name) *Slot(old[i].Name, old[i].Length, old[i].Hash) = old[i];
        if (old) Memory_Free(old, sizeof(NameEntry) * oldCapacity);
    }
};

bool Caseless(Dictionary* dict) {
    uint32_t caseSensitive = 1;
    Dictionary_GetCaseSensitive(dict, &caseSensitive);
    return caseSensitive != 1;
}

// The reader's sections: for each name, the first Dictionary item of that name in the root.
// Filled from the root's items at the first header; later only the reader adds Dictionaries to
// the root, each through here, so every header is one look-up whatever the root holds.
struct Sections {
    NameSet Names;
    bool Ready = false;
};

void IndexSections(Sections* sections, Dictionary* root) {
    sections->Ready = true;
    sections->Names.Caseless = Caseless(root);
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(root, &item);
    for (; item; Dictionary_ItemGetNext(root, item, &item)) {
        const char* key = nullptr;
        Dictionary* child = nullptr;
        if (!Dictionary_ItemGetKeyPtr(root, item, &key) || !key ||
            !Dictionary_ItemCompareType(root, item, DICTIONARY_TYPE_DICTIONARY) ||
            !Dictionary_ItemGetDictionaryHandle(root, item, &child) || !child)
            continue;
        NameEntry* e = sections->Names.Add(key, (int32_t)strlen(key));
        if (!e->Value) e->Value = child;
    }
}

// The section's Dictionary: the first Dictionary item of that name, else a new one at the end.
// Items of other types with the name are left alone, so a key and a section may share a name
// without the key's value being lost.
Dictionary* Section(Sections* sections, Dictionary* root, const char* name) {
    if (!sections->Ready) IndexSections(sections, root);
    const KeptKey kept = Kept(root, name);
    NameEntry* e = sections->Names.Add(kept.Text, kept.Length);
    if (!e->Value) Dictionary_AddDictionary(root, name, &e->Value, nullptr);
    return e->Value;
}

// ---- Reading --------------------------------------------------------------------------------

struct Reader {
    Stream* Source;
    uint8_t Block[kBlock];
    uint32_t At;
    uint32_t Count;
    bool Ended;
    bool Failed;
};

// The next byte, or -1 at the end of the stream (for good) or when the stream failed.
int32_t Next(Reader* r) {
    if (r->At == r->Count) {
        if (r->Ended) return -1;
        uint32_t read = 0;
        const int64_t ok = Stream_Read(r->Source, r->Block, kBlock, &read);
        if (!ok && Stream_HasError(r->Source)) r->Failed = true;
        if (read == 0 || r->Failed) {
            r->Ended = true;
            return -1;
        }
        r->At = 0;
        r->Count = read;
    }
    return r->Block[r->At++];
}

// The character a backslash followed by `c` stands for, or -1 when the pair is no escape.
int32_t Escaped(int32_t c) {
    switch (c) {
    case ':':
    case ';':
    case '\\':
        return c;
    case 'n':
        return '\n';
    case 'r':
        return '\r';
    case 't':
        return '\t';
    default:
        return -1;
    }
}

int64_t Load(Ini* ini, Reader* r) {
    char line[INI_MAX_LINE_LENGTH + 1];
    int32_t lines = 0;
    Dictionary* target = ini->Dict;
    Sections sections;
    for (;;) {
        int32_t c = Next(r);
        while (c == '\r' || c == '\n') c = Next(r);
        if (c < 0) return r->Failed ? 0 : 1;

        // Escapes are resolved as the line is collected; a backslash made by one starts none.
        int32_t length = 0;
        bool escapable = false;
        for (; c >= 0 && c != '\r' && c != '\n'; c = Next(r)) {
            // The line is handled as C text: a NUL inside it would silently cut it.
            if (c == 0) {
                Ini_Print(ini, "NUL byte in line [%d @ Line %d]", length, lines + 1);
                return 0;
            }
            const int32_t resolved = escapable ? Escaped(c) : -1;
            if (resolved >= 0) {
                line[length - 1] = (char)resolved;
                escapable = false;
                continue;
            }
            if (length == INI_MAX_LINE_LENGTH) {
                Ini_Print(ini, "Line too long [%d @ Line %d]", length, lines);
                return 0;
            }
            line[length++] = (char)c;
            escapable = c == '\\';
        }
        // A line cut short by a failing stream is not taken.
        if (r->Failed) return 0;
        line[length] = 0;
        lines++;

        if (line[0] == ';') {
            Ini_VerboseLog(ini, 0, "Found comment [%s @ Line %d]", line + 1, lines);
            continue;
        }
        if (line[0] == '[') {
            char* close = strchr(line, ']');
            if (!close) {
                Ini_Print(ini, "Malformed section header [%s @ Line %d]", line, lines);
                return 0;
            }
            *close = 0;
            const char* name = line + 1;
            Ini_VerboseLog(ini, 0, "Found section [%s @ Line %d]", name, lines);
            target = ini->Dict ? Section(&sections, ini->Dict, name) : nullptr;
            continue;
        }
        if (!target) continue;
        char* equals = strchr(line, '=');
        if (!equals) {
            Ini_Print(ini, "Malformed key/value pair format [%s @ Line %d]", line, lines);
            return 0;
        }
        *equals = 0;
        const char* key = line;
        const char* value = equals + 1;
        // An empty key stores nothing, and so does one the Dictionary would cut to nothing (a run
        // of UTF-8 continuation bytes): the writer could not give it back. An empty value is kept,
        // so that "k=" reads back what the writer made of an empty String.
        const KeptKey kept = Kept(target, key);
        if (key[0] == 0 || (kept.Length == 0 && !kept.Mark)) continue;
        if (value[0] == ';')
            Ini_VerboseLog(ini, 0, "Found comment [%s @ Line %d]", value + 1, lines);
        else
            Ini_VerboseLog(ini, 0, "Found parameter [%s=%s @ Line %d]", key, value, lines);
        Dictionary_AddString(target, key, value, nullptr);
    }
}

// ---- Writing --------------------------------------------------------------------------------

// Output collects here and goes to the stream in blocks.
struct Writer {
    Stream* Target;
    const char* LineEnding;
    uint8_t Block[kBlock];
    uint32_t Used;
    bool Failed;
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

void PutLineEnding(Writer* w) {
    Put(w, w->LineEnding, strlen(w->LineEnding));
}

// Tab, line feed, carriage return and backslash are escaped: the first three would end or
// reshape the line, and a bare backslash could join the next character into an escape.
void PutEscaped(Writer* w, const char* text, size_t length) {
    size_t start = 0;
    for (size_t i = 0; i < length; i++) {
        const char c = text[i];
        const char* escape = c == '\t' ? "\\t" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\\' ? "\\\\" : nullptr;
        if (!escape) continue;
        Put(w, text + start, i - start);
        Put(w, escape, 2);
        start = i + 1;
    }
    Put(w, text + start, length - start);
}

// A key the reader would take for something else is refused: an "=" would end it early, and a
// line starting with ";" or "[" is a comment or a header. A section name holding "]" would end
// early. A line the reader would find too long (counted as it reads it, escapes resolved) cannot
// be read back either.
bool Writable(Ini* ini, Writer* w, const char* key, bool section, bool marked, size_t valueLength) {
    const size_t length = strlen(key);
    const char* bad = nullptr;
    if (section && memchr(key, ']', length)) bad = "holds ']'";
    if (!section && memchr(key, '=', length)) bad = "holds '='";
    if (!section && length == 0 && !marked) bad = "is empty";
    if (!section && !marked && (key[0] == ';' || key[0] == '[')) bad = "starts a comment or header";
    if (!bad && (marked ? 1 : 0) + length + 1 + (section ? 1 : valueLength) > (size_t)INI_MAX_LINE_LENGTH)
        bad = "makes too long a line";
    if (!bad) return true;
    Ini_Print(ini, "Unable to write %s [%s]: it %s", section ? "section" : "key", key, bad);
    w->Failed = true;
    return false;
}

// A private item's key goes out with the '.' mark the Dictionary reads as private, so that the
// item comes back private.
void PutKey(Writer* w, Dictionary* dict, DictionaryItem* item, const char* key) {
    if (Dictionary_ItemGetPrivate(dict, item, nullptr)) Put(w, ".", 1);
    PutEscaped(w, key, strlen(key));
}

// The keyed items of `dict` that are no containers, one "key=value" line each; true when any
// was written.
bool PutValues(Ini* ini, Writer* w, Dictionary* dict) {
    bool any = false;
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(dict, &item);
    for (; item && !w->Failed; Dictionary_ItemGetNext(dict, item, &item)) {
        const char* key = nullptr;
        if (Dictionary_ItemIsContainer(dict, item) || !Dictionary_ItemGetKeyPtr(dict, item, &key)) continue;
        const char* text = nullptr;
        int32_t length = 0;
        Dictionary_ItemGetBufferPtr(dict, item, &text, &length);
        // Values are texts: the line ends where the text does.
        const size_t valueLength = text ? strnlen(text, (size_t)length) : 0;
        const bool marked = Dictionary_ItemGetPrivate(dict, item, nullptr) != 0;
        if (!Writable(ini, w, key, false, marked, valueLength)) break;
        PutKey(w, dict, item, key);
        Put(w, "=", 1);
        if (text) PutEscaped(w, text, valueLength);
        PutLineEnding(w);
        any = true;
    }
    return any;
}

// ---- Dump -----------------------------------------------------------------------------------

int64_t DumpSink(void* user, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = Ini_VPrint(static_cast<Ini*>(user), 0, format, args);
    va_end(args);
    return result;
}

// A dump hands the root's print channel to every container it visits (all but private ones);
// they get the root's own channel back, so that none keeps pointing at this object.
void RestoreChannels(Dictionary* root, void* user, ClassPrintCallback callback) {
    Dictionary_SetPrintCallback(root, user, callback);
    Dictionary* level = root;
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(root, &item);
    for (;;) {
        if (!item) {
            if (level == root) return;
            Dictionary* parent = nullptr;
            DictionaryItem* parentItem = nullptr;
            if (!Dictionary_GetParent(level, &parent, &parentItem)) return;
            Dictionary_ItemGetNext(parent, parentItem, &item);
            level = parent;
            continue;
        }
        Dictionary* child = nullptr;
        if (Dictionary_ItemIsContainer(level, item) && !Dictionary_ItemGetPrivate(level, item, nullptr) &&
            Dictionary_ItemGetDictionaryHandle(level, item, &child) && child) {
            Dictionary_SetPrintCallback(child, user, callback);
            level = child;
            Dictionary_ItemGetFirst(child, &item);
            continue;
        }
        Dictionary_ItemGetNext(level, item, &item);
    }
}

} // namespace

int64_t Ini_Create(Ini** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    Ini* ini = static_cast<Ini*>(Memory_AllocZero(sizeof(Ini)));
    ini->Header.ClassId = INI_CLASS_ID;
    ini->Header.RefCount = 1;
    ini->Header.Delete = DeleteHandle;
    ini->LineEnding = "\r\n";
    *handle = ini;
    return 1;
}

int64_t Ini_Delete(Ini** handle) {
    ASSERT_POINTER(handle);
    Ini* ini = *handle;
    CLASS_CHECK(ini, INI_CLASS_ID);
    Ini_Reset(ini);
    ini->Header.ClassId = 0;
    Memory_Free(ini, sizeof(Ini));
    *handle = nullptr;
    return 1;
}

CLASS_BASICS(Ini, Ini, INI_CLASS_ID)

int64_t Ini_SetDictionaryHandle(Ini* ini, Dictionary* dict) {
    CLASS_CHECK(ini, INI_CLASS_ID);
    ini->Dict = dict;
    return 1;
}

int64_t Ini_SetLineEnding(Ini* ini, const char* text) {
    CLASS_CHECK(ini, INI_CLASS_ID);
    ASSERT_POINTER(text);
    ini->LineEnding = text;
    return 1;
}

int64_t Ini_Reset(Ini* ini) {
    CLASS_CHECK(ini, INI_CLASS_ID);
    if (ini->Dict) Dictionary_Reset(ini->Dict);
    return 1;
}

int64_t Ini_LoadStream(Ini* ini, Stream* stream) {
    CLASS_CHECK(ini, INI_CLASS_ID);
    ASSERT_POINTER(stream);
    // An error left on the stream by an earlier reader must not read as a failure of this one.
    Stream_ClearLastError(stream);
    Reader* reader = static_cast<Reader*>(Memory_AllocZero(sizeof(Reader)));
    reader->Source = stream;
    const int64_t result = Load(ini, reader);
    Memory_Free(reader, sizeof(Reader));
    return result;
}

int64_t Ini_LoadFile(Ini* ini, const char* path) {
    CLASS_CHECK(ini, INI_CLASS_ID);
    ASSERT_POINTER(path);
    const int64_t result = Document_LoadFile(ini, DocumentStreamCall<Ini, Ini_LoadStream>, path, (int32_t)kBlock);
    if (result < 0) Ini_VerboseLog(ini, 0, "Unable to open file (%s)", path);
    return result < 0 ? 0 : result;
}

int64_t Ini_SaveStream(Ini* ini, Stream* stream) {
    CLASS_CHECK(ini, INI_CLASS_ID);
    ASSERT_POINTER(stream);
    if (!ini->Dict) return 0;
    Writer* w = static_cast<Writer*>(Memory_Alloc(sizeof(Writer)));
    w->Target = stream;
    w->LineEnding = ini->LineEnding;
    w->Used = 0;
    w->Failed = false;
    Dictionary* root = ini->Dict;
    if (PutValues(ini, w, root)) PutLineEnding(w);
    // Containers below the sections have no INI form and are left out. Two sections of one name
    // would read back as one: such a Dictionary has no INI form either.
    NameSet written;
    written.Caseless = Caseless(root);
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(root, &item);
    for (; item && !w->Failed; Dictionary_ItemGetNext(root, item, &item)) {
        const char* key = nullptr;
        if (!Dictionary_ItemIsContainer(root, item) || !Dictionary_ItemGetKeyPtr(root, item, &key)) continue;
        const bool marked = Dictionary_ItemGetPrivate(root, item, nullptr) != 0;
        if (!Writable(ini, w, key, true, marked, 0)) break;
        const int32_t length = (int32_t)strlen(key);
        if (written.Find(key, length)) {
            Ini_Print(ini, "Unable to write section [%s]: it occurs twice", key);
            w->Failed = true;
            break;
        }
        written.Add(key, length);
        Put(w, "[", 1);
        PutKey(w, root, item, key);
        Put(w, "]", 1);
        PutLineEnding(w);
        // A List's elements have no keys: a List writes its header only.
        Dictionary* child = nullptr;
        if (Dictionary_ItemCompareType(root, item, DICTIONARY_TYPE_DICTIONARY) &&
            Dictionary_ItemGetDictionaryHandle(root, item, &child) && child)
            PutValues(ini, w, child);
        PutLineEnding(w);
    }
    Flush(w);
    const bool failed = w->Failed;
    Memory_Free(w, sizeof(Writer));
    return failed ? 0 : 1;
}

int64_t Ini_SaveFile(Ini* ini, const char* path) {
    CLASS_CHECK(ini, INI_CLASS_ID);
    ASSERT_POINTER(path);
    // Nothing bound is nothing to save, found out before the file is touched.
    if (!ini->Dict) return 0;
    const int64_t result = Document_SaveFile(ini, DocumentStreamCall<Ini, Ini_SaveStream>, path, (int32_t)kBlock);
    if (result < 0) Ini_Print(ini, "Unable to open file (%s)", path);
    return result < 0 ? 0 : result;
}

int64_t Ini_Dump(Ini* ini) {
    CLASS_CHECK(ini, INI_CLASS_ID);
    if (!ini->Dict) return 0;
    PreparePrint(ini);
    void* user = nullptr;
    ClassPrintCallback callback = nullptr;
    Dictionary_GetPrintCallback(ini->Dict, &user, &callback);
    Dictionary_SetPrintCallback(ini->Dict, ini, DumpSink);
    const int64_t result = Dictionary_Dump(ini->Dict);
    RestoreChannels(ini->Dict, user, callback);
    return result;
}

// ---- Print family ---------------------------------------------------------------------------

CLASS_PRINT_FAMILY(Ini, Ini, INI_CLASS_ID, PreparePrint)
