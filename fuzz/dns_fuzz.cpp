// Decodes arbitrary bytes as a DNS message, prints every record's text form into short and long
// buffers, and checks that what decodes encodes, decodes again and encodes to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/net/dns.h"

namespace {

constexpr char kGuard = '\x5A';

// Writes the text form into a buffer of the given capacity followed by guard bytes.
void CheckText(DNS* dns, DNSResource* r, int32_t capacity) {
    std::vector<char> out((size_t)capacity + 16, kGuard);
    DNS_ResourceGetString(dns, r, out.data(), capacity);
    for (size_t i = (size_t)capacity; i < out.size(); i++)
        if (out[i] != kGuard) abort();
    if (capacity > 0 && strnlen(out.data(), (size_t)capacity) >= (size_t)capacity) abort();
}

void CheckRecords(DNS* dns) {
    using First = int64_t (*)(DNS*, DNSResource**);
    using Next = int64_t (*)(DNS*, DNSResource*, DNSResource**);
    const First firsts[] = {DNS_AnswerGetFirst, DNS_NameServerGetFirst, DNS_AdditionalRecordGetFirst};
    const Next nexts[] = {DNS_AnswerGetNext, DNS_NameServerGetNext, DNS_AdditionalRecordGetNext};
    for (int i = 0; i < 3; i++) {
        DNSResource* r = nullptr;
        for (int64_t ok = firsts[i](dns, &r); ok; ok = nexts[i](dns, r, &r)) {
            CheckText(dns, r, 0);
            CheckText(dns, r, 7);
            CheckText(dns, r, DNS_TEXT_MAX + 1);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65535) return 0;
    // An exact-size copy, so that any read past the message is caught.
    std::vector<uint8_t> message(data, data + size);
    DNS* dns = nullptr;
    DNS_Create(&dns);
    if (DNS_Decode(dns, message.data(), (int32_t)size)) {
        CheckRecords(dns);
        DNS_Print(dns);
        std::vector<uint8_t> first(65536), second(65536);
        int32_t length = 0, again = 0;
        if (DNS_Encode(dns, first.data(), (int32_t)first.size(), &length)) {
            // Names written by the encoder read back to texts that encode to the same bytes.
            if (DNS_Decode(dns, first.data(), length)) {
                if (!DNS_Encode(dns, second.data(), (int32_t)second.size(), &again)) abort();
                if (again != length || memcmp(first.data(), second.data(), (size_t)length) != 0) abort();
            }
        }
        // A short buffer fails without writing past its end.
        std::vector<uint8_t> small((size_t)(size % 64) + 16, 0xA5);
        int32_t cut = (int32_t)(size % 64);
        int32_t written = 0;
        DNS_Decode(dns, message.data(), (int32_t)size);
        DNS_Encode(dns, small.data(), cut, &written);
        for (size_t i = (size_t)cut; i < small.size(); i++)
            if (small[i] != 0xA5) abort();
    }
    DNS_Release(&dns);
    return 0;
}
