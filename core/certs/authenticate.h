// The process-wide authentication service: the switch that turns every signature and trust check
// off (with an optional override that answers in its place, so that a plug-in library follows its
// host's switch), the trust stores by name and the code-signature check of a file.
#pragma once

#include <cstdint>

#include "core/certs/cert_store.h"

enum : uint32_t { AUTHENTICATE_CLASS_ID = 0x584e1303 };

typedef uint32_t (*AuthenticateEnabledFunc)();

// ---- The switch ------------------------------------------------------------------------------
uint32_t Authenticate_Enabled();
int64_t Authenticate_SetEnabled(uint32_t flag);
int64_t Authenticate_EnabledOverride(AuthenticateEnabledFunc fn);

// ---- The service -----------------------------------------------------------------------------
// Creates the service once (a second call answers 0 and changes nothing): the switch on and the
// fixed stores "app" and "null". Until trust can be evaluated on this platform both are empty
// stores that trust nothing.
int64_t Authenticate_Init();
// Drops the service's stores (handed-out references stay valid until released); 1.
int64_t Authenticate_Remove();

// The named store (without regard to case) with a reference for the caller. A name that is not
// registered logs "Unable to find certificate store (%s)\n" and yields a fresh empty store, so
// the caller always holds a usable handle that trusts nothing.
CertStoreInterface* Authenticate_CertStoreGet(const char* name);
// Releases and nulls the handle; a null handle is accepted. 1.
int64_t Authenticate_CertStoreRelease(CertStoreInterface** handle);

// Checks the code signature of the file at path against the store. With the switch off it
// answers 1 without looking at the file. With the switch on it answers 0: code signatures cannot
// be verified on this platform yet, and a file that must pass a check is never taken on trust.
int64_t Authenticate_Validate(CertStoreInterface* store, const char* path);
