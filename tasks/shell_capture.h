// A program run under /bin/sh with its standard output and error going into a named pipe,
// followed by an end token of its own run ("**EOP", 32 random hexadecimal digits, "**", and, when
// asked, the program's exit status): the task types that judge a tool by what it prints read the
// pipe on each main-loop pass. The token counts only once the shell has ended, and then the last
// one, so that a program printing a copy of the token line is not taken as finished.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct Dictionary;
struct MemoryStream;
struct Pipe;
struct Process;
struct Task;

enum : int32_t { SHELL_CAPTURE_TOKEN_SIZE = 48 };

struct ShellCapture {
    Pipe* OutputPipe;
    char PipeName[40];
    char Token[SHELL_CAPTURE_TOKEN_SIZE]; // this run's end token; empty: none can end the capture
    MemoryStream* Output;                 // everything read so far, cut at the token once it came
    bool Ended;                           // the token arrived
    bool WithExitCode;
    int32_t ExitCode; // the number after the token, when asked for and present
};

enum : int32_t {
    SHELL_CAPTURE_NOTHING = 0, // no new bytes
    SHELL_CAPTURE_MORE = 1,    // new bytes, no token yet
    SHELL_CAPTURE_ENDED = 2,   // the token was found now (Finish, Drain)
};

// Makes the pipe (a new GUID as its name, created, 1024-byte buffer), the output stream and a new
// end token, and sets the process to run "/bin/sh" with an argument vector that runs `program`
// with `arguments`, each as one argument with its exact characters, output and error into the
// pipe, then writes the token (followed by the exit status when withExitCode) and a line break.
// Without withExitCode the shell ends with the program's exit status.
// 0 when the pipe cannot be made; the process is then left unchanged.
int64_t ShellCapture_Prepare(ShellCapture* capture, Process* process, const char* program,
                             const std::vector<std::string>& arguments, bool withExitCode);
// Takes bytes as if read from the pipe (the stream must exist). The token is not looked for while
// the shell may still write: SHELL_CAPTURE_MORE for new bytes.
int32_t ShellCapture_Append(ShellCapture* capture, const void* data, uint32_t length);
// Reads what the pipe holds now (without waiting).
int32_t ShellCapture_Read(ShellCapture* capture);
// Nothing more will come: the last token followed by nothing but status digits up to a line break
// or the end counts, with whatever arrived of the status (output written after it by a program's
// background child is left out).
int32_t ShellCapture_Finish(ShellCapture* capture);
// Reads until the pipe is empty: what was written before the shell ended is all there.
int32_t ShellCapture_Drain(ShellCapture* capture);
// The captured text so far (up to the token once it came).
std::string ShellCapture_Text(ShellCapture* capture);
// What a "Process"/"Complete" notification tells: whether the run succeeded and the exit code
// (0 and 0 without information).
void ShellCapture_ReadCompletion(Dictionary* info, uint32_t* successful, int32_t* exitCode);
// Closes the pipe and frees the stream.
void ShellCapture_Reset(ShellCapture* capture);
