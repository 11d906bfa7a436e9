// trovan: density maps of aperiodic crystals in superspace.
//
// The command line: `trovan job.inp` reads the keyword input from the file,
// `trovan` alone from standard input; `--help` and `--version` print and end.
// The listing opens with a header that says what made it: the program and
// its version, the date, the input and the number of threads.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "driver/trovan.hpp"
#ifdef TROVAN_TEST_HOOKS
#include "maps/densityfile.hpp"
#endif
#include "util/stop.hpp"
#include "util/tempfiles.hpp"
#include "util/threads.hpp"

namespace {

// True when file descriptor fd is open.
bool isopen(int fd) { return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

void tostderr(const std::string& message) { std::cerr << "trovan: " << message << std::endl; }

#ifndef TROVAN_VERSION
#define TROVAN_VERSION "unknown"
#endif
// Where `cmake --install` puts the user's guide and the reference: the
// configured folder, and the same folder relative to the program's own
// (an installation moved, or made with --prefix, keeps the two together).
#ifndef TROVAN_DOCDIR
#define TROVAN_DOCDIR "share/doc/trovan"
#endif
#ifndef TROVAN_DOCDIR_FROM_BIN
#define TROVAN_DOCDIR_FROM_BIN "../share/doc/trovan"
#endif

const char* const kUsage =
    "usage: trovan [job.inp] > job.lst\n"
    "       trovan < job.inp > job.lst\n"
    "       trovan --help | --version\n"
    "\n"
    "Computes a Patterson, Fourier, difference Fourier or maximum-entropy map of a\n"
    "crystal in superspace (up to six dimensions) from a reflection file, finds its\n"
    "peaks, writes the density file, draws sections (calcomp1.ps, one EPS file per\n"
    "page) and writes boxes (prefix.win, prefix.rho, prefix.ccp4; prefix_2.* for\n"
    "the second). The keyword input is read from the file\n"
    "named, or from standard input; the listing goes to standard output.\n"
    "\n"
    "Keys in the order of their lines (docs/reference.md explains each):\n"
    "  file1=  reflection file          file2=  density file (its prefix names the boxes)\n"
    "  title=\n"
    "  isys=   0 general, 1-2 icosahedral, 3-5 decagonal/octagonal/dodecagonal; a= (c=)\n"
    "  a= b= c= cosa= cosb= cosc=  ndm=  k= (ndm lines)          [isys=0]\n"
    "  nsymo= icent= brv=   a line with 'symmetry operator', nsymo operator lines\n"
    "  f000= sg00= sg0= sg1= fmag=\n"
    "  jbc=    (s1=..s4=, t1=..t4= when negative)\n"
    "  isetting=  iseging=  v= (18 reals)                         [isys=0]\n"
    "  iplot= hmax= (ismtr=) pkmin= (rwmin=)   1 Patterson 2 Fourier 3 difference 4,5 MEM\n"
    "  ex1= ex2= nex1= nex2= (c2min=) (fn=) (exact=) (prior=)     [MEM]\n"
    "  icont=  0 new start, 1 continue from the density file\n"
    "  qimax= frmt= (phsign=)   frmt='cif' reads a CIF _refln_ loop\n"
    "  ldev= iwhkl= iprj=   h= (iprj lines)\n"
    "  ng=     then per drawing: iax= ipers= iaver= ismth=, x= (or xe= xi=), u=, v=,\n"
    "          sections: div= hmin= lf= (iscale=); boxes: q=, xmin=..zmax=, xdiv= ydiv= zdiv= hscl=\n"
    "\n"
    "The PostScript prolog gprim.ps is taken from $CLCMPPATH when it is set, else from\n"
    "the installation (share/trovan) or, for a program in its build tree, from plot/.\n"
    "Exit status: 0 done, 1 a file could not be opened or written, 2 bad input,\n"
    "3 not enough memory or threads, 128+n ended by signal n.\n";

// The installed documentation: beside the program when it is there, else
// where the build installs it.
std::string docdir() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const std::filesystem::path d = (exe.parent_path() / TROVAN_DOCDIR_FROM_BIN).lexically_normal();
    if (std::filesystem::is_directory(d, ec)) return d.string();
  }
  return std::string(TROVAN_DOCDIR) + " (after cmake --install; docs/ of the source tree before)";
}

// One line for a mistake on the command line, and where the usage is.
int usageerror(const std::string& message) {
  tostderr(message + "; see trovan --help");
  return trovan::kExitError;
}

// The head of the listing: what wrote it, when, from which input, with how
// many threads (the map is the same with any number; the time is not).
void listingheader(const std::string& input) {
  char date[64] = "";
  const std::time_t now = std::time(nullptr);
  std::tm tm {};
  if (::localtime_r(&now, &tm)) std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S %z", &tm);
  char dir[4096] = "";
  if (!::getcwd(dir, sizeof dir)) dir[0] = '\0';
  std::cout << "trovan " << TROVAN_VERSION << ": density maps of aperiodic crystals in superspace\n"
            << "date:      " << date << '\n'
            << "input:     " << input << '\n'
            << "directory: " << dir << '\n'
            << "threads:   " << trovan::getnthreads() << '\n'
            << '\n';
}

// The keyword input from the file `name`: it takes the place of standard
// input, so that the run reads it as it would read standard input and never
// writes an output file over it.
bool inputfromfile(const char* name) {
  const int fd = ::open(name, O_RDONLY);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    const std::string why = fd < 0 ? std::strerror(errno) : "a directory";
    if (fd >= 0) ::close(fd);
    std::cout << " can't open " << name << '\n';
    tostderr(std::string("can't open ") + name + " (" + why + ")");
    return false;
  }
  if (fd != 0) {
    ::dup2(fd, 0);
    ::close(fd);
  }
  return true;
}

#ifdef TROVAN_TEST_HOOKS
// The test build of the program: TROVAN_DENSITY_WRITE_PAUSE=<seconds> holds
// it that long in the middle of its density write, TROVAN_COMMIT_PAUSE=
// <seconds> with every output file written and waiting to be put in place
// (saying so on standard error), so that a test can kill it there. The
// installed program has no such hooks.
unsigned g_write_pause = 0, g_commit_pause = 0;
void pause_write() { ::sleep(g_write_pause); }
void pause_commit() {
  std::cerr << "trovan: test hook: the output set waits" << std::endl;
  ::sleep(g_commit_pause);
}
unsigned seconds(const char* p) {
  const long v = std::strtol(p, nullptr, 10);
  return static_cast<unsigned>(v > 0 && v < 3600 ? v : 0);
}
void installtesthooks() {
  if (const char* p = std::getenv("TROVAN_DENSITY_WRITE_PAUSE")) {
    g_write_pause = seconds(p);
    trovan::setdensitywritehook(pause_write);
  }
  if (const char* p = std::getenv("TROVAN_COMMIT_PAUSE")) {
    g_commit_pause = seconds(p);
    trovan::setcommithook(pause_commit);
  }
}
#endif

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    const std::string a = argv[1];
    if (a == "--help" || a == "-h") {
      std::cout << kUsage << "\nDocumentation: " << docdir() << '\n'
                << "  docs/guide.md      from a refinement program's reflections to a Fourier and a MEM map\n"
                   "  docs/reference.md  keys, files, the listing, messages, exit statuses, conventions\n"
                   "  examples/          four crystals to run (copy a folder, run trovan in it)\n";
      return std::cout.flush() ? trovan::kExitOk : trovan::kExitOpen;
    }
    if (a == "--version" || a == "-V") {
      std::cout << "trovan " << TROVAN_VERSION << '\n';
      return std::cout.flush() ? trovan::kExitOk : trovan::kExitOpen;
    }
  }
  // The one file name, after "--" even if it begins with '-' ("-" alone:
  // standard input); an option that is not known is named.
  std::vector<std::string> files;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (options && a == "--") {
      options = false;
    } else if (options && a.size() > 1 && a[0] == '-') {
      return usageerror("unknown option " + a);
    } else {
      files.push_back(a);
    }
  }
  if (files.size() > 1) return usageerror("one keyword input file at most");
  // Without a standard output the listing is lost, and the first file the
  // run opens would take its place and receive the listing.
  if (!isopen(1)) {
    if (isopen(2)) tostderr("standard output is closed: the listing can not be written");
    return trovan::kExitOpen;
  }
  // A closed standard input or error is /dev/null, so that no file of the
  // run takes their place.
  if (!isopen(0)) ::open("/dev/null", O_RDONLY);
  if (!isopen(2)) ::open("/dev/null", O_WRONLY);
  const bool fromfile = files.size() == 1 && files[0] != "-";
  if (fromfile && !inputfromfile(files[0].c_str())) return trovan::kExitOpen;
  // Typed at a terminal, `trovan` alone would wait without a word.
  if (!fromfile && ::isatty(0))
    tostderr("reading the keyword input from standard input (end it with Ctrl-D; trovan job.inp reads a "
             "file; trovan --help for more)");
  trovan::installsignalcleanup();
#ifdef TROVAN_TEST_HOOKS
  installtesthooks();
#endif
  listingheader(fromfile ? files[0] : "standard input");

  int status = trovan::kExitOk;
  bool told = false;
  std::size_t warnings = 0;
  try {
    warnings = trovan::run(std::cin).warnings.size();
  } catch (const trovan::Stop& s) {
    trovan::removetemps();
    status = s.status;
    // The reason of the stop also on standard error, so that a run whose
    // listing goes to a file shows why it stopped.
    tostderr(s.what());
    if (!s.where.empty()) tostderr(s.where);
    told = true;
  } catch (const std::exception& e) {
    // Not a stop of the program's own (memory or threads exhausted, a
    // library's failure): still a clear stop, without temporary files left
    // behind, naming the resource that ran out.
    trovan::removetemps();
    std::string why;
    status = trovan::failurestatus(e, why);
    std::cout << ' ' << why << std::endl;
    tostderr(why);
    told = true;
  }
  // The warnings were on standard error as they came; their count ends a
  // run that went to its end.
  if (!told && warnings > 0) tostderr(trovan::warningsummary(warnings));
  std::cout.flush();
  if (!std::cout) {
    if (!told) tostderr("the listing could not be written to standard output");
    if (status == trovan::kExitOk) status = trovan::kExitOpen;
  }
  return status;
}
