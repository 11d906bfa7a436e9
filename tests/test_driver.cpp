// The whole program on keyword inputs: the fixed order of keys, the echo,
// the file names, the modes, and every documented stop with its status.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <regex>

#include "util/files.hpp"
#include "e2e_support.hpp"

using namespace trovan_test;

namespace {

// A primitive cubic perovskite in the general setting (3-D, grid size 1 on
// the internal axes), with the example's reflection file.
std::string cubic_input(std::map<std::string, std::string> v = {}) {
  auto get = [&](const std::string& k, const std::string& d) {
    auto it = v.find(k);
    return it == v.end() ? d : it->second;
  };
  std::string iplot = get("iplot", "2");
  int ip = std::abs(std::stoi(iplot));
  std::string s;
  s += "file1='" + get("file1", "perovskite.hkl") + "'\n";
  s += "file2='" + get("file2", "perovskite.den") + "'\n";
  s += "title=" + get("title", "'cubic test'") + "\n";
  s += "isys=" + get("isys", "0") + "\n";
  s += "a=3.905 b=3.905 c=3.905 cosa=0 cosb=0 cosc=0\n";
  s += "ndm=0\n";
  s += "nsymo=3 icent=1 brv='p'\n";
  s += "symmetry operator\n-y,x,z,t,u,v\ny,x,-z,t,u,v\nz,x,y,t,u,v\n";
  s += "f000=84.0 sg00=0.0 sg0=0.0 sg1=0.0 fmag=1.0\n";
  s += "jbc=" + get("jbc", "0") + "\n" + get("jbclines", "");
  s += "isetting=3\niseging=0\nv= 0 0 0 1 0 0  0 0 0 0 1 0  0 0 0 0 0 1\n";
  s += "iplot=" + iplot + " hmax=" + get("hmax", "16 16 16 1 1 1") + " pkmin=" + get("pkmin", "5.0");
  if (ip == 5) s += get("rwmin", " rwmin=0.0");
  s += "\n";
  if (ip >= 4) s += "ex1=0.001 ex2=0.0005 nex1=3 nex2=3\n";
  s += "icont=" + get("icont", "0") + "\n";
  s += "qimax=1.8 frmt='" + std::string(ip >= 4 ? "(6i4,4f12.4)" : "(6i4,3f12.4)") + "'\n";
  s += "ldev=0 iwhkl=0 iprj=" + get("iprj", "0") + "\n" + get("hlines", "");
  s += "ng=0\n";
  return s;
}

// The example's reflections; MEM records carry a fourth value, sigma.
void put_reflections(const fs::path& dir, bool with_sigma) {
  std::ifstream in(source_dir() / "examples/perovskite/perovskite.hkl");
  std::ofstream out(dir / "perovskite.hkl");
  std::string line;
  while (std::getline(in, line)) {
    out << line;
    if (with_sigma) out << "      1.00";
    out << '\n';
  }
}

RunResult run_cubic(const std::string& name, std::map<std::string, std::string> v = {}) {
  fs::path dir = scratch_dir(name);
  int ip = std::abs(std::stoi(v.count("iplot") ? v["iplot"] : "2"));
  put_reflections(dir, ip >= 4);
  return run_trovan(dir, cubic_input(v));
}

// A built-in quasicrystal setting with the identity as its only operator.
std::string quasi_input(int isys, const std::string& extra_isys = "") {
  std::string s;
  s += "file1='qc.hkl'\nfile2='out/qc.den'\ntitle='quasicrystal test'\n";
  s += "isys=" + std::to_string(isys) + " a=5.12" + extra_isys + "\n";
  s += "nsymo=0 icent=0 brv='p'\nsymmetry operator\n";
  s += "f000=100 sg00=0 sg0=0 sg1=0 fmag=2\njbc=0\n";
  s += std::string("iplot=2 hmax=") + (isys > 2 ? "6 6 6 6 6 1" : "6 6 6 6 6 6") + " ismtr=0 pkmin=1\n";
  s += std::string("icont=0\nqimax=10 frmt='") + (isys > 2 ? "(5i4,3f10.2)" : "(6i4,3f10.2)") +
       "'\nldev=0 iwhkl=0 iprj=0\nng=0\n";
  return s;
}

RunResult run_quasi(const std::string& name, int isys, const std::string& extra = "") {
  fs::path dir = scratch_dir(name);
  fs::create_directories(dir / "out");
  // Records hold as many indices as the superspace has dimensions.
  if (isys > 2)
    write_file(dir / "qc.hkl",
               "   1   0   0   0   0     10.00     10.00      0.00\n"
               "   1   1   0   0   0      5.00      5.00    180.00\n");
  else
    write_file(dir / "qc.hkl",
               "   1   0   0   0   0   0     10.00     10.00      0.00\n"
               "   1   1   0   0   0   0      5.00      5.00    180.00\n");
  return run_trovan(dir, quasi_input(isys, extra));
}

TEST(Driver, FourierRunEchoesEverySettingInOrder) {
  RunResult r = run_cubic("fourier");
  EXPECT_EQ(r.status, 0) << r.out;
  const char* lines[] = {"hkl-fo-fc file:perovskite.hkl",
                         "density file:perovskite.den",
                         "flnm3=perovskite.win,flnm4=perovskite.rho",
                         "cubic test",
                         "isys=  0",
                         "f000=84 sg00=0 sg0=0 sg1=0 fmag=1",
                         "jbc=  0",
                         "iplot=  2 hmax=  16  16  16   1   1   1",
                         " pkmin=5",
                         "icont=  0",
                         "qimax=1.8 frmt=(6i4,3f12.4)",
                         "ldev=  0 iwhkl=  0 iprj=  0",
                         "dmin=",
                         "dmax="};
  std::size_t pos = 0;
  for (const char* l : lines) {
    std::size_t p = r.out.find(l, pos);
    EXPECT_NE(p, std::string::npos) << "missing or out of order: " << l << "\n" << r.out;
    if (p != std::string::npos) pos = p;
  }
  EXPECT_FALSE(r.has("ismtr=")) << "isys 0 has no ismtr";
  EXPECT_FALSE(r.has("rwmin=")) << "not a MEM run";
  EXPECT_FALSE(r.has("ex1=")) << "not a MEM run";
}

TEST(Driver, BuiltInSettingsReadAAndC) {
  RunResult r2 = run_quasi("isys2", 2);
  EXPECT_EQ(r2.status, 0) << r2.out;
  EXPECT_TRUE(r2.has("isys=  2 a=5.12\n")) << r2.out;
  EXPECT_TRUE(r2.has("ismtr=  0")) << r2.out;
  EXPECT_TRUE(r2.has("flnm3=out/qc.win,flnm4=out/qc.rho")) << r2.out;

  RunResult r3 = run_quasi("isys3", 3, " c=4.1");
  EXPECT_EQ(r3.status, 0) << r3.out;
  EXPECT_TRUE(r3.has("isys=  3 a=5.12 c=4.1")) << r3.out;

  // isys 3 needs its second constant.
  RunResult r3b = run_quasi("isys3b", 3);
  EXPECT_EQ(r3b.status, 2);
  EXPECT_TRUE(r3b.has("c= not found")) << r3b.out;
}

struct StopCase {
  const char* name;
  std::map<std::string, std::string> values;
  std::vector<std::string> lines;  // expected in the listing
  int status;
  std::vector<std::string> absent = {};  // not in the listing
};

// Runs of the cubic job with a value changed: the runs that end, with what
// their listings echo, and the documented stops.
TEST(Driver, CubicRunsEndOrStopAsDocumented) {
  const StopCase cases[] = {
      // Patterson and difference maps end like Fourier maps.
      {"mode1", {{"iplot", "1"}}, {"dmax="}, 0},
      {"mode3", {{"iplot", "3"}}, {"dmax="}, 0},
      {"mode-2", {{"iplot", "-2"}}, {"dmax="}, 0},
      // MEM runs read their step controls, and rwmin= for iplot 5 only,
      // where the key is required.
      {"mem4", {{"iplot", "4"}}, {"ex1=0.001 ex2=0.0005 nex1=    3 nex2=    3"}, 0, {"rwmin="}},
      {"mem5", {{"iplot", "-5"}, {"rwmin", " rwmin=0.02"}}, {"rwmin=0.02"}, 0},
      {"mem5b", {{"iplot", "-5"}, {"rwmin", ""}}, {"rwmin= not found"}, 2},
      // Projection vectors are read and echoed; one "h=" line too few stops.
      {"iprj2",
       {{"iprj", "2"}, {"hlines", "h=0 0 1 0 0 0\nh=1,-1,0,0,0,0\n"}},
       {"iprj=  2", "h=  0  0  1  0  0  0\n", "h=  1 -1  0  0  0  0\n"},
       0},
      {"iprj2b", {{"iprj", "2"}, {"hlines", "h=0 0 1 0 0 0\n"}}, {"h= not found"}, 2},
      {"pkmin0", {{"pkmin", "0"}}, {" pkmin should be positive"}, 2},
      {"pkminneg", {{"pkmin", "-1.5"}}, {" pkmin should be positive"}, 2},
      {"iplot0", {{"iplot", "0"}}, {" do not support iplot=0"}, 2},
      {"ntbig", {{"hmax", "1000 1000 1000 1 1 1"}}, {"nt=1000000000", " nts=536870911", " nt > nts"}, 2},
      {"nthuge", {{"hmax", "100000 100000 100000 100000 100000 100000"}}, {" nt > nts"}, 2},
      {"icont2", {{"icont", "2"}}, {"icont=2", " icont should be 0 or 1"}, 2},
      {"iprj7", {{"iprj", "7"}}, {"iprj should be 0 to 6"}, 2},
      {"iprjneg", {{"iprj", "-1"}}, {"iprj should be 0 to 6"}, 2},
      {"hmax0", {{"hmax", "16 0 16 1 1 1"}}, {"hmax should be positive"}, 2},
      {"hmaxshort", {{"hmax", "16 16 16"}}, {"value of hmax= not fund"}, 2},
      {"hmaxtext", {{"hmax", "16 16 x 1 1 1"}}, {"value of hmax= can not be read: x"}, 2},
      {"nodir", {{"file2", "no/such/dir/map.den"}}, {"can't open no/such/dir/map.den"}, 1},
      {"nohkl", {{"file1", "missing.hkl"}}, {"can't open missing.hkl"}, 1},
      {"longname", {{"file2", std::string(81, 'n') + ".den"}}, {"longer than 80 characters"}, 2},
      // The keyword reader: a value that is not a number, a string without its end.
      {"isystext", {{"isys", "two"}}, {"isys=", "two"}, 2},
      {"noquote", {{"title", "'cubic test"}}, {"value of title= not fund"}, 2},
  };
  for (const StopCase& c : cases) {
    RunResult r = run_cubic(c.name, c.values);
    EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.out;
    for (const std::string& l : c.lines) EXPECT_TRUE(r.has(l)) << c.name << ": " << l << "\n" << r.out;
    for (const std::string& l : c.absent) EXPECT_FALSE(r.has(l)) << c.name << ": " << l << "\n" << r.out;
  }
}

// Memory, not a fixed table, limits the grid: under a batch queue's limit on
// the address space the program starts, and a grid too large for the limit
// stops before it allocates, saying what it needs (status 3). The sanitizers
// reserve terabytes of address space and cannot run under such a limit.
#if !defined(__SANITIZE_ADDRESS__)
TEST(Driver, GridLargerThanTheMemoryLimitStopsWithItsNeed) {
  fs::path dir = scratch_dir("memlimit");
  put_reflections(dir, false);
  const std::string limit = "ulimit -v 400000 &&";
  const std::string version = "ulimit -v 100000 && '" + std::string(TROVAN_EXE) + "' --version > /dev/null";
  EXPECT_EQ(std::system(version.c_str()), 0);

  RunResult small = run_trovan(dir, cubic_input(), limit);
  EXPECT_EQ(small.status, 0) << small.out;
  // The shipped perovskite example, drawings and boxes included.
  const fs::path ex = source_dir() / "examples" / "perovskite";
  fs::copy_file(ex / "perovskite.hkl", dir / "perovskite.hkl", fs::copy_options::overwrite_existing);
  std::ifstream inp(ex / "perovskite.inp");
  const std::string perovskite((std::istreambuf_iterator<char>(inp)), std::istreambuf_iterator<char>());
  RunResult example = run_trovan(dir, perovskite, limit);
  EXPECT_EQ(example.status, 0) << example.out << example.err;
  // 300^3 points need about 720 MiB.
  RunResult big = run_trovan(dir, cubic_input({{"hmax", "300 300 300 1 1 1"}}), limit);
  EXPECT_EQ(big.status, 3) << big.out;
  EXPECT_NE(big.err.find("the grid of 27000000 points needs about 721 MiB;"), std::string::npos) << big.err;
}
#endif

TEST(Driver, NtAtTheLimitIsAccepted) {
  // 256 x 256 x 256 = 2^24 exactly: the largest grid the tables hold.
  fs::path dir = scratch_dir("ntlimit");
  put_reflections(dir, false);
  std::string in = cubic_input({{"hmax", "256 256 256 1 1 1"}, {"icont", "2"}});
  RunResult r = run_trovan(dir, in);
  EXPECT_FALSE(r.has("nt > nts")) << r.out;
}

TEST(Driver, IsmtrMustBeMultipleOfThreeForPrimitiveIcosahedral) {
  fs::path dir = scratch_dir("ismtr");
  std::string in = quasi_input(2);
  in.replace(in.find("ismtr=0"), 7, "ismtr=1");
  RunResult r = run_trovan(dir, in);
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.has(" ismtr must be 3*n for brv=p isys=1,2")) << r.out;
}

TEST(Driver, AnEmptyInputStopsAtItsFirstKey) {
  RunResult empty = run_trovan(scratch_dir("reader"), "");
  EXPECT_EQ(empty.status, 2);
  EXPECT_TRUE(empty.has("file1= not found")) << empty.out;
}

TEST(Driver, InputTruncatedAtEveryLineStopsCleanly) {
  fs::path dir = scratch_dir("truncated");
  put_reflections(dir, false);
  std::string in = cubic_input();
  std::size_t pos = 0;
  int n = 0;
  while ((pos = in.find('\n', pos)) != std::string::npos) {
    ++pos;
    if (pos >= in.size() - 5) break;  // the last line ("ng=0") is read by the drawing
    RunResult r = run_trovan(dir, in.substr(0, pos));
    EXPECT_EQ(r.status, 2) << "cut after line " << ++n << "\n" << r.out;
    EXPECT_TRUE(r.has(" not found")) << r.out;
  }
}

TEST(Driver, PrintOnlyJobEndsWithSuccess) {
  std::string s = "s1=1 0 0 0 1 0 0 0 1\ns2=1 0 0 0 1 0 0 0 1\ns3=0 0 0 0 0 0 0 0 0\n"
                  "s4=0 0 0 0 0 0 0 0 0\n";
  RunResult r = run_cubic("jbcm1", {{"jbc", "-1"}, {"jbclines", ""}});
  // jbc -1 needs the s-lines after the setting lines; without them it stops.
  EXPECT_EQ(r.status, 2) << r.out;
  fs::path dir = scratch_dir("jbcm1b");
  put_reflections(dir, false);
  std::string in = cubic_input({{"jbc", "-1"}});
  in.replace(in.find("iplot="), 0, s);
  RunResult ok = run_trovan(dir, in);
  EXPECT_EQ(ok.status, 0) << ok.out;
  EXPECT_FALSE(ok.has("iplot=")) << "the job ends after the transformation";
}

TEST(Driver, CheckingTheDensityFileNameLeavesAnExistingFileAlone) {
  fs::path dir = scratch_dir("keepden");
  put_reflections(dir, false);
  write_file(dir / "perovskite.den", "previous density");
  // icont=2 stops after the density file name was checked.
  RunResult r = run_trovan(dir, cubic_input({{"icont", "2"}}));
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_EQ(slurp(dir / "perovskite.den"), "previous density");
  // A missing density file is not left behind as an empty file by the check.
  fs::path dir2 = scratch_dir("noden");
  put_reflections(dir2, false);
  run_trovan(dir2, cubic_input({{"icont", "2"}}));
  EXPECT_FALSE(fs::exists(dir2 / "perovskite.den"));
}

TEST(FileNames, PrefixOfTheDensityFile) {
  EXPECT_EQ(trovan::getflnmprfx("out/map.d"), "out/map");
  EXPECT_EQ(trovan::getflnmprfx("map"), "map");
  EXPECT_EQ(trovan::getflnmprfx("map.v2.den   "), "map.v2");
  // A point in a directory name is not an extension.
  EXPECT_EQ(trovan::getflnmprfx("run.1/map"), "run.1/map");
  EXPECT_EQ(trovan::getflnmprfx("../map"), "../map");
}

}  // namespace
