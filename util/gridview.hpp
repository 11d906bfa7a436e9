// A view of a real map on a periodic superspace grid, handed to the code
// that reads a map (the peak search, the extrema) in place of the work grid
// and the run's sizes behind it.
//
// The values stand in linear grid order, the first axis fastest: grid
// coordinates i (0 <= i_d < n[d]) are at index i_1 + n[0] (i_2 + n[1] (i_3
// + ...)). The map is periodic: a neighbour across a cell face is the point
// on the opposite face. Sizes beyond the dimension idm are not used.
#pragma once

namespace trovan {

struct GridView {
  const float* rho = nullptr;
  int n[6] = {1, 1, 1, 1, 1, 1};
  int idm = 1;

  // The number of grid points: the product of the sizes over the dimension.
  long long points() const {
    long long nt = 1;
    for (int d = 0; d < idm; ++d) nt *= n[d];
    return nt;
  }
};

}  // namespace trovan
