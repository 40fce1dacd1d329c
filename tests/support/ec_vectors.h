// Readers for the public curve test suites the curve, ECDSA and ECDHE tests share: NIST CAVP
// response files and Wycheproof JSON, both read in place, plus hexadecimal helpers.
#pragma once

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace ec_vectors {

using Bytes = std::vector<uint8_t>;
using Case = std::map<std::string, std::string>;

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

inline std::string SourceRoot() {
    const std::string file = __FILE__;
    return file.substr(0, file.rfind("tests/support/"));
}

inline const char* const kCavpDir =
    "/usr/lib/python3/dist-packages/cryptography_vectors/asymmetric/ECDSA/FIPS_186-3/";

// "Name = value" fields of a CAVP file; a case ends at its last field (`last`). Each case also
// carries its section header as "section" (the text between the brackets).
inline std::vector<Case> ReadCavp(const std::string& path, const std::string& last) {
    std::vector<Case> cases;
    std::ifstream in(path);
    std::string line, section;
    Case current;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] == '[' && line.find("Generation") == std::string::npos)
            section = line.substr(1, line.find(']') - 1);
        const size_t eq = line.find(" = ");
        if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
        const std::string name = line.substr(0, eq);
        current[name] = line.substr(eq + 3);
        if (name == last) {
            current["section"] = section;
            cases.push_back(current);
            current = {};
        }
    }
    return cases;
}

// The "key": "text" and "key": number members of a Wycheproof file in file order, nesting
// flattened; a group's members come before its tests.
inline std::vector<std::pair<std::string, std::string>> ReadJsonMembers(const std::string& path) {
    std::ifstream in(path);
    std::stringstream buffer;
    buffer << in.rdbuf();
    const std::string s = buffer.str();
    std::vector<std::pair<std::string, std::string>> members;
    auto readString = [&](size_t& at) {
        std::string out;
        for (at++; at < s.size() && s[at] != '"'; at++) {
            if (s[at] == '\\') at++;
            if (at < s.size()) out += s[at];
        }
        at++;
        return out;
    };
    for (size_t at = s.find('"'); at != std::string::npos; at = s.find('"', at)) {
        const std::string key = readString(at);
        size_t v = s.find_first_not_of(" \n\r\t", at);
        if (v == std::string::npos || s[v] != ':') continue;
        v = s.find_first_not_of(" \n\r\t", v + 1);
        if (v == std::string::npos) break;
        if (s[v] == '"') {
            at = v;
            members.emplace_back(key, readString(at));
        } else if (isdigit((unsigned char)s[v])) {
            at = s.find_first_not_of("0123456789", v);
            members.emplace_back(key, s.substr(v, at - v));
        } else {
            at = v;
        }
    }
    return members;
}

// Wycheproof test cases, each with the group members seen before it (`groupKeys`).
inline std::vector<Case> ReadWycheproof(const std::string& file, const std::vector<std::string>& groupKeys) {
    std::vector<Case> cases;
    Case group, current;
    bool inCase = false;
    for (const auto& [key, value] : ReadJsonMembers(SourceRoot() + "../shared/testdata/wycheproof/" + file)) {
        if (key == "tcId") {
            current = group;
            inCase = true;
        }
        if (inCase) {
            current[key] = value;
            if (key == "result") {
                cases.push_back(current);
                inCase = false;
            }
        } else {
            for (const auto& g : groupKeys)
                if (g == key) group[key] = value;
        }
    }
    return cases;
}

} // namespace ec_vectors
