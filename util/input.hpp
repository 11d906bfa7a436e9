// The keyword input reader.
//
// A run is controlled by one keyword file on standard input, read line by
// line in a fixed order that the callers set. Each call names its key with
// the "=" sign ("isys=", "hmax="), says whether a new line is read first
// (irw = 1) or the search goes on along the current line from the scan
// position, and how many values follow. Keys match as case-sensitive
// substrings from the scan position; values are read free-format: signed
// integers, reals with or without a point and with an E/e/D/d exponent,
// separated by blanks and/or a comma; character values stand in apostrophes.
// A missing key or value stops the run.
#pragma once
#include <istream>
#include <string>

namespace trovan {

constexpr int kLineLength = 256;  // input lines are cut here
constexpr int kNameLength = 80;   // file names, title

// The state of the keyword reader: the stream (standard input when null),
// the current line, blank-padded to 256 columns, the 0-based scan position
// in it, and the skip flag. Each job reads through a reader of its own.
struct KeyReader {
  KeyReader() = default;
  explicit KeyReader(std::istream& is);
  std::istream* in = nullptr;
  std::string line = std::string(kLineLength, ' ');
  int pos = 0;
  int skip = 0;
  int lineno = 0;     // lines read so far: the current line's number
  bool atend = false; // the input ended where a line was wanted
};

void freadiv(KeyReader& r, const std::string& key, int n, int* values, int irw);
void freadi(KeyReader& r, const std::string& key, int n, int& value, int irw);
void freadrv(KeyReader& r, const std::string& key, int n, float* values, int irw);
void freadr(KeyReader& r, const std::string& key, int n, float& value, int irw);
// Each value is cut or blank-padded to `valuelen` characters.
void freadcv(KeyReader& r, const std::string& key, int n, std::string* values, int irw, int valuelen);
void freadc(KeyReader& r, const std::string& key, int n, std::string& value, int irw, int valuelen = kNameLength);

// Reads the next line whole and returns its first `width` characters (blank
// padded): the generating elements of the symmetry are read this way.
std::string freadln(KeyReader& r, const std::string& what, int width);

// True when `key` stands on the current line at or after the scan position:
// an optional key is read only when it is there.
bool keyonline(const KeyReader& r, const std::string& key);

// The current line (without trailing blanks) and the 1-based scan position.
std::string getline_buffer(const KeyReader& r);
int getscanpos(const KeyReader& r);

// Length of s without trailing blanks.
int istrln(const std::string& s);
// s without its trailing blanks: its first istrln(s) characters.
std::string trim(const std::string& s);

}  // namespace trovan
