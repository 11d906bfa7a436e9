#include "maps/boxfile.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <vector>

#include <gemmi/ccp4.hpp>

#include "util/files.hpp"
#include "util/input.hpp"
#include "util/tempfiles.hpp"

namespace trovan {

namespace {

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

BoxCode setdminmax(float dmin, float dmax) { return BoxCode{dmin, dmax, dmax - dmin}; }

int encode(int v) {
  if (v < 32768) return v;
  return (v >> 5) ^ 65535;
}

int encodedxyz(const BoxCode& c, float x) {
  // A flat box (Range 0) has nothing to resolve: every code is 0.
  if (!(c.range > 0)) return 0;
  float v = (x - c.dmin) / c.range * static_cast<float>(kMaxint);
  if (!(v > 0)) return 0;
  if (v > kMaxint) v = kMaxint;
  return encode(static_cast<int>(v));
}

void dxyzbinout(const float* values, const int* counts, const float* cell, const std::string& fname) {
  const std::string name = trim(fname);
  const long long n = static_cast<long long>(counts[0]) * counts[1] * counts[2];
  float dmin = 0, dmax = 0;
  getdminmax(values, n, dmin, dmax);
  const BoxCode code = setdminmax(dmin, dmax);
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
    int c = encodedxyz(code, values[i]);
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

Ccp4Place owncellplace(const int* counts, const float* cell) {
  Ccp4Place p;
  // n points along an edge include both of its ends, so the edge holds
  // n - 1 intervals (the sampling MX, MY, MZ). An axis of one point has no
  // extent; its "edge" is then one interval.
  for (int a = 0; a < 3; ++a) {
    p.sampling[a] = std::max(1, counts[a] - 1);
    p.cell[a] = cell[a] > 0 ? cell[a] : 1.0f;
    p.cell[a + 3] = cell[a + 3];
  }
  return p;
}

void boxstatistics(const float* values, const int* counts, const bool* skiplast, double& mean, double& rms) {
  int m[3];
  for (int a = 0; a < 3; ++a) m[a] = (skiplast[a] && counts[a] > 1) ? counts[a] - 1 : counts[a];
  double sum = 0, sum2 = 0;
  long long cnt = 0;
  for (int k = 0; k < m[2]; ++k)
    for (int j = 0; j < m[1]; ++j)
      for (int i = 0; i < m[0]; ++i) {
        const double v = values[i + static_cast<long long>(counts[0]) * (j + static_cast<long long>(counts[1]) * k)];
        sum += v;
        sum2 += v * v;
        ++cnt;
      }
  mean = cnt > 0 ? sum / double(cnt) : 0.0;
  rms = cnt > 0 ? std::sqrt(std::max(0.0, sum2 / double(cnt) - mean * mean)) : 0.0;
}

void dxyzccp4out(const float* values, const int* counts, const Ccp4Place& place, const std::string& fname,
                 const std::string& label) {
  const std::string name = trim(fname);
  const std::size_t n = static_cast<std::size_t>(counts[0]) * counts[1] * counts[2];
  gemmi::Ccp4<float> map;
  map.grid.set_size_without_checking(counts[0], counts[1], counts[2]);
  map.grid.set_unit_cell(place.cell[0], place.cell[1], place.cell[2], place.cell[3], place.cell[4], place.cell[5]);
  std::copy(values, values + n, map.grid.data.begin());
  map.update_ccp4_header(2, true);
  map.set_header_3i32(5, place.start[0], place.start[1], place.start[2]);
  map.set_header_3i32(8, place.sampling[0], place.sampling[1], place.sampling[2]);
  double mean = 0, rms = 0;
  boxstatistics(values, counts, place.skiplast, mean, rms);
  map.set_header_float(22, static_cast<float>(mean));
  map.set_header_float(55, static_cast<float>(rms));
  float origin[3] = {place.origin[0], place.origin[1], place.origin[2]};
  if (place.lefthanded) {
    // The box's axes u, v, q form a left-handed set, but a viewer builds
    // the cell right-handed and would show the mirror image of the
    // structure. The map keeps its values in the same order and names v
    // the first cell axis and u the second (MAPC = 2, MAPR = 1): the cell
    // (v, u, q) is right-handed, and the viewer shows the structure as it is.
    map.set_header_3i32(8, place.sampling[1], place.sampling[0], place.sampling[2]);
    map.set_header_float(11, place.cell[1]);
    map.set_header_float(12, place.cell[0]);
    map.set_header_float(14, place.cell[4]);  // angle (u, q): now between the second and third axes
    map.set_header_float(15, place.cell[3]);  // angle (v, q)
    map.set_header_3i32(17, 2, 1, 3);
    std::swap(origin[0], origin[1]);
  }
  for (int a = 0; a < 3; ++a) map.set_header_float(50 + a, origin[a]);
  std::string lab = label.substr(0, 80);
  map.set_header_str(57, lab + std::string(80 - lab.size(), ' '));
  std::cerr << "filename: " << name << '\n';
  TempOut t = opentemp(name, "box file");
  writetemp(t, map.ccp4_header.data(), 4 * map.ccp4_header.size());
  writetemp(t, map.grid.data.data(), sizeof(float) * n);
  committemp(t);
}

}  // namespace trovan
