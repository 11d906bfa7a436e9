// The density file and the box files: byte layouts, round trips, refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <vector>

#include <gemmi/ccp4.hpp>

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

// ---- CCP4 boxes where a viewer puts them ----------------------------------------

namespace {

struct Ccp4Case {
  const char* name;
  const char* drawing;  // the drawing block after "ng=1"
  bool incell;          // written as part of the crystal's cell
  int start;            // NXSTART (= NYSTART = NZSTART)
  double origin;        // each component of ORIGIN (Angstrom)
};

// A box of the perovskite's Fourier map, read back with gemmi and placed as a
// viewer places it (cell, NXSTART, MX, ORIGIN of the header): at the atoms
// of the model it holds the density file's values, and its header's mean is
// that of the crystal, F(000)/V, whatever part of the cell it starts in.
class Ccp4Overlay : public ::testing::TestWithParam<Ccp4Case> {};

}  // namespace

TEST_P(Ccp4Overlay, ValuesAtTheAtomsOfTheModelAndTheCellMean) {
  const Ccp4Case& cs = GetParam();
  const fs::path dir = scratch_dir(std::string("ccp4_") + cs.name);
  const fs::path ex = source_dir() / "examples/perovskite";
  fs::copy_file(ex / "perovskite.hkl", dir / "perovskite.hkl");
  std::string inp = slurp(ex / "perovskite.inp");
  inp = inp.substr(0, inp.find("\nng=") + 1) + "ng=1\n" + cs.drawing;
  const RunResult r = run_trovan(dir, inp);
  ASSERT_EQ(r.status, 0) << r.out;

  const double a = 3.905;
  std::vector<float> den(16 * 16 * 16);
  readdxyz((dir / "perovskite.den").string(), den.data(), static_cast<long long>(den.size()));
  const double dmax = *std::max_element(den.begin(), den.end());

  gemmi::Ccp4<float> map;
  map.read_ccp4_file((dir / "perovskite.ccp4").string());
  const int nx = map.header_i32(1), ny = map.header_i32(2), nz = map.header_i32(3);
  const int start[3] = {map.header_i32(5), map.header_i32(6), map.header_i32(7)};
  const int m[3] = {map.header_i32(8), map.header_i32(9), map.header_i32(10)};
  const double origin[3] = {map.header_float(50), map.header_float(51), map.header_float(52)};
  const gemmi::UnitCell& cell = map.grid.unit_cell;
  for (int d = 0; d < 3; ++d) {
    EXPECT_EQ(start[d], cs.start) << cs.name;
    EXPECT_NEAR(origin[d], cs.origin, 1e-4) << cs.name;
  }
  if (cs.incell) {
    EXPECT_NEAR(cell.a, a, 1e-4);  // the crystal's cell, not the box's
  }

  // Sr, Ti and one O of the model (fractions of the cell).
  const double atoms[3][3] = {{0, 0, 0}, {0.5, 0.5, 0.5}, {0.5, 0.5, 0}};
  for (const auto& at : atoms) {
    const gemmi::Position p(a * at[0], a * at[1], a * at[2]);
    const gemmi::Fractional f = cell.fractionalize(gemmi::Position(p.x - origin[0], p.y - origin[1], p.z - origin[2]));
    int idx[3];
    const int nn[3] = {nx, ny, nz};
    const double fr[3] = {f.x, f.y, f.z};
    for (int d = 0; d < 3; ++d) {
      const double g = fr[d] * m[d] - start[d];
      ASSERT_NEAR(g, std::nearbyint(g), 1e-3) << cs.name;
      idx[d] = static_cast<int>(std::nearbyint(g));
      // A map that is part of a crystal's cell repeats with the cell.
      if (cs.incell) idx[d] = ((idx[d] % m[d]) + m[d]) % m[d];
      ASSERT_GE(idx[d], 0);
      ASSERT_LT(idx[d], nn[d]);
    }
    const float got = map.grid.data[idx[0] + nx * (idx[1] + ny * idx[2])];
    const int gi[3] = {static_cast<int>(std::nearbyint(at[0] * 16)) % 16, static_cast<int>(std::nearbyint(at[1] * 16)) % 16,
                       static_cast<int>(std::nearbyint(at[2] * 16)) % 16};
    EXPECT_NEAR(got, den[gi[0] + 16 * (gi[1] + 16 * gi[2])], 1e-5 * dmax) << cs.name;
  }
  // Header statistics over the box's own points: the repeated last layers of
  // a box spanning whole cells are left out, so the mean is F(000)/V.
  EXPECT_NEAR(map.header_float(22), 84 / (a * a * a), 0.01 * 84 / (a * a * a)) << cs.name;
  double mean = 0, sq = 0;
  for (float v : den) mean += v;
  mean /= double(den.size());
  for (float v : den) sq += (v - mean) * (v - mean);
  EXPECT_NEAR(map.header_float(55), std::sqrt(sq / double(den.size())), 1e-3 * dmax) << cs.name;
  fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(
    Boxes, Ccp4Overlay,
    ::testing::Values(
        Ccp4Case{"quarter_shifted_cell",
                 "iax=3 ipers=0 iaver=0 ismth=0\nx= -0.25 -0.25 -0.25 0 0 0\nu= 1 0 0 0 0 0\nv= 0 1 0 0 0 0\n"
                 "q= 0 0 1 0 0 0\nxmin=0 xmax=1 ymin=0 ymax=1 zmin=0 zmax=1\nxdiv=17 ydiv=17 zdiv=17 hscl=1\n",
                 true, -4, 0.0},
        Ccp4Case{"physical_from_minus_half",
                 "iax=3 ipers=1 iaver=0 ismth=0\nxe=-1.9525 -1.9525 -1.9525 xi=0 0 0\nu=3.905 0 0 0 0 0\n"
                 "v=0 3.905 0 0 0 0\nq=0 0 3.905 0 0 0\nxmin=0 xmax=1 ymin=0 ymax=1 zmin=0 zmax=1\n"
                 "xdiv=17 ydiv=17 zdiv=17 hscl=1\n",
                 false, 0, -1.9525}),
    [](const auto& info) { return std::string(info.param.name); });
