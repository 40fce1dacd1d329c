// Answers arbitrary authentication challenges: the input's first byte picks the server or proxy
// authenticator, whether credentials are at hand and the request method; the rest is the value
// of the challenge header, answered twice (as a first challenge and as the next one) with every
// header handed out checked for its bound.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/runtime/debug.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "core/web/ntlm.h"
#include "core/web/web_get.h"
#include "core/web/web_get_authenticate.h"

namespace {

void Check(bool ok) {
    if (!ok) abort();
}

void TakeHeader(WebGetAuthenticate* auth) {
    char buffer[WEBGET_AUTHENTICATE_HEADER_SIZE + 1];
    buffer[WEBGET_AUTHENTICATE_HEADER_SIZE] = 'x';
    WebGetAuthenticate_GetHeader(auth, buffer, WEBGET_AUTHENTICATE_HEADER_SIZE);
    Check(buffer[WEBGET_AUTHENTICATE_HEADER_SIZE] == 'x');
    Check(strlen(buffer) < WEBGET_AUTHENTICATE_HEADER_SIZE);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Debug_Init(nullptr, nullptr, 0);
    Thread_Init();
    EventQueue_Init();
    NotificationCenter_Init();
    NTLM_SetForTest(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 20000) return 0;
    const uint8_t mode = data[0];
    const std::string value(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (value.find_first_of("\r\n") != std::string::npos) return 0; // one header line
    const bool proxy = mode & 1;
    const std::string block = std::string("HTTP/1.1 ") + (proxy ? "407 x\r\nProxy" : "401 x\r\nWWW") +
                              "-Authenticate: " + value + "\r\nContent-Length: 0\r\n\r\n";
    WebGetAuthenticate* auth = nullptr;
    WebGetAuthenticate_Create(&auth);
    WebGetAuthenticate_SetProxy(auth, proxy ? 1 : 0);
    WebGetAuthenticate_SetHost(auth, "host.test");
    WebGetAuthenticate_SetRequestType(auth, (mode >> 2) & 7);
    WebGetAuthenticate_SetRequestURI(auth, "/a?b=c");
    WebGetAuthenticate_SetRequestBody(auth, data, (uint32_t)size);
    for (int round = 0; round < 2; round++) {
        if (mode & 2) WebGetAuthenticate_SetCredentials(auth, round ? "DOMAIN\\user" : "user", "password");
        int32_t error = -1, extended = -1;
        const int64_t answered = WebGetAuthenticate_Authenticate(auth, block.c_str(), &error, &extended);
        Check(answered == 0 || error == 0);
        Check(error == 0 || error == WEBGET_ERROR_AUTH_HEADER_NOT_FOUND || error == WEBGET_ERROR_AUTH_NOT_SUPPORTED);
        TakeHeader(auth);
        TakeHeader(auth);
    }
    WebGetAuthenticate_Release(&auth);
    // Credential requests raised on the way are delivered to nobody.
    EventQueue_Flush(nullptr);
    NotificationCenter_Process();
    return 0;
}
