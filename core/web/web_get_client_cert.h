// The client-certificate state of one HTTP connection: the remote address a certificate is wanted
// for, the PKCS #12 file and password the user gave through the credential broker, and whether
// the user declined.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

enum : uint32_t { WEBGET_CLIENT_CERT_CLASS_ID = 0x9157e8b9 };

enum : int32_t {
    WEBGET_CLIENT_CERT_PATH_SIZE = 320,
    WEBGET_CLIENT_CERT_PASSWORD_SIZE = 512,
    WEBGET_CLIENT_CERT_ADDRESS_SIZE = 320,
};

struct WebGetClientCert;
struct TLS1;

// Tracked as an instance, so that the broker's answer can be addressed to its id.
int64_t WebGetClientCert_Create(WebGetClientCert** handle);
int64_t WebGetClientCert_Delete(WebGetClientCert** handle);
int64_t WebGetClientCert_AddRef(WebGetClientCert* cert);
int64_t WebGetClientCert_Release(WebGetClientCert** handle);
int64_t WebGetClientCert_GetInstanceId(WebGetClientCert* cert, char* buffer, int32_t size);

// A different address forgets the credentials held for the old one.
int64_t WebGetClientCert_SetAddress(WebGetClientCert* cert, const char* address);
int64_t WebGetClientCert_GetAddress(WebGetClientCert* cert, char* buffer, int32_t capacity);
int64_t WebGetClientCert_Reset(WebGetClientCert* cert);
// Clears the path, the password and the cancel flag.
int64_t WebGetClientCert_ClearCredentials(WebGetClientCert* cert);
int64_t WebGetClientCert_GetCancel(WebGetClientCert* cert, uint32_t* cancel);
int64_t WebGetClientCert_SetCancel(WebGetClientCert* cert, uint32_t cancel);
int64_t WebGetClientCert_GetCertificatePath(WebGetClientCert* cert, char* buffer, int32_t capacity);

// Asks the broker for a certificate for the address; the types are the server's requested
// certificate types, comma-separated. Sets no error; 1.
int64_t WebGetClientCert_Prompt(WebGetClientCert* cert, const char* certificateTypes, int32_t* error,
                                int32_t* errorEx);
// Keeps the path and password and installs the PKCS #12 file in the TLS client; when the file
// cannot be read whole or the TLS client refuses it, the TLS client's certificate is cleared and
// the answer is 0.
int64_t WebGetClientCert_SetCredentials(WebGetClientCert* cert, TLS1* tls, const char* path, const char* password);
// Marks the broker's cached answer for the address as failed, so the next request prompts again.
int64_t WebGetClientCert_InvalidateCredentials(WebGetClientCert* cert);
