// The host executable as a child process of a test: its standard output and error in one text,
// its exit code, and a private home so that nothing of the user's is touched.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

struct HostRun {
    int Code = -1; // exit code; -1 when it did not end within the wait (it is killed then)
    std::string Text;
    double Seconds = 0;
};

// The argument and environment arrays an exec takes: `args`, and this program's environment with
// `env` after it. The arrays point into `args` and into the copy held here.
struct ChildArrays {
    ChildArrays(const std::vector<std::string>& args, const std::vector<std::string>& env) {
        for (char** e = environ; *e; e++) EnvText.push_back(*e);
        EnvText.insert(EnvText.end(), env.begin(), env.end());
        for (const std::string& a : args) Argv.push_back(const_cast<char*>(a.c_str()));
        Argv.push_back(nullptr);
        for (const std::string& e : EnvText) Envp.push_back(const_cast<char*>(e.c_str()));
        Envp.push_back(nullptr);
    }
    std::vector<std::string> EnvText;
    std::vector<char*> Argv, Envp;
};

// Starts the program with the arguments and extra environment, its standard output on `outFd` and
// its standard error on `errFd` (descriptors the child closes on exec otherwise); the child's pid,
// or -1 when it did not start.
inline pid_t SpawnOnto(const std::vector<std::string>& args, const std::vector<std::string>& env, int outFd,
                       int errFd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    const ChildArrays arrays(args, env);
    pid_t pid = -1;
    if (posix_spawn(&pid, arrays.Argv[0], &actions, nullptr, arrays.Argv.data(), arrays.Envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Starts the program with the arguments and extra environment, its standard output and error on
// one pipe whose reading end goes to `out`; the child's pid, or -1 when it did not start.
inline pid_t SpawnWithOutput(const std::vector<std::string>& args, const std::vector<std::string>& env, int* out) {
    *out = -1;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    const pid_t pid = SpawnOnto(args, env, fds[1], fds[1]);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return -1;
    }
    *out = fds[0];
    return pid;
}

// A loopback port that nothing listens on now.
inline int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

// Whether something accepts connections on the loopback port.
inline bool Accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons((uint16_t)port);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    close(fd);
    return ok;
}

// Runs the program with the arguments and extra environment, at most waitMs.
// Reads what the child says on `out` until it ends or `seconds` pass (it is killed then), then
// closes `out`; true when it ended by itself, with its wait status in `status`.
inline bool ReadUntilEnd(pid_t pid, int out, std::string* text, double seconds, int* status) {
    const auto start = std::chrono::steady_clock::now();
    char buffer[4096];
    bool ended = false;
    *status = 0;
    while (!ended && std::chrono::steady_clock::now() - start < std::chrono::duration<double>(seconds)) {
        pollfd p = {out, POLLIN, 0};
        if (poll(&p, 1, 10) > 0) {
            const ssize_t n = read(out, buffer, sizeof(buffer));
            if (n > 0) text->append(buffer, (size_t)n);
        }
        ended = waitpid(pid, status, WNOHANG) == pid;
    }
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, status, 0);
    }
    for (ssize_t n = 0; (n = read(out, buffer, sizeof(buffer))) > 0;) text->append(buffer, (size_t)n);
    close(out);
    return ended;
}

inline HostRun RunHost(const std::vector<std::string>& args, const std::vector<std::string>& env, int waitMs = 60000) {
    HostRun run;
    int out = -1;
    const pid_t pid = SpawnWithOutput(args, env, &out);
    if (pid < 0) return run;
    const auto start = std::chrono::steady_clock::now();
    int status = 0;
    if (ReadUntilEnd(pid, out, &run.Text, waitMs / 1000.0, &status))
        run.Code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return run;
}

// A private folder with a home for the host and a skin folder "skin" holding app.yaml.
class HostFolder {
  public:
    HostFolder() {
        char pattern[] = "/tmp/host-user-XXXXXX";
        if (mkdtemp(pattern)) dir_ = pattern;
        mkdir(Skin().c_str(), 0700);
        env_ = {"HOME=" + dir_, "XDG_DATA_HOME=" + dir_ + "/data", "XDG_STATE_HOME=" + dir_ + "/state",
                "XDG_CONFIG_HOME=" + dir_ + "/config", "XDG_RUNTIME_DIR=" + dir_ + "/run"};
        mkdir((dir_ + "/run").c_str(), 0700);
    }
    ~HostFolder() { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    const std::string& Dir() const { return dir_; }
    std::string Skin() const { return dir_ + "/skin"; }
    const std::vector<std::string>& Env() const { return env_; }
    void Write(const std::string& name, const std::string& text) const { std::ofstream(Skin() + "/" + name) << text; }

  private:
    std::string dir_;
    std::vector<std::string> env_;
};
