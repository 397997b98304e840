// The persistent map with plain C++ keys and counted fake objects: random inserts across many
// retained versions checked against std::map, the in-place rule, collisions, allocation
// failure and reference balance.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <vector>

#include "structures/persistent_map.hpp"

namespace {

// A fake reference-counted object: the map must retain what it stores and release it exactly.
struct Obj {
  int64_t v;
  int64_t refs = 1;  // the test's own reference
};

struct Counters {
  int64_t live_nodes = 0;
  int64_t allocations = 0;
  int64_t fail_at = -1;  // allocation number that fails (-1: never)
  int64_t collide_mod = 0;  // when > 0, hash = v % collide_mod: many full-hash collisions
  std::map<void*, std::size_t> sizes;  // of every live node
};
Counters g;

struct FakeTraits {
  using Key = Obj*;
  using Value = Obj*;
  static uint64_t hash(Obj* k, uint64_t seed) {
    if (g.collide_mod > 0) return static_cast<uint64_t>(k->v % g.collide_mod);
    uint64_t x = static_cast<uint64_t>(k->v) ^ seed;
    x ^= x >> 31;
    x *= 0x9e3779b97f4a7c15ULL;
    return x ^ (x >> 29);
  }
  static bool equal(Obj* a, Obj* b) { return a->v == b->v; }
  static void retain_key(Obj* o) { ++o->refs; }
  static void release_key(Obj* o) { ASSERT_GT(--o->refs, 0); }
  static void retain_value(Obj* o) { ++o->refs; }
  static void release_value(Obj* o) { ASSERT_GT(--o->refs, 0); }
  static void* allocate(std::size_t bytes) {
    if (g.allocations++ == g.fail_at) return nullptr;
    ++g.live_nodes;
    void* p = ::operator new(bytes);
    g.sizes[p] = bytes;
    return p;
  }
  // The map hands back the size it allocated (an allocator that pools by size relies on it).
  static void deallocate(void* p, std::size_t bytes) noexcept {
    --g.live_nodes;
    EXPECT_EQ(g.sizes[p], bytes);
    g.sizes.erase(p);
    ::operator delete(p);
  }
};
using Map = morva::PersistentMap<FakeTraits>;

// Owns the fake objects: one key object and one value object per (key, value) pair asked for.
struct Pool {
  std::vector<std::unique_ptr<Obj>> objs;
  Obj* make(int64_t v) {
    objs.push_back(std::make_unique<Obj>(Obj{v}));
    return objs.back().get();
  }
  void expect_balanced() const {
    for (const auto& o : objs) EXPECT_EQ(o->refs, 1) << "object " << o->v;
  }
};

void set(Map& m, Obj* k, Obj* v) {
  std::optional<Obj*> old = m.set(k, v);
  if (old) FakeTraits::release_value(*old);
}

std::map<int64_t, int64_t> contents(const Map& m) {
  std::map<int64_t, int64_t> out;
  m.for_each([&](Obj* k, Obj* v) { EXPECT_TRUE(out.emplace(k->v, v->v).second) << k->v; });
  return out;
}

void expect_same(const Map& m, const std::map<int64_t, int64_t>& ref, Pool& pool) {
  ASSERT_EQ(m.size(), ref.size());
  ASSERT_EQ(contents(m), ref);
  for (const auto& [k, v] : ref) {
    Obj* probe = pool.make(k);  // an equal key that is a different object
    Obj* const* found = m.find(probe);
    ASSERT_NE(found, nullptr) << k;
    EXPECT_EQ((*found)->v, v);
  }
  Obj* absent = pool.make(-12345);
  EXPECT_EQ(m.find(absent), nullptr);
}

class PersistentMapTest : public ::testing::Test {
 protected:
  void SetUp() override { g = Counters{}; }
  void TearDown() override { EXPECT_EQ(g.live_nodes, 0) << "nodes leaked"; }
};

void random_versions(uint64_t rng_seed, int steps, int key_range) {
  Pool pool;
  {
    std::mt19937_64 rng(rng_seed);
    std::vector<Map> versions{Map(rng())};
    std::vector<std::map<int64_t, int64_t>> refs{{}};
    for (int step = 0; step < steps; ++step) {
      // Derive from a random retained version (mostly the newest, like a state lineage).
      std::size_t from = rng() % 4 == 0 ? rng() % versions.size() : versions.size() - 1;
      Map next = versions[from];
      auto ref = refs[from];
      int inserts = 1 + static_cast<int>(rng() % 6);
      for (int i = 0; i < inserts; ++i) {
        int64_t k = static_cast<int64_t>(rng() % key_range);
        int64_t v = static_cast<int64_t>(rng());
        set(next, pool.make(k), pool.make(v));
        ref[k] = v;
      }
      versions.push_back(std::move(next));
      refs.push_back(std::move(ref));
      if (step % 500 == 0) expect_same(versions[from], refs[from], pool);
    }
    for (std::size_t i = 0; i < versions.size(); ++i) {
      versions[i].check_invariants();
      expect_same(versions[i], refs[i], pool);
    }
  }
  pool.expect_balanced();
}

TEST_F(PersistentMapTest, RandomInsertsAcrossRetainedVersionsMatchStdMap) {
  random_versions(1, 3000, 5000);
  random_versions(2, 3000, 50);  // mostly replacements
}

TEST_F(PersistentMapTest, RandomInsertsWithFullHashCollisions) {
  g.collide_mod = 7;  // every key collides with a seventh of the others
  random_versions(3, 1500, 400);
}

TEST_F(PersistentMapTest, CopiesShareAndOnlyOwnedNodesChangeInPlace) {
  Pool pool;
  {
    Map a(7);
    for (int i = 0; i < 2000; ++i) set(a, pool.make(i), pool.make(i));
    int64_t nodes = g.live_nodes;
    Map b = a;  // constant time: nothing is allocated
    EXPECT_EQ(g.live_nodes, nodes);
    EXPECT_TRUE(b.shares_root_with(a));
    set(b, pool.make(5), pool.make(50));  // copies one short path, not the map
    EXPECT_FALSE(b.shares_root_with(a));
    EXPECT_LE(g.live_nodes - nodes, 4);
    int64_t allocs = g.allocations;
    set(b, pool.make(5), pool.make(51));  // that path is b's alone now: changed in place
    EXPECT_EQ(g.allocations, allocs);
    // Below b's own root every other child is still shared with a: changing a key there
    // must copy again although the node's parent is owned.
    for (int i = 0; i < 2000; ++i) set(b, pool.make(i), pool.make(i + 10000));
    Map c = b;  // nodes with count 1 under a shared root are reachable from both maps
    set(b, pool.make(9), pool.make(-9));
    for (int i = 0; i < 2000; ++i) {
      EXPECT_EQ((*a.find(pool.make(i)))->v, i);
      EXPECT_EQ((*c.find(pool.make(i)))->v, i + 10000);
    }
    EXPECT_EQ((*b.find(pool.make(9)))->v, -9);
    // Another seed lays the same keys out differently; derived maps keep their seed.
    Map other(8);
    for (int i = 0; i < 500; ++i) set(other, pool.make(i), pool.make(i));
    std::vector<int64_t> order_a, order_other;
    a.for_each([&](Obj* k, Obj*) { order_a.push_back(k->v); });
    other.for_each([&](Obj* k, Obj*) { order_other.push_back(k->v); });
    order_a.resize(500);
    EXPECT_NE(order_a, order_other);
    EXPECT_EQ(c.seed(), a.seed());
  }
  pool.expect_balanced();
}

TEST_F(PersistentMapTest, ReplacedValueIsHandedToTheCaller) {
  Pool pool;
  Obj* k = pool.make(1);
  Obj* v1 = pool.make(10);
  Obj* v2 = pool.make(20);
  {
    Map m(1);
    EXPECT_FALSE(m.set(k, v1).has_value());
    EXPECT_EQ(v1->refs, 2);
    std::optional<Obj*> old = m.set(pool.make(1), v2);
    ASSERT_TRUE(old.has_value());
    EXPECT_EQ(*old, v1);
    EXPECT_EQ(v1->refs, 2);  // the caller now owns the map's former reference
    FakeTraits::release_value(*old);
    EXPECT_EQ(m.size(), 1u);
    // The stored key stays the first key object.
    m.for_each([&](Obj* key, Obj*) { EXPECT_EQ(key, k); });
  }
  pool.expect_balanced();
}

TEST_F(PersistentMapTest, AllocationFailureLeavesTheMapAsItWas) {
  Pool pool;
  for (int64_t fail = 0; fail < 40; ++fail) {
    g = Counters{};
    {
      Map base(99);
      std::map<int64_t, int64_t> ref;
      for (int i = 0; i < 300; ++i) {
        set(base, pool.make(i), pool.make(i));
        ref[i] = i;
      }
      Map m = base;
      g.fail_at = g.allocations + fail;
      try {
        for (int i = 0; i < 40; ++i) {
          set(m, pool.make(1000 + i * 37), pool.make(i));
          ref[1000 + i * 37] = i;
        }
      } catch (const std::bad_alloc&) {
        g.fail_at = -1;
        // The failed insert must have left no trace; the earlier ones stay.
        for (auto it = ref.begin(); it != ref.end();) {
          if (m.find(pool.make(it->first)) == nullptr) {
            it = ref.erase(it);
          } else {
            ++it;
          }
        }
        EXPECT_EQ(m.size(), ref.size());
      }
      g.fail_at = -1;
      expect_same(m, ref, pool);
      EXPECT_EQ(base.size(), 300u);
    }
    EXPECT_EQ(g.live_nodes, 0);
  }
  pool.expect_balanced();
}

}  // namespace
