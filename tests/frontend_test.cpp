// Unit tests of the front end's pieces that need no module process: the mask
// grammar, the removal of prefix and suffix, the settings table, the
// gatekeeping callbacks' decisions and the search summary. corvane.cpp is
// compiled into this test with its main renamed (see tests/CMakeLists.txt).
#include "corvane.h"

#include "adt/lib.h"
#include "adt/log.h"
#include "adt/sini.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

using namespace adt;
namespace fs = std::filesystem;

namespace
{

// A private directory that is removed with everything in it.
struct TempDir {
    fs::path path;
    TempDir()
    {
        char tmpl[] = "/tmp/corvane-frontend-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string file(const std::string &name) const { return (path / name).string(); }
    void write(const std::string &name, const std::string &text) const
    {
        std::ofstream(path / name) << text;
    }
    std::string read(const std::string &name) const
    {
        std::ifstream in(path / name);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
};

// A configuration store loaded from text, and a debug log in the same
// directory that the callbacks' messages go to.
struct Config {
    TempDir dir;
    SIni ini = nullptr;
    Log *log = nullptr;
    explicit Config(const std::string &text)
    {
        log = log_init(LogDebug);
        log_setup(log, dir.path.c_str(), "test.log");
        log_set(log);
        dir.write("test.ini", text);
        ini = sini_init(Settings);
        EXPECT_EQ(1, sini_load(ini, dir.file("test.ini").c_str(), "module"));
    }
    ~Config()
    {
        sini_free(&ini);
        log_free(&log);
    }
    CorvaneData domain(const char *name) { return CorvaneData{ini, name}; }
    std::string logged()
    {
        log_flush(log);
        return dir.read("test.log");
    }
};

// Runs a callback on a copy of name in a 1000-byte buffer, as the
// multiplexer does; "<null>" when the module is refused.
template <typename F> std::string gate(F f, const char *name)
{
    char buffer[1000];
    scpy(buffer, name, 1000);
    char *r = f(buffer);
    return r ? std::string(r) : std::string("<null>");
}

} // namespace

TEST(MatchMatch, PlainEntriesAndWildcards)
{
    EXPECT_EQ(1, match_match("*", "anyone"));
    EXPECT_EQ(1, match_match("*", ""));
    EXPECT_EQ(1, match_match("alice, bob", "alice"));
    EXPECT_EQ(1, match_match("alice, bob", "bob"));
    EXPECT_EQ(0, match_match("alice, bob", "carol"));
    EXPECT_EQ(0, match_match("alice, bob", "alice,"));
    EXPECT_EQ(1, match_match("a*", "alice"));
    EXPECT_EQ(0, match_match("a*", "Alice"));
    EXPECT_EQ(1, match_match("?ob", "bob"));
    EXPECT_EQ(0, match_match("?ob", "ob"));
    EXPECT_EQ(1, match_match("x,,  y", "y"));
}

TEST(MatchMatch, EmptyAndNullMasks)
{
    EXPECT_EQ(0, match_match(nullptr, "alice"));
    EXPECT_EQ(0, match_match("", "alice"));
    EXPECT_EQ(0, match_match("", ""));
    EXPECT_EQ(0, match_match("*", nullptr));
    // A leading separator gives an empty first entry: it admits only the
    // empty name, and the entries after it work as usual.
    EXPECT_EQ(1, match_match(",alice", ""));
    EXPECT_EQ(1, match_match(",alice", "alice"));
    EXPECT_EQ(0, match_match(",alice", "bob"));
}

TEST(MatchMatch, NegatedEntriesRejectAtOnce)
{
    EXPECT_EQ(0, match_match("!root,*", "root"));
    EXPECT_EQ(1, match_match("!root,*", "alice"));
    EXPECT_EQ(0, match_match("!r*", "root"));
    EXPECT_EQ(0, match_match("!r*", "alice"));
    // A name admitted before the negated entry is reached stays admitted.
    EXPECT_EQ(1, match_match("root !root", "root"));
    EXPECT_EQ(0, match_match("!root a* r*", "root"));
    EXPECT_EQ(1, match_match("!root a* r*", "rita"));
    // "!!" is a literal "!".
    EXPECT_EQ(1, match_match("!!x", "!x"));
    EXPECT_EQ(0, match_match("!!x", "x"));
    EXPECT_EQ(1, match_match("!!*", "!anything"));
    // "!" alone rejects only the empty name.
    EXPECT_EQ(0, match_match("!,*", ""));
    EXPECT_EQ(1, match_match("!,*", "a"));
}

TEST(MatchMatch, HundredthEntryKeepsTheRest)
{
    std::string mask;
    for (int i = 0; i < 99; i++) mask.append("u").append(std::to_string(i)).append(",");
    mask += "last,other";
    EXPECT_EQ(1, match_match(mask.c_str(), "u98"));
    EXPECT_EQ(1, match_match(mask.c_str(), "last,other"));
    EXPECT_EQ(0, match_match(mask.c_str(), "last"));
    EXPECT_EQ(0, match_match(mask.c_str(), "other"));
}

TEST(MatchMatch, LongMaskIsCutAt999Bytes)
{
    std::string mask(995, 'x');
    mask += ",abcdef";
    EXPECT_EQ(1, match_match(mask.c_str(), "abc"));
    EXPECT_EQ(0, match_match(mask.c_str(), "abcdef"));
}

TEST(StripUsername, PrefixIgnoresCaseSuffixDoesNot)
{
    Config c("strip_prefix dom\\\nstrip_suffix @Example\nmodule 1\nmodule 2\n"
             "strip_prefix \nstrip_suffix \nmodule 3\nstrip_prefix X\n");
    CorvaneData d1 = c.domain("1"), d2 = c.domain("2"), d3 = c.domain("3");
    auto strip = [&](CorvaneData *d, const char *name) {
        return gate([&](char *b) { return strip_username(d, b); }, name);
    };
    EXPECT_EQ("alice", strip(&d1, "dom\\alice"));
    EXPECT_EQ("alice", strip(&d1, "DOM\\alice"));
    EXPECT_EQ("alice", strip(&d1, "alice@Example"));
    EXPECT_EQ("alice@example", strip(&d1, "alice@example"));
    EXPECT_EQ("alice", strip(&d1, "Dom\\alice@Example"));
    // Only a suffix at the very end goes.
    EXPECT_EQ("a@Examplez", strip(&d1, "a@Examplez"));
    EXPECT_EQ("a@Exampleb", strip(&d1, "a@Exampleb@Example"));
    // A name made only of the prefix or the suffix becomes empty.
    EXPECT_EQ("", strip(&d1, "dom\\"));
    EXPECT_EQ("", strip(&d1, "@Example"));
    EXPECT_EQ("do", strip(&d1, "do"));
    // Empty values remove nothing; a domain's own value replaces the global one.
    EXPECT_EQ("dom\\alice@Example", strip(&d2, "dom\\alice@Example"));
    EXPECT_EQ("alice", strip(&d3, "xalice@Example"));
    EXPECT_EQ(nullptr, strip_username(&d1, nullptr));
}

TEST(StripUsername, SuffixLeavesTheBufferAlone)
{
    Config c("module 1\nstrip_suffix .x\n");
    CorvaneData d = c.domain("1");
    char buffer[1000] = "bob.x";
    EXPECT_STREQ("bob", strip_username(&d, buffer));
    EXPECT_STREQ("bob.x", buffer);
}

TEST(Settings, TableRowsDefaultsAndFallbacks)
{
    const char *names[] = {"loglevel",      "binary",  "lookup",    "check",     "set",
                           "del",           "search",  "match",     "do_lookup", "do_check",
                           "do_set",        "do_del",  "do_search", "ip_match",  "strip_prefix",
                           "strip_suffix",  "timeout", "set_once",  "del_once",  "sig_handler",
                           "log_rotations", "log_size", "search_limit"};
    for (int i = 0; i < 23; i++) {
        EXPECT_EQ(i, Settings[i].Id);
        EXPECT_STREQ(names[i], Settings[i].Name);
        EXPECT_EQ(SM_NONE, Settings[i].Mode);
        EXPECT_STREQ("VALUE", Settings[i].Format);
        EXPECT_EQ(i >= I_LOOKUP && i <= I_SEARCH ? I_MATCH : -1, Settings[i].Fallback);
    }
    EXPECT_EQ(nullptr, Settings[23].Name);
    EXPECT_EQ(I_LOG_SIZE, 21);

    Config c("module 1\nbinary /bin/true\nmodule 2\nbinary /bin/true\nmatch m*\n"
             "lookup l*\nsig_handler whatever\nTIMEOUT 5\n");
    struct {
        int id;
        const char *value;
    } defaults[] = {{I_LOGLEVEL, "error"},   {I_MATCH, "*"},         {I_LOOKUP, "*"},
                    {I_CHECK, "*"},          {I_SET, "*"},           {I_DEL, "*"},
                    {I_SEARCH, "*"},         {I_DO_LOOKUP, "true"},  {I_DO_CHECK, "true"},
                    {I_DO_SET, "existing"},  {I_DO_DEL, "false"},    {I_DO_SEARCH, "true"},
                    {I_IP_MATCH, "*"},       {I_TIMEOUT, "20000"},   {I_SET_ONCE, "false"},
                    {I_DEL_ONCE, "false"},   {I_LOG_ROTATIONS, "4"}, {I_LOG_SIZE, "1048576"},
                    {I_SIG_HANDLER, "false"}};
    for (auto &d : defaults)
        EXPECT_STREQ(d.value, sini_getx(c.ini, d.id, "1", nullptr, 0)) << Settings[d.id].Name;
    EXPECT_EQ(nullptr, sini_getx(c.ini, I_STRIP_PREFIX, "1", nullptr, 0));
    EXPECT_EQ(nullptr, sini_getx(c.ini, I_STRIP_SUFFIX, "1", nullptr, 0));
    // Domain 2: its own lookup, its match for the other masks, a label in capitals.
    EXPECT_STREQ("l*", sini_getx(c.ini, I_LOOKUP, "2", nullptr, 0));
    EXPECT_STREQ("m*", sini_getx(c.ini, I_CHECK, "2", nullptr, 0));
    EXPECT_STREQ("5", sini_getx(c.ini, I_TIMEOUT, "2", nullptr, 0));
}

TEST(Gatekeeping, SwitchesAndMasks)
{
    Config c("match a*\nmodule 1\nlookup bob\nmodule 2\ndo_lookup off\ndo_search 0\n"
             "do_del yes\nmodule 3\ndo_lookup existing\n");
    CorvaneData d1 = c.domain("1"), d2 = c.domain("2"), d3 = c.domain("3");
    auto lookup = [](CorvaneData *d, const char *n) {
        return gate([&](char *b) { return cblookup(nullptr, d, b, 1000); }, n);
    };
    auto del = [](CorvaneData *d, const char *n) {
        return gate([&](char *b) { return cbdel(nullptr, d, b, 1000); }, n);
    };
    auto search = [](CorvaneData *d, const char *n) {
        return gate([&](char *b) { return cbsearch(nullptr, d, b, 1000); }, n);
    };
    // Domain 1: its own lookup mask; the global match for the others.
    EXPECT_EQ("bob", lookup(&d1, "bob"));
    EXPECT_EQ("<null>", lookup(&d1, "alice"));
    EXPECT_EQ("alice", search(&d1, "alice"));
    EXPECT_EQ("<null>", search(&d1, "bob"));
    EXPECT_EQ("<null>", del(&d1, "alice")); // do_del defaults to false
    // Domain 2: switches off by word and by number; do_del on.
    EXPECT_EQ("<null>", lookup(&d2, "alice"));
    EXPECT_EQ("<null>", search(&d2, "alice"));
    EXPECT_EQ("alice", del(&d2, "alice"));
    // A value that is no false word leaves the switch on.
    EXPECT_EQ("alice", lookup(&d3, "alice"));
    EXPECT_EQ("<null>", lookup(&d3, "Alice"));

    std::string log = c.logged();
    EXPECT_NE(std::string::npos,
              log.find("Not doing lookup in Module2147483647 because alice does not match [bob]"));
    EXPECT_NE(std::string::npos,
              log.find("Not doing search in Module2147483647 because bob does not match [a*]"));
    EXPECT_NE(std::string::npos,
              log.find("Not doing del in Module2147483647 because do_del is FALSE"));
    EXPECT_NE(std::string::npos,
              log.find("Not doing lookup in Module2147483647 because do_lookup is FALSE"));
    EXPECT_NE(std::string::npos,
              log.find("Not doing search in Module2147483647 because do_search is FALSE"));
    EXPECT_NE(std::string::npos,
              log.find("Not doing lookup in Module2147483647 because Alice does not match [a*]"));
}

TEST(Gatekeeping, CheckSwitchMaskAndAddress)
{
    Config c("module 1\nip_match 10.0.0.*, 192.168.1.1\nmodule 2\ndo_check no\n"
             "module 3\ncheck xb*\nstrip_prefix x\nmodule 4\ndo_check move_to\n");
    CorvaneData d1 = c.domain("1"), d2 = c.domain("2"), d3 = c.domain("3"), d4 = c.domain("4");
    auto check = [](CorvaneData *d, const char *n, const char *ip) {
        char address[1000];
        scpy(address, ip, 1000);
        return gate([&](char *b) { return cbcheck(nullptr, d, b, address, 1000); }, n);
    };
    EXPECT_EQ("alice", check(&d1, "alice", "10.0.0.7"));
    EXPECT_EQ("alice", check(&d1, "alice", "1.2.3.4,192.168.1.1"));
    EXPECT_EQ("<null>", check(&d1, "alice", "10.0.1.7"));
    EXPECT_EQ("<null>", check(&d1, "alice", ""));
    EXPECT_EQ("<null>", check(&d2, "alice", ""));
    EXPECT_EQ("bob", check(&d3, "xbob", ""));
    EXPECT_EQ("<null>", check(&d3, "bob", ""));
    EXPECT_EQ("alice", check(&d4, "alice", ""));
    std::string log = c.logged();
    EXPECT_NE(std::string::npos, log.find("Not doing check in Module2147483647 because 10.0.1.7 "
                                          "does not match [10.0.0.*, 192.168.1.1]"));
    EXPECT_NE(std::string::npos,
              log.find("Not doing check in Module2147483647 because do_check is FALSE"));
    EXPECT_NE(std::string::npos,
              log.find("Not doing check in Module2147483647 because bob does not match [xb*]"));
}

TEST(Gatekeeping, MoveFromMarksAtEveryCheck)
{
    Config c("module 1\ndo_check move_from\ncheck nobody\nmodule 2\ndo_check MOVE_FROM\n");
    CorvaneData d1 = c.domain("1"), d2 = c.domain("2");
    Module m1{}, m2{};
    char ip[1000] = "";
    char name[1000] = "alice";
    // The mark comes before the mask refuses the user.
    EXPECT_EQ(nullptr, cbcheck(&m1, &d1, name, ip, 1000));
    EXPECT_EQ(1, m1.SetOnCheck);
    // The word in capitals is no mark, and leaves the switch on.
    EXPECT_EQ(name, cbcheck(&m2, &d2, name, ip, 1000));
    EXPECT_EQ(0, m2.SetOnCheck);
    EXPECT_NE(std::string::npos,
              c.logged().find("Queue'ing a 'set on check' operation for Module"));
}

TEST(Gatekeeping, SetRules)
{
    Config c("module 1\ndo_set move_to\nmodule 2\ndo_set MOVE_FROM\nmodule 3\ndo_set always\n"
             "set a*\nmodule 4\ndo_set n\nmodule 5\n");
    CorvaneData d[5] = {c.domain("1"), c.domain("2"), c.domain("3"), c.domain("4"), c.domain("5")};
    auto set = [](CorvaneData *data, const char *n, const char *password) {
        std::string pw = password;
        return gate([&](char *b) { return cbset(nullptr, data, b, pw.data(), 1000); }, n);
    };
    EXPECT_EQ("alice", set(&d[0], "alice", "secret"));
    EXPECT_EQ("<null>", set(&d[0], "alice", "(NULL)"));
    EXPECT_EQ("<null>", set(&d[1], "alice", "secret"));
    EXPECT_EQ("alice", set(&d[1], "alice", "(NULL)"));
    EXPECT_EQ("<null>", set(&d[1], "alice", "(null)"));
    EXPECT_EQ("alice", set(&d[2], "alice", "(NULL)"));
    EXPECT_EQ("<null>", set(&d[2], "bob", "x"));
    EXPECT_EQ("<null>", set(&d[3], "alice", "x"));
    // "existing" with no module to ask: the lookup fails and the set is refused.
    EXPECT_EQ("<null>", set(&d[4], "alice", "x"));
    std::string log = c.logged();
    EXPECT_NE(std::string::npos,
              log.find("Not doing set in Module2147483647 because do_set is 'move_to' and "
                       "password has *not* been provided"));
    EXPECT_NE(std::string::npos,
              log.find("Not doing set in Module2147483647 because do_set is 'move_from' and "
                       "password *has* been provided"));
    EXPECT_NE(std::string::npos,
              log.find("Not doing set in Module2147483647 because bob does not match [a*]"));
    EXPECT_NE(std::string::npos,
              log.find("Not doing set in Module2147483647 because do_set is FALSE"));
    EXPECT_NE(std::string::npos,
              log.find("Error: Not doing set in Module2147483647 because user lookup failed, "
                       "(NULL)"));
}

TEST(SearchResult, CountsFinalLinesAndPassesDataLines)
{
    Config c("");
    search_found = search_outof = 0;
    char data[] = "+DATA alice 42 7";
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, search_result(data));
    EXPECT_EQ("+DATA alice 42 7\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(0, search_found);

    char one[] = "+OK 5";
    search_result(one);
    EXPECT_EQ(5, search_found);
    EXPECT_EQ(5, search_outof);
    char two[] = "+OK found 3 of 100";
    search_result(two);
    EXPECT_EQ(8, search_found);
    EXPECT_EQ(105, search_outof);

    // Signs and letters do not count; a third number is logged and ignored.
    search_found = search_outof = 0;
    char signs[] = "-ERR -4 +4 x4 2   9 11 13";
    testing::internal::CaptureStdout();
    search_result(signs);
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ(2, search_found);
    EXPECT_EQ(9, search_outof);
    EXPECT_NE(std::string::npos, c.logged().find("Search +OK line has more than 2 numbers in it?!? "
                                                 "[-ERR -4 +4 x4 2   9 11 13]"));

    // "+DATA" without its blank is a final line.
    search_found = search_outof = 0;
    char bare[] = "+DATA 3";
    bare[5] = 0;
    search_result(bare);
    EXPECT_EQ(0, search_found);
}

TEST(SearchResult, NumbersSaturate)
{
    search_found = search_outof = 0;
    char huge[] = "+OK 99999999999999999999 5";
    search_result(huge);
    EXPECT_EQ(INT_MAX, search_found);
    EXPECT_EQ(INT_MAX, search_outof);
    char more[] = "+OK 2147483647 2147483647";
    search_result(more);
    EXPECT_EQ(INT_MAX, search_found);
    EXPECT_EQ(INT_MAX, search_outof);
}
