// PersistentMap: the immutable hash array mapped trie (HAMT) behind the data and heavy zones
// of a State, generic over a small traits policy; StrMap is the module's instance (str keys,
// Python object values).
//
// How the trie works
// ------------------
// A key's 64-bit hash is consumed five bits at a time, from the low end: level 0 looks at
// bits 0-4, level 1 at bits 5-9, and so on down to level 12, which sees the last four bits.
// Each node is one 32-way branch, bitmap-compressed: `datamap` has a bit for every branch
// that ends in an entry stored right here (key and value), `nodemap` one for every branch
// that continues in a child node. The two bitmaps never share a bit. Entries and children
// sit in two packed arrays after the header, in bit order, so the slot of branch b is the
// number of set bits below b (one popcount). A node of a 100k-key map with 32 children is
// 16 + 32 * 8 bytes; nothing is stored per empty branch and no hash is stored per entry
// (the key hashes itself again when needed: CPython caches a str's hash in the object).
//
// Two keys whose 64-bit hashes are equal cannot be told apart by any level; once all bits
// are used up they share a collision node, a plain array of entries searched linearly.
// Hashes are seeded: every lineage draws its own seed, so the shape of one map tells
// nothing about another's, and a map and everything derived from it keep that seed.
//
// Who owns what
// -------------
// Nodes are reference counted: plain counts where every change happens under one lock (the
// GIL in the module), atomic ones in the free-threaded build, where threads holding different
// versions copy and drop the nodes those versions share at the same time. A map owns one reference to its root; a node owns one reference to each of
// its children and one reference to each key and value it stores (through the traits, so the
// module's instance holds strong Python references). Copying a map bumps the root's count
// and nothing else: the copy shares the whole trie. Destroying a map drops its root; a node
// whose count reaches zero drops its keys, values and children in turn.
//
// When in-place change is allowed
// -------------------------------
// Inserting walks from the root to the branch of the key. A node may be changed in place
// only when the map being changed is the only way to reach it: its own count is 1 *and* so
// is every node above it (a node with count 1 under a shared parent is reachable from every
// map sharing that parent). The walk copies top-down: a shared node is copied before its
// children are visited, and the copy takes a reference to each child, so when the walk
// arrives at a child its count already tells the whole story: 1 means only this map reaches
// it. The shared original is never written. So the first insert after a copy copies one
// path of at most 13 short nodes, and later inserts into the same map reuse the nodes it
// already owns (State.update with k keys copies each touched node once). A change that needs
// a different node size (a branch turning from empty into an entry, or from an entry into a
// child) builds the new node first; "in place" then means the contents are moved, not shared.
//
// Failure: an allocation failure (std::bad_alloc) leaves the map's entries as they were; at
// most some nodes on the path were unshared on the way down, which changes no content.
// A replaced value is handed back to the caller instead of being released here: releasing
// a Python object can run arbitrary code, which must not see a trie in mid-surgery.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include <Python.h>

#include "binding/release.hpp"
#include "binding/check.hpp"

namespace morva {

// Bit count of a node bitmap: several per level of every insert and release. The x86-64
// baseline a wheel targets has no popcount instruction, and without it the standard one is a
// library call; so the instruction is used when the processor has it (checked once, at load;
// every x86-64 processor of the last fifteen years does), and the inline bit trick otherwise.
#if defined(__x86_64__) && !defined(__POPCNT__) && (defined(__GNUC__) || defined(__clang__))
namespace map_detail {
bool cpu_has_popcnt() noexcept;
inline const bool kHasPopcnt = cpu_has_popcnt();
}  // namespace map_detail
#define MORVA_POPCNT_AT_RUNTIME 1
#endif

inline unsigned popcount32(uint32_t x) noexcept {
#if defined(__POPCNT__)
  return static_cast<unsigned>(std::popcount(x));
#else
#if defined(MORVA_POPCNT_AT_RUNTIME)
  if (map_detail::kHasPopcnt) [[likely]] {
    uint32_t count;
    asm("popcntl %1, %0" : "=r"(count) : "rm"(x) : "cc");
    return count;
  }
#endif
  x = x - ((x >> 1) & 0x55555555u);
  x = (x & 0x33333333u) + ((x >> 2) & 0x33333333u);
  x = (x + (x >> 4)) & 0x0f0f0f0fu;
  return (x * 0x01010101u) >> 24;
#endif
}

#if defined(__clang__)
#define MORVA_UNROLL_4 _Pragma("unroll 4")
#elif defined(__GNUC__)
#define MORVA_UNROLL_4 _Pragma("GCC unroll 4")
#else
#define MORVA_UNROLL_4
#endif

// Traits policy, for example:
//   struct Traits {
//     using Key = ...;    // trivially copyable handle (pointer or integer)
//     using Value = ...;  // trivially copyable handle
//     static uint64_t hash(Key key, uint64_t seed);   // equal keys hash equally
//     static bool equal(Key stored, Key probe);       // only asked for keys of equal hash
//     static void retain_key(Key); static void release_key(Key);
//     static void retain_value(Value); static void release_value(Value);
//     static void* allocate(std::size_t bytes);       // nullptr on failure
//     static void deallocate(void* p, std::size_t bytes) noexcept;  // the size allocated
//   };
// Keys that are the same handle (bitwise) are taken as equal without asking the traits.
template <typename Traits>
class PersistentMap {
 public:
  using Key = typename Traits::Key;
  using Value = typename Traits::Value;
  static_assert(std::is_trivially_copyable_v<Key> && std::is_trivially_copyable_v<Value>);

  explicit PersistentMap(uint64_t seed) noexcept : seed_(seed) {}
  PersistentMap(const PersistentMap& other) noexcept
      : root_(other.root_), size_(other.size_), seed_(other.seed_) {
    if (root_ != nullptr) root_->retain();
  }
  PersistentMap(PersistentMap&& other) noexcept
      : root_(std::exchange(other.root_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        seed_(other.seed_) {}
  PersistentMap& operator=(PersistentMap other) noexcept {
    std::swap(root_, other.root_);
    std::swap(size_, other.size_);
    std::swap(seed_, other.seed_);
    return *this;
  }
  // Not noexcept: releasing values may run finalizers (see release()).
  ~PersistentMap() noexcept(false) {
    if (root_ != nullptr) release(root_);
  }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  uint64_t seed() const noexcept { return seed_; }

  // The stored value of `key`, or nullptr. Valid while this map lives unchanged.
  const Value* find(Key key) const {
    if (root_ == nullptr) return nullptr;
    uint64_t h = Traits::hash(key, seed_);
    const Node* node = root_;
    for (unsigned shift = 0;; shift += kBits) {
      if (node->collision()) return find_in_collision(node, key);
      uint32_t bit = branch_bit(h, shift);
      if (node->datamap & bit) {
        const Entry& e = entries(node)[index_of(node->datamap, bit)];
        return same_key(e.key, key, h) ? &e.value : nullptr;
      }
      if (!(node->nodemap & bit)) return nullptr;
      node = children(node)[index_of(node->nodemap, bit)];
    }
  }

  // Inserts `key` -> `value`, or replaces the value of an equal key (the stored key stays).
  // The map takes its own references to both. The replaced value's reference, if any, is
  // handed to the caller, who releases it once running arbitrary code is safe again.
  [[nodiscard]] std::optional<Value> set(Key key, Value value) {
    uint64_t h = Traits::hash(key, seed_);
    Outcome out;
    if (root_ == nullptr) {
      root_ = make_single(key, value, h, 0);
      out.added = true;
    } else {
      assoc(root_, 0, h, key, value, out);
    }
    if (out.added) ++size_;
    MORVA_DEBUG_ONLY(check_path(h));
    return out.replaced;
  }

  // Calls f(key, value) for every entry, in trie order. (Debug builds also check that the walk
  // meets exactly size() entries: the walk is whole-map work already.)
  template <typename F>
  void for_each(F&& f) const {
    MORVA_DEBUG_ONLY(std::size_t seen = 0;)
    auto counted = [&](Key k, Value v) {
      MORVA_DEBUG_ONLY(++seen;)
      f(k, v);
    };
    if (root_ != nullptr) visit(root_, counted);
    MORVA_CHECK(seen == size_);
  }

  // The invariants below, over the whole trie, and that it holds exactly size() entries.
  // Debug builds only (a release build checks nothing); O(n).
  void check_invariants() const {
    MORVA_CHECK((root_ == nullptr) == (size_ == 0));
    MORVA_CHECK(root_ == nullptr || checked_count(root_, 0) == size_);
  }

  // True when both maps still share their root node (one is an unchanged copy of the other).
  bool shares_root_with(const PersistentMap& other) const noexcept { return root_ == other.root_; }

 private:
  static constexpr unsigned kBits = 5;
  static constexpr unsigned kHashBits = 64;

  struct Entry {
    Key key;
    Value value;
  };
  // Header; followed by Entry[entry_count] and then Node*[child_count]. The first word is
  // the number of references *beyond the first* times two, plus the collision flag: counting
  // is one add, and a release learns whether it held the last reference from one compare
  // against the word as it is (below 2: nobody else), without writing a node it is about to
  // free. A 63-bit count cannot overflow (every reference is a distinct node or map in memory).
  //
  // Free-threaded, the word is atomic. A count read as 1 is this holder's alone: nobody else can
  // reach the node to change it, so reading that answer needs no read-modify-write, and the
  // acquire load orders the holder's destroying after every other holder's last use. Otherwise
  // the decrement's old value decides: of several holders dropping at once, exactly one sees
  // that it took the last reference. Nodes are written only while a single map reaches them,
  // and are published to other threads through the Python object that holds their map.
  struct Node {
#ifdef Py_GIL_DISABLED
    std::atomic<uint64_t> word;
    uint64_t load() const noexcept { return word.load(std::memory_order_acquire); }
    void retain() noexcept { word.fetch_add(2, std::memory_order_relaxed); }
    bool release_is_last() noexcept {
      if (load() < 2) return true;
      return word.fetch_sub(2, std::memory_order_acq_rel) < 2;
    }
#else
    uint64_t word;
    uint64_t load() const noexcept { return word; }
    void retain() noexcept { word += 2; }
    bool release_is_last() noexcept {
      if (word < 2) return true;
      word -= 2;
      return false;
    }
#endif
    uint32_t datamap;  // a collision node's entry count
    uint32_t nodemap;
    bool collision() const noexcept { return load() & 1u; }
    uint64_t refs() const noexcept { return (load() >> 1) + 1; }
    bool only_owner() const noexcept { return load() < 2; }
  };
  static_assert(sizeof(Node) == 16 && sizeof(Node) % alignof(Entry) == 0);

  struct Outcome {
    bool added = false;
    std::optional<Value> replaced;
  };

  static uint32_t branch_bit(uint64_t h, unsigned shift) noexcept {
    return uint32_t{1} << ((h >> shift) & 31u);
  }
  static unsigned index_of(uint32_t map, uint32_t bit) noexcept {
    return popcount32(map & (bit - 1));
  }
  static unsigned entry_count(const Node* n) noexcept {
    return n->collision() ? n->datamap : popcount32(n->datamap);
  }
  static unsigned child_count(const Node* n) noexcept {
    return n->collision() ? 0 : popcount32(n->nodemap);
  }
  static Entry* entries(const Node* n) noexcept {
    return reinterpret_cast<Entry*>(const_cast<Node*>(n) + 1);
  }
  static Node** children(const Node* n) noexcept {
    return reinterpret_cast<Node**>(entries(n) + entry_count(n));
  }

  bool same_key(Key stored, Key probe, uint64_t probe_hash) const {
    if (std::memcmp(&stored, &probe, sizeof(Key)) == 0) return true;
    return Traits::hash(stored, seed_) == probe_hash && Traits::equal(stored, probe);
  }
  static const Value* find_in_collision(const Node* node, Key key) {
    Entry* e = entries(node);
    for (unsigned i = 0, c = entry_count(node); i < c; ++i) {
      if (std::memcmp(&e[i].key, &key, sizeof(Key)) == 0 || Traits::equal(e[i].key, key)) {
        return &e[i].value;
      }
    }
    return nullptr;
  }

  static std::size_t node_bytes(std::size_t n_entries, std::size_t n_children) noexcept {
    return sizeof(Node) + n_entries * sizeof(Entry) + n_children * sizeof(Node*);
  }
  // A node of the given shape with count 1 and uninitialised contents.
  static Node* allocate_node(bool collision, uint32_t datamap, uint32_t nodemap) {
    std::size_t n_entries = collision ? datamap : popcount32(datamap);
    std::size_t n_children = collision ? 0 : popcount32(nodemap);
    std::size_t bytes = node_bytes(n_entries, n_children);
    void* raw = Traits::allocate(bytes);
    if (raw == nullptr) throw std::bad_alloc();
    Node* n = new (raw) Node{collision ? 1u : 0u, datamap, nodemap};
    return n;
  }

  // Drops one reference; the last one releases the contents. (In the module this may run
  // arbitrary code, but only on parts that no map can reach any more; and since a finalizer
  // may unwind the thread at interpreter exit, this is not noexcept. Inside a deallocation the
  // values are only queued, so the recursion is the trie's own depth, at most 14 nodes.)
  static void release(Node* n) {
    if (n->release_is_last()) destroy(n);
  }
  // Releases the contents of a node whose last reference is gone, and frees it.
  static void destroy(Node* n) {
    Entry* e = entries(n);
    for (unsigned i = 0, c = entry_count(n); i < c; ++i) {
      Traits::release_key(e[i].key);
      Traits::release_value(e[i].value);
    }
    // Unrolled by hand (a loop that may recurse is not unrolled for us): the release of a
    // copied path drops a reference to every child of up to two full nodes (32 each), and
    // the loop's own compare and branch would otherwise be a third of that work.
    Node** kids = children(n);
    unsigned c = child_count(n);
    unsigned i = 0;
    for (; i + 4 <= c; i += 4) {
      release(kids[i]);
      release(kids[i + 1]);
      release(kids[i + 2]);
      release(kids[i + 3]);
    }
    for (; i < c; ++i) release(kids[i]);
    free_node(n);
  }
  static void free_node(Node* n) noexcept {
    std::size_t bytes = node_bytes(entry_count(n), child_count(n));
    n->~Node();
    Traits::deallocate(n, bytes);
  }

  // A copy of `n` with count 1 that shares (takes references to) all of its contents.
  static Node* copy_node(const Node* n) {
    Node* c = allocate_node(n->collision(), n->datamap, n->nodemap);
    unsigned ne = entry_count(n);
    unsigned nc = child_count(n);
    std::memcpy(static_cast<void*>(c + 1), static_cast<const void*>(n + 1),
                ne * sizeof(Entry) + nc * sizeof(Node*));
    Entry* e = entries(c);
    for (unsigned i = 0; i < ne; ++i) {
      Traits::retain_key(e[i].key);
      Traits::retain_value(e[i].value);
    }
    Node** kids = children(c);
    MORVA_UNROLL_4
    for (unsigned i = 0; i < nc; ++i) kids[i]->retain();
    return c;
  }

  // Makes the node in `slot` one that only this map reaches, copying it if it is shared.
  // Called top-down, so a node's count includes the reference of every parent copy made
  // on the way: a count of 1 here really means "reachable through this map only".
  static Node* own(Node*& slot) {
    Node* node = slot;
    if (node->only_owner()) return node;
    Node* copy = copy_node(node);
    // Was shared; its other holders keep it alive, unless (free-threaded) they all dropped it
    // meanwhile: then this was the last reference, and everything the node holds is held by
    // the copy too, so destroying it runs no Python code.
    release(node);
    slot = copy;
    return copy;
  }

  // Frees a node whose contents were moved elsewhere.
  static void discard_moved(Node* n) noexcept { free_node(n); }

  // A bitmap node holding one entry at the branch of `h` at `shift`.
  static Node* make_single(Key key, Value value, uint64_t h, unsigned shift) {
    Node* n = allocate_node(false, branch_bit(h, shift), 0);
    Traits::retain_key(key);
    Traits::retain_value(value);
    entries(n)[0] = Entry{key, value};
    return n;
  }

  static Node* merge(Key k1, Value v1, uint64_t h1, Key k2, Value v2, uint64_t h2,
                     unsigned shift);
  void assoc(Node*& slot, unsigned shift, uint64_t h, Key key, Value value, Outcome& out);
  static void assoc_collision(Node*& slot, Key key, Value value, Outcome& out);
  static void replace_entry_by_child(Node*& slot, uint32_t bit, Node* child);
  static void add_entry(Node*& slot, uint32_t bit, Key key, Value value);

  // One node's invariants: a bitmap node's two maps disjoint and not both empty; a collision
  // node only below the last level and holding two entries or more.
  static void check_node([[maybe_unused]] const Node* n, [[maybe_unused]] unsigned shift) {
    if (n->collision()) {
      MORVA_CHECK(shift >= kHashBits && n->datamap >= 2);
    } else {
      MORVA_CHECK((n->datamap & n->nodemap) == 0 && (n->datamap | n->nodemap) != 0);
      MORVA_CHECK(shift < kHashBits);
    }
  }
  static std::size_t checked_count(const Node* n, unsigned shift) {
    check_node(n, shift);
    std::size_t count = entry_count(n);
    Node** kids = children(n);
    for (unsigned i = 0, c = child_count(n); i < c; ++i) {
      count += checked_count(kids[i], shift + kBits);
    }
    return count;
  }
  // The nodes on the way to hash `h` (what an insert touched): O(depth), so it runs after
  // every insert of a debug build.
  void check_path(uint64_t h) const {
    const Node* node = root_;
    for (unsigned shift = 0; node != nullptr; shift += kBits) {
      check_node(node, shift);
      if (node->collision()) return;
      uint32_t bit = branch_bit(h, shift);
      node = (node->nodemap & bit) ? children(node)[index_of(node->nodemap, bit)] : nullptr;
    }
  }

  template <typename F>
  static void visit(const Node* n, F& f) {
    Entry* e = entries(n);
    for (unsigned i = 0, c = entry_count(n); i < c; ++i) f(e[i].key, e[i].value);
    Node** kids = children(n);
    for (unsigned i = 0, c = child_count(n); i < c; ++i) visit(kids[i], f);
  }

  Node* root_ = nullptr;
  std::size_t size_ = 0;
  uint64_t seed_;
};

// Two entries that agree on the hash bits below `shift`: a chain of single-child nodes down
// to the level where their branches differ, or a collision node once the hashes are used up.
// Takes new references to both keys and values; builds all or nothing.
template <typename Traits>
auto PersistentMap<Traits>::merge(Key k1, Value v1, uint64_t h1, Key k2, Value v2, uint64_t h2,
                                  unsigned shift) -> Node* {
  Node* n;
  Entry* slots;
  if (shift >= kHashBits) {
    n = allocate_node(true, 2, 0);
    slots = entries(n);
    slots[0] = Entry{k1, v1};
    slots[1] = Entry{k2, v2};
  } else if (uint32_t b1 = branch_bit(h1, shift), b2 = branch_bit(h2, shift); b1 != b2) {
    n = allocate_node(false, b1 | b2, 0);
    slots = entries(n);
    slots[b1 < b2 ? 0 : 1] = Entry{k1, v1};
    slots[b1 < b2 ? 1 : 0] = Entry{k2, v2};
  } else {
    Node* child = merge(k1, v1, h1, k2, v2, h2, shift + kBits);
    try {
      n = allocate_node(false, 0, b1);
    } catch (...) {
      release(child);
      throw;
    }
    children(n)[0] = child;
    return n;
  }
  Traits::retain_key(k1);
  Traits::retain_value(v1);
  Traits::retain_key(k2);
  Traits::retain_value(v2);
  return n;
}

template <typename Traits>
void PersistentMap<Traits>::assoc(Node*& slot, unsigned shift, uint64_t h, Key key, Value value,
                                  Outcome& out) {
  Node* node = own(slot);
  if (node->collision()) return assoc_collision(slot, key, value, out);
  uint32_t bit = branch_bit(h, shift);
  if (node->nodemap & bit) {
    return assoc(children(node)[index_of(node->nodemap, bit)], shift + kBits, h, key, value, out);
  }
  if (!(node->datamap & bit)) {
    add_entry(slot, bit, key, value);
    out.added = true;
    return;
  }
  Entry& e = entries(node)[index_of(node->datamap, bit)];
  if (same_key(e.key, key, h)) {
    Traits::retain_value(value);
    out.replaced = e.value;
    e.value = value;
    return;
  }
  Node* sub = merge(e.key, e.value, Traits::hash(e.key, seed_), key, value, h, shift + kBits);
  replace_entry_by_child(slot, bit, sub);
  out.added = true;
}

// Adds an entry at the empty branch `bit` of the owned node in `slot` (which grows).
template <typename Traits>
void PersistentMap<Traits>::add_entry(Node*& slot, uint32_t bit, Key key, Value value) {
  Node* node = slot;
  Node* grown = allocate_node(false, node->datamap | bit, node->nodemap);
  unsigned at = index_of(node->datamap, bit);
  unsigned ne = entry_count(node);
  Entry* from = entries(node);
  Entry* to = entries(grown);
  std::memcpy(static_cast<void*>(to), static_cast<const void*>(from), at * sizeof(Entry));
  to[at] = Entry{key, value};
  std::memcpy(static_cast<void*>(to + at + 1), static_cast<const void*>(from + at),
              (ne - at) * sizeof(Entry));
  std::memcpy(static_cast<void*>(children(grown)), static_cast<const void*>(children(node)),
              child_count(node) * sizeof(Node*));
  Traits::retain_key(key);
  Traits::retain_value(value);
  discard_moved(node);
  slot = grown;
}

// Turns the entry at branch `bit` of the owned node in `slot` into the child `child` (built
// by merge(), which holds its own references to that entry's key and value).
template <typename Traits>
void PersistentMap<Traits>::replace_entry_by_child(Node*& slot, uint32_t bit, Node* child) {
  Node* node = slot;
  Node* reshaped;
  try {
    reshaped = allocate_node(false, node->datamap & ~bit, node->nodemap | bit);
  } catch (...) {
    release(child);
    throw;
  }
  unsigned at = index_of(node->datamap, bit);
  unsigned ne = entry_count(node);
  Entry* from = entries(node);
  Entry* to = entries(reshaped);
  Entry moved_out = from[at];
  std::memcpy(static_cast<void*>(to), static_cast<const void*>(from), at * sizeof(Entry));
  std::memcpy(static_cast<void*>(to + at), static_cast<const void*>(from + at + 1),
              (ne - at - 1) * sizeof(Entry));
  unsigned cat = index_of(node->nodemap, bit);
  unsigned nc = child_count(node);
  Node** kfrom = children(node);
  Node** kto = children(reshaped);
  std::memcpy(static_cast<void*>(kto), static_cast<const void*>(kfrom), cat * sizeof(Node*));
  kto[cat] = child;
  std::memcpy(static_cast<void*>(kto + cat + 1), static_cast<const void*>(kfrom + cat),
              (nc - cat) * sizeof(Node*));
  discard_moved(node);
  slot = reshaped;
  // The child holds its own references; these were the old node's (never the last ones).
  Traits::release_key(moved_out.key);
  Traits::release_value(moved_out.value);
}

template <typename Traits>
void PersistentMap<Traits>::assoc_collision(Node*& slot, Key key, Value value, Outcome& out) {
  Node* node = slot;
  unsigned count = node->datamap;
  Entry* e = entries(node);
  for (unsigned i = 0; i < count; ++i) {
    if (std::memcmp(&e[i].key, &key, sizeof(Key)) == 0 || Traits::equal(e[i].key, key)) {
      Traits::retain_value(value);
      out.replaced = e[i].value;
      e[i].value = value;
      return;
    }
  }
  Node* grown = allocate_node(true, count + 1, 0);
  std::memcpy(static_cast<void*>(entries(grown)), static_cast<const void*>(e),
              count * sizeof(Entry));
  Traits::retain_key(key);
  Traits::retain_value(value);
  entries(grown)[count] = Entry{key, value};
  discard_moved(node);
  slot = grown;
  out.added = true;
}

namespace map_detail {
// Freed nodes kept for reuse, a few of each size. Every State.update copies one path and, once
// a version is dropped, frees one, so the nodes a path needs are nearly always waiting here;
// the interpreter's allocator costs several times as much per node. What is kept is bounded
// (kPoolDepth nodes of each of the bitmap node sizes, 8 bytes apart up to kPooledMax: some
// 70 kB at most) and never returned. Touched only with the GIL held. Free-threaded there is no
// pool: the interpreter's allocator keeps free lists per thread already, and a shared pool
// would need a lock on every node.
inline constexpr std::size_t kPooledMax = 16 + 32 * 16;  // a full bitmap node, all entries
#if defined(Py_GIL_DISABLED)
inline constexpr unsigned kPoolDepth = 0;
#elif defined(__SANITIZE_ADDRESS__)
inline constexpr unsigned kPoolDepth = 0;  // the sanitizer sees every node freed and reused
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr unsigned kPoolDepth = 0;
#else
inline constexpr unsigned kPoolDepth = 4;
#endif
#else
inline constexpr unsigned kPoolDepth = 4;
#endif
struct NodePool {
  void* head[kPooledMax / 8 + 1];
  unsigned char count[kPooledMax / 8 + 1];
};
extern NodePool g_node_pool;
}  // namespace map_detail

// The module's instance: exact str keys (str subclasses are converted before they get here),
// strong references to Python object values, nodes from the interpreter's allocator (through
// the pool above). Every operation runs with the GIL held, or free-threaded, with the thread
// attached to the interpreter.
struct PyStrTraits {
  using Key = PyObject*;
  using Value = PyObject*;
  static uint64_t hash(PyObject* key, uint64_t seed) noexcept;
  static bool equal(PyObject* stored, PyObject* probe) noexcept;
  static void retain_key(PyObject* key) noexcept { Py_INCREF(key); }
  static void release_key(PyObject* key) { release_owned(key); }
  static void retain_value(PyObject* value) noexcept { Py_INCREF(value); }
  static void release_value(PyObject* value) { release_owned(value); }
  static void* allocate(std::size_t bytes) noexcept {
    if (map_detail::kPoolDepth > 0 && bytes <= map_detail::kPooledMax) {
      map_detail::NodePool& pool = map_detail::g_node_pool;
      std::size_t size_class = bytes / 8;
      if (void* p = pool.head[size_class]) {
        pool.head[size_class] = *static_cast<void**>(p);
        --pool.count[size_class];
        return p;
      }
    }
    return PyMem_Malloc(bytes);
  }
  static void deallocate(void* p, std::size_t bytes) noexcept {
    // A thread the host is ending at exit holds no GIL: the node is left to the exiting process.
    if (!python_usable()) return;
    if (map_detail::kPoolDepth > 0 && bytes <= map_detail::kPooledMax) {
      map_detail::NodePool& pool = map_detail::g_node_pool;
      std::size_t size_class = bytes / 8;
      if (pool.count[size_class] < map_detail::kPoolDepth) {
        *static_cast<void**>(p) = pool.head[size_class];
        pool.head[size_class] = p;
        ++pool.count[size_class];
        return;
      }
    }
    PyMem_Free(p);
  }
};

using StrMap = PersistentMap<PyStrTraits>;

// A fresh random hash seed for a new lineage's map.
uint64_t new_map_seed();

extern template class PersistentMap<PyStrTraits>;

}  // namespace morva
