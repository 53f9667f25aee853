// Writes the seed corpora: archives like the tests', line-buffer scripts, and
// entry names (a byte choosing the code page and rules, then the name).
// usage: seeds ARCHIVE_DIR LINEBUF_DIR NAMES_DIR
#include "tests/archive_builder.h"

#include <string>
#include <vector>

int main(int argc, char **argv) {
    if (argc != 4)
        return 2;
    std::string archives = argv[1], scripts = argv[2], names = argv[3];
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
    // The first byte: the code page (its value modulo 6) and, in its top bit, Windows' rules.
    const std::vector<std::string> nameSeeds = {
        "\x01\x83\x5c\x83\x74\x83\x67/\x95\x5c\x8e\xa6.txt", // CP932, trail bytes like '\'
        "\x81\x83\x41\x83\x61/CON.txt",                      // the same, Windows rules
        "\x02\xe5\x5c\xd0\x5c\\..\\x",                       // GBK
        "\x83..\\a:b/c. /LPT1 ",                             // Big5, Windows rules
        std::string(1, '\0') + "caf\xc3\xa9/./x",            // UTF-8
        "\x85"
        "C:\\x\x01", // CP1252, Windows rules
    };
    for (size_t i = 0; i < nameSeeds.size(); i++)
        WriteFile(names + "/" + std::to_string(i), nameSeeds[i]);
    WriteFile(scripts + "/0", std::string(script0, sizeof script0 - 1));
    WriteFile(scripts + "/1", std::string(script1, sizeof script1 - 1));
    return 0;
}
