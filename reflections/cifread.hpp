// Reflections from a CIF file (frmt='cif'): the _refln_ loop as refinement
// programs export it, read with gemmi's CIF parser into the same records
// (indices, Fo, Fc, phase in degrees, sigma(Fo)) that the fixed-column
// reader makes, so that both give the same table and the same map.
//
// Columns (tags are case-insensitive; "_refln." of mmCIF is read as well):
//   indices, general setting (isys 0): _refln_index_h, _k, _l, then
//     _refln_index_m_1 ... _m_<ndm> for the ndm wave vectors; an index
//     column of a wave vector the setting does not have must be zero;
//   indices, isys 1-5: the first idm (6 or 5) columns of the loop whose tags
//     begin with _refln_index_, in the order of the loop;
//   Fo: _refln_F_meas, or _refln_F_squared_meas (F = sqrt(F^2); a negative
//     F^2 gives F = 0);
//   Fc: _refln_F_calc (needed by a difference map; 0 when absent otherwise);
//   phase: _refln_phase_calc, degrees, in the sign of the reflection file
//     (phsign=; the default +1 is the sign CIF files use); not needed by a
//     Patterson map;
//   sigma(Fo): _refln_F_meas_sigma, or from _refln_F_squared_meas_sigma as
//     sigma(F) = sigma(F^2) / (2F) (sqrt(sigma(F^2)) where F = 0); needed by
//     a maximum-entropy map.
// A number may carry its standard uncertainty in parentheses, 12.3(4); a
// needed column that is missing stops the run naming it, and so does a
// value in a needed column that is not a number ("?", "." or text), naming
// the column and the row.
#pragma once
#include <string>
#include <vector>

namespace trovan {

struct CifRecord {
  int h[6] = {0, 0, 0, 0, 0, 0};
  double v[4] = {0, 0, 0, 0};  // Fo, Fc, phase (degrees), sigma(Fo)
};

// What the map needs of the file.
struct CifNeeds {
  bool fc = false, phase = true, sigma = false;
};

// True when the record format names the CIF reader ('cif', any case).
bool iscifformat(const std::string& frmt);

// Reads the _refln_ loop of the CIF file `path` (the first data block that
// has one). idm: indices per record (5 or 6); ndm: wave vectors of the
// general setting, or -1 for isys 1-5 (indices in loop order). Stops the
// run (status 2) on a missing column or a bad value, naming it.
std::vector<CifRecord> readcifreflections(const std::string& path, int idm, int ndm, const CifNeeds& needs);

}  // namespace trovan
