// SPDX-License-Identifier: MIT
//
// reduce.h - branch-free reductions for the rotor loops of both directions.
//
// g++ turns the plain `v >= N ? v - N : v` into branches, and on rotor data
// they mispredict half the time; a conditional move does not.
#pragma once

#include <cstddef>
#include <cstdint>

namespace trirotor::internal {

// v - N when v >= N, else v; for 0 <= v < 2N.
template <int N>
inline int SubtractOnce(int v) {
#if defined(__x86_64__) && defined(__GNUC__)
  int r = v;
  asm("sub %[n], %[r]\n\tcmovb %[v], %[r]" : [r] "+&r"(r) : [v] "r"(v), [n] "i"(N) : "cc");
  return r;
#else
  const int r = v - N;
  return r + (N & (r >> 31));
#endif
}

// v mod N for 0 <= v < 4N.
template <int N>
inline int Reduce(int v) {
  return SubtractOnce<N>(SubtractOnce<2 * N>(v));
}

// The remainders mod N of every sum a rotor step takes (entry + input byte,
// entry + entry, and the key schedule's entry + drive byte: all below
// 2N + 256), and N minus each. Looked up off the mix cursor's chain, they
// leave the chain itself one subtract and one conditional move (AddMod).
template <int N>
struct ModTable {
  static constexpr int kSize = 2 * N + 256;
  // Remainders and entries are held in 16 bits.
  static_assert(N > 0 && kSize <= 65536, "a rotor's entries and sums must fit 16 bits");
  // The largest sums a step looks up: an entry and a byte, two entries.
  static_assert((N - 1) + 255 < kSize && (N - 1) + (N - 1) < kSize, "every sum a step takes is in the table");
  std::uint16_t rem[kSize];   // v mod N
  std::uint16_t comp[kSize];  // N - (v mod N), 1..N
};

template <int N>
inline constexpr ModTable<N> kModTable = [] {
  ModTable<N> table{};
  for (int v = 0; v < ModTable<N>::kSize; ++v) {
    table.rem[v] = static_cast<std::uint16_t>(v % N);
    table.comp[v] = static_cast<std::uint16_t>(N - v % N);
  }
  return table;
}();

// (c + y) mod N for c < N, given y < N and z = N - y. Both candidates come
// straight from c, so the chain through c is one subtract and a move.
inline std::size_t AddMod(std::size_t c, std::size_t y, std::size_t z) {
  const std::size_t sum = c + y;
#if defined(__x86_64__) && defined(__GNUC__)
  std::size_t r = c;
  asm("sub %[z], %[r]\n\tcmovb %[sum], %[r]" : [r] "+&r"(r) : [z] "r"(z), [sum] "r"(sum) : "cc");
  return r;
#else
  return c >= z ? c - z : sum;
#endif
}

// One swap step of a rotor copied into r[0..N + 2), the two spare entries
// there so that the loads ahead of the last steps before the wrap stay
// inside it: the entry a at position p (already loaded, in ahead1) is added
// to the input byte, the mix cursor moves by that sum mod N, and the entries
// at p and at the mix cursor swap.
//
// The entries under the next two step positions (ahead1, ahead2) are loaded
// before the swap's stores, and patched in the rare case (2 in N) that the
// swap hit one of them. The patch must stay a branch: folded into a
// conditional move it would put the load on the mix cursor's chain, which
// is all that counts. The empty asm volatile keeps g++ from turning the arm
// into that move, and one unsigned test covers both positions (two tests
// cost three more instructions a step). The chain through mix is then
// AddMod alone.
struct SwappedPair {
  std::size_t a;  // the entry that was at p
  std::size_t b;  // the entry that was at the mix position
};

// r: the rotor's copy, best passed as the array itself (a reference to a
// local std::uint16_t[N + 2]); given a pointer, g++ 12 computes the address
// of r[mix] in a register of its own for the load and the store, one more
// instruction in each step: 3.6% more instructions in the decryption and,
// by llvm-mca, 7% more cycles.
// mix: the mix position, below N; ahead1 and ahead2: r[p] and r[p + 1] as
// they stand. All three are updated for the step at p + 1.
template <int N, typename Rotor>
[[gnu::always_inline]] inline SwappedPair StepRotor(Rotor&& r, std::size_t p, std::size_t input, std::size_t& mix,
                                                    std::size_t& ahead1, std::size_t& ahead2, const ModTable<N>& mod) {
  const std::size_t a = ahead1;
  const std::size_t v = a + input;
  const std::size_t m = AddMod(mix, mod.rem[v], mod.comp[v]);
  const std::size_t b = r[m];
  std::size_t next1 = ahead2;
  std::size_t next2 = r[p + 2];  // loaded before the swap's stores
  r[p] = static_cast<std::uint16_t>(b);
  r[m] = static_cast<std::uint16_t>(a);
  if (m - (p + 1) < 2) [[unlikely]] {  // m is p + 1 or p + 2
    if (m == p + 1) {
      next1 = a;
    } else {
      next2 = a;
    }
#if defined(__GNUC__)
    asm volatile("");
#endif
  }
  ahead1 = next1;
  ahead2 = next2;
  mix = m;
  return {a, b};
}

}  // namespace trirotor::internal
