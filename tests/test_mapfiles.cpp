// The density file and the box files: byte layouts, round trips, refusals.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <sstream>
#include <vector>

#include "e2e_support.hpp"
#include "maps/boxfile.hpp"
#include "maps/densityfile.hpp"
#include "util/stop.hpp"

using namespace trovan;
using namespace trovan_test;

namespace {

std::uint32_t u32(const std::string& s, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
  return v;
}

struct Quiet {
  std::ostringstream os;
  Quiet() { set_out_stream(&os); }
  ~Quiet() { set_out_stream(nullptr); }
};

TEST(DensityFile, RecordMarkersAroundTheValues) {
  fs::path d = scratch_dir("denfile");
  std::vector<float> rho = {1.5f, -2.0f, 0.0f, 3.25f, 1e-30f};
  wrtdxyz((d / "m.den").string(), rho.data(), 5);
  std::string bytes = slurp(d / "m.den");
  ASSERT_EQ(bytes.size(), 4u + 20u + 4u);
  EXPECT_EQ(u32(bytes, 0), 20u);
  EXPECT_EQ(u32(bytes, 24), 20u);
  float second;
  std::memcpy(&second, bytes.data() + 8, 4);
  EXPECT_EQ(second, -2.0f);
  // No temporary file is left beside it.
  int files = 0;
  for (auto& e : fs::directory_iterator(d)) files += e.is_regular_file();
  EXPECT_EQ(files, 1);

  std::vector<float> back(5, 99.0f);
  readdxyz((d / "m.den").string(), back.data(), 5);
  EXPECT_EQ(back, rho);
}

TEST(DensityFile, AFileOfAnotherGridIsRefused) {
  Quiet q;
  fs::path d = scratch_dir("denwrong");
  std::vector<float> rho(8, 1.0f);
  wrtdxyz((d / "m.den").string(), rho.data(), 8);
  std::vector<float> back(16, 0.0f);
  try {
    readdxyz((d / "m.den").string(), back.data(), 16);
    FAIL() << "a density of another grid was read";
  } catch (const Stop& s) {
    EXPECT_EQ(s.status, kExitError);
  }
  EXPECT_NE(q.os.str().find("m.den"), std::string::npos);
  EXPECT_NE(q.os.str().find("64"), std::string::npos) << q.os.str();  // expected bytes
  EXPECT_NE(q.os.str().find("32"), std::string::npos) << q.os.str();  // found marker
}

TEST(DensityFile, TruncatedOrBadMarkersAreRefused) {
  Quiet q;
  fs::path d = scratch_dir("denbad");
  std::vector<float> rho(8, 1.0f);
  wrtdxyz((d / "m.den").string(), rho.data(), 8);
  std::string good = slurp(d / "m.den");
  std::vector<std::string> bad = {good.substr(0, good.size() - 2), good.substr(0, 20), "",
                                  good};
  bad[3][good.size() - 1] = 7;  // trailing marker damaged
  for (const std::string& b : bad) {
    write_file(d / "b.den", b);
    std::vector<float> back(8);
    EXPECT_THROW(readdxyz((d / "b.den").string(), back.data(), 8), Stop);
  }
  try {
    std::vector<float> back(8);
    readdxyz((d / "missing.den").string(), back.data(), 8);
    FAIL();
  } catch (const Stop& s) {
    EXPECT_EQ(s.status, kExitOpen);
  }
}

// The write in two steps: the old file stays until the second step, which
// puts the new one in its place; a write that is abandoned, or that goes out
// of scope unfinished (a run that stopped in between), leaves the old file
// and no temporary one.
TEST(DensityFile, TwoStepWriteReplacesOnlyWhenFinished) {
  fs::path d = scratch_dir("dentwo");
  write_file(d / "m.den", "old");
  std::vector<float> rho = {1.0f, 2.0f, 3.0f};
  auto files = [&d] {
    int n = 0;
    for (const auto& e : fs::directory_iterator(d)) n += e.is_regular_file();
    return n;
  };
  PendingDensity w = wrtdxyzstart((d / "m.den").string(), rho.data(), 3);
  EXPECT_EQ(slurp(d / "m.den"), "old");
  EXPECT_EQ(files(), 2);
  wrtdxyzabandon(w);
  EXPECT_EQ(slurp(d / "m.den"), "old");
  EXPECT_EQ(files(), 1) << "a temporary file was left behind";
  {
    PendingDensity dropped = wrtdxyzstart((d / "m.den").string(), rho.data(), 3);
    EXPECT_EQ(files(), 2);
  }
  EXPECT_EQ(slurp(d / "m.den"), "old");
  EXPECT_EQ(files(), 1) << "an unfinished write left its temporary file";
  w = wrtdxyzstart((d / "m.den").string(), rho.data(), 3);
  rho[1] = -7.0f;  // the values were taken at the first step
  PendingDensity held = std::move(w);  // the driver holds it across the peak search
  wrtdxyzfinish(w);                    // the moved-from write has nothing to finish
  EXPECT_EQ(slurp(d / "m.den"), "old");
  wrtdxyzfinish(held);
  std::vector<float> back(3);
  readdxyz((d / "m.den").string(), back.data(), 3);
  EXPECT_EQ(back, (std::vector<float>{1.0f, 2.0f, 3.0f}));
  EXPECT_EQ(files(), 1);
}

TEST(DensityFile, AFailedWriteKeepsThePreviousFile) {
  Quiet q;
  fs::path d = scratch_dir("denkeep");
  write_file(d / "m.den", "old");
  std::vector<float> rho(4, 2.0f);
  try {
    wrtdxyz((d / "nodir" / "m.den").string(), rho.data(), 4);
    FAIL();
  } catch (const Stop& s) {
    EXPECT_EQ(s.status, kExitOpen);
  }
  if (::geteuid() != 0) {  // root writes into read-only directories
    fs::permissions(d, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_THROW(wrtdxyz((d / "m.den").string(), rho.data(), 4), Stop);
    fs::permissions(d, fs::perms::owner_all);
  }
  EXPECT_EQ(slurp(d / "m.den"), "old");
}

TEST(BoxCode, EndsOfTheRangeAndTheTopBit) {
  const BoxCode c = setdminmax(-1.0f, 3.0f);
  EXPECT_EQ(encodedxyz(c, -1.0f), 0);
  EXPECT_EQ(encodedxyz(c, 3.0f), 32768);  // v = 1048575 -> (v >> 5) ^ 65535
  EXPECT_EQ(encode(32767), 32767);
  EXPECT_EQ(encode(32768), 64511);
  // A reader's inverse: top bit set -> (w ^ 65535) << 5.
  auto decode = [](int w) { return (w & 0x8000) ? ((w ^ 65535) & 0xffff) << 5 : w; };
  EXPECT_EQ(decode(64511), 32768);
  EXPECT_EQ(decode(32768), 1048544);
  // Monotonic over the range, within the resolution the code keeps.
  int last = -1;
  for (int i = 0; i <= 1000; ++i) {
    float x = -1.0f + 4.0f * i / 1000.0f;
    int v = decode(encodedxyz(c, x));
    EXPECT_GE(v, last);
    float back = v * 4.0f / kMaxint - 1.0f;
    EXPECT_NEAR(back, x, 4.0f * 64 / kMaxint);
    last = v;
  }
  EXPECT_EQ(encodedxyz(setdminmax(2.0f, 2.0f), 2.0f), 0);  // a flat box
}

TEST(BoxFiles, BinaryHeaderAndCodesByteExact) {
  fs::path d = scratch_dir("boxbin");
  const float cell[6] = {5.12f, 5.12f, 5.12f, 90.0f, 90.0f, 90.0f};
  const int counts[3] = {2, 1, 2};
  const float v[4] = {0.0f, 1.0f, 0.5f, -1e-3f};
  dxyzbinout(v, counts, cell, (d / "b.win").string());
  std::string b = slurp(d / "b.win");
  ASSERT_EQ(b.size(), 134u + 8u);
  std::string header =
      "  5.12000e+00  5.12000e+00  5.12000e+00"
      "  9.00000e+01  9.00000e+01  9.00000e+01"
      "         2         1         2"
      " -1.00000e-03  1.00000e+00";
  EXPECT_EQ(b.substr(0, 134), header);
  auto code = [&](int i) {
    return static_cast<unsigned char>(b[134 + 2 * i]) | (static_cast<unsigned char>(b[135 + 2 * i]) << 8);
  };
  EXPECT_EQ(code(3), 0);       // the minimum
  EXPECT_EQ(code(1), 32768);   // the maximum
  // 0.0 -> v = 0.001/1.001 * 1048575 = 1047.5... -> 1047
  EXPECT_EQ(code(0), 1047);
}

TEST(BoxFiles, TextFileFiveValuesALineNoFinalLineEnd) {
  fs::path d = scratch_dir("boxtxt");
  const float cell[6] = {1, 2, 3, 4, 5, 6};
  const int counts[3] = {7, 1, 1};
  const float v[7] = {1, 2, 3, 4, 5, 6, 7};
  dxyzascout(v, counts, cell, (d / "b.rho").string());
  std::string t = slurp(d / "b.rho");
  std::string want =
      " cell\n"
      "  1.00000e+00  2.00000e+00  3.00000e+00\n"
      "  4.00000e+00  5.00000e+00  6.00000e+00\n"
      " 7 1 1 1.000000 2.000000 3.000000\n"
      " 1.00000e+00  2.00000e+00  3.00000e+00  4.00000e+00  5.00000e+00 \n"
      " 6.00000e+00  7.00000e+00 ";
  EXPECT_EQ(t, want);
}

TEST(BoxFiles, UnopenableBoxFileStops) {
  Quiet q;
  const float cell[6] = {1, 1, 1, 1, 1, 1};
  const int counts[3] = {1, 1, 1};
  const float v[1] = {0};
  try {
    dxyzbinout(v, counts, cell, "/nonexistent-dir/x.win");
    FAIL();
  } catch (const Stop& s) {
    EXPECT_EQ(s.status, kExitOpen);
    EXPECT_NE(q.os.str().find("can't open /nonexistent-dir/x.win"), std::string::npos);
  }
}

}  // namespace
