// Feeds arbitrary record streams to the notification endpoint's record reader: the input is the
// plain text of a peer's body (enciphered here with the link's key so the reader sees it as a peer
// would send it), cut into pieces whose sizes come from the first byte.
#include <cstdint>
#include <cstdlib>

#include "core/crypto/rc4.h"
#include "core/runtime/dictionary.h"
#include "workflow/notification_endpoint.h"

namespace {

const char kKey[] = "Fz1qW9eR4tY";

// What the endpoint does with a record: read its texts, apply the relay rules, copy the arguments.
int64_t Take(void* user, Dictionary* record) {
    Dictionary* arguments = static_cast<Dictionary*>(user);
    char type[40] = {}, name[40] = {}, sender[40] = {};
    Dictionary_GetStringByKey(record, "type", type, (int32_t)sizeof(type));
    Dictionary_GetStringByKey(record, "notification", name, (int32_t)sizeof(name));
    Dictionary_GetStringByKey(record, "sender", sender, (int32_t)sizeof(sender));
    NotificationEndPoint_IsAllowed(1, type, name);
    NotificationEndPoint_IsAllowed(0, type, name);
    Dictionary_Reset(arguments);
    Dictionary* child = nullptr;
    if (Dictionary_GetDictionaryByKey(record, "arguments", &child) && child)
        Dictionary_Merge(arguments, child, DICTIONARY_MERGE_OVERWRITE);
    Dictionary_SetBooleanByKey(arguments, "isRemote", 1);
    return 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 20)) return 0;
    const uint32_t piece = 1u + data[0] % 64u;
    data++, size--;
    uint8_t* body = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    RC4* rc4 = nullptr;
    RC4_Create(&rc4);
    RC4_SetEncryptKey(rc4, kKey, 11);
    if (size) RC4_Encrypt(rc4, data, body, (uint32_t)size);
    RC4_Release(&rc4);

    NotificationEndPointRecordReader* reader = nullptr;
    NotificationEndPointRecordReader_Create(&reader, kKey, 11);
    Dictionary* arguments = nullptr;
    Dictionary_Create(&arguments);
    bool open = true;
    for (size_t at = 0; at < size; at += piece) {
        const uint32_t n = (uint32_t)(size - at < piece ? size - at : piece);
        const bool ok = NotificationEndPointRecordReader_Feed(reader, body + at, n, arguments, Take) == 1;
        // Once a link has ended it stays ended.
        if (!open && ok) std::abort();
        open = open && ok;
    }
    Dictionary_Release(&arguments);
    NotificationEndPointRecordReader_Delete(&reader);
    std::free(body);
    return 0;
}
