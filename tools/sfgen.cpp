// sfgen: writes the bundled examples. For each model crystal of
// tools/sfmodel.hpp it computes the structure factors (amplitude, phase, and
// for the maximum-entropy data an observed amplitude with Gaussian noise and
// its sigma) of one reflection per symmetry class, and writes into
// <root>/examples/<dir>/:
//   <name>.hkl, <name>.inp          the Fourier run (Fo = Fc)
//   <name>_mem.hkl, <name>_mem.inp  the maximum-entropy run (noisy Fo)
// Usage: sfgen [root] [name ...]   (root defaults to ".", all examples).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "tools/sfmodel.hpp"

namespace fs = std::filesystem;
using namespace trovan::examples;

namespace {

void write(const fs::path& p, const std::string& text) {
  std::ofstream f(p, std::ios::binary);
  if (!f) throw std::runtime_error("cannot write " + p.string());
  f << text;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path root = argc > 1 ? argv[1] : ".";
  std::vector<std::string> only(argv + std::min(argc, 2), argv + argc);
  try {
    for (const Example& e : all_examples()) {
      if (!only.empty() && std::find(only.begin(), only.end(), e.name) == only.end()) continue;
      const fs::path dir = root / "examples" / e.dir;
      fs::create_directories(dir);
      const std::string fourier = reflection_file(e, false);
      const std::string mem = reflection_file(e, true);
      write(dir / (e.name + ".hkl"), fourier);
      write(dir / (e.name + "_mem.hkl"), mem);
      write(dir / (e.name + ".inp"), keyword_input(e, false, e.drawing));
      write(dir / (e.name + "_mem.inp"), keyword_input(e, true, e.drawing));
      long long nt = 1;
      for (int n : e.hmax) nt *= n;
      std::size_t nref = 0;
      for (char ch : fourier) nref += ch == '\n';
      std::printf("%-14s reflections=%6zu nt=%9lld f000=%10.3f V=%12.4f\n", e.name.c_str(), nref,
                  nt, e.f000(), e.volume());
    }
  } catch (const std::exception& ex) {
    std::fprintf(stderr, "sfgen: %s\n", ex.what());
    return 1;
  }
  return 0;
}
