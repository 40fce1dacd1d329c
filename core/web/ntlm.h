// NTLM messages for HTTP authentication: builds the negotiate (type 1) and authenticate (type 3)
// messages and parses the server's challenge (type 2). Bytes only; the caller does the Base64.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

enum : uint32_t { NTLM_CLASS_ID = 0x1b55ffbf };

// Negotiate flag bits.
enum : uint32_t {
    NTLM_FLAG_UNICODE = 0x1,
    NTLM_FLAG_OEM = 0x2,
    NTLM_FLAG_REQUEST_TARGET = 0x4,
    NTLM_FLAG_NTLM = 0x200,
    NTLM_FLAG_DOMAIN = 0x1000,
    NTLM_FLAG_WORKSTATION = 0x2000,
    NTLM_FLAG_LOCAL = 0x4000,
    NTLM_FLAG_ALWAYS_SIGN = 0x8000,
    NTLM_FLAG_EXTENDED_SECURITY = 0x80000,
    NTLM_FLAG_VERSION = 0x2000000,
    NTLM_DEFAULT_FLAGS = 0x88205,
};

enum : int32_t {
    NTLM_REQUEST1_HEADER_SIZE = 32,
    NTLM_RESPONSE2_HEADER_SIZE = 48,
    NTLM_REQUEST3_HEADER_SIZE = 64,
    // Message bytes kept from a challenge, counted from the start of the message.
    NTLM_RESPONSE2_STORED_SIZE = 1081,
    NTLM_REQUEST1_PAYLOAD_SIZE = 1024,
    NTLM_REQUEST3_PAYLOAD_SIZE = 1024,
};

struct NTLM;

// Length, maximum length (always equal here) and offset from the start of the message.
struct NTLMSecurityBuffer {
    uint16_t Length;
    uint16_t MaxLength;
    uint32_t Offset;
};

struct NTLMRequest1 {
    uint8_t Signature[8];
    uint32_t Type;
    uint32_t Flags;
    NTLMSecurityBuffer Domain;
    NTLMSecurityBuffer Workstation;
    uint32_t PayloadLength;
    uint8_t Payload[NTLM_REQUEST1_PAYLOAD_SIZE];
};

struct NTLMResponse2 {
    uint8_t Signature[8];
    uint32_t Type;
    NTLMSecurityBuffer TargetName;
    uint32_t Flags;
    uint8_t Challenge[8];
    uint8_t Context[8];
    NTLMSecurityBuffer TargetInfo;
    // 1: under 48 bytes (no context, no target information); 2: 48 to 55; 3: 56 or more.
    uint32_t Form;
    // The message's first bytes at their own offsets, so a security buffer reads Data[Offset..].
    uint32_t DataLength;
    uint8_t Data[NTLM_RESPONSE2_STORED_SIZE];
    uint32_t UseV2;
};

struct NTLMRequest3 {
    uint8_t Signature[8];
    uint32_t Type;
    NTLMSecurityBuffer LmResponse;
    NTLMSecurityBuffer NtResponse;
    NTLMSecurityBuffer Domain;
    NTLMSecurityBuffer User;
    NTLMSecurityBuffer Workstation;
    NTLMSecurityBuffer SessionKey;
    uint32_t Flags;
    uint32_t PayloadLength;
    uint8_t Payload[NTLM_REQUEST3_PAYLOAD_SIZE];
};

int64_t NTLM_Create(NTLM** handle);
int64_t NTLM_Delete(NTLM** handle);
int64_t NTLM_AddRef(NTLM* ntlm);
int64_t NTLM_Release(NTLM** handle);
int64_t NTLM_GetInstanceId(NTLM* ntlm, char* buffer, int32_t size);

// Negotiate message with the domain and workstation as 8-bit text (either may be null or empty).
int64_t NTLM_Request1Create(NTLM* ntlm, const char* domain, const char* workstation, NTLMRequest1** message);
// Writes the header fields that fit, and the payload only when all of it fits; the bytes written.
int64_t NTLM_Request1GetBuffer(NTLM* ntlm, NTLMRequest1* message, uint8_t* buffer, int32_t capacity);
int64_t NTLM_Request1Delete(NTLM* ntlm, NTLMRequest1** message);

// Parses a server's challenge; 0 and no record when it is not a sound one.
int64_t NTLM_Response2Create(NTLM* ntlm, const uint8_t* bytes, int32_t length, NTLMResponse2** record);
int64_t NTLM_ResponseSetV2(NTLM* ntlm, NTLMResponse2* record, uint32_t on);
int64_t NTLM_Response2Print(NTLM* ntlm, NTLMResponse2* record);
int64_t NTLM_Response2Delete(NTLM* ntlm, NTLMResponse2** record);

// Authenticate message answering the challenge; 0 and no message when it would not fit its
// payload (a very long user name).
int64_t NTLM_Request3Create(NTLM* ntlm, NTLMResponse2* challenge, const char* user, const char* password,
                            NTLMRequest3** message);
int64_t NTLM_Request3GetBuffer(NTLM* ntlm, NTLMRequest3* message, uint8_t* buffer, int32_t capacity);
int64_t NTLM_Request3Delete(NTLM* ntlm, NTLMRequest3** message);

// Test mode: fixed client challenge and timestamp, a fixed domain and workstation in the
// authenticate message. Both calls reset the default flags.
int64_t NTLM_SetForTest(uint32_t on);
int64_t NTLM_TestFlagTurnOn(uint32_t bits);
int64_t NTLM_TestFlagTurnOff(uint32_t bits);
uint32_t NTLM_GetDefaultFlags();

// Flag names joined by ", " in table order.
int64_t NTLM_GetFlagString(uint32_t flags, char* buffer, int32_t capacity);
const char* NTLM_TranslateMessageType(uint32_t type);
