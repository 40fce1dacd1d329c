// Memory for read-only file views over anonymous private mappings: whole pages, so that a view can
// be made read-only and trimmed to the content actually read.
#include "core/linux/platform_file_map.h"

#include <cerrno>
#include <cstddef>
#include <sys/mman.h>
#include <unistd.h>

#include "core/runtime/debug.h"

namespace {

uint64_t PageSize() {
    const long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? (uint64_t)page : 4096;
}

uint64_t RoundUpToPage(uint64_t size) {
    const uint64_t page = PageSize();
    return (size + page - 1) / page * page;
}

} // namespace

int64_t Platform_FileViewReserve(uint64_t size, void** address) {
    ASSERT_POINTER(address);
    *address = nullptr;
    // Sizes that do not fit the address space (or would wrap when rounded to pages) are refused.
    if (size == 0 || size > (uint64_t)SIZE_MAX - PageSize()) {
        errno = size == 0 ? EINVAL : ENOMEM;
        return 0;
    }
    void* mapped = mmap(nullptr, (size_t)size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return 0;
    *address = mapped;
    return 1;
}

int64_t Platform_FileViewSeal(void* address, uint64_t reserved, uint64_t used) {
    ASSERT_POINTER(address);
    ASSERT_MSG(used > 0 && used <= reserved, "The content must lie within the reservation\n");
    const uint64_t kept = RoundUpToPage(used);
    const uint64_t whole = RoundUpToPage(reserved);
    if (whole > kept && munmap(static_cast<char*>(address) + kept, (size_t)(whole - kept)) != 0) return 0;
    return mprotect(address, (size_t)kept, PROT_READ) == 0;
}

int64_t Platform_FileViewRelease(void** address, uint64_t size) {
    ASSERT_POINTER(address);
    if (!*address) return 1;
    const bool released = munmap(*address, (size_t)RoundUpToPage(size)) == 0;
    *address = nullptr;
    return released;
}
