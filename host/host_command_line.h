// What the executable tells a user about its command line: --help and --version, switches
// written with their value as the next argument, and switches it does not read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The arguments with every "--name value" of a switch that takes a value joined into
// "--name=value" (the form the command line reads); other arguments are kept as given.
std::vector<std::string> HostCommandLine_Normalise(int argc, char** argv);
// Writes the text of --help to standard output (switches, the default log file, exit codes).
int64_t HostCommandLine_PrintHelp(const char* program);
// "quarvelon-host 6.2.42".
int64_t HostCommandLine_PrintVersion();
// Reports on standard error, as an ERROR line each, what the host cannot run as asked: an argument
// that is no switch, a switch that needs a value and has none, a --debug level that is none, a
// switch that looks like a mistyped one of this program's. The others it does not read are the
// page's, named at INFO on standard output with --window. 1 when nothing was reported.
int64_t HostCommandLine_Check(const std::vector<std::string>& arguments);
// 1 when the switch is one this program reads.
int64_t HostCommandLine_IsKnown(const char* name);
// The log file's full name: `file` in the log folder that $XDG_STATE_HOME gives, with room left in
// `size` for what the log adds to the name (date, process, thread, ".err"). 0 with `name` empty
// when that folder cannot be named or the name would not fit: the caller writes no file then,
// rather than one named relative to the current folder or cut short.
int64_t HostCommandLine_GetLogFileName(const char* file, char* name, int32_t size);
