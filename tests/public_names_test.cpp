// Every function the libraries export under a public name (Module_Verb) is declared in a header with
// its name written out, so that a reader finds the declaration with grep, not only the callers.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

namespace {

namespace fs = std::filesystem;

// The exported function names of a static library, from nm's demangled listing.
std::set<std::string> ExportedNames(const std::string& library) {
    std::set<std::string> names;
    FILE* pipe = popen(("nm -C --defined-only -g '" + library + "' 2>/dev/null").c_str(), "r");
    if (!pipe) return names;
    char buffer[4096];
    // "<address> T Name_Verb(arguments)": a function of external linkage, its name first.
    while (fgets(buffer, sizeof(buffer), pipe)) {
        const std::string text = buffer;
        const size_t kind = text.find(' ');
        if (kind == std::string::npos || kind + 3 > text.size() || text[kind + 2] != ' ') continue;
        if (text[kind + 1] != 'T' && text[kind + 1] != 'W') continue;
        const std::string symbol = text.substr(kind + 3);
        const size_t open = symbol.find('(');
        if (open == std::string::npos || symbol[0] < 'A' || symbol[0] > 'Z') continue;
        const std::string name = symbol.substr(0, open);
        const bool plain = name.find_first_not_of(
                               "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_") == std::string::npos;
        if (plain && name.find('_') != std::string::npos) names.insert(name);
    }
    pclose(pipe);
    return names;
}

TEST(PublicNames, EveryExportedFunctionIsDeclaredByNameInAHeader) {
    std::string headers;
    for (const char* folder : {"core", "workflow", "repository", "tasks", "skin", "host"}) {
        const fs::path root = fs::path(QVR_SOURCE_DIR) / folder;
        if (!fs::is_directory(root)) continue;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root))
            if (entry.is_regular_file() && entry.path().extension() == ".h") {
                std::ifstream in(entry.path(), std::ios::binary);
                headers.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            }
    }
    ASSERT_FALSE(headers.empty()) << QVR_SOURCE_DIR;
    size_t checked = 0;
    for (const char* name : {"core", "workflow", "repository", "tasks", "skin", "host"}) {
        const std::string library = std::string(QVR_LIBRARY_DIR) + "/lib" + name + ".a";
        if (!fs::exists(library)) continue;
        for (const std::string& function : ExportedNames(library)) {
            checked++;
            EXPECT_NE(headers.find(function + "("), std::string::npos)
                << function << " (lib" << name << ".a) has no declaration written out in a header";
        }
    }
    // The core library alone exports thousands: a listing that failed cannot pass as clean.
    EXPECT_GT(checked, 1000u);
}

} // namespace
