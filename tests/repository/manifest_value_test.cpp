#include "repository/manifest_value.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(ManifestValueTest, PathSplitTable) {
    const struct {
        const char* Path;
        int32_t Count;
        std::vector<std::string> Parts;
    } cases[] = {
        {"", 0, {}},
        {"files", 1, {"files"}},
        {"files\\12\\name", 3, {"files", "12", "name"}},
        {"\\a", 2, {"", "a"}},
        {"a\\", 2, {"a", ""}},
        {"\\\\", 3, {"", "", ""}},
        {"a\\b\\c\\d\\e\\f", 6, {"a", "b", "c", "d"}},
        {"pieces\\digests\\1234567", 3, {"pieces", "digests", "1234567"}},
        {"0123456\\89abcdef\\", 3, {"0123456", "89abcdef", ""}},
        {"01234567\\9abcdef0123456789", 2, {"01234567", "9abcdef0123456789"}},
    };
    for (const auto& c : cases) {
        const ManifestPath p = ManifestPath_Split(c.Path);
        EXPECT_EQ(p.Count, c.Count) << c.Path;
        for (size_t i = 0; i < c.Parts.size(); i++)
            EXPECT_EQ(p.Part[i], c.Parts[i]) << c.Path << " part " << i;
    }
    EXPECT_EQ(ManifestPath_Split(nullptr).Count, 0);
}

// A separator at every place of a path of every length up to 40 bytes, the text held in a
// buffer of exactly its size, so that a read past its end is caught by the address checker.
TEST(ManifestValueTest, PathSplitFindsEverySeparator) {
    for (size_t length = 1; length <= 40; length++) {
        for (size_t at = 0; at < length; at++) {
            std::vector<char> text(length + 1, 'x');
            text[at] = '\\';
            text[length] = 0;
            const ManifestPath p = ManifestPath_Split(text.data());
            ASSERT_EQ(p.Count, 2) << length << " " << at;
            EXPECT_EQ(p.Part[0].size(), at);
            EXPECT_EQ(p.Part[1].size(), length - at - 1);
            EXPECT_EQ(p.Part[0].data(), text.data());
        }
    }
}

} // namespace
