// Parses arbitrary bytes as a server's NTLM challenge and, when it is accepted, prints it and
// answers it with both response kinds, writing the authenticate message into buffers of several
// sizes. The input is an exact-size heap copy, so the address sanitizer sees any read past it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/runtime/debug.h"
#include "core/web/ntlm.h"

namespace {

void Check(bool ok) {
    if (!ok) abort();
}

NTLM* g_ntlm = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Debug_Init(nullptr, nullptr, 0);
    NTLM_SetForTest(1);
    NTLM_Create(&g_ntlm);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> copy(data, data + size);
    copy.shrink_to_fit();
    NTLMResponse2* challenge = nullptr;
    if (!NTLM_Response2Create(g_ntlm, copy.empty() ? nullptr : copy.data(), (int32_t)copy.size(), &challenge)) {
        Check(challenge == nullptr);
        return 0;
    }
    Check(size >= 32);
    Check(challenge->Form == (size < 48 ? 1u : size < 56 ? 2u : 3u));
    Check(challenge->TargetName.Length == 0 ||
          (uint64_t)challenge->TargetName.Offset + challenge->TargetName.Length <= challenge->DataLength);
    NTLM_Response2Print(g_ntlm, challenge);
    for (uint32_t v2 = 0; v2 < 2; v2++) {
        NTLM_ResponseSetV2(g_ntlm, challenge, v2);
        NTLMRequest3* message = nullptr;
        if (!NTLM_Request3Create(g_ntlm, challenge, "User", "Password", &message)) continue;
        for (int32_t capacity : {0, 63, 64, 65, 2048}) {
            std::vector<uint8_t> out((size_t)capacity + 1);
            const int64_t written = NTLM_Request3GetBuffer(g_ntlm, message, out.data(), capacity);
            Check(written >= 0 && written <= capacity);
            if (capacity >= 64) Check(written == 64 || written == 64 + (int64_t)message->PayloadLength);
        }
        NTLM_Request3Delete(g_ntlm, &message);
    }
    NTLM_Response2Delete(g_ntlm, &challenge);
    return 0;
}
