#include "util/input.hpp"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <vector>

#include "util/stop.hpp"

namespace trovan {

namespace {

std::istream& in(KeyReader& r) { return r.in ? *r.in : std::cin; }

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Reads the next line into the buffer; false at end of file.
bool next_line(KeyReader& r) {
  std::string s;
  if (!std::getline(in(r), s)) {
    r.atend = true;
    return false;
  }
  ++r.lineno;
  r.atend = false;
  // A UTF-8 byte-order mark (some editors write one) is no part of the text.
  if (r.lineno == 1 && s.compare(0, 3, "\xEF\xBB\xBF") == 0) s.erase(0, 3);
  for (char& c : s)
    if (c == '\t' || c == '\r') c = ' ';
  if (static_cast<int>(s.size()) > kLineLength) s.resize(kLineLength);
  r.line = s + std::string(kLineLength - s.size(), ' ');
  r.pos = 0;
  return true;
}

// Where the reader stands, for a key that is not there: the line and what
// was looked for.
std::string located(const KeyReader& r, const std::string& key) {
  if (r.atend)
    return "the keyword input ended after line " + std::to_string(r.lineno) + " where " + key + " was expected";
  return "line " + std::to_string(r.lineno) + " of the keyword input is '" + trim(r.line) + "'; " + key +
         " was expected there";
}

[[noreturn]] void not_found(const KeyReader& r, const std::string& key) {
  failat(key + " not found", located(r, key));
}
[[noreturn]] void no_value(const std::string& key) { fail("value of " + key + " not fund"); }
[[noreturn]] void bad_value(const std::string& key, const std::string& text) {
  fail("value of " + key + " can not be read: " + text);
}

// Positions the scan at the key (on a new line when irw = 1). Returns the
// column right after the key.
int locate(KeyReader& r, const std::string& key, int irw) {
  for (;;) {
    if (irw == 1 && !next_line(r)) not_found(r, key);
    if (istrln(key) == 0) return r.pos;
    std::size_t p = r.line.find(key, r.pos);
    if (p != std::string::npos) {
      r.pos = static_cast<int>(p);
      return r.pos + static_cast<int>(key.size());
    }
    // The skip flag lets a caller pass over lines without the key; with the
    // flag off (always, in this program) a missing key ends the run.
    if (r.skip != 0 && irw == 1) continue;
    not_found(r, key);
  }
}

// Delimits n blank/comma separated items from column p.
std::vector<std::string> numeric_items(KeyReader& r, const std::string& key, int p, int n) {
  std::vector<std::string> items;
  const int end = kLineLength;
  bool after_blank = false;
  for (int k = 0; k < n; ++k) {
    while (p < end && is_blank(r.line[p])) { ++p; after_blank = true; }
    // "3 , 4": a comma after blanks is the separator of the previous item.
    if (k > 0 && after_blank && p < end && r.line[p] == ',') {
      ++p;
      while (p < end && is_blank(r.line[p])) ++p;
    }
    if (p >= end) no_value(key);
    int start = p;
    while (p < end && !is_blank(r.line[p]) && r.line[p] != ',') ++p;
    items.push_back(r.line.substr(start, p - start));
    after_blank = false;
    r.pos = p;
    if (k + 1 < n && p < end && r.line[p] == ',') ++p;
  }
  return items;
}

bool parse_int(const std::string& s, int& v) {
  if (s.empty()) return false;
  std::size_t i = 0;
  if (s[0] == '+' || s[0] == '-') i = 1;
  if (i >= s.size()) return false;
  for (std::size_t k = i; k < s.size(); ++k)
    if (!std::isdigit(static_cast<unsigned char>(s[k]))) return false;
  char* e = nullptr;
  long long x = std::strtoll(s.c_str(), &e, 10);
  if (x > std::numeric_limits<int>::max() || x < std::numeric_limits<int>::min()) return false;
  v = static_cast<int>(x);
  return true;
}

// A real as list-directed input accepts it: [sign] digits [. digits] or
// [sign] . digits, then optionally an exponent E/e/D/d [sign] digits.
bool parse_real(const std::string& s, float& v) {
  std::string t;
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) t += s[i++];
  int digits = 0;
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) { t += s[i++]; ++digits; }
  if (i < s.size() && s[i] == '.') {
    t += s[i++];
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) { t += s[i++]; ++digits; }
  }
  if (digits == 0) return false;
  if (i < s.size()) {
    char c = static_cast<char>(std::tolower(static_cast<unsigned char>(s[i])));
    if (c != 'e' && c != 'd') return false;
    t += 'e';
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) t += s[i++];
    int ed = 0;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) { t += s[i++]; ++ed; }
    if (ed == 0 || i != s.size()) return false;
  }
  double x = std::strtod(t.c_str(), nullptr);
  if (!std::isfinite(x) || std::fabs(x) > std::numeric_limits<float>::max()) return false;
  v = static_cast<float>(x);
  return true;
}

// n numbers after the key, each converted by `parse` (integers or reals).
template <class T>
void read_numbers(KeyReader& r, const std::string& key, int n, T* values, int irw,
                  bool (*parse)(const std::string&, T&)) {
  int p = locate(r, key, irw);
  if (n <= 0) return;
  auto items = numeric_items(r, key, p, n);
  for (int k = 0; k < n; ++k)
    if (!parse(items[k], values[k])) bad_value(key, items[k]);
}

// One value through the vector reader, into a local first: `value` keeps
// what it held when the key is followed by no value (n = 0).
template <class T>
void read_one(KeyReader& r, const std::string& key, int n, T& value, int irw,
              void (*readv)(KeyReader&, const std::string&, int, T*, int)) {
  T v = value;
  readv(r, key, n > 0 ? 1 : 0, &v, irw);
  value = v;
}

std::string fit(const std::string& s, int len) {
  if (static_cast<int>(s.size()) >= len) return s.substr(0, len);
  return s + std::string(len - s.size(), ' ');
}

}  // namespace

KeyReader::KeyReader(std::istream& is) : in(&is) {}

void freadiv(KeyReader& r, const std::string& key, int n, int* values, int irw) {
  read_numbers(r, key, n, values, irw, parse_int);
}

void freadi(KeyReader& r, const std::string& key, int n, int& value, int irw) {
  read_one(r, key, n, value, irw, freadiv);
}

void freadrv(KeyReader& r, const std::string& key, int n, float* values, int irw) {
  read_numbers(r, key, n, values, irw, parse_real);
}

void freadr(KeyReader& r, const std::string& key, int n, float& value, int irw) {
  read_one(r, key, n, value, irw, freadrv);
}

void freadcv(KeyReader& r, const std::string& key, int n, std::string* values, int irw, int valuelen) {
  int p = locate(r, key, irw);
  const int end = kLineLength;
  for (int k = 0; k < n; ++k) {
    while (p < end && (is_blank(r.line[p]) || (k > 0 && r.line[p] == ','))) ++p;
    if (p >= end) no_value(key);
    std::string v;
    char q = r.line[p];
    if (q == '\'' || q == '"') {
      // Quoted: a doubled quote inside stands for one quote character.
      ++p;
      bool closed = false;
      while (p < end) {
        if (r.line[p] == q) {
          if (p + 1 < end && r.line[p + 1] == q) { v += q; p += 2; continue; }
          ++p;
          closed = true;
          break;
        }
        v += r.line[p++];
      }
      if (!closed) no_value(key);
    } else {
      // Undelimited, as list-directed input allows: up to a blank or comma.
      while (p < end && !is_blank(r.line[p]) && r.line[p] != ',') v += r.line[p++];
    }
    values[k] = fit(v, valuelen);
    r.pos = p;
  }
}

void freadc(KeyReader& r, const std::string& key, int n, std::string& value, int irw, int valuelen) {
  std::string v = value;
  freadcv(r, key, n > 0 ? 1 : 0, &v, irw, kNameLength);
  if (n > 0) value = fit(v, valuelen);
}

std::string freadln(KeyReader& r, const std::string& what, int width) {
  if (!next_line(r)) not_found(r, what);
  r.pos = kLineLength;  // the whole line is consumed
  return fit(r.line, width);
}

bool keyonline(const KeyReader& r, const std::string& key) {
  return !key.empty() && r.line.find(key, r.pos) != std::string::npos;
}

std::string getline_buffer(const KeyReader& r) { return r.line.substr(0, istrln(r.line)); }
int getscanpos(const KeyReader& r) { return r.pos + 1; }

int istrln(const std::string& s) {
  int n = static_cast<int>(s.size());
  while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\0')) --n;
  return n;
}

std::string trim(const std::string& s) { return s.substr(0, istrln(s)); }

}  // namespace trovan
