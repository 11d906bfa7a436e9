// A view of a real map on a periodic superspace grid, handed to the code
// that reads a map (the peak search, the extrema) in place of the work grid
// and the run's sizes behind it.
//
// The values stand in linear grid order, the first axis fastest: grid
// coordinates n (0 <= n_d < ng[d]) are at index n_1 + n_2 ng[1] + ... The
// map is periodic: a neighbour across a cell face is the point on the
// opposite face. Sizes beyond the dimension idm are not used.
#pragma once

namespace trovan {

struct GridView {
  const float* map = nullptr;
  int ng[6] = {1, 1, 1, 1, 1, 1};
  int idm = 1;

  // The number of grid points: the product of the sizes over the dimension.
  long long points() const {
    long long n = 1;
    for (int d = 0; d < idm; ++d) n *= ng[d];
    return n;
  }
};

}  // namespace trovan
