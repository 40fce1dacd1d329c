// Sends one script request to a fresh instance of a core script class: the first byte picks the
// class, the rest is the request's JSON text, reached by the CRC-32 of its "method". Methods that
// would act on the machine (launch programs, restart it, change the environment, write files
// outside a temporary folder) are refused before they reach the class.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <ftw.h>
#include <stdio.h>

#include "core/certs/authenticate.h"
#include "core/formats/crc.h"
#include "core/formats/interop.h"
#include "core/formats/json.h"
#include "core/platform/path.h"
#include "core/platform/registry.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "core/web/analytics.h"
#include "core/web/core_interop.h"
#include "core/web/web_get.h"
#include "core/web/web_get_redirect.h"
#include "tests/support/scoped_env.h"

namespace {

const char* const kClasses[] = {"QVR.Process",  "QVR.Pipe",     "QVR.NotificationCenter", "QVR.Registry",
                                "QVR.FileSystem", "QVR.Platform", "QVR.Analytics",          "QVR.WebGet"};

// Never run: programs started, the machine restarted or kept awake, the environment (which
// decides where files go) changed, ownership changed, pipes created in the shared folder.
const char* const kRefused[] = {"launch", "reboot", "shellOpen", "preventSystemSleep", "setEnvironmentVariable",
                                "unsetEnvironmentVariable", "setGroup", "start", "createShortcut",
                                "removeShortcut"};
// Run only when every text argument lies inside the temporary folder.
const char* const kConfined[] = {"fileErase", "directoryCreate", "directoryErase", "fileCopy",
                                 "directoryGetSize", "getFileDataStore", "authenticateX509", "access"};

std::string g_folder;

uint32_t MethodHash(const char* name) {
    return CRC_Update(0, name, (uint32_t)strlen(name));
}

bool Listed(const char* const* names, size_t count, uint32_t hash) {
    for (size_t i = 0; i < count; i++)
        if (MethodHash(names[i]) == hash) return true;
    return false;
}

// Confined methods take paths relative to the temporary folder only; they are then made absolute
// below it.
struct Confined {
    bool outside = false;
    std::vector<std::pair<std::string, std::string>> paths;
};

int64_t Outside(void* context, const char* key, const char* text) {
    Confined* confined = static_cast<Confined*>(context);
    if (strcmp(key, "method") == 0) return 0;
    if (!text[0] || text[0] == '/' || text[0] == '~' || strstr(text, "..") || strchr(text, ':') ||
        strchr(text, '\\'))
        confined->outside = true;
    confined->paths.emplace_back(key, g_folder + "/" + text);
    return 0;
}

void RemoveFolder() {
    nftw(g_folder.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
         FTW_DEPTH | FTW_PHYS);
}

int64_t Execute(void*, InteropExecuteCallback*, const char*, void*) {
    return 1;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/core-interop-fuzz-XXXXXX";
    if (!mkdtemp(pattern)) abort();
    g_folder = pattern;
    atexit(RemoveFolder);
    SetBothEnv("XDG_CONFIG_HOME", g_folder.c_str());
    SetBothEnv("XDG_RUNTIME_DIR", g_folder.c_str());
    SetBothEnv("TMPDIR", g_folder.c_str());
    Debug_Init(nullptr, nullptr, 0);
    Thread_Init();
    EventQueue_Init();
    Interop_Init();
    NotificationCenter_Init();
    Path_Init();
    Registry_Init();
    WebGet_Init();
    Analytics_Init();
    Dictionary* config = nullptr;
    Dictionary_Create(&config);
    Dictionary_SetStringByPath(config, "analytics.key", "k");
    // Nothing listens there and nothing drives the connection: events stay queued.
    Dictionary_SetStringByPath(config, "analytics.endPoint", "http://127.0.0.1:9/track/");
    Analytics_LoadConfigFromDictionary(config);
    Dictionary_Release(&config);
    // Registry writes land in the temporary folder; no whitelist is asked for.
    Authenticate_SetEnabled(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const char* className = kClasses[data[0] % (sizeof(kClasses) / sizeof(kClasses[0]))];
    Dictionary* root = nullptr;
    Dictionary_Create(&root);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, root);
    const int64_t loaded = JSON_LoadBuffer(json, data + 1, (uint32_t)(size - 1));
    JSON_Release(&json);
    Dictionary* request = nullptr;
    const char* method = nullptr;
    if (!loaded || !Dictionary_SkipRoot(root, &request) || !request ||
        !Dictionary_GetStringPtrByKey(request, "method", &method) || !method) {
        Dictionary_Release(&root);
        return 0;
    }
    const uint32_t hash = MethodHash(method);
    Confined confined;
    if (Listed(kConfined, sizeof(kConfined) / sizeof(kConfined[0]), hash)) {
        Dictionary_EnumerateKeyString(request, &confined, Outside);
        for (const auto& path : confined.paths) Dictionary_SetStringByKey(request, path.first.c_str(), path.second.c_str());
    }
    if (confined.outside || Listed(kRefused, sizeof(kRefused) / sizeof(kRefused[0]), hash)) {
        Dictionary_Release(&root);
        return 0;
    }
    Dictionary_SetInt32ByKey(request, "#methodHash", (int32_t)hash);
    char id[INTEROP_INSTANCE_ID_SIZE] = {};
    InteropInvokeFunc invoke = nullptr;
    InteropReleaseFunc release = nullptr;
    InteropProcessFunc process = nullptr;
    void* user = nullptr;
    if (!CoreInterop_CreateInstance(className, id, sizeof(id), nullptr, Execute, &invoke, &release, &process,
                                    &user))
        abort();
    Dictionary* response = nullptr;
    Dictionary_Create(&response);
    const int64_t answer = invoke(user, request, response);
    // An answer of 1 always carries a value.
    uint32_t type = 0;
    if (answer && !Dictionary_GetTypeByKey(response, "returnValue", &type)) abort();
    if (process) process(user);
    if (release) release(&user);
    Dictionary_Release(&response);
    Dictionary_Release(&root);
    NotificationCenter_Process();
    EventQueue_Flush(nullptr);
    Analytics_Clear();
    WebGet_RedirectClearAll();
    return 0;
}
