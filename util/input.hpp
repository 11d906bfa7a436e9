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

// Unit module: input unit (5 = standard input), output unit (6), skip flag.
void setinp(int unit);
void setout(int unit);
void setskp(int flag);
int getinp();
int getout();
int getskp();
// The stream behind the input unit (std::cin unless a test supplies one).
// Binding a stream also clears the line buffer.
void set_input_stream(std::istream* is);
// The reader back to its state at the start: units 5 and 6, skip flag off,
// an empty line buffer. The stream binding stays: it says where the run
// reads from, which is the caller's choice.
void resetinput();

// The state of the keyword reader: the stream (standard input when null),
// the current line, blank-padded to 256 columns, the 0-based scan position
// in it, the unit numbers and the skip flag.
struct KeyReader {
  std::istream* in = nullptr;
  std::string line = std::string(kLineLength, ' ');
  int pos = 0;
  int inp = 5, out = 6, skip = 0;
  int lineno = 0;     // lines read so far: the current line's number
  bool atend = false; // the input ended where a line was wanted
};
// The reader of the current job, which the functions above use.
// Transitional: the driver's readers will hold their own.
KeyReader& readernow();

void freadiv(const std::string& key, int n, int* values, int irw);
void freadi(const std::string& key, int n, int& value, int irw);
void freadrv(const std::string& key, int n, float* values, int irw);
void freadr(const std::string& key, int n, float& value, int irw);
// Each value is cut or blank-padded to `valuelen` characters.
void freadcv(const std::string& key, int n, std::string* values, int irw, int valuelen);
void freadc(const std::string& key, int n, std::string& value, int irw, int valuelen = kNameLength);

// Reads the next line whole and returns its first `width` characters (blank
// padded): the generating elements of the symmetry are read this way.
std::string freadln(const std::string& what, int width);

// True when `key` stands on the current line at or after the scan position:
// an optional key is read only when it is there.
bool keyonline(const std::string& key);

// The current line (without trailing blanks) and the 1-based scan position.
std::string getline_buffer();
int getscanpos();

// Length of s without trailing blanks.
int istrln(const std::string& s);
// s without its trailing blanks: its first istrln(s) characters.
std::string trim(const std::string& s);

}  // namespace trovan
