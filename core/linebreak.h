// Where a line of Japanese text may break: the rule the help's wrapper and
// the Japanese manual page share. Characters are UTF-8 strings of one code
// point each.
#ifndef AXQ_QUORVEL_LINEBREAK_H
#define AXQ_QUORVEL_LINEBREAK_H

#include <stdint.h>
#include <string>

// Japanese text has no spaces between words. A line may break between two
// phrases: after a Japanese comma or full stop, and where the script changes
// (kanji, hiragana, katakana, Latin) unless hiragana follows, since a
// hiragana run after a word is its particle or ending (アーカイブ|を,
// 展開|する), and not inside a compound verb. Never before a closing mark
// nor after an opening one.
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

// The one-character particles: between two kanji they end a phrase, where
// any other hiragana is the inside of a compound verb (書き|直す, 読み|取る).
inline bool IsParticle(uint32_t c) {
    return c == 0x3092 || c == 0x304c || c == 0x306f || c == 0x306b || c == 0x3067 || c == 0x3068 ||
           c == 0x306e || c == 0x3082 || c == 0x3078 || c == 0x3084;
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
    if (from == kHiraganaScript && to == kKanjiScript && !IsParticle(a) &&
        ScriptOf(CodePointOf(earlier)) == kKanjiScript)
        return false;
    return from != to && to != kHiraganaScript;
}

// Nor does a space between these two: it stands between a Latin word and
// its particle ("NAME は", "1 つ"), a number and its counter ("1 文字"), or
// before a Japanese closing mark. (A Latin word may well start with '.'.)
inline bool HoldsToSpace(const std::string &previous, const std::string &next) {
    uint32_t a = CodePointOf(previous), b = CodePointOf(next);
    return ScriptOf(b) == kHiraganaScript || (b >= 0x3000 && ClosesPhrase(b)) ||
           (a >= '0' && a <= '9' && ScriptOf(b) == kKanjiScript);
}

#endif
