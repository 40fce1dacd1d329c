// Runs a response through a request as a connection does: the header decoded, then the body
// offered in pieces (what is not consumed offered again) through unchunking, inflation and the
// size limit into the memory body or the discarding handler, then the cookies sent back.
// Input: four control bytes (options, piece size, limit, range start), then the answer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/web/web_get_request.h"

namespace {

void Check(bool ok) {
    if (!ok) abort();
}

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

size_t HeaderEnd(const uint8_t* data, size_t size) {
    const void* crlf = memmem(data, size, "\r\n\r\n", 4);
    if (crlf) return (size_t)(static_cast<const uint8_t*>(crlf) - data) + 4;
    const void* lf = memmem(data, size, "\n\n", 2);
    return lf ? (size_t)(static_cast<const uint8_t*>(lf) - data) + 2 : size;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4 || size > 65536) return 0;
    const uint8_t options = data[0], step = data[1], limit = data[2], start = data[3];
    data += 4;
    size -= 4;
    WebGetRequest* request = nullptr;
    WebGetRequest_Create(&request);
    WebGetRequest_SetPrintCallback(request, nullptr, Quiet);
    WebGetRequest_SetURL(request, (options & 0x80) ? "https://www.example.com:8443/d/f.bin" : "http://h.example.com/f");
    WebGetRequest_SetAutoDecompressContent(request, (options & 0x02) ? 1 : 0);
    WebGetRequest_SetForceCompressedContent(request, (options & 0x04) ? 1 : 0);
    WebGetRequest_SetAllowCookies(request, (options & 0x08) ? 0 : 1);
    if (options & 0x10) WebGetRequest_SetByteRange(request, start, (options & 0x20) ? start + 99 : 0);
    if (options & 0x40) WebGetRequest_SetLimitBodySize(request, (uint32_t)limit * 16);
    if (limit & 1) WebGetRequest_SetFillBodyCallbackNull(request);

    // Copies of exact size, so that a read past either end is seen.
    const size_t headerLength = HeaderEnd(data, size);
    std::vector<uint8_t> header(data, data + headerLength);
    int64_t ok = WebGetRequest_HeaderDecode(request, options & 0x01, header.empty() ? nullptr : header.data(),
                                            (uint32_t)header.size());
    if (ok) ok = WebGetRequest_BodyStart(request, 0);
    const size_t piece = step ? step : size;
    std::vector<uint8_t> pending;
    size_t given = headerLength, rounds = 0;
    while (ok) {
        const size_t take = std::min(piece, size - given);
        pending.insert(pending.end(), data + given, data + given + take);
        given += take;
        if (pending.empty()) break;
        std::vector<uint8_t> offered(pending);
        uint32_t used = 0;
        ok = WebGetRequest_BodyProcess(request, offered.data(), (uint32_t)offered.size(), &used);
        Check(used <= offered.size());
        pending.erase(pending.begin(), pending.begin() + used);
        // A stall with everything given is the end of what the peer sent.
        if (used == 0 && given == size) break;
        Check(++rounds < 4 * size + 16);
    }
    if (ok) WebGetRequest_BodyComplete(request, 0);

    int64_t body = 0, transfer = 0, length = 0;
    WebGetRequest_GetBodyLength(request, &body);
    WebGetRequest_GetTransferLength(request, &transfer);
    Check(transfer >= 0 && transfer <= (int64_t)size);
    uint32_t bodyLimit = 0;
    WebGetRequest_GetLimitBodySize(request, &bodyLimit);
    if (bodyLimit) Check(body <= bodyLimit);
    if (WebGetRequest_GetContentLength(request, &length) && length >= 0 && !WebGetRequest_IsChunkedResponse(request))
        Check(transfer <= length || length == 0);
    uint8_t* memory = nullptr;
    uint32_t kept = 0;
    WebGetRequest_GetBufferPtr(request, &memory, &kept);
    Check(memory != nullptr && (int64_t)kept <= body);
    // No input here may inflate far past its own size in memory: a bomb is cut off once it
    // outgrows the ratio bound (above a floor of 16 MiB).
    Check(kept <= (17u << 20));

    char cookies[512];
    WebGetRequest_CookieGetOutput(request, cookies, sizeof(cookies));
    Check(strlen(cookies) < sizeof(cookies));
    WebGetRequest_HeaderPrepare(request);
    WebGetRequest_Release(&request);
    return 0;
}
