// Script bridge registry: native callbacks that script code refers to by id, the script
// contexts (execute callbacks) that receive messages, and the queue of messages for them.
#pragma once

#include <cstdint>

struct Dictionary;
struct InteropCallback;
struct InteropExecuteCallback;

enum : uint32_t {
    INTEROP_CLASS_ID = 0xBA307646,
    INTEROP_CALLBACK_CLASS_ID = 0x76D1ABFF,
    INTEROP_EXECUTE_CALLBACK_CLASS_ID = 0x021F58FA,
    INTEROP_EXECUTE_ITEM_CLASS_ID = 0x15698A9F,
    // Callback ids hold at most 39 characters and a terminator.
    INTEROP_CALLBACK_ID_SIZE = 40,
};

// A native callback's function: (user pointer given at registration, argument).
typedef int64_t (*InteropCallbackFunc)(void* user, void* argument);
// A script context's function: (user, its registration, message text, 0).
typedef int64_t (*InteropExecuteFunc)(void* user, InteropExecuteCallback* callback, const char* text,
                                      void* reserved);

// The registry: created once (a second Init does nothing), freed by Remove. Both return 1.
int64_t Interop_Init();
int64_t Interop_Remove();

// Native callbacks. The id is cut to 39 characters; a null or empty id gets a new GUID text.
int64_t Interop_AddCallback(const char* id, void* user, InteropCallbackFunc function,
                            InteropCallback** callback);
// First live registration whose id matches without regard to ASCII case; no reference added.
int64_t Interop_GetCallbackById(const char* id, InteropCallback** callback);
const char* Interop_GetCallbackId(InteropCallback* callback);
// function(user, argument), or 0 when the registration has no function.
int64_t Interop_RaiseCallback(InteropCallback* callback, void* argument);
// Drops one reference and nulls the handle; the record is freed by the next Interop_Process once
// no reference is left.
int64_t Interop_ReleaseCallback(InteropCallback** callback);

// Script contexts (main thread only). Adding the same user and function again returns the
// existing registration.
int64_t Interop_AddExecuteCallback(InteropExecuteCallback** callback, void* user,
                                   InteropExecuteFunc function);
// Unlinks and frees the registration and nulls the handle; answers 0.
int64_t Interop_RemoveExecuteCallback(InteropExecuteCallback** callback);
int32_t Interop_GetExecuteCallbackCount();

// The callback function that queues a Dictionary (a reference is added) for the script contexts
// and schedules Interop_ProcessEvent on the main event queue. Main thread only.
int64_t Interop_Execute(void* user, void* dictionary);
// Number of Dictionaries waiting in the execute queue.
int32_t Interop_GetExecuteQueueCount();
// Main thread only: the periodic pass (here: frees the released native callbacks).
int64_t Interop_Process();
void Interop_ProcessEvent(void* instance);
