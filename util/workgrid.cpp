#include "util/workgrid.hpp"

namespace trovan {

void sizeworkgrid(WorkGrid& w, long long nt) { w.ri.assign(2 * static_cast<std::size_t>(nt), "the work grid"); }

}  // namespace trovan
