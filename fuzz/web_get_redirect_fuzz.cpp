// Feeds arbitrary rule texts (name, pattern, replacement, option lists), macros, whitelist
// patterns and URLs to the web client's redirect and whitelist entry points, and checks that a
// rewritten URL stays inside its buffer and terminated, and that no rule text hangs a rewrite.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "core/web/web_get.h"
#include "core/web/web_get_redirect.h"

namespace {

constexpr char kGuard = '\x5A';

// The input is fields separated by NUL bytes: name, pattern, replacement, flag text, compile
// option text, substitute option text, macro name, macro text, whitelist pattern, URL; a first
// byte picks the call flags and the URL buffer's capacity.
std::vector<std::string> Fields(const uint8_t* data, size_t size) {
    std::vector<std::string> out;
    std::string current;
    for (size_t i = 0; i < size; i++) {
        if (data[i] == 0) {
            out.push_back(current);
            current.clear();
        } else {
            current.push_back((char)data[i]);
        }
    }
    out.push_back(current);
    while (out.size() < 10) out.emplace_back();
    return out;
}

void RewriteChecked(uint32_t flags, const std::string& url, int32_t capacity) {
    std::vector<char> buffer((size_t)capacity + 16, kGuard);
    memset(buffer.data(), 0, (size_t)capacity);
    strncpy(buffer.data(), url.c_str(), (size_t)capacity - 1);
    WebGet_Redirect(flags, buffer.data(), capacity);
    for (size_t i = (size_t)capacity; i < buffer.size(); i++)
        if (buffer[i] != kGuard) abort();
    if (strnlen(buffer.data(), (size_t)capacity) >= (size_t)capacity) abort();
}

bool Started() {
    Thread_Init();
    EventQueue_Init();
    NotificationCenter_Init();
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool started = Started();
    (void)started;
    if (size < 1 || size > 20000) return 0;
    const uint8_t control = data[0];
    const std::vector<std::string> f = Fields(data + 1, size - 1);
    WebGet_Init();

    const uint32_t flags = WebGet_RedirectFlagsFromStringList(f[3].c_str());
    const uint32_t compile = WebGet_RedirectCompileOptionsFromStringList(f[4].c_str());
    const uint32_t substitute = WebGet_RedirectSubstituteOptionsFromStringList(f[5].c_str());
    char text[1024];
    WebGet_GetRedirectCompileOptionsFlagString(compile, text, sizeof(text));
    if (WebGet_RedirectCompileOptionsFromStringList(text) != compile) abort();
    WebGet_GetRedirectSubstituteOptionsFlagString(substitute, text, sizeof(text));
    if (WebGet_RedirectSubstituteOptionsFromStringList(text) != substitute) abort();

    // Raw option bits too, as a script may pass them.
    const int64_t rawCompile = (control & 0x40) ? (int64_t)compile | ((int64_t)(control & 0x3) << 30) : compile;
    WebGet_RedirectAdd(f[0].c_str(), flags, control & 0x80 ? 1 : 0, f[1].c_str(), f[2].c_str(), rawCompile,
                       substitute);
    WebGet_RedirectAddMacro(f[6].c_str(), f[7].c_str());
    WebGet_WhitelistAdd(f[8].c_str());

    // The same rule once more through a rule set, so that the dictionary path runs too.
    Dictionary* set = nullptr;
    Dictionary_Create(&set);
    Dictionary* rule = nullptr;
    Dictionary_AddDictionary(set, f[0].c_str(), &rule, nullptr);
    if (rule) {
        Dictionary_SetStringByKey(rule, "pattern", f[1].c_str());
        Dictionary_SetStringByKey(rule, "replacement", f[2].c_str());
        Dictionary_SetStringByKey(rule, "flags", f[3].c_str());
        Dictionary_SetStringByKey(rule, "compileOptions", f[4].c_str());
        Dictionary_SetStringByKey(rule, "substituteOptions", f[5].c_str());
        Dictionary_SetBooleanByKey(rule, "mutable", 1);
    }
    WebGet_RedirectAddFromDictionary(set);
    Dictionary_Release(&set);

    static const int32_t capacities[] = {2, 16, 256, 8192};
    const int32_t capacity = capacities[(control >> 2) & 3];
    RewriteChecked(control & 0x3, f[9], capacity);
    RewriteChecked(WEBGET_REDIRECT_EXPAND, f[9], WEBGET_REDIRECT_TEXT_SIZE);
    WebGet_Authorize(f[9].c_str());
    WebGet_IsWhitelisted(f[9].c_str());

    WebGet_RedirectRemove(f[0].c_str());
    WebGet_Remove();
    NotificationCenter_Process();
    return 0;
}
