#include "core/formats/mime.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/abort_hook.h"

namespace {

class MimeTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(MIME_Init(), 1); }
    void TearDown() override { EXPECT_EQ(MIME_Remove(), 1); }
};

struct Found {
    int64_t Answer;
    std::string Type; // "type/subtype"
};
Found Find(const std::string& name) {
    const char* type = nullptr;
    const char* subtype = nullptr;
    const int64_t answer = MIME_Find(name.c_str(), &type, &subtype);
    return {answer, type && subtype ? std::string(type) + "/" + subtype : "(null)"};
}

std::string Lower(std::string text, int (*fold)(int) = ::tolower) {
    std::transform(text.begin(), text.end(), text.begin(), [fold](unsigned char c) { return (char)fold(c); });
    return text;
}

TEST_F(MimeTest, Find) {
    // clang-format off
    const std::tuple<const char*, int64_t, const char*> cases[] = {
        {"index.HTML", 1, "text/html"}, {"page.ShTmL", 1, "text/html"},
        {"archive.tar.gz", 1, "application/x-gzip"},
        {".json", 1, "application/json"}, {"dir/sub.d/data.json", 1, "application/json"},
        {"photo.JFIF", 1, "image/jpeg"}, {"a.yml", 1, "text/x-yaml"}, {"a.wav", 1, "audio/wav"},
        {"lib.so", 1, "application/octet-stream"}, {"a.js", 1, "application/x-javascript"},
        {"proxy.pac", 1, "application/x-ns-proxy-autoconfig"}, {"a.mime", 1, "message/rfc822"},
        {"a.woff", 1, "application/x-font-woff"}, {"a.c", 1, "text/plain"},
        // No extension, or none the table knows: the defaults.
        {"dir.d/file", 0, "application/octet-stream"}, {"dir.d\\file", 0, "application/octet-stream"},
        {"c:file", 0, "application/octet-stream"}, {"name.", 0, "application/octet-stream"},
        {"noextension", 0, "application/octet-stream"}, {"", 0, "application/octet-stream"},
        {".", 0, "application/octet-stream"}, {"a.unknownext", 0, "application/octet-stream"},
        {"a.averyveryverylongextension", 0, "application/octet-stream"}};
    // clang-format on
    for (const auto& [name, answer, type] : cases) {
        const Found f = Find(name);
        EXPECT_EQ(std::pair(f.Answer, f.Type), std::pair(answer, std::string(type))) << name;
    }
}

// Debian's list of media types (package media-types): the types named for each extension.
std::map<std::string, std::vector<std::string>> DebianMediaTypes() {
    std::map<std::string, std::vector<std::string>> types;
    std::ifstream in("/etc/mime.types");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::string type, extension;
        words >> type;
        while (words >> extension) types[Lower(extension)].push_back(Lower(type));
    }
    return types;
}

// The table against a second source. Media types compare without case. Where Debian names
// another type for an extension the table keeps its own, and only the top-level type is
// compared; extensions that Debian does not list, or lists under another top-level type, are
// not compared.
TEST_F(MimeTest, RowsAgreeWithDebianMediaTypes) {
    const auto debian = DebianMediaTypes();
    if (debian.empty()) GTEST_SKIP() << "/etc/mime.types is not installed (package media-types)";
    // clang-format off
    const std::string whole =
        "css etx htc htm html sgm sgml shtml tsv txt bmp cgm gif ief jfif jpe jpeg jpg pbm pgm png pnm "
        "ppm ras rgb svg tif tiff xbm xpm xwd aif aifc aiff au mp2 mp3 mpga pls ra ram rm snd wax wma avi "
        "mov movie mpe mpeg mpg qt viv wm wmv wmx wvx ai atom bcpio bin cpio cpt csh dcr dir doc dvi dxr "
        "eps ez gram grxml gtar hdf hqx json latex man me mif ms nc oda pac pdf ppt ps rdf sh shar sit "
        "src sv4cpio sv4crc tar tcl texi texinfo tsp ustar vcd wmd wmz xls xml xul zip iges igs mesh msh "
        "silo vrml wrl eot otf ttf";
    const std::string typeOnly =
        "c cpp h hpp m3u mid wav bat cdf class dll dmg exe gz lha lzh o pgn skd skm skp skt smi smil spl "
        "swf wg";
    // clang-format on
    for (const auto& [list, full] : {std::pair{whole, true}, std::pair{typeOnly, false}}) {
        std::istringstream words(list);
        for (std::string extension; words >> extension;) {
            ASSERT_TRUE(debian.count(extension)) << extension;
            const std::vector<std::string>& listed = debian.at(extension);
            for (const std::string& name : {"file." + extension, "FILE." + Lower(extension, ::toupper)}) {
                const Found f = Find(name);
                EXPECT_EQ(f.Answer, 1) << name;
                const std::string got = Lower(f.Type);
                const bool agrees = std::any_of(listed.begin(), listed.end(), [&](const std::string& t) {
                    return full ? t == got : t.substr(0, t.find('/')) == got.substr(0, got.find('/'));
                });
                EXPECT_TRUE(agrees) << name << " is " << f.Type << ", Debian lists " << listed[0];
            }
        }
    }
}

TEST_F(MimeTest, SecondInitAborts) {
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            MIME_Init();
        },
        AbortRegex("Assertion failed (GlobalMIME == NULL)\nMIME already initialized"));
}

TEST(MimeTableTest, FindWithoutTableKeepsDefaultsAndRemoveTwice) {
    EXPECT_EQ(Find("a.html").Answer, 0);
    EXPECT_EQ(Find("a.html").Type, "application/octet-stream");
    EXPECT_EQ(MIME_Remove(), 1);
    ASSERT_EQ(MIME_Init(), 1);
    EXPECT_EQ(Find("a.html").Answer, 1);
    EXPECT_EQ(MIME_Remove(), 1);
    EXPECT_EQ(MIME_Remove(), 1);
}

} // namespace
