// Reads a Wycheproof test file in place: each test group with its string members (nested objects
// flattened as "publicKey.curve") and its cases (string members, the id, the flags).
#pragma once

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/hex.h"

struct WycheproofCase {
    int Id = 0;
    std::map<std::string, std::string> Fields;  // "msg", "sig", "result", "comment", ...
    std::vector<std::string> Flags;
    const std::string& operator[](const char* name) const {
        static const std::string none;
        auto found = Fields.find(name);
        return found == Fields.end() ? none : found->second;
    }
};

struct WycheproofGroup {
    std::map<std::string, std::string> Fields;  // "sha", "publicKeyDer", "publicKey.curve", ...
    std::vector<WycheproofCase> Cases;
    const std::string& operator[](const char* name) const {
        static const std::string none;
        auto found = Fields.find(name);
        return found == Fields.end() ? none : found->second;
    }
};

// The folder of the shared conformance data, found from this source tree's root.
inline std::string WycheproofDir() {
    return SourceRoot() + "../shared/testdata/wycheproof/";
}

namespace wycheproof_detail {

// Just enough JSON for these files: values are kept as text (strings unescaped for \" and \\ only,
// which is all the files use), containers as member lists.
struct Value {
    char Kind = 0;  // 's' string, 'n' other scalar, 'a' array, 'o' object
    std::string Text;
    std::vector<std::pair<std::string, Value>> Members;  // array items have empty names
};

inline void SkipBlank(const std::string& s, size_t& at) {
    while (at < s.size() && (s[at] == ' ' || s[at] == '\n' || s[at] == '\r' || s[at] == '\t')) at++;
}

inline std::string ParseString(const std::string& s, size_t& at) {
    std::string out;
    for (at++; at < s.size() && s[at] != '"'; at++) {
        if (s[at] == '\\' && at + 1 < s.size()) at++;
        out += s[at];
    }
    at++;
    return out;
}

inline Value Parse(const std::string& s, size_t& at) {
    Value v;
    SkipBlank(s, at);
    if (at >= s.size()) return v;
    if (s[at] == '"') {
        v.Kind = 's';
        v.Text = ParseString(s, at);
    } else if (s[at] == '{' || s[at] == '[') {
        const char close = s[at] == '{' ? '}' : ']';
        v.Kind = s[at] == '{' ? 'o' : 'a';
        at++;
        for (SkipBlank(s, at); at < s.size() && s[at] != close; SkipBlank(s, at)) {
            std::string name;
            if (v.Kind == 'o') {
                name = ParseString(s, at);
                SkipBlank(s, at);
                at++;  // ':'
            }
            v.Members.emplace_back(name, Parse(s, at));
            SkipBlank(s, at);
            if (at < s.size() && s[at] == ',') at++;
        }
        at++;
    } else {
        v.Kind = 'n';
        while (at < s.size() && s[at] != ',' && s[at] != '}' && s[at] != ']' && s[at] != '\n') v.Text += s[at++];
    }
    return v;
}

inline void Flatten(const Value& v, const std::string& prefix, std::map<std::string, std::string>& out) {
    for (const auto& [name, member] : v.Members) {
        if (member.Kind == 's' || member.Kind == 'n') out[prefix + name] = member.Text;
        else if (member.Kind == 'o') Flatten(member, prefix + name + ".", out);
    }
}

}  // namespace wycheproof_detail

// Empty when the file is missing.
inline std::vector<WycheproofGroup> Wycheproof_Read(const std::string& name) {
    using namespace wycheproof_detail;
    std::ifstream in(WycheproofDir() + name);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    size_t at = 0;
    const Value root = Parse(all, at);
    std::vector<WycheproofGroup> groups;
    for (const auto& [name, member] : root.Members) {
        if (name != "testGroups") continue;
        for (const auto& group : member.Members) {
            WycheproofGroup g;
            for (const auto& [key, field] : group.second.Members) {
                if (key == "tests") {
                    for (const auto& test : field.Members) {
                        WycheproofCase c;
                        Flatten(test.second, "", c.Fields);
                        c.Id = std::stoi(c.Fields["tcId"]);
                        for (const auto& [k, flags] : test.second.Members)
                            if (k == "flags")
                                for (const auto& flag : flags.Members) c.Flags.push_back(flag.second.Text);
                        g.Cases.push_back(std::move(c));
                    }
                } else if (field.Kind == 'o') {
                    Flatten(field, key + ".", g.Fields);
                } else if (field.Kind == 's' || field.Kind == 'n') {
                    g.Fields[key] = field.Text;
                }
            }
            groups.push_back(std::move(g));
        }
    }
    return groups;
}

// Every case of the file in file order, for suites whose cases carry all they need.
inline std::vector<WycheproofCase> Wycheproof_ReadCases(const std::string& name) {
    std::vector<WycheproofCase> cases;
    for (WycheproofGroup& group : Wycheproof_Read(name))
        for (WycheproofCase& c : group.Cases) cases.push_back(std::move(c));
    return cases;
}

// The first group's public key (DER in hexadecimal), "" when the file is missing or holds none:
// the caller skips with a message.
inline std::string Wycheproof_FirstPublicKey(const std::string& name) {
    const std::vector<WycheproofGroup> groups = Wycheproof_Read(name);
    return groups.empty() ? std::string() : groups[0]["publicKeyDer"];
}
