#include "linebuf/linebuf.h"
#include "platform/platform.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// Reads line k the way callers do: length first, then a block of length + 1.
std::string Line(int32_t k) {
    int32_t length = LineBufferGetLine(nullptr, k, 0);
    std::vector<char> copy(length + 1, '\0');
    LineBufferGetLine(copy.data(), k, length);
    return copy.data();
}

std::string Text() {
    int32_t length = LineBufferGetText(nullptr, 0);
    if (length < 0)
        return "<none>";
    std::vector<char> copy(length + 2, '\0');
    LineBufferGetText(copy.data(), length + 1);
    return copy.data();
}

std::string Insert(std::string line, int32_t k, int32_t replace) {
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    EXPECT_EQ(LineBufferInsertLine(buffer.data(), k, replace), 1);
    return Text();
}

class LineBuffer : public ::testing::Test {
  protected:
    void SetUp() override {
        LineBufferClear();
        blocksBefore = PlatformLiveBlocks();
    }
    void TearDown() override {
        LineBufferClear();
        PlatformFailNth(FAULT_ALLOC, 0);
        EXPECT_EQ(PlatformLiveBlocks(), blocksBefore) << "a block leaked";
    }
    int32_t blocksBefore = 0;
};

TEST_F(LineBuffer, LineEndsAndLengths) {
    ASSERT_EQ(LineBufferSetText("A\nB\n"), 0);
    EXPECT_EQ(LineBufferLineCount(), 2);
    EXPECT_EQ(LineBufferGetLine(nullptr, 0, 0), 2);
    EXPECT_EQ(LineBufferGetLine(nullptr, 1, 0), 2);
    EXPECT_EQ(LineBufferGetLine(nullptr, 2, 0), 1);
    EXPECT_EQ(LineBufferGetLine(nullptr, 3, 0), 0);
    EXPECT_EQ(LineBufferGetLine(nullptr, -1, 0), 0);
    EXPECT_EQ(Line(0), "A");
    EXPECT_EQ(Line(1), "B");
    EXPECT_EQ(Line(2), "");

    // CR LF and LF CR are one line end each; LF LF and CR CR are two.
    LineBufferSetText("A\r\nB\r\n");
    EXPECT_EQ(LineBufferLineCount(), 2);
    EXPECT_EQ(LineBufferGetLine(nullptr, 0, 0), 3);
    EXPECT_EQ(Line(0), "A");
    LineBufferSetText("A\n\rB");
    EXPECT_EQ(LineBufferLineCount(), 1);
    EXPECT_EQ(Line(0), "A");
    EXPECT_EQ(Line(1), "B");
    LineBufferSetText("A\r\rB\n");
    EXPECT_EQ(LineBufferLineCount(), 3);
    EXPECT_EQ(Line(1), "");
    EXPECT_EQ(Line(2), "B");
}

TEST_F(LineBuffer, AppendsLineFeedOnlyWhenNeitherOfTheLastTwoEndsALine) {
    LineBufferSetText("A\n\nB");
    EXPECT_EQ(Text(), "A\n\nB");
    EXPECT_EQ(LineBufferLineCount(), 2);
    EXPECT_EQ(Line(1), "");
    EXPECT_EQ(Line(2), "B");

    LineBufferSetText("X\nY");
    EXPECT_EQ(Text(), "X\nY");
    EXPECT_EQ(LineBufferLineCount(), 1);
    EXPECT_EQ(Line(1), "Y");

    LineBufferSetText("X\nYZ");
    EXPECT_EQ(Text(), "X\nYZ\n");
    EXPECT_EQ(LineBufferLineCount(), 2);

    LineBufferSetText("");
    EXPECT_EQ(Text(), "\n");
    EXPECT_EQ(LineBufferLineCount(), 1);
}

TEST_F(LineBuffer, IndexGrowsPastItsFirstRoom) {
    for (int lines : {98, 99, 100, 101, 250}) {
        std::string text;
        for (int i = 0; i < lines; i++)
            text += "line " + std::to_string(i) + "\n";
        ASSERT_EQ(LineBufferSetText(text.c_str()), 0);
        ASSERT_EQ(LineBufferLineCount(), lines);
        for (int i = 0; i < lines; i++)
            ASSERT_EQ(Line(i), "line " + std::to_string(i)) << lines;
        EXPECT_EQ(Line(lines), "");
    }
}

TEST_F(LineBuffer, EmptyAndClearedBufferHasNoLines) {
    EXPECT_EQ(LineBufferLineCount(), -1);
    EXPECT_EQ(LineBufferGetLine(nullptr, 0, 0), 0);
    LineBufferSetText("A\n");
    EXPECT_EQ(LineBufferClear(), 1);
    EXPECT_EQ(LineBufferLineCount(), -1);
    LineBufferSetText("A\n");
    EXPECT_EQ(LineBufferSetText(nullptr), -1);
    EXPECT_EQ(LineBufferLineCount(), -1);
    EXPECT_EQ(LineBufferGetText(nullptr, 0), -1);
}

TEST_F(LineBuffer, CapacityCutsTheCopy) {
    LineBufferSetText("ABCDEF\n");
    char copy[8];
    memset(copy, 'x', sizeof copy);
    EXPECT_EQ(LineBufferGetLine(copy, 0, 3), 0);
    EXPECT_STREQ(copy, "AB");
    EXPECT_EQ(copy[3], '\0'); // CopySpan also closes byte m
    EXPECT_EQ(copy[4], 'x');

    // GetText: capacity equal to the length leaves out the last character.
    LineBufferSetText("A\nB\n");
    EXPECT_EQ(LineBufferGetText(copy, 2), 4);
    EXPECT_STREQ(copy, "A");
    EXPECT_EQ(LineBufferGetText(copy, 4), 0);
    EXPECT_STREQ(copy, "A\nB");
}

TEST_F(LineBuffer, InsertReplaceAndAppendPositions) {
    LineBufferSetText("A\nB\n");
    EXPECT_EQ(Insert("X", 1, 0), "A\nX\nB\n");
    EXPECT_EQ(LineBufferLineCount(), 3);
    LineBufferSetText("A\nB\n");
    EXPECT_EQ(Insert("X", 1, 1), "A\nX\n");
    LineBufferSetText("A\nB\n");
    EXPECT_EQ(Insert("X", 0, 1), "X\nB\n");
    LineBufferSetText("A\nB\n");
    EXPECT_EQ(Insert("X", -1, 0), "A\nB\nX\n");
    LineBufferSetText("A\nB\n");
    EXPECT_EQ(Insert("X", 9, 0), "A\nB\nX\n");
    LineBufferSetText("A\nB\n");
    EXPECT_EQ(Insert("X", 0, 0), "X\nA\nB\n");
    // Replace only reads the low 16 bits of its flag.
    LineBufferSetText("A\nB\n");
    EXPECT_EQ(Insert("X", 0, 0x10000), "X\nA\nB\n");

    // The line is cut at its first CR or LF.
    LineBufferSetText("A\nB\n");
    EXPECT_EQ(Insert("X\rY\nZ", 1, 0), "A\nX\nB\n");

    // Appending to an unterminated last stretch joins it; inserting at the
    // line count drops it.
    LineBufferSetText("A\nB");
    EXPECT_EQ(Insert("X", -1, 0), "A\nBX\n");
    LineBufferSetText("A\nB");
    EXPECT_EQ(Insert("X", 5, 0), "A\nX\n");
}

TEST_F(LineBuffer, InsertRefusesWhatItCannotDo) {
    char line[] = "X";
    EXPECT_EQ(LineBufferInsertLine(line, 0, 0), -1); // no text
    LineBufferSetText("A\nB\n");
    EXPECT_EQ(LineBufferInsertLine(line, -2, 0), 0);
    EXPECT_EQ(LineBufferInsertLine(line, INT32_MIN, 1), 0);
    EXPECT_EQ(Text(), "A\nB\n");
}

TEST_F(LineBuffer, DeleteLines) {
    LineBufferSetText("A\nB\n");
    EXPECT_EQ(LineBufferDeleteLine(0), 0);
    EXPECT_EQ(Text(), "B\n");
    EXPECT_EQ(LineBufferLineCount(), 1);
    EXPECT_EQ(LineBufferDeleteLine(1), 0);
    EXPECT_EQ(LineBufferLineCount(), 0); // the count was not above 1: no rebuild
    EXPECT_EQ(Line(0), "B");

    LineBufferSetText("A\nB\n");
    EXPECT_EQ(LineBufferDeleteLine(2), 0);
    EXPECT_EQ(Text(), "A\nB\n");
    EXPECT_EQ(LineBufferDeleteLine(3), -1);
    EXPECT_EQ(LineBufferDeleteLine(-1), -1);

    LineBufferSetText("A\r\nB\nC");
    EXPECT_EQ(LineBufferDeleteLine(0), 0);
    EXPECT_EQ(Text(), "B\nC");
    EXPECT_EQ(LineBufferDeleteLine(1), 0); // the unterminated last stretch
    EXPECT_EQ(Text(), "B\n");
}

TEST_F(LineBuffer, DeleteAfterAnUnrebuiltIndexStaysInsideTheText) {
    // Deleting the only line leaves the old index; later deletes must not
    // bring back bytes from beyond the shortened text.
    LineBufferSetText("ABCDEFGH\n");
    EXPECT_EQ(LineBufferDeleteLine(0), 0);
    EXPECT_EQ(Text(), "");
    EXPECT_EQ(LineBufferDeleteLine(0), 0);
    EXPECT_EQ(Text(), "");
    EXPECT_EQ(Line(0), "");
    EXPECT_EQ(Insert("X", 0, 0), "X\n");
}

TEST_F(LineBuffer, FindLine) {
    LineBufferSetText("A\nB\nAB\n");
    int32_t position = 99;
    EXPECT_EQ(LineBufferFindLine(&position, "B", 0), 1);
    EXPECT_EQ(position, 0);
    EXPECT_EQ(LineBufferFindLine(&position, "B", 2), 2);
    EXPECT_EQ(position, 1);
    EXPECT_EQ(LineBufferFindLine(&position, "Z", 0), -1);
    EXPECT_EQ(position, -1);
    EXPECT_EQ(LineBufferFindLine(&position, "", 0), -1);
    EXPECT_EQ(position, -2);
    EXPECT_EQ(LineBufferFindLine(&position, "A", 3), -1);
    EXPECT_EQ(position, 0); // no line searched
    EXPECT_EQ(LineBufferFindLine(&position, "Z", INT32_MIN), -1);
    EXPECT_EQ(LineBufferFindLine(nullptr, "AB", -5), 2);

    // The unterminated last stretch is never searched.
    LineBufferSetText("A\nB\nQ");
    EXPECT_EQ(LineBufferFindLine(&position, "Q", 0), -1);
    LineBufferClear();
    position = 7;
    EXPECT_EQ(LineBufferFindLine(&position, "A", 0), -1);
    EXPECT_EQ(position, 7);
}

TEST_F(LineBuffer, SnapshotSlot) {
    EXPECT_EQ(LineBufferRestore(), 0);
    EXPECT_EQ(LineBufferSwap(), 0);
    LineBufferSetText("first\n");
    EXPECT_EQ(LineBufferSave(), 1);
    EXPECT_EQ(LineBufferSave(), 0);
    EXPECT_EQ(LineBufferLineCount(), -1); // Save leaves the buffer empty
    LineBufferSetText("second\nline\n");
    EXPECT_EQ(LineBufferSwap(), 1);
    EXPECT_EQ(Line(0), "first");
    EXPECT_EQ(LineBufferSwap(), 1);
    EXPECT_EQ(Line(1), "line");
    EXPECT_EQ(LineBufferRestore(), 1);
    EXPECT_EQ(Line(0), "first");
    EXPECT_EQ(LineBufferLineCount(), 1);
    EXPECT_EQ(LineBufferRestore(), 0);

    // Clear empties the slot too.
    LineBufferSave();
    LineBufferClear();
    EXPECT_EQ(LineBufferRestore(), 0);
}

TEST_F(LineBuffer, StringHelpers) {
    EXPECT_EQ(FindSubstring("abab", "ab", 1), 2);
    EXPECT_EQ(FindSubstring("abab", "ab", -3), 0);
    EXPECT_EQ(FindSubstring("abab", "", 0), -2);
    EXPECT_EQ(FindSubstring("", "a", 0), -2);
    EXPECT_EQ(FindSubstring("aba", "abc", 0), -1);

    char joined[] = "ab\0cd\0\0zz";
    ReplaceChar(joined, '\0', ';', sizeof joined);
    EXPECT_STREQ(joined, "ab;cd;");
    char empty[] = "";
    ReplaceChar(empty, 'x', 'y', 1);
    EXPECT_STREQ(empty, "");
    char limited[] = "aaaa";
    ReplaceChar(limited, 'a', 'b', 2);
    EXPECT_STREQ(limited, "bbaa");
    char atLimit[4] = {'a', '\0', 'b', '\0'};
    ReplaceChar(atLimit, '\0', '-', 2); // must not look at byte 2
    EXPECT_EQ(atLimit[1], '-');

    char out[8] = "ab";
    AppendBounded(out, "cdefgh", 5);
    EXPECT_STREQ(out, "abcde");
    AppendBounded(out, "x", 5);
    EXPECT_STREQ(out, "abcde");
}

TEST_F(LineBuffer, AllocationFailuresLeaveNothingBehind) {
    // SetText: no text, -1.
    PlatformFailNth(FAULT_ALLOC, 1);
    EXPECT_EQ(LineBufferSetText("A\nB\n"), -1);
    EXPECT_EQ(LineBufferLineCount(), -1);

    // The index: no lines, then the lines found before the growth failed.
    PlatformFailNth(FAULT_ALLOC, 2);
    EXPECT_EQ(LineBufferSetText("A\nB\n"), -1);
    EXPECT_EQ(LineBufferLineCount(), 0);
    EXPECT_EQ(LineBufferGetLine(nullptr, 0, 0), 0);
    EXPECT_EQ(LineBufferDeleteLine(0), -1);
    std::string many(150, '\n');
    PlatformFailNth(FAULT_ALLOC, 3);
    EXPECT_EQ(LineBufferSetText(many.c_str()), -1);
    EXPECT_EQ(LineBufferLineCount(), 98);

    // InsertLine: 0 and the text as it was, for every allocation it makes.
    for (int32_t n = 1;; n++) {
        LineBufferSetText("A\nB\n");
        char line[] = "X";
        PlatformFailNth(FAULT_ALLOC, n);
        int32_t result = LineBufferInsertLine(line, 1, 0);
        bool failed = PlatformCalls(FAULT_ALLOC) >= n;
        PlatformFailNth(FAULT_ALLOC, 0);
        if (!failed) {
            EXPECT_EQ(result, 1);
            break;
        }
        if (n == 1) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(Text(), "A\nB\n");
        }
    }
}

} // namespace
