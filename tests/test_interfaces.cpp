// The program among other programs: reflections from CIF files as
// refinement programs export them, boxes as CCP4 maps for 3-D viewers, the
// command line and an installed program that finds its page prolog.
#include <gtest/gtest.h>

#include <gemmi/ccp4.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.hpp"
#include "plot/calcomp.hpp"
#include "inprocess.hpp"
#include "tools/sfmodel.hpp"
#include "util/workgrid.hpp"
#include "crystal/gridindex.hpp"

using namespace trovan_test;
namespace ex = trovan::examples;

namespace {

// The keyword input without its drawings (ng=0), reading `hkl` with the
// format `frmt`, writing the density file `den`.
std::string retarget(std::string inp, const std::string& hkl, const std::string& den, const std::string& frmt) {
  auto setvalue = [&inp](const std::string& key, const std::string& value) {
    const std::size_t p = inp.find(key + "'");
    const std::size_t e = inp.find('\'', p + key.size() + 1);
    inp.replace(p + key.size() + 1, e - p - key.size() - 1, value);
  };
  setvalue("file1=", hkl);
  setvalue("file2=", den);
  setvalue("frmt=", frmt);
  inp.erase(inp.find("\nng=") + 1);
  return inp + "ng=0\n";
}

// A fixed-column reflection file written again as the _refln_ loop of a
// CIF file, each number with the text it had. `tags` names the columns of
// a record in order ("" drops a column); `squared` gives Fo (column idm) and
// sigma as F^2 and sigma(F^2).
std::string tocif(const std::string& fixed, const std::vector<std::string>& tags, int idm, bool squared) {
  std::string s = "data_trovan_test\nloop_\n";
  for (const std::string& t : tags)
    if (!t.empty()) s += t + "\n";
  std::istringstream in(fixed);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::vector<std::string> f;
    for (std::string w; ls >> w;) f.push_back(w);
    if (f.empty()) continue;
    if (squared) {
      char b[64];
      const double fo = std::stod(f[idm]);
      std::snprintf(b, sizeof b, "%.6f", fo * fo);
      f[idm] = b;
      if (f.size() > static_cast<std::size_t>(idm) + 3) {
        std::snprintf(b, sizeof b, "%.6f", 2 * fo * std::stod(f[idm + 3]));
        f[idm + 3] = b;
      }
    }
    for (std::size_t i = 0; i < f.size() && i < tags.size(); ++i)
      if (!tags[i].empty()) s += f[i] + " ";
    s += "\n";
  }
  return s;
}

struct CifCase {
  const char* name;
  const char* example;  // examples/<dir>/<file>.inp, or "" for the quartz model
  std::vector<std::string> tags;
  int idm;
  bool squared;
};

// h, k, l of the general setting: the three wave-vector indices of the
// fixed-column file are zero and left out of the CIF.
const std::vector<std::string> kHkl = {"_refln_index_h", "_refln_index_k", "_refln_index_l", "", "", ""};
std::vector<std::string> tags(std::vector<std::string> idx, bool sigma, bool squared) {
  idx.push_back(squared ? "_refln_F_squared_meas" : "_refln_F_meas");
  idx.push_back("_refln_F_calc");
  idx.push_back("_refln_phase_calc");
  if (sigma) idx.push_back(squared ? "_refln_F_squared_meas_sigma" : "_refln_F_meas_sigma");
  return idx;
}

class CifReflections : public ::testing::TestWithParam<CifCase> {};

// The same reflections give the same map from either file: bit for bit
// when the numbers are the same text, to single-precision round-off when
// Fo comes as F^2.
TEST_P(CifReflections, GiveTheMapOfTheFixedColumnFile) {
  const CifCase& c = GetParam();
  const fs::path d = scratch_dir(std::string("cif_") + c.name);
  std::string inp, fixed;
  if (std::string(c.example).empty()) {
    const ex::AtomCrystal q = ex::quartz();
    fixed = q.reflection_file();
    inp = q.keyword_input("x.hkl", "x.den", 2);
  } else {
    const fs::path src = source_dir() / "examples" / c.example;
    inp = slurp(fs::path(src.string() + ".inp"));
    const std::size_t p = inp.find("file1='") + 7;
    fixed = slurp(src.parent_path() / inp.substr(p, inp.find('\'', p) - p));
  }
  const std::size_t f = inp.find("frmt='") + 6;
  const std::string frmt = inp.substr(f, inp.find('\'', f) - f);
  write_file(d / "r.hkl", fixed);
  write_file(d / "r.cif", tocif(fixed, c.tags, c.idm, c.squared));

  const InProcess a = run_inprocess(retarget(inp, (d / "r.hkl").string(), (d / "a.den").string(), frmt));
  ASSERT_EQ(a.status, 0) << a.out;
  const long long nt = trovan::getnt(a.job.crystal.grid);
  const std::vector<float> mapa(trovan::getabcdr(a.job.map), trovan::getabcdr(a.job.map) + nt);
  const InProcess b = run_inprocess(retarget(inp, (d / "r.cif").string(), (d / "b.den").string(), "cif"));
  ASSERT_EQ(b.status, 0) << b.out;
  const std::vector<float> mapb(trovan::getabcdr(b.job.map), trovan::getabcdr(b.job.map) + nt);
  ASSERT_EQ(mapa.size(), mapb.size());
  const auto used = [](const std::string& out) { return out.substr(out.find("number of reflections used")); };
  EXPECT_EQ(used(a.out).substr(0, 80), used(b.out).substr(0, 80));
  if (!c.squared) {
    EXPECT_TRUE(slurp(d / "a.den") == slurp(d / "b.den")) << "the density files differ";
  } else {
    float top = 0;
    for (float v : mapa) top = std::max(top, std::fabs(v));
    for (std::size_t j = 0; j < mapa.size(); ++j) ASSERT_NEAR(mapa[j], mapb[j], 2e-4 * top) << "grid point " << j;
  }
  fs::remove_all(d);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, CifReflections,
    ::testing::Values(
        CifCase{"quartz", "", tags(kHkl, false, false), 6, false},
        CifCase{"modulated", "modulated/modulated",
                tags({"_refln_index_h", "_refln_index_k", "_refln_index_l", "_refln_index_m_1", "", ""}, false, false), 6,
                false},
        CifCase{"perovskite_mem", "perovskite/perovskite_mem",
                tags(kHkl, true, false), 6, false},
        CifCase{"perovskite_f2", "perovskite/perovskite", tags(kHkl, false, true), 6, true},
        // isys 3: the five index columns of the loop in their order.
        CifCase{"decagonal", "decagonal/decagonal",
                tags({"_refln_index_h", "_refln_index_k", "_refln_index_l", "_refln_index_m_1", "_refln_index_m_2"},
                     false, false),
                5, false}),
    [](const ::testing::TestParamInfo<CifCase>& i) { return std::string(i.param.name); });

struct BadCif {
  const char* name;
  std::function<std::string(std::string)> spoil;  // of a good CIF text
  const char* expect;                             // in the message
};

class CifFaults : public ::testing::TestWithParam<BadCif> {};

// A column the map needs, missing or holding no number, stops the run
// before anything is computed, naming the column.
TEST_P(CifFaults, StopNamingTheColumn) {
  const BadCif& c = GetParam();
  const fs::path d = scratch_dir(std::string("cifbad_") + c.name);
  const fs::path src = source_dir() / "examples" / "modulated" / "modulated";
  const std::string inp = slurp(fs::path(src.string() + ".inp"));
  const std::string fixed = slurp(src.parent_path() / "modulated.hkl");
  const std::string good = tocif(
      fixed, tags({"_refln_index_h", "_refln_index_k", "_refln_index_l", "_refln_index_m_1", "", ""}, false, false), 6,
      false);
  write_file(d / "r.cif", c.spoil(good));
  const InProcess r = run_inprocess(retarget(inp, (d / "r.cif").string(), (d / "r.den").string(), "cif"));
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_TRUE(r.has(c.expect)) << r.out;
  EXPECT_FALSE(fs::exists(d / "r.den"));
  fs::remove_all(d);
}

std::string drop(std::string s, const std::string& tag) { return s.replace(s.find(tag), tag.size(), "_refln_other"); }
std::string spoilvalue(std::string s, int field, const std::string& by) {
  // Field `field` of the third row of the loop.
  std::size_t p = s.find("_refln_phase_calc\n") + 18;
  for (int row = 0; row < 2; ++row) p = s.find('\n', p) + 1;
  for (int k = 0; k < field; ++k) p = s.find(' ', p) + 1;
  return s.replace(p, s.find(' ', p) - p, by);
}

INSTANTIATE_TEST_SUITE_P(
    Columns, CifFaults,
    ::testing::Values(BadCif{"no_m1", [](std::string s) { return drop(s, "_refln_index_m_1"); }, "_refln_index_m_1"},
                      BadCif{"no_fo", [](std::string s) { return drop(s, "_refln_F_meas"); }, "_refln_F_meas"},
                      BadCif{"no_phase", [](std::string s) { return drop(s, "_refln_phase_calc"); },
                             "_refln_phase_calc"},
                      BadCif{"text_fo", [](std::string s) { return spoilvalue(s, 4, "1.2x"); }, "_refln_F_meas '1.2x'"},
                      BadCif{"hex_fo", [](std::string s) { return spoilvalue(s, 4, "0x10"); }, "_refln_F_meas '0x10'"},
                      BadCif{"unknown_phase", [](std::string s) { return spoilvalue(s, 6, "?"); },
                             "_refln_phase_calc '?'"},
                      BadCif{"half_index", [](std::string s) { return spoilvalue(s, 1, "2.5"); },
                             "_refln_index_k '2.5' is not an integer"},
                      BadCif{"not_cif", [](std::string) { return std::string("loop_\n_a\n'unterminated\n"); },
                             "not a CIF file"},
                      // Named as a row of the loop, not as a fixed-column record.
                      BadCif{"index_99999999", [](std::string s) { return spoilvalue(s, 0, "99999999"); },
                             ": row 3 of the _refln_ loop: index out of range (at most 16777216 in size)"}),
    [](const ::testing::TestParamInfo<BadCif>& i) { return std::string(i.param.name); });

// A byte-order mark before the CIF text is skipped: the same map as
// without it. A file whose last line has no line end may be cut short: the
// run warns, and goes on.
TEST(CifFile, AByteOrderMarkIsSkippedAndAMissingLastLineEndWarned) {
  const fs::path d = scratch_dir("cif_bom");
  const fs::path src = source_dir() / "examples" / "modulated" / "modulated";
  const std::string inp = slurp(fs::path(src.string() + ".inp"));
  const std::string good = tocif(
      slurp(src.parent_path() / "modulated.hkl"),
      tags({"_refln_index_h", "_refln_index_k", "_refln_index_l", "_refln_index_m_1", "", ""}, false, false), 6, false);
  const std::string job = retarget(inp, (d / "r.cif").string(), (d / "r.den").string(), "cif");
  write_file(d / "r.cif", good);
  const InProcess a = run_inprocess(job);
  ASSERT_EQ(a.status, 0) << a.out;
  const std::string den = slurp(d / "r.den");
  write_file(d / "r.cif", "\xEF\xBB\xBF" + good);
  const InProcess b = run_inprocess(job);
  EXPECT_EQ(b.status, 0) << b.out;
  EXPECT_EQ(slurp(d / "r.den"), den);
  EXPECT_EQ(b.warnings.find("line end"), std::string::npos) << b.warnings;
  ASSERT_EQ(good.back(), '\n');
  write_file(d / "r.cif", good.substr(0, good.size() - 1));
  const InProcess c = run_inprocess(job);
  EXPECT_EQ(c.status, 0) << c.out;
  EXPECT_NE(c.warnings.find("trovan: warning: the CIF reflection file " + (d / "r.cif").string() +
                            " does not end with a line end"),
            std::string::npos)
      << c.warnings;
  fs::remove_all(d);
}

// Values of a box's text file.
std::vector<double> rhovalues(const std::string& text, int* n) {
  std::istringstream in(text);
  std::string word;
  double cell[6];
  in >> word;
  for (double& c : cell) in >> c;
  in >> n[0] >> n[1] >> n[2];
  for (int i = 0; i < 3; ++i) in >> cell[i];
  std::vector<double> v;
  for (double x; in >> x;) v.push_back(x);
  return v;
}

// Every box of a run is kept, as prefix.* and prefix_2.*, and its CCP4 map
// holds the box: the points as counted, the box's edges and angles as the
// cell, the values of the text file. The run's x-t section is drawn with
// a readable internal axis.
TEST(BoxMaps, EveryBoxAsACcp4MapThatGemmiReadsBack) {
  const fs::path d = scratch_dir("ccp4");
  const fs::path src = source_dir() / "examples" / "modulated";
  for (const auto& e : fs::directory_iterator(src)) fs::copy(e.path(), d / e.path().filename());
  std::string inp = slurp(d / "modulated.inp");
  inp.replace(inp.find("ng=1"), 4, "ng=3");
  // A box of physical space through the modulated atom, in Angstrom (the
  // x-t section of the input stays first), then a second box of the cell.
  inp += "iax=3 ipers=1 iaver=0 ismth=0\nxe= 0 0 0 xi= 0 0 0\nu= 4.2 0 0 0 0 0\nv= 0 5 0 0 0 0\nq= 0 0 6.3 0 0 0\n"
         "xmin=0 xmax=1 ymin=0 ymax=1 zmin=0 zmax=1\nxdiv=9 ydiv=11 zdiv=13 hscl=1\n";
  inp += "iax=3 ipers=0 iaver=0 ismth=0\nx= 0 0 0 0.25 0 0\nu= 1 0 0 0 0 0\nv= 0 1 0 0 0 0\nq= 0 0 0 1 0 0\n"
         "xmin=0 xmax=1 ymin=0 ymax=0.5 zmin=0 zmax=1\nxdiv=7 ydiv=4 zdiv=5 hscl=2\n";
  write_file(d / "job.inp", inp);
  // Without CLCMPPATH (whatever another test left): the build-tree program
  // finds its prolog by itself.
  const RunResult r = run_trovan(d, inp, "env -u CLCMPPATH");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  struct Want {
    const char* stem;
    int n[3];
    double cell[6];
  } want[2] = {{"modulated", {9, 11, 13}, {4.2, 5, 6.3, 90, 90, 90}},
               {"modulated_2", {7, 4, 5}, {4.2, 2.5, 0, 90, 90, 90}}};
  for (const Want& w : want) {
    gemmi::Ccp4<float> map;
    ASSERT_NO_THROW(map.read_ccp4_file((d / (std::string(w.stem) + ".ccp4")).string())) << w.stem;
    int n[3];
    const std::vector<double> rho = rhovalues(slurp(d / (std::string(w.stem) + ".rho")), n);
    EXPECT_EQ(map.header_i32(4), 2);
    EXPECT_EQ(map.grid.nu, w.n[0]);
    EXPECT_EQ(map.grid.nv, w.n[1]);
    EXPECT_EQ(map.grid.nw, w.n[2]);
    for (int a = 0; a < 3; ++a) EXPECT_EQ(n[a], w.n[a]);
    const double got[6] = {map.grid.unit_cell.a,     map.grid.unit_cell.b,    map.grid.unit_cell.c,
                           map.grid.unit_cell.alpha, map.grid.unit_cell.beta, map.grid.unit_cell.gamma};
    for (int k = 0; k < 6; ++k)
      if (w.cell[k] > 0) {
        EXPECT_NEAR(got[k], w.cell[k], 1e-4) << w.stem << " cell " << k;
      }
    ASSERT_EQ(rho.size(), map.grid.data.size());
    for (std::size_t i = 0; i < rho.size(); ++i)
      ASSERT_NEAR(map.grid.data[i], rho[i], 1e-5 * std::max(1.0, std::fabs(rho[i]))) << w.stem << " point " << i;
    EXPECT_TRUE(fs::exists(d / (std::string(w.stem) + ".win")));
  }
  EXPECT_TRUE(r.has("box written to modulated_2.win, modulated_2.rho and modulated_2.ccp4")) << r.out;
  // The x-t section of the same run (a = 4.2 A against a t axis of 1 A)
  // draws its internal axis on a scale of its own: the page's drawing is
  // about as high as wide, not a 4:1 strip.
  const std::string eps = slurp(d / "calcomp1_1.eps");
  int bb[4] = {};
  const std::size_t p = eps.find("%%BoundingBox: ");
  ASSERT_NE(p, std::string::npos);
  ASSERT_EQ(std::sscanf(eps.c_str() + p, "%%%%BoundingBox: %d %d %d %d", &bb[0], &bb[1], &bb[2], &bb[3]), 4);
  EXPECT_GT(bb[3] - bb[1], bb[2] - bb[0]) << "map and text below it are lower than wide";
  EXPECT_NE(eps.find("drawn 4.200 times the scale of u"), std::string::npos);
  fs::remove_all(d);
}

// A shipped example's reflections copied to d and its keyword input with
// its drawings replaced by `drawings` (the ng= line and what follows).
std::string example_drawing(const fs::path& d, const std::string& dir, const std::string& name,
                            const std::string& drawings) {
  fs::copy(source_dir() / "examples" / dir / (name + ".hkl"), d / (name + ".hkl"));
  std::string inp = slurp(source_dir() / "examples" / dir / (name + ".inp"));
  inp.erase(inp.find("\nng=") + 1);
  return inp + drawings;
}

// A box whose axes form a left-handed set (u = b, v = a) shows a viewer the
// crystal, not its mirror image: read back in the cell's own axis order,
// its CCP4 map is the map of the right-handed box (u = a, v = b) of the
// same non-centrosymmetric crystal, cell and values.
TEST(BoxMaps, ALeftHandedBoxShowsTheCrystalNotItsMirrorImage) {
  const fs::path d = scratch_dir("handedness");
  const auto box = [](const char* u, const char* v) {
    return std::string("iax=3 ipers=0 iaver=0 ismth=0\nx= 0 0 0 0 0 0\nu= ") + u + "\nv= " + v +
           "\nq= 0 0 1 0 0 0\nxmin=0 xmax=1 ymin=0 ymax=1 zmin=0 zmax=1\nxdiv=8 ydiv=8 zdiv=8 hscl=1\n";
  };
  const RunResult r = run_trovan(d, example_drawing(d, "modulated", "modulated_p1",
                                                    "ng=2\n" + box("1 0 0 0 0 0", "0 1 0 0 0 0") +
                                                        box("0 1 0 0 0 0", "1 0 0 0 0 0")));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  gemmi::Ccp4<float> right, left;
  right.read_ccp4_file((d / "modulated_p1.ccp4").string());
  left.read_ccp4_file((d / "modulated_p1_2.ccp4").string());
  right.setup(NAN);
  left.setup(NAN);
  EXPECT_NEAR(left.grid.unit_cell.a, 4.2, 1e-4);
  EXPECT_NEAR(left.grid.unit_cell.b, 5.0, 1e-4);
  ASSERT_EQ(left.grid.data.size(), right.grid.data.size());
  EXPECT_EQ(left.grid.nu, right.grid.nu);
  EXPECT_EQ(left.grid.nv, right.grid.nv);
  EXPECT_TRUE(left.grid.data == right.grid.data);
  fs::remove_all(d);
}

// A run draws as many pages as it is asked for, each also as its EPS file
// (twelve sections, more than a run may hold files open for at once).
TEST(Pages, EveryPageOfALongRunGetsItsEpsFile) {
  const fs::path d = scratch_dir("manypages");
  const int pages = 12;
  std::string drawings = "ng=" + std::to_string(pages) + "\n";
  for (int k = 0; k < pages; ++k)
    drawings += "iax=2 ipers=0 iaver=1 ismth=0\nx= 0 0 " + std::to_string(k / double(pages)) +
                " 0 0 0\nu= 1 0 0 0 0 0\nv= 0 1 0 0 0 0\ndiv=16 16 hmin=0.05 lf=5\n";
  const RunResult r = run_trovan(d, example_drawing(d, "perovskite", "perovskite", drawings));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::string ps = slurp(d / "calcomp1.ps");
  int n = 0;
  for (std::size_t p = ps.find("%%Page: "); p != std::string::npos; p = ps.find("%%Page: ", p + 1)) ++n;
  EXPECT_EQ(n, pages);
  for (int k = 1; k <= pages; ++k)
    EXPECT_EQ(slurp(d / ("calcomp1_" + std::to_string(k) + ".eps")).rfind("%!PS-Adobe-3.0 EPSF-3.0\n", 0), 0u) << k;
  fs::remove_all(d);
}

// The keyword input from a file named on the command line reads as from
// standard input; --help and --version answer and end.
TEST(CommandLine, FileArgumentEqualsStandardInputAndOptionsAnswer) {
  const fs::path d = scratch_dir("cmdline");
  for (const auto& e : fs::directory_iterator(source_dir() / "examples" / "perovskite"))
    fs::copy(e.path(), d / e.path().filename());
  const std::string exe = std::string("env -u CLCMPPATH '") + TROVAN_EXE + "'";
  const auto sh = [&d](const std::string& cmd) {
    const int rc = std::system(("cd '" + d.string() + "' && " + cmd).c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  };
  ASSERT_EQ(sh(exe + " < perovskite.inp > a.lst 2> a.err"), 0);
  ASSERT_EQ(sh(exe + " perovskite.inp > b.lst 2> b.err"), 0);
  // The listing opens with a header naming the program, its version and
  // the input; after it the two listings are the same.
  const std::string a = slurp(d / "a.lst"), b = slurp(d / "b.lst");
  const auto body = [](const std::string& l) { return l.substr(std::min(l.size(), l.find("hkl-fo-fc file:"))); };
  EXPECT_EQ(a.rfind(std::string("trovan ") + TROVAN_VERSION + ": ", 0), 0u) << a.substr(0, 300);
  EXPECT_NE(a.find("\ninput:     standard input\n"), std::string::npos) << a.substr(0, 300);
  EXPECT_NE(b.find("\ninput:     perovskite.inp\n"), std::string::npos) << b.substr(0, 300);
  EXPECT_LT(a.find("\nthreads:   "), a.find("hkl-fo-fc file:"));
  EXPECT_EQ(body(a), body(b));
  EXPECT_EQ(sh(exe + " --version > v.txt"), 0);
  EXPECT_EQ(slurp(d / "v.txt"), std::string("trovan ") + TROVAN_VERSION + "\n");
  EXPECT_EQ(sh(exe + " --help > h.txt"), 0);
  EXPECT_NE(slurp(d / "h.txt").find("usage: trovan"), std::string::npos);
  EXPECT_NE(slurp(d / "h.txt").find("\nDocumentation: "), std::string::npos) << "--help names the documentation";
  EXPECT_EQ(sh(exe + " nosuch.inp > n.lst 2> n.err"), 1);
  EXPECT_NE(slurp(d / "n.err").find("can't open nosuch.inp"), std::string::npos);
  // A mistake on the command line is one line, not the whole usage.
  EXPECT_EQ(sh(exe + " --frobnicate > n.lst 2> n.err"), 2);
  EXPECT_EQ(slurp(d / "n.err"), "trovan: unknown option --frobnicate; see trovan --help\n");
  EXPECT_EQ(sh(exe + " perovskite.inp --frobnicate > n.lst 2> n.err"), 2);
  EXPECT_NE(slurp(d / "n.err").find("unknown option --frobnicate"), std::string::npos);
  ASSERT_EQ(sh(exe + " -- perovskite.inp > c.lst 2> c.err"), 0);
  EXPECT_EQ(body(slurp(d / "c.lst")), body(a));
  fs::remove_all(d);
}

// `cmake --install` puts the program and its prolog where the program finds
// the prolog without CLCMPPATH; without the prolog a drawing run stops
// before it writes anything, and the page file of the run before stays.
TEST(Installation, InstalledProgramFindsItsPrologAndStopsCleanlyWithout) {
  if (std::system("command -v cmake > /dev/null 2>&1") != 0) GTEST_SKIP() << "cmake is not installed";
  const fs::path d = scratch_dir("install");
  const fs::path build = fs::path(TROVAN_EXE).parent_path();
  const std::string inst = "cmake --install '" + build.string() + "' --prefix '" + (d / "usr").string() + "' > '" +
                           (d / "install.log").string() + "' 2>&1";
  ASSERT_EQ(std::system(inst.c_str()), 0) << slurp(d / "install.log");
  ASSERT_TRUE(fs::exists(d / "usr" / "share" / "trovan" / "gprim.ps"));
  // The documentation, laid out as in the source tree, and the manual page.
  const fs::path doc = d / "usr" / "share" / "doc" / "trovan";
  for (const fs::path& p : {doc / "README.md", doc / "docs" / "guide.md", doc / "docs" / "reference.md",
                            doc / "examples" / "perovskite" / "perovskite.inp", d / "usr" / "share" / "man" / "man1" / "trovan.1"})
    EXPECT_TRUE(fs::is_regular_file(p)) << p;
  // --help of the installed program names that folder, wherever the prefix.
  const std::string help = "'" + (d / "usr" / "bin" / "trovan").string() + "' --help > '" + (d / "help.txt").string() + "'";
  ASSERT_EQ(std::system(help.c_str()), 0);
  EXPECT_NE(slurp(d / "help.txt").find("Documentation: " + doc.string() + "\n"), std::string::npos) << slurp(d / "help.txt");
  const fs::path work = d / "work";
  fs::create_directories(work);
  for (const auto& e : fs::directory_iterator(source_dir() / "examples" / "perovskite"))
    fs::copy(e.path(), work / e.path().filename());
  const auto run = [&](const std::string& tag) {
    const std::string cmd = "cd '" + work.string() + "' && env -u CLCMPPATH '" + (d / "usr" / "bin" / "trovan").string() +
                            "' perovskite.inp > " + tag + ".lst 2> " + tag + ".err";
    const int rc = std::system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  };
  ASSERT_EQ(run("a"), 0) << slurp(work / "a.err");
  EXPECT_EQ(render_png(work / "calcomp1.ps"), 2);
  // Each page also as an EPS file whose bounding box holds the drawing, not
  // the sheet: the map (16 cm) and its text, inside the A4 portrait page.
  for (int page = 1; page <= 2; ++page) {
    const fs::path eps = work / ("calcomp1_" + std::to_string(page) + ".eps");
    const std::string e = slurp(eps);
    ASSERT_EQ(e.rfind("%!PS-Adobe-3.0 EPSF-3.0\n", 0), 0u) << eps;
    int bb[4] = {};
    const std::size_t p = e.find("%%BoundingBox: ");
    ASSERT_NE(p, std::string::npos);
    ASSERT_EQ(std::sscanf(e.c_str() + p, "%%%%BoundingBox: %d %d %d %d", &bb[0], &bb[1], &bb[2], &bb[3]), 4);
    EXPECT_GE(bb[0], 0);
    EXPECT_GT(bb[1], 50) << "the box reaches the foot of the sheet";
    EXPECT_LE(bb[2], 599);
    EXPECT_LE(bb[3], 842);
    EXPECT_GT(bb[2] - bb[0], 16 * 72 / 2.54) << "narrower than the map";
    EXPECT_EQ(e.find("setpagedevice"), std::string::npos);
    EXPECT_EQ(e.find("clippath 1 setgray fill"), std::string::npos) << "an EPS file must not paint the sheet";
    EXPECT_EQ(render_png(eps), 1);
  }
  const std::string pages = slurp(work / "calcomp1.ps"), density = slurp(work / "perovskite.den");
  fs::remove(d / "usr" / "share" / "trovan" / "gprim.ps");
  // A prolog installed on this machine under the configured prefix would
  // still be found; then there is no missing prolog to try.
  for (const std::string& place : trovan::prologplaces())
    if (place.find(TROVAN_SOURCE_DIR) != 0 && fs::is_regular_file(place)) GTEST_SKIP() << "a prolog is installed at " << place;
  fs::remove(work / "perovskite.den");
  EXPECT_EQ(run("b"), 1);
  const std::string err = slurp(work / "b.err");
  EXPECT_NE(err.find("CLCMPPATH"), std::string::npos) << err;
  EXPECT_NE(err.find((d / "usr" / "share" / "trovan" / "gprim.ps").string()), std::string::npos) << err;
  EXPECT_EQ(slurp(work / "calcomp1.ps"), pages);
  EXPECT_FALSE(fs::exists(work / "perovskite.den")) << "the run computed without a prolog to draw with";
  fs::remove_all(d);
}

}  // namespace
