// Runs the document loader's decode step over arbitrary bodies: digest check, signed (JWS) and
// plain JSON, XML and YAML, chosen by parser kind or by a Content-Type taken from the input.
// Input: one byte of settings, the Content-Type up to the first newline, then the body.
#include <cstdint>
#include <cstring>
#include <string>

#include "core/certs/cert_store.h"
#include "core/crypto/hash.h"
#include "core/crypto/sha256.h"
#include "core/runtime/dictionary.h"
#include "core/web/async_http.h"
#include "core/web/async_http_internal.h"

namespace {

// The HMAC key of RFC 7515 A.1, so that seeds may carry valid tokens.
const char kHmacKey[] = "AyM1SysPpbyDfgZld3umj1qzKObwVMkoqQ+EstJQLr/T+1qS0gZH75aKtMN3Yj0iPS4hcgUuTwjAzZr1Z9CAow==";

const uint32_t kKinds[] = {ASYNCHTTP_PARSER_NONE, ASYNCHTTP_PARSER_JSON, ASYNCHTTP_PARSER_XML,
                           ASYNCHTTP_PARSER_YAML, ASYNCHTTP_PARSER_AUTO};

int64_t DiscardSome(AsyncHTTP*, void* user, uint32_t* code, uint32_t*) {
    const bool discard = *static_cast<bool*>(user);
    if (discard) *code = 900;
    return discard ? 0 : 1;
}

struct Loader {
    AsyncHTTP* Handle = nullptr;
    CertStoreInterface* Store = nullptr;
    bool Discard = false;
    Loader() {
        AsyncHTTP_Create(&Handle);
        CertStoreKey* key = nullptr;
        CertStoreKey_Create(&key);
        CertStoreKey_Decode(key, kHmacKey);
        Store = CertStoreKey_GetInterfaceHandle(key);
        CertStoreKey_Release(&key);
        AsyncHTTP_SetWorkerBuildCallback(Handle, &Discard, DiscardSome);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Loader loader;
    if (size < 1 || size > (1u << 16)) return 0;
    const uint8_t settings = data[0];
    const uint8_t* rest = data + 1;
    size_t left = size - 1;
    const void* newline = memchr(rest, '\n', left < 80 ? left : 80);
    std::string contentType;
    if (newline) {
        const size_t n = (size_t)(static_cast<const uint8_t*>(newline) - rest);
        contentType.assign(reinterpret_cast<const char*>(rest), n);
        rest += n + 1;
        left -= n + 1;
    }
    AsyncHTTP* l = loader.Handle;
    AsyncHTTP_SetParser(l, kKinds[(settings & 7) % 5]);
    AsyncHTTP_SetCertStoreHandle(l, (settings & 0x08) ? nullptr : loader.Store);
    loader.Discard = (settings & 0x40) != 0;
    // A digest of the body itself, one that cannot match, or none.
    char digest[ASYNCHTTP_DIGEST_SIZE] = {};
    if (settings & 0x10) Hash_QuickString(&SHA256_INTERFACE, rest, (int32_t)left, 0, digest, (int32_t)sizeof(digest));
    if (settings & 0x20) memset(digest, (settings & 0x10) ? '0' : 'f', 40);
    AsyncHTTP_SetDigest(l, digest);
    Dictionary* dict = nullptr;
    AsyncHTTP_GetDictionaryHandle(l, &dict);
    Dictionary_Reset(dict);
    uint32_t code = 0, codeEx = 0;
    AsyncHTTP_DecodeBody(l, rest, (uint32_t)left, contentType.c_str(), (settings & 0x80) != 0, &code, &codeEx);
    uint32_t count = 0;
    Dictionary_ItemGetCount(dict, &count);
    // A failed decode leaves no document of its own making behind.
    if (code == 979 && count != 0) __builtin_trap();
    return 0;
}
