#include "reflections/screen.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdio>
#include <string>

#include "util/fortran_fmt.hpp"
#include "util/linalg.hpp"
#include "util/stop.hpp"

namespace trovan {

namespace {

using Key = std::array<int, 6>;

bool nearinteger(double v) { return std::fabs(v - std::nearbyint(v)) < 1e-4; }

void image(const int* h, const SymElement& g, int* hr) {
  for (int j = 0; j < 6; ++j) {
    long long s = 0;
    for (int e = 0; e < 6; ++e) s += static_cast<long long>(h[e]) * g.r[j * 6 + e];
    hr[j] = static_cast<int>(s);
  }
}

double htau(const int* h, const SymElement& g) {
  double s = 0;
  for (int e = 0; e < 6; ++e) s += h[e] * g.t[e];
  return s;
}

// The representative of the class of h: the largest of all images +-h.R
// (lexicographic), with the element and the sign that give it.
struct ClassOf {
  Key key;
  int g = 0;
  int sign = 1;
};

ClassOf classof(const int* h, const std::vector<SymElement>& group) {
  ClassOf c;
  bool first = true;
  for (std::size_t i = 0; i < group.size(); ++i) {
    int hr[6];
    image(h, group[i], hr);
    for (int sign : {1, -1}) {
      Key k;
      for (int e = 0; e < 6; ++e) k[e] = sign * hr[e];
      if (first || k > c.key) {
        c.key = k;
        c.g = static_cast<int>(i);
        c.sign = sign;
        first = false;
      }
    }
  }
  return c;
}

// phi reduced into (-pi/2, pi/2] about phi0 modulo pi: the distance from the
// nearest allowed phase.
double offby(double phi, double phi0) {
  double d = std::remainder(phi - phi0, kPi);
  if (d <= -kPi / 2) d += kPi;
  return d;
}

std::string indices(const int* h, int idm) {
  std::string s;
  for (int i = 0; i < idm; ++i) s += fmt_i(h[i], 4);
  return s;
}

std::string degrees(double d) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", d + 0.0);
  return buf;
}

// A phase in degrees of the file's convention, in [0, 360).
double userdeg(double phi, int phsign) {
  double d = -phsign * todeg(phi);
  d = std::fmod(d, 360.0);
  if (d < 0) d += 360.0;
  if (d >= 360.0 - 0.005) d = 0.0;
  return d;
}

void setphase(HklRecord& r, double phi) {
  // Quarter turns exact: a centric phase of 0 or 180 degrees keeps sin = 0.
  const double q = phi / (kPi / 2);
  if (std::fabs(q - std::nearbyint(q)) < 1e-9) {
    const int n = ((static_cast<int>(std::nearbyint(q)) % 4) + 4) % 4;
    const float c[4] = {1, 0, -1, 0}, s[4] = {0, 1, 0, -1};
    r.cs = c[n];
    r.sn = s[n];
    return;
  }
  r.cs = static_cast<float>(std::cos(phi));
  r.sn = static_cast<float>(std::sin(phi));
}

}  // namespace

bool phaserestriction(const int* h, const std::vector<SymElement>& group, double& phi0, bool& absent) {
  absent = false;
  bool restricted = false;
  for (const SymElement& g : group) {
    int hr[6];
    image(h, g, hr);
    bool same = true, opposite = true;
    for (int e = 0; e < 6; ++e) {
      same = same && hr[e] == h[e];
      opposite = opposite && hr[e] == -h[e];
    }
    const double t = htau(h, g);
    if (same && !nearinteger(t)) absent = true;
    // conj F = F exp(2 pi i h.tau): exp(-2 i phi) = exp(2 pi i h.tau).
    if (opposite && !restricted) {
      phi0 = -kPi * t;
      restricted = true;
    }
  }
  return restricted;
}

std::vector<HklRecord> screenhkl(const std::vector<HklRecord>& in, const ScreenRules& rules,
                                 ScreenReport& report) {
  report = ScreenReport{};
  const std::size_t n = in.size();
  std::vector<HklRecord> rec;
  std::vector<ClassOf> cls;
  std::vector<double> phi0;  // NaN: no restriction
  rec.reserve(n);
  cls.reserve(n);
  phi0.reserve(n);
  for (const HklRecord& r0 : in) {
    HklRecord r = r0;
    double p0 = 0;
    bool absent = rules.centring_forbids != nullptr && rules.centring_forbids(r.h) != 0;
    bool fixed = false;
    if (!absent) {
      bool abs2 = false;
      fixed = phaserestriction(r.h, rules.group, p0, abs2);
      absent = abs2;
    }
    if (absent) {
      if (report.absent_first.size() < 10) report.absent_first.push_back(r0);
      ++report.absent;
      continue;
    }
    if (fixed && rules.phases && (r.fo != 0 || r.fc != 0)) {
      const double phi = std::atan2(static_cast<double>(r.sn), static_cast<double>(r.cs));
      const double d = offby(phi, p0);
      if (std::fabs(todeg(d)) > kPhaseTolDeg) {
        const double a = userdeg(p0, rules.phsign), b = std::fmod(a + 180.0, 360.0);
        quit("reflection" + indices(r.h, rules.idm) + " has the phase " +
             degrees(userdeg(phi, rules.phsign)) + ", which its symmetry forbids: allowed are " +
             degrees(std::min(a, b)) + " and " + degrees(std::max(a, b)) + " degrees (phsign=" +
             std::to_string(rules.phsign) + ")");
      }
      setphase(r, phi - d);
    }
    rec.push_back(r);
    cls.push_back(classof(r.h, rules.group));
    phi0.push_back(fixed ? p0 : std::nan(""));
  }

  // Records of one class next to each other, in file order within it.
  std::vector<std::size_t> order(rec.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return cls[a].key < cls[b].key; });
  std::vector<char> drop(rec.size(), 0);
  for (std::size_t a = 0; a < order.size();) {
    std::size_t b = a + 1;
    while (b < order.size() && cls[order[b]].key == cls[order[a]].key) ++b;
    if (b - a > 1) {
      // Every member's F at the class representative: key = sign * h.R_g,
      // F(h.R) = F(h) exp(2 pi i h.tau), F(-h) = conj F(h).
      bool weighted = true;
      for (std::size_t m = a; m < b; ++m) weighted = weighted && rec[order[m]].sigma > 0;
      double sw = 0, sfo = 0, sfc = 0, fomin = 1e300, fomax = -1e300;
      std::complex<double> sum = 0;
      std::vector<double> at_key(b - a);
      for (std::size_t m = a; m < b; ++m) {
        const HklRecord& r = rec[order[m]];
        const ClassOf& c = cls[order[m]];
        const double w = weighted ? 1.0 / (double(r.sigma) * r.sigma) : 1.0;
        double phi = std::atan2(double(r.sn), double(r.cs)) + kTwoPi * htau(r.h, rules.group[c.g]);
        if (c.sign < 0) phi = -phi;
        at_key[m - a] = phi;
        sw += w;
        sfo += w * r.fo;
        sfc += w * r.fc;
        sum += w * std::polar(double(r.fo), phi);
        fomin = std::min(fomin, double(r.fo));
        fomax = std::max(fomax, double(r.fo));
      }
      const double mean = std::abs(sum) > 1e-9 * sfo ? std::arg(sum) : at_key[0];
      double worst = 0;
      for (std::size_t m = a; m < b; ++m)
        if (rec[order[m]].fo > 0)
          worst = std::max(worst, std::fabs(std::remainder(at_key[m - a] - mean, kTwoPi)));
      // Back to the first record's indices: F(h0) from F(key).
      const std::size_t k0 = *std::min_element(order.begin() + a, order.begin() + b);
      HklRecord& r0 = rec[k0];
      const ClassOf& c0 = cls[k0];
      double phi = (c0.sign < 0 ? -mean : mean) - kTwoPi * htau(r0.h, rules.group[c0.g]);
      if (!std::isnan(phi0[k0])) phi -= offby(phi, phi0[k0]);
      r0.fo = static_cast<float>(sfo / sw);
      r0.fc = static_cast<float>(sfc / sw);
      if (weighted) r0.sigma = static_cast<float>(1.0 / std::sqrt(sw));
      setphase(r0, phi);
      for (std::size_t m = a; m < b; ++m)
        if (order[m] != k0) drop[order[m]] = 1;
      report.merged_records += static_cast<long long>(b - a);
      ++report.merged_classes;
      if (fomax - fomin > report.worst_fo || report.merged_classes == 1) {
        report.worst_fo = fomax - fomin;
        std::copy(r0.h, r0.h + 6, report.worst_h);
      }
      report.worst_phase = std::max(report.worst_phase, todeg(worst));
    }
    a = b;
  }
  std::vector<HklRecord> out;
  out.reserve(rec.size());
  for (std::size_t i = 0; i < rec.size(); ++i)
    if (!drop[i]) out.push_back(rec[i]);
  return out;
}

}  // namespace trovan
