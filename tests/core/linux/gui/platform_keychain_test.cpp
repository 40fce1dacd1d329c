// Credentials in a real Secret Service (gnome-keyring on a private bus), cross-checked with
// secret-tool; a locked, aliasless or absent store answers no at once.
#include "core/linux/gui/platform_keychain.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "core/runtime/dictionary.h"
#include "tests/core/linux/gui/desktop_peers.h"
#include "tests/support/abort_hook.h"

namespace {

DesktopPeers* g_peers = nullptr;

class Keychain : public ::testing::Test {
  public:
    static void SetUpTestSuite() {
        g_peers = new DesktopPeers;
        if (!g_peers->StartBus()) g_failed = "no private session bus (dbus-daemon)";
        else if (!g_peers->StartKeyring("pw")) g_failed = "gnome-keyring-daemon did not come up";
    }
    static void TearDownTestSuite() { delete g_peers; }
    void SetUp() override { ASSERT_EQ(g_failed, nullptr) << g_failed; }
    static inline const char* g_failed = nullptr;
};

std::string Tool(const std::string& arguments) {
    const std::string out = g_peers->Dir().file("tool.out");
    g_peers->Run({"sh", "-c", "secret-tool " + arguments + " > " + out + " 2>&1"});
    return ReadFile(out);
}

int CountItems(const std::string& attributes) {
    const std::string text = Tool("search --all " + attributes);
    int count = 0;
    for (size_t at = text.find("\nlabel = "); at != std::string::npos; at = text.find("\nlabel = ", at + 1)) count++;
    return count + (text.rfind("label = ", 0) == 0 ? 1 : 0);
}

void CallSecrets(const char* method, GVariant* arguments) {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.secrets", "/org/freedesktop/secrets",
                                                  "org.freedesktop.Secret.Service", method, arguments, nullptr,
                                                  G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    EXPECT_NE(reply, nullptr) << method;
    if (reply) g_variant_unref(reply);
    g_object_unref(bus);
}

const char* kLogin = "/org/freedesktop/secrets/collection/login";

struct Got {
    int64_t ok;
    std::string user, password;
};

Got Get(const char* target, int32_t passwordSize = 64) {
    char user[64] = "x", password[64] = "x";
    const int64_t ok = Platform_GetCredential(target, user, sizeof user, password, passwordSize);
    return {ok, user, password};
}

Got GetWeb(uint32_t type, const char* server, const char* realm, int32_t passwordSize = 64) {
    char user[64] = "x", password[64] = "x";
    const int64_t ok = Platform_GetWebCredential(type, server, realm, user, sizeof user, password, passwordSize);
    return {ok, user, password};
}

} // namespace

TEST_F(Keychain, GenericCredentialIsReplacedAndRemoved) {
    EXPECT_EQ(Platform_SetCredential("app.target", "ann", "first"), 1);
    EXPECT_EQ(Platform_SetCredential("app.target", "bob", "second"), 1);
    EXPECT_EQ(CountItems("target app.target"), 1);
    EXPECT_EQ(Tool("lookup target app.target"), "second");
    const Got got = Get("app.target");
    EXPECT_EQ(got.ok, 1);
    EXPECT_EQ(got.user, "bob");
    EXPECT_EQ(got.password, "second");
    // Cut to size - 1 bytes and terminated.
    EXPECT_EQ(Get("app.target", 4).password, "sec");
    EXPECT_EQ(Platform_SetCredential("app.target", nullptr, nullptr), 1);
    EXPECT_EQ(CountItems("target app.target"), 0);
    EXPECT_EQ(Platform_SetCredential("app.target", nullptr, nullptr), 0);
    const Got none = Get("app.target");
    EXPECT_EQ(none.ok, 0);
    EXPECT_EQ(none.user + none.password, "");
    // One of the two alone is neither a store nor a removal.
    EXPECT_EQ(Platform_SetCredential("app.target", "ann", nullptr), 0);
    char user[4], password[4];
    EXPECT_EQ(Platform_GetCredential("app.target", user, 0, password, sizeof password), 0);
}

TEST_F(Keychain, WebCredentialKeys) {
    const struct {
        uint32_t type;
        const char* server;
        const char* attributes; // as secret-tool finds the stored item
    } cases[] = {
        {2, "example.org:8080", "protocol http server example.org port 8080"},
        {3, "example.org", "protocol https server example.org port 80"},
        {5, "[::1]:8080", "protocol https-proxy server ::1 port 8080"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Platform_SetWebCredential(c.type, c.server, "realm", "ann", "pw-1"), 1) << c.server;
        EXPECT_EQ(Tool(std::string("lookup ") + c.attributes + " realm realm"), "pw-1") << c.server;
        const Got got = GetWeb(c.type, c.server, "realm");
        EXPECT_EQ(got.ok, 1);
        EXPECT_EQ(got.user, "ann");
        EXPECT_EQ(GetWeb(c.type, c.server, "realm", 3).password, "pw") << c.server;
        EXPECT_EQ(GetWeb(c.type, c.server, nullptr).ok, 1) << "any realm";
        EXPECT_EQ(GetWeb(c.type, c.server, "other").ok, 0);
    }
    // A server text naming no host stores nothing.
    EXPECT_EQ(Platform_SetWebCredential(2, "example.org:http", nullptr, "ann", "pw"), 0);
    EXPECT_EQ(CountItems("server example.org port 0"), 0);
}

TEST_F(Keychain, WebCredentialStoreLeavesOneAndBothProtocols) {
    EXPECT_EQ(Platform_SetWebCredential(0, "both.example", "r", "ann", "one"), 1);
    EXPECT_EQ(CountItems("server both.example protocol http"), 1);
    EXPECT_EQ(CountItems("server both.example protocol https"), 1);
    EXPECT_EQ(Platform_SetWebCredential(2, "both.example", "r", "bob", "two"), 1);
    EXPECT_EQ(CountItems("server both.example protocol http"), 1);
    Dictionary* found = nullptr;
    ASSERT_EQ(Platform_FindWebCredential(2, "both.example", "r", &found), 1);
    char text[64];
    Dictionary_GetStringByKey(found, "acct", text, sizeof text);
    EXPECT_STREQ(text, "bob");
    Dictionary_GetStringByKey(found, "v_Data", text, sizeof text);
    EXPECT_STREQ(text, "two");
    Dictionary_Release(&found);
    // Removal takes the first match of that protocol only; a missing one answers false.
    EXPECT_EQ(Platform_SetWebCredential(2, "both.example", "r", nullptr, nullptr), 1);
    EXPECT_EQ(Platform_SetWebCredential(2, "both.example", "r", nullptr, nullptr), 0);
    EXPECT_EQ(CountItems("server both.example protocol https"), 1);
    EXPECT_EQ(Platform_FindWebCredential(2, "both.example", "r", &found), 0);
    EXPECT_EQ(found, nullptr);
}

TEST_F(Keychain, FailedStoreKeepsTheOldCredential) {
    ASSERT_EQ(Platform_SetWebCredential(3, "keep.example", "r", "ann", "old"), 1);
    // The new item cannot be stored where new items go (a locked collection), while the old one
    // could still be removed where it is.
    const std::string other = g_peers->CreateCollection("other", "pw2");
    ASSERT_FALSE(other.empty());
    CallSecrets("SetAlias", g_variant_new("(so)", "default", other.c_str()));
    const char* otherPath = other.c_str();
    CallSecrets("Lock", g_variant_new("(@ao)", g_variant_new_objv(&otherPath, 1)));
    EXPECT_EQ(Platform_SetWebCredential(3, "keep.example", "r", "bob", "new"), 0);
    CallSecrets("SetAlias", g_variant_new("(so)", "default", kLogin));
    const Got got = GetWeb(3, "keep.example", "r");
    EXPECT_EQ(got.ok, 1);
    EXPECT_EQ(got.user + ":" + got.password, "ann:old");
}

TEST_F(Keychain, LockedStoreAnswersAtOnce) {
    ASSERT_EQ(Platform_SetCredential("locked.target", "ann", "pw"), 1);
    CallSecrets("Lock", g_variant_new("(@ao)", g_variant_new_objv(&kLogin, 1)));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Get("locked.target").ok, 0);
    EXPECT_EQ(Platform_SetCredential("locked.target", "bob", "pw2"), 0);
    EXPECT_EQ(Platform_SetWebCredential(2, "locked.example", nullptr, "bob", "pw2"), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    ASSERT_TRUE(g_peers->UnlockKeyring("pw"));
    EXPECT_EQ(Get("locked.target").user, "ann");
}

TEST(KeychainDeathTest, AbsentStoreAndInvalidType) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
            const bool no = Get("t").ok == 0 && Platform_SetCredential("t", "u", "p") == 0 &&
                            GetWeb(0, "h", nullptr).ok == 0;
            exit(no ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    InstallTestAbortHook();
    char user[8], password[8];
    EXPECT_DEATH(Platform_GetWebCredential(6, "h", nullptr, user, 8, password, 8),
                 AbortRegex("Assertion failed (FALSE)\nPlatform_GetWebCredential: Invalid Type parameter"));
}
