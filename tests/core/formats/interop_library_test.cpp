// Tests of interop libraries loaded from files: registration, host services and options,
// instances, callbacks, unload, and the libraries that lack an entry point or fail to start.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <dlfcn.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "core/formats/crc.h"
#include "core/formats/interop.h"
#include "core/formats/interop_request.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/thread.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/log_capture.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

std::atomic<int32_t> g_constructed{0};
extern "C" void InteropPlugin_Constructed() {
    g_constructed++;
}

// The test libraries call these back in this program: keep them linked in and exported.
__attribute__((used)) static void* const kForPlugins[] = {
    reinterpret_cast<void*>(InteropPlugin_Constructed),
    reinterpret_cast<void*>(ApiGen_GetMethod),        reinterpret_cast<void*>(ApiGen_GetInt32),
    reinterpret_cast<void*>(ApiGen_GetStringPtr),     reinterpret_cast<void*>(CRC_Update),
    reinterpret_cast<void*>(Interop_GetCallbackById), reinterpret_cast<void*>(Interop_RaiseCallback),
};

namespace {

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

std::string PluginPath(const char* variant) {
    return std::string(INTEROP_PLUGIN_DIR) + "/interop_plugin_" + variant + ".so";
}

bool IsLoaded(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle) dlclose(handle);
    return handle != nullptr;
}

class InteropEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        ASSERT_EQ(Thread_Init(), 1);
        ASSERT_EQ(EventQueue_Init(), 1);
    }
    void TearDown() override {
        EventQueue_Remove();
        Thread_Remove();
    }
};

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new InteropEnvironment);

class InteropLibraryTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(Interop_Init(), 1); }
    void TearDown() override {
        Interop_RemoveInstancesActiveInRequester(nullptr);
        EXPECT_EQ(Interop_Remove(), 1);
    }

    // Runs passes until no library is left (unload threads end on their own time).
    static bool PassUntilUnloaded() {
        return StepUntil([] { return Interop_GetLibraryCount() == 0; },
                         [] {
                             Interop_Process();
                             std::this_thread::sleep_for(std::chrono::milliseconds(10));
                         });
    }

    std::string Invoke(const char* id, const char* request) {
        MemoryStream* out = nullptr;
        MemoryStream_Create(&out);
        MemoryStream_SetAutoGrow(out, 1);
        Interop_DispatchInvokeJSON(id, request, out);
        uint8_t* bytes = nullptr;
        MemoryStream_GetPointer(out, &bytes);
        uint64_t length = 0;
        MemoryStream_Length(out, &length);
        std::string text(reinterpret_cast<char*>(bytes), (size_t)length);
        MemoryStream_ReleasePointer(out, &bytes);
        MemoryStream_Release(&out);
        return text;
    }

    LogCapture log;
};

std::string g_delivered;
int64_t Deliver(void*, InteropExecuteCallback*, const char* text, void*) {
    g_delivered += text;
    return 1;
}

TEST_F(InteropLibraryTest, LoadedLibraryServesInstancesCallbacksAndUnloads) {
    const std::string path = PluginPath("full");
    // The test keeps its own reference, so that the library's record survives its unload.
    void* self = dlopen(path.c_str(), RTLD_LAZY);
    ASSERT_NE(self, nullptr);
    auto* state = reinterpret_cast<PluginState* (*)()>(dlsym(self, "Plugin_State"))();

    Dictionary* config = nullptr;
    Dictionary_Create(&config);
    Dictionary_SetStringByPath(config, "store\\name", "alpha");
    Interop_SetConfigHandle(config);
    InteropLibrary* lib = Interop_LoadLibrary(path.c_str());
    ASSERT_NE(lib, nullptr);
    Interop_SetConfigHandle(nullptr);
    Dictionary_Release(&config);
    EXPECT_EQ(state->Overrides, 22);
    EXPECT_STREQ(state->FirstOverride, "Debug_Print");
    EXPECT_STREQ(state->LastOverride, "Interop_GenerateInstanceId");
    EXPECT_EQ(state->Loads, 1);
    EXPECT_EQ(state->Options, 1);
    EXPECT_STREQ(state->Option, "store\\name");
    EXPECT_STREQ(state->OptionValue, "alpha");

    char id[40] = "";
    ASSERT_EQ(Interop_DispatchCreateInstance("Plugin.Counter", id, sizeof(id), nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(Invoke(id, R"({"method":"add","amount":2})"), R"({"returnValue":2})");
    EXPECT_EQ(Invoke(id, R"({"method":"add","amount":3})"), R"({"returnValue":5})");

    InteropExecuteCallback* page = nullptr;
    Interop_AddExecuteCallback(&page, nullptr, Deliver);
    InteropCallback* callback = nullptr;
    Interop_AddCallback("page-callback", nullptr, Interop_Execute, &callback);
    g_delivered.clear();
    EXPECT_EQ(Invoke(id, R"({"method":"notify","callbackId":"page-callback"})"), R"({"returnValue":true})");
    Interop_Process();
    EXPECT_EQ(g_delivered, R"([{"value":5}])");
    Interop_ReleaseCallback(&callback);
    Interop_RemoveExecuteCallback(&page);

    // A second load is a second reference: two unload requests, and no instance alive.
    EXPECT_EQ(Interop_LoadLibrary(path.c_str()), lib);
    EXPECT_EQ(Interop_FreeLibraryByName(path.c_str()), 1);
    Interop_Process();
    EXPECT_EQ(Interop_GetLibraryCount(), 1);
    EXPECT_EQ(state->Unloads, 0);
    EXPECT_EQ(Interop_DispatchReleaseInstance(id), 1);
    EXPECT_EQ(Interop_FreeLibrary(lib), 1);
    EXPECT_TRUE(PassUntilUnloaded());
    EXPECT_EQ(state->Releases, 1);
    EXPECT_EQ(state->Unloads, 1);
    EXPECT_EQ(Interop_FreeLibraryByName(path.c_str()), 0);
    dlclose(self);
    EXPECT_FALSE(IsLoaded(path));
}

TEST_F(InteropLibraryTest, LibraryChosenIdSharedByTwoCreations) {
    const std::string path = PluginPath("full");
    void* self = dlopen(path.c_str(), RTLD_LAZY);
    auto* state = reinterpret_cast<PluginState* (*)()>(dlsym(self, "Plugin_State"))();
    const int32_t releases = state->Releases;
    ASSERT_NE(Interop_LoadLibrary(path.c_str()), nullptr);
    char first[40] = "";
    char second[40] = "";
    ASSERT_EQ(Interop_DispatchCreateInstance("Plugin.Fixed", first, sizeof(first), nullptr, nullptr, nullptr),
              1);
    ASSERT_EQ(
        Interop_DispatchCreateInstance("Plugin.Fixed", second, sizeof(second), nullptr, nullptr, nullptr), 1);
    EXPECT_STREQ(second, "plugin-fixed");
    // The second object the library made is released at once, not leaked; the first is kept.
    EXPECT_EQ(state->Releases, releases + 1);
    EXPECT_NE(log.Text().find("User context pointer doesn't match last instance (plugin-fixed)"),
              std::string::npos);
    Interop_DispatchReleaseInstance(first);
    Interop_DispatchReleaseInstance(first);
    Interop_Process();
    EXPECT_EQ(state->Releases, releases + 2);
    dlclose(self);
}

TEST_F(InteropLibraryTest, RefusedLibrariesAreReportedAndClosed) {
    // variant, the line that names the reason
    const char* cases[][2] = {
        {"no_create", "Failed to load interop: Interop_CreateInstance not found."},
        {"no_override", "Failed to load interop: Interop_SetOverride not found."},
        {"no_option", "Failed to load interop: Interop_SetOption not found."},
        {"no_load", "Failed to load interop: Interop_Load not found."},
        {"no_unload", "Failed to load interop: Interop_Unload not found."},
        {"load_fails", "Failed to load interop: Interop_Load failed. ("},
        {"missing", "Unable to load library ("},
    };
    for (const auto& c : cases) {
        const std::string path = PluginPath(c[0]);
        log.Clear();
        EXPECT_EQ(Interop_LoadLibrary(path.c_str()), nullptr) << c[0];
        const std::string text = log.Text();
        EXPECT_NE(text.find(c[1]), std::string::npos) << text;
        EXPECT_NE(text.find("Failed to load interop (" + path + ")"), std::string::npos) << text;
        EXPECT_EQ(Interop_GetLibraryCount(), 0);
        EXPECT_FALSE(IsLoaded(path)) << c[0];
    }
    log.Clear();
    EXPECT_EQ(Interop_LoadLibrary(""), nullptr);
    EXPECT_NE(log.Text().find("Failed to load interop ()"), std::string::npos);
}

TEST_F(InteropLibraryTest, OnlyAnAbsolutePathToASafeFileIsLoadedAndNothingRunsBefore) {
    TempDir dir;
    const std::string image = ReadFile(PluginPath("full"));
    ASSERT_FALSE(image.empty());
    const std::string copy = dir.file("copy.so"), open = dir.file("open.so");
    ASSERT_TRUE(WriteText(copy, image, 0755));
    ASSERT_TRUE(WriteText(open, image, 0755));
    ASSERT_EQ(chmod(open.c_str(), 0757), 0);
    const char* home = getenv("HOME");
    const std::string savedHome = home ? home : "";
    char* savedCwd = getcwd(nullptr, 0);
    ASSERT_NE(savedCwd, nullptr);
    SetBothEnv("HOME", dir.path().c_str());
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    const int32_t constructed = g_constructed;
    // path, the reason logged
    const std::pair<std::string, const char*> refused[] = {
        {"copy.so", "not an absolute path"},
        {"./copy.so", "not an absolute path"},
        {"~/copy.so", "not an absolute path"},
        {open, "writable by other users"},
    };
    for (const auto& [path, why] : refused) {
        log.Clear();
        EXPECT_EQ(Interop_LoadLibrary(path.c_str()), nullptr) << path;
        const std::string text = log.Text();
        EXPECT_NE(text.find("Unable to load library (" + path + ") (" + why + ")"), std::string::npos) << text;
        EXPECT_NE(text.find("Failed to load interop (" + path + ")"), std::string::npos) << text;
    }
    EXPECT_EQ(chdir(savedCwd), 0);
    free(savedCwd);
    home ? SetBothEnv("HOME", savedHome.c_str()) : SetBothEnv("HOME", nullptr);
    // No constructor of a refused file ran.
    EXPECT_EQ(g_constructed, constructed);
    EXPECT_EQ(Interop_GetLibraryCount(), 0);
    InteropLibrary* lib = Interop_LoadLibrary(copy.c_str());
    ASSERT_NE(lib, nullptr);
    EXPECT_EQ(g_constructed, constructed + 1);
    EXPECT_TRUE(IsLoaded(copy));
    EXPECT_EQ(Interop_FreeLibrary(lib), 1);
    EXPECT_TRUE(PassUntilUnloaded());
    EXPECT_FALSE(IsLoaded(copy));
}

} // namespace
