// domainseries: what the F-icosahedral model's occupation domains look like
// in band-limited maps of its own structure factors, against the true
// density. The model's atom is a Gaussian in parallel space (B = 2 A^2)
// and its domains are balls in internal space (radius R), so the true
// density of a domain is z (4 pi / B)^(3/2) / (4/3 pi R^3) at every point
// on physical space (zero parallel offset) within R of the centre in
// internal space: a plateau, whose centre is no higher than the rest.
//
// First, along three symmetry axes of internal space (five-, three- and
// two-fold) through each domain centre at zero parallel offset, the Fourier
// series of the true F (no noise) over the example's reflections and over
// every reflection with |q_par| <= qimax and |q_perp| <= Q for several Q:
// the centre, the range over the domain's inner part (within 0.75 R, clear
// of its edge's ripples) and where it is highest, and what
// a spherical cut of a flat ball gives at its centre in the continuum,
// (2/pi) (Si(2 pi Q R) - sin(2 pi Q R)) of the plateau, times the share of
// the atom's peak the parallel cut keeps: the centre does not converge as Q
// grows, it swings between 0.36 and 1.64 of the plateau with Q R.
//
// Then the same series on the program's grid (N^6 for each N given): the
// program's peak search on each map, where the two centres stand in it, the
// neighbourhood's highest other point and its electrons (tools/domains.hpp).
// With --mem, the maximum-entropy map (the example's settings) of the same
// reflections without noise, for the sets the grid holds whole.
//
// Usage: domainseries [--mem] [--grids] [--cut=Q] [N ...]   (default N: 10 12;
// --grids: the profiles of the data's series only; --cut: the one cut Q)
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "driver/trovan.hpp"
#include "maps/peaks.hpp"
#include "tools/domains.hpp"
#include "tools/sfmodel.hpp"
#include "util/runstate.hpp"
#include "util/stop.hpp"
#include "util/workgrid.hpp"

namespace fs = std::filesystem;
namespace ex = trovan::examples;
using Index = std::array<int, 6>;

namespace {

// Every member of every class the example's data hold.
std::vector<Index> members(const ex::Example& e) {
  std::vector<Index> out;
  for (const auto& cls : ex::index_classes(e)) out.insert(out.end(), cls.begin(), cls.end());
  return out;
}

// Every index of the lattice (for 'f' all six of one parity) with
// |q_par| <= qimax and |q_perp| <= qperp, the zero vector left out. The
// basis is hypercubic (rows orthogonal and of one length), so |h|^2 bounds
// |q_par|^2 + |q_perp|^2 and the search stays within that ball.
std::vector<Index> ball_set(const ex::Example& e, double qperp) {
  double len2 = 0;
  for (int j = 0; j < 6; ++j) len2 += e.basis.dq[0][j] * e.basis.dq[0][j];
  const double r2 = (e.qimax * e.qimax + qperp * qperp) / len2;
  const int lim = static_cast<int>(std::sqrt(r2));
  std::vector<Index> out;
  Index h{};
  std::function<void(int, int)> walk = [&](int i, int n2) {
    if (i == 6) {
      double q[6];
      e.basis.q(h.data(), q);
      const double par = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2]);
      const double perp = std::sqrt(q[3] * q[3] + q[4] * q[4] + q[5] * q[5]);
      if (n2 > 0 && par <= e.qimax && perp <= qperp) out.push_back(h);
      return;
    }
    for (int v = -lim; v <= lim; ++v) {
      if (i > 0 && e.brv == 'f' && (v - h[0]) % 2 != 0) continue;
      if (n2 + v * v > r2) continue;
      h[i] = v;
      walk(i + 1, n2 + v * v);
    }
  };
  walk(0, 0);
  return out;
}

double max_qperp(const ex::Example& e, const std::vector<Index>& set) {
  double m = 0;
  for (const Index& h : set) m = std::max(m, e.basis.qperp(h.data()));
  return m;
}

// The largest grid index component of a set: a grid of more than twice as
// many points along each axis holds the set whole.
int reach(const ex::Example& e, const std::vector<Index>& set) {
  int m = 0;
  for (const Index& h : set) {
    int hg[6] = {};
    ex::to_grid(e.brv, h.data(), hg);
    for (int v : hg) m = std::max(m, std::abs(v));
  }
  return m;
}

// Si(x) by Simpson's rule (x up to a few tens: 4000 panels are plenty).
double sine_integral(double x) {
  const int n = 4000;
  const double d = x / n;
  auto f = [](double t) { return t == 0 ? 1.0 : std::sin(t) / t; };
  double s = f(0) + f(x);
  for (int k = 1; k < n; ++k) s += (k % 2 ? 4 : 2) * f(k * d);
  return s * d / 3;
}

// The true plateau of a domain (map units: the series' 1/V sum F).
double plateau(const ex::Site& s) {
  return s.z * std::pow(4 * ex::kPi / s.b, 1.5) / (4.0 / 3.0 * ex::kPi * std::pow(s.radius, 3));
}

// The share of the atom's parallel peak the cut |q_par| <= qmax keeps:
// int_{q < qmax} exp(-B q^2 / 4) d^3q / (4 pi / B)^(3/2).
double parallel_share(double b, double qmax) {
  const int n = 2000;
  const double d = qmax / n;
  auto f = [&](double q) { return 4 * ex::kPi * q * q * std::exp(-b * q * q / 4); };
  double s = f(0) + f(qmax);
  for (int k = 1; k < n; ++k) s += (k % 2 ? 4 : 2) * f(k * d);
  return s * d / 3 / std::pow(4 * ex::kPi / b, 1.5);
}

// The series (1/V)(F(000) + sum F(h) cos 2 pi h.x) along three axes of
// internal space through each site, at zero parallel offset (F is real:
// every site is a centre of symmetry). Two lines a site.
void profiles(const ex::Example& e, const std::string& what, const std::vector<Index>& set, double qcut) {
  const double v = e.volume(), f0 = e.f000();
  struct Term {
    double f, q[3];
    const int* h;
  };
  std::vector<Term> terms;
  for (const Index& h : set) {
    // one of each Friedel pair, counted twice
    const int* first = std::find_if(h.begin(), h.end(), [](int x) { return x != 0; });
    if (*first < 0) continue;
    double q[6];
    e.basis.q(h.data(), q);
    terms.push_back({2 * e.F(h.data()).real(), {q[3], q[4], q[5]}, h.data()});
  }
  const double t = ex::kTau, n5 = std::sqrt(1 + t * t), n3 = std::sqrt(3.0);
  const double axes[3][3] = {{t / n5, -1 / n5, 0}, {1 / n3, 1 / n3, 1 / n3}, {1, 0, 0}};
  const char* axis_name[3] = {"5", "3", "2"};
  std::printf("%s: %zu reflections, |q_perp| <= %.3f 1/A, grid indices to %d\n", what.c_str(), set.size(),
              max_qperp(e, set), reach(e, set));
  for (const ex::Site& s : e.sites) {
    // The domain's inner part, clear of the ripples of its edge.
    const double inner = 0.75 * s.radius;
    double centre = 0, top = -1e300, top_r = 0, low = 1e300;
    int top_axis = 0;
    std::vector<double> five;
    for (int a = 0; a < 3; ++a)
      for (double r = 0; r <= s.radius + 0.6 + 1e-9; r += 0.1) {
        if (a > 0 && r == 0) continue;
        double sum = f0;
        for (const Term& tm : terms) {
          double hx = 0;
          for (int i = 0; i < 6; ++i) hx += tm.h[i] * s.x[i];
          hx += r * (tm.q[0] * axes[a][0] + tm.q[1] * axes[a][1] + tm.q[2] * axes[a][2]);
          sum += tm.f * std::cos(2 * ex::kPi * hx);
        }
        const double rho = sum / v;
        if (r == 0) centre = rho;
        if (r <= inner && rho > top) {
          top = rho;
          top_r = r;
          top_axis = a;
        }
        if (r <= inner) low = std::min(low, rho);
        if (a == 0 && std::fmod(r + 1e-9, 0.5) < 1e-6) five.push_back(rho);
      }
    const double p = plateau(s), x = 2 * ex::kPi * qcut * s.radius;
    std::printf("  %-10s plateau %.3f; centre %.3f; within %.2f A of it %.3f to %.3f, the highest at %.1f A"
                " (%s-fold axis)",
                s.label.c_str(), p, centre, inner, low, top, top_r, axis_name[top_axis]);
    if (qcut > 0)
      std::printf("; continuum centre %.3f", p * parallel_share(s.b, e.qimax) * 2 / ex::kPi *
                                                 (sine_integral(x) - std::sin(x)));
    std::printf("\n    five-fold axis at 0, 0.5, ... A:");
    for (double y : five) std::printf(" %.3f", y);
    std::printf("\n");
    std::fflush(stdout);
  }
}

// A scratch folder for the program's runs.
fs::path scratch() {
  const fs::path d = fs::temp_directory_path() / ("trovan_domainseries_" + std::to_string(::getpid()));
  fs::create_directories(d);
  return d;
}

// A run of the program on the keyword input `inp` (file names relative to dir).
trovan::JobResult run(const fs::path& dir, std::string inp, std::string* out = nullptr) {
  for (const std::string key : {"file1='", "file2='"}) inp.insert(inp.find(key) + key.size(), dir.string() + "/");
  std::istringstream in(inp);
  std::ostringstream listing, warnings;
  trovan::set_out_stream(&listing);
  trovan::set_warn_stream(&warnings);
  trovan::JobResult r;
  try {
    r = trovan::run(in);
  } catch (const trovan::Stop& s) {
    trovan::set_out_stream(nullptr);
    std::fprintf(stderr, "the run stopped (status %d):\n%s\n", s.status, listing.str().c_str());
    std::exit(1);
  }
  trovan::set_out_stream(nullptr);
  trovan::set_warn_stream(nullptr);
  if (out) *out = listing.str();
  return r;
}

// Where each domain's centre stands in a peak list, and what its
// neighbourhood holds.
void read_domains(const ex::Example& e, const trovan::Crystal& cr, const float* rho, const trovan::Peaks& pk,
                  const std::string& what) {
  const long long nt = trovan::getnt(cr.grid);
  std::printf("  %-26s max %6.3f", what.c_str(), double(*std::max_element(rho, rho + nt)));
  for (const ex::Site& s : e.sites) {
    int rank = 0;
    for (std::size_t k = 0; k < pk.list.size() && rank == 0; ++k) {
      double d[6];
      for (int i = 0; i < 6; ++i) d[i] = pk.list[k].x[i] - s.x[i];
      if (ex::lattice_translation(e.brv, d)) rank = static_cast<int>(k) + 1;
    }
    const ex::DomainCount c = ex::domain_electrons(e, s, cr, rho);
    std::printf(" | %s: centre %.3f %s, off-centre top %.3f (%.2f, %.2f A), %.2f e", s.label.c_str(),
                double(rho[c.centre]), rank ? ("peak " + std::to_string(rank)).c_str() : "unlisted", c.top,
                c.top_par, c.top_perp, c.electrons);
  }
  std::printf("\n");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  bool mem = false, lines = true;
  double only = 0;
  std::vector<int> grids;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--mem")
      mem = true;
    else if (std::string(argv[i]) == "--grids")
      lines = false;
    else if (std::string(argv[i]).rfind("--cut=", 0) == 0)
      only = std::atof(argv[i] + 6);
    else
      grids.push_back(std::atoi(argv[i]));
  }
  if (grids.empty()) grids = {10, 12};
  const ex::Example data = ex::icosahedral(true);
  const std::vector<Index> data_set = members(data);
  const std::vector<double> cuts =
      only > 0 ? std::vector<double>{only} : std::vector<double>{0.5, 0.75, 1.0, 1.25, 1.5, 1.75, 2.0};
  std::vector<std::vector<Index>> sets;
  for (double q : cuts) sets.push_back(ball_set(data, q));

  std::printf("Series of the true F at zero parallel offset, through each domain centre (e A^-3);\n"
              "the atom's peak keeps %.3f of its height within |q_par| <= %g:\n",
              parallel_share(data.sites[0].b, data.qimax), data.qimax);
  profiles(data, "data (the example's reflections)", data_set, 0);
  for (std::size_t k = 0; k < cuts.size() && lines; ++k) {
    char what[80];
    std::snprintf(what, sizeof what, "|q_par| <= %.1f, |q_perp| <= %.2f", data.qimax, cuts[k]);
    profiles(data, what, sets[k], cuts[k]);
  }

  const fs::path dir = scratch();
  trovan::RunState rs;
  rs.iplot = 2;
  rs.isys = data.isys;
  for (int n : grids) {
    ex::Example e = ex::icosahedral(true);
    std::fill(e.hmax, e.hmax + 6, n);
    std::printf("\nOn the %d^6 grid (Fourier maps of the true F; peaks as the program lists them):\n", n);
    // The program's Fourier map of the example's data: the crystal of the
    // grid, and a check of the direct sums against the program.
    std::ofstream(dir / (e.name + ".hkl"), std::ios::binary) << ex::reflection_file(data, false);
    const trovan::JobResult fr = run(dir, ex::keyword_input(e, false, "ng=0\n"));
    const float* prog = trovan::getabcdr(fr.map);
    const long long nt = trovan::getnt(fr.crystal.grid);
    std::vector<float> map(nt);
    auto series = [&](const std::vector<Index>& set, const std::string& what) {
      const std::vector<double> rho = ex::direct_map(e, set, [&](const int* h) { return e.F(h); });
      std::copy(rho.begin(), rho.end(), map.begin());
      std::ostringstream quiet;
      trovan::set_out_stream(&quiet);
      const trovan::Peaks pk = trovan::pksearchnd(fr.crystal, rs, map.data(), float(e.pkmin));
      trovan::set_out_stream(nullptr);
      read_domains(e, fr.crystal, map.data(), pk, what);
    };
    series(data_set, "data");
    double diff = 0;
    for (long long j = 0; j < nt; ++j) diff = std::max(diff, double(std::fabs(map[j] - prog[j])));
    std::printf("  (the program's Fourier map of the data differs from the direct sum by at most %.2g)\n", diff);
    for (std::size_t k = 0; k < cuts.size(); ++k) series(sets[k], "|q_perp| <= " + ex::fmt_real(cuts[k]));

    if (!mem) continue;
    // Maximum entropy from the same reflections without noise (sigma as the
    // example's), for the sets the grid holds whole.
    std::printf(" maximum entropy, Fo = Fc:\n");
    for (int k = -1; k < static_cast<int>(cuts.size()); ++k) {
      ex::Example m = e;
      std::string what = "data";
      if (k >= 0) {
        m.qperpmax = cuts[k];
        if (members(m).size() != sets[k].size()) continue;  // the grid cuts the set
        what = "|q_perp| <= " + ex::fmt_real(cuts[k]);
      }
      std::ofstream(dir / (m.name + "_mem.hkl"), std::ios::binary)
          << ex::reflection_file(k >= 0 ? m : data, true, 1, 0.0);
      std::string out;
      const trovan::JobResult r = run(dir, ex::keyword_input(m, true, "ng=0\n"), &out);
      const std::size_t stop = out.find("mem stopped after");
      std::printf("  %s\n", stop == std::string::npos ? "?" : out.substr(stop, out.find('\n', stop) - stop).c_str());
      read_domains(e, r.crystal, trovan::getabcdr(r.map), r.peaks, what);
    }
  }
  fs::remove_all(dir);
  return 0;
}
