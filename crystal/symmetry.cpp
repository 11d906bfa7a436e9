// Superspace symmetry operators: reading, closure into the group, listing,
// and the setting-basis operator helpers.
#include "crystal/symmetry.hpp"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <vector>

#include "crystal/lattice.hpp"
#include "crystal/setting.hpp"
#include "util/runstate.hpp"
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
int g_ltype = 1;     // centring type from brv: p i f s c a b r = 1..8
int g_nsymo = 1;
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

void compose(const int* ra, const double* ta, const int* rb, const double* tb, int* rc, double* tc) {
  mtmpli6(ra, rb, rc);
  for (int e = 0; e < 6; ++e) {
    double s = ta[e];
    for (int i = 0; i < 6; ++i) s += ra[at(e, i)] * tb[i];
    tc[e] = s;
  }
}

// The axes the crystal has: three and one per modulation wave vector in the
// general setting, six or five in the built-in ones. The others are
// placeholders of the six-dimensional records (grid size 1): what an
// operator does there does not make it another element.
int activedim() {
  if (getsys() == 0) return 3 + getndm();
  return getsys() > 2 ? 5 : 6;
}

// The same element of the space group: equal rotations, translations that
// differ by a vector of the lattice (the centring vectors included, which
// the operator table does not repeat), over the axes the crystal has.
bool sameop(const int* ra, const double* ta, const int* rb, const double* tb) {
  const int n = activedim();
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i)
      if (ra[at(i, j)] != rb[at(i, j)]) return false;
  double d[6];
  for (int i = 0; i < 6; ++i) d[i] = i < n ? ta[i] - tb[i] : 0.0;
  return iscentringvector(d);
}

// Index of the element (r, t) among the first n operators of the table, or
// -1. In a centrosymmetric group the inversion at the origin is implied and
// not stored, so (-R, -t) stands for (R, t) too.
int findop(const int* r, const double* t, int n) {
  int nr[36];
  double nt[6];
  for (int i = 0; i < 36; ++i) nr[i] = -r[i];
  for (int i = 0; i < 6; ++i) nt[i] = -t[i];
  for (int c = 0; c < n; ++c) {
    if (sameop(r, t, g_rot[c], g_trn[c])) return c;
    if (g_icent != 0 && sameop(nr, nt, g_rot[c], g_trn[c])) return c;
  }
  return -1;
}

// A generator without rotation: a translation (a centring, when it is not a
// whole cell translation).
bool puretranslation(const int* r, const double* t) {
  const int n = activedim();
  if (!isunitmtrx(r, n)) return false;
  for (int i = 0; i < n; ++i)
    if (!nearinteger(t[i])) return true;
  return false;
}

}  // namespace

void resetsymmetry() {
  g_iwflag = 0;
  g_idm = 6;
  g_ndim = 6;
  g_brv = 'p';
  g_ltype = 1;
  g_nsymo = 1;
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

namespace {

[[noreturn]] void incorrect(const std::string& text, const std::string& why) {
  out() << "symmetry operator " << text.substr(0, istrln(text)) << ": " << why << '\n';
  quit("incorrect symmetry operation");
}

// One field of an operator line: a signed sum of distinct coordinates and at
// most one translation (an integer or a fraction p/q). A coordinate is a
// letter of "xyztuv" or x1 ... x6 as superspace tables write them (x4 is t);
// blanks may stand anywhere between the terms. Anything else ("x+0.5", "2x",
// "w", a comment after the operator) stops the run: dropped silently it
// would give a different operator from the one the user wrote.
void parsefield(const std::string& text, const std::string& f, int n, int e, int* rot, double* trans) {
  bool seen[6] = {};
  bool have_trn = false;
  std::size_t p = 0;
  auto skipblanks = [&] {
    while (p < f.size() && f[p] == ' ') ++p;
  };
  auto isdig = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
  bool any = false;
  for (;;) {
    skipblanks();
    if (p >= f.size()) break;
    {
      const char c = f[p];
      const bool letter = c != '\0' && std::strchr(kLetters, c) != nullptr;
      if (!letter && !isdig(c) && c != '+' && c != '-' && c != '/')
        incorrect(text, std::string("the character '") + c + "' is not allowed");
    }
    int sign = 1;
    if (f[p] == '+' || f[p] == '-') {
      sign = f[p] == '-' ? -1 : 1;
      ++p;
      skipblanks();
      if (p >= f.size()) incorrect(text, "a sign without a term after it");
    } else if (any) {
      incorrect(text, std::string("'") + f[p] + "' follows a term without a sign");
    }
    const char c = f[p];
    const char* l = c != '\0' ? std::strchr(kLetters, c) : nullptr;
    if (l != nullptr) {
      int axis = static_cast<int>(l - kLetters);
      std::string name(1, c);
      ++p;
      // x1 ... x6: the coordinate by its number.
      if (c == 'x' && p < f.size() && isdig(f[p])) {
        const char d = f[p++];
        name += d;
        if (p < f.size() && isdig(f[p])) incorrect(text, "x" + std::string(1, d) + f[p] + " is no coordinate");
        axis = d - '1';
        if (axis < 0 || axis >= 6) incorrect(text, name + " is no coordinate");
      }
      if (axis >= n)
        incorrect(text, name.size() == 1 ? std::string("the character '") + c + "' is not allowed"
                                         : name + " is no coordinate of " + std::to_string(n) + " dimensions");
      if (seen[axis]) incorrect(text, "the letter " + name + " stands twice in one field");
      seen[axis] = true;
      rot[at(e, axis)] = sign;
    } else if (isdig(c)) {
      std::size_t b = p;
      while (p < f.size() && isdig(f[p])) ++p;
      std::string num = f.substr(b, p - b), den = "1";
      if (p < f.size() && f[p] == '/') {
        ++p;
        std::size_t q = p;
        while (p < f.size() && isdig(f[p])) ++p;
        if (q == p) incorrect(text, "a fraction needs digits on both sides of '/'");
        den = f.substr(q, p - q);
      }
      if (num.size() > 6 || den.size() > 6) incorrect(text, "a fraction with more than six digits");
      if (p < f.size() && std::strchr(kLetters, f[p]) != nullptr && f[p] != '\0')
        incorrect(text, "a coefficient before a letter is not allowed");
      if (have_trn) incorrect(text, "more than one fraction in one field");
      have_trn = true;
      const int iden = std::atoi(den.c_str());
      if (iden == 0) incorrect(text, "a fraction with denominator 0");
      trans[e] = sign * static_cast<double>(std::atoi(num.c_str())) / iden;
    } else if (c == '/') {
      incorrect(text, "a fraction needs digits on both sides of '/'");
    } else {
      incorrect(text, std::string("the character '") + c + "' is not allowed");
    }
    any = true;
  }
  if (!any) incorrect(text, "an empty field");
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
  }
  for (int i = 0; i < 36; ++i) rot[i] = 0;
  for (int i = 0; i < 6; ++i) trans[i] = 0.0;
  for (int e = n; e < 6; ++e) rot[at(e, e)] = 1;
  for (int e = 0; e < n; ++e) parsefield(text, field[e], n, e, rot, trans);
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
  for (int j = 0; j < ngen; ++j) {
    mcpyi(rots + 36 * j, g_gen_rot[j]);
    for (int i = 0; i < 6; ++i) g_gen_trn[j][i] = trans[6 * j + i];
  }
  ordr(rots, g_gen_order, ngen, g_ndim);

  // The group generated: starting from the identity, the table is closed
  // under multiplication from the left by every generator taken so far,
  // each new element compared with the table modulo the lattice (centring
  // included) and, in a centrosymmetric group, modulo the inversion. The
  // result is the whole group whatever the order of the generators; a
  // generator already in the group of those before it (2z after 4_2, the
  // identity, a centring translation given with brv, the inversion given
  // with icent) adds nothing and is left out with a note. A pure translation
  // has the order its translation gives modulo the lattice.
  setunit(g_rot[0]);
  for (int i = 0; i < 6; ++i) g_trn[0][i] = 0.0;
  int n = 1;
  std::vector<int> used;
  for (int j = 0; j < ngen; ++j) {
    if (g_gen_order[j] == 0)
      quit("symmetry operator" + std::to_string(j + 1) + " has no finite order");
    if (findop(g_gen_rot[j], g_gen_trn[j], n) >= 0) {
      out() << " generating element" << fmt_i(j + 1, 3) << " (" << smoptext(g_gen_rot[j], g_idm);
      for (int e = 0; e < g_idm; ++e) out() << ' ' << trntext(g_gen_trn[j][e]);
      out() << ") is in the group of the elements before it: left out\n";
      continue;
    }
    used.push_back(j);
    for (int a = 0; a < n; ++a)
      for (int u : used) {
        int rc[36];
        double tc[6];
        compose(g_gen_rot[u], g_gen_trn[u], g_rot[a], g_trn[a], rc, tc);
        for (double& t : tc) t = reduce1(t);
        if (findop(rc, tc, n) >= 0) continue;
        if (n == kMaxSymo) {
          for (int k = 0; k < ngen; ++k)
            if (puretranslation(g_gen_rot[k], g_gen_trn[k])) {
              out() << " generating element" << fmt_i(k + 1, 3)
                    << " is a pure translation: give a centring by brv= ("
                    << brvletters() << ") instead\n";
              break;
            }
          quit("more than " + std::to_string(kMaxSymo) + " symmetry operators");
        }
        mcpyi(rc, g_rot[n]);
        for (int i = 0; i < 6; ++i) g_trn[n][i] = tc[i];
        ++n;
      }
  }
  g_nsymo = n;
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
  // The International Tables write the centring letters in capitals.
  setbrv(brv.empty() ? ' ' : static_cast<char>(std::tolower(static_cast<unsigned char>(brv[0]))));
  if (g_ltype == 0) out() << "******ltype=0*****\n";

  std::string none;
  freadc("symmetry operator", 0, none, 1);
  int rots[kMaxGenerators * 36];
  double trans[kMaxGenerators * 6];
  for (int k = 0; k < nsymo; ++k) {
    std::string line = freadln("symmetry operator", kLineLength);
    // Input lines are cut at 256 columns: a line that fills them may have
    // lost its end.
    if (istrln(getline_buffer()) >= kLineLength)
      incorrect(getline_buffer(), "longer than " + std::to_string(kLineLength - 1) + " characters");
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
    case 'a': g_ltype = 6; break;
    case 'b': g_ltype = 7; break;
    case 'r': g_ltype = 8; break;
    default: g_ltype = 0;
  }
}
char getbrv() { return g_brv; }
void seticent(int icent) { g_icent = icent; }
int geticent() { return g_icent; }
int getncent() { return g_icent != 0 ? 1 : 0; }
int getnsymo() { return g_nsymo; }

void getsymrot(int i, int* rot) { mcpyi(g_rot[i - 1], rot); }
void getsymtrn(int i, double* trans) {
  for (int e = 0; e < 6; ++e) trans[e] = g_trn[i - 1][e];
}

void gethr(const int* h, int* hr, int i, int k) { vmtpli6(h, g_rot[i - 1], k != 0 ? -1 : 1, hr); }

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
