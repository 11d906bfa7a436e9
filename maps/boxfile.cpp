#include "maps/boxfile.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <vector>

#include "util/files.hpp"
#include "util/input.hpp"
#include "util/tempfiles.hpp"

namespace trovan {

namespace {
float g_dmin = 0, g_dmax = 0, g_range = 0;

// "%12.5e" in a field of exactly `w` characters: a value whose exponent needs
// three digits loses a mantissa digit instead of widening the header.
std::string efield(float v, int w) {
  char buf[64];
  for (int prec = 5; prec >= 0; --prec) {
    std::snprintf(buf, sizeof buf, "%*.*e", w, prec, static_cast<double>(v));
    if (static_cast<int>(std::strlen(buf)) <= w) return buf;
  }
  return std::string(w, '*');
}

std::string ifield(int v, int w) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%*d", w, v);
  std::string s = buf;
  return static_cast<int>(s.size()) <= w ? s : std::string(w, '*');
}

}  // namespace

void resetboxfile() { g_dmin = g_dmax = g_range = 0; }

void getdminmax(const float* values, long long n, float& dmin, float& dmax) {
  if (n < 1) {
    dmin = dmax = 0;
    return;
  }
  dmin = dmax = values[0];
  for (long long i = 1; i < n; ++i) {
    if (values[i] > dmax) dmax = values[i];
    else if (!(values[i] >= dmin)) dmin = values[i];
  }
}

void setdminmax(float dmin, float dmax) {
  g_dmin = dmin;
  g_dmax = dmax;
  g_range = dmax - dmin;
}

int encode(int v) {
  if (v < 32768) return v;
  return (v >> 5) ^ 65535;
}

int encodedxyz(float x) {
  // A flat box (Range 0) has nothing to resolve: every code is 0.
  if (!(g_range > 0)) return 0;
  float v = (x - g_dmin) / g_range * static_cast<float>(kMaxint);
  if (!(v > 0)) return 0;
  if (v > kMaxint) v = kMaxint;
  return encode(static_cast<int>(v));
}

void dxyzbinout(const float* values, const int* counts, const float* cell, const std::string& fname) {
  const std::string name = trim(fname);
  const long long n = static_cast<long long>(counts[0]) * counts[1] * counts[2];
  float dmin = 0, dmax = 0;
  getdminmax(values, n, dmin, dmax);
  setdminmax(dmin, dmax);
  std::cerr << "filename: " << name << '\n';
  TempOut t = opentemp(name, "box file");
  // Header: cell (2 x 39 bytes), counts (30), minimum and maximum (26).
  std::string h;
  auto field = [&h](const std::string& s) {
    h += ' ';
    h += s;
  };
  for (int i = 0; i < 6; ++i) field(efield(cell[i], 12));
  for (int i = 0; i < 3; ++i) field(ifield(counts[i], 9));
  field(efield(dmin, 12));
  field(efield(dmax, 12));
  writetemp(t, h);
  std::vector<unsigned char> codes(static_cast<std::size_t>(2 * n));
  for (long long i = 0; i < n; ++i) {
    int c = encodedxyz(values[i]);
    codes[2 * i] = static_cast<unsigned char>(c & 0xff);  // little-endian
    codes[2 * i + 1] = static_cast<unsigned char>((c >> 8) & 0xff);
  }
  writetemp(t, codes.data(), codes.size());
  committemp(t);
}

void dxyzascout(const float* values, const int* counts, const float* cell, const std::string& fname) {
  const std::string name = trim(fname);
  const long long n = static_cast<long long>(counts[0]) * counts[1] * counts[2];
  std::cerr << "filename: " << name << '\n';
  TempOut t = opentemp(name, "box file");
  char buf[160];
  auto put = [&t, &buf](int len) { writetemp(t, buf, static_cast<std::size_t>(std::max(0, len))); };
  put(std::snprintf(buf, sizeof buf, " %s\n", "cell"));
  put(std::snprintf(buf, sizeof buf, " %12.5e %12.5e %12.5e\n", cell[0], cell[1], cell[2]));
  put(std::snprintf(buf, sizeof buf, " %12.5e %12.5e %12.5e\n", cell[3], cell[4], cell[5]));
  put(std::snprintf(buf, sizeof buf, " %d %d %d", counts[0], counts[1], counts[2]));
  put(std::snprintf(buf, sizeof buf, " %f %f %f\n", cell[0], cell[1], cell[2]));
  for (long long i = 0; i < n; ++i) {
    int len = std::snprintf(buf, sizeof buf, "%12.5e ", values[i]);
    if ((i + 1) % 5 == 0 && i + 1 < n) buf[len++] = '\n';
    put(len);
  }
  committemp(t);
}

}  // namespace trovan
