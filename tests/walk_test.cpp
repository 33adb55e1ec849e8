// The multiplexer's walk over scripted modules: a module that cannot answer, given up and retried,
// moves, gatekeepers' names, a reply's time-out, the search's limits, the working directory,
// programs that cannot run.
#include "adt/log.h"
#include "adt/spawn.h"
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

// A module that cannot answer makes the result temporary unless one accepts,
// with the error line of its failure as the reason. A reply that trickles in
// must still be whole within the time-out. A module that stopped reading
// (after its first answer) cannot be sent the request.
TEST_F(Walk, CouldNotAnswerIsTemporaryNeverARefusal)
{
    const char *no = "*\t-ERR no", *yes = "*\t+OK yes", *crash = "*\t!exit 3",
               *hang = "*\t!sleep 3000", *dead = "*\t-DEAD store down",
               *deaf = "*\t+OK ;; !closein ;; !sleep 5000";
    std::string trickle = "*\t+\\c";
    for (int i = 0; i < 20; i++) trickle += " ;; !sleep 60 ;; O\\c";
    const char *slow = trickle.c_str();
    std::string m1 = "0 -DEAD Module1 (scriptmod) ", ended = m1 + "exited with status 3",
                late = m1 + "did not answer within 300 ms";
    // clang-format off
    struct Row { const char *one, *two; std::string want; } rows[] = {
        {no, "", "0 -ERR no"},  {yes, "", "1 +OK yes"},         {crash, "", ended},
        {hang, "", late},       {dead, "", "0 -DEAD store down"}, {crash, no, ended},
        {hang, no, late},       {crash, yes, "1 +OK yes"},        {no, no, "0 -ERR no"},
        {slow, "", late},       {deaf, "", m1 + "closed its standard input"}};
    // clang-format on
    for (char op : {'l', 'c'})
        for (const Row &r : rows) {
            SCOPED_TRACE(std::string(r.one) + " / " + r.two);
            table({mod("a", r.one), *r.two ? mod("b", r.two) : ""},
                  r.one == hang || r.one == slow ? 300 : 10000);
            if (r.one == deaf) ask(op, "first");
            size_t before = logged().size();
            EXPECT_EQ(ask(op, "bob"), r.want);
            std::string since = logged().substr(before);
            EXPECT_EQ(r.want.starts_with(m1), contains(since, "Error: " + r.want.substr(8)));
            EXPECT_EQ(r.one != no && r.one != yes,
                      contains(since, "Error: Module1 could not answer"));
            tallis_free(&t);
        }
}

// A module given up earlier still counts for the names it would serve; what
// its gatekeeper did to the name never reaches the next module's. Failures
// retry_after apart start its count again; retry_after after it was given
// up it is started afresh when next reached (retry_after 0: never).
TEST_F(Walk, GivenUpModuleCountsUntilItIsRetried)
{
    g[0].refuse = "x";
    g[0].cut = 2;
    std::string a = mod("a", "*\t-DEAD gone");
    table({a, mod("b", "*\t-ERR no")});
    auto fail = [&](int times, int retry) {
        tallis_retry_after(t, retry);
        for (int i = 0; i < times; i++) ask('l', "bob");
    };
    fail(5, 60), usleep(1100000), fail(1, 1), fail(5, 60);
    EXPECT_EQ(count(logged(), "Error: Module1 reported -DEAD 1 times, restarting..."), 2);
    EXPECT_EQ(tallis_given_up(t), 1);
    EXPECT_EQ(reqs("a")[0], "lookup bo");
    EXPECT_EQ(reqs("b"), Lines(11, "lookup bob"));
    std::string gone = "0 -DEAD Module1 (scriptmod) was given up after repeated failures";
    EXPECT_EQ(ask('c', "bob"), gone);
    EXPECT_EQ(ask('l', "xbob"), "0 -ERR no");
    write_file(dir + "/a.script", "*\t+OK back\n");
    usleep(1100000);
    tallis_retry_after(t, 0);
    EXPECT_EQ(ask('l', "bob"), gone);
    tallis_retry_after(t, 1);
    EXPECT_EQ(ask('l', "bob"), "1 +OK back");
    EXPECT_EQ(tallis_given_up(t), 0);
    EXPECT_TRUE(contains(logged(), "Error: Module1 started again after being given up"));
}

// The source of a move is not asked about a user its target knows, nor
// while the target cannot say whether it knows them.
TEST_F(Walk, MoveAsksTheSourceOnlyAboutUsersTheTargetDoesNotKnow)
{
    g[0].set = true;
    std::string knows = "lookup alice\t+OK\nlookup\t-ERR unknown\ncheck\t-ERR wrong\nset\t+OK",
                down = "0 -DEAD alice cannot be checked while Module1 cannot answer: ";
    Lines asked = {"check alice pw ", "lookup alice"};
    struct Row {
        std::string target, user, want;
        Lines to_target;
        int checks = 1;
    } rows[] = {
        {knows, "alice", "0 -ERR wrong", asked},
        {knows, "bob", "1 +OK old 1 2 info", {"check bob pw ", "lookup bob", "set bob pw info"}},
        {"check\t-ERR wrong\nlookup\t-DEAD store down", "alice", down + "store down", asked},
        {"check\t-ERR wrong\nlookup\t!exit 3", "alice",
         down + "Module1 (scriptmod) exited with status 3", asked},
        {"*\t-DEAD down", "alice", down + "down", {asked[0]}}, // failed earlier in the check
        {"*\t-DEAD down", "alice",
         down + "Module1 (scriptmod) was given up after repeated failures", Lines(6, asked[0]), 7}};
    for (size_t i = 0; i < std::size(rows); i++) {
        const Row &r = rows[i];
        std::string n = std::to_string(i);
        table({mod("new" + n, r.target), mod("old" + n, "check\t+OK old 1 2 info")});
        module_set_on_check(&t->Modules[1], 1);
        for (int c = 1; c < r.checks; c++) ask('c', r.user.c_str());
        EXPECT_EQ(ask('c', r.user.c_str()), r.want) << i;
        EXPECT_EQ(reqs("new" + n), r.to_target) << i;
        EXPECT_EQ(reqs("old" + n), r.user == "bob" ? Lines{"check bob pw "} : Lines{}) << i;
        tallis_free(&t);
    }
}

// A search takes at most the limit of data lines, and of time, from one module.
TEST_F(Walk, SearchStopsAtItsLimitsAndRestartsTheModule)
{
    table({mod("a", "search slow\t!sleep 30000\nsearch\t!data 3 ;; +OK 3 3\n"
                    "lookup\t+OK $$"),
           mod("b", "search\t+OK 0 0")});
    char *res = nullptr;
    Lines all = {"+DATA 1", "+DATA 2", "+DATA 3", "+OK 3 3", "+OK 0 0"};
    struct Row {
        int limit, ms;
        const char *string;
        Lines want;
    } rows[] = {
        {3, 60000, "x", all},
        {2, 60000, "x", {"+DATA 1", "+DATA 2", "+OK 2 lines taken, the rest not read", "+OK 0 0"}},
        {3, 300, "slow", {"+OK 0 lines taken, the rest not read", "+OK 0 0"}}};
    for (const Row &r : rows) {
        tallis_search_limit(t, r.limit);
        tallis_search_timeout(t, r.ms);
        lines.clear();
        std::string pid = ask('l', "bob");
        tallis_search(t, r.string, nullptr, take, &res);
        free(res);
        EXPECT_EQ(lines, r.want);
        EXPECT_EQ(r.want != all, ask('l', "bob") != pid) << "restarted";
    }
    for (const char *why : {"2 lines", "0 lines at the search time-out"})
        EXPECT_TRUE(contains(logged(), "Error: Module1: search stopped after " + std::string(why) +
                                           ", restarting it"));
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
        {nullptr, none, "0 -DEAD Module1 (none) cannot execute '" + none + "': " + enoent},
        {none.c_str(), "/bin/cat",
         "0 -DEAD Module1 (cat) cannot change to directory '" + none + "': " + enoent}};
    // clang-format on
    for (const Row &r : rows) {
        table({r.binary}, 10000, r.workdir);
        EXPECT_EQ(ask('l', "bob"), r.want);
        tallis_free(&t);
    }
}

// Starting a module leaves our standard descriptors as they were: a
// program run after it by other means (a server a benchmark starts) still
// finds its descriptors 0 to 2 open.
TEST_F(Walk, ProgramsRunAfterAModuleKeepTheirStandardDescriptors)
{
    ASSERT_EQ(1, spawn_stdio_open());
    table({mod("m", "*\t+OK")});
    EXPECT_EQ(ask('l', "bob"), "1 +OK");
    EXPECT_EQ(0, system("for fd in 0 1 2; do [ -e /proc/$$/fd/$fd ] || exit 1; done"));
}

} // namespace
