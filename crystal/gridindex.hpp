// The grid and its index tables: grid sizes N1..N6 (which bound the
// reflection indices too), strides, the maps between a grid index j, grid
// coordinates and reflection indices, and the lists of symmetry-independent
// reflections and grid points.
#pragma once

namespace trovan {

constexpr int kNts = 16777216;  // 2^24 grid points at most

void setng(const int* n);
void getng(int* n);
void gethmax(int* n);
void calmm();
void setitt();
// Product of the grid sizes over the dimension; may exceed kNts (the driver
// checks), saturates far above it instead of overflowing.
long long getnt();

void setsmopprm();
void setindfindx();
void setindxindx();

}  // namespace trovan
