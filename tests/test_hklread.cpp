// The reflection file reader: every record layout users have, the echo, the
// 999 terminator, the qimax cut, the fmag scaling, the counts, the table
// limit and the stops on a bad file.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "crystal/lattice.hpp"
#include "crystal/symmetry.hpp"
#include "util/runstate.hpp"
#include "reflections/hklread.hpp"
#include "util/fortran_fmt.hpp"
#include "util/linalg.hpp"
#include "util/stop.hpp"

using namespace trovan;
namespace fs = std::filesystem;

namespace {

class HklRead : public ::testing::Test {
 protected:
  fs::path dir;
  std::ostringstream listing;
  Crystal cr;
  RunState rs;

  void SetUp() override {
    static int serial = 0;
    dir = fs::temp_directory_path() /
          ("trovan_hkl_" + std::to_string(::getpid()) + "_" + std::to_string(serial++));
    fs::remove_all(dir);
    fs::create_directories(dir);
    set_out_stream(&listing);
    rs.iplot = 2;
    Tofofc t;
    t.f000 = 100;
    t.fmag = 2;
    t.sg00 = 0.5f;
    t.sg0 = 0.25f;
    t.sg1 = 4;
    rs.tofofc = t;
  }
  void TearDown() override {
    set_out_stream(nullptr);
    fs::remove_all(dir);
  }

  std::string write(const std::string& name, const std::vector<std::string>& lines) {
    fs::path p = dir / name;
    std::ofstream f(p);
    for (const std::string& l : lines) f << l << '\n';
    return p.string();
  }

  // Runs the reader into `refl`; the status of the stop, or -1 when it
  // returned.
  Reflections refl;
  int phsign = 1;
  int run(const std::string& file, const std::string& frmt, float qimax = 1e6f, int isel = 0) {
    refl = Reflections{};
    try {
      refl = rdhklq(cr, rs, file, qimax, frmt, isel, phsign);
    } catch (const Stop& s) {
      return s.status;
    }
    return -1;
  }
  // The table read.
  int getnref() const { return refl.size(); }
  void gethkl(int k, int* h) const { std::copy(refl.h[k].begin(), refl.h[k].end(), h); }
  float getfo(int k) const { return refl.fo[k]; }
  float getfc(int k) const { return refl.fc[k]; }
  float getsigma(int k) const { return refl.sigma[k]; }
  float getcosphs(int k) const { return refl.cosphs[k]; }
  float getsinphs(int k) const { return refl.sinphs[k]; }

  std::vector<std::string> listing_lines() const {
    std::vector<std::string> v;
    std::istringstream is(listing.str());
    for (std::string l; std::getline(is, l);) v.push_back(l);
    return v;
  }

  // The value printed after a label of the listing; -1 when absent.
  long count_after(const std::string& label) const {
    std::string s = listing.str();
    std::size_t p = s.find(label);
    if (p == std::string::npos) return -1;
    return std::stol(s.substr(p + label.size()));
  }
  long used() const { return count_after("number of reflections used  ="); }
  long skipped() const { return count_after("number of skiped reflections="); }
};

std::string fourier_line(const int* h, double fo, double fc, double ph) {
  std::string l;
  for (int i = 0; i < 6; ++i) l += fmt_i(h[i], 4);
  return l + fmt_f(fo, 10, 2) + fmt_f(fc, 10, 2) + fmt_f(ph, 10, 2);
}

}  // namespace

TEST_F(HklRead, FourierRecordsFillTheTableScaledAndEchoed) {
  const int h[3][6] = {{1, 0, 0, 0, 0, 0}, {2, -1, 3, 0, 1, -4}, {0, 0, 1, 1, 1, 1}};
  const double fo[3] = {100.5, 20.25, 3.0}, fc[3] = {98.0, -21.0, 2.5}, ph[3] = {0.0, 180.0, 30.0};
  std::vector<std::string> lines;
  for (int k = 0; k < 3; ++k) lines.push_back(fourier_line(h[k], fo[k], fc[k], ph[k]));
  ASSERT_EQ(run(write("a.hkl", lines), "(6i4,3f10.2)"), -1) << listing.str();

  ASSERT_EQ(getnref(), 3);
  for (int k = 0; k < 3; ++k) {
    int g[6];
    gethkl(k, g);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(g[i], h[k][i]);
    EXPECT_FLOAT_EQ(getfo(k), 2 * fo[k]);
    EXPECT_FLOAT_EQ(getfc(k), 2 * fc[k]);
    EXPECT_EQ(getsigma(k), 0.0f);
    // The file's F = |F| exp(i phi) of F(h) = sum f exp(+2 pi i h.x) is
    // kept as its conjugate, the program's convention.
    EXPECT_NEAR(getcosphs(k), std::cos(ph[k] * kPi / 180), 1e-6);
    EXPECT_NEAR(getsinphs(k), -std::sin(ph[k] * kPi / 180), 1e-6);
  }
  // A centric phase gives an exactly real phase factor.
  EXPECT_EQ(getsinphs(1), 0.0f);
  EXPECT_EQ(getcosphs(1), -1.0f);

  // The echo format (6i4,4f10.2) with three reals writes what this layout
  // holds, so each echo line is the record itself.
  std::vector<std::string> out = listing_lines();
  ASSERT_GE(out.size(), 6u);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(out[k], lines[k]);
  EXPECT_EQ(out[3], "reflection file: records kept, and records beyond qimax= left out");
  EXPECT_EQ(out[4], " number of reflections used  =           3");
  EXPECT_EQ(out[5], " number of skiped reflections=           0");

  // F(000) and the sigma values are put on the scale of the amplitudes.
  Tofofc t = scaletofofc(rs);
  EXPECT_FLOAT_EQ(t.f000, 200);
  EXPECT_FLOAT_EQ(t.sg00, 1);
  EXPECT_FLOAT_EQ(t.sg0, 0.5f);
  EXPECT_FLOAT_EQ(t.sg1, 8);
  EXPECT_FLOAT_EQ(t.fmag, 2);
}

// The reader starts from the values as given: reading the file again gives
// the same table and the same F(000) and sigmas, not once more times fmag.
TEST_F(HklRead, ReadingTwiceGivesTheSameTableAndScale) {
  rs.iplot = 4;
  const std::vector<std::string> lines = {
      "   1   0   0   0   0   0    100.50     98.00      0.00      1.50",
      "   2  -1   3   0   1  -4     20.25    -21.00    180.00      0.75",
      "   0   0   1   1   1   1      3.00      2.50     30.00      0.25"};
  const std::string file = write("m.hkl", lines);
  struct Table {
    std::vector<float> v;
    std::vector<int> h;
    float f000, sg00, sg0, sg1;
  };
  auto read = [&] {
    EXPECT_EQ(run(file, "(6i4,4f10.2)"), -1) << listing.str();
    Table t;
    for (int k = 0; k < getnref(); ++k) {
      int h[6];
      gethkl(k, h);
      t.h.insert(t.h.end(), h, h + 6);
      t.v.insert(t.v.end(), {getfo(k), getfc(k), getsigma(k), getcosphs(k), getsinphs(k)});
    }
    const Tofofc s = scaletofofc(rs);
    t.f000 = s.f000;
    t.sg00 = s.sg00;
    t.sg0 = s.sg0;
    t.sg1 = s.sg1;
    return t;
  };
  const Table first = read(), second = read();
  ASSERT_EQ(getnref(), 3);
  EXPECT_EQ(second.h, first.h);
  EXPECT_EQ(second.v, first.v);
  EXPECT_FLOAT_EQ(first.f000, 200);
  EXPECT_FLOAT_EQ(first.sg1, 8);
  EXPECT_EQ(second.f000, first.f000);
  EXPECT_EQ(second.sg00, first.sg00);
  EXPECT_EQ(second.sg0, first.sg0);
  EXPECT_EQ(second.sg1, first.sg1);
}

TEST_F(HklRead, MemRecordsOfFiveDimensionsCarrySigma) {
  cr.group.idm = cr.grid.idm = 5;
  rs.iplot = 4;
  ASSERT_EQ(run(write("m.hkl", {"   1  -2   3  -4   5   100.500    99.000    90.000     1.250",
                                "  10  20  30  40  50     2.000     1.000   -90.000     0.125"}),
                "(5i4,4f10.3)"),
            -1)
      << listing.str();
  ASSERT_EQ(getnref(), 2);
  int g[6];
  gethkl(0, g);
  EXPECT_EQ(std::vector<int>(g, g + 6), (std::vector<int>{1, -2, 3, -4, 5, 0}));
  EXPECT_FLOAT_EQ(getfo(0), 201);
  EXPECT_FLOAT_EQ(getfc(0), 198);
  EXPECT_FLOAT_EQ(getsigma(0), 2.5f);
  EXPECT_EQ(getcosphs(0), 0.0f);
  EXPECT_EQ(getsinphs(0), -1.0f);
  EXPECT_EQ(getsinphs(1), 1.0f);
  EXPECT_FLOAT_EQ(getsigma(1), 0.25f);
  // The echo has five indices and four reals to two decimals.
  std::vector<std::string> out = listing_lines();
  EXPECT_EQ(out[0], "   1  -2   3  -4   5    100.50     99.00     90.00      1.25");
  EXPECT_EQ(used(), 2);
}

// phsign=-1: the file's phases are already those of F(h) = sum f
// exp(-2 pi i h.x), kept as they are; the listing converts back.
TEST_F(HklRead, PhaseSignMinusOneKeepsThePhase) {
  const int h[6] = {1, 2, 0, 0, 0, 0};
  for (int sign : {1, -1}) {
    phsign = sign;
    ASSERT_EQ(run(write("s.hkl", {fourier_line(h, 5, 5, 30)}), "(6i4,3f10.2)"), -1);
    EXPECT_NEAR(getsinphs(0), -sign * 0.5, 1e-6);
    EXPECT_NEAR(filephase(getcosphs(0), getsinphs(0), phsign), 30.0, 1e-4);
    EXPECT_NEAR(filephasedeg(-sign * 30.0, phsign), 30.0, 1e-12);
  }
  phsign = 1;
}

TEST_F(HklRead, FixedColumnsWithGapAndEFormat) {
  rs.iplot = 4;
  ASSERT_EQ(run(write("g.hkl", {"  1  0 -1  2  0  1xx    50.00    48.00    12.00     0.50"}),
                "(6i3,2x,4f9.2)"),
            -1)
      << listing.str();
  ASSERT_EQ(getnref(), 1);
  int g[6];
  gethkl(0, g);
  EXPECT_EQ(std::vector<int>(g, g + 6), (std::vector<int>{1, 0, -1, 2, 0, 1}));
  EXPECT_FLOAT_EQ(getfo(0), 100);
  EXPECT_FLOAT_EQ(getsigma(0), 1);

  listing.str("");
  ASSERT_EQ(run(write("e.hkl", {"  1  2  3  4  5  6  0.1234E+03 -0.5000E+01  0.4500E+02  0.2000E+00"}),
                "(3(2i3),4e12.4)"),
            -1)
      << listing.str();
  ASSERT_EQ(getnref(), 1);
  gethkl(0, g);
  EXPECT_EQ(std::vector<int>(g, g + 6), (std::vector<int>{1, 2, 3, 4, 5, 6}));
  EXPECT_FLOAT_EQ(getfo(0), 2 * 123.4f);
  EXPECT_FLOAT_EQ(getfc(0), -10);
  EXPECT_NEAR(getcosphs(0), std::sqrt(0.5), 1e-7);
  EXPECT_FLOAT_EQ(getsigma(0), 0.4f);
}

TEST_F(HklRead, TwoLinesPerRecord) {
  ASSERT_EQ(run(write("two.hkl", {"   1   2   3   4   5   6", "     10.00     20.00     30.00",
                                  "  -1  -2  -3  -4  -5  -6", "      1000      2000      3000"}),
                "(6i4/3f10.2)"),
            -1)
      << listing.str();
  ASSERT_EQ(getnref(), 2);
  EXPECT_FLOAT_EQ(getfo(0), 20);
  // "      1000" in a field of width 10 with two implied decimals is 10.00.
  EXPECT_FLOAT_EQ(getfo(1), 20);
  EXPECT_FLOAT_EQ(getfc(1), 40);
  EXPECT_EQ(used(), 2);
}

TEST_F(HklRead, A999RecordEndsTheListAndIsEchoed) {
  const int a[6] = {1, 1, 0, 0, 0, 0}, end[6] = {999, 0, 0, 0, 0, 0}, b[6] = {2, 2, 0, 0, 0, 0};
  std::vector<std::string> lines = {fourier_line(a, 10, 10, 0), fourier_line(end, 0, 0, 0),
                                    fourier_line(b, 20, 20, 0), fourier_line(b, 30, 30, 0)};
  ASSERT_EQ(run(write("t.hkl", lines), "(6i4,3f10.2)"), -1);
  EXPECT_EQ(getnref(), 1);
  EXPECT_EQ(used(), 1);
  EXPECT_EQ(skipped(), 0);
  std::vector<std::string> out = listing_lines();
  ASSERT_EQ(out.size(), 5u);  // two records echoed, a heading and the two counts
  EXPECT_EQ(out[1], lines[1]);
}

TEST_F(HklRead, EmptyFile) {
  ASSERT_EQ(run(write("empty.hkl", {}), "(6i4,3f10.2)"), -1);
  EXPECT_EQ(getnref(), 0);
  EXPECT_EQ(used(), 0);
  EXPECT_EQ(skipped(), 0);
}

TEST_F(HklRead, ABlankLineBetweenRecordsIsAZeroRecord) {
  // As a Fortran READ does; the expansion refuses the zero vector later with
  // its explanation of blank lines.
  const int a[6] = {1, 0, 0, 0, 0, 0}, b[6] = {0, 1, 0, 0, 0, 0};
  ASSERT_EQ(run(write("blank.hkl", {fourier_line(a, 5, 5, 0), "", fourier_line(b, 4, 4, 0)}), "(6i4,3f10.2)"), -1);
  ASSERT_EQ(getnref(), 3);
  int g[6];
  gethkl(1, g);
  EXPECT_EQ(std::vector<int>(g, g + 6), std::vector<int>(6, 0));
  EXPECT_EQ(getfo(1), 0.0f);
}

TEST_F(HklRead, BlankLinesAfterTheLastRecordEndTheFile) {
  // Editors add them; they are no reflections.
  const int a[6] = {1, 0, 0, 0, 0, 0}, b[6] = {0, 1, 0, 0, 0, 0};
  ASSERT_EQ(run(write("trail.hkl", {fourier_line(a, 5, 5, 0), fourier_line(b, 4, 4, 0), "", "   ", "\t"}),
                "(6i4,3f10.2)"),
            -1);
  ASSERT_EQ(getnref(), 2);
  int g[6];
  gethkl(1, g);
  EXPECT_EQ(std::vector<int>(g, g + 6), std::vector<int>(b, b + 6));
}

TEST_F(HklRead, QimaxBelowEveryLengthSkipsAll) {
  const int a[6] = {1, 0, 0, 0, 0, 0}, b[6] = {0, 2, 1, 0, 0, 0};
  ASSERT_EQ(run(write("q.hkl", {fourier_line(a, 5, 5, 0), fourier_line(b, 6, 6, 0)}), "(6i4,3f10.2)", -1.0f),
            -1);
  EXPECT_EQ(getnref(), 0);
  EXPECT_EQ(used(), 0);
  EXPECT_EQ(skipped(), 2);
}

TEST_F(HklRead, QimaxKeepsExactlyTheShortPhysicalSpaceVectors) {
  // Whatever the lattice, a reflection is kept exactly when the length of
  // the parallel-space part of its scattering vector is at most qimax.
  std::vector<std::array<int, 6>> hs;
  for (int i = -2; i <= 2; ++i)
    for (int j = -1; j <= 1; ++j) hs.push_back({i, j, i + j, 1, 0, -1});
  std::vector<std::string> lines;
  std::vector<double> len;
  for (const auto& h : hs) {
    lines.push_back(fourier_line(h.data(), 1, 1, 0));
    float q[6];
    getqi0(cr.lattice, h.data(), q);
    len.push_back(std::sqrt(double(q[0]) * q[0] + double(q[1]) * q[1] + double(q[2]) * q[2]));
  }
  // A qimax half-way between two distinct lengths, so that rounding cannot
  // decide a reflection's side.
  std::vector<double> u = len;
  std::sort(u.begin(), u.end());
  u.erase(std::unique(u.begin(), u.end()), u.end());
  const float qimax = static_cast<float>(u.size() >= 2 ? 0.5 * (u[u.size() / 2 - 1] + u[u.size() / 2]) : u[0]);
  ASSERT_EQ(run(write("cut.hkl", lines), "(6i4,3f10.2)", qimax), -1);
  int kept = 0;
  for (std::size_t r = 0; r < hs.size(); ++r) {
    if (len[r] > qimax) continue;
    ASSERT_LT(kept, getnref());
    int g[6];
    gethkl(kept++, g);
    EXPECT_EQ(std::vector<int>(g, g + 6), std::vector<int>(hs[r].begin(), hs[r].end()));
  }
  EXPECT_EQ(getnref(), kept);
  EXPECT_EQ(skipped(), static_cast<long>(hs.size()) - kept);
}

// The table grows with the file: far more than the 45000 reflections of
// old, each kept in file order.
TEST_F(HklRead, TableGrowsWithTheFile) {
  std::vector<std::string> lines;
  for (int k = 0; k < 60000; ++k) {
    const int h[6] = {k % 40 - 20, (k / 40) % 40 - 20, k / 1600, 0, 0, 0};
    lines.push_back(fourier_line(h, 1 + k % 7, 1, 0));
  }
  ASSERT_EQ(run(write("big.hkl", lines), "(6i4,3f10.2)"), -1);
  EXPECT_EQ(getnref(), 60000);
  EXPECT_EQ(used(), 60000);
  int g[6];
  gethkl(59999, g);
  EXPECT_EQ(g[2], 59999 / 1600);
  EXPECT_FLOAT_EQ(getfo(59999), 2 * (1 + 59999 % 7));
  EXPECT_GE(kNhmax, 2000000);
}

TEST_F(HklRead, SkippedRecordsDoNotCountAgainstTheTable) {
  std::vector<std::string> lines(50005, "   1   0   0   0   0   0      1.00      1.00      0.00");
  ASSERT_EQ(run(write("skip.hkl", lines), "(6i4,3f10.2)", -1.0f), -1);
  EXPECT_EQ(skipped(), 50005);
  EXPECT_EQ(getnref(), 0);
}

TEST_F(HklRead, MissingFileStopsWithStatus1) {
  std::string name = (dir / "nowhere.hkl").string();
  EXPECT_EQ(run(name, "(6i4,3f10.2)"), kExitOpen);
  EXPECT_NE(listing.str().find("can't open " + name), std::string::npos);
}

TEST_F(HklRead, FieldThatIsNotANumberNamesRecordAndText) {
  const int a[6] = {1, 0, 0, 0, 0, 0};
  std::string bad = "   1   0   0   0   0   0     12.x0      1.00      0.00";
  EXPECT_EQ(run(write("bad.hkl", {fourier_line(a, 5, 5, 0), bad}), "(6i4,3f10.2)"), kExitError);
  std::vector<std::string> out = listing_lines();
  ASSERT_FALSE(out.empty());
  const std::string& last = out.back();
  EXPECT_EQ(last.rfind(" record 2 (line 2): ", 0), 0u) << last;
  EXPECT_NE(last.find("'     12.x0'"), std::string::npos) << last;
}

TEST_F(HklRead, InvalidFormatStopsNamingIt) {
  const int a[6] = {1, 0, 0, 0, 0, 0};
  EXPECT_EQ(run(write("f.hkl", {fourier_line(a, 5, 5, 0)}), "(6i4,3f10.2"), kExitError);
  EXPECT_NE(listing.str().find("invalid format"), std::string::npos);
  EXPECT_NE(listing.str().find("'(6i4,3f10.2'"), std::string::npos);
}

TEST_F(HklRead, RecordCutShortByTheEndOfFile) {
  EXPECT_EQ(run(write("cut2.hkl", {"   1   2   3   4   5   6"}), "(6i4/3f10.2)"), kExitError);
  EXPECT_NE(listing.str().find("record 1"), std::string::npos);
}

TEST_F(HklRead, RecordSelectionIsRefused) {
  EXPECT_EQ(run(write("s.hkl", {}), "(6i4,3f10.2)", 1e6f, 1), kExitError);
}

TEST(HklPhase, QuarterTurnsAreExactAndEveryAngleIsOnTheCircle) {
  const double quarter[][3] = {{0, 1, 0}, {90, 0, 1}, {180, -1, 0}, {270, 0, -1}, {-90, 0, -1},
                               {360, 1, 0}, {-180, -1, 0}, {450, 0, 1}, {-720, 1, 0}};
  for (const auto& q : quarter) {
    double c, s;
    cossind(q[0], c, s);
    EXPECT_EQ(c, q[1]) << q[0];
    EXPECT_EQ(s, q[2]) << q[0];
    EXPECT_FALSE(std::signbit(c) && c == 0) << q[0];
  }
  for (double deg = -400; deg <= 400; deg += 7.3) {
    double c, s;
    cossind(deg, c, s);
    EXPECT_NEAR(c, std::cos(deg * kPi / 180), 1e-14) << deg;
    EXPECT_NEAR(s, std::sin(deg * kPi / 180), 1e-14) << deg;
  }
}
