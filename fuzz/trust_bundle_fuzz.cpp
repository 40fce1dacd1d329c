// Reads arbitrary bytes as the CA bundle (PEM blocks among any text) and evaluates a certificate
// taken from the end of the input against it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "core/linux/platform_trust.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static char path[] = "/tmp/trust_bundle_fuzz_XXXXXX";
    static int fd = mkstemp(path);
    if (fd < 0 || size < 2 || size > 1 << 20) return 0;
    // Two bytes give the length of the certificate at the end; the bytes before it are the bundle.
    size_t tail = (size_t)data[0] | (size_t)data[1] << 8;
    if (tail > size - 2) tail = size - 2;
    const size_t bundle = size - 2 - tail;
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data + 2, bundle, 0) != (ssize_t)bundle) return 0;
    Platform_SetTrustBundlePath(path);
    uint32_t denied = 1;
    Platform_AuthenticateCertificate(data + 2 + bundle, (uint32_t)tail, 0, &denied);
    return 0;
}
