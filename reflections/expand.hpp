// Expansion of the unique reflections by symmetry and Friedel's law into
// the Fourier coefficients on the reciprocal grid, and the list of
// independent observed reflections that the maximum-entropy fit uses.
//
// Sign convention: a reflection h with structure factor F(h) has the
// symmetry image h.R with F(h.R) = F(h) exp(+2 pi i h.tau) for every
// operator (R, tau), and the Friedel mate F(-h) = conj F(h); with the
// synthesis rho(x) = (1/V) sum F(h) exp(+2 pi i h.x) the map then satisfies
// rho(R x + tau) = rho(x). The images are taken in the setting basis and
// carried to the grid basis (superstructure, then centring) before they are
// stored.
#pragma once

namespace trovan {

constexpr int kMaxInd = 4194305;  // independent observed reflections at most

void symstf();

// 1 when h has a non-zero scalar product with one of the projection vectors
// ("h=" lines): such reflections are left out of a projected map.
int isprj(const int* h);

// Stores a coefficient at grid index j as the map kind wants it: F for the
// Fourier, difference and MEM maps, |F|^2 (real) for the Patterson map.
void setbeq(float a, float b, int j);
// Appends (j, a, b, sigma) to the independent-reflection list.
void setari0(float a, float b, float sigma, int& cnind, int j);

int getnind();
// k = 0..nind-1: grid index, observed complex F (with its phase) and sigma.
void getfobs(int k, int& j, float& a, float& b, float& sigma);
const int* getfobsj();
float getcfmax();

// The list of independent observed reflections back to empty, as at the start.
void resetexpand();

}  // namespace trovan
