// A program run under /bin/sh with its standard output and error going into a named pipe,
// followed by the end token "**EOP**" (and, when asked, the program's exit status): the task
// types that judge a tool by what it prints read the pipe on each main-loop pass.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct Dictionary;
struct MemoryStream;
struct Pipe;
struct Process;
struct Task;

struct ShellCapture {
    Pipe* OutputPipe;
    char PipeName[40];
    MemoryStream* Output; // everything read so far, cut at the token once it came
    int32_t Searched;     // bytes already searched for the token
    bool Ended;           // the token arrived
    bool WithExitCode;
    int32_t ExitCode; // the number after the token, when asked for and present
};

enum : int32_t {
    SHELL_CAPTURE_NOTHING = 0, // no new bytes
    SHELL_CAPTURE_MORE = 1,    // new bytes, no token yet
    SHELL_CAPTURE_ENDED = 2,   // the token arrived now
};

// Makes the pipe (a new GUID as its name, created, 1024-byte buffer) and the output stream, and
// sets the process to run "/bin/sh" with an argument vector that runs `program` with
// `arguments`, each as one argument with its exact characters, output and error into the pipe,
// then writes the token (followed by the exit status when withExitCode). 0 when the pipe cannot
// be made; the process is then left unchanged.
int64_t ShellCapture_Prepare(ShellCapture* capture, Process* process, const char* program,
                             const std::vector<std::string>& arguments, bool withExitCode);
// Takes bytes as if read from the pipe (the stream must exist) and looks for the token.
int32_t ShellCapture_Append(ShellCapture* capture, const void* data, uint32_t length);
// Reads what the pipe holds now (without waiting) and looks for the token.
int32_t ShellCapture_Read(ShellCapture* capture);
// Nothing more will come: the token counts with whatever arrived of the status after it.
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
