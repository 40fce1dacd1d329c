// Command lines for the programs the task types run, made without a shell reading them: a text
// split into words by the shell's quoting rules with nothing expanded, and arguments quoted so
// that such a split gives them back exactly.
#pragma once
#include <string>
#include <vector>

// Splits as the shell splits words: blanks separate them, '...' and "..." quote, a backslash takes
// the next character literally (inside double quotes only before $ ` " \ and a line break), and
// a backslash before a line break joins the lines. Nothing is expanded, substituted or
// redirected: "$x", "`c`", ";" and ">" are plain characters. False (and no words) when a quote
// is left open.
bool ShellWords_Split(const char* text, std::vector<std::string>* words);

// The argument as one word: as it is when it holds only characters the shell leaves alone, else
// in single quotes (a quote inside becomes '\'').
std::string ShellWords_Quote(const std::string& argument);

// The argument with a backslash before every character the shell would act on ("a b" becomes
// "a\ b"); a line break, which a backslash would remove, is put in single quotes; an empty
// argument is ''.
std::string ShellWords_Escape(const std::string& argument);
