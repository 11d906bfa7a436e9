// The run driver: reads the keyword input in its fixed order, sets up the
// lattice, symmetry and grid after each group of keys, reads and expands the
// reflections, makes the density by the method `iplot` selects, and writes
// and draws the result.
#include "driver/trovan.hpp"

#include <algorithm>
#include <array>
#include <filesystem>
#include <functional>
#include <limits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "crystal/crystal.hpp"
#include "density/mem.hpp"
#include "density/synthesis.hpp"
#include "driver/crystalkeys.hpp"
#include "driver/drawingkeys.hpp"
#include "util/workgrid.hpp"
#include "util/files.hpp"
#include "util/input.hpp"
#include "util/runstate.hpp"
#include "maps/densityfile.hpp"
#include "maps/peaks.hpp"
#include "plot/calcomp.hpp"
#include "plot/drwmap.hpp"
#include "reflections/expand.hpp"
#include "reflections/hklread.hpp"
#include "util/fortran_fmt.hpp"
#include "util/stop.hpp"
#include "util/tempfiles.hpp"
#include "util/threads.hpp"
#include "util/vectorclones.hpp"

namespace trovan {

namespace {

// A real in the echo: as short as it can be while exact to single precision.
std::string num(float v) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.7g", static_cast<double>(v));
  return buf;
}

constexpr int kMaxSmtr = 12;  // steps of the superstructure transformation
// Cycles of a maximum-entropy run (nex1 + nex2): a converging run takes
// hundreds; far more only fills the disk with the listing.
constexpr long long kMaxCycles = 100000;

// File names are limited to 80 characters; a longer one is refused rather
// than cut, since a cut name could silently overwrite another file.
std::string read_name(KeyReader& rd, const std::string& key, int newline = 1) {
  std::string v;
  freadcv(rd, key, 1, &v, newline, kLineLength);
  v = trim(v);
  if (static_cast<int>(v.size()) > kNameLength)
    quit(key + " file name longer than 80 characters: " + v);
  checkname(key, v);
  return v;
}

void read_names(KeyReader& rd, Job& n) {
  n.hkl = read_name(rd, "file1=");
  out() << "hkl-fo-fc file:" << n.hkl << '\n';
  n.density = read_name(rd, "file2=");
  out() << "density file:" << n.density << '\n';
  std::string prefix = getflnmprfx(n.density);
  n.win = prefix + ".win";
  n.rho = prefix + ".rho";
  if (static_cast<int>(n.win.size()) > kNameLength)
    quit("box file name longer than 80 characters: " + n.win);
  out() << "flnm3=" << n.win << ",flnm4=" << n.rho << '\n';
  out() << "box files (iax=3): " << n.win << ", " << n.rho << ", " << prefix << ".ccp4; the second box "
        << prefix << "_2.*, ...\n";
  std::string title;
  freadc(rd, "title=", 1, title, 1, kNameLength);
  title = trim(title);
  out() << title << '\n';
  n.run.title = title;
}

// The crystal system, the lattice and the symmetry.
void read_lattice_and_symmetry(KeyReader& rd, Crystal& cr, int isys) {
  Lattice& lat = cr.lattice;
  lat.isys = isys;
  if (isys != 0) {
    float a = 0, c = 0;
    freadr(rd, "a=", 1, a, 0);
    out() << "isys=" << fmt_i(isys, 3) << " a=" << num(a);
    if (isys > 2) {
      freadr(rd, "c=", 1, c, 0);
      out() << " c=" << num(c);
    } else {
      c = a;
    }
    out() << '\n';
    setac(lat, a, c);
  } else {
    out() << "isys=" << fmt_i(isys, 3) << '\n';
    readlc(rd, lat);
    rdkvctr(rd, lat);
    calltcs(lat);
  }
  Setting& set = cr.setting;
  set.isys = isys;
  setsmh(set, isys);
  setsmx(set, isys);

  seteps(lat, 0, 0, 0, 0);
  setd(lat);
  setdei(lat);
  if (isys == 1 || isys == 2) intskp(lat);
  mtrtns(lat);
  Group& grp = cr.group;
  rdsymo(rd, grp, set, activedim(isys, lat.ndm), true);
  grp.idm = isys > 2 ? 5 : 6;
  cr.grid.idm = grp.idm;
  // A centring letter the system does not know would stop the run at the
  // first reflection; say so now, with the letters there are.
  if (!brvknown(set)) {
    out() << "brv='" << set.brv << "' is no centring of isys=" << isys << ": use " << brvletters(isys) << '\n';
    quit("invalid brv");
  }
}

// F(000) and scale, job control, the general setting's basis.
void read_scale_and_setting(KeyReader& rd, Crystal& cr, RunState& rs, int isys) {
  Tofofc t;
  freadr(rd, "f000=", 1, t.f000, 1);
  freadr(rd, "sg00=", 1, t.sg00, 0);
  freadr(rd, "sg0=", 1, t.sg0, 0);
  freadr(rd, "sg1=", 1, t.sg1, 0);
  freadr(rd, "fmag=", 1, t.fmag, 0);
  out() << "f000=" << num(t.f000) << " sg00=" << num(t.sg00) << " sg0=" << num(t.sg0)
        << " sg1=" << num(t.sg1) << " fmag=" << num(t.fmag) << '\n';
  // fmag multiplies every amplitude: zero leaves no map, a negative scale
  // turns every phase by 180 degrees.
  if (!(t.fmag > 0)) quit("fmag should be positive");
  rs.tofofc = t;

  int jbc = 0;
  freadi(rd, "jbc=", 1, jbc, 1);
  out() << "jbc=" << fmt_i(jbc, 3) << '\n';
  rs.jbc = jbc;
  Lattice& lat = cr.lattice;
  if (isys == 0) {
    int isetting = 0;
    freadi(rd, "isetting=", 1, isetting, 1);
    out() << "isetting=" << fmt_i(isetting, 3) << '\n';
    setumtrx(lat, isetting);
    readvmtrx(rd, lat);
    setdqmtrx(lat);
  }
  setdr(lat);
  if (isys == 0) {
    // The first pass over the general setting saw an incomplete basis; the
    // deformation and the metric are made again on the complete one.
    setdei(lat);
    mtrtns(lat);
  }
  if (jbc < 0) readst1234(rd, lat, jbc);
}

}  // namespace

Job read_job(std::istream& in) {
  Job job;
  KeyReader rd(in);
  Crystal& cr = job.crystal;
  RunState& rs = job.run;

  // File names and title.
  read_names(rd, job);

  // The crystal system, its lattice and symmetry, the F(000) block and
  // the general setting's basis.
  int isys = 0;
  freadi(rd, "isys=", 1, isys, 1);
  if (isys < 0 || isys > 5) {
    out() << "isys=" << fmt_i(isys, 3) << '\n';
    quit("wrong isys");
  }
  rs.isys = isys;
  read_lattice_and_symmetry(rd, cr, isys);
  read_scale_and_setting(rd, cr, rs, isys);

  // Map kind and grid.
  int iplot = 0;
  int hmax[6] = {1, 1, 1, 1, 1, 1};
  freadi(rd, "iplot=", 1, iplot, 1);
  freadiv(rd, "hmax=", 6, hmax, 0);
  rs.iplot = iplot;
  out() << "iplot=" << fmt_i(iplot, 3) << " hmax=";
  for (int h : hmax) out() << fmt_i(h, 4);
  out() << '\n';
  int ismtr = 0;
  if (isys != 0) {
    freadi(rd, "ismtr=", 1, ismtr, 0);
    out() << "ismtr=" << fmt_i(ismtr, 3) << '\n';
    // Each step of the superstructure transformation multiplies the indices
    // by up to tau^3; a dozen steps already carry every reflection far off
    // any grid, and many more would overflow the index arithmetic.
    if (ismtr < -kMaxSmtr || ismtr > kMaxSmtr)
      quit("ismtr should be -" + std::to_string(kMaxSmtr) + " to " + std::to_string(kMaxSmtr) +
           ": ismtr=" + std::to_string(ismtr));
  }
  const int idm = cr.group.idm;
  for (int i = 0; i < 6; ++i) {
    if (i >= idm) continue;
    if (hmax[i] < 1)
      quit("hmax should be positive: hmax(" + std::to_string(i + 1) + ")=" + std::to_string(hmax[i]));
  }
  setng(cr.grid, hmax);
  calmm(cr.grid);
  setitt(cr.grid);

  // The peak threshold, a fraction of the map maximum; a map kind must be
  // chosen.
  float pkmin = 0;
  freadr(rd, "pkmin=", 1, pkmin, 0);
  out() << " pkmin=" << num(pkmin) << '\n';
  if (!(pkmin > 0)) quit("pkmin should be positive");
  if (iplot == 0) quit("do not support iplot=0");

  // The weighted R at which a maximum-entropy run of kind 5 stops.
  float rwmin = 0;
  if (ismem(rs) && absiplt(rs) == 5) {
    freadr(rd, "rwmin=", 1, rwmin, 0);
    out() << "rwmin=" << num(rwmin) << '\n';
    if (!(rwmin >= 0)) quit("rwmin should be 0 (no rwfact stop) or positive: rwmin=" + num(rwmin));
  }
  rs.rwmin = rwmin;

  // The grid must fit the density file (the memory is checked when the
  // grid is set).
  long long nt = getnt(cr.grid);
  if (nt > kGridMax) {
    out() << "nt=" << nt << " nts=" << kGridMax << '\n';
    quit("nt > nts");
  }

  // MEM step controls.
  Cnex cx;
  if (ismem(rs)) {
    freadr(rd, "ex1=", 1, cx.ex1, 1);
    freadr(rd, "ex2=", 1, cx.ex2, 0);
    freadi(rd, "nex1=", 1, cx.nex1, 0);
    freadi(rd, "nex2=", 1, cx.nex2, 0);
    // c2min= is optional: inputs without it stop at c2 <= 1.
    if (keyonline(rd, "c2min=")) freadr(rd, "c2min=", 1, cx.c2min, 0);
    if (!(cx.c2min >= 0) || !std::isfinite(cx.c2min))
      quit("c2min should be 0 (no chi-square stop) or positive: c2min=" + num(cx.c2min));
    // fn= is optional too: without it the order suits the data.
    const bool fn = keyonline(rd, "fn=");
    if (fn) {
      freadi(rd, "fn=", 1, cx.fn, 0);
      if (cx.fn < 2 || cx.fn > 16 || cx.fn % 2 != 0)
        quit("fn should be an even number from 2 to 16: fn=" + std::to_string(cx.fn));
    }
    // exact=1: after the stop at c2min, the map of maximum entropy there.
    const bool exact = keyonline(rd, "exact=");
    if (exact) {
      freadi(rd, "exact=", 1, cx.exact, 0);
      if (cx.exact != 0 && cx.exact != 1) quit("exact should be 0 or 1: exact=" + std::to_string(cx.exact));
    }
    // prior= is optional: a density file of the same grid, the prior of the
    // entropy (and the start of the run) in place of the uniform density.
    if (keyonline(rd, "prior=")) job.prior = read_name(rd, "prior=", 0);
    out() << "ex1=" << num(cx.ex1) << " ex2=" << num(cx.ex2) << " nex1=" << fmt_i(cx.nex1, 5)
          << " nex2=" << fmt_i(cx.nex2, 5) << " c2min=" << num(cx.c2min);
    if (fn) out() << " fn=" << cx.fn;
    if (exact) out() << " exact=" << cx.exact;
    if (!job.prior.empty()) out() << " prior=" << job.prior;
    out() << '\n';
    // Without a positive step the iteration never leaves its start, and the
    // flat start density would be written as the result.
    if (cx.nex1 < 0 || cx.nex2 < 0) quit("nex1 and nex2 should not be negative");
    if (static_cast<long long>(cx.nex1) + cx.nex2 > kMaxCycles)
      quit("nex1+nex2 should be at most " + std::to_string(kMaxCycles));
    if (!(cx.ex1 > 0) || !(cx.ex2 > 0)) quit("ex1 and ex2 should be positive");
  }
  rs.cnex = cx;

  // New start or continuation; the cell volume and the superstructure
  // multiplier, which the reflection reader and the expansion need.
  int icont = 0;
  freadi(rd, "icont=", 1, icont, 1);
  out() << "icont=" << fmt_i(icont, 3) << '\n';
  setvol(cr.lattice);
  rs.ismtr = ismtr;
  cr.setting.ismtr = ismtr;
  if ((isys == 1 || isys == 2) && cr.setting.brv == 'p' && ismtr % 3 != 0)
    quit("ismtr must be 3*n for brv=p isys=1,2");

  // The reflection cut and the record format, the drawing device, the
  // reflection listing switch and the projection vectors.
  float qimax = 0;
  std::string frmt;
  freadr(rd, "qimax=", 1, qimax, 1);
  // The format is kept in 40 characters; a longer one is refused rather
  // than cut, since a cut format could read other columns than meant.
  freadcv(rd, "frmt=", 1, &frmt, 0, kLineLength);
  frmt = trim(frmt);
  if (frmt.size() > 40) quit("frmt= format longer than 40 characters: " + frmt);
  out() << "qimax=" << num(qimax) << " frmt=" << frmt << '\n';
  // The sign convention of the phases in the reflection file, optional after
  // frmt=: +1 (the default) for F(h) = sum f exp(+2 pi i h.x), -1 for the
  // opposite sign.
  int phsign = 1;
  if (keyonline(rd, "phsign=")) freadi(rd, "phsign=", 1, phsign, 0);
  out() << "phsign=" << fmt_i(phsign, 3) << '\n';
  if (phsign != 1 && phsign != -1) quit("phsign should be 1 or -1: phsign=" + std::to_string(phsign));
  job.phsign = phsign;
  int ldev = 0, iwhkl = 0, iprj = 0;
  freadi(rd, "ldev=", 1, ldev, 1);
  freadi(rd, "iwhkl=", 1, iwhkl, 0);
  freadi(rd, "iprj=", 1, iprj, 0);
  out() << "ldev=" << fmt_i(ldev, 3) << " iwhkl=" << fmt_i(iwhkl, 3) << " iprj=" << fmt_i(iprj, 3)
        << '\n';
  if (iprj < 0 || iprj > kMaxPrj) quit("iprj should be 0 to 6: iprj=" + std::to_string(iprj));
  int prj[kMaxPrj][6] = {};
  for (int k = 0; k < iprj; ++k) {
    freadiv(rd, "h=", 6, prj[k], 1);
    out() << "h=";
    for (int i = 0; i < 6; ++i) out() << fmt_i(prj[k][i], 3);
    out() << '\n';
  }
  setprj(rs, iprj, prj);

  // The drawing lines: read and checked now, with every other key, so that
  // a mistake there stops the run before the computation and before any
  // file is written; they are drawn at its end.
  job.drawings = readdrawings(rd, mapgeometry(cr, nullptr), ldev);

  job.iplot = iplot;
  job.pkmin = pkmin;
  job.icont = icont;
  // A continuation starts from its own density, which already holds the
  // prior of the run that made it.
  if (icont == 1 && !job.prior.empty()) quit("prior= needs icont=0: a continuation starts from its density file");
  job.qimax = qimax;
  job.frmt = frmt;
  job.ldev = ldev;
  job.iwhkl = iwhkl;
  return job;
}

namespace {

// The files the run will write are checked before it reads or computes
// anything: none may be a file the run reads (the reflection file, the
// keyword input on standard input) or another of its outputs, each must be
// a regular file when it exists, and its folder must take a new file. The
// files themselves are not touched: a continuation run reads the density
// file later.
void checkoutputs(const Job& job) {
  struct Output {
    std::string name, what;
  };
  std::vector<Output> outs = {{job.density, "density file"}};
  const auto has = [&job](int iax) {
    return std::any_of(job.drawings.begin(), job.drawings.end(),
                       [iax](const DrawRequest& r) { return r.iax == iax; });
  };
  int nbox = 0;
  for (const DrawRequest& r : job.drawings)
    if (r.iax == 3)
      for (const std::string& name : boxfilenames(job.win, ++nbox)) outs.push_back({name, "box file"});
  if (has(2)) {
    // The page prolog is found now: without it no page can be drawn, and
    // the run stops before it computes or opens any file.
    findprolog();
    // The run's pages go to the page file of its first file counter.
    const std::string base = pagebase(job.drawings, job.win);
    outs.push_back({getpsname(1, base), "page file"});
    // Each page also as an EPS file of its own.
    int npage = 0;
    for (const DrawRequest& r : job.drawings)
      if (r.iax == 2) outs.push_back({getepsname(1, ++npage, base), "page file"});
    for (const DrawRequest& r : job.drawings)
      if (r.iax == 2 && r.igrid == 1) outs.push_back({sectiongridname(job.win, r.number), "section grid file"});
  }
  for (std::size_t k = 0; k < outs.size(); ++k) {
    const Output& o = outs[k];
    const std::string head = o.what + " " + o.name + " would overwrite ";
    if (samefile(o.name, job.hkl)) quit(head + "the reflection file (file1=)");
    if (isstdin(o.name)) quit(head + "the keyword input (standard input)");
    for (std::size_t m = 0; m < k; ++m)
      if (samefile(o.name, outs[m].name)) quit(head + "the " + outs[m].what + " " + outs[m].name);
    // A box or page name that is a symbolic link would replace the file
    // it points to, which may be anything (another job's reflections):
    // refused, before any computing. The density file keeps its rule (the
    // file a link names is replaced: a continuation run reads it there).
    if (o.what != "density file") refuselink(o.what, o.name);
    checkoutputfile(o.name);
  }
  if (job.icont == 1) checkinputfile(job.density);
  if (!job.prior.empty()) checkinputfile(job.prior);
}

// The files of an earlier run that the output set of this run replaces:
// when the run wrote its page file, the EPS pages calcomp1_<n>.eps it did
// not write; when it wrote boxes, the boxes prefix_<n>.win, .rho and .ccp4
// it did not write. Only names these patterns make, never anything else.
std::vector<std::string> staleoutputs(const Job& job) {
  const std::vector<std::string> written = pendingoutputs();
  const auto waiting = [&written](const std::string& n) {
    return std::find(written.begin(), written.end(), n) != written.end();
  };
  // The number n of `file` when it is `head` n `tail` (n >= 1, no leading
  // zero); 0 otherwise.
  const auto numberof = [](const std::string& file, const std::string& head, const std::string& tail) {
    if (file.size() <= head.size() + tail.size() || file.compare(0, head.size(), head) != 0 ||
        file.compare(file.size() - tail.size(), tail.size(), tail) != 0)
      return 0;
    const std::string digits = file.substr(head.size(), file.size() - head.size() - tail.size());
    if (digits.size() > 6 || digits[0] == '0' || digits.find_first_not_of("0123456789") != std::string::npos)
      return 0;
    return std::stoi(digits);
  };
  std::vector<std::string> stale;
  const auto scan = [&](const std::string& folder, const std::function<void(const std::string&)>& look) {
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder.empty() ? "." : folder, ec), end; !ec && it != end;
         it.increment(ec))
      look(it->path().filename().string());
  };
  if (waiting(getpsname(1))) {
    const std::string first = getepsname(1, 1);
    const std::string head = first.substr(0, first.size() - 5);  // "calcomp1_"
    scan("", [&](const std::string& f) {
      const int n = numberof(f, head, ".eps");
      if (n > 0 && getepsname(1, n) == f && !waiting(f)) stale.push_back(f);
    });
  }
  const std::array<std::string, 3> first = boxfilenames(job.win, 1);
  if (waiting(first[0])) {
    const std::filesystem::path p(first[0]);
    const std::string folder = p.parent_path().string();
    const std::string head = p.stem().string() + "_";
    scan(folder, [&](const std::string& f) {
      for (const char* ext : {".win", ".rho", ".ccp4"}) {
        const int n = numberof(f, head, ext);
        if (n < 2) continue;
        for (const std::string& name : boxfilenames(job.win, n))
          if (std::filesystem::path(name).filename() == f && !waiting(name)) stale.push_back(name);
      }
    });
  }
  return stale;
}

// A map with values that are not finite numbers (amplitudes beyond single
// precision) would give NaN extrema and contours and write infinities.
// Whether rho[lo..hi) holds a value that is not finite (all exponent bits
// set), tested without a branch per value so that the loop compiles to
// vector instructions.
TROVAN_VECTOR_CLONES
bool anynonfinite(const float* __restrict rho, long long lo, long long hi) {
  std::uint32_t any = 0;
  for (long long j = lo; j < hi; ++j) {
    std::uint32_t bits;
    std::memcpy(&bits, rho + j, sizeof bits);
    any |= (bits & 0x7f800000u) == 0x7f800000u;
  }
  return any != 0;
}

void checkfinitemap(const float* rho, long long nt) {
  // The first such value, part by part of the grid on the threads (a part
  // must not stop the run: the message comes after).
  std::mutex m;
  long long first = nt;
  parallel_for(nt, 1 << 18, [&](long long lo, long long hi) {
    for (long long b = lo; b < hi; b += 4096) {
      const long long e = std::min(hi, b + 4096);
      if (!anynonfinite(rho, b, e)) continue;
      long long j = b;
      while (std::isfinite(rho[j])) ++j;
      std::lock_guard<std::mutex> lk(m);
      first = std::min(first, j);
      return;
    }
  });
  for (long long j = first; j < nt; ++j)
    if (!std::isfinite(rho[j]))
      quit("the map holds a value that is not a finite number (NaN or infinite) at grid point " +
           std::to_string(j) + ": the amplitudes are too large for single precision; scale them down with fmag=");
}

}  // namespace

Reflections read_data(const Job& job) {
  // The output files are checked so that a bad name stops the run now,
  // not after the long computation; then the reflections.
  checkoutputs(job);
  return rdhklq(job.crystal, job.run, job.hkl, job.qimax, job.frmt, 0, job.phsign);
}

JobResult compute(const Job& job, Reflections& refl, const MemWatch& watch) {
  const int icont = job.icont;
  const RunState& rs = job.run;

  // The crystal of the computation, whose grid it prepares (the operators
  // in the grid basis and the index tables), and the work grid.
  JobResult result;
  result.crystal = crystalcopy(job.crystal);
  Crystal& cr = result.crystal;
  const long long nt = getnt(cr.grid);
  WorkGrid& w = result.map;
  sizeworkgrid(w, nt);

  // Expansion and the index tables.
  result.obs = symstf(cr, rs, w, refl);
  const Observations& obs = result.obs;
  setindfindx(cr.grid);
  setindxindx(cr.grid);

  // The start density.
  Density& d = result.density;
  if (icont == 1) {
    readdxyz(job.density, getabcdr(w), nt);
    setxr0(cr.grid, rs, w, d);
    getdmx(d);
    checkxr0symmetry(cr.grid, d, w);
    // Values below the smallest normal number have lost their precision,
    // and the map's arithmetic reads them as zero: no start for the
    // iteration, whose steps multiply each value.
    if (ismem(rs))
      for (int i = 0; i < d.nxr0; ++i)
        if (d.x()[i] > 0 && d.x()[i] < std::numeric_limits<float>::min())
          quit("the start density read from " + job.density + " holds a value below the smallest normal "
               "single-precision number (" + num(d.x()[i]) + "): make it again on the scale of F(000), or start "
               "afresh (icont=0)");
  } else if (icont != 0) {
    out() << "icont=" << icont << '\n';
    quit("icont should be 0 or 1");
  } else if (ismem(rs) && !job.prior.empty()) {
    // The prior, made positive and scaled to F(000), is the start.
    readdxyz(job.prior, getabcdr(w), nt);
    setxr0(cr.grid, rs, w, d);
    checkxr0symmetry(cr.grid, d, w);
    memprior(cr, d, obs.f000);
  } else if (ismem(rs)) {
    // Every maximum-entropy run without a stored density starts from the
    // uniform density F(000)/V: the iteration needs a positive start.
    if (!(obs.f000 > 0))
      quitat("xr0 <= 0 so mem does not work", "a new start is the uniform density F(000)/V: f000= must be positive (f000= times fmag= is " +
                                                  num(obs.f000) + ")");
    // Below the smallest normal number the values lose their precision (and
    // the map's arithmetic flushes them to zero).
    if (obs.f000 / cr.lattice.vol < std::numeric_limits<float>::min())
      quit("the uniform start density F(000)/V = " + num(obs.f000 / cr.lattice.vol) +
           " is below the smallest normal single-precision number: give f000= on the scale of the amplitudes");
    d = initcr0(cr, rs, w, obs.f000);
  } else {
    d = initcr1(cr, rs, w);
  }

  // Maximum entropy.
  if (ismem(rs)) {
    chsdenmodf(2);
    memloop(cr, rs, w, d, obs, obs.f000, rs.cnex, rs.rwmin, watch);
  }

  // The full grid, its extrema and peaks. The density file is handed to
  // the system first, and the disk takes it while the peaks are searched;
  // a failed write is still reported after the peak list.
  getbrfromxr0(cr.grid, d, w);
  checkfinitemap(getabcdr(w), nt);
  // A stop before the write is finished removes its temporary file.
  PendingDensity density = wrtdxyzstart(job.density, getabcdr(w), nt);
  result.peaks = pksearchnd(cr, rs, getabcdr(w), job.pkmin);
  float dmin = 0, dmax = 0, xmn[6], xmx[6];
  getpeakcrd(cr.setting, gridview(cr.grid, getabcdr(w)), dmin, xmn, dmax, xmx);
  out() << "dmin=" << fmt_e(dmin, 12, 5) << " xmn=";
  for (float x : xmn) out() << fmt_f(x, 8, 4);
  out() << '\n' << "dmax=" << fmt_e(dmax, 12, 5) << " xmx=";
  for (float x : xmx) out() << fmt_f(x, 8, 4);
  out() << '\n';

  // The density file, and for maximum entropy the final agreement.
  wrtdxyzfinish(density);
  if (ismem(rs)) rfct(cr.lattice, d, obs, job.iwhkl);

  // The drawings and boxes, with the peaks of the list marked on them.
  if (!job.drawings.empty()) {
    MapContext ctx = mapcontext(cr, rs, getabcdr(w), result.peaks);
    ctx.win = job.win;
    ctx.rho = job.rho;
    drwmap(ctx, job.drawings, job.ldev);
  }
  return result;
}

JobResult run(const Job& job, const MemWatch& watch) {
  // The warnings of this run, from reading the reflections to putting the
  // files in place; a run in another thread, or one started inside this
  // one, keeps its own.
  std::vector<std::string> warnings;
  WarningScope scope(warnings);
  // The density, box and page files are written to temporary files and
  // put in place together at the end; a stop on the way leaves every file
  // of an earlier run as it was.
  OutputSet outputs;
  // A listing that cannot be written (a full disk, a closed standard
  // output) stops the run before the long computation.
  checklisting();
  Reflections refl = read_data(job);
  JobResult result = compute(job, refl, watch);
  // A listing that could not be written stops the run before any file is
  // replaced.
  checklisting();
  commitoutputs(staleoutputs(job));
  result.warnings = std::move(warnings);
  return result;
}

JobResult run(std::istream& in, const MemWatch& watch) { return run(read_job(in), watch); }

}  // namespace trovan
