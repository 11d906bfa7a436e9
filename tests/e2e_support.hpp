// Running the built program on a keyword input in a scratch directory, as a
// user would: input on standard input, listing on standard output.
#pragma once
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

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

struct RunResult {
  int status = -1;
  std::string out;
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
  return r;
}

inline fs::path source_dir() { return fs::path(TROVAN_SOURCE_DIR); }

}  // namespace trovan_test
