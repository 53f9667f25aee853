// Writes the seed corpora: archives like the tests', and line-buffer scripts.
// usage: seeds ARCHIVE_DIR LINEBUF_DIR
#include "tests/archive_builder.h"

#include <string>
#include <vector>

int main(int argc, char **argv) {
    if (argc != 3)
        return 2;
    std::string archives = argv[1], scripts = argv[2];
    std::vector<std::vector<TestEntry>> sets = {
        {{"a.bmp", "AAAA"}, {"b.png", PatternBytes(100, 2)}, {"c.txt", "CC"}},
        {{"empty", ""}},
        {{std::string(199, 'n'), "1"}, {std::string(230, 'm'), "22"}},
        {{"dir/one", "x"}, {"DIR/ONE", "yy"}, {"dir\\two", ""}},
    };
    int n = 0;
    for (const std::vector<TestEntry> &set : sets) {
        WriteFile(archives + "/" + std::to_string(n++), BuildArchive(set));
        WriteFile(archives + "/" + std::to_string(n++), BuildArchive(set, false));
    }
    WriteFile(archives + "/" + std::to_string(n++), "FILECMB-DATA-LIST-IN\n");
    static const char script0[] = "\x00\x08"
                                  "A\nB\nC\r\n"
                                  "\x03\x02"
                                  "X\x01\x01";
    static const char script1[] = "\x00\x05"
                                  "a\rb\nc"
                                  "\x06\x00\x02"
                                  "zz\x08\x04\x01\x07";
    WriteFile(scripts + "/0", std::string(script0, sizeof script0 - 1));
    WriteFile(scripts + "/1", std::string(script1, sizeof script1 - 1));
    return 0;
}
