// The Japanese manual page's last step: help2man's page of the Japanese help,
// set for Japanese text. The help broke its lines between phrases for a
// terminal; a line end in a page reads as a space, so a paragraph's lines are
// joined again as the help's text had them, and each place where a line may
// break (linebreak.h) gets groff's break point \: instead, while a space
// where none may (between "NAME" and "は", inside "UHC (CP949)") becomes \~.
// groff then breaks Japanese text only there: the page is set ragged-right
// (.ad l), for groff would otherwise stretch the few spaces around Latin
// words, and without hyphens (.nh), for those words are commands and options.
// An option's text goes under its option; a heading loses its colon, and
// what it says in brackets goes under it.
// usage: manpage HELP2MAN_PAGE PAGE
#include "core/linebreak.h"

#include <fstream>
#include <string>
#include <vector>

// A piece of a line of the page: a character, or an escape. `shown` is what
// the reader sees of it: a character, a space, or nothing for a change of
// font and the like.
struct Piece {
    std::string source, shown;
};

static std::vector<Piece> Pieces(const std::string &line) {
    std::vector<std::string> characters = CharactersOf(line);
    std::vector<Piece> pieces;
    for (size_t i = 0; i < characters.size(); i++) {
        if (characters[i] != "\\" || i + 1 == characters.size()) {
            pieces.push_back({characters[i], characters[i]});
            continue;
        }
        const std::string &kind = characters[++i];
        Piece piece = {"\\" + kind, ""};
        if (kind == "-")
            piece.shown = "-";
        else if (kind == "e" || kind == "\\")
            piece.shown = "\\";
        else if (kind == "~" || kind == "(" || kind == "[")
            piece.shown = "x"; // a held space or a named character: a Latin one
        // A name follows: \fB, \f(BI, \f[B], \*x, \(xx, \[name].
        std::string opener = kind;
        if ((kind == "f" || kind == "*") && i + 1 < characters.size()) {
            opener = characters[++i];
            piece.source += opener;
        }
        if (kind == "f" || kind == "*" || kind == "(" || kind == "[") {
            for (size_t count = 0; opener == "(" && count < 2 && i + 1 < characters.size(); count++)
                piece.source += characters[++i];
            while (opener == "[" && i + 1 < characters.size() && characters[i] != "]")
                piece.source += characters[++i];
        }
        pieces.push_back(piece);
    }
    return pieces;
}

// The line with its break points and held spaces marked; a name line gets
// held spaces only, for whatis reads \: as a colon.
static std::string Set(const std::string &line, bool breakPoints) {
    std::vector<Piece> pieces = Pieces(line);
    std::vector<std::string> shown;
    std::vector<size_t> shownAt(pieces.size(), 0);
    for (size_t i = 0; i < pieces.size(); i++) {
        shownAt[i] = shown.size();
        if (!pieces[i].shown.empty())
            shown.push_back(pieces[i].shown);
    }
    std::vector<bool> starts = LineStarts(shown);
    std::string set;
    for (size_t i = 0; i < pieces.size(); i++) {
        const Piece &piece = pieces[i];
        size_t at = shownAt[i];
        if (piece.shown == " ") {
            size_t next = at;
            while (next < shown.size() && shown[next] == " ")
                next++;
            set += next < shown.size() && !starts[next] ? "\\~" : " ";
            continue;
        }
        if (breakPoints && !piece.shown.empty() && starts[at] && at > 0 && shown[at - 1] != " ")
            set += "\\:";
        set += piece.source;
    }
    return set;
}

// The first and last characters the reader sees of a line.
static std::string FirstShown(const std::string &line) {
    for (const Piece &piece : Pieces(line))
        if (!piece.shown.empty())
            return piece.shown;
    return "";
}

static std::string LastShown(const std::string &line) {
    std::vector<Piece> pieces = Pieces(line);
    for (size_t i = pieces.size(); i-- > 0;)
        if (!pieces[i].shown.empty())
            return pieces[i].shown;
    return "";
}

// Every hiragana and katakana, each after a space.
static std::string Kana() {
    std::string kana;
    for (uint32_t c = 0x3041; c <= 0x30ff; c++) {
        if (c > 0x3096 && c < 0x30a0)
            continue;
        kana += {' ', (char)(0xe0 | c >> 12), (char)(0x80 | (c >> 6 & 0x3f)),
                 (char)(0x80 | (c & 0x3f))};
    }
    return kana;
}

int main(int argc, char **argv) {
    if (argc != 3)
        return 2;
    std::ifstream input(argv[1]);
    std::vector<std::string> page;
    std::string line, paragraph;
    int sections = 0; // the name line gets no break points (whatis), the synopsis is kept
    bool tag = false; // this line is a .TP paragraph's tag
    auto endParagraph = [&]() {
        if (!paragraph.empty())
            page.push_back(Set(paragraph, true));
        paragraph.clear();
    };
    while (std::getline(input, line)) {
        if (line.empty() || line[0] == '.' || line[0] == '\'') {
            endParagraph();
            // A Japanese heading ends with no colon. What it says in brackets
            // goes under it, as text that breaks where text may: a heading
            // that runs past the page goes on at the text's margin.
            std::string gloss;
            if (line.compare(0, 5, ".SS \"") == 0 && line.size() > 6 && line.back() == '"') {
                std::string heading = line.substr(5, line.size() - 6);
                if (heading.back() == ':')
                    heading.pop_back();
                size_t open = heading.rfind(" (");
                if (open != std::string::npos && heading.back() == ')') {
                    gloss = Set(heading.substr(open + 1), true);
                    heading.erase(open);
                }
                line = ".SS \"" + heading + "\"";
            }
            page.push_back(line);
            if (!gloss.empty())
                page.push_back(gloss);
            // groff's Japanese settings (ja.tmac, where a page is read with
            // them) break between any two kana or kanji: here only at \:.
            // Its class misses the voiced kana (ブ), which groff keeps as two.
            if (line.compare(0, 3, ".TH") == 0)
                page.push_back(".ad l\n.nh\n.cflags 0 \\C'[CJKnormal]'\n.cflags 0" + Kana());
            sections += line.compare(0, 3, ".SH") == 0 ? 1 : 0;
            tag = line == ".TP" || line.compare(0, 4, ".TP ") == 0;
            continue;
        }
        if (tag || sections < 3) {
            endParagraph();
            page.push_back(sections == 1 ? Set(line, false) : line);
            // An option's text under the option, never run in beside it.
            if (tag && FirstShown(line) == "-")
                page.push_back(".br");
            tag = false;
            continue;
        }
        if (!paragraph.empty() && !JoinsWithoutSpace(LastShown(paragraph), FirstShown(line)))
            paragraph += " ";
        paragraph += line;
    }
    endParagraph();
    std::ofstream output(argv[2]);
    for (const std::string &kept : page)
        output << kept << '\n';
    output.close();
    return input.eof() && output ? 0 : 1;
}
