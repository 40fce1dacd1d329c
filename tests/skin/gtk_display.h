// A display for the GUI tests: the one DISPLAY names, else an Xvfb of the test's own on a free
// display number, stopped when the test program ends; and real input through xdotool.
#pragma once

#include <poll.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

inline pid_t& TestDisplayServer() {
    static pid_t pid = 0;
    return pid;
}

inline void TestDisplayStop() {
    if (TestDisplayServer() > 0) {
        kill(TestDisplayServer(), SIGTERM);
        waitpid(TestDisplayServer(), nullptr, 0);
        TestDisplayServer() = 0;
    }
}

// Answers an empty text when a display is there, else why not.
inline std::string TestDisplayStart() {
    const char* current = getenv("DISPLAY");
    if (current && *current) return "";
    int fds[2];
    if (pipe(fds) != 0) return "no pipe for Xvfb";
    char fd[16];
    snprintf(fd, sizeof(fd), "%d", fds[1]);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        // The server goes with the test program, however that ends. Without key repeat ("-r"): a
        // typist starved on a loaded machine holds a key past the repeat delay, and the repeats
        // land in whatever window opens next.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        execlp("Xvfb", "Xvfb", "-displayfd", fd, "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
               "-noreset", "-r", (char*)nullptr);
        static const char kFailed[] = "Xvfb could not be started (is the xvfb package installed?)\n";
        if (write(2, kFailed, sizeof(kFailed) - 1) < 0) _exit(127);
        _exit(127);
    }
    close(fds[1]);
    if (pid < 0) return close(fds[0]), "fork failed";
    TestDisplayServer() = pid;
    atexit(TestDisplayStop);
    std::string number;
    pollfd p = {fds[0], POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (poll(&p, 1, 200) <= 0) continue;
        char c = 0;
        if (read(fds[0], &c, 1) != 1) break;
        if (c == '\n') break;
        number += c;
    }
    close(fds[0]);
    if (number.empty()) return TestDisplayStop(), "Xvfb gave no display within 20 s";
    setenv("DISPLAY", (":" + number).c_str(), 1);
    return "";
}

// Runs xdotool with the arguments, bounded to 20 s; true when it succeeded.
inline bool Xdo(const std::string& arguments) {
    const std::string command = "timeout 20 xdotool " + arguments + " >/dev/null 2>&1";
    return system(command.c_str()) == 0;
}

// Polls the condition, running the step between checks, for at most the given time.
inline bool WaitFor(const std::function<bool()>& done, const std::function<void()>& step,
                    int milliseconds = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        step();
    }
    return true;
}
