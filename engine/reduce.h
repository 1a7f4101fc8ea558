// SPDX-License-Identifier: MIT
//
// reduce.h - branch-free reductions for the rotor loops of both directions.
//
// g++ turns the plain `v >= N ? v - N : v` into branches, and on rotor data
// they mispredict half the time; a conditional move does not.
#pragma once

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

}  // namespace trirotor::internal
