// The process command line (argument vector and flat text), the field and switch readers that
// every module uses to read its switches, and the core's own switch table.
#include "core/runtime/command_line.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "core/runtime/debug.h"
#include "core/runtime/unicode.h"

namespace {

// Written during start-up on the main thread, read from any thread afterwards without a lock.
int32_t GlobalArgC = 0;
char** GlobalArgV = NULL;
bool GlobalArgVOwned = false;
char GlobalCommandLine[COMMAND_LINE_SIZE] = {};

constexpr size_t kTextLimit = COMMAND_LINE_SIZE - 1;

// Length of a text, never looking past the size of the command line: longer texts are cut there.
size_t BoundedLength(const char* text) {
    size_t length = 0;
    while (length < kTextLimit && text[length] != 0) ++length;
    return length;
}

// Fields are separated by runs of space and control characters. Bytes of UTF-8 sequences are
// 0x80 and above and belong to the field.
bool IsSeparator(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualWithoutCase(const char* a, const char* b, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

const char* TextOrCommandLine(const char* text) {
    return text != nullptr ? text : GlobalCommandLine;
}

// From just after an opening double quote, runs to the closing single double quote (a pair of
// them stands for one quote character) and returns the position after it, or end when unclosed.
const char* SkipQuoted(const char* p, const char* end) {
    while (p < end) {
        if (*p == '"') {
            if (p + 1 < end && p[1] == '"') {
                p += 2;
                continue;
            }
            return p + 1;
        }
        ++p;
    }
    return end;
}

// Walks the fields of [p, end) one at a time. A quoted field (a double quote not followed by a
// second one) ends after its closing quote; any other field ends at a separator, or after the
// closing quote of a value quoted directly after '='. Whatever follows a closing quote directly
// starts the next field.
struct FieldScanner {
    const char* p;
    const char* end;

    bool Next(const char** start, const char** stop) {
        while (p < end && IsSeparator(*p)) ++p;
        if (p >= end) return false;
        *start = p;
        if (*p == '"' && !(p + 1 < end && p[1] == '"')) {
            p = SkipQuoted(p + 1, end);
            *stop = p;
            return true;
        }
        while (p < end && !IsSeparator(*p)) {
            if (*p++ != '=') continue;
            if (p < end && *p == '"' && !(p + 1 < end && p[1] == '"')) {
                p = SkipQuoted(p + 1, end);
                break;
            }
        }
        *stop = p;
        return true;
    }
};

FieldScanner ScannerOf(const char* text) {
    text = TextOrCommandLine(text);
    return FieldScanner{text, text + BoundedLength(text)};
}

// Cleaning for output: a leading double quote is dropped, a pair of double quotes gives one, and
// a single double quote ends the text when it began with one (elsewhere it is copied).
int32_t CleanCopy(const char* p, const char* end, char* buffer, int32_t capacity) {
    int32_t used = 0;
    bool quoted = false;
    if (p < end && *p == '"') {
        quoted = true;
        ++p;
    }
    while (p < end && used < capacity - 1) {
        if (*p == '"') {
            if (p + 1 < end && p[1] == '"') {
                buffer[used++] = '"';
                p += 2;
                continue;
            }
            if (quoted) break;
        }
        buffer[used++] = *p++;
    }
    buffer[used] = 0;
    return used;
}

// The value of a field that starts at field: after the first '=' that follows its leading dashes,
// to the end of the field.
bool FindFieldValue(const char* field, const char** valueStart, const char** valueEnd) {
    if (IsSeparator(*field)) return false;
    FieldScanner scanner{field, field + BoundedLength(field)};
    const char* start = nullptr;
    const char* stop = nullptr;
    if (!scanner.Next(&start, &stop)) return false;
    const char* p = start;
    while (p < stop && *p == '-') ++p;
    while (p < stop && *p != '=') ++p;
    if (p >= stop) return false;
    *valueStart = p + 1;
    *valueEnd = stop;
    return true;
}

// Splits a text into arguments, calling emit(argument, length) for each. The argument is held in
// scratch, which has room for ARGUMENT_MAX_LENGTH characters and a terminator.
template <typename Emit> void SplitArguments(const char* text, char* scratch, Emit&& emit) {
    int32_t length = 0;
    bool quoted = false;
    bool escaped = false;
    for (const char* p = text; *p != 0; ++p) {
        const char c = *p;
        if (escaped) {
            escaped = false;
            // The character after a backslash is taken as it is, except that a double quote still
            // closes a quoted section.
            if (!(quoted && c == '"')) {
                scratch[length++] = c;
                if (length == ARGUMENT_MAX_LENGTH) break;
                continue;
            }
        }
        if (quoted) {
            if (c == '"') {
                // A closed quote ends the argument, so a pair of quotes is an empty argument.
                quoted = false;
                scratch[length] = 0;
                if (!emit(scratch, length)) return;
                length = 0;
                continue;
            }
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (length > 0) {
                scratch[length] = 0;
                if (!emit(scratch, length)) return;
                length = 0;
            }
            continue;
        } else if (c == '"') {
            quoted = true;
            continue;
        }
        scratch[length++] = c;
        if (c == '\\') escaped = true;
        if (length == ARGUMENT_MAX_LENGTH) break;
    }
    if (length > 0) {
        scratch[length] = 0;
        emit(scratch, length);
    }
}

// Forgets the process vector. A vector built here is freed (keeping it would leak it); one
// borrowed from main is never freed, whichever remove call forgets it.
void ForgetVector() {
    if (GlobalArgVOwned) Arguments_Free(&GlobalArgC, &GlobalArgV);
    GlobalArgC = 0;
    GlobalArgV = NULL;
    GlobalArgVOwned = false;
}

} // namespace

const char* const Core_SwitchFilterTable[CORE_SWITCH_FILTER_COUNT] = {
    "append",     "cmdline",       "commit",       "debug",      "debugfile",      "debugfileid",
    "debugdir",   "externalprint", "memoryreport", "memorytest", "memorytracking", "perday",
    "perprocess", "perthread",     "proxy",        "proxy-wpad", "verbose",        "window",
};

int64_t Arguments_Init(int32_t count, char** vector) {
    ASSERT_POINTER(vector);
    ASSERT_MSG(GlobalArgV == NULL, "Command line already initialized");
    GlobalArgC = count > 0 ? count : 0;
    GlobalArgV = vector;
    GlobalArgVOwned = false;
    CommandLine_Build(GlobalArgC, vector, GlobalCommandLine, COMMAND_LINE_SIZE);
    return 1;
}

int64_t Arguments_Remove() {
    ASSERT_MSG(GlobalArgV != NULL, "Command line not initialized");
    ForgetVector();
    return 1;
}

int64_t Arguments_Get(int32_t* count, char*** vector) {
    ASSERT_POINTER(count);
    ASSERT_POINTER(vector);
    *count = GlobalArgC;
    *vector = GlobalArgV;
    return 1;
}

int64_t Arguments_Build(const char* text, int32_t* count, char*** vector) {
    ASSERT_POINTER(vector);
    return Arguments_BuildBySeparator(text, count, vector);
}

int64_t Arguments_BuildBySeparator(const char* text, int32_t* count, char*** vector) {
    ASSERT_POINTER(count);
    *count = 0;
    if (vector != nullptr) *vector = nullptr;
    ASSERT_POINTER(text);

    char* scratch = static_cast<char*>(malloc(ARGUMENT_MAX_LENGTH + 1));
    if (scratch == nullptr) return 0;

    int32_t total = 0;
    SplitArguments(text, scratch, [&](const char*, int32_t) {
        ++total;
        return total < INT32_MAX - 1;
    });
    if (vector == nullptr) {
        free(scratch);
        *count = total;
        return 1;
    }

    char** built = static_cast<char**>(calloc(static_cast<size_t>(total) + 1, sizeof(char*)));
    if (built == nullptr) {
        free(scratch);
        return 0;
    }
    int32_t filled = 0;
    bool failed = false;
    SplitArguments(text, scratch, [&](const char* argument, int32_t length) {
        if (filled >= total) return false;
        char* copy = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
        if (copy == nullptr) {
            failed = true;
            return false;
        }
        memcpy(copy, argument, static_cast<size_t>(length) + 1);
        built[filled++] = copy;
        return true;
    });
    free(scratch);
    if (failed) {
        Arguments_Free(&filled, &built);
        return 0;
    }
    *count = filled;
    *vector = built;
    return 1;
}

int64_t Arguments_Free(int32_t* count, char*** vector) {
    ASSERT_POINTER(count);
    ASSERT_POINTER(vector);
    if (*vector != nullptr) {
        for (int32_t i = 0; i < *count; ++i) free((*vector)[i]);
        free(*vector);
    }
    *count = 0;
    *vector = nullptr;
    return 1;
}

int64_t CommandLine_Init(const char* text) {
    ASSERT_POINTER(text);
    ASSERT_MSG(GlobalArgV == NULL, "Command line already initialized");
    memcpy(GlobalCommandLine, text, BoundedLength(text));
    GlobalCommandLine[BoundedLength(text)] = 0;
    // The vector is built from the kept (possibly cut) text, so that both forms agree.
    int32_t count = 0;
    char** vector = nullptr;
    if (!Arguments_Build(GlobalCommandLine, &count, &vector)) return 0;
    GlobalArgC = count;
    GlobalArgV = vector;
    GlobalArgVOwned = true;
    return 1;
}

int64_t CommandLine_InitWide(const uint16_t* text) {
    ASSERT_POINTER(text);
    char converted[COMMAND_LINE_SIZE] = {};
    StringUtf16_CopyToUtf8(converted, text, COMMAND_LINE_SIZE);
    converted[COMMAND_LINE_SIZE - 1] = 0;
    return CommandLine_Init(converted);
}

int64_t CommandLine_Remove() {
    ASSERT_MSG(GlobalArgV != NULL, "Command line not initialized");
    ForgetVector();
    return 1;
}

int64_t CommandLine_Build(int32_t count, char** vector, char* buffer, int32_t capacity) {
    if (capacity < 1) return 0;
    ASSERT_POINTER(buffer);
    buffer[0] = 0;
    if (count > 0) ASSERT_POINTER(vector);
    int32_t used = 0;
    const int32_t limit = capacity - 1;
    for (int32_t i = 0; i < count && used < limit; ++i) {
        const char* argument = vector[i] != nullptr ? vector[i] : "";
        const bool quote = strchr(argument, ' ') != nullptr;
        if (i > 0 && used < limit) buffer[used++] = ' ';
        if (quote && used < limit) buffer[used++] = '"';
        for (const char* p = argument; *p != 0 && used < limit; ++p) buffer[used++] = *p;
        if (quote && used < limit) buffer[used++] = '"';
    }
    buffer[used] = 0;
    return 1;
}

int64_t CommandLine_Append(const char* text) {
    ASSERT_POINTER(text);
    size_t used = BoundedLength(GlobalCommandLine);
    if (used > 0 && GlobalCommandLine[used - 1] != ' ' && used < kTextLimit) GlobalCommandLine[used++] = ' ';
    for (const char* p = text; *p != 0 && used < kTextLimit; ++p) GlobalCommandLine[used++] = *p;
    GlobalCommandLine[used] = 0;
    return 1;
}

int64_t CommandLine_Get(const char** text) {
    ASSERT_POINTER(text);
    *text = GlobalCommandLine;
    return 1;
}

int64_t CommandLine_GetFieldCount(const char* text, int32_t* count) {
    ASSERT_POINTER(count);
    *count = 0;
    FieldScanner scanner = ScannerOf(text);
    const char* start = nullptr;
    const char* stop = nullptr;
    while (scanner.Next(&start, &stop)) ++*count;
    return *count > 0 ? 1 : 0;
}

int64_t CommandLine_GetField(const char* text, int32_t index, char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity < 1) return 0;
    buffer[0] = 0;
    const char* start = nullptr;
    const char* stop = nullptr;
    if (!CommandLine_GetFieldBoundary(text, index, nullptr, &start, &stop)) return 0;
    CleanCopy(start, stop, buffer, capacity);
    return 1;
}

int64_t CommandLine_GetFieldPtr(const char* text, int32_t index, const char** start) {
    ASSERT_POINTER(start);
    *start = nullptr;
    const char* stop = nullptr;
    return CommandLine_GetFieldBoundary(text, index, nullptr, start, &stop);
}

int64_t CommandLine_GetFieldBoundary(const char* text, int32_t index, int32_t* count, const char** start,
                                     const char** end) {
    ASSERT_POINTER(start);
    ASSERT_POINTER(end);
    *start = nullptr;
    *end = nullptr;
    if (count != nullptr) *count = 0;
    FieldScanner scanner = ScannerOf(text);
    const char* fieldStart = nullptr;
    const char* fieldStop = nullptr;
    int32_t seen = 0;
    int64_t found = 0;
    while (scanner.Next(&fieldStart, &fieldStop)) {
        if (seen == index) {
            *start = fieldStart;
            *end = fieldStop;
            found = 1;
            if (count == nullptr) return 1;
        }
        ++seen;
    }
    if (count != nullptr) *count = seen;
    return found;
}

int64_t CommandLine_GetFieldCleanAndCopy(const char* start, const char* end, char* buffer, int32_t capacity) {
    ASSERT_POINTER(start);
    ASSERT_POINTER(end);
    ASSERT_POINTER(buffer);
    if (capacity < 1) return 0;
    CleanCopy(start, end, buffer, capacity);
    return 1;
}

int64_t CommandLine_GetFieldByName(const char* text, const char* name, char* buffer, int32_t capacity) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(buffer);
    if (capacity < 1) return 0;
    buffer[0] = 0;
    const size_t nameLength = strlen(name);
    FieldScanner scanner = ScannerOf(text);
    const char* start = nullptr;
    const char* stop = nullptr;
    while (scanner.Next(&start, &stop)) {
        const size_t length = static_cast<size_t>(stop - start);
        if (length < 3 || nameLength > length - 3) continue;
        if (start[0] != '-' || start[1] != '-' || start[2 + nameLength] != '=') continue;
        if (!EqualWithoutCase(start + 2, name, nameLength)) continue;
        CleanCopy(start + 3 + nameLength, stop, buffer, capacity);
        return 1;
    }
    return 0;
}

int64_t CommandLine_IsFieldSet(const char* text, const char* name) {
    ASSERT_POINTER(name);
    text = TextOrCommandLine(text);
    const size_t length = BoundedLength(text);
    const size_t nameLength = strlen(name);
    if (length < 2 || nameLength > length - 2) return 0;
    for (size_t i = 0; i + 2 + nameLength <= length; ++i) {
        if (text[i] != '-' || text[i + 1] != '-') continue;
        if (!EqualWithoutCase(text + i + 2, name, nameLength)) continue;
        // The name must end there: at the end of the text, a separator (any of them, as fields
        // are split on all of them), a double quote or '='.
        const size_t after = i + 2 + nameLength;
        if (after == length || IsSeparator(text[after]) || text[after] == '"' || text[after] == '=') return 1;
    }
    return 0;
}

int64_t CommandLine_GetFieldName(const char* field, char* buffer, int32_t capacity) {
    ASSERT_POINTER(field);
    ASSERT_POINTER(buffer);
    if (capacity < 1) return 0;
    buffer[0] = 0;
    const size_t length = BoundedLength(field);
    if (length < 2 || field[0] != '-' || field[1] != '-') return 0;
    // The name ends at '=' or at the end of the field (any separator, not only a space).
    int32_t used = 0;
    for (size_t i = 2; i < length && used < capacity - 1; ++i) {
        if (field[i] == '=' || IsSeparator(field[i])) break;
        buffer[used++] = field[i];
    }
    buffer[used] = 0;
    return 1;
}

int64_t CommandLine_GetFieldValue(const char* field, char* buffer, int32_t capacity) {
    ASSERT_POINTER(field);
    ASSERT_POINTER(buffer);
    if (capacity < 1) return 0;
    buffer[0] = 0;
    const char* start = nullptr;
    const char* stop = nullptr;
    if (!FindFieldValue(field, &start, &stop)) return 0;
    CleanCopy(start, stop, buffer, capacity);
    return 1;
}

int64_t CommandLine_GetFieldValuePtr(const char* field, const char** value) {
    ASSERT_POINTER(field);
    ASSERT_POINTER(value);
    *value = nullptr;
    const char* stop = nullptr;
    return FindFieldValue(field, value, &stop) ? 1 : 0;
}

int64_t Core_ShouldRemoveSwitch(const char* name) {
    ASSERT_POINTER(name);
    for (const char* entry : Core_SwitchFilterTable) {
        if (strcmp(entry, name) == 0) return 1;
    }
    return 0;
}
