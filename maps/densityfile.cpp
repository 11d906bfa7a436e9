#include "maps/densityfile.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "util/files.hpp"
#include "util/input.hpp"
#include "util/stop.hpp"

namespace trovan {

namespace {

std::string trim(const std::string& s) { return s.substr(0, istrln(s)); }

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

}  // namespace

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
}

namespace {

// A write begun by wrtdxyzstart and not yet finished.
struct Pending {
  bool active = false;
  std::string name, tmp;
  std::FILE* f = nullptr;
  bool ok = true;
  int err = 0;
};
Pending g_pending;

}  // namespace

void wrtdxyzstart(const std::string& fname, const float* rho, long long nt) {
  wrtdxyzabandon();
  Pending& p = g_pending;
  p = Pending{};
  p.active = true;
  p.name = trim(fname);
  p.tmp = p.name + ".tmp" + std::to_string(::getpid());
  p.f = std::fopen(p.tmp.c_str(), "wb");
  if (!p.f) return;  // reported by wrtdxyzfinish
  std::FILE* f = p.f;
  unsigned char m[4];
  put_u32le(m, static_cast<std::uint32_t>(4 * nt));
  const std::size_t n = static_cast<std::size_t>(nt), half = n / 2;
  bool ok = std::fwrite(m, 1, 4, f) == 4 && std::fwrite(rho, sizeof(float), half, f) == half;
  // TROVAN_DENSITY_WRITE_PAUSE=<seconds>: stop that long with half the
  // values in the temporary file, so that a test can kill the program in
  // the middle of the write and find the previous file intact.
  if (const char* pause = std::getenv("TROVAN_DENSITY_WRITE_PAUSE")) {
    std::fflush(f);
    ::sleep(static_cast<unsigned>(std::atoi(pause)));
  }
  ok = ok && std::fwrite(rho + half, sizeof(float), n - half, f) == n - half &&
       std::fwrite(m, 1, 4, f) == 4;
  ok = (std::fflush(f) == 0) && ok;
  p.err = errno;
#if defined(__linux__) && defined(SYNC_FILE_RANGE_WRITE)
  // Start the writeback now; wrtdxyzfinish waits for it with fsync.
  if (ok) ::sync_file_range(::fileno(f), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
  p.ok = ok;
}

void wrtdxyzfinish() {
  if (!g_pending.active) return;
  Pending p = g_pending;
  g_pending = Pending{};
  if (!p.f) cantopen(p.name);
  bool ok = p.ok;
  int err = p.err;
  if (::fsync(::fileno(p.f)) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (std::fclose(p.f) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && std::rename(p.tmp.c_str(), p.name.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    std::remove(p.tmp.c_str());
    quit("density file " + p.name + " could not be written (" + std::strerror(err) +
             "); the previous file is unchanged",
         kExitOpen);
  }
  // The new name must reach the disk too, or a crash of the machine could
  // bring back the old directory entry.
  std::filesystem::path dir = std::filesystem::path(p.name).parent_path();
  int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

void wrtdxyzabandon() {
  if (!g_pending.active) return;
  if (g_pending.f) {
    std::fclose(g_pending.f);
    std::remove(g_pending.tmp.c_str());
  }
  g_pending = Pending{};
}

void wrtdxyz(const std::string& fname, const float* rho, long long nt) {
  wrtdxyzstart(fname, rho, nt);
  wrtdxyzfinish();
}

}  // namespace trovan
