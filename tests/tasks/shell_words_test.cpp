// Shell words against the shell itself: what ShellWords_Quote and ShellWords_Escape make of an
// argument, run by /bin/sh, gives the program that very argument back, and ShellWords_Split
// reads the quoted command line as the shell does.
#include "tasks/shell_words.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/oracle_process.h"

namespace {

// Arguments with everything a shell acts on: quotes of both kinds (an installer argument "it's"),
// blanks, expansions, globs, a line break, a backslash, an empty one.
const std::vector<std::string> kArguments = {
    "it's", "'", "''", "a b", "tab\there", "$HOME", "`id`", "$(id)", "\"q\"", "a\nb", "back\\slash",
    "*", "~", "-n", ";|&<>", "", "plain/path-1.pkg", "caf\xc3\xa9",
};

// The arguments as the program receives them from /bin/sh running `printf '[%s]' <words>`.
std::string ThroughTheShell(std::string (*quote)(const std::string&)) {
    std::string command = "printf '[%s]'";
    for (const std::string& argument : kArguments) command += " " + quote(argument);
    return RunOracle(command, "").value_or("<failed>");
}

TEST(ShellWords, QuotedAndEscapedArgumentsReachTheProgramExactly) {
    std::string expected;
    for (const std::string& argument : kArguments) expected += "[" + argument + "]";
    EXPECT_EQ(ThroughTheShell(ShellWords_Quote), expected);
    EXPECT_EQ(ThroughTheShell(ShellWords_Escape), expected);
}

TEST(ShellWords, SplitReadsQuotedWordsAsTheShellDoes) {
    for (auto quote : {ShellWords_Quote, ShellWords_Escape}) {
        std::string line;
        for (const std::string& argument : kArguments) line += (line.empty() ? "" : " ") + quote(argument);
        std::vector<std::string> words;
        ASSERT_TRUE(ShellWords_Split(line.c_str(), &words)) << line;
        EXPECT_EQ(words, kArguments) << line;
    }
    std::vector<std::string> words = {"left"};
    EXPECT_FALSE(ShellWords_Split("a 'open", &words));
    EXPECT_TRUE(words.empty());
}

} // namespace
