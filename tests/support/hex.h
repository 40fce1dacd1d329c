// Bytes from and to hexadecimal text, and the source tree's root, for tests that read vectors.
#pragma once

#include "tests/support/source_path.h"
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes FromHex(const std::string& text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back((uint8_t)std::stoi(text.substr(i, 2), nullptr, 16));
    return out;
}

inline std::string ToHex(const uint8_t* data, size_t size) {
    std::string out;
    for (size_t i = 0; i < size; i++)
        out += "0123456789abcdef"[data[i] >> 4], out += "0123456789abcdef"[data[i] & 15];
    return out;
}
inline std::string ToHex(const Bytes& b) {
    return ToHex(b.data(), b.size());
}

// The folder holding core/, tests/ and the rest of this tree.
inline std::string SourceRoot() {
    const std::string file = SourcePath(__FILE__);
    return file.substr(0, file.rfind("tests/support/"));
}
