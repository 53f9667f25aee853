// pack's list of input files: every name, path and size comes back as it
// went in, however the text falls into blocks and whichever paths share a
// prefix.
#include "core/files.h"

#include <gtest/gtest.h>
#include <random>

namespace {

struct Given {
    std::string name, path;
    uint64_t size;
};

TEST(InputFiles, GiveBackEveryNamePathAndSize) {
    std::mt19937 random(31);
    auto text = [&](size_t length) {
        std::string s;
        while (s.size() < length)
            s += "ab/c.\xe3\x81\x82"[random() % 8];
        return s;
    };
    std::vector<Given> given;
    InputFiles files;
    for (int i = 0; i < 5000; i++) {
        // Mostly short names; now and then one past a block of text.
        size_t length = random() % 200 == 0 ? (1 << 20) + random() % 4096 : 1 + random() % 60;
        std::string name = text(length), path;
        switch (random() % 4) {
        case 0:
            path = name;
            break; // the name itself
        case 1:
            path = "./" + name;
            break; // a prefix
        case 2:
            path = text(1 + random() % 9) + "/x";
            break; // a path of its own
        case 3:
            path = "";
            break; // a folder entry
        }
        given.push_back({name, path, (uint64_t)random() << 20});
        AddInput(&files, name, path, given.back().size);
    }
    ASSERT_EQ(InputCount(files), given.size());
    for (size_t i = 0; i < given.size(); i++) {
        EXPECT_EQ(InputName(files, i), given[i].name) << i;
        EXPECT_EQ(InputPath(files, i), given[i].path) << i;
        EXPECT_EQ(InputSize(files, i), given[i].size) << i;
    }
}

} // namespace
