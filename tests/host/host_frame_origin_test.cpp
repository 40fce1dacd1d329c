// The real executable's page object in a frame of another origin on the same loopback address: a
// frame served from 127.0.0.1 on another port than the skin's content server may not call.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/host/host_child.h"
#include "tests/host/page_responder.h"
#include "tests/skin/gtk_display.h"

namespace {

// The skin's page calls (its own calls work), then shows a frame of the other port, which tries to
// create an instance and reports what it got to its own server.
constexpr const char kPage[] = R"(<html><body><script>
function crc32(t) { var c = -1; for (var i = 0; i < t.length; i++) { c ^= t.charCodeAt(i);
  for (var b = 0; b < 8; b++) c = (c >>> 1) ^ (0xedb88320 & -(c & 1)); } return (c ^ -1) | 0; }
var app = NativeInterop.createInstance("QVR.WorkflowApp", "");
var b = {method: "debugPrint", methodHash: crc32("debugPrint"), message: "PAGE top called\n"};
NativeInterop.invoke(app, JSON.stringify(b));
var other = document.createElement("iframe");
other.src = "@OTHER@";
document.body.appendChild(other);
</script></body></html>
)";

constexpr const char kOther[] = R"(<html><head><script>
var x = new XMLHttpRequest(); x.open('POST', '/report', false);
x.send('other=' + NativeInterop.createInstance('QVR.WorkflowApp', '') + ',' + NativeInterop.hasInstance('x'));
</script></head><body>other</body></html>
)";

bool Eventually(const std::function<bool()>& done, int waitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

TEST(HostFrameOrigin, AFrameOfAnotherPortOnTheLoopbackMayNotCall) {
    ASSERT_EQ(TestDisplayStart(), "");
    HostFolder folder;
    TempDir site;
    WriteText(site.file("other.html"), kOther);
    PageResponder peer(site.path());
    ASSERT_NE(peer.port(), 0) << "the loopback peer did not start";
    std::string page = kPage;
    page.replace(page.find("@OTHER@"), 7, peer.url("/other.html"));
    folder.Write("app.yaml", "name: \"host-frame-origin-" + std::to_string(getpid()) + "\"\n");
    folder.Write("main.json", "{\"url\": \"{contentUrl}index.html\", \"width\": 300, \"height\": 200}\n");
    folder.Write("index.html", page);
    std::vector<std::string> env = folder.Env();
    // Without a session bus the desktop settings would start one tied to this display.
    env.push_back("GSETTINGS_BACKEND=memory");
    int out = -1;
    const pid_t host = SpawnWithOutput({HOST_PROGRAM, "--skin=" + folder.Skin(), "--window"}, env, &out);
    ASSERT_GT(host, 0);
    std::string text;
    const bool reported = Eventually(
        [&] {
            char buffer[4096];
            pollfd p = {out, POLLIN, 0};
            ssize_t n = 0;
            while (poll(&p, 1, 0) > 0 && (p.revents & POLLIN) && (n = read(out, buffer, sizeof(buffer))) > 0)
                text.append(buffer, (size_t)n);
            return peer.log().find("report other=") != std::string::npos;
        },
        40000);
    kill(host, SIGTERM);
    int status = 0;
    waitpid(host, &status, 0);
    close(out);
    EXPECT_NE(text.find("PAGE top called"), std::string::npos) << text;
    ASSERT_TRUE(reported) << peer.log() << text;
    EXPECT_NE(peer.log().find("report other=undefined,false\n"), std::string::npos) << peer.log();
}

} // namespace
