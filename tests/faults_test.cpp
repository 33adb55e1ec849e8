// Faults end to end: the built corvane program over modules that misbehave
// (faultmod, or scripts) and clients that send hostile input. Every command
// gets exactly one reply line (a search: its data lines and one summary),
// never a reply meant for an earlier command; the other modules go on
// serving; no module process or zombie is left when corvane has ended.
#include "tests/testkit.h"

#include <thread>

using namespace testkit;

namespace
{

const char *const Faultmod = TEST_PROGS_DIR "/faultmod";

class Faults : public Workdir
{
  protected:
    Child corvane;

    // Module 1 is faultmod with options; module 2 (when wanted) answers
    // every command as "two". Replies are waited for 300 ms.
    void start(const std::string &options, bool second = true)
    {
        write("two.script", "lookup\t+OK two $2\ncheck\t+OK two $2\nset\t+OK two $2\n"
                            "del\t+OK two $2\nsearch\t!data 1 two $2 ;; +OK 1 1\n");
        std::string ini =
            "loglevel debug\ndo_del true\ndo_set always\ntimeout 300\nmodule 1\nbinary " +
            std::string(Faultmod) + " " + options + " " + (dir / "m1.req").string() + "\n";
        if (second)
            ini += "module 2\nbinary " TEST_PROGS_DIR "/scriptmod " +
                   (dir / "two.script").string() + "\n";
        write("corvane.ini", ini);
        ASSERT_TRUE(corvane.start(wrapped(CORVANE_BIN), dir));
    }
    Lines requests() const { return lines_of(read_file(dir / "m1.req")); }

    // Ends the run: no further output, status 0, no module left running.
    void finish()
    {
        EXPECT_EQ(0, corvane.finish());
        EXPECT_EQ("", corvane.rest()) << "output that answers no command";
        EXPECT_EQ(0, leftovers()) << "a module outlived corvane";
    }
    void expect_no_zombie()
    {
        EXPECT_EQ(0, zombies(corvane.pid())) << "an ended module was not reaped";
    }
};

} // namespace

// Fault kind -> reply: the faulty command is answered by the next module
// (or by the first line of a double answer); module 1 answers the next
// commands itself, from a new process when it had to be restarted. The
// same fault while a search streams: one summary, the other module asked.
TEST_F(Faults, ModuleFaults)
{
    const struct {
        const char *user, *reply;
        bool restarts;
    } faults[] = {
        {"crash", "+OK two crash", true},    {"hang", "+OK two hang", true},
        {"slow", "+OK two slow", true},      {"garbage", "+OK two garbage", false},
        {"binary", "+OK two binary", false}, {"nul", "+OK two nul", true},
        {"mega", "+OK two mega", true},      {"closeout", "+OK two closeout", true},
        {"twice", "+OK first", false},       {"exit", "+OK two exit", true},
        {"dead", "+OK two dead", true},
    };
    for (const auto &f : faults) {
        SCOPED_TRACE(f.user);
        fs::remove(dir / "m1.req");
        fs::remove(dir / "corvane.log");
        start("");
        std::string user = f.user;
        EXPECT_EQ("+OK lookup u1", corvane.ask("lookup u1"));
        EXPECT_EQ(f.reply, corvane.ask("lookup " + user));
        EXPECT_EQ("+OK lookup u2", corvane.ask("lookup u2"));
        expect_no_zombie();
        EXPECT_EQ("+OK check u3", corvane.ask("check u3 pw"));
        Lines lines = corvane.search("search " + user);
        // A module that answered before it failed may have passed data lines on.
        lines.erase(lines.begin(), lines.end() - std::min<size_t>(2, lines.size()));
        EXPECT_EQ(Lines({"+DATA 1 two " + user, "+OK Search Complete 1 items found out of 1"}),
                  lines);
        EXPECT_EQ("+OK lookup u4", corvane.ask("lookup u4"));
        finish();
        Lines sent = {"lookup u1",    "lookup " + user, "lookup u2",
                      "check u3 pw ", "search " + user, "lookup u4"};
        if (f.user == std::string("twice"))
            sent.erase(sent.begin() + 4); // "+OK second" ended the search
        Lines got = requests();
        std::erase(got, "search " + user);
        std::erase(sent, "search " + user);
        EXPECT_EQ(sent, got);
        EXPECT_EQ(f.restarts, contains(log(), "Restarting module 1"));
    }
}

// A lone module's junk reaches the client as one line, unchanged; its
// failure is one line that names the module.
TEST_F(Faults, LoneModule)
{
    start("", false);
    EXPECT_EQ("!!garbage ~~ ##@@ 0x7f <>{}", corvane.ask("lookup garbage"));
    std::string bytes;
    for (int c = 1; c < 256; c++)
        if (c != '\n') bytes += (char)c;
    EXPECT_EQ(bytes, corvane.ask("lookup binary"));
    for (std::string user : {"crash", "nul", "mega", "closeout"}) {
        std::string reply = corvane.ask("lookup " + user);
        EXPECT_TRUE(contains(reply, " " + user + " module (" + Faultmod + " ")) << reply;
        EXPECT_EQ('-', reply[0]) << reply;
        EXPECT_EQ("+OK lookup u1", corvane.ask("lookup u1"));
    }
    finish();
}

// Output a module writes beyond its reply is thrown away before the next
// request, whether it is a whole line, a part of one, comes late or follows
// a search's final line; a reply of 997 characters fits, one more does not.
TEST_F(Faults, StaleOutputAndLongReplies)
{
    write(
        "m.script",
        "check alice\t+OK alice ;; +OK alice again\ncheck carol\t+OK carol ;; +OK par\\c\n"
        "check dave\t+OK dave ;; !sleep 100 ;; +OK late\nsearch\t!data 1 ;; +OK 1 ;; +DATA after\n"
        "lookup fits\t!long 997 +OK\nlookup over\t!long 998 +OK\nlookup low\t-dead\nlookup "
        "beef\t-DEADBEEF\nlookup\t+OK $$\n*\t-ERR $2 wrong\n");
    write("corvane.ini",
          "module 1\nbinary " TEST_PROGS_DIR "/scriptmod " + (dir / "m.script").string() + "\n");
    ASSERT_TRUE(corvane.start(wrapped(CORVANE_BIN), dir));
    for (const char *user : {"alice", "carol", "dave"}) {
        EXPECT_EQ(std::string("+OK ") + user, corvane.ask(std::string("check ") + user + " pw"));
        if (user == std::string("dave"))
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        EXPECT_EQ("-ERR bob wrong", corvane.ask("check bob pw"));
    }
    EXPECT_EQ(Lines({"+DATA 1", "+OK Search Complete 1 items found out of 1"}),
              corvane.search("search x"));
    EXPECT_EQ("-ERR bob wrong", corvane.ask("check bob pw"));
    std::string pid = corvane.ask("lookup pid");
    EXPECT_EQ("+OK" + std::string(994, 'x'), corvane.ask("lookup fits"));
    EXPECT_EQ(pid, corvane.ask("lookup pid"));
    EXPECT_TRUE(contains(corvane.ask("lookup over"), "over module ("));
    std::string restarted = corvane.ask("lookup pid");
    EXPECT_NE(pid, restarted) << "not restarted after a reply too long";
    pid = restarted;
    EXPECT_EQ("-dead", corvane.ask("lookup low"));
    EXPECT_EQ(pid, corvane.ask("lookup pid")) << "restarted after \"-dead\"";
    EXPECT_EQ("-DEADBEEF", corvane.ask("lookup beef"));
    EXPECT_NE(pid, corvane.ask("lookup pid")) << "not restarted after \"-DEAD...\"";
    finish();
    for (const char *stale : {"(+OK alice again)", "(+OK par)", "(+OK late)", "(+DATA after)"})
        EXPECT_EQ(1, count(log(), std::string("discarding unexpected output ") + stale)) << stale;
}

// A module that ends at once is restarted five times, then given up; every
// command is still answered, by the other module.
TEST_F(Faults, ModuleThatExitsAtStartIsGivenUp)
{
    start("-exitstart");
    for (int i = 1; i <= 9; i++)
        EXPECT_EQ("+OK two u" + std::to_string(i), corvane.ask("lookup u" + std::to_string(i)));
    expect_no_zombie();
    finish();
    EXPECT_EQ(5, count(log(), "Restarting module 1"));
    EXPECT_EQ(1, count(log(), "Module1 reported -DEAD 5 times, not using it anymore"));
}

// A module that ignores SIGTERM but ends with its input leaves no zombie; one
// that ignores both is only ever sent SIGTERM: corvane serves on and ends,
// and such modules are left for an administrator (the test ends them).
TEST_F(Faults, ModulesThatIgnoreSigterm)
{
    start("-ignoreterm");
    EXPECT_EQ("+OK two dead", corvane.ask("lookup dead"));
    EXPECT_EQ("+OK lookup u1", corvane.ask("lookup u1"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    expect_no_zombie();
    finish();

    start("-stubborn");
    EXPECT_EQ("+OK two hang", corvane.ask("lookup hang"));
    EXPECT_EQ("+OK lookup u1", corvane.ask("lookup u1"));
    EXPECT_EQ(0, corvane.finish());
    EXPECT_EQ(
        2, processes_mentioning((dir / "m1.req").string(), true)); // the hung one and its successor
    EXPECT_EQ(0, leftovers());
}

// Hostile client input: lines far over the limit are refused whole, a line
// that just fits is a command, NUL bytes end a command where they stand, a
// request that would not fit a request line is never sent cut.
TEST_F(Faults, HostileClient)
{
    start("", false);
    std::string fits = "lookup " + std::string(990, 'b'), name(991, 'b');
    std::string set = "set alice pw", joined = "set bob pw", spaced;
    for (int i = 0; i < 10000; i++) set += " w" + std::to_string(i);
    for (int i = 0; i < 300; i++) spaced += "  w";
    for (int i = 3; i < 99; i++) joined += " w";
    joined += " w";
    for (int i = 100; i < 303; i++) joined += "  w";
    corvane.send("lookup " + std::string(1 << 20, 'a') + "\nlookup after\n" + fits + "\n" + fits +
                 "cd\n" + std::string("lookup bob\0junk\n\0lookup x\n", 26) + set + "\nset bob pw" +
                 spaced + "\nlookup " + name + "\n");
    for (const std::string &want :
         Lines{"-ERR Line too long", "+OK lookup after",
               "+OK lookup " + std::string(100, 'b') + " len=990", "-ERR Line too long",
               "+OK lookup bob", "-ERR Unknown command", "-ERR Line too long", "+OK set bob"})
        EXPECT_EQ(want, corvane.line());
    std::string cut = corvane.line();
    EXPECT_EQ(999u, cut.size());
    EXPECT_TRUE(contains(cut, " " + name + " mo")) << cut;
    finish();
    EXPECT_EQ(Lines({"lookup after", fits, "lookup bob", joined}), requests());
}

// The client goes away while a module works, its last line unfinished: that
// line is still a command, and corvane and its modules end.
TEST_F(Faults, ClientLeavesDuringAnExchange)
{
    start("");
    corvane.send("lookup slow\nlookup u1");
    corvane.close_input();
    EXPECT_EQ("+OK two slow", corvane.line());
    EXPECT_EQ("+OK lookup u1", corvane.line());
    finish();
}

// Modules inherit no descriptor of corvane's, nor one its caller left open:
// only their pipes and a standard error on /dev/null (module 2 has no file
// of its own open). It has answered a set before it is looked at, so it
// runs its program by then.
TEST_F(Faults, ModulesHoldOnlyTheirStandardDescriptors)
{
    write("secret", "the caller's file\n");
    corvane.inherit((dir / "secret").string());
    start("");
    EXPECT_EQ("+OK two u1", corvane.ask("set u1 pw"));
    int seen = 0;
    for (pid_t m : children(corvane.pid())) {
        if (!contains(read_file("/proc/" + std::to_string(m) + "/cmdline"), "two.script")) continue;
        seen++;
        Lines fds;
        for (auto &e : fs::directory_iterator("/proc/" + std::to_string(m) + "/fd"))
            fds.push_back(e.path().filename().string() + " " + fs::read_symlink(e.path()).string());
        std::sort(fds.begin(), fds.end());
        ASSERT_EQ(3u, fds.size()) << fds.back();
        EXPECT_EQ("0 pipe:", fds[0].substr(0, 7));
        EXPECT_EQ("1 pipe:", fds[1].substr(0, 7));
        EXPECT_EQ("2 /dev/null", fds[2]);
    }
    EXPECT_EQ(1, seen);
    finish();
}
