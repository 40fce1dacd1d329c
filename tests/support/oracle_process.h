// Runs an outside tool (openssl, python3) as a test oracle: a shell command with text on its
// standard input, its standard output collected, the whole run bounded in time.
#pragma once

#include <optional>
#include <string>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

// The command's output when it exits 0 within the limit; nullopt otherwise (the child is
// killed at the limit).
inline std::optional<std::string> RunOracle(const std::string& command, const std::string& input,
                                            int seconds = 60) {
    // A child that exits before reading its input must not stop the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2];
    if (pipe(in) != 0) return std::nullopt;
    if (pipe(out) != 0) {
        close(in[0]);
        close(in[1]);
        return std::nullopt;
    }
    const pid_t child = fork();
    if (child < 0) {
        close(in[0]), close(in[1]), close(out[0]), close(out[1]);
        return std::nullopt;
    }
    if (child == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[0]), close(in[1]), close(out[0]), close(out[1]);
        execl("/bin/sh", "sh", "-c", command.c_str(), (char*)nullptr);
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    size_t written = 0;
    if (input.empty()) close(in[1]), in[1] = -1;
    std::string text;
    const time_t deadline = time(nullptr) + seconds;
    bool open = true;
    while (open && time(nullptr) < deadline) {
        pollfd fds[2] = {{out[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
        if (poll(fds, in[1] >= 0 ? 2 : 1, 200) < 0 && errno != EINTR) break;
        if (in[1] >= 0 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t n = write(in[1], input.data() + written, input.size() - written);
            if (n > 0) written += (size_t)n;
            if (n < 0 || written == input.size()) close(in[1]), in[1] = -1;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char chunk[4096];
            const ssize_t n = read(out[0], chunk, sizeof(chunk));
            if (n <= 0) {
                open = false;
            } else {
                text.append(chunk, (size_t)n);
            }
        }
    }
    if (in[1] >= 0) close(in[1]);
    close(out[0]);
    if (open) kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    if (open || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return text;
}
