// Formatted input as a Fortran runtime reads it: the layouts of real
// reflection files, the numeric field rules, format reversion, and the
// refusals of a bad format or a field that is not a number.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "reflections/fortran_format.hpp"
#include "util/fortran_fmt.hpp"

using namespace trovan;

namespace {

// A file given as its lines; counts how many were taken.
struct Lines {
  std::vector<std::string> lines;
  std::size_t next = 0;
  LineSource source() {
    return [this](std::string& l) {
      if (next >= lines.size()) return false;
      l = lines[next++];
      return true;
    };
  }
};

InputFormat compiled(const std::string& text) {
  InputFormat f;
  std::string why = compile_input_format(text, f);
  EXPECT_EQ(why, "") << text;
  return f;
}

struct Record {
  ReadStatus status;
  std::vector<int> ints;
  std::vector<double> reals;
  std::string message;
};

Record read_one(const InputFormat& f, Lines& file, int nint, int nreal) {
  Record r;
  r.ints.assign(nint, -12345);
  r.reals.assign(nreal, -12345.0);
  r.status = read_record(f, file.source(), nint, r.ints.data(), nreal, r.reals.data(), r.message);
  return r;
}

Record read_text(const std::string& fmt, std::vector<std::string> lines, int nint, int nreal) {
  Lines file{std::move(lines)};
  return read_one(compiled(fmt), file, nint, nreal);
}

double real_of(const std::string& fmt, const std::string& line) {
  Record r = read_text(fmt, {line}, 0, 1);
  EXPECT_EQ(r.status, ReadStatus::ok) << fmt << " " << line << " " << r.message;
  return r.reals[0];
}

int int_of(const std::string& fmt, const std::string& line) {
  Record r = read_text(fmt, {line}, 1, 0);
  EXPECT_EQ(r.status, ReadStatus::ok) << fmt << " " << line << " " << r.message;
  return r.ints[0];
}

std::string quote(const std::string& s) {
  std::string q(1, '\'');
  q += s;
  q.push_back('\'');
  return q;
}

std::string error_of(const std::string& fmt, std::vector<std::string> lines, int nint, int nreal) {
  Record r = read_text(fmt, std::move(lines), nint, nreal);
  EXPECT_EQ(r.status, ReadStatus::error) << fmt;
  return r.message;
}

}  // namespace

// What the program's own Fortran editing writes in a layout reads back as the
// same numbers with the matching format, for each layout users have.
TEST(FortranFormat, WrittenRecordsReadBackInEveryLayout) {
  const int h[6] = {3, -2, 0, 11, -7, 999};
  const double v[4] = {1234.56, -0.25, 179.99, 3.5};
  struct Layout {
    std::string fmt;
    int nint, iw, nreal, rw, rd;
    std::string gap;
  };
  for (const Layout& L : {Layout{"(6i4,3f10.2)", 6, 4, 3, 10, 2, ""},
                          Layout{"(5i4,4f10.3)", 5, 4, 4, 10, 3, ""},
                          Layout{"(6I3,2X,4F9.2)", 6, 3, 4, 9, 2, "##"}}) {
    std::string line;
    for (int i = 0; i < L.nint; ++i) line += fmt_i(h[i], L.iw);
    line += L.gap;  // columns the format skips may hold anything
    for (int i = 0; i < L.nreal; ++i) line += fmt_f(v[i], L.rw, L.rd);
    Record r = read_text(L.fmt, {line}, L.nint, L.nreal);
    ASSERT_EQ(r.status, ReadStatus::ok) << L.fmt << ": " << r.message;
    for (int i = 0; i < L.nint; ++i) EXPECT_EQ(r.ints[i], h[i]) << L.fmt;
    for (int i = 0; i < L.nreal; ++i) EXPECT_NEAR(r.reals[i], v[i], 0.5 * std::pow(10.0, -L.rd)) << L.fmt;
  }
}

TEST(FortranFormat, GroupsWithRepeatAndEEditing) {
  const double v[4] = {1.2345e-3, -98765.0, 0.5, 7.0};
  std::string line = "  1 -2  3  4 -5  6";
  for (double x : v) line += fmt_e(x, 12, 4);
  Record r = read_text("(3(2i3),4e12.4)", {line}, 6, 4);
  ASSERT_EQ(r.status, ReadStatus::ok) << r.message;
  EXPECT_EQ(r.ints, (std::vector<int>{1, -2, 3, 4, -5, 6}));
  // Four significant digits were written.
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(r.reals[i], v[i], 5e-4 * std::fabs(v[i]));
}

TEST(FortranFormat, SlashTakesTheNextLineForEachRecord) {
  InputFormat f = compiled("(6i4/3f10.2)");
  Lines file{{"   1   2   3   4   5   6", "     10.00     20.00     30.00", "  -1  -2  -3  -4  -5  -6",
              "      1.50      2.50      3.50"}};
  Record a = read_one(f, file, 6, 3);
  Record b = read_one(f, file, 6, 3);
  Record c = read_one(f, file, 6, 3);
  ASSERT_EQ(a.status, ReadStatus::ok);
  ASSERT_EQ(b.status, ReadStatus::ok);
  EXPECT_EQ(c.status, ReadStatus::end);
  EXPECT_EQ(a.ints, (std::vector<int>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(a.reals, (std::vector<double>{10, 20, 30}));
  EXPECT_EQ(b.ints, (std::vector<int>{-1, -2, -3, -4, -5, -6}));
  EXPECT_EQ(b.reals, (std::vector<double>{1.5, 2.5, 3.5}));
}

TEST(FortranFormat, FileEndingInsideARecordIsAnError) {
  std::string m = error_of("(6i4/3f10.2)", {"   1   2   3   4   5   6"}, 6, 3);
  EXPECT_NE(m.find("ends inside a record"), std::string::npos) << m;
}

TEST(FortranFormat, EachRecordTakesAtLeastOneLine) {
  // The rest of a line after the list is done is not read by the next record.
  InputFormat f = compiled("(i4)");
  Lines file{{"   1   2", "   3"}};
  EXPECT_EQ(read_one(f, file, 1, 0).ints[0], 1);
  EXPECT_EQ(read_one(f, file, 1, 0).ints[0], 3);
  // A trailing slash is obeyed after the last item: one extra line per record.
  InputFormat g = compiled("(i4/)");
  Lines file2{{"   1", "skip", "   2", "skip"}};
  EXPECT_EQ(read_one(g, file2, 1, 0).ints[0], 1);
  EXPECT_EQ(read_one(g, file2, 1, 0).ints[0], 2);
  EXPECT_EQ(read_one(g, file2, 1, 0).status, ReadStatus::end);
}

TEST(FortranFormat, ImpliedDecimalPoint) {
  EXPECT_DOUBLE_EQ(real_of("(f6.2)", "  1234"), 12.34);
  EXPECT_DOUBLE_EQ(real_of("(f6.2)", "   -5"), -0.05);
  EXPECT_DOUBLE_EQ(real_of("(f6.0)", "  1234"), 1234.0);
  EXPECT_DOUBLE_EQ(real_of("(e8.3)", "   12345"), 12.345);
  EXPECT_DOUBLE_EQ(real_of("(d8.1)", "   12345"), 1234.5);
  EXPECT_DOUBLE_EQ(real_of("(g8.2)", "   12345"), 123.45);
  // A written point overrides d.
  EXPECT_DOUBLE_EQ(real_of("(f6.2)", "  12.5"), 12.5);
  EXPECT_DOUBLE_EQ(real_of("(f6.4)", "    3."), 3.0);
  // The implied point also applies to the mantissa of an exponent form.
  EXPECT_DOUBLE_EQ(real_of("(f8.2)", "  1234E2"), 1234.0);
}

TEST(FortranFormat, BlanksInNumericFields) {
  EXPECT_DOUBLE_EQ(real_of("(f10.2)", "          "), 0.0);
  EXPECT_EQ(int_of("(i4)", "    "), 0);
  EXPECT_EQ(int_of("(i5)", " 1 2 "), 12);
  EXPECT_EQ(int_of("(i4)", "-  3"), -3);
  EXPECT_DOUBLE_EQ(real_of("(f7.2)", " 1 2 34"), 12.34);
  // BZ reads blanks after the first non-blank as zeros; BN restores.
  EXPECT_EQ(int_of("(bz,i4)", " 12 "), 120);
  EXPECT_EQ(int_of("(bz,bn,i4)", " 12 "), 12);
  EXPECT_DOUBLE_EQ(real_of("(bz,f6.2)", " 12   "), 120.0);
  // Blanks that only pad a short line are not zeros.
  EXPECT_DOUBLE_EQ(real_of("(bz,f6.2)", " 12"), 0.12);
}

TEST(FortranFormat, ShortLinesArePaddedWithBlanks) {
  Record r = read_text("(6i4,3f10.2)", {"   1   2"}, 6, 3);
  ASSERT_EQ(r.status, ReadStatus::ok) << r.message;
  EXPECT_EQ(r.ints, (std::vector<int>{1, 2, 0, 0, 0, 0}));
  EXPECT_EQ(r.reals, (std::vector<double>{0, 0, 0}));
  Record e = read_text("(6i4,3f10.2)", {""}, 6, 3);
  ASSERT_EQ(e.status, ReadStatus::ok);
  EXPECT_EQ(e.ints, (std::vector<int>(6, 0)));
  // A field cut by the end of the line reads what is there.
  EXPECT_DOUBLE_EQ(real_of("(f10.2)", "   1.5"), 1.5);
  EXPECT_DOUBLE_EQ(real_of("(f10.2)", "   15"), 0.15);
  // Carriage returns of files written on another system are not data.
  EXPECT_EQ(int_of("(i4)", "  12\r"), 12);
}

TEST(FortranFormat, ExponentForms) {
  EXPECT_DOUBLE_EQ(real_of("(f10.2)", "    1.5E3"), 1500.0);
  EXPECT_DOUBLE_EQ(real_of("(f10.2)", "    1.5e-3"), 1.5e-3);
  EXPECT_DOUBLE_EQ(real_of("(f10.2)", "    1.5D+3"), 1500.0);
  EXPECT_DOUBLE_EQ(real_of("(f10.2)", "    1.5d03"), 1500.0);
  EXPECT_DOUBLE_EQ(real_of("(f10.2)", "     1.5-3"), 1.5e-3);
  EXPECT_DOUBLE_EQ(real_of("(f10.2)", "     1.5+3"), 1500.0);
  EXPECT_DOUBLE_EQ(real_of("(e12.4)", " -0.1234E+02"), -12.34);
  EXPECT_DOUBLE_EQ(real_of("(e12.4e3)", " 0.1234E-003"), 1.234e-4);
  EXPECT_DOUBLE_EQ(real_of("(f10.2)", "      15-4"), 1.5e-5);
}

TEST(FortranFormat, ScaleFactorOnlyWithoutExponent) {
  EXPECT_DOUBLE_EQ(real_of("(2pf6.2)", "  1234"), 0.1234);
  EXPECT_DOUBLE_EQ(real_of("(2p,f8.2)", "  12.0E1"), 120.0);
  EXPECT_DOUBLE_EQ(real_of("(-1pf6.2)", "  1.25"), 12.5);
}

TEST(FortranFormat, PositionEditing) {
  Record r = read_text("(t5,i2,tl4,i2,tr1,i1,1x,i1)", {"1234567890"}, 4, 0);
  ASSERT_EQ(r.status, ReadStatus::ok) << r.message;
  EXPECT_EQ(r.ints, (std::vector<int>{56, 34, 6, 8}));
  // TL never goes left of the first column.
  Record s = read_text("(i2,tl9,i3)", {"12345"}, 2, 0);
  EXPECT_EQ(s.ints, (std::vector<int>{12, 123}));
}

TEST(FortranFormat, CommaEndsAFieldEarly) {
  Record r = read_text("(3i4,f8.2)", {"1,-22,3,4.5"}, 3, 1);
  ASSERT_EQ(r.status, ReadStatus::ok) << r.message;
  EXPECT_EQ(r.ints, (std::vector<int>{1, -22, 3}));
  EXPECT_DOUBLE_EQ(r.reals[0], 4.5);
}

TEST(FortranFormat, ReversionToTheLastTopLevelGroup) {
  // Two more reals than the format gives: each takes a new line and the
  // group (f8.2) again.
  Lines file{{"   7    1.00", "    2.00", "    3.00", "   8    4.00"}};
  InputFormat f = compiled("(i4,(f8.2))");
  Record r = read_one(f, file, 1, 3);
  ASSERT_EQ(r.status, ReadStatus::ok) << r.message;
  EXPECT_EQ(r.ints[0], 7);
  EXPECT_EQ(r.reals, (std::vector<double>{1, 2, 3}));
  Record n = read_one(f, file, 1, 1);
  EXPECT_EQ(n.ints[0], 8);
  // The group's repeat count is part of what is repeated; a later top-level
  // group wins over an earlier one, and a group nested inside does not count.
  InputFormat g = compiled("(i2,2(f2.0,(f1.0)),f4.0)");
  Lines file2{{" 71234567890", "1123345555"}};
  Record s = read_one(g, file2, 1, 10);
  ASSERT_EQ(s.status, ReadStatus::ok) << s.message;
  EXPECT_EQ(s.ints[0], 7);
  EXPECT_EQ(s.reals, (std::vector<double>{12, 3, 45, 6, 7890, 11, 2, 33, 4, 5555}));
  // Without any group the whole format is taken again.
  Lines file3{{"1.5", "2.5", "3.5"}};
  Record t = read_one(compiled("(f3.1)"), file3, 0, 3);
  EXPECT_EQ(t.reals, (std::vector<double>{1.5, 2.5, 3.5}));
}

TEST(FortranFormat, ColonStopsBeforeFurtherPositioning) {
  InputFormat f = compiled("(i2,:,/,i2)");
  Lines file{{" 1", " 2"}};
  EXPECT_EQ(read_one(f, file, 1, 0).ints[0], 1);
  EXPECT_EQ(read_one(f, file, 1, 0).ints[0], 2);
}

TEST(FortranFormat, CaseAndBlanksInTheFormatText) {
  Record r = read_text(" ( 2 I 4 , 1 f 1 0 . 2 )   ", {"   1   2      3.25"}, 2, 1);
  ASSERT_EQ(r.status, ReadStatus::ok) << r.message;
  EXPECT_EQ(r.ints, (std::vector<int>{1, 2}));
  EXPECT_DOUBLE_EQ(r.reals[0], 3.25);
}

TEST(FortranFormat, TextAfterTheClosingParenthesisHasNoEffect) {
  Record r = read_text("(2i4)  file of 1999", {"   1   2"}, 2, 0);
  ASSERT_EQ(r.status, ReadStatus::ok) << r.message;
  EXPECT_EQ(r.ints, (std::vector<int>{1, 2}));
}

TEST(FortranFormat, DeepNestingIsRefusedNotOverflowed) {
  InputFormat f;
  EXPECT_NE(compile_input_format(std::string(5000, '(') + "i4" + std::string(5000, ')'), f), "");
  EXPECT_EQ(compile_input_format("((((i4))))", f), "");
}

TEST(FortranFormat, CharacterConstantsOnlySkipColumns) {
  EXPECT_EQ(read_text("(i2,'ab',i2)", {" 1xx 2"}, 2, 0).ints, (std::vector<int>{1, 2}));
  EXPECT_EQ(read_text("(i2,'a''b',i2)", {" 1xxx 2"}, 2, 0).ints, (std::vector<int>{1, 2}));
  EXPECT_EQ(read_text("(i2,2h,),i2)", {" 1xx 2"}, 2, 0).ints, (std::vector<int>{1, 2}));
}

TEST(FortranFormat, InvalidFormatsAreRefusedWithTheirText) {
  for (const char* bad : {"6i4,3f10.2", "(6i4,3f10.2", "(6i4,3f10)", "(6i4,,3f10.2)", "(6a4,3f10.2)",
                          "(0i4)", "(6i4 3f10.2)", "(i)", "(f10.2,)", "(t0,i4)",
                          "(3(2i3,4e12.4)", "(-2i4)", "(i4,'abc)", "(99999(99999i4))", "(6i4,3q10.2)",
                          "(2t5,i4)", ""}) {
    InputFormat f;
    std::string why = compile_input_format(bad, f);
    EXPECT_NE(why, "") << bad;
    EXPECT_NE(why.find(quote(bad)), std::string::npos) << why;
    EXPECT_TRUE(f.steps.empty()) << bad;
  }
}

TEST(FortranFormat, FieldsThatAreNotNumbers) {
  for (const char* bad : {"  ab", "1.2.", "1.5E", "--1 ", "12a ", "  + ", "1e5x", " .  "}) {
    std::string m = error_of("(f4.1)", {bad}, 0, 1);
    EXPECT_NE(m.find(quote(bad)), std::string::npos) << m;
    EXPECT_NE(m.find("F4.1"), std::string::npos) << m;
  }
  for (const char* bad : {"  1.", "1e2 ", "  x1", "  - ", " 1-2"}) {
    std::string m = error_of("(i4)", {bad}, 1, 0);
    EXPECT_NE(m.find(quote(bad)), std::string::npos) << m;
  }
  EXPECT_NE(error_of("(i12)", {" 99999999999"}, 1, 0).find("out of range"), std::string::npos);
  EXPECT_NE(error_of("(f12.2)", {"   1.0E99999"}, 0, 1).find("out of range"), std::string::npos);
  // The column of the bad field is named.
  EXPECT_NE(error_of("(2i4)", {"   1  x2"}, 2, 0).find("column 5"), std::string::npos);
}

TEST(FortranFormat, TypeMismatchIsAnError) {
  EXPECT_NE(error_of("(2i4,f8.2)", {"   1   2    3.00"}, 3, 0).find("item 3 is an integer"),
            std::string::npos);
  EXPECT_NE(error_of("(i4,i8)", {"   1       2"}, 1, 1).find("item 2 is a real"), std::string::npos);
  // A Fourier-layout format for a MEM record: the fourth real meets the
  // indices' descriptor after reversion.
  Lines file{{"   1   2   3   4   5   6      1.00      2.00      3.00", "   1"}};
  Record r = read_one(compiled("(6i4,3f10.2)"), file, 6, 4);
  EXPECT_EQ(r.status, ReadStatus::error);
  EXPECT_NE(r.message.find("item 10 is a real but the format gives I4"), std::string::npos) << r.message;
}

TEST(FortranFormat, FormatsWithoutNumbersNeverLoop) {
  EXPECT_EQ(read_text("(4x)", {"abcd"}, 1, 0).status, ReadStatus::error);
  EXPECT_EQ(read_text("(i4,(2x))", {"   1", "   2"}, 2, 0).status, ReadStatus::error);
}

TEST(FortranFormat, EndOfFileBeforeARecord) {
  Lines empty;
  EXPECT_EQ(read_one(compiled("(6i4,3f10.2)"), empty, 6, 3).status, ReadStatus::end);
}
