// The mount's compact tree against plain models: random adds, moves and
// removals answer lookups and folder listings as a map of maps does, and a
// random CP932 archive with folder entries and clashes builds the tree that
// its names give, each shown entry at the path the save computes for it.
#include "mount/mounted.h"

#include "core/codepage.h"
#include "core/names.h"

#include "archive_builder.h"

#include <gtest/gtest.h>
#include <map>
#include <random>
#include <set>
#include <unistd.h>

namespace {

// Names that share bytes and hashes' neighbourhoods: CP932 text decoded,
// ASCII that differs in case or length, a name that sorts after all.
const char *const kNames[] = {"a", "A", "ab", "a b", "表", "表示", "ソ", "ｱ", "z", "~", "予"};

// Every live node's children, by lookup and by listing, as the model has them.
void ExpectModel(const std::map<size_t, std::map<std::string, size_t>> &model) {
    for (const auto &folder : model) {
        std::vector<size_t> listed = ChildrenOf(folder.first), expected;
        for (const auto &child : folder.second) {
            expected.push_back(child.second);
            EXPECT_EQ(Child(folder.first, child.first), child.second) << child.first;
        }
        EXPECT_EQ(listed, expected);
        EXPECT_EQ(HasChildren(folder.first), !folder.second.empty());
        for (const char *name : kNames) {
            if (folder.second.count(name) == 0) {
                EXPECT_EQ(Child(folder.first, name), kNone) << name;
            }
        }
    }
}

TEST(MountTree, AnswersLikeAMapOfMaps) {
    std::mt19937 random(31);
    ClearTree(4);
    std::map<size_t, std::map<std::string, size_t>> model = {{0, {}}};
    std::vector<size_t> live; // below the root
    for (int step = 0; step < 20000; step++) {
        auto pick = [&](size_t n) { return (size_t)(random() % n); };
        std::vector<size_t> folders;
        for (const auto &f : model)
            folders.push_back(f.first);
        size_t parent = folders[pick(folders.size())];
        std::string name = kNames[pick(sizeof kNames / sizeof *kNames)];
        bool taken = model[parent].count(name) > 0;
        int what = (int)pick(3);
        if (what == 0 && !taken) {
            bool folder = pick(2) == 0;
            size_t node = AddNode(parent, name, folder);
            model[parent][name] = node;
            if (folder)
                model[node];
            live.push_back(node);
        } else if (what == 1 && !live.empty()) {
            // A move of a file, or of a folder not into itself, to a free name.
            size_t node = live[pick(live.size())];
            bool inside = false;
            for (size_t up = parent; up != 0; up = mounted.nodes[up].parent)
                inside = inside || up == node;
            if (taken || inside)
                continue;
            model[mounted.nodes[node].parent].erase(NameOf(node));
            Detach(node);
            Attach(node, parent, name);
            model[parent][name] = node;
        } else if (what == 2 && !live.empty()) {
            size_t at = pick(live.size()), node = live[at];
            if (HasChildren(node))
                continue;
            model[mounted.nodes[node].parent].erase(NameOf(node));
            model.erase(node);
            Detach(node);
            live.erase(live.begin() + (long)at);
        }
        if (step % 500 == 0)
            ExpectModel(model);
    }
    ExpectModel(model);
}

// The tree a listing's names give, by the rules the mount shows entries
// by: the first entry of a path keeps it, a folder entry makes folders.
struct ModelTree {
    std::map<std::string, bool> paths; // path -> is a folder
    std::map<std::string, size_t> files;
    bool Take(const std::vector<std::string> &components, bool folderEntry) {
        std::string path;
        for (size_t i = 0; i < components.size(); i++) {
            path += (path.empty() ? "" : "/") + components[i];
            bool folder = folderEntry || i + 1 < components.size();
            auto found = paths.find(path);
            if (found != paths.end() && (!found->second || !folder))
                return false;
        }
        path.clear();
        for (size_t i = 0; i < components.size(); i++) {
            path += (path.empty() ? "" : "/") + components[i];
            paths[path] = folderEntry || i + 1 < components.size();
        }
        return true;
    }
};

TEST(MountTree, BuildsWhatTheNamesGive) {
    Failure failure;
    ASSERT_TRUE(LoadPlugin(nullptr, &failure));
    char folder[] = "/tmp/mount-tree-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    // CP932: 表 (0x95 0x5C, whose second byte is a backslash), ソ (0x83 0x5C), ｱ.
    const char *const parts[] = {"a", "b", "\x95\x5c", "\x83\x5c", "\xb1", "A"};
    for (uint32_t seed = 1; seed <= 40; seed++) {
        std::mt19937 random(seed);
        std::vector<TestEntry> entries;
        for (int i = 0, n = 10 + (int)(random() % 60); i < n; i++) {
            std::string name;
            for (int depth = 1 + (int)(random() % 3); depth > 0; depth--)
                name += std::string(name.empty() ? "" : "\\") + parts[random() % 6];
            bool folderEntry = random() % 6 == 0;
            entries.push_back({folderEntry ? name + "\\" : name,
                               folderEntry ? "" : std::string(1 + random() % 3, 'x')});
        }
        std::string path = std::string(folder) + "/t.dat";
        ASSERT_TRUE(WriteFile(path, BuildArchive(entries)));
        Selection selection;
        Encoding cp932;
        ASSERT_TRUE(ParseEncoding("CP932", &cp932));
        Failure failure;
        ASSERT_TRUE(OpenListing(path, cp932, &selection, &failure));
        mounted.archive = selection.archive;
        mounted.listing = selection.listing;
        mounted.encoding = selection.encoding;
        BuildTree();
        ModelTree model;
        for (size_t i = 0; i < mounted.listing.count; i++) {
            EntryRecord record = mounted.listing[i];
            std::string name, why;
            std::vector<std::string> components;
            ASSERT_TRUE(RecordName(record, mounted.encoding, &name));
            ASSERT_TRUE(EntryPath(name, false, &components, &why)) << why;
            bool folderEntry = FolderEntry(name, record.filesize);
            bool taken = model.Take(components, folderEntry);
            Shown shown = !taken ? kEntryHidden : folderEntry ? kEntryNotShown : kEntryShown;
            EXPECT_EQ(mounted.shown[i], shown) << seed << " " << name;
            if (shown == kEntryShown)
                model.files[EntryTreePath(record)] = i;
        }
        // Each path where the model has it, each file of its entry, and
        // nothing else: every folder lists exactly the model's children.
        size_t listed = 0;
        for (const auto &p : model.paths) {
            size_t node = Find(p.first);
            ASSERT_NE(node, kNone) << seed << " " << p.first;
            EXPECT_EQ(mounted.nodes[node].folder, p.second) << p.first;
            EXPECT_EQ(PathOf(node), p.first);
            if (!p.second) {
                EXPECT_EQ(mounted.nodes[node].record, model.files.at(p.first)) << p.first;
            }
            listed += ChildrenOf(node).size();
        }
        EXPECT_EQ(listed + ChildrenOf(0).size(), model.paths.size()) << seed;
        FreeListing(&mounted.listing);
    }
    unlink((std::string(folder) + "/t.dat").c_str());
    rmdir(folder);
}

} // namespace
