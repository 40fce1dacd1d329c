// HTTP authentication of one connection towards its server or its proxy: Basic, Digest (MD5,
// MD5-sess, qop auth and auth-int), and NTLM messages under the NTLM and Negotiate schemes, with
// the user's credentials asked through the credential broker.
#include "core/web/web_get_authenticate.h"

#include <cstring>

#include "core/crypto/hash.h"
#include "core/crypto/md5.h"
#include "core/formats/base64.h"
#include "core/runtime/class_family.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/web/challenge.h"
#include "core/web/ntlm.h"
#include "core/web/web_get.h"
#include "core/web/web_get_header.h"

namespace {

constexpr int32_t TextSize = WEBGET_AUTHENTICATE_TEXT_SIZE;
constexpr int32_t HeaderSize = WEBGET_AUTHENTICATE_HEADER_SIZE;
// NTLM messages travel in at most this many bytes each way.
constexpr int32_t NtlmMessageSize = 512;
constexpr int32_t DigestHexSize = 33;
constexpr int32_t ClientNonceSize = 17;

} // namespace

struct WebGetAuthenticate {
    Class Header;
    NTLM* Ntlm;
    uint32_t Verbose;
    uint32_t Flags;
    uint32_t Cancel;
    uint32_t RequestType;
    uint32_t CredentialsGiven;
    char Host[TextSize];
    char RequestURI[HeaderSize];
    char Realm[TextSize];
    char AccountName[TextSize];
    char User[TextSize];
    char Password[TextSize];
    char Domain[TextSize];
    char Workstation[TextSize];
    char HeaderValue[HeaderSize];
    char OneShot[HeaderSize];
    // The Digest challenge being answered: every request under one server nonce counts up from 1
    // with the same client nonce, and a new server nonce draws a new client nonce.
    uint32_t DigestReady;
    char Nonce[TextSize];
    char Opaque[TextSize];
    uint32_t HasOpaque;
    char Algorithm[WEBGET_AUTHENTICATE_ALGORITHM_SIZE];
    uint32_t HasAlgorithm;
    char Qop[16];
    char ClientNonce[ClientNonceSize];
    uint32_t NonceCount;
    char BodyDigest[DigestHexSize];
    // An authenticate message was built and no new handshake has begun since: a second challenge
    // message now means the answer failed, and asking the user beats answering again forever.
    uint32_t NtlmAnswered;
};

namespace {

int64_t DeleteHandle(void** handle) {
    return WebGetAuthenticate_Delete(reinterpret_cast<WebGetAuthenticate**>(handle));
}

WebGetAuthenticate* Checked(WebGetAuthenticate* auth) {
    CLASS_CHECK(auth, WEBGET_AUTHENTICATE_CLASS_ID);
    return auth;
}

bool IsProxy(const WebGetAuthenticate* a) {
    return (a->Flags & WEBGET_AUTH_PROXY) != 0;
}

void Md5Hex(const char* text, char out[DigestHexSize]) {
    Hash_QuickString(&MD5_INTERFACE, text, (int32_t)strlen(text), 0, out, DigestHexSize);
}

// MD5 of the parts joined by ':'.
void Md5Joined(const char* const* parts, int32_t count, char out[DigestHexSize]) {
    Hash* hash = nullptr;
    Hash_Create(&hash);
    Hash_SetInterface(hash, &MD5_INTERFACE);
    uint32_t done = 0;
    for (int32_t i = 0; i < count; i++) {
        if (i) Hash_Process(hash, ":", 1, &done);
        Hash_Process(hash, parts[i], (uint32_t)strlen(parts[i]), &done);
    }
    Hash_Generate(hash);
    Hash_GetString(hash, 0, out, DigestHexSize);
    Hash_Release(&hash);
}

Dictionary* KeyDictionary(WebGetAuthenticate* a) {
    Dictionary* d = nullptr;
    Dictionary_Create(&d);
    Dictionary_AddString(d, "filter", IsProxy(a) ? "webgetproxy" : "webgetserver", nullptr);
    Dictionary_AddInt32(d, "type", IsProxy(a) ? 1 : 0, nullptr);
    Dictionary_AddString(d, "host", a->Host, nullptr);
    Dictionary_AddString(d, "realm", a->Realm, nullptr);
    return d;
}

void ClearDigest(WebGetAuthenticate* a) {
    a->DigestReady = 0;
    a->Nonce[0] = 0;
    a->Opaque[0] = 0;
    a->HasOpaque = 0;
    a->Algorithm[0] = 0;
    a->HasAlgorithm = 0;
    a->Qop[0] = 0;
    a->ClientNonce[0] = 0;
    a->NonceCount = 0;
}

// A parameter of the challenge that must fit its buffer whole: a cut nonce or realm could only
// produce answers the server refuses. 1 found, 0 absent, -1 too long.
int32_t Parameter(const char* text, const char* name, char* value, int32_t capacity) {
    char wide[HeaderSize];
    if (!WebGet_HeaderValueExtractParameter(text, name, wide, sizeof(wide))) {
        value[0] = 0;
        return 0;
    }
    if ((int32_t)strlen(wide) >= capacity) {
        value[0] = 0;
        return -1;
    }
    String_CopyLength(value, wide, capacity);
    return 1;
}

// The Digest value for the request set last, under nonce count nc.
void BuildDigest(WebGetAuthenticate* a, uint32_t nc, char* out, int32_t capacity) {
    char ha1[DigestHexSize], ha2[DigestHexSize], response[DigestHexSize];
    const char* first[] = {a->User, a->Realm, a->Password};
    Md5Joined(first, 3, ha1);
    if (a->HasAlgorithm && String_CompareWithoutCase(a->Algorithm, "md5-sess")) {
        const char* sess[] = {ha1, a->Nonce, a->ClientNonce};
        Md5Joined(sess, 3, ha1);
    }
    char method[32];
    String_CopyLength(method, WebGet_TranslateRequestType((int32_t)a->RequestType), sizeof(method));
    String_Upper(method);
    const bool integrity = String_Compare(a->Qop, "auth-int") != 0;
    if (integrity) {
        const char* second[] = {method, a->RequestURI, a->BodyDigest};
        Md5Joined(second, 3, ha2);
    } else {
        const char* second[] = {method, a->RequestURI};
        Md5Joined(second, 2, ha2);
    }
    char count[9];
    String_Print(count, sizeof(count), "%08x", nc);
    if (a->Qop[0]) {
        const char* all[] = {ha1, a->Nonce, count, a->ClientNonce, a->Qop, ha2};
        Md5Joined(all, 6, response);
    } else {
        const char* all[] = {ha1, a->Nonce, ha2};
        Md5Joined(all, 3, response);
    }
    String_Print(out, capacity, "Digest username=\"%s\", realm=\"%s\", nonce=\"%s\", uri=\"%s\",", a->User, a->Realm,
                 a->Nonce, a->RequestURI);
    char part[TextSize + 64];
    if (a->HasAlgorithm) {
        String_Print(part, sizeof(part), " algorithm=%s,", a->Algorithm);
        String_CatLength(out, part, capacity);
    }
    if (a->Qop[0]) {
        String_Print(part, sizeof(part), " qop=\"%s\", nc=%s, cnonce=\"%s\",", a->Qop, count, a->ClientNonce);
        String_CatLength(out, part, capacity);
    }
    String_Print(part, sizeof(part), " response=\"%s\"", response);
    String_CatLength(out, part, capacity);
    if (a->HasOpaque) {
        String_Print(part, sizeof(part), ", opaque=\"%s\"", a->Opaque);
        String_CatLength(out, part, capacity);
    }
}

int64_t Fail(int32_t* error, int32_t code, const char* why, const char* detail) {
    Log_Print(LOG_LEVEL_DEBUG, "WebGetAuthenticate: %s (%s)", why, detail);
    *error = code;
    return 0;
}

int64_t AuthBasic(WebGetAuthenticate* a, const char* text) {
    Parameter(text, "realm", a->Realm, sizeof(a->Realm));
    if (!WebGetAuthenticate_RaiseAuthenticate(a)) return 0;
    char plain[TextSize * 2 + 2];
    String_Print(plain, sizeof(plain), "%s:%s", a->User, a->Password);
    char encoded[HeaderSize];
    uint32_t written = 0;
    Base64_Encode(plain, (int32_t)strlen(plain), encoded, sizeof(encoded), &written);
    memset(plain, 0, sizeof(plain));
    String_Print(a->HeaderValue, sizeof(a->HeaderValue), "Basic %s", encoded);
    return 1;
}

int64_t AuthDigest(WebGetAuthenticate* a, const char* text, int32_t* error) {
    char realm[TextSize], nonce[TextSize], opaque[TextSize], algorithm[WEBGET_AUTHENTICATE_ALGORITHM_SIZE];
    char qop[TextSize], domain[TextSize], stale[16];
    const int32_t hasRealm = Parameter(text, "realm", realm, sizeof(realm));
    const int32_t hasNonce = Parameter(text, "nonce", nonce, sizeof(nonce));
    const int32_t hasOpaque = Parameter(text, "opaque", opaque, sizeof(opaque));
    const int32_t hasAlgorithm = Parameter(text, "algorithm", algorithm, sizeof(algorithm));
    const int32_t hasQop = Parameter(text, "qop", qop, sizeof(qop));
    Parameter(text, "domain", domain, sizeof(domain));
    Parameter(text, "stale", stale, sizeof(stale));
    if (hasRealm < 0 || hasNonce < 0 || hasOpaque < 0 || hasAlgorithm < 0 || hasQop < 0)
        return Fail(error, WEBGET_ERROR_AUTH_NOT_SUPPORTED, "Digest challenge field too long", a->Host);
    if (hasNonce == 0 || !nonce[0]) return Fail(error, WEBGET_ERROR_AUTH_NOT_SUPPORTED, "Digest challenge without nonce", a->Host);
    if (hasAlgorithm && !String_CompareWithoutCase(algorithm, "md5") &&
        !String_CompareWithoutCase(algorithm, "md5-sess"))
        return Fail(error, WEBGET_ERROR_AUTH_NOT_SUPPORTED, "Digest algorithm not supported", algorithm);
    String_CopyLength(a->Realm, realm, sizeof(a->Realm));
    if (!String_Compare(a->Nonce, nonce) || !a->ClientNonce[0]) {
        // A new server nonce: a new client nonce, and the count starts again.
        uint8_t random[8];
        Memory_CryptFill(random, sizeof(random));
        Hash_ConvertDigestToString(random, sizeof(random), 0, a->ClientNonce, sizeof(a->ClientNonce));
        a->NonceCount = 0;
    }
    String_CopyLength(a->Nonce, nonce, sizeof(a->Nonce));
    String_CopyLength(a->Opaque, opaque, sizeof(a->Opaque));
    a->HasOpaque = hasOpaque > 0;
    String_CopyLength(a->Algorithm, algorithm, sizeof(a->Algorithm));
    a->HasAlgorithm = hasAlgorithm > 0;
    a->Qop[0] = 0;
    if (hasQop > 0) String_CopyLength(a->Qop, String_CompareBeginningWithoutCase(qop, "auth-int") ? "auth-int" : "auth", sizeof(a->Qop));
    // A stale nonce says the credentials were right: answer again without asking.
    const bool staleOnly = String_CompareWithoutCase(stale, "true") && a->DigestReady && a->User[0];
    if (!staleOnly && !WebGetAuthenticate_RaiseAuthenticate(a)) return 0;
    a->DigestReady = 1;
    BuildDigest(a, a->NonceCount + 1, a->HeaderValue, sizeof(a->HeaderValue));
    return 1;
}

} // namespace

CLASS_BASICS(WebGetAuthenticate, WebGetAuthenticate, WEBGET_AUTHENTICATE_CLASS_ID)

int64_t WebGetAuthenticate_Create(WebGetAuthenticate** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    WebGetAuthenticate* a = static_cast<WebGetAuthenticate*>(Memory_AllocZero(sizeof(WebGetAuthenticate)));
    a->Header.ClassId = WEBGET_AUTHENTICATE_CLASS_ID;
    a->Header.RefCount = 1;
    a->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(a);
    const char* empty = "";
    Md5Hex(empty, a->BodyDigest);
    *handle = a;
    return 1;
}

int64_t WebGetAuthenticate_Delete(WebGetAuthenticate** handle) {
    ASSERT_POINTER(handle);
    WebGetAuthenticate* a = Checked(*handle);
    *handle = nullptr;
    if (a->Ntlm) NTLM_Release(&a->Ntlm);
    // Secrets do not linger in freed memory.
    memset(a, 0, sizeof(WebGetAuthenticate));
    Memory_Free(a, sizeof(WebGetAuthenticate));
    return 1;
}

int64_t WebGetAuthenticate_SetProxy(WebGetAuthenticate* auth, uint32_t flag) {
    Checked(auth);
    if (flag == 1)
        auth->Flags |= WEBGET_AUTH_PROXY;
    else
        auth->Flags &= ~(uint32_t)WEBGET_AUTH_PROXY;
    return 1;
}

int64_t WebGetAuthenticate_GetProxy(WebGetAuthenticate* auth, uint32_t* flag) {
    ASSERT_POINTER(flag);
    *flag = IsProxy(Checked(auth)) ? 1 : 0;
    return 1;
}

int64_t WebGetAuthenticate_SetHost(WebGetAuthenticate* auth, const char* host) {
    Checked(auth);
    ASSERT_POINTER(host);
    if (!String_CompareWithoutCase(auth->Host, host)) WebGetAuthenticate_Reset(auth);
    String_CopyLength(auth->Host, host, sizeof(auth->Host));
    return 1;
}

int64_t WebGetAuthenticate_GetHost(WebGetAuthenticate* auth, char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    String_CopyLength(buffer, Checked(auth)->Host, capacity);
    return 1;
}

int64_t WebGetAuthenticate_SetRequestType(WebGetAuthenticate* auth, uint32_t type) {
    Checked(auth)->RequestType = type;
    return 1;
}

int64_t WebGetAuthenticate_GetRequestType(WebGetAuthenticate* auth, uint32_t* type) {
    ASSERT_POINTER(type);
    *type = Checked(auth)->RequestType;
    return 1;
}

int64_t WebGetAuthenticate_SetRequestURI(WebGetAuthenticate* auth, const char* uri) {
    ASSERT_POINTER(uri);
    String_CopyLength(Checked(auth)->RequestURI, uri, sizeof(auth->RequestURI));
    return 1;
}

int64_t WebGetAuthenticate_GetRequestURI(WebGetAuthenticate* auth, char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    String_CopyLength(buffer, Checked(auth)->RequestURI, capacity);
    return 1;
}

int64_t WebGetAuthenticate_SetRequestBody(WebGetAuthenticate* auth, const void* data, uint32_t length) {
    Checked(auth);
    Hash_QuickString(&MD5_INTERFACE, data ? data : "", data ? (int32_t)length : 0, 0, auth->BodyDigest,
                     sizeof(auth->BodyDigest));
    return 1;
}

int64_t WebGetAuthenticate_SetVerbose(WebGetAuthenticate* auth, uint32_t flag) {
    Checked(auth)->Verbose = flag;
    return 1;
}

int64_t WebGetAuthenticate_GetVerbose(WebGetAuthenticate* auth, uint32_t* flag) {
    ASSERT_POINTER(flag);
    *flag = Checked(auth)->Verbose;
    return 1;
}

int64_t WebGetAuthenticate_GetFlags(WebGetAuthenticate* auth, uint32_t* flags) {
    ASSERT_POINTER(flags);
    *flags = Checked(auth)->Flags;
    return 1;
}

int64_t WebGetAuthenticate_SetCredentials(WebGetAuthenticate* auth, const char* account, const char* password) {
    Checked(auth);
    String_CopyLength(auth->AccountName, account ? account : "", sizeof(auth->AccountName));
    String_CopyLength(auth->Password, password ? password : "", sizeof(auth->Password));
    auth->CredentialsGiven = 1;
    return 1;
}

int64_t WebGetAuthenticate_SetCancel(WebGetAuthenticate* auth, uint32_t flag) {
    Checked(auth)->Cancel = flag;
    return 1;
}

int64_t WebGetAuthenticate_GetCancel(WebGetAuthenticate* auth, uint32_t* flag) {
    ASSERT_POINTER(flag);
    *flag = Checked(auth)->Cancel;
    return 1;
}

int64_t WebGetAuthenticate_RaiseAuthenticate(WebGetAuthenticate* auth) {
    WebGetAuthenticate* a = Checked(auth);
    if (a->CredentialsGiven) {
        a->CredentialsGiven = 0;
        const char* split = nullptr;
        String_FindFirstChar(a->AccountName, "/\\", &split);
        if (split) {
            const int32_t length = (int32_t)(split - a->AccountName);
            String_CopyLength(a->Domain, a->AccountName, length + 1 < TextSize ? length + 1 : TextSize);
            String_CopyLength(a->User, split + 1, sizeof(a->User));
        } else {
            a->Domain[0] = 0;
            String_CopyLength(a->User, a->AccountName, sizeof(a->User));
        }
        return 1;
    }
    Dictionary* request = KeyDictionary(a);
    Dictionary_AddString(request, "username", a->AccountName, nullptr);
    Dictionary_AddString(request, "password", a->Password, nullptr);
    Challenge_Request(request, a->Header.InstanceId);
    Dictionary_Release(&request);
    return 0;
}

int64_t WebGetAuthenticate_AuthNTLM(WebGetAuthenticate* auth, const char* scheme, const char* text, int32_t* error,
                                    int32_t*) {
    WebGetAuthenticate* a = Checked(auth);
    char* header = static_cast<char*>(Memory_Alloc(HeaderSize));
    String_Print(header, HeaderSize, "%s ", scheme);
    const int32_t prefix = (int32_t)strlen(header);
    if (!a->Ntlm) NTLM_Create(&a->Ntlm);
    uint8_t bytes[NtlmMessageSize + 1];
    int64_t result = 0;
    if ((uint8_t)text[0] >= 32 && !a->NtlmAnswered) {
        // The server's challenge message: answered with the credentials the negotiate message
        // went out with.
        uint32_t length = 0;
        NTLMResponse2* challenge = nullptr;
        NTLMRequest3* answer = nullptr;
        if (strlen(text) > (size_t)(NtlmMessageSize / 3 * 4 + 4) ||
            !Base64_Decode(text, -1, bytes, sizeof(bytes), &length) ||
            !NTLM_Response2Create(a->Ntlm, bytes, (int32_t)length, &challenge)) {
            Fail(error, WEBGET_ERROR_AUTH_NOT_SUPPORTED, "NTLM challenge message not understood", a->Host);
        } else {
            if (a->Verbose) NTLM_Response2Print(a->Ntlm, challenge);
            if (!NTLM_Request3Create(a->Ntlm, challenge, a->User, a->Password, &answer)) {
                Fail(error, WEBGET_ERROR_AUTH_NOT_SUPPORTED, "NTLM authenticate message not built", a->Host);
            } else {
                const int64_t size = NTLM_Request3GetBuffer(a->Ntlm, answer, bytes, NtlmMessageSize);
                uint32_t written = 0;
                Base64_Encode(bytes, (int32_t)size, header + prefix, HeaderSize - prefix, &written);
                String_CopyLength(a->OneShot, header, sizeof(a->OneShot));
                a->NtlmAnswered = 1;
                result = 1;
            }
            NTLM_Request3Delete(a->Ntlm, &answer);
            NTLM_Response2Delete(a->Ntlm, &challenge);
        }
    } else if (WebGetAuthenticate_RaiseAuthenticate(a)) {
        a->NtlmAnswered = 0;
        NTLMRequest1* negotiate = nullptr;
        NTLM_Request1Create(a->Ntlm, a->Domain, a->Workstation, &negotiate);
        const int64_t size = NTLM_Request1GetBuffer(a->Ntlm, negotiate, bytes, NtlmMessageSize);
        NTLM_Request1Delete(a->Ntlm, &negotiate);
        uint32_t written = 0;
        Base64_Encode(bytes, (int32_t)size, header + prefix, HeaderSize - prefix, &written);
        String_CopyLength(a->HeaderValue, header, sizeof(a->HeaderValue));
        result = 1;
    }
    memset(bytes, 0, sizeof(bytes));
    Memory_Free(header, HeaderSize);
    return result;
}

int64_t WebGetAuthenticate_Authenticate(WebGetAuthenticate* auth, const char* headers, int32_t* error,
                                        int32_t* errorEx) {
    WebGetAuthenticate* a = Checked(auth);
    ASSERT_POINTER(headers);
    ASSERT_POINTER(error);
    ASSERT_POINTER(errorEx);
    *error = 0;
    *errorEx = 0;
    char* value = static_cast<char*>(Memory_Alloc(HeaderSize));
    int64_t result = 0;
    const char* name = IsProxy(a) ? "Proxy-Authenticate" : "WWW-Authenticate";
    if (!WebGet_HeaderGetByName(headers, name, value, HeaderSize)) {
        *error = WEBGET_ERROR_AUTH_HEADER_NOT_FOUND;
    } else {
        struct Scheme {
            const char* Name;
            uint32_t Flag;
        };
        constexpr Scheme schemes[] = {{"Basic", WEBGET_AUTH_BASIC},
                                      {"Digest", WEBGET_AUTH_DIGEST},
                                      {"NTLM", WEBGET_AUTH_NTLM},
                                      {"Negotiate", WEBGET_AUTH_NEGOTIATE}};
        const Scheme* chosen = nullptr;
        for (const Scheme& s : schemes)
            if (!chosen && String_CompareBeginningWithoutCase(value, s.Name)) chosen = &s;
        if (!chosen) {
            Fail(error, WEBGET_ERROR_AUTH_NOT_SUPPORTED, "Authentication scheme not supported", value);
        } else {
            a->Flags |= chosen->Flag;
            // The text after the scheme name and its blanks.
            const char* rest = value + strlen(chosen->Name);
            while (*rest == ' ' || *rest == '\t') rest++;
            if (chosen->Flag == WEBGET_AUTH_BASIC) {
                a->DigestReady = 0;
                result = AuthBasic(a, rest);
            } else if (chosen->Flag == WEBGET_AUTH_DIGEST) {
                result = AuthDigest(a, rest, error);
            } else {
                a->DigestReady = 0;
                result = WebGetAuthenticate_AuthNTLM(a, chosen->Name, rest, error, errorEx);
            }
        }
    }
    Memory_Free(value, HeaderSize);
    return result;
}

int64_t WebGetAuthenticate_GetHeader(WebGetAuthenticate* auth, char* buffer, int32_t capacity) {
    WebGetAuthenticate* a = Checked(auth);
    ASSERT_POINTER(buffer);
    if (a->OneShot[0]) {
        String_CopyLength(buffer, a->OneShot, capacity);
        a->OneShot[0] = 0;
        return 1;
    }
    if (a->DigestReady) {
        a->NonceCount++;
        BuildDigest(a, a->NonceCount, a->HeaderValue, sizeof(a->HeaderValue));
    }
    // The negotiate message going out again begins a new handshake.
    if (a->Ntlm) a->NtlmAnswered = 0;
    String_CopyLength(buffer, a->HeaderValue, capacity);
    return 1;
}

int64_t WebGetAuthenticate_IsNTLM(WebGetAuthenticate* auth) {
    return Checked(auth)->Ntlm != nullptr;
}

int64_t WebGetAuthenticate_InvalidateCredentials(WebGetAuthenticate* auth) {
    Dictionary* request = KeyDictionary(Checked(auth));
    const int64_t found = Challenge_ResponseInvalidate(request);
    Dictionary_Release(&request);
    return found;
}

int64_t WebGetAuthenticate_ClearCredentials(WebGetAuthenticate* auth) {
    WebGetAuthenticate* a = Checked(auth);
    memset(a->User, 0, sizeof(a->User));
    memset(a->Password, 0, sizeof(a->Password));
    a->Domain[0] = 0;
    a->Workstation[0] = 0;
    a->CredentialsGiven = 0;
    a->Cancel = 0;
    return 1;
}

int64_t WebGetAuthenticate_Reset(WebGetAuthenticate* auth) {
    WebGetAuthenticate* a = Checked(auth);
    a->RequestType = 0;
    a->Host[0] = 0;
    a->RequestURI[0] = 0;
    a->Realm[0] = 0;
    a->HeaderValue[0] = 0;
    a->OneShot[0] = 0;
    ClearDigest(a);
    a->NtlmAnswered = 0;
    if (a->Ntlm) NTLM_Release(&a->Ntlm);
    return WebGetAuthenticate_ClearCredentials(a);
}
