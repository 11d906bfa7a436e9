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

void wrtdxyz(const std::string& fname, const float* rho, long long nt) {
  const std::string name = trim(fname);
  const std::string tmp = name + ".tmp" + std::to_string(::getpid());
  std::FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) cantopen(name);
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
  ok = (::fsync(::fileno(f)) == 0) && ok;
  int err = errno;
  ok = (std::fclose(f) == 0) && ok;
  if (ok && std::rename(tmp.c_str(), name.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    std::remove(tmp.c_str());
    quit("density file " + name + " could not be written (" + std::strerror(err) +
             "); the previous file is unchanged",
         kExitOpen);
  }
  // The new name must reach the disk too, or a crash of the machine could
  // bring back the old directory entry.
  std::filesystem::path dir = std::filesystem::path(name).parent_path();
  int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

}  // namespace trovan
