#include "util/files.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "util/input.hpp"
#include "util/stop.hpp"
#include "util/tempfiles.hpp"

namespace trovan {

std::string getflnmprfx(const std::string& name) {
  std::string s = trim(name);
  std::size_t dot = s.rfind('.');
  std::size_t slash = s.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return s;
  return s.substr(0, dot);
}

void cantopen(const std::string& name) {
  out() << "can't open " << name << '\n';
  out().flush();
  throw Stop("can't open " + name, kExitOpen);
}

void cantopen(const std::string& name, int err) {
  const std::string why = std::string("reason: ") + std::strerror(err);
  out() << "can't open " << name << '\n' << ' ' << why << '\n';
  out().flush();
  throw Stop("can't open " + name, kExitOpen, why);
}

void notregular(const std::string& name) {
  out() << "can't open " << name << ": not a regular file\n";
  out().flush();
  throw Stop("can't open " + name + ": not a regular file", kExitOpen);
}

void checkname(const std::string& key, const std::string& name) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c < 32 || c == 127)
      quit(key + " file name holds a control character (code " + std::to_string(c) + " at position " +
           std::to_string(i + 1) + ")");
  }
}

void checkinputfile(const std::string& name) {
  struct stat st {};
  if (name.empty() || ::stat(name.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) cantopen(name);
  if (!S_ISREG(st.st_mode)) notregular(name);
}

void checkoutputfile(const std::string& name) {
  struct stat st {};
  if (name.empty()) cantopen(name);
  if (::stat(name.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) cantopen(name);
    if (!S_ISREG(st.st_mode)) notregular(name);
  } else if (errno != ENOENT) {
    cantopen(name);  // a loop of symbolic links, a path through a file, no permission
  }
  TempOut t = opentemp(name, "file");
  droptemp(t);
}

void refuselink(const std::string& what, const std::string& name) {
  struct stat ls {};
  if (::lstat(name.c_str(), &ls) != 0 || !S_ISLNK(ls.st_mode)) return;
  std::error_code ec;
  const std::string to = std::filesystem::read_symlink(name, ec).string();
  quit(what + " " + name + " is a symbolic link to " + (ec ? std::string("?") : to) +
           ": box and page files are not written through a link (remove it, or write elsewhere)",
       kExitOpen);
}

bool samefile(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  const bool ea = ::stat(a.c_str(), &sa) == 0, eb = ::stat(b.c_str(), &sb) == 0;
  if (ea && eb) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  if (ea || eb) return false;
  std::error_code e1, e2;
  const std::filesystem::path pa = std::filesystem::weakly_canonical(std::filesystem::absolute(a, e1), e1);
  const std::filesystem::path pb = std::filesystem::weakly_canonical(std::filesystem::absolute(b, e2), e2);
  return !e1 && !e2 && pa == pb;
}

bool isstdin(const std::string& name) {
  struct stat s0 {}, sn {};
  if (::fstat(0, &s0) != 0 || ::stat(name.c_str(), &sn) != 0) return false;
  return s0.st_dev == sn.st_dev && s0.st_ino == sn.st_ino;
}

namespace {
void open_with(std::fstream& f, const std::string& name, const std::string& status,
               std::ios::openmode extra) {
  std::string n = trim(name);
  if (f.is_open()) f.close();
  f.clear();
  if (n.empty()) cantopen(n);
  // A directory opens as an empty file on some systems; it is no file.
  std::error_code ec;
  if (std::filesystem::is_directory(n, ec)) cantopen(n);
  if (status == "OLD") {
    checkinputfile(n);
    f.open(n, std::ios::in | extra);
  } else if (status == "UNKNOWN") {
    f.open(n, std::ios::in | std::ios::out | extra);
    if (!f.is_open()) {
      f.clear();
      f.open(n, std::ios::out | std::ios::app | extra);  // create without truncating
      if (f.is_open()) {
        f.close();
        f.open(n, std::ios::in | std::ios::out | extra);
      }
    }
  } else {
    f.open(n, std::ios::out | std::ios::trunc | extra);
  }
  if (!f.is_open()) cantopen(n);
}
}  // namespace

void openfile(std::fstream& f, const std::string& name, const std::string& status) {
  open_with(f, name, status, std::ios::openmode{});
}

void openfileu(std::fstream& f, const std::string& name, const std::string& status) {
  open_with(f, name, status, std::ios::binary);
}

}  // namespace trovan
