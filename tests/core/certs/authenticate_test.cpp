// Tests of the authentication service: the switch and its override, the named stores and their
// references, and the code-signature check that refuses while it cannot verify.
#include "core/certs/authenticate.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "tests/support/abort_hook.h"
#include "tests/support/temp_dir.h"

namespace {

uint32_t AnswerZero() {
    return 0;
}

class AuthenticateTest : public ::testing::Test {
  protected:
    static void Capture(const char* text) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(text);
    }
    static bool Logged(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        for (const std::string& line : lines)
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
    void SetUp() override {
        ASSERT_EQ(Debug_Init(dir.file("authenticate.log").c_str(), nullptr, DEBUG_FLAG_EXTERNAL_PRINT), 1);
        Debug_PrintCallback(Capture);
        lines.clear();
        Memory_GetCount(&allocations);
    }
    void TearDown() override {
        Authenticate_Remove();
        Authenticate_SetEnabled(1);
        Authenticate_EnabledOverride(nullptr);
        uint32_t now = 0;
        Memory_GetCount(&now);
        EXPECT_EQ(now, allocations) << "every store freed";
        Debug_PrintCallback(nullptr);
        Debug_Remove();
    }
    static inline std::mutex mutex;
    static inline std::vector<std::string> lines;
    uint32_t allocations = 0;
    TempDir dir;
};

TEST_F(AuthenticateTest, OverrideAnswersInPlaceOfTheFlag) {
    EXPECT_EQ(Authenticate_Enabled(), 1u);
    Authenticate_SetEnabled(0);
    EXPECT_EQ(Authenticate_Enabled(), 0u);
    Authenticate_SetEnabled(1);
    Authenticate_EnabledOverride(AnswerZero);
    EXPECT_EQ(Authenticate_Enabled(), 0u);
    Authenticate_SetEnabled(1);
    EXPECT_EQ(Authenticate_Enabled(), 0u);
    Authenticate_EnabledOverride(nullptr);
    EXPECT_EQ(Authenticate_Enabled(), 1u);
}

TEST_F(AuthenticateTest, InitTurnsTheSwitchOnOnce) {
    Authenticate_SetEnabled(0);
    EXPECT_EQ(Authenticate_Init(), 1);
    EXPECT_EQ(Authenticate_Enabled(), 1u);
    Authenticate_SetEnabled(0);
    EXPECT_EQ(Authenticate_Init(), 0) << "a second start changes nothing";
    EXPECT_EQ(Authenticate_Enabled(), 0u);
    EXPECT_EQ(Authenticate_Remove(), 1);
    EXPECT_EQ(Authenticate_Remove(), 1) << "also when nothing is left";
}

TEST_F(AuthenticateTest, NamedStoresAreSharedAndCounted) {
    ASSERT_EQ(Authenticate_Init(), 1);
    CertStoreInterface* app = Authenticate_CertStoreGet("app");
    CertStoreInterface* upper = Authenticate_CertStoreGet("APP");
    CertStoreInterface* null = Authenticate_CertStoreGet("Null");
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app, upper) << "names are compared without case";
    EXPECT_NE(app, null);
    EXPECT_FALSE(Logged("Unable to find certificate store"));

    // A handle outlives the service that gave it; the last release frees the store (TearDown
    // counts the memory).
    Authenticate_Remove();
    EXPECT_EQ(Class_HasOneRef(app), 0);
    CertStoreInterface* again = CertStoreInterface_AddRef(app);
    EXPECT_EQ(again, app);
    EXPECT_EQ(CertStoreInterface_Release(&upper), 1);
    EXPECT_EQ(upper, nullptr);
    EXPECT_EQ(CertStoreInterface_Release(&app), 1);
    EXPECT_EQ(app, nullptr);
    EXPECT_EQ(Class_HasOneRef(again), 1);
    CertStoreInterface_Release(&again);
    EXPECT_EQ(Class_HasOneRef(null), 1);
    EXPECT_EQ(Authenticate_CertStoreRelease(&null), 1);
    EXPECT_EQ(null, nullptr);
    EXPECT_EQ(Authenticate_CertStoreRelease(&null), 1) << "a null handle is accepted";
    EXPECT_EQ(CertStoreInterface_Release(&null), 0);
}

TEST_F(AuthenticateTest, UnknownNameGivesAFreshEmptyStore) {
    const struct {
        bool started;
        const char* name;
    } cases[] = {{true, "platform"}, {true, "no such store"}, {false, "app"}};
    for (const auto& test : cases) {
        lines.clear();
        if (test.started) Authenticate_Init();
        CertStoreInterface* first = Authenticate_CertStoreGet(test.name);
        CertStoreInterface* second = Authenticate_CertStoreGet(test.name);
        ASSERT_NE(first, nullptr) << test.name;
        EXPECT_NE(first, second) << test.name << ": each caller gets a store of its own";
        EXPECT_TRUE(Logged(std::string("Unable to find certificate store (") + test.name + ")\n"))
            << test.name;
        EXPECT_EQ(Class_HasOneRef(first), 1);
        CertStoreInterface_Release(&first);
        CertStoreInterface_Release(&second);
        Authenticate_Remove();
    }
}

TEST_F(AuthenticateTest, ValidateRefusesWhileSignaturesCannotBeVerified) {
    ASSERT_EQ(Authenticate_Init(), 1);
    CertStoreInterface* app = Authenticate_CertStoreGet("app");
    const std::string program = "/bin/sh";

    EXPECT_EQ(Authenticate_Validate(app, program.c_str()), 0) << "checking on: never taken on trust";
    EXPECT_TRUE(
        Logged("Unable to verify the code signature of (" + program + "): not supported on this platform"));
    EXPECT_TRUE(Logged("Library validation failed (" + program + ")\n"));

    lines.clear();
    Authenticate_SetEnabled(0);
    EXPECT_EQ(Authenticate_Validate(app, "/no/such/file"), 1) << "checking off: the file is not even read";
    EXPECT_TRUE(Logged("Skipping library authentication (/no/such/file)\n"));

    lines.clear();
    Authenticate_SetEnabled(1);
    Authenticate_EnabledOverride(AnswerZero);
    EXPECT_EQ(Authenticate_Validate(nullptr, program.c_str()), 1) << "the override switches checks off";
    CertStoreInterface_Release(&app);
}

TEST_F(AuthenticateTest, NullArgumentsAreProgrammingErrors) {
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Authenticate_CertStoreGet(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            CertStoreInterface_Release(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Authenticate_Validate(nullptr, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
}

} // namespace
