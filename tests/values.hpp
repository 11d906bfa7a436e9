// Test helpers on the values of a job: the operators of a group by number
// and their actions.
#pragma once
#include <ostream>

#include "crystal/crystal.hpp"
#include "util/stop.hpp"

namespace trovan::testing {

// Binds the listing to a stream while it lives, then back to standard
// output (the listing stream is a process setting).
struct ListingTo {
  explicit ListingTo(std::ostream* os) { set_out_stream(os); }
  ~ListingTo() { set_out_stream(nullptr); }
  ListingTo(const ListingTo&) = delete;
  ListingTo& operator=(const ListingTo&) = delete;
};

// Rotation (6x6, column by column) and translation of operator i (1-based)
// of g.
inline void getsymrot(const Group& g, int i, int* rot) {
  for (int q = 0; q < kDim2; ++q) rot[q] = g.ops[i - 1].rot[q];
}
inline void getsymtrn(const Group& g, int i, double* trans) {
  for (int e = 0; e < kDim; ++e) trans[e] = g.ops[i - 1].t(e);
}
// hr = h.R_i, negated when k != 0; the phase shift h.tau_i over the
// group's dimension, negated when k != 0; xr = R_i x + tau_i, negated when
// k != 0.
inline void gethr(const Group& g, const int* h, int* hr, int i, int k) {
  applyh(g.ops[i - 1], h, hr, k != 0 ? -1 : 1);
}
inline double getyt(const Group& g, const int* h, int i, int k) {
  const double s = phase(g.ops[i - 1], h, g.idm);
  return k != 0 ? -s : s;
}
inline void getrx(const Group& g, const float* x, float* xr, int i, int k) {
  applyx(g.ops[i - 1], x, xr, k != 0 ? -1 : 1);
}

}  // namespace trovan::testing
