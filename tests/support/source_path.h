// Where a test's own source file lies, as an absolute path. A compiler cache may have the build
// write __FILE__ relative to the build folder; peers started in another folder still find it.
#pragma once

#include <string>

#include <unistd.h>

inline std::string SourcePath(std::string file) {
    if (file.empty() || file[0] == '/') return file;
    // Taken once, before any test changes folder: the tests run from the build folder.
    static const std::string base = [] {
        char buffer[4096];
        return getcwd(buffer, sizeof(buffer)) ? std::string(buffer) : std::string(".");
    }();
    return base + "/" + file;
}
