// Decodes arbitrary bytes as DER, walks every node with every reader and checks that each node
// lies inside the input; then appends the input as an element to a SEQUENCE buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/certs/asn1.h"

namespace {

// The contents octets of the dotted text: what ParseOid read must be the only encoding of what it
// printed, or two identifiers could pass for each other.
std::vector<uint8_t> EncodeOid(const char* text) {
    std::vector<uint64_t> arcs;
    for (const char* p = text; *p;) {
        arcs.push_back(strtoull(p, const_cast<char**>(&p), 10));
        if (*p == '.') p++;
    }
    std::vector<uint8_t> out;
    if (arcs.size() < 2) return out;
    arcs[1] += 40 * arcs[0];
    for (size_t i = 1; i < arcs.size(); i++) {
        uint8_t groups[10];
        int n = 0;
        uint64_t v = arcs[i];
        do groups[n++] = (uint8_t)(v & 0x7F), v >>= 7;
        while (v);
        while (n > 1) out.push_back(groups[--n] | 0x80);
        out.push_back(groups[0]);
    }
    return out;
}

void Walk(ASN1* node, const uint8_t* begin, const uint8_t* end, BigInt* value) {
    for (uint32_t i = 0;; i++) {
        ASN1* child = ASN1_GetElement(node, i);
        if (child == nullptr) break;
        const uint8_t* p = ASN1_GetNodePtr(child);
        const uint8_t* v = ASN1_GetValuePtr(child);
        if (p < begin || v < p || v + ASN1_GetValueSize(child) > end) abort();
        char text[96];
        uint32_t n = 0;
        double time = 0;
        if (ASN1_ParseOid(child, text, sizeof(text)) && strlen(text) < sizeof(text) - 1) {
            const std::vector<uint8_t> again = EncodeOid(text);
            if (again.size() != ASN1_GetValueSize(child) || memcmp(again.data(), v, again.size()) != 0) abort();
        }
        if (strlen(text) >= sizeof(text)) abort();
        ASN1_ParseString(child, text, sizeof(text));
        if (strlen(text) >= sizeof(text)) abort();
        ASN1_ParseUTCTime(child, &time);
        ASN1_ParseInt32(child, &n);
        if (ASN1_ParseBigInt(child, value)) {
            // Written back, the magnitude reads the same and its first content byte keeps it positive.
            uint8_t integer[600];
            ASN1* back = nullptr;
            ASN1_Create(&back);
            if (ASN1_EncodeBigInt(back, value, integer, sizeof(integer))) {
                ASN1* node = ASN1_GetElement(back, 0);
                BigInt* again = nullptr;
                BigInt_Create(&again);
                if (!node || (ASN1_GetValueSize(node) && (ASN1_GetValuePtr(node)[0] & 0x80)) ||
                    !ASN1_ParseBigInt(node, again) || BigInt_Compare(again, value) != 0)
                    abort();
                BigInt_Release(&again);
            }
            ASN1_Release(&back);
        }
        Walk(child, begin, end, value);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    // An exact-size copy, so that any read past the input is caught.
    uint8_t* buffer = static_cast<uint8_t*>(malloc(size ? size : 1));
    if (size) memcpy(buffer, data, size);
    ASN1* tree = nullptr;
    ASN1_Create(&tree);
    BigInt* value = nullptr;
    BigInt_Create(&value);
    ASN1_Decode(tree, buffer, (uint32_t)size);
    Walk(tree, buffer, buffer + size, value);
    ASN1* out = nullptr;
    ASN1_Find(tree, "2.5.29.17", 0xFFFFFFFF, &out);
    ASN1_Find(tree, "1.2.840.113549.1.7.2", 1, &out);

    std::vector<uint8_t> sequence(300, 0);
    uint32_t length = 0;
    ASN1_Reset(tree);
    if (ASN1_EncodeSequenceAddNode(tree, sequence.data(), (int32_t)sequence.size(), buffer, (uint32_t)size, &length) &&
        length > sequence.size())
        abort();
    ASN1_Delete(&tree);
    BigInt_Release(&value);
    free(buffer);
    return 0;
}
