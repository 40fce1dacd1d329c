// CPU time of this process and of a curl run, for benches that set our client beside curl.
#pragma once
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <string>
#include <vector>

extern char** environ;

inline double RusageSeconds(const rusage& usage) {
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// User and system seconds this process has used so far.
inline double ProcessCpu() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return RusageSeconds(usage);
}

// Runs curl with the arguments; its CPU seconds, or -1 when it failed.
inline double Curl(std::vector<std::string> args) {
    args.insert(args.begin(), {"curl", "-s", "-f"});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return RusageSeconds(usage);
}
