// Support library: bounded strings, tokenizers, truth words, paths, the
// bounded formatter and the wildcard matcher.
#include "adt/lib.h"

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace adt;

namespace
{

// vsnprintf through a variadic front, as its callers reach it.
int fmt(char *buffer, unsigned int bfsz, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int r = adt::vsnprintf(buffer, bfsz, format, ap);
    va_end(ap);
    return r;
}

// A buffer of n bytes filled with a marker, to see which bytes were written.
struct Marked {
    char b[64];
    explicit Marked() { memset(b, '#', sizeof b); }
};

} // namespace

// --- Bounded formatter ---

TEST(Formatter, IntegersAndPadding)
{
    char b[10];
    EXPECT_EQ(fmt(b, 10, "%d", 42), 2);
    EXPECT_STREQ(b, "42");
    EXPECT_EQ(fmt(b, 10, "%05d", 7), 5);
    EXPECT_STREQ(b, "00007");
    EXPECT_EQ(fmt(b, 10, "%-4d|", -3), 5);
    EXPECT_STREQ(b, "-3  |");
    EXPECT_EQ(fmt(b, 10, "%x%X%o", 255, 255, 8), 6);
    EXPECT_STREQ(b, "ffFF10");
    EXPECT_EQ(fmt(b, 10, "%c%C", 'a', 'b'), 2);
    EXPECT_STREQ(b, "ab");
}

TEST(Formatter, StarWidthAndPrecision)
{
    char b[40];
    EXPECT_EQ(fmt(b, sizeof b, "[%*d]", 5, 42), 7);
    EXPECT_STREQ(b, "[   42]");
    EXPECT_EQ(fmt(b, sizeof b, "[%.*s]", 3, "abcdef"), 5);
    EXPECT_STREQ(b, "[abc]");
    EXPECT_EQ(fmt(b, sizeof b, "[%*.*f]", 8, 2, 3.14159), 10);
    EXPECT_STREQ(b, "[    3.14]");
    // The arguments after star values are still read in their places.
    EXPECT_EQ(fmt(b, sizeof b, "%*d,%s", 3, 1, "x"), 5);
    EXPECT_STREQ(b, "  1,x");
    // A literal width of more than one digit.
    EXPECT_EQ(fmt(b, sizeof b, "%12s|", "r"), 13);
    EXPECT_STREQ(b, "           r|");
}

TEST(Formatter, OtherConversions)
{
    char b[64];
    EXPECT_GT(fmt(b, sizeof b, "%e %g %E %G", 1.5, 2.5, 3.5, 4.5), 0);
    EXPECT_STREQ(b, "1.500000e+00 2.5 3.500000E+00 4.5");
    int dummy = 0;
    char expect[64];
    snprintf(expect, sizeof expect, "%p", static_cast<void *>(&dummy));
    EXPECT_EQ(fmt(b, sizeof b, "%p", static_cast<void *>(&dummy)),
              static_cast<int>(strlen(expect)));
    EXPECT_STREQ(b, expect);
    EXPECT_EQ(fmt(b, sizeof b, "%S", "up"), 2);
    EXPECT_STREQ(b, "up");
    EXPECT_EQ(fmt(b, sizeof b, "%ld %lu %lld %zu", -5L, 6UL, -7LL, static_cast<size_t>(8)), 9);
    EXPECT_STREQ(b, "-5 6 -7 8");
    EXPECT_EQ(fmt(b, sizeof b, "%ld|%d", LONG_MAX, 3), 21);
    EXPECT_STREQ(b, "9223372036854775807|3");
}

TEST(Formatter, NStoresTheCount)
{
    char b[20];
    int at = -1;
    EXPECT_EQ(fmt(b, sizeof b, "abc%nde", &at), 5);
    EXPECT_EQ(at, 3);
    EXPECT_STREQ(b, "abcde");
}

TEST(Formatter, NullStringAndPercent)
{
    char b[20];
    EXPECT_EQ(fmt(b, sizeof b, "%s", static_cast<const char *>(nullptr)), 6);
    EXPECT_STREQ(b, "(NULL)");
    // Width and precision are not applied to the null text, and it is cut too.
    EXPECT_EQ(fmt(b, sizeof b, "%10.2s|", static_cast<const char *>(nullptr)), 7);
    EXPECT_STREQ(b, "(NULL)|");
    EXPECT_EQ(fmt(b, 4, "%s", static_cast<const char *>(nullptr)), 3);
    EXPECT_STREQ(b, "(NU");
    EXPECT_EQ(fmt(b, sizeof b, "100%%"), 4);
    EXPECT_STREQ(b, "100%");
    EXPECT_EQ(fmt(b, sizeof b, "%%d%%%d", 1), 4);
    EXPECT_STREQ(b, "%d%1");
}

TEST(Formatter, NullBufferOrFormat)
{
    Marked m;
    EXPECT_EQ(fmt(nullptr, 10, "abc"), 0);
    EXPECT_EQ(fmt(m.b, 10, nullptr), 0);
    EXPECT_EQ(m.b[0], '#');
    EXPECT_EQ(lprintf(nullptr, 10, "abc"), 0);
    EXPECT_EQ(lprintf(m.b, 10, nullptr), 0);
    EXPECT_EQ(m.b[0], '#');
    // No capacity: nothing can be written, not even a terminator.
    EXPECT_EQ(lprintf(m.b, 0, "abc"), 0);
    EXPECT_EQ(lprintf(m.b, -5, "abc"), 0);
    EXPECT_EQ(m.b[0], '#');
    EXPECT_EQ(fmt(m.b, 0, "abc"), -1);
    EXPECT_EQ(m.b[0], '#');
}

TEST(Formatter, LiteralTextFillsBufferWithoutTerminator)
{
    Marked m;
    EXPECT_EQ(fmt(m.b, 4, "abcdef"), -1);
    EXPECT_EQ(std::string(m.b, 4), "abcd");
    EXPECT_EQ(m.b[4], '#');

    Marked l;
    EXPECT_EQ(lprintf(l.b, 4, "abcdef"), 3);
    EXPECT_STREQ(l.b, "abc");

    // Exactly bfsz - 1 characters fit with the terminator.
    Marked e;
    EXPECT_EQ(fmt(e.b, 4, "abc"), 3);
    EXPECT_STREQ(e.b, "abc");
    // Exactly bfsz characters do not.
    Marked f;
    EXPECT_EQ(fmt(f.b, 4, "abcd"), -1);
    EXPECT_EQ(f.b[4], '#');

    // A doubled percent sign that reaches the end counts as ordinary text.
    Marked p;
    EXPECT_EQ(fmt(p.b, 4, "abc%%"), -1);
    EXPECT_EQ(std::string(p.b, 4), "abc%");
}

TEST(Formatter, ConversionIsCutSoATerminatorFits)
{
    Marked m;
    EXPECT_EQ(fmt(m.b, 4, "%s", "abcdef"), 3);
    EXPECT_STREQ(m.b, "abc");
    EXPECT_EQ(m.b[4], '#');

    // One more literal character fills the last byte: -1, no terminator.
    Marked n;
    EXPECT_EQ(fmt(n.b, 4, "%s!", "abcdef"), -1);
    EXPECT_EQ(std::string(n.b, 4), "abc!");
    EXPECT_EQ(n.b[4], '#');

    // A later conversion adds nothing after a cut one.
    Marked c;
    EXPECT_EQ(fmt(c.b, 4, "%s%d", "abcdef", 12), 3);
    EXPECT_STREQ(c.b, "abc");

    // A number is cut the same way.
    Marked d;
    EXPECT_EQ(fmt(d.b, 5, "x%05d", 123), 4);
    EXPECT_STREQ(d.b, "x001");

    // Through lprintf: the cut conversion then a literal gives bfsz - 1.
    Marked l;
    EXPECT_EQ(lprintf(l.b, 4, "%s!", "abcdef"), 3);
    EXPECT_STREQ(l.b, "abc");
}

TEST(Formatter, PlainStringIsABoundedCopy)
{
    // A bare %s is copied directly; with width or precision it still goes
    // to the platform's formatter. Both cut the same way.
    Marked e;
    EXPECT_EQ(fmt(e.b, 4, "%s", "abc"), 3);
    EXPECT_STREQ(e.b, "abc");
    EXPECT_EQ(e.b[4], '#');
    char b[20];
    EXPECT_EQ(fmt(b, sizeof b, "[%s]", ""), 2);
    EXPECT_STREQ(b, "[]");
    EXPECT_EQ(fmt(b, sizeof b, "%s|%5s|%.2s", "ab", "ab", "xyz"), 11);
    EXPECT_STREQ(b, "ab|   ab|xy");
    Marked w;
    EXPECT_EQ(fmt(w.b, 4, "%5s", "ab"), 3);
    EXPECT_STREQ(w.b, "   ");
}

TEST(Formatter, UnfinishedConversionEndsTheText)
{
    char b[20];
    EXPECT_EQ(fmt(b, sizeof b, "ab%"), 2);
    EXPECT_STREQ(b, "ab");
    EXPECT_EQ(fmt(b, sizeof b, "ab%-05"), 2);
    EXPECT_STREQ(b, "ab");
}

TEST(Formatter, LongTextIsNotCutInAScratchArea)
{
    std::string big(900, 'q');
    char b[1000];
    EXPECT_EQ(fmt(b, sizeof b, "<%s>", big.c_str()), 902);
    EXPECT_EQ(std::string(b), "<" + big + ">");
    EXPECT_EQ(fmt(b, sizeof b, "%950d", 1), 950);
    EXPECT_EQ(b[948], ' ');
    EXPECT_EQ(b[949], '1');
}

TEST(Formatter, RotationName)
{
    char b[1000];
    EXPECT_EQ(lprintf(b, sizeof b, "%s.%05d%05d", "corvane.log", 12, 99999), 22);
    EXPECT_STREQ(b, "corvane.log.0001299999");
}

TEST(Formatter, ConversionRoutinesDirectly)
{
    // A helper that hands its own list on, as the formatter does.
    auto call = [](int (*fn)(va_list *, char *, int, const char *, int, int, int), char *out,
                   int space, const char *conv, int params, ...) {
        va_list ap;
        va_start(ap, params);
        int r = fn(&ap, out, space, conv, 6, 2, params);
        va_end(ap);
        return r;
    };
    char b[20];
    EXPECT_EQ(call(vsn_int, b, 3, "%d", 0, 12345), 2);
    EXPECT_STREQ(b, "12");
    EXPECT_EQ(call(vsn_int, b, sizeof b, "%*d", 1, 7), 6);
    EXPECT_STREQ(b, "     7");
    EXPECT_EQ(call(vsn_double, b, sizeof b, "%.*f", 2, 1.0), 4);
    EXPECT_STREQ(b, "1.00");
    EXPECT_EQ(call(vsn_string, b, 1, "%s", 0, "abc"), 0);
    EXPECT_STREQ(b, "");
    EXPECT_EQ(call(vsn_string, b, sizeof b, "%s", 0, static_cast<char *>(nullptr)), 6);
    EXPECT_STREQ(b, "(NULL)");
}

// --- Bounded copy and allocation ---

TEST(Scpy, Edges)
{
    Marked m;
    EXPECT_EQ(scpy(m.b, "abc", 1), 0);
    EXPECT_EQ(m.b[0], 0);
    EXPECT_EQ(m.b[1], '#');

    EXPECT_EQ(scpy(m.b, "abcdef", 4), 3);
    EXPECT_STREQ(m.b, "abc");
    EXPECT_EQ(scpy(m.b, "ab", 10), 2);
    EXPECT_STREQ(m.b, "ab");
    EXPECT_EQ(scpy(m.b, nullptr, 10), 0);
    EXPECT_STREQ(m.b, "");

    Marked n;
    EXPECT_EQ(scpy(n.b, "abc", 0), 0);
    EXPECT_EQ(scpy(n.b, "abc", -1), 0);
    EXPECT_EQ(n.b[0], '#');
    EXPECT_EQ(scpy(nullptr, "abc", 10), 0);

    // Copying a text onto itself leaves it as it was.
    char s[] = "self";
    EXPECT_EQ(scpy(s, s, sizeof s), 4);
    EXPECT_STREQ(s, "self");
}

TEST(Smake, Edges)
{
    char *r = smake("abcdef", 4);
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r, "abc");
    free(r);
    r = smake("ab", 100);
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r, "ab");
    free(r);
    r = smake("ab", 1);
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r, "");
    free(r);
    // The whole token of length n with n + 1.
    r = smake("token rest", 6);
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r, "token");
    free(r);
    EXPECT_EQ(smake("abc", 0), nullptr);
    EXPECT_EQ(smake(nullptr, 5), nullptr);
    // A huge capacity must not overflow the allocation size.
    r = smake("xy", UINT_MAX);
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r, "xy");
    free(r);

    r = s_strdup("dup");
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r, "dup");
    free(r);
    EXPECT_EQ(s_strdup(nullptr), nullptr);
}

// --- Comparison ---

TEST(Compare, Stricmp)
{
    EXPECT_EQ(s_stricmp("HELLO", "hello"), 0);
    EXPECT_EQ(s_stricmp("", ""), 0);
    EXPECT_EQ(s_stricmp(nullptr, nullptr), -1);
    EXPECT_EQ(s_stricmp("a", nullptr), -1);
    EXPECT_EQ(s_stricmp(nullptr, "a"), -1);
    EXPECT_LT(s_stricmp("abc", "abcd"), 0);
    EXPECT_GT(s_stricmp("abcd", "ABC"), 0);
    EXPECT_LT(s_stricmp("abc", "abd"), 0);
    // Only ASCII letters fold: '[' is not a folded '{', bytes above 127 stay.
    EXPECT_NE(s_stricmp("[", "{"), 0);
    EXPECT_NE(s_stricmp("\xc4", "\xe4"), 0);
    // The result is the folded difference: 'B' folds to 'b', above 'a'.
    EXPECT_EQ(s_stricmp("B", "a"), 'b' - 'a');
}

TEST(Compare, Strnicmp)
{
    EXPECT_EQ(s_strnicmp("DOMAIN\\user", "domain\\", 7), 0);
    EXPECT_EQ(s_strnicmp("abc", "ABD", 2), 0);
    EXPECT_NE(s_strnicmp("abc", "ABD", 3), 0);
    EXPECT_EQ(s_strnicmp("abc", "xyz", 0), 0);
    EXPECT_EQ(s_strnicmp("ab", "AB", 10), 0);
    // The end of the shorter text counts as a zero byte.
    EXPECT_LT(s_strnicmp("ab", "abc", 3), 0);
    EXPECT_GT(s_strnicmp("abc", "AB", 3), 0);
    EXPECT_EQ(s_strnicmp(nullptr, "a", 1), -1);
    EXPECT_EQ(s_strnicmp("a", nullptr, 0), -1);

    EXPECT_EQ(s_strncmp("abc", "abd", 2), 0);
    EXPECT_LT(s_strncmp("abc", "abd", 3), 0);
    EXPECT_NE(s_strncmp("abc", "ABC", 3), 0);
    EXPECT_EQ(s_strncmp(nullptr, "a", 1), -1);
}

// --- Tokenizers ---

TEST(Strtok, SkipsLeadingRunsAndConsumesOneSeparator)
{
    char line[] = "  word   second  ";
    char *upto = nullptr;
    char *t = s_strtok(line, " \t", &upto);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t, "word");
    // The empty set takes the rest unchanged.
    t = s_strtok(nullptr, "", &upto);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t, "  second  ");
    EXPECT_EQ(upto, nullptr);
    EXPECT_EQ(s_strtok(nullptr, " ", &upto), nullptr);
}

TEST(Strtok, WalksAllTokens)
{
    char line[] = ",,a,,b,c,,";
    char *upto = nullptr;
    std::string got;
    for (char *t = s_strtok(line, ",", &upto); t; t = s_strtok(nullptr, ",", &upto))
        got += std::string("[") + t + "]";
    EXPECT_EQ(got, "[a][b][c]");
}

TEST(Strtok, OnlySeparatorsAndNulls)
{
    char seps[] = " \t \t";
    char *upto = reinterpret_cast<char *>(1);
    EXPECT_EQ(s_strtok(seps, " \t", &upto), nullptr);
    // The position is left unchanged when no token is found.
    EXPECT_EQ(upto, reinterpret_cast<char *>(1));

    char empty[] = "";
    char *u = nullptr;
    EXPECT_EQ(s_strtok(empty, "", &u), nullptr);
    EXPECT_EQ(s_strtok(empty, nullptr, &u), nullptr);
    EXPECT_EQ(s_strtok(nullptr, " ", nullptr), nullptr);
    u = nullptr;
    EXPECT_EQ(s_strtok(nullptr, " ", &u), nullptr);

    // Without a position the token is still cut out.
    char one[] = "ab cd";
    char *t = s_strtok(one, " ", nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t, "ab");

    // The empty set at the start of a text returns all of it.
    char all[] = " x y ";
    u = nullptr;
    t = s_strtok(all, "", &u);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t, " x y ");
    EXPECT_EQ(u, nullptr);
}

TEST(Ssplit, SeparatorsAtTheEdgesAndInRuns)
{
    char *p[100];
    char a[] = "check  user ";
    ASSERT_EQ(ssplit(a, " \r\n", p, 100, 1), 2);
    EXPECT_STREQ(p[0], "check");
    EXPECT_STREQ(p[1], "user");

    char b[] = " word";
    ASSERT_EQ(ssplit(b, " \r\n", p, 100, 1), 2);
    EXPECT_STREQ(p[0], "");
    EXPECT_STREQ(p[1], "word");

    char c[] = "a,b,c";
    ASSERT_EQ(ssplit(c, ",", p, 2, 1), 2);
    EXPECT_STREQ(p[0], "a");
    EXPECT_STREQ(p[1], "b,c");

    char d[] = "a,,b";
    ASSERT_EQ(ssplit(d, ",", p, 100, 0), 3);
    EXPECT_STREQ(p[0], "a");
    EXPECT_STREQ(p[1], "");
    EXPECT_STREQ(p[2], "b");

    // A trailing run never yields an empty last token, with or without skipping.
    char e[] = "a,b,,,";
    ASSERT_EQ(ssplit(e, ",", p, 100, 1), 2);
    EXPECT_STREQ(p[1], "b");
    char f[] = "a,";
    ASSERT_EQ(ssplit(f, ",", p, 100, 0), 1);
    EXPECT_STREQ(p[0], "a");
    // With the limit reached, the last token keeps the rest, separators included.
    char g[] = "a  b  c ";
    ASSERT_EQ(ssplit(g, " ", p, 2, 1), 2);
    EXPECT_STREQ(p[1], "b  c ");
}

TEST(Ssplit, EmptyAndDegenerateInput)
{
    char *p[4] = {nullptr, nullptr, nullptr, nullptr};
    char empty[] = "";
    EXPECT_EQ(ssplit(empty, " ", p, 4, 1), 0);
    EXPECT_EQ(ssplit(nullptr, " ", p, 4, 1), 0);
    char a[] = "a b";
    EXPECT_EQ(ssplit(a, " ", p, 0, 1), 0);
    EXPECT_EQ(p[0], nullptr);
    // With the empty set nothing splits.
    ASSERT_EQ(ssplit(a, "", p, 4, 1), 1);
    EXPECT_STREQ(p[0], "a b");
    // Entries beyond the count are left as they were.
    EXPECT_EQ(p[1], nullptr);
    char s[] = "   ";
    ASSERT_EQ(ssplit(s, " ", p, 4, 1), 1);
    EXPECT_STREQ(p[0], "");
}

// --- Numbers, lines and truth words ---

TEST(Number, FormatsIntoSharedBuffer)
{
    EXPECT_STREQ(number(0), "0");
    EXPECT_STREQ(number(-2147483647 - 1), "-2147483648");
    char *a = number(5);
    char *b = number(6);
    EXPECT_EQ(a, b);
    EXPECT_STREQ(a, "6");
}

TEST(StripEol, CutsAtFirstCrOrLf)
{
    char a[] = "word \r\n";
    EXPECT_STREQ(strip_eol_r(a), "word ");
    char b[] = "a\nb\r";
    EXPECT_STREQ(strip_eol_r(b), "a");
    char c[] = "\t plain \t";
    EXPECT_STREQ(strip_eol_r(c), "\t plain \t");
}

TEST(Truth, TrueWords)
{
    for (const char *w : {"true", "TRUE", "yes", "YeS", "y", "Y", "on", "ON", "checked", "Selected",
                          "5", "-1", "2abc", " 7"})
        EXPECT_EQ(istrue(w), 1) << w;
    for (const char *w :
         {"0", "existing", "", "move_to", "false", "no", "yess", "tru", "a5", "0x5"})
        EXPECT_EQ(istrue(w), 0) << w;
    EXPECT_EQ(istrue(nullptr), 0);
}

TEST(Truth, FalseWords)
{
    for (const char *w : {"false", "FALSE", "no", "No", "n", "N", "off", "OFF", "oFf", "0", "-0",
                          "+0", "a0", "00", "0abc"})
        EXPECT_EQ(isfalse(w), 1) << w;
    // "a5": the second byte is a digit, the leading integer reads as zero.
    EXPECT_EQ(isfalse("a5"), 1);
    for (const char *w : {"existing", "", "7", "-1", "move_from", "nope", "offf", "ab0", "  0"})
        EXPECT_EQ(isfalse(w), 0) << w;
    EXPECT_EQ(isfalse(nullptr), 0);
}

TEST(Truth, NeitherTrueNorFalse)
{
    for (const char *w : {"existing", "move_to", "move_from", "", "maybe"}) {
        EXPECT_EQ(istrue(w), 0) << w;
        EXPECT_EQ(isfalse(w), 0) << w;
    }
}

// --- Paths and files ---

TEST(AttachPath, Joins)
{
    struct Case {
        const char *dir, *file, *want;
    } cases[] = {
        {"/var/corv", "corvane", "/var/corv/corvane"},
        {"/var/corv/", "corvane", "/var/corv/corvane"},
        {"/var/corv/", "/x", "/var/corv/x"},
        {"/var/corv", "/x", "/var/corv/x"},
        {"", "x", "x"},
        {"", "/x", "/x"},
        {"\\var\\corv", "sub\\x", "/var/corv/sub/x"},
        {"C:\\dir\\", "\\x", "C:/dir/x"},
        {"/var/corv", "", "/var/corv/"},
    };
    for (const Case &c : cases) {
        char b[100];
        scpy(b, c.dir, sizeof b);
        char *r = attach_path(b, c.file, sizeof b);
        ASSERT_EQ(r, b) << c.dir << " + " << c.file;
        EXPECT_STREQ(b, c.want) << c.dir << " + " << c.file;
    }
}

TEST(AttachPath, NullsAndEmpty)
{
    char b[20] = "a\\b";
    EXPECT_EQ(attach_path(b, nullptr, sizeof b), b);
    EXPECT_STREQ(b, "a/b");
    char e[20] = "";
    EXPECT_EQ(attach_path(e, nullptr, sizeof e), nullptr);
    EXPECT_EQ(attach_path(e, "", sizeof e), nullptr);
    EXPECT_EQ(attach_path(nullptr, "x", 10), nullptr);
    EXPECT_EQ(attach_path(b, "x", 0), nullptr);
}

TEST(AttachPath, StaysWithinBounds)
{
    // The directory alone fills the buffer.
    Marked m;
    memcpy(m.b, "abcdefghi", 10);
    EXPECT_EQ(attach_path(m.b, "file", 10), m.b);
    EXPECT_STREQ(m.b, "abcdefghi");
    EXPECT_EQ(m.b[10], '#');

    // The separator fits but nothing of the file.
    Marked n;
    memcpy(n.b, "abcdefgh", 9);
    EXPECT_EQ(attach_path(n.b, "file", 10), n.b);
    EXPECT_STREQ(n.b, "abcdefgh/");

    // Part of the file fits.
    Marked o;
    memcpy(o.b, "ab/", 4);
    EXPECT_EQ(attach_path(o.b, "/file", 6), o.b);
    EXPECT_STREQ(o.b, "ab/fi");
    EXPECT_EQ(o.b[6], '#');

    // A directory longer than the capacity is cut at capacity - 1.
    char p[] = "abcdefghijkl";
    EXPECT_EQ(attach_path(p, "x", 5), p);
    EXPECT_STREQ(p, "abcd");

    // No separator is ever doubled.
    char q[100] = "/a/";
    attach_path(q, "/b", sizeof q);
    EXPECT_EQ(std::string(q).find("//"), std::string::npos);
}

TEST(AttachExt, AppendsWithinBounds)
{
    char b[20] = "corvane";
    EXPECT_EQ(attach_ext(b, ".log", sizeof b), b);
    EXPECT_STREQ(b, "corvane.log");
    char c[8] = "corvane";
    EXPECT_EQ(attach_ext(c, ".ini", sizeof c), c);
    EXPECT_STREQ(c, "corvane");
    char d[10] = "corvane";
    EXPECT_EQ(attach_ext(d, ".ini", sizeof d), d);
    EXPECT_STREQ(d, "corvane.i");
    char e[10] = "";
    EXPECT_EQ(attach_ext(e, ".ini", sizeof e), e);
    EXPECT_STREQ(e, ".ini");
    EXPECT_EQ(attach_ext(nullptr, ".ini", 10), nullptr);
    EXPECT_EQ(attach_ext(b, ".ini", 0), nullptr);
}

TEST(Exename, BareName)
{
    char b[100];
    struct Case {
        const char *arg0, *want;
    } cases[] = {
        {"/usr/local/sbin/corvane", "corvane"},
        {"./corvane.bin", "corvane"},
        {"corvane", "corvane"},
        {"C:\\bin\\corvane.exe", "corvane"},
        {"dir/.hidden", ""},
        {"a.b.c", "a"},
        {"dir/", ""},
        {"", ""},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(exename(b, c.arg0, sizeof b), b) << c.arg0;
        EXPECT_STREQ(b, c.want) << c.arg0;
    }
    EXPECT_EQ(exename(b, "/x/longname", 5), b);
    EXPECT_STREQ(b, "long");
    EXPECT_EQ(exename(nullptr, "x", 10), nullptr);
    EXPECT_EQ(exename(b, nullptr, 10), nullptr);
}

TEST(Files, CurrentdirAndFopen)
{
    char b[4096];
    char want[4096];
    ASSERT_NE(getcwd(want, sizeof want), nullptr);
    EXPECT_EQ(currentdir(b, sizeof b), b);
    EXPECT_STREQ(b, want);
    EXPECT_EQ(currentdir(b, 1), nullptr);
    EXPECT_EQ(currentdir(nullptr, 10), nullptr);

    EXPECT_EQ(s_fopen(nullptr, "r"), nullptr);
    EXPECT_EQ(s_fopen("/dev/null", nullptr), nullptr);
    FILE *f = s_fopen("/dev/null", "r");
    ASSERT_NE(f, nullptr);
    s_fclose(&f);
    EXPECT_EQ(f, nullptr);
    s_fclose(&f);
    s_fclose(nullptr);
}

TEST(Sleep, WaitsAtLeastTheTime)
{
    auto t0 = std::chrono::steady_clock::now();
    my_msleep(30);
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_GE(ms, 29);
    my_msleep(0);
    my_msleep(-5);
}

// --- Wildcard matching ---

TEST(Wildcard, EmptyTextsAndStars)
{
    EXPECT_EQ(wmatch("", "", 1), 1);
    EXPECT_EQ(wmatch("a", "", 1), 0);
    EXPECT_EQ(wmatch("", "*", 1), 1);
    EXPECT_EQ(wmatch("", "**", 1), 1);
    EXPECT_EQ(wmatch("anything", "*", 1), 1);
    EXPECT_EQ(wmatch("anything", "**", 1), 1);
    EXPECT_EQ(wmatch("", "?", 1), 0);
    EXPECT_EQ(wmatch("", "*?", 1), 0);
    EXPECT_EQ(wmatch("", "a", 1), 0);
    EXPECT_EQ(wild_match("", "*"), 1);
    EXPECT_EQ(wild_match("", ""), 1);
    EXPECT_EQ(wild_match("x", ""), 0);
}

TEST(Wildcard, StarBetweenLetters)
{
    EXPECT_EQ(wild_match("ab", "a*b"), 1);
    EXPECT_EQ(wild_match("axyzb", "a*b"), 1);
    EXPECT_EQ(wild_match("abxb", "a*b"), 1);
    EXPECT_EQ(wild_match("abc", "a*b"), 0);
    EXPECT_EQ(wild_match("b", "a*b"), 0);
    EXPECT_EQ(wild_match("abcabd", "*ab?"), 1);
    EXPECT_EQ(wild_match("mississippi", "m*iss*ppi"), 1);
    EXPECT_EQ(wild_match("mississippi", "m*iss*ppx"), 0);
}

TEST(Wildcard, QuestionMark)
{
    EXPECT_EQ(wild_match("xa", "*?a"), 1);
    EXPECT_EQ(wild_match("long text a", "*?a"), 1);
    EXPECT_EQ(wild_match("a", "*?a"), 0);
    EXPECT_EQ(wild_match("ab", "*?a"), 0);
    EXPECT_EQ(wild_match("axb", "a?b"), 1);
    EXPECT_EQ(wild_match("ab", "a?b"), 0);
    EXPECT_EQ(wild_match("axxb", "a?b"), 0);
    EXPECT_EQ(wild_match("?", "?"), 1);
    EXPECT_EQ(wild_match("*", "?"), 1);
}

TEST(Wildcard, CaseAndOrdinaryBytes)
{
    EXPECT_EQ(wild_match("ABC", "abc"), 0);
    EXPECT_EQ(wild_match("ABC", "a*"), 0);
    EXPECT_EQ(wmatch("ABC", "abc", 0), 1);
    EXPECT_EQ(wmatch("AbC", "a?c", 0), 1);
    EXPECT_EQ(wmatch("\xc4", "\xe4", 0), 0);
    // No classes and no escapes.
    EXPECT_EQ(wild_match("[ab]", "[ab]"), 1);
    EXPECT_EQ(wild_match("a", "[ab]"), 0);
    EXPECT_EQ(wild_match("x[", "*["), 1);
    EXPECT_EQ(wild_match("a\\b", "a\\b"), 1);
    EXPECT_EQ(wild_match("a\\*", "a\\*"), 1);
    EXPECT_EQ(wild_match("a\\xyz", "a\\*"), 1);
    EXPECT_EQ(wild_match("a*", "a\\*"), 0);
    EXPECT_EQ(wild_match("10.0.0.1", "10.0.*"), 1);
    EXPECT_EQ(wild_match("10.0.0.1", "10.1.*"), 0);
}

TEST(Wildcard, Nulls)
{
    EXPECT_EQ(wmatch(nullptr, "*", 1), 0);
    EXPECT_EQ(wmatch("a", nullptr, 1), 0);
    EXPECT_EQ(wild_match(nullptr, "*"), 0);
    EXPECT_EQ(wild_match("a", nullptr), 0);
    EXPECT_EQ(wild_list(nullptr, "*"), 0);
    EXPECT_EQ(wild_list("a", nullptr), 0);
}

TEST(Wildcard, ManyStarsAgainstLongTextFinish)
{
    // A backtracking matcher without care takes astronomically long here;
    // the test only needs the answers, which must arrive at all.
    std::string text(999, 'a');
    std::string fail_pattern;
    for (int i = 0; i < 40; i++) fail_pattern += "a*";
    fail_pattern += "b";
    EXPECT_EQ(wild_match(text.c_str(), fail_pattern.c_str()), 0);
    std::string ok_pattern;
    for (int i = 0; i < 40; i++) ok_pattern += "*a";
    ok_pattern += "*";
    EXPECT_EQ(wild_match(text.c_str(), ok_pattern.c_str()), 1);
    std::string q_pattern;
    for (int i = 0; i < 40; i++) q_pattern += "*?";
    EXPECT_EQ(wild_match(text.c_str(), (q_pattern + "b").c_str()), 0);
    EXPECT_EQ(wild_match(text.c_str(), q_pattern.c_str()), 1);
    EXPECT_EQ(wild_match(std::string(39, 'a').c_str(), q_pattern.c_str()), 0);
}

TEST(WildList, Separators)
{
    EXPECT_EQ(wild_list("10.0.0.1", "192.168.*, 10.*"), 1);
    EXPECT_EQ(wild_list("192.168.4.4", "192.168.*, 10.*"), 1);
    EXPECT_EQ(wild_list("172.16.0.1", "192.168.*, 10.*"), 0);
    EXPECT_EQ(wild_list("", "192.168.*, 10.*"), 0);
    EXPECT_EQ(wild_list("", "*"), 0);
    EXPECT_EQ(wild_list("", ""), 0);
    EXPECT_EQ(wild_list("1.2.3.4", "*"), 1);
    EXPECT_EQ(wild_list("1.2.3.4", " ,\t"), 0);
    EXPECT_EQ(wild_list(" ,\t", "*"), 0);
    // Items and patterns are whole: the separators belong to neither.
    EXPECT_EQ(wild_list("ab cd", "ab"), 1);
    EXPECT_EQ(wild_list("ab cd", "cd"), 1);
    EXPECT_EQ(wild_list("ab cd", "ab?cd"), 0);
    EXPECT_EQ(wild_list("ab,cd", "b*"), 0);
    EXPECT_EQ(wild_list("\t, x ,\t", ",, x,,"), 1);
    EXPECT_EQ(wild_list("x", "\ty\t,\tx\t"), 1);
    EXPECT_EQ(wild_list("X", "x"), 0);
}
