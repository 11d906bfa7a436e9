// Setting transformations between the user's cell (possibly centred, or a
// superstructure) and the primitive grid basis.
#pragma once

namespace trovan {

void setsmh(int isys);
void setsmx(int isys);

}  // namespace trovan
