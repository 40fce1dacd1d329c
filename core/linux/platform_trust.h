// The platform's trust evaluation of one certificate. On Linux a certificate is trusted when it is,
// or is signed by, a certificate of the system's CA bundle, judged by our own X.509 code.
#pragma once

#include <cstdint>

// The system bundle (Debian's ca-certificates).
#define PLATFORM_TRUST_BUNDLE_PATH "/etc/ssl/certs/ca-certificates.crt"

// 1 when the certificate (DER) is trusted: it is a bundle certificate, or a bundle certificate
// whose subject is its issuer is a CA (basicConstraints cA and keyCertSign when keyUsage is
// present; version 1 roots accepted), and verifies its signature. Both must be within their
// validity periods now. The bundle is read once, on first use. flags (1: fetch missing issuers)
// is accepted and not used: issuers are never fetched. *denied is set to 0: the bundle lists
// only what is trusted, so nothing is refused explicitly. Bytes that are not a certificate: 0.
int64_t Platform_AuthenticateCertificate(const uint8_t* der, uint32_t length, uint32_t flags, uint32_t* denied);

// Whether a certificate status code counts as an error: every code but 0, 0x8001210A,
// 0x8001210B (expired, not yet valid), 0x8001240D, 0x80012421 and 0x80012423.
int64_t Platform_CertificateIsError(uint32_t status);

// For tests: the bundle file read in place of the system's (null restores it). Drops the loaded
// bundle, which the next evaluation reads again. 1.
int64_t Platform_SetTrustBundlePath(const char* path);
