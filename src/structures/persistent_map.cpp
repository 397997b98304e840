// The module's instance of the persistent map: seeded hashing of str keys and the seed source.
#include "structures/persistent_map.hpp"

#include <chrono>
#include <sys/random.h>

#if defined(MORVA_POPCNT_AT_RUNTIME)
#include <cpuid.h>
#endif

namespace morva {

#if defined(MORVA_POPCNT_AT_RUNTIME)
bool map_detail::cpu_has_popcnt() noexcept {
  unsigned eax, ebx, ecx, edx;
  return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_POPCNT) != 0;
}
#endif

map_detail::NodePool map_detail::g_node_pool{};

namespace {
// The finaliser of MurmurHash3: every input bit affects every output bit, so a seed change
// reshuffles the whole trie.
uint64_t fmix64(uint64_t x) noexcept {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}
}  // namespace

// CPython caches a str's hash in the object, so this is a load after the first call. Hashing
// an exact str cannot fail.
uint64_t PyStrTraits::hash(PyObject* key, uint64_t seed) noexcept {
  return fmix64(static_cast<uint64_t>(PyObject_Hash(key)) ^ seed);
}

bool PyStrTraits::equal(PyObject* stored, PyObject* probe) noexcept {
  return PyUnicode_Compare(stored, probe) == 0;
}

uint64_t new_map_seed() {
  // One generator per thread, seeded once from the system's entropy source; every lineage
  // then draws its own seed without a system call.
  thread_local uint64_t state = [] {
    uint64_t seed = static_cast<uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    // getrandom rather than std::random_device: with the C++ runtime linked into a wheel, the
    // latter would tie the module to the newest glibc (arc4random). With no entropy source
    // the clock alone still varies the layout between runs.
    uint64_t entropy = 0;
    if (getrandom(&entropy, sizeof entropy, GRND_NONBLOCK) == sizeof entropy) seed ^= entropy;
    return seed;
  }();
  state += 0x9e3779b97f4a7c15ULL;  // splitmix64
  return fmix64(state);
}

template class PersistentMap<PyStrTraits>;

}  // namespace morva
