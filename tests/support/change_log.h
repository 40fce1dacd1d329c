// The key and value change reports of a Dictionary tree as lines, and its print lines without the
// head that names the object, for tests that set a load watched by callbacks beside one that is not.
#pragma once

#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/runtime/dictionary.h"
#include "core/runtime/string_print.h"
#include "tests/support/log_capture.h"

struct ChangeLog {
    std::vector<std::string> Reports;
    std::vector<std::string> Printed;
};

inline int64_t ChangeLogValue(Dictionary*, DictionaryItem*, void* context, const char* path, const char* old,
                              uint32_t length) {
    static_cast<ChangeLog*>(context)->Reports.push_back(std::string("value ") + path + " " +
                                                         (old ? std::string(old, length) : "-"));
    return 1;
}

inline int64_t ChangeLogKey(Dictionary*, DictionaryItem*, void* context, const char* path, const char* old) {
    static_cast<ChangeLog*>(context)->Reports.push_back(std::string("key ") + path + " " + (old ? old : "-"));
    return 1;
}

inline int64_t ChangeLogPrint(void* user, const char* format, ...) {
    char line[2048];
    va_list args;
    va_start(args, format);
    String_VPrint(line, sizeof(line), format, args);
    va_end(args);
    const char* text = strstr(line, " - ");
    static_cast<ChangeLog*>(user)->Printed.push_back(text ? text + 3 : line);
    return 1;
}

// Keeps what `dict` prints; with `watched`, also every key and value change anywhere in its tree.
inline void ChangeLogAttach(Dictionary* dict, ChangeLog* log, bool watched) {
    Dictionary_SetPrintCallback(dict, log, ChangeLogPrint);
    if (!watched) return;
    Dictionary_SetItemValueChangeCallback(dict, log, ChangeLogValue);
    Dictionary_SetItemKeyChangeCallback(dict, log, ChangeLogKey);
}

// Log text with the instance ids of the objects that printed it (".<hex> - ") taken out, so that
// two runs compare.
inline std::string ChangeLogWithoutIds(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        size_t end = i + 1;
        if (text[i] == '.')
            while (end < text.size() && isxdigit((unsigned char)text[end])) end++;
        if (end > i + 1 && text.compare(end, 3, " - ") == 0) {
            i = end;
            continue;
        }
        out += text[i++];
    }
    return out;
}

// What one load of a text format left: its answer, the tree as the test describes it, what nested
// containers printed through the log, and the change reports and print lines.
struct WatchedLoad {
    int64_t Ok;
    std::string Logged;
    std::string Tree;
    std::string Saved; // filled by tests that also save the tree back
    ChangeLog Log;
};

// Loads into a fresh dictionary that allows duplicates or not, watched or not, through a format
// object created, bound and printing into the log: `load` (format) runs the load and answers its
// result, `read` (format, dictionary, out) takes what the test compares before both go.
template <typename Format, typename Load, typename Read>
WatchedLoad ChangeLogLoad(int64_t (*create)(Format**), int64_t (*destroy)(Format**),
                          int64_t (*bind)(Format*, Dictionary*),
                          int64_t (*setPrint)(Format*, void*, ClassPrintCallback), bool watched,
                          uint32_t duplicates, Load load, Read read) {
    WatchedLoad out{};
    LogCapture capture;
    Format* format = nullptr;
    Dictionary* dict = nullptr;
    create(&format);
    Dictionary_Create(&dict);
    Dictionary_SetAllowDuplicates(dict, duplicates);
    ChangeLogAttach(dict, &out.Log, watched);
    bind(format, dict);
    setPrint(format, &out.Log, ChangeLogPrint);
    out.Ok = load(format);
    read(format, dict, out);
    destroy(&format);
    Dictionary_Release(&dict);
    out.Logged = ChangeLogWithoutIds(capture.Text());
    return out;
}
