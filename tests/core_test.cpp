// The core's rules as values: names admitted one at a time against the
// check of a whole archive's names, the C1 controls, Unicode's case folding,
// and failures rendered with their arguments.
#include "core/account.h"
#include "core/admit.h"
#include "core/failure.h"
#include "core/names.h"
#include "core/output.h"

#include <errno.h>

#include <gtest/gtest.h>
#include <random>

namespace {

Encoding Cp932() {
    Encoding encoding;
    EXPECT_TRUE(ParseEncoding("CP932", &encoding));
    return encoding;
}

// Names added one at a time are refused exactly when the check of the whole
// set (the one pack and update run) would find a clash in the names taken
// so far plus the new one. Names come from a few parts, separators of both
// kinds, "." parts, and ソ, whose CP932 second byte is '\'.
TEST(NameIndex, AgreesWithTheWholeArchiveCheck) {
    const char *parts[] = {"a", "b", "ソ", ".", ""};
    const char *separators[] = {"/", "\\"};
    Encoding encoding = Cp932();
    for (unsigned seed = 1; seed <= 300; seed++) {
        std::mt19937 random(seed);
        NameIndex index(encoding);
        std::vector<std::string> names;
        std::vector<bool> empty;
        for (int step = 0; step < 12; step++) {
            std::string text;
            int count = 1 + (int)(random() % 3);
            for (int k = 0; k < count; k++) {
                if (k > 0)
                    text += separators[random() % 2];
                text += parts[random() % 5];
            }
            if (random() % 4 == 0)
                text += separators[random() % 2]; // a folder entry when empty
            std::string stored;
            if (!EncodeName(encoding, text, &stored) || stored.empty())
                continue;
            bool none = random() % 2 == 0;
            names.push_back(stored);
            empty.push_back(none);
            bool clash = !FindNameClashes(
                              names.size(), [&](size_t i) { return names[i].c_str(); },
                              [&](size_t i) { return (bool)empty[i]; }, encoding)
                              .empty();
            Failure failure;
            bool added = index.Add(stored, none, text, &failure);
            ASSERT_EQ(added, !clash) << "seed " << seed << ": " << text;
            if (!added) {
                EXPECT_EQ(failure.kind, FailureKind::kBadName);
                names.pop_back();
                empty.pop_back();
            }
        }
    }
}

TEST(AdmitName, RefusesWhatNoWriterMayStore) {
    Encoding encoding = Cp932();
    std::string stored;
    Failure failure;
    const char *refused[] = {
        "", "/abs", "a/../b", "tab\there", "c1\xc2\x9b[2J", "nel\xc2\x85", "emoji\xf0\x9f\x98\x80"};
    for (const char *name : refused) {
        EXPECT_FALSE(AdmitName(name, encoding, 0, &stored, &failure)) << name;
        EXPECT_EQ(failure.kind, FailureKind::kBadName) << name;
    }
    EXPECT_FALSE(AdmitName(std::string(200, 'x'), encoding, 0, &stored, &failure));
    ASSERT_TRUE(AdmitName(std::string(199, 'x'), encoding, 0, &stored, &failure));
    ASSERT_TRUE(AdmitName("ソフト/表.txt", encoding, '\\', &stored, &failure));
    EXPECT_EQ(stored, "\x83\x5c\x83\x74\x83\x67\\\x95\x5c.txt");
    // A name holding a zero byte is named whole, escaped, not cut there.
    EXPECT_FALSE(AdmitName(std::string("a\0b", 3), encoding, 0, &stored, &failure));
    EXPECT_EQ(failure.subject, "a\\x00b");
}

TEST(Names, CaseFoldingIsUnicodesSimpleFolding) {
    EXPECT_TRUE(MatchName("σας", "ΣΑΣ", true));
    EXPECT_TRUE(MatchName("ΣΑΣ", "σας", true));
    EXPECT_TRUE(MatchName("µ*", "Μικρό", true)); // the micro sign is mu
    EXPECT_TRUE(MatchName("ſ", "S", true));      // the long s
    EXPECT_FALSE(MatchName("σας", "ΣΑΣ", false));
}

TEST(Failure, MessagesTakeTheirArgumentsInAnyOrder) {
    Failure failure = Fail(FailureKind::kDamaged, "x.dat", "%2$s before %1$s, 100%%", {"a", "b"});
    EXPECT_EQ(FailureText(failure), "x.dat: b before a, 100%");
    failure = Fail(FailureKind::kNotFound, "", "%s and %s", {"one"});
    EXPECT_EQ(FailureText(failure), "one and ");
    EXPECT_EQ(FailureMessage(SystemFailure("f", ENOENT)), SystemText(ENOENT));
}

} // namespace
