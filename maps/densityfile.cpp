#include "maps/densityfile.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <utility>

#include "util/files.hpp"
#include "util/input.hpp"
#include "util/stop.hpp"
#include "util/tempfiles.hpp"

namespace trovan {

namespace {

void put_u32le(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
std::uint32_t get_u32le(const unsigned char* p) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

[[noreturn]] void wrong_size(const std::string& name, long long expected, const std::string& found) {
  quit("density file " + name + " does not hold this grid: expected a record of " +
       std::to_string(expected) + " bytes, found " + found);
}

void (*g_write_hook)() = nullptr;

}  // namespace

void setdensitywritehook(void (*hook)()) { g_write_hook = hook; }

void readdxyz(const std::string& fname, float* rho, long long nt) {
  const std::string name = trim(fname);
  std::fstream f;
  openfileu(f, name, "OLD");
  const long long bytes = 4 * nt;
  unsigned char m[4];
  if (!f.read(reinterpret_cast<char*>(m), 4)) wrong_size(name, bytes, "an empty or short file");
  std::uint32_t head = get_u32le(m);
  if (head != bytes) wrong_size(name, bytes, "a leading marker of " + std::to_string(head));
  // The values are stored little-endian, as the machines that write them are.
  if (!f.read(reinterpret_cast<char*>(rho), bytes))
    wrong_size(name, bytes, std::to_string(f.gcount()) + " bytes of values");
  if (!f.read(reinterpret_cast<char*>(m), 4)) wrong_size(name, bytes, "no trailing marker");
  std::uint32_t tail = get_u32le(m);
  if (tail != bytes) wrong_size(name, bytes, "a trailing marker of " + std::to_string(tail));
  // The program writes the grid as the file's only record; anything after
  // it means the file is not one of its density files.
  if (f.peek() != std::char_traits<char>::eof()) wrong_size(name, bytes, "more bytes after the record");
  // A density with NaN or infinite values (written by a run whose
  // amplitudes overflowed single precision, or damaged) would give NaN
  // extrema, contours and maximum-entropy steps.
  for (long long j = 0; j < nt; ++j)
    if (!std::isfinite(rho[j]))
      quit("density file " + name + " holds a value that is not a finite number (NaN or infinite) at grid point " +
           std::to_string(j) + ": make it again, with smaller amplitudes (fmag=)");
}

PendingDensity::PendingDensity(PendingDensity&& o) noexcept : out(std::move(o.out)), pending(o.pending) {
  o.out = TempOut{};
  o.pending = false;
}

PendingDensity& PendingDensity::operator=(PendingDensity&& o) noexcept {
  if (this != &o) {
    wrtdxyzabandon(*this);
    out = std::move(o.out);
    pending = o.pending;
    o.out = TempOut{};
    o.pending = false;
  }
  return *this;
}

PendingDensity::~PendingDensity() { wrtdxyzabandon(*this); }

PendingDensity wrtdxyzstart(const std::string& fname, const float* rho, long long nt) {
  TempOut t = opentemp(trim(fname), "density file");
  unsigned char m[4];
  put_u32le(m, static_cast<std::uint32_t>(4 * nt));
  const std::size_t n = static_cast<std::size_t>(nt), half = n / 2;
  writetemp(t, m, 4);
  writetemp(t, rho, sizeof(float) * half);
  if (g_write_hook) {
    std::fflush(t.f);
    g_write_hook();
  }
  writetemp(t, rho + half, sizeof(float) * (n - half));
  writetemp(t, m, 4);
  // The values leave the program's buffer now, and the system is asked to
  // start putting them on the disk; committemp's fsync then waits only for
  // what is left. A failure here is remembered and reported by committemp.
  if (t.err == 0 && std::fflush(t.f) != 0) t.err = errno != 0 ? errno : EIO;
#if defined(__linux__) && defined(SYNC_FILE_RANGE_WRITE)
  if (t.err == 0) ::sync_file_range(::fileno(t.f), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
  PendingDensity w;
  w.out = std::move(t);
  w.pending = true;
  return w;
}

void wrtdxyzfinish(PendingDensity& w) {
  if (!w.pending) return;
  w.pending = false;
  TempOut t = std::move(w.out);
  w.out = TempOut{};
  committemp(t);
}

void wrtdxyzabandon(PendingDensity& w) {
  if (!w.pending) return;
  w.pending = false;
  droptemp(w.out);
  w.out = TempOut{};
}

void wrtdxyz(const std::string& fname, const float* rho, long long nt) {
  PendingDensity w = wrtdxyzstart(fname, rho, nt);
  wrtdxyzfinish(w);
}

}  // namespace trovan
