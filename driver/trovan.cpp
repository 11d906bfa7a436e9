// The run driver: reads the keyword input in its fixed order, sets up the
// lattice, symmetry and grid after each group of keys, reads and expands the
// reflections, makes the density by the method `iplot` selects, and writes
// and draws the result.
#include "driver/trovan.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "crystal/gridindex.hpp"
#include "crystal/lattice.hpp"
#include "crystal/setting.hpp"
#include "crystal/symmetry.hpp"
#include "density/mem.hpp"
#include "density/synthesis.hpp"
#include "util/workgrid.hpp"
#include "util/files.hpp"
#include "util/input.hpp"
#include "util/runstate.hpp"
#include "maps/densityfile.hpp"
#include "maps/peaks.hpp"
#include "plot/drwmap.hpp"
#include "reflections/expand.hpp"
#include "reflections/hklread.hpp"
#include "util/fortran_fmt.hpp"
#include "util/stop.hpp"

namespace trovan {

namespace {

// A real in the echo: as short as it can be while exact to single precision.
std::string num(float v) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.7g", static_cast<double>(v));
  return buf;
}

std::string trimmed(const std::string& s) { return s.substr(0, istrln(s)); }

constexpr int kMaxSmtr = 12;  // steps of the superstructure transformation

// File names are limited to 80 characters; a longer one is refused rather
// than cut, since a cut name could silently overwrite another file.
std::string read_name(const std::string& key) {
  std::string v;
  freadcv(key, 1, &v, 1, kLineLength);
  v = trimmed(v);
  if (static_cast<int>(v.size()) > kNameLength)
    quit(key + " file name longer than 80 characters: " + v);
  return v;
}

void read_names(Job& n) {
  n.hkl = read_name("file1=");
  out() << "hkl-fo-fc file:" << n.hkl << '\n';
  n.density = read_name("file2=");
  out() << "density file:" << n.density << '\n';
  std::string prefix = getflnmprfx(n.density);
  n.win = prefix + ".win";
  n.rho = prefix + ".rho";
  if (static_cast<int>(n.win.size()) > kNameLength)
    quit("box file name longer than 80 characters: " + n.win);
  out() << "flnm3=" << n.win << ",flnm4=" << n.rho << '\n';
  std::string title;
  freadc("title=", 1, title, 1, kNameLength);
  title = trimmed(title);
  out() << title << '\n';
  settitle(title);
  setflnm1(n.hkl);
  setboxnames(n.win.c_str(), n.rho.c_str());
}

// Steps 3-4: the crystal system, the lattice and the symmetry.
void read_lattice_and_symmetry(int isys) {
  if (isys != 0) {
    float a = 0, c = 0;
    freadr("a=", 1, a, 0);
    out() << "isys=" << fmt_i(isys, 3) << " a=" << num(a);
    if (isys > 2) {
      freadr("c=", 1, c, 0);
      out() << " c=" << num(c);
    } else {
      c = a;
    }
    out() << '\n';
    setac(a, c);
  } else {
    out() << "isys=" << fmt_i(isys, 3) << '\n';
    readlc();
    int ndm = 0;
    rdkvctr(ndm);
    calltcs();
  }
  setsmh(isys);
  setsmx(isys);

  seteps(0, 0, 0, 0);
  setd();
  setdei();
  if (isys == 1 || isys == 2) intskp();
  mtrtns();
  setiwflag(1);
  rdsymo();
  setidm(isys > 2 ? 5 : 6);
  setbrv(getbrv());
}

// Step 5: F(000) and scale, job control, the general setting's basis.
void read_scale_and_setting(int isys) {
  Tofofc t;
  freadr("f000=", 1, t.f000, 1);
  freadr("sg00=", 1, t.sg00, 0);
  freadr("sg0=", 1, t.sg0, 0);
  freadr("sg1=", 1, t.sg1, 0);
  freadr("fmag=", 1, t.fmag, 0);
  out() << "f000=" << num(t.f000) << " sg00=" << num(t.sg00) << " sg0=" << num(t.sg0)
        << " sg1=" << num(t.sg1) << " fmag=" << num(t.fmag) << '\n';
  settofofc(t);

  int jbc = 0;
  freadi("jbc=", 1, jbc, 1);
  out() << "jbc=" << fmt_i(jbc, 3) << '\n';
  setjbc(jbc);
  if (isys == 0) {
    int isetting = 0;
    freadi("isetting=", 1, isetting, 1);
    out() << "isetting=" << fmt_i(isetting, 3) << '\n';
    setumtrx(isetting);
    readvmtrx();
    setdqmtrx();
  }
  setdr();
  getdet();
  if (isys == 0) {
    // The first pass over the general setting saw an incomplete basis; the
    // deformation and the metric are made again on the complete one.
    setdei();
    mtrtns();
  }
  if (jbc < 0) readst1234();
}

}  // namespace

Job read_keywords() {
  Job job;
  // Step 1: units.
  setinp(5);
  setout(6);

  // Step 2: file names and title.
  read_names(job);

  // Steps 3-5.
  int isys = 0;
  freadi("isys=", 1, isys, 1);
  setsys(isys);
  read_lattice_and_symmetry(isys);
  read_scale_and_setting(isys);

  // Step 6: map kind and grid.
  int iplot = 0;
  int hmax[6] = {1, 1, 1, 1, 1, 1};
  freadi("iplot=", 1, iplot, 1);
  freadiv("hmax=", 6, hmax, 0);
  setiplt(iplot);
  out() << "iplot=" << fmt_i(iplot, 3) << " hmax=";
  for (int h : hmax) out() << fmt_i(h, 4);
  out() << '\n';
  int ismtr = 0;
  if (isys != 0) {
    freadi("ismtr=", 1, ismtr, 0);
    out() << "ismtr=" << fmt_i(ismtr, 3) << '\n';
    // Each step of the superstructure transformation multiplies the indices
    // by up to tau^3; a dozen steps already carry every reflection far off
    // any grid, and many more would overflow the index arithmetic.
    if (ismtr < -kMaxSmtr || ismtr > kMaxSmtr)
      quit("ismtr should be -" + std::to_string(kMaxSmtr) + " to " + std::to_string(kMaxSmtr) +
           ": ismtr=" + std::to_string(ismtr));
  }
  const int idm = getidm();
  for (int i = 0; i < 6; ++i) {
    if (i >= idm) continue;
    if (hmax[i] < 1)
      quit("hmax should be positive: hmax(" + std::to_string(i + 1) + ")=" + std::to_string(hmax[i]));
  }
  setng(hmax);
  calmm();
  setitt();

  // Step 7.
  float pkmin = 0;
  freadr("pkmin=", 1, pkmin, 0);
  out() << " pkmin=" << num(pkmin) << '\n';
  if (!(pkmin > 0)) quit("pkmin should be positive");
  if (iplot == 0) quit("do not support iplot=0");

  // Step 8.
  float rwmin = 0;
  if (ismem() && std::abs(iplot) == 5) {
    freadr("rwmin=", 1, rwmin, 0);
    out() << "rwmin=" << num(rwmin) << '\n';
  }
  setrwmin(rwmin);

  // Step 9: the grid must fit the work grid.
  long long nt = getnt();
  if (nt > kNts) {
    out() << "nt=" << nt << " nts=" << kNts << '\n';
    quit("nt > nts");
  }

  // Step 10: MEM step controls.
  Cnex cx;
  if (ismem()) {
    freadr("ex1=", 1, cx.ex1, 1);
    freadr("ex2=", 1, cx.ex2, 0);
    freadi("nex1=", 1, cx.nex1, 0);
    freadi("nex2=", 1, cx.nex2, 0);
    out() << "ex1=" << num(cx.ex1) << " ex2=" << num(cx.ex2) << " nex1=" << fmt_i(cx.nex1, 5)
          << " nex2=" << fmt_i(cx.nex2, 5) << '\n';
  }
  setcnex(cx);

  // Step 11.
  int icont = 0;
  freadi("icont=", 1, icont, 1);
  out() << "icont=" << fmt_i(icont, 3) << '\n';
  setvol();
  setsmtr(ismtr);
  if ((isys == 1 || isys == 2) && getbrv() == 'p' && ismtr % 3 != 0)
    quit("ismtr must be 3*n for brv=p isys=1,2");

  // Step 12.
  float qimax = 0;
  std::string frmt;
  freadr("qimax=", 1, qimax, 1);
  // The format is kept in 40 characters; a longer one is refused rather
  // than cut, since a cut format could read other columns than meant.
  freadcv("frmt=", 1, &frmt, 0, kLineLength);
  frmt = trimmed(frmt);
  if (frmt.size() > 40) quit("frmt= format longer than 40 characters: " + frmt);
  out() << "qimax=" << num(qimax) << " frmt=" << frmt << '\n';
  int ldev = 0, iwhkl = 0, iprj = 0;
  freadi("ldev=", 1, ldev, 1);
  freadi("iwhkl=", 1, iwhkl, 0);
  freadi("iprj=", 1, iprj, 0);
  out() << "ldev=" << fmt_i(ldev, 3) << " iwhkl=" << fmt_i(iwhkl, 3) << " iprj=" << fmt_i(iprj, 3)
        << '\n';
  if (iprj < 0 || iprj > kMaxPrj) quit("iprj should be 0 to 6: iprj=" + std::to_string(iprj));
  int prj[kMaxPrj][6] = {};
  for (int k = 0; k < iprj; ++k) {
    freadiv("h=", 6, prj[k], 1);
    out() << "h=";
    for (int i = 0; i < 6; ++i) out() << fmt_i(prj[k][i], 3);
    out() << '\n';
  }
  setprj(iprj, prj);

  job.iplot = iplot;
  job.pkmin = pkmin;
  job.icont = icont;
  job.qimax = qimax;
  job.frmt = frmt;
  job.ldev = ldev;
  job.iwhkl = iwhkl;
  return job;
}

void read_data(const Job& job) {
  // Step 13: the reflections; the density file is opened once so that a bad
  // name stops the run now, not after the long computation. The open must
  // not change the file: a continuation run reads it later.
  rdhklq(job.qimax, job.frmt, 0);
  bool existed = std::filesystem::exists(job.density);
  std::fstream f;
  openfileu(f, job.density, "UNKNOWN");
  f.close();
  std::error_code ec;
  if (!existed) std::filesystem::remove(job.density, ec);
}

void compute(const Job& job) {
  const int icont = job.icont;

  // Step 14: expansion and the index tables.
  symstf();
  setsmopprm();
  setindfindx();
  setindxindx();

  // Step 15: the start density.
  const Tofofc t = gettofofc();
  if (icont == 1) {
    readdxyz(job.density, getabcdr(), getnt());
    setxr0();
    getdmx();
  } else if (icont != 0) {
    out() << "icont=" << icont << '\n';
    quit("icont should be 0 or 1");
  } else if (ismem()) {
    // Every maximum-entropy run without a stored density starts from the
    // uniform density F(000)/V: the iteration needs a positive start.
    initcr0(t.f000);
  } else {
    initcr1();
  }

  // Step 16: maximum entropy.
  if (ismem()) {
    chsdenmodf(2);
    memloop(getf0(), job.density);
  }

  // Step 17: the full grid, its extrema and peaks. The density file is
  // handed to the system first, and the disk takes it while the peaks are
  // searched; a failed write is still reported after the peak list.
  getbrfromxr0();
  wrtdxyzstart(job.density, getabcdr(), getnt());
  struct Abandon {
    ~Abandon() { wrtdxyzabandon(); }
  } abandon;
  pksearchnd(job.pkmin);
  float dmin = 0, dmax = 0, xmn[6], xmx[6];
  getpeakcrd(dmin, xmn, dmax, xmx);
  out() << "dmin=" << fmt_e(dmin, 12, 5) << " xmn=";
  for (float x : xmn) out() << fmt_f(x, 8, 4);
  out() << '\n' << "dmax=" << fmt_e(dmax, 12, 5) << " xmx=";
  for (float x : xmx) out() << fmt_f(x, 8, 4);
  out() << '\n';

  // Step 18.
  wrtdxyzfinish();
  if (ismem()) rfct(job.iwhkl);

  // Step 19.
  drwmap(job.ldev);
}

void run() {
  const Job job = read_keywords();
  read_data(job);
  compute(job);
}

}  // namespace trovan
