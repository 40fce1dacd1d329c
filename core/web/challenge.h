// The process-wide credential broker: code that needs a secret from the user asks through
// "Challenge" notifications; the broker prompts one request at a time, remembers each answer by
// its key fields and answers later matching requests from that memory.
#pragma once

#include <cstdint>

struct Dictionary;

enum : uint32_t { CHALLENGE_CLASS_ID = 0xdbfba0a4 };

// Creates the broker. In the elevated worker (worker 1) it observes nothing.
int64_t Challenge_Init(uint32_t worker);
// Stops observing, releases every pending request and cached answer and frees the broker.
int64_t Challenge_Remove();
int64_t Challenge_IsStarted();

// Sends "Challenge"/"Request" from the requester (its instance id), delivered on a later pass of
// the notification centre; the answer comes back as "Challenge"/"Response" to that id.
int64_t Challenge_Request(Dictionary* request, const char* requesterId);
// Merges the cached answer matching the request into out (overwriting); 1 when there is one.
int64_t Challenge_ResponseFind(Dictionary* request, Dictionary* out);
// Merges the first cached answer whose "filter" is exactly the text; 1 when there is one.
int64_t Challenge_ResponseLast(const char* filter, Dictionary* out);
// Marks the cached answer matching the request as failed, so the next request prompts again.
int64_t Challenge_ResponseInvalidate(Dictionary* request);

// The broker's recursive lock, held by code that raises a prompt and records that it waits, so
// that an answer cannot be handled in between.
int64_t Challenge_Lock();
int64_t Challenge_Unlock();

// Observer functions of "Challenge"/"Request" and "Challenge"/"PromptResponse".
int64_t Challenge_Notification_Request(void* user, const char* type, const char* name, const char* instance,
                                       Dictionary* info);
int64_t Challenge_Notification_PromptResponse(void* user, const char* type, const char* name,
                                              const char* instance, Dictionary* info);
