// The storage of a mount's tree, kept small for millions of entries: the
// nodes in one array, their names in the listing's directory text where
// they stand there as they are, else in one arena, each folder's children as
// a list through its nodes, and one open-addressing hash table that finds a
// child by its folder and name.
#include "mount/mounted.h"

#include <algorithm>
#include <string.h>

// A name of a node is at most a stored name decoded: well under this.
static constexpr size_t kLongestName = 0xFFFF;

// A name's start with this bit is in the listing's directory text, not in the arena.
static constexpr uint64_t kInDirectory = 1ull << 63;

static const char *NameAt(const Node &n) {
    if (n.name & kInDirectory)
        return mounted.listing.directory.get() + (n.name & ~kInDirectory);
    return mounted.names.data() + n.name;
}

static uint64_t KeyHash(size_t parent, const char *name, size_t length) {
    uint64_t hash = 14695981039346656037ull ^ (uint64_t)parent; // FNV-1a, seeded by the folder
    for (size_t i = 0; i < length; i++)
        hash = (hash ^ (unsigned char)name[i]) * 1099511628211ull;
    return hash ^ (hash >> 29);
}

static bool Named(const Node &n, size_t parent, const char *name, size_t length) {
    return n.parent == parent && n.nameLength == length && memcmp(NameAt(n), name, length) == 0;
}

// The slot that holds `node` if it is in the table, else the first free one
// for its key.
static size_t SlotOf(size_t parent, const char *name, size_t length, uint32_t node) {
    size_t mask = mounted.slots.size() - 1;
    size_t slot = (size_t)KeyHash(parent, name, length) & mask;
    while (mounted.slots[slot] != kNoNode) {
        uint32_t held = mounted.slots[slot];
        if (held == node || (node == kNoNode && held != kDeadSlot &&
                             Named(mounted.nodes[held], parent, name, length)))
            return slot;
        slot = (slot + 1) & mask;
    }
    return slot;
}

// Doubles the table (or only drops its dead slots) once more than half of
// it is used, so that a probe stays short.
static void Grow(size_t more) {
    size_t live = 0;
    for (uint32_t slot : mounted.slots)
        live += slot != kNoNode && slot != kDeadSlot;
    size_t size = 64;
    while (size < 2 * (live + more))
        size *= 2;
    std::vector<uint32_t> old;
    old.swap(mounted.slots);
    mounted.slots.assign(size, kNoNode);
    for (uint32_t node : old) {
        if (node == kNoNode || node == kDeadSlot)
            continue;
        const Node &n = mounted.nodes[node];
        mounted.slots[SlotOf(n.parent, NameAt(n), n.nameLength, kNoNode)] = node;
    }
    mounted.usedSlots = live;
}

size_t Child(size_t node, const std::string &name) {
    if (mounted.slots.empty())
        return kNone;
    uint32_t found = mounted.slots[SlotOf(node, name.data(), name.size(), kNoNode)];
    return found == kNoNode ? kNone : found;
}

void Attach(size_t node, size_t parent, const std::string &name, const char *stored) {
    Node &n = mounted.nodes[node];
    n.nameLength = (uint16_t)std::min(name.size(), kLongestName);
    const char *directory = mounted.listing.directory.get();
    if (stored != nullptr && directory != nullptr) {
        n.name = kInDirectory | (uint64_t)(stored - directory);
    } else {
        // A name already in the arena (a rename back) is stored again: renames are few.
        n.name = mounted.names.size();
        mounted.names.insert(mounted.names.end(), name.data(), name.data() + n.nameLength);
    }
    n.parent = (uint32_t)parent;
    Node &folder = mounted.nodes[parent];
    n.previous = kNoNode;
    n.next = folder.firstChild;
    if (n.next != kNoNode)
        mounted.nodes[n.next].previous = (uint32_t)node;
    folder.firstChild = (uint32_t)node;
    if (2 * (mounted.usedSlots + 1) > mounted.slots.size())
        Grow(1);
    size_t slot = SlotOf(parent, NameAt(n), n.nameLength, kNoNode);
    mounted.usedSlots += mounted.slots[slot] == kNoNode;
    mounted.slots[slot] = (uint32_t)node;
}

void Detach(size_t node) {
    Node &n = mounted.nodes[node];
    size_t slot = SlotOf(n.parent, NameAt(n), n.nameLength, (uint32_t)node);
    if (mounted.slots[slot] == node)
        mounted.slots[slot] = kDeadSlot; // a later probe passes over it
    if (n.previous != kNoNode)
        mounted.nodes[n.previous].next = n.next;
    else
        mounted.nodes[n.parent].firstChild = n.next;
    if (n.next != kNoNode)
        mounted.nodes[n.next].previous = n.previous;
    n.next = n.previous = kNoNode;
}

size_t AddNode(size_t parent, const std::string &name, bool folder, const char *stored) {
    mounted.nodes.emplace_back();
    size_t node = mounted.nodes.size() - 1;
    mounted.nodes[node].folder = folder;
    Attach(node, parent, name, stored);
    return node;
}

std::string NameOf(size_t node) {
    const Node &n = mounted.nodes[node];
    return std::string(NameAt(n), n.nameLength);
}

bool HasChildren(size_t node) { return mounted.nodes[node].firstChild != kNoNode; }

std::vector<size_t> ChildrenOf(size_t node) {
    std::vector<size_t> children;
    for (uint32_t child = mounted.nodes[node].firstChild; child != kNoNode;
         child = mounted.nodes[child].next)
        children.push_back(child);
    std::sort(children.begin(), children.end(), [](size_t a, size_t b) {
        const Node &x = mounted.nodes[a], &y = mounted.nodes[b];
        int order = memcmp(NameAt(x), NameAt(y), std::min(x.nameLength, y.nameLength));
        return order != 0 ? order < 0 : x.nameLength < y.nameLength;
    });
    return children;
}

void ClearTree(size_t nodes) {
    mounted.nodes.assign(1, Node());
    mounted.nodes.reserve(nodes + nodes / 4); // and the folders; pages never used cost nothing
    mounted.names.clear();
    mounted.slots.clear();
    mounted.usedSlots = 0;
    Grow(nodes);
}
