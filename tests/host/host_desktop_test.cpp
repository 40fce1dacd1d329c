// The real executable on a desktop of its own: Xvfb, a private session bus with a notification
// server and a keyring, xdotool as the user. A small page drives each native surface once and
// prints what it was answered; the test answers its boxes, reads the screen, the bus, the keyring
// and the files, and tells the page to go on by creating files it polls for.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/host/host_child.h"
#include "tests/core/linux/gui/desktop_peers.h"
#include "tests/support/scoped_env.h"

extern char** environ;

namespace {

constexpr int kWaitMs = 40000;
constexpr const char* kTitle = "Native surfaces";

// The page: each step prints "PAGE <what>" through the engine's debug print; a step that needs the
// test waits for a file named "go-<name>" in the test's folder.
constexpr const char kPage[] = R"(<html><body style="margin:0;background:#ffffff"><script>
var DIR = "@DIR@";
function crc32(t) { var c = -1; for (var i = 0; i < t.length; i++) { c ^= t.charCodeAt(i);
  for (var b = 0; b < 8; b++) c = (c >>> 1) ^ (0xedb88320 & -(c & 1)); } return (c ^ -1) | 0; }
function make(type) { return NativeInterop.createInstance(type, ""); }
function call(id, m, args) { var b = {method: m, methodHash: crc32(m)}; for (var k in args) b[k] = args[k];
  var r = NativeInterop.invoke(id, JSON.stringify(b)); try { return JSON.parse(r).returnValue; } catch (e) { return r; } }
var w = make("QVR.SkinWindow"), app = make("QVR.WorkflowApp"), fs = make("QVR.FileSystem"), pl = make("QVR.Platform");
// Native answers reach a page that has a notification centre of its own.
var nc = make("QVR.NotificationCenter");
function say(t) { call(app, "debugPrint", {message: "PAGE " + t + "\n"}); }
var callbacks = {}, next = 0;
function cb(fn) { var id = "cb-" + (next++); callbacks[id] = fn; return id; }
window.DispatchInteropCallback = function (messages) {
  try { if (typeof messages === "string") messages = JSON.parse(messages); } catch (e) { return; }
  if (!Array.isArray(messages)) messages = [messages];
  messages.forEach(function (m) {
    var fn = m && callbacks[m.callbackId];
    if (fn) { delete callbacks[m.callbackId]; fn(JSON.stringify(m.info)); }
  });
};
function go(name, then) {
  (function poll() { if (call(fs, "fileExists", {path: DIR + "go-" + name})) then(); else setTimeout(poll, 50); })();
}
var steps = [
  function (n) { call(w, "messageBox", {text: "Answer no", caption: "Question box", type: 12, callbackId:
      cb(function (m) { say("box " + m); n(); })}); },
  function (n) { call(w, "browseForFile", {text: "Pick a file", fileTypeDesc: "", fileTypeExt: "", startPath: DIR,
      startFile: "chosen.txt", callbackId: cb(function (m) { say("file " + m); n(); })}); },
  function (n) { call(w, "browseForFile", {text: "Pick a missing file", fileTypeDesc: "", fileTypeExt: "",
      startPath: DIR, startFile: "", callbackId: cb(function (m) { say("missing file " + m); go("folders", n); })}); },
  function (n) { call(w, "browseForFolder", {text: "Cancel a folder", startPath: DIR + "gone/",
      callbackId: cb(function (m) { say("cancelled folder " + m); n(); })}); },
  function (n) { call(w, "browseForFolder", {text: "Pick a folder", startPath: DIR + "made/",
      callbackId: cb(function (m) { say("folder " + m); n(); })}); },
  function (n) { say("notified " + call(w, "notify", {type: 0, caption: "First note", message: "one"}) + " " +
      call(w, "notify", {type: 0, caption: "Second note", message: "two"})); go("progress", n); },
  function (n) { say("progress 50 " + call(w, "setTaskbarProgress", {value: 50})); go("indeterminate", n); },
  function (n) { say("progress -1 " + call(w, "setTaskbarProgress", {value: -1})); go("hidden", n); },
  function (n) { say("progress -2 " + call(w, "setTaskbarProgress", {value: -2})); go("picture", n); },
  function (n) { say("saved " + call(w, "saveImage", {path: DIR + "window.png"})); n(); },
  function (n) { call(w, "maximize", {}); say("maximized " + call(w, "isMaximized", {})); go("restore", n); },
  function (n) { say("restored " + call(w, "restore", {}) + " " + call(w, "isMaximized", {})); go("credential", n); },
  function (n) { say("stored " + call(pl, "setCredential", {target: "desktop.test", username: "ann",
      password: "secret-1"})); n(); },
  function (n) { say("done"); call(w, "setCanClose", {canClose: true}); call(w, "close", {}); }
];
function run(i) { if (i < steps.length) setTimeout(function () { steps[i](function () { run(i + 1); }); }, 0); }
)";

struct Child {
    pid_t Pid = -1;
    int Out = -1;
    std::string Text;
    bool Lost = false; // a line did not come: the page is stuck, later waits end at once
};

Child Start(const std::vector<std::string>& args) {
    Child child;
    child.Pid = SpawnWithOutput(args, {}, &child.Out);
    return child;
}

// Reads until the output holds the marker; false when the wait ends first or the output does.
bool ReadUntil(Child& child, const std::string& marker, int waitMs = kWaitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (child.Text.find(marker) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        pollfd p = {child.Out, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buffer[4096];
        const ssize_t n = read(child.Out, buffer, sizeof(buffer));
        if (n <= 0) return child.Text.find(marker) != std::string::npos;
        child.Text.append(buffer, (size_t)n);
    }
    return true;
}

// The text of the page's line that starts with "PAGE <what>", up to its end.
std::string PageLine(Child& child, const std::string& what) {
    if (child.Lost || !ReadUntil(child, "PAGE " + what)) {
        if (!child.Lost) ADD_FAILURE() << "the page stopped before \"" << what << "\":\n" << child.Text;
        child.Lost = true;
        return "(no line PAGE " + what + ")";
    }
    const size_t at = child.Text.find("PAGE " + what);
    ReadUntil(child, "\n", 20000);
    const size_t end = child.Text.find('\n', at);
    return child.Text.substr(at + 5, end == std::string::npos ? std::string::npos : end - at - 5);
}

int Finish(Child& child, int waitMs = kWaitMs) {
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (std::chrono::steady_clock::now() < deadline) {
        ReadUntil(child, "\x01", 20);
        if (waitpid(child.Pid, &status, WNOHANG) == child.Pid) {
            close(child.Out);
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
    }
    kill(child.Pid, SIGKILL);
    waitpid(child.Pid, &status, 0);
    close(child.Out);
    return -1;
}

std::string Capture(const std::string& command) {
    std::string out;
    FILE* pipe = popen(("timeout 20 " + command + " 2>/dev/null").c_str(), "r");
    if (!pipe) return out;
    char buffer[512];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    return out;
}

// The X window that shows the given title, as xdotool finds it.
std::string FindWindow(const std::string& title) {
    std::string id = Capture("xdotool search --onlyvisible --name '^" + title + "$'");
    const size_t end = id.find('\n');
    return end == std::string::npos ? id : id.substr(0, end);
}

struct Geometry {
    int X = -1, Y = -1, Width = -1, Height = -1;
};

Geometry WindowGeometry(const std::string& title) {
    Geometry g;
    const std::string text = Capture("xdotool getwindowgeometry --shell " + FindWindow(title));
    sscanf(text.c_str(), "WINDOW=%*d X=%d Y=%d WIDTH=%d HEIGHT=%d", &g.X, &g.Y, &g.Width, &g.Height);
    return g;
}

// Types the keys into the window titled `title` once it is on screen, again while it stays open
// (a key can be lost while the window takes focus), for at most 30 s.
pid_t Answer(DesktopPeers& peers, const std::string& title, const std::string& keys) {
    const std::string find = "xdotool search --onlyvisible --name '^" + title + "$' | head -1";
    return peers.Background({"timeout", "30", "sh", "-c",
                             "for i in $(seq 80); do id=$(" + find + "); [ -n \"$id\" ] && break; sleep 0.25; done; "
                             "while [ -n \"$id\" ]; do xdotool windowfocus --sync $id sleep 0.3 " + keys +
                                 "; sleep 2; id=$(" + find + "); done"});
}

// The colours of one row of the screen, from x for width pixels, as 0xRRGGBB.
std::vector<uint32_t> ScreenRow(int x, int y, int width) {
    std::vector<uint32_t> row;
    GdkWindow* root = gdk_get_default_root_window();
    GdkPixbuf* shot = root ? gdk_pixbuf_get_from_window(root, x, y, width, 1) : nullptr;
    if (!shot) return row;
    const guchar* pixels = gdk_pixbuf_get_pixels(shot);
    const int channels = gdk_pixbuf_get_n_channels(shot);
    for (int i = 0; i < width; i++)
        row.push_back((uint32_t)pixels[i * channels] << 16 | (uint32_t)pixels[i * channels + 1] << 8 |
                      pixels[i * channels + 2]);
    g_object_unref(shot);
    return row;
}

// The colours of `height` rows from (x, y), row after row.
std::vector<uint32_t> ScreenRows(int x, int y, int width, int height) {
    std::vector<uint32_t> rows;
    for (int i = 0; i < height; i++) {
        const std::vector<uint32_t> row = ScreenRow(x, y + i, width);
        rows.insert(rows.end(), row.begin(), row.end());
    }
    return rows;
}

// The bar's blue, give or take what blending and rounding do to it.
bool IsBar(uint32_t c) {
    const int r = (int)(c >> 16), g = (int)(c >> 8 & 0xff), b = (int)(c & 0xff);
    return std::abs(r - 30) < 16 && std::abs(g - 104) < 16 && std::abs(b - 208) < 16;
}

struct BarShare {
    int Left = 0, Right = 0; // bar-coloured pixels in each half of the strip's middle row
};

BarShare ReadBar(const Geometry& window) {
    BarShare share;
    const int width = window.Width;
    const std::vector<uint32_t> row = ScreenRow(window.X, window.Y + window.Height - 8, width);
    for (int i = 0; i < (int)row.size(); i++) (i < width / 2 ? share.Left : share.Right) += IsBar(row[i]) ? 1 : 0;
    return share;
}

bool Eventually(const std::function<bool()>& done, int waitMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

// The replaces_id of each Notify call dbus-monitor saw (the first uint32 after the call).
std::vector<unsigned> NotifyReplaces(const std::string& text) {
    std::vector<unsigned> replaces;
    for (size_t at = 0; (at = text.find("member=Notify\n", at)) != std::string::npos;) {
        at = text.find("uint32 ", at);
        if (at == std::string::npos) break;
        replaces.push_back((unsigned)strtoul(text.c_str() + at + 7, nullptr, 10));
    }
    return replaces;
}

class HostDesktop : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(peers_.StartDisplay()) << "Xvfb did not come up";
        ASSERT_TRUE(peers_.StartBus()) << "no private session bus (dbus-daemon)";
        ASSERT_TRUE(peers_.StartKeyring("pw")) << "gnome-keyring-daemon did not come up";
        ASSERT_TRUE(peers_.StartNotifications()) << "notification-daemon did not come up";
        ASSERT_TRUE(peers_.StartMonitor(peers_.Dir().file("bus.log"),
                                        "interface='org.freedesktop.Notifications'"))
            << "dbus-monitor did not come up";
        ASSERT_TRUE(gdk_init_check(nullptr, nullptr)) << "GDK could not open " << getenv("DISPLAY");
        SetBothEnv("XDG_STATE_HOME", peers_.Dir().file("state").c_str());
        dir_ = peers_.Dir().file("work/");
        skin_ = peers_.Dir().file("skin");
        mkdir(dir_.c_str(), 0700);
        mkdir(skin_.c_str(), 0700);
        WriteText(skin_ + "/app.yaml", "name: \"host-desktop-" + std::to_string(getpid()) + "\"\n");
        WriteText(skin_ + "/main.json",
                  "{\"url\": \"{contentUrl}index.html\", \"width\": 400, \"height\": 300, \"x\": 100, \"y\": 100}\n");
        WritePage("run(0);");
        WriteText(dir_ + "chosen.txt", "x");
    }

    // The page placed and shown, then the given script.
    void WritePage(const std::string& then) {
        std::string page = kPage;
        page.replace(page.find("@DIR@"), 5, dir_);
        page += std::string("call(w, \"setTitle\", {title: \"") + kTitle + "\"});\n" +
                "call(w, \"setMinSize\", {width: 400, height: 300}); call(w, \"setSize\", {width: 400, height: 300});\n"
                "call(w, \"setOrigin\", {x: 100, y: 100}); call(w, \"loaded\", {}); call(w, \"show\", {});\n"
                "say(\"shown\"); " + then + "\n</script></body></html>\n";
        WriteText(skin_ + "/index.html", page);
    }

    void Go(const std::string& name) { WriteText(dir_ + "go-" + name, ""); }

    DesktopPeers peers_;
    std::string dir_, skin_;
};

TEST_F(HostDesktop, APageDrivesEveryNativeSurfaceOfTheRealExecutable) {
    Child host = Start({HOST_PROGRAM, "--skin=" + skin_, "--window"});
    ASSERT_GT(host.Pid, 0);
    ASSERT_TRUE(ReadUntil(host, "PAGE shown")) << host.Text;
    ASSERT_TRUE(Eventually([] { return !FindWindow(kTitle).empty(); })) << "the window is not on screen";

    // Type word 12 is Yes and No; No answers the page's bit 8.
    pid_t typist = Answer(peers_, "Question box", "key alt+n");
    const std::string box = PageLine(host, "box ");
    peers_.Finish(typist);
    EXPECT_NE(box.find("\"successful\":true"), std::string::npos) << box;
    EXPECT_NE(box.find("\"result\":8"), std::string::npos) << box;

    // The chooser starts in the page's folder with its file selected, and Return takes it: the answer
    // is the directory and the name. (Typing a path instead races the toolkit's completion of it
    // on a loaded machine, which can eat the last letter typed.)
    typist = Answer(peers_, "Pick a file", "key Return");
    const std::string file = PageLine(host, "file ");
    peers_.Finish(typist);
    EXPECT_NE(file.find("\"path\":\"" + dir_ + "chosen.txt\""), std::string::npos) << file;
    EXPECT_NE(file.find("\"successful\":true"), std::string::npos) << file;

    // A typed name that does not exist is refused: the chooser stays open and says so, and Escape
    // (twice: the first leaves the location field) then cancels it, which the page hears as not
    // chosen. The keys are typed again while it stays open, so a key lost to the field's
    // completion only costs a round; the page goes on once the typist is gone.
    typist = Answer(peers_, "Pick a missing file",
                    "key ctrl+l sleep 0.3 key ctrl+a type --delay 20 'nosuch.txt'; sleep 0.5; xdotool key Return; "
                    "sleep 1; xdotool key Escape; sleep 0.5; xdotool key Escape");
    const std::string missing = PageLine(host, "missing file ");
    peers_.Finish(typist);
    EXPECT_NE(missing.find("\"successful\":false"), std::string::npos) << missing;
    EXPECT_EQ(missing.find("nosuch"), std::string::npos) << missing;
    Go("folders");

    // The folder chooser makes a missing start folder, removes it on cancel, keeps it when chosen.
    typist = Answer(peers_, "Cancel a folder", "key Escape");
    const std::string cancelled = PageLine(host, "cancelled folder ");
    peers_.Finish(typist);
    EXPECT_NE(cancelled.find("\"successful\":false"), std::string::npos) << cancelled;
    EXPECT_FALSE(FileExists(dir_ + "gone"));
    typist = Answer(peers_, "Pick a folder", "key Return");
    const std::string folder = PageLine(host, "folder ");
    peers_.Finish(typist);
    EXPECT_NE(folder.find("\"path\":\"" + dir_ + "made/\""), std::string::npos) << folder;
    EXPECT_TRUE(FileExists(dir_ + "made"));

    // Two notifications of one window: one on the bus, the second replacing the first.
    EXPECT_EQ(PageLine(host, "notified "), "notified true true");
    std::vector<unsigned> replaces;
    EXPECT_TRUE(Eventually([&] { return (replaces = NotifyReplaces(ReadFile(peers_.Dir().file("bus.log")))).size() >= 2; }))
        << ReadFile(peers_.Dir().file("bus.log"));
    ASSERT_EQ(replaces.size(), 2u) << ReadFile(peers_.Dir().file("bus.log"));
    EXPECT_EQ(replaces[0], 0u) << "the first one is new";
    EXPECT_NE(replaces[1], 0u) << "the second one replaces it";

    // The application's bar along the window's bottom edge, read off the screen; the window's
    // bottom rows are taken before it shows, to be found again once it is hidden.
    Geometry window;
    ASSERT_TRUE(Eventually([&] {
        window = WindowGeometry(kTitle);
        return window.Width == 400 && window.Height == 300 && window.X == 100 && window.Y == 100;
    }))
        << "the window is not where the page put it: " << window.X << "," << window.Y << " " << window.Width << "x"
        << window.Height;
    const std::vector<uint32_t> bottomBefore = ScreenRows(window.X, window.Y + window.Height - 32, window.Width, 32);
    ASSERT_EQ(bottomBefore.size(), 32u * 400u);
    Go("progress");
    EXPECT_EQ(PageLine(host, "progress 50 "), "progress 50 true");
    BarShare bar;
    EXPECT_TRUE(Eventually([&] {
        bar = ReadBar(window);
        return bar.Left > 150 && bar.Right < 10;
    })) << "50 %: " << bar.Left << " / " << bar.Right;
    Go("indeterminate");
    EXPECT_EQ(PageLine(host, "progress -1 "), "progress -1 true");
    // Slanted blocks fill about half of every part of the strip.
    EXPECT_TRUE(Eventually([&] {
        bar = ReadBar(window);
        return bar.Left > 40 && bar.Right > 40 && bar.Right < 160;
    })) << "indeterminate: " << bar.Left << " / " << bar.Right;
    Go("hidden");
    EXPECT_EQ(PageLine(host, "progress -2 "), "progress -2 true");
    EXPECT_TRUE(Eventually([&] {
        bar = ReadBar(window);
        return bar.Left == 0 && bar.Right == 0;
    })) << "hidden: " << bar.Left << " / " << bar.Right;
    // Shown and hidden, the bar leaves the window as it was: its size, and its bottom rows.
    Geometry after;
    EXPECT_TRUE(Eventually([&] {
        after = WindowGeometry(kTitle);
        return after.Width == window.Width && after.Height == window.Height &&
               ScreenRows(window.X, window.Y + window.Height - 32, window.Width, 32) == bottomBefore;
    })) << "after the bar: " << after.Width << "x" << after.Height << ", was " << window.Width << "x" << window.Height;
    Go("picture");

    // The window's picture as a PNG of its content size.
    EXPECT_EQ(PageLine(host, "saved "), "saved true");
    const std::string png = ReadFile(dir_ + "window.png");
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
    const auto be32 = [&](size_t at) {
        return (uint32_t)(uint8_t)png[at] << 24 | (uint32_t)(uint8_t)png[at + 1] << 16 |
               (uint32_t)(uint8_t)png[at + 2] << 8 | (uint8_t)png[at + 3];
    };
    EXPECT_EQ(be32(16), 400u);
    EXPECT_EQ(be32(20), 300u);

    // Maximised to the whole screen (800 x 600, no panels), then restored.
    EXPECT_EQ(PageLine(host, "maximized "), "maximized true");
    EXPECT_TRUE(Eventually([&] {
        const Geometry g = WindowGeometry(kTitle);
        return g.Width == 800 && g.Height == 600;
    })) << "not maximised on screen";
    Go("restore");
    EXPECT_EQ(PageLine(host, "restored "), "restored true false");
    EXPECT_TRUE(Eventually([&] {
        const Geometry g = WindowGeometry(kTitle);
        return g.Width == 400 && g.Height == 300 && g.X == 100 && g.Y == 100;
    })) << "not restored on screen";
    Go("credential");

    // A credential stored through the Secret Service, as secret-tool finds it.
    EXPECT_EQ(PageLine(host, "stored "), "stored true");
    EXPECT_EQ(Capture("secret-tool lookup target desktop.test"), "secret-1");

    ASSERT_FALSE(host.Lost) << host.Text;
    ASSERT_TRUE(ReadUntil(host, "PAGE done")) << host.Text;
    EXPECT_EQ(Finish(host), 0) << host.Text;
}

// A second start shows the host's single-instance box. Nobody answering it does not keep the
// process: SIGTERM closes it as a person would; without a display its text goes to standard error.
TEST_F(HostDesktop, AHostBoxGivesWayToSigtermAndWithoutADisplayToStandardError) {
    WritePage("call(w, \"setCanClose\", {canClose: true});");
    Child first = Start({HOST_PROGRAM, "--skin=" + skin_, "--window"});
    ASSERT_TRUE(ReadUntil(first, "PAGE shown")) << first.Text;

    Child second = Start({HOST_PROGRAM, "--skin=" + skin_, "--window"});
    ASSERT_TRUE(Eventually([] { return !FindWindow("Host").empty(); }, 30000)) << "no box from the second start";
    kill(second.Pid, SIGTERM);
    EXPECT_NE(Finish(second, 15000), -1) << "still waiting on its box" << second.Text;

    const std::string display = getenv("DISPLAY");
    unsetenv("DISPLAY");
    Child headless = Start({HOST_PROGRAM, "--skin=" + skin_, "--window"});
    setenv("DISPLAY", display.c_str(), 1);
    EXPECT_NE(Finish(headless, 20000), -1) << headless.Text;
    EXPECT_NE(headless.Text.find("\nHost: Host_SingleInstance\n"), std::string::npos) << headless.Text;

    kill(first.Pid, SIGTERM);
    EXPECT_EQ(Finish(first), 0) << first.Text;
}

} // namespace
