// Tests of the web client's global state: name tables, settings with and without state, the
// error-report filter, X-Cache counters, the default trust store and the life cycle's aborts.
#include "core/web/web_get.h"

#include <gtest/gtest.h>

#include <string>

#include "core/certs/authenticate.h"
#include "core/certs/cert_store.h"
#include "core/linux/platform_facts.h"
#include "core/net/tls1_internal.h"
#include "core/runtime/class.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/notification_center.h"
#include "core/web/web_get_internal.h"
#include "tests/support/abort_hook.h"
#include "tests/support/web_get_env.h"

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new WebGetEnvironment);

TEST(WebGetNames, TranslationTables) {
    struct Row {
        int32_t Code;
        const char* Error;
        const char* Text;
    };
    const Row rows[] = {
        {0, "Unknown", "Unknown"},
        {900, "Custom", "Unknown"},
        {950, "Connect", "Unable to connect"},
        {957, "BlockedRedirect", "Blocked redirection"},
        {958, "Unknown", "Unknown"},
        {961, "Timeout", "Timeout on I/O"},
        {975, "InvalidOffset", "Invalid offset/length"},
        {988, "VCDiff", "Error deflating vcdiff content"},
        {989, "Storage", "Storage"},
        {990, "Unknown", "Request incomplete"},
        {991, "Unknown", "Retry"},
        {993, "Unknown", "YAML error"},
        {994, "Unknown", "Unknown"},
        {200, "Unknown", "OK"},
        {404, "Unknown", "Object not found"},
        {414, "Unknown", "Request-URI too long"},
        {505, "Unknown", "HTTP version not supported"},
        {-1, "Unknown", "Unknown"},
    };
    for (const Row& r : rows) {
        EXPECT_STREQ(WebGet_TranslateError(r.Code), r.Error) << r.Code;
        EXPECT_STREQ(WebGet_TranslateHTTPCode(r.Code), r.Text) << r.Code;
    }
    const std::pair<int32_t, const char*> types[] = {{0, "Unknown"}, {1, "Get"}, {5, "Head"},
                                                     {8, "Connect"}, {9, "Unknown"}};
    for (const auto& [type, name] : types) EXPECT_STREQ(WebGet_TranslateRequestType(type), name) << type;
    const std::pair<int32_t, const char*> phases[] = {{0, "Idle"}, {1, "Idle"}, {3, "LookupNextProxy"},
                                                      {9, "ClientCertificateRequest"}, {14, "Done"}, {15, "Idle"}};
    for (const auto& [phase, name] : phases) EXPECT_STREQ(WebGet_TranslatePhase(phase), name) << phase;
}

TEST(WebGetNames, AuthenticationFlagString) {
    const std::pair<uint32_t, const char*> rows[] = {
        {0, ""},
        {0x2000 | 0x8000, "Basic, NTLM"},
        {0x1000 | 0x2000, ", Basic"},
        {0x1e000 | 0x1, "Basic, Digest, NTLM, Negotiate"},
    };
    char buffer[64];
    for (const auto& [bits, text] : rows) {
        EXPECT_EQ(WebGet_GetAuthenticationFlagString(bits, buffer, sizeof(buffer)), 1);
        EXPECT_STREQ(buffer, text) << bits;
    }
    WebGet_GetAuthenticationFlagString(0x1e000, buffer, 8);
    EXPECT_STREQ(buffer, "Basic, ");
}

TEST(WebGetNoState, FixedAnswers) {
    int32_t seconds = 0;
    uint32_t flag = 7;
    const uint32_t address = 0x0a000001;
    EXPECT_EQ(WebGet_GetDefaultTimeout(&seconds), 1);
    EXPECT_EQ(seconds, 15);
    WebGet_GetAllowAuthentication(&flag);
    EXPECT_EQ(flag, 0u);
    EXPECT_EQ(WebGet_ErrorFilter(&address, 443), 0);
    EXPECT_EQ(WebGet_CertStoreSetDefaultHandle(nullptr), 0);
}

TEST_F(WebGetTest, SettingsReadBack) {
    const std::pair<int32_t, int32_t> timeouts[] = {{0, 15}, {-5, 15}, {1, 1}, {30, 30}};
    for (const auto& [set, read] : timeouts) {
        int32_t seconds = 0;
        WebGet_SetDefaultTimeout(set);
        WebGet_GetDefaultTimeout(&seconds);
        EXPECT_EQ(seconds, read) << set;
    }
    uint32_t flag = 0;
    WebGet_GetAllowAuthentication(&flag);
    EXPECT_EQ(flag, 1u);
    WebGet_SetAllowAuthentication(0);
    WebGet_GetAllowAuthentication(&flag);
    EXPECT_EQ(flag, 0u);
}

TEST_F(WebGetTest, UserAgentCarriesTheExpandedSystemAgent) {
    char system[WEBGET_AGENT_SIZE];
    char user[WEBGET_AGENT_SIZE];
    char name[256];
    WebGet_GetSystemAgent(system, sizeof(system));
    WebGet_GetUserAgent(user, sizeof(user));
    ASSERT_EQ(Platform_GetName(name, sizeof(name)), 1);
    EXPECT_EQ(std::string(user), "Mozilla/4.0 " + std::string(system));
    EXPECT_EQ(std::string(system).rfind(std::string("(compatible; ") + name + " ", 0), 0u) << system;
    EXPECT_EQ(std::string(user).find_first_of("{}"), std::string::npos) << user;
    EXPECT_EQ(system[strlen(system) - 1], ')');

    const std::string longAgent(400, 'a');
    WebGet_SetUserAgent(longAgent.c_str());
    WebGet_GetUserAgent(user, sizeof(user));
    EXPECT_EQ(std::string(user), longAgent.substr(0, 319));
}

TEST_F(WebGetTest, ErrorFilterReportsOncePerEndpointPerHour) {
    const uint32_t host = 0x0a000001; // 10.0.0.1
    const uint32_t other = 0x0a000002;
    struct Step {
        const uint32_t* Address;
        uint32_t Port;
        double At;
        int64_t Reported;
    };
    const Step steps[] = {
        {&host, 443, 1000, 1},  {&host, 443, 1060, 0},  {&host, 80, 1120, 1},   {&other, 443, 1130, 1},
        {&host, 443, 3999, 0},  {&host, 443, 4600, 1},  {&host, 443, 4601, 0},  {&host, 80, 4720, 1},
    };
    for (const Step& s : steps)
        EXPECT_EQ(WebGet_ErrorFilterAt(s.Address, s.Port, s.At), s.Reported) << s.Port << " at " << s.At;
    EXPECT_EQ(WebGet_ErrorFilter(&other, 8080), 1);
    EXPECT_EQ(WebGet_ErrorFilter(&other, 8080), 0);
}

TEST_F(WebGetTest, XCacheCountsPerHostServerAndVerdict) {
    for (const char* track : {"cdn/edge1/HIT", "cdn/edge1/HIT", "cdn/edge1/MISS", "cdn/edge2/HIT"}) {
        const std::string t(track);
        WebGet_XCacheTrack(t.substr(0, 3).c_str(), t.substr(4, 5).c_str(), t.substr(10).c_str());
    }
    Dictionary* tree = nullptr;
    ASSERT_EQ(WebGet_XCacheLockDictionaryHandle(&tree), 1);
    const std::pair<const char*, int32_t> counts[] = {{"cdn.edge1.HIT", 2}, {"cdn.edge1.MISS", 1}, {"cdn.edge2.HIT", 1}};
    for (const auto& [path, count] : counts) {
        int32_t value = 0;
        EXPECT_EQ(Dictionary_GetInt32ByPath(tree, path, &value), 1) << path;
        EXPECT_EQ(value, count) << path;
    }
    ASSERT_EQ(WebGet_XCacheUnlockDictionaryHandle(&tree), 1);
    EXPECT_EQ(tree, nullptr);
}

TEST_F(WebGetTest, DefaultStoreIsHeldAndDropped) {
    CertStoreInterface* app = Authenticate_CertStoreGet("app");
    CertStoreInterface* null = Authenticate_CertStoreGet("null");
    CertStoreInterface* got = WebGet_CertStoreGetDefaultHandle();
    EXPECT_EQ(got, app);
    CertStoreInterface_Release(&got);

    EXPECT_EQ(WebGet_CertStoreSetDefaultHandle(null), 1);
    got = WebGet_CertStoreGetDefaultHandle();
    EXPECT_EQ(got, null);
    CertStoreInterface_Release(&got);
    // A new connection holds a reference of its own to the default store.
    TLS1* tls = nullptr;
    TLS1_Create(&tls);
    EXPECT_EQ(tls->CertStore, null);
    TLS1_Release(&tls);

    // With no store held connections still verify against the "app" store, never against nothing.
    EXPECT_EQ(WebGet_CertStoreSetDefaultHandle(nullptr), 1);
    got = WebGet_CertStoreGetDefaultHandle();
    EXPECT_EQ(got, app);
    CertStoreInterface_Release(&got);
    WebGet_Remove();
    Authenticate_Remove();
    // Only our own references are left: the state let go of its ones.
    EXPECT_EQ(Class_HasOneRef(null), 1);
    EXPECT_EQ(Class_HasOneRef(app), 1);
    CertStoreInterface_Release(&null);
    CertStoreInterface_Release(&app);
}

TEST_F(WebGetTest, LifeCycleAborts) {
    InstallTestAbortHook();
    EXPECT_DEATH(WebGet_Init(), AbortRegex("Assertion failed (GlobalWebGet == NULL)\nWebGet already initialized"));
    WebGet_Remove();
    EXPECT_DEATH(WebGet_Remove(), AbortRegex("Pointer is NULL\n"));
    Debug_AbortOverride(nullptr);
}

} // namespace
