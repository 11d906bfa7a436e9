// Malformed user files given to the whole program: every one must stop the
// run with one clear line and its status (2 for bad input, 1 for a file that
// cannot be opened or written), never crash, hang or run on with a value
// it could not read.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "e2e_support.hpp"

using namespace trovan_test;

namespace {

// One input line as its items; an item is "key=value ..." or plain text.
using Line = std::vector<std::string>;

// A maximum-entropy run in a modulated general setting that uses every key
// a run can read: cell, a wave vector, the transformation lines of jbc -2,
// rwmin (iplot -5), the MEM step line and a projection vector.
std::vector<Line> full_input() {
  return {
      {"file1='m.hkl'"},
      {"file2='m.den'"},
      {"title='malformed input test'"},
      {"isys=0"},
      {"a=3.905", "b=3.905", "c=3.905", "cosa=0", "cosb=0", "cosc=0"},
      {"ndm=1"},
      {"k=0.3 0 0.5"},
      {"nsymo=1", "icent=0", "brv='p'"},
      {"symmetry operator"},
      {"-x,-y,-z,-t,u,v"},
      {"f000=84.0", "sg00=0.0", "sg0=0.0", "sg1=0.0", "fmag=1.0"},
      {"jbc=-2"},
      {"isetting=3"},
      {"iseging=0"},
      {"v= 0 0 0 1 0 0  0 0 0 0 1 0  0 0 0 0 0 1"},
      {"s1=1 0 0 0 1 0 0 0 1"},
      {"s2=1 0 0 0 1 0 0 0 1"},
      {"s3=0 0 0 0 0 0 0 0 0"},
      {"s4=0 0 0 0 0 0 0 0 0"},
      {"t1=1 0 0 0 1 0 0 0 1"},
      {"t2=1 0 0 0 1 0 0 0 1"},
      {"t3=0 0 0 0 0 0 0 0 0"},
      {"t4=0 0 0 0 0 0 0 0 0"},
      {"iplot=-5", "hmax=8 8 8 4 1 1", "pkmin=5.0", "rwmin=0.0"},
      {"ex1=0.001", "ex2=0.0005", "nex1=2", "nex2=2"},
      {"icont=0"},
      {"qimax=1.8", "frmt='(6i4,4f10.2)'"},
      {"ldev=0", "iwhkl=0", "iprj=1"},
      {"h=0 0 0 0 1 0"},
      {"ng=0"},
  };
}

std::string text_of(const std::vector<Line>& lines) {
  std::string s;
  for (const Line& l : lines) {
    for (std::size_t i = 0; i < l.size(); ++i) s += (i ? " " : "") + l[i];
    s += '\n';
  }
  return s;
}

// The key of an item ("hmax=" of "hmax=8 8 8"), or "" for plain text.
std::string key_of(const std::string& item) {
  std::size_t e = item.find('=');
  return e == std::string::npos ? "" : item.substr(0, e + 1);
}

fs::path job_dir(const std::string& name) {
  fs::path d = scratch_dir("malformed_" + name);
  std::ofstream h(d / "m.hkl");
  h << "   1   0   0   0   0   0      7.93      7.93      0.00      1.00\n"
       "   1   1   0   0   0   0     51.15     51.15      0.00      1.00\n"
       "   1   1   1   0   0   0     39.03     39.03      0.00      1.00\n"
       "   2   0   0   0   0   0     81.29     81.29      0.00      1.00\n"
       "   2   0   0   1   0   0      3.10      3.10    180.00      1.00\n";
  return d;
}

// The last line of the listing: the reason of the stop.
std::string last_line(const RunResult& r) {
  std::string s = r.out;
  while (!s.empty() && s.back() == '\n') s.pop_back();
  std::size_t nl = s.rfind('\n');
  return nl == std::string::npos ? s : s.substr(nl + 1);
}

// The line before the final " " of a fail(): the message itself.
std::string reason(const RunResult& r) {
  std::string s = r.out;
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  std::size_t nl = s.rfind('\n');
  return nl == std::string::npos ? s : s.substr(nl + 1);
}

TEST(Malformed, TheFullInputRuns) {
  RunResult r = run_trovan(job_dir("full"), text_of(full_input()));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(r.has("dmax=")) << r.out;
}

// Each key left out in turn stops the run at that key. A key that is also
// the tail of a later key on its line ("a=" of "cosa=", "ex1=" of "nex1=")
// is then found there; the run stops on the key that comes up missing next.
TEST(Malformed, EachKeyMissing) {
  const std::vector<Line> full = full_input();
  std::vector<std::string> keys;
  for (const Line& l : full)
    for (const std::string& it : l) keys.push_back(key_of(it));
  fs::path dir = job_dir("missing");
  int cases = 0;
  for (std::size_t li = 0; li < full.size(); ++li)
    for (std::size_t ii = 0; ii < full[li].size(); ++ii) {
      const std::string key = key_of(full[li][ii]);
      if (key.empty() || key == "ng=") continue;  // the drawing lines are not the driver's
      std::vector<Line> in = full;
      in[li][ii] = "";
      RunResult r = run_trovan(dir, text_of(in));
      ++cases;
      EXPECT_EQ(r.status, 2) << "without " << key << "\n" << r.out;
      bool tail = false;
      for (const std::string& k : keys) tail = tail || (k != key && k.find(key) != std::string::npos);
      if (tail)
        EXPECT_TRUE(r.has(" not found")) << key << "\n" << r.out;
      else
        EXPECT_EQ(reason(r), key + " not found") << r.out;
    }
  EXPECT_EQ(cases, 47);  // every key of the input but "ng="
}

// The input cut after every line: the run stops at the first line that is
// not there, naming its first key.
TEST(Malformed, TruncatedAtEveryLine) {
  const std::vector<Line> full = full_input();
  fs::path dir = job_dir("truncated");
  for (std::size_t n = 0; n + 1 < full.size(); ++n) {  // the last line is the drawing's
    std::vector<Line> in(full.begin(), full.begin() + static_cast<long>(n));
    std::string key = key_of(full[n][0]);
    if (key.empty()) key = "symmetry operator";  // the operator lines and their heading
    RunResult r = run_trovan(dir, text_of(in));
    EXPECT_EQ(r.status, 2) << "cut after line " << n << "\n" << r.out;
    EXPECT_EQ(reason(r), key + " not found") << "cut after line " << n << "\n" << r.out;
  }
}

// A line left out entirely: the operator lines and the "symmetry operator"
// line have no key of their own.
TEST(Malformed, OperatorLinesMissing) {
  std::vector<Line> in = full_input();
  in.erase(in.begin() + 9);  // the one operator line: "f000=" is read in its place
  RunResult r = run_trovan(job_dir("noop"), text_of(in));
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_EQ(last_line(r), " incorrect symmetry operation") << r.out;

  in = full_input();
  in.erase(in.begin() + 8);
  RunResult r2 = run_trovan(job_dir("nosymline"), text_of(in));
  EXPECT_EQ(r2.status, 2);
  EXPECT_EQ(reason(r2), "symmetry operator not found") << r2.out;
}

// Every numeric value in turn replaced by text: the run names the key and
// the text it could not read.
TEST(Malformed, NonNumericValues) {
  const std::vector<Line> full = full_input();
  fs::path dir = job_dir("nonnum");
  int cases = 0;
  for (std::size_t li = 0; li < full.size(); ++li)
    for (std::size_t ii = 0; ii < full[li].size(); ++ii) {
      const std::string item = full[li][ii];
      const std::string key = key_of(item);
      if (key.empty() || key == "ng=" || item.find('\'') != std::string::npos) continue;
      for (const char* bad : {"1x", "one", "1..2", "--1"}) {
        std::vector<Line> in = full;
        std::string rest = item.substr(key.size());
        std::size_t sp = rest.find_first_not_of(' ');
        std::size_t end = rest.find(' ', sp);
        in[li][ii] = key + rest.substr(0, sp) + bad + (end == std::string::npos ? "" : rest.substr(end));
        RunResult r = run_trovan(dir, text_of(in));
        ++cases;
        EXPECT_EQ(r.status, 2) << in[li][ii] << "\n" << r.out;
        EXPECT_EQ(reason(r), "value of " + key + " can not be read: " + bad) << r.out;
      }
    }
  EXPECT_GE(cases, 150);
}

TEST(Malformed, IntegerKeysRefuseReals) {
  std::vector<Line> in = full_input();
  in[23][0] = "iplot=2.0";
  RunResult r = run_trovan(job_dir("intreal"), text_of(in));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(reason(r), "value of iplot= can not be read: 2.0") << r.out;
}

TEST(Malformed, OverlongLinesAndNames) {
  // Lines are read to column 256: a key beyond it is not on the line.
  std::vector<Line> in = full_input();
  in[23] = {"iplot=-5" + std::string(250, ' '), "hmax=8 8 8 4 1 1", "pkmin=5.0", "rwmin=0.0"};
  RunResult r = run_trovan(job_dir("longline"), text_of(in));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(reason(r), "hmax= not found") << r.out;

  // A value cut by column 256 lacks its last items.
  in = full_input();
  in[14] = {std::string(220, ' ') + "v= 0 0 0 1 0 0  0 0 0 0 1 0  0 0 0 0 0 1"};
  r = run_trovan(job_dir("longvalue"), text_of(in));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(reason(r), "value of v= not fund") << r.out;

  // File names of more than 80 characters are refused, not cut.
  for (const char* key : {"file1=", "file2="}) {
    in = full_input();
    in[key[4] == '1' ? 0 : 1] = {std::string(key) + "'" + std::string(77, 'n') + ".den'"};
    r = run_trovan(job_dir("longname"), text_of(in));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(last_line(r), " " + std::string(key) + " file name longer than 80 characters: " +
                                std::string(77, 'n') + ".den")
        << r.out;
  }
  // So is a format of more than 40.
  in = full_input();
  in[26][1] = "frmt='(6i4," + std::string(30, ' ') + "4f10.2)'";
  r = run_trovan(job_dir("longfrmt"), text_of(in));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(last_line(r).find(" frmt= format longer than 40 characters"), std::string::npos) << r.out;
}

TEST(Malformed, HmaxOutOfRange) {
  struct Case {
    const char* hmax;
    const char* reason;
  } cases[] = {
      {"8 -3 8 4 1 1", " hmax should be positive: hmax(2)=-3"},
      {"8 8 8 -2147483648 1 1", " hmax should be positive: hmax(4)=-2147483648"},
      {"8 8 8 4 0 1", " hmax should be positive: hmax(5)=0"},
      {"2147483647 8 8 4 1 1", " nt > nts"},
      {"2147483647 2147483647 2147483647 2147483647 2147483647 2147483647", " nt > nts"},
      {"8 8 8 4 1 2147483648", ""},
  };
  for (const Case& c : cases) {
    std::vector<Line> in = full_input();
    in[23][1] = std::string("hmax=") + c.hmax;
    RunResult r = run_trovan(job_dir("hmax"), text_of(in));
    EXPECT_EQ(r.status, 2) << c.hmax << "\n" << r.out;
    if (*c.reason)
      EXPECT_EQ(last_line(r), c.reason) << r.out;
    else
      EXPECT_EQ(reason(r), "value of hmax= can not be read: 2147483648") << r.out;
  }
}

// Symmetry: the generator lines as users mistype them.
TEST(Malformed, SymmetryOperators) {
  struct Case {
    std::vector<std::string> ops;
    const char* stop;   // last line
    const char* why;    // a line before it
  } cases[] = {
      {{"-x,-y,-z,-t,u v"}, " incorrect symmetry operation", "a comma is missing"},
      {{"-x,-y,-z,-t,u,w"}, " incorrect symmetry operation", "the character 'w' is not allowed"},
      {{"-X,-Y,-Z,-T,U,V"}, " incorrect symmetry operation", "the character 'X' is not allowed"},
      {{"-x,-y,-z+0.5,-t,u,v"}, " incorrect symmetry operation", "the character '.' is not allowed"},
      {{"-x,-y,-z,-t,u,v ! inversion"}, " incorrect symmetry operation", "the character '!' is not allowed"},
      {{"-x,-y,-z,-t,u,v,x"}, " incorrect symmetry operation", "more than 6 fields"},
      {{"-x,-y,-2z,-t,u,v"}, " incorrect symmetry operation", "a coefficient before a letter"},
      {{"-x,-y,-z-z,-t,u,v"}, " incorrect symmetry operation", "the letter z stands twice"},
      {{"-x,-y,-z+1/0,-t,u,v"}, " incorrect symmetry operation", "denominator 0"},
      {{"-x,-y,-z+1/,-t,u,v"}, " incorrect symmetry operation", "digits on both sides"},
      {{"-x,-y,-z,-t,u,v" + std::string(240, ' ') + "x"}, " incorrect symmetry operation",
       "longer than 255 characters"},
      // A shear: no power of it is the identity.
      {{"x+y,y,z,t,u,v"}, " symmetry operator1 has no finite order", "error in symmetry operator ?"},
      // A singular rotation.
      {{"x,x,z,t,u,v"}, " symmetry operator1 has no finite order", "error in symmetry operator ?"},
  };
  for (const Case& c : cases) {
    std::vector<Line> in = full_input();
    in[9] = {c.ops[0]};
    RunResult r = run_trovan(job_dir("symop"), text_of(in));
    EXPECT_EQ(r.status, 2) << c.ops[0] << "\n" << r.out;
    EXPECT_EQ(last_line(r), c.stop) << r.out;
    EXPECT_TRUE(r.has(c.why)) << c.why << "\n" << r.out;
  }
}

TEST(Malformed, GeneratorAndOperatorLimits) {
  // Thirteen generating elements: refused before any of them is read.
  std::vector<Line> in = full_input();
  in[7] = {"nsymo=13", "icent=0", "brv='p'"};
  RunResult r = run_trovan(job_dir("six"), text_of(in));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(last_line(r), " more than 12 generating elements") << r.out;

  // m-3m and two internal mirrors, 192 operators: more than the 60 the table holds.
  in = full_input();
  in[7] = {"nsymo=5", "icent=0", "brv='p'"};
  in[9] = {"-y,x,z,t,u,v"};
  in.insert(in.begin() + 10, {{"z,x,y,t,u,v"}, {"x,y,-z,t,u,v"}, {"x,y,z,-t,u,v"}, {"x,y,z,t,-u,v"}});
  r = run_trovan(job_dir("ops"), text_of(in));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(last_line(r), " more than 60 symmetry operators") << r.out;

  in = full_input();
  in[7] = {"nsymo=-1", "icent=0", "brv='p'"};
  r = run_trovan(job_dir("negops"), text_of(in));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(last_line(r), " nsymo should not be negative") << r.out;
}

// A centring letter the system does not have, and a phase sign other than
// +1 or -1, stop the run before the reflections are read.
TEST(Malformed, CentringLetterAndPhaseSign) {
  std::vector<Line> in = full_input();
  in[7] = {"nsymo=1", "icent=0", "brv='s'"};
  RunResult r = run_trovan(job_dir("brvs"), text_of(in));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(last_line(r), " invalid brv") << r.out;
  EXPECT_TRUE(r.has("brv='s' is no centring of isys=0: use p, a, b, c, i, f, r")) << r.out;

  in = full_input();
  in[26] = {"qimax=1.8", "frmt='(6i4,4f10.2)'", "phsign=2"};
  r = run_trovan(job_dir("phsign"), text_of(in));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(last_line(r), " phsign should be 1 or -1: phsign=2") << r.out;
  EXPECT_FALSE(r.has("number of reflections used")) << r.out;
}

TEST(Malformed, ReflectionRecordsWithLetters) {
  struct Case {
    const char* record;
    const char* text;
  } cases[] = {
      {"   1   a   0   0   0   0      7.93      7.93      0.00      1.00", "'   a'"},
      {"   1   0   0   0   0   0      7.9x      7.93      0.00      1.00", "'      7.9x'"},
      {"   1   0   0   0   0   0      7.93      7.93      O.00      1.00", "'      O.00'"},
  };
  for (const Case& c : cases) {
    fs::path dir = job_dir("hklletters");
    write_file(dir / "m.hkl", "   2   0   0   0   0   0     81.29     81.29      0.00      1.00\n" +
                                  std::string(c.record) + "\n");
    RunResult r = run_trovan(dir, text_of(full_input()));
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_EQ(last_line(r).rfind(" record 2 (line 2): ", 0), 0u) << r.out;
    EXPECT_NE(last_line(r).find(c.text), std::string::npos) << r.out;
  }
}

TEST(Malformed, ReflectionIndicesBeyondAnyGrid) {
  fs::path dir = job_dir("hklindex");
  write_file(dir / "m.hkl",
             "         1         0         0         0         0         0      7.93      7.93      0.00      1.00\n"
             "         1  16777217         0         0         0         0      7.93      7.93      0.00      1.00\n");
  std::vector<Line> in = full_input();
  in[26][1] = "frmt='(6i10,4f10.2)'";
  RunResult r = run_trovan(dir, text_of(in));
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_EQ(last_line(r).rfind(" record 2: index out of range (at most 16777216 in size)", 0), 0u) << r.out;
}

// The superstructure multiplier of the built-in settings.
TEST(Malformed, SuperstructureStepsAreBounded) {
  for (const char* v : {"13", "-13", "-2147483648", "2147483647"}) {
    std::string in =
        "file1='m.hkl'\nfile2='m.den'\ntitle='t'\nisys=2 a=5.12\nnsymo=0 icent=0 brv='p'\n"
        "symmetry operator\nf000=100 sg00=0 sg0=0 sg1=0 fmag=1\njbc=0\n"
        "iplot=2 hmax=6 6 6 6 6 6 ismtr=" + std::string(v) +
        " pkmin=1\nicont=0\nqimax=10 frmt='(6i4,3f10.2)'\nldev=0 iwhkl=0 iprj=0\nng=0\n";
    RunResult r = run_trovan(job_dir("ismtr"), in);
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_EQ(last_line(r), std::string(" ismtr should be -12 to 12: ismtr=") + v) << r.out;
  }
}

// 45001 records of one reflection: the table takes them all (it grows with
// the file), and the copies are merged into one with a warning.
TEST(Malformed, ReflectionFileOf45001CopiesOfOneRecord) {
  fs::path dir = job_dir("hkl45001");
  std::string rec = "   1   0   0   0   0   0      7.93      7.93      0.00      1.00\n";
  std::string all;
  all.reserve(rec.size() * 45001);
  for (int i = 0; i < 45001; ++i) all += rec;
  write_file(dir / "m.hkl", all);
  RunResult r = run_trovan(dir, text_of(full_input()));
  EXPECT_EQ(r.status, 0) << last_line(r);
  EXPECT_TRUE(r.has(" warning:    45001 symmetry-equivalent records merged into        1 reflections;"
                    " largest disagreement       0.00 in Fo at   1   0   0   0   0   0,    0.0 degrees in phase"))
      << r.out.substr(r.out.size() > 3000 ? r.out.size() - 3000 : 0);
}

TEST(Malformed, ReflectionFileThatIsADirectory) {
  fs::path dir = job_dir("hkldir");
  fs::create_directories(dir / "sub.hkl");
  std::vector<Line> in = full_input();
  in[0] = {"file1='sub.hkl'"};
  RunResult r = run_trovan(dir, text_of(in));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(last_line(r), "can't open sub.hkl") << r.out;
}

// A continuation run (icont = 1) reads the density file of an earlier run
// of the same grid; anything else stops it naming the file.
TEST(Malformed, DensityFilesAContinuationRunRefuses) {
  std::vector<Line> first = full_input();
  first[23] = {"iplot=2", "hmax=8 8 8 4 1 1", "pkmin=5.0"};
  first.erase(first.begin() + 24);  // no MEM line
  first[25][1] = "frmt='(6i4,3f10.2)'";
  fs::path dir = job_dir("dencont");
  RunResult r0 = run_trovan(dir, text_of(first));
  ASSERT_EQ(r0.status, 0) << r0.out;
  const std::string good = slurp(dir / "m.den");
  ASSERT_EQ(good.size(), 4u * 8 * 8 * 8 * 4 + 8);

  std::vector<Line> cont = first;
  cont[24] = {"icont=1"};
  RunResult ok = run_trovan(dir, text_of(cont));
  EXPECT_EQ(ok.status, 0) << ok.out;

  std::string bad_head = good, bad_tail = good;
  bad_head[0] = 1;
  bad_tail[good.size() - 2] = 9;
  struct Case {
    std::string bytes;
    std::string found;
  } cases[] = {
      {good.substr(0, good.size() / 2), "bytes of values"},
      {good.substr(0, good.size() - 4), "no trailing marker"},
      {good.substr(0, 3), "an empty or short file"},
      {"", "an empty or short file"},
      {bad_head, "a leading marker of 8193"},
      {bad_tail, "a trailing marker of"},
      {good + good, "more bytes after the record"},
  };
  for (const Case& c : cases) {
    write_file(dir / "m.den", c.bytes);
    RunResult r = run_trovan(dir, text_of(cont));
    EXPECT_EQ(r.status, 2) << c.found << "\n" << r.out;
    EXPECT_EQ(last_line(r).rfind(" density file m.den does not hold this grid: expected a record of 8192 bytes", 0),
              0u)
        << r.out;
    EXPECT_NE(last_line(r).find(c.found), std::string::npos) << r.out;
  }

  // The same file read with another grid.
  write_file(dir / "m.den", good);
  cont[23][1] = "hmax=8 8 8 2 1 1";
  RunResult other = run_trovan(dir, text_of(cont));
  EXPECT_EQ(other.status, 2);
  EXPECT_NE(last_line(other).find("found a leading marker of 8192"), std::string::npos) << other.out;
}

// Output where no file can be: under a missing directory, or under a path
// whose "directory" is a regular file (the tests may run as root, for whom
// permission bits do not stop a write).
TEST(Malformed, DensityFileInAMissingOrUnwritableDirectory) {
  for (const char* name : {"nodir/m.den", "plain.txt/m.den", "plain.txt"}) {
    fs::path dir = job_dir("unwritable");
    write_file(dir / "plain.txt", "a regular file");
    fs::create_directories(dir / "adir");
    std::vector<Line> in = full_input();
    in[1] = {std::string("file2='") + name + "'"};
    if (std::string(name) == "plain.txt") in[1] = {"file2='adir'"};
    RunResult r = run_trovan(dir, text_of(in));
    EXPECT_EQ(r.status, 1) << name << "\n" << r.out;
    const std::string shown = std::string(name) == "plain.txt" ? "adir" : name;
    EXPECT_EQ(last_line(r), "can't open " + shown) << r.out;
    // The stop comes before the long computation.
    EXPECT_FALSE(r.has("dmax=")) << r.out;
    EXPECT_EQ(slurp(dir / "plain.txt"), "a regular file");
  }
}

// No data lost: a run killed while it writes the density file leaves the
// previous file as it was, and a continuation run reads it. The program
// writes a temporary file beside the density file and renames it over the
// old one only when complete; TROVAN_DENSITY_WRITE_PAUSE holds it in the
// middle of that write so that the kill lands there.
TEST(NoDataLost, KilledWhileWritingTheDensityFile) {
  std::vector<Line> in = full_input();
  in[23] = {"iplot=2", "hmax=8 8 8 4 1 1", "pkmin=5.0"};
  in.erase(in.begin() + 24);
  in[25][1] = "frmt='(6i4,3f10.2)'";
  fs::path dir = job_dir("sigkill");
  RunResult r0 = run_trovan(dir, text_of(in));
  ASSERT_EQ(r0.status, 0) << r0.out;
  const std::string before = slurp(dir / "m.den");
  ASSERT_EQ(before.size(), 8192u + 8);
  auto dmax_line = [](const std::string& out) {
    std::size_t p = out.find("dmax=");
    return p == std::string::npos ? std::string() : out.substr(p, out.find('\n', p) - p);
  };

  // The second run: the same job, which writes the same file again.
  write_file(dir / "job.inp", text_of(in));
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::chdir(dir.c_str()) != 0) ::_exit(127);
    int i = ::open("job.inp", O_RDONLY), o = ::open("job2.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (i < 0 || o < 0) ::_exit(127);
    ::dup2(i, 0);
    ::dup2(o, 1);
    ::setenv("TROVAN_DENSITY_WRITE_PAUSE", "120", 1);
    ::execl(TROVAN_EXE, TROVAN_EXE, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Wait for the temporary file to hold the first half of the values.
  const fs::path tmp = dir / ("m.den.tmp" + std::to_string(pid));
  const std::uintmax_t half = 4 + 4 * 1024;
  bool mid_write = false;
  for (int k = 0; k < 6000 && !mid_write; ++k) {
    std::error_code ec;
    mid_write = fs::file_size(tmp, ec) >= half && !ec;
    if (!mid_write) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid, SIGKILL);
  int ws = 0;
  ::waitpid(pid, &ws, 0);
  ASSERT_TRUE(mid_write) << "the run never reached the density file\n" << slurp(dir / "job2.out");
  EXPECT_TRUE(WIFSIGNALED(ws) && WTERMSIG(ws) == SIGKILL);
  EXPECT_LT(fs::file_size(tmp), before.size()) << "the kill came after the write";

  // The previous file is intact, byte for byte.
  EXPECT_EQ(slurp(dir / "m.den"), before);

  // A continuation run reads it: it starts from that density, finds the
  // same extrema, and writes the same grid back.
  in[24] = {"icont=1"};
  RunResult r2 = run_trovan(dir, text_of(in));
  EXPECT_EQ(r2.status, 0) << r2.out;
  EXPECT_FALSE(dmax_line(r0.out).empty());
  EXPECT_EQ(dmax_line(r2.out), dmax_line(r0.out));
  EXPECT_EQ(slurp(dir / "m.den"), before);
}

}  // namespace
