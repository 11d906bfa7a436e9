// Malformed user files given to the whole program: every one must stop the
// run with one clear line and its status (2 for bad input, 1 for a file that
// cannot be opened or written), never crash, hang or run on with a value
// it could not read.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <thread>
#include <vector>

#include "e2e_support.hpp"
#include "inprocess.hpp"

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

// A Fourier run of the full input's crystal and grid.
std::vector<Line> fourier_input() {
  std::vector<Line> in = full_input();
  in[23] = {"iplot=2", "hmax=8 8 8 4 1 1", "pkmin=5.0"};
  in.erase(in.begin() + 24);
  // The file's fourth real, sigma, is skipped by a field of its own: the
  // format describes every column.
  in[25][1] = "frmt='(6i4,3f10.2,10x)'";
  return in;
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

// The last line of the listing, the reason of the stop; with `trail` " \n"
// the last line before the final " " of a fail().
std::string last_line(const RunResult& r, const char* trail = "\n") {
  std::string s = r.out;
  s.erase(s.find_last_not_of(trail) + 1);
  std::size_t nl = s.rfind('\n');
  return nl == std::string::npos ? s : s.substr(nl + 1);
}

// The message of a fail(): its last line, or the line before when the last
// is the keyword reader's line that locates the fault.
std::string reason(const RunResult& r) {
  const std::string last = last_line(r, " \n");
  if (last.rfind(" line ", 0) != 0 && last.rfind(" the keyword input ended", 0) != 0) return last;
  std::string s = r.out.substr(0, r.out.rfind(last));
  while (!s.empty() && s.back() == '\n') s.pop_back();
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
      // The line after it names the input line and the key expected there.
      if (!tail) {
        const std::string text = text_of({in[li]});
        EXPECT_EQ(last_line(r, " \n"), " line " + std::to_string(li + 1) + " of the keyword input is '" +
                                     text.substr(0, text.find_last_not_of(" \n") + 1) + "'; " + key + " was expected there")
            << r.out;
      }
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
    if (key != "symmetry operator") {
      EXPECT_EQ(last_line(r, " \n"), " the keyword input ended after line " + std::to_string(n) + " where " + key +
                                   " was expected")
          << r.out;
    }
  }
}

// One change to the full input, or to the files beside it, and the stop it
// makes: the run ends with `status`, `stop` is the listing's last line
// (kLast), its beginning (kStart; "prefix...part": a part after it), a part
// of it (kPart) or the stop's reason (kReason); `also` is in the listing
// before it, `never` is not in it.
struct OneChange {
  enum Match { kLast, kStart, kPart, kReason };
  using Change = std::function<void(const fs::path&, std::vector<Line>&)>;
  const char* name;
  Change change;
  int status;
  std::string stop;
  Match match = kLast;
  std::string also = "", never = "";
};

std::ostream& operator<<(std::ostream& os, const OneChange& c) { return os << c.name; }

// The set-ups the table shares: the operator line, the hmax= item, the
// second record of the reflection file, and a whole input of the built-in
// icosahedral setting with the superstructure multiplier ismtr.
OneChange::Change op(std::string text) {
  return [text](const fs::path&, std::vector<Line>& in) { in[9] = {text}; };
}
OneChange::Change hmax(std::string v) {
  return [v](const fs::path&, std::vector<Line>& in) { in[23][1] = "hmax=" + v; };
}
OneChange::Change record2(std::string rec) {
  return [rec](const fs::path& d, std::vector<Line>&) {
    write_file(d / "m.hkl", "   2   0   0   0   0   0     81.29     81.29      0.00      1.00\n" + rec + "\n");
  };
}
OneChange::Change ismtr(std::string v) {
  return [v](const fs::path&, std::vector<Line>& in) {
    in = {{"file1='m.hkl'"}, {"file2='m.den'"}, {"title='t'"}, {"isys=2 a=5.12"}, {"nsymo=0 icent=0 brv='p'"},
          {"symmetry operator"}, {"f000=100 sg00=0 sg0=0 sg1=0 fmag=1"}, {"jbc=0"},
          {"iplot=2 hmax=6 6 6 6 6 6 ismtr=" + v + " pkmin=1"}, {"icont=0"}, {"qimax=10 frmt='(6i4,3f10.2)'"},
          {"ldev=0 iwhkl=0 iprj=0"}, {"ng=0"}};
  };
}

const std::string kBadOp = " incorrect symmetry operation", kNoOrder = " symmetry operator1 has no finite order";

const std::string kName77 = std::string(77, 'n') + ".den";

const OneChange kOneChanges[] = {
      // A line left out entirely: the operator lines and the "symmetry
      // operator" line have no key of their own. Without the one operator
      // line "f000=" is read in its place.
      {"noop", [](const fs::path&, std::vector<Line>& in) { in.erase(in.begin() + 9); }, 2,
       " incorrect symmetry operation"},
      {"nosymline", [](const fs::path&, std::vector<Line>& in) { in.erase(in.begin() + 8); }, 2,
       "symmetry operator not found", OneChange::kReason},
      {"intreal", [](const fs::path&, std::vector<Line>& in) { in[23][0] = "iplot=2.0"; }, 2,
       "value of iplot= can not be read: 2.0", OneChange::kReason},
      // Lines are read to column 256: a key beyond it is not on the line.
      {"longline",
       [](const fs::path&, std::vector<Line>& in) {
         in[23] = {"iplot=-5" + std::string(250, ' '), "hmax=8 8 8 4 1 1", "pkmin=5.0", "rwmin=0.0"};
       },
       2, "hmax= not found", OneChange::kReason},
      // A value cut by column 256 lacks its last items.
      {"longvalue",
       [](const fs::path&, std::vector<Line>& in) {
         in[14] = {std::string(220, ' ') + "v= 0 0 0 1 0 0  0 0 0 0 1 0  0 0 0 0 0 1"};
       },
       2, "value of v= not fund", OneChange::kReason},
      // File names of more than 80 characters are refused, not cut; so is a
      // format of more than 40.
      {"longname1", [](const fs::path&, std::vector<Line>& in) { in[0] = {"file1='" + kName77 + "'"}; }, 2,
       " file1= file name longer than 80 characters: " + kName77},
      {"longname2", [](const fs::path&, std::vector<Line>& in) { in[1] = {"file2='" + kName77 + "'"}; }, 2,
       " file2= file name longer than 80 characters: " + kName77},
      {"longfrmt",
       [](const fs::path&, std::vector<Line>& in) { in[26][1] = "frmt='(6i4," + std::string(30, ' ') + "4f10.2)'"; }, 2,
       " frmt= format longer than 40 characters", OneChange::kPart},
      // Thirteen generating elements: refused before any of them is read.
      {"generators13",
       [](const fs::path&, std::vector<Line>& in) { in[7] = {"nsymo=13", "icent=0", "brv='p'"}; }, 2,
       " more than 12 generating elements"},
      // m-3m and two internal mirrors, 192 operators: more than the 60 the table holds.
      {"operators192",
       [](const fs::path&, std::vector<Line>& in) {
         in[7] = {"nsymo=5", "icent=0", "brv='p'"};
         in[9] = {"-y,x,z,t,u,v"};
         in.insert(in.begin() + 10, {{"z,x,y,t,u,v"}, {"x,y,-z,t,u,v"}, {"x,y,z,-t,u,v"}, {"x,y,z,t,-u,v"}});
       },
       2, " more than 60 symmetry operators"},
      {"negops", [](const fs::path&, std::vector<Line>& in) { in[7] = {"nsymo=-1", "icent=0", "brv='p'"}; },
       2, " nsymo should not be negative"},
      // A centring letter the system does not have, and a phase sign other
      // than +1 or -1, stop the run before the reflections are read.
      {"brvs", [](const fs::path&, std::vector<Line>& in) { in[7] = {"nsymo=1", "icent=0", "brv='s'"}; },
       2, " invalid brv", OneChange::kLast, "brv='s' is no centring of isys=0: use p, a, b, c, i, f, r"},
      {"phsign",
       [](const fs::path&, std::vector<Line>& in) { in[26] = {"qimax=1.8", "frmt='(6i4,4f10.2)'", "phsign=2"}; }, 2,
       " phsign should be 1 or -1: phsign=2", OneChange::kLast, "", "number of reflections used"},
      {"hklindex",
       [](const fs::path& d, std::vector<Line>& in) {
         write_file(d / "m.hkl",
                    "         1         0         0         0         0         0      7.93      7.93      0.00      1.00\n"
                    "         1  16777217         0         0         0         0      7.93      7.93      0.00      1.00\n");
         in[26][1] = "frmt='(6i10,4f10.2)'";
       },
       2, " record 2: index out of range (at most 16777216 in size)", OneChange::kStart},
      {"hkldir",
       [](const fs::path& d, std::vector<Line>& in) {
         fs::create_directories(d / "sub.hkl");
         in[0] = {"file1='sub.hkl'"};
       },
       1, "can't open sub.hkl"},
      {"hmax_2_negative", hmax("8 -3 8 4 1 1"), 2, " hmax should be positive: hmax(2)=-3"},
      {"hmax_4_int_min", hmax("8 8 8 -2147483648 1 1"), 2, " hmax should be positive: hmax(4)=-2147483648"},
      {"hmax_5_zero", hmax("8 8 8 4 0 1"), 2, " hmax should be positive: hmax(5)=0"},
      {"hmax_1_int_max", hmax("2147483647 8 8 4 1 1"), 2, " nt > nts"},
      {"hmax_all_int_max", hmax("2147483647 2147483647 2147483647 2147483647 2147483647 2147483647"), 2, " nt > nts"},
      {"hmax_6_beyond_int", hmax("8 8 8 4 1 2147483648"), 2, "value of hmax= can not be read: 2147483648",
       OneChange::kReason},
      // Symmetry: the generator lines as users mistype them; the line before
      // the stop says what is wrong.
      {"op_comma_missing", op("-x,-y,-z,-t,u v"), 2, kBadOp, OneChange::kLast, "a comma is missing"},
      {"op_letter_w", op("-x,-y,-z,-t,u,w"), 2, kBadOp, OneChange::kLast, "the character 'w' is not allowed"},
      {"op_capitals", op("-X,-Y,-Z,-T,U,V"), 2, kBadOp, OneChange::kLast, "the character 'X' is not allowed"},
      {"op_decimal", op("-x,-y,-z+0.5,-t,u,v"), 2, kBadOp, OneChange::kLast, "the character '.' is not allowed"},
      {"op_comment", op("-x,-y,-z,-t,u,v ! inversion"), 2, kBadOp, OneChange::kLast, "the character '!' is not allowed"},
      {"op_seven_fields", op("-x,-y,-z,-t,u,v,x"), 2, kBadOp, OneChange::kLast, "more than 6 fields"},
      {"op_coefficient", op("-x,-y,-2z,-t,u,v"), 2, kBadOp, OneChange::kLast, "a coefficient before a letter"},
      {"op_letter_twice", op("-x,-y,-z-z,-t,u,v"), 2, kBadOp, OneChange::kLast, "the letter z stands twice"},
      {"op_denominator_0", op("-x,-y,-z+1/0,-t,u,v"), 2, kBadOp, OneChange::kLast, "denominator 0"},
      {"op_fraction_cut", op("-x,-y,-z+1/,-t,u,v"), 2, kBadOp, OneChange::kLast, "digits on both sides"},
      {"op_256_characters", op("-x,-y,-z,-t,u,v" + std::string(240, ' ') + "x"), 2, kBadOp, OneChange::kLast,
       "longer than 255 characters"},
      // A shear (no power of it is the identity) and a singular rotation.
      {"op_shear", op("x+y,y,z,t,u,v"), 2, kNoOrder, OneChange::kLast, "error in symmetry operator ?"},
      {"op_singular", op("x,x,z,t,u,v"), 2, kNoOrder, OneChange::kLast, "error in symmetry operator ?"},
      // Letters in a reflection record: the stop names the record, its line
      // and the text.
      {"record_letter_in_an_index", record2("   1   a   0   0   0   0      7.93      7.93      0.00      1.00"), 2,
       " record 2 (line 2): ...'   a'", OneChange::kStart},
      {"record_letter_in_fo", record2("   1   0   0   0   0   0      7.9x      7.93      0.00      1.00"), 2,
       " record 2 (line 2): ...'      7.9x'", OneChange::kStart},
      {"record_letter_o_for_zero", record2("   1   0   0   0   0   0      7.93      7.93      O.00      1.00"), 2,
       " record 2 (line 2): ...'      O.00'", OneChange::kStart},
      // The superstructure multiplier of the built-in settings.
      {"ismtr_13", ismtr("13"), 2, " ismtr should be -12 to 12: ismtr=13"},
      {"ismtr_minus_13", ismtr("-13"), 2, " ismtr should be -12 to 12: ismtr=-13"},
      {"ismtr_int_min", ismtr("-2147483648"), 2, " ismtr should be -12 to 12: ismtr=-2147483648"},
      {"ismtr_int_max", ismtr("2147483647"), 2, " ismtr should be -12 to 12: ismtr=2147483647"},
};

class OneChangeRun : public ::testing::TestWithParam<OneChange> {};

TEST_P(OneChangeRun, StopsWithItsStatusAndMessage) {
  const OneChange& c = GetParam();
  const fs::path dir = job_dir(c.name);
  std::vector<Line> in = full_input();
  c.change(dir, in);
  const RunResult r = run_trovan(dir, text_of(in));
  EXPECT_EQ(r.status, c.status) << r.out;
  const std::string last = last_line(r);
  switch (c.match) {
    case OneChange::kLast: EXPECT_EQ(last, c.stop) << r.out; break;
    case OneChange::kStart: {
      const std::size_t cut = c.stop.find("...");
      EXPECT_EQ(last.rfind(c.stop.substr(0, cut), 0), 0u) << r.out;
      EXPECT_TRUE(cut == std::string::npos || last.find(c.stop.substr(cut + 3), cut) != std::string::npos) << r.out;
      break;
    }
    case OneChange::kPart: EXPECT_NE(last.find(c.stop), std::string::npos) << r.out; break;
    case OneChange::kReason: EXPECT_EQ(reason(r), c.stop) << r.out; break;
  }
  EXPECT_TRUE(c.also.empty() || r.has(c.also)) << c.also << "\n" << r.out;
  EXPECT_TRUE(c.never.empty() || !r.has(c.never)) << c.never << "\n" << r.out;
}

INSTANTIATE_TEST_SUITE_P(Malformed, OneChangeRun, ::testing::ValuesIn(kOneChanges),
                         [](const ::testing::TestParamInfo<OneChange>& i) { return std::string(i.param.name); });

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

// A continuation run (icont = 1) reads the density file of an earlier run
// of the same grid; anything else stops it naming the file.
TEST(Malformed, DensityFilesAContinuationRunRefuses) {
  const std::vector<Line> first = fourier_input();
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
    // A folder that is missing is named by the system's reason after it.
    if (std::string(name) == "nodir/m.den")
      EXPECT_TRUE(r.has("can't open " + shown + "\n reason: No such file or directory\n")) << r.out;
    else
      EXPECT_EQ(last_line(r), "can't open " + shown) << r.out;
    // The stop comes before the long computation.
    EXPECT_FALSE(r.has("dmax=")) << r.out;
    EXPECT_EQ(slurp(dir / "plain.txt"), "a regular file");
  }
}

// No data lost: a run killed while it writes the density file leaves the
// previous file as it was, and a continuation run reads it. The program
// writes a temporary file beside the density file and renames it over the
// old one only when complete; TROVAN_DENSITY_WRITE_PAUSE holds the test
// build of the program (trovan_testhooks) in the middle of that write, and
// TROVAN_COMMIT_PAUSE before the whole output set is put in place, so that
// the signal lands there.

// Starts the test build of the program in `dir` on job.inp (listing to
// job2.out, standard error to job2.err) with the pause `hook` set, and waits
// up to two minutes until `there`(pid) says it has reached the pause;
// *reached says whether it did.
pid_t start_held(const fs::path& dir, const char* hook, const std::function<bool(pid_t)>& there, bool* reached) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(dir.c_str()) != 0) ::_exit(127);
    int i = ::open("job.inp", O_RDONLY), o = ::open("job2.out", O_WRONLY | O_CREAT | O_TRUNC, 0644),
        e = ::open("job2.err", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (i < 0 || o < 0 || e < 0) ::_exit(127);
    ::dup2(i, 0);
    ::dup2(o, 1);
    ::dup2(e, 2);
    // A test runner started in the background may ignore these; the
    // program keeps an ignored signal ignored.
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1}) ::signal(sig, SIG_DFL);
    ::setenv(hook, "120", 1);
    ::setenv("CLCMPPATH", (source_dir() / "plot").c_str(), 1);
    ::execl(TROVAN_TESTHOOKS_EXE, TROVAN_TESTHOOKS_EXE, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  *reached = false;
  for (int k = 0; pid > 0 && k < 6000 && !*reached; ++k)
    if (!(*reached = there(pid))) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return pid;
}

// Held in the middle of its density write, the temporary file m.den.tmp<pid>
// holding the first half of its values.
pid_t start_paused_write(const fs::path& dir, std::uintmax_t half, bool* mid_write) {
  return start_held(
      dir, "TROVAN_DENSITY_WRITE_PAUSE",
      [&](pid_t pid) {
        std::error_code ec;
        return fs::file_size(dir / ("m.den.tmp" + std::to_string(pid)), ec) >= half && !ec;
      },
      mid_write);
}

std::string dmax_line(const std::string& out) {
  std::size_t p = out.find("dmax=");
  return p == std::string::npos ? std::string() : out.substr(p, out.find('\n', p) - p);
}

// A run stopped while it writes the density file leaves the previous file
// byte for byte. Stopped by a signal it can catch (a batch system's SIGTERM,
// an interrupt, a closed terminal) it removes its temporary file as well and
// ends with the conventional status 128 + the signal. Killed, it leaves a
// file a continuation run reads: it starts from that density, finds the
// same extrema and writes the same grid back.
class Terminated : public ::testing::TestWithParam<int> {};

TEST_P(Terminated, WhileWritingTheDensityFileThePreviousFileStays) {
  const int sig = GetParam();
  std::vector<Line> in = fourier_input();
  fs::path dir = job_dir("signal" + std::to_string(sig));
  RunResult r0 = run_trovan(dir, text_of(in));
  ASSERT_EQ(r0.status, 0) << r0.out;
  const std::string before = slurp(dir / "m.den");
  ASSERT_EQ(before.size(), 8192u + 8);

  // The second run: the same job (job.inp), which writes the same file again.
  bool mid_write = false;
  const pid_t pid = start_paused_write(dir, 4 + 4 * 1024, &mid_write);
  ASSERT_GE(pid, 0);
  const fs::path tmp = dir / ("m.den.tmp" + std::to_string(pid));
  ::kill(pid, sig);
  int ws = 0;
  ::waitpid(pid, &ws, 0);
  ASSERT_TRUE(mid_write) << "the run never reached the density file\n" << slurp(dir / "job2.out");
  EXPECT_EQ(slurp(dir / "m.den"), before);
  if (sig != SIGKILL) {
    EXPECT_TRUE(WIFEXITED(ws)) << "ended by signal " << (WIFSIGNALED(ws) ? WTERMSIG(ws) : 0);
    EXPECT_EQ(WIFEXITED(ws) ? WEXITSTATUS(ws) : -1, 128 + sig);
    EXPECT_FALSE(fs::exists(tmp));
    return;
  }
  EXPECT_TRUE(WIFSIGNALED(ws) && WTERMSIG(ws) == SIGKILL);
  EXPECT_LT(fs::file_size(tmp), before.size()) << "the kill came after the write";
  in[24] = {"icont=1"};
  RunResult r2 = run_trovan(dir, text_of(in));
  EXPECT_EQ(r2.status, 0) << r2.out;
  EXPECT_FALSE(dmax_line(r0.out).empty());
  EXPECT_EQ(dmax_line(r2.out), dmax_line(r0.out));
  EXPECT_EQ(slurp(dir / "m.den"), before);
}

INSTANTIATE_TEST_SUITE_P(NoDataLost, Terminated, ::testing::Values(SIGKILL, SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1),
                         [](const ::testing::TestParamInfo<int>& i) {
                           return std::string(sigabbrev_np(i.param));
                         });

// ---- hostile files, values and faults ------------------------------------
//
// Each case is a run that must end in one clear stop: its status, its
// one-line reason as the listing's last words and on standard error, and
// every file that was in the folder before the run byte for byte as it was
// (the previous density, box and page files, the reflection file, the
// keyword input), with no temporary file left behind.

// The folder as its entries: regular files by their bytes, the others by
// their kind (and a link by its target). The run's own listing files are
// left out.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> m;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string n = e.path().filename().string();
    if (n == "job.out" || n == "job.err") continue;
    const fs::file_status st = e.symlink_status();
    if (fs::is_symlink(st))
      m[n] = "link to " + fs::read_symlink(e.path()).string();
    else if (fs::is_regular_file(st))
      m[n] = "file " + slurp(e.path());
    else
      m[n] = "kind " + std::to_string(static_cast<int>(st.type()));
  }
  return m;
}

// What changed between two snapshots, except the names in `may_change`.
std::string changes(const std::map<std::string, std::string>& a, const std::map<std::string, std::string>& b,
                    const std::vector<std::string>& may_change) {
  std::string d;
  auto allowed = [&](const std::string& n) {
    return std::find(may_change.begin(), may_change.end(), n) != may_change.end();
  };
  for (const auto& [n, v] : a)
    if (!allowed(n) && (!b.count(n) || b.at(n) != v)) d += (b.count(n) ? "changed: " : "removed: ") + n + "\n";
  for (const auto& [n, v] : b)
    if (!a.count(n) && !allowed(n)) d += "new: " + n + "\n";
  return d;
}

// Runs the program in `dir` as run_trovan does, but never longer than
// `seconds` (a run that blocks on a FIFO must fail the test, not hang it) and
// with the listing sent where `listing` says (job.out by default). `prefix`
// is shell text run before the program (a limit, a trap); job.inp, job.out
// and job.err are in `files` (by default `dir`).
RunResult run_bounded(const fs::path& dir, const std::string& input, std::string listing = "",
                      const std::string& prefix = "", fs::path files = {}, int seconds = 60) {
  if (files.empty()) files = dir;
  if (listing.empty()) listing = "> '" + (files / "job.out").string() + "'";
  write_file(files / "job.inp", input);
  const std::string cmd = "cd '" + dir.string() + "' && " + prefix + " CLCMPPATH='" + (source_dir() / "plot").string() +
                          "' timeout -k 5 " + std::to_string(seconds) + " '" + std::string(TROVAN_EXE) + "' < '" +
                          (files / "job.inp").string() + "' " + listing + " 2> '" + (files / "job.err").string() + "'";
  const int rc = std::system(cmd.c_str());
  RunResult r;
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.out = slurp(files / "job.out");
  r.err = slurp(files / "job.err");
  return r;
}

// Drawing lines: a section and a box of the whole cell.
const std::vector<Line> kSection = {{"iax=2 ipers=0 iaver=0 ismth=0"}, {"x= 0 0 0 0 0 0"}, {"u= 1 0 0 0 0 0"},
                                    {"v= 0 1 0 0 0 0"}, {"div=8 8 hmin=0.1 lf=5"}};
const std::vector<Line> kBox = {{"iax=3 ipers=0 iaver=0 ismth=0"},
                                {"x= 0 0 0 0 0 0"},
                                {"u= 1 0 0 0 0 0"},
                                {"v= 0 1 0 0 0 0"},
                                {"q= 0 0 1 0 0 0"},
                                {"xmin=0 xmax=1 ymin=0 ymax=1 zmin=0 zmax=1"},
                                {"xdiv=5 ydiv=5 zdiv=5 hscl=1"}};

// The input with `drawings` (of ng drawings) instead of "ng=0", pages on ldev 1.
// `sections` sections, then `boxes` boxes.
std::vector<Line> drawings(int sections, int boxes) {
  std::vector<Line> d;
  for (int k = 0; k < sections; ++k) d.insert(d.end(), kSection.begin(), kSection.end());
  for (int k = 0; k < boxes; ++k) d.insert(d.end(), kBox.begin(), kBox.end());
  return d;
}

void draw(std::vector<Line>& in, const std::vector<Line>& drawings, int ng = 1) {
  in.back() = {"ng=" + std::to_string(ng)};
  in.insert(in.end(), drawings.begin(), drawings.end());
  for (Line& l : in)
    if (!l.empty() && l[0].rfind("ldev=", 0) == 0) l[0] = "ldev=1";
}

void set_line(std::vector<Line>& in, const std::string& key, const Line& line) {
  for (Line& l : in)
    if (!l.empty() && l[0].rfind(key, 0) == 0) {
      l = line;
      return;
    }
  ADD_FAILURE() << "no line starts with " << key;
}

// Replaces the item of `key` wherever it stands.
void set_item(std::vector<Line>& in, const std::string& key, const std::string& item) {
  for (Line& l : in)
    for (std::string& it : l)
      if (key_of(it) == key) {
        it = item;
        return;
      }
  ADD_FAILURE() << "no item " << key;
}

struct Hostile {
  using Setup = std::function<void(const fs::path& dir, std::vector<Line>& in)>;
  Hostile(std::string n, Setup s, int st, std::string r, std::vector<std::string> m = {}, bool f = false)
      : name(std::move(n)), setup(std::move(s)), status(st), reason(std::move(r)), may_change(std::move(m)), fourier(f) {}
  std::string name;
  Setup setup;
  int status;
  std::string reason;                   // the stop's one-line message (its beginning)
  std::vector<std::string> may_change;  // files the run writes before it stops
  bool fourier;                         // a Fourier run instead of the MEM run
  std::string prefix;                   // shell text before the program (a limit)
  std::string where;                    // the line after the reason that locates the fault
};

Hostile located(Hostile h, std::string where) {
  h.where = std::move(where);
  return h;
}

Hostile limited(Hostile h, std::string prefix) {
  h.prefix = std::move(prefix);
  return h;
}

std::ostream& operator<<(std::ostream& os, const Hostile& h) { return os << h.name; }

class HostileRun : public ::testing::TestWithParam<Hostile> {};

// The files of an earlier run, which a stopped run must not touch.
void previous_outputs(const fs::path& dir) {
  write_file(dir / "m.den", "the previous density");
  write_file(dir / "m.win", "the previous binary box");
  write_file(dir / "m.rho", "the previous text box");
  write_file(dir / "calcomp1.ps", "the previous pages");
}

TEST_P(HostileRun, StopsCleanlyAndLeavesEveryFileAsItWas) {
  const Hostile& h = GetParam();
  const fs::path dir = job_dir("hostile_" + h.name);
  previous_outputs(dir);
  std::vector<Line> in = h.fourier ? fourier_input() : full_input();
  h.setup(dir, in);
  const std::string input = text_of(in);
  write_file(dir / "job.inp", input);
  const auto before = snapshot(dir);
  const RunResult r = run_bounded(dir, input, "", h.prefix);
  EXPECT_EQ(r.status, h.status) << r.out << r.err;
  // The reason is the listing's last words and the line on standard error
  // after the warnings of the run, if any.
  std::string err;
  std::istringstream lines(r.err);
  for (std::string l; std::getline(lines, l);)
    if (l.rfind("trovan: warning: ", 0) != 0) err += l + "\n";
  EXPECT_EQ(err.rfind("trovan: " + h.reason, 0), 0u) << r.err;
  const std::size_t nl = err.find('\n');
  const std::string told = err.substr(8, nl - 8);
  if (h.where.empty()) {
    EXPECT_EQ(count_of(err, "\n"), 1) << r.err;
    EXPECT_TRUE(last_line(r) == told || last_line(r) == " " + told || reason(r) == told) << r.out;
  } else {
    // The line that locates the fault follows, in the listing too.
    EXPECT_EQ(count_of(err, "\n"), 2) << r.err;
    EXPECT_EQ(err.find("trovan: " + h.where, nl + 1), nl + 1) << r.err;
    const std::string where = err.substr(nl + 9, err.size() - nl - 10);
    EXPECT_TRUE(r.has(told + "\n " + where + "\n")) << r.out;
  }
  EXPECT_EQ(changes(before, snapshot(dir), h.may_change), "");
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  fs::remove_all(dir);
}

const std::string kRecord = "   1   1   0   0   0   0     51.15     51.15      0.00      1.00\n";

// The set-ups the tables share. Items of the keyword input set, each
// "key=value ..." in place of the item of that key.
Hostile::Setup items(std::vector<std::string> set) {
  return [set](const fs::path&, std::vector<Line>& in) {
    for (const std::string& it : set) set_item(in, it.substr(0, it.find('=') + 1), it);
  };
}

// A drawing added, its last line replaced by `last` (when given), then
// `set` items set.
Hostile::Setup drawn(const std::vector<Line>& drawing, Line last = {}, std::vector<std::string> set = {}) {
  return [drawing, last, set](const fs::path& d, std::vector<Line>& in) {
    draw(in, drawing);
    if (!last.empty()) in.back() = last;
    items(set)(d, in);
  };
}

// The reflection file (file1=, `k` 0) or the density file (file2=, `k` 1)
// named `name`, which is made a link to itself ('l'), a FIFO ('p') or left
// as it is (0); with `continued` the job continues from the density file.
Hostile::Setup named(int k, std::string name, char kind, bool continued = false) {
  return [=](const fs::path& d, std::vector<Line>& in) {
    if (kind == 'l') fs::create_symlink(name, d / name);
    if (kind == 'p') {
      ASSERT_EQ(::mkfifo((d / name).c_str(), 0644), 0);
    }
    in[k] = {(k == 0 ? "file1='" : "file2='") + name + "'"};
    if (continued) set_line(in, "icont=", {"icont=1"});
  };
}

// A density file of the job's 2048 points, each `v`, to continue from.
Hostile::Setup continued_from(float v) {
  return [v](const fs::path& d, std::vector<Line>& in) {
    std::string den(8192 + 8, '\0');
    const unsigned char mark[4] = {0x00, 0x20, 0x00, 0x00};  // 8192, little-endian
    std::memcpy(&den[0], mark, 4);
    std::memcpy(&den[8196], mark, 4);
    for (int j = 0; j < 2048; ++j) std::memcpy(&den[4 + 4 * j], &v, 4);
    write_file(d / "m.den", den);
    set_line(in, "icont=", {"icont=1"});
  };
}

// `drawing` added (`ng` drawings), with `name` a symbolic link to a file
// the run did not make.
Hostile::Setup linked(std::string name, std::vector<Line> drawing, int ng = 1) {
  return [=](const fs::path& d, std::vector<Line>& in) {
    write_file(d / "victim.hkl", kRecord);
    fs::remove(d / name);
    fs::create_symlink("victim.hkl", d / name);
    draw(in, drawing, ng);
  };
}

// Files that block, never end, loop, or are files the run reads.
INSTANTIATE_TEST_SUITE_P(
    Files, HostileRun,
    ::testing::Values(
        Hostile{"density_symlink_loop", named(1, "loop.den", 'l'), 1, "can't open loop.den"},
        Hostile{"density_symlink_loop_continued", named(1, "loop.den", 'l', true), 1, "can't open loop.den"},
        Hostile{"reflection_symlink_loop", named(0, "loop.hkl", 'l'), 1, "can't open loop.hkl"},
        Hostile{"density_fifo_continued", named(1, "fifo.den", 'p', true), 1,
                "can't open fifo.den: not a regular file"},
        Hostile{"density_fifo", named(1, "fifo.den", 'p'), 1, "can't open fifo.den: not a regular file"},
        Hostile{"reflection_fifo", named(0, "fifo.hkl", 'p'), 1, "can't open fifo.hkl: not a regular file"},
        Hostile{"reflection_dev_zero", named(0, "/dev/zero", 0), 1, "can't open /dev/zero: not a regular file"},
        // A link to /dev/null: were it replaced, only the link would go.
        Hostile{"density_device",
                [](const fs::path& d, std::vector<Line>& in) {
                  fs::create_symlink("/dev/null", d / "null.den");
                  in[1] = {"file2='null.den'"};
                },
                1, "can't open null.den: not a regular file"},
        Hostile{"density_is_the_reflection_file", named(1, "m.hkl", 0), 2,
                "density file m.hkl would overwrite the reflection file (file1=)"},
        Hostile{"density_is_a_hard_link_to_the_reflection_file",
                [](const fs::path& d, std::vector<Line>& in) {
                  fs::create_hard_link(d / "m.hkl", d / "link.den");
                  in[1] = {"file2='link.den'"};
                },
                2, "density file link.den would overwrite the reflection file (file1=)"},
        Hostile{"density_is_the_keyword_input", named(1, "job.inp", 0), 2,
                "density file job.inp would overwrite the keyword input (standard input)"},
        Hostile{"box_is_the_reflection_file",
                [](const fs::path& d, std::vector<Line>& in) {
                  fs::copy_file(d / "m.hkl", d / "r.rho");
                  in[0] = {"file1='r.rho'"};
                  in[1] = {"file2='r.den'"};
                  draw(in, kBox);
                },
                2, "box file r.rho would overwrite the reflection file (file1=)"},
        Hostile{"box_is_the_density_file",
                [](const fs::path& d, std::vector<Line>& in) {
                  named(1, "m.win", 0)(d, in);
                  draw(in, kBox);
                },
                2, "box file m.win would overwrite the density file m.win"},
        Hostile{"nul_byte_in_a_name",
                [](const fs::path&, std::vector<Line>& in) { in[1] = {std::string("file2='a\0b.den'", 16)}; }, 2,
                "file2= file name holds a control character (code 0 at position 2)"},
        Hostile{"escape_in_a_name", [](const fs::path&, std::vector<Line>& in) { in[0] = {"file1='m\x1b.hkl'"}; }, 2,
                "file1= file name holds a control character (code 27 at position 2)"},
        Hostile{"reflection_line_of_1001_characters",
                [](const fs::path& d, std::vector<Line>&) {
                  write_file(d / "m.hkl", kRecord + std::string(1001, '1') + "\n" + kRecord);
                },
                2, "line 2 of the reflection file is longer than 1000 characters"}),
    [](const ::testing::TestParamInfo<Hostile>& i) { return i.param.name; });

// Values beyond their bounds, mistakes in the drawing lines, and values
// that would make a map of infinities; the MEM run stops before it
// replaces its density file.
INSTANTIATE_TEST_SUITE_P(
    Values, HostileRun,
    ::testing::Values(
        Hostile{"lf_2147483647", drawn(kSection, {"div=8 8 hmin=0.1 lf=2147483647"}), 2, "lf should be at most 100"},
        Hostile{"lf_101", drawn(kSection, {"div=8 8 hmin=0.1 lf=101"}), 2, "lf should be at most 100"},
        located(Hostile{"div_2147483647", drawn(kSection, {"div=2147483647 2147483647 hmin=0.1 lf=5"}), 2,
                        "ixm*iym*izm > nt"},
                "section 1: div=2147483647 2147483647 asks for more points than the map's 2048"),
        located(Hostile{"box_of_2097153_cubed_points", drawn(kBox, {"xdiv=2097153 ydiv=2097153 zdiv=2097153 hscl=1"}),
                        2, "ixm*iym*izm > nt"},
                "box 1: xdiv=2097153 ydiv=2097153 zdiv=2097153 asks for more points than the map's 2048"),
        Hostile{"ng_1001", [](const fs::path&, std::vector<Line>& in) { in.back() = {"ng=1001"}; }, 2,
                "ng should be at most 1000"},
        Hostile{"ldev_3_with_a_section", drawn(kSection, {}, {"ldev=3"}), 2,
                "ldev=3 not allowd: sections are drawn on device 1 or 2 (PostScript)"},
        Hostile{"ldev_99_with_a_section", drawn(kSection, {}, {"ldev=99"}), 2, "ldev=99 not allowd"},
        Hostile{"ldev_minus_1_with_a_section", drawn(kSection, {}, {"ldev=-1"}), 2, "ldev=-1 not allowd"},
        located(Hostile{"typo_in_the_drawing_lines",
                        [](const fs::path&, std::vector<Line>& in) {
                          draw(in, kSection);
                          in[in.size() - 5] = {"iaxx=2 ipers=0 iaver=0 ismth=0"};
                        },
                        2, "iax= not found"},
                "line 31 of the keyword input is 'iaxx=2 ipers=0 iaver=0 ismth=0'; iax= was expected there"),
        // A line too many before qimax=: the stop names the line it found.
        located(Hostile{"extra_line_before_qimax",
                        [](const fs::path&, std::vector<Line>& in) {
                          in.insert(in.begin() + 26, Line{"icont=0"});
                        },
                        2, "qimax= not found"},
                "line 27 of the keyword input is 'icont=0'; qimax= was expected there"),
        // F(000) of 0 on a new maximum-entropy start: the uniform start is 0.
        located(Hostile{"f000_0_on_a_new_mem_start", items({"f000=0"}), 2, "xr0 <= 0 so mem does not work"},
                "a new start is the uniform density F(000)/V: f000= must be positive"),
        Hostile{"f000_1e_minus_40_on_a_new_mem_start", items({"f000=1e-40"}), 2,
                "the uniform start density F(000)/V = 1.678756e-42 is below the smallest normal single-precision number"},
        Hostile{"nex1_minus_1", items({"nex1=-1"}), 2, "nex1 and nex2 should not be negative"},
        Hostile{"nex_2000000000_each", items({"nex1=2000000000", "nex2=2000000000"}), 2,
                "nex1+nex2 should be at most 100000"},
        Hostile{"ex_0", items({"ex1=0", "ex2=0"}), 2, "ex1 and ex2 should be positive"},
        Hostile{"ex2_negative", items({"ex2=-0.001"}), 2, "ex1 and ex2 should be positive"},
        Hostile{"fn_odd", items({"nex2=5 fn=3"}), 2, "fn should be an even number from 2 to 16: fn=3"},
        Hostile{"exact_2", items({"nex2=5 exact=2"}), 2, "exact should be 0 or 1: exact=2"},
        Hostile{"rwmin_negative", items({"rwmin=-0.2"}), 2, "rwmin should be 0 (no rwfact stop) or positive"},
        Hostile{"fmag_0", items({"fmag=0"}), 2, "fmag should be positive"},
        Hostile{"fmag_negative", items({"fmag=-1"}), 2, "fmag should be positive"},
        Hostile{"wave_vector_zero", [](const fs::path&, std::vector<Line>& in) { set_line(in, "k=", {"k=0 0 0"}); }, 2,
                "wave vector 1 is zero: k= needs a non-zero component"},
        Hostile{"isys_minus_1", [](const fs::path&, std::vector<Line>& in) { set_line(in, "isys=", {"isys=-1"}); }, 2,
                "wrong isys"},
        Hostile{"isys_6", [](const fs::path&, std::vector<Line>& in) { set_line(in, "isys=", {"isys=6 a=5.12 c=4"}); },
                2, "wrong isys"},
        Hostile{"fo_3e38",
                [](const fs::path& d, std::vector<Line>&) {
                  // Each just below the largest float, their sum beyond it.
                  write_file(d / "m.hkl", "   1   0   0   0   0   0  3.00E+38  3.00E+38      0.00\n"
                                          "   1   1   0   0   0   0  3.00E+38  3.00E+38      0.00\n");
                },
                2, "the map holds a value that is not a finite number (NaN or infinite) at grid point ", {}, true},
        Hostile{"density_file_of_nan", continued_from(std::numeric_limits<float>::quiet_NaN()), 2,
                "density file m.den holds a value that is not a finite number (NaN or infinite) at grid point 0: "
                "make it again, with smaller amplitudes (fmag=)"},
        Hostile{"density_file_of_denormals", continued_from(std::numeric_limits<float>::denorm_min() * 64), 2,
                "the start density read from m.den holds a value below the smallest normal single-precision number"},
        // The box is cut from the finished map, after the density file.
        // The map's values are about 1.5: times 3e38 beyond the largest float.
        Hostile{"hscl_3e38", drawn(kBox, {"xdiv=5 ydiv=5 zdiv=5 hscl=3e38"}), 2,
                "box 1: a value times hscl= is not a finite number: choose a smaller hscl="},
        Hostile{"blank_line_between_reflections",
                [](const fs::path& d, std::vector<Line>&) { write_file(d / "m.hkl", kRecord + "\n" + kRecord); }, 2,
                "index=0 in symstf", {}, true}),
    [](const ::testing::TestParamInfo<Hostile>& i) { return i.param.name; });

// Faults that once ended as a success or without a word: an agreement
// beyond single precision, a file beyond the size limit, box and page names
// that are links to files the run did not make.
INSTANTIATE_TEST_SUITE_P(
    Faults, HostileRun,
    ::testing::Values(
        Hostile{"mem_fo_1e30",
                [](const fs::path& d, std::vector<Line>&) {
                  write_file(d / "m.hkl", "   1   1   0   0   0   0     1e30      51.15      0.00      1.00\n"
                                          "   2   0   0   0   0   0     81.29     81.29      0.00      1.00\n");
                },
                2, "the agreement of the start density is not a finite number (c2=inf)"},
        // 12 blocks of 512 bytes: the listing fits, the density file (8200
        // bytes) does not.
        limited(Hostile{"density_beyond_ulimit_f", [](const fs::path&, std::vector<Line>&) {}, 1,
                        "density file m.den could not be written (File too large); the previous file is unchanged",
                        {}, true},
                "ulimit -f 12;"),
        Hostile{"box_name_is_a_link", linked("m.win", kBox), 1,
                "box file m.win is a symbolic link to victim.hkl: box and page files are not written through a link",
                {}, true},
        Hostile{"second_box_text_file_is_a_link", linked("m_2.rho", drawings(0, 2), 2), 1,
                "box file m_2.rho is a symbolic link to victim.hkl", {}, true},
        Hostile{"page_file_is_a_link", linked("calcomp1.ps", kSection), 1,
                "page file calcomp1.ps is a symbolic link to victim.hkl", {}, true},
        Hostile{"eps_page_is_a_link", linked("calcomp1_1.eps", kSection), 1,
                "page file calcomp1_1.eps is a symbolic link to victim.hkl", {}, true}),
    [](const ::testing::TestParamInfo<Hostile>& i) { return i.param.name; });

// A signal after every file of the run is written, just before they are
// put in place: the previous density, boxes and pages all stay, none of the
// new ones appears, and no temporary file is left.
TEST(NoDataLost, TerminatedWithTheWholeOutputSetWaiting) {
  std::vector<Line> in = fourier_input();
  draw(in, drawings(1, 1), 2);
  const fs::path dir = job_dir("commit_pause");
  for (const char* n : {"m.den", "m.win", "m.rho", "m.ccp4", "calcomp1.ps", "calcomp1_1.eps", "calcomp1_2.eps"})
    write_file(dir / n, std::string("the previous ") + n);
  write_file(dir / "job.inp", text_of(in));
  const auto before = snapshot(dir);
  bool waiting = false;
  const pid_t pid = start_held(
      dir, "TROVAN_COMMIT_PAUSE",
      [&](pid_t) { return slurp(dir / "job2.err").find("the output set waits") != std::string::npos; }, &waiting);
  ASSERT_GE(pid, 0);
  // Every file of the set is there under its temporary name.
  int temps = 0;
  for (const auto& e : fs::directory_iterator(dir)) temps += e.path().filename().string().find(".tmp") != std::string::npos;
  ::kill(pid, SIGTERM);
  int ws = 0;
  ::waitpid(pid, &ws, 0);
  ASSERT_TRUE(waiting) << slurp(dir / "job2.out") << slurp(dir / "job2.err");
  EXPECT_EQ(temps, 6);  // density, three box files, the page file and its one EPS page
  EXPECT_EQ(WIFEXITED(ws) ? WEXITSTATUS(ws) : -1, 128 + SIGTERM);
  EXPECT_EQ(changes(before, snapshot(dir), {"job2.out", "job2.err"}), "");
  fs::remove_all(dir);
}

// Blank lines after the last record end the reflection file: the map is
// the map of the file without them.
TEST(Messages, BlankLinesAfterTheLastReflectionEndTheFile) {
  const fs::path dir = job_dir("trailing_blank");
  const std::string records = slurp(dir / "m.hkl");
  const std::string input = text_of(fourier_input());
  RunResult r0 = run_trovan(dir, input);
  ASSERT_EQ(r0.status, 0) << r0.out;
  const std::string den = slurp(dir / "m.den");
  write_file(dir / "m.hkl", records + "\n   \n\n");
  RunResult r1 = run_trovan(dir, input);
  EXPECT_EQ(r1.status, 0) << r1.out;
  EXPECT_EQ(slurp(dir / "m.den"), den);
  EXPECT_TRUE(r1.has(" number of reflections used  =           5")) << r1.out;
}

// A listing that cannot be written is a failure, not a success, and stops
// the run before the computation.
TEST(Messages, ALostListingIsAFailure) {
  const fs::path dir = job_dir("listing");
  write_file(dir / "m.den", "the previous density");
  const std::string input = text_of(fourier_input());
  struct Case {
    const char* listing;
    const char* told;
  } cases[] = {
      {"> /dev/full", "trovan: the listing could not be written to standard output\n"},
      {">&-", "trovan: standard output is closed: the listing can not be written\n"},
  };
  for (const Case& c : cases) {
    const RunResult r = run_bounded(dir, input, c.listing);
    EXPECT_EQ(r.status, 1) << c.listing;
    EXPECT_EQ(r.err, c.told) << c.listing;
    EXPECT_EQ(slurp(dir / "m.den"), "the previous density") << c.listing;
  }
}

// ---- a full disk: a small filesystem of our own (root only) ----------------

// A tmpfs of `kib` KiB mounted on a fresh folder, unmounted at the end.
struct SmallDisk {
  fs::path dir;
  bool ok = false;
  SmallDisk(const fs::path& where, int kib, const std::string& options = "") : dir(where) {
    fs::create_directories(dir);
    if (::geteuid() != 0) return;
    const std::string cmd = "mount -t tmpfs -o size=" + std::to_string(kib) + "k" + options + " tmpfs '" +
                            dir.string() + "' 2> /dev/null";
    ok = std::system(cmd.c_str()) == 0;
  }
  ~SmallDisk() {
    if (ok) std::system(("umount -l '" + dir.string() + "'").c_str());
  }
};

struct DiskFull {
  std::string name;
  int kib;                       // size of the small disk
  std::vector<Line> drawings;    // of the run
  std::string density;           // file2= (relative to the run's folder)
  std::string message;           // the stop
};

std::ostream& operator<<(std::ostream& os, const DiskFull& d) { return os << d.name; }

class FullDisk : public ::testing::TestWithParam<DiskFull> {};

// The run works in a folder on the small disk; the reflection file lies
// outside it. What it writes there does not fit: the run stops with status
// 1 naming the file, and the previous files are as they were.
TEST_P(FullDisk, AWriteThatFailsStopsAndKeepsThePreviousFile) {
  const DiskFull& c = GetParam();
  const fs::path top = job_dir("diskfull_" + c.name);
  SmallDisk disk(top / "disk", c.kib);
  if (!disk.ok) GTEST_SKIP() << "a full disk needs a small tmpfs, which only root can mount";
  const fs::path dir = disk.dir;
  previous_outputs(dir);
  std::vector<Line> in = fourier_input();
  in[0] = {"file1='" + (top / "m.hkl").string() + "'"};
  in[1] = {"file2='" + c.density + "'"};
  if (!c.drawings.empty()) draw(in, c.drawings, static_cast<int>(std::count_if(c.drawings.begin(), c.drawings.end(),
                                                                              [](const Line& l) { return l[0].rfind("iax=", 0) == 0; })));
  const auto before = snapshot(dir);
  // The input and the listing go outside the small disk.
  const RunResult r = run_bounded(dir, text_of(in), "", "", top, 120);
  const std::string& err = r.err;
  EXPECT_EQ(r.status, 1) << r.out << err;
  EXPECT_NE(err.find("trovan: " + c.message + " could not be written (No space left on device); the previous file is unchanged"),
            std::string::npos)
      << err;
  // The run's files are put in place together or not at all: not even
  // those written whole before the failing one have changed.
  EXPECT_EQ(changes(before, snapshot(dir), {}), "");
}

// The box of the whole cell on 13^3 points.
std::vector<Line> big_box() {
  std::vector<Line> b = kBox;
  b.back() = {"xdiv=13 ydiv=13 zdiv=13 hscl=1"};
  return b;
}

// Sizes in pages of 4 KiB: the previous files take one page each; the
// density (8200 bytes) three, written beside the previous one; the big
// box's binary file (4528 bytes) two, its text file (28561 bytes) seven.
INSTANTIATE_TEST_SUITE_P(
    NoDataLost, FullDisk,
    ::testing::Values(DiskFull{"density", 20, {}, "m.den", "density file m.den"},
                      DiskFull{"binary_box", 28, big_box(), "m.den", "box file m.win"},
                      DiskFull{"text_box", 48, big_box(), "m.den", "box file m.rho"},
                      DiskFull{"pages", 20, kSection, "../m.den", "page file calcomp1.ps"}),
    [](const ::testing::TestParamInfo<DiskFull>& i) { return i.param.name; });

// A folder on a read-only file system: the stop says so, after the
// specified "can't open", before anything is computed.
TEST(NoDataLost, AReadOnlyFolderIsNamedWithTheSystemsReason) {
  const fs::path top = job_dir("readonly");
  SmallDisk disk(top / "disk", 64, ",ro");
  if (!disk.ok) GTEST_SKIP() << "a read-only file system needs a tmpfs, which only root can mount";
  std::vector<Line> in = fourier_input();
  in[0] = {"file1='" + (top / "m.hkl").string() + "'"};
  const RunResult r = run_bounded(disk.dir, text_of(in), "", "", top);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "trovan: can't open m.den\ntrovan: reason: Read-only file system\n");
  EXPECT_FALSE(r.has("dmax="));
}

// A density file given through a symbolic link: the file it names is
// written (whole, as always), and the link stays.
TEST(NoDataLost, ADensityFileBehindALinkIsWrittenThroughIt) {
  const fs::path dir = job_dir("density_link");
  fs::create_directories(dir / "data");
  write_file(dir / "data" / "real.den", "the previous density");
  fs::create_symlink("data/real.den", dir / "m.den");
  RunResult r = run_trovan(dir, text_of(fourier_input()));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(fs::is_symlink(dir / "m.den"));
  EXPECT_EQ(fs::file_size(dir / "data" / "real.den"), 8192u + 8);
  for (const auto& e : fs::directory_iterator(dir / "data"))
    EXPECT_EQ(e.path().filename(), "real.den");  // no temporary file left
}

// Two runs drawing in one folder at once: each writes its pages to a file
// of its own and renames it when complete, so calcomp1.ps is always the
// whole file of one of them, never a mix.
TEST(NoDataLost, TwoRunsDrawingInOneFolderLeaveTheWholeFileOfOne) {
  const fs::path dir = job_dir("two_runs");
  std::vector<std::string> inputs, alone;
  for (const char* title : {"first run", "second run"}) {
    std::vector<Line> in = fourier_input();
    in[2] = {std::string("title='") + title + "'"};
    draw(in, kSection);
    inputs.push_back(text_of(in));
    const fs::path solo = job_dir(std::string("two_runs_solo") + title[0]);
    RunResult r = run_bounded(solo, inputs.back());
    ASSERT_EQ(r.status, 0) << r.out;
    alone.push_back(slurp(solo / "calcomp1.ps"));
    fs::remove_all(solo);
  }
  ASSERT_NE(alone[0], alone[1]);
  write_file(dir / "a.inp", inputs[0]);
  write_file(dir / "b.inp", inputs[1]);
  for (int round = 0; round < 3; ++round) {
    const std::string run = "CLCMPPATH='" + (source_dir() / "plot").string() + "' '" + TROVAN_EXE + "'";
    const std::string cmd = "cd '" + dir.string() + "' && (" + run + " < a.inp > a.out 2>&1 & " + run +
                            " < b.inp > b.out 2>&1 & wait)";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    const std::string ps = slurp(dir / "calcomp1.ps");
    EXPECT_TRUE(ps == alone[0] || ps == alone[1]) << "round " << round << ": " << ps.size() << " bytes";
    for (const auto& e : fs::directory_iterator(dir))
      EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
  }
}

// ---- the output set ----------------------------------------------------------

// A run replaces the output set of an earlier run in its folder: the EPS
// pages and boxes that run made beyond this run's count go with it, but only
// names of the kinds this run wrote, and nothing that merely looks alike.
struct Replaced {
  std::string name;
  int sections, boxes;                // of the second run
  std::vector<std::string> gone;      // files of the first run removed
  std::vector<std::string> kept;      // files of the first run that stay
};

std::ostream& operator<<(std::ostream& os, const Replaced& c) { return os << c.name; }

class OutputSetReplaced : public ::testing::TestWithParam<Replaced> {};

TEST_P(OutputSetReplaced, FilesOfTheEarlierSetBeyondThisRunGo) {
  const Replaced& c = GetParam();
  const fs::path dir = job_dir("replaced_" + c.name);
  std::vector<Line> first = fourier_input();
  draw(first, drawings(3, 3), 6);
  const RunResult r1 = run_bounded(dir, text_of(first));
  ASSERT_EQ(r1.status, 0) << r1.out << r1.err;
  // Look-alikes the pattern must not take.
  const char* const alike[] = {"m_2.txt", "m_02.win", "calcomp1_02.eps", "calcomp1_x.eps", "other_2.win", "m_2.win.bak"};
  for (const char* n : alike) write_file(dir / n, "not an output");
  std::vector<Line> second = fourier_input();
  if (c.sections + c.boxes > 0) draw(second, drawings(c.sections, c.boxes), c.sections + c.boxes);
  const RunResult r2 = run_bounded(dir, text_of(second));
  ASSERT_EQ(r2.status, 0) << r2.out << r2.err;
  for (const std::string& n : c.gone) EXPECT_FALSE(fs::exists(dir / n)) << n;
  for (const std::string& n : c.kept) EXPECT_TRUE(fs::exists(dir / n)) << n;
  for (const char* n : alike) EXPECT_EQ(slurp(dir / n), "not an output") << n;
  fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(
    NoDataLost, OutputSetReplaced,
    ::testing::Values(
        Replaced{"fewer_pages_and_boxes", 1, 1,
                 {"calcomp1_2.eps", "calcomp1_3.eps", "m_2.win", "m_2.rho", "m_2.ccp4", "m_3.win", "m_3.rho", "m_3.ccp4"},
                 {"calcomp1.ps", "calcomp1_1.eps", "m.win", "m.rho", "m.ccp4"}},
        Replaced{"pages_only", 2, 0, {"calcomp1_3.eps"},
                 {"calcomp1_1.eps", "calcomp1_2.eps", "m.win", "m_2.rho", "m_3.ccp4"}},
        Replaced{"boxes_only", 0, 2, {"m_3.win", "m_3.rho", "m_3.ccp4"},
                 {"calcomp1.ps", "calcomp1_2.eps", "calcomp1_3.eps", "m_2.win", "m_2.ccp4"}},
        Replaced{"no_drawings", 0, 0, {}, {"calcomp1_3.eps", "m_3.win"}}),
    [](const ::testing::TestParamInfo<Replaced>& i) { return i.param.name; });

// The listing is the account of the run: when it cannot be written (here it
// fails once the map is made, as a disk that fills up would), the run stops
// with status 1 before any output file is replaced.
class FailingBuf : public std::streambuf {
 public:
  explicit FailingBuf(std::size_t room) : room_(room) {}
  std::string text;

 protected:
  int_type overflow(int_type c) override {
    if (text.size() >= room_) return traits_type::eof();
    text.push_back(static_cast<char>(c));
    return c;
  }

 private:
  std::size_t room_;
};

TEST(NoDataLost, AListingLostAfterTheComputationReplacesNothing) {
  const fs::path dir = job_dir("listing_late");
  std::vector<Line> in = fourier_input();
  draw(in, kBox);
  const std::string input = point_into(text_of(in), dir);
  // Where the listing reaches the extrema of the finished map.
  const InProcess good = run_inprocess(input);
  ASSERT_EQ(good.status, 0) << good.out;
  const std::size_t at = good.out.find("dmax=");
  ASSERT_NE(at, std::string::npos);
  for (const char* n : {"m.den", "m.win", "m.rho", "m.ccp4"}) write_file(dir / n, "the previous file");
  const auto before = snapshot(dir);

  std::istringstream keys(input);
  FailingBuf buf(at);
  std::ostream listing(&buf);
  std::ostringstream warnings;
  trovan::set_out_stream(&listing);
  trovan::set_warn_stream(&warnings);
  int status = 0;
  std::string why;
  try {
    trovan::run(keys);
  } catch (const trovan::Stop& s) {
    status = s.status;
    why = s.what();
  }
  trovan::set_out_stream(nullptr);
  trovan::set_warn_stream(nullptr);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(why, "the listing could not be written to standard output");
  EXPECT_EQ(changes(before, snapshot(dir), {}), "");
  fs::remove_all(dir);
}

// ---- warnings ----------------------------------------------------------------

// A run that warns ends normally, with each warning in the listing and on
// standard error, and one line counting them last.
struct Warned {
  std::string name;
  std::function<void(const fs::path&, std::vector<Line>&)> setup;
  bool fourier;
  std::vector<std::string> warnings;  // the beginnings of the warnings, in order
};

std::ostream& operator<<(std::ostream& os, const Warned& w) { return os << w.name; }

class Warnings : public ::testing::TestWithParam<Warned> {};

TEST_P(Warnings, OnStandardErrorWithTheirCountLast) {
  const Warned& w = GetParam();
  const fs::path dir = job_dir("warned_" + w.name);
  std::vector<Line> in = w.fourier ? fourier_input() : full_input();
  w.setup(dir, in);
  const RunResult r = run_bounded(dir, text_of(in));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  std::istringstream err(r.err);
  int n = 0;
  for (std::string l; std::getline(err, l);)
    if (n < static_cast<int>(w.warnings.size())) {
      EXPECT_EQ(l.rfind("trovan: warning: " + w.warnings[n], 0), 0u) << r.err;
      EXPECT_TRUE(r.has(l.substr(17))) << l;
      ++n;
    } else {
      EXPECT_EQ(l, w.warnings.empty() ? "" : "trovan: " + std::to_string(n) +
                                              (n == 1 ? " warning" : " warnings") + " (see the listing)");
      ++n;
    }
  EXPECT_EQ(n, w.warnings.empty() ? 0 : static_cast<int>(w.warnings.size()) + 1) << r.err;
  EXPECT_EQ(count_of(r.out, " warning:"), static_cast<int>(w.warnings.size())) << r.out;
  // Run in this process, the job returns the warnings it gave on standard
  // error, in order, and a run's count starts from none.
  for (int pass = 0; pass < 2; ++pass) {
    const InProcess p = run_inprocess(point_into(text_of(in), dir));
    ASSERT_EQ(p.status, 0) << p.out;
    std::string said;
    for (const std::string& t : p.job.warnings) said += "trovan: warning: " + t + "\n";
    EXPECT_EQ(said, p.warnings) << "pass " << pass;
    EXPECT_EQ(p.job.warnings.size(), w.warnings.size()) << "pass " << pass;
  }
  fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, Warnings,
    ::testing::Values(
        Warned{"none", [](const fs::path&, std::vector<Line>&) {}, true, {}},
        // Three points along the first axis hold the orders -1 to 1: the
        // two reflections of order 2 and their Friedel mates are left out.
        Warned{"grid_too_small", [](const fs::path&, std::vector<Line>& in) { set_item(in, "hmax=", "hmax=3 8 8 4 1 1"); },
               true, {"4 reflection coefficients (symmetry images counted) lie beyond the grid"}},
        Warned{"records_merged",
               [](const fs::path& d, std::vector<Line>&) {
                 write_file(d / "m.hkl", slurp(d / "m.hkl") + "   1   1   0   0   0   0     50.15     50.15      0.00      1.00\n");
               },
               true, {"2 symmetry-equivalent records merged into        1 reflections"}},
        // Records of 3f12.4 read with 3f10.4: the phase comes from the
        // wrong columns, and the last digits of the record are left over.
        Warned{"format_narrower_than_the_columns",
               [](const fs::path& d, std::vector<Line>& in) {
                 write_file(d / "m.hkl", "   1   1   0   0   0   0     51.1500     64.0000      0.0000\n"
                                         "   2   0   0   0   0   0     81.2900     81.0000      0.0000\n");
                 set_item(in, "frmt=", "frmt='(6i4,3f10.4)'");
               },
               true,
               {"2 records of the reflection file with text after the last field of frmt=(6i4,3f10.4) (record 1 "
                "(line 1) ends in '0.0000')"}},
        Warned{"last_line_without_its_end",
               [](const fs::path& d, std::vector<Line>&) {
                 std::string h = slurp(d / "m.hkl");
                 write_file(d / "m.hkl", h.substr(0, h.size() - 7));
               },
               true, {"the last line of the reflection file (line 5) has no line end"}},
        Warned{"mem_cycle_limit", [](const fs::path&, std::vector<Line>&) {}, false,
               {"mem stopped by its cycle limit nex1+nex2=4 at c2=", "c2 of the classes differs by a factor"}}),
    [](const ::testing::TestParamInfo<Warned>& i) { return i.param.name; });

}  // namespace
