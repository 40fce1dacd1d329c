// Helpers of the process tests: stand-in scripts, the argument lists they record, waiting for a
// condition, and the children this test process has (or no longer has).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/linux/platform_process.h"
#include "tests/support/temp_dir.h"

// A shell script at path that runs body.
inline void WriteScript(const std::string& path, const std::string& body) {
    std::ofstream(path) << "#!/bin/sh\n" << body;
    chmod(path.c_str(), 0755);
}

// The NUL-terminated items of a file, as a script writes them with printf '%s\0'.
inline std::vector<std::string> ReadNulList(const std::string& path) {
    std::string text = ReadFile(path);
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1)
        out.push_back(text.substr(start, end - start));
    return out;
}

// True as soon as condition holds, checked every millisecond for up to a minute.
template <typename Condition> bool Eventually(Condition&& condition) {
    for (int i = 0; i < 60000; i++) {
        if (condition()) return true;
        usleep(1000);
    }
    return condition();
}

// Processes whose parent is this one, zombies included.
inline std::vector<int32_t> ChildrenOfThisProcess() {
    std::vector<int32_t> children;
    DIR* proc = opendir("/proc");
    while (struct dirent* item = proc ? readdir(proc) : nullptr) {
        char* end = nullptr;
        long pid = strtol(item->d_name, &end, 10);
        if (*end || pid <= 0) continue;
        if (Platform_GetParentProcessId((uint32_t)pid) == (uint32_t)getpid())
            children.push_back((int32_t)pid);
    }
    if (proc) closedir(proc);
    return children;
}

// The process still has an entry (running or a zombie).
inline bool Listed(int32_t pid) {
    return access(("/proc/" + std::to_string(pid)).c_str(), F_OK) == 0;
}
