#include "reflections/hklread.hpp"

#include <array>
#include <cmath>
#include <fstream>
#include <vector>

#include "crystal/crystal.hpp"
#include "reflections/cifread.hpp"
#include "util/files.hpp"
#include "util/input.hpp"
#include "util/runstate.hpp"
#include "reflections/fortran_format.hpp"
#include "util/fortran_fmt.hpp"
#include "util/linalg.hpp"
#include "util/stop.hpp"

namespace trovan {

namespace {

constexpr int kMaxIndex = 16777216;  // |h_i| of a record: the longest grid axis
constexpr int kMaxLineLength = 1000;  // characters of a line of the file

std::string quoted(const std::string& s) { return "'" + s + "'"; }

// The listing writes counts as a list-directed write does.
void count_line(const std::string& label, int n) { out() << ' ' << label << fmt_i(n, 12) << '\n'; }

}  // namespace

double filephase(double a, double b, int phsign) { return todeg(atan3(-phsign * b, a)); }
double filephasedeg(double internal_degrees, int phsign) { return -phsign * internal_degrees + 0.0; }

void Reflections::add(const int* hkl, float f_o, float f_c, float c, float s, float sig) {
  if (size() >= kNhmax)
    quit("more than " + std::to_string(kNhmax) + " reflections kept (nhmax=" + std::to_string(kNhmax) + ")");
  std::array<int, 6> hh;
  for (int i = 0; i < 6; ++i) hh[i] = hkl[i];
  h.push_back(hh);
  fo.push_back(f_o);
  fc.push_back(f_c);
  sigma.push_back(sig);
  cosphs.push_back(c);
  sinphs.push_back(s);
  iphs.push_back(0);
}

void cossind(double degrees, double& c, double& s) {
  // Reduce to the nearest quarter turn, so that only |r| <= 45 degrees goes
  // through the library functions and quarter turns are exact.
  double x = std::fmod(degrees, 360.0);
  double q = std::nearbyint(x / 90.0);
  double r = torad(x - 90.0 * q);
  double cr = std::cos(r), sr = std::sin(r);
  switch ((static_cast<int>(q) % 4 + 4) % 4) {
    case 0: c = cr; s = sr; break;
    case 1: c = -sr; s = cr; break;
    case 2: c = -cr; s = -sr; break;
    default: c = sr; s = -cr; break;
  }
  c += 0.0;  // no negative zero
  s += 0.0;
}

Reflections rdhklq(const Crystal& cr, const RunState& rs, const std::string& file, float qimax,
                   const std::string& frmt, int isel, int phsign) {
  if (isel != 0) quit("isel=" + std::to_string(isel) + ": selecting records by a marker is not supported");
  const int idm = cr.group.idm;
  if (idm < 1 || idm > 6) quit("invalid idm=" + std::to_string(idm) + " in rdhklq");

  // F(000) and the three sigma values are given on the scale of the file;
  // on the scale of the amplitudes they must stay finite.
  const Tofofc t = scaletofofc(rs);
  if (!std::isfinite(t.f000) || !std::isfinite(t.sg00) || !std::isfinite(t.sg0) || !std::isfinite(t.sg1))
    quit("f000=, sg00=, sg0=, sg1= times fmag= out of range");

  // Fourier, difference and Patterson records carry Fo, Fc and the phase; a
  // MEM record adds sigma(Fo).
  const int nreal = ismem(rs) ? 4 : 3;
  Reflections refl;
  refl.phsign = phsign < 0 ? -1 : 1;
  int nskip = 0;
  // A record is named as its file knows it: a row of a CIF loop, a record
  // of a fixed-column file.
  std::string cifname;
  const auto recordname = [&cifname](int nrec) {
    return cifname.empty() ? "record " + std::to_string(nrec)
                           : "CIF reflection file " + cifname + ": row " + std::to_string(nrec) + " of the _refln_ loop";
  };
  // One record, read from either kind of file: echoed, checked, cut at
  // qimax and kept. False when it ends the list (a first index of 999).
  const auto keep = [&](int nrec, const int* h, const double* v) {
    // The echo, as the format "(" idm "i4,4f10.2)" writes the record.
    std::string echo;
    for (int i = 0; i < idm; ++i) echo += fmt_i(h[i], 4);
    for (int i = 0; i < nreal; ++i) echo += fmt_f(v[i], 10, 2);
    out() << echo << '\n';
    if (h[0] == 999) return false;
    // Indices beyond the largest grid have no place on it; refusing them
    // here keeps the index arithmetic of the expansion (h.R, superstructure
    // steps) far from integer overflow.
    for (int i = 0; i < idm; ++i)
      if (h[i] > kMaxIndex || h[i] < -kMaxIndex)
        quit(recordname(nrec) + ": index out of range (at most " +
             std::to_string(kMaxIndex) + " in size): " + quoted(echo));

    float fv[4];
    for (int i = 0; i < nreal; ++i) {
      fv[i] = static_cast<float>(v[i]);
      if (!std::isfinite(fv[i]) || !std::isfinite(fv[i] * t.fmag))
        quit(recordname(nrec) + ": value out of range: " + quoted(echo));
    }

    // The cut is on the length of the physical-space (parallel) component of
    // the scattering vector only: the perpendicular part says nothing about
    // the resolution of the measurement.
    float q[6];
    getqi0(cr.lattice, h, q);
    const double qlen = std::sqrt(static_cast<double>(q[0]) * q[0] + static_cast<double>(q[1]) * q[1] +
                                  static_cast<double>(q[2]) * q[2]);
    if (qlen > qimax) {
      ++nskip;
      return true;
    }
    if (refl.size() >= kNhmax)
      quit(recordname(nrec) + ": more than " + std::to_string(kNhmax) +
           " reflections kept (nhmax=" + std::to_string(kNhmax) + ")");
    // The phase in the program's convention (see hklread.hpp).
    double c, s;
    cossind(fv[2], c, s);
    s = -refl.phsign * s + 0.0;
    refl.add(h, fv[0] * t.fmag, fv[1] * t.fmag, static_cast<float>(c), static_cast<float>(s),
           nreal == 4 ? fv[3] * t.fmag : 0.0f);
    return true;
  };

  if (iscifformat(frmt)) {
    // A CIF file: the _refln_ loop, every row a record.
    checkinputfile(trim(file));
    CifNeeds needs;
    needs.fc = isdfourier(rs);
    needs.phase = !ispatterson(rs);
    needs.sigma = ismem(rs);
    const std::vector<CifRecord> recs =
        readcifreflections(trim(file), idm, rs.isys == 0 ? cr.lattice.ndm : -1, needs);
    // A file cut short in a copy ends without its line end; its last row may
    // be cut too.
    {
      std::ifstream c(trim(file), std::ios::binary | std::ios::ate);
      if (c && c.tellg() > 0) {
        c.seekg(-1, std::ios::end);
        if (c.get() != '\n') warn(" the CIF reflection file " + trim(file) + " does not end with a line end: it may be cut short; check its last row");
      }
    }
    cifname = trim(file);
    for (std::size_t r = 0; r < recs.size(); ++r)
      if (!keep(static_cast<int>(r + 1), recs[r].h, recs[r].v)) break;
    out() << "reflection file: records kept, and records beyond qimax= left out\n";
    count_line("number of reflections used  =", refl.size());
    count_line("number of skiped reflections=", nskip);
    return refl;
  }

  std::fstream f;
  openfile(f, file, "OLD");

  InputFormat fmt;
  std::string why = compile_input_format(frmt, fmt);
  if (!why.empty()) quit("record 1: " + why);

  int line_no = 0;
  // One line of the file, of at most kMaxLineLength characters: a file
  // without line ends is refused, not read into memory whole.
  int lines_read = 0;
  int cutshort = 0;  // the number of the last line when it has no line end
  auto rawline = [&](std::string& line) {
    line.clear();
    ++lines_read;
    for (int c = f.get(); c != std::char_traits<char>::eof(); c = f.get()) {
      if (c == '\n') return true;
      if (static_cast<int>(line.size()) >= kMaxLineLength)
        quit("line " + std::to_string(lines_read) + " of the reflection file is longer than " +
             std::to_string(kMaxLineLength) + " characters");
      line.push_back(static_cast<char>(c));
    }
    if (!line.empty()) cutshort = lines_read;
    return !line.empty();
  };
  auto blank = [](const std::string& l) { return l.find_first_not_of(" \t\r") == std::string::npos; };
  // Blank lines after the last record end the file (editors add them); a
  // blank line between records is a record, which the expansion refuses.
  int blanks_ahead = 0;  // blank lines read ahead, then the held line
  std::string held;
  bool have_held = false;
  LineSource next = [&](std::string& line) {
    if (blanks_ahead > 0) {
      --blanks_ahead;
      line.clear();
    } else if (have_held) {
      line = held;
      have_held = false;
    } else {
      if (!rawline(line)) return false;
      if (blank(line)) {
        std::string l;
        while (rawline(l)) {
          if (!blank(l)) {
            held = l;
            have_held = true;
            break;
          }
          ++blanks_ahead;
        }
        if (!have_held) return false;
      }
    }
    ++line_no;
    return true;
  };

  // Text after the format's last field: columns the format leaves out (a
  // Fourier run on a file with sigmas), or a format narrower than the
  // file's columns, which reads numbers from the wrong columns. Counted, and
  // the first named.
  int nbeyond = 0;
  std::string firstbeyond;
  for (int nrec = 1;; ++nrec) {
    int h[6] = {0, 0, 0, 0, 0, 0};
    double v[4] = {0, 0, 0, 0};
    std::string extra;
    ReadStatus st = read_record(fmt, next, idm, h, nreal, v, why, &extra);
    if (st == ReadStatus::end) break;
    if (st == ReadStatus::error)
      quit("record " + std::to_string(nrec) + " (line " + std::to_string(line_no) + "): " + why);
    if (!extra.empty() && nbeyond++ == 0)
      firstbeyond = "record " + std::to_string(nrec) + " (line " + std::to_string(line_no) + ") ends in " + quoted(extra);
    if (!keep(nrec, h, v)) break;
  }
  if (nbeyond > 0)
    warn(fmt_i(nbeyond, 9) + (nbeyond == 1 ? " record" : " records") + " of the reflection file with text after the last field of frmt=" +
         frmt + " (" + firstbeyond + "): check that the format reads the file's columns");
  if (cutshort)
    warn(" the last line of the reflection file (line " + std::to_string(cutshort) +
         ") has no line end: the file may be cut short; check its last record");
  out() << "reflection file: records kept, and records beyond qimax= left out\n";
  count_line("number of reflections used  =", refl.size());
  count_line("number of skiped reflections=", nskip);
  f.close();
  return refl;
}

}  // namespace trovan
