// Extracts arbitrary bytes as a zip archive into a scratch directory that sits beside a sentinel
// directory, so that damaged archives and hostile entry names meet the whole extraction: nothing
// may be written outside the output directory, and no unfinished file may stay behind.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tasks/unzip_archive.h"

namespace {

std::string g_root;

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    return remove(path);
}

void Clear(const std::string& path) {
    nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void RemoveRoot() {
    Clear(g_root);
}

// Counts the entries below a directory; `parts` counts the unfinished files among them.
int Count(const std::string& path, int* parts) {
    DIR* listing = opendir(path.c_str());
    if (!listing) return 0;
    int count = 0;
    while (dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        count++;
        if (name.find(".part") != std::string::npos && name.rfind(".unzip-", 0) == 0) (*parts)++;
        if (entry->d_type == DT_DIR) count += Count(path + "/" + name, parts);
    }
    closedir(listing);
    return count;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    if (g_root.empty()) {
        char pattern[] = "/tmp/unzip-fuzz-XXXXXX";
        if (!mkdtemp(pattern)) abort();
        g_root = pattern;
        atexit(RemoveRoot);
    }
    const std::string archive = g_root + "/in.zip", box = g_root + "/box", out = box + "/out";
    Clear(box);
    if (mkdir(box.c_str(), 0700) != 0) abort();
    FILE* file = fopen(archive.c_str(), "wb");
    if (!file || fwrite(data, 1, size, file) != size || fclose(file) != 0) abort();

    // The first byte picks a pattern and whether a password is given.
    const char* patterns[] = {"*", "a/*", "*.txt", "*/*"};
    const uint8_t selector = size ? data[0] : 0;
    UnzipJob job = {archive.c_str(), patterns[selector & 3], out.c_str(), (selector & 4) ? "secret" : "",
                    nullptr, nullptr, nullptr, nullptr, nullptr, 0};
    const char* error = Unzip_Extract(&job);

    int parts = 0;
    const int inBox = Count(box, &parts);
    int outsideParts = 0;
    const int inOut = Count(out, &outsideParts);
    // Only "out" and what lies below it; a refused archive leaves nothing but possibly "out" itself.
    if (inBox != inOut + (access(out.c_str(), F_OK) == 0 ? 1 : 0)) abort();
    if (parts != 0) abort();
    if (error && inOut != 0 && strcmp(error, "Unzip_Error_Extract") != 0) abort();
    return 0;
}
