// InteropLoad and InteropUnload through the engine with the bridge's test library: the signature
// check, the options handed to the library, and the notifications in their order.
#include <dlfcn.h>

#include <fstream>

#include "core/formats/interop.h"
#include "tasks/interop_tasks.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/temp_dir.h"
#include "tests/tasks/task_library_fixture.h"

namespace {

const bool g_bounded = BoundEveryTest();

// What the test library records (its PluginState, up to the fields read here).
struct PluginState {
    int32_t Loads;
    int32_t Unloads;
    int32_t Overrides;
    char FirstOverride[64];
    char LastOverride[64];
    int32_t Options;
    char Option[320];
    char OptionValue[320];
};

const std::string kPlugin = std::string(INTEROP_PLUGIN_DIR) + "/interop_plugin_full.so";

class InteropTaskTest : public TaskLibraryTest {
  protected:
    int defined = 0;
    void SetUp() override {
        TaskLibraryTest::SetUp();
        Workflow_AddMacro(workflow, "who", "me");
        for (const char* name : {"Load", "Unload"}) Watch("Interop", name);
        for (const char* name : {"RegisterTaskHandlers", "UnregisterTaskHandlers"}) Watch("Workflow", name);
    }
    void TearDown() override {
        WorkflowApp_SetSecurityEnabled(1);
        TaskLibraryTest::TearDown();
    }
    Run One(const std::string& type, const std::string& arguments) {
        const std::string name = "t" + std::to_string(++defined);
        Define("{\"" + name + "\": {\"type\": \"" + type + "\"" + (arguments.empty() ? "" : ", ") + arguments + "}}");
        return RunTask(name.c_str());
    }
    static PluginState* State() {
        void* module = dlopen(kPlugin.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (!module) return nullptr;
        auto* get = reinterpret_cast<PluginState* (*)()>(dlsym(module, "Plugin_State"));
        dlclose(module);
        return get ? get() : nullptr;
    }
    // The fired notifications without their JSON.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& f : fired) names.push_back(f.substr(0, f.find(':')));
        return names;
    }
};

TEST_F(InteropTaskTest, UncheckedLibraryLoadsTakesOptionsAndUnloads) {
    WorkflowApp_SetSecurityEnabled(0);
    const int32_t before = Interop_GetLibraryCount();
    const std::string args = "\"name\": \"plugin\", \"path\": \"" + kPlugin + "\"";
    const Run load = One("InteropLoad", args + ", \"greeting\": \"hello {who}\"");
    ASSERT_TRUE(load.successful) << ::testing::PrintToString(load.errors);
    EXPECT_TRUE(Printed("Loading interop library (" + kPlugin + ") (v"));
    EXPECT_EQ(Interop_GetLibraryCount(), before + 1);
    PluginState* state = State();
    ASSERT_NE(state, nullptr);
    EXPECT_STREQ(state->Option, "plugin.greeting");
    EXPECT_STREQ(state->OptionValue, "hello me");
    // The library's memory may be gone once it is unloaded: nothing of it is read after this.
    ASSERT_TRUE(One("InteropUnload", args).successful);
    const std::string info = "{\"successful\":true,\"name\":\"plugin\",\"path\":\"" + kPlugin + "\"}";
    EXPECT_EQ(fired, (std::vector<std::string>{"Interop/Load:" + info,
                                               "Workflow/RegisterTaskHandlers:{\"interop\":\"plugin\",\"canRemote\":false}",
                                               "Workflow/UnregisterTaskHandlers:{\"canRemote\":false,\"interop\":\"plugin\"}",
                                               "Interop/Unload:" + info}));
    EXPECT_TRUE(PumpUntil([&] { return Interop_GetLibraryCount() == before; }, 10));
}

// A file the check does not accept (not an executable at all) is never opened as a library.
TEST_F(InteropTaskTest, RefusedLibraryIsNotLoadedButStillAnnounced) {
    TempDir dir;
    { std::ofstream(dir.file("fake.so")) << "not a library"; }
    WorkflowApp_SetSecurityEnabled(1);
    const int32_t before = Interop_GetLibraryCount();
    const Run run = One("InteropLoad", "\"name\": \"fake\", \"path\": \"" + dir.file("fake.so") + "\"");
    EXPECT_EQ(run.errors, std::vector<std::string>{"Interop_Error_Authenticate"});
    EXPECT_EQ(Interop_GetLibraryCount(), before);
    EXPECT_EQ(Names(), (std::vector<std::string>{"Interop/Load", "Workflow/RegisterTaskHandlers"}));
    ASSERT_FALSE(fired.empty());
    EXPECT_NE(fired[0].find("\"successful\":false"), std::string::npos) << fired[0];
}

TEST_F(InteropTaskTest, LoadAndUnloadFailures) {
    WorkflowApp_SetSecurityEnabled(0);
    EXPECT_EQ(One("InteropLoad", "\"name\": \"x\", \"path\": \"/nonexistent/x.so\"").errors,
              std::vector<std::string>{"Interop_Error_Load"});
    fired.clear();
    EXPECT_EQ(One("InteropUnload", "\"name\": \"x\", \"path\": \"/nonexistent/x.so\"").errors,
              std::vector<std::string>{"Interop_Error_Unload"});
    EXPECT_EQ(Names(), (std::vector<std::string>{"Workflow/UnregisterTaskHandlers", "Interop/Unload"}));
    fired.clear();
    for (const char* type : {"InteropLoad", "InteropUnload"}) {
        lines.clear();
        EXPECT_EQ(One(type, "\"name\": \"x\"").errors, std::vector<std::string>{"Task_Error_MissingArg"}) << type;
        EXPECT_TRUE(Printed("\"path\" argument not defined")) << type;
    }
    EXPECT_TRUE(fired.empty());
}

} // namespace
