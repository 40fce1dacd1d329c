// Tests of the authentication service: the switch and its override, the named stores and their
// references, and the code-signature check that refuses while it cannot verify.
#include "core/certs/authenticate.h"

#include <gtest/gtest.h>

#include <string>

#include "core/runtime/class.h"
#include "core/runtime/memory.h"
#include "tests/support/log_capture.h"

namespace {

const auto* const g_log = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

uint32_t AnswerZero() {
    return 0;
}

class AuthenticateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TakeLog();
        Memory_GetCount(&allocations);
    }
    void TearDown() override {
        Authenticate_Remove();
        Authenticate_SetEnabled(1);
        Authenticate_EnabledOverride(nullptr);
        uint32_t now = 0;
        Memory_GetCount(&now);
        EXPECT_EQ(now, allocations) << "every store freed";
    }
    uint32_t allocations = 0;
};

TEST_F(AuthenticateTest, OverrideAnswersInPlaceOfTheFlag) {
    EXPECT_EQ(Authenticate_Enabled(), 1u);
    Authenticate_SetEnabled(0);
    EXPECT_EQ(Authenticate_Enabled(), 0u);
    Authenticate_SetEnabled(1);
    Authenticate_EnabledOverride(AnswerZero);
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
    EXPECT_EQ(TakeLog().find("Unable to find certificate store"), std::string::npos);

    // A handle outlives the service that gave it; the last release frees the store (TearDown
    // counts the memory).
    Authenticate_Remove();
    EXPECT_EQ(Class_HasOneRef(app), 0);
    EXPECT_EQ(CertStoreInterface_AddRef(app), app);
    EXPECT_EQ(CertStoreInterface_Release(&upper), 1);
    EXPECT_EQ(upper, nullptr);
    CertStoreInterface* again = app;
    EXPECT_EQ(CertStoreInterface_Release(&app), 1);
    EXPECT_EQ(Class_HasOneRef(again), 1);
    CertStoreInterface_Release(&again);
    EXPECT_EQ(Class_HasOneRef(null), 1);
    EXPECT_EQ(Authenticate_CertStoreRelease(&null), 1);
    EXPECT_EQ(null, nullptr);
    EXPECT_EQ(Authenticate_CertStoreRelease(&null), 1) << "a null handle is accepted";
    EXPECT_EQ(CertStoreInterface_Release(&null), 0);
}

TEST_F(AuthenticateTest, UnknownNameGivesAFreshEmptyStore) {
    const std::pair<bool, const char*> cases[] = {
        {true, "platform"}, {true, "no such store"}, {false, "app"}};
    for (const auto& [started, name] : cases) {
        TakeLog();
        if (started) Authenticate_Init();
        CertStoreInterface* first = Authenticate_CertStoreGet(name);
        CertStoreInterface* second = Authenticate_CertStoreGet(name);
        ASSERT_NE(first, nullptr) << name;
        EXPECT_NE(first, second) << name << ": each caller gets a store of its own";
        EXPECT_NE(TakeLog().find(std::string("Unable to find certificate store (") + name + ")\n"),
                  std::string::npos)
            << name;
        EXPECT_EQ(Class_HasOneRef(first), 1);
        CertStoreInterface_Release(&first);
        CertStoreInterface_Release(&second);
        Authenticate_Remove();
    }
}

TEST_F(AuthenticateTest, ValidateRefusesWhileSignaturesCannotBeVerified) {
    ASSERT_EQ(Authenticate_Init(), 1);
    CertStoreInterface* app = Authenticate_CertStoreGet("app");
    EXPECT_EQ(Authenticate_Validate(app, "/bin/sh"), 0) << "checking on: never taken on trust";
    std::string log = TakeLog();
    EXPECT_NE(log.find("Unable to verify the code signature of (/bin/sh): not supported on this platform"),
              std::string::npos);
    EXPECT_NE(log.find("Library validation failed (/bin/sh)\n"), std::string::npos);

    Authenticate_SetEnabled(0);
    EXPECT_EQ(Authenticate_Validate(app, "/no/such/file"), 1) << "checking off: the file is not even read";
    EXPECT_NE(TakeLog().find("Skipping library authentication (/no/such/file)\n"), std::string::npos);

    Authenticate_SetEnabled(1);
    Authenticate_EnabledOverride(AnswerZero);
    EXPECT_EQ(Authenticate_Validate(nullptr, "/bin/sh"), 1) << "the override switches checks off";
    CertStoreInterface_Release(&app);
}

} // namespace
