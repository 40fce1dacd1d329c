// Interop libraries of the script bridge: registration of in-process and loaded libraries, the
// host services handed to them, their options, and their unload on a thread of their own.
#include <cstring>
#include <mutex>
#include <new>

#include "core/certs/authenticate.h"
#include "core/formats/interop.h"
#include "core/formats/interop_internal.h"
#include "core/linux/platform_system.h"
#include "core/platform/registry.h"
#include "core/runtime/class.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/thread.h"
#include "core/web/web_get.h"

namespace {

// How long shutdown waits for a library's unload thread.
constexpr int32_t kShutdownWaitMs = 120000;

// Serialises loads, so that two loads of one file find a single record.
std::mutex LoadMutex;

template <typename F> void* Fn(F* function) {
    return reinterpret_cast<void*>(function);
}

struct HostService {
    const char* Name;
    void* Function;
};

// The services every library receives, in the order a library may rely on.
void PassHostServices(InteropLibrary* lib) {
    const HostService services[] = {
        {"Debug_Print", Fn(Log_PrintStringWithTimeStamp)},
        {"Debug_Flags", Fn(Debug_Flags)},
        {"Class_ConvertFromInstanceId", Fn(Class_ConvertFromInstanceId)},
        {"Class_ConvertToInstanceId", Fn(Class_ConvertToInstanceId)},
        {"Class_TrackInstance", Fn(Class_TrackInstance)},
        {"Class_UntrackInstance", Fn(Class_UntrackInstance)},
        {"Authenticate_Enabled", Fn(Authenticate_Enabled)},
        {"Registry_Authorize", Fn(Registry_Authorize)},
        {"WebGet_Authorize", Fn(WebGet_Authorize)},
        {"Dictionary_Create", Fn(Dictionary_Create)},
        {"Dictionary_Delete", Fn(Dictionary_Release)},
        {"Dictionary_Release", Fn(Dictionary_Release)},
        {"NotificationCenter_AddInstanceObserver", Fn(NotificationCenter_AddInstanceObserver)},
        {"NotificationCenter_RemoveInstanceObserver", Fn(NotificationCenter_RemoveInstanceObserver)},
        {"NotificationCenter_AssertInstance", Fn(NotificationCenter_AssertInstance)},
        {"NotificationCenter_Fire", Fn(NotificationCenter_Fire)},
        {"NotificationCenter_FireAfterDelay", Fn(NotificationCenter_FireAfterDelay)},
        {"NotificationCenter_FireWithJSON", Fn(NotificationCenter_FireWithJSON)},
        {"NotificationCenter_FireWithJSONV", Fn(NotificationCenter_FireWithJSONV)},
        {"NotificationCenter_FireAfterDelayWithJSON", Fn(NotificationCenter_FireAfterDelayWithJSON)},
        {"NotificationCenter_FireAfterDelayWithJSONV", Fn(NotificationCenter_FireAfterDelayWithJSONV)},
        {"Interop_GenerateInstanceId", Fn(Interop_GenerateInstanceId)},
    };
    for (const HostService& s : services) lib->SetOverride(s.Name, s.Function);
}

// Every leaf of the configuration goes to SetOption under its full path.
void PassOptions(InteropLibrary* lib, Dictionary* root, Dictionary* dict) {
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(dict, &item); item; Dictionary_ItemGetNext(dict, item, &item)) {
        if (Dictionary_ItemIsContainer(dict, item)) {
            Dictionary* child = nullptr;
            if (Dictionary_ItemGetDictionaryHandle(dict, item, &child) && child)
                PassOptions(lib, root, child);
            continue;
        }
        char path[INTEROP_NAME_SIZE] = {0};
        Dictionary_ItemGetPath(dict, item, root, path, (int32_t)sizeof(path));
        const char* bytes = nullptr;
        int32_t length = 0;
        Dictionary_ItemGetBufferPtr(dict, item, &bytes, &length);
        // Values are handed over whole and terminated, whatever their length.
        char* value = static_cast<char*>(Memory_Alloc(length + 1));
        if (length > 0) memcpy(value, bytes, (size_t)length);
        value[length] = 0;
        lib->SetOption(path, value);
        Memory_Free(value, length + 1);
    }
}

InteropLibrary* CheckedLibrary(InteropLibrary* lib) {
    ASSERT_POINTER(lib);
    if (lib->ClassId != INTEROP_LIBRARY_CLASS_ID)
        Debug_AbortInt(__FILE__, __LINE__, "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n",
                       lib, (uint32_t)INTEROP_LIBRARY_CLASS_ID, lib->ClassId);
    return lib;
}

void FreeRecord(InteropLibrary* lib) {
    lib->ClassId = 0;
    lib->~InteropLibrary();
    Memory_Free(lib, sizeof(InteropLibrary));
}

void CloseModule(InteropLibrary* lib) {
    if (void* module = lib->Module.exchange(nullptr)) Platform_FreeLibrary(module);
}

InteropLibrary* AddLibrary(const char* name, void* module, InteropInitFunc init, InteropRemoveFunc remove,
                           InteropCreateInstanceFunc createInstance, InteropSetOverrideFunc setOverride,
                           InteropSetOptionFunc setOption) {
    Interop* r = Interop_Registry();
    if (!createInstance) Log_Error("Failed to load interop: Interop_CreateInstance not found.\n");
    if (!setOverride) Log_Error("Failed to load interop: Interop_SetOverride not found.\n");
    if (!setOption) Log_Error("Failed to load interop: Interop_SetOption not found.\n");
    if (!init) Log_Error("Failed to load interop: Interop_Load not found.\n");
    if (!remove) Log_Error("Failed to load interop: Interop_Unload not found.\n");
    if (!createInstance || !setOverride || !setOption || !init || !remove) return nullptr;
    void* memory = Memory_AllocZero(sizeof(InteropLibrary));
    InteropLibrary* lib = new (memory) InteropLibrary();
    lib->ClassId = INTEROP_LIBRARY_CLASS_ID;
    String_CopyLength(lib->Name, name ? name : "", (int32_t)sizeof(lib->Name));
    lib->Module.store(module);
    lib->CreateInstance = createInstance;
    lib->SetOverride = setOverride;
    lib->SetOption = setOption;
    lib->Init = init;
    lib->Remove = remove;
    lib->RefCount.store(1);
    PassHostServices(lib);
    // A library that could not start must not be offered any class.
    if (!lib->Init()) {
        Log_Error("Failed to load interop: Interop_Load failed. (%s)\n", lib->Name);
        FreeRecord(lib);
        return nullptr;
    }
    if (r->Config) PassOptions(lib, r->Config, r->Config);
    CriticalSectionGuard guard(r->Lock);
    InteropList_Append(&r->Libraries, lib);
    return lib;
}

} // namespace

InteropLibrary* Interop_Add(const char* name, InteropInitFunc init, InteropRemoveFunc remove,
                            InteropCreateInstanceFunc createInstance, InteropSetOverrideFunc setOverride,
                            InteropSetOptionFunc setOption) {
    return AddLibrary(name, nullptr, init, remove, createInstance, setOverride, setOption);
}

InteropLibrary* Interop_LoadLibrary(const char* path) {
    Interop* r = Interop_Registry();
    if (!path) path = "";
    std::lock_guard<std::mutex> serial(LoadMutex);
    // Refuses what is not an absolute path to a regular file, and loads the very file it checked.
    void* module = Platform_LoadLibrary(path, 1);
    if (!module) {
        Log_Error("Failed to load interop (%s)\n", path);
        return nullptr;
    }
    bool shuttingDown = false;
    {
        CriticalSectionGuard guard(r->Lock);
        for (InteropLibrary* lib = r->Libraries.First; lib; lib = lib->Next) {
            if (lib->Module.load() != module) continue;
            if (lib->UnloadThread.load()) {
                // Its Remove is running or about to: a new user would find it torn down.
                Log_Error("Interop library is shutting down (%s)\n", path);
                shuttingDown = true;
                break;
            }
            InteropCount_Raise(lib->RefCount);
            // The record holds one reference of the loader; drop the one just taken.
            Platform_FreeLibrary(module);
            return lib;
        }
    }
    InteropLibrary* lib = nullptr;
    if (!shuttingDown) {
        auto symbol = [module](const char* name) { return Platform_GetProcAddress(module, name); };
        lib = AddLibrary(path, module, reinterpret_cast<InteropInitFunc>(symbol("Interop_Load")),
                         reinterpret_cast<InteropRemoveFunc>(symbol("Interop_Unload")),
                         reinterpret_cast<InteropCreateInstanceFunc>(symbol("Interop_CreateInstance")),
                         reinterpret_cast<InteropSetOverrideFunc>(symbol("Interop_SetOverride")),
                         reinterpret_cast<InteropSetOptionFunc>(symbol("Interop_SetOption")));
    }
    if (!lib) {
        Log_Error("Failed to load interop (%s)\n", path);
        Platform_FreeLibrary(module);
    }
    return lib;
}

int64_t Interop_SetLibraryOption(InteropLibrary* library, const char* name, const char* value) {
    CheckedLibrary(library)->SetOption(name, value);
    return 1;
}

int64_t Interop_SetLibraryOverride(InteropLibrary* library, const char* name, void* function) {
    CheckedLibrary(library)->SetOverride(name, function);
    return 1;
}

int64_t Interop_DispatchSetOption(const char* name, const char* value) {
    Interop* r = Interop_Registry();
    CriticalSectionGuard guard(r->Lock);
    for (InteropLibrary* lib = r->Libraries.First; lib; lib = lib->Next) lib->SetOption(name, value);
    return 1;
}

int64_t Interop_FreeLibraryByName(const char* name) {
    Interop* r = Interop_Registry();
    {
        CriticalSectionGuard guard(r->Lock);
        for (InteropLibrary* lib = r->Libraries.First; lib && name; lib = lib->Next) {
            if (lib->UnloadThread.load() || !String_CompareWithoutCase(lib->Name, name)) continue;
            return Interop_FreeLibrary(lib);
        }
    }
    if (r->Verbose) Log_Info("Unable to find library for removal (%s)\n", name ? name : "");
    return 0;
}

int64_t Interop_FreeLibrary(InteropLibrary* library) {
    InteropCount_Raise(CheckedLibrary(library)->UnloadRequests);
    return 1;
}

int32_t Interop_GetLibraryCount() {
    Interop* r = Interop_Registry();
    CriticalSectionGuard guard(r->Lock);
    return r->Libraries.Count;
}

uint32_t Interop_ThreadRemoveLibrary(void* library) {
    InteropLibrary* lib = CheckedLibrary(static_cast<InteropLibrary*>(library));
    lib->Remove();
    CloseModule(lib);
    return 0;
}

void InteropLibrary_ProcessUnloads(Interop* r) {
    CriticalSectionGuard guard(r->Lock);
    for (InteropLibrary* lib = r->Libraries.First; lib;) {
        InteropLibrary* next = lib->Next;
        if (Thread* thread = lib->UnloadThread.load()) {
            if (Thread_Join(0, &thread)) {
                CloseModule(lib);
                InteropList_Unlink(&r->Libraries, lib);
                FreeRecord(lib);
            }
        } else if (lib->UnloadRequests.load() > 0 && lib->Calls.load() == 0 &&
                   Interop_InstancesActiveInLibrary(lib) == 0) {
            InteropCount_Lower(lib->UnloadRequests);
            if (InteropCount_Lower(lib->RefCount) == 1) {
                Thread* started = nullptr;
                if (Thread_Begin(&started, lib, Interop_ThreadRemoveLibrary) && started) {
                    lib->UnloadThread.store(started);
                } else {
                    // No thread to spare: unload here rather than keep a library nobody uses.
                    Log_Error("Unable to start interop unload thread (%s)\n", lib->Name);
                    Interop_ThreadRemoveLibrary(lib);
                    InteropList_Unlink(&r->Libraries, lib);
                    FreeRecord(lib);
                }
            }
        }
        lib = next;
    }
}

void InteropLibrary_RemoveAll(Interop* r) {
    CriticalSectionGuard guard(r->Lock);
    while (InteropLibrary* lib = r->Libraries.First) {
        InteropList_Unlink(&r->Libraries, lib);
        if (Thread* thread = lib->UnloadThread.load()) {
            if (!Thread_Join(kShutdownWaitMs, &thread)) {
                // The thread still uses the record and the module: both are left to it.
                Log_Error("Timeout waiting on interop shutdown thread\n");
                continue;
            }
        } else {
            lib->Remove();
        }
        CloseModule(lib);
        FreeRecord(lib);
    }
}

namespace {

template <typename F> int64_t Install(int64_t (*setter)(F), void* function) {
    setter(reinterpret_cast<F>(function));
    return 1;
}

} // namespace

extern "C" int64_t Interop_SetOverride(const char* name, void* function) {
    if (!name) return 0;
    auto is = [name](const char* candidate) { return String_CompareWithoutCase(name, candidate) != 0; };
    if (is("Debug_Print")) return Install(Debug_PrintOverride, function);
    if (is("Debug_Flags")) return Install(Debug_FlagsOverride, function);
    if (is("Class_ConvertFromInstanceId")) return Install(Class_ConvertFromInstanceIdOverride, function);
    if (is("Class_ConvertToInstanceId")) return Install(Class_ConvertToInstanceIdOverride, function);
    if (is("Class_TrackInstance")) return Install(Class_TrackInstanceOverride, function);
    if (is("Class_UntrackInstance")) return Install(Class_UntrackInstanceOverride, function);
    if (is("Authenticate_Enabled")) return Install(Authenticate_EnabledOverride, function);
    if (is("Registry_Authorize")) return Install(Registry_AuthorizeOverride, function);
    if (is("WebGet_Authorize")) return Install(WebGet_AuthorizeOverride, function);
    if (is("NotificationCenter_AddInstanceObserver"))
        return Install(NotificationCenter_AddInstanceObserverOverride, function);
    if (is("NotificationCenter_RemoveInstanceObserver"))
        return Install(NotificationCenter_RemoveInstanceObserverOverride, function);
    if (is("NotificationCenter_AssertInstance"))
        return Install(NotificationCenter_AssertInstanceOverride, function);
    if (is("NotificationCenter_Fire")) return Install(NotificationCenter_FireOverride, function);
    if (is("NotificationCenter_FireAfterDelay"))
        return Install(NotificationCenter_FireAfterDelayOverride, function);
    return 0;
}
