// Client-certificate state of an HTTP connection: asks the credential broker for a PKCS #12 file
// and its password for the remote address, and installs the answer in the TLS client.
#include "core/web/web_get_client_cert.h"

#include "core/runtime/class_family.h"

#include <cstring>

#include "core/net/tls1.h"
#include "core/platform/file.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/web/challenge.h"

struct WebGetClientCert {
    Class Header;
    uint32_t Cancel;
    char CertificatePath[WEBGET_CLIENT_CERT_PATH_SIZE];
    char Password[WEBGET_CLIENT_CERT_PASSWORD_SIZE];
    char Address[WEBGET_CLIENT_CERT_ADDRESS_SIZE];
};

namespace {

int64_t DeleteHandle(void** handle) {
    return WebGetClientCert_Delete(reinterpret_cast<WebGetClientCert**>(handle));
}

// The whole file in a new memory stream, or null when it cannot be opened or read in full.
MemoryStream* ReadWhole(const char* path) {
    File* file = nullptr;
    File_Create(&file);
    MemoryStream* stream = nullptr;
    uint64_t length = 0;
    if (File_Open(file, path, FILE_READ | FILE_SHARED) && File_Length(file, &length) && length > 0 &&
        length < 0x7fffffff) {
        MemoryStream_Create(&stream);
        MemoryStream_SetAutoGrow(stream, 1);
        uint8_t chunk[4096];
        uint64_t total = 0;
        uint32_t got = 0;
        while (total < length && File_Read(file, chunk, sizeof(chunk), &got) && got > 0) {
            uint32_t written = 0;
            if (!MemoryStream_Write(stream, chunk, got, &written) || written != got) break;
            total += got;
        }
        if (total != length) MemoryStream_Release(&stream);
    }
    File_Close(file);
    File_Release(&file);
    return stream;
}

} // namespace

CLASS_BASICS(WebGetClientCert, WebGetClientCert, WEBGET_CLIENT_CERT_CLASS_ID)

int64_t WebGetClientCert_Create(WebGetClientCert** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    WebGetClientCert* cert = static_cast<WebGetClientCert*>(Memory_AllocZero(sizeof(WebGetClientCert)));
    cert->Header.ClassId = WEBGET_CLIENT_CERT_CLASS_ID;
    cert->Header.RefCount = 1;
    cert->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(cert);
    Class_TrackInstance(cert, cert->Header.InstanceId, nullptr);
    *handle = cert;
    return 1;
}

int64_t WebGetClientCert_Delete(WebGetClientCert** handle) {
    ASSERT_POINTER(handle);
    WebGetClientCert* cert = *handle;
    CLASS_CHECK(cert, WEBGET_CLIENT_CERT_CLASS_ID);
    WebGetClientCert_Reset(cert);
    Class_UntrackInstance(cert);
    // The password does not linger in freed memory.
    memset(cert->Password, 0, sizeof(cert->Password));
    cert->Header.ClassId = 0;
    Memory_Free(cert, sizeof(WebGetClientCert));
    *handle = nullptr;
    return 1;
}

int64_t WebGetClientCert_SetAddress(WebGetClientCert* cert, const char* address) {
    CLASS_CHECK(cert, WEBGET_CLIENT_CERT_CLASS_ID);
    ASSERT_POINTER(address);
    if (!String_Compare(cert->Address, address)) WebGetClientCert_Reset(cert);
    String_CopyLength(cert->Address, address, (int32_t)sizeof(cert->Address));
    return 1;
}

int64_t WebGetClientCert_GetAddress(WebGetClientCert* cert, char* buffer, int32_t capacity) {
    CLASS_CHECK(cert, WEBGET_CLIENT_CERT_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLength(buffer, cert->Address, capacity);
    return 1;
}

int64_t WebGetClientCert_Reset(WebGetClientCert* cert) {
    CLASS_CHECK(cert, WEBGET_CLIENT_CERT_CLASS_ID);
    cert->Address[0] = 0;
    return WebGetClientCert_ClearCredentials(cert);
}

int64_t WebGetClientCert_ClearCredentials(WebGetClientCert* cert) {
    CLASS_CHECK(cert, WEBGET_CLIENT_CERT_CLASS_ID);
    cert->CertificatePath[0] = 0;
    memset(cert->Password, 0, sizeof(cert->Password));
    cert->Cancel = 0;
    return 1;
}

int64_t WebGetClientCert_GetCancel(WebGetClientCert* cert, uint32_t* cancel) {
    CLASS_CHECK(cert, WEBGET_CLIENT_CERT_CLASS_ID);
    ASSERT_POINTER(cancel);
    *cancel = cert->Cancel;
    return 1;
}

int64_t WebGetClientCert_SetCancel(WebGetClientCert* cert, uint32_t cancel) {
    CLASS_CHECK(cert, WEBGET_CLIENT_CERT_CLASS_ID);
    cert->Cancel = cancel;
    return 1;
}

int64_t WebGetClientCert_GetCertificatePath(WebGetClientCert* cert, char* buffer, int32_t capacity) {
    CLASS_CHECK(cert, WEBGET_CLIENT_CERT_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLength(buffer, cert->CertificatePath, capacity);
    return 1;
}

int64_t WebGetClientCert_Prompt(WebGetClientCert* cert, const char* certificateTypes, int32_t*, int32_t*) {
    CLASS_CHECK(cert, WEBGET_CLIENT_CERT_CLASS_ID);
    Dictionary* request = nullptr;
    Dictionary_Create(&request);
    Dictionary_AddString(request, "filter", "clientcert", nullptr);
    Dictionary* types = nullptr;
    Dictionary_AddList(request, "certificateTypes", &types, nullptr);
    const char* list = certificateTypes ? certificateTypes : "";
    char member[WEBGET_CLIENT_CERT_ADDRESS_SIZE];
    const int32_t count = *list ? String_CountChar(list, ',') + 1 : 0;
    for (int32_t i = 0; i < count; i++) {
        String_ListGetMember(list, ',', 1, i, member, (int32_t)sizeof(member));
        Dictionary_AddString(types, nullptr, member, nullptr);
    }
    Dictionary_AddString(request, "address", cert->Address, nullptr);
    Dictionary_AddString(request, "certificatePath", cert->CertificatePath, nullptr);
    Dictionary_AddString(request, "password", cert->Password, nullptr);
    Challenge_Request(request, cert->Header.InstanceId);
    Dictionary_Release(&request);
    return 1;
}

int64_t WebGetClientCert_SetCredentials(WebGetClientCert* cert, TLS1* tls, const char* path, const char* password) {
    CLASS_CHECK(cert, WEBGET_CLIENT_CERT_CLASS_ID);
    ASSERT_POINTER(path);
    if (!password) password = "";
    String_CopyLength(cert->CertificatePath, path, (int32_t)sizeof(cert->CertificatePath));
    String_CopyLength(cert->Password, password, (int32_t)sizeof(cert->Password));
    MemoryStream* stream = ReadWhole(cert->CertificatePath);
    int64_t ok = 0;
    if (stream) {
        ok = TLS1_SetClientCert(tls, stream, cert->Password) == 1;
        MemoryStream_Release(&stream);
    }
    if (!ok) TLS1_SetClientCert(tls, nullptr, "");
    return ok;
}

int64_t WebGetClientCert_InvalidateCredentials(WebGetClientCert* cert) {
    CLASS_CHECK(cert, WEBGET_CLIENT_CERT_CLASS_ID);
    Dictionary* request = nullptr;
    Dictionary_Create(&request);
    Dictionary_AddString(request, "filter", "clientcert", nullptr);
    Dictionary_AddString(request, "address", cert->Address, nullptr);
    const int64_t found = Challenge_ResponseInvalidate(request);
    Dictionary_Release(&request);
    return found;
}
