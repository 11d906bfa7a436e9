// Placeholder symmetry module: reads the symmetry lines so that a run gets
// through its keyword input; decoding and closure come later.
#include "crystal/symmetry.hpp"

#include "driver/input.hpp"
#include "util/fortran_fmt.hpp"
#include "util/stop.hpp"

namespace trovan {

namespace {
int g_iwflag = 0;
int g_idm = 6;
char g_brv = 'p';
int g_nsymo = 1;
int g_icent = 0;
}  // namespace

void setiwflag(int flag) { g_iwflag = flag; }
int getiwflag() { return g_iwflag; }

void rdsymo() {
  int nsymo = 0, icent = 0;
  std::string brv;
  freadi("nsymo=", 1, nsymo, 1);
  freadi("icent=", 1, icent, 0);
  freadc("brv=", 1, brv, 0, 1);
  out() << "nsymo=" << fmt_i(nsymo, 3) << " icent=" << fmt_i(icent, 3) << " brv=" << brv << '\n';
  std::string none;
  freadc("symmetry operator", 0, none, 1);
  for (int k = 0; k < nsymo; ++k) freadln("symmetry operator line", 60);
  g_icent = icent;
  g_brv = brv.empty() ? ' ' : brv[0];
}

void setidm(int idm) { g_idm = idm; }
int getidm() { return g_idm; }
void setbrv(char brv) { g_brv = brv; }
char getbrv() { return g_brv; }
int getnsymo() { return g_nsymo; }
int geticent() { return g_icent; }

}  // namespace trovan
