// Deltas made by the outside xdelta3 tool (file format), turned into this system's window form,
// and the contents they are made from. Shared by the decoder's tests and its benchmark.
#pragma once

#include <cstdint>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "repository/vcdiff_code_table.h"
#include "tests/support/oracle_process.h"

using Bytes = std::vector<uint8_t>;

inline bool WriteBytes(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), (std::streamsize)data.size());
    return (bool)out;
}

inline Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// xdelta3's delta of target against source (no source when the path is empty), in its own file
// form: no secondary compression, no checksum, no application header. nullopt when it fails.
inline std::optional<Bytes> PeerEncode(const std::string& dir, const Bytes* source, const Bytes& target) {
    const std::string src = dir + "/peer.src", tgt = dir + "/peer.tgt", out = dir + "/peer.vcdiff";
    if ((source && !WriteBytes(src, *source)) || !WriteBytes(tgt, target)) return std::nullopt;
    // -A comes before options: it takes the next word as its value unless that is an option.
    std::string command = "xdelta3 -e -f -A -S none -n ";
    if (source) command += "-s '" + src + "' ";
    command += "'" + tgt + "' '" + out + "'";
    if (!RunOracle(command, "")) return std::nullopt;
    return ReadBytes(out);
}

// A single-window peer delta in this system's form, with the source range it copies from.
struct ConvertedDelta {
    Bytes Window;
    uint64_t SourcePosition = 0;
    uint64_t SourceSize = 0;
    uint32_t Runs = 0;
};

namespace vcdiff_peer {

inline void PutInteger(Bytes& out, uint64_t value) {
    uint8_t groups[10];
    int n = 0;
    do {
        groups[n++] = value & 0x7F;
        value >>= 7;
    } while (value);
    while (n > 1) out.push_back(groups[--n] | 0x80);
    out.push_back(groups[0]);
}

inline bool GetInteger(const Bytes& in, size_t& at, uint64_t& value) {
    value = 0;
    for (int n = 0; n < 10 && at < in.size(); n++) {
        const uint8_t b = in[at++];
        value = (value << 7) | (b & 0x7F);
        if (!(b & 0x80)) return true;
    }
    return false;
}

} // namespace vcdiff_peer

// Drops the file header and the window's delta length, keeps the target length as the third
// integer, gives a window without source two zero integers, and moves each RUN's byte from the
// data section into the instructions section after the run's size.
inline std::optional<ConvertedDelta> ConvertPeerDelta(const Bytes& file) {
    using vcdiff_peer::GetInteger;
    using vcdiff_peer::PutInteger;
    const uint8_t magic[5] = {0xD6, 0xC3, 0xC4, 0x00, 0x00};
    if (file.size() < 6 || !std::equal(magic, magic + 5, file.begin())) return std::nullopt;
    size_t at = 5;
    const uint8_t indicator = file[at++];
    ConvertedDelta result;
    uint64_t deltaLength, targetLength, deltaIndicator, dataLength, instructionsLength, addressesLength;
    if ((indicator & 0x03) && (!GetInteger(file, at, result.SourceSize) || !GetInteger(file, at, result.SourcePosition)))
        return std::nullopt;
    if ((indicator & ~0x01) || !GetInteger(file, at, deltaLength) || !GetInteger(file, at, targetLength) ||
        !GetInteger(file, at, deltaIndicator) || !GetInteger(file, at, dataLength) ||
        !GetInteger(file, at, instructionsLength) || !GetInteger(file, at, addressesLength))
        return std::nullopt;
    if (file.size() - at != dataLength + instructionsLength + addressesLength) return std::nullopt; // one window
    const uint8_t* data = file.data() + at;
    const uint8_t* instructions = data + dataLength;
    const Bytes addresses(instructions + instructionsLength, file.data() + file.size());
    const Bytes inst(instructions, instructions + instructionsLength);

    CodeTable* table = nullptr;
    CodeTable_Create(&table);
    Bytes newData, newInstructions;
    size_t dataAt = 0, i = 0;
    bool ok = true;
    while (ok && i < inst.size()) {
        const uint8_t opcode = inst[i++];
        newInstructions.push_back(opcode);
        for (uint32_t which = 0; which < 2 && ok; which++) {
            CodeTableInstruction in{};
            CodeTable_GetEntry(table, opcode, which, &in);
            if (in.Type == VCDIFF_NOOP) continue;
            uint64_t size = in.Size;
            if (size == 0) {
                ok = GetInteger(inst, i, size);
                PutInteger(newInstructions, size);
            }
            const uint64_t taken = in.Type == VCDIFF_ADD ? size : in.Type == VCDIFF_RUN ? 1 : 0;
            if (!ok || dataAt + taken > dataLength) {
                ok = false;
                break;
            }
            if (in.Type == VCDIFF_RUN) {
                newInstructions.push_back(data[dataAt]);
                result.Runs++;
            } else {
                newData.insert(newData.end(), data + dataAt, data + dataAt + taken);
            }
            dataAt += taken;
        }
    }
    CodeTable_Delete(&table);
    if (!ok || dataAt != dataLength) return std::nullopt;
    Bytes& w = result.Window;
    w.push_back(indicator);
    PutInteger(w, result.SourceSize);
    PutInteger(w, result.SourcePosition);
    PutInteger(w, targetLength);
    PutInteger(w, deltaIndicator);
    PutInteger(w, newData.size());
    PutInteger(w, newInstructions.size());
    PutInteger(w, addresses.size());
    w.insert(w.end(), newData.begin(), newData.end());
    w.insert(w.end(), newInstructions.begin(), newInstructions.end());
    w.insert(w.end(), addresses.begin(), addresses.end());
    return result;
}

// Contents to make deltas of: random bytes and edits of them.
class DeltaContent {
public:
    explicit DeltaContent(uint32_t seed) : random_(seed) {}

    Bytes Random(size_t size) {
        Bytes out(size);
        for (uint8_t& b : out) b = (uint8_t)random_();
        return out;
    }
    size_t Below(size_t limit) { return limit ? random_() % limit : 0; }

    // Random bytes inserted at count places.
    Bytes Inserts(const Bytes& source, int count) {
        Bytes out = source;
        for (int k = 0; k < count; k++) {
            const Bytes piece = Random(1 + Below(300));
            out.insert(out.begin() + (long)Below(out.size()), piece.begin(), piece.end());
        }
        return out;
    }
    // count ranges of up to 4 KiB removed.
    Bytes Deletes(const Bytes& source, int count) {
        Bytes out = source;
        for (int k = 0; k < count && out.size() > 8192; k++) {
            const size_t at = Below(out.size() - 4096);
            out.erase(out.begin() + (long)at, out.begin() + (long)(at + 1 + Below(4096)));
        }
        return out;
    }
    // count regions of up to 64 KiB overwritten with zeros, which the encoder codes as runs.
    Bytes Zeroed(const Bytes& source, int count) {
        Bytes out = source;
        for (int k = 0; k < count; k++) {
            const size_t length = 64 + Below(65536);
            const size_t at = Below(out.size() - length);
            std::fill(out.begin() + (long)at, out.begin() + (long)(at + length), 0);
        }
        return out;
    }
    // Mostly slices copied from anywhere in the source, with short inserts and zero runs between.
    Bytes CopyHeavy(const Bytes& source, size_t size) {
        Bytes out;
        while (out.size() < size) {
            const size_t length = 512 + Below(65536);
            const size_t at = Below(source.size() - length);
            out.insert(out.end(), source.begin() + (long)at, source.begin() + (long)(at + length));
            if (Below(4) == 0) {
                const Bytes piece = Random(1 + Below(64));
                out.insert(out.end(), piece.begin(), piece.end());
            }
            if (Below(8) == 0) out.insert(out.end(), 16 + Below(4096), 0);
        }
        out.resize(size);
        return out;
    }

private:
    std::mt19937 random_;
};
