// The complex work grid of a job: the real parts of the nt points of the
// job's grid followed by their imaginary parts. Entry j of both halves is
// the coefficient (or the density) at grid index j. The job owns it; the
// expansion, the syntheses, the peak search and the map writers are handed
// it.
#pragma once

#include "util/table.hpp"

namespace trovan {

struct WorkGrid {
  Table<float> ri;  // 2 nt entries: the real half, then the imaginary half
};

// Makes the work grid hold nt points, all zero.
void sizeworkgrid(WorkGrid& w, long long nt);
// nt of the work grid, 0 before it is sized.
inline long long getworkgridsize(const WorkGrid& w) { return static_cast<long long>(w.ri.size() / 2); }
inline float* getabcdr(WorkGrid& w) { return w.ri.data(); }  // real half, nt entries
inline float* getabcdi(WorkGrid& w) { return w.ri.data() + w.ri.size() / 2; }  // imaginary half
inline const float* getabcdr(const WorkGrid& w) { return w.ri.data(); }
inline const float* getabcdi(const WorkGrid& w) { return w.ri.data() + w.ri.size() / 2; }

}  // namespace trovan
