// Macro expander: finds braced tokens, expands the tokens inside them first, and replaces each by the
// value the first source that knows its name gives; unknown tokens stay as they are.
#include "core/runtime/string_expand.h"

#include <cstring>
#include <atomic>
#include <mutex>

#include "core/certs/executable.h"
#include "core/crypto/hash.h"
#include "core/crypto/hmac.h"
#include "core/formats/base64.h"
#include "core/formats/url.h"
#include "core/linux/platform.h"
#include "core/linux/platform_facts.h"
#include "core/linux/platform_file.h"
#include "core/linux/platform_private_directory.h"
#include "core/net/socket.h"
#include "core/platform/path.h"
#include "core/platform/registry.h"
#include "core/runtime/command_line.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/runtime/time.h"

namespace {

constexpr int32_t kWork = STRING_EXPAND_WORK_SIZE;
constexpr int32_t kValue = STRING_EXPAND_VALUE_SIZE;
constexpr int32_t kToken = STRING_EXPAND_TOKEN_SIZE;
// A value is inserted once, as text: only a template a caller's source marks as one (a macro its
// author wrote) is expanded in turn, and templates that expand into each other would do so
// forever. One call may expand this many templates, plus a few for each token the text held to
// begin with; after that the rest are left as written.
constexpr int32_t kExpansionAllowance = 256;
constexpr int32_t kExpansionsPerToken = 4;
// Each part of a list value (video cards, security products) is read into this much.
constexpr int32_t kListPart = 1024;

// The work buffer holds the text made so far and, after it, the text of every token still open
// (each begins at its '{'): a token's value replaces its own text at the end, so nothing that was
// inserted is ever looked at again.
struct Expansion {
    char* work;     // kWork bytes, terminated at `length`
    int32_t length;
    void* user;
    ExpandKeyCallback callback;
    int32_t budget;
    bool stopped;
};

bool IsAlnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool IsTokenStart(const char* p) {
    return p[0] == '{' && IsAlnum(p[1]);
}

int32_t Budget(const char* text) {
    int32_t tokens = 0;
    for (const char* p = strchr(text, '{'); p; p = strchr(p + 1, '{'))
        if (IsTokenStart(p)) tokens++;
    return kExpansionAllowance + kExpansionsPerToken * tokens;
}

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

char UpperAscii(char c) {
    return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c;
}

bool Is(const char* name, const char* expected) {
    for (; *name && *expected; name++, expected++)
        if (LowerAscii(*name) != LowerAscii(*expected)) return false;
    return *name == 0 && *expected == 0;
}

bool StartsWith(const char* name, const char* prefix) {
    for (; *prefix; name++, prefix++)
        if (!*name || LowerAscii(*name) != LowerAscii(*prefix)) return false;
    return true;
}

// A template's expansion spends one unit; the last one stops every further one of the call.
bool Spend(Expansion& e) {
    if (--e.budget > 0) return true;
    if (!e.stopped)
        Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0,
                     "String expansion stopped, macros expand into each other [%s]\n", e.work);
    e.stopped = true;
    return false;
}

void SetValue(char* value, const char* text, int32_t length) {
    if (length > kValue - 1) length = kValue - 1;
    if (length < 0) length = 0;
    memmove(value, text, (size_t)length);
    value[length] = 0;
}

// Splits `text` at its first comma: the part before is terminated in place, the rest returned;
// null when there is no comma.
char* SplitAtComma(char* text) {
    char* comma = strchr(text, ',');
    if (!comma) return nullptr;
    *comma = 0;
    return comma + 1;
}

// ---- Platform values -----------------------------------------------------------------------

struct SpecialPathName {
    const char* name;
    uint32_t id;
};

constexpr SpecialPathName kSpecialPaths[] = {
    {"ModulePath", 16},         {"ModuleDirectory", 17},     {"ModuleAppPath", 18},
    {"ModuleAppDirectory", 19}, {"ModuleDllPath", 20},       {"ModuleDllDirectory", 21},
    {"WorkingDirectory", 23},   {"Temp", 12},                {"AdminTemp", 13},
    {"PipePath", 22},           {"ProgramFiles", 3},         {"ProgramFiles64", 4},
    {"UserStartMenu", 1},       {"CommonStartMenu", 2},      {"UserHome", 5},
    {"UserDocuments", 6},       {"UserDesktop", 7},          {"CommonDesktop", 8},
    {"UserDownloads", 24},      {"UserAppData", 9},          {"UserAppDataLow", 25},
    {"UserAppDataRoaming", 10}, {"CommonAppData", 11},       {"SystemDirectory", 14},
    {"SystemDrive", 15},
};

struct ConstantName {
    const char* name;
    const char* value;
};

// Values fixed for this platform: there are no bundles, and shared libraries are lib*.so.
constexpr ConstantName kConstants[] = {
    {"ModuleBitness", "64"}, {"ModuleArchitecture", "x86"}, {"ToolSuffix", ""},
    {"BundleSuffix", ""},    {"LibraryPrefix", "lib"},      {"LibraryExtension", "so"},
};

void AfterLast(char* text, char separator) {
    const char* last = strrchr(text, separator);
    if (last) memmove(text, last + 1, strlen(last + 1) + 1);
}

// Joins part 0, 1, 2 ... for as long as `read` answers 1, with ','; no trailing ','.
template <typename Read> void JoinList(char* value, Read read) {
    value[0] = 0;
    char part[kListPart];
    for (int32_t index = 0;; index++) {
        part[0] = 0;
        if (!read(index, part)) break;
        if (index > 0) String_CatLength(value, ",", kValue);
        String_CatLength(value, part, kValue);
    }
}

// ---- Built-in functions --------------------------------------------------------------------

bool Compare(const char* op, int32_t sign) {
    if (strcmp(op, ">") == 0) return sign > 0;
    if (strcmp(op, "<") == 0) return sign < 0;
    if (strcmp(op, ">=") == 0) return sign >= 0;
    if (strcmp(op, "<=") == 0) return sign <= 0;
    if (strcmp(op, "=") == 0 || strcmp(op, "==") == 0) return sign == 0;
    return false;
}

template <typename T> int32_t Sign(T a, T b) {
    return a > b ? 1 : (a < b ? -1 : 0);
}

// Arithmetic on 64-bit values that cannot fault: sums and products wrap, a zero divisor gives 0.
int64_t Arithmetic(char op, int64_t a, int64_t b) {
    switch (op) {
    case 'a':
        return (int64_t)((uint64_t)a + (uint64_t)b);
    case 's':
        return (int64_t)((uint64_t)a - (uint64_t)b);
    case 'm':
        return (int64_t)((uint64_t)a * (uint64_t)b);
    case 'o':
        if (b == 0 || b == -1) return 0;
        return a % b;
    default:
        if (b == 0) return 0;
        if (b == -1) return (int64_t)(0 - (uint64_t)a);
        return a / b;
    }
}

// The operation a name or operation text begins with, tested in the order add, sub, mod, mul, div;
// 0 for none. `withMul` is false for function names: multiplication only goes through Math.
char Operation(const char* text, bool withMul) {
    if (StartsWith(text, "add")) return 'a';
    if (StartsWith(text, "sub")) return 's';
    if (StartsWith(text, "mod")) return 'o';
    if (withMul && StartsWith(text, "mul")) return 'm';
    if (StartsWith(text, "div")) return 'd';
    return 0;
}

void PrintHexNumber(char* value, uint64_t number, int32_t bytes) {
    uint8_t memoryOrder[8];
    for (int32_t i = 0; i < bytes; i++) memoryOrder[i] = (uint8_t)(number >> (8 * i));
    String_ConvertToHex(memoryOrder, bytes, 0, value, kValue);
}

bool InSet(char c, const char* set) {
    return c != 0 && strchr(set, c) != nullptr;
}

void TrimSet(char* value, const char* text, const char* set) {
    const char* start = text;
    while (InSet(*start, set)) start++;
    const char* end = start + strlen(start);
    while (end > start && InSet(end[-1], set)) end--;
    SetValue(value, start, (int32_t)(end - start));
}

// `argument` is a scratch copy the function may cut up. Answers true when the name is a built-in
// that takes this token.
bool Builtin(Expansion& e, const char* name, char* argument, char* value) {
    const bool has = argument != nullptr;
    char* arg = argument;

    if (Is(name, "This")) {
        const char* first = strchr(e.work, '{');
        SetValue(value, e.work, first ? (int32_t)(first - e.work) : e.length);
        return true;
    }
    if (Is(name, "Copy") && has) {
        SetValue(value, arg, (int32_t)strlen(arg));
        return true;
    }
    if ((Is(name, "SubCopy") || Is(name, "Substring")) && has) {
        char* endText = SplitAtComma(arg);
        char* text = endText ? SplitAtComma(endText) : nullptr;
        if (!text) return true;
        const int64_t length = (int64_t)strlen(text);
        int64_t start = String_AtoI64(arg);
        int64_t end = String_AtoI64(endText);
        if (start < 0) start = 0;
        if (end == -1 || end > length) end = length;
        if (start >= length || end < start) return true;
        SetValue(value, text + start, (int32_t)(end - start));
        return true;
    }
    if (Is(name, "Replace") && has) {
        char* replacement = SplitAtComma(arg);
        char* text = replacement ? SplitAtComma(replacement) : nullptr;
        if (!text) return true;
        SetValue(value, text, (int32_t)strlen(text));
        String_ReplaceLengthEx(arg, replacement, 0, value, kValue);
        return true;
    }
    if (Is(name, "FromHex") && has) {
        int32_t count = 0;
        String_ConvertFromHexLength(arg, (int32_t)strlen(arg), value, kValue - 1, &count);
        value[count < 0 ? 0 : count] = 0;
        return true;
    }
    if (Is(name, "ToHex") && has) {
        String_ConvertToHex(arg, (int32_t)strlen(arg), 0, value, kValue);
        return true;
    }
    if ((Is(name, "Int32ToHex") || Is(name, "Int64ToHex")) && has) {
        PrintHexNumber(value, (uint64_t)String_AtoI64(arg), Is(name, "Int32ToHex") ? 4 : 8);
        return true;
    }
    if ((Is(name, "UInt32ToHex") || Is(name, "UInt64ToHex")) && has) {
        PrintHexNumber(value, String_AtoU64(arg), Is(name, "UInt32ToHex") ? 4 : 8);
        return true;
    }
    if ((Is(name, "Int64Compare") || Is(name, "UInt64Compare")) && has) {
        char* op = SplitAtComma(arg);
        char* b = op ? SplitAtComma(op) : nullptr;
        if (!b) return true;
        const int32_t sign = Is(name, "Int64Compare") ? Sign(String_AtoI64(arg), String_AtoI64(b))
                                                      : Sign(String_AtoU64(arg), String_AtoU64(b));
        SetValue(value, Compare(op, sign) ? "1" : "0", 1);
        return true;
    }
    if (Is(name, "Limit") && has) {
        char* text = SplitAtComma(arg);
        if (!text) return true;
        const int64_t n = String_AtoI64(arg);
        const int64_t length = (int64_t)strlen(text);
        if (n > 0) SetValue(value, text, (int32_t)(n < length ? n : length));
        return true;
    }
    if (Is(name, "Trim") && has) {
        char* text = SplitAtComma(arg);
        if (text)
            TrimSet(value, text, arg);
        else
            TrimSet(value, arg, "\t\r\n ");
        return true;
    }
    if ((Is(name, "Upper") || Is(name, "Lower")) && has) {
        const bool upper = Is(name, "Upper");
        SetValue(value, arg, (int32_t)strlen(arg));
        for (char* p = value; *p; p++) *p = upper ? UpperAscii(*p) : LowerAscii(*p);
        return true;
    }
    if ((Is(name, "Capitalize") || Is(name, "Uncapitalize")) && has) {
        SetValue(value, arg, (int32_t)strlen(arg));
        value[0] = Is(name, "Capitalize") ? UpperAscii(value[0]) : LowerAscii(value[0]);
        return true;
    }
    if ((Is(name, "IndexOf") || Is(name, "LastIndexOf")) && has) {
        char* haystack = SplitAtComma(arg);
        if (!haystack) return true;
        const bool last = Is(name, "LastIndexOf");
        const int32_t needleLength = (int32_t)strlen(arg);
        const int32_t length = (int32_t)strlen(haystack);
        int32_t found = -1;
        if (needleLength == 0) {
            found = last ? length : 0;
            if (!last && length == 0) found = -1;
        } else {
            for (const char* p = strstr(haystack, arg); p; p = strstr(p + 1, arg)) {
                found = (int32_t)(p - haystack);
                if (!last) break;
            }
        }
        String_Print(value, kValue, "%d", found);
        return true;
    }
    if (Is(name, "Random")) {
        String_Random(value, 121);
        return true;
    }
    if (Is(name, "Guid")) {
        uint8_t guid[16];
        if (!Platform_CreateGuid(guid)) return false;
        String_ConvertToHex(guid, 16, 1, value, kValue);
        return true;
    }
    if (Is(name, "If") && has) {
        char* then = SplitAtComma(arg);
        char* otherwise = then ? SplitAtComma(then) : nullptr;
        int64_t condition = 0;
        String_DecodeBoolean(arg, &condition, 0);
        const char* chosen = condition ? then : otherwise;
        if (chosen) SetValue(value, chosen, (int32_t)strlen(chosen));
        return true;
    }
    if (Is(name, "Equals") && has) {
        char* b = SplitAtComma(arg);
        if (b) SetValue(value, strcmp(arg, b) == 0 ? "1" : "0", 1);
        return true;
    }
    if (Is(name, "VersionCompare") && has) {
        char* op = SplitAtComma(arg);
        char* b = op ? SplitAtComma(op) : nullptr;
        if (!b) return true;
        int32_t result = 0;
        if (String_CompareVersion(arg, b, &result)) SetValue(value, Compare(op, Sign(result, 0)) ? "1" : "0", 1);
        return true;
    }
    if (has && Is(name, "Math")) {
        // Math takes the operation and two numbers; with fewer parts the name is not taken.
        char* a = strchr(arg, ',');
        char* b = a ? strchr(a + 1, ',') : nullptr;
        if (b) {
            *a++ = 0;
            *b++ = 0;
            const char op = Operation(arg, true);
            if (op) String_Print(value, kValue, "%I64d", Arithmetic(op, String_AtoI64(a), String_AtoI64(b)));
            return true;
        }
    } else if (has && Operation(name, false)) {
        char* b = strchr(arg, ',');
        if (b) {
            *b++ = 0;
            String_Print(value, kValue, "%I64d",
                         Arithmetic(Operation(name, false), String_AtoI64(arg), String_AtoI64(b)));
            return true;
        }
    }
    if (Is(name, "CommandLine")) {
        if (has) {
            CommandLine_GetFieldByName(nullptr, arg, value, kValue);
        } else {
            const char* start = nullptr;
            if (CommandLine_GetFieldPtr(nullptr, 1, &start) && start) SetValue(value, start, (int32_t)strlen(start));
        }
        return true;
    }
    if (Is(name, "Time")) {
        String_Print(value, kValue, "%.0f", Time_GetCurrentEncoded());
        return true;
    }
    if (Is(name, "Time60")) {
        const int64_t seconds = (int64_t)Time_GetCurrentEncoded();
        String_Print(value, kValue, "%lld", seconds - seconds % 60);
        return true;
    }
    if (Is(name, "TimeStamp") && has) {
        uint8_t hour = 0, minute = 0, second = 0, month = 0, day = 0;
        uint32_t year = 0;
        Time_GetDecoded(&hour, &minute, &second, &month, &day, &year, (double)String_AtoI64(arg));
        String_Print(value, kValue, "%04d%02d%02d%02d%02d%02d", (int32_t)year, (int32_t)month, (int32_t)day,
                     (int32_t)hour, (int32_t)minute, (int32_t)second);
        return true;
    }
    return false;
}

int64_t Providers(Expansion& e, const char* name, char* argument, char* value) {
    static constexpr ExpandKeyCallback kProviders[] = {
        Path_ExpandKey,   Executable_ExpandKey, Base64_ExpandKey,   Hash_ExpandKey,
        URL_ExpandKey,    Socket_ExpandKey,     Registry_ExpandKey, HMAC_ExpandKey,
    };
    for (ExpandKeyCallback provider : kProviders) {
        value[0] = 0;
        if (provider(e.user, name, argument, value, kValue) == 1) return 1;
    }
    value[0] = 0;
    return e.callback ? e.callback(e.user, name, argument, value, kValue) : 0;
}

bool Append(Expansion& e, const char* bytes, int32_t count) {
    if (count < 0 || e.length + count > kWork - 1) return false;
    memcpy(e.work + e.length, bytes, (size_t)count);
    e.length += count;
    e.work[e.length] = 0;
    return true;
}

// What a token's source answered.
enum class Answer { Left, Text, Template, Failed };

// Resolves the open token whose text runs from `mark` (its '{') to the end of the work buffer, and
// puts its value in its place; a template's text is handed back in *templateText (to be freed by
// the caller with kValue bytes) with the token's text removed. Kept out of the recursion so that
// only one token's buffers are on the stack at a time.
__attribute__((noinline)) Answer Resolve(Expansion& e, int32_t mark, char** templateText) {
    char token[kToken + 1];
    int32_t length = e.length - mark - 1;
    if (length > kToken) length = kToken;
    memcpy(token, e.work + mark + 1, (size_t)length);
    token[length] = 0;
    char* argument = nullptr;
    if (char* colon = strchr(token, ':')) {
        *colon = 0;
        argument = colon + 1;
    }
    const char* name = token;

    char value[kValue];
    value[0] = 0;
    int64_t answer = String_ExpandPlatform(name, argument, value) == 1 ? 1 : 0;
    if (!answer) {
        // The built-ins cut their argument up; the providers get it whole.
        char scratch[kToken + 1];
        char* copy = nullptr;
        if (argument) {
            memcpy(scratch, argument, strlen(argument) + 1);
            copy = scratch;
        }
        value[0] = 0;
        answer = Builtin(e, name, copy, value) ? 1 : 0;
    }
    if (!answer) answer = Providers(e, name, argument, value);
    if (answer != 1 && answer != STRING_EXPAND_TEMPLATE) return Answer::Left;
    value[kValue - 1] = 0;
    const int32_t valueLength = (int32_t)strlen(value);
    if (answer == STRING_EXPAND_TEMPLATE) {
        if (!Spend(e)) return Answer::Left;
        *templateText = static_cast<char*>(Memory_Alloc(kValue));
        memcpy(*templateText, value, (size_t)valueLength + 1);
        e.length = mark;
        e.work[mark] = 0;
        return Answer::Template;
    }
    e.length = mark;
    e.work[mark] = 0;
    if (!Append(e, value, valueLength)) {
        Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, "String expansion failed for %s [%d > %d]\n", name,
                     valueLength, kWork - 1 - mark);
        return Answer::Failed;
    }
    return Answer::Text;
}

enum class Scan { Closed, Ended, Failed };

bool Token(Expansion& e, const char* source, size_t* at, int32_t depth);

// Copies `source` from *at into the work buffer up to its end or, inside a token, up to the '}'
// that ends it (passed over), replacing each token found by its value; `depth` is the nesting
// left to the tokens found here.
Scan CopyText(Expansion& e, const char* source, size_t* at, int32_t depth, bool inToken) {
    for (;;) {
        const char c = source[*at];
        if (!c) return Scan::Ended;
        if (inToken && c == '}') {
            (*at)++;
            return Scan::Closed;
        }
        if (IsTokenStart(source + *at)) {
            if (!Token(e, source, at, depth)) return Scan::Failed;
            continue;
        }
        size_t run = 1;
        while (source[*at + run] && source[*at + run] != '{' && !(inToken && source[*at + run] == '}')) run++;
        if (!Append(e, source + *at, (int32_t)run)) {
            Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, "String expansion failed, text too long [%d]\n",
                         kWork - 1);
            return Scan::Failed;
        }
        *at += run;
    }
}

// Expands the token whose '{' is at source[*at]: its inner tokens first, then its own value. A
// token without its '}' stays as written (its inner tokens expanded). False on failure.
bool Token(Expansion& e, const char* source, size_t* at, int32_t depth) {
    if (depth < 1) {
        Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0,
                     "String expansion failed, too deep macro in macro expansion [%s]\n", source);
        return false;
    }
    const int32_t mark = e.length;
    if (!Append(e, "{", 1)) return false;
    (*at)++;
    const Scan scan = CopyText(e, source, at, depth - 1, true);
    if (scan != Scan::Closed) return scan == Scan::Ended;
    char* templateText = nullptr;
    const Answer answer = e.stopped ? Answer::Left : Resolve(e, mark, &templateText);
    if (answer == Answer::Failed) return false;
    if (answer == Answer::Left) return Append(e, "}", 1);
    if (answer == Answer::Text) return true;
    // A template of the caller's: its tokens are expanded as the text's own, one level deeper.
    size_t from = 0;
    const Scan made = CopyText(e, templateText, &from, depth - 1, false);
    Memory_Free(templateText, kValue);
    return made != Scan::Failed;
}

int32_t ExpandWork(Expansion& e, const char* source) {
    size_t at = 0;
    return CopyText(e, source, &at, STRING_EXPAND_DEPTH, false) == Scan::Failed ? STRING_EXPAND_FAILED
                                                                                  : STRING_EXPAND_OK;
}

} // namespace

namespace {

// Names whose value is a folder, a file or the address of one, besides the special paths: the
// platform answers none of them when it cannot name the folder (a relative or empty HOME, say),
// and the program sets its own only where it has one (a workflow's file and folder only for a
// workflow read from a file, the local storage only once its folder is had): the token then
// stays in the text.
constexpr const char* kLocationNames[] = {"ModuleLogDirectory", "ModuleFileName", "ModuleFileTitle", "Env",
                                          "DiskImage", "workflowDirectory", "workflowPath", "workflowUrl",
                                          "LocalStorage", "lockDirectory", "contentUrl", "remoteContentUrl"};

bool IsLocationName(const char* name) {
    for (const SpecialPathName& entry : kSpecialPaths)
        if (Is(name, entry.name)) return true;
    for (const char* location : kLocationNames)
        if (Is(name, location)) return true;
    return false;
}

// Folders the program refused for a location of its own: the location's name, the folder as the
// user knows it, why, and the identities (device, inode) of what was refused (the folder, link or
// folder on the way whose check failed, and the location's folder itself where it exists). Set at
// start by the module that refused, read by every surface that judges a path.
constexpr int32_t kMostRefused = 4;
constexpr int32_t kRefusedText = 4096;
constexpr int32_t kMostIdentities = 2;
// A location's token is named whole in a refusal up to this many bytes ({Env:NAME} by its name).
constexpr int32_t kTokenShown = 128;
struct RefusedFolder {
    char Name[32];
    char Folder[kRefusedText];
    char Reason[128];
    int32_t Identities;
    uint64_t Devices[kMostIdentities];
    uint64_t Inodes[kMostIdentities];
};
std::mutex g_refusedLock;
RefusedFolder g_refused[kMostRefused];
std::atomic<int32_t> g_refusedCount{0};

// The first token of `text` that names a location: its name in `token`, and in `whole` (when
// given, kTokenShown bytes) the token as written, braces and argument included.
bool FindLocationToken(const char* text, char* token, size_t size, char* whole = nullptr) {
    for (const char* open = strchr(text, '{'); open; open = strchr(open + 1, '{')) {
        if (!IsTokenStart(open)) continue;
        const char* end = open + 1;
        while (*end && *end != ':' && *end != '}' && *end != '{') end++;
        if (*end != ':' && *end != '}') continue;
        // A name longer than any location's is no location.
        const size_t length = (size_t)(end - open - 1);
        if (length >= size) continue;
        memcpy(token, open + 1, length);
        token[length] = 0;
        const char* close = strchr(end, '}');
        if (*end == ':' && !close) continue;
        if (!IsLocationName(token)) continue;
        if (whole) {
            const size_t shown = (size_t)(close - open + 1);
            if (shown < (size_t)kTokenShown)
                String_CopyLength(whole, open, (int32_t)shown + 1);
            else
                String_Print(whole, kTokenShown, "{%s}", token);
        }
        return true;
    }
    return false;
}

// Whether `text` holds a token the expander would take: a '{' and a letter or digit, with a '}'
// after it.
bool HoldsToken(const char* text) {
    for (const char* open = strchr(text, '{'); open; open = strchr(open + 1, '{'))
        if (IsTokenStart(open) && strchr(open, '}')) return true;
    return false;
}

// The refused folder `text` reaches: by the name of a location left in it, or (for a full path) by
// the identity of a folder or link on its way. Its folder and reason are copied out.
bool ReachesRefused(const char* text, const char* token, char* folder, char* reason) {
    if (g_refusedCount.load() == 0) return false;
    uint64_t devices[kMostRefused * kMostIdentities], inodes[kMostRefused * kMostIdentities];
    int32_t owner[kMostRefused * kMostIdentities];
    int32_t identities = 0;
    {
        std::lock_guard<std::mutex> hold(g_refusedLock);
        for (int32_t i = 0; i < g_refusedCount.load(); i++) {
            const RefusedFolder& entry = g_refused[i];
            if (token && Is(token, entry.Name)) {
                memcpy(folder, entry.Folder, sizeof(entry.Folder));
                memcpy(reason, entry.Reason, sizeof(entry.Reason));
                return true;
            }
            for (int32_t k = 0; k < entry.Identities; k++) {
                devices[identities] = entry.Devices[k];
                inodes[identities] = entry.Inodes[k];
                owner[identities++] = i;
            }
        }
    }
    if (token || identities == 0) return false;
    // Judged where the file layer would act: the text resolved as it resolves it.
    char resolved[PATH_LIST_SIZE];
    if (!Path_Resolve(text, resolved, (int32_t)sizeof(resolved)) || resolved[0] != '/') return false;
    const int32_t found = Platform_FindFolderOnPath(resolved, devices, inodes, identities);
    if (found < 0) return false;
    std::lock_guard<std::mutex> hold(g_refusedLock);
    const RefusedFolder& entry = g_refused[owner[found]];
    memcpy(folder, entry.Folder, sizeof(entry.Folder));
    memcpy(reason, entry.Reason, sizeof(entry.Reason));
    return true;
}

} // namespace

int64_t String_ExpandRefuseFolder(const char* name, const char* folder, const char* reason) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(folder);
    if (strlen(folder) >= (size_t)kRefusedText) return 0;
    // What failed the check on this thread just now, and the folder itself where it is one.
    uint64_t devices[kMostIdentities] = {}, inodes[kMostIdentities] = {};
    int32_t identities = 0;
    if (Platform_GetLastRefusedIdentity(&devices[identities], &inodes[identities])) identities++;
    if (Platform_GetFolderIdentity(folder, &devices[identities], &inodes[identities])) identities++;
    std::lock_guard<std::mutex> hold(g_refusedLock);
    int32_t at = 0;
    const int32_t count = g_refusedCount.load();
    while (at < count && !Is(g_refused[at].Name, name)) at++;
    if (at == kMostRefused) return 0;
    RefusedFolder& entry = g_refused[at];
    String_CopyLength(entry.Name, name, (int32_t)sizeof(entry.Name));
    String_CopyLength(entry.Folder, folder, (int32_t)sizeof(entry.Folder));
    String_CopyLength(entry.Reason, reason ? reason : "", (int32_t)sizeof(entry.Reason));
    entry.Identities = identities;
    memcpy(entry.Devices, devices, sizeof(devices));
    memcpy(entry.Inodes, inodes, sizeof(inodes));
    if (at == count) g_refusedCount.store(count + 1);
    return 1;
}

int64_t String_ExpandForgetRefusedFolders() {
    std::lock_guard<std::mutex> hold(g_refusedLock);
    g_refusedCount.store(0);
    return 1;
}

int64_t String_ExpandFindLocation(const char* text, char* name, int32_t capacity) {
    ASSERT_POINTER(text);
    if (name && capacity > 0) name[0] = 0;
    // Every token the expander would take, nested ones too: a location inside another macro's
    // argument was left as well.
    char token[32];
    if (!FindLocationToken(text, token, sizeof(token))) return 0;
    if (name && capacity > 0) String_CopyLength(name, token, capacity);
    return 1;
}

int64_t String_ExpandJudgeLocation(const char* text, char* said, int32_t saidCapacity, char* shown,
                                   int32_t shownCapacity) {
    ASSERT_POINTER(text);
    ASSERT_POINTER(said);
    ASSERT_POINTER(shown);
    if (saidCapacity > 0) said[0] = 0;
    if (shownCapacity > 0) shown[0] = 0;
    char token[32], whole[kTokenShown];
    const bool left = FindLocationToken(text, token, sizeof(token), whole);
    if (!left && g_refusedCount.load() == 0) return 0;
    char* folder = static_cast<char*>(Memory_Alloc(kRefusedText));
    char reason[sizeof(RefusedFolder::Reason)];
    const bool refused = ReachesRefused(text, left ? token : nullptr, folder, reason);
    // Said by the folder the user knows: the text is shown as it was given.
    if (refused)
        String_Print(said, saidCapacity, "names the refused folder %s (%s)", folder, reason);
    else if (left)
        String_Print(said, saidCapacity, "names a location without its folder (%s)", whole);
    if (refused || left) String_CopyLength(shown, text, shownCapacity);
    Memory_Free(folder, kRefusedText);
    return refused || left ? 1 : 0;
}

int64_t String_ExpandJudgePath(const char* argument, const char* written, const char* expanded, char* line,
                               int32_t capacity) {
    ASSERT_POINTER(argument);
    ASSERT_POINTER(expanded);
    ASSERT_POINTER(line);
    if (capacity > 0) line[0] = 0;
    // A refused folder's why holds its whole path; the text shown is the caller's whole text.
    const int32_t whySize = kRefusedText + (int32_t)sizeof(RefusedFolder::Reason) + kTokenShown + 64;
    const int32_t shownSize = (int32_t)strlen(expanded) + 1;
    char* why = static_cast<char*>(Memory_Alloc(whySize));
    char* shown = static_cast<char*>(Memory_Alloc(shownSize));
    int64_t refused = String_ExpandJudgeLocation(expanded, why, whySize, shown, shownSize);
    if (refused) {
        String_Print(line, capacity, "\"%s\" argument %s: %s", argument, why, shown);
    } else if (written && HoldsToken(written) && strcmp(written, expanded) != 0 && expanded[0] != '/' &&
               expanded[0] != '~') {
        // A location that gave nothing, or a relative text, inside a function or alone: taken as
        // it is, the path would be a name in whatever the current folder is.
        refused = 1;
        String_Print(line, capacity, "\"%s\" argument names no full path once its macros are expanded (%s): %s",
                     argument, written, expanded[0] ? expanded : "nothing");
    }
    Memory_Free(shown, shownSize);
    Memory_Free(why, whySize);
    return refused;
}

int64_t String_ExpandRefuseArgument(const char* argument, const char* text, char* line, int32_t capacity) {
    return String_ExpandJudgePath(argument, nullptr, text, line, capacity);
}

int64_t String_ExpandPlatform(const char* name, char* argument, char* value) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(value);
    value[0] = 0;
    for (const SpecialPathName& entry : kSpecialPaths)
        if (Is(name, entry.name)) return Platform_GetSpecialPath(entry.id, value, kValue) == 1;
    for (const ConstantName& entry : kConstants)
        if (Is(name, entry.name)) {
            String_CopyLength(value, entry.value, kValue);
            return 1;
        }
    if (Is(name, "ModuleLogDirectory")) return Platform_GetModuleLogDirectory(nullptr, value, kValue) == 1;
    if (Is(name, "ModuleFileName") || Is(name, "ModuleFileTitle")) {
        if (Platform_GetSpecialPath(16, value, kValue) != 1) return 0;
        AfterLast(value, '/');
        AfterLast(value, '\\');
        if (Is(name, "ModuleFileTitle")) {
            char* dot = strrchr(value, '.');
            if (dot && dot[1]) *dot = 0;
        }
        return 1;
    }
    if (Is(name, "ModuleElevated")) {
        int32_t elevated = 0;
        Platform_IsElevated(&elevated);
        String_Print(value, kValue, "%d", elevated ? 1 : 0);
        return 1;
    }
    if (Is(name, "SystemShortName")) return Platform_GetShortName(value, kValue) == 1;
    if (Is(name, "SystemName")) return Platform_GetName(value, kValue) == 1;
    if (Is(name, "SystemVersion")) return Platform_GetVersion(value, kValue) == 1;
    if (Is(name, "SystemBitness")) {
        int32_t bits = 0;
        Platform_GetSystemBitness(&bits);
        String_Print(value, kValue, "%d", bits);
        return 1;
    }
    if (Is(name, "ProcessId")) {
        String_Print(value, kValue, "%d", (int32_t)Platform_GetCurrentProcessId());
        return 1;
    }
    if (Is(name, "UserName")) return Platform_GetUserName(value, kValue) == 1;
    if (Is(name, "UserISO639LangName")) return Platform_GetUserLang(value, kValue) == 1;
    if (Is(name, "UserISO3166CountryName")) return Platform_GetUserCountry(value, kValue) == 1;
    // Without a path there is nothing to examine: the query fails, and the name goes on.
    if (Is(name, "DiskSerial")) return argument && Platform_GetDiskSerialFromPath(argument, value, kValue) == 1;
    if (Is(name, "DiskImage")) return argument && Platform_GetDiskImageFromPath(argument, value, kValue) == 1;
    if (Is(name, "DiskSpace") && argument) {
        uint64_t bytes = 0;
        if (Platform_GetFreeDiskSpace(argument, &bytes) == 1) String_Print(value, kValue, "%lld", (int64_t)bytes);
        return 1;
    }
    if (Is(name, "Env") && argument) return Platform_GetEnvironmentVariable(argument, value, kValue) == 1;
    if (Is(name, "DirectXVersion")) {
        Platform_GetDirectXVersion(value, kValue);
        return 1;
    }
    if (Is(name, "OpenGLVersion")) {
        Platform_GetOpenGLVersion(value, kValue);
        return 1;
    }
    if ((Is(name, "VideoCardType") && argument) ) {
        Platform_GetVideoCardType((int32_t)String_AtoI64(argument), value, kValue);
        return 1;
    }
    if (Is(name, "VideoCardType") || Is(name, "VideoCardTypeList")) {
        JoinList(value, [](int32_t index, char* part) {
            if (Platform_GetVideoCardType(index, part, kListPart) != 1) return false;
            String_ReplaceChar(',', '.', part);
            return true;
        });
        return 1;
    }
    if (Is(name, "VideoCardMemory") && argument) {
        uint64_t bytes = 0;
        if (Platform_GetVideoCardMemory((int32_t)String_AtoI64(argument), &bytes) == 1)
            String_Print(value, kValue, "%lld", (int64_t)bytes);
        return 1;
    }
    if (Is(name, "VideoCardMemory") || Is(name, "VideoCardMemoryList")) {
        JoinList(value, [](int32_t index, char* part) {
            uint64_t bytes = 0;
            if (Platform_GetVideoCardMemory(index, &bytes) != 1) return false;
            String_Print(part, kListPart, "%lld", (int64_t)bytes);
            return true;
        });
        return 1;
    }
    if (Is(name, "SystemMemory")) {
        int64_t bytes = 0;
        if (Platform_GetSystemMemory(&bytes) == 1) String_Print(value, kValue, "%lld", bytes);
        return 1;
    }
    if (Is(name, "CPUSpeed") || Is(name, "CPUCount")) {
        int32_t number = 0;
        const int64_t ok = Is(name, "CPUSpeed") ? Platform_GetCPUSpeed(&number) : Platform_GetCPUCount(&number);
        if (ok == 1) String_Print(value, kValue, "%d", number);
        return 1;
    }
    if (Is(name, "CPUVendor")) {
        Platform_GetCPUVendor(value, kValue);
        return 1;
    }
    if (Is(name, "CPUDescription")) {
        Platform_GetCPUDescription(value, kValue);
        return 1;
    }
    if (Is(name, "AntiVirusList")) {
        JoinList(value, [](int32_t index, char* part) { return Platform_GetAntiVirus(index, part, kListPart) == 1; });
        return 1;
    }
    if (Is(name, "AntiVirus")) {
        Platform_GetAntiVirus(argument ? (int32_t)String_AtoI64(argument) : 0, value, kValue);
        return 1;
    }
    return 0;
}

int64_t String_ExpandInternal(char* work, int32_t position, void* user, ExpandKeyCallback callback,
                              int32_t depth) {
    ASSERT_POINTER(work);
    ASSERT_MSG(position >= 0 && position < kWork && work[position] == '{', "Not a token position (%d)",
               position);
    if (!IsAlnum(work[position + 1])) return 1;
    char* made = static_cast<char*>(Memory_Alloc(kWork));
    made[0] = 0;
    Expansion e{made, 0, user, callback, Budget(work + position), false};
    size_t at = (size_t)position;
    int64_t ok = Token(e, work, &at, depth) ? 1 : 0;
    // The token's text, from its '{' to what it ended at, gives way to what it became.
    const size_t rest = strlen(work + at);
    if (ok && (size_t)position + (size_t)e.length + rest + 1 > (size_t)kWork) ok = 0;
    if (ok) {
        memmove(work + position + e.length, work + at, rest + 1);
        memcpy(work + position, made, (size_t)e.length);
    }
    Memory_Free(made, kWork);
    return ok;
}

int32_t String_ExpandResult(char* buffer, int32_t capacity, void* user, ExpandKeyCallback callback) {
    ASSERT_POINTER(buffer);
    // A text the work buffer cannot hold whole would come back cut: it is refused instead.
    const size_t given = strlen(buffer);
    if (given >= (size_t)kWork) {
        Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, "String expansion failed, text too long [%d > %d]\n",
                     (int32_t)given, kWork - 1);
        return STRING_EXPAND_FAILED;
    }
    char work[kWork];
    work[0] = 0;
    Expansion e{work, 0, user, callback, Budget(buffer), false};
    if (ExpandWork(e, buffer) == STRING_EXPAND_FAILED) return STRING_EXPAND_FAILED;
    if (capacity < 1) return STRING_EXPAND_TRUNCATED;
    String_CopyLength(buffer, work, capacity);
    return e.length >= capacity ? STRING_EXPAND_TRUNCATED : STRING_EXPAND_OK;
}

int64_t String_Expand(char* buffer, int32_t capacity, void* user, ExpandKeyCallback callback) {
    return String_ExpandResult(buffer, capacity, user, callback) == STRING_EXPAND_OK;
}

namespace {

void ExpandItems(Dictionary* dict, void* user, ExpandKeyCallback callback, char** scratch, int32_t* capacity) {
    DictionaryItem* item = nullptr;
    for (int64_t ok = Dictionary_ItemGetFirst(dict, &item); ok; ok = Dictionary_ItemGetNext(dict, item, &item)) {
        uint32_t type = 0;
        Dictionary_ItemGetType(dict, item, &type);
        if (type == DICTIONARY_TYPE_LIST || type == DICTIONARY_TYPE_DICTIONARY) {
            Dictionary* child = nullptr;
            if (Dictionary_ItemGetDictionaryHandle(dict, item, &child) && child)
                ExpandItems(child, user, callback, scratch, capacity);
            continue;
        }
        if (type != DICTIONARY_TYPE_STRING) continue;
        const char* text = nullptr;
        int32_t length = 0;
        Dictionary_ItemGetBufferPtr(dict, item, &text, &length);
        // Text with a NUL inside would come back cut at it: such a value is left as it is.
        if (!text || length < 1 || memchr(text, 0, (size_t)length)) continue;
        if (length + 1 > *capacity) {
            int32_t grown = *capacity;
            while (grown < length + 1) grown *= 2;
            Memory_Free(*scratch, *capacity);
            *scratch = static_cast<char*>(Memory_Alloc(grown));
            *capacity = grown;
        }
        for (;;) {
            memcpy(*scratch, text, (size_t)length);
            (*scratch)[length] = 0;
            const int32_t result = String_ExpandResult(*scratch, *capacity, user, callback);
            if (result != STRING_EXPAND_TRUNCATED) break;
            Memory_Free(*scratch, *capacity);
            *capacity *= 2;
            *scratch = static_cast<char*>(Memory_Alloc(*capacity));
        }
        const int32_t expandedLength = (int32_t)strlen(*scratch);
        if (expandedLength != length || memcmp(*scratch, text, (size_t)length) != 0)
            Dictionary_ItemSetBuffer(dict, item, *scratch, expandedLength);
    }
}

} // namespace

int64_t String_ExpandDictionary(Dictionary* dict, void* user, ExpandKeyCallback callback) {
    ASSERT_POINTER(dict);
    uint32_t count = 0;
    Dictionary_ItemGetCount(dict, &count);
    if (count == 0) return 1;
    int32_t capacity = 128;
    char* scratch = static_cast<char*>(Memory_Alloc(capacity));
    ExpandItems(dict, user, callback, &scratch, &capacity);
    Memory_Free(scratch, capacity);
    return 1;
}
