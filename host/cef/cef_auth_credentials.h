// Authentication challenges that the browser engine meets, turned into requests of the credential
// broker; the broker's answer continues or cancels the engine's callback.
#pragma once

#include <cstdint>

#include "host/cef/cef_engine.h"

struct Dictionary;

enum : uint32_t { AUTHCREDENTIALS_CLASS_ID = 0xD8BB2FC2 };
enum : int32_t { AUTHCREDENTIALS_TEXT_SIZE = 120, AUTHCREDENTIALS_SECRET_SIZE = 320 };

// Asks the broker for the credentials of host:port (a proxy when isProxy); the callback is held
// until the answer or AuthCredentials_CancelAll. Runs on the engine's I/O thread. 1.
int64_t AuthCredentials_Get(uint32_t isProxy, const char* host, int32_t port, const char* realm,
                            CEFAuthCallback* callback);
// Cancels every pending question, from any thread. 1.
int64_t AuthCredentials_CancelAll();
// Observer of "Challenge"/"Response" for a pending question's instance id.
int64_t AuthCredentials_OnResponse(void* user, const char* type, const char* name, const char* instance,
                                   Dictionary* info);
