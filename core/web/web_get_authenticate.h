// Answers HTTP 401 and 407 challenges for one connection: picks the scheme (Basic, Digest, NTLM,
// Negotiate), asks the credential broker for the user's name and password, and builds the
// Authorization or Proxy-Authorization value the connection sends when it repeats the request.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

enum : uint32_t { WEBGET_AUTHENTICATE_CLASS_ID = 0x0cfa0bd4 };

enum : int32_t {
    WEBGET_AUTHENTICATE_TEXT_SIZE = 512,     // host, realm, names, password, nonce, opaque
    WEBGET_AUTHENTICATE_ALGORITHM_SIZE = 32,
    WEBGET_AUTHENTICATE_HEADER_SIZE = 8192,  // header values and the request URI
};

struct WebGetAuthenticate;

int64_t WebGetAuthenticate_Create(WebGetAuthenticate** handle);
int64_t WebGetAuthenticate_Delete(WebGetAuthenticate** handle);
int64_t WebGetAuthenticate_AddRef(WebGetAuthenticate* auth);
int64_t WebGetAuthenticate_Release(WebGetAuthenticate** handle);
int64_t WebGetAuthenticate_GetInstanceId(WebGetAuthenticate* auth, char* buffer, int32_t size);

// 1 makes it the proxy's authenticator (407, "Proxy-Authenticate"); anything else the server's.
int64_t WebGetAuthenticate_SetProxy(WebGetAuthenticate* auth, uint32_t flag);
int64_t WebGetAuthenticate_GetProxy(WebGetAuthenticate* auth, uint32_t* flag);
// A host other than the stored one (case ignored) resets everything first.
int64_t WebGetAuthenticate_SetHost(WebGetAuthenticate* auth, const char* host);
int64_t WebGetAuthenticate_GetHost(WebGetAuthenticate* auth, char* buffer, int32_t capacity);
// Method, URI and body of the request the next header is for (Digest hashes them).
int64_t WebGetAuthenticate_SetRequestType(WebGetAuthenticate* auth, uint32_t type);
int64_t WebGetAuthenticate_GetRequestType(WebGetAuthenticate* auth, uint32_t* type);
int64_t WebGetAuthenticate_SetRequestURI(WebGetAuthenticate* auth, const char* uri);
int64_t WebGetAuthenticate_GetRequestURI(WebGetAuthenticate* auth, char* buffer, int32_t capacity);
int64_t WebGetAuthenticate_SetRequestBody(WebGetAuthenticate* auth, const void* data, uint32_t length);
int64_t WebGetAuthenticate_SetVerbose(WebGetAuthenticate* auth, uint32_t flag);
int64_t WebGetAuthenticate_GetVerbose(WebGetAuthenticate* auth, uint32_t* flag);
// The proxy bit and the schemes met so far (WEBGET_AUTH_*).
int64_t WebGetAuthenticate_GetFlags(WebGetAuthenticate* auth, uint32_t* flags);
int64_t WebGetAuthenticate_SetCredentials(WebGetAuthenticate* auth, const char* account, const char* password);
int64_t WebGetAuthenticate_SetCancel(WebGetAuthenticate* auth, uint32_t flag);
int64_t WebGetAuthenticate_GetCancel(WebGetAuthenticate* auth, uint32_t* flag);

// Answers the challenge in the response header block: 1 with a header ready; 0 with an error
// when it cannot be answered (981 no challenge, 982 scheme not supported or challenge unusable);
// 0 with error 0 when credentials were asked for: wait for the broker's answer.
int64_t WebGetAuthenticate_Authenticate(WebGetAuthenticate* auth, const char* headers, int32_t* error,
                                        int32_t* errorEx);
// The NTLM authenticate message once after it was built, otherwise the standing header. A Digest
// header is computed afresh for the request set last, with the next nonce count.
int64_t WebGetAuthenticate_GetHeader(WebGetAuthenticate* auth, char* buffer, int32_t capacity);
int64_t WebGetAuthenticate_IsNTLM(WebGetAuthenticate* auth);
// Marks the broker's cached answer for this host and realm as failed.
int64_t WebGetAuthenticate_InvalidateCredentials(WebGetAuthenticate* auth);
int64_t WebGetAuthenticate_ClearCredentials(WebGetAuthenticate* auth);
int64_t WebGetAuthenticate_Reset(WebGetAuthenticate* auth);
// 1 when credentials given since the last check are at hand; otherwise asks the broker and
// answers 0.
int64_t WebGetAuthenticate_RaiseAuthenticate(WebGetAuthenticate* auth);
// NTLM and Negotiate: the scheme name and the text after it.
int64_t WebGetAuthenticate_AuthNTLM(WebGetAuthenticate* auth, const char* scheme, const char* text,
                                    int32_t* error, int32_t* errorEx);
