// Structure factors of the simple model crystals behind the bundled
// examples: a cubic perovskite, a (3+1)-D displacively modulated crystal (a
// centrosymmetric and a non-centrosymmetric variant), a primitive and a
// face-centred icosahedral quasicrystal with spherical occupation domains,
// and a decagonal quasicrystal with circular ones. The generator `sfgen`
// writes the examples from them; the tests read the same models to check
// the program's maps against a direct summation.
//
// Everything here is computed in double precision from the model alone: the
// reciprocal bases are built from their exact definitions (tau, cos 72
// degrees, ...), not read from the program's tables. Only the program's
// generic matrix inversion (util/linalg) is shared.
//
// Sign convention: that of the International Tables, CIF files and
// refinement programs, which the program reads by default (phsign=1):
//     F(h) = integral rho(x) exp(+2 pi i h.x) dV,
// for a point-like atom of weight f at x_j f exp(+2 pi i h.x_j), and the
// density is rho(x) = (1/V) sum_h F(h) exp(-2 pi i h.x). Every structure
// factor here goes through phase_factor(), and every test that writes
// phases should too: the convention then lives in one place.
#pragma once
#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <complex>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "util/linalg.hpp"

namespace trovan::examples {

using cplx = std::complex<double>;
constexpr double kPi = 3.14159265358979323846;
constexpr double kTau = 1.61803398874989484820;  // the golden mean

// The phase factor of a scatterer at x for the reflection h, given h.x:
// exp(+2 pi i h.x), the convention of the reflection files the program
// reads by default. A density is synthesised with its conjugate.
inline cplx phase_factor(double hx) { return std::exp(cplx(0, 2 * kPi * hx)); }

// 6x6 integer matrix, row by row: m[i][j].
using IMat6 = std::array<std::array<int, 6>, 6>;

// ---- reciprocal bases ------------------------------------------------------

// Row k = the Cartesian components (three parallel, then three
// perpendicular) of the k-th reciprocal basis vector, in 1/Angstrom for the
// parallel part. The index vector h has q = h.dq.
struct Basis {
  double dq[6][6] = {};
  void q(const int* h, double* out) const {
    for (int j = 0; j < 6; ++j) {
      out[j] = 0;
      for (int k = 0; k < 6; ++k) out[j] += h[k] * dq[k][j];
    }
  }
  double qpar(const int* h) const {
    double v[6];
    q(h, v);
    return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  }
  double qperp(const int* h) const {
    double v[6];
    q(h, v);
    return std::sqrt(v[3] * v[3] + v[4] * v[4] + v[5] * v[5]);
  }
};

// The icosahedral basis of isys 2: the six five-fold axes (1, tau, 0) and
// their cyclic permutations, the perpendicular parts the conjugate star;
// scaled so that each half has length 1/(2a).
inline Basis icosahedral_basis(double a) {
  const double t = kTau;
  const double rows[6][6] = {{1, t, 0, t, -1, 0},  {t, 0, 1, -1, 0, t},  {t, 0, -1, -1, 0, -t},
                             {0, 1, -t, 0, t, 1},  {-1, t, 0, -t, -1, 0}, {0, 1, t, 0, t, -1}};
  const double s = 0.5 / std::sqrt(1 + t * t) / a;
  Basis b;
  for (int k = 0; k < 6; ++k)
    for (int j = 0; j < 6; ++j) b.dq[k][j] = rows[k][j] * s;
  return b;
}

// The decagonal basis of isys 3: rows 1-4 the five-fold star at angles
// 72k degrees in physical space and 144k degrees in internal space, both
// divided by sqrt(5) a; row 5 the period 1/c along z; row 6 unused (the
// program keeps a unit there).
inline Basis decagonal_basis(double a, double c) {
  Basis b;
  for (int k = 1; k <= 4; ++k) {
    const double s = 1.0 / (std::sqrt(5.0) * a);
    b.dq[k - 1][0] = std::cos(2 * kPi * k / 5) * s;
    b.dq[k - 1][1] = std::sin(2 * kPi * k / 5) * s;
    b.dq[k - 1][3] = std::cos(4 * kPi * k / 5) * s;
    b.dq[k - 1][4] = std::sin(4 * kPi * k / 5) * s;
  }
  b.dq[4][2] = 1.0 / c;
  b.dq[5][5] = 1.0;
  return b;
}

// The general setting of an orthogonal cell (isetting 3: a* along x) with
// at most one wave vector k (components on a*, b*, c*); the fourth basis
// vector carries the unit internal component along the first internal axis,
// the unused fifth and sixth carry units too (as the "v=" line gives them).
inline Basis general_basis(const double* abc, const double* k) {
  Basis b;
  for (int i = 0; i < 3; ++i) b.dq[i][i] = 1.0 / abc[i];
  for (int i = 0; i < 3; ++i) b.dq[3][i] = k[i] / abc[i];
  b.dq[3][3] = 1;
  b.dq[4][4] = 1;
  b.dq[5][5] = 1;
  return b;
}

// Volume of the superspace cell: 1/|det dq| over the axes in use (the
// unused axes carry unit vectors).
inline double cell_volume(const Basis& b) {
  double m[6][6];
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) m[i][j] = b.dq[i][j];
  double det = 0;
  if (!trovan::matinvd(&m[0][0], 6, det)) throw std::runtime_error("singular basis");
  return 1.0 / std::fabs(det);
}

// ---- symmetry ---------------------------------------------------------------

// One operator line "x,-y,z,t+1/2,u,v" (or "x1,-x2,x3,x4+1/2,x5,x6"): the
// rotation (x' = R x, so that an index vector goes to h.R) and the
// translation.
struct Op {
  IMat6 r{};
  double t[6] = {};
};

inline Op parse_op(const std::string& text) {
  Op op;
  std::vector<std::string> fields(1);
  for (char ch : text) {
    if (ch == ',') fields.emplace_back();
    else if (ch != ' ') fields.back() += ch;
  }
  if (fields.size() != 6) throw std::runtime_error("operator needs six fields: " + text);
  const std::string letters = "xyztuv";
  for (int e = 0; e < 6; ++e) {
    const std::string& f = fields[e];
    int sign = 1;
    for (std::size_t p = 0; p < f.size(); ++p) {
      char ch = f[p];
      if (ch == '+') sign = 1;
      else if (ch == '-') sign = -1;
      else if (letters.find(ch) != std::string::npos) {
        std::size_t axis = letters.find(ch);
        // x1 ... x6, as superspace tables write the coordinates
        if (ch == 'x' && p + 1 < f.size() && f[p + 1] >= '1' && f[p + 1] <= '6') axis = f[++p] - '1';
        op.r[e][axis] += sign;
        sign = 1;
      } else if (std::isdigit(static_cast<unsigned char>(ch))) {
        std::size_t q = p;
        while (q < f.size() && (std::isdigit(static_cast<unsigned char>(f[q])) || f[q] == '/')) ++q;
        const std::string num = f.substr(p, q - p);
        const std::size_t slash = num.find('/');
        double v = slash == std::string::npos
                       ? std::stod(num)
                       : std::stod(num.substr(0, slash)) / std::stod(num.substr(slash + 1));
        op.t[e] += sign * v;
        sign = 1;
        p = q - 1;
      }
    }
  }
  return op;
}

inline IMat6 mul(const IMat6& a, const IMat6& b) {
  IMat6 c{};
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j)
      for (int k = 0; k < 6; ++k) c[i][j] += a[i][k] * b[k][j];
  return c;
}

inline IMat6 identity6() {
  IMat6 r{};
  for (int i = 0; i < 6; ++i) r[i][i] = 1;
  return r;
}

// The rotations of the point group generated by the operators, with the
// inversion added for a centrosymmetric group.
inline std::vector<IMat6> point_group(const std::vector<std::string>& gens, bool centro) {
  std::vector<IMat6> g = {identity6()};
  std::vector<IMat6> gen;
  for (const std::string& s : gens) gen.push_back(parse_op(s).r);
  if (centro) {
    IMat6 inv{};
    for (int i = 0; i < 6; ++i) inv[i][i] = -1;
    gen.push_back(inv);
  }
  for (std::size_t n = 0; n < g.size(); ++n)
    for (const IMat6& r : gen) {
      IMat6 p = mul(r, g[n]);
      if (std::find(g.begin(), g.end(), p) == g.end()) g.push_back(p);
      if (g.size() > 240) throw std::runtime_error("point group too large");
    }
  return g;
}

// The operator text of a rotation with zero translation ("y,-x,z,t,u,v"),
// plus the translation fractions given in halves.
inline std::string op_text(const IMat6& r, const int* half_t = nullptr) {
  const char* letters = "xyztuv";
  std::string s;
  for (int e = 0; e < 6; ++e) {
    if (e) s += ',';
    std::string f;
    for (int i = 0; i < 6; ++i) {
      int c = r[e][i];
      if (c == 0) continue;
      if (c < 0) f += '-';
      else if (!f.empty()) f += '+';
      if (std::abs(c) != 1) f += std::to_string(std::abs(c));
      f += letters[i];
    }
    if (half_t && half_t[e]) f += "+1/2";
    s += f.empty() ? "0" : f;
  }
  return s;
}

// True when R (h -> h.R) is a rotation of the lattice with reciprocal basis
// dq: R dq = dq G with G block diagonal and orthogonal on the physical and
// on the internal subspace. `proper` gets the sign of the physical
// determinant.
inline bool is_lattice_rotation(const IMat6& r, const Basis& b, int ndim, int* proper = nullptr) {
  // G = dq^-1 R dq.
  double di[6][6];
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) di[i][j] = b.dq[i][j];
  double ddet = 0;
  if (!trovan::matinvd(&di[0][0], 6, ddet)) return false;
  double rd[6][6], g[6][6];
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) {
      rd[i][j] = 0;
      for (int k = 0; k < 6; ++k) rd[i][j] += r[i][k] * b.dq[k][j];
    }
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) {
      g[i][j] = 0;
      for (int k = 0; k < 6; ++k) g[i][j] += di[i][k] * rd[k][j];
    }
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j)
      if ((i < 3) != (j < 3) && std::fabs(g[i][j]) > 1e-9) return false;
  // Orthogonality over the components the lattice uses (the unused axes of
  // a 5-D setting carry a unit vector that must be kept).
  (void)ndim;
  for (int blk = 0; blk < 6; blk += 3)
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        double s = 0;
        for (int k = 0; k < 3; ++k) s += g[blk + i][blk + k] * g[blk + j][blk + k];
        if (std::fabs(s - (i == j)) > 1e-9) return false;
      }
  if (proper) {
    const double det = g[0][0] * (g[1][1] * g[2][2] - g[1][2] * g[2][1]) -
                       g[0][1] * (g[1][0] * g[2][2] - g[1][2] * g[2][0]) +
                       g[0][2] * (g[1][0] * g[2][1] - g[1][1] * g[2][0]);
    *proper = det > 0 ? 1 : -1;
  }
  return true;
}

inline int order_of(const IMat6& r) {
  IMat6 p = r;
  for (int i = 1; i <= 12; ++i) {
    if (p == identity6()) return i;
    p = mul(r, p);
  }
  return 0;
}

// Generators of the icosahedral rotation group of a basis whose rotations
// are signed permutations (both built-in icosahedral bases): two commuting
// two-folds a, b, a three-fold c that normalises {1, a, b, ab}, and a
// five-fold f. Read in this order, the products of their powers run
// through the 60 rotations once (Klein group, tetrahedral group, then the
// five cosets of the five-fold), which is how the program closes them.
inline std::vector<IMat6> icosahedral_generators(const Basis& b) {
  std::vector<IMat6> two, three, five;
  int perm[6] = {0, 1, 2, 3, 4, 5};
  do {
    for (int s = 0; s < 64; ++s) {
      IMat6 r{};
      for (int k = 0; k < 6; ++k) r[k][perm[k]] = (s >> k & 1) ? -1 : 1;
      int proper = 0;
      if (!is_lattice_rotation(r, b, 6, &proper) || proper != 1) continue;
      const int o = order_of(r);
      if (o == 2) two.push_back(r);
      if (o == 3) three.push_back(r);
      if (o == 5) five.push_back(r);
    }
  } while (std::next_permutation(perm, perm + 6));
  if (two.size() != 15 || three.size() != 20 || five.size() != 24)
    throw std::runtime_error("the basis does not have the icosahedral rotations");
  const IMat6& a = two[0];
  for (const IMat6& bb : two) {
    if (bb == a || mul(a, bb) != mul(bb, a)) continue;
    const IMat6 ab = mul(a, bb);
    for (const IMat6& c : three) {
      const IMat6 ci = mul(c, c);
      auto in_v = [&](const IMat6& x) { return x == a || x == bb || x == ab; };
      if (in_v(mul(mul(c, a), ci)) && in_v(mul(mul(c, bb), ci))) return {a, bb, c, five[0]};
    }
  }
  throw std::runtime_error("no generating set found");
}

// ---- face centring ----------------------------------------------------------

// The face-centred setting's index conversion to the primitive grid basis,
// h_grid,i = sum_k Q_ik h_k / 2; every component of Q h must be even (the
// reflection condition: all six indices of the same parity).
inline const int (&centring_q())[6][6] {
  static const int q[6][6] = {{0, 1, 0, -1, 0, 0}, {0, 0, 1, 0, 0, -1}, {1, 0, 0, 0, 1, 0},
                              {0, 0, 0, 0, -1, 1}, {0, 0, 0, 1, -1, 0}, {0, 0, 0, 1, 0, 1}};
  return q;
}

// Setting index -> grid index (false when h is extinct).
inline bool to_grid(char brv, const int* h, int* hg) {
  if (brv == 'p') {
    std::copy(h, h + 6, hg);
    return true;
  }
  const auto& q = centring_q();
  for (int i = 0; i < 6; ++i) {
    int s = 0;
    for (int k = 0; k < 6; ++k) s += q[i][k] * h[k];
    if (s % 2 != 0) return false;
    hg[i] = s / 2;
  }
  return true;
}

// Grid index -> setting index: h = 2 Q^-1 h_grid (Q^-1 found numerically
// and checked to make the round trip exact).
inline void from_grid(char brv, const int* hg, int* h) {
  if (brv == 'p') {
    std::copy(hg, hg + 6, h);
    return;
  }
  static int qi2[6][6];
  static bool ready = false;
  if (!ready) {
    const auto& q = centring_q();
    double m[6][6];
    for (int i = 0; i < 6; ++i)
      for (int j = 0; j < 6; ++j) m[i][j] = q[i][j];
    double det = 0;
    if (!trovan::matinvd(&m[0][0], 6, det)) throw std::runtime_error("Q is singular");
    for (int i = 0; i < 6; ++i)
      for (int j = 0; j < 6; ++j) {
        const double v = 2 * m[i][j];
        qi2[i][j] = static_cast<int>(std::lround(v));
        if (std::fabs(v - qi2[i][j]) > 1e-9) throw std::runtime_error("2 Q^-1 is not integral");
      }
    ready = true;
  }
  for (int i = 0; i < 6; ++i) {
    h[i] = 0;
    for (int k = 0; k < 6; ++k) h[i] += qi2[i][k] * hg[k];
  }
  int back[6];
  if (!to_grid(brv, h, back) || !std::equal(back, back + 6, hg))
    throw std::runtime_error("centring round trip failed");
}

// ---- the models -------------------------------------------------------------

// An atom's scattering weight: f(q) = z exp(-b q^2 / 4), q = |q_par| in
// 1/Angstrom (q = 2 sin(theta)/lambda, so b is a displacement parameter B
// in Angstrom^2).
inline double form_factor(double z, double b, double q) { return z * std::exp(-b * q * q / 4); }

// J_n(z) for any integer n and real z, from std::cyl_bessel_j (which
// takes n, z >= 0): J_{-n}(z) = (-1)^n J_n(z) and J_n(-z) = (-1)^n J_n(z).
inline double bessel_int(int n, double z) {
  const int an = std::abs(n);
  double v = std::cyl_bessel_j(static_cast<double>(an), std::fabs(z));
  if (an % 2 && (n < 0) != (z < 0)) v = -v;
  return v;
}

// Normalised Fourier transforms of occupation domains of radius R at x =
// 2 pi |q_perp| R: a ball in three dimensions, 3 (sin x - x cos x) / x^3,
// and a disc in two, 2 J1(x) / x. Both are 1 at x = 0.
inline double ball_transform(double x) {
  if (std::fabs(x) < 1e-4) return 1 - x * x / 10;
  return 3 * (std::sin(x) - x * std::cos(x)) / (x * x * x);
}
inline double disc_transform(double x) {
  if (std::fabs(x) < 1e-4) return 1 - x * x / 8;
  return 2 * std::cyl_bessel_j(1.0, x) / x;
}

// A site of the model: its position in the setting cell (fractions), its
// weight, and, for the quasicrystals, the radius of its occupation domain
// in Angstrom of internal space; `mult` is the number of its images in the
// setting cell (what a peak search reports as multiplicity).
struct Site {
  std::string label;
  double x[6];
  double z, b;
  double radius = 0;
  int mult = 1;
};

// `atoms`: a crystal of point atoms; `sites` holds one atom of each site
// (with its Wyckoff multiplicity in the setting cell), `atoms` every atom of
// the setting cell.
enum class Kind { perovskite, modulated, icosahedral, decagonal, atoms };

struct Example {
  std::string dir, name, title;  // examples/<dir>/<name>.inp
  Kind kind{};
  int isys = 0;
  double a = 0, c = 0;             // built-in settings
  double abc[3] = {}, k[3] = {};   // general setting
  double cosang[3] = {};           // general setting: cos alpha, beta, gamma
  int ndm = 0;
  char brv = 'p';
  int icent = 1;
  std::vector<std::string> gens;   // generating elements
  std::string symmetry_comment;
  int hmax[6] = {1, 1, 1, 1, 1, 1};
  int idm = 6;
  double qimax = 0;                // 1/Angstrom, kept with a small margin
  double qperpmax = 0;             // quasicrystals: a cut on |q_perp| too (0: none)
  std::vector<Site> sites;
  std::vector<Site> atoms;         // Kind::atoms: every atom of the cell
  double amp[3] = {};              // modulated: displacement amplitude (fractions)
  int modulated_site = 0;          // modulated: which site carries the wave
  double wave_phase = 0;           // modulated: u(t) = A sin(2 pi (t - phase))
  // MEM: the step factors (the largest change of ln rho in one cycle, the
  // same for every example) and the cycles of the two stages; the run stops
  // before at c2 <= 1.
  double ex1 = 0.1, ex2 = 0.1;
  int nex1 = 20, nex2 = 980;
  double sigma_rel = 0.03, sigma_abs = 0.2;  // MEM data: sigma = rel |F| + abs
  // Icosahedral: occupation domains that are Gaussians in internal space
  // with the site's b, f = z exp(-b (|q_par|^2 + |q_perp|^2) / 4) (an atom
  // that is one isotropic Gaussian in all six dimensions), instead of balls.
  bool gaussian_domains = false;
  std::string drawing;             // the "ng=" block of the inputs
  Basis basis;
  double pkmin = 0.3;

  // The structure factor of a setting index (extinct indices give 0).
  cplx F(const int* h) const {
    int hg[6];
    if (!to_grid(brv, h, hg)) return 0;
    double q[6];
    basis.q(h, q);
    const double qp = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2]);
    const double qi = std::sqrt(q[3] * q[3] + q[4] * q[4] + q[5] * q[5]);
    int ncent = brv == 'f' ? 32 : 1;  // lattice points in the setting cell
    cplx s = 0;
    const std::vector<Site>& list = kind == Kind::atoms ? atoms : sites;
    for (std::size_t n = 0; n < list.size(); ++n) {
      const Site& st = list[n];
      double hx = 0;
      for (int i = 0; i < 6; ++i) hx += h[i] * st.x[i];
      const cplx ph = phase_factor(hx);
      const double f = form_factor(st.z, st.b, qp);
      switch (kind) {
        case Kind::perovskite:
          // Each listed site stands for its images under the cubic group.
          s += f * images_sum(st, h);
          break;
        case Kind::modulated:
          if (static_cast<int>(n) == modulated_site) {
            // A string x(t) = x0 + A sin(2 pi (t - phase)): integrating
            // exp(+2 pi i (h.x(t) + m t)) over t gives, by the Jacobi-Anger
            // expansion, J_{-m}(2 pi h.A) exp(+2 pi i (h.x0 + m phase)).
            const int m = h[3];
            const double arg = 2 * kPi * (h[0] * amp[0] + h[1] * amp[1] + h[2] * amp[2]);
            const double j = bessel_int(-m, arg);
            s += f * j * ph * phase_factor(m * wave_phase);
          } else if (h[3] == 0) {
            s += f * ph;  // an unmodulated atom scatters into main reflections only
          }
          break;
        case Kind::icosahedral:
          s += double(ncent) * f *
               (gaussian_domains ? std::exp(-st.b * qi * qi / 4)
                                 : ball_transform(2 * kPi * qi * st.radius)) *
               ph;
          break;
        case Kind::decagonal:
          s += f * disc_transform(2 * kPi * qi * st.radius) * ph;
          break;
        case Kind::atoms:
          s += f * ph;
          break;
      }
    }
    return s;
  }

  double f000() const {
    int h[6] = {};
    return F(h).real();
  }

  // Perovskite: the sum of the phase factors over the site's distinct images
  // under the cubic point group (all signed permutations of x, y, z).
  cplx images_sum(const Site& st, const int* h) const {
    cplx s = 0;
    for (const auto& y : site_images(st))
      s += phase_factor(h[0] * y[0] + h[1] * y[1] + h[2] * y[2]);
    return s;
  }

  // The distinct positions of a site in the cell: for the perovskite its
  // images under the cubic point group (all signed permutations of x, y,
  // z), for the other models the site itself.
  std::vector<std::array<double, 6>> site_images(const Site& st) const {
    std::vector<std::array<double, 6>> out;
    if (kind != Kind::perovskite) {
      out.emplace_back();
      std::copy(st.x, st.x + 6, out.back().begin());
      return out;
    }
    std::set<std::array<long, 3>> seen;
    int perm[3] = {0, 1, 2};
    do {
      for (int sg = 0; sg < 8; ++sg) {
        std::array<double, 6> y{};
        std::array<long, 3> key{};
        for (int i = 0; i < 3; ++i) {
          y[i] = ((sg >> i) & 1 ? -1 : 1) * st.x[perm[i]];
          y[i] -= std::floor(y[i]);
          key[i] = std::lround(y[i] * 1e6) % 1000000;
        }
        if (seen.insert(key).second) out.push_back(y);
      }
    } while (std::next_permutation(perm, perm + 3));
    return out;
  }

  double volume() const { return cell_volume(basis); }
};

// An example's names (examples/<dir>/<name>.inp, the title of its pages),
// its kind and setting; the builders fill in the rest.
inline Example example(const std::string& dir, const std::string& name, const std::string& title, Kind kind,
                       int isys) {
  Example e;
  e.dir = dir;
  e.name = name;
  e.title = title;
  e.kind = kind;
  e.isys = isys;
  return e;
}

// ---- the four examples -----------------------------------------------------

// The drawing block of the keyword inputs: one x-y (or physical-space)
// section page per example. `sections` is its text after "ng=".
inline std::string page(const std::string& origin, const std::string& u, const std::string& v,
                        int div1, int div2) {
  return "iax=2 ipers=0 iaver=0 ismth=0\nx=" + origin + "\nu=" + u + "\nv=" + v +
         "\ndiv=" + std::to_string(div1) + " " + std::to_string(div2) + " hmin=0.1 lf=10\n";
}

inline Example perovskite() {
  Example e = example("perovskite", "perovskite", "SrTiO3-type perovskite", Kind::perovskite, 0);
  e.abc[0] = e.abc[1] = e.abc[2] = 3.905;
  e.gens = {"-y,x,z,t,u,v", "y,x,-z,t,u,v", "z,x,y,t,u,v"};
  e.symmetry_comment = "generating elements of m-3m: 4 along z, 2 along [110], 3 along [111]";
  e.icent = 1;
  const int hm[6] = {16, 16, 16, 1, 1, 1};
  std::copy(hm, hm + 6, e.hmax);
  e.qimax = 1.8;
  // Sr at the corner, Ti at the body centre, O at the face centres.
  // Gaussian atoms whose b stands for the whole atom (electron cloud and
  // vibration), about a grid step wide: a density the 16^3 grid holds, whose
  // data the maximum-entropy map fits to the noise.
  e.sites = {{"Sr", {0, 0, 0, 0, 0, 0}, 38, 2.0, 0, 1},
             {"Ti", {0.5, 0.5, 0.5, 0, 0, 0}, 22, 1.8, 0, 1},
             {"O", {0.5, 0.5, 0, 0, 0, 0}, 8, 2.4, 0, 3}};
  e.basis = general_basis(e.abc, e.k);
  e.pkmin = 0.15;
  // The z = 1/2 section (Ti and two O), the (1-10) plane through the
  // origin (Sr, Ti and O), and the whole cell as a box.
  e.drawing =
      "ng=3\n"
      "iax=2 ipers=0 iaver=1 ismth=0\nx= 0 0 0.5 0 0 0\nu= 1 0 0 0 0 0\nv= 0 1 0 0 0 0\n"
      "div=60 60 hmin=0.05 lf=10\n"
      "iax=2 ipers=0 iaver=1 ismth=0\nx= 0 0 0 0 0 0\nu= 1 1 0 0 0 0\nv= 0 0 1 0 0 0\n"
      "div=64 48 hmin=0.05 lf=10\n"
      "iax=3 ipers=0 iaver=0 ismth=0\nx= 0 0 0 0 0 0\nu= 1 0 0 0 0 0\nv= 0 1 0 0 0 0\n"
      "q= 0 0 1 0 0 0\nxmin=0 xmax=1 ymin=0 ymax=1 zmin=0 zmax=1\n"
      "xdiv=17 ydiv=17 zdiv=17 hscl=1\n";
  return e;
}

// The perovskite on a finer 24^3 grid, data to |q| = 1.3 1/A with sigma =
// 2 % |F| + 0.1: Gaussian atoms a grid step or more wide, whose true density
// the maps of the tests are measured against.
inline Example perovskite24(const std::string& name) {
  Example e = perovskite();
  e.name = name;
  const int hm[6] = {24, 24, 24, 1, 1, 1};
  std::copy(hm, hm + 6, e.hmax);
  e.sites[0].b = 2.0;
  e.sites[1].b = 1.8;
  e.sites[2].b = 2.4;
  e.qimax = 1.3;
  e.sigma_rel = 0.02;
  e.sigma_abs = 0.1;
  return e;
}

// One atom on a string x(t) = A sin(2 pi t) along a, the wave vector along
// c* (a transverse wave, so the string's t is the fourth coordinate
// itself), superspace group generated by the inversion,
// (-x, y, z, t+1/2) and (x, -y, z, t). The non-centrosymmetric variant puts
// the string at a general position with a phase shift and adds an
// unmodulated atom, group P1.
inline Example modulated(bool centro) {
  Example e = example("modulated", centro ? "modulated" : "modulated_p1",
                      centro ? "(3+1)-D displacive wave, centrosymmetric"
                             : "(3+1)-D displacive wave, non-centrosymmetric",
                      Kind::modulated, 0);
  e.abc[0] = 4.2;
  e.abc[1] = 5.0;
  e.abc[2] = 6.3;
  e.k[2] = 0.2913;
  e.ndm = 1;
  e.amp[0] = 0.08;
  const int hm[6] = {32, 12, 12, 12, 1, 1};
  std::copy(hm, hm + 6, e.hmax);
  e.qimax = 2.5;
  if (centro) {
    e.icent = 1;
    e.gens = {"-x,y,z,t+1/2,u,v", "x,-y,z,t,u,v"};
    e.symmetry_comment = "inversion (icent=1), a*-mirror with t+1/2, b*-mirror";
    e.sites = {{"A", {0, 0, 0, 0, 0, 0}, 26, 2.0, 0, 1}};
  } else {
    e.icent = 0;
    e.gens = {};
    e.symmetry_comment = "P1: identity only";
    e.sites = {{"A", {0.25, 0.25, 1.0 / 6, 0, 0, 0}, 26, 2.0, 0, 1},
               {"B", {0.6875, 0.5833333333333333, 0.5833333333333333, 0, 0, 0}, 12, 2.0, 0, 1}};
    e.wave_phase = 0.15;
  }
  e.basis = general_basis(e.abc, e.k);
  e.pkmin = 0.3;
  // The x-t section through the string: x along a, t along the internal axis.
  const std::string o = centro ? "-0.5 0 0 0 0 0" : "-0.25 0.25 0.1666667 0 0 0";
  e.drawing = "ng=1\n" + page(o, "1 0 0 0 0 0", "0 0 0 1 0 0", 32, 12);
  return e;
}

// A hypercubic lattice in the icosahedral basis of isys 2 with spherical
// occupation domains. Primitive: domains at the vertex and at the body
// centre (1/2, ..., 1/2). Face-centred (32 lattice points in the setting
// cell): domains at the vertex and at the odd vertex (1/2, 0, ..., 0).
// Point group m-3-5 on every site.
inline Example icosahedral(bool fcentred) {
  Example e = example("icosahedral", fcentred ? "icosahedral_f" : "icosahedral_p",
                      fcentred ? "F-icosahedral quasicrystal, spherical domains"
                               : "P-icosahedral quasicrystal, spherical domains",
                      Kind::icosahedral, 2);
  e.a = fcentred ? 6.5 : 5.0;
  e.c = e.a;
  e.brv = fcentred ? 'f' : 'p';
  e.icent = 1;
  e.basis = icosahedral_basis(e.a);
  for (const IMat6& r : icosahedral_generators(e.basis)) e.gens.push_back(op_text(r));
  e.symmetry_comment = "two 2-folds, a 3-fold and a 5-fold: 235, with the inversion m-3-5";
  const int hm[6] = {10, 10, 10, 10, 10, 10};
  std::copy(hm, hm + 6, e.hmax);
  e.qimax = 1.0;
  // Quasicrystal data: weak reflections measured to a few per cent, with a
  // larger background (and a noise level a positive map on this grid fits).
  e.sigma_rel = 0.08;
  e.sigma_abs = 0.4;
  if (!fcentred) {
    e.sites = {{"vertex", {0, 0, 0, 0, 0, 0}, 20, 2.0, 0.8 * e.a, 1},
               {"body centre", {0.5, 0.5, 0.5, 0.5, 0.5, 0.5}, 12, 2.0, 0.6 * e.a, 1}};
  } else {
    e.sites = {{"vertex", {0, 0, 0, 0, 0, 0}, 20, 2.0, 0.9 * e.a / 2, 32},
               {"odd vertex", {0.5, 0, 0, 0, 0, 0}, 12, 2.0, 0.7 * e.a / 2, 32}};
  }
  e.pkmin = 0.3;
  // Physical space through the origin: the plane of two five-fold axes'
  // parallel parts, taken as the superspace directions with zero internal
  // component: d1 + d2 (setting directions) is not such a vector, so the
  // section is given in Cartesian form (ipers=1).
  e.drawing = fcentred ? "ng=1\niax=2 ipers=1 iaver=0 ismth=0\nxe=-10 -10 0 xi=0 0 0\n"
                         "u=20 0 0 0 0 0\nv=0 20 0 0 0 0\ndiv=40 40 hmin=0.1 lf=10\n"
                       : "ng=1\niax=2 ipers=1 iaver=0 ismth=0\nxe=-20 -20 0 xi=0 0 0\n"
                         "u=40 0 0 0 0 0\nv=0 40 0 0 0 0\ndiv=80 80 hmin=0.1 lf=10\n";
  return e;
}

// The decagonal quasicrystal: four circular domains at k/5 (1, 1, 1, 1) of
// the four in-plane axes, k = 1..4, on the layers z = 1/4 (k = 1, 3) and
// z = 3/4 (k = 2, 4); small domains at k = 1, 4, large (tau times) at
// k = 2, 3, as in the pentagonal domains of a Penrose tiling. Group
// P10_5/mmc: the screw 10_5, a vertical mirror and the inversion.
inline Example decagonal() {
  Example e = example("decagonal", "decagonal", "decagonal quasicrystal, circular domains", Kind::decagonal, 3);
  e.a = 3.8;
  e.c = 4.1;
  e.idm = 5;
  e.icent = 1;
  e.basis = decagonal_basis(e.a, e.c);
  // The five-fold on index vectors: b1 -> b2 -> b3 -> b4 -> -(b1+b2+b3+b4).
  IMat6 r5 = identity6();
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) r5[i][j] = 0;
  r5[0][1] = r5[1][2] = r5[2][3] = 1;
  r5[3][0] = r5[3][1] = r5[3][2] = r5[3][3] = -1;
  // The ten-fold screw: minus the cube of the five-fold in the plane, z
  // kept, translation c/2.
  IMat6 r10 = mul(r5, mul(r5, r5));
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) r10[i][j] = -r10[i][j];
  IMat6 mirror{};
  mirror[0][3] = mirror[3][0] = mirror[1][2] = mirror[2][1] = 1;
  mirror[4][4] = mirror[5][5] = 1;
  int proper = 0;
  if (!is_lattice_rotation(r10, e.basis, 5, &proper) || proper != 1 || order_of(r10) != 10 ||
      !is_lattice_rotation(mirror, e.basis, 5, &proper) || proper != -1)
    throw std::runtime_error("decagonal operators are no lattice symmetries");
  const int half[6] = {0, 0, 0, 0, 1, 0};
  e.gens = {op_text(r10, half), op_text(mirror)};
  e.symmetry_comment = "10_5 screw along c, vertical mirror, inversion (icent=1): P10_5/mmc";
  const int hm[6] = {15, 15, 15, 15, 8, 1};
  std::copy(hm, hm + 6, e.hmax);
  e.qimax = 1.3;
  e.sigma_rel = 0.05;  // quasicrystal data, as the icosahedral ones
  e.sigma_abs = 0.4;
  const double rs = 0.55 * e.a, rl = rs * kTau;
  e.sites = {{"small 1", {0.2, 0.2, 0.2, 0.2, 0.25, 0}, 24, 1.5, rs, 2},
             {"large 2", {0.4, 0.4, 0.4, 0.4, 0.75, 0}, 24, 1.5, rl, 2},
             {"large 3", {0.6, 0.6, 0.6, 0.6, 0.25, 0}, 24, 1.5, rl, 2},
             {"small 4", {0.8, 0.8, 0.8, 0.8, 0.75, 0}, 24, 1.5, rs, 2}};
  e.pkmin = 0.3;
  e.drawing = "ng=1\niax=2 ipers=1 iaver=0 ismth=0\nxe=-10 -10 1.025 xi=0 0 0\n"
              "u=20 0 0 0 0 0\nv=0 20 0 0 0 0\ndiv=40 40 hmin=0.1 lf=10\n";
  return e;
}

// ---- crystals of point atoms -------------------------------------------------

// The reciprocal basis of a three-dimensional cell (a, b, c in Angstrom and
// the cosines of alpha, beta, gamma): rows 1-3 a*, b*, c* in Cartesian
// components (a along x, b in the x-y plane), rows 4-6 the unit internal
// vectors of the unused axes. Only the metric matters to the models (the
// resolution cut and the cell volume), not the orientation.
inline Basis cell_basis(const double* abc, const double* cosang) {
  const double ca = cosang[0], cb = cosang[1], cg = cosang[2];
  const double sg = std::sqrt(1 - cg * cg);
  const double cz = std::sqrt(1 - cb * cb - std::pow((ca - cb * cg) / sg, 2));
  // Direct basis vectors as the columns of a.
  const double a[3][3] = {{abc[0], abc[1] * cg, abc[2] * cb},
                          {0, abc[1] * sg, abc[2] * (ca - cb * cg) / sg},
                          {0, 0, abc[2] * cz}};
  // a* . a_j = delta: the rows of a^-1.
  const double det = a[0][0] * a[1][1] * a[2][2];
  const double inv[3][3] = {{1 / a[0][0], -a[0][1] / (a[0][0] * a[1][1]),
                             (a[0][1] * a[1][2] - a[0][2] * a[1][1]) / det},
                            {0, 1 / a[1][1], -a[1][2] / (a[1][1] * a[2][2])},
                            {0, 0, 1 / a[2][2]}};
  Basis b;
  for (int k = 0; k < 3; ++k)
    for (int j = 0; j < 3; ++j) b.dq[k][j] = inv[k][j];
  for (int k = 3; k < 6; ++k) b.dq[k][k] = 1;
  return b;
}

// The inverse of a 3x3 matrix from its cofactors; returns the determinant.
inline double inverse3(const double (&m)[3][3], double (&inv)[3][3]) {
  const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                     m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                     m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      const int i1 = (j + 1) % 3, i2 = (j + 2) % 3, j1 = (i + 1) % 3, j2 = (i + 2) % 3;
      inv[i][j] = (m[i1][j1] * m[i2][j2] - m[i1][j2] * m[i2][j1]) / det;
    }
  return det;
}

// The metric G of a cell: G_ij = a_i a_j cos(angle between axes i and j),
// the angles given by their cosines (alpha, beta, gamma).
inline void metric3(const double* abc, const double* cosang, double (&g)[3][3]) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) g[i][j] = abc[i] * abc[j] * (i == j ? 1.0 : cosang[3 - i - j]);
}

// x reduced into [0, 1), values within 1e-9 below 1 taken as 0.
inline double frac01(double x) {
  double f = x - std::floor(x);
  return f > 1 - 1e-9 ? 0.0 : f;
}

// (R, t) . (R', t') = (R R', R t' + t), translation reduced into [0, 1).
inline Op compose(const Op& a, const Op& b) {
  Op c;
  c.r = mul(a.r, b.r);
  for (int e = 0; e < 6; ++e) {
    double s = a.t[e];
    for (int i = 0; i < 6; ++i) s += a.r[e][i] * b.t[i];
    c.t[e] = frac01(s);
  }
  return c;
}

inline bool same_op(const Op& a, const Op& b) {
  if (a.r != b.r) return false;
  for (int e = 0; e < 6; ++e) {
    const double d = a.t[e] - b.t[e];
    if (std::fabs(d - std::nearbyint(d)) > 1e-9) return false;
  }
  return true;
}

// The space group modulo whole cell translations: the closure of the
// generating elements, the inversion (centro) and the lattice-centring
// translations of the cell.
inline std::vector<Op> space_group(const std::vector<std::string>& gens, bool centro,
                                   const std::vector<std::array<double, 3>>& centring = {}) {
  std::vector<Op> gen;
  for (const std::string& s : gens) gen.push_back(parse_op(s));
  if (centro) {
    Op inv;
    for (int i = 0; i < 6; ++i) inv.r[i][i] = i < 3 ? -1 : 1;
    gen.push_back(inv);
  }
  for (const auto& c : centring) {
    Op t;
    t.r = identity6();
    for (int i = 0; i < 3; ++i) t.t[i] = c[i];
    gen.push_back(t);
  }
  Op e;
  e.r = identity6();
  std::vector<Op> g = {e};
  for (std::size_t n = 0; n < g.size(); ++n)
    for (const Op& a : gen) {
      const Op p = compose(a, g[n]);
      if (std::none_of(g.begin(), g.end(), [&](const Op& q) { return same_op(p, q); })) g.push_back(p);
      if (g.size() > 1000) throw std::runtime_error("space group too large");
    }
  return g;
}

// The distinct images in the cell of a position under a space group.
inline std::vector<std::array<double, 3>> orbit(const std::vector<Op>& g, const double* x) {
  std::vector<std::array<double, 3>> out;
  for (const Op& op : g) {
    std::array<double, 3> y{};
    for (int e = 0; e < 3; ++e) {
      double s = op.t[e];
      for (int i = 0; i < 3; ++i) s += op.r[e][i] * x[i];
      y[e] = frac01(s);
    }
    const bool known = std::any_of(out.begin(), out.end(), [&](const std::array<double, 3>& u) {
      for (int e = 0; e < 3; ++e) {
        const double d = u[e] - y[e];
        if (std::fabs(d - std::nearbyint(d)) > 1e-7) return false;
      }
      return true;
    });
    if (!known) out.push_back(y);
  }
  return out;
}

// A translation component as an operator line writes it ("+1/4"), from the
// fractions with denominators up to 12.
inline std::string fraction_text(double t) {
  t = frac01(t);
  if (t < 1e-9) return "";
  for (int den = 2; den <= 12; ++den) {
    const double num = t * den;
    if (std::fabs(num - std::nearbyint(num)) < 1e-9)
    {
      std::string f = "+";
      f += std::to_string(std::lround(num));
      f += '/';
      f += std::to_string(den);
      return f;
    }
  }
  throw std::runtime_error("translation is no simple fraction");
}

// An operator as a line of the keyword input ("-y,x-y,z+2/3,t,u,v").
inline std::string op_line(const Op& op) {
  std::string s = op_text(op.r);
  std::string out;
  std::size_t start = 0;
  for (int e = 0; e < 6; ++e) {
    const std::size_t end = s.find(',', start);
    if (e) out += ',';
    out += s.substr(start, end - start);
    out += fraction_text(op.t[e]);
    start = end + 1;
  }
  return out;
}

// A three-dimensional crystal of point atoms, given as crystallographers
// write it: the cell, the generating elements and centring translations
// of the space group in the conventional cell, and one atom per site with
// its Wyckoff multiplicity there. It is set up for a run (isys 0, brv 'p')
// in the cell whose basis vectors are the columns of p, in conventional
// coordinates (the identity: the conventional cell itself, which must then
// be primitive; for a centred group a primitive cell). In that cell the
// generators, the positions and the multiplicities (divided by the number
// of lattice points of the conventional cell) are transformed, and `atoms`
// lists every atom of the cell.
inline Example point_atoms(const std::string& name, const double* abc, const double* cosang,
                           const std::vector<std::string>& gens, bool centro,
                           const std::vector<std::array<double, 3>>& centring,
                           const std::vector<Site>& sites, const double (&p)[3][3]) {
  Example e = example(name, name, name, Kind::atoms, 0);
  e.brv = 'p';
  e.icent = centro ? 1 : 0;
  // p^-1 and the metric of the new cell, G' = p^T G p.
  double pi[3][3], g[3][3];
  const double det = inverse3(p, pi);
  metric3(abc, cosang, g);
  double gp[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      gp[i][j] = 0;
      for (int k = 0; k < 3; ++k)
        for (int l = 0; l < 3; ++l) gp[i][j] += p[k][i] * g[k][l] * p[l][j];
    }
  for (int i = 0; i < 3; ++i) e.abc[i] = std::sqrt(gp[i][i]);
  e.cosang[0] = gp[1][2] / (e.abc[1] * e.abc[2]);
  e.cosang[1] = gp[0][2] / (e.abc[0] * e.abc[2]);
  e.cosang[2] = gp[0][1] / (e.abc[0] * e.abc[1]);
  for (double& c : e.cosang)
    if (std::fabs(c) < 1e-12) c = 0;
  e.basis = cell_basis(e.abc, e.cosang);

  auto to_cell = [&](const double* x, double* y) {
    for (int i = 0; i < 3; ++i) {
      double s = 0;
      for (int k = 0; k < 3; ++k) s += pi[i][k] * x[k];
      y[i] = frac01(s);
    }
    for (int i = 3; i < 6; ++i) y[i] = 0;
  };
  for (const std::string& text : gens) {
    const Op c = parse_op(text);
    Op n;
    for (int i = 0; i < 6; ++i) n.r[i][i] = 1;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        double s = 0;
        for (int k = 0; k < 3; ++k)
          for (int l = 0; l < 3; ++l) s += pi[i][k] * c.r[k][l] * p[l][j];
        n.r[i][j] = static_cast<int>(std::lround(s));
        if (std::fabs(s - n.r[i][j]) > 1e-9) throw std::runtime_error("no operator of the new cell");
      }
    to_cell(c.t, n.t);
    e.gens.push_back(op_line(n));
  }
  const std::vector<Op> group = space_group(gens, centro, centring);
  const double cells = std::fabs(det);  // conventional cells per new cell
  for (const Site& s : sites) {
    Site n = s;
    to_cell(s.x, n.x);
    n.mult = static_cast<int>(std::lround(s.mult * cells));
    e.sites.push_back(n);
    for (const auto& y : orbit(group, s.x)) {
      Site a = n;
      to_cell(y.data(), a.x);
      const bool known = std::any_of(e.atoms.begin(), e.atoms.end(), [&](const Site& u) {
        for (int i = 0; i < 3; ++i) {
          const double d = u.x[i] - a.x[i];
          if (std::fabs(d - std::nearbyint(d)) > 1e-7) return false;
        }
        return true;
      });
      if (!known) e.atoms.push_back(a);
    }
  }
  return e;
}

// The models of the peak search tests (Z, B in Angstrom^2, Wyckoff
// multiplicities of the International Tables in the conventional cell).
inline constexpr double kUnit[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};

// P6/mmm (origin at 6/mmm): a ring of six atoms at 6l (x, 2x, 0) about an
// atom at 1a, and two at 2d.
inline Example hexagonal_6l() {
  const double abc[3] = {6.0, 6.0, 3.5}, cosang[3] = {0, 0, -0.5};
  return point_atoms("p6mmm_6l", abc, cosang, {"x-y,x,z,t,u,v", "y,x,-z,t,u,v"}, true, {},
                     {{"1a", {0, 0, 0, 0, 0, 0}, 12, 1.0, 0, 1},
                      {"6l", {0.157, 0.314, 0, 0, 0, 0}, 20, 1.0, 0, 6},
                      {"2d", {1.0 / 3, 2.0 / 3, 0.5, 0, 0, 0}, 14, 1.0, 0, 2}},
                     kUnit);
}

inline std::vector<Example> all_examples() {
  return {perovskite(), modulated(true), modulated(false), icosahedral(false), icosahedral(true),
          decagonal()};
}

// ---- reflections -------------------------------------------------------------

// arg F in degrees, in (-180, 180], as the files write it with four decimals:
// the round-off of a centric phase (-0.0000, -180.0000) is not written.
inline double phase_degrees(cplx f) {
  double d = std::arg(f) * 180 / kPi;
  if (std::fabs(d) < 5e-5) d = 0.0;
  if (d <= -180.0 + 5e-5) d = 180.0;
  return d;
}

struct Reflection {
  int h[6];
  double fc, phase, fo, sigma;  // phase in degrees
};

// Runs over every grid index (grid basis, |h_i| <= (N_i - 1)/2) and calls
// visit(hg) for each.
template <class Visit>
void for_each_grid_index(const Example& e, Visit visit) {
  int lim[6];
  for (int i = 0; i < 6; ++i) lim[i] = (e.hmax[i] - 1) / 2;
  int hg[6];
  for (hg[5] = -lim[5]; hg[5] <= lim[5]; ++hg[5])
    for (hg[4] = -lim[4]; hg[4] <= lim[4]; ++hg[4])
      for (hg[3] = -lim[3]; hg[3] <= lim[3]; ++hg[3])
        for (hg[2] = -lim[2]; hg[2] <= lim[2]; ++hg[2])
          for (hg[1] = -lim[1]; hg[1] <= lim[1]; ++hg[1])
            for (hg[0] = -lim[0]; hg[0] <= lim[0]; ++hg[0]) visit(hg);
}

// A reflection is kept when its physical scattering vector is shorter than
// qimax (1/Angstrom). The program applies the same cut in single precision;
// the input asks for a slightly larger qimax so that rounding cannot drop a
// reflection written here. A cut on |q_perp| (qperpmax), where given, is
// the model's alone (the program has none): a reflection set that reaches
// a given distance in internal space, whatever the grid holds.
inline bool kept(const Example& e, const int* h) {
  return e.basis.qpar(h) <= e.qimax && (e.qperpmax <= 0 || e.basis.qperp(h) <= e.qperpmax);
}

// The classes of symmetry-equivalent indices (point group and Friedel's
// law) the examples use: every member within the grid (grid basis,
// |h_i| <= (N_i - 1)/2) and the physical scattering vector within qimax.
// A class that the grid holds only in part is left out whole: a map made
// from part of a class lacks the symmetry the program gives it. Each class
// is listed with its largest index vector (lexicographic order) first; the
// zero vector is left out (it is F(000) of the input).
inline std::vector<std::vector<std::array<int, 6>>> index_classes(const Example& e) {
  const std::vector<IMat6> g = point_group(e.gens, true);  // Friedel: always add -1
  std::set<std::array<int, 6>> done;
  std::vector<std::vector<std::array<int, 6>>> out;
  for_each_grid_index(e, [&](const int* hg) {
    int h[6];
    from_grid(e.brv, hg, h);
    std::array<int, 6> key;
    std::copy(h, h + 6, key.begin());
    if (done.count(key)) return;
    if (std::all_of(h, h + 6, [](int v) { return v == 0; })) return;
    std::set<std::array<int, 6>> orbit;
    for (const IMat6& r : g) {
      std::array<int, 6> hr{};
      for (int j = 0; j < 6; ++j)
        for (int k = 0; k < 6; ++k) hr[j] += h[k] * r[k][j];
      orbit.insert(hr);
      done.insert(hr);
    }
    if (!kept(e, h)) return;
    for (const auto& m : orbit) {
      int mg[6];
      if (!to_grid(e.brv, m.data(), mg)) return;
      for (int i = 0; i < 6; ++i)
        if (std::abs(mg[i]) > (e.hmax[i] - 1) / 2) return;
    }
    out.emplace_back(orbit.rbegin(), orbit.rend());
  });
  return out;
}

// One reflection per class, the class's first index standing for it; Fo
// carries `noise` times a normal draw of sigma (0: Fo = Fc).
inline std::vector<Reflection> unique_reflections(const Example& e, unsigned seed, double noise = 1) {
  std::vector<Reflection> out;
  std::mt19937 rng(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  for (const auto& cls : index_classes(e)) {
    Reflection rf;
    std::copy(cls[0].begin(), cls[0].end(), rf.h);
    const cplx f = e.F(rf.h);
    rf.fc = std::abs(f);
    rf.phase = rf.fc > 1e-9 ? phase_degrees(f) : 0.0;
    rf.sigma = e.sigma_rel * rf.fc + e.sigma_abs;
    rf.fo = std::max(0.0, rf.fc + noise * rf.sigma * normal(rng));
    out.push_back(rf);
  }
  std::sort(out.begin(), out.end(), [](const Reflection& a, const Reflection& b) {
    return std::lexicographical_compare(b.h, b.h + 6, a.h, a.h + 6);
  });
  return out;
}

// The records: idm indices in i4, then Fo, Fc, phase (Fourier data, Fo = Fc)
// or Fo, Fc, phase, sigma (MEM data, Fo with noise), each in f12.4.
inline std::string reflection_file(const Example& e, bool mem, unsigned seed = 1, double noise = 1) {
  std::string s;
  char buf[64];
  for (const Reflection& r : unique_reflections(e, seed, noise)) {
    for (int i = 0; i < e.idm; ++i) {
      std::snprintf(buf, sizeof buf, "%4d", r.h[i]);
      s += buf;
    }
    if (mem)
      std::snprintf(buf, sizeof buf, "%12.4f%12.4f%12.4f%12.4f\n", r.fo, r.fc, r.phase, r.sigma);
    else
      std::snprintf(buf, sizeof buf, "%12.4f%12.4f%12.4f\n", r.fc, r.fc, r.phase);
    s += buf;
  }
  return s;
}

inline std::string fmt_real(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

// The keyword input of a Fourier (mem = false) or maximum-entropy run.
inline std::string keyword_input(const Example& e, bool mem, const std::string& drawing) {
  const std::string stem = e.name + (mem ? "_mem" : "");
  std::string s;
  s += "file1='" + e.name + (mem ? "_mem" : "") + ".hkl'\n";
  s += "file2='" + stem + ".den'\n";
  s += "title='" + e.title + "'\n";  // the page adds the map kind
  if (e.isys == 0) {
    s += "isys=0\n";
    s += "a=" + fmt_real(e.abc[0]) + " b=" + fmt_real(e.abc[1]) + " c=" + fmt_real(e.abc[2]) +
         " cosa=" + fmt_real(e.cosang[0]) + " cosb=" + fmt_real(e.cosang[1]) +
         " cosc=" + fmt_real(e.cosang[2]) + "\n";
    s += "ndm=" + std::to_string(e.ndm) + "\n";
    if (e.ndm > 0)
      s += "k=" + fmt_real(e.k[0]) + " " + fmt_real(e.k[1]) + " " + fmt_real(e.k[2]) + "\n";
  } else if (e.isys <= 2) {
    s += "isys=" + std::to_string(e.isys) + " a=" + fmt_real(e.a) + "\n";
  } else {
    s += "isys=" + std::to_string(e.isys) + " a=" + fmt_real(e.a) + " c=" + fmt_real(e.c) + "\n";
  }
  s += "nsymo=" + std::to_string(e.gens.size()) + " icent=" + std::to_string(e.icent) +
       " brv='" + std::string(1, e.brv) + "'\n";
  s += "symmetry operator (" + e.symmetry_comment + ")\n";
  for (const std::string& g : e.gens) s += g + "\n";
  s += "f000=" + fmt_real(e.f000()) + " sg00=0.0 sg0=0.0 sg1=0.0 fmag=1.0\n";
  s += "jbc=0\n";
  if (e.isys == 0) s += "isetting=3\niseging=0\nv= 0 0 0 1 0 0  0 0 0 0 1 0  0 0 0 0 0 1\n";
  s += std::string("iplot=") + (mem ? "4" : "2") + " hmax=";
  for (int i = 0; i < 6; ++i) {
    if (i) s += ' ';
    s += std::to_string(e.hmax[i]);
  }
  if (e.isys != 0) s += " ismtr=0";
  s += " pkmin=" + fmt_real(e.pkmin) + "\n";
  if (mem)
    s += "ex1=" + fmt_real(e.ex1) + " ex2=" + fmt_real(e.ex2) + " nex1=" + std::to_string(e.nex1) +
         " nex2=" + std::to_string(e.nex2) + "\n";
  s += "icont=0\n";
  const std::string f = "(" + std::to_string(e.idm) + "i4," + (mem ? "4" : "3") + "f12.4)";
  s += "qimax=" + fmt_real(e.qimax * 1.001) + " frmt='" + f + "'\n";
  s += "ldev=1 iwhkl=0 iprj=0\n";
  s += drawing;
  return s;
}

// ---- the direct summation --------------------------------------------------

// The map the coefficients of every grid index make,
//     rho(x_grid) = (1/V) sum_h F(h) conj phase_factor(h_grid.x_grid),
// summed axis after axis (a direct sum in double precision, no FFT).
// Entry j of the result is grid point (j1/N1, ..., j6/N6), the first axis
// fastest. The coefficients are coef(h) at every member h of every class
// of index_classes (the model's own F by default), F(000) at the origin;
// a coefficient 0 leaves its index out of the series.
//
// Given `indices` (setting indices, every member of the series listed once)
// the sum runs over them instead of the classes: an index beyond the grid adds
// its coefficient to the grid index it aliases to, so that the map holds the
// series' exact values at the grid points whatever its reach.
template <class Coef>
std::vector<double> direct_map(const Example& e, const std::vector<std::array<int, 6>>& indices, Coef coef) {
  long long nt = 1;
  long long stride[6];
  for (int i = 0; i < 6; ++i) {
    stride[i] = nt;
    nt *= e.hmax[i];
  }
  std::vector<cplx> a(nt, 0.0), b(nt);
  a[0] = e.f000();
  for (const auto& h : indices) {
    int hg[6] = {};
    to_grid(e.brv, h.data(), hg);
    long long j = 0;
    for (int i = 0; i < 6; ++i) j += ((hg[i] % e.hmax[i] + e.hmax[i]) % e.hmax[i]) * stride[i];
    a[j] += coef(h.data());
  }
  for (int ax = 0; ax < 6; ++ax) {
    const int n = e.hmax[ax];
    if (n == 1) continue;
    std::vector<cplx> w(n);
    for (int k = 0; k < n; ++k) w[k] = std::conj(phase_factor(double(k) / n));
    for (long long j = 0; j < nt; ++j) {
      const int x = static_cast<int>((j / stride[ax]) % n);
      const long long base = j - x * stride[ax];
      cplx s = 0;
      for (int h = 0; h < n; ++h) s += a[base + h * stride[ax]] * w[(static_cast<long long>(h) * x) % n];
      b[j] = s;
    }
    a.swap(b);
  }
  const double v = e.volume();
  std::vector<double> rho(nt);
  for (long long j = 0; j < nt; ++j) rho[j] = a[j].real() / v;
  return rho;
}

template <class Coef>
std::vector<double> direct_map(const Example& e, Coef coef) {
  std::vector<std::array<int, 6>> indices;
  for (const auto& cls : index_classes(e)) indices.insert(indices.end(), cls.begin(), cls.end());
  return direct_map(e, indices, coef);
}

inline std::vector<double> direct_map(const Example& e) {
  return direct_map(e, [&](const int* h) { return e.F(h); });
}

// ---- the true density of Gaussian atoms ------------------------------------

// The density of a crystal of Gaussian atoms at every grid point (the grid
// order of direct_map), from real space alone: no Fourier series, so it
// holds what a map made from a finite set of reflections misses.
//
// An atom of weight z with f(q) = z exp(-b |q|^2 / 4) over a lattice whose
// reciprocal basis vectors (rows of dq, the components f depends on) are
// mutually orthogonal has f(h) = z exp(-sum_i beta_i h_i^2), beta_i =
// b |dq_i|^2 / 4, so its density factorises over the cell axes:
//     rho(x) = (z / V) prod_i g(x_i - x0_i; beta_i),
//     g(u; beta) = sum_h exp(-beta h^2) exp(2 pi i h u)
//                = sqrt(pi / beta) sum_n exp(-pi^2 (u - n)^2 / beta),
// the second form by Poisson summation (a periodic Gaussian of unit
// integral over the cell). Axes with one grid point carry only h = 0: their
// factor is 1. The perovskite (atoms Gaussian in physical space) and the
// primitive icosahedral model with gaussian_domains (Gaussian in all six
// dimensions, over a hypercubic lattice) qualify; other models are refused.
inline std::vector<double> gaussian_density(const Example& e) {
  const bool six = e.kind == Kind::icosahedral && e.gaussian_domains;
  if ((e.kind != Kind::perovskite && !six) || e.brv != 'p')
    throw std::runtime_error("gaussian_density: not a primitive crystal of Gaussian atoms");
  const int ncomp = six ? 6 : 3;
  double len2[6];
  for (int i = 0; i < 6; ++i) {
    len2[i] = 0;
    for (int c = 0; c < ncomp; ++c) len2[i] += e.basis.dq[i][c] * e.basis.dq[i][c];
    for (int j = 0; j < i; ++j) {
      if (e.hmax[i] == 1 || e.hmax[j] == 1) continue;
      double d = 0;
      for (int c = 0; c < ncomp; ++c) d += e.basis.dq[i][c] * e.basis.dq[j][c];
      if (std::fabs(d) > 1e-12 * std::sqrt(len2[i] * len2[j]))
        throw std::runtime_error("gaussian_density: the reciprocal basis is not orthogonal");
    }
  }
  auto g = [](double u, double beta) {
    u -= std::nearbyint(u);
    const int k = 2 + static_cast<int>(std::sqrt(60.0 * beta) / kPi);
    double s = 0;
    for (int n = -k; n <= k; ++n) s += std::exp(-kPi * kPi * (u - n) * (u - n) / beta);
    return std::sqrt(kPi / beta) * s;
  };
  long long nt = 1;
  for (int i = 0; i < 6; ++i) nt *= e.hmax[i];
  std::vector<double> rho(nt, 0.0);
  const double v = e.volume();
  for (const Site& st : e.sites)
    for (const auto& x0 : e.site_images(st)) {
      // The factor of each axis at each of its grid coordinates.
      std::vector<std::vector<double>> f(6);
      for (int i = 0; i < 6; ++i) {
        f[i].resize(e.hmax[i]);
        for (int m = 0; m < e.hmax[i]; ++m)
          f[i][m] = e.hmax[i] == 1 ? 1.0
                                   : g(double(m) / e.hmax[i] - x0[i], st.b * len2[i] / 4);
      }
      int m[6] = {};
      for (long long j = 0; j < nt; ++j) {
        double p = st.z / v;
        for (int i = 0; i < 6; ++i) p *= f[i][m[i]];
        rho[j] += p;
        for (int i = 0; i < 6; ++i) {
          if (++m[i] < e.hmax[i]) break;
          m[i] = 0;
        }
      }
    }
  return rho;
}

// ---- crystals of point-like atoms in three dimensions --------------------

// A crystal of the general setting (isys 0, no modulation) with Gaussian
// atoms: its space group is made here from the generating elements and the
// centring translations (closed modulo whole cell translations), each
// atom's images are summed, and the density is the direct Fourier sum over
// every reflection of the classes written to the reflection file. Nothing
// is taken from the program: the lattice enters through its metric only.
struct Atom {
  std::string label;
  double x[3];
  double z, b;   // weight and displacement parameter B (Angstrom^2)
  int mult = 1;  // Wyckoff multiplicity in the conventional cell
};

struct AtomCrystal {
  std::string name, title;
  double abc[3] = {1, 1, 1}, angles[3] = {90, 90, 90};  // Angstrom, degrees
  char brv = 'p';
  int icent = 0;                          // what the program is told
  std::vector<std::string> gens;          // the generating elements it reads
  std::vector<std::array<double, 3>> centring;  // centring translations of brv
  std::vector<Atom> atoms;
  int hmax[3] = {1, 1, 1};                // grid sizes of the primitive cell
  double qimax = 1;                       // 1/Angstrom
  std::vector<Op> ops;                    // the whole group, made by close()

  double cosang(int i) const { return std::cos(angles[i] * kPi / 180); }
  double volume() const {
    const double ca = cosang(0), cb = cosang(1), cc = cosang(2);
    return abc[0] * abc[1] * abc[2] * std::sqrt(1 - ca * ca - cb * cb - cc * cc + 2 * ca * cb * cc);
  }
  // |q| of h from the reciprocal metric G* = G^-1.
  double qlen(const int* h) const {
    const double cs[3] = {cosang(0), cosang(1), cosang(2)};
    double g[3][3], gi[3][3];
    metric3(abc, cs, g);
    inverse3(g, gi);
    double s = 0;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) s += h[i] * gi[i][j] * h[j];
    return std::sqrt(s);
  }

  // The group: generators (and the inversion when icent is set) and the
  // centring translations, closed modulo whole cell translations.
  void close() {
    ops = space_group(gens, icent != 0, centring);
    if (ops.size() > 192) throw std::runtime_error(name + ": the group has more than 192 elements");
  }

  // The distinct images of an atom in the cell.
  std::vector<std::array<double, 3>> images(const Atom& a) const { return orbit(ops, a.x); }

  cplx F(const int* h) const {
    const double q = qlen(h);
    cplx s = 0;
    for (const Atom& a : atoms)
      for (const auto& y : images(a)) s += form_factor(a.z, a.b, q) * phase_factor(h[0] * y[0] + h[1] * y[1] + h[2] * y[2]);
    return s;
  }
  double f000() const {
    const int h[3] = {0, 0, 0};
    return F(h).real();
  }

  // The classes of reflections within qimax under the point group and
  // Friedel's law, each with its members, the largest first; classes whose
  // structure factor vanishes (systematic absences) are left out.
  std::vector<std::vector<std::array<int, 3>>> classes() const {
    std::vector<std::vector<std::array<int, 3>>> out;
    std::set<std::array<int, 3>> done;
    int lim[3];
    for (int i = 0; i < 3; ++i) lim[i] = static_cast<int>(qimax * abc[i]) + 1;
    const double fmin = 1e-6 * f000();
    int h[3];
    for (h[0] = -lim[0]; h[0] <= lim[0]; ++h[0])
      for (h[1] = -lim[1]; h[1] <= lim[1]; ++h[1])
        for (h[2] = -lim[2]; h[2] <= lim[2]; ++h[2]) {
          const std::array<int, 3> key{h[0], h[1], h[2]};
          if ((h[0] == 0 && h[1] == 0 && h[2] == 0) || done.count(key) || qlen(h) > qimax) continue;
          std::set<std::array<int, 3>> orbit;
          for (const Op& o : ops)
            for (int sg : {1, -1}) {
              std::array<int, 3> hr{};
              for (int j = 0; j < 3; ++j)
                for (int k = 0; k < 3; ++k) hr[j] += sg * h[k] * o.r[k][j];
              orbit.insert(hr);
            }
          done.insert(orbit.begin(), orbit.end());
          if (std::abs(F(h)) < fmin) continue;
          out.emplace_back(orbit.rbegin(), orbit.rend());
        }
    return out;
  }

  // One Fourier record per class, "(6i4,3f12.4)", the phase in the
  // convention of phase_factor() (or its opposite for phsign = -1).
  std::string reflection_file(int phsign = 1) const {
    std::string s;
    char buf[96];
    for (const auto& c : classes()) {
      const cplx f = F(c[0].data());
      const double ph = phase_degrees(phsign > 0 ? f : std::conj(f));
      std::snprintf(buf, sizeof buf, "%4d%4d%4d%4d%4d%4d%12.4f%12.4f%12.4f\n", c[0][0], c[0][1], c[0][2],
                    0, 0, 0, std::abs(f), std::abs(f), ph);
      s += buf;
    }
    return s;
  }

  // The keyword input of a Fourier map (iplot 2) or another map kind of the
  // file `hkl`, density to `den`; `extra` goes after frmt= (e.g. phsign=-1).
  std::string keyword_input(const std::string& hkl, const std::string& den, int iplot = 2,
                            const std::string& extra = "") const {
    std::string s = "file1='" + hkl + "'\nfile2='" + den + "'\ntitle='" + title + "'\nisys=0\n";
    auto cosine = [&](int i) {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%.10f", cosang(i) + 0.0);
      return std::string(buf);
    };
    s += "a=" + fmt_real(abc[0]) + " b=" + fmt_real(abc[1]) + " c=" + fmt_real(abc[2]) + " cosa=" + cosine(0) +
         " cosb=" + cosine(1) + " cosc=" + cosine(2) + "\n";
    s += "ndm=0\n";
    s += "nsymo=" + std::to_string(gens.size()) + " icent=" + std::to_string(icent) + " brv='" +
         std::string(1, brv) + "'\nsymmetry operator\n";
    for (const std::string& g : gens) s += g + "\n";
    s += "f000=" + fmt_real(f000()) + " sg00=0 sg0=0 sg1=0 fmag=1\njbc=0\n";
    s += "isetting=3\niseging=0\nv= 0 0 0 1 0 0  0 0 0 0 1 0  0 0 0 0 0 1\n";
    s += "iplot=" + std::to_string(iplot) + " hmax=" + std::to_string(hmax[0]) + " " + std::to_string(hmax[1]) +
         " " + std::to_string(hmax[2]) + " 1 1 1 pkmin=0.3\nicont=0\n";
    s += "qimax=" + fmt_real(qimax * 1.001) + " frmt='(6i4,3f12.4)' " + extra + "\n";
    s += "ldev=0 iwhkl=0 iprj=0\nng=0\n";
    return s;
  }

  // rho at x (fractions of the setting cell): (1/V) sum over every member of
  // every class of F(h) conj phase_factor(h.x), F(000) included.
  double density(const double* x, const std::vector<std::vector<std::array<int, 3>>>& cls,
                 const std::vector<std::vector<cplx>>& f) const {
    double s = f000();
    for (std::size_t c = 0; c < cls.size(); ++c)
      for (std::size_t m = 0; m < cls[c].size(); ++m) {
        const auto& h = cls[c][m];
        s += (f[c][m] * std::conj(phase_factor(h[0] * x[0] + h[1] * x[1] + h[2] * x[2]))).real();
      }
    return s / volume();
  }
};

// Real structures of the crystal systems, with the generating elements as
// the International Tables list them.
// Alpha-quartz, P3_2 21: Si at 3a (x, 0, 2/3) on a two-fold axis, O at 6c.
inline AtomCrystal quartz() {
  AtomCrystal c;
  c.name = "quartz";
  c.title = "alpha-quartz P3_2 21";
  c.abc[0] = c.abc[1] = 4.916;
  c.abc[2] = 5.405;
  c.angles[2] = 120;
  c.gens = {"-y,x-y,z+2/3,t,u,v", "y,x,-z,t,u,v"};
  c.atoms = {{"Si 3a", {0.4697, 0, 2.0 / 3}, 14, 0.6, 3}, {"O 6c", {0.4135, 0.2669, 0.7857}, 8, 0.8, 6}};
  c.hmax[0] = c.hmax[1] = 24;
  c.hmax[2] = 27;
  c.qimax = 1.3;
  c.close();
  return c;
}

// Wurtzite ZnO (zincite), P6_3 mc, polar: Zn and O at 2b (1/3, 2/3, z), O
// shifted along c by u.
inline AtomCrystal zincite() {
  AtomCrystal c;
  c.name = "zincite";
  c.title = "ZnO P6_3 mc";
  c.abc[0] = c.abc[1] = 3.25;
  c.abc[2] = 5.207;
  c.angles[2] = 120;
  c.gens = {"-y,x-y,z,t,u,v", "-x,-y,z+1/2,t,u,v", "-y,-x,z,t,u,v"};
  c.atoms = {{"Zn 2b", {1.0 / 3, 2.0 / 3, 0}, 30, 0.6, 2}, {"O 2b", {1.0 / 3, 2.0 / 3, 0.382}, 8, 0.8, 2}};
  c.hmax[0] = c.hmax[1] = 18;
  c.hmax[2] = 28;
  c.qimax = 1.5;
  c.close();
  return c;
}

inline AtomCrystal iron() {  // alpha-Fe, Im-3m in its conventional cell
  AtomCrystal c;
  c.name = "iron";
  c.title = "alpha-Fe Im-3m";
  c.abc[0] = c.abc[1] = c.abc[2] = 2.8665;
  c.brv = 'i';
  c.icent = 1;
  c.centring = {{0.5, 0.5, 0.5}};
  c.gens = {"-x,-y,z,t,u,v", "-x,y,-z,t,u,v", "z,x,y,t,u,v", "y,x,-z,t,u,v"};
  c.atoms = {{"Fe", {0, 0, 0}, 26, 0.35}};
  c.hmax[0] = c.hmax[1] = c.hmax[2] = 20;
  c.qimax = 2.0;
  c.close();
  return c;
}

// A cubic F-centred crystal in Fm-3m of cell edge a (the inversion among the
// generators); its atoms and limits are the caller's.
inline AtomCrystal fm3m(const char* name, const char* title, double a) {
  AtomCrystal c;
  c.name = name;
  c.title = title;
  c.abc[0] = c.abc[1] = c.abc[2] = a;
  c.brv = 'f';
  c.centring = {{0, 0.5, 0.5}, {0.5, 0, 0.5}, {0.5, 0.5, 0}};
  c.gens = {"x1+1/2,x2+1/2,x3,x4,x5,x6", "-x1,-x2,x3,x4,x5,x6", "-x1,x2,-x3,x4,x5,x6",
            "x3,x1,x2,x4,x5,x6", "x2,x1,-x3,x4,x5,x6", "-x1,-x2,-x3,x4,x5,x6"};
  return c;
}

inline AtomCrystal copper() {  // Cu, Fm-3m
  AtomCrystal c = fm3m("copper", "Cu Fm-3m", 3.615);
  c.atoms = {{"Cu", {0, 0, 0}, 29, 0.55}};
  c.hmax[0] = c.hmax[1] = c.hmax[2] = 20;
  c.qimax = 2.2;
  c.close();
  return c;
}

inline AtomCrystal cc_monoclinic() {  // a C-centred monoclinic structure, Cc
  AtomCrystal c;
  c.name = "monoclinic_c";
  c.title = "C-centred monoclinic Cc";
  c.abc[0] = 9.7;
  c.abc[1] = 8.9;
  c.abc[2] = 5.3;
  c.angles[1] = 105;
  c.brv = 'c';
  c.centring = {{0.5, 0.5, 0}};
  c.gens = {"x, -y, z+1/2, t, u, v"};
  c.atoms = {{"Fe 4a", {0.12, 0.23, 0.34}, 26, 0.6, 4},
             {"O 4a", {0.31, 0.07, 0.81}, 8, 0.8, 4},
             {"O' 4a", {0.05, 0.41, 0.62}, 8, 0.8, 4}};
  c.hmax[0] = c.hmax[1] = 32;
  c.hmax[2] = 16;
  c.qimax = 1.0;
  c.close();
  return c;
}

inline AtomCrystal lithium_niobate() {  // LiNbO3, R3c on hexagonal axes
  AtomCrystal c;
  c.name = "linbo3";
  c.title = "LiNbO3 R3c, hexagonal axes";
  c.abc[0] = c.abc[1] = 5.148;
  c.abc[2] = 13.863;
  c.angles[2] = 120;
  c.brv = 'r';
  c.centring = {{2.0 / 3, 1.0 / 3, 1.0 / 3}, {1.0 / 3, 2.0 / 3, 2.0 / 3}};
  c.gens = {"x+2/3,y+1/3,z+1/3,t,u,v", "-y,x-y,z,t,u,v", "-y,-x,z+1/2,t,u,v"};
  c.atoms = {{"Nb 6a", {0, 0, 0}, 41, 0.4, 6},
             {"Li 6a", {0, 0, 0.2829}, 3, 0.9, 6},
             {"O 18b", {0.0492, 0.3446, 0.0647}, 8, 0.6, 18}};
  c.hmax[0] = c.hmax[1] = c.hmax[2] = 24;
  c.qimax = 0.9;
  c.close();
  return c;
}

inline AtomCrystal p212121() {  // two atoms in P2_1 2_1 2_1
  AtomCrystal c;
  c.name = "p212121";
  c.title = "P2_1 2_1 2_1";
  c.abc[0] = 5;
  c.abc[1] = 6;
  c.abc[2] = 7;
  c.gens = {"-x+1/2,-y,z+1/2,t,u,v", "-x,y+1/2,-z+1/2,t,u,v"};
  c.atoms = {{"A", {0.12, 0.21, 0.33}, 12, 0.5}, {"B", {0.37, 0.06, 0.71}, 8, 0.5}};
  c.hmax[0] = 20;
  c.hmax[1] = 24;
  c.hmax[2] = 28;
  c.qimax = 1.5;
  c.close();
  return c;
}

// Spinel MgAl2O4, Fd-3m in its F-centred cell (origin choice 2, at -3m):
// Mg 8a, Al 16d, O 32e.
inline AtomCrystal spinel() {
  AtomCrystal c;
  c.name = "spinel_f";
  c.title = "MgAl2O4 Fd-3m";
  c.abc[0] = c.abc[1] = c.abc[2] = 8.08;
  c.brv = 'f';
  c.icent = 1;
  c.centring = {{0, 0.5, 0.5}, {0.5, 0, 0.5}, {0.5, 0.5, 0}};
  c.gens = {"-y,x+1/4,z+1/4,t,u,v", "y+1/4,x+1/4,-z,t,u,v", "z,x,y,t,u,v"};
  const double x = 0.2624;
  c.atoms = {{"Mg 8a", {0.125, 0.125, 0.125}, 12, 0.5, 8},
             {"Al 16d", {0.5, 0.5, 0.5}, 13, 0.5, 16},
             {"O 32e", {x, x, x}, 8, 0.7, 32}};
  c.hmax[0] = c.hmax[1] = c.hmax[2] = 40;
  c.qimax = 1.6;
  c.close();
  return c;
}

// A crystal of the list as a model of point atoms for the peak search: the
// same cell, group and atoms (with their Wyckoff multiplicities), set up in
// the cell whose basis vectors are the columns of p (the conventional cell
// itself, which must then be primitive, or a primitive cell of a centred
// one).
inline Example point_atoms(const AtomCrystal& c, const double (&p)[3][3] = kUnit) {
  double cosang[3];
  for (int i = 0; i < 3; ++i) cosang[i] = std::nearbyint(c.cosang(i) * 1e12) / 1e12;
  std::vector<Site> sites;
  for (const Atom& a : c.atoms)
    sites.push_back({a.label, {a.x[0], a.x[1], a.x[2], 0, 0, 0}, a.z, a.b, 0, a.mult});
  return point_atoms(c.name, c.abc, cosang, c.gens, c.icent != 0, c.centring, sites, p);
}

// Spinel in its primitive rhombohedral cell a1 = (0, 1/2, 1/2),
// a2 = (1/2, 0, 1/2), a3 = (1/2, 1/2, 0) of the F cell.
inline Example spinel_primitive() {
  static constexpr double prim[3][3] = {{0, 0.5, 0.5}, {0.5, 0, 0.5}, {0.5, 0.5, 0}};
  Example e = point_atoms(spinel(), prim);
  e.dir = e.name = e.title = "spinel_p";
  return e;
}

}  // namespace trovan::examples
