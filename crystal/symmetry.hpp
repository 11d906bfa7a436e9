// Superspace symmetry operators: the generating elements read in
// coordinate-triplet notation over x, y, z, t, u, v, closed into the full
// list of operators (6x6 integer rotation, six real translations), the
// centrosymmetry flag and the lattice centring letter.
#pragma once

namespace trovan {

constexpr int kMaxSymo = 60;
constexpr int kMaxGenerators = 5;

void setiwflag(int flag);  // 1 = list generators and operators
int getiwflag();
void rdsymo();

void setidm(int idm);
int getidm();
void setbrv(char brv);
char getbrv();
int getnsymo();
int geticent();

}  // namespace trovan
