// What the executable tells a user about its command line. The command line itself reads
// "--name=value"; a user types "--skin DIR" as often, so switches that take a value are joined
// with their next argument before anything reads them.
#include "host/host_command_line.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "core/certs/executable.h"
#include "core/linux/platform.h"
#include "core/runtime/string.h"

namespace {

enum Kind : uint8_t {
    kFlag,     // no value
    kValue,    // a value is required: "--name value" is read as "--name=value"
    kOptional, // a value may follow '=' only
};

struct Switch {
    const char* Name;
    Kind Takes;
    const char* Help; // null: read by this program, not shown by --help
};

constexpr Switch kSwitches[] = {
    {"help", kFlag, "print this text and exit"},
    {"version", kFlag, "print the version and exit"},
    {"skin", kValue, "DIR  the skin folder to show (wins over an app.bundle beside the program)"},
    {"debug", kOptional, "[=LEVEL]  write the log file (LEVEL: ERROR, WARNING, INFO or DEBUG)"},
    {"window", kFlag, "also print the log on standard output"},
    {"verbose", kValue, "FILTER  more lines from the named classes, e.g. Task:1,Workflow:2"},
    {"debugdir", kValue, "DIR  write the log file into DIR instead"},
    {"debugfile", kFlag, "write the log file on the desktop instead"},
    {"debugfileid", kValue, "ID  add ID to the log file's name"},
    {"append", kFlag, "append to the log file instead of starting it anew"},
    {"perday", kFlag, "one log file per day"},
    {"perprocess", kFlag, "one log file per process"},
    {"perthread", kFlag, "one log file per thread"},
    {"commit", kFlag, "write every log line to disk at once"},
    {"maxdays", kValue, "N  at the end, delete log files older than N days"},
    {"wfselfupdate", kFlag, "run the skin's self-update workflow (selfUpdateWorkflow) without a window"},
    {"proxy", kValue, "HOST:PORT  use this proxy for every request"},
    {"proxy-wpad", kFlag, "find the proxy automatically (WPAD)"},
    {"devserver", kValue, "URL  serve the skin's pages from this server (security off only)"},
    {"disablesecurity", kFlag, "allow unsigned documents and the development switches (unsigned program only)"},
    {"devtools", kFlag, "allow the page's developer tools (unsigned program only)"},
    {"sslkeylogfile", kValue, "FILE  write TLS keys to FILE (security off only)"},
    {"open", kValue, "URL  hand a link to the page (also to a running instance)"},
    {"cmdline", kFlag, nullptr},
    {"externalprint", kFlag, nullptr},
    {"memoryreport", kFlag, nullptr},
    {"memorytest", kFlag, nullptr},
    {"memorytracking", kFlag, nullptr},
    {"debuginterop", kFlag, nullptr},
    {"wfworker", kFlag, nullptr},
    {"wfendpoint", kValue, nullptr},
    {"elevated", kFlag, nullptr},
    {"crashreport", kFlag, nullptr},
    {"crashid", kValue, nullptr},
    {"crashsession", kValue, nullptr},
    {"crashautosend", kFlag, nullptr},
    {"skinserver", kValue, nullptr},
    {"cef", kFlag, nullptr},
    {"cefversion", kValue, nullptr},
    {"cefworker", kFlag, nullptr},
    {"ie", kFlag, nullptr},
    {"type", kValue, nullptr},
    {"no-sandbox", kFlag, nullptr},
    {"single-process", kFlag, nullptr},
};

// Names compare without case, as the command line reads them.
const Switch* Find(const char* name, size_t length) {
    for (const Switch& s : kSwitches)
        if (strlen(s.Name) == length && String_CompareLengthWithoutCase(s.Name, name, (int32_t)length) == 1) return &s;
    return nullptr;
}

// Edits (insertions, deletions, changes, swaps of neighbours) between two names, without case.
size_t Distance(const char* a, size_t m, const char* b, size_t n) {
    std::vector<std::vector<size_t>> d(m + 1, std::vector<size_t>(n + 1, 0));
    for (size_t i = 0; i <= m; i++) d[i][0] = i;
    for (size_t j = 0; j <= n; j++) d[0][j] = j;
    // A-Z only: the user's locale may fold letters otherwise (a dotless capital I).
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    auto same = [&lower](char x, char y) { return lower(x) == lower(y); };
    for (size_t i = 1; i <= m; i++) {
        for (size_t j = 1; j <= n; j++) {
            d[i][j] = std::min(
                {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (same(a[i - 1], b[j - 1]) ? 0 : 1)});
            if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1]))
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[m][n];
}

// The switch of --help that the name looks like a slip of the keyboard for, or null: one edit
// away for short names, two for longer ones. Any other name is a switch of the skin's own.
const Switch* Resembled(const char* name, size_t length) {
    constexpr size_t kNameMax = 64;
    if (length > kNameMax) return nullptr;
    for (const Switch& s : kSwitches) {
        if (!s.Help) continue;
        const size_t size = strlen(s.Name);
        if (Distance(name, length, s.Name, size) <= (std::min(length, size) <= 4 ? 1u : 2u)) return &s;
    }
    return nullptr;
}

// The name of a "--name" or "--name=value" argument; false for anything else.
bool NameOf(const std::string& argument, const char** name, size_t* length) {
    if (argument.size() < 3 || argument[0] != '-' || argument[1] != '-') return false;
    *name = argument.c_str() + 2;
    *length = strcspn(*name, "=");
    return *length > 0;
}

// A log level as --debug takes it, in any case.
bool IsLevelName(const char* text) {
    for (const char* level : {"ERROR", "WARNING", "INFO", "DEBUG"})
        if (String_CompareWithoutCase(text, level) == 1) return true;
    return false;
}

} // namespace

std::vector<std::string> HostCommandLine_Normalise(int argc, char** argv) {
    std::vector<std::string> out;
    for (int i = 0; i < argc; i++) {
        std::string argument = argv[i] ? argv[i] : "";
        const char* name = nullptr;
        size_t length = 0;
        if (i > 0 && NameOf(argument, &name, &length) && name[length] == 0 && i + 1 < argc && argv[i + 1] &&
            strncmp(argv[i + 1], "--", 2) != 0) {
            const Switch* known = Find(name, length);
            // A switch whose value is optional takes the next argument only when it is one of
            // its values ("--debug INFO"); anything else stays an argument of its own.
            if (known && (known->Takes == kValue ||
                          (known->Takes == kOptional && strcmp(known->Name, "debug") == 0 && IsLevelName(argv[i + 1])))) {
                argument += "=";
                argument += argv[++i];
            }
        }
        out.push_back(argument);
    }
    return out;
}

int64_t HostCommandLine_IsKnown(const char* name) {
    return name && Find(name, strlen(name)) ? 1 : 0;
}

int64_t HostCommandLine_PrintVersion() {
    char version[120] = "";
    Executable_GetProductVersion(nullptr, version, sizeof(version));
    printf("quarvelon-host %s\n", version);
    return 1;
}

int64_t HostCommandLine_GetLogFileName(const char* file, char* name, int32_t size) {
    if (!name || size <= 0) return 0;
    name[0] = 0;
    // ".MM.DD.YYYY", ".P" and ".T" with ten digits each, ".err", and a margin.
    constexpr int32_t kSuffixRoom = 64;
    if (!file || size <= kSuffixRoom) return 0;
    char directory[4096];
    if (!Platform_GetModuleLogDirectory(nullptr, directory, sizeof(directory)) || directory[0] != '/') return 0;
    if (strlen(directory) + strlen(file) >= (size_t)(size - kSuffixRoom)) return 0;
    snprintf(name, (size_t)size, "%s%s", directory, file);
    return 1;
}

int64_t HostCommandLine_PrintHelp(const char* program) {
    const char* base = program ? strrchr(program, '/') : nullptr;
    base = base ? base + 1 : (program ? program : "quarvelon-host");
    printf("Usage: %s [--skin DIR] [--debug] [--window] [SWITCH...]\n"
           "Shows the skin in DIR (app.yaml, main.json and its pages) in a window and runs its workflows.\n\n"
           "Switches (a value may follow '=' or a space):\n",
           base);
    for (const Switch& s : kSwitches) {
        if (!s.Help) continue;
        // A text that starts with the value's name ("DIR  the skin ...") shows it beside the switch.
        const char* text = s.Help;
        const char* gap = strstr(text, "  ");
        char head[64];
        if (gap) {
            snprintf(head, sizeof(head), "--%s%s%.*s", s.Name, text[0] == '[' ? "" : " ", (int)(gap - text), text);
            text = gap + 2;
        } else {
            snprintf(head, sizeof(head), "--%s", s.Name);
        }
        printf("  %-26s %s\n", head, text);
    }
    char log[1024] = "";
    if (HostCommandLine_GetLogFileName("host.developer.log", log, sizeof(log)))
        printf("\nLog: nothing is written unless asked; --debug writes \"%s\"\n"
               "(the folder follows $XDG_STATE_HOME); errors always go to standard error.\n\n",
               log);
    else
        printf("\nLog: nothing is written unless asked; --debug writes no file: the log folder under\n"
               "$XDG_STATE_HOME is too long for a log file's name of at most %d bytes (--debugdir DIR\n"
               "names another folder); errors always go to standard error.\n\n",
               (int)sizeof(log) - 1);
    printf("Exit codes: 0 success; 1 start-up failed (skin, port, configuration) or the workflow\n"
           "run without a window failed; an End task's exitCode or the page's setExitCode wins;\n"
           "128 + N: SIGTERM or SIGINT (N) stopped a workflow run without a window (within 10 s).\n");
    return 1;
}

int64_t HostCommandLine_Check(const std::vector<std::string>& arguments) {
    int64_t clean = 1;
    bool shown = false; // the log's INFO lines reach the console (--window)
    for (const std::string& argument : arguments)
        shown = shown || String_CompareWithoutCase(argument.c_str(), "--window") == 1;
    auto refuse = [&clean](const char* format, auto... values) {
        fprintf(stderr, "quarvelon-host: ERROR - ");
        fprintf(stderr, format, values...);
        fprintf(stderr, " (see --help)\n");
        clean = 0;
    };
    for (size_t i = 1; i < arguments.size(); i++) {
        const std::string& argument = arguments[i];
        const char* name = nullptr;
        size_t length = 0;
        if (NameOf(argument, &name, &length)) {
            if (const Switch* known = Find(name, length)) {
                const char* value = name[length] == '=' ? name + length + 1 : "";
                // Without its value the switch would silently fall back to a default the user
                // did not choose (for --skin: another skin). The program's own switches, which
                // it writes for the processes it starts, may carry an empty value.
                if (known->Takes == kValue && !value[0] && known->Help)
                    refuse("--%s needs a value: --%s %s", known->Name, known->Name,
                           std::string(known->Help, strcspn(known->Help, " ")).c_str());
                else if (known->Takes == kOptional && strcmp(known->Name, "debug") == 0 && value[0] &&
                         !IsLevelName(value))
                    refuse("--debug=%s: the level is one of ERROR, WARNING, INFO or DEBUG", value);
                continue;
            }
            // The switches the host does not read are the skin's: its page and workflows read them
            // and a second start hands them to the running instance. One that looks like a slip of
            // the keyboard for a host switch would otherwise run something the user did not ask for.
            if (const Switch* near = Resembled(name, length)) {
                refuse("unknown switch --%.*s: did you mean --%s?", (int)length, name, near->Name);
            } else if (shown) {
                printf("quarvelon-host: INFO - --%.*s is not a host switch: passed to the page and workflows\n",
                       (int)length, name);
                fflush(stdout);
            }
            continue;
        }
        if (argument.size() > 1 && argument[0] == '-' && argument[1] != '-')
            refuse("%s is not a switch: switches start with two dashes", argument.c_str());
        else
            refuse("argument \"%s\" is not read: the host takes only switches", argument.c_str());
    }
    return clean;
}
