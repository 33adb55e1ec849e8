// The module multiplexer driven with real child modules (scriptmod).
#include "adt/tallis.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <sys/wait.h>
#include <unistd.h>

#include "adt/log.h"
#include "adt/spawn.h"
#include "tests/testkit.h"

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

char *run_gate(Gate &g, char *username, int bfsz)
{
    g.names.push_back(username);
    g.sizes.push_back(bfsz);
    if (!g.accept) return nullptr;
    if (g.cut >= 0 && g.cut < static_cast<int>(strlen(username))) username[g.cut] = 0;
    return username + g.skip;
}

char *cb_lookup(Module *, void *data, char *username, int bfsz)
{
    return data ? run_gate(static_cast<Gates *>(data)->lookup, username, bfsz) : username;
}

char *cb_del(Module *, void *data, char *username, int bfsz)
{
    return data ? run_gate(static_cast<Gates *>(data)->del, username, bfsz) : username;
}

char *cb_search(Module *, void *data, char *string, int bfsz)
{
    return data ? run_gate(static_cast<Gates *>(data)->search, string, bfsz) : string;
}

char *cb_check(Module *, void *data, char *username, char *ip, int bfsz)
{
    if (!data) return username;
    Gate &g = static_cast<Gates *>(data)->check;
    g.seconds.push_back(ip);
    return run_gate(g, username, bfsz);
}

char *cb_set(Module *, void *data, char *username, char *password, int bfsz)
{
    if (!data) return username;
    Gate &g = static_cast<Gates *>(data)->set;
    g.seconds.push_back(password);
    return run_gate(g, username, bfsz);
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

const char *PASSWORD = "Pw0rdSecretXyz";

class TallisTest : public ::testing::Test
{
  protected:
    TestLog testlog;
    std::string dir;
    Log *log = nullptr;
    Tallis *t = nullptr;

    void SetUp() override
    {
        ASSERT_TRUE(testlog.open("tallis.log"));
        dir = testlog.dir.path;
        log = testlog.log;
        log_dorotate(log, 4, size_t(1) << 30);
        search_lines.clear();
        search_times.clear();
    }

    void TearDown() override
    {
        tallis_free(&t);
        std::string all = read_log();
        EXPECT_EQ(all.find(PASSWORD), std::string::npos) << "password written to the log";
    }

    // Writes a script for scriptmod and answers the command line that runs it.
    std::string mod(const std::string &name, const std::string &script)
    {
        write_file(dir + "/" + name + ".script", script);
        return std::string(TEST_PROGS_DIR) + "/scriptmod " + dir + "/" + name + ".script " + dir +
               "/" + name + ".req";
    }

    // The request lines the module `name` received, over all its processes.
    std::vector<std::string> reqs(const std::string &name)
    {
        return file_lines(dir + "/" + name + ".req");
    }

    // Waits (generously) until the module `name` has received `n` requests.
    std::vector<std::string> wait_reqs(const std::string &name, size_t n)
    {
        for (int i = 0; i < 100 && reqs(name).size() < n; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return reqs(name);
    }

    std::string read_log() { return testlog.text(); }

    // Log messages as "Level: text", without time stamp and process id.
    std::vector<std::string> messages()
    {
        std::vector<std::string> out;
        std::stringstream ss(read_log());
        std::string line;
        while (std::getline(ss, line)) {
            size_t at = line.find("] ");
            out.push_back(at == std::string::npos ? line : line.substr(at + 2));
        }
        return out;
    }

    bool logged(const std::string &msg)
    {
        for (const std::string &m : messages())
            if (m == msg) return true;
        return false;
    }

    bool logged_prefix(const std::string &prefix)
    {
        for (const std::string &m : messages())
            if (starts_with(m, prefix)) return true;
        return false;
    }

    int count_logged(const std::string &msg)
    {
        int n = 0;
        for (const std::string &m : messages()) n += m == msg;
        return n;
    }

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

    void setup_gates() { tallis_setup(t, cb_lookup, cb_check, cb_set, cb_del, cb_search); }
};

// Runs one operation and frees its result afterwards.
struct Result {
    char *text = nullptr;
    int rc = -1;
    ~Result() { free(text); }
    std::string str() const { return text ? text : "<null>"; }
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
    EXPECT_EQ(t->LCB, nullptr);
    EXPECT_EQ(t->SECB, nullptr);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(t->Modules[i].Process, nullptr);
        EXPECT_EQ(t->Modules[i].Priority, INT_MAX);
        EXPECT_EQ(t->Modules[i].Binary, nullptr);
        EXPECT_EQ(module_priority(&t->Modules[i]), INT_MAX);
    }
    EXPECT_EQ(module_priority(nullptr), INT_MAX);
    tallis_set_once(t, 1);
    tallis_del_once(t, 1);
    EXPECT_EQ(t->SetOnce, 1);
    EXPECT_EQ(t->DelOnce, 1);
    tallis_set_once(nullptr, 1);
    tallis_del_once(nullptr, 1);
    module_set_on_check(nullptr, 1);
    module_clear(nullptr);
    EXPECT_EQ(module_restart(nullptr), 0);
    module_dead(nullptr);
    tallis_setup(t, cb_lookup, cb_check, cb_set, cb_del, cb_search);
    EXPECT_EQ(t->LCB, cb_lookup);
    EXPECT_EQ(t->CCB, cb_check);
    EXPECT_EQ(t->SCB, cb_set);
    EXPECT_EQ(t->DCB, cb_del);
    EXPECT_EQ(t->SECB, cb_search);
    tallis_free(&t);
    EXPECT_EQ(t, nullptr);
    tallis_free(&t);
    tallis_free(nullptr);
}

TEST_F(TallisTest, AddKeepsOrderByNumber)
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
    EXPECT_EQ(std::string(t->Modules[1].Binary), b2);
    EXPECT_EQ(t->Modules[0].Data, &data);
    EXPECT_EQ(t->Modules[1].Data, nullptr);
    EXPECT_GT(spawn_get_pid(t->Modules[0].Process), 0);
    std::string pidline = "Info: Module1: pid(" +
                          std::to_string(spawn_get_pid(t->Modules[0].Process)) +
                          ") timeout=(10000) binary=(" + b1 + ")";
    EXPECT_TRUE(logged(pidline));

    Result r;
    r.rc = tallis_lookup(t, "bob", &r.text);
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.str(), "+OK one");
    EXPECT_TRUE(reqs("two").empty());
}

TEST_F(TallisTest, EqualNumbersLastAddedAskedFirst)
{
    t = tallis_init(3);
    add(mod("first", "*\t+OK first\n"), 5);
    add(mod("second", "*\t+OK second\n"), 5);
    add(mod("low", "*\t-ERR low\n"), 1);
    EXPECT_EQ(t->Modules[0].Priority, 1);
    EXPECT_EQ(std::string(t->Modules[1].Binary).find("second.script") != std::string::npos, true);
    Result r;
    r.rc = tallis_lookup(t, "bob", &r.text);
    EXPECT_EQ(r.str(), "+OK second");
    EXPECT_EQ(reqs("low"), std::vector<std::string>{"lookup bob"});
    EXPECT_TRUE(reqs("first").empty());
}

TEST_F(TallisTest, TimeoutsBelowOneHundredAreClamped)
{
    t = tallis_init(4);
    std::string b = mod("m", "*\t+OK\n");
    add(b, 1, 0);
    add(b, 2, -5);
    add(b, 3, 100);
    add(b, 4, 101);
    EXPECT_EQ(find(1)->Timeout, 100);
    EXPECT_EQ(find(2)->Timeout, 100);
    EXPECT_EQ(find(3)->Timeout, 100);
    EXPECT_EQ(find(4)->Timeout, 101);
    EXPECT_TRUE(logged("Info: Module2: pid(" + std::to_string(spawn_get_pid(find(2)->Process)) +
                       ") timeout=(100) binary=(" + b + ")"));
}

TEST_F(TallisTest, FullTableGivesUpLastModuleForLowerNumber)
{
    t = tallis_init(2);
    add(mod("a", "*\t+OK a\n"), 1);
    add(mod("c", "*\t+OK c\n"), 3);
    int old = spawn_get_pid(find(3)->Process);
    add(mod("b", "*\t+OK b\n"), 2);
    EXPECT_TRUE(logged("Error: Too many modules, freeing last module in favour of new one"));
    EXPECT_EQ(t->Modules[0].Priority, 1);
    EXPECT_EQ(t->Modules[1].Priority, 2);
    EXPECT_EQ(find(3), nullptr);
    EXPECT_EQ(kill(old, 0), -1) << "the given-up module still runs";

    // Into the last slot itself: its module is given up in favour of the new one.
    add(mod("d", "*\t+OK d\n"), 2);
    EXPECT_EQ(count_logged("Error: Too many modules, freeing last module in favour of new one"), 2);
    EXPECT_EQ(t->Modules[0].Priority, 1);
    EXPECT_NE(std::string(t->Modules[1].Binary).find("d.script"), std::string::npos);
}

TEST_F(TallisTest, FullTableRefusesHigherNumberWithoutStarting)
{
    t = tallis_init(1);
    add(mod("a", "*\t+OK a\n"), 1);
    std::string b = mod("z", "*\t+OK z\n");
    char err[1000] = "";
    size_t before = messages().size();
    EXPECT_EQ(tallis_add(t, b.c_str(), 9, 1000, nullptr, err, sizeof err), 0);
    EXPECT_TRUE(starts_with(err, "module (" + b + "), ")) << err;
    std::vector<std::string> after = messages();
    for (size_t i = before; i < after.size(); i++)
        EXPECT_FALSE(starts_with(after[i], "Debug: Spawn: Execute")) << after[i];
    EXPECT_EQ(t->Modules[0].Priority, 1);
    EXPECT_EQ(tallis_add(t, b.c_str(), 9, 1000, nullptr, nullptr, 0), 0);
    Result r;
    tallis_lookup(t, "bob", &r.text);
    EXPECT_EQ(r.str(), "+OK a");

    Tallis *none = tallis_init(0);
    EXPECT_EQ(tallis_add(none, b.c_str(), 1, 1000, nullptr, err, sizeof err), 0);
    tallis_free(&none);
}

TEST_F(TallisTest, FailedStartFillsErrmsg)
{
    t = tallis_init(2);
    char err[1000] = "";
    EXPECT_EQ(tallis_add(t, nullptr, 1, 1000, nullptr, err, sizeof err), 0);
    EXPECT_TRUE(starts_with(err, "module ((NULL)), ")) << err;
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
    Result r;
    r.rc = tallis_lookup(t, "bob", &r.text);
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(starts_with(r.str(), "-ERR bob module (" + b + "), ")) << r.str();
    EXPECT_EQ(m->Dead, 1);
    EXPECT_TRUE(logged("Info: Restarting module 4"));
}

TEST_F(TallisTest, QuitSendsQuitToEveryModule)
{
    t = tallis_init(3);
    add(mod("a", "*\t+OK\n"), 1);
    add(mod("b", "*\t+OK\n"), 2);
    EXPECT_EQ(tallis_quit(t), 1);
    EXPECT_EQ(wait_reqs("a", 1), std::vector<std::string>{"quit"});
    EXPECT_EQ(wait_reqs("b", 1), std::vector<std::string>{"quit"});
    EXPECT_TRUE(logged("Debug: Quit"));
    EXPECT_EQ(tallis_quit(nullptr), 1);
}

TEST_F(TallisTest, FreeStopsAndReapsEveryModule)
{
    t = tallis_init(3);
    std::vector<int> pids;
    for (int i = 1; i <= 3; i++) {
        std::string name = "m";
        name += std::to_string(i);
        pids.push_back(spawn_get_pid(add(mod(name, "*\t+OK\n"), i)->Process));
    }
    tallis_free(&t);
    EXPECT_EQ(t, nullptr);
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
        // Successes in between never lower the count.
        Result ok;
        ok.rc = tallis_lookup(t, "ok", &ok.text);
        EXPECT_EQ(ok.rc, 1);
        EXPECT_EQ(m->Dead, i - 1);
        int pid = spawn_get_pid(m->Process);
        Result r;
        r.rc = tallis_lookup(t, "dead", &r.text);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.str(), "-DEAD gone");
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

    std::vector<std::string> want;
    for (int i = 1; i <= 5; i++) {
        want.push_back("Error: Module7 reported -DEAD " + std::to_string(i) +
                       " times, restarting...");
        want.push_back("Info: Restarting module 7");
    }
    want.push_back("Error: Module7 reported -DEAD 5 times, not using it anymore");
    std::vector<std::string> got;
    for (const std::string &s : messages())
        if (s.find("Module7 reported") != std::string::npos ||
            s.find("Restarting module") != std::string::npos)
            got.push_back(s);
    EXPECT_EQ(got, want);

    Result r;
    EXPECT_EQ(tallis_lookup(t, "ok", &r.text), 0);
    EXPECT_EQ(r.str(), "-ERR ok 'lookup' not allowed");
    size_t before = reqs("m").size();
    EXPECT_EQ(tallis_quit(t), 1);
    EXPECT_EQ(reqs("m").size(), before);
}

TEST_F(TallisTest, DeadMatchesFiveCapitalsOnly)
{
    t = tallis_init(1);
    Module *m = add(mod("m", "lookup a\t-DEADBEEF\nlookup b\t-dead\nlookup c\t-DEA\n"), 1);
    Result a, b, c;
    tallis_lookup(t, "b", &b.text);
    tallis_lookup(t, "c", &c.text);
    EXPECT_EQ(m->Dead, 0);
    EXPECT_EQ(b.str(), "-dead");
    tallis_lookup(t, "a", &a.text);
    EXPECT_EQ(m->Dead, 1);
    EXPECT_EQ(a.str(), "-DEADBEEF");
}

// --- Exchanges ---

TEST_F(TallisTest, RequestLines)
{
    t = tallis_init(1);
    Module *m = add(mod("m", "lookup\t+\n*\t+OK $1\n"), 1);
    Result r[9];
    EXPECT_EQ(tallis_module_lookup(m, "bob", &r[0].text), 1);
    EXPECT_EQ(r[0].str(), "+");
    EXPECT_EQ(tallis_module_check(m, "bob", PASSWORD, nullptr, &r[1].text), 1);
    EXPECT_EQ(tallis_module_check(m, "bob", PASSWORD, "10.0.0.1", &r[2].text), 1);
    EXPECT_EQ(tallis_module_set(m, "bob", PASSWORD, nullptr, &r[3].text), 1);
    EXPECT_EQ(tallis_module_set(m, "bob", PASSWORD, "", &r[4].text), 1);
    EXPECT_EQ(tallis_module_set(m, "bob", PASSWORD, "a=1 b=2", &r[5].text), 1);
    EXPECT_EQ(tallis_module_del(m, "bob", &r[6].text), 1);
    EXPECT_EQ(tallis_module_search(m, "b*", nullptr, nullptr, &r[7].text), 1);
    EXPECT_EQ(tallis_module_search(m, "b*", "x y", record_line, &r[8].text), 1);
    EXPECT_EQ(r[6].str(), "+OK del");
    std::string pw = PASSWORD;
    std::vector<std::string> want = {"lookup bob",
                                     "check bob " + pw + " ",
                                     "check bob " + pw + " 10.0.0.1",
                                     "set bob " + pw,
                                     "set bob " + pw + " ",
                                     "set bob " + pw + " a=1 b=2",
                                     "del bob",
                                     "search b*",
                                     "search b* x y"};
    EXPECT_EQ(reqs("m"), want);
    EXPECT_TRUE(logged("Debug: Module1[+OK check]"));
    EXPECT_EQ(search_lines, std::vector<std::string>{"+OK search"});
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
    EXPECT_TRUE(messages().empty());
}

TEST_F(TallisTest, DeadReplyIsCountedByTheCallerNotTheExchange)
{
    t = tallis_init(1);
    Module *m = add(mod("m", "*\t-DEAD\n"), 1);
    Result r;
    EXPECT_EQ(tallis_module_lookup(m, "bob", &r.text), 1);
    EXPECT_EQ(r.str(), "-DEAD");
    EXPECT_EQ(m->Dead, 0);
}

TEST_F(TallisTest, SilentModuleFailsAndIsRestarted)
{
    t = tallis_init(1);
    std::string b = mod("m", "lookup slow\t!silent\n*\t+OK $$\n");
    Module *m = add(b, 3, 300);
    int old = spawn_get_pid(m->Process);
    Result r;
    EXPECT_EQ(tallis_lookup(t, "slow", &r.text), 0);
    EXPECT_EQ(r.str(), "-ERR slow module (" + b + "), " + strerror(ETIMEDOUT));
    EXPECT_TRUE(logged("Error: Failed to talk to Module3 (" + b + "), " + strerror(ETIMEDOUT)));
    EXPECT_TRUE(logged("Error: Module3 reported -DEAD 1 times, restarting..."));
    EXPECT_TRUE(logged("Info: Restarting module 3"));
    EXPECT_EQ(m->Dead, 1);
    int pid = spawn_get_pid(m->Process);
    EXPECT_NE(pid, old);

    Result next;
    EXPECT_EQ(tallis_lookup(t, "bob", &next.text), 1);
    EXPECT_EQ(next.str(), "+OK " + std::to_string(pid));
    EXPECT_EQ(reqs("m"), (std::vector<std::string>{"lookup slow", "lookup bob"}));
}

TEST_F(TallisTest, SilentModuleFailureTextsWithoutUser)
{
    t = tallis_init(1);
    std::string b2 = mod("quiet", "*\t!silent\n");
    Module *m2 = add(b2, 2, 300);
    Result d;
    EXPECT_EQ(tallis_module_del(m2, "bob", &d.text), 0);
    EXPECT_TRUE(starts_with(d.str(), "-ERR module (" + b2 + "), ")) << d.str();
    Result se;
    EXPECT_EQ(tallis_module_search(m2, "bob", nullptr, record_line, &se.text), 0);
    EXPECT_TRUE(starts_with(se.str(), "-ERR module (" + b2 + "), ")) << se.str();
    EXPECT_TRUE(search_lines.empty());
    EXPECT_EQ(m2->Dead, 2);
}

TEST_F(TallisTest, WriteToExitedModuleFails)
{
    t = tallis_init(1);
    std::string b = mod("m", "lookup bye\t!closein ;; +OK bye\n*\t+OK $$\n");
    Module *m = add(b, 2);
    Result r1, r2;
    EXPECT_EQ(tallis_module_lookup(m, "bye", &r1.text), 1);
    EXPECT_EQ(tallis_module_check(m, "bob", PASSWORD, "1.2.3.4", &r2.text), 0);
    EXPECT_TRUE(starts_with(r2.str(), "-ERR bob module (" + b + "), ")) << r2.str();
    EXPECT_EQ(m->Dead, 1);
    Result r3;
    EXPECT_EQ(tallis_module_lookup(m, "bob", &r3.text), 1);
    EXPECT_EQ(r3.str(), "+OK " + std::to_string(spawn_get_pid(m->Process)));
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
        char name[16];
        snprintf(name, sizeof name, "m%d", attempt);
        std::string b = mod(name, "lookup go\t!closein ;; +OK go ;; !sleep 30 ;; late line ;; "
                                  "!sleep 3000\n*\t+OK\n");
        Module *m = add(b, 1);
        Result r1, r2;
        EXPECT_EQ(tallis_module_lookup(m, "go", &r1.text), 1);
        EXPECT_EQ(tallis_module_lookup(m, "bob", &r2.text), 0);
        if (r2.str() == "-ERR bob module (" + b + "), late line") {
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
    Result fits;
    EXPECT_EQ(tallis_lookup(t, "fits", &fits.text), 1);
    EXPECT_EQ(fits.str(), "+OK" + std::string(994, 'x'));
    EXPECT_EQ(m->Dead, 0);

    int old = spawn_get_pid(m->Process);
    Result longer;
    EXPECT_EQ(tallis_lookup(t, "long", &longer.text), 0);
    EXPECT_EQ(longer.str(), "-ERR long module (" + b + "), " + strerror(EMSGSIZE));
    EXPECT_EQ(m->Dead, 1);
    EXPECT_NE(spawn_get_pid(m->Process), old);
    Result next;
    EXPECT_EQ(tallis_lookup(t, "bob", &next.text), 1);
    EXPECT_EQ(next.str(), "+OK " + std::to_string(spawn_get_pid(m->Process)));
}

TEST_F(TallisTest, MakeResultIsBounded)
{
    std::string big(1500, 'a');
    char *r = tallis_make_result("%s", big.c_str());
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(strlen(r), 999u);
    free(r);
    r = tallis_make_result("%s%s", big.c_str(), "b");
    EXPECT_EQ(strlen(r), 999u);
    free(r);
    r = tallis_make_result("%s and %d", "x", 5);
    EXPECT_STREQ(r, "x and 5");
    free(r);
    r = tallis_make_result(nullptr);
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r, "");
    free(r);
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
    // Let the greeting arrive before the first request.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    Result r1, r2;
    EXPECT_EQ(tallis_check(t, "alice", PASSWORD, nullptr, &r1.text), 1);
    EXPECT_EQ(r1.str(), "+OK alice");
    EXPECT_TRUE(logged("Error: Module1: discarding unexpected output (hello there)"));
    // The second answer to alice must not answer bob's check.
    EXPECT_EQ(tallis_check(t, "bob", PASSWORD, nullptr, &r2.text), 0);
    EXPECT_EQ(r2.str(), "-ERR bob wrong");
    EXPECT_TRUE(logged("Error: Module1: discarding unexpected output (+OK alice again)"));

    // A partial line held in the channel's buffer.
    Result r3, r4;
    EXPECT_EQ(tallis_check(t, "carol", PASSWORD, nullptr, &r3.text), 1);
    EXPECT_EQ(tallis_check(t, "bob", PASSWORD, nullptr, &r4.text), 0);
    EXPECT_EQ(r4.str(), "-ERR bob wrong");
    EXPECT_TRUE(logged("Error: Module1: discarding unexpected output (+OK par)"));

    // A line still on the pipe.
    Result r5, r6;
    EXPECT_EQ(tallis_check(t, "dave", PASSWORD, nullptr, &r5.text), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(tallis_check(t, "bob", PASSWORD, nullptr, &r6.text), 0);
    EXPECT_EQ(r6.str(), "-ERR bob wrong");
    EXPECT_TRUE(logged("Error: Module1: discarding unexpected output (+OK late)"));

    // Output after a search's final line.
    Result r7, r8;
    tallis_search(t, "x", nullptr, record_line, &r7.text);
    EXPECT_EQ(r7.str(), "+OK 1");
    EXPECT_EQ(tallis_lookup(t, "bob", &r8.text), 0);
    EXPECT_EQ(r8.str(), "-ERR bob wrong");
    EXPECT_TRUE(logged("Error: Module1: discarding unexpected output (+DATA after)"));
    EXPECT_EQ(m->Dead, 0);
}

// --- Lookup and check ---

TEST_F(TallisTest, LookupStopsAtFirstSuccess)
{
    t = tallis_init(3);
    add(mod("a", "*\t-ERR a\n"), 1);
    add(mod("b", "*\t+OK b\n"), 2);
    add(mod("c", "*\t+OK c\n"), 3);
    Result r;
    EXPECT_EQ(tallis_lookup(t, "bob", &r.text), 1);
    EXPECT_EQ(r.str(), "+OK b");
    EXPECT_EQ(reqs("a").size(), 1u);
    EXPECT_TRUE(reqs("c").empty());
    EXPECT_TRUE(logged("Debug: Lookup[bob]"));
}

TEST_F(TallisTest, LookupLastReplyWins)
{
    t = tallis_init(3);
    add(mod("a", "*\t-ERR a\n"), 1);
    add(mod("b", "*\t-ERR b\n"), 2);
    Gates gc;
    gc.lookup.accept = false;
    add(mod("c", "*\t+OK c\n"), 3, 10000, &gc);
    setup_gates();
    Result r;
    EXPECT_EQ(tallis_lookup(t, "bob", &r.text), 0);
    EXPECT_EQ(r.str(), "-ERR b");
    EXPECT_TRUE(reqs("c").empty());
    EXPECT_EQ(gc.lookup.names, std::vector<std::string>{"bob"});
}

TEST_F(TallisTest, LookupFailureTextOfLastModuleAsked)
{
    t = tallis_init(2);
    add(mod("a", "*\t-ERR a\n"), 1);
    std::string b = mod("b", "*\t!silent\n");
    add(b, 2, 300);
    Result r;
    EXPECT_EQ(tallis_lookup(t, "bob", &r.text), 0);
    EXPECT_TRUE(starts_with(r.str(), "-ERR bob module (" + b + "), ")) << r.str();
}

TEST_F(TallisTest, DeadModuleCountedAndWalkGoesOn)
{
    t = tallis_init(2);
    Module *a = add(mod("a", "*\t-DEAD\n"), 1);
    add(mod("b", "*\t+OK b\n"), 2);
    Result r;
    EXPECT_EQ(tallis_lookup(t, "bob", &r.text), 1);
    EXPECT_EQ(r.str(), "+OK b");
    EXPECT_EQ(a->Dead, 1);
    Result c;
    EXPECT_EQ(tallis_check(t, "bob", PASSWORD, nullptr, &c.text), 1);
    EXPECT_EQ(a->Dead, 2);
    Result s;
    tallis_search(t, "bob", nullptr, record_line, &s.text);
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
    Result r;
    EXPECT_EQ(tallis_check(t, "bob", PASSWORD, nullptr, &r.text), 1);
    EXPECT_EQ(r.str(), "+OK b");
    EXPECT_TRUE(reqs("c").empty());
    EXPECT_EQ(ga.check.seconds, std::vector<std::string>{""});
    EXPECT_EQ(ga.check.sizes, std::vector<int>{1000});
    EXPECT_TRUE(logged("Debug: Check[bob|xxxx]"));

    Result r2;
    EXPECT_EQ(tallis_check(t, "bob", PASSWORD, "10.1.1.1", &r2.text), 1);
    EXPECT_EQ(gb.check.seconds, (std::vector<std::string>{"", "10.1.1.1"}));
    EXPECT_EQ(reqs("b").back(), "check bob " + std::string(PASSWORD) + " 10.1.1.1");

    gb.check.accept = false;
    Result r3;
    EXPECT_EQ(tallis_check(t, "bob", PASSWORD, nullptr, &r3.text), 1);
    EXPECT_EQ(r3.str(), "+OK c");
}

TEST_F(TallisTest, NotAllowedUsesCallersOwnName)
{
    t = tallis_init(2);
    setup_gates();
    Result r[5];
    EXPECT_EQ(tallis_lookup(t, "bob", &r[0].text), 0);
    EXPECT_EQ(tallis_check(t, "bob", PASSWORD, nullptr, &r[1].text), 0);
    EXPECT_EQ(tallis_set(t, "bob", PASSWORD, nullptr, &r[2].text), 0);
    EXPECT_EQ(tallis_del(t, "bob", &r[3].text), 0);
    EXPECT_EQ(tallis_search(t, "b*", nullptr, record_line, &r[4].text), 0);
    EXPECT_EQ(r[0].str(), "-ERR bob 'lookup' not allowed");
    EXPECT_EQ(r[1].str(), "-ERR bob 'check' not allowed");
    EXPECT_EQ(r[2].str(), "-ERR bob 'set' not allowed");
    EXPECT_EQ(r[3].str(), "-ERR bob 'del' not allowed");
    EXPECT_EQ(r[4].str(), "-ERR b* 'search' not allowed");

    // Every gatekeeper refuses after rewriting the buffer: the refusal
    // still shows the name as the caller gave it.
    Gates g;
    g.lookup.accept = g.check.accept = g.set.accept = g.del.accept = g.search.accept = false;
    g.lookup.cut = g.check.cut = g.set.cut = g.del.cut = g.search.cut = 1;
    add(mod("a", "*\t+OK\n"), 1, 10000, &g);
    Result q[5];
    tallis_lookup(t, "bobby", &q[0].text);
    tallis_check(t, "bobby", PASSWORD, "1.1.1.1", &q[1].text);
    tallis_set(t, "bobby", PASSWORD, "x=y", &q[2].text);
    tallis_del(t, "bobby", &q[3].text);
    tallis_search(t, "bobby", "more", record_line, &q[4].text);
    EXPECT_EQ(q[0].str(), "-ERR bobby 'lookup' not allowed");
    EXPECT_EQ(q[1].str(), "-ERR bobby 'check' not allowed");
    EXPECT_EQ(q[2].str(), "-ERR bobby 'set' not allowed");
    EXPECT_EQ(q[3].str(), "-ERR bobby 'del' not allowed");
    EXPECT_EQ(q[4].str(), "-ERR bobby 'search' not allowed");
    EXPECT_TRUE(reqs("a").empty());
    EXPECT_TRUE(search_lines.empty());

    Result n;
    EXPECT_EQ(tallis_lookup(nullptr, "bob", &n.text), 0);
    EXPECT_EQ(n.str(), "-ERR bob 'lookup' not allowed");
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
    Result r;
    EXPECT_EQ(tallis_lookup(t, "abcbobby", &r.text), 0);
    EXPECT_EQ(reqs("a"), std::vector<std::string>{"lookup bobby"});
    EXPECT_EQ(gb.lookup.names, std::vector<std::string>{"abcbobby"});
    EXPECT_EQ(reqs("b"), std::vector<std::string>{"lookup abcbob"});
    EXPECT_EQ(gc.lookup.names, std::vector<std::string>{"abcbob"});
    EXPECT_EQ(reqs("c"), std::vector<std::string>{"lookup abcbob"});
    EXPECT_EQ(gc.lookup.sizes, std::vector<int>{1000});
}

TEST_F(TallisTest, LongUserNameIsCut)
{
    t = tallis_init(1);
    Gates g;
    add(mod("a", "*\t-ERR no\n"), 1, 10000, &g);
    setup_gates();
    std::string name(1200, 'n');
    Result r;
    tallis_lookup(t, name.c_str(), &r.text);
    ASSERT_EQ(g.lookup.names.size(), 1u);
    EXPECT_EQ(g.lookup.names[0], name.substr(0, 999));
    // "lookup " and 999 characters are more than a request line holds: the
    // module is asked nothing rather than about a shorter name.
    EXPECT_TRUE(reqs("a").empty());
    EXPECT_TRUE(starts_with(r.str(), "-ERR " + name.substr(0, 990))) << r.str();
    EXPECT_TRUE(logged("Error: Module1: request of more than 997 characters not sent"));
    EXPECT_EQ(t->Modules[0].Dead, 0);
    // 990 characters fit.
    Result fits;
    tallis_lookup(t, name.substr(0, 990).c_str(), &fits.text);
    EXPECT_EQ(reqs("a"), std::vector<std::string>{"lookup " + name.substr(0, 990)});

    g.lookup.accept = false;
    Result refused;
    tallis_lookup(t, name.c_str(), &refused.text);
    EXPECT_EQ(refused.str().size(), 999u);
}

// --- Set and del ---

TEST_F(TallisTest, SetAsksEveryModule)
{
    t = tallis_init(3);
    Gates ga;
    add(mod("a", "*\t+OK a\n"), 1, 10000, &ga);
    add(mod("b", "*\t-ERR b\n"), 2);
    setup_gates();
    Result r;
    EXPECT_EQ(tallis_set(t, "bob", PASSWORD, "k=v", &r.text), 0);
    EXPECT_EQ(r.str(), "-ERR b");
    std::string pw = PASSWORD;
    EXPECT_EQ(reqs("a"), std::vector<std::string>{"set bob " + pw + " k=v"});
    EXPECT_EQ(reqs("b"), std::vector<std::string>{"set bob " + pw + " k=v"});
    EXPECT_EQ(ga.set.seconds, std::vector<std::string>{pw});
    EXPECT_TRUE(logged("Debug: Set[bob|xxxx|k=v]"));
    Result r2;
    tallis_set(t, "bob", PASSWORD, nullptr, &r2.text);
    EXPECT_TRUE(logged("Debug: Set[bob|xxxx|]"));
    EXPECT_EQ(reqs("b").back(), "set bob " + pw);
}

TEST_F(TallisTest, SetOnceSkipsFailedExchanges)
{
    t = tallis_init(3);
    std::string ba = mod("a", "*\t!exit\n");
    add(ba, 1);
    add(mod("b", "*\t-ERR b\n"), 2);
    add(mod("c", "*\t+OK c\n"), 3);
    tallis_set_once(t, 1);
    Result r;
    EXPECT_EQ(tallis_set(t, "bob", PASSWORD, nullptr, &r.text), 0);
    EXPECT_EQ(r.str(), "-ERR b");
    EXPECT_EQ(reqs("a").size(), 1u);
    EXPECT_EQ(reqs("b").size(), 1u);
    EXPECT_TRUE(reqs("c").empty());
    EXPECT_EQ(find(1)->Dead, 1);

    // When every exchange fails, the last failure text stays.
    tallis_free(&t);
    t = tallis_init(1);
    add(ba, 1);
    tallis_set_once(t, 1);
    Result f;
    tallis_set(t, "bob", PASSWORD, nullptr, &f.text);
    EXPECT_TRUE(starts_with(f.str(), "-ERR module (" + ba + "), ")) << f.str();
}

TEST_F(TallisTest, SetOnceStopsAtDead)
{
    t = tallis_init(2);
    Module *a = add(mod("a", "*\t-DEAD a\n"), 1);
    add(mod("b", "*\t+OK b\n"), 2);
    tallis_set_once(t, 1);
    Result r;
    tallis_set(t, "bob", PASSWORD, nullptr, &r.text);
    EXPECT_EQ(r.str(), "-DEAD a");
    EXPECT_EQ(a->Dead, 1);
    EXPECT_TRUE(reqs("b").empty());
}

TEST_F(TallisTest, DelAsksEveryModuleUnlessDelOnce)
{
    t = tallis_init(3);
    Module *a = add(mod("a", "*\t-DEAD a\n"), 1);
    Gates gb;
    add(mod("b", "*\t+OK b\n"), 2, 10000, &gb);
    add(mod("c", "*\t-ERR c\n"), 3);
    setup_gates();
    Result r;
    EXPECT_EQ(tallis_del(t, "bob", &r.text), 0);
    EXPECT_EQ(r.str(), "-ERR c");
    EXPECT_EQ(a->Dead, 1);
    EXPECT_EQ(gb.del.names, std::vector<std::string>{"bob"});
    EXPECT_TRUE(logged("Debug: Del[bob]"));

    tallis_del_once(t, 1);
    Result r2;
    tallis_del(t, "bob", &r2.text);
    EXPECT_EQ(r2.str(), "-DEAD a");
    EXPECT_EQ(a->Dead, 2);
    EXPECT_EQ(reqs("b").size(), 1u);

    gb.del.accept = false;
    Result r3;
    tallis_del(t, "bob", &r3.text);
    EXPECT_EQ(r3.str(), "-DEAD a");
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
    add(mod("b", "*\t+OK b\n"), 2, 10000, &gb);
    add(mod("c", "*\t+OK c\n"), 3, 10000, &gc);
    setup_gates();
    module_set_on_check(a, 1);
    EXPECT_EQ(a->SetOnCheck, 1);
    Result r;
    EXPECT_EQ(tallis_check(t, "u_bob", PASSWORD, "1.2.3.4", &r.text), 1);
    EXPECT_EQ(r.str(), "+OK f2 f3 f4 extra info  here");
    std::string pw = PASSWORD;
    EXPECT_EQ(reqs("b"), std::vector<std::string>{"set bob " + pw + " extra info  here"});
    EXPECT_TRUE(reqs("c").empty());
    EXPECT_EQ(gb.set.seconds, std::vector<std::string>{pw});
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
    std::string pw = PASSWORD;
    Result r;
    EXPECT_EQ(tallis_check(t, "bob", PASSWORD, nullptr, &r.text), 1);
    EXPECT_EQ(r.str(), "+OK x y z");
    // The set gatekeeper accepts the module that accepted the check.
    EXPECT_EQ(reqs("a"),
              (std::vector<std::string>{"check bob " + pw + " ", "set bob " + pw + " "}));
    EXPECT_FALSE(logged_prefix("Error: np("));

    Result r2;
    EXPECT_EQ(tallis_check(t, "tom", PASSWORD, nullptr, &r2.text), 1);
    EXPECT_TRUE(logged("Error: np(2) < 4 (+OK x)"));
    EXPECT_EQ(reqs("a").back(), "set tom " + pw + " ");
    EXPECT_TRUE(reqs("b").empty());
}

TEST_F(TallisTest, SetOnCheckWithNoTaker)
{
    t = tallis_init(2);
    Gates ga, gb;
    ga.set.accept = gb.set.accept = false;
    Module *a = add(mod("a", "check\t+OK 1 2 3 info\n"), 1, 10000, &ga);
    add(mod("b", "*\t+OK b\n"), 2, 10000, &gb);
    setup_gates();
    module_set_on_check(a, 1);
    Result r;
    EXPECT_EQ(tallis_check(t, "bob", PASSWORD, nullptr, &r.text), 0);
    EXPECT_EQ(r.str(), "+OK 1 2 3 info");
    EXPECT_EQ(ga.set.names.size(), 1u);
    EXPECT_EQ(gb.set.names.size(), 1u);
    EXPECT_TRUE(reqs("b").empty());
}

TEST_F(TallisTest, SetOnCheckFailedExchange)
{
    t = tallis_init(2);
    Gates ga;
    ga.set.accept = false;
    Module *a = add(mod("a", "check\t+OK 1 2 3 info\n"), 1, 10000, &ga);
    std::string bb = mod("b", "set\t!exit\n");
    Module *b = add(bb, 2);
    setup_gates();
    module_set_on_check(a, 1);
    Result r;
    EXPECT_EQ(tallis_check(t, "bob", PASSWORD, nullptr, &r.text), 1);
    EXPECT_EQ(r.str(), "+OK 1 2 3 info");
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
    Result r;
    EXPECT_EQ(tallis_search(t, "b*", "x y", record_line, &r.text), 0);
    EXPECT_EQ(r.str(), "-ERR none");
    EXPECT_EQ(search_lines,
              (std::vector<std::string>{"+DATA 1", "+DATA 2", "+OK 2 10", "+DATA", "-ERR none"}));
    // Data lines reach the callback as they come, before the final line.
    ASSERT_EQ(search_times.size(), 5u);
    EXPECT_GE(search_times[2] - search_times[0], std::chrono::milliseconds(200));
    EXPECT_EQ(c->Dead, 1);
    for (const char *name : {"a", "b", "c", "d"})
        EXPECT_EQ(reqs(name), std::vector<std::string>{"search b* x y"}) << name;
    EXPECT_TRUE(logged("Debug: Search[b*|x y]"));
    EXPECT_TRUE(logged("Debug: Module3[-DEAD c]"));
}

TEST_F(TallisTest, SearchDeadAtOncePassesNothing)
{
    t = tallis_init(1);
    Module *m = add(mod("m", "search\t-DEAD\n"), 1);
    Result r;
    EXPECT_EQ(tallis_module_search(m, "x", nullptr, record_line, &r.text), 1);
    EXPECT_EQ(r.str(), "-DEAD");
    EXPECT_TRUE(search_lines.empty());
    Result r2;
    tallis_search(t, "x", nullptr, record_line, &r2.text);
    EXPECT_EQ(r2.str(), "-DEAD");
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
    Result r;
    tallis_search(t, "xyz", nullptr, record_line, &r.text);
    EXPECT_EQ(r.str(), "+OK yz");
    EXPECT_EQ(search_lines, (std::vector<std::string>{"+DATA 1", "+OK yz"}));
    EXPECT_EQ(a->Dead, 1);
    EXPECT_TRUE(logged_prefix("Error: Failed to talk to Module1 (" + b + "), "));
}

} // namespace
