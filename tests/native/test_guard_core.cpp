// Zones, access paths and the contract check of the guard: the permit rules against a naive
// model over many generated names, and checks that allocate nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "guards/contract.hpp"
#include "guards/zones.hpp"

using morva::Contract;
using morva::PathText;
using morva::Zone;

// Counts heap allocations made on this thread while `g_counting` is set.
namespace {
thread_local bool g_counting = false;
thread_local std::size_t g_allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
  if (g_counting) ++g_allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

std::shared_ptr<const Contract> contract(std::vector<std::string> inputs,
                                         std::vector<std::string> outputs) {
  Contract::Builder b;
  for (auto& n : inputs) b.add_input(n);
  for (auto& n : outputs) b.add_output(n);
  return std::move(b).build();
}

// The rules written the plain way, with string concatenation.
bool naive_permits(const std::string& d, const std::string& p) {
  auto starts = [](const std::string& s, const std::string& pre) {
    return s.size() >= pre.size() && s.compare(0, pre.size(), pre) == 0;
  };
  return p == d || starts(d, p + ".") || starts(p, d + ".") || starts(p, d + "[");
}

TEST(Zones, PrefixDecidesTheZone) {
  EXPECT_EQ(morva::zone_of("sig_x"), Zone::Signal);
  EXPECT_EQ(morva::zone_of("cmd_stop"), Zone::Signal);
  EXPECT_EQ(morva::zone_of("sig_"), Zone::Signal);
  EXPECT_EQ(morva::zone_of("meta_"), Zone::Meta);
  EXPECT_EQ(morva::zone_of("heavy_blob"), Zone::Heavy);
  EXPECT_EQ(morva::zone_of("sig"), Zone::Data);
  EXPECT_EQ(morva::zone_of("Sig_x"), Zone::Data);
  EXPECT_EQ(morva::zone_of("heavy"), Zone::Data);
  EXPECT_EQ(morva::zone_of(""), Zone::Data);
  EXPECT_STREQ(morva::zone_name(Zone::Signal), "Signal");
  EXPECT_STREQ(morva::zone_name(Zone::Meta), "Meta");
  EXPECT_STREQ(morva::zone_name(Zone::Heavy), "Heavy");
  EXPECT_STREQ(morva::zone_name(Zone::Data), "Data");
  EXPECT_TRUE(morva::is_control_zone(Zone::Meta));
  EXPECT_FALSE(morva::is_control_zone(Zone::Heavy));
}

TEST(Paths, NamesJoinWithDotsIndicesWithBracketsLongPathsSpill) {
  PathText a;
  morva::build_name_path(a, "", "user");
  EXPECT_EQ(a.view(), "user");
  PathText b;
  morva::build_name_path(b, "user", "name");
  EXPECT_EQ(b.view(), "user.name");
  PathText c;
  morva::build_index_path(c, "", 3);
  EXPECT_EQ(c.view(), "[3]");
  PathText d;
  morva::build_index_path(d, "items", INT64_MIN);
  EXPECT_EQ(d.view(), "items[-9223372036854775808]");
  std::string prefix(300, 'p');
  PathText e;
  morva::build_name_path(e, prefix, "tail");
  EXPECT_EQ(e.view(), prefix + ".tail");
}

TEST(Contract, TheFourPermitRules) {
  auto c = contract({"user.name", "items[0]"}, {"items", "out"});
  EXPECT_TRUE(c->permits("user", false));        // ancestor of a declared input
  EXPECT_TRUE(c->permits("user.name", false));   // the declared name itself
  EXPECT_TRUE(c->permits("user.name.first", false));
  EXPECT_FALSE(c->permits("user.age", false));
  EXPECT_FALSE(c->permits("use", false));
  EXPECT_FALSE(c->permits("user.nameX", false));
  EXPECT_TRUE(c->permits("items[2]", true));     // element of a declared output
  EXPECT_TRUE(c->permits("items.x", true));
  EXPECT_FALSE(c->permits("itemsX", true));
  EXPECT_FALSE(c->permits("user.name", true));   // inputs never permit writes
  EXPECT_TRUE(c->permits("out", false));         // outputs are readable
  // A declared element does not make its container readable.
  auto e = contract({"items[0]"}, {});
  EXPECT_FALSE(e->permits("items", false));
  EXPECT_TRUE(e->permits("items[0].x", false));
  EXPECT_FALSE(e->permits("items[01]", false));
}

TEST(Contract, EmptyPathsAndEmptyNames) {
  auto c = contract({""}, {});
  EXPECT_TRUE(c->permits("", false));
  EXPECT_TRUE(c->permits(".x", false));
  EXPECT_TRUE(c->permits("[1]", false));
  EXPECT_FALSE(c->permits("x", false));
  auto d = contract({".x"}, {});
  EXPECT_TRUE(d->permits("", false));
  EXPECT_FALSE(contract({}, {})->permits("", false));
}

// Random contracts, small (scanned) and large (indexed), against the naive rules: reads may
// use inputs and outputs, writes only outputs.
TEST(Contract, AgreesWithTheNaiveRulesOnGeneratedContracts) {
  std::mt19937 rng(1234);
  const char alphabet[] = {'a', 'b', '.', '[', ']', '0'};
  auto random_name = [&] {
    std::string s;
    std::size_t n = rng() % 7;
    for (std::size_t i = 0; i < n; ++i) s.push_back(alphabet[rng() % sizeof alphabet]);
    return s;
  };
  for (int round = 0; round < 600; ++round) {
    std::vector<std::string> ins, outs;
    std::size_t limit = round % 2 ? 4 : 2 * Contract::kIndexFrom;
    for (std::size_t i = rng() % limit; i > 0; --i) ins.push_back(random_name());
    for (std::size_t i = rng() % limit; i > 0; --i) outs.push_back(random_name());
    auto c = contract(ins, outs);
    for (int probe = 0; probe < 60; ++probe) {
      std::string path = random_name();
      bool read = false, write = false;
      for (auto& d : ins) read = read || naive_permits(d, path);
      for (auto& d : outs) write = write || naive_permits(d, path);
      ASSERT_EQ(c->permits(path, false), read || write) << path;
      ASSERT_EQ(c->permits(path, true), write) << path;
    }
  }
}

TEST(Contract, CheckingAllocatesNothingWhateverTheContractSize) {
  Contract::Builder b;
  for (int i = 0; i < 50; ++i) b.add_input("section_" + std::to_string(i) + ".field");
  for (int i = 0; i < 50; ++i) b.add_output("result_" + std::to_string(i));
  auto c = std::move(b).build();
  g_allocations = 0;
  g_counting = true;
  bool a = c->permits("section_49.field.x", false);
  bool w = c->permits("undeclared_path_that_matches_nothing_at_all", true);
  PathText path;
  morva::build_name_path(path, "result_7", "value");
  bool n = c->permits(path.view(), true);
  g_counting = false;
  EXPECT_EQ(g_allocations, 0u);
  // The counter does see allocations: a long path spills to the heap.
  const std::string long_prefix(200, 'x');
  g_counting = true;
  PathText spilled;
  morva::build_name_path(spilled, long_prefix, "y");
  g_counting = false;
  EXPECT_GE(g_allocations, 1u);
  EXPECT_TRUE(a);
  EXPECT_FALSE(w);
  EXPECT_TRUE(n);
}

TEST(Contract, KeepsDeclarationOrderAndFindsTheFirstControlInput) {
  auto c = contract({"data", "heavy_blob", "meta_x", "sig_y"}, {"cmd_out"});
  ASSERT_EQ(c->input_count(), 4u);
  EXPECT_EQ(c->input(1), "heavy_blob");
  EXPECT_EQ(c->output(0), "cmd_out");
  EXPECT_EQ(c->first_control_zone_input(), 2u);
  EXPECT_EQ(contract({"a", "heavy_b"}, {"sig_c"})->first_control_zone_input(), Contract::npos);
}

}  // namespace
