// The process-wide authentication service: the switch that turns every signature and trust check
// off (with an optional override that answers in its place, so that a plug-in library follows its
// host's switch), the trust and key stores by name, and the checks of a file's code signature and
// of a certificate against a store.
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
// Creates the service once (a second call answers 0 and changes nothing): the switch on, an empty
// key-store table and the trust-store table with the fixed stores "app" (a list holding the
// platform store), "platform" and "null".
int64_t Authenticate_Init();
// Deletes both tables and drops the "app" list (handed-out references stay valid until
// released); 1, also when nothing was made.
int64_t Authenticate_Remove();

// The tables and the "app" list themselves, without a reference; null before Init.
CertStoreTable* Authenticate_GetCertStoreTableHandle();
CertStoreTable* Authenticate_GetKeyStoreTableHandle();
CertStoreList* Authenticate_GetCertStoreAppListHandle();

// The named trust store with a reference for the caller. A name that is not registered logs
// "Unable to find certificate store (%s)\n" and yields a fresh null store, so the caller always
// holds a usable handle that trusts nothing.
CertStoreInterface* Authenticate_CertStoreGet(const char* name);
// The same over the key stores ("Unable to find key store (%s)\n", logged at DEBUG).
CertStoreInterface* Authenticate_KeyStoreGet(const char* name);
// Release and null the handle; a null handle is accepted. 1.
int64_t Authenticate_CertStoreRelease(CertStoreInterface** handle);
int64_t Authenticate_KeyStoreRelease(CertStoreInterface** handle);

// Checks the code signature of the file at path against the store; with the switch off, 1
// without looking at the file.
int64_t Authenticate_Validate(CertStoreInterface* store, const char* path);
// Checks a DER certificate file against the store; with the switch off, 1.
int64_t Authenticate_ValidateX509(CertStoreInterface* store, const char* path);
// Checks DER certificate bytes against the store; with the switch off, 1.
int64_t Authenticate_ValidateX509Memory(CertStoreInterface* store, const uint8_t* bytes, uint32_t length);
// The same check without regard to the switch and without logging.
int64_t Authenticate_ValidateX509MemoryInt(CertStoreInterface* store, const uint8_t* bytes, uint32_t length);
// Authenticate_ValidateX509 against the named trust store alone.
int64_t Authenticate_ValidateX509Interop(const char* storeName, const char* path);

// ---- Files by kind ---------------------------------------------------------------------------
// The signature check by file kind; 0 for a missing file, a directory or an unknown kind.
int64_t Executable_Authenticate(CertStoreInterface* store, const char* path);
// 1 when the path names a program file of a kind this system reads.
int64_t Executable_IsValid(const char* path);
// 1 when the file carries an embedded code signature.
int64_t Executable_HasCertificate(const char* path);
