// Fuzz target for the macro expander. The first line of the input is the text to expand; every
// further line "name=value" adds a name the caller's callback answers with a text, "name:=value"
// one it answers with a template, so templates can refer to each other and to themselves. A few
// fixed templates always refer to each other in a cycle. A text value is inserted once: "{Raw}"
// in "<{Raw}>" comes back as its value exactly, whatever tokens it holds.
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core/runtime/string_expand.h"

namespace {

struct Names {
    std::map<std::string, std::string> values;
    std::map<std::string, bool> templates;
};

int64_t Answer(void* user, const char* name, char* argument, char* value, int32_t capacity) {
    const Names* names = static_cast<const Names*>(user);
    auto it = names->values.find(name);
    if (it == names->values.end()) {
        if (strcmp(name, "Echo") == 0 && argument) {
            snprintf(value, (size_t)capacity, "[%s]", argument);
            return 1;
        }
        return 0;
    }
    snprintf(value, (size_t)capacity, "%s", it->second.c_str());
    return names->templates.count(name) ? STRING_EXPAND_TEMPLATE : 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    Names names;
    names.values = {{"Ping", "{Pong}"}, {"Pong", "x{Ping}"}, {"Self", "{Self}"}, {"Twice", "{Twice}{Twice}"}};
    for (const char* cycle : {"Ping", "Pong", "Self", "Twice"}) names.templates[cycle] = true;
    size_t end = input.find('\n');
    std::string text = input.substr(0, end);
    while (end != std::string::npos) {
        size_t next = input.find('\n', end + 1);
        std::string line = input.substr(end + 1, next == std::string::npos ? std::string::npos : next - end - 1);
        size_t eq = line.find('=');
        if (eq != std::string::npos && eq > 0) {
            std::string name = line.substr(0, eq);
            const bool made = name.back() == ':';
            if (made) name.pop_back();
            names.values[name] = line.substr(eq + 1);
            if (made) names.templates[name] = true;
            else names.templates.erase(name);
        }
        end = next;
    }
    // The text as a C string (cut at a NUL), in buffers of several capacities.
    text = text.c_str();
    for (int32_t capacity : {16, 256, 9000}) {
        std::vector<char> buffer((size_t)capacity > text.size() + 1 ? (size_t)capacity : text.size() + 1, 0);
        memcpy(buffer.data(), text.data(), text.size());
        const int32_t result = String_ExpandResult(buffer.data(), capacity, &names, Answer);
        if (result < 0 || result > 2) __builtin_trap();
        if (strlen(buffer.data()) >= buffer.size()) __builtin_trap();
    }
    auto raw = names.values.find("Raw");
    if (raw != names.values.end() && !names.templates.count("Raw") && strlen(raw->second.c_str()) < 8000) {
        const std::string value = raw->second.c_str();
        char buffer[8192] = "<{Raw}>";
        if (String_ExpandResult(buffer, sizeof(buffer), &names, Answer) == 0 && buffer != "<" + value + ">")
            __builtin_trap();
    }
    return 0;
}
