// The real executable under Xvfb, attacked as a page of another site would attack it: only the
// skin's own pages (and the frames they make: srcdoc, a blob of theirs, a redirect back to a skin
// file) reach native objects. A framed page of another origin gets nothing from the page object,
// the digest scheme or a blind no-cors POST to the skin web server; an outside page the skin's
// "main.json" names gets nothing either; bodies past the bound are refused.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "skin/script_invoker.h"
#include "tests/core/linux/gui/desktop_peers.h"
#include "tests/host/host_child.h"
#include "tests/host/page_responder.h"

namespace {

constexpr int kWaitMs = 60000;

// What both kinds of page need: the method hash, a call, a line on the host's output.
constexpr const char kHelpers[] = R"(
function crc32(t) { var c = -1; for (var i = 0; i < t.length; i++) { c ^= t.charCodeAt(i);
  for (var b = 0; b < 8; b++) c = (c >>> 1) ^ (0xedb88320 & -(c & 1)); } return (c ^ -1) | 0; }
function binding(m, args) { var b = {method: m, methodHash: crc32(m)}; for (var k in args) b[k] = args[k];
  return JSON.stringify(b); }
function post(url, body, type) { var x = new XMLHttpRequest(); try { x.open('POST', url, false);
  if (type) x.setRequestHeader('Content-Type', type); x.send(body); } catch (e) { return 'error'; }
  return String(x.status); }
)";

// The skin's page: it makes "fsapp" as in the attack, frames its own pages and the attacker's,
// then tries the bounds, and prints what each said.
constexpr const char kSkinPage[] = R"(<html><body><script>@HELPERS@
var N = NativeInterop, app = N.createInstance('QVR.WorkflowApp', ''), w = N.createInstance('QVR.SkinWindow', '');
function say(t) { N.invoke(app, binding('debugPrint', {message: 'PAGE ' + t + '\n'})); }
say('fsapp ' + N.createInstance('QVR.FileSystem', 'fsapp'));
var waiting = 4;
window.addEventListener('message', function (e) {
  say(String(e.data));
  if (--waiting === 0) bounds();
});
function frame(attributes) {
  var f = document.createElement('iframe');
  for (var k in attributes) f[k] = attributes[k];
  document.body.appendChild(f);
}
var own = "var n = window.NativeInterop, id = n && n.createInstance('QVR.WorkflowApp', '');" +
  "parent.postMessage('own ' + KIND + ' ' + (typeof id === 'string' && id.length > 0) + ' ' + (n ? n.releaseInstance(id) : '-'), '*');";
frame({srcdoc: '<script>var KIND = "srcdoc";' + own + '</' + 'script>'});
frame({src: URL.createObjectURL(new Blob(['<script>var KIND = "blob";' + own + '</' + 'script>'], {type: 'text/html'}))});
frame({src: '@PEER@/redirect?to=' + encodeURIComponent(location.origin + '/own.html')});
frame({src: '@PEER@/evil.html'});
function bounds() {
  var bound = @BOUND@, at = 'a'.repeat(bound), past = at + 'a';
  var r = [];
  r.push('hash-at=' + (typeof N.hash('SHA256', at) === 'string'));
  r.push('hash-past=' + N.hash('SHA256', past));
  r.push('invoke-past=' + N.invoke('fsapp', past));
  // Past the page object's own check, straight to the schemes: refused by the host.
  r.push('scheme-hash-past=' + post('@HASH@://digest/SHA256', past));
  r.push('scheme-invoke-past=' + post('@INTEROP@://invoke/fsapp', past));
  r.push('server-past=' + post('/page-post', past));
  r.push('server-instances=' + post('/instances/', '{}', 'application/json'));
  say('bounds ' + r.join(' '));
  say('done');
  // What the page made goes first: a window waits for its page's instances when it closes.
  N.releaseInstance('fsapp');
  N.releaseInstance(app);
  N.invoke(w, binding('setCanClose', {canClose: true}));
  N.invoke(w, binding('close', {}));
  N.releaseInstance(w);
}
N.invoke(w, binding('loaded', {}));
N.invoke(w, binding('show', {}));
</script></body></html>
)";

constexpr const char kOwnPage[] = R"(<html><body><script>var KIND = 'redirect'; @OWN@</script></body></html>)";

// The attacker's page, framed by the skin: everything it tries is answered to its parent.
constexpr const char kEvilPage[] = R"(<html><body><script>@HELPERS@
var skin = new URL(document.referrer).origin, r = [];
var n = window.NativeInterop;
r.push('create=' + (n && n.createInstance('QVR.FileSystem', '')));
r.push('invoke=' + (n && n.invoke('fsapp', binding('directoryCreate', {path: '@TARGET@/invoke'}))));
r.push('hash=' + (n && n.hash('SHA256', 'x')));
r.push('scheme-hash=' + post('@HASH@://digest/SHA256', 'x'));
fetch(skin + '/instances/fsapp', {method: 'POST', mode: 'no-cors',
    body: binding('directoryCreate', {path: '@TARGET@/no-cors'})})
  .then(function () { return 'sent'; }, function () { return 'failed'; })
  .then(function (how) { r.push('no-cors=' + how); parent.postMessage('evil ' + r.join(' '), '*'); });
</script></body></html>
)";

// The outside page a skin's "main.json" names: it reports to its own server.
constexpr const char kOutsidePage[] = R"(<html><body><script>@HELPERS@
var n = window.NativeInterop, r = [];
var fs = n && n.createInstance('QVR.FileSystem', '');
r.push('create=' + fs);
r.push('invoke=' + (n && n.invoke(fs || 'x', binding('directoryCreate', {path: '@TARGET@/outside'}))));
r.push('hash=' + (n && n.hash('SHA256', 'x')));
post('/report', 'outside ' + r.join(' '));
</script></body></html>
)";

std::string Fill(std::string text, const std::vector<std::pair<std::string, std::string>>& values) {
    for (const auto& [key, value] : values)
        for (size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), value);
    return text;
}

struct Host {
    pid_t Pid = -1;
    int Out = -1;
    std::string Text;
};

// Reads the host's output until it holds the marker; false when the wait ends first.
bool ReadUntil(Host& host, const std::string& marker, int waitMs = kWaitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (host.Text.find(marker) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        pollfd p = {host.Out, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buffer[4096];
        const ssize_t n = read(host.Out, buffer, sizeof(buffer));
        if (n <= 0) return host.Text.find(marker) != std::string::npos;
        host.Text.append(buffer, (size_t)n);
    }
    return true;
}

// The rest of the line that starts with "PAGE <what>".
std::string PageLine(Host& host, const std::string& what) {
    if (!ReadUntil(host, "PAGE " + what)) return "(no line PAGE " + what + ")";
    const size_t at = host.Text.find("PAGE " + what) + 5 + what.size();
    ReadUntil(host, "\n", 20000);
    return host.Text.substr(at, host.Text.find('\n', at) - at);
}

// The exit code; the host is ended with SIGTERM first when asked, killed when it outstays the wait.
int Finish(Host& host, bool terminate) {
    if (terminate) kill(host.Pid, SIGTERM);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (waitpid(host.Pid, &status, WNOHANG) != host.Pid) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(host.Pid, SIGKILL);
            waitpid(host.Pid, &status, 0);
            close(host.Out);
            return -1;
        }
        ReadUntil(host, "\x01", 20);
    }
    close(host.Out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

class HostSkinOrigin : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(peers_.StartDisplay()) << "Xvfb did not come up";
        ASSERT_TRUE(peers_.StartBus()) << "no private session bus (dbus-daemon)";
        skin_ = peers_.Dir().file("skin");
        site_ = peers_.Dir().file("site");
        target_ = peers_.Dir().file("made");
        mkdir(skin_.c_str(), 0700);
        mkdir(site_.c_str(), 0700);
        mkdir(target_.c_str(), 0700);
        WriteText(skin_ + "/app.yaml", "name: \"skin-origin-" + std::to_string(getpid()) + "\"\n");
        peer_ = std::make_unique<PageResponder>(site_);
        ASSERT_NE(peer_->port(), 0) << "the loopback peer did not start";
        const std::vector<std::pair<std::string, std::string>> values = {
            {"@HELPERS@", kHelpers}, {"@PEER@", peer_->url("")},  {"@TARGET@", target_},
            {"@HASH@", "skinhash"},  {"@INTEROP@", "skininterop"},
            {"@BOUND@", std::to_string((uint32_t)SCRIPTINVOKER_MAX_BODY)}};
        const std::string own = "var n = window.NativeInterop, id = n && n.createInstance('QVR.WorkflowApp', '');"
                                "parent.postMessage('own ' + KIND + ' ' + (typeof id === 'string' && id.length > 0) "
                                "+ ' ' + (n ? n.releaseInstance(id) : '-'), '*');";
        WriteText(skin_ + "/index.html", Fill(kSkinPage, values));
        WriteText(skin_ + "/own.html", Fill(kOwnPage, {{"@OWN@", own}}));
        WriteText(site_ + "/evil.html", Fill(kEvilPage, values));
        WriteText(site_ + "/outside.html", Fill(kOutsidePage, values));
    }

    void MainJson(const std::string& url) {
        WriteText(skin_ + "/main.json",
                  "{\"url\": \"" + url + "\", \"width\": 400, \"height\": 300, \"x\": 100, \"y\": 100}\n");
    }

    Host Start() {
        Host host;
        host.Pid = SpawnWithOutput({HOST_PROGRAM, "--skin=" + skin_, "--window"}, {}, &host.Out);
        return host;
    }

    DesktopPeers peers_;
    std::string skin_, site_, target_;
    std::unique_ptr<PageResponder> peer_;
};

TEST_F(HostSkinOrigin, OnlyTheSkinsOwnFramesReachNativeObjects) {
    MainJson("{contentUrl}index.html");
    Host host = Start();
    ASSERT_GT(host.Pid, 0);
    EXPECT_EQ(PageLine(host, "fsapp "), "fsapp");
    // Each of the four frames answers once; the order is theirs.
    ASSERT_TRUE(ReadUntil(host, "PAGE bounds ")) << host.Text;
    for (const char* line : {"PAGE own srcdoc true true\n", "PAGE own blob true true\n", "PAGE own redirect true true\n",
                             "PAGE evil create=undefined invoke=undefined hash=undefined scheme-hash=error "
                             "no-cors=sent\n"})
        EXPECT_NE(host.Text.find(line), std::string::npos) << line << host.Text;
    EXPECT_EQ(PageLine(host, "bounds "),
              "hash-at=true hash-past=undefined invoke-past=undefined scheme-hash-past=error "
              "scheme-invoke-past=error server-past=413 server-instances=404");
    EXPECT_TRUE(ReadUntil(host, "PAGE done")) << host.Text;
    EXPECT_EQ(Finish(host, false), 0) << host.Text;
    // The blind POST reached no native object: nothing was made.
    EXPECT_FALSE(Exists(target_ + "/no-cors"));
    EXPECT_FALSE(Exists(target_ + "/invoke"));
}

TEST_F(HostSkinOrigin, AnOutsidePageTheSkinOpensGetsNoNativeObjects) {
    MainJson(peer_->url("/outside.html"));
    Host host = Start();
    ASSERT_GT(host.Pid, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (peer_->log().find("report outside") == std::string::npos && std::chrono::steady_clock::now() < deadline)
        ReadUntil(host, "\x01", 100);
    EXPECT_NE(peer_->log().find("report outside create=undefined invoke=undefined hash=undefined\n"), std::string::npos)
        << peer_->log() << host.Text;
    EXPECT_EQ(Finish(host, true), 0) << host.Text;
    EXPECT_FALSE(Exists(target_ + "/outside"));
}

} // namespace
