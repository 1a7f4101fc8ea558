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

}  // namespace trirotor::internal
