// What the TLS client's tests share: the python3 oracle of tls1_oracle.py, a connection object
// per test with its printed lines kept, and record helpers.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "core/net/tls1_internal.h"
#include "tests/support/hex.h"
#include "tests/support/oracle_process.h"

// One answer per request ("" for an error or a missing oracle).
inline std::vector<std::string> Tls1Oracle(const std::vector<std::string>& requests) {
    std::string input;
    for (const std::string& r : requests) input += r + "\n";
    const auto text = RunOracle("python3 " + SourceRoot() + "tests/core/net/tls1_oracle.py", input, 120);
    std::vector<std::string> answers;
    if (!text) return std::vector<std::string>(requests.size());
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) answers.push_back(line.rfind("ok ", 0) == 0 ? line.substr(3) : std::string());
    answers.resize(requests.size());
    return answers;
}

// The fields of a request that name a suite and its secrets.
inline std::string Tls1Request(const char* op, const char* suite, uint32_t version, const Bytes& clientRandom,
                               const Bytes& serverRandom, const Bytes& master) {
    return std::string("{\"op\":\"") + op + "\",\"suite\":\"" + suite + "\",\"version\":" + std::to_string(version) +
           ",\"cr\":\"" + ToHex(clientRandom) + "\",\"sr\":\"" + ToHex(serverRandom) + "\",\"ms\":\"" +
           ToHex(master) + "\"";
}

inline Bytes Pattern(size_t size, uint8_t seed) {
    Bytes out(size);
    for (size_t i = 0; i < size; i++) out[i] = (uint8_t)(seed + i * 7);
    return out;
}

inline std::string& Tls1Printed() {
    static std::string text;
    return text;
}

inline int64_t Tls1CapturePrint(void*, const char* format, ...) {
    char line[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    Tls1Printed() += line;
    return 1;
}

// A fresh connection object whose printed lines (verbose ones included) go to Tls1Printed().
struct Tls1Test : ::testing::Test {
    TLS1* tls = nullptr;
    void SetUp() override {
        ASSERT_EQ(TLS1_Create(&tls), 1);
        TLS1_SetPrintCallback(tls, nullptr, Tls1CapturePrint);
        TLS1_SetVerbose(tls, 1);
        Tls1Printed().clear();
    }
    void TearDown() override {
        if (tls) TLS1_Release(&tls);
    }

    // Feeds bytes and reads records; the answer of TLS1_ReadPackets.
    int64_t Feed(const Bytes& bytes) {
        EXPECT_EQ(TLS1_ReadPut(tls, bytes.data(), (uint32_t)bytes.size()), 1);
        return TLS1_ReadPackets(tls);
    }
    uint32_t LastError() {
        uint32_t code = 0xFFFF;
        TLS1_GetLastError(tls, &code);
        return code;
    }
    // Every record byte waiting to be sent, taken.
    Bytes Sent() {
        int32_t used = 0;
        TLS1_WriteGetBufferUsed(tls, &used);
        Bytes out((size_t)used);
        uint32_t got = 0;
        if (used > 0) TLS1_WriteGet(tls, out.data(), (uint32_t)used, &got);
        out.resize(got);
        return out;
    }
};
