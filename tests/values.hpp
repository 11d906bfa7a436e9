// Test helpers on the values of a job: the operators of a group by number,
// and a job read from a keyword text.
#pragma once
#include <sstream>
#include <string>

#include "crystal/crystal.hpp"
#include "driver/trovan.hpp"
#include "util/stop.hpp"

namespace trovan::testing {

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

// The job of a keyword text, its listing in `listing` when given.
inline Job job_from(const std::string& keywords, std::string* listing = nullptr) {
  std::istringstream in(keywords);
  std::ostringstream out;
  set_out_stream(&out);
  struct Back {
    ~Back() { set_out_stream(nullptr); }
  } back;
  Job job = read_job(in);
  if (listing) *listing = out.str();
  return job;
}

}  // namespace trovan::testing
