#include "util/files.hpp"

#include <filesystem>

#include "util/input.hpp"
#include "util/stop.hpp"

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
