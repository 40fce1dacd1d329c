#include "core/runtime/keyed_hash.h"

#include "core/linux/platform.h"

namespace {

struct ProcessKey {
    uint64_t Word[2];
    ProcessKey() { Platform_CryptFill(Word, (int32_t)sizeof(Word)); }
};

} // namespace

const uint64_t* KeyedHash_ProcessKey() {
    static const ProcessKey key;
    return key.Word;
}
