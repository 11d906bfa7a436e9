// Running the built program on a keyword input in a scratch directory, as a
// user would: input on standard input, listing on standard output.
#pragma once
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "util/stop.hpp"

namespace trovan_test {

namespace fs = std::filesystem;

inline std::string slurp(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

inline void write_file(const fs::path& p, const std::string& text) {
  std::ofstream f(p, std::ios::binary);
  f << text;
}

// A fresh directory under the system's temporary directory.
inline fs::path scratch_dir(const std::string& name) {
  fs::path d = fs::temp_directory_path() / ("trovan_test_" + name + "_" + std::to_string(::getpid()));
  fs::remove_all(d);
  fs::create_directories(d);
  return d;
}

// A keyword input with the names of "file1=" and "file2=" made to point
// into `dir`.
inline std::string point_into(std::string inp, const fs::path& dir) {
  for (const std::string key : {"file1='", "file2='"}) {
    const std::size_t p = inp.find(key);
    if (p != std::string::npos) inp.insert(p + key.size(), dir.string() + "/");
  }
  return inp;
}

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;  // standard error
  bool has(const std::string& s) const { return out.find(s) != std::string::npos; }
};

// Runs the program in `dir` with `input` on standard input.
inline RunResult run_trovan(const fs::path& dir, const std::string& input,
                            const std::string& env = "") {
  write_file(dir / "job.inp", input);
  std::string cmd = "cd '" + dir.string() + "' && " + env + " '" + std::string(TROVAN_EXE) +
                    "' < job.inp > job.out 2> job.err";
  int rc = std::system(cmd.c_str());
  RunResult r;
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.out = slurp(dir / "job.out");
  r.err = slurp(dir / "job.err");
  return r;
}

inline fs::path source_dir() { return fs::path(TROVAN_SOURCE_DIR); }

inline int count_of(const std::string& s, const std::string& what) {
  int n = 0;
  for (std::size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
  return n;
}

inline bool have_gs() { return std::system("command -v gs > /dev/null 2>&1") == 0; }

// Runs Ghostscript on `ps`; returns its exit status (-1 when gs is missing).
inline int run_gs(const fs::path& ps, const std::string& device, const std::string& outpat, int res,
                  std::string* log) {
  if (!have_gs()) return -1;
  const fs::path logf = ps.parent_path() / "gs.log";
  const std::string cmd = "gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=" + device + " -r" +
                          std::to_string(res) + " -sOutputFile='" + outpat + "' '" + ps.string() +
                          "' > '" + logf.string() + "' 2>&1";
  const int rc = std::system(cmd.c_str());
  if (log) *log = slurp(logf);
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : 128;
}

// Renders every page of `ps` to PNG and returns the number of pages made;
// fails the test on a Ghostscript error or when gs is not installed.
inline int render_png(const fs::path& ps) {
  if (!have_gs()) {
    ADD_FAILURE() << "Ghostscript (gs) is not installed; the PostScript output cannot be checked."
                     " Install it (apt-get install -y ghostscript).";
    return 0;
  }
  const fs::path dir = ps.parent_path() / (ps.stem().string() + "_png");
  fs::create_directories(dir);
  std::string log;
  const int rc = run_gs(ps, "png16m", (dir / "page%d.png").string(), 40, &log);
  EXPECT_EQ(rc, 0) << "gs failed on " << ps << ":\n" << log;
  EXPECT_EQ(log.find("Error"), std::string::npos) << log;
  int n = 0;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().extension() == ".png" && fs::file_size(e.path()) > 0) ++n;
  return n;
}

// A test of pages and boxes, in a fresh temporary folder of its own (named
// after the test) with the page prolog of the source tree and the listing
// bound to listing_; the folder and the listing go back when it ends.
class InPageFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
    old_ = fs::current_path();
    dir_ = fs::temp_directory_path() /
           ("trovan_" + std::string(t->test_suite_name()) + "_" + std::to_string(::getpid()) + "_" + t->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    fs::current_path(dir_);
    ::setenv("CLCMPPATH", (source_dir() / "plot").c_str(), 1);
    trovan::set_out_stream(&listing_);
  }
  void TearDown() override {
    trovan::set_out_stream(nullptr);
    fs::current_path(old_);
    fs::remove_all(dir_);
  }
  fs::path old_, dir_;
  std::ostringstream listing_;
};

}  // namespace trovan_test
