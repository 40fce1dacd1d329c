// A loopback HTTP peer for the WebKitGTK tests: serves the test's pages and files, sends
// "/redirect?to=<escaped URL>" on with a 302, and writes every request (and the bodies the page
// posts to "/report") to a log file, one line each.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/temp_dir.h"

constexpr const char kPageResponderScript[] = R"PY(
import http.server, os, sys, urllib.parse
root, log_path = sys.argv[1], sys.argv[2]
def note(line):
    with open(log_path, 'ab') as f:
        f.write(line + b'\n')
class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'
    # Headers and body go out as separate writes; without this each answer waits for a delayed ACK.
    disable_nagle_algorithm = True
    def log_message(self, *args): pass
    def answer(self, code, body=b'', kind='text/plain'):
        self.send_response(code)
        self.send_header('Content-Type', kind)
        self.send_header('Content-Length', str(len(body)))
        self.send_header('Cache-Control', 'no-store')
        self.end_headers()
        if self.command != 'HEAD': self.wfile.write(body)
    def body(self):
        return self.rfile.read(int(self.headers.get('Content-Length', 0) or 0))
    def do_GET(self):
        if self.path.startswith('/secret'):
            auth = self.headers.get('Authorization', '')
            note(b'GET ' + self.path.encode() + b' ' + auth.encode())
            if auth == 'Basic dXNlcjpwIHc=':
                return self.answer(200, b'secret-ok')
            self.send_response(401)
            self.send_header('WWW-Authenticate', 'Basic realm="realm"')
            self.send_header('Content-Length', '0')
            self.end_headers()
            return
        if self.path.startswith('/redirect?to='):
            self.send_response(302)
            self.send_header('Location', urllib.parse.unquote(self.path[len('/redirect?to='):]))
            self.send_header('Content-Length', '0')
            self.end_headers()
            return
        name = os.path.basename(self.path.split('?')[0])
        path = os.path.join(root, name)
        if not name or not os.path.isfile(path): return self.answer(404)
        with open(path, 'rb') as f: data = f.read()
        self.answer(200, data, 'text/html' if name.endswith('.html') else 'text/plain')
    def do_POST(self):
        data = self.body()
        if self.path == '/report':
            note(b'report ' + data)
            return self.answer(200)
        note(b'POST ' + self.path.encode() + b' ' + data)
        self.answer(404)
server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
)PY";

class PageResponder {
  public:
    // Serves the files of the folder; port() is 0 when the peer did not start.
    explicit PageResponder(const std::string& folder) : log_(dir_.file("requests.log")) {
        WriteText(dir_.file("responder.py"), kPageResponderScript);
        const std::string script = dir_.file("responder.py");
        int fds[2];
        if (pipe(fds) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            dup2(fds[1], 1);
            close(fds[0]);
            execl("/usr/bin/python3", "python3", script.c_str(), folder.c_str(), log_.c_str(),
                  (char*)nullptr);
            _exit(127);
        }
        close(fds[1]);
        FILE* out = fdopen(fds[0], "r");
        if (out && fscanf(out, "%d", &port_) != 1) port_ = 0;
        if (out) fclose(out);
    }
    ~PageResponder() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    int port() const { return port_; }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::string log() const { return ReadFile(log_); }
    // Forgets the requests logged so far.
    void clear() const { WriteText(log_, ""); }

  private:
    TempDir dir_;
    std::string log_;
    pid_t pid_ = -1;
    int port_ = 0;
};
