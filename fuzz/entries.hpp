// Entry points shared by the libFuzzer targets in fuzz/ and the test that
// replays their regression corpus (tests/test_corpus.cpp): each takes the
// raw bytes of one input, feeds them to one reader of the program as a user
// file would, and returns the status of the stop (trovan::Stop), or -1 when
// the reader returned normally. Anything else (a crash, a sanitizer report,
// another exception) is a fault.
//
// The listing goes to a stream that discards it, unless the caller passes
// one to keep.
#pragma once
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "crystal/symmetry.hpp"
#include "util/input.hpp"
#include "util/runstate.hpp"
#include "driver/trovan.hpp"
#include "maps/densityfile.hpp"
#include "reflections/fortran_format.hpp"
#include "reflections/hklread.hpp"
#include "util/stop.hpp"

namespace trovan_fuzz {

namespace fs = std::filesystem;

// A listing that is thrown away.
inline std::ostream& null_listing() {
  static std::ostream os(nullptr);
  os.clear();
  return os;
}

struct ListingTo {
  explicit ListingTo(std::ostream* os) { trovan::set_out_stream(os ? os : &null_listing()); }
  ~ListingTo() { trovan::set_out_stream(nullptr); }
};

// A scratch path of this fuzzing process in the temporary directory,
// "<stem><pid><suffix>", removed (with all below it) when the process ends.
// A target keeps one for its whole run.
inline fs::path scratch_path(const std::string& stem, const std::string& suffix = "") {
  static std::vector<fs::path> made;
  made.push_back(fs::temp_directory_path() / (stem + std::to_string(::getpid()) + suffix));
  if (made.size() == 1)
    std::atexit([] {
      for (const fs::path& p : made) {
        std::error_code ec;
        fs::remove_all(p, ec);
      }
    });
  return made.back();
}

// ---- the keyword input of a whole run, up to the reflection file --------

// The reflection files a fuzzed keyword input may name; both hold records
// of six indices and four reals, so that every map kind finds its values.
inline const char* const kHklNames[] = {"p.hkl", "q.hkl"};

// Writes the reflection files into `dir` (made when missing).
inline void prepare_keyword_dir(const fs::path& dir) {
  fs::create_directories(dir);
  std::ofstream p(dir / "p.hkl");
  p << "   1   0   0   0   0   0      7.93      7.93      0.00      1.00\n"
       "   1   1   0   0   0   0     51.15     51.15      0.00      1.00\n"
       "   2   0   0   0   0   0     81.29     81.29    180.00      1.00\n"
       "   2   1   1   0   0   0     19.26     19.26      0.00      1.00\n"
       " 999   0   0   0   0   0      0.00      0.00      0.00      0.00\n";
  std::ofstream q(dir / "q.hkl");
  q << "   1   0   0   0   0   1     10.00     10.00      0.00      1.00\n"
       "   1   1   0   0  -1   0      5.00      5.00    180.00      1.00\n"
       "   0   0   2   1   0   0      3.00      3.00     90.00      1.00\n";
}

// Reads the keyword input of one run (every set-up the keys trigger: the
// lattice, the symmetry, the grid) and the reflection file it names, then
// stops: the computation that follows is long and not a reader. The
// reflection file is read only when it is one of the prepared files in
// `dir`, so that a fuzzed name never opens anything else on the machine;
// the density file is not touched. The run works in `dir`.
inline int keywords(const std::uint8_t* data, std::size_t size, const fs::path& dir,
                    std::ostream* listing = nullptr) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  ListingTo to(listing);
  const fs::path back = fs::current_path();
  fs::current_path(dir);
  int status = -1;
  try {
    const trovan::Job job = trovan::read_job(in);
    bool known = false;
    for (const char* n : kHklNames) known = known || job.hkl == n;
    if (known) trovan::rdhklq(job.crystal, job.run, job.hkl, job.qimax, job.frmt, 0, job.phsign);
  } catch (const trovan::Stop& s) {
    status = s.status;
  }
  fs::current_path(back);
  return status;
}

// ---- the Fortran format interpreter with a record -----------------------

// Byte 0: the number of integers (mod 7), byte 1: the number of reals
// (mod 5); then the format up to the first line end; the rest are the lines
// of the file, read record after record as the reflection reader does.
inline int format(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return -1;
  const int nint = data[0] % 7, nreal = data[1] % 5;
  std::string rest(reinterpret_cast<const char*>(data) + 2, size - 2);
  std::size_t nl = rest.find('\n');
  std::string text = rest.substr(0, nl);
  std::string body = nl == std::string::npos ? "" : rest.substr(nl + 1);
  trovan::InputFormat fmt;
  if (!trovan::compile_input_format(text, fmt).empty()) return 2;
  std::istringstream lines(body);
  trovan::LineSource next = [&](std::string& l) { return static_cast<bool>(std::getline(lines, l)); };
  for (int rec = 0; rec < 1000; ++rec) {
    int ints[6];
    double reals[4];
    std::string why;
    trovan::ReadStatus st = trovan::read_record(fmt, next, nint, ints, nreal, reals, why);
    if (st == trovan::ReadStatus::end) return -1;
    if (st == trovan::ReadStatus::error) return 2;
  }
  return -1;
}

// ---- decode: symmetry operator lines ------------------------------------

// Up to five lines, each one generating element as rdsymo reads it (cut at
// 60 columns), then their closure into the group.
inline int decode(const std::uint8_t* data, std::size_t size, std::ostream* listing = nullptr) {
  ListingTo to(listing);
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  int rots[trovan::kMaxGenerators * 36];
  double trans[trovan::kMaxGenerators * 6];
  int n = 0;
  try {
    for (std::string line; n < trovan::kMaxGenerators && std::getline(in, line); ++n) {
      if (line.size() > 60) line.resize(60);
      trovan::decode(line, rots + 36 * n, trans + 6 * n, 6);
    }
    std::vector<trovan::Op> gens(static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k) {
      for (int i = 0; i < trovan::kDim2; ++i) gens[k].rot[i] = rots[trovan::kDim2 * k + i];
      for (int e = 0; e < trovan::kDim; ++e) gens[k].trn[e] = trovan::trnnearest(trans[trovan::kDim * k + e]);
    }
    trovan::Group g;
    trovan::gensymo(g, gens, trovan::Setting{}, 6);
  } catch (const trovan::Stop& s) {
    return s.status;
  }
  return -1;
}

// ---- the density file ----------------------------------------------------

// Byte 0 sets the grid (1 to 64 points); the rest is the file, written to
// `path` and read back as a continuation run reads it. A file that reads
// must write and read back unchanged.
inline int densityfile(const std::uint8_t* data, std::size_t size, const std::string& path) {
  if (size < 1) return -1;
  const long long nt = 1 + data[0] % 64;
  {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data) + 1, static_cast<std::streamsize>(size - 1));
  }
  ListingTo to(nullptr);
  std::vector<float> rho(static_cast<std::size_t>(nt));
  try {
    trovan::readdxyz(path, rho.data(), nt);
  } catch (const trovan::Stop& s) {
    return s.status;
  }
  const std::string again = path + ".again";
  trovan::wrtdxyz(again, rho.data(), nt);
  std::vector<float> back(static_cast<std::size_t>(nt));
  trovan::readdxyz(again, back.data(), nt);
  fs::remove(again);
  if (std::memcmp(rho.data(), back.data(), rho.size() * sizeof(float)) != 0) __builtin_trap();
  return -1;
}

}  // namespace trovan_fuzz
