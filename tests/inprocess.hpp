// Running a whole job inside the test process, so that the tests can look
// at what the run returns (its crystal, density, map and peaks), and at the
// peak list of its listing.
#pragma once
#include <sstream>
#include <string>
#include <vector>

#include "util/input.hpp"
#include "driver/trovan.hpp"
#include "maps/peaks.hpp"
#include "util/stop.hpp"

namespace trovan_test {

struct InProcess {
  int status = 0;
  std::string out;
  std::string warnings;   // what went to standard error besides the listing
  trovan::JobResult job;  // what a run that ended normally leaves
  bool has(const std::string& s) const { return out.find(s) != std::string::npos; }
};

inline InProcess run_inprocess(const std::string& input) {
  std::istringstream in(input);
  std::ostringstream listing, warnings;
  trovan::set_out_stream(&listing);
  trovan::set_warn_stream(&warnings);
  InProcess r;
  try {
    r.job = trovan::run(in);
  } catch (const trovan::Stop& s) {
    r.status = s.status;
  }
  trovan::set_out_stream(nullptr);
  trovan::set_warn_stream(nullptr);
  r.out = listing.str();
  r.warnings = warnings.str();
  return r;
}

// The independent peaks of a listing as the peak search printed them, in
// the order listed: per line the number, the multiplicity, the grid value,
// the grid point's and the refined coordinates (idm each, four decimals)
// and the refined height. Empty when the listing has no peak list.
inline std::vector<trovan::Peak> listedpeaks(const std::string& listing) {
  std::vector<trovan::Peak> list;
  const std::string head = "  no  multpl. peak     coordinates\n";
  const std::size_t at = listing.find(head);
  if (at == std::string::npos) return list;
  std::istringstream in(listing.substr(at + head.size()));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream row(line);
    std::vector<double> v;
    for (double d; row >> d;) v.push_back(d);
    const int idm = (static_cast<int>(v.size()) - 4) / 2;
    if (!row.eof() || idm < 1 || v.size() != static_cast<std::size_t>(4 + 2 * idm) ||
        v[0] != static_cast<double>(list.size() + 1))
      break;
    trovan::Peak pk;
    pk.mult = static_cast<int>(v[1]);
    pk.p = static_cast<float>(v[2]);
    for (int d = 0; d < idm; ++d) {
      pk.x[d] = static_cast<float>(v[3 + d]);
      pk.xr[d] = static_cast<float>(v[3 + idm + d]);
    }
    pk.pr = static_cast<float>(v.back());
    list.push_back(pk);
  }
  return list;
}

}  // namespace trovan_test
