// The arena of a dictionary tree: items, child containers, keys, texts and indexes carved from
// large blocks, so that building a document costs no allocation per value and dropping it costs
// one free per block.

#include <sys/mman.h>

#include <cstring>

#include "core/runtime/dictionary_internal.h"
#include "core/runtime/memory.h"

// Under the address sanitizer the room not handed out and the blocks freed are marked, so that a
// stale handle into the arena is caught as a use after free would be.
#if defined(__SANITIZE_ADDRESS__)
#define DICTIONARY_ARENA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DICTIONARY_ARENA_ASAN 1
#endif
#endif
#ifdef DICTIONARY_ARENA_ASAN
#include <sanitizer/asan_interface.h>
#define ARENA_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define ARENA_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define ARENA_POISON(p, n) ((void)(p), (void)(n))
#define ARENA_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

struct DictionaryArenaBlock {
    DictionaryArenaBlock* Next;
    uint32_t Bytes; // the whole block, this header included
    uint32_t Spare;
};

// A block of the general heap, for a request larger than the largest size class.
struct DictionaryArenaLarge {
    DictionaryArenaLarge* Prev;
    DictionaryArenaLarge* Next;
    uint64_t Bytes; // the whole block, this header included
    uint64_t Spare;
};

namespace {

static_assert(sizeof(DictionaryArenaBlock) == 16 && sizeof(DictionaryArenaLarge) == 32,
              "block data must start 16-byte aligned");

// Size classes: multiples of 8 up to 256 bytes, then powers of two up to 8 KB; larger requests go
// to the general heap.
constexpr size_t kSmallLimit = 256;
constexpr uint32_t kSmallClasses = kSmallLimit / 8;
constexpr size_t kClassLimit = 8192;
constexpr uint32_t kClasses = kSmallClasses + 5;
static_assert(kClasses <= sizeof(DictionaryTree::FreeLists) / sizeof(void*), "too many size classes");

// A small tree takes small blocks; a large document soon takes blocks of a few megabytes.
constexpr uint32_t kFirstBlockBytes = 2048;
constexpr uint32_t kLargestBlockBytes = 4u << 20;
// Huge pages are not asked for: where the kernel compacts memory for them at fault time a load
// could stall for far longer than the few per cent they save.
//
// A large block is made present a window at a time, in one call, ahead of the cursor: a page
// fault for each of its pages costs a load of a large document about a tenth of its time, and
// the window keeps the pages a tree never reaches at the end of its last block unbacked.
constexpr uint32_t kPresentFrom = 256u << 10;
constexpr uintptr_t kPresentWindow = 256u << 10;
constexpr uintptr_t kPage = 4096;

// The class of a request and the bytes a block of that class holds.
uint32_t ClassOf(size_t size, size_t* bytes) {
    if (size <= kSmallLimit) {
        const size_t rounded = size ? (size + 7) & ~size_t{7} : 8;
        *bytes = rounded;
        return (uint32_t)(rounded / 8 - 1);
    }
    uint32_t cls = kSmallClasses;
    size_t rounded = 512;
    while (rounded < size) {
        rounded *= 2;
        cls++;
    }
    *bytes = rounded;
    return cls;
}

// A freed block keeps its first word (an item's cleared class id, which a stale handle is checked
// against) and holds the free-list link behind it when it has room.
size_t LinkOffset(size_t bytes) {
    return bytes >= 16 ? 8 : 0;
}

bool MakePresent(DictionaryTree* tree, uint8_t* at, size_t bytes);

// A fresh block with room for `need` bytes (and 8 more) becomes the current one.
void AddBlock(DictionaryTree* tree, size_t need) {
    uint32_t bytes = tree->NextBlockBytes;
    while (bytes - sizeof(DictionaryArenaBlock) < need + 8) bytes *= 2;
    if (tree->NextBlockBytes < kLargestBlockBytes) tree->NextBlockBytes *= 2;
    auto* block = static_cast<DictionaryArenaBlock*>(Memory_Alloc(bytes));
    block->Next = tree->Blocks;
    block->Bytes = bytes;
    tree->Blocks = block;
    tree->BlockCount++;
    tree->Cursor = reinterpret_cast<uint8_t*>(block + 1);
    tree->End = tree->BlockEnd = reinterpret_cast<uint8_t*>(block) + bytes;
    ARENA_POISON(tree->Cursor, (size_t)(tree->End - tree->Cursor));
    if (bytes >= kPresentFrom) {
        tree->End = tree->Cursor;
        MakePresent(tree, tree->Cursor, need);
    }
}

// Moves the end of the room handed out to cover `bytes` at `at` and a window more (the block's
// end at most), asking for those pages at once. False when the block lacks the room.
bool MakePresent(DictionaryTree* tree, uint8_t* at, size_t bytes) {
    if (!at || at > tree->BlockEnd || (size_t)(tree->BlockEnd - at) < bytes) return false;
    const uintptr_t want = (uintptr_t)at + bytes + kPresentWindow;
    const uintptr_t from = ((uintptr_t)tree->End + kPage - 1) & ~(kPage - 1);
    const uintptr_t to = (want < (uintptr_t)tree->BlockEnd ? want : (uintptr_t)tree->BlockEnd) & ~(kPage - 1);
    // A kernel without the call leaves the pages to fault in one by one, as they always could.
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
    tree->End = want < (uintptr_t)tree->BlockEnd ? reinterpret_cast<uint8_t*>(to) : tree->BlockEnd;
    return true;
}

void* AllocLarge(DictionaryTree* tree, size_t size) {
    // Sized memory refuses, with its own abort, what does not fit its int32_t size.
    const uint64_t total = (uint64_t)size + sizeof(DictionaryArenaLarge);
    auto* large = static_cast<DictionaryArenaLarge*>(
        Memory_Alloc(total > (uint64_t)INT32_MAX ? (uint64_t)INT32_MAX : total));
    large->Prev = nullptr;
    large->Next = tree->Large;
    large->Bytes = total;
    if (tree->Large) tree->Large->Prev = large;
    tree->Large = large;
    return large + 1;
}

void FreeLarge(DictionaryTree* tree, void* block) {
    auto* large = static_cast<DictionaryArenaLarge*>(block) - 1;
    if (large->Prev)
        large->Prev->Next = large->Next;
    else
        tree->Large = large->Next;
    if (large->Next) large->Next->Prev = large->Prev;
    Memory_Free(large, large->Bytes);
}

void FreeAll(DictionaryTree* tree) {
    while (DictionaryArenaBlock* block = tree->Blocks) {
        tree->Blocks = block->Next;
        ARENA_UNPOISON(block, block->Bytes);
        Memory_Free(block, block->Bytes);
    }
    while (DictionaryArenaLarge* large = tree->Large) {
        tree->Large = large->Next;
        Memory_Free(large, large->Bytes);
    }
    tree->Cursor = tree->End = tree->BlockEnd = nullptr;
    tree->Shared = nullptr;
    tree->LoadedItems = 0;
    tree->BlockCount = 0;
    tree->NextBlockBytes = kFirstBlockBytes;
    memset(tree->FreeLists, 0, sizeof(tree->FreeLists));
}

} // namespace

DictionaryTree* DictionaryTree_Create(uint32_t chunkSize) {
    auto* tree = static_cast<DictionaryTree*>(Memory_AllocZero(sizeof(DictionaryTree)));
    tree->NextBlockBytes = kFirstBlockBytes;
    tree->PoolChunkSize = chunkSize;
    return tree;
}

void DictionaryTree_Delete(DictionaryTree** tree) {
    if (!*tree) return;
    FreeAll(*tree);
    Memory_Free(*tree, sizeof(DictionaryTree));
    *tree = nullptr;
}

void DictionaryTree_Clear(DictionaryTree* tree) {
    FreeAll(tree);
    tree->IndexCount = 0;
}

void* DictionaryTree_Alloc(DictionaryTree* tree, size_t size, bool align16) {
    if (size > kClassLimit) return AllocLarge(tree, size);
    size_t bytes = 0;
    const uint32_t cls = ClassOf(size, &bytes);
    void*& head = tree->FreeLists[cls];
    if (head && (!align16 || ((uintptr_t)head & 15) == 0)) {
        void* block = head;
        memcpy(&head, static_cast<uint8_t*>(block) + LinkOffset(bytes), sizeof(void*));
        ARENA_UNPOISON(block, bytes);
        return block;
    }
    uint8_t* at = tree->Cursor;
    if (align16 && at) at = reinterpret_cast<uint8_t*>(((uintptr_t)at + 15) & ~uintptr_t{15});
    if ((!at || (size_t)(tree->End - at) < bytes || at > tree->End) && !MakePresent(tree, at, bytes)) {
        AddBlock(tree, bytes);
        at = tree->Cursor; // block data starts 16-byte aligned
    }
    tree->Cursor = at + bytes;
    ARENA_UNPOISON(at, bytes);
    return at;
}

size_t DictionaryTree_BlockBytes(size_t size) {
    if (size > kClassLimit) return 0;
    size_t bytes = 0;
    ClassOf(size, &bytes);
    return bytes;
}

void* DictionaryTree_Carve(DictionaryTree* tree, size_t bytes) {
    uint8_t* at = tree->Cursor;
    if ((!at || (size_t)(tree->End - at) < bytes) && !MakePresent(tree, at, bytes)) {
        AddBlock(tree, bytes);
        at = tree->Cursor;
    }
    tree->Cursor = at + bytes;
    ARENA_UNPOISON(at, bytes);
    return at;
}

void DictionaryTree_Free(DictionaryTree* tree, void* block, size_t size) {
    if (!block) return;
    if (size > kClassLimit) {
        FreeLarge(tree, block);
        return;
    }
    size_t bytes = 0;
    void*& head = tree->FreeLists[ClassOf(size, &bytes)];
    memcpy(static_cast<uint8_t*>(block) + LinkOffset(bytes), &head, sizeof(void*));
    head = block;
    // The class id and the link stay readable.
    if (bytes > 16) ARENA_POISON(static_cast<uint8_t*>(block) + 16, bytes - 16);
}

// One entry of the shared-text table: the latest text of its hash, with the words its hash was
// made of.
struct DictionarySharedText {
    char* Text;
    int32_t Length;
    int32_t Spare;
    uint64_t Head, Tail;
};

namespace {

// A document repeats its keys and its short values (small numbers, names of kinds) item after
// item; a small table keyed by a hash of the text finds the copy made last. A text that misses
// takes the entry over, so the work per text stays fixed whatever the document holds.
constexpr uint32_t kSharedBits = 8;
constexpr uint32_t kSharedAfter = 256;
// Up to this length the two words hold every byte of the text.
constexpr int32_t kWholeInWords = 16;

// The first and last bytes of the text in two words, by fixed-size loads (overlapping for short
// texts): no byte outside the text is read, and no load waits on a byte-wise copy.
void TextWords(const char* text, int32_t length, uint64_t* head, uint64_t* tail) {
    uint64_t a = 0, b = 0;
    if (length >= 8) {
        memcpy(&a, text, 8);
        memcpy(&b, text + length - 8, 8);
    } else if (length >= 4) {
        uint32_t x, y;
        memcpy(&x, text, 4);
        memcpy(&y, text + length - 4, 4);
        a = x;
        b = y;
    } else if (length > 0) {
        a = (uint64_t)(uint8_t)text[0] | (uint64_t)(uint8_t)text[length / 2] << 8 |
            (uint64_t)(uint8_t)text[length - 1] << 16;
    }
    *head = a;
    *tail = b;
}

} // namespace

char* DictionaryTree_SharedText(DictionaryTree* tree, const char* text, int32_t length, int32_t longest) {
    if (length > longest) return nullptr;
    if (!tree->Shared) {
        if (++tree->LoadedItems < kSharedAfter) return nullptr;
        const size_t bytes = sizeof(DictionarySharedText) << kSharedBits;
        tree->Shared = static_cast<DictionarySharedText*>(DictionaryTree_Alloc(tree, bytes));
        memset(tree->Shared, 0, bytes);
    }
    uint64_t head, tail;
    TextWords(text, length, &head, &tail);
    const uint64_t h = (head * 0x9E3779B97F4A7C15ull) ^ ((tail ^ (uint64_t)length) * 0xC2B2AE3D27D4EB4Full);
    DictionarySharedText& entry = tree->Shared[(h ^ (h >> 31)) >> (64 - kSharedBits)];
    if (entry.Text && entry.Length == length && entry.Head == head && entry.Tail == tail &&
        (length <= kWholeInWords || memcmp(entry.Text, text, (size_t)length) == 0))
        return entry.Text;
    char* copy = static_cast<char*>(DictionaryTree_Alloc(tree, (size_t)length + 1));
    memcpy(copy, text, (size_t)length);
    copy[length] = 0;
    entry.Text = copy;
    entry.Length = length;
    entry.Head = head;
    entry.Tail = tail;
    return copy;
}

uint32_t DictionaryTree_BlockCount(const DictionaryTree* tree) {
    uint32_t count = tree->BlockCount;
    for (const DictionaryArenaLarge* large = tree->Large; large; large = large->Next) count++;
    return count;
}
