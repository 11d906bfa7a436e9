#include "reflections/cifread.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iterator>

#include <gemmi/cif.hpp>

#include "util/files.hpp"
#include "util/stop.hpp"

namespace trovan {

namespace {

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The column of a tag given in the DDL1 form (_refln_F_meas); the mmCIF
// form (_refln.F_meas) is accepted too. -1 when the loop has neither.
int column(const gemmi::cif::Loop& loop, const std::string& tag) {
  int c = loop.find_tag(tag);
  if (c < 0) c = loop.find_tag("_refln." + tag.substr(7));
  return c;
}

// A CIF number: optional sign, digits with a point and an exponent, and
// perhaps a standard uncertainty in parentheses, which is dropped. The
// digits go through strtod as the fixed-column reader's do, so that the same
// text gives the same value bit for bit. NaN when the text is no number.
double cifnumber(const std::string& text) {
  std::string s = text;
  const std::size_t p = s.find('(');
  if (p != std::string::npos && s.back() == ')' &&
      std::all_of(s.begin() + static_cast<long>(p) + 1, s.end() - 1, [](char c) { return c >= '0' && c <= '9'; }))
    s.resize(p);
  if (s.empty()) return NAN;
  // A CIF number is decimal: digits, a sign, a point, an exponent (no
  // NaN, infinity or the hexadecimal forms the C library would also read).
  if (s.find_first_not_of("0123456789+-.eE") != std::string::npos) return NAN;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(s.c_str(), &end);
  if (end != s.c_str() + s.size() || errno == ERANGE || !std::isfinite(v)) return NAN;
  return v;
}

}  // namespace

bool iscifformat(const std::string& frmt) {
  std::string s = lower(frmt);
  s.erase(std::remove(s.begin(), s.end(), ' '), s.end());
  return s == "cif";
}

std::vector<CifRecord> readcifreflections(const std::string& path, int idm, int ndm, const CifNeeds& needs) {
  const std::string head = "CIF reflection file " + path + ": ";
  gemmi::cif::Document doc;
  // A UTF-8 byte-order mark, which some editors put first, is no part of
  // the CIF text.
  std::ifstream f(path, std::ios::binary);
  if (!f) cantopen(path);
  std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (f.bad()) cantopen(path);
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  try {
    doc = gemmi::cif::read_memory(text.data(), text.size(), path.c_str());
  } catch (const std::exception& e) {
    quit(head + "not a CIF file (" + e.what() + ")");
  }
  const gemmi::cif::Loop* loop = nullptr;
  for (const gemmi::cif::Block& b : doc.blocks) {
    for (const char* tag : {"_refln_index_h", "_refln.index_h"}) {
      const gemmi::cif::Item* it = b.find_loop_item(tag);
      if (it && it->type == gemmi::cif::ItemType::Loop) {
        loop = &it->loop;
        break;
      }
    }
    if (loop) break;
  }
  if (!loop) quit(head + "no loop with the column _refln_index_h");

  // The index columns.
  std::vector<int> hcol;
  std::vector<std::string> hname;
  if (ndm >= 0) {
    static const char* const names[6] = {"_refln_index_h",   "_refln_index_k",   "_refln_index_l",
                                         "_refln_index_m_1", "_refln_index_m_2", "_refln_index_m_3"};
    for (int i = 0; i < 6; ++i) {
      const int c = column(*loop, names[i]);
      if (c < 0 && i < 3 + ndm) quit(head + "no column " + names[i] + " (index " + std::to_string(i + 1) + ")");
      hcol.push_back(c);
      hname.push_back(names[i]);
    }
  } else {
    for (std::size_t c = 0; c < loop->tags.size(); ++c) {
      const std::string t = lower(loop->tags[c]);
      if (t.rfind("_refln_index_", 0) == 0 || t.rfind("_refln.index_", 0) == 0) {
        hcol.push_back(static_cast<int>(c));
        hname.push_back(loop->tags[c]);
      }
    }
    if (static_cast<int>(hcol.size()) < idm)
      quit(head + "the loop has " + std::to_string(hcol.size()) + " _refln_index_ columns, " +
           std::to_string(idm) + " needed (one per dimension, in the order of the indices)");
    hcol.resize(6, -1);
    hname.resize(6);
  }

  // The values: F or F squared, with their sigmas.
  const int cf = column(*loop, "_refln_F_meas");
  const int cf2 = cf < 0 ? column(*loop, "_refln_F_squared_meas") : -1;
  if (cf < 0 && cf2 < 0) quit(head + "no column _refln_F_meas (nor _refln_F_squared_meas)");
  const int cfc = column(*loop, "_refln_F_calc");
  if (needs.fc && cfc < 0) quit(head + "no column _refln_F_calc (a difference map needs Fc)");
  const int cph = column(*loop, "_refln_phase_calc");
  if (needs.phase && cph < 0) quit(head + "no column _refln_phase_calc");
  int csig = -1;
  if (needs.sigma) {
    csig = column(*loop, cf >= 0 ? "_refln_F_meas_sigma" : "_refln_F_squared_meas_sigma");
    if (csig < 0)
      quit(head + "no column " + (cf >= 0 ? "_refln_F_meas_sigma" : "_refln_F_squared_meas_sigma") +
           " (a maximum-entropy map needs sigma(Fo))");
  }

  const std::size_t nrow = loop->length(), w = loop->width();
  std::vector<CifRecord> recs(nrow);
  for (std::size_t r = 0; r < nrow; ++r) {
    const auto value = [&](int c, const std::string& tag) {
      const std::string& text = loop->values[r * w + static_cast<std::size_t>(c)];
      const double v = cifnumber(text);
      if (std::isnan(v))
        quit(head + "row " + std::to_string(r + 1) + " of the _refln_ loop: " + tag + " '" + text + "' is not a number");
      return v;
    };
    CifRecord& rec = recs[r];
    for (int i = 0; i < 6; ++i) {
      if (hcol[i] < 0) continue;
      const double v = value(hcol[i], hname[i]);
      if (v != std::nearbyint(v) || std::fabs(v) > 1e9)
        quit(head + "row " + std::to_string(r + 1) + " of the _refln_ loop: " + hname[i] + " '" +
             loop->values[r * w + static_cast<std::size_t>(hcol[i])] + "' is not an integer");
      if (i < idm && (ndm < 0 || i < 3 + ndm)) {
        rec.h[i] = static_cast<int>(v);
      } else if (v != 0) {
        quit(head + "row " + std::to_string(r + 1) + ": " + hname[i] + " is " + std::to_string(static_cast<long>(v)) +
             ", but the setting has " + std::to_string(std::max(ndm, 0)) + " wave vectors (ndm=)");
      }
    }
    if (cf >= 0) {
      rec.v[0] = value(cf, "_refln_F_meas");
      if (csig >= 0) rec.v[3] = value(csig, "_refln_F_meas_sigma");
    } else {
      // F from F squared; sigma(F) = sigma(F^2)/(2F) by propagation, and
      // its limit sqrt(sigma(F^2)) where F^2 is zero or measured negative.
      const double f2 = value(cf2, "_refln_F_squared_meas");
      rec.v[0] = f2 > 0 ? std::sqrt(f2) : 0.0;
      if (csig >= 0) {
        const double s2 = value(csig, "_refln_F_squared_meas_sigma");
        rec.v[3] = rec.v[0] > 0 ? s2 / (2 * rec.v[0]) : std::sqrt(std::max(s2, 0.0));
      }
    }
    if (cfc >= 0 && (needs.fc || !gemmi::cif::is_null(loop->values[r * w + static_cast<std::size_t>(cfc)])))
      rec.v[1] = value(cfc, "_refln_F_calc");
    if (cph >= 0 && needs.phase) rec.v[2] = value(cph, "_refln_phase_calc");
  }
  return recs;
}

}  // namespace trovan
