// The NIST CAVP response files the curve and ECDSA tests share, read in place from the installed
// vector package.
#pragma once

#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace ec_vectors {

using Case = std::map<std::string, std::string>;

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

} // namespace ec_vectors
