// What the executable tells a user about its command line. The command line itself reads
// "--name=value"; a user types "--skin DIR" as often, so switches that take a value are joined
// with their next argument before anything reads them.
#include "host/host_command_line.h"

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
    {"maxdays", kValue, "N  keep log files for N days"},
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

const Switch* Find(const char* name, size_t length) {
    for (const Switch& s : kSwitches)
        if (strlen(s.Name) == length && strncmp(s.Name, name, length) == 0) return &s;
    return nullptr;
}

// The name of a "--name" or "--name=value" argument; false for anything else.
bool NameOf(const std::string& argument, const char** name, size_t* length) {
    if (argument.size() < 3 || argument[0] != '-' || argument[1] != '-') return false;
    *name = argument.c_str() + 2;
    *length = strcspn(*name, "=");
    return *length > 0;
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
            if (known && known->Takes == kValue) {
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
    char directory[1024] = "";
    Platform_GetModuleLogDirectory(nullptr, directory, sizeof(directory));
    printf("\nLog: nothing is written unless asked; --debug writes \"%shost.developer.log\"\n"
           "(the folder follows $XDG_STATE_HOME); errors always go to standard error.\n\n"
           "Exit codes: 0 success; 1 start-up failed (skin, port, configuration) or the workflow\n"
           "run without a window failed; an End task's exitCode or the page's setExitCode wins.\n",
           directory);
    return 1;
}

int64_t HostCommandLine_WarnUnknown(const std::vector<std::string>& arguments) {
    int64_t clean = 1;
    for (size_t i = 1; i < arguments.size(); i++) {
        const std::string& argument = arguments[i];
        const char* name = nullptr;
        size_t length = 0;
        if (NameOf(argument, &name, &length)) {
            if (Find(name, length)) continue;
            fprintf(stderr, "quarvelon-host: unknown switch --%.*s (see --help); the page may still read it\n",
                    (int)length, name);
        } else if (argument.size() > 1 && argument[0] == '-' && argument[1] != '-') {
            fprintf(stderr, "quarvelon-host: %s is not a switch: switches start with two dashes (see --help)\n",
                    argument.c_str());
        } else {
            fprintf(stderr, "quarvelon-host: argument %s is not read (see --help)\n", argument.c_str());
        }
        clean = 0;
    }
    return clean;
}
