// The fixture the plug-in's native tests share: a fresh folder for each
// test's archives, and after the test the platform as it was (code page,
// fault injection, line buffer) with no file left open and no block leaked.
#ifndef AXQ_TESTS_PLUGIN_FIXTURE_H
#define AXQ_TESTS_PLUGIN_FIXTURE_H

#include "linebuf/linebuf.h"
#include "plugin/plugin.h"

#include "archive_builder.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string>

class PluginFixture : public ::testing::Test {
  protected:
    explicit PluginFixture(const char *kind) : kind_(kind) {}
    void SetUp() override {
        std::string pattern = "/tmp/axq-" + kind_ + "-XXXXXX";
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        dir = pattern;
        blocksBefore = PlatformLiveBlocks();
    }
    void TearDown() override {
        PlatformSelectCodePage(1252);
        for (int kind = 0; kind < FAULT_KINDS; kind++)
            PlatformFailNth(kind, 0);
        LineBufferClear();
        EXPECT_EQ(PlatformOpenFiles(), 0) << "a file was left open";
        EXPECT_EQ(PlatformLiveBlocks(), blocksBefore) << "a block leaked";
        std::string command = "rm -rf '" + dir + "'";
        EXPECT_EQ(system(command.c_str()), 0);
    }
    // Writes the bytes as an archive in the test's folder; its path.
    std::string Write(const std::string &bytes, const std::string &name = "game.dat") {
        std::string path = dir + "/" + name;
        EXPECT_TRUE(WriteFile(path, bytes));
        return path;
    }
    std::string dir;
    int32_t blocksBefore = 0;

  private:
    std::string kind_;
};

#endif
