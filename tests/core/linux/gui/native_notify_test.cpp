// Notifications sent to a real notification server on a private bus, read back from dbus-monitor:
// one per id (an update replaces it), withdrawal, bounded texts, and no server at all.
#include "core/linux/gui/native_notify.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/core/linux/gui/desktop_peers.h"

namespace {

DesktopPeers* g_peers = nullptr;

class Notify : public ::testing::Test {
  public:
    static void SetUpTestSuite() {
        g_peers = new DesktopPeers;
        g_ready = g_peers->StartBus() && g_peers->StartDisplay();
    }
    static void TearDownTestSuite() {
        NativeNotify_RemoveAll();
        delete g_peers;
    }
    void SetUp() override { ASSERT_TRUE(g_ready) << "no private bus or display for the notification server"; }
    static inline bool g_ready = false;
};

struct Call {
    std::string member;
    uint32_t replaces = 0;
    std::string summary, body;
};

// The notification server's method calls as dbus-monitor printed them.
std::vector<Call> Calls(const std::string& file) {
    const std::string text = ReadFile(file);
    std::vector<Call> calls;
    for (size_t at = text.find("member="); at != std::string::npos; at = text.find("member=", at + 1)) {
        Call call;
        call.member = text.substr(at + 7, text.find('\n', at) - at - 7);
        if (call.member == "Notify") {
            std::vector<std::string> strings;
            size_t p = text.find('\n', at);
            const size_t end = text.find("\nmethod ", p) == std::string::npos ? text.size() : text.find("\nmethod ", p);
            for (size_t s = text.find("   string \"", p); s < end && strings.size() < 5;
                 s = text.find("   string \"", s + 1)) {
                const size_t open = s + 11;
                strings.push_back(text.substr(open, text.find("\"\n", open) - open));
            }
            const size_t u = text.find("   uint32 ", p);
            if (u < end) call.replaces = (uint32_t)std::stoul(text.substr(u + 10));
            if (strings.size() >= 4) call.summary = strings[2], call.body = strings[3];
        }
        if (call.member == "Notify" || call.member == "CloseNotification") calls.push_back(call);
    }
    return calls;
}

} // namespace

TEST_F(Notify, WithoutAServerNothingIsShownAndNothingWaits) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(NativeNotify_Update(nullptr, 1, nullptr, 0, "t", "m"), 0);
    EXPECT_EQ(NativeNotify_Remove(nullptr, 1), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST_F(Notify, OnePerIdReplacedAndWithdrawn) {
    ASSERT_TRUE(g_peers->StartNotifications()) << "notification-daemon did not come up";
    const std::string log = g_peers->Dir().file("monitor.txt");
    ASSERT_TRUE(g_peers->StartMonitor(log, "interface='org.freedesktop.Notifications',type='method_call'"));
    EXPECT_EQ(NativeNotify_Update(nullptr, 7, nullptr, 1, "Disk &#65;", "almost full"), 1);
    EXPECT_EQ(NativeNotify_Update(nullptr, 7, nullptr, 0, "Done", "a < b &#38; c"), 1);
    EXPECT_EQ(NativeNotify_Update(nullptr, 8, nullptr, 2, "Broken", std::string(100000, 'x').c_str()), 1);
    EXPECT_EQ(NativeNotify_Remove(nullptr, 7), 1);
    EXPECT_EQ(NativeNotify_Remove(nullptr, 7), 0);
    std::vector<Call> calls;
    StepUntil([&] { return calls.size() >= 4; },
              [&] {
                  std::this_thread::sleep_for(std::chrono::milliseconds(100));
                  calls = Calls(log);
              });
    ASSERT_EQ(calls.size(), 4u) << ReadFile(log);
    EXPECT_EQ(calls[0].summary, "Warning");
    EXPECT_EQ(calls[0].body, "Disk A\nalmost full");
    EXPECT_EQ(calls[0].replaces, 0u);
    EXPECT_EQ(calls[1].summary, "Done");
    EXPECT_EQ(calls[1].body, "a &lt; b &amp; c") << "shown as it is by a server that reads markup";
    EXPECT_NE(calls[1].replaces, 0u) << "the second update replaces the first";
    EXPECT_EQ(calls[2].summary, "Error");
    EXPECT_EQ(calls[2].replaces, 0u);
    EXPECT_EQ(calls[2].body.rfind("Broken\nxxx", 0), 0u);
    EXPECT_LE(calls[2].body.size(), 7u + NATIVENOTIFY_TEXT_SIZE);
    EXPECT_EQ(calls[3].member, "CloseNotification");
}
