// Support library: bounded strings, tokenizers, truth words, paths, the
// bounded formatter and the wildcard matcher.
#include "adt/lib.h"

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

using namespace adt;

namespace
{

// A buffer filled with a marker, to see which bytes were written.
struct Marked {
    char b[64];
    explicit Marked() { memset(b, '#', sizeof b); }
};

using Result = std::pair<int, std::string>;

// The result and the text (up to the terminator, or all bfsz bytes when none
// was written); no byte past bfsz may be touched.
Result written(int r, const Marked &m, unsigned bfsz)
{
    for (unsigned i = bfsz; i < sizeof m.b; i++)
        EXPECT_EQ(m.b[i], '#') << "byte " << i << " written past the buffer";
    return {r, std::string(m.b, strnlen(m.b, bfsz))};
}

// vsnprintf through a variadic front, as its callers reach it.
int raw(char *buffer, unsigned int bfsz, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int r = adt::vsnprintf(buffer, bfsz, format, ap);
    va_end(ap);
    return r;
}

template <typename... A> Result fmt(unsigned bfsz, const char *format, A... args)
{
    Marked m;
    return written(raw(m.b, bfsz, format, args...), m, bfsz);
}

template <typename... A> Result lpf(int bfsz, const char *format, A... args)
{
    Marked m;
    return written(lprintf(m.b, bfsz, format, args...), m, bfsz < 0 ? 0 : bfsz);
}

// The text of an allocated result, which is freed; "<null>" for none.
std::string taken(char *r)
{
    std::string s = r ? r : "<null>";
    free(r);
    return s;
}

const char *const null_text = nullptr;

} // namespace

// --- Bounded formatter ---

TEST(Formatter, Conversions)
{
    EXPECT_EQ(fmt(10, "%d", 42), Result(2, "42"));
    EXPECT_EQ(fmt(10, "%05d", 7), Result(5, "00007"));
    EXPECT_EQ(fmt(10, "%-4d|", -3), Result(5, "-3  |"));
    EXPECT_EQ(fmt(10, "%x%X%o", 255, 255, 8), Result(6, "ffFF10"));
    EXPECT_EQ(fmt(10, "%c%C", 'a', 'b'), Result(2, "ab"));
    EXPECT_EQ(fmt(40, "[%*d]", 5, 42), Result(7, "[   42]"));
    EXPECT_EQ(fmt(40, "[%.*s]", 3, "abcdef"), Result(5, "[abc]"));
    EXPECT_EQ(fmt(40, "[%*.*f]", 8, 2, 3.14159), Result(10, "[    3.14]"));
    // The arguments after star values are still read in their places.
    EXPECT_EQ(fmt(40, "%*d,%s", 3, 1, "x"), Result(5, "  1,x"));
    EXPECT_EQ(fmt(40, "%12s|", "r"), Result(13, "           r|"));
    EXPECT_EQ(fmt(64, "%e %g %E %G", 1.5, 2.5, 3.5, 4.5),
              Result(33, "1.500000e+00 2.5 3.500000E+00 4.5"));
    EXPECT_EQ(fmt(64, "%S", "up"), Result(2, "up"));
    EXPECT_EQ(fmt(64, "%ld %lu %lld %zu", -5L, 6UL, -7LL, static_cast<size_t>(8)),
              Result(9, "-5 6 -7 8"));
    EXPECT_EQ(fmt(64, "%ld|%d", LONG_MAX, 3), Result(21, "9223372036854775807|3"));
    EXPECT_EQ(fmt(20, "100%%"), Result(4, "100%"));
    EXPECT_EQ(fmt(20, "%%d%%%d", 1), Result(4, "%d%1"));

    int dummy = 0;
    char expect[64];
    snprintf(expect, sizeof expect, "%p", static_cast<void *>(&dummy));
    EXPECT_EQ(fmt(64, "%p", static_cast<void *>(&dummy)),
              Result(static_cast<int>(strlen(expect)), expect));

    int at = -1;
    EXPECT_EQ(fmt(20, "abc%nde", &at), Result(5, "abcde"));
    EXPECT_EQ(at, 3);
}

TEST(Formatter, NullStringIsNullInCaps)
{
    EXPECT_EQ(fmt(20, "%s", null_text), Result(6, "(NULL)"));
    // Width and precision are not applied to the null text, and it is cut too.
    EXPECT_EQ(fmt(20, "%10.2s|", null_text), Result(7, "(NULL)|"));
    EXPECT_EQ(fmt(4, "%s", null_text), Result(3, "(NU"));
}

TEST(Formatter, NullBufferFormatOrCapacity)
{
    EXPECT_EQ(raw(nullptr, 10, "abc"), 0);
    EXPECT_EQ(lprintf(nullptr, 10, "abc"), 0);
    EXPECT_EQ(fmt(10, nullptr), Result(0, "##########"));
    EXPECT_EQ(lpf(10, nullptr), Result(0, "##########"));
    // No capacity: nothing can be written, not even a terminator.
    EXPECT_EQ(lpf(0, "abc"), Result(0, ""));
    EXPECT_EQ(lpf(-5, "abc"), Result(0, ""));
    EXPECT_EQ(fmt(0, "abc"), Result(-1, ""));
}

TEST(Formatter, OverflowRules)
{
    // Literal text that reaches the end fills the buffer without a terminator.
    EXPECT_EQ(fmt(4, "abcdef"), Result(-1, "abcd"));
    EXPECT_EQ(fmt(4, "abcd"), Result(-1, "abcd"));
    EXPECT_EQ(fmt(4, "abc"), Result(3, "abc"));
    // A doubled percent sign that reaches the end counts as ordinary text.
    EXPECT_EQ(fmt(4, "abc%%"), Result(-1, "abc%"));
    // lprintf always terminates: at most bfsz - 1.
    EXPECT_EQ(lpf(4, "abcdef"), Result(3, "abc"));
    EXPECT_EQ(lpf(4, "%s!", "abcdef"), Result(3, "abc"));

    // A conversion is cut so that a terminator fits.
    EXPECT_EQ(fmt(4, "%s", "abcdef"), Result(3, "abc"));
    EXPECT_EQ(fmt(5, "x%05d", 123), Result(4, "x001"));
    EXPECT_EQ(fmt(4, "%5s", "ab"), Result(3, "   "));
    // One more literal character fills the last byte: -1, no terminator.
    EXPECT_EQ(fmt(4, "%s!", "abcdef"), Result(-1, "abc!"));
    // A later conversion adds nothing after a cut one.
    EXPECT_EQ(fmt(4, "%s%d", "abcdef", 12), Result(3, "abc"));
}

TEST(Formatter, PlainStringAndUnfinishedConversion)
{
    // A bare %s is copied directly; with width or precision it goes to the
    // platform's formatter.
    EXPECT_EQ(fmt(4, "%s", "abc"), Result(3, "abc"));
    EXPECT_EQ(fmt(20, "[%s]", ""), Result(2, "[]"));
    EXPECT_EQ(fmt(20, "%s|%5s|%.2s", "ab", "ab", "xyz"), Result(11, "ab|   ab|xy"));
    EXPECT_EQ(fmt(20, "ab%"), Result(2, "ab"));
    EXPECT_EQ(fmt(20, "ab%-05"), Result(2, "ab"));
}

TEST(Formatter, LongTextIsNotCutInAScratchArea)
{
    std::string big(900, 'q');
    char b[1000];
    EXPECT_EQ(raw(b, sizeof b, "<%s>", big.c_str()), 902);
    EXPECT_EQ(std::string(b), "<" + big + ">");
    EXPECT_EQ(raw(b, sizeof b, "%950d", 1), 950);
    EXPECT_EQ(b[948], ' ');
    EXPECT_EQ(b[949], '1');
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
        return Result(r, out);
    };
    char b[20];
    EXPECT_EQ(call(vsn_int, b, 3, "%d", 0, 12345), Result(2, "12"));
    EXPECT_EQ(call(vsn_int, b, sizeof b, "%*d", 1, 7), Result(6, "     7"));
    EXPECT_EQ(call(vsn_double, b, sizeof b, "%.*f", 2, 1.0), Result(4, "1.00"));
    EXPECT_EQ(call(vsn_string, b, 1, "%s", 0, "abc"), Result(0, ""));
    EXPECT_EQ(call(vsn_string, b, sizeof b, "%s", 0, static_cast<char *>(nullptr)),
              Result(6, "(NULL)"));
}

// --- Bounded copy and allocation ---

TEST(Scpy, Edges)
{
    auto copy = [](const char *src, int cap) {
        Marked m;
        return written(scpy(m.b, src, cap), m, cap < 0 ? 0 : cap);
    };
    EXPECT_EQ(copy("abc", 1), Result(0, ""));
    EXPECT_EQ(copy("abcdef", 4), Result(3, "abc"));
    EXPECT_EQ(copy("ab", 10), Result(2, "ab"));
    EXPECT_EQ(copy(nullptr, 10), Result(0, ""));
    EXPECT_EQ(copy("abc", 0), Result(0, ""));
    EXPECT_EQ(copy("abc", -1), Result(0, ""));
    EXPECT_EQ(scpy(nullptr, "abc", 10), 0);
    // Copying a text onto itself leaves it as it was.
    char s[] = "self";
    EXPECT_EQ(scpy(s, s, sizeof s), 4);
    EXPECT_STREQ(s, "self");
}

TEST(Smake, Edges)
{
    EXPECT_EQ(taken(smake("abcdef", 4)), "abc");
    EXPECT_EQ(taken(smake("ab", 100)), "ab");
    EXPECT_EQ(taken(smake("ab", 1)), "");
    EXPECT_EQ(taken(smake("token rest", 6)), "token");
    EXPECT_EQ(taken(smake("abc", 0)), "<null>");
    EXPECT_EQ(taken(smake(nullptr, 5)), "<null>");
    // A huge capacity must not overflow the allocation size.
    EXPECT_EQ(taken(smake("xy", UINT_MAX)), "xy");
    EXPECT_EQ(taken(s_strdup("dup")), "dup");
    EXPECT_EQ(taken(s_strdup(nullptr)), "<null>");
}

// --- Comparison ---

TEST(Compare, CaseFoldingAndNulls)
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
    EXPECT_STREQ(s_strtok(line, " \t", &upto), "word");
    // The empty set takes the rest unchanged.
    EXPECT_STREQ(s_strtok(nullptr, "", &upto), "  second  ");
    EXPECT_EQ(upto, nullptr);
    EXPECT_EQ(s_strtok(nullptr, " ", &upto), nullptr);

    char runs[] = ",,a,,b,c,,";
    std::string got;
    for (char *t = s_strtok(runs, ",", &upto); t; t = s_strtok(nullptr, ",", &upto))
        got += std::string("[") + t + "]";
    EXPECT_EQ(got, "[a][b][c]");

    // The empty set at the start of a text returns all of it.
    char all[] = " x y ";
    EXPECT_STREQ(s_strtok(all, "", &upto), " x y ");
    EXPECT_EQ(upto, nullptr);
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
    EXPECT_STREQ(s_strtok(one, " ", nullptr), "ab");
}

TEST(Ssplit, Table)
{
    // clang-format off
    struct Case {
        const char *text, *seps;
        int max, skip;
        const char *want;
    } cases[] = {
        {"check  user ", " \r\n", 100, 1, "[check][user]"}, {" word", " \r\n", 100, 1, "[][word]"},
        {"a,b,c", ",", 2, 1, "[a][b,c]"}, {"a,,b", ",", 100, 0, "[a][][b]"},
        // A trailing run never yields an empty last token, with or without skipping.
        {"a,b,,,", ",", 100, 1, "[a][b]"}, {"a,", ",", 100, 0, "[a]"},
        // With the limit reached, the last token keeps the rest, separators included.
        {"a  b  c ", " ", 2, 1, "[a][b  c ]"}, {"", " ", 4, 1, ""}, {"a b", " ", 0, 1, ""},
        {"a b", "", 4, 1, "[a b]"},
        // with the empty set nothing splits
        {"   ", " ", 4, 1, "[]"}
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("'") + c.text + "' by '" + c.seps + "'");
        std::string text = c.text;
        std::vector<char *> p(c.max + 1, nullptr);
        int n = ssplit(text.data(), c.seps, p.data(), c.max, c.skip);
        std::string got;
        for (int i = 0; i < n; i++) got += std::string("[") + p[i] + "]";
        EXPECT_EQ(got, c.want);
        // Entries beyond the count are left as they were.
        EXPECT_EQ(p[n], nullptr);
    }
    char *p[1];
    EXPECT_EQ(ssplit(nullptr, " ", p, 1, 1), 0);
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
    char a[] = "word \r\n", b[] = "a\nb\r", c[] = "\t plain \t";
    EXPECT_STREQ(strip_eol_r(a), "word ");
    EXPECT_STREQ(strip_eol_r(b), "a");
    EXPECT_STREQ(strip_eol_r(c), "\t plain \t");
}

TEST(Truth, Words)
{
    for (const char *w : {"true", "TRUE", "yes", "YeS", "y", "Y", "on", "ON", "checked", "Selected",
                          "5", "-1", "2abc", " 7"})
        EXPECT_EQ(istrue(w), 1) << w;
    for (const char *w : {"0", "false", "no", "yess", "tru", "a5", "0x5"})
        EXPECT_EQ(istrue(w), 0) << w;
    // "a5": the second byte is a digit, the leading integer reads as zero.
    for (const char *w : {"false", "FALSE", "no", "No", "n", "N", "off", "OFF", "oFf", "0", "-0",
                          "+0", "a0", "00", "0abc", "a5"})
        EXPECT_EQ(isfalse(w), 1) << w;
    for (const char *w : {"7", "-1", "nope", "offf", "ab0", "  0"}) EXPECT_EQ(isfalse(w), 0) << w;
    for (const char *w : {"existing", "move_to", "move_from", "", "maybe"}) {
        EXPECT_EQ(istrue(w), 0) << w;
        EXPECT_EQ(isfalse(w), 0) << w;
    }
    EXPECT_EQ(istrue(nullptr), 0);
    EXPECT_EQ(isfalse(nullptr), 0);
}

// --- Paths and files ---

TEST(AttachPath, Joins)
{
    // clang-format off
    struct Case {
        const char *dir, *file, *want;
    } cases[] = {
        {"/var/corv", "corvane", "/var/corv/corvane"},
        {"/var/corv/", "corvane", "/var/corv/corvane"}, {"/var/corv/", "/x", "/var/corv/x"},
        {"/var/corv", "/x", "/var/corv/x"}, {"", "x", "x"}, {"", "/x", "/x"},
        {"\\var\\corv", "sub\\x", "/var/corv/sub/x"}, {"C:\\dir\\", "\\x", "C:/dir/x"},
        {"/var/corv", "", "/var/corv/"}, {"/a/", "/b", "/a/b"}
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.dir) + " + " + c.file);
        char b[100];
        scpy(b, c.dir, sizeof b);
        ASSERT_EQ(attach_path(b, c.file, sizeof b), b);
        EXPECT_STREQ(b, c.want);
    }

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
    // clang-format off
    struct Case {
        const char *dir, *file;
        unsigned cap;
        const char *want;
    } cases[] = {
        {"abcdefghi", "file", 10, "abcdefghi"},
        // the directory alone fills it
        {"abcdefgh", "file", 10, "abcdefgh/"},
        // the separator fits, no more
        {"ab/", "/file", 6, "ab/fi"},
        // part of the file fits
        {"abcdefghijkl", "x", 5, "abcd"},
        // a longer directory is cut
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.dir) + " + " + c.file);
        Marked m;
        memcpy(m.b, c.dir, strlen(c.dir) + 1);
        EXPECT_EQ(attach_path(m.b, c.file, c.cap), m.b);
        EXPECT_STREQ(m.b, c.want);
        if (strlen(c.dir) < c.cap) {
            EXPECT_EQ(m.b[c.cap], '#');
        }
    }
}

TEST(AttachExt, AppendsWithinBounds)
{
    auto attached = [](const char *name, unsigned cap) {
        Marked m;
        memcpy(m.b, name, strlen(name) + 1);
        EXPECT_EQ(attach_ext(m.b, ".ini", cap), m.b);
        return written(0, m, cap).second;
    };
    EXPECT_EQ(attached("corvane", 20), "corvane.ini");
    EXPECT_EQ(attached("corvane", 8), "corvane");
    EXPECT_EQ(attached("corvane", 10), "corvane.i");
    EXPECT_EQ(attached("", 10), ".ini");
    char b[10] = "x";
    EXPECT_EQ(attach_ext(nullptr, ".ini", 10), nullptr);
    EXPECT_EQ(attach_ext(b, ".ini", 0), nullptr);
}

TEST(Exename, BareName)
{
    char b[100];
    // clang-format off
    struct Case {
        const char *arg0, *want;
    } cases[] = {
        {"/usr/local/sbin/corvane", "corvane"}, {"./corvane.bin", "corvane"},
        {"corvane", "corvane"}, {"C:\\bin\\corvane.exe", "corvane"}, {"dir/.hidden", ""},
        {"a.b.c", "a"}, {"dir/", ""}, {"", ""}
    };
    // clang-format on
    for (const Case &c : cases) {
        ASSERT_EQ(exename(b, c.arg0, sizeof b), b) << c.arg0;
        EXPECT_STREQ(b, c.want) << c.arg0;
    }
    EXPECT_EQ(exename(b, "/x/longname", 5), b);
    EXPECT_STREQ(b, "long");
    EXPECT_EQ(exename(nullptr, "x", 10), nullptr);
    EXPECT_EQ(exename(b, nullptr, 10), nullptr);
}

TEST(Files, CurrentdirFopenAndSleep)
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

    auto t0 = std::chrono::steady_clock::now();
    my_msleep(30);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - t0);
    EXPECT_GE(ms.count(), 29);
    my_msleep(0);
    my_msleep(-5);
}

// --- Wildcard matching ---

TEST(Wildcard, Table)
{
    // case 1 is wild_match (and wmatch with case), case 0 is wmatch without.
    // clang-format off
    struct Case {
        const char *text, *pattern;
        int with_case, want;
    } cases[] = {
        {"", "", 1, 1}, {"a", "", 1, 0}, {"", "*", 1, 1}, {"", "**", 1, 1},
        {"anything", "*", 1, 1}, {"anything", "**", 1, 1}, {"", "?", 1, 0}, {"", "*?", 1, 0},
        {"", "a", 1, 0}, {"ab", "a*b", 1, 1}, {"axyzb", "a*b", 1, 1}, {"abxb", "a*b", 1, 1},
        {"abc", "a*b", 1, 0}, {"b", "a*b", 1, 0}, {"abcabd", "*ab?", 1, 1},
        {"mississippi", "m*iss*ppi", 1, 1}, {"mississippi", "m*iss*ppx", 1, 0},
        {"xa", "*?a", 1, 1}, {"long text a", "*?a", 1, 1}, {"a", "*?a", 1, 0}, {"ab", "*?a", 1, 0},
        {"axb", "a?b", 1, 1}, {"ab", "a?b", 1, 0}, {"axxb", "a?b", 1, 0}, {"?", "?", 1, 1},
        {"*", "?", 1, 1}, {"ABC", "abc", 1, 0}, {"ABC", "a*", 1, 0}, {"ABC", "abc", 0, 1},
        {"AbC", "a?c", 0, 1}, {"\xc4", "\xe4", 0, 0},
        // No classes and no escapes.
        {"[ab]", "[ab]", 1, 1}, {"a", "[ab]", 1, 0}, {"x[", "*[", 1, 1}, {"a\\b", "a\\b", 1, 1},
        {"a\\*", "a\\*", 1, 1}, {"a\\xyz", "a\\*", 1, 1}, {"a*", "a\\*", 1, 0},
        {"10.0.0.1", "10.0.*", 1, 1}, {"10.0.0.1", "10.1.*", 1, 0}
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("'") + c.text + "' ~ '" + c.pattern + "'");
        EXPECT_EQ(wmatch(c.text, c.pattern, c.with_case), c.want);
        if (c.with_case) {
            EXPECT_EQ(wild_match(c.text, c.pattern), c.want);
        }
    }
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
    std::string text(999, 'a'), a_star, star_a, star_q;
    for (int i = 0; i < 40; i++) {
        a_star += "a*";
        star_a += "*a";
        star_q += "*?";
    }
    EXPECT_EQ(wild_match(text.c_str(), (a_star + "b").c_str()), 0);
    EXPECT_EQ(wild_match(text.c_str(), (star_a + "*").c_str()), 1);
    EXPECT_EQ(wild_match(text.c_str(), (star_q + "b").c_str()), 0);
    EXPECT_EQ(wild_match(text.c_str(), star_q.c_str()), 1);
    EXPECT_EQ(wild_match(std::string(39, 'a').c_str(), star_q.c_str()), 0);
}

TEST(WildList, Separators)
{
    // clang-format off
    struct Case {
        const char *text, *list;
        int want;
    } cases[] = {
        {"10.0.0.1", "192.168.*, 10.*", 1}, {"192.168.4.4", "192.168.*, 10.*", 1},
        {"172.16.0.1", "192.168.*, 10.*", 0}, {"", "192.168.*, 10.*", 0}, {"", "*", 0},
        {"", "", 0}, {"1.2.3.4", "*", 1}, {"1.2.3.4", " ,\t", 0}, {" ,\t", "*", 0},
        // Items and patterns are whole: the separators belong to neither.
        {"ab cd", "ab", 1}, {"ab cd", "cd", 1}, {"ab cd", "ab?cd", 0}, {"ab,cd", "b*", 0},
        {"\t, x ,\t", ",, x,,", 1}, {"x", "\ty\t,\tx\t", 1}, {"X", "x", 0}
    };
    // clang-format on
    for (const Case &c : cases)
        EXPECT_EQ(wild_list(c.text, c.list), c.want) << "'" << c.text << "' in '" << c.list << "'";
}
