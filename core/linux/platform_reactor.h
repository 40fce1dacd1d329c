// The event reactor under the asynchronous sockets: one epoll thread watches descriptors and a
// small pool of worker threads runs the handlers of ready sources and posted work.
#pragma once

#include <cstdint>

enum : uint32_t {
    PLATFORM_REACTOR_CLASS_ID = 0x5E4A71C3,
    PLATFORM_SOURCE_CLASS_ID = 0x5E4A71C4,
};

// What a source waits for on its descriptor.
enum : int32_t {
    PLATFORM_SOURCE_READ = 1,  // data, end of stream or a connection waiting
    PLATFORM_SOURCE_WRITE = 2, // room to send, or the outcome of a connect
};

struct PlatformReactor;
struct PlatformSource;

typedef void (*PlatformSourceHandler)(void* context);

// Work posted to the pool. The caller owns the item and may post it again once its function
// has started; the pool never touches an item after calling its function.
struct PlatformWork {
    PlatformWork* Next;
    void (*Function)(PlatformWork* work);
};

// The epoll thread and `threads` workers (0 or less: the processor count, at least 4 and at
// most 16), all named after `name` cut to 15 bytes. 0 with a null handle when a thread cannot
// start or the system refuses the descriptors.
int64_t Platform_ReactorCreate(PlatformReactor** handle, const char* name, int32_t threads);
// Runs work->Function(work) on a worker. Returns 1.
int64_t Platform_ReactorPost(PlatformReactor* reactor, PlatformWork* work);
// Stops the epoll thread, runs what is still posted, joins the workers, frees the reactor and
// nulls the handle. Every source must have been cancelled and seen its cancel handler run.
// Must not run on one of the reactor's own threads.
int64_t Platform_ReactorDelete(PlatformReactor** handle);

// A source on a descriptor, created suspended once (Resume starts it). While resumed, each
// time the descriptor is ready `event` runs on a worker; it never runs twice at once, and the
// source is watched again only after it returned (a source still ready then may run again at
// once on the same worker). 0 with a null handle when the system refuses.
int64_t Platform_SourceCreate(PlatformSource** handle, PlatformReactor* reactor, int32_t descriptor, int32_t kind,
                              void* context, PlatformSourceHandler event, PlatformSourceHandler cancel);
// Suspensions count: each Suspend needs one Resume. Resuming more often than suspended stops
// the process. Both return 1.
int64_t Platform_SourceResume(PlatformSource* source);
int64_t Platform_SourceSuspend(PlatformSource* source);
// Stops the source for good. Its cancel handler runs exactly once on a worker (or on the epoll
// thread, see Platform_SourceSetCancelInline), after a running event handler has returned,
// whether the source is suspended or not; later events never run. Cancelling again does
// nothing. Returns 1.
int64_t Platform_SourceCancel(PlatformSource* source);
// With `on` set the event handler runs on the epoll thread itself, once per report (no worker is
// woken, and a source still ready is reported again by the kernel): only for a handler that is
// short, never blocks and never waits for a lock held across waits for the reactor. Returns 1.
int64_t Platform_SourceSetInline(PlatformSource* source, int32_t on);
// With `on` set the cancel handler of a source whose event handler runs on the epoll thread runs
// there too, once due (no worker is woken): only for a cancel handler that is short and never
// blocks. Returns 1.
int64_t Platform_SourceSetCancelInline(PlatformSource* source, int32_t on);
// 1 on the reactor's epoll thread (inside an inline handler), else 0.
int64_t Platform_ReactorOnPollingThread(PlatformReactor* reactor);
// Gives up the caller's reference and nulls the handle. The descriptor stays the caller's.
int64_t Platform_SourceRelease(PlatformSource** handle);
