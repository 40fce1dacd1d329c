#include "core/formats/mime.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "core/formats/crc.h"
#include "tests/support/abort_hook.h"

namespace {

class MimeTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(MIME_Init(), 1); }
    void TearDown() override { EXPECT_EQ(MIME_Remove(), 1); }
};

struct Case {
    const char* name;
    int64_t found;
    const char* type;
    const char* subtype;
};

TEST_F(MimeTest, Find) {
    const Case cases[] = {
        {"index.HTML", 1, "text", "html"},
        {"index.html", 1, "text", "html"},
        {"page.ShTmL", 1, "text", "html"},
        {"archive.tar.gz", 1, "application", "x-gzip"},
        {"archive.tar", 1, "application", "x-tar"},
        {".json", 1, "application", "json"},
        {"dir/sub.d/data.json", 1, "application", "json"},
        {"dir.d/file", 0, "application", "octet-stream"},
        {"dir.d\\file", 0, "application", "octet-stream"},
        {"c:file", 0, "application", "octet-stream"},
        {"name.", 0, "application", "octet-stream"},
        {"noextension", 0, "application", "octet-stream"},
        {"", 0, "application", "octet-stream"},
        {".", 0, "application", "octet-stream"},
        {"a.unknownext", 0, "application", "octet-stream"},
        {"a.averyveryverylongextension", 0, "application", "octet-stream"},
        {"photo.jpeg", 1, "image", "jpeg"},
        {"photo.JFIF", 1, "image", "jpeg"},
        {"a.svg", 1, "image", "svg+xml"},
        {"a.tsv", 1, "text", "tab-separated-values"},
        {"a.yml", 1, "text", "x-yaml"},
        {"a.mp3", 1, "audio", "mpeg"},
        {"a.wav", 1, "audio", "wav"},
        {"a.qt", 1, "video", "quicktime"},
        {"a.mpg", 1, "video", "mpeg"},
        {"lib.so", 1, "application", "octet-stream"},
        {"a.js", 1, "application", "x-javascript"},
        {"proxy.pac", 1, "application", "x-ns-proxy-autoconfig"},
        {"a.pdf", 1, "application", "pdf"},
        {"a.xml", 1, "application", "xml"},
        {"a.zip", 1, "application", "zip"},
        {"a.mime", 1, "message", "rfc822"},
        {"a.wrl", 1, "model", "vrml"},
        {"a.eot", 1, "application", "vnd.ms-fontobject"},
        {"a.otf", 1, "font", "otf"},
        {"a.ttf", 1, "font", "ttf"},
        {"a.woff", 1, "application", "x-font-woff"},
        {"a.css", 1, "text", "css"},
        {"a.c", 1, "text", "plain"},
        {"a.png", 1, "image", "png"},
        {"a.tiff", 1, "image", "tiff"},
    };
    for (const Case& c : cases) {
        const char* type = nullptr;
        const char* subtype = nullptr;
        EXPECT_EQ(MIME_Find(c.name, &type, &subtype), c.found) << c.name;
        ASSERT_NE(type, nullptr);
        ASSERT_NE(subtype, nullptr);
        EXPECT_STREQ(type, c.type) << c.name;
        EXPECT_STREQ(subtype, c.subtype) << c.name;
    }
}

// Every built-in extension, in table order; the rows run by type in blocks.
TEST_F(MimeTest, EveryBuiltInExtensionIsFoundWithItsTypeBlock) {
    const char* list =
        "asc c cpp css etx h hpp htc htm html nfo rtf rtx sgm sgml shtm shtml tsv txt yaml yml bmp "
        "cgm cmx gif ief jfif jpe jpeg jpg pbm pgm png pnm ppm ras rgb svg tif tiff xbm xpm xwd aif "
        "aifc aiff au kar m3u mid midi mp2 mp3 mp3url mpga pls ra ram rm rpm snd stream wav wax wma "
        "asf asx avi mov movie mpe mpeg mpg mv qt viv vx wm wmv wmx wvx a aam aas ai atom bat bcpio "
        "bin cdf cip class cpio cpt csh dcr dir dll dmg dms doc dump dvi dxr eps exe ez fgd gram "
        "grxml gtar gz hdf hqx iv js json latex lha lzh man mathml me mif ms nc o oda ogg pac pdf pgn "
        "phps phtml ppt ps rdf roff sea sh shar sit skd skm skp skt smi smil so spl spr sprite src "
        "sv4cpio sv4crc swf t tar tcl tex texi texinfo tr tsp ustar vcd vmd vmf wg wmd wmp wmz wp wp5 "
        "wp6 wsrc xls xml xul z zip mime iges igs mesh msh silo vrml wrl eot otf ttf woff";
    std::vector<std::string> extensions;
    std::string word;
    for (const char* p = list;; p++) {
        if (*p == ' ' || *p == 0) {
            if (!word.empty()) extensions.push_back(word);
            word.clear();
            if (*p == 0) break;
        } else {
            word += *p;
        }
    }
    ASSERT_EQ(extensions.size(), 193u);
    for (size_t i = 0; i < extensions.size(); i++) {
        size_t row = i + 1;
        const std::string& e = extensions[i];
        const char* expected = row <= 21                    ? "text"
                               : row <= 43                  ? "image"
                               : row <= 65                  ? "audio"
                               : row <= 81                  ? "video"
                               : row <= 181                 ? "application"
                               : row == 182                 ? "message"
                               : row <= 189                 ? "model"
                               : (e == "otf" || e == "ttf") ? "font"
                                                            : "application";
        std::string upper = e;
        for (char& c : upper) c = (char)toupper((unsigned char)c);
        for (const std::string& name : {"file." + e, "FILE." + upper}) {
            const char* type = nullptr;
            const char* subtype = nullptr;
            EXPECT_EQ(MIME_Find(name.c_str(), &type, &subtype), 1) << name;
            EXPECT_STREQ(type, expected) << name;
            EXPECT_GT(strlen(subtype), 0u) << name;
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
    const char* type = nullptr;
    const char* subtype = nullptr;
    EXPECT_EQ(MIME_Find("a.html", &type, &subtype), 0);
    EXPECT_STREQ(type, "application");
    EXPECT_STREQ(subtype, "octet-stream");
    EXPECT_EQ(MIME_Remove(), 1);
    ASSERT_EQ(MIME_Init(), 1);
    EXPECT_EQ(MIME_Find("a.html", &type, &subtype), 1);
    EXPECT_EQ(MIME_Remove(), 1);
    EXPECT_EQ(MIME_Remove(), 1);
}

TEST(MimeTableTest, NullArgumentsAbort) {
    const char* type = nullptr;
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            MIME_Find("a.html", &type, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
}

} // namespace
