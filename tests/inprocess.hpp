// Running a whole job inside the test process, so that the tests can look
// at the grid and the module tables a run leaves behind.
#pragma once
#include <sstream>
#include <string>

#include "util/input.hpp"
#include "driver/trovan.hpp"
#include "util/stop.hpp"

namespace trovan_test {

struct InProcess {
  int status = 0;
  std::string out;
  trovan::JobResult job;  // what a run that ended normally leaves
  bool has(const std::string& s) const { return out.find(s) != std::string::npos; }
};

inline InProcess run_inprocess(const std::string& input) {
  std::istringstream in(input);
  std::ostringstream listing;
  trovan::set_input_stream(&in);
  trovan::set_out_stream(&listing);
  InProcess r;
  try {
    r.job = trovan::run();
  } catch (const trovan::Stop& s) {
    r.status = s.status;
  }
  trovan::set_input_stream(nullptr);
  trovan::set_out_stream(nullptr);
  r.out = listing.str();
  return r;
}

}  // namespace trovan_test
