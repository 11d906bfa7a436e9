#include "util/stop.hpp"

#include <iostream>
#include <new>
#include <system_error>

namespace trovan {

namespace {
// A process setting: where the listing goes (standard output unless a
// caller binds another stream).
std::ostream* g_out = nullptr;
// A process setting beside it: where the warnings go besides the listing
// (standard error unless a caller binds another stream).
std::ostream* g_warn = nullptr;
// The list of the run on this thread that keeps the warnings (WarningScope),
// or none.
thread_local std::vector<std::string>* t_warnings = nullptr;
}

std::ostream& out() { return g_out ? *g_out : std::cout; }

void set_out_stream(std::ostream* os) { g_out = os; }

void quit(const std::string& message, int status) {
  out() << ' ' << message << '\n';
  out().flush();
  throw Stop(message, status);
}

void quitat(const std::string& message, const std::string& where, int status) {
  out() << ' ' << message << '\n' << ' ' << where << '\n';
  out().flush();
  throw Stop(message, status, where);
}

void failat(const std::string& line, const std::string& where, int status) {
  out() << line << '\n' << ' ' << where << '\n';
  out() << "  \n";
  out().flush();
  throw Stop(line, status, where);
}

void fail(const std::string& line, int status) {
  out() << line << '\n';
  out() << "  \n";
  out().flush();
  throw Stop(line, status);
}

void warn(const std::string& text) {
  out() << " warning:" << text << '\n';
  const std::size_t b = text.find_first_not_of(' ');
  const std::string said = b == std::string::npos ? text : text.substr(b);
  warnstream() << "trovan: warning: " << said << std::endl;
  if (t_warnings) t_warnings->push_back(said);
}

WarningScope::WarningScope(std::vector<std::string>& list) : previous_(t_warnings) { t_warnings = &list; }

WarningScope::~WarningScope() { t_warnings = previous_; }

std::ostream& warnstream() { return g_warn ? *g_warn : std::cerr; }

void set_warn_stream(std::ostream* os) { g_warn = os; }

std::string warningsummary(std::size_t count) {
  if (count == 0) return "";
  return std::to_string(count) + (count == 1 ? " warning" : " warnings") + " (see the listing)";
}

int failurestatus(const std::exception& e, std::string& reason) {
  if (dynamic_cast<const std::bad_alloc*>(&e)) {
    reason = "out of memory (" + std::string(e.what()) +
             "): the grid, the reflections or the threads (TROVAN_THREADS) need more memory than the "
             "system gives; use a smaller hmax= or fewer threads";
    return kExitResource;
  }
  if (const auto* se = dynamic_cast<const std::system_error*>(&e)) {
    if (se->code() == std::errc::resource_unavailable_try_again ||
        se->code() == std::errc::not_enough_memory) {
      reason = "the system would not start a thread (" + se->code().message() +
               "): set TROVAN_THREADS= to fewer threads, or raise the limit of processes (ulimit -u)";
      return kExitResource;
    }
  }
  reason = e.what();
  return kExitError;
}

void checklisting() {
  out().flush();
  if (!out()) throw Stop("the listing could not be written to standard output", kExitOpen);
}

}  // namespace trovan
