// Where a line of Japanese text may break: the rule the help's wrapper and
// the Japanese manual page share. Characters are UTF-8 strings of one code
// point each.
#ifndef AXQ_QUORVEL_LINEBREAK_H
#define AXQ_QUORVEL_LINEBREAK_H

#include <stdint.h>
#include <string>
#include <vector>

// Japanese text has no spaces between words. A line may break between two
// phrases: after a Japanese comma or full stop, and where a hiragana run
// (a word's particle or ending) is followed by another word: アーカイブを|
// 展開|する is two phrases. Kanji and katakana written together are one
// compound (文字コード, ファイル内, バイト列), and so is a Latin word and
// the word it names (Quorvel アーカイブ, 日本語版 Windows); a compound verb
// (書き直す, 読み取る) is one word. Never before a closing mark nor after an
// opening one.
enum LineScript { kLatinScript, kKanjiScript, kHiraganaScript, kKatakanaScript, kMarkScript };

inline uint32_t CodePointOf(const std::string &c) {
    if (c.empty())
        return 0;
    unsigned char lead = (unsigned char)c[0];
    uint32_t point = c.size() == 1 ? lead : lead & (0x7f >> c.size());
    for (size_t i = 1; i < c.size(); i++)
        point = point << 6 | ((unsigned char)c[i] & 0x3f);
    return point;
}

inline LineScript ScriptOf(uint32_t c) {
    if ((c >= 0x4e00 && c <= 0x9fff) || (c >= 0x3400 && c <= 0x4dbf) || c == 0x3005)
        return kKanjiScript;
    if (c >= 0x3041 && c <= 0x309f)
        return kHiraganaScript;
    if (c >= 0x30a0 && c <= 0x30ff)
        return kKatakanaScript;
    return c >= 0x3000 ? kMarkScript : kLatinScript;
}

// 、。）」』 and their Latin kin: they stay on the line of what they follow.
inline bool ClosesPhrase(uint32_t c) {
    return c == 0x3001 || c == 0x3002 || c == 0xff09 || c == 0x300d || c == 0x300f || c == 0xff0c ||
           c == 0xff0e || c == ')' || c == ']' || c == ',' || c == '.' || c == ';' || c == ':';
}

inline bool OpensPhrase(uint32_t c) {
    return c == 0xff08 || c == 0x300c || c == 0x300e || c == '(' || c == '[';
}

inline bool ClosesBracket(uint32_t c) {
    return c == 0xff09 || c == 0x300d || c == 0x300f || c == ')' || c == ']';
}

// The one-character particles: between two kanji they end a phrase, where
// any other hiragana is the inside of a compound verb (書き|直す, 読み|取る).
inline bool IsParticle(uint32_t c) {
    return c == 0x3092 || c == 0x304c || c == 0x306f || c == 0x306b || c == 0x3067 || c == 0x3068 ||
           c == 0x306e || c == 0x3082 || c == 0x3078 || c == 0x3084;
}

inline bool IsCompoundPart(uint32_t c) {
    LineScript script = ScriptOf(c);
    return script == kKanjiScript || script == kKatakanaScript;
}

inline bool IsLatinWord(uint32_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Whether a line may break between `previous` and `next`, written one after
// the other with no space; `earlier` is the character before `previous`
// (empty at the start of the text).
inline bool BreaksBetween(const std::string &earlier, const std::string &previous,
                          const std::string &next) {
    if (previous.empty() || next.empty())
        return false;
    uint32_t a = CodePointOf(previous), b = CodePointOf(next);
    if (ClosesPhrase(b) || OpensPhrase(a))
        return false;
    if (a == 0x3001 || a == 0x3002)
        return true;
    LineScript from = ScriptOf(a), to = ScriptOf(b);
    if (to == kHiraganaScript)
        return false;
    if (OpensPhrase(b) || ClosesBracket(a))
        return true;
    if (from == kHiraganaScript)
        return !(to == kKanjiScript && !IsParticle(a) &&
                 ScriptOf(CodePointOf(earlier)) == kKanjiScript);
    return (from == kMarkScript || to == kMarkScript) && from != to;
}

// Nor does a space between these two: it stands between a Latin word and
// its particle ("NAME は", "1 つ"), inside a compound ("Quorvel アーカイブ",
// "最大 SECONDS 秒", "1 文字"), between a command and its option ("mount
// --write"), or before a Japanese closing mark. (A Latin word may well
// start with '.'.)
inline bool HoldsToSpace(const std::string &previous, const std::string &next) {
    uint32_t a = CodePointOf(previous), b = CodePointOf(next);
    return ScriptOf(b) == kHiraganaScript || (b >= 0x3000 && ClosesPhrase(b)) ||
           (IsLatinWord(a) && (IsCompoundPart(b) || b == '-')) ||
           (IsCompoundPart(a) && IsLatinWord(b));
}

// Where lines may break in `characters` (spaces among them): whether a line
// may start at each one, after the spaces before it. Three more rules than
// the ones above: a sign standing alone after Japanese text stays with it, a
// bracket stays with the word before it if that is a Latin word ("CP932
// (SHIFT_JIS も可)"), or if it has no space inside ("目録 (test)", "何もしていない
// (停止またはハングした)") or no break point, and the last phrase never stands
// alone on the last line (a verb, or "error.").
inline std::vector<bool> LineStarts(const std::vector<std::string> &characters) {
    std::vector<bool> starts(characters.size(), false);
    std::string earlier, previous;
    bool spaced = false;
    for (size_t i = 0; i < characters.size(); i++) {
        const std::string &c = characters[i];
        if (c == " ") {
            spaced = !previous.empty();
            continue;
        }
        starts[i] = spaced ? !HoldsToSpace(previous, c) : BreaksBetween(earlier, previous, c);
        // A lone sign after Japanese text is a word of it: "\ と / は", "または /".
        uint32_t sign = CodePointOf(c);
        if (spaced && sign < 0x80 && !IsLatinWord(sign) && CodePointOf(previous) >= 0x80 &&
            (i + 1 == characters.size() || characters[i + 1] == " "))
            starts[i] = false;
        spaced = false;
        earlier = previous;
        previous = c;
    }
    for (size_t i = 0; i < characters.size(); i++) {
        if (!starts[i] || !OpensPhrase(CodePointOf(characters[i])))
            continue;
        size_t word = i;
        while (word > 0 && characters[word - 1] == " ")
            word--;
        bool glossesLatinWord =
            word < i && word > 0 && IsLatinWord(CodePointOf(characters[word - 1]));
        int depth = 0;
        bool breaks = false, spaced = false;
        for (size_t k = i; k < characters.size(); k++) {
            uint32_t c = CodePointOf(characters[k]);
            depth += OpensPhrase(c) ? 1 : ClosesBracket(c) ? -1 : 0;
            if (depth == 0)
                break;
            breaks = breaks || (k > i && starts[k]);
            spaced = spaced || characters[k] == " ";
        }
        starts[i] = breaks && spaced && !glossesLatinWord;
    }
    // The last phrase: before the commands' list at the end of an option's
    // text ("[list extract cat]"), which may break where it must.
    size_t end = characters.size();
    if (end > 0 && characters[end - 1] == "]") {
        for (int depth = 0; end-- > 0;) {
            uint32_t c = CodePointOf(characters[end]);
            depth += ClosesBracket(c) ? 1 : OpensPhrase(c) ? -1 : 0;
            if (depth == 0)
                break;
        }
        end = end == (size_t)-1 ? characters.size() : end;
    }
    for (size_t i = end; i-- > 0;) {
        if (starts[i]) {
            starts[i] = false;
            break;
        }
    }
    return starts;
}

// The text's characters, one UTF-8 string each.
inline std::vector<std::string> CharactersOf(const std::string &text) {
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

// How two lines of one paragraph, as a translator or the help wrapped them,
// join: Japanese text runs on with no space (a line end may fall between
// any two of its phrases), other text with one.
inline bool JoinsWithoutSpace(const std::string &lineEnd, const std::string &lineStart) {
    uint32_t a = CodePointOf(lineEnd), b = CodePointOf(lineStart);
    return a >= 0x80 && (b >= 0x80 || a == 0x3001 || a == 0x3002);
}

#endif
