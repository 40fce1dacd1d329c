// The user's credentials in the desktop's secret store (the Secret Service): generic credentials
// keyed by a target name, web credentials keyed by protocol, host, port and realm.
#pragma once

#include <cstdint>

struct Dictionary;

// Both user and password: stores them for the target (one item remains, holding these). Both
// null: deletes the target's items (0 when there was none). A locked or absent store answers 0
// at once: nothing here ever prompts or waits for the user.
int64_t Platform_SetCredential(const char* target, const char* user, const char* password);
// Both sizes at least 1. The password is cut to size - 1 bytes; 0 when nothing is stored.
int64_t Platform_GetCredential(const char* target, char* user, int32_t userSize, char* password,
                               int32_t passwordSize);
// Types 0 and 1 act on both of their protocols (1 when either succeeded). Storing replaces the
// earlier items of the same protocol, host, port and realm, but only after the new one is safely
// stored. Without user and password, deletes the first match. A type above 5 stops the process.
int64_t Platform_SetWebCredential(uint32_t type, const char* server, const char* realm, const char* user,
                                  const char* password);
// The first match's attributes as a new Dictionary the caller releases: "acct", "srvr", "port",
// "ptcl", "sdmn" and "v_Data" (the password). A null realm matches any realm.
int64_t Platform_FindWebCredential(uint32_t type, const char* server, const char* realm, Dictionary** attributes);
// On a match: both buffers emptied and filled (the password cut to size - 1 bytes); else 0 and
// the buffers untouched.
int64_t Platform_GetWebCredential(uint32_t type, const char* server, const char* realm, char* user,
                                  int32_t userSize, char* password, int32_t passwordSize);
