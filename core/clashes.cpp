// The names that clash in a listing: two entries of one path, or a file
// whose path is a folder of another entry's. One pass over the names, with
// hashes standing in for the paths in open-addressing tables, so that a
// listing of millions of entries is checked in time linear in its names and
// without holding its paths a second time.
#include "core/account.h"

#include <algorithm>
#include <string.h>

// True, with its size, if the name is plain ASCII and its own path already:
// no '\', and no empty or "." part. Most names are.
static bool PlainPath(const char *bytes, size_t *size) {
    char before = '/'; // the name starts a part
    size_t i = 0;
    for (; bytes[i] != '\0'; i++) {
        char c = bytes[i];
        if ((unsigned char)c >= 0x80 || c == '\\' || (c == '/' && before == '/') ||
            (c == '.' && before == '/' && (bytes[i + 1] == '\0' || bytes[i + 1] == '/')))
            return false;
        before = c;
    }
    *size = i;
    return before != '/';
}

// A record's name as a path, into *key: the decoded name's parts, split at
// '/' and '\', empty and "." parts left out. A name that does not decode is
// kept whole, as its bytes after a zero byte, where no separator can be told
// from a double-byte character's second byte. ASCII reads the same in every
// code page, so it is taken as it is. A folder entry (`folder`: of no
// bytes) whose name ends in a separator keeps a closing '/': it is a
// folder, and no file's path.
static void PathOf(const char *stored, bool folder, const Encoding &encoding, std::string *name,
                   std::string *key) {
    const char *bytes = stored;
    size_t size = 0;
    if (PlainPath(bytes, &size)) {
        key->assign(bytes, size);
        return;
    }
    size = strlen(bytes);
    bool ascii = std::all_of(bytes, bytes + size, [](char c) { return (unsigned char)c < 0x80; });
    key->clear();
    if (!ascii && !DecodeName(encoding, bytes, size, name)) {
        key->assign(1, '\0');
        key->append(bytes, size);
        return;
    }
    if (!ascii) {
        bytes = name->data();
        size = name->size();
    }
    size_t part = 0;
    for (size_t i = 0; i <= size; i++) {
        if (i < size && bytes[i] != '/' && bytes[i] != '\\')
            continue;
        bool dot = i - part == 1 && bytes[part] == '.';
        if (i > part && !dot) {
            if (!key->empty())
                *key += '/';
            key->append(bytes + part, i - part);
        }
        part = i + 1;
    }
    // The last character, not byte: ソ in CP932 ends in the byte of '\'.
    char last = size > 0 ? bytes[size - 1] : '\0';
    if (folder && !key->empty() && (last == '/' || last == '\\'))
        *key += '/';
}

static std::string PathOf(const char *stored, bool folder, const Encoding &encoding) {
    std::string name, key;
    PathOf(stored, folder, encoding, &name, &key);
    return key;
}

std::string NamePath(const char *stored, bool folder, const Encoding &encoding) {
    return PathOf(stored, folder, encoding);
}

// FNV-1a, 64 bits, of a path; `at` (if given) receives the hash of each
// folder on the way, the part before each '/', as the walk passes it.
static constexpr uint64_t kHashStart = 14695981039346656037ull;
static uint64_t Hash(const char *bytes, size_t size, std::vector<uint64_t> *at = nullptr) {
    uint64_t hash = kHashStart;
    for (size_t i = 0; i < size; i++) {
        if (at != nullptr && bytes[i] == '/')
            at->push_back(hash);
        hash = (hash ^ (unsigned char)bytes[i]) * 1099511628211ull;
    }
    return hash;
}

// Path hashes, each with the first entry that gave it: open addressing,
// kept at most two thirds full, so that a lookup takes a few steps, and 12
// bytes a slot, so that the table of a listing stays well below the size of
// its directory.
class HashIndex {
  public:
    explicit HashIndex(size_t most) { Resize(most); }
    // The first entry of `hash`: `entry` if it is new (then added).
    size_t Add(uint64_t hash, size_t entry) {
        if (3 * (used + 1) > 2 * entries.size())
            Resize(2 * used + 2);
        size_t slot = Slot(hash);
        if (entries[slot] != kEmpty)
            return entries[slot];
        hashes[slot] = hash;
        entries[slot] = (uint32_t)entry;
        used++;
        return entry;
    }
    // The first entry of `hash`, or kNone.
    size_t Find(uint64_t hash) const {
        size_t slot = Slot(hash);
        return entries[slot] != kEmpty ? entries[slot] : kNone;
    }
    // Calls visit(hash, first entry) for each hash held.
    template <typename Visit> void Each(Visit visit) const {
        for (size_t slot = 0; slot < entries.size(); slot++)
            if (entries[slot] != kEmpty)
                visit(hashes[slot], (size_t)entries[slot]);
    }
    static constexpr size_t kNone = SIZE_MAX;

  private:
    // A listing holds fewer than 2^32 entries: each line takes two bytes at
    // least of an archive below 4 GiB.
    static constexpr uint32_t kEmpty = UINT32_MAX;
    std::vector<uint64_t> hashes;
    std::vector<uint32_t> entries;
    size_t used = 0;
    // Where `hash` is, or the empty slot where it would go.
    size_t Slot(uint64_t hash) const {
        // The high half of the hash scaled to the table: no division, and
        // any size of table.
        size_t room = entries.size();
        size_t slot = (size_t)(((hash >> 32) * (uint64_t)room) >> 32);
        while (entries[slot] != kEmpty && hashes[slot] != hash)
            slot = slot + 1 < room ? slot + 1 : 0;
        return slot;
    }
    void Resize(size_t most) {
        size_t room = most + most / 2 + 16;
        std::vector<uint64_t> oldHashes(room);
        std::vector<uint32_t> oldEntries(room, kEmpty);
        oldHashes.swap(hashes);
        oldEntries.swap(entries);
        for (size_t slot = 0; slot < oldEntries.size(); slot++) {
            if (oldEntries[slot] != kEmpty) {
                size_t to = Slot(oldHashes[slot]);
                hashes[to] = oldHashes[slot];
                entries[to] = oldEntries[slot];
            }
        }
    }
};

std::vector<NameClash> FindNameClashes(size_t count, const StoredNameAt &nameAt,
                                       const EmptyAt &emptyAt, const Encoding &encoding) {
    // Every path, by hash, with its first entry; every folder on the way to
    // an entry, by hash, with the first entry below it. A folder is hashed
    // once for each run of entries in it.
    HashIndex files(count), folders(16);
    std::vector<NameClash> maybe;
    std::string name, key, parent;
    std::vector<uint64_t> on;
    for (size_t i = 0; i < count; i++) {
        PathOf(nameAt(i), emptyAt(i), encoding, &name, &key);
        on.clear();
        size_t first = files.Add(Hash(key.data(), key.size(), &on), i);
        if (first != i) {
            NameClash clash;
            clash.entry = first;
            clash.other = i;
            clash.duplicate = true;
            maybe.push_back(clash);
        }
        size_t slash = key.rfind('/');
        bool bytes = !key.empty() && key[0] == '\0';
        if (bytes || slash == std::string::npos || key.compare(0, slash, parent) == 0)
            continue;
        parent.assign(key, 0, slash);
        for (uint64_t folder : on)
            folders.Add(folder, i);
    }
    folders.Each([&](uint64_t hash, size_t below) {
        size_t file = files.Find(hash);
        if (file != HashIndex::kNone) {
            NameClash clash;
            clash.entry = file;
            clash.other = below;
            maybe.push_back(clash);
        }
    });
    // Equal hashes are checked on the paths themselves. Folder entries of one
    // folder (with a closing '/') are no clash.
    std::vector<NameClash> clashes;
    for (const NameClash &clash : maybe) {
        std::string path = PathOf(nameAt(clash.entry), emptyAt(clash.entry), encoding);
        std::string other = PathOf(nameAt(clash.other), emptyAt(clash.other), encoding);
        bool folder = !path.empty() && path.back() == '/';
        if (clash.duplicate ? path == other && !folder
                            : other.compare(0, path.size() + 1, path + "/") == 0)
            clashes.push_back(clash);
    }
    auto order = [](const NameClash &c) {
        return std::make_pair(std::max(c.entry, c.other), std::min(c.entry, c.other));
    };
    std::sort(clashes.begin(), clashes.end(),
              [&](const NameClash &a, const NameClash &b) { return order(a) < order(b); });
    return clashes;
}
