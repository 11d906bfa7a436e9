// Replays the inputs the fuzz targets were started from (fuzz/seeds) and
// every input that once crashed one of them (tests/corpus/<target>) through
// the same entry points, and the whole jobs of tests/corpus/runs (inputs
// that once failed past the reading, in the computation or the drawing):
// each must end in a clean return or a stop with a documented status, never
// a crash. In the sanitizer build a memory or undefined-behaviour fault
// aborts the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "e2e_support.hpp"
#include "fuzz/entries.hpp"
#include "inprocess.hpp"

using namespace trovan_test;

namespace {

std::string bytes_of(const fs::path& p) { return slurp(p); }

const std::uint8_t* u8(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

// Every file of the target's seeds and regression corpus, in name order.
std::vector<fs::path> inputs(const std::string& target) {
  std::vector<fs::path> v;
  for (const fs::path& d : {source_dir() / "fuzz/seeds" / target, source_dir() / "tests/corpus" / target})
    if (fs::is_directory(d))
      for (const auto& e : fs::directory_iterator(d))
        if (e.is_regular_file() && e.path().filename().string()[0] != '.') v.push_back(e.path());
  std::sort(v.begin(), v.end());
  return v;
}

bool clean(int status) { return status == -1 || status == 0 || status == 1 || status == 2; }

TEST(Corpus, EveryTargetHasInputs) {
  for (const char* t : {"fuzz_keywords", "fuzz_format", "fuzz_decode", "fuzz_densityfile"})
    EXPECT_FALSE(inputs(t).empty()) << t;
}

TEST(Corpus, KeywordInputs) {
  fs::path dir = scratch_dir("corpus_kw");
  trovan_fuzz::prepare_keyword_dir(dir);
  for (const fs::path& p : inputs("fuzz_keywords")) {
    std::string b = bytes_of(p);
    int st = trovan_fuzz::keywords(u8(b), b.size(), dir);
    EXPECT_TRUE(clean(st)) << p << " status " << st;
  }
  fs::remove_all(dir);
}

// A run must not depend on the one before it: every module table is set
// again by each run. The listing of each input is the same when the inputs
// are read in reverse order.
TEST(Corpus, KeywordRunsDoNotCarryStateFromThePreviousRun) {
  fs::path dir = scratch_dir("corpus_kw_order");
  trovan_fuzz::prepare_keyword_dir(dir);
  std::vector<fs::path> files = inputs("fuzz_keywords");
  auto listings = [&](const std::vector<fs::path>& order) {
    std::map<fs::path, std::string> m;
    for (const fs::path& p : order) {
      std::string b = bytes_of(p);
      std::ostringstream os;
      int st = trovan_fuzz::keywords(u8(b), b.size(), dir, &os);
      m[p] = os.str() + "\nstatus " + std::to_string(st);
    }
    return m;
  };
  auto forward = listings(files);
  std::reverse(files.begin(), files.end());
  auto backward = listings(files);
  for (const auto& [p, text] : forward) EXPECT_EQ(text, backward[p]) << p;
  fs::remove_all(dir);
}

TEST(Corpus, FormatsWithRecords) {
  for (const fs::path& p : inputs("fuzz_format")) {
    std::string b = bytes_of(p);
    int st = trovan_fuzz::format(u8(b), b.size());
    EXPECT_TRUE(clean(st)) << p << " status " << st;
  }
}

TEST(Corpus, SymmetryOperatorLines) {
  for (const fs::path& p : inputs("fuzz_decode")) {
    std::string b = bytes_of(p);
    int st = trovan_fuzz::decode(u8(b), b.size());
    EXPECT_TRUE(clean(st)) << p << " status " << st;
  }
  // Leave the identity group for the suites that follow.
  trovan_fuzz::decode(nullptr, 0);
}

// Whole jobs, run in the program's own process, in a folder with the
// reflection files of the keyword target; drawings find the prolog.
TEST(Corpus, WholeRuns) {
  const std::vector<fs::path> jobs = inputs("runs");
  ASSERT_FALSE(jobs.empty());
  fs::path dir = scratch_dir("corpus_runs");
  trovan_fuzz::prepare_keyword_dir(dir);
  const fs::path back = fs::current_path();
  const char* old = std::getenv("CLCMPPATH");
  const std::string keep = old ? old : "";
  ::setenv("CLCMPPATH", (source_dir() / "plot").c_str(), 1);
  fs::current_path(dir);
  for (const fs::path& p : jobs) {
    const InProcess r = run_inprocess(bytes_of(p));
    EXPECT_TRUE(clean(r.status)) << p << " status " << r.status << "\n" << r.out;
  }
  fs::current_path(back);
  if (old)
    ::setenv("CLCMPPATH", keep.c_str(), 1);
  else
    ::unsetenv("CLCMPPATH");
  fs::remove_all(dir);
}

TEST(Corpus, DensityFiles) {
  fs::path dir = scratch_dir("corpus_den");
  for (const fs::path& p : inputs("fuzz_densityfile")) {
    std::string b = bytes_of(p);
    int st = trovan_fuzz::densityfile(u8(b), b.size(), (dir / "d.den").string());
    EXPECT_TRUE(clean(st)) << p << " status " << st;
  }
  fs::remove_all(dir);
}

}  // namespace
