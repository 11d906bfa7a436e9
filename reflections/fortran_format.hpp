// Fortran FORMAT interpreter for formatted input.
//
// Reflection files come from other crystallographic programs in fixed
// columns, and the user describes their layout with a Fortran FORMAT
// ("(6i4,3f10.2)", "(3(2i3),4e12.4)", "(6i4/3f10.2)"). A file must read here
// exactly as a Fortran runtime reads it, so the interpreter follows the rules
// of formatted input:
//
// - edit descriptors Iw[.m], Fw.d, Ew.d[Ee], Dw.d, Gw.d[Ee], nX, Tc, TLn,
//   TRn, "/" (with an optional repeat), ":", kP, BN, BZ, S, SP, SS; repeat
//   counts on descriptors and on parenthesised groups, nested; letters in
//   either case; blanks anywhere in the format text are insignificant;
//   character constants ('...', "...", nH...) are accepted and skip their
//   length in the record;
// - format reversion: when the list is longer than the format, the next line
//   is taken and control returns to the last top-level group (with its
//   repeat count), or to the start when there is none;
// - numeric fields: leading blanks never count; other blanks are ignored
//   (BN, the default) or read as zeros (BZ); an all-blank field is zero; an
//   F/E/D/G field without a decimal point has one implied d digits from the
//   right ("  1234" with F6.2 is 12.34); the exponent may start with E, D, Q
//   or just with its sign ("1.5-3"); a comma ends a field early;
// - a line shorter than the format reads as if padded with blanks;
// - after the last list item, position descriptors and slashes up to the
//   next data descriptor are still obeyed, and the read always finishes its
//   current line: every record takes at least one line.
//
// Nothing here throws: an invalid format or a field that is not a number
// comes back as a one-line reason naming the offending text, so that the
// caller can stop the run naming the record.
#pragma once
#include <functional>
#include <string>
#include <vector>

namespace trovan {

// One step of a compiled format with every repeat count expanded.
//   'I','F','E','D','G'  data descriptors (w, d, e; e = 0 when not given)
//   'X' skip w columns, 'T' go to column w (1-based), 'L' back w, 'R' on w
//   '/' next line, ':' stop when the list is done, 'P' scale factor w,
//   'N' blanks ignored (BN), 'Z' blanks read as zeros (BZ)
struct FormatStep {
  char op = 0;
  int w = 0, d = 0, e = 0;
};

struct InputFormat {
  std::string text;               // the format as given, for messages
  std::vector<FormatStep> steps;  // the whole format, repeats expanded
  std::size_t reversion = 0;      // where control returns at the final ")"
  bool has_data = false;          // any data descriptor at all
  bool reversion_has_data = false;
};

// Compiles `text` (trailing blanks allowed) into `fmt`. Returns "" on
// success, otherwise the reason and the offending text.
std::string compile_input_format(const std::string& text, InputFormat& fmt);

// The descriptor as a Fortran programmer writes it ("F10.2", "I4", "E12.4E3").
std::string describe_step(const FormatStep& s);

// Supplies the next line of the file (without its newline); false at end of
// file.
using LineSource = std::function<bool(std::string& line)>;

enum class ReadStatus { ok, end, error };

// Reads one record: `nint` integers then `nreal` reals, as one Fortran READ
// statement with this format does. `end` when the file ends before the
// record starts; `error` with `message` set for a field that is not a number
// of its kind, an integer item meeting a real descriptor or the other way
// round (a Fortran runtime refuses that too), or a file that ends inside a
// record.
// When `beyond` is given, it receives the text (trailing blanks dropped)
// that stands on the record's last line after the last field read: columns
// the format leaves out, or a format narrower than the file's columns.
ReadStatus read_record(const InputFormat& fmt, const LineSource& next, int nint, int* ints,
                       int nreal, double* reals, std::string& message, std::string* beyond = nullptr);

// The numeric field rules on their own (blank mode BN when `bz` is false;
// `scale` is the current kP factor). Return "" or the reason.
std::string parse_int_field(const std::string& field, bool bz, int& value);
std::string parse_real_field(const std::string& field, int d, int scale, bool bz, double& value);

}  // namespace trovan
