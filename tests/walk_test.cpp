// The multiplexer's walk over scripted modules: a module that cannot answer, moves, gatekeepers'
// names, a reply's time-out, the search limit, the working directory, programs that cannot run.
#include "adt/log.h"
#include "adt/tallis.h"
#include "tests/testkit.h"

#include <cstring>

using namespace adt;
using namespace testkit;

namespace
{

// A module's gatekeeping: names beginning with `refuse` are not its; `cut`
// shortens the name buffer in place; `set` takes the set on check.
struct Gate {
    std::string refuse = "~";
    int cut = -1;
    bool set = false;

    static char *one(Module *, void *d, char *n, int) { return static_cast<Gate *>(d)->at(n); }
    static char *two(Module *m, void *d, char *n, char *, int) { return one(m, d, n, 0); }
    static char *sets(Module *, void *d, char *n, char *, int) { return ((Gate *)d)->set ? n : 0; }
    char *at(char *name)
    {
        if (strncmp(name, refuse.c_str(), refuse.size()) == 0) return nullptr;
        return cut >= 0 ? (name[cut] = 0, name) : name;
    }
};

Lines lines; // what a search handed on

class Walk : public ::testing::Test
{
  protected:
    TempDir tmp;
    std::string &dir = tmp.path;
    Log *log = nullptr;
    Tallis *t = nullptr;
    Gate g[3];

    void SetUp() override
    {
        log = log_init(LogDebug);
        ASSERT_EQ(log_setup(log, dir.c_str(), "walk.log"), 1);
        log_set(log), log_doflush(log, 1), lines.clear();
    }
    void TearDown() override { tallis_free(&t), log_free(&log); }
    // The command line of a scriptmod module `name` answering by script.
    std::string mod(const std::string &name, const std::string &script)
    {
        write_file(dir + "/" + name + ".script", script + "\n");
        std::string at = dir + "/" + name;
        return std::string(TEST_PROGS_DIR) + "/scriptmod " + at + ".script " + at + ".req";
    }
    Lines reqs(const std::string &name) { return lines_of(read_file(dir + "/" + name + ".req")); }
    std::string logged() { return read_file(dir + "/walk.log"); }
    static int take(char *line) { return lines.push_back(line), 1; }
    // A table of the modules given (an empty command line is left out); the
    // first one waits `first` ms for a reply, the others a generous time.
    void table(const Lines &binaries, int first = 10000, const char *workdir = nullptr)
    {
        t = tallis_init(3);
        tallis_workdir(t, workdir);
        tallis_setup(t, Gate::one, Gate::two, Gate::sets, Gate::one, Gate::one);
        for (int i = 0; i < (int)binaries.size(); i++) {
            if (binaries[i].empty()) continue;
            ASSERT_EQ(tallis_add(t, binaries[i].c_str(), i + 1, i ? 10000 : first, &g[i], 0, 0), 1);
        }
    }
    // "RC RESULT" of a lookup (op 'l') or a check (op 'c') of user.
    std::string ask(char op, const char *user, const char *password = "pw")
    {
        char *r = nullptr;
        int rc = op == 'l' ? tallis_lookup(t, user, &r) : tallis_check(t, user, password, 0, &r);
        std::string s = std::to_string(rc) + " " + r;
        free(r);
        return s;
    }
};

// A module that cannot answer makes the result temporary unless one accepts.
// A reply that trickles in must still be whole within the time-out.
TEST_F(Walk, CouldNotAnswerIsTemporaryNeverARefusal)
{
    const char *no = "*\t-ERR no", *yes = "*\t+OK yes", *crash = "*\t!exit 3",
               *hang = "*\t!sleep 3000", *dead = "*\t-DEAD store down";
    std::string trickle = "*\t+\\c";
    for (int i = 0; i < 20; i++) trickle += " ;; !sleep 60 ;; O\\c";
    const char *slow = trickle.c_str();
    // clang-format off
    struct Row { const char *one, *two, *want; } rows[] = { // want: the start of the result
        {no, "", "0 -ERR no"},         {yes, "", "1 +OK yes"},           {crash, "", "0 -DEAD bob mod"},
        {hang, "", "0 -DEAD bob mod"}, {dead, "", "0 -DEAD store down"}, {crash, no, "0 -DEAD bob mod"},
        {hang, no, "0 -DEAD bob mod"}, {crash, yes, "1 +OK yes"},        {no, no, "0 -ERR no"},
        {slow, "", "0 -DEAD bob mod"}};
    // clang-format on
    for (char op : {'l', 'c'})
        for (const Row &r : rows) {
            SCOPED_TRACE(std::string(r.one) + " / " + r.two);
            table({mod("a", r.one), *r.two ? mod("b", r.two) : ""},
                  r.one == hang || r.one == slow ? 300 : 10000);
            size_t before = logged().size();
            std::string got = ask(op, "bob");
            EXPECT_EQ(got.substr(0, strlen(r.want)), r.want) << got;
            EXPECT_EQ(r.one == hang || r.one == slow, contains(got, strerror(ETIMEDOUT))) << got;
            bool told = contains(logged().substr(before), "Error: Module1 could not answer");
            EXPECT_EQ(r.one != no && r.one != yes, told);
            tallis_free(&t);
        }
}

// A module given up earlier still counts for the names it would serve; what
// its gatekeeper did to the name never reaches the next module's.
TEST_F(Walk, GivenUpModuleCountsWhereItWouldHaveBeenAsked)
{
    g[0].refuse = "x";
    g[0].cut = 2;
    std::string a = mod("a", "*\t-DEAD gone");
    table({a, mod("b", "*\t-ERR no")});
    for (int i = 0; i < 6; i++) ask('l', "bob");
    EXPECT_EQ(tallis_given_up(t), 1);
    EXPECT_EQ(reqs("a")[0], "lookup bo");
    EXPECT_EQ(reqs("b"), Lines(6, "lookup bob"));
    EXPECT_EQ(ask('c', "bob"), "0 -DEAD bob module (" + a + "), given up after repeated failures");
    EXPECT_EQ(ask('l', "xbob"), "0 -ERR no");
}

// The source of a move is not asked about a user its target knows.
TEST_F(Walk, MoveSkipsTheSourceWhenTheTargetKnowsTheUser)
{
    g[0].set = true;
    table({mod("new", "lookup alice\t+OK\nlookup\t-ERR unknown\ncheck\t-ERR wrong\nset\t+OK"),
           mod("old", "check\t+OK old 1 2 info")});
    module_set_on_check(&t->Modules[1], 1);
    EXPECT_EQ(ask('c', "alice", "oldpw"), "0 -ERR wrong");
    EXPECT_EQ(ask('c', "bob"), "1 +OK old 1 2 info");
    EXPECT_EQ(reqs("new"), (Lines{"check alice oldpw ", "lookup alice", "check bob pw ",
                                  "lookup bob", "set bob pw info"}));
    EXPECT_EQ(reqs("old"), Lines{"check bob pw "});
}

// A search takes at most the limit of data lines from one module.
TEST_F(Walk, SearchStopsAtItsLimitAndRestartsTheModule)
{
    table({mod("a", "search\t!data 3 ;; +OK 3 3\nlookup\t+OK $$"), mod("b", "search\t+OK 0 0")});
    char *r = nullptr;
    for (int limit : {3, 2}) {
        tallis_search_limit(t, limit);
        lines.clear();
        std::string pid = ask('l', "bob");
        tallis_search(t, "x", nullptr, take, &r);
        free(r);
        Lines all = {"+DATA 1", "+DATA 2", "+DATA 3", "+OK 3 3", "+OK 0 0"};
        Lines cut = {"+DATA 1", "+DATA 2", "+OK 2 lines taken, the rest not read", "+OK 0 0"};
        EXPECT_EQ(lines, limit == 2 ? cut : all);
        EXPECT_EQ(limit == 2, ask('l', "bob") != pid) << "restarted";
    }
    EXPECT_TRUE(contains(logged(), "Error: Module1: search stopped after 2 lines, restarting it"));
}

// Modules run in the working directory given; a program that cannot run
// fails each exchange with its reason.
TEST_F(Walk, WorkingDirectoryAndProgramsThatCannotRun)
{
    mod("rel", "*\t+OK here");
    std::string none = dir + "/none", enoent = strerror(ENOENT);
    // clang-format off
    struct Row { const char *workdir; std::string binary, want; } rows[] = {
        {dir.c_str(), std::string(TEST_PROGS_DIR) + "/scriptmod rel.script", "1 +OK here"},
        {nullptr, none, "0 -DEAD bob module (" + none + "), cannot execute '" + none + "': " + enoent},
        {none.c_str(), "/bin/cat",
         "0 -DEAD bob module (/bin/cat), cannot change to directory '" + none + "': " + enoent}};
    // clang-format on
    for (const Row &r : rows) {
        table({r.binary}, 10000, r.workdir);
        EXPECT_EQ(ask('l', "bob"), r.want);
        tallis_free(&t);
    }
}

} // namespace
