// Every thread of the program reportable by the crash handler, whoever starts it: thread creation
// and signal masks are taken over in the executable, so that each thread gets an alternate signal
// stack and no thread blocks the synchronous crash signals.
#pragma once
#include <cstdint>

// Defined in this module, which is built into the executables themselves (never taken from a
// library): pthread_create, pthread_sigmask and sigprocmask. They stand before the C library's for
// every library of the process (the executable exports them), also for one loaded later. A thread they
// start gets its own alternate signal stack and the crash signals unblocked before its work; a
// mask they set never blocks SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP or SIGABRT, whoever asks.
//
// Run first thing in main: opens the crash signals on the calling thread too (a launcher may have
// left them blocked across its exec). 1 when the three stand before the library's for the whole
// process; 0 when the executable does not export them (then only the threads it starts itself
// are covered).
int64_t Breakpad_CoverEveryThread();
