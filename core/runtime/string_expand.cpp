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
#include "core/formats/crc.h"
#include "core/formats/url.h"
#include "core/linux/platform.h"
#include "core/linux/platform_facts.h"
#include "core/linux/platform_file.h"
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
// Values that expand into tokens are expanded again; values that expand into each other would do
// so forever. One call may make this many expansions that change the text, plus a few for each
// token the text held to begin with; after that the text is left as it stands.
constexpr int32_t kExpansionAllowance = 256;
constexpr int32_t kExpansionsPerToken = 4;
// Each part of a list value (video cards, security products) is read into this much.
constexpr int32_t kListPart = 1024;

struct Expansion {
    char* work;
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

uint32_t SpanCrc(const char* from, const char* to) {
    return CRC_Update(0, from, (uint32_t)(to - from + 1));
}

// A re-expansion spends one unit; the last one stops every further expansion of the call.
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
        SetValue(value, e.work, first ? (int32_t)(first - e.work) : (int32_t)strlen(e.work));
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

bool Providers(Expansion& e, const char* name, char* argument, char* value) {
    static constexpr ExpandKeyCallback kProviders[] = {
        Path_ExpandKey,   Executable_ExpandKey, Base64_ExpandKey,   Hash_ExpandKey,
        URL_ExpandKey,    Socket_ExpandKey,     Registry_ExpandKey, HMAC_ExpandKey,
    };
    for (ExpandKeyCallback provider : kProviders) {
        value[0] = 0;
        if (provider(e.user, name, argument, value, kValue) == 1) return true;
    }
    value[0] = 0;
    return e.callback && e.callback(e.user, name, argument, value, kValue) == 1;
}

// Resolves the token from `open` to `close` (its braces) and puts its value in its place. Kept out
// of the recursion so that only one token's buffers are on the stack at a time.
__attribute__((noinline)) int64_t Resolve(Expansion& e, char* open, char* close) {
    char token[kToken + 1];
    int32_t length = (int32_t)(close - open - 1);
    if (length > kToken) length = kToken;
    memcpy(token, open + 1, (size_t)length);
    token[length] = 0;
    char* argument = nullptr;
    if (char* colon = strchr(token, ':')) {
        *colon = 0;
        argument = colon + 1;
    }
    const char* name = token;

    char value[kValue];
    value[0] = 0;
    bool handled = String_ExpandPlatform(name, argument, value) == 1;
    if (!handled) {
        // The built-ins cut their argument up; the providers get it whole.
        char scratch[kToken + 1];
        char* copy = nullptr;
        if (argument) {
            memcpy(scratch, argument, strlen(argument) + 1);
            copy = scratch;
        }
        value[0] = 0;
        handled = Builtin(e, name, copy, value);
    }
    if (!handled) handled = Providers(e, name, argument, value);
    if (!handled) return 1;
    value[kValue - 1] = 0;

    const int32_t valueLength = (int32_t)strlen(value);
    const int32_t restLength = (int32_t)strlen(close + 1);
    const int32_t room = kWork - (int32_t)(open - e.work);
    if (valueLength + restLength + 1 > room) {
        Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, "String expansion failed for %s [%d > %d]\n", name,
                     valueLength, room - restLength - 1);
        return 0;
    }
    memmove(open + valueLength, close + 1, (size_t)restLength + 1);
    memcpy(open, value, (size_t)valueLength);
    return 1;
}

// `*end` receives the offset of the '}' that ended the token when it was resolved or left alone
// (-1 when it has none), so that an enclosing token goes on after the whole of it: its inner tokens
// are not looked at again, which would cost time exponential in the nesting.
int64_t ExpandToken(Expansion& e, int32_t position, int32_t depth, int32_t* end) {
    *end = -1;
    if (depth < 1) {
        Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0,
                     "String expansion failed, too deep macro in macro expansion [%s]\n", e.work);
        return 0;
    }
    char* open = e.work + position;
    if (!open[1]) return 1;
    char* search = open + 1;
    char* close = nullptr;
    for (;;) {
        close = strchr(search, '}');
        if (!close) return 1;
        char* inner = nullptr;
        for (char* p = static_cast<char*>(memchr(search, '{', (size_t)(close - search))); p;
             p = static_cast<char*>(memchr(p + 1, '{', (size_t)(close - p - 1)))) {
            if (IsTokenStart(p)) {
                inner = p;
                break;
            }
            if (p + 1 >= close) break;
        }
        if (!inner) break;
        const uint32_t before = SpanCrc(inner, close);
        int32_t innerEnd = -1;
        if (!ExpandToken(e, (int32_t)(inner - e.work), depth - 1, &innerEnd)) return 0;
        if (e.stopped) return 1;
        if (SpanCrc(inner, close) == before) {
            // An inner token that found no '}' of its own has used up every '}' after it: none is
            // left to end this one.
            if (innerEnd < 0) return 1;
            search = (e.work + innerEnd > close ? e.work + innerEnd : close) + 1;
        } else if (!Spend(e)) {
            return 1;
        }
    }
    if (e.stopped) return 1;
    *end = (int32_t)(close - e.work);
    return Resolve(e, open, close);
}

int32_t ExpandWork(Expansion& e) {
    int32_t position = 0;
    for (;;) {
        char* open = strchr(e.work + position, '{');
        if (!open) break;
        char* close = strchr(open, '}');
        if (!close) break;
        if (!IsAlnum(open[1])) {
            position = (int32_t)(open - e.work) + 1;
            continue;
        }
        const uint32_t before = SpanCrc(open, close);
        int32_t end = -1;
        if (!ExpandToken(e, (int32_t)(open - e.work), STRING_EXPAND_DEPTH, &end)) return STRING_EXPAND_FAILED;
        if (e.stopped) break;
        if (SpanCrc(open, close) == before) {
            // A token without an end of its own has looked at everything after it already.
            if (end < 0) break;
            position = (end > (int32_t)(close - e.work) ? end : (int32_t)(close - e.work)) + 1;
        } else if (!Spend(e))
            break;
        else
            position = (int32_t)(open - e.work);
    }
    return STRING_EXPAND_OK;
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

// Folders the program refused for a location of its own, and the text that stands in their place
// (a path nothing can be made in). Set once at start by the module that refused, read by every
// surface that takes a path.
constexpr int32_t kMostRefused = 4;
constexpr int32_t kRefusedText = 4096;
struct RefusedFolder {
    char Name[32];
    char StandIn[kRefusedText];
    char Folder[kRefusedText];
    char Reason[128];
};
std::mutex g_refusedLock;
RefusedFolder g_refused[kMostRefused];
std::atomic<int32_t> g_refusedCount{0};

// The refused folder whose stand-in begins `text`: its name, folder and reason (each may be null)
// and the stand-in's length, copied out under the lock.
bool FindRefused(const char* text, char* name, char* folder, char* reason, size_t* standIn) {
    if (g_refusedCount.load() == 0) return false;
    std::lock_guard<std::mutex> hold(g_refusedLock);
    for (int32_t i = 0; i < g_refusedCount.load(); i++) {
        const RefusedFolder& entry = g_refused[i];
        const size_t length = strlen(entry.StandIn);
        if (!length || strncmp(text, entry.StandIn, length) != 0) continue;
        if (name) memcpy(name, entry.Name, sizeof(entry.Name));
        if (folder) memcpy(folder, entry.Folder, sizeof(entry.Folder));
        if (reason) memcpy(reason, entry.Reason, sizeof(entry.Reason));
        if (standIn) *standIn = length;
        return true;
    }
    return false;
}

// The first token of `text` that names a location, its name in `token`.
bool FindLocationToken(const char* text, char* token, size_t size) {
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
        if (*end == ':' && !strchr(end, '}')) continue;
        if (IsLocationName(token)) return true;
    }
    return false;
}

} // namespace

int64_t String_ExpandRefuseFolder(const char* name, const char* standIn, const char* folder, const char* reason) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(standIn);
    ASSERT_POINTER(folder);
    if (!standIn[0] || strlen(standIn) >= (size_t)kRefusedText || strlen(folder) >= (size_t)kRefusedText) return 0;
    std::lock_guard<std::mutex> hold(g_refusedLock);
    int32_t at = 0;
    const int32_t count = g_refusedCount.load();
    while (at < count && strcmp(g_refused[at].StandIn, standIn) != 0) at++;
    if (at == kMostRefused) return 0;
    RefusedFolder& entry = g_refused[at];
    String_CopyLength(entry.Name, name, (int32_t)sizeof(entry.Name));
    String_CopyLength(entry.StandIn, standIn, (int32_t)sizeof(entry.StandIn));
    String_CopyLength(entry.Folder, folder, (int32_t)sizeof(entry.Folder));
    String_CopyLength(entry.Reason, reason ? reason : "", (int32_t)sizeof(entry.Reason));
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
    if (!FindLocationToken(text, token, sizeof(token)) && !FindRefused(text, token, nullptr, nullptr, nullptr))
        return 0;
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
    char token[32];
    if (FindLocationToken(text, token, sizeof(token))) {
        String_Print(said, saidCapacity, "names a location without its folder ({%s})", token);
        String_CopyLength(shown, text, shownCapacity);
        return 1;
    }
    if (g_refusedCount.load() == 0) return 0;
    char* folder = static_cast<char*>(Memory_Alloc(kRefusedText));
    char reason[sizeof(RefusedFolder::Reason)];
    size_t standIn = 0;
    const bool refused = FindRefused(text, nullptr, folder, reason, &standIn);
    if (refused) {
        // Said by the folder the user knows, never by the stand-in.
        String_Print(said, saidCapacity, "names the refused folder %s (%s)", folder, reason);
        String_Print(shown, shownCapacity, "%s%s", folder, text + standIn);
    }
    Memory_Free(folder, kRefusedText);
    return refused ? 1 : 0;
}

int64_t String_ExpandRefuseArgument(const char* argument, const char* text, char* line, int32_t capacity) {
    ASSERT_POINTER(argument);
    ASSERT_POINTER(text);
    ASSERT_POINTER(line);
    if (capacity > 0) line[0] = 0;
    // A refused folder's why holds its whole path; the text shown is the caller's whole text.
    const int32_t whySize = kRefusedText + (int32_t)sizeof(RefusedFolder::Reason) + 64;
    const int32_t shownSize = kRefusedText + (int32_t)strlen(text) + 1;
    char* why = static_cast<char*>(Memory_Alloc(whySize));
    char* shown = static_cast<char*>(Memory_Alloc(shownSize));
    const int64_t refused = String_ExpandJudgeLocation(text, why, whySize, shown, shownSize);
    if (refused) String_Print(line, capacity, "\"%s\" argument %s: %s", argument, why, shown);
    Memory_Free(shown, shownSize);
    Memory_Free(why, whySize);
    return refused;
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
    Expansion e{work, user, callback, Budget(work + position), false};
    int32_t end = -1;
    return ExpandToken(e, position, depth, &end);
}

int32_t String_ExpandResult(char* buffer, int32_t capacity, void* user, ExpandKeyCallback callback) {
    ASSERT_POINTER(buffer);
    // Cleared so that comparing a span that a shorter value left behind reads defined bytes.
    char work[kWork] = {};
    // A text the work buffer cannot hold whole would come back cut: it is refused instead.
    if (String_CopyLength(work, buffer, kWork) >= kWork && strlen(buffer) >= (size_t)kWork) {
        Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, "String expansion failed, text too long [%d > %d]\n",
                     (int32_t)strlen(buffer), kWork - 1);
        return STRING_EXPAND_FAILED;
    }
    Expansion e{work, user, callback, Budget(work), false};
    if (ExpandWork(e) == STRING_EXPAND_FAILED) return STRING_EXPAND_FAILED;
    if (capacity < 1) return STRING_EXPAND_TRUNCATED;
    const int32_t length = (int32_t)strlen(work);
    String_CopyLength(buffer, work, capacity);
    return length >= capacity ? STRING_EXPAND_TRUNCATED : STRING_EXPAND_OK;
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
