// The drawing lines of the keyword input: "ng=" and each drawing's keys
// (plot/drwmap.hpp lists them), read, echoed and checked with the rest of
// the input, before the map is computed, so that a mistake there stops the
// run before anything is written.
#pragma once
#include <vector>

#include "plot/drwmap.hpp"
#include "util/input.hpp"

namespace trovan {

// Reads drawing `number` from the keyword input, echoes it and checks its
// values; places it with the geometry `geom` (placedrawing).
DrawRequest readdrawing(KeyReader& rd, const MapContext& geom, int number);

// Reads "ng=" and every drawing with their checks, placing them with the
// geometry `geom` (mapgeometry of the job's crystal). A section needs a page
// device: with ldev other than 1 or 2 the run stops ("ldev=<n> not
// allowd: ..."), before anything is drawn or written.
std::vector<DrawRequest> readdrawings(KeyReader& rd, const MapContext& geom, int ldev);

}  // namespace trovan
