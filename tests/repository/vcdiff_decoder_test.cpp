#include "repository/vcdiff_decoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/runtime/memory.h"
#include "tests/repository/vcdiff_peer.h"
#include "tests/support/temp_dir.h"

namespace {

// Header fields of a hand-made window; the section lengths follow from the sections.
struct Window {
    uint8_t Indicator = 0;
    uint64_t SourceSize = 0;
    Bytes Data, Instructions, Addresses;
    uint64_t DeltaIndicator = 0;
    int32_t PieceIndex = 0, PieceCount = 0;

    Window(Bytes data = {}, Bytes instructions = {}, Bytes addresses = {}, uint64_t sourceSize = 0)
        : SourceSize(sourceSize), Data(std::move(data)), Instructions(std::move(instructions)),
          Addresses(std::move(addresses)) {}
    Window& WithIndicator(uint8_t indicator) {
        Indicator = indicator;
        return *this;
    }

    Bytes Encode() const {
        Bytes w{Indicator};
        for (uint64_t v : {SourceSize, (uint64_t)0, (uint64_t)0, DeltaIndicator, (uint64_t)Data.size(),
                           (uint64_t)Instructions.size(), (uint64_t)Addresses.size()})
            vcdiff_peer::PutInteger(w, v);
        if (Indicator & VCDIFF_WINDOW_PIECES) {
            vcdiff_peer::PutInteger(w, (uint32_t)PieceIndex);
            vcdiff_peer::PutInteger(w, (uint32_t)PieceCount);
        }
        for (const Bytes* s : {&Data, &Instructions, &Addresses}) w.insert(w.end(), s->begin(), s->end());
        return w;
    }
};

struct Decoded {
    int64_t Init = 0, Decode = 0;
    std::string Output; // what the window wrote
};

class Decoder {
public:
    Decoder() { VCDiffDecoder_Create(&d_); }
    ~Decoder() { VCDiffDecoder_Release(&d_); }
    VCDiffDecoder* get() { return d_; }

    // Init and, when that succeeds, Decode into a buffer of capacity bytes that starts with lead
    // bytes already written.
    Decoded Run(const Bytes& delta, const Bytes& source = {}, uint32_t capacity = 64, uint32_t lead = 0) {
        delta_ = delta;
        source_ = source;
        VCDiffDecoder_SetDeltaBuffer(d_, delta_.data(), (uint32_t)delta_.size());
        VCDiffDecoder_SetSourceBuffer(d_, source_.data(), (uint32_t)source_.size());
        Decoded r;
        r.Init = VCDiffDecoder_Init(d_);
        if (!r.Init) return r;
        std::string out(capacity, '.');
        uint32_t position = lead;
        r.Decode = VCDiffDecoder_Decode(d_, out.data(), capacity, &position);
        r.Output = out.substr(lead, position - lead);
        return r;
    }

private:
    VCDiffDecoder* d_ = nullptr;
    Bytes delta_, source_;
};

Bytes Of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes DeltaIndicator(uint64_t value) {
    Window w;
    w.DeltaIndicator = value;
    return w.Encode();
}

TEST(VCDiffDecoder, SmallestWindowsDecode) {
    // Opcodes of the default table: 0 RUN, 2 ADD 1, 3 ADD 2, 20 COPY 4 mode 0, 40 COPY 8 mode 1,
    // 115 COPY 0 mode 6.
    const struct {
        const char* Name;
        Bytes Delta;
        std::string Expected;
    } cases[] = {
        {"twelve-byte window", {0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02, 0x01, 0x41, 0x02, 0x14, 0x00}, "AAAAA"},
        {"run takes its byte from the instructions", Window({}, {0x00, 0x05, 0x41}).Encode(), "AAAAA"},
        {"overlapping copy in mode here",
         Window(Of("x"), {0x02, 40}, {0x01}).Encode(), std::string(9, 'x')},
        {"copy of a two-byte period", Window(Of("ab"), {0x03, 0x13, 0x07}, {0x00})
                                            .Encode(),
         "ababababa"},
        {"empty instructions decode nothing", Window(Of("ab")).Encode(), ""},
        {"explicit sizes of 0 write nothing", Window({}, {0x01, 0x00, 0x00, 0x00, 0x41}).Encode(), ""},
    };
    for (const auto& c : cases) {
        Decoder d;
        const Decoded r = d.Run(c.Delta);
        EXPECT_EQ(r.Init, 1) << c.Name;
        EXPECT_EQ(r.Decode, 1) << c.Name;
        EXPECT_EQ(r.Output, c.Expected) << c.Name;
    }
}

TEST(VCDiffDecoder, MalformedHeadersFailInit) {
    Bytes elevenByteInteger = {0x00};
    elevenByteInteger.insert(elevenByteInteger.end(), 10, 0x80);
    elevenByteInteger.insert(elevenByteInteger.end(), {0x00, 0, 0, 0, 0, 0, 0, 0});
    const struct {
        const char* Name;
        Bytes Delta;
    } cases[] = {
        {"empty buffer", {}},
        {"delta indicator 1", DeltaIndicator(1)},
        {"integer of 11 bytes", elevenByteInteger},
        {"32-bit field of 6 bytes", {0x00, 0x00, 0x00, 0x00, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00, 0, 0, 0}},
        {"32-bit field above 2^32-1", {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x90, 0x80, 0x80, 0x80, 0x00, 0x00}},
        {"data length of 2^31", {0x00, 0x00, 0x00, 0x00, 0x00, 0x88, 0x80, 0x80, 0x80, 0x00, 0x00, 0x00}},
        {"truncated header", {0x00, 0x00, 0x00, 0x00, 0x00, 0x01}},
        {"integer running off the end", {0x00, 0x80}},
        {"data past the buffer", {0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x41, 0x42}},
        {"instructions past the buffer", {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x05}},
        {"addresses past the buffer", {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00}},
        {"piece fields missing", {0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}},
    };
    for (const auto& c : cases) EXPECT_EQ(Decoder().Run(c.Delta).Init, 0) << c.Name;
}

TEST(VCDiffDecoder, FaultsFailDecodeAfterTheLastGoodInstruction) {
    const Bytes source = Of("0123456789");
    const struct {
        const char* Name;
        Window W;
        std::string Written;
        uint32_t Capacity = 64;
    } cases[] = {
        {"run without its byte", Window(Of("z"), {0x02, 0x00, 0x05}), "z"},
        {"add past the data section", Window(Of("z"), {0x02, 0x03}), "z"},
        {"address missing", Window(Of("z"), {0x02, 0x14}), "z"},
        {"same-cache byte missing", Window(Of("z"), {0x02, 115, 0x04}), "z"},
        {"explicit size missing", Window(Of("z"), {0x02, 0x01}), "z"},
        {"mode here before the start", Window(Of("z"), {0x02, 40}, {0x02}), "z"},
        // Within the source segment but past the source buffer.
        {"source copy past the buffer", Window({}, {0x14, 0x14}, {0x06, 0x07}, 100),
         "6789"},
        // The copy starts at the byte about to be written: nothing there is written yet.
        {"target copy of unwritten bytes", Window(Of("z"), {0x02, 0x14}, {0x01}), "z"},
        {"target copy far ahead", Window(Of("z"), {0x02, 0x14}, {0x10}), "z"},
        {"add one byte past the capacity", Window(Of("abcdef"), {0x04, 0x04}), "abc", 5},
        {"run past the capacity", Window({}, {0x00, 0x06, 0x41}), "", 5},
    };
    for (const auto& c : cases) {
        Decoder d;
        const Decoded r = d.Run(c.W.Encode(), source, c.Capacity);
        EXPECT_EQ(r.Init, 1) << c.Name;
        EXPECT_EQ(r.Decode, 0) << c.Name;
        EXPECT_EQ(r.Output, c.Written) << c.Name;
    }
}

TEST(VCDiffDecoder, CopiesAddressTheSourceWindowAndTheTarget) {
    // Source segment of 4 bytes: address 1 is in the source (shifted by the window offset),
    // address 4 is the first byte this window wrote, even when it starts after earlier output.
    const Window w({}, {0x14, 0x14}, {0x01, 0x04}, 4);
    const Bytes source = Of("0123456789");
    for (uint32_t offset : {0u, 3u}) {
        Decoder d;
        VCDiffDecoder_SetSourceWindowOffset(d.get(), offset);
        const Decoded r = d.Run(w.Encode(), source, 64, 7);
        EXPECT_EQ(r.Decode, 1);
        const std::string slice = std::string("0123456789").substr(1 + offset, 4);
        EXPECT_EQ(r.Output, slice + slice) << offset;
    }
}

TEST(VCDiffDecoder, ANewWindowLeavesNothingOfTheLastReadable) {
    Decoder d;
    EXPECT_EQ(d.Run(Window(Of("abc"), {0x04}).Encode()).Output, "abc");
    // The same instruction, now without data: it must not read the earlier window's section.
    EXPECT_EQ(d.Run(Window({}, {0x04}).Encode()).Decode, 0);
    // A failed Init leaves nothing to decode either.
    EXPECT_EQ(d.Run(DeltaIndicator(2)).Init, 0);
    std::string out(8, '.');
    uint32_t position = 0;
    EXPECT_EQ(VCDiffDecoder_Decode(d.get(), out.data(), 8, &position), 0);
    EXPECT_EQ(position, 0u);
}

TEST(VCDiffDecoder, PieceRangeComesFromTheHeaderOnlyWithItsBit) {
    Decoder d;
    VCDiffDecoder_SetSourceWindowPieceIndex(d.get(), 3);
    VCDiffDecoder_SetSourceWindowPieceCount(d.get(), 2);
    int32_t index = 0, count = 0;
    const auto read = [&] {
        VCDiffDecoder_GetSourceWindowPieceIndex(d.get(), &index);
        VCDiffDecoder_GetSourceWindowPieceCount(d.get(), &count);
    };
    EXPECT_EQ(d.Run(Window().WithIndicator(0x01).Encode()).Init, 1);
    read();
    EXPECT_EQ(std::make_pair(index, count), std::make_pair(3, 2));
    Window pieces = Window(Of("q"), {0x02}).WithIndicator(0x08);
    pieces.PieceIndex = 700;
    pieces.PieceCount = 5;
    const Decoded r = d.Run(pieces.Encode());
    EXPECT_EQ(r.Output, "q");
    read();
    EXPECT_EQ(std::make_pair(index, count), std::make_pair(700, 5));
}

// Peer deltas of one window, converted, decode to the target byte for byte.
TEST(VCDiffDecoder, PeerDeltasDecodeToTheirTargets) {
    TempDir dir;
    DeltaContent content(7);
    const Bytes small = content.Random(256 * 1024);
    const Bytes large = content.Random(4 << 20);
    Bytes repeated = content.Random(300);
    for (int k = 0; k < 6; k++) repeated.insert(repeated.end(), repeated.begin(), repeated.begin() + 150 + k);
    repeated.insert(repeated.end(), 5000, 0x5A);
    const struct {
        const char* Name;
        const Bytes* Source;
        Bytes Target;
        bool Runs;
    } cases[] = {
        {"inserts", &small, content.Inserts(small, 40), false},
        {"deletes", &small, content.Deletes(small, 40), false},
        {"zero-filled regions", &small, content.Zeroed(small, 12), true},
        {"copy-heavy 4 MiB", &large, content.CopyHeavy(large, 4 << 20), true},
        {"without source", nullptr, repeated, true},
    };
    for (const auto& c : cases) {
        const std::optional<Bytes> file = PeerEncode(dir.path(), c.Source, c.Target);
        ASSERT_TRUE(file) << c.Name << ": xdelta3 failed";
        const std::optional<ConvertedDelta> delta = ConvertPeerDelta(*file);
        ASSERT_TRUE(delta) << c.Name;
        if (c.Runs) {
            EXPECT_GT(delta->Runs, 0u) << c.Name;
        }
        Bytes source;
        if (c.Source) {
            ASSERT_LE(delta->SourcePosition + delta->SourceSize, c.Source->size()) << c.Name;
            source.assign(c.Source->begin() + (long)delta->SourcePosition,
                          c.Source->begin() + (long)(delta->SourcePosition + delta->SourceSize));
        }
        Decoder d;
        VCDiffDecoder_SetDeltaBuffer(d.get(), delta->Window.data(), (uint32_t)delta->Window.size());
        VCDiffDecoder_SetSourceBuffer(d.get(), source.data(), (uint32_t)source.size());
        ASSERT_EQ(VCDiffDecoder_Init(d.get()), 1) << c.Name;
        Bytes out(c.Target.size());
        uint32_t position = 0;
        EXPECT_EQ(VCDiffDecoder_Decode(d.get(), out.data(), (uint32_t)out.size(), &position), 1) << c.Name;
        EXPECT_EQ(position, c.Target.size()) << c.Name;
        EXPECT_TRUE(out == c.Target) << c.Name;
    }
}

// Memory tracking on: an allocation of any size while decoding would raise the byte maximum to
// at least what is in use during the decode, which a guard block makes higher than any earlier
// maximum.
TEST(VCDiffDecoder, DecodingAllocatesNothing) {
    Memory_Init(1);
    {
        DeltaContent content(11);
        const Bytes source = content.Random(64 * 1024);
        const Bytes target = content.Zeroed(content.Inserts(source, 8), 4);
        TempDir dir;
        const std::optional<Bytes> file = PeerEncode(dir.path(), &source, target);
        ASSERT_TRUE(file);
        const std::optional<ConvertedDelta> delta = ConvertPeerDelta(*file);
        ASSERT_TRUE(delta);
        Decoder d;
        VCDiffDecoder_SetDeltaBuffer(d.get(), delta->Window.data(), (uint32_t)delta->Window.size());
        VCDiffDecoder_SetSourceBuffer(d.get(), source.data() + delta->SourcePosition, (uint32_t)delta->SourceSize);
        uint32_t maxCount = 0, maxBytes = 0, used = 0;
        Memory_GetMaximum(&maxCount, &maxBytes);
        Memory_GetSize(&used);
        const int32_t guardSize = maxBytes >= used ? (int32_t)(maxBytes - used) + 1 : 1;
        void* guard = Memory_Alloc(guardSize);
        Memory_GetSize(&used);
        Bytes out(target.size());
        uint32_t position = 0;
        EXPECT_EQ(VCDiffDecoder_Init(d.get()), 1);
        EXPECT_EQ(VCDiffDecoder_Decode(d.get(), out.data(), (uint32_t)out.size(), &position), 1);
        Memory_GetMaximum(&maxCount, &maxBytes);
        EXPECT_LT(maxBytes, used);
        EXPECT_TRUE(out == target);
        Memory_Free(guard, guardSize);
    }
    Memory_Remove();
}

} // namespace
