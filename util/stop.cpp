#include "util/stop.hpp"

#include <iostream>

namespace trovan {

namespace {
// A process setting: where the listing goes (standard output unless a
// caller binds another stream).
std::ostream* g_out = nullptr;
}

std::ostream& out() { return g_out ? *g_out : std::cout; }

void set_out_stream(std::ostream* os) { g_out = os; }

void quit(const std::string& message, int status) {
  out() << ' ' << message << '\n';
  out().flush();
  throw Stop(message, status);
}

void fail(const std::string& line, int status) {
  out() << line << '\n';
  out() << "  \n";
  out().flush();
  throw Stop(line, status);
}

void checklisting() {
  out().flush();
  if (!out()) throw Stop("the listing could not be written to standard output", kExitOpen);
}

}  // namespace trovan
