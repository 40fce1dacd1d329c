// A small skin host for the skin application's process tests. Run as
//   skin_app_host_program hold <skin directory> [argument ...]
// it loads the skin's configuration and applies the single-instance rule. Holding the lock it
// prints "holding" and waits (at most 30 s) for a later instance's command line, prints
// "NewCommandLine <information as JSON>" and exits 0; when another instance runs it hands its own
// arguments over as {"args":[...]} and exits 3 (4 when that failed).
//   skin_app_host_program datastore <skin directory>
// prints the data store as the skin's scripts get it, or "(none)".
//   skin_app_host_program idle
// only waits (at most 30 s): a neighbouring program that must not be taken for an instance.
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "core/linux/platform_singleton.h"
#include "core/runtime/command_line.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/time.h"
#include "skin/skin_app.h"
#include "skin/localisation.h"
#include "skin/skin_file.h"
#include "tests/support/dictionary_text.h"
#include "workflow/workflow_app.h"

namespace {

int g_argc = 0;
char** g_argv = nullptr;
std::string g_received;

int64_t MergeConfig(void*, Dictionary* config) {
    return WorkflowApp_LoadConfigFromDictionary(config);
}

// This process's arguments after the mode and the skin, as a later instance hands them over.
int64_t Inform() {
    std::string text = "{\"args\":[";
    for (int i = 3; i < g_argc; i++) {
        text += i > 3 ? ",\"" : "\"";
        for (const char* c = g_argv[i]; *c; c++) {
            if (*c == '"' || *c == '\\') text += '\\';
            text += *c;
        }
        text += "\"";
    }
    text += "]}";
    return Platform_SingletonSendData(text.c_str(), (int32_t)text.size());
}

int64_t OnNewCommandLine(void*, const char*, const char*, const char*, Dictionary* info) {
    g_received = "{" + DictionaryAsJson(info) + "}";
    return 1;
}

bool Start(const char* skin) {
    Dictionary* config = nullptr;
    WorkflowApp_GetConfigHandle(&config);
    return SkinFile_Attach(skin) && SkinApp_Init() && SkinApp_SetConfigLoadedCallback(nullptr, MergeConfig) &&
           SkinApp_LoadConfig(config);
}

int Hold() {
    const int64_t single = SkinApp_CheckForSingleInstance(Inform);
    if (!single) return 3;
    printf("holding\n");
    fflush(stdout);
    NotificationCenter_AddObserver("SkinApp", "NewCommandLine", nullptr, OnNewCommandLine);
    const double end = Time_GetCurrent() + 30;
    while (g_received.empty() && Time_GetCurrent() < end) {
        Platform_SingletonReadData();
        EventQueue_Flush(nullptr);
        NotificationCenter_Process();
        usleep(5000);
    }
    if (g_received.empty()) return 1;
    printf("NewCommandLine %s\n", g_received.c_str());
    return 0;
}

int DataStore() {
    uint8_t* store = nullptr;
    uint32_t length = 0;
    if (!SkinApp_GetDataStore(nullptr, &store, &length)) {
        printf("(none)\n");
        return 0;
    }
    printf("%s\n", std::string(reinterpret_cast<char*>(store), length).c_str());
    SkinApp_ReleaseDataStore(nullptr, &store, &length);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    g_argc = argc;
    g_argv = argv;
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "idle") {
        sleep(30);
        return 0;
    }
    if (argc < 3) return 2;
    Arguments_Init(argc, argv);
    WorkflowApp_Init("skin_app_host.log", 0);
    SkinFile_Init();
    L10N_Init();
    int code = 2;
    if (!Start(argv[2])) {
        code = 5;
    } else if (mode == "hold") {
        code = Hold();
    } else if (mode == "datastore") {
        code = DataStore();
    }
    fflush(stdout);
    SkinApp_Remove();
    SkinFile_Remove();
    L10N_Remove();
    uint32_t exitCode = 0;
    WorkflowApp_Remove(&exitCode);
    return code;
}
