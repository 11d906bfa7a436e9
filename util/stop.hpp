// The run's one error path and its listing stream.
//
// trovan is a batch program: a bad value stops the whole run with a one-line
// message. `quit` prints that message and unwinds to main() by throwing
// `Stop`, which main() turns into the exit status; unit tests catch `Stop`
// and look at its status and at what was printed.
//
// Exit status: 0 for a normal end and for a deliberate stop (a print-only
// job), 1 when a file cannot be opened, read or written (the listing on
// standard output included), 2 when the run stops on bad input or an
// inconsistent setting (so that scripts never take a failure for a
// success), 3 when the machine has not the memory or the threads the job
// needs. A run ended by SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGQUIT or
// SIGUSR1 ends with 128 + the signal number (util/tempfiles.hpp).
//
// The one-line reason of a stop travels in `Stop` (what()); main() writes it
// to standard error as well, so that a run whose listing goes to a file
// still shows why it stopped.
#pragma once
#include <exception>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace trovan {

constexpr int kExitOk = 0;
constexpr int kExitOpen = 1;
constexpr int kExitError = 2;
constexpr int kExitResource = 3;

struct Stop : std::runtime_error {
  int status;
  std::string where;  // a line that locates the fault, or empty
  Stop(const std::string& msg, int st, std::string at = "")
      : std::runtime_error(msg), status(st), where(std::move(at)) {}
};

// The listing (Fortran unit 6): standard output unless a test redirects it.
std::ostream& out();
void set_out_stream(std::ostream* os);  // nullptr restores std::cout

// Writes `message` as a list-directed write does (one leading blank) and
// stops the run with `status`.
[[noreturn]] void quit(const std::string& message, int status = kExitError);

// quit with a line after the message that points at the fault: the input
// line and what was expected, the drawing, the remedy. The message stays
// the stop's reason; main() writes both lines to standard error.
[[noreturn]] void quitat(const std::string& message, const std::string& where, int status = kExitError);

// Prints `line` as it stands, then stops with a one-blank quit message: the
// pattern of the keyword reader and of most checks ("pkmin should be
// positive", "nt > nts", ...). The reason carried by the stop is `line`.
[[noreturn]] void fail(const std::string& line, int status = kExitError);
// fail with the locating line `where` printed after `line`.
[[noreturn]] void failat(const std::string& line, const std::string& where, int status = kExitError);

// A warning: the run goes on, but something in its result deserves a look
// (reflections left out, a fit stopped short). `text` goes to the listing
// after " warning:" (so it normally starts with a blank or a count), and to
// standard error (the warning stream) as "trovan: warning: <text>". While a
// WarningScope is open on the calling thread, the text as on standard
// error is also kept in its list: the warnings are part of a run's result,
// not of the process.
void warn(const std::string& text);

// Keeps the warnings given on this thread in `list`, in order, until the
// scope closes; then the warnings go where they went before it opened. A
// scope opened inside another takes the warnings for itself (a run started
// within a run keeps its own), and a run on another thread has its own.
// Warnings, like the listing, are given by the thread that runs the job,
// never by a worker of the thread pool (util/threads.hpp).
class WarningScope {
 public:
  explicit WarningScope(std::vector<std::string>& list);
  ~WarningScope();
  WarningScope(const WarningScope&) = delete;
  WarningScope& operator=(const WarningScope&) = delete;

 private:
  std::vector<std::string>* previous_;
};

// The stream warnings go to besides the listing: standard error unless a
// test redirects it (nullptr restores std::cerr).
std::ostream& warnstream();
void set_warn_stream(std::ostream* os);
// The run's last line on standard error when it gave `count` warnings: "N
// warnings (see the listing)" ("1 warning ..."); empty without warnings.
std::string warningsummary(std::size_t count);

// The status and the one-line reason of a failure that is not a stop of
// the program's own: memory exhausted (std::bad_alloc) or a thread the
// system would not start (std::system_error from std::thread) are
// kExitResource and name the resource; anything else is kExitError.
int failurestatus(const std::exception& e, std::string& reason);

// Flushes the listing; when it could not be written (a full device, a
// closed standard output) the run stops with status 1: a listing that is
// lost must not end as a success.
void checklisting();

}  // namespace trovan
