// The Japanese manual page's last step: help2man's page of the Japanese help,
// set for Japanese text. The help broke its lines between phrases for a
// terminal; a line end in a page reads as a space, so lines that broke
// between two Japanese characters are joined again, and each place where a
// line may break (linebreak.h) gets groff's break point \: instead. A space
// that holds a particle to its Latin word ("NAME は") cannot break (\~), and
// the page is set ragged-right (.ad l): groff would otherwise stretch the few
// spaces around Latin words to justify a line. Nor are those words hyphenated
// (.nh): they are commands and options.
// usage: manpage HELP2MAN_PAGE PAGE
#include "core/linebreak.h"

#include <fstream>
#include <string>
#include <vector>

// The text's characters, one UTF-8 string each.
static std::vector<std::string> Characters(const std::string &text) {
    std::vector<std::string> characters;
    for (size_t i = 0; i < text.size();) {
        size_t length = 1;
        while (i + length < text.size() && ((unsigned char)text[i + length] & 0xc0) == 0x80)
            length++;
        characters.push_back(text.substr(i, length));
        i += length;
    }
    return characters;
}

static bool Japanese(const std::string &c) { return (unsigned char)c[0] >= 0x80; }

// May groff break between these two, written one after the other? Not
// inside an escape, nor next to a space, where it may already.
static bool BreakPoint(const std::string &earlier, const std::string &a, const std::string &b) {
    return a != "\\" && b != "\\" && a != " " && b != " " && (Japanese(a) || Japanese(b)) &&
           BreaksBetween(earlier, a, b);
}

// One line of running text, with its break points and held spaces marked.
static std::string Set(const std::string &line) {
    std::vector<std::string> characters = Characters(line);
    std::string set;
    for (size_t i = 0; i < characters.size(); i++) {
        const std::string &c = characters[i];
        bool last = i + 1 == characters.size();
        if (c == " " && i > 0 && characters[i - 1] != " " && characters[i - 1] != "\\" && !last &&
            HoldsToSpace(characters[i - 1], characters[i + 1]))
            set += "\\~";
        else
            set += c;
        if (!last && BreakPoint(i > 0 ? characters[i - 1] : "", c, characters[i + 1]))
            set += "\\:";
    }
    return set;
}

int main(int argc, char **argv) {
    if (argc != 3)
        return 2;
    std::ifstream input(argv[1]);
    std::vector<std::string> page;
    std::string line;
    int sections = 0;         // the name line stays as it is, for whatis
    bool tag = false;         // this line is a .TP paragraph's tag
    bool runningText = false; // the last line kept is running text
    while (std::getline(input, line)) {
        if (line.empty() || line[0] == '.' || line[0] == '\'') {
            page.push_back(line);
            if (line.compare(0, 3, ".TH") == 0)
                page.push_back(".ad l\n.nh");
            sections += line.compare(0, 3, ".SH") == 0 ? 1 : 0;
            tag = line == ".TP" || line.compare(0, 4, ".TP ") == 0;
            runningText = false;
            continue;
        }
        if (tag || sections < 2) {
            page.push_back(line);
            tag = runningText = false;
            continue;
        }
        std::vector<std::string> before = Characters(runningText ? page.back() : " ");
        std::string earlier = before.size() > 1 ? before[before.size() - 2] : "", a = before.back();
        std::string b = Characters(line)[0];
        if (runningText && Japanese(a) && (Japanese(b) || a == "、" || a == "。"))
            page.back() += (BreakPoint(earlier, a, b) ? "\\:" : "") + Set(line);
        else
            page.push_back(Set(line));
        runningText = true;
    }
    std::ofstream output(argv[2]);
    for (const std::string &kept : page)
        output << kept << '\n';
    output.close();
    return input.eof() && output ? 0 : 1;
}
