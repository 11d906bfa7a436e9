// Superspace symmetry operators: reading, closure into the group, listing,
// and the setting-basis operator helpers.
#include "crystal/symmetry.hpp"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "util/input.hpp"
#include "util/fortran_fmt.hpp"
#include "util/linalg.hpp"
#include "util/stop.hpp"

namespace trovan {

namespace {

constexpr char kLetters[] = "xyztuv";
constexpr double kTrnTol = 1.0e-5;  // translation matching in the listing
constexpr double kEqTol = 1.0e-4;   // operators equal modulo a lattice translation

int g_iwflag = 0;
int g_idm = 6;       // dimension of the run (5 or 6 for the built-in bases)
int g_ndim = 6;      // total dimension of the operator records
char g_brv = 'p';
int g_ltype = 1;     // centring type from brv: p i f s c = 1..5
int g_nsymo = 1;
int g_ngen = 0;
int g_icent = 0;
int g_rot[kMaxSymo][36];
double g_trn[kMaxSymo][6];
int g_gen_rot[kMaxGenerators][36];
double g_gen_trn[kMaxGenerators][6];
int g_gen_order[kMaxGenerators];

void setunit(int* r) {
  for (int i = 0; i < 36; ++i) r[i] = 0;
  for (int i = 0; i < 6; ++i) r[at(i, i)] = 1;
}

// x mod 1 in [0, 1), with values within the tolerance below 1 taken as 0.
double reduce1(double t) {
  double r = t - std::floor(t);
  if (r > 1.0 - kTrnTol) r -= 1.0;
  if (r < kTrnTol && r > -kTrnTol) r = 0.0;
  return r;
}

// Before any symmetry is read the group is the identity alone.
const bool g_init = (setunit(g_rot[0]), true);

bool nearinteger(double d) { return std::fabs(d - std::nearbyint(d)) < kEqTol; }

// Equal rotation and translations differing by a lattice vector.
bool sameop(const int* ra, const double* ta, const int* rb, const double* tb) {
  for (int i = 0; i < 36; ++i)
    if (ra[i] != rb[i]) return false;
  for (int i = 0; i < 6; ++i)
    if (!nearinteger(ta[i] - tb[i])) return false;
  return true;
}

void compose(const int* ra, const double* ta, const int* rb, const double* tb, int* rc, double* tc) {
  mtmpli6(ra, rb, rc);
  for (int e = 0; e < 6; ++e) {
    double s = ta[e];
    for (int i = 0; i < 6; ++i) s += ra[at(e, i)] * tb[i];
    tc[e] = s;
  }
}

[[noreturn]] void notagroup() {
  quit("the generating elements do not generate a group in this order");
}

// The closure multiplies powers of the generators; it reaches the whole
// group only when every element is such a product in the given order. A
// list with repeated operators, or one that is not closed, would silently
// give wrong multiplicities and missing symmetry images later, so it stops.
void checkgroup() {
  for (int a = 0; a < g_nsymo; ++a)
    for (int b = a + 1; b < g_nsymo; ++b)
      if (sameop(g_rot[a], g_trn[a], g_rot[b], g_trn[b])) {
        out() << "operators" << fmt_i(a + 1, 3) << " and" << fmt_i(b + 1, 3)
              << " are equal modulo a lattice translation\n";
        notagroup();
      }
  int rc[36];
  double tc[6];
  for (int a = 0; a < g_nsymo; ++a)
    for (int b = 0; b < g_nsymo; ++b) {
      compose(g_rot[a], g_trn[a], g_rot[b], g_trn[b], rc, tc);
      bool found = false;
      for (int c = 0; c < g_nsymo && !found; ++c) found = sameop(rc, tc, g_rot[c], g_trn[c]);
      if (!found) {
        out() << "the product of operators" << fmt_i(a + 1, 3) << " and" << fmt_i(b + 1, 3)
              << " is not in the list\n";
        notagroup();
      }
    }
}

}  // namespace

void resetsymmetry() {
  g_iwflag = 0;
  g_idm = 6;
  g_ndim = 6;
  g_brv = 'p';
  g_ltype = 1;
  g_nsymo = 1;
  g_ngen = 0;
  g_icent = 0;
  for (int s = 0; s < kMaxSymo; ++s) {
    for (int i = 0; i < 36; ++i) g_rot[s][i] = 0;
    for (int i = 0; i < 6; ++i) g_trn[s][i] = 0;
  }
  setunit(g_rot[0]);
  for (int g = 0; g < kMaxGenerators; ++g) {
    for (int i = 0; i < 36; ++i) g_gen_rot[g][i] = 0;
    for (int i = 0; i < 6; ++i) g_gen_trn[g][i] = 0;
    g_gen_order[g] = 0;
  }
}

void setiwflag(int flag) { g_iwflag = flag; }
int getiwflag() { return g_iwflag; }

namespace {

[[noreturn]] void incorrect(const std::string& text, const std::string& why) {
  out() << "symmetry operator " << text.substr(0, istrln(text)) << ": " << why << '\n';
  quit("incorrect symmetry operation");
}

// A field is a signed sum of distinct coordinate letters and at most one
// fraction p/q: only the letters of the first n coordinates, digits, "+",
// "-", "/" and blanks may stand in it. Anything else ("x+0.5", "2x", "w",
// a comment after the operator) would otherwise be dropped silently and
// give a different operator from the one the user wrote.
void checkfield(const std::string& text, const std::string& f, int n) {
  int seen[6] = {};
  int slashes = 0;
  std::size_t last = std::string::npos;  // the previous non-blank character
  for (std::size_t p = 0; p < f.size(); ++p) {
    const char c = f[p];
    if (c == ' ') continue;
    const char* l = std::strchr(kLetters, c);
    if (c != '\0' && l != nullptr && l - kLetters < n) {
      if (++seen[l - kLetters] > 1) incorrect(text, std::string("the letter ") + c + " stands twice in one field");
      if (last != std::string::npos && std::isdigit(static_cast<unsigned char>(f[last])))
        incorrect(text, "a coefficient before a letter is not allowed");
    } else if (c == '/') {
      if (++slashes > 1) incorrect(text, "more than one fraction in one field");
    } else if (!std::isdigit(static_cast<unsigned char>(c)) && c != '+' && c != '-') {
      incorrect(text, std::string("the character '") + c + "' is not allowed");
    }
    last = p;
  }
}

}  // namespace

void decode(const std::string& text, int* rot, double* trans, int n) {
  if (n < 1 || n > 6) quit("incorrect symmetry operation");
  // Split into n fields at commas; the last field is the rest of the line.
  std::string field[6];
  std::size_t pos = 0;
  for (int e = 0; e < n; ++e) {
    if (e == n - 1) {
      field[e] = text.substr(pos);
    } else {
      std::size_t c = text.find(',', pos);
      if (c == std::string::npos) incorrect(text, "a comma is missing");
      field[e] = text.substr(pos, c - pos);
      pos = c + 1;
    }
    if (field[e].find(',') != std::string::npos) incorrect(text, "more than " + std::to_string(n) + " fields");
    checkfield(text, field[e], n);
  }
  for (int i = 0; i < 36; ++i) rot[i] = 0;
  for (int i = 0; i < 6; ++i) trans[i] = 0.0;
  for (int e = n; e < 6; ++e) rot[at(e, e)] = 1;

  for (int e = 0; e < n; ++e) {
    const std::string& f = field[e];
    // The sign of a letter is that of the nearest non-blank character
    // before it: "+" or the start of the field give +1, "-" gives -1.
    // (Blanks around the letters, as in "x, y", must not flip a sign.)
    for (int i = 0; i < n; ++i) {
      std::size_t p = f.find(kLetters[i]);
      if (p == std::string::npos) continue;
      std::size_t q = p;
      while (q > 0 && f[q - 1] == ' ') --q;
      rot[at(e, i)] = (q > 0 && f[q - 1] == '-') ? -1 : 1;
    }
    std::size_t slash = f.find('/');
    if (slash == std::string::npos) continue;
    std::size_t b = slash;
    while (b > 0 && std::isdigit(static_cast<unsigned char>(f[b - 1]))) --b;
    std::size_t a = slash + 1;
    while (a < f.size() && std::isdigit(static_cast<unsigned char>(f[a]))) ++a;
    if (b == slash || a == slash + 1) incorrect(text, "a fraction needs digits on both sides of '/'");
    if (slash - b > 6 || a - slash - 1 > 6) incorrect(text, "a fraction with more than six digits");
    const int num = std::atoi(f.substr(b, slash - b).c_str());
    const int den = std::atoi(f.substr(slash + 1, a - slash - 1).c_str());
    if (den == 0) incorrect(text, "a fraction with denominator 0");
    std::size_t q = b;
    while (q > 0 && f[q - 1] == ' ') --q;
    const double sign = (q > 0 && f[q - 1] == '-') ? -1.0 : 1.0;
    trans[e] = sign * num / den;
  }
}

bool isunitmtrx(const int* r, int n) {
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i)
      if (r[at(i, j)] != (i == j ? 1 : 0)) return false;
  return true;
}

void ordr(const int* rots, int* orders, int n, int dim) {
  bool bad = false;
  for (int k = 0; k < n; ++k) {
    const int* r = rots + 36 * k;
    int p[36];
    mcpyi(r, p);
    orders[k] = 0;
    for (int i = 1; i <= 13; ++i) {
      if (isunitmtrx(p, dim)) {
        orders[k] = i;
        break;
      }
      mtmpli6(r, p, p);
    }
    if (orders[k] == 0 || orders[k] > 12) bad = true;
  }
  if (bad) {
    out() << "error in symmetry operator ?\n";
    out() << "  order: ";
    for (int k = 0; k < n; ++k) out() << fmt_i(orders[k], 3);
    out() << '\n';
  }
}

void mpso(const int* rg, const double* tg, int l, int f) {
  int rc[36];
  double tc[6];
  compose(rg, tg, g_rot[l - 1], g_trn[l - 1], rc, tc);
  mcpyi(rc, g_rot[f - 1]);
  for (int i = 0; i < 6; ++i) g_trn[f - 1][i] = tc[i];
}

void gensymo(int ngen, const int* rots, const double* trans) {
  if (ngen > kMaxGenerators)
    quit("more than " + std::to_string(kMaxGenerators) + " generating elements");
  if (ngen < 0) quit("nsymo should not be negative");
  g_ngen = ngen;
  for (int j = 0; j < ngen; ++j) {
    mcpyi(rots + 36 * j, g_gen_rot[j]);
    for (int i = 0; i < 6; ++i) g_gen_trn[j][i] = trans[6 * j + i];
  }
  ordr(rots, g_gen_order, ngen, g_ndim);

  setunit(g_rot[0]);
  for (int i = 0; i < 6; ++i) g_trn[0][i] = 0.0;
  int a = 1;
  for (int j = 0; j < ngen; ++j) {
    int m = g_gen_order[j];
    if (m == 0)
      quit("symmetry operator" + std::to_string(j + 1) + " has no finite order");
    if (m == 1) {
      bool shift = false;
      for (int i = 0; i < 6; ++i) shift = shift || !nearinteger(g_gen_trn[j][i]);
      if (!shift) continue;  // the identity adds nothing
      m = 2;                 // a pure (centring-like) translation
    }
    if (static_cast<long long>(a) * m > kMaxSymo)
      quit("more than " + std::to_string(kMaxSymo) + " symmetry operators");
    for (int k = 2; k <= m; ++k)
      for (int l = 1; l <= a; ++l) mpso(g_gen_rot[j], g_gen_trn[j], (k - 2) * a + l, (k - 1) * a + l);
    a *= m;
  }
  g_nsymo = a;
  checkgroup();
  for (int s = 0; s < g_nsymo; ++s)
    for (int i = 0; i < 6; ++i) g_trn[s][i] = reduce1(g_trn[s][i]);
}

std::string smoptext(const int* rot, int dim) {
  std::string s;
  for (int e = 0; e < dim; ++e) {
    if (e > 0) s += ',';
    std::string row;
    for (int i = 0; i < dim; ++i) {
      const int c = rot[at(e, i)];
      if (c == 0) continue;
      if (c < 0)
        row += '-';
      else if (!row.empty())
        row += '+';
      if (std::abs(c) != 1) row += std::to_string(std::abs(c));
      row += kLetters[i];
    }
    s += row.empty() ? "0" : row;
  }
  return s;
}

std::string trntext(double t) {
  static const double value[8] = {0.0, 1.0 / 2, 1.0 / 3, 2.0 / 3, 1.0 / 4, 3.0 / 4, 1.0 / 6, 5.0 / 6};
  static const char* text[8] = {"0  ", "1/2", "1/3", "2/3", "1/4", "3/4", "1/6", "5/6"};
  const double r = reduce1(t);
  for (int m = 0; m < 8; ++m)
    if (std::fabs(r - value[m]) < kTrnTol) return text[m];
  return fmt_f(r, 6, 4);
}

void wtsmop(int k, const int* rot, const double* trans, int dim) {
  std::string expr = smoptext(rot, dim);
  out() << fmt_i(k, 3) << "  " << fmt_a(expr, expr.size() < 40 ? 40 : expr.size()) << "  ";
  for (int e = 0; e < dim; ++e) out() << ' ' << trntext(trans[e]);
  out() << '\n';
}

void wtsymo(const int* rots, const double* trans, int n, int dim) {
  for (int k = 0; k < n; ++k) wtsmop(k + 1, rots + 36 * k, trans + 6 * k, dim);
}

void rdsymo() {
  int nsymo = 0, icent = 0;
  std::string brv;
  freadi("nsymo=", 1, nsymo, 1);
  freadi("icent=", 1, icent, 0);
  freadc("brv=", 1, brv, 0, 1);
  out() << "nsymo=" << fmt_i(nsymo, 3) << " icent=" << fmt_i(icent, 3) << " brv=" << brv << '\n';
  if (nsymo > kMaxGenerators)
    quit("more than " + std::to_string(kMaxGenerators) + " generating elements");
  if (nsymo < 0) quit("nsymo should not be negative");
  if (icent < -1 || icent > 1) quit("icent should be -1, 0 or 1");

  g_ndim = 6;
  g_icent = icent;
  setbrv(brv.empty() ? ' ' : brv[0]);
  if (g_ltype == 0) out() << "******ltype=0*****\n";

  std::string none;
  freadc("symmetry operator", 0, none, 1);
  int rots[kMaxGenerators * 36];
  double trans[kMaxGenerators * 6];
  for (int k = 0; k < nsymo; ++k) {
    std::string line = freadln("symmetry operator", 60);
    // An operator is read from the first 60 columns; more would be cut.
    if (istrln(getline_buffer()) > 60) incorrect(getline_buffer(), "longer than 60 characters");
    decode(line, rots + 36 * k, trans + 6 * k, g_ndim);
  }
  if (g_iwflag) {
    out() << (icent != 0 ? " centrosymmetric symmetry operation\n" : " noncentrosymmetric symmetry operation\n");
    out() << " generating elements\n";
    wtsymo(rots, trans, nsymo, g_ndim);
  }
  gensymo(nsymo, rots, trans);
  if (g_iwflag) {
    out() << " symmetry operators generated by generating elements\n";
    wtsymo(&g_rot[0][0], &g_trn[0][0], g_nsymo, g_ndim);
  }
}

void setidm(int idm) { g_idm = idm; }
int getidm() { return g_idm; }

void setbrv(char brv) {
  g_brv = brv;
  switch (brv) {
    case 'p': g_ltype = 1; break;
    case 'i': g_ltype = 2; break;
    case 'f': g_ltype = 3; break;
    case 's': g_ltype = 4; break;
    case 'c': g_ltype = 5; break;
    default: g_ltype = 0;
  }
}
char getbrv() { return g_brv; }
void seticent(int icent) { g_icent = icent; }
int geticent() { return g_icent; }
int getncent() { return g_icent != 0 ? 1 : 0; }
int getnsymo() { return g_nsymo; }
int getngen() { return g_ngen; }

void getsymrot(int i, int* rot) { mcpyi(g_rot[i - 1], rot); }
void getsymtrn(int i, double* trans) {
  for (int e = 0; e < 6; ++e) trans[e] = g_trn[i - 1][e];
}

void gethr(const int* h, int* hr, int i, int k) {
  const int* r = g_rot[i - 1];
  const int sign = (k != 0) ? -1 : 1;
  for (int j = 0; j < 6; ++j) {
    int s = 0;
    for (int e = 0; e < 6; ++e) s += h[e] * r[at(e, j)];
    hr[j] = sign * s;
  }
}

double getyt(const int* h, int i, int k) {
  double s = 0;
  for (int l = 0; l < g_idm; ++l) s += h[l] * g_trn[i - 1][l];
  return (k != 0) ? -s : s;
}

void getrx(const float* x, float* xr, int i, int k) {
  const int* r = g_rot[i - 1];
  const double sign = (k != 0) ? -1.0 : 1.0;
  float y[6];
  for (int e = 0; e < 6; ++e) {
    double s = g_trn[i - 1][e];
    for (int l = 0; l < 6; ++l) s += r[at(e, l)] * double(x[l]);
    y[e] = static_cast<float>(sign * s);
  }
  for (int e = 0; e < 6; ++e) xr[e] = y[e];
}

}  // namespace trovan
