#include "reflections/expand.hpp"

#include <cmath>
#include <cstdlib>
#include <vector>

#include "crystal/gridindex.hpp"
#include "crystal/setting.hpp"
#include "crystal/symmetry.hpp"
#include "util/workgrid.hpp"
#include "util/runstate.hpp"
#include "reflections/hklread.hpp"
#include "util/fortran_fmt.hpp"
#include "util/linalg.hpp"
#include "util/stop.hpp"

namespace trovan {

namespace {
// The independent observed reflections (cfobs): grid index, A, B, sigma.
int g_fj[kMaxInd];
float g_fa[kMaxInd], g_fb[kMaxInd], g_fs[kMaxInd];
int g_nind = 0;
float g_cfmax = 0;

// A real as a list-directed write shows it.
std::string ld(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%16.8g", v);
  return buf;
}
}  // namespace

int isprj(const int* h) {
  const int n = getiprj();
  for (int k = 0; k < n; ++k) {
    int p[6];
    getprjvector(k, p);
    long long s = 0;
    for (int i = 0; i < 6; ++i) s += static_cast<long long>(h[i]) * p[i];
    if (s != 0) return 1;
  }
  return 0;
}

void setbeq(float a, float b, int j) {
  float* ar = getabcdr();
  float* ai = getabcdi();
  if (ismem() || isfourier() || isdfourier()) {
    ar[j] = a;
    ai[j] = b;
  } else if (ispatterson()) {
    ar[j] = a * a + b * b;
  } else {
    quit("invalid iplot");
  }
}

void setari0(float a, float b, float sigma, int& cnind, int j) {
  if (cnind >= kMaxInd) quit("more than 4194305 independent reflections");
  g_fj[cnind] = j;
  g_fa[cnind] = a;
  g_fb[cnind] = b;
  g_fs[cnind] = sigma;
  ++cnind;
}

int getnind() { return g_nind; }
void getfobs(int k, int& j, float& a, float& b, float& sigma) {
  j = g_fj[k];
  a = g_fa[k];
  b = g_fb[k];
  sigma = g_fs[k];
}
const int* getfobsj() { return g_fj; }
float getcfmax() { return g_cfmax; }

void resetexpand() {
  g_nind = 0;
  g_cfmax = 0;
}

void symstf() {
  const long long nt = getnt();
  const int idm = getidm();
  const int nsymo = getnsymo();
  const int nref = getnref();
  float* ar = getabcdr();
  float* ai = getabcdi();
  for (long long j = 0; j < nt; ++j) ar[j] = ai[j] = 0;

  const Tofofc t = gettofofc();
  ar[0] = isdfourier() ? 0.0f : t.f000;
  out() << " nt,is,nsymo,f000,fact=" << fmt_i(nt, 12) << fmt_i(nref, 12) << fmt_i(nsymo, 12)
        << ld(t.f000) << ld(1.0) << '\n';

  if (nref > kNhmax) quit("is > nhmax in symstf");
  if (nref == 0) quit("is =0 in symstf");
  // Strongest reflections first: where two reflections of the list are
  // equivalent, the weaker one overwrites, as the list order says.
  std::vector<float> keys(nref);
  std::vector<int> order(nref);
  for (int k = 0; k < nref; ++k) keys[k] = ispatterson() ? getfo(k) : getfc(k);
  qsortd(keys.data(), order.data(), nref);

  int cnind = 0;
  g_cfmax = 0;
  long long used = 0, skipped = 0, partial_classes = 0;
  for (int kk = 0; kk < nref; ++kk) {
    const int k = order[kk] - 1;
    int hd[6];
    gethkl(k, hd);
    const float cs = getcosphs(k), sn = getsinphs(k);
    const float sigma = getsigma(k);
    const float fo = getfo(k), fc = getfc(k);
    double deg = todeg(atan3(sn, cs));
    deg += deg >= 0 ? 0.0001 : -0.0001;
    setiphs(k, static_cast<int>(deg));
    if (ismem() && !(sigma > 0)) {
      std::string h;
      for (int i = 0; i < idm; ++i) h += fmt_i(hd[i], 4);
      quit("sigma should be positive for the maximum-entropy fit: reflection" + h);
    }

    // A reflection whose symmetry class lies only partly on the grid is left
    // out whole: its images inside alone would give a map without the
    // symmetry of the group (and the asymmetric unit would not represent
    // it). Images that a projection removes do not count.
    bool partial = false;
    int inside = 0, kept = 0;
    for (int i = 1; i <= nsymo; ++i) {
      int hi[6], hr[6];
      gethr(hd, hi, i, 0);
      if (isprj(hi) == 1) continue;
      ++kept;
      htoph(hi, hr);
      if (iskip(hr) == 1) partial = true;
      else ++inside;
    }
    if (partial) {
      skipped += kept;
      if (inside > 0) ++partial_classes;
      continue;
    }

    for (int i = 1; i <= nsymo; ++i) {
      int hi[6], hr[6];
      gethr(hd, hi, i, 0);
      // t = -(h.tau); the phase turns by -2 pi t = +2 pi h.tau.
      const double tt = getyt(hd, i, 1);
      if (isprj(hi) == 1) continue;
      htoph(hi, hr);
      const double er = std::cos(-kTwoPi * tt), ei = std::sin(-kTwoPi * tt);
      const double c1 = cs * er - sn * ei;
      double s1 = sn * er + cs * ei;
      for (int m = 0; m <= 1; ++m) {
        float a = static_cast<float>(fo * c1), b = static_cast<float>(fo * s1);
        if (isdfourier()) {
          a -= static_cast<float>(fc * c1);
          b -= static_cast<float>(fc * s1);
        }
        if (fo > g_cfmax) g_cfmax = fo;
        const int j = gethkltoj(hr);
        if (j == 0) {
          out() << "hr=";
          for (int l = 0; l < 6; ++l) out() << fmt_i(hr[l], 4);
          out() << '\n' << "if hr=0 0 0 0 0 0 note that blank line\n" << "in flnm1 is inhibited\n";
          quit("index=0 in symstf");
        }
        setbeq(a, b, j);
        if (i == 1 && m == 0) setari0(a, b, sigma, cnind, j);
        ++used;
        // The Friedel mate: F(-h) = conj F(h).
        s1 = -s1;
        for (int& x : hr) x = -x;
      }
    }
  }
  g_nind = cnind;
  setf0(ar[0]);
  out() << "f000 used in the calculation =" << ld(ar[0]) << '\n';
  out() << "number of reflections used   =" << fmt_i(used, 12) << '\n';
  out() << "number of skipped reflections=" << fmt_i(skipped, 12) << '\n';
  if (partial_classes > 0)
    out() << "reflections left out whole, their symmetry class lying partly outside the grid="
          << fmt_i(partial_classes, 12) << '\n';
  if (used == 0) quit("nref=0");
}

}  // namespace trovan
