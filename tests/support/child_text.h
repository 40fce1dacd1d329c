// Runs part of a test in a forked child and hands the text it produces back to the parent, so that
// the child may change what only it sees (a mount namespace of its own) without touching the
// machine or the test process.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

// Runs setUp, then body, in a forked child and answers the text body returned. nullopt when the
// child could not be started, setUp answered false (not permitted there) or the child did not end
// normally: only a text that came whole, behind its marker, from a child that exited 0 counts.
inline std::optional<std::string> TextFromChild(const std::function<bool()>& setUp,
                                                const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return std::nullopt;
    pid_t child = fork();
    if (child < 0) {
        close(fds[0]);
        close(fds[1]);
        return std::nullopt;
    }
    if (child == 0) {
        close(fds[0]);
        if (!setUp()) _exit(3);
        const std::string result = "\x02" + body();
        size_t done = 0;
        while (done < result.size()) {
            ssize_t n = write(fds[1], result.data() + done, result.size() - done);
            if (n <= 0) _exit(2);
            done += (size_t)n;
        }
        _exit(0);
    }
    close(fds[1]);
    std::string text;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fds[0], chunk, sizeof(chunk))) > 0) text.append(chunk, (size_t)n);
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (text.empty() || text[0] != '\x02' || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    return text.substr(1);
}
