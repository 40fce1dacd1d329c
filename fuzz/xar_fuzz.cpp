// Reads arbitrary bytes as an installer package (xar). The first byte picks the mode: the bytes
// as the whole file, or a table of contents (before the first NUL) and a heap (after it), packed
// into a package with a correct header and checksum so that the signature and file checks are
// reached, and the file checks also run on their own.
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/certs/cert_store.h"
#include "core/certs/pkg_file.h"
#include "core/crypto/hash.h"
#include "core/crypto/sha1.h"
#include "core/formats/xml.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/dictionary.h"

namespace {

std::string Pack(const uint8_t* data, size_t size) {
    const uint8_t* nul = static_cast<const uint8_t*>(memchr(data, 0, size));
    const size_t tocSize = nul ? (size_t)(nul - data) : size;
    uLongf compressedSize = compressBound(tocSize);
    std::string compressed(compressedSize, '\0');
    if (compress2(reinterpret_cast<Bytef*>(compressed.data()), &compressedSize, data, tocSize, 6) != Z_OK) return {};
    compressed.resize(compressedSize);
    uint8_t digest[20];
    Hash_QuickDigest(&SHA1_INTERFACE, compressed.data(), (int32_t)compressed.size(), digest, sizeof(digest));
    std::string header = std::string("xar!") + std::string{0, 28, 0, 1};
    for (uint64_t v : {(uint64_t)compressed.size(), (uint64_t)tocSize})
        for (int i = 7; i >= 0; i--) header += (char)(v >> (8 * i));
    header += std::string{0, 0, 0, 1};
    std::string heap(reinterpret_cast<const char*>(digest), sizeof(digest));
    if (nul) heap.append(reinterpret_cast<const char*>(nul + 1), size - tocSize - 1);
    return header + compressed + heap;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 128 * 1024) return 0;
    const bool pack = data[0] & 1;
    const std::string file = pack ? Pack(data + 1, size - 1) : std::string(reinterpret_cast<const char*>(data + 1), size - 1);

    static int fd = memfd_create("xar_fuzz", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, file.data(), file.size(), 0) != (ssize_t)file.size()) return 0;
    char path[64];
    snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);

    CertStoreNull* store = nullptr;
    CertStoreNull_Create(&store);
    CertStoreInterface* iface = CertStoreNull_GetInterfaceHandle(store);
    PKGFile_IsValid(path);
    // Nothing is trusted, so no package may pass.
    if (PKGFile_Verify(iface, path)) __builtin_trap();
    CertStoreInterface_Release(&iface);
    CertStoreNull_Release(&store);

    if (pack) {
        // The file checks over the same table of contents and heap, without the signature.
        const uint8_t* toc = data + 1;
        const uint8_t* nul = static_cast<const uint8_t*>(memchr(toc, 0, size - 1));
        const uint32_t tocSize = (uint32_t)(nul ? nul - toc : (ptrdiff_t)(size - 1));
        Dictionary* dict = nullptr;
        Dictionary_Create(&dict);
        XML* xml = nullptr;
        XML_Create(&xml);
        XML_SetDictionaryHandle(xml, dict);
        Dictionary* root = nullptr;
        if (!file.empty() && XML_LoadBuffer(xml, toc, tocSize) && Dictionary_GetDictionaryByPath(dict, "xar.toc", &root)) {
            MemoryStream* memory = nullptr;
            MemoryStream_Create(&memory);
            MemoryStream_SetAutoGrow(memory, 1);
            uint32_t written = 0;
            if (!file.empty()) MemoryStream_Write(memory, file.data(), (uint32_t)file.size(), &written);
            Stream* stream = nullptr;
            MemoryStream_GetStreamHandle(memory, &stream);
            const uint64_t heapLength = 20 + (nul ? (size - 1) - tocSize - 1 : 0);
            PKGFile_VerifyFileData(stream, root, file.size() - heapLength, ".");
            MemoryStream_Release(&memory);
        }
        XML_Release(&xml);
        Dictionary_Release(&dict);
    }
    return 0;
}
