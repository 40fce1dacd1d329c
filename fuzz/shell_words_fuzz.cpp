// Quoting and escaping of arguments must survive the word splitting unchanged: the input is a
// list of arguments separated by NUL bytes; both the quoted and the escaped command lines must
// split back into exactly that list. Splitting any text must never crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tasks/shell_words.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> words;
    ShellWords_Split(input.c_str(), &words);

    std::vector<std::string> arguments;
    size_t start = 0;
    while (start <= input.size() && arguments.size() < 64) {
        const size_t end = input.find('\0', start);
        arguments.push_back(input.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    std::string quoted, escaped;
    for (const std::string& argument : arguments) {
        quoted += (quoted.empty() ? "" : " ") + ShellWords_Quote(argument);
        escaped += (escaped.empty() ? "" : " ") + ShellWords_Escape(argument);
    }
    for (const std::string* line : {&quoted, &escaped}) {
        if (!ShellWords_Split(line->c_str(), &words) || words != arguments) abort();
    }
    return 0;
}
