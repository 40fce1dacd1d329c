// An interop library for the bridge's tests, built in variants that lack one entry point or fail
// to start. It serves "Plugin.Counter" (methods "add" and "notify") and "Plugin.Fixed" (an
// instance id of its own choosing), and records what the host handed it in PluginState.
#include <atomic>
#include <cstdint>
#include <cstring>

#include "core/formats/crc.h"
#include "core/formats/interop.h"
#include "core/formats/interop_request.h"
#include "core/runtime/dictionary.h"

#define PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

struct PluginState {
    int32_t Loads;
    int32_t Unloads;
    int32_t Overrides;
    char FirstOverride[64];
    char LastOverride[64];
    int32_t Options;
    char Option[320];
    char OptionValue[320];
    std::atomic<int32_t> Releases;
    std::atomic<int32_t> Processes;
};

// Told when the library's constructors run, if the program that loads it has it.
extern "C" __attribute__((weak)) void InteropPlugin_Constructed();

namespace {

PluginState State;

__attribute__((constructor)) void Constructed() {
    if (InteropPlugin_Constructed) InteropPlugin_Constructed();
}

struct Counter {
    std::atomic<int32_t> Value{0};
};

uint32_t Hash(const char* text) {
    return CRC_Update(0, text, (uint32_t)strlen(text));
}

[[maybe_unused]] int64_t Invoke(void* user, Dictionary* request, Dictionary* response) {
    Counter* counter = static_cast<Counter*>(user);
    const char* method = nullptr;
    uint32_t hash = 0;
    if (!ApiGen_GetMethod(request, "Plugin.Counter", &method, &hash)) return 0;
    if (hash == Hash("add")) {
        int32_t amount = 0;
        if (!ApiGen_GetInt32(request, "Plugin.Counter", method, "amount", &amount)) return 0;
        Dictionary_AddInt32(response, "returnValue", counter->Value += amount, nullptr);
        return 1;
    }
    if (hash == Hash("notify")) {
        const char* id = nullptr;
        if (!ApiGen_GetStringPtr(request, "Plugin.Counter", method, "callbackId", &id)) return 0;
        InteropCallback* callback = nullptr;
        if (!Interop_GetCallbackById(id, &callback)) return 0;
        Dictionary* message = nullptr;
        Dictionary_Create(&message);
        Dictionary_SetInt32ByKey(message, "value", counter->Value);
        const int64_t raised = Interop_RaiseCallback(callback, message);
        Interop_ReleaseCallback(&callback);
        Dictionary_Release(&message);
        Dictionary_AddBoolean(response, "returnValue", raised ? 1 : 0, nullptr);
        return 1;
    }
    return 0;
}

[[maybe_unused]] int64_t Release(void** user) {
    delete static_cast<Counter*>(*user);
    *user = nullptr;
    State.Releases++;
    return 1;
}

[[maybe_unused]] int64_t Process(void*) {
    State.Processes++;
    return 1;
}

} // namespace

PLUGIN_EXPORT PluginState* Plugin_State() {
    return &State;
}

#if !defined(INTEROP_PLUGIN_VARIANT_no_load)
PLUGIN_EXPORT int64_t Interop_Load() {
    State.Loads++;
#if defined(INTEROP_PLUGIN_VARIANT_load_fails)
    return 0;
#else
    return 1;
#endif
}
#endif

#if !defined(INTEROP_PLUGIN_VARIANT_no_unload)
PLUGIN_EXPORT int64_t Interop_Unload() {
    State.Unloads++;
    return 1;
}
#endif

#if !defined(INTEROP_PLUGIN_VARIANT_no_create)
PLUGIN_EXPORT int64_t Interop_CreateInstance(const char* className, char* id, int32_t idSize, void*,
                                             InteropExecuteFunc, InteropInvokeFunc* invoke,
                                             InteropReleaseFunc* release, InteropProcessFunc* process,
                                             void** user) {
    const bool fixed = strcmp(className, "Plugin.Fixed") == 0;
    if (!fixed && strcmp(className, "Plugin.Counter") != 0) return 0;
    if (fixed) strncpy(id, "plugin-fixed", (size_t)idSize - 1);
    *invoke = Invoke;
    *release = Release;
    *process = Process;
    *user = new Counter();
    return 1;
}
#endif

#if !defined(INTEROP_PLUGIN_VARIANT_no_override)
PLUGIN_EXPORT int64_t Interop_SetOverride(const char* name, void*) {
    if (State.Overrides++ == 0) strncpy(State.FirstOverride, name, sizeof(State.FirstOverride) - 1);
    strncpy(State.LastOverride, name, sizeof(State.LastOverride) - 1);
    return 1;
}
#endif

#if !defined(INTEROP_PLUGIN_VARIANT_no_option)
PLUGIN_EXPORT int64_t Interop_SetOption(const char* name, const char* value) {
    State.Options++;
    strncpy(State.Option, name, sizeof(State.Option) - 1);
    strncpy(State.OptionValue, value, sizeof(State.OptionValue) - 1);
    return 1;
}
#endif
