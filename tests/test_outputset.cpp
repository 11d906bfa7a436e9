// The output set: files written inside a set wait under their temporary
// names and replace the old ones together, or not at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.hpp"
#include "util/stop.hpp"
#include "util/tempfiles.hpp"

using namespace trovan_test;

namespace {

struct SetCase {
  std::string name;
  bool commit;                        // commitoutputs, or the set dropped
  std::vector<std::string> writes;    // names written in order ("a", "b", "a" writes a twice)
  std::vector<std::string> stale;     // handed to commitoutputs
  std::vector<std::string> after;     // the folder's files afterwards, "name=contents" or "name->link"
};

std::ostream& operator<<(std::ostream& os, const SetCase& c) { return os << c.name; }

class OutputSetCommit : public ::testing::TestWithParam<SetCase> {};

std::vector<std::string> listing(const fs::path& dir) {
  std::vector<std::string> v;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string n = e.path().filename().string();
    if (fs::is_symlink(e.symlink_status())) v.push_back(n + "->" + fs::read_symlink(e.path()).string());
    else v.push_back(n + "=" + slurp(e.path()));
  }
  std::sort(v.begin(), v.end());
  return v;
}

TEST_P(OutputSetCommit, AllOrNothing) {
  const SetCase& c = GetParam();
  const fs::path dir = scratch_dir("outputset_" + c.name);
  for (const char* n : {"a", "b", "old_3"}) write_file(dir / n, std::string("old ") + n);
  fs::create_symlink("a", dir / "link_4");
  std::ostringstream quiet;
  trovan::set_out_stream(&quiet);
  {
    trovan::OutputSet set;
    int k = 0;
    for (const std::string& n : c.writes) {
      trovan::TempOut t = trovan::opentemp((dir / n).string(), "test file");
      trovan::writetemp(t, "new " + n + " " + std::to_string(++k));
      trovan::committemp(t);
      // Written and synced, but nothing replaced yet.
      EXPECT_EQ(slurp(dir / n), fs::exists(dir / n) ? "old " + n : "") << n;
    }
    std::vector<std::string> stale;
    for (const std::string& n : c.stale) stale.push_back((dir / n).string());
    if (c.commit) trovan::commitoutputs(stale);
  }
  trovan::set_out_stream(nullptr);
  EXPECT_FALSE(trovan::inoutputs());
  EXPECT_EQ(listing(dir), c.after);
  fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(
    NoDataLost, OutputSetCommit,
    ::testing::Values(
        SetCase{"committed", true, {"a", "b", "c"}, {}, {"a=new a 1", "b=new b 2", "c=new c 3", "link_4->a", "old_3=old old_3"}},
        SetCase{"dropped", false, {"a", "b", "c"}, {}, {"a=old a", "b=old b", "link_4->a", "old_3=old old_3"}},
        SetCase{"written_twice", true, {"a", "a"}, {}, {"a=new a 2", "b=old b", "link_4->a", "old_3=old old_3"}},
        // Stale names: a regular file goes, a link and a missing name stay as they are.
        SetCase{"stale", true, {"a"}, {"old_3", "link_4", "old_5"}, {"a=new a 1", "b=old b", "link_4->a"}}),
    [](const ::testing::TestParamInfo<SetCase>& i) { return i.param.name; });

// The sync of a folder reports its failure instead of hiding it.
TEST(OutputSet, TheSyncOfAMissingFolderFails) {
  EXPECT_EQ(trovan::syncfolder("/nonexistent-folder-of-trovan/x"), ENOENT);
  EXPECT_EQ(trovan::syncfolder(fs::temp_directory_path().string() + "/x"), 0);
}

}  // namespace
