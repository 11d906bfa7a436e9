#include "reflections/fortran_format.hpp"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace trovan {

namespace {

// A format of this many steps after expanding the repeats is surely a typing
// error ("(99999(99999i4))"); refusing it keeps the expansion bounded.
constexpr std::size_t kMaxSteps = 100000;
constexpr long kMaxNumber = 100000;  // widths, repeats and columns
constexpr int kMaxDepth = 50;        // nesting of parenthesised groups

bool is_data(char op) { return op == 'I' || op == 'F' || op == 'E' || op == 'D' || op == 'G'; }

std::string quoted(const std::string& s) { return "'" + s + "'"; }

std::string trim_right(const std::string& s) {
  std::size_t n = s.size();
  while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\r' || s[n - 1] == '\n'))
    --n;
  return s.substr(0, n);
}

// Recursive-descent compiler. Blanks are insignificant in a format, so every
// look at the text skips them, except inside character constants.
class Compiler {
 public:
  Compiler(const std::string& text, InputFormat& fmt) : s_(text), fmt_(fmt) {}

  std::string run() {
    skip_blanks();
    if (!eat('(')) return fault("a format starts with '('");
    if (!list(0)) return err_;
    // Whatever follows the closing parenthesis has no effect, as in Fortran.
    return "";
  }

 private:
  const std::string& s_;
  InputFormat& fmt_;
  std::size_t p_ = 0;
  std::string err_;

  std::string fault(const std::string& why) {
    err_ = why + " at column " + std::to_string(p_ + 1);
    return err_;
  }
  bool fail(const std::string& why) {
    fault(why);
    return false;
  }
  void skip_blanks() {
    while (p_ < s_.size() && (s_[p_] == ' ' || s_[p_] == '\t')) ++p_;
  }
  char peek() {
    skip_blanks();
    return p_ < s_.size() ? static_cast<char>(std::toupper(static_cast<unsigned char>(s_[p_]))) : '\0';
  }
  bool eat(char c) {
    if (peek() != c) return false;
    ++p_;
    return true;
  }
  bool digit_next() { return std::isdigit(static_cast<unsigned char>(peek())) != 0; }
  // An unsigned number; blanks between its digits do not count.
  bool number(long& v) {
    if (!digit_next()) return false;
    v = 0;
    while (digit_next()) {
      v = v * 10 + (s_[p_++] - '0');
      if (v > kMaxNumber) return fail("number too large");
    }
    return true;
  }
  bool need_number(long& v, const char* what, long minimum) {
    if (!number(v)) return fail(std::string("missing ") + what);
    if (v < minimum) return fail(std::string(what) + " must be at least " + std::to_string(minimum));
    return true;
  }
  bool push(const FormatStep& st) {
    if (fmt_.steps.size() >= kMaxSteps) return fail("format too long");
    fmt_.steps.push_back(st);
    if (is_data(st.op)) fmt_.has_data = true;
    return true;
  }
  bool push_repeated(const FormatStep& st, long r) {
    for (long k = 0; k < r; ++k)
      if (!push(st)) return false;
    return true;
  }

  // Items up to and including the group's ")". Separators: a comma, which
  // may be left out next to "/" and ":" and after a kP scale factor.
  bool list(int depth) {
    bool need_sep = false;  // an item was read and no ',' followed yet
    bool after_item = false;
    for (;;) {
      char c = peek();
      if (c == '\0') return fail("missing ')'");
      if (c == ')') {
        ++p_;
        return true;
      }
      if (c == ',') {
        if (!after_item) return fail("misplaced ','");
        ++p_;
        need_sep = false;
        after_item = false;
        if (peek() == ')') return fail("',' before ')'");
        continue;
      }
      if (need_sep && c != '/' && c != ':') return fail("missing ','");
      bool sep_optional = false;
      if (!item(depth, sep_optional)) return false;
      need_sep = !sep_optional;
      after_item = true;
    }
  }

  bool item(int depth, bool& sep_optional) {
    bool signed_number = false, negative = false;
    if (peek() == '-' || peek() == '+') {
      signed_number = true;
      negative = s_[p_] == '-';
      ++p_;
      if (!digit_next()) return fail("a sign must be followed by a scale factor");
    }
    long r = 1;
    bool has_r = number(r);
    if (!err_.empty()) return false;
    char c = peek();
    if (c == '\0') return fail("missing ')'");
    if (signed_number && c != 'P') return fail("a signed number is only a scale factor (kP)");
    if (has_r && r == 0 && c != 'P') return fail("a repeat count must be positive");
    ++p_;
    switch (c) {
      case '(': {
        if (depth >= kMaxDepth) return fail("groups nested too deep");
        std::size_t first = fmt_.steps.size();
        if (!list(depth + 1)) return false;
        // Expand the remaining repeats by copying the steps of one pass.
        std::vector<FormatStep> once(fmt_.steps.begin() + static_cast<long>(first), fmt_.steps.end());
        for (long k = 1; k < r; ++k)
          for (const FormatStep& st : once)
            if (!push(st)) return false;
        if (depth == 0) fmt_.reversion = first;  // the last top-level group wins
        return true;
      }
      case 'I': {
        long w, m = 0;
        if (!need_number(w, "field width", 1)) return false;
        if (eat('.') && !need_number(m, "minimum digits", 0)) return false;
        return push_repeated({'I', static_cast<int>(w), 0, 0}, r);
      }
      case 'F':
      case 'E':
      case 'D':
      case 'G': {
        long w, d, e = 0;
        if (!need_number(w, "field width", 1)) return false;
        if (!eat('.')) return fail(std::string("missing '.d' after ") + c);
        if (!need_number(d, "decimal digits", 0)) return false;
        if (c != 'F' && peek() == 'E') {
          ++p_;
          if (!need_number(e, "exponent digits", 1)) return false;
        }
        return push_repeated({c, static_cast<int>(w), static_cast<int>(d), static_cast<int>(e)}, r);
      }
      case 'X':
        // nX: the number is the count of columns, not a repeat count; a bare
        // X is taken as 1X, as the usual compilers do.
        return push({'X', static_cast<int>(has_r ? r : 1), 0, 0});
      case 'T': {
        if (has_r) return fail("T takes no repeat count");
        char k = 'T';
        if (peek() == 'L' || peek() == 'R') {
          k = peek() == 'L' ? 'L' : 'R';
          ++p_;
        }
        long n;
        if (!need_number(n, k == 'T' ? "tab column" : "tab count", 1)) return false;
        return push({k, static_cast<int>(n), 0, 0});
      }
      case '/':
        sep_optional = true;
        return push_repeated({'/', 0, 0, 0}, r);
      case ':':
        if (has_r) return fail("':' takes no repeat count");
        sep_optional = true;
        return push({':', 0, 0, 0});
      case 'P':
        if (!has_r) return fail("P needs a scale factor (kP)");
        sep_optional = true;
        return push({'P', static_cast<int>(negative ? -r : r), 0, 0});
      case 'B': {
        char k = peek();
        if (has_r || (k != 'N' && k != 'Z')) return fail("expected BN or BZ");
        ++p_;
        return push({k == 'N' ? 'N' : 'Z', 0, 0, 0});
      }
      case 'S':
        // Sign control only matters for output.
        if (has_r) return fail("S takes no repeat count");
        if (peek() == 'P' || peek() == 'S') ++p_;
        return true;
      case '\'':
      case '"': {
        if (has_r) return fail("a character constant takes no repeat count");
        int len = 0;
        for (;;) {
          if (p_ >= s_.size()) return fail("unterminated character constant");
          if (s_[p_] == c) {
            if (p_ + 1 < s_.size() && s_[p_ + 1] == c) {
              p_ += 2;
              ++len;
              continue;
            }
            ++p_;
            break;
          }
          ++p_;
          ++len;
        }
        // On input a constant only occupies its columns.
        if (len > 0) return push({'X', len, 0, 0});
        return true;
      }
      case 'H': {
        if (!has_r || r < 1) return fail("H needs a positive character count");
        if (p_ + static_cast<std::size_t>(r) > s_.size()) return fail("H constant runs past the end");
        p_ += static_cast<std::size_t>(r);
        return push({'X', static_cast<int>(r), 0, 0});
      }
      default:
        --p_;
        return fail(std::string("edit descriptor '") + s_[p_] + "' cannot read a number");
    }
  }
};

// The characters of a field of width w at 0-based column `pos`. A line
// shorter than the format reads as if padded with blanks; the padding is not
// part of the field, so that BZ does not turn it into zeros. A comma inside
// the field ends it early.
std::string take_field(const std::string& line, std::size_t& pos, int w) {
  std::string f;
  for (std::size_t k = 0; k < static_cast<std::size_t>(w); ++k) {
    std::size_t c = pos + k;
    if (c >= line.size()) break;
    if (line[c] == ',') {
      pos += k + 1;
      return f;
    }
    f += line[c];
  }
  pos += static_cast<std::size_t>(w);
  return f;
}

// Leading blanks never count; other blanks vanish (BN) or become zeros (BZ).
std::string compact(const std::string& field, bool bz) {
  std::size_t i = 0;
  while (i < field.size() && field[i] == ' ') ++i;
  std::string c;
  for (; i < field.size(); ++i) {
    if (field[i] == ' ') {
      if (bz) c += '0';
    } else {
      c += field[i];
    }
  }
  return c;
}

bool digit(char ch) { return std::isdigit(static_cast<unsigned char>(ch)) != 0; }

}  // namespace

std::string compile_input_format(const std::string& text, InputFormat& fmt) {
  fmt = InputFormat{};
  fmt.text = trim_right(text);
  Compiler c(fmt.text, fmt);
  std::string why = c.run();
  if (!why.empty()) {
    fmt.steps.clear();
    return "invalid format, " + why + ": " + quoted(fmt.text);
  }
  for (std::size_t k = fmt.reversion; k < fmt.steps.size(); ++k)
    if (is_data(fmt.steps[k].op)) fmt.reversion_has_data = true;
  return "";
}

std::string describe_step(const FormatStep& s) {
  const std::string w = std::to_string(s.w);
  std::string t;
  switch (s.op) {
    case 'I': t.push_back('I'); t += w; break;
    case 'F':
    case 'E':
    case 'D':
    case 'G':
      t += s.op;
      t += w;
      t += '.';
      t += std::to_string(s.d);
      if (s.e > 0) {
        t += 'E';
        t += std::to_string(s.e);
      }
      break;
    case 'X': t += w; t.push_back('X'); break;
    case 'T': t.push_back('T'); t += w; break;
    case 'L': t.append("TL", 2); t += w; break;
    case 'R': t.append("TR", 2); t += w; break;
    case 'P': t += w; t.push_back('P'); break;
    case 'N': t.append("BN", 2); break;
    case 'Z': t.append("BZ", 2); break;
    default: t += s.op; break;
  }
  return t;
}

std::string parse_int_field(const std::string& field, bool bz, int& value) {
  std::string c = compact(field, bz);
  value = 0;
  if (c.empty()) return "";
  std::size_t i = 0;
  bool neg = false;
  if (c[0] == '+' || c[0] == '-') {
    neg = c[0] == '-';
    ++i;
  }
  if (i == c.size()) return "not an integer";
  long long v = 0;
  for (; i < c.size(); ++i) {
    if (!digit(c[i])) return "not an integer";
    v = v * 10 + (c[i] - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) return "integer out of range";
  }
  if (neg) v = -v;
  if (v > INT_MAX || v < INT_MIN) return "integer out of range";
  value = static_cast<int>(v);
  return "";
}

std::string parse_real_field(const std::string& field, int d, int scale, bool bz, double& value) {
  std::string c = compact(field, bz);
  value = 0;
  if (c.empty()) return "";
  std::size_t i = 0;
  std::string digits;
  bool neg = false, point = false;
  long after_point = 0;
  if (c[0] == '+' || c[0] == '-') {
    neg = c[0] == '-';
    ++i;
  }
  for (; i < c.size(); ++i) {
    if (digit(c[i])) {
      digits += c[i];
      if (point) ++after_point;
    } else if (c[i] == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (digits.empty()) return "not a number";
  // The exponent: a letter E, D or Q with an optional sign, or a bare sign.
  bool has_exp = false;
  long exp10 = 0;
  if (i < c.size()) {
    char l = static_cast<char>(std::toupper(static_cast<unsigned char>(c[i])));
    if (l == 'E' || l == 'D' || l == 'Q') ++i;
    else if (c[i] != '+' && c[i] != '-') return "not a number";
    bool eneg = false;
    if (i < c.size() && (c[i] == '+' || c[i] == '-')) {
      eneg = c[i] == '-';
      ++i;
    }
    if (i == c.size()) return "not a number";
    for (; i < c.size(); ++i) {
      if (!digit(c[i])) return "not a number";
      if (exp10 < 100000) exp10 = exp10 * 10 + (c[i] - '0');
    }
    if (eneg) exp10 = -exp10;
    has_exp = true;
  }
  // Without a decimal point the last d digits are the fraction; a scale
  // factor kP divides by 10^k only a number written without an exponent.
  long e = exp10 - (point ? after_point : d);
  if (!has_exp) e -= scale;
  std::string t = (neg ? "-" : "") + digits + "e" + std::to_string(e);
  double v = std::strtod(t.c_str(), nullptr);
  if (!std::isfinite(v)) return "number out of range";
  value = v;
  return "";
}

ReadStatus read_record(const InputFormat& fmt, const LineSource& next, int nint, int* ints,
                       int nreal, double* reals, std::string& message, std::string* beyond) {
  message.clear();
  if (beyond) beyond->clear();
  std::string line;
  if (!next(line)) return ReadStatus::end;
  if (!line.empty() && line.back() == '\r') line.pop_back();  // a file written on DOS
  const int nitems = nint + nreal;
  if (nitems > 0 && !fmt.has_data) {
    message = "the format has no edit descriptor for a number: " + quoted(fmt.text);
    return ReadStatus::error;
  }
  std::size_t pos = 0;  // 0-based column in the current line
  int pending = 0;      // line changes asked for and not yet needed
  int scale = 0;
  bool bz = false;
  int item = 0;
  std::size_t k = 0;
  std::size_t rest = fmt.steps.size();  // the steps the list left unused
  for (;;) {
    if (k == fmt.steps.size()) {
      if (item == nitems) break;
      if (!fmt.reversion_has_data) {
        message = "the repeated part of the format reads no number: " + quoted(fmt.text);
        return ReadStatus::error;
      }
      ++pending;
      pos = 0;
      k = fmt.reversion;
      continue;
    }
    const FormatStep& st = fmt.steps[k++];
    switch (st.op) {
      case 'X':
      case 'R': pos += static_cast<std::size_t>(st.w); break;
      case 'L': pos = pos > static_cast<std::size_t>(st.w) ? pos - static_cast<std::size_t>(st.w) : 0; break;
      case 'T': pos = static_cast<std::size_t>(st.w - 1); break;
      case '/':
        ++pending;
        pos = 0;
        break;
      case ':':
        if (item == nitems) {
          rest = k;
          goto done;
        }
        break;
      case 'P': scale = st.w; break;
      case 'N': bz = false; break;
      case 'Z': bz = true; break;
      default: {
        if (item == nitems) {
          rest = k - 1;
          goto done;
        }
        while (pending > 0) {
          std::string last = line;
          if (!next(line)) {
            message = "the file ends inside a record, after " + quoted(trim_right(last));
            return ReadStatus::error;
          }
          if (!line.empty() && line.back() == '\r') line.pop_back();
          --pending;
        }
        const bool want_int = item < nint;
        const bool is_int = st.op == 'I';
        if (want_int != is_int) {
          message = "item " + std::to_string(item + 1) + " is " + (want_int ? "an integer" : "a real") +
                    " but the format gives " + describe_step(st) + ": " + quoted(fmt.text);
          return ReadStatus::error;
        }
        std::size_t first = pos;
        std::string field = take_field(line, pos, st.w);
        std::string why;
        if (is_int) why = parse_int_field(field, bz, ints[item]);
        else why = parse_real_field(field, st.d, scale, bz, reals[item - nint]);
        if (!why.empty()) {
          message = why + " in the " + describe_step(st) + " field at column " + std::to_string(first + 1) +
                    ": " + quoted(field);
          return ReadStatus::error;
        }
        ++item;
      }
    }
  }
done:
  // The columns the format describes on the last item's line reach as far
  // as its unused descriptors before the next "/" take it: text after them
  // is in no field of the format.
  if (beyond && pending == 0 && nitems > 0) {
    std::size_t reach = pos;
    for (std::size_t j = rest; j < fmt.steps.size() && fmt.steps[j].op != '/'; ++j) {
      const FormatStep& st = fmt.steps[j];
      const std::size_t w = static_cast<std::size_t>(std::max(st.w, 0));
      if (st.op == 'X' || st.op == 'R' || st.op == 'I' || st.op == 'F' || st.op == 'E' || st.op == 'D' ||
          st.op == 'G')
        reach += w;
      else if (st.op == 'L')
        reach = reach > w ? reach - w : 0;
      else if (st.op == 'T')
        reach = w > 0 ? w - 1 : 0;
      pos = std::max(pos, reach);
    }
    *beyond = pos < line.size() ? trim_right(line.substr(pos)) : std::string();
  }
  // Line changes after the last item still consume lines, as far as there
  // are any: the next read starts after them.
  while (pending-- > 0)
    if (!next(line)) break;
  return ReadStatus::ok;
}

}  // namespace trovan
