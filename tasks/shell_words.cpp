// Shell-style word splitting and quoting without a shell: the task types hand programs their
// arguments as a vector, so nothing in a path or an argument is ever read as shell code.
#include "tasks/shell_words.h"

#include <cstring>

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

// Characters no shell acts on anywhere in a word.
bool IsPlain(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           strchr("_@%+=:,./-", c) != nullptr;
}

} // namespace

bool ShellWords_Split(const char* text, std::vector<std::string>* words) {
    words->clear();
    if (!text) return true;
    std::string word;
    bool inWord = false; // a word has begun, even if it is empty so far ('')
    for (const char* p = text; *p; ++p) {
        const char c = *p;
        if (IsBlank(c)) {
            if (inWord) words->push_back(word);
            word.clear();
            inWord = false;
        } else if (c == '\\') {
            if (!p[1]) {
                word += '\\';
                inWord = true;
            } else if (p[1] == '\n') {
                ++p; // joins the lines
            } else {
                word += *++p;
                inWord = true;
            }
        } else if (c == '\'') {
            const char* end = strchr(p + 1, '\'');
            if (!end) {
                words->clear();
                return false;
            }
            word.append(p + 1, end);
            inWord = true;
            p = end;
        } else if (c == '"') {
            ++p;
            for (; *p && *p != '"'; ++p) {
                if (*p == '\\' && p[1] && strchr("$`\"\\\n", p[1])) {
                    ++p;
                    if (*p == '\n') continue;
                }
                word += *p;
            }
            if (!*p) {
                words->clear();
                return false;
            }
            inWord = true;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words->push_back(word);
    return true;
}

std::string ShellWords_Quote(const std::string& argument) {
    bool plain = !argument.empty();
    for (char c : argument) plain = plain && IsPlain(c);
    if (plain) return argument;
    std::string quoted = "'";
    for (char c : argument) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::string ShellWords_Escape(const std::string& argument) {
    if (argument.empty()) return "''";
    std::string escaped;
    for (char c : argument) {
        if (c == '\n') {
            escaped += "'\n'";
        } else {
            if (!IsPlain(c)) escaped += '\\';
            escaped += c;
        }
    }
    return escaped;
}
