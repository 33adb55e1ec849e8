// The module multiplexer driven with real child modules (scriptmod).
#include "adt/tallis.h"

#include "adt/spawn.h"
#include "tests/testkit.h"

#include <climits>
#include <thread>

using namespace adt;
using namespace testkit;

namespace
{

// What a gatekeeper does for one operation of one module, and what it saw.
struct Gate {
    bool accept = true;
    int skip = 0; // the module is asked under the name past this many characters
    int cut = -1; // when >= 0, the name buffer is shortened in place to this length
    std::vector<std::string> names;
    std::vector<std::string> seconds;
    std::vector<int> sizes;
};

// Per-module gatekeeping, handed to the table as the module's Data.
struct Gates {
    Gate lookup, check, set, del, search;
};

char *run_gate(Gate &g, char *username, int bfsz, const char *second = nullptr)
{
    g.names.push_back(username);
    g.sizes.push_back(bfsz);
    if (second) g.seconds.push_back(second);
    if (!g.accept) return nullptr;
    if (g.cut >= 0 && g.cut < static_cast<int>(strlen(username))) username[g.cut] = 0;
    return username + g.skip;
}

// The gatekeepers: each runs the module's Gate for its operation, if it has one.
template <Gate Gates::*G> char *gate(Module *, void *data, char *name, int bfsz)
{
    return data ? run_gate(static_cast<Gates *>(data)->*G, name, bfsz) : name;
}
template <Gate Gates::*G> char *gate2(Module *, void *data, char *name, char *second, int bfsz)
{
    return data ? run_gate(static_cast<Gates *>(data)->*G, name, bfsz, second) : name;
}

// The search line callback's record.
std::vector<std::string> search_lines;
std::vector<std::chrono::steady_clock::time_point> search_times;

int record_line(char *line)
{
    search_lines.push_back(line);
    search_times.push_back(std::chrono::steady_clock::now());
    return 1;
}

bool starts_with(const std::string &s, const std::string &prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

const std::string PW = "Pw0rdSecretXyz";
const char *PASSWORD = PW.c_str();
using Lines = std::vector<std::string>;

// "RC TEXT" of an operation's result, which is freed.
std::string said(int rc, char *text)
{
    std::string s = std::to_string(rc) + " " + (text ? text : "<null>");
    free(text);
    return s;
}

// The text of "RC TEXT".
std::string text_of(const std::string &said)
{
    return said.substr(said.find(' ') + 1);
}

class TallisTest : public ::testing::Test
{
  protected:
    TestLog testlog;
    std::string dir;
    Tallis *t = nullptr;

    void SetUp() override
    {
        ASSERT_TRUE(testlog.open("tallis.log"));
        dir = testlog.dir.path;
        log_dorotate(testlog.log, 4, size_t(1) << 30);
        search_lines.clear();
        search_times.clear();
    }

    void TearDown() override
    {
        tallis_free(&t);
        EXPECT_FALSE(contains(testlog.text(), PW)) << "password written to the log";
    }

    // Writes a script for scriptmod and answers the command line that runs it.
    std::string mod(const std::string &name, const std::string &script)
    {
        write_file(dir + "/" + name + ".script", script);
        return std::string(TEST_PROGS_DIR) + "/scriptmod " + dir + "/" + name + ".script " + dir +
               "/" + name + ".req";
    }

    // The request lines the module `name` received, over all its processes.
    Lines reqs(const std::string &name) { return file_lines(dir + "/" + name + ".req"); }

    // Waits (generously) until the module `name` has received `n` requests.
    Lines wait_reqs(const std::string &name, size_t n)
    {
        for (int i = 0; i < 100 && reqs(name).size() < n; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return reqs(name);
    }

    // Whether a log line reads "Level: text" exactly (or begins so).
    bool logged(const std::string &msg) { return count_logged(msg) > 0; }
    bool logged_prefix(const std::string &prefix)
    {
        return contains(testlog.text(), "] " + prefix);
    }
    int count_logged(const std::string &msg) { return count(testlog.text(), "] " + msg + "\n"); }

    // Adds a module that must start.
    Module *add(const std::string &binary, int priority, int timeout = 10000, void *data = nullptr)
    {
        char err[1000] = "";
        EXPECT_EQ(tallis_add(t, binary.c_str(), priority, timeout, data, err, sizeof err), 1)
            << err;
        return find(priority);
    }

    // The first slot holding module `priority`.
    Module *find(int priority)
    {
        for (int i = 0; t && i < t->ModuleCount; i++)
            if (t->Modules[i].Process && t->Modules[i].Priority == priority) return &t->Modules[i];
        return nullptr;
    }

    std::string pid_of(Module *m) { return std::to_string(spawn_get_pid(m->Process)); }

    void setup_gates()
    {
        tallis_setup(t, gate<&Gates::lookup>, gate2<&Gates::check>, gate2<&Gates::set>,
                     gate<&Gates::del>, gate<&Gates::search>);
    }

    // Each operation through the table, or through module m alone; "RC TEXT".
    std::string lookup(const std::string &name, Module *m = nullptr)
    {
        char *r = nullptr;
        int rc = m ? tallis_module_lookup(m, name.c_str(), &r) : tallis_lookup(t, name.c_str(), &r);
        return said(rc, r);
    }
    std::string check(const char *name, const char *ip = nullptr, Module *m = nullptr)
    {
        char *r = nullptr;
        int rc = m ? tallis_module_check(m, name, PASSWORD, ip, &r)
                   : tallis_check(t, name, PASSWORD, ip, &r);
        return said(rc, r);
    }
    std::string set(const char *name, const char *rest = nullptr, Module *m = nullptr)
    {
        char *r = nullptr;
        int rc = m ? tallis_module_set(m, name, PASSWORD, rest, &r)
                   : tallis_set(t, name, PASSWORD, rest, &r);
        return said(rc, r);
    }
    std::string del(const char *name, Module *m = nullptr)
    {
        char *r = nullptr;
        int rc = m ? tallis_module_del(m, name, &r) : tallis_del(t, name, &r);
        return said(rc, r);
    }
    std::string search(const char *s, const char *rest = nullptr, Module *m = nullptr)
    {
        char *r = nullptr;
        int rc = m ? tallis_module_search(m, s, rest, record_line, &r)
                   : tallis_search(t, s, rest, record_line, &r);
        return said(rc, r);
    }
};

// --- The table ---

TEST_F(TallisTest, InitGivesEmptyTable)
{
    t = tallis_init(3);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->ModuleCount, 3);
    EXPECT_EQ(t->SetOnce, 0);
    EXPECT_EQ(t->DelOnce, 0);
    EXPECT_EQ(t->uid, -1);
    EXPECT_EQ(t->gid, -1);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(t->Modules[i].Process, nullptr);
        EXPECT_EQ(module_priority(&t->Modules[i]), INT_MAX);
    }
    EXPECT_EQ(module_priority(nullptr), INT_MAX);
    tallis_set_once(nullptr, 1);
    tallis_del_once(nullptr, 1);
    module_set_on_check(nullptr, 1);
    module_clear(nullptr);
    EXPECT_EQ(module_restart(nullptr), 0);
    module_dead(nullptr);
    tallis_free(&t);
    EXPECT_EQ(t, nullptr);
    tallis_free(&t);
    tallis_free(nullptr);
}

TEST_F(TallisTest, AddKeepsOrderByNumberAndLogsTheStart)
{
    t = tallis_init(2);
    std::string b2 = mod("two", "*\t+OK two\n");
    std::string b1 = mod("one", "*\t+OK one\n");
    int data = 0;
    add(b2, 2);
    add(b1, 1, 10000, &data);
    EXPECT_EQ(t->Modules[0].Priority, 1);
    EXPECT_EQ(t->Modules[1].Priority, 2);
    EXPECT_EQ(std::string(t->Modules[0].Binary), b1);
    EXPECT_EQ(t->Modules[0].Data, &data);
    EXPECT_EQ(t->Modules[1].Data, nullptr);
    EXPECT_TRUE(logged("Info: Module1: pid(" + pid_of(&t->Modules[0]) +
                       ") timeout=(10000) binary=(" + b1 + ")"));
    EXPECT_EQ(lookup("bob"), "1 +OK one");
    EXPECT_TRUE(reqs("two").empty());
}

TEST_F(TallisTest, EqualNumbersLastAddedAskedFirst)
{
    t = tallis_init(3);
    add(mod("first", "*\t+OK first\n"), 5);
    add(mod("second", "*\t+OK second\n"), 5);
    add(mod("low", "*\t-ERR low\n"), 1);
    EXPECT_EQ(lookup("bob"), "1 +OK second");
    EXPECT_EQ(reqs("low"), Lines{"lookup bob"});
    EXPECT_TRUE(reqs("first").empty());
}

TEST_F(TallisTest, TimeoutsBelowOneHundredAreClamped)
{
    t = tallis_init(4);
    std::string b = mod("m", "*\t+OK\n");
    int given[] = {0, -5, 100, 101}, want[] = {100, 100, 100, 101};
    for (int i = 0; i < 4; i++) {
        add(b, i + 1, given[i]);
        EXPECT_EQ(find(i + 1)->Timeout, want[i]) << given[i];
    }
    EXPECT_TRUE(
        logged("Info: Module2: pid(" + pid_of(find(2)) + ") timeout=(100) binary=(" + b + ")"));
}

TEST_F(TallisTest, FullTableGivesUpLastModuleForLowerNumber)
{
    const std::string msg = "Error: Too many modules, freeing last module in favour of new one";
    t = tallis_init(2);
    add(mod("a", "*\t+OK a\n"), 1);
    add(mod("c", "*\t+OK c\n"), 3);
    int old = spawn_get_pid(find(3)->Process);
    add(mod("b", "*\t+OK b\n"), 2);
    EXPECT_EQ(count_logged(msg), 1);
    EXPECT_EQ(t->Modules[1].Priority, 2);
    EXPECT_EQ(find(3), nullptr);
    EXPECT_EQ(kill(old, 0), -1) << "the given-up module still runs";

    // Into the last slot itself: its module is given up in favour of the new one.
    add(mod("d", "*\t+OK d\n"), 2);
    EXPECT_EQ(count_logged(msg), 2);
    EXPECT_EQ(t->Modules[0].Priority, 1);
    EXPECT_TRUE(contains(t->Modules[1].Binary, "d.script"));
}

TEST_F(TallisTest, FullTableRefusesHigherNumberWithoutStarting)
{
    t = tallis_init(1);
    add(mod("a", "*\t+OK a\n"), 1);
    std::string b = mod("z", "*\t+OK z\n");
    char err[1000] = "";
    size_t before = testlog.text().size();
    EXPECT_EQ(tallis_add(t, b.c_str(), 9, 1000, nullptr, err, sizeof err), 0);
    EXPECT_TRUE(starts_with(err, "module (" + b + "), ")) << err;
    EXPECT_FALSE(contains(testlog.text().substr(before), "] Debug: Spawn: Execute"));
    EXPECT_EQ(tallis_add(t, b.c_str(), 9, 1000, nullptr, nullptr, 0), 0);
    EXPECT_EQ(lookup("bob"), "1 +OK a");

    Tallis *none = tallis_init(0);
    EXPECT_EQ(tallis_add(none, b.c_str(), 1, 1000, nullptr, err, sizeof err), 0);
    tallis_free(&none);
}

TEST_F(TallisTest, FailedStartFillsErrmsg)
{
    t = tallis_init(2);
    char err[1000] = "";
    EXPECT_EQ(tallis_add(t, nullptr, 1, 1000, nullptr, err, sizeof err), 0);
    EXPECT_EQ(std::string(err), "Module1 has no binary");
    EXPECT_EQ(t->Modules[0].Process, nullptr);
    EXPECT_EQ(t->Modules[0].Priority, INT_MAX);
    EXPECT_EQ(tallis_add(t, nullptr, 1, 1000, nullptr, nullptr, 0), 0);
    char small[10];
    EXPECT_EQ(tallis_add(t, nullptr, 1, 1000, nullptr, small, sizeof small), 0);
    EXPECT_EQ(strlen(small), 9u);
    EXPECT_EQ(tallis_add(nullptr, "x", 1, 1000, nullptr, err, sizeof err), 0);
}

TEST_F(TallisTest, ProgramThatDoesNotExistCountsDeadAtFirstExchange)
{
    t = tallis_init(1);
    std::string b = dir + "/no-such-program";
    Module *m = add(b, 4, 2000);
    ASSERT_NE(m, nullptr);
    std::string r = lookup("bob");
    EXPECT_EQ(r, "0 -DEAD bob module (" + b + "), cannot execute '" + b +
                     "': No such file or directory");
    EXPECT_EQ(m->Dead, 1);
    EXPECT_TRUE(logged("Info: Restarting module 4"));
}

TEST_F(TallisTest, QuitAndFreeReachEveryModule)
{
    t = tallis_init(3);
    add(mod("a", "*\t+OK\n"), 1);
    add(mod("b", "*\t+OK\n"), 2);
    EXPECT_EQ(tallis_quit(t), 1);
    EXPECT_EQ(wait_reqs("a", 1), Lines{"quit"});
    EXPECT_EQ(wait_reqs("b", 1), Lines{"quit"});
    EXPECT_TRUE(logged("Debug: Quit"));
    EXPECT_EQ(tallis_quit(nullptr), 1);
    tallis_free(&t);

    t = tallis_init(3);
    std::vector<int> pids;
    for (int i = 1; i <= 3; i++)
        pids.push_back(spawn_get_pid(add(mod("m" + std::to_string(i), "*\t+OK\n"), i)->Process));
    tallis_free(&t);
    for (int pid : pids) {
        ASSERT_GT(pid, 0);
        // Reaped: no longer our child, and no such process any more.
        EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1) << pid;
        EXPECT_EQ(kill(pid, 0), -1) << pid;
    }
}

// --- Restarts and giving up ---

TEST_F(TallisTest, FiveRestartsThenGivenUp)
{
    t = tallis_init(1);
    Module *m = add(mod("m", "lookup ok\t+OK\nlookup dead\t-DEAD gone\n"), 7);
    for (int i = 1; i <= 6; i++) {
        SCOPED_TRACE(i);
        // Successes in between never lower the count.
        EXPECT_EQ(lookup("ok"), "1 +OK");
        EXPECT_EQ(m->Dead, i - 1);
        int pid = spawn_get_pid(m->Process);
        EXPECT_EQ(lookup("dead"), "0 -DEAD gone");
        if (i <= 5) {
            EXPECT_EQ(m->Dead, i);
            ASSERT_NE(m->Process, nullptr);
            EXPECT_NE(spawn_get_pid(m->Process), pid);
        }
    }
    EXPECT_EQ(m->Process, nullptr);
    EXPECT_EQ(m->Priority, INT_MAX);
    EXPECT_EQ(m->Binary, nullptr);
    EXPECT_EQ(m->Dead, 0);

    std::string want;
    for (int i = 1; i <= 5; i++)
        want += "Error: Module7 reported -DEAD " + std::to_string(i) +
                " times, restarting...\nInfo: Restarting module 7\n";
    want += "Error: Module7 reported -DEAD 5 times, not using it anymore\n";
    std::string got;
    for (const std::string &l : lines_of(testlog.text()))
        if (contains(l, "Module7 reported") || contains(l, "Restarting module"))
            got += l.substr(l.find("] ") + 2) + "\n";
    EXPECT_EQ(got, want);

    EXPECT_EQ(lookup("ok"), "0 -DEAD ok module (" + mod("m", "") + "), given up after repeated failures");
    size_t before = reqs("m").size();
    EXPECT_EQ(tallis_quit(t), 1);
    EXPECT_EQ(reqs("m").size(), before);
}

TEST_F(TallisTest, DeadMatchesFiveCapitalsAndIsCountedByTheCaller)
{
    t = tallis_init(1);
    Module *m = add(mod("m", "lookup a\t-DEADBEEF\nlookup b\t-dead\nlookup c\t-DEA\n"), 1);
    EXPECT_EQ(lookup("b"), "0 -dead");
    lookup("c");
    EXPECT_EQ(m->Dead, 0);
    // One module's exchange hands the reply back without counting it.
    EXPECT_EQ(lookup("a", m), "1 -DEADBEEF");
    EXPECT_EQ(m->Dead, 0);
    EXPECT_EQ(lookup("a"), "0 -DEADBEEF");
    EXPECT_EQ(m->Dead, 1);
}

// --- Exchanges ---

TEST_F(TallisTest, RequestLines)
{
    t = tallis_init(1);
    Module *m = add(mod("m", "lookup\t+\n*\t+OK $1\n"), 1);
    EXPECT_EQ(lookup("bob", m), "1 +");
    EXPECT_EQ(check("bob", nullptr, m), "1 +OK check");
    EXPECT_EQ(check("bob", "10.0.0.1", m), "1 +OK check");
    for (const char *rest : {(const char *)nullptr, "", "a=1 b=2"})
        EXPECT_EQ(set("bob", rest, m), "1 +OK set");
    EXPECT_EQ(del("bob", m), "1 +OK del");
    char *r = nullptr;
    int rc = tallis_module_search(m, "b*", nullptr, nullptr, &r);
    EXPECT_EQ(said(rc, r), "1 +OK search");
    EXPECT_EQ(search("b*", "x y", m), "1 +OK search");
    Lines want = {"lookup bob",
                  "check bob " + PW + " ",
                  "check bob " + PW + " 10.0.0.1",
                  "set bob " + PW,
                  "set bob " + PW + " ",
                  "set bob " + PW + " a=1 b=2",
                  "del bob",
                  "search b*",
                  "search b* x y"};
    EXPECT_EQ(reqs("m"), want);
    EXPECT_TRUE(logged("Debug: Module1[+OK check]"));
    EXPECT_EQ(search_lines, Lines{"+OK search"});
    EXPECT_EQ(m->Dead, 0);
}

TEST_F(TallisTest, ExchangeWithNoModule)
{
    t = tallis_init(1);
    char *r = reinterpret_cast<char *>(1);
    EXPECT_EQ(tallis_module_lookup(nullptr, "bob", &r), 0);
    EXPECT_EQ(r, nullptr);
    r = reinterpret_cast<char *>(1);
    EXPECT_EQ(tallis_module_check(&t->Modules[0], "bob", "pw", nullptr, &r), 0);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(tallis_module_set(nullptr, "bob", "pw", nullptr, &r), 0);
    EXPECT_EQ(tallis_module_del(nullptr, "bob", &r), 0);
    EXPECT_EQ(tallis_module_search(nullptr, "bob", nullptr, record_line, &r), 0);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(testlog.text(), "");
}

TEST_F(TallisTest, SilentModuleFailsAndIsRestarted)
{
    t = tallis_init(1);
    std::string b = mod("m", "lookup slow\t!silent\ndel\t!silent\nsearch\t!silent\n*\t+OK $$\n");
    Module *m = add(b, 3, 300);
    std::string old = pid_of(m);
    EXPECT_EQ(lookup("slow"), "0 -DEAD slow module (" + b + "), " + strerror(ETIMEDOUT));
    EXPECT_TRUE(logged("Error: Failed to talk to Module3 (" + b + "), " + strerror(ETIMEDOUT)));
    EXPECT_TRUE(logged("Error: Module3 reported -DEAD 1 times, restarting..."));
    EXPECT_TRUE(logged("Info: Restarting module 3"));
    EXPECT_EQ(m->Dead, 1);
    EXPECT_NE(pid_of(m), old);
    EXPECT_EQ(lookup("bob"), "1 +OK " + pid_of(m));
    EXPECT_EQ(reqs("m"), (Lines{"lookup slow", "lookup bob"}));

    // Failure texts of operations without a user name.
    std::string d = del("bob", m), s = search("bob", nullptr, m);
    EXPECT_TRUE(starts_with(d, "0 -ERR module (" + b + "), ")) << d;
    EXPECT_TRUE(starts_with(s, "0 -ERR module (" + b + "), ")) << s;
    EXPECT_TRUE(search_lines.empty());
    EXPECT_EQ(m->Dead, 3);
}

TEST_F(TallisTest, WriteToExitedModuleFails)
{
    t = tallis_init(1);
    std::string b = mod("m", "lookup bye\t!closein ;; +OK bye\n*\t+OK $$\n");
    Module *m = add(b, 2);
    EXPECT_EQ(lookup("bye", m), "1 +OK bye");
    std::string r = check("bob", "1.2.3.4", m);
    EXPECT_TRUE(starts_with(r, "0 -ERR bob module (" + b + "), ")) << r;
    EXPECT_EQ(m->Dead, 1);
    EXPECT_EQ(lookup("bob", m), "1 +OK " + pid_of(m));
}

TEST_F(TallisTest, DrainLogsLastThingRead)
{
    // The module stops reading, answers, and writes one more line a little
    // later: the next request cannot be written, and the last look after
    // that failure finds the late line. The window is one poll step wide, so
    // a slow machine gets a few tries.
    bool caught = false;
    for (int attempt = 0; attempt < 4 && !caught; attempt++) {
        tallis_free(&t);
        t = tallis_init(1);
        std::string b = mod("m" + std::to_string(attempt),
                            "lookup go\t!closein ;; +OK go ;; !sleep 30 ;; late line ;; "
                            "!sleep 3000\n*\t+OK\n");
        Module *m = add(b, 1);
        EXPECT_EQ(lookup("go", m), "1 +OK go");
        std::string r = lookup("bob", m);
        EXPECT_TRUE(starts_with(r, "0 ")) << r;
        if (r == "0 -ERR bob module (" + b + "), late line") {
            caught = true;
            EXPECT_TRUE(logged("Error: Last thing read (late line)"));
        }
    }
    EXPECT_TRUE(caught);
}

TEST_F(TallisTest, LongReplies)
{
    t = tallis_init(1);
    std::string b =
        mod("m", "lookup fits\t!long 997 +OK\nlookup long\t!long 1200 +OK\n*\t+OK $$\n");
    Module *m = add(b, 1);
    EXPECT_EQ(lookup("fits"), "1 +OK" + std::string(994, 'x'));
    EXPECT_EQ(m->Dead, 0);
    std::string old = pid_of(m);
    EXPECT_EQ(lookup("long"), "0 -DEAD long module (" + b + "), " + strerror(EMSGSIZE));
    EXPECT_EQ(m->Dead, 1);
    EXPECT_NE(pid_of(m), old);
    EXPECT_EQ(lookup("bob"), "1 +OK " + pid_of(m));
}

TEST_F(TallisTest, MakeResultIsBounded)
{
    std::string big(1500, 'a');
    EXPECT_EQ(said(0, tallis_make_result("%s", big.c_str())), "0 " + big.substr(0, 999));
    EXPECT_EQ(said(0, tallis_make_result("%s%s", big.c_str(), "b")), "0 " + big.substr(0, 999));
    EXPECT_EQ(said(0, tallis_make_result("%s and %d", "x", 5)), "0 x and 5");
    EXPECT_EQ(said(0, tallis_make_result(nullptr)), "0 ");
}

// --- Out-of-step modules ---

TEST_F(TallisTest, StaleOutputIsDiscardedBeforeEachRequest)
{
    t = tallis_init(1);
    Module *m = add(mod("m", "@start\thello there\n"
                             "check alice\t+OK alice ;; +OK alice again\n"
                             "check carol\t+OK carol ;; +OK par\\c\n"
                             "check dave\t+OK dave ;; !sleep 100 ;; +OK late\n"
                             "search\t!data 1 ;; +OK 1 ;; +DATA after\n"
                             "*\t-ERR $2 wrong\n"),
                    1);
    const std::string discarding = "Error: Module1: discarding unexpected output ";
    // Let the greeting arrive before the first request.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(check("alice"), "1 +OK alice");
    EXPECT_TRUE(logged(discarding + "(hello there)"));
    // The second answer to alice must not answer bob's check.
    EXPECT_EQ(check("bob"), "0 -ERR bob wrong");
    EXPECT_TRUE(logged(discarding + "(+OK alice again)"));

    // A partial line held in the channel's buffer.
    EXPECT_EQ(check("carol"), "1 +OK carol");
    EXPECT_EQ(check("bob"), "0 -ERR bob wrong");
    EXPECT_TRUE(logged(discarding + "(+OK par)"));

    // A line still on the pipe.
    EXPECT_EQ(check("dave"), "1 +OK dave");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(check("bob"), "0 -ERR bob wrong");
    EXPECT_TRUE(logged(discarding + "(+OK late)"));

    // Output after a search's final line.
    EXPECT_EQ(text_of(search("x")), "+OK 1");
    EXPECT_EQ(lookup("bob"), "0 -ERR bob wrong");
    EXPECT_TRUE(logged(discarding + "(+DATA after)"));
    EXPECT_EQ(m->Dead, 0);
}

// --- Lookup and check ---

TEST_F(TallisTest, LookupStopsAtFirstSuccessElseLastReplyWins)
{
    t = tallis_init(3);
    add(mod("a", "*\t-ERR a\n"), 1);
    add(mod("b", "lookup bob\t+OK b\n*\t-ERR b\n"), 2);
    Gates gc;
    add(mod("c", "*\t+OK c\n"), 3, 10000, &gc);
    setup_gates();
    EXPECT_EQ(lookup("bob"), "1 +OK b");
    EXPECT_EQ(reqs("a").size(), 1u);
    EXPECT_TRUE(reqs("c").empty());
    EXPECT_TRUE(logged("Debug: Lookup[bob]"));

    // A module its gatekeeper refuses is not asked, and gives no reply.
    gc.lookup.accept = false;
    EXPECT_EQ(lookup("tom"), "0 -ERR b");
    EXPECT_TRUE(reqs("c").empty());
    EXPECT_EQ(gc.lookup.names, Lines{"tom"});
}

TEST_F(TallisTest, LookupFailureTextOfLastModuleAsked)
{
    t = tallis_init(2);
    add(mod("a", "*\t-ERR a\n"), 1);
    std::string b = mod("b", "*\t!silent\n");
    add(b, 2, 300);
    std::string r = lookup("bob");
    EXPECT_TRUE(starts_with(r, "0 -DEAD bob module (" + b + "), ")) << r;
}

TEST_F(TallisTest, DeadModuleCountedAndWalkGoesOn)
{
    t = tallis_init(2);
    Module *a = add(mod("a", "*\t-DEAD\n"), 1);
    add(mod("b", "*\t+OK b\n"), 2);
    EXPECT_EQ(lookup("bob"), "1 +OK b");
    EXPECT_EQ(a->Dead, 1);
    EXPECT_EQ(check("bob"), "1 +OK b");
    EXPECT_EQ(a->Dead, 2);
    search("bob");
    EXPECT_EQ(a->Dead, 3);
}

TEST_F(TallisTest, CheckStopsAtFirstSuccess)
{
    t = tallis_init(3);
    Gates ga, gb;
    add(mod("a", "*\t-ERR a\n"), 1, 10000, &ga);
    add(mod("b", "*\t+OK b\n"), 2, 10000, &gb);
    add(mod("c", "*\t+OK c\n"), 3);
    setup_gates();
    EXPECT_EQ(check("bob"), "1 +OK b");
    EXPECT_TRUE(reqs("c").empty());
    EXPECT_EQ(ga.check.seconds, Lines{""});
    EXPECT_EQ(ga.check.sizes, std::vector<int>{1000});
    EXPECT_TRUE(logged("Debug: Check[bob|xxxx]"));

    EXPECT_EQ(check("bob", "10.1.1.1"), "1 +OK b");
    EXPECT_EQ(gb.check.seconds, (Lines{"", "10.1.1.1"}));
    EXPECT_EQ(reqs("b").back(), "check bob " + PW + " 10.1.1.1");

    gb.check.accept = false;
    EXPECT_EQ(check("bob"), "1 +OK c");
}

TEST_F(TallisTest, NotAllowedUsesCallersOwnName)
{
    t = tallis_init(2);
    setup_gates();
    // Without modules, and then with one whose every gatekeeper refuses
    // after rewriting the buffer: the refusal shows the name as given.
    Gates g;
    for (Gate *x : {&g.lookup, &g.check, &g.set, &g.del, &g.search}) {
        x->accept = false;
        x->cut = 1;
    }
    for (const char *name : {"bob", "bobby"}) {
        SCOPED_TRACE(name);
        if (std::string(name) == "bobby") add(mod("a", "*\t+OK\n"), 1, 10000, &g);
        std::string n = name;
        EXPECT_EQ(lookup(name), "0 -ERR " + n + " 'lookup' not allowed");
        EXPECT_EQ(check(name, "1.1.1.1"), "0 -ERR " + n + " 'check' not allowed");
        EXPECT_EQ(set(name, "x=y"), "0 -ERR " + n + " 'set' not allowed");
        EXPECT_EQ(del(name), "0 -ERR " + n + " 'del' not allowed");
        EXPECT_EQ(search(name, "more"), "0 -ERR " + n + " 'search' not allowed");
    }
    EXPECT_TRUE(reqs("a").empty());
    EXPECT_TRUE(search_lines.empty());

    char *r = nullptr;
    int rc = tallis_lookup(nullptr, "bob", &r);
    EXPECT_EQ(said(rc, r), "0 -ERR bob 'lookup' not allowed");
    EXPECT_EQ(tallis_lookup(t, "bob", nullptr), 0);
}

TEST_F(TallisTest, CallbacksShareTheNameBuffer)
{
    t = tallis_init(3);
    Gates ga, gb, gc;
    ga.lookup.skip = 3;
    add(mod("a", "*\t-ERR a\n"), 1, 10000, &ga);
    gb.lookup.cut = 6;
    add(mod("b", "*\t-ERR b\n"), 2, 10000, &gb);
    add(mod("c", "*\t-ERR c\n"), 3, 10000, &gc);
    setup_gates();
    EXPECT_EQ(lookup("abcbobby"), "0 -ERR c");
    EXPECT_EQ(reqs("a"), Lines{"lookup bobby"});
    EXPECT_EQ(gb.lookup.names, Lines{"abcbobby"});
    EXPECT_EQ(reqs("b"), Lines{"lookup abcbob"});
    EXPECT_EQ(gc.lookup.names, Lines{"abcbobby"});
    EXPECT_EQ(reqs("c"), Lines{"lookup abcbobby"});
    EXPECT_EQ(gc.lookup.sizes, std::vector<int>{1000});
}

TEST_F(TallisTest, LongUserNameIsCutAndTooLongARequestIsNotSent)
{
    t = tallis_init(1);
    Gates g;
    add(mod("a", "*\t-ERR no\n"), 1, 10000, &g);
    setup_gates();
    std::string name(1200, 'n');
    std::string r = lookup(name);
    EXPECT_EQ(g.lookup.names, Lines{name.substr(0, 999)});
    // "lookup " and 999 characters are more than a request line holds: the
    // module is asked nothing rather than about a shorter name.
    EXPECT_TRUE(reqs("a").empty());
    EXPECT_TRUE(starts_with(r, "0 -ERR " + name.substr(0, 990))) << r;
    EXPECT_TRUE(logged("Error: Module1: request of more than 997 characters not sent"));
    EXPECT_EQ(t->Modules[0].Dead, 0);
    // 990 characters fit.
    lookup(name.substr(0, 990));
    EXPECT_EQ(reqs("a"), Lines{"lookup " + name.substr(0, 990)});

    g.lookup.accept = false;
    EXPECT_EQ(lookup(name).size(), 2 + 999u);
}

// --- Set and del ---

TEST_F(TallisTest, SetAsksEveryModule)
{
    t = tallis_init(3);
    Gates ga;
    add(mod("a", "*\t+OK a\n"), 1, 10000, &ga);
    add(mod("b", "*\t-ERR b\n"), 2);
    setup_gates();
    EXPECT_EQ(set("bob", "k=v"), "0 -ERR b");
    EXPECT_EQ(reqs("a"), Lines{"set bob " + PW + " k=v"});
    EXPECT_EQ(reqs("b"), Lines{"set bob " + PW + " k=v"});
    EXPECT_EQ(ga.set.seconds, Lines{PW});
    EXPECT_TRUE(logged("Debug: Set[bob|xxxx|k=v]"));
    set("bob");
    EXPECT_TRUE(logged("Debug: Set[bob|xxxx|]"));
    EXPECT_EQ(reqs("b").back(), "set bob " + PW);
}

TEST_F(TallisTest, SetOnceSkipsFailedExchangesAndStopsAtDead)
{
    t = tallis_init(3);
    std::string ba = mod("a", "*\t!exit\n");
    add(ba, 1);
    add(mod("b", "*\t-ERR b\n"), 2);
    add(mod("c", "*\t+OK c\n"), 3);
    tallis_set_once(t, 1);
    EXPECT_EQ(set("bob"), "0 -ERR b");
    EXPECT_EQ(reqs("a").size(), 1u);
    EXPECT_EQ(reqs("b").size(), 1u);
    EXPECT_TRUE(reqs("c").empty());
    EXPECT_EQ(find(1)->Dead, 1);

    // When every exchange fails, the last failure text stays.
    tallis_free(&t);
    t = tallis_init(1);
    add(ba, 1);
    tallis_set_once(t, 1);
    std::string f = set("bob");
    EXPECT_TRUE(starts_with(f, "0 -ERR module (" + ba + "), ")) << f;

    // A -DEAD reply ends the walk.
    tallis_free(&t);
    t = tallis_init(2);
    Module *d = add(mod("d", "*\t-DEAD d\n"), 1);
    add(mod("e", "*\t+OK e\n"), 2);
    tallis_set_once(t, 1);
    EXPECT_EQ(set("bob"), "0 -DEAD d");
    EXPECT_EQ(d->Dead, 1);
    EXPECT_TRUE(reqs("e").empty());
}

TEST_F(TallisTest, DelAsksEveryModuleUnlessDelOnce)
{
    t = tallis_init(3);
    Module *a = add(mod("a", "*\t-DEAD a\n"), 1);
    Gates gb;
    add(mod("b", "*\t+OK b\n"), 2, 10000, &gb);
    add(mod("c", "*\t-ERR c\n"), 3);
    setup_gates();
    EXPECT_EQ(del("bob"), "0 -ERR c");
    EXPECT_EQ(a->Dead, 1);
    EXPECT_EQ(gb.del.names, Lines{"bob"});
    EXPECT_TRUE(logged("Debug: Del[bob]"));

    tallis_del_once(t, 1);
    EXPECT_EQ(del("bob"), "0 -DEAD a");
    EXPECT_EQ(a->Dead, 2);
    EXPECT_EQ(reqs("b").size(), 1u);

    gb.del.accept = false;
    EXPECT_EQ(del("bob"), "0 -DEAD a");
    EXPECT_EQ(reqs("c").size(), 1u);
}

// --- The set on check ---

TEST_F(TallisTest, SetOnCheckGoesToFirstAcceptingModule)
{
    t = tallis_init(3);
    Gates ga, gb, gc;
    ga.set.accept = false;
    gb.set.skip = 2;
    Module *a = add(mod("a", "check\t+OK f2 f3 f4 extra info  here\n*\t-ERR a\n"), 1, 10000, &ga);
    add(mod("b", "lookup\t-ERR b\n*\t+OK b\n"), 2, 10000, &gb);
    add(mod("c", "*\t+OK c\n"), 3, 10000, &gc);
    setup_gates();
    module_set_on_check(a, 1);
    EXPECT_EQ(check("u_bob", "1.2.3.4"), "1 +OK f2 f3 f4 extra info  here");
    EXPECT_EQ(reqs("b"), (Lines{"lookup bob", "set bob " + PW + " extra info  here"}));
    EXPECT_TRUE(reqs("c").empty());
    EXPECT_EQ(gb.set.seconds, Lines{PW});
    // No check goes to the others and their check gatekeepers are not asked again.
    EXPECT_TRUE(gb.check.names.empty());
    EXPECT_EQ(ga.check.names.size(), 1u);
    EXPECT_EQ(a->SetOnCheck, 1);
}

TEST_F(TallisTest, SetOnCheckWithoutFifthField)
{
    t = tallis_init(2);
    Gates ga;
    Module *a =
        add(mod("a", "check bob\t+OK x y z\ncheck tom\t+OK x\nset\t+OK set\n"), 1, 10000, &ga);
    add(mod("b", "*\t+OK b\n"), 2);
    setup_gates();
    module_set_on_check(a, 1);
    EXPECT_EQ(check("bob"), "1 +OK x y z");
    // The set gatekeeper accepts the module that accepted the check.
    EXPECT_EQ(reqs("a"), (Lines{"check bob " + PW + " ", "set bob " + PW + " "}));
    EXPECT_FALSE(logged_prefix("Error: np("));

    EXPECT_EQ(check("tom"), "1 +OK x");
    EXPECT_TRUE(logged("Error: np(2) < 4 (+OK x)"));
    EXPECT_EQ(reqs("a").back(), "set tom " + PW + " ");
    EXPECT_TRUE(reqs("b").empty());
}

TEST_F(TallisTest, SetOnCheckWithNoTakerOrAFailedExchange)
{
    t = tallis_init(2);
    Gates ga, gb;
    ga.set.accept = gb.set.accept = false;
    Module *a = add(mod("a", "check\t+OK 1 2 3 info\n"), 1, 10000, &ga);
    std::string bb = mod("b", "set\t!exit\n");
    Module *b = add(bb, 2, 10000, &gb);
    setup_gates();
    module_set_on_check(a, 1);
    EXPECT_EQ(check("bob"), "1 +OK 1 2 3 info");
    EXPECT_EQ(ga.set.names.size(), 1u);
    EXPECT_EQ(gb.set.names.size(), 1u);
    EXPECT_TRUE(reqs("b").empty());

    gb.set.accept = true;
    EXPECT_EQ(check("bob"), "1 +OK 1 2 3 info");
    EXPECT_TRUE(logged_prefix("Error: Failed to set on check (-ERR module (" + bb + "), "));
    EXPECT_EQ(b->Dead, 1);
}

// --- Search ---

TEST_F(TallisTest, SearchStreamsEveryModule)
{
    t = tallis_init(4);
    add(mod("a", "search\t!data 2 ;; !sleep 400 ;; +OK 2 10\n"), 1);
    add(mod("b", "search\t+DATA\n"), 2);
    Module *c = add(mod("c", "search\t-DEAD c ;; +DATA never\n"), 3);
    add(mod("d", "search\t-ERR none\n"), 4);
    EXPECT_EQ(search("b*", "x y"), "0 -ERR none");
    EXPECT_EQ(search_lines, (Lines{"+DATA 1", "+DATA 2", "+OK 2 10", "+DATA", "-ERR none"}));
    // Data lines reach the callback as they come, before the final line.
    ASSERT_EQ(search_times.size(), 5u);
    EXPECT_GE(search_times[2] - search_times[0], std::chrono::milliseconds(200));
    EXPECT_EQ(c->Dead, 1);
    for (const char *name : {"a", "b", "c", "d"})
        EXPECT_EQ(reqs(name), Lines{"search b* x y"}) << name;
    EXPECT_TRUE(logged("Debug: Search[b*|x y]"));
    EXPECT_TRUE(logged("Debug: Module3[-DEAD c]"));
}

TEST_F(TallisTest, SearchDeadAtOncePassesNothing)
{
    t = tallis_init(1);
    Module *m = add(mod("m", "search\t-DEAD\n"), 1);
    EXPECT_EQ(search("x", nullptr, m), "1 -DEAD");
    EXPECT_EQ(search("x"), "0 -DEAD");
    EXPECT_TRUE(search_lines.empty());
    EXPECT_TRUE(logged("Debug: Search[x|]"));
}

TEST_F(TallisTest, SearchFailingMidwayKeepsPassedLines)
{
    t = tallis_init(2);
    std::string b = mod("a", "search\t!data 1 ;; !exit\n");
    Module *a = add(b, 1);
    Gates gb;
    gb.search.skip = 1;
    add(mod("b", "search\t+OK $2\n"), 2, 10000, &gb);
    setup_gates();
    EXPECT_EQ(text_of(search("xyz")), "+OK yz");
    EXPECT_EQ(search_lines, (Lines{"+DATA 1", "+OK yz"}));
    EXPECT_EQ(a->Dead, 1);
    EXPECT_TRUE(logged_prefix("Error: Failed to talk to Module1 (" + b + "), "));
}

} // namespace
