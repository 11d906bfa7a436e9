// Superspace symmetry: parsing of the generating elements, their closure
// into the group, and the listing.
#include "crystal/symmetry.hpp"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "util/fortran_fmt.hpp"
#include "util/input.hpp"
#include "util/linalg.hpp"
#include "util/stop.hpp"

namespace trovan {

namespace {

constexpr char kLetters[] = "xyztuv";
constexpr double kTrnTol = 1.0e-5;  // translation matching in the listing

// x mod 1 in [0, 1), with values within the tolerance below 1 taken as 0.
double reduce1(double t) {
  double r = t - std::floor(t);
  if (r > 1.0 - kTrnTol) r -= 1.0;
  if (r < kTrnTol && r > -kTrnTol) r = 0.0;
  return r;
}

// The same element of the space group: equal rotations, translations that
// differ by a vector of the lattice (the centring vectors included, which
// the operator table does not repeat), over the n axes the crystal has:
// what an operator does on a placeholder axis does not make it another
// element.
bool sameop(const Op& a, const Op& b, int n, const Centring& c) {
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i)
      if (a.r(i, j) != b.r(i, j)) return false;
  long long d[kDim];
  for (int i = 0; i < kDim; ++i) d[i] = i < n ? a.trn[i] - b.trn[i] : 0;
  return iscentringvector(c, d);
}

// Index of the element among the operators, or -1. In a centrosymmetric
// group the inversion at the origin is implied and not stored, so (-R, -t)
// stands for (R, t) too.
int findop(const Op& a, const std::vector<Op>& ops, int icent, int n, const Centring& c) {
  const Op na = negated(a);
  for (std::size_t k = 0; k < ops.size(); ++k) {
    if (sameop(a, ops[k], n, c)) return static_cast<int>(k);
    if (icent != 0 && sameop(na, ops[k], n, c)) return static_cast<int>(k);
  }
  return -1;
}

// A generator without rotation: a translation (a centring, when it is not a
// whole cell translation).
bool puretranslation(const Op& a, int n) {
  if (!isunitrot(a, n)) return false;
  for (int i = 0; i < n; ++i)
    if (a.trn[i] % kTrnDen != 0) return true;
  return false;
}

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
void parsefield(const std::string& text, const std::string& f, int n, int e, Op& op) {
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
      op.rot[at(e, axis)] = sign;
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
      // Translations are held exactly over kTrnDen (crystal/op.hpp).
      if (!trnnumerator(sign * static_cast<long long>(std::atoi(num.c_str())), iden, op.trn[e]))
        incorrect(text, "a translation with denominator " + den + ", which does not divide " +
                            std::to_string(kTrnDen));
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

int ltypeof(char brv) {
  switch (brv) {
    case 'p': return 1;
    case 'i': return 2;
    case 'f': return 3;
    case 's': return 4;
    case 'c': return 5;
    case 'a': return 6;
    case 'b': return 7;
    case 'r': return 8;
    default: return 0;
  }
}

Op decodeop(const std::string& text, int n) {
  if (n < 1 || n > kDim) quit("incorrect symmetry operation");
  // Split into n fields at commas; the last field is the rest of the line.
  std::string field[kDim];
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
  Op op;
  for (int e = n; e < kDim; ++e) op.rot[at(e, e)] = 1;
  for (int e = 0; e < n; ++e) parsefield(text, field[e], n, e, op);
  return op;
}

void decode(const std::string& text, int* rot, double* trans, int n) {
  const Op op = decodeop(text, n);
  for (int i = 0; i < kDim2; ++i) rot[i] = op.rot[i];
  for (int e = 0; e < kDim; ++e) trans[e] = op.t(e);
}

bool isunitmtrx(const int* r, int n) {
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i)
      if (r[at(i, j)] != (i == j ? 1 : 0)) return false;
  return true;
}

std::vector<int> ordr(const std::vector<Op>& gens, int dim) {
  std::vector<int> orders;
  bool bad = false;
  for (const Op& g : gens) {
    orders.push_back(rotorder(g, dim));
    if (orders.back() == 0 || orders.back() > 12) bad = true;
  }
  if (bad) {
    out() << "error in symmetry operator ?\n";
    out() << "  order: ";
    for (int o : orders) out() << fmt_i(o, 3);
    out() << '\n';
  }
  return orders;
}

void ordr(const int* rots, int* orders, int n, int dim) {
  std::vector<Op> gens(static_cast<std::size_t>(n));
  for (int k = 0; k < n; ++k)
    for (int i = 0; i < kDim2; ++i) gens[k].rot[i] = rots[kDim2 * k + i];
  const std::vector<int> o = ordr(gens, dim);
  for (int k = 0; k < n; ++k) orders[k] = o[k];
}

int activedim(int isys, int ndm) {
  if (isys == 0) return 3 + ndm;
  return isys > 2 ? 5 : 6;
}

void gensymo(Group& g, const std::vector<Op>& gens, const Setting& s, int active) {
  const int ngen = static_cast<int>(gens.size());
  if (ngen > kMaxGenerators)
    quit("more than " + std::to_string(kMaxGenerators) + " generating elements");
  const std::vector<int> order = ordr(gens, kDim);
  const Centring c = centringof(s);

  // The group generated: starting from the identity, the table is closed
  // under multiplication from the left by every generator taken so far,
  // each new element compared with the table modulo the lattice (centring
  // included) and, in a centrosymmetric group, modulo the inversion. The
  // result is the whole group whatever the order of the generators; a
  // generator already in the group of those before it (2z after 4_2, the
  // identity, a centring translation given with brv, the inversion given
  // with icent) adds nothing and is left out with a note. A pure translation
  // has the order its translation gives modulo the lattice.
  std::vector<Op> ops{Op::identity()};
  std::vector<int> used;
  for (int j = 0; j < ngen; ++j) {
    if (order[j] == 0) quit("symmetry operator" + std::to_string(j + 1) + " has no finite order");
    if (findop(gens[j], ops, g.icent, active, c) >= 0) {
      out() << " generating element" << fmt_i(j + 1, 3) << " (" << smoptext(gens[j].rot.data(), g.idm);
      for (int e = 0; e < g.idm; ++e) out() << ' ' << trntext(gens[j].t(e));
      out() << ") is in the group of the elements before it: left out\n";
      continue;
    }
    used.push_back(j);
    for (std::size_t a = 0; a < ops.size(); ++a)
      for (int u : used) {
        const Op p = wrapped(product(gens[u], ops[a]));
        if (findop(p, ops, g.icent, active, c) >= 0) continue;
        if (ops.size() == kMaxSymo) {
          for (int k = 0; k < ngen; ++k)
            if (puretranslation(gens[k], active)) {
              out() << " generating element" << fmt_i(k + 1, 3)
                    << " is a pure translation: give a centring by brv= (" << brvletters(s.isys)
                    << ") instead\n";
              break;
            }
          quit("more than " + std::to_string(kMaxSymo) + " symmetry operators");
        }
        ops.push_back(p);
      }
  }
  g.ops = std::move(ops);
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
  constexpr double value[8] = {0.0, 1.0 / 2, 1.0 / 3, 2.0 / 3, 1.0 / 4, 3.0 / 4, 1.0 / 6, 5.0 / 6};
  constexpr const char* text[8] = {"0  ", "1/2", "1/3", "2/3", "1/4", "3/4", "1/6", "5/6"};
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

void wtsmop(int k, const Op& op, int dim) {
  double t[kDim];
  for (int e = 0; e < kDim; ++e) t[e] = op.t(e);
  wtsmop(k, op.rot.data(), t, dim);
}

void wtsymo(const std::vector<Op>& ops, int dim) {
  for (std::size_t k = 0; k < ops.size(); ++k) wtsmop(static_cast<int>(k) + 1, ops[k], dim);
}

void wtsymo(const int* rots, const double* trans, int n, int dim) {
  for (int k = 0; k < n; ++k) wtsmop(k + 1, rots + kDim2 * k, trans + kDim * k, dim);
}

}  // namespace trovan
