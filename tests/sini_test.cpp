// Tests of the configuration store: loading files, sections, sharing,
// lookups with defaults and fallbacks, and multipart values.
#include "adt/sini.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>

#include "adt/array.h"
#include "adt/log.h"
#include "tests/testkit.h"

using namespace adt;
using namespace testkit;

namespace
{

enum {
    T_LOGLEVEL,
    T_BINARY,
    T_LOOKUP,
    T_CHECK,
    T_MATCH,
    T_DO_SET,
    T_TIMEOUT,
    T_STRIP,
    T_PARTS,
    T_LIST,
};

// A table in the shape of a program's: one multipart row, one row that
// keeps every setting, formats given as "VALUE", null and empty.
const SIniTable Table[] = {
    {T_LOGLEVEL, "loglevel", SM_NONE, "error", -1, "VALUE"},
    {T_BINARY, "binary", SM_NONE, nullptr, -1, "VALUE"},
    {T_LOOKUP, "lookup", SM_NONE, nullptr, T_MATCH, "VALUE"},
    {T_CHECK, "check", SM_NONE, nullptr, T_MATCH, "VALUE"},
    {T_MATCH, "match", SM_NONE, "*", -1, "VALUE"},
    {T_DO_SET, "do_set", SM_NONE, "existing", -1, "VALUE"},
    {T_TIMEOUT, "timeout", SM_NONE, "20000", -1, nullptr},
    {T_STRIP, "strip_prefix", SM_NONE, nullptr, -1, ""},
    {T_PARTS, "parts", SM_NONE, "a=1 b=2", -1, "a=x b=y"},
    {T_LIST, "list", SM_MULTI, nullptr, -1, "VALUE"},
    {0, nullptr, 0, nullptr, -1, nullptr},
};

// Pool records of a row: shows whether equal values share one record.
int pooled(SIni x, int id)
{
    int n = 0;
    for (int i = 0; i < array_items(x->Pool); i++)
        if (static_cast<SIniSetting *>(array_get_num(x->Pool, i))->Id == id) n++;
    return n;
}

// A store over Table, a temp dir and a current log in it.
class SiniTest : public ::testing::Test
{
  protected:
    TestLog testlog;
    TempDir &dir = testlog.dir;
    Log *log = nullptr;
    SIni x = nullptr;

    void SetUp() override
    {
        ASSERT_FALSE(dir.path.empty());
        ASSERT_TRUE(testlog.open("sini.log"));
        log = testlog.log;
        x = sini_init(Table);
        ASSERT_NE(x, nullptr);
    }
    void TearDown() override { sini_free(&x); }
    int load(const std::string &content, const char *keyword = "module")
    {
        return sini_load(x, write_file(dir.file("test.ini"), content).c_str(), keyword);
    }
    std::string logged() { return testlog.text(); }
    std::string get(int id, const char *domain = nullptr, const char *part = nullptr, int count = 0)
    {
        const char *v = sini_getx(x, id, domain, part, count);
        return v ? v : "(null)";
    }
    // The values of a row in each of domains (null: the global section), by "|".
    std::string each(int id, std::initializer_list<const char *> domains)
    {
        std::string all;
        for (const char *d : domains) all += (all.empty() ? "" : "|") + get(id, d);
        return all;
    }
    // The named parts of the multipart row in domain, by "|".
    std::string parts(const char *domain, std::initializer_list<const char *> names)
    {
        std::string all;
        for (const char *n : names) all += (all.empty() ? "" : "|") + get(T_PARTS, domain, n);
        return all;
    }
    void renew()
    {
        sini_free(&x);
        x = sini_init(Table);
    }
};

TEST_F(SiniTest, WorkedExample)
{
    const std::string file = "# Corvane test configuration\n"
                             "timeout 20000\n"
                             "do_set existing\n"
                             "module 1\n"
                             "binary /usr/local/bin/authmod -v --db /var/db/users\n"
                             "match *\n"
                             "MODULE 2\n"
                             "binary /usr/local/bin/othermod\n"
                             "do_set false\n"
                             "nosuchlabel 1\n";
    ASSERT_EQ(load(file), 1);

    ASSERT_EQ(sini_domains(x), 2);
    EXPECT_STREQ(sini_domain_name(x, 0), "1");
    EXPECT_STREQ(sini_domain_name(x, 1), "2");
    EXPECT_EQ(sini_domain_name(x, 2), nullptr);

    EXPECT_EQ(each(T_BINARY, {"1", "2", nullptr}),
              "/usr/local/bin/authmod -v --db /var/db/users|/usr/local/bin/othermod|(null)");
    EXPECT_EQ(get(T_MATCH, "1"), "*");
    EXPECT_EQ(each(T_DO_SET, {"1", "2"}), "existing|false");
    EXPECT_EQ(each(T_TIMEOUT, {"1", "2"}), "20000|20000");
    // The global section holds its own "20000", not the row's default.
    EXPECT_NE(sini_getx(x, T_TIMEOUT, "2", nullptr, 0), Table[T_TIMEOUT].Default);
    EXPECT_EQ(array_items(x->Global), 2);

    std::string text = logged();
    EXPECT_EQ(count(text, "Error: Setting invalid (nosuchlabel)(1)\n"), 1) << text;
    EXPECT_EQ(count(text, "Setting invalid"), 1) << text;
}

TEST_F(SiniTest, DefaultsGlobalValuesAndFallbacks)
{
    ASSERT_EQ(load("module 1\nmodule 2\n"), 1);

    // Set nowhere: the default everywhere, also for an unknown domain.
    EXPECT_EQ(sini_getx(x, T_LOGLEVEL, nullptr, nullptr, 0), Table[T_LOGLEVEL].Default);
    EXPECT_EQ(sini_getx(x, T_LOGLEVEL, "1", nullptr, 0), Table[T_LOGLEVEL].Default);
    EXPECT_EQ(sini_getx(x, T_LOGLEVEL, "nowhere", nullptr, 0), Table[T_LOGLEVEL].Default);
    // Neither value, default nor fallback.
    EXPECT_EQ(sini_getx(x, T_BINARY, "1", nullptr, 0), nullptr);
    EXPECT_EQ(sini_getx(x, T_STRIP, nullptr, nullptr, 0), nullptr);

    // A global value serves every domain, existing or not.
    ASSERT_EQ(sini_set(x, T_TIMEOUT, nullptr, "500"), 1);
    EXPECT_EQ(each(T_TIMEOUT, {nullptr, "2", "nowhere"}), "500|500|500");
    // A domain's own value wins there only.
    ASSERT_EQ(sini_set(x, T_TIMEOUT, "1", "700"), 1);
    EXPECT_EQ(each(T_TIMEOUT, {"1", "2", nullptr}), "700|500|500");
    // The empty text is a value and wins over the default.
    ASSERT_EQ(sini_set(x, T_DO_SET, "2", ""), 1);
    EXPECT_EQ(each(T_DO_SET, {"1", "2"}), "existing|");

    // lookup unset: the domain's match, else the global match, else "*".
    ASSERT_EQ(sini_set(x, T_MATCH, "1", "a*"), 1);
    EXPECT_EQ(each(T_LOOKUP, {"1", "2", nullptr}), "a*|*|*");
    ASSERT_EQ(sini_set(x, T_MATCH, nullptr, "g*"), 1);
    EXPECT_EQ(each(T_LOOKUP, {"1", "2"}), "a*|g*");
    // A global lookup wins over the domain's match.
    ASSERT_EQ(sini_set(x, T_LOOKUP, nullptr, "L*"), 1);
    EXPECT_EQ(each(T_LOOKUP, {"1", "2"}), "L*|L*");
    EXPECT_EQ(get(T_CHECK, "1"), "a*");
    // And the domain's own lookup over everything.
    ASSERT_EQ(sini_set(x, T_LOOKUP, "2", "own"), 1);
    EXPECT_EQ(each(T_LOOKUP, {"1", "2"}), "L*|own");

    // A domain name that does not exist sets the global section.
    ASSERT_EQ(sini_set(x, T_BINARY, "nowhere", "/bin/g"), 1);
    EXPECT_EQ(each(T_BINARY, {nullptr, "1"}), "/bin/g|/bin/g");
    EXPECT_EQ(sini_domains(x), 2);
}

TEST_F(SiniTest, CountAndMultiRows)
{
    ASSERT_EQ(load("module 1\n"), 1);
    ASSERT_EQ(sini_set(x, T_TIMEOUT, nullptr, "5"), 1);
    EXPECT_EQ(get(T_TIMEOUT), "5");
    // Count 1 of a row set once: no default, no fallback.
    EXPECT_EQ(get(T_TIMEOUT, nullptr, nullptr, 1), "(null)");
    EXPECT_EQ(get(T_LOGLEVEL, "1", nullptr, 1), "(null)");
    EXPECT_EQ(get(T_LOOKUP, "1", nullptr, 1), "(null)");

    // A multi row keeps every setting; the count runs on from the domain's
    // settings into the global ones.
    ASSERT_EQ(sini_set(x, T_LIST, "1", "one"), 1);
    ASSERT_EQ(sini_set(x, T_LIST, nullptr, "global"), 1);
    ASSERT_EQ(sini_set(x, T_LIST, "1", "two"), 1);
    ASSERT_EQ(sini_set(x, T_LIST, "1", "one"), 1);
    std::string listed;
    for (int i = 0; i <= 4; i++) listed += get(T_LIST, "1", nullptr, i) + "|";
    EXPECT_EQ(listed, "one|two|one|global|(null)|");
    EXPECT_EQ(get(T_LIST, nullptr, nullptr, 1), "(null)");
    // The repeated "one" shares its record.
    EXPECT_EQ(pooled(x, T_LIST), 3);
}

TEST_F(SiniTest, RepeatedSettingsAndSharing)
{
    ASSERT_EQ(load("module 1\nmodule 2\n"), 1);
    // The second value replaces the first; the same value twice succeeds.
    ASSERT_EQ(sini_set(x, T_BINARY, "1", "/bin/a"), 1);
    ASSERT_EQ(sini_set(x, T_BINARY, "1", "/bin/b"), 1);
    EXPECT_EQ(get(T_BINARY, "1"), "/bin/b");
    ASSERT_EQ(sini_set(x, T_BINARY, "1", "/bin/b"), 1);
    EXPECT_EQ(get(T_BINARY, "1"), "/bin/b");
    EXPECT_EQ(array_items(static_cast<SIniDomain *>(array_get_num(x->Domains, 0))->Settings), 1);

    // Equal values in two domains share one record.
    ASSERT_EQ(sini_set(x, T_DO_SET, "1", "false"), 1);
    ASSERT_EQ(sini_set(x, T_DO_SET, "2", "false"), 1);
    EXPECT_EQ(sini_getx(x, T_DO_SET, "1", nullptr, 0), sini_getx(x, T_DO_SET, "2", nullptr, 0));
    EXPECT_EQ(pooled(x, T_DO_SET), 1);
    // A later change in one leaves the other alone.
    ASSERT_EQ(sini_set(x, T_DO_SET, "2", "move_to"), 1);
    EXPECT_EQ(each(T_DO_SET, {"1", "2", nullptr}), "false|move_to|existing");
    // Changing the first to the second's value shares again.
    ASSERT_EQ(sini_set(x, T_DO_SET, "1", "move_to"), 1);
    EXPECT_EQ(sini_getx(x, T_DO_SET, "1", nullptr, 0), sini_getx(x, T_DO_SET, "2", nullptr, 0));
    EXPECT_EQ(pooled(x, T_DO_SET), 2);
    // Equal texts of different rows are separate records.
    ASSERT_EQ(sini_set(x, T_MATCH, "1", "false"), 1);
    EXPECT_EQ(pooled(x, T_MATCH), 1);
}

TEST_F(SiniTest, ValuesKeptVerbatim)
{
    const std::string file = "binary   two blanks kept\n"
                             "strip_prefix \"quoted\" back\\slash \\\" \\\\ end \t \n"
                             "match a#b # not a comment\n"
                             "timeout\n"
                             "do_set \n"
                             "   # indented comment\n"
                             "\t\n"
                             "loglevel debug\r\n"
                             "check\tx y\r\n";
    ASSERT_EQ(load(file), 1);
    EXPECT_EQ(get(T_BINARY), "  two blanks kept");
    EXPECT_EQ(get(T_STRIP), "\"quoted\" back\\slash \\\" \\\\ end \t ");
    EXPECT_EQ(get(T_MATCH), "a#b # not a comment");
    EXPECT_EQ(get(T_TIMEOUT), "");
    EXPECT_EQ(get(T_DO_SET), "");
    EXPECT_EQ(get(T_LOGLEVEL), "debug");
    EXPECT_EQ(get(T_CHECK), "x y");
    EXPECT_EQ(sini_domains(x), 0);
    EXPECT_EQ(count(logged(), "Setting invalid"), 0);

    // sini_set stores a single value as given as well.
    ASSERT_EQ(sini_set(x, T_BINARY, nullptr, " \"a=b\" c = d\\\\"), 1);
    EXPECT_EQ(get(T_BINARY), " \"a=b\" c = d\\\\");
}

TEST_F(SiniTest, LetterCaseOfLabelsKeywordsAndNames)
{
    const std::string file = "TIMEOUT 1\n"
                             "MoDuLe Alpha\n"
                             "Binary /bin/upper\n"
                             "module alpha\n"
                             "bInArY /bin/lower\n"
                             "module 01\n"
                             "module 1 and words ignored\n"
                             "MODULE Alpha\n"
                             "match m*\n";
    ASSERT_EQ(load(file), 1);
    ASSERT_EQ(sini_domains(x), 4);
    EXPECT_STREQ(sini_domain_name(x, 0), "Alpha");
    EXPECT_STREQ(sini_domain_name(x, 1), "alpha");
    EXPECT_STREQ(sini_domain_name(x, 2), "01");
    EXPECT_STREQ(sini_domain_name(x, 3), "1");
    EXPECT_EQ(get(T_TIMEOUT, "Alpha"), "1");
    EXPECT_EQ(each(T_BINARY, {"Alpha", "alpha", "ALPHA"}), "/bin/upper|/bin/lower|(null)");
    // The repeated domain line added to the first "Alpha".
    EXPECT_EQ(each(T_MATCH, {"Alpha", "alpha"}), "m*|*");

    EXPECT_EQ(sini_id(x, "Timeout"), T_TIMEOUT);
    EXPECT_EQ(sini_id(x, "STRIP_PREFIX"), T_STRIP);
    EXPECT_EQ(sini_id(x, "nosuch"), -1);
    EXPECT_EQ(sini_id(x, nullptr), -1);
    EXPECT_EQ(sini_id(nullptr, "timeout"), -1);
    EXPECT_EQ(sini_set_l(x, "DO_SET", "01", "never"), 1);
    EXPECT_EQ(get(T_DO_SET, "01"), "never");
    EXPECT_EQ(sini_set_l(x, "nosuch", nullptr, "x"), 0);
    EXPECT_EQ(sini_set_l(x, nullptr, nullptr, "x"), 0);
    EXPECT_EQ(sini_set_l(x, "binary", nullptr, nullptr), 0);
}

TEST_F(SiniTest, KeywordsAndDomainLinesWithoutName)
{
    // The default keyword is "domain"; "module" is then just a label.
    ASSERT_EQ(load("module 1\ndomain d\nbinary /bin/d\n", nullptr), 1);
    ASSERT_EQ(sini_domains(x), 1);
    EXPECT_STREQ(sini_domain_name(x, 0), "d");
    EXPECT_EQ(get(T_BINARY, "d"), "/bin/d");
    EXPECT_EQ(count(logged(), "Setting invalid (module)(1)"), 1);
    renew();

    // A domain line without a name is ignored: settings stay where they were.
    ASSERT_EQ(load("module\nbinary /bin/global\nmodule 1\nmodule \t \nmatch one*\n"), 1);
    ASSERT_EQ(sini_domains(x), 1);
    EXPECT_EQ(get(T_BINARY), "/bin/global");
    EXPECT_EQ(each(T_MATCH, {"1", nullptr}), "one*|*");
    EXPECT_EQ(count(logged(), "Error: Domain line without a name ignored\n"), 2);
}

TEST_F(SiniTest, LongLineIsReadInPieces)
{
    // 998 bytes, then 202 bytes that read as a line of their own.
    std::string first = "binary " + std::string(991, 'a');
    std::string second = "timeout " + std::string(194, '7');
    ASSERT_EQ(first.size(), 998u);
    ASSERT_EQ(second.size(), 202u);
    ASSERT_EQ(load(first + second + "\nmatch after\n"), 1);
    EXPECT_EQ(get(T_BINARY), std::string(991, 'a'));
    EXPECT_EQ(get(T_TIMEOUT), std::string(194, '7'));
    EXPECT_EQ(get(T_MATCH), "after");
}

TEST_F(SiniTest, MultipartValues)
{
    ASSERT_EQ(load("module 1\nmodule 2\n"), 1);
    // Nothing set: the default text, or a part of it.
    EXPECT_EQ(sini_getx(x, T_PARTS, "1", nullptr, 0), Table[T_PARTS].Default);
    EXPECT_EQ(parts("1", {"a", "b", "B", "c"}), "1|2|(null)|(null)");
    EXPECT_EQ(array_items(x->Defaults), 1);

    // Both parts in order, each written without blanks.
    ASSERT_EQ(sini_set(x, T_PARTS, "1", "a=10 b=20"), 1);
    EXPECT_EQ(parts("1", {nullptr, "a", "B"}), "10|10|20");

    // Invalid: blanks around "=", an unknown part, a name in another case,
    // an incomplete triple, a middle token that is no "=", no tokens.
    const char *invalid[] = {"a = 5", "a = 5 b = 6", "c=3",   "a=1 c=3", "A=1",
                             "a=1 b", "a=1b=2",      "a x 1", "",        "   "};
    for (const char *v : invalid) {
        EXPECT_EQ(sini_set(x, T_PARTS, "2", v), 0) << v;
        EXPECT_EQ(sini_set(x, T_PARTS, "1", v), 0) << v;
    }
    EXPECT_EQ(get(T_PARTS, "1", "a"), "10");
    EXPECT_EQ(sini_getx(x, T_PARTS, "2", nullptr, 0), Table[T_PARTS].Default);

    // Only b given: b from the value, then a from the default.
    ASSERT_EQ(sini_set(x, T_PARTS, "2", "b=5"), 1);
    EXPECT_EQ(parts("2", {nullptr, "a", "b"}), "5|1|5");
    const SIniSetting *s = static_cast<SIniSetting *>(
        array_get_num(static_cast<SIniDomain *>(array_get_num(x->Domains, 1))->Settings, 0));
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(s->Mode, SM_MULTIPART);
    ASSERT_EQ(array_items(s->Value.mValue), 2);
    EXPECT_STREQ(static_cast<SIniMulti *>(array_get_num(s->Value.mValue, 0))->Name, "b");
    EXPECT_STREQ(static_cast<SIniMulti *>(array_get_num(s->Value.mValue, 1))->Name, "a");

    // As many tokens as the format: nothing is taken from the default, and
    // a part the value lacks is not looked for elsewhere.
    ASSERT_EQ(sini_set(x, T_PARTS, nullptr, "a=7 a=8"), 1);
    EXPECT_EQ(parts(nullptr, {"a", "b"}), "7|(null)");

    // Quoted part values may hold blanks, "=" and escaped quotes.
    ASSERT_EQ(sini_set(x, T_PARTS, "1", "a=\"x = y\" b=\"say \\\"hi\\\"\""), 1);
    EXPECT_EQ(parts("1", {"a", "b"}), "x = y|say \"hi\"");
    // A single-valued row in the same store is untouched by all this.
    EXPECT_EQ(get(T_MATCH, "1"), "*");
}

TEST_F(SiniTest, MultipartLinesFromFile)
{
    ASSERT_EQ(load("parts b=9\nparts a = 1 b = 2\nmodule 1\nPARTS a=3 b=4\n"), 1);
    EXPECT_EQ(parts(nullptr, {"b", "a"}), "9|1");
    EXPECT_EQ(parts("1", {"a", "b"}), "3|4");
    EXPECT_EQ(count(logged(), "Setting invalid (parts)(a = 1 b = 2)"), 1);
}

TEST_F(SiniTest, MultipartValuesShareOnlyWithTheSamePartNames)
{
    ASSERT_EQ(load("module 1\nmodule 2\nmodule 3\n"), 1);
    ASSERT_EQ(sini_set(x, T_PARTS, "1", "a=1 b=2"), 1);
    ASSERT_EQ(sini_set(x, T_PARTS, "2", "b=1 a=2"), 1);
    ASSERT_EQ(sini_set(x, T_PARTS, "3", "a=1 b=2"), 1);
    EXPECT_EQ(get(T_PARTS, "1", "a"), "1");
    EXPECT_EQ(parts("2", {"a", "b"}), "2|1");
    // Equal names and values still share one record.
    EXPECT_EQ(array_items(x->Pool), 2);
}

TEST_F(SiniTest, RobustAgainstAnyInput)
{
    // NUL bytes end a line's text; the next line is read normally.
    const char raw[] = "timeout 5\0garbage here\nbinary /bin/b\0\0\0\nmatch m\n";
    std::string nul(raw, sizeof raw - 1);
    ASSERT_EQ(load(nul), 1);
    EXPECT_EQ(get(T_TIMEOUT), "5");
    EXPECT_EQ(get(T_BINARY), "/bin/b");
    EXPECT_EQ(get(T_MATCH), "m");
    renew();

    // Random bytes and a very long line without an end.
    std::mt19937 gen(4711);
    std::string junk;
    for (int i = 0; i < 200000; i++) junk += static_cast<char>(gen() & 0xff);
    junk += "\nmodule \xff\xfe\nbinary \x80\x81\n";
    junk += std::string(100000, 'x');
    ASSERT_EQ(load(junk), 1);
    EXPECT_EQ(get(T_BINARY, "\xff\xfe"), "\x80\x81");
    renew();
    ASSERT_EQ(load("module\n\n \n#\nmodule \"\" \n=\n\"\n=a=b=\nparts \"\nparts \" =\n"), 1);
    ASSERT_EQ(load(""), 1);
    EXPECT_EQ(sini_domains(x), 1);

    // A directory opens but cannot be read: refused with EISDIR.
    errno = 0;
    EXPECT_EQ(sini_load(x, dir.path.c_str(), "module"), 0);
    EXPECT_EQ(errno, EISDIR);
    errno = 0;
    EXPECT_EQ(sini_load(x, (dir.path + "/missing.ini").c_str(), "module"), 0);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(sini_load(x, nullptr, "module"), 0);
    EXPECT_EQ(sini_load(nullptr, write_file(dir.file("ok.ini"), "timeout 1\n").c_str(), "module"),
              0);
}

TEST(Sini, NullArgumentsAndEmptyStores)
{
    SIni none = nullptr;
    sini_free(&none);
    sini_free(nullptr);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(sini_init(nullptr), nullptr);
    EXPECT_EQ(sini_set(nullptr, T_TIMEOUT, nullptr, "1"), 0);
    EXPECT_EQ(sini_getx(nullptr, T_TIMEOUT, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(sini_domains(nullptr), 0);
    EXPECT_EQ(sini_domain_name(nullptr, 0), nullptr);

    SIni x = sini_init(Table);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(sini_set(x, T_TIMEOUT, nullptr, nullptr), 0);
    EXPECT_EQ(sini_set(x, 99, nullptr, "1"), 0);
    EXPECT_EQ(sini_set(x, -1, nullptr, "1"), 0);
    EXPECT_EQ(sini_getx(x, 99, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(sini_domains(x), 0);
    EXPECT_EQ(sini_domain_name(x, 0), nullptr);
    EXPECT_EQ(sini_domain_name(x, -1), nullptr);
    EXPECT_EQ(array_items(x->Pool), 0);
    sini_free(&x);
    EXPECT_EQ(x, nullptr);
}

// Rows are found by Id, not by position; a fallback names an Id.
TEST(Sini, IdsAreNotPositions)
{
    const SIniTable table[] = {
        {200, "mask", SM_NONE, "m*", -1, "VALUE"},
        {100, "only", SM_NONE, nullptr, 200, "VALUE"},
        {300, "loop_a", SM_NONE, nullptr, 301, "VALUE"},
        {301, "loop_b", SM_NONE, nullptr, 300, "VALUE"},
        {400, "dangling", SM_NONE, nullptr, 999, "VALUE"},
        {500, "parts", SM_NONE, nullptr, 501, "a=x b=y"},
        {501, "fallback_parts", SM_NONE, "a=3 b=4", -1, "a=x b=y"},
        {0, nullptr, 0, nullptr, -1, nullptr},
    };
    SIni x = sini_init(table);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(sini_id(x, "ONLY"), 100);
    EXPECT_STREQ(sini_getx(x, 100, nullptr, nullptr, 0), "m*");
    EXPECT_EQ(sini_set(x, 0, nullptr, "x"), 0);
    EXPECT_EQ(sini_set(x, 1, nullptr, "x"), 0);
    ASSERT_EQ(sini_set(x, 200, nullptr, "set"), 1);
    EXPECT_STREQ(sini_getx(x, 100, nullptr, nullptr, 0), "set");
    // A fallback cycle or a fallback to no row ends in null.
    EXPECT_EQ(sini_getx(x, 300, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(sini_getx(x, 400, nullptr, nullptr, 0), nullptr);
    ASSERT_EQ(sini_set(x, 301, nullptr, "b"), 1);
    EXPECT_STREQ(sini_getx(x, 300, nullptr, nullptr, 0), "b");
    // A part is looked for along the fallback chain too.
    EXPECT_STREQ(sini_getx(x, 500, nullptr, "b", 0), "4");
    EXPECT_STREQ(sini_getx(x, 500, nullptr, nullptr, 0), "a=3 b=4");
    ASSERT_EQ(sini_set(x, 501, nullptr, "b=6"), 1);
    EXPECT_STREQ(sini_getx(x, 500, nullptr, "b", 0), "6");
    EXPECT_STREQ(sini_getx(x, 500, nullptr, "a", 0), "3");
    sini_free(&x);
}

} // namespace
