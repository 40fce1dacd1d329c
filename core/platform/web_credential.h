// Keys of the stored web credentials: the access type's protocols and the server text's host and
// port. Portable; the credential store itself lives in core/linux/gui/platform_keychain.
#pragma once

#include <cstdint>

// WebCredentialType: which protocols a web credential is stored and looked up under.
enum : uint32_t {
    WEBCREDENTIAL_HTTP_AND_HTTPS = 0,
    WEBCREDENTIAL_PROXY_AND_HTTPS_PROXY = 1,
    WEBCREDENTIAL_HTTP = 2,
    WEBCREDENTIAL_HTTPS = 3,
    WEBCREDENTIAL_HTTP_PROXY = 4,
    WEBCREDENTIAL_HTTPS_PROXY = 5,
};

// Capacity of the host taken from a server text, terminator included.
constexpr int32_t WEBCREDENTIAL_HOST_SIZE = 120;

// Splits "host", "host:port", "[v6]" or "[v6]:port" (an IPv6 address without brackets is a host
// without port); the port is 80 when none is given. 0, with host empty and port 0, for an empty
// host, a port that is not a decimal number from 1 to 65535, an unclosed bracket, or a host that
// does not fit: storing under a cut or guessed key would file the secret under another server.
int64_t WebCredential_ParseServer(const char* server, char* host, int32_t hostSize, int32_t* port);

// The protocol names of a type, as kept in the store: the ones written when storing (two for
// types 0 and 1) and the one read when looking up. Null for a type above 5.
const char* WebCredential_LookupProtocol(uint32_t type);
// Writes up to two names into `names`; answers how many (0 for a type above 5).
int32_t WebCredential_StoreProtocols(uint32_t type, const char* names[2]);
