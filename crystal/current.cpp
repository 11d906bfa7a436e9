// The current job's crystal and the transitional get/set functions of
// crystal/ that forward to it. Each forwarder is one call of the value
// function of its module; the resets are one assignment each.
#include "crystal/current.hpp"

#include <string>
#include <vector>

#include "util/linalg.hpp"
#include "util/runstate.hpp"
#include "util/stop.hpp"

namespace trovan {

Crystal& crystalnow() {
  // The one instance; transitional (the callers above pass the value itself
  // in the next step).
  static Crystal now;
  return now;
}

Lattice& latticenow() {
  Lattice& l = crystalnow().lattice;
  l.isys = getsys();
  return l;
}

Group& groupnow() { return crystalnow().group; }

Setting& settingnow() {
  Setting& s = crystalnow().setting;
  s.isys = getsys();
  s.ismtr = getsmtr();
  return s;
}

Grid& gridnow() {
  Crystal& c = crystalnow();
  c.grid.idm = c.group.idm;
  // Operators prepared for another group are made again when next needed.
  if (c.grid.prepared && (static_cast<int>(c.grid.ops.size()) != c.group.nsymo() || c.grid.ncent != c.group.ncent()))
    c.grid.prepared = false;
  return c.grid;
}

// ---- symmetry ------------------------------------------------------------

void setiwflag(int flag) { crystalnow().iwflag = flag; }
int getiwflag() { return crystalnow().iwflag; }

void gensymo(int ngen, const int* rots, const double* trans) {
  if (ngen > kMaxGenerators) quit("more than " + std::to_string(kMaxGenerators) + " generating elements");
  if (ngen < 0) quit("nsymo should not be negative");
  std::vector<Op> gens(static_cast<std::size_t>(ngen));
  for (int k = 0; k < ngen; ++k) {
    for (int i = 0; i < kDim2; ++i) gens[k].rot[i] = rots[kDim2 * k + i];
    for (int e = 0; e < kDim; ++e) gens[k].trn[e] = trnnearest(trans[kDim * k + e]);
  }
  gensymo(groupnow(), gens, settingnow(), activedim(getsys(), crystalnow().lattice.ndm));
}

void setidm(int idm) { groupnow().idm = idm; }
int getidm() { return groupnow().idm; }
void setbrv(char brv) { crystalnow().setting.brv = brv; }
char getbrv() { return crystalnow().setting.brv; }
void seticent(int icent) { groupnow().icent = icent; }
int geticent() { return groupnow().icent; }
int getncent() { return groupnow().ncent(); }
int getnsymo() { return groupnow().nsymo(); }

void getsymrot(int i, int* rot) {
  const Op& op = groupnow().ops[i - 1];
  for (int q = 0; q < kDim2; ++q) rot[q] = op.rot[q];
}
void getsymtrn(int i, double* trans) {
  const Op& op = groupnow().ops[i - 1];
  for (int e = 0; e < kDim; ++e) trans[e] = op.t(e);
}
void gethr(const int* h, int* hr, int i, int k) { applyh(groupnow().ops[i - 1], h, hr, k != 0 ? -1 : 1); }
double getyt(const int* h, int i, int k) {
  const double s = phase(groupnow().ops[i - 1], h, groupnow().idm);
  return k != 0 ? -s : s;
}
void getrx(const float* x, float* xr, int i, int k) { applyx(groupnow().ops[i - 1], x, xr, k != 0 ? -1 : 1); }

void resetsymmetry() {
  groupnow() = Group{};
  crystalnow().iwflag = 0;
}

// ---- setting -------------------------------------------------------------

void setsmh(int isys) { setsmh(settingnow(), isys); }
void setsmx(int isys) { setsmx(settingnow(), isys); }
void smtrh(const int* h, int* hr, int ismtr) { smtrh(settingnow(), h, hr, ismtr); }
void ctoph(int* h) { ctoph(settingnow(), h); }
bool brvknown() { return brvknown(settingnow()); }
std::string brvletters() { return brvletters(getsys()); }
bool iscentringvector(const double* t) { return iscentringvector(settingnow(), t); }
void htoph(const int* h, int* hg) { htoph(settingnow(), h, hg); }
int htophstatus(const int* h, int* hg) { return htophstatus(settingnow(), h, hg); }
void ptocx(float* x) { ptocx(settingnow(), x); }
void smtrx(const float* x, float* y, int smtr) { smtrx(settingnow(), x, y, smtr); }
void xgtox(const float* xg, float* x) { xgtox(settingnow(), xg, x); }
void getsetmtrx(double* m) { getsetmtrx(settingnow(), m); }
void getsetmtrxinv(double* mi) { getsetmtrxinv(settingnow(), mi); }

void resetsetting() { crystalnow().setting = Setting{}; }

// ---- lattice -------------------------------------------------------------

void setac(float a, float c) { setac(latticenow(), a, c); }
void getac(float& a, float& c) {
  a = latticenow().ac;
  c = latticenow().cc;
}
void seteps(float e1, float e2, float e3, float e4) { seteps(latticenow(), e1, e2, e3, e4); }
int getndm() { return latticenow().ndm; }
void setndm(int ndm) { latticenow().ndm = ndm < 0 ? 0 : (ndm > 3 ? 3 : ndm); }
void calltcs() { calltcs(latticenow()); }
void setumtrx(int iaxis) { setumtrx(latticenow(), iaxis); }
void setdqmtrx() { setdqmtrx(latticenow()); }
void setd() { setd(latticenow()); }
void setdr() { setdr(latticenow()); }
float getdet() { return latticenow().det; }
void setdei() { setdei(latticenow()); }
void intskp() { intskp(latticenow()); }
void mtrtns() { mtrtns(latticenow()); }
void getdq(float* a) { mcpy(latticenow().dq, a); }
void getdr(float* a) { mcpy(latticenow().dr, a); }
void getde(float* a) { mcpy(latticenow().de, a); }
void getdi(float* a) { mcpy(latticenow().di, a); }
void getmtrt(float* a) { mcpy(latticenow().mtrt, a); }
void getsr(float* a) { mcpy(latticenow().sr, a); }
void getsi(float* a) { mcpy(latticenow().si, a); }
void getti(float* a) { mcpy(latticenow().ti, a); }
int getndir(int family) { return getndir(latticenow(), family); }
void getdir(int family, int k, float* v) { getdir(latticenow(), family, k, v); }
int getnskp() { return latticenow().nskp; }
void getskp(int k, float* v) { getskp(latticenow(), k, v); }
void setvol() { setvol(latticenow()); }
float getvol() { return latticenow().vol; }
void getqi00(const int* h, float* q) { getqi00(latticenow(), h, q); }
void getqi0(const int* h, float* q) { getqi0(latticenow(), h, q); }
void getqir(const int* h, float* q) { getqi0(latticenow(), h, q); }
void getqi(const int* h, float* q) { getqi(latticenow(), h, q); }
void getqe0(const float* x, float* e) { getqe0(latticenow(), x, e); }
void getqe(const float* x, float* e) { getqe(latticenow(), x, e); }
void getxe00(const float* x, float* e) { getxe00(latticenow(), x, e); }
void getxe(const float* x, float* e) { getxe(latticenow(), x, e); }
void rltscale(float* v) { rltscale(latticenow(), v); }
void ltscale(float* v) { ltscale(latticenow(), v); }
void resetlattice() { crystalnow().lattice = Lattice{}; }

// ---- grid ----------------------------------------------------------------

namespace {
Grid& preparedgrid() {
  Grid& g = gridnow();
  if (!g.prepared) setsmopprm(g, groupnow(), settingnow());
  return g;
}
}  // namespace

void setng(const int* n) { setng(gridnow(), n); }
void getng(int* n) {
  for (int i = 0; i < kDim; ++i) n[i] = gridnow().n[i];
}
void gethmax(int* n) { getng(n); }
void calmm() { calmm(gridnow()); }
void getmm(long long* mm) {
  for (int i = 0; i <= kDim; ++i) mm[i] = gridnow().mm[i];
}
void setitt() { setitt(gridnow()); }
long long getnt() { return getnt(gridnow()); }
GridView gridview(const float* map) { return gridview(gridnow(), map); }
void getitoxyz(int j, int* x) { getitoxyz(gridnow(), j, x); }
int getxyztoj(const int* x) { return getxyztoj(gridnow(), x); }
void getindx(int j, int* x) { getitoxyz(gridnow(), j, x); }
void tounitcell(int* x) { tounitcell(gridnow(), x); }
void tobrillzone(int* h) { tobrillzone(gridnow(), h); }
void getitohkl(int j, int* h) { getitohkl(gridnow(), j, h); }
int gethkltoj(const int* h) { return getxyztoj(gridnow(), h); }
int iskip(const int* h) { return iskip(gridnow(), h); }
void setsmopprm() { setsmopprm(gridnow(), groupnow(), settingnow()); }
long long getgridstamp() { return gridnow().stamp; }
void getrgrid(int i, int* rot) {
  const Op& op = gridnow().ops[i - 1];
  for (int q = 0; q < kDim2; ++q) rot[q] = op.rot[q];
}
void gethrg(const int* h, int* hr, int i, int k) { gethrg(gridnow(), h, hr, i, k); }
double getytg(const int* h, int i, int k) { return getytg(gridnow(), h, i, k); }
void getrxi(const int* x, int* xr, int i, int k) { getrxi(gridnow(), x, xr, i, k); }
int getrxij(const int* x, int i, int k) { return getrxij(gridnow(), x, i, k); }
void setindfindx() { setindfindx(preparedgrid()); }
void setindxindx() { setindxindx(preparedgrid()); }
int getnfindx() { return gridnow().nfindx; }
const int* getfindx() { return getfindx(gridnow()); }
int getnxindx() { return gridnow().nxindx; }
const int* getxindx() { return gridnow().xindx.data(); }
long long getxindxorbits(int* rep) { return getxindxorbits(preparedgrid(), rep); }
void resetgridindex() { crystalnow().grid = Grid{}; }

}  // namespace trovan
