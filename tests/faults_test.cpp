// Fault injection end to end: the built corvane program with modules that
// misbehave (tests/progs/faultmod) and clients that send hostile input.
// Whatever happens, every command gets exactly one reply line (a search:
// its data lines and one summary), never a reply meant for an earlier
// command; the other modules go on serving; and no module process or
// zombie is left when corvane has ended.
#include "tests/testkit.h"

#include <algorithm>
#include <thread>

using namespace testkit;

namespace
{

const char *const Faultmod = TEST_PROGS_DIR "/faultmod";
const char *const Scriptmod = TEST_PROGS_DIR "/scriptmod";

// A module that answers every command, naming itself "two".
const char *const Second = "lookup\t+OK two $2\ncheck\t+OK two $2\nset\t+OK two $2\n"
                           "del\t+OK two $2\nsearch\t!data 1 two $2 ;; +OK 1 1\n";

class Faults : public Workdir
{
  protected:
    Child corvane;

    // Module 1 is faultmod with options, module 2 (when wanted) scriptmod
    // answering as "two". Replies are waited for 300 ms.
    void configure(const std::string &options, bool second = true)
    {
        std::string ini = "loglevel debug\ndo_del true\ndo_set always\ntimeout 300\n"
                          "module 1\nbinary " +
                          std::string(Faultmod) + " " + options + " " + (dir / "m1.req").string() +
                          "\n";
        if (second) {
            write("two.script", Second);
            ini += "module 2\nbinary " + std::string(Scriptmod) + " " +
                   (dir / "two.script").string() + "\n";
        }
        write("corvane.ini", ini);
    }

    void start() { ASSERT_TRUE(corvane.start(wrapped(CORVANE_BIN), dir)); }

    std::vector<std::string> requests() const { return lines_of(read_file(dir / "m1.req")); }

    // Ends the run: no further output, status 0, nothing written to
    // standard error, no module left running.
    void finish()
    {
        int status = corvane.finish();
        EXPECT_EQ(0, status);
        EXPECT_EQ("", corvane.rest()) << "output that answers no command";
        // Only a module's own "-DEAD" reaches standard error.
        for (const std::string &e : lines_of(corvane.errors()))
            EXPECT_EQ("corvane: Module1 answered -DEAD tired", e);
        EXPECT_EQ(0, leftovers()) << "a module outlived corvane";
    }

    void expect_no_zombie()
    {
        EXPECT_EQ(0, zombies(corvane.pid())) << "an ended module was not reaped";
    }
};

struct Fault {
    const char *user;   // the user name that makes faultmod misbehave
    const char *lookup; // the reply to "lookup <user>"
    bool restarts;      // whether module 1 is restarted for it
};

const Fault ModuleFaults[] = {
    {"crash", "+OK two crash", true},    {"hang", "+OK two hang", true},
    {"slow", "+OK two slow", true},      {"garbage", "+OK two garbage", false},
    {"binary", "+OK two binary", false}, {"nul", "+OK two nul", true},
    {"mega", "+OK two mega", true},      {"closeout", "+OK two closeout", true},
    {"twice", "+OK first", false},       {"exit", "+OK two exit", true},
    {"dead", "+OK two dead", true},
};

} // namespace

// Each fault in the middle of a run: the faulty command is answered by the
// next module (or by the first reply, for a double answer), and module 1
// answers the next command itself, from a new process when it had to be
// restarted.
TEST_F(Faults, ModuleFaultsInALookup)
{
    for (const Fault &f : ModuleFaults) {
        SCOPED_TRACE(f.user);
        fs::remove(dir / "m1.req");
        fs::remove(dir / "corvane.log");
        configure("");
        start();
        EXPECT_EQ("+OK lookup u1", corvane.ask("lookup u1"));
        EXPECT_EQ(f.lookup, corvane.ask(std::string("lookup ") + f.user));
        EXPECT_EQ("+OK lookup u2", corvane.ask("lookup u2"));
        expect_no_zombie();
        EXPECT_EQ("+OK check u3", corvane.ask("check u3 pw"));
        finish();
        std::vector<std::string> sent = {"lookup u1", std::string("lookup ") + f.user, "lookup u2",
                                         "check u3 pw "};
        EXPECT_EQ(sent, requests());
        EXPECT_EQ(f.restarts, contains(log(), "Restarting module 1"));
    }
}

// The same faults while a search streams: data lines already passed on
// stay passed, the other module is still asked, and one summary ends it.
TEST_F(Faults, ModuleFaultsInASearch)
{
    for (const Fault &f : ModuleFaults) {
        SCOPED_TRACE(f.user);
        fs::remove(dir / "m1.req");
        configure("");
        start();
        corvane.send(std::string("search ") + f.user + "\n");
        std::vector<std::string> lines;
        do lines.push_back(corvane.line());
        while (lines.back().rfind("+DATA ", 0) == 0);
        std::vector<std::string> want = {std::string("+DATA 1 two ") + f.user,
                                         "+OK Search Complete 1 items found out of 1"};
        // A module that answered before it failed may have passed data lines on.
        if (lines.size() > 2) lines.erase(lines.begin(), lines.end() - 2);
        EXPECT_EQ(want, lines);
        EXPECT_EQ("+OK lookup u1", corvane.ask("lookup u1"));
        expect_no_zombie();
        finish();
    }
}

// A module that answers twice, the second time a little later: the extra
// line arrives before the next command and is thrown away, not taken as
// the reply to it.
TEST_F(Faults, LateSecondAnswerIsNotTakenForTheNextReply)
{
    configure("");
    start();
    EXPECT_EQ("+OK first", corvane.ask("lookup twicelate"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ("+OK lookup u1", corvane.ask("lookup u1"));
    EXPECT_EQ("+OK first", corvane.ask("lookup twice"));
    EXPECT_EQ("+OK check u2", corvane.ask("check u2 pw"));
    finish();
    EXPECT_EQ(2u, count(log(), "discarding unexpected output (+OK second)"));
}

// A module that ends at once is restarted five times and then given up;
// every command is still answered, by the other module.
TEST_F(Faults, ModuleThatExitsAtStartIsGivenUp)
{
    configure("-exitstart");
    start();
    for (int i = 1; i <= 9; i++) {
        std::string user = "u" + std::to_string(i);
        EXPECT_EQ("+OK two " + user, corvane.ask("lookup " + user));
    }
    expect_no_zombie();
    finish();
    std::string l = log();
    EXPECT_EQ(5u, count(l, "Restarting module 1"));
    EXPECT_EQ(1u, count(l, "Module1 reported -DEAD 5 times, not using it anymore"));
}

// A lone module's junk reaches the client as one line, unchanged.
TEST_F(Faults, JunkRepliesPassThroughAsOneLine)
{
    configure("", false);
    start();
    EXPECT_EQ("!!garbage ~~ ##@@ 0x7f <>{}", corvane.ask("lookup garbage"));
    std::string bytes;
    for (int c = 1; c < 256; c++)
        if (c != '\n') bytes += (char)c;
    EXPECT_EQ(bytes, corvane.ask("lookup binary"));
    EXPECT_EQ("+OK lookup u1", corvane.ask("lookup u1"));
    finish();
}

// A lone module that fails leaves its failure text as the reply.
TEST_F(Faults, LoneModuleFailureIsOneErrLine)
{
    configure("", false);
    start();
    for (const char *user : {"crash", "nul", "mega", "closeout"}) {
        std::string reply = corvane.ask(std::string("lookup ") + user);
        std::string lead = std::string("-DEAD ") + user + " module (" + Faultmod + " ";
        EXPECT_EQ(lead, reply.substr(0, lead.size()));
        EXPECT_EQ("+OK lookup u1", corvane.ask("lookup u1"));
    }
    finish();
}

// A module that ignores SIGTERM, but ends when its input closes, must not
// stay behind as a zombie after its restart, nor outlive corvane.
TEST_F(Faults, ModuleThatIgnoresSigterm)
{
    configure("-ignoreterm");
    start();
    EXPECT_EQ("+OK two dead", corvane.ask("lookup dead"));
    EXPECT_EQ("+OK lookup u1", corvane.ask("lookup u1"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    expect_no_zombie();
    finish();
}

// A module that ignores SIGTERM and the end of its input is only ever sent
// SIGTERM and given its half second, at its restart and at corvane's exit:
// corvane goes on serving and ends, and such a module is left running, as
// an administrator's kill would be needed for it (the test ends it).
TEST_F(Faults, ModuleThatIgnoresSigtermAndItsInput)
{
    configure("-stubborn");
    start();
    EXPECT_EQ("+OK two hang", corvane.ask("lookup hang"));
    EXPECT_EQ("+OK lookup u1", corvane.ask("lookup u1"));
    EXPECT_EQ(0, corvane.finish());
    EXPECT_EQ("", corvane.errors());
    // The one that hung and the one started in its place.
    EXPECT_EQ(2, processes_mentioning((dir / "m1.req").string()));
    kill_mentioning((dir / "m1.req").string());
    EXPECT_EQ(0, leftovers());
}

// --- Hostile clients ---

// A line of a megabyte is refused whole with one reply; the line after it
// is answered as usual. So is a line one byte longer than the buffer, while
// a line that just fits is a command.
TEST_F(Faults, ClientSendsAMegabyteLine)
{
    configure("", false);
    start();
    std::string name(1 << 20, 'a');
    std::string fits = "lookup " + std::string(997 - 7, 'b');
    corvane.send("lookup " + name + "\nlookup after\n" + fits + "\n" + fits + "cd\n");
    EXPECT_EQ("-ERR Line too long", corvane.line());
    EXPECT_EQ("+OK lookup after", corvane.line());
    EXPECT_EQ("+OK lookup " + std::string(100, 'b') + " len=990", corvane.line());
    EXPECT_EQ("-ERR Line too long", corvane.line());
    finish();
    EXPECT_EQ(std::vector<std::string>({"lookup after", fits}), requests());
}

// A command line that fits the buffer makes a request line one byte longer
// when the command is "lookup": the request must reach the module whole, or
// not at all, never cut to the name of another user.
// Disabled until an exchange refuses a request that does not fit the
// channel's line instead of sending it cut.
TEST_F(Faults, RequestsAreNeverCut)
{
    configure("", false);
    start();
    // "lookup " and 991 characters: one more than a request line holds. Cut,
    // it would ask about another user; it is refused without asking.
    std::string name(998 - 7, 'b');
    std::string reply = corvane.ask("lookup " + name);
    EXPECT_EQ(0u, reply.find("-ERR " + name + " mo")) << reply;
    EXPECT_EQ(999u, reply.size());
    EXPECT_EQ("+OK lookup " + name.substr(0, 100) + " len=990",
              corvane.ask("lookup " + name.substr(1)));
    finish();
    EXPECT_EQ(std::vector<std::string>{"lookup " + name.substr(1)}, requests());
}

// NUL bytes end the command where they stand.
TEST_F(Faults, ClientSendsNulBytes)
{
    configure("", false);
    start();
    corvane.send(std::string("lookup bob\0junk\n\0lookup x\nlookup carol\n", 39));
    EXPECT_EQ("+OK lookup bob", corvane.line());
    EXPECT_EQ("-ERR Unknown command", corvane.line());
    EXPECT_EQ("+OK lookup carol", corvane.line());
    finish();
}

// A command of 10,000 words is longer than any command line: refused whole.
// Within the buffer, the hundredth word keeps the rest of the line.
TEST_F(Faults, ClientSendsTenThousandWords)
{
    configure("", false);
    start();
    std::string line = "set alice pw", words;
    for (int i = 0; i < 10000; i++) line += " w" + std::to_string(i);
    for (int i = 0; i < 300; i++) words += "  w";
    corvane.send(line + "\nset bob pw" + words + "\nlookup after\n");
    EXPECT_EQ("-ERR Line too long", corvane.line());
    EXPECT_EQ("+OK set bob", corvane.line());
    EXPECT_EQ("+OK lookup after", corvane.line());
    finish();
    // Words 3 to 98 joined by single blanks, then the hundredth unsplit.
    std::string joined = "set bob pw";
    for (int i = 3; i < 99; i++) joined += " w";
    joined += " w";
    for (int i = 100; i < 303; i++) joined += "  w";
    EXPECT_EQ(std::vector<std::string>({joined, "lookup after"}), requests());
}

// Carriage returns alone do not end lines: they only separate words.
TEST_F(Faults, ClientEndsLinesWithCarriageReturnsOnly)
{
    configure("", false);
    start();
    corvane.send("lookup a\rlookup b\rlookup c\r");
    corvane.close_input();
    EXPECT_EQ("+OK lookup a", corvane.line());
    finish();
    EXPECT_EQ(std::vector<std::string>{"lookup a"}, requests());
}

// Input that ends in the middle of a line: that line is still a command.
TEST_F(Faults, ClientClosesInputMidLine)
{
    configure("");
    start();
    corvane.send("lookup u1\nlookup u2");
    corvane.close_input();
    EXPECT_EQ("+OK lookup u1", corvane.line());
    EXPECT_EQ("+OK lookup u2", corvane.line());
    finish();
}

// The client goes away while a module is still working: corvane ends,
// and so do its modules.
TEST_F(Faults, ClientClosesInputDuringAnExchange)
{
    configure("");
    start();
    corvane.send("lookup slow\nlookup u1\n");
    corvane.close_input();
    EXPECT_EQ("+OK two slow", corvane.line());
    EXPECT_EQ("+OK lookup u1", corvane.line());
    finish();
}

// A word given on the command line may hold a blank, which would split it
// into two fields for the module: a user name "root secret" would pass a
// mask that refuses root and reach the module as user root with password
// secret. Such words are refused before any module is asked.
TEST_F(Faults, CommandLineWordsCannotSmuggleFields)
{
    write("one.script", "check\t+OK $2 checked\nlookup\t+OK $2 found\n");
    write("corvane.ini", "module 1\nbinary " + std::string(Scriptmod) + " " +
                             (dir / "one.script").string() + " " + (dir / "m1.req").string() +
                             "\nmatch !root,*\n");
    for (auto args : {std::vector<std::string>{"-check", "root secret", "x"},
                      std::vector<std::string>{"-check", "bob", "x 10.0.0.1", "10.9.9.9"},
                      std::vector<std::string>{"-lookup", "root x"}}) {
        corvane.start(wrapped(CORVANE_BIN, args), dir);
        std::string reply = corvane.line();
        EXPECT_EQ(std::string("-ERR ") + (args[0] == "-check" ? "check" : "lookup") +
                      " parameters must not contain blanks",
                  reply);
        EXPECT_EQ(1, corvane.finish()) << args[1];
        EXPECT_EQ(0, leftovers());
    }
    EXPECT_TRUE(requests().empty()) << "a module was asked: " << requests()[0];
}

// Modules inherit no descriptor of corvane's, nor one that corvane's own
// caller left open (a server's connection, say): only their pipes and a
// standard error on /dev/null.
TEST_F(Faults, ModulesHoldOnlyTheirStandardDescriptors)
{
    configure("");
    write("secret", "the caller's file\n");
    corvane.inherit((dir / "secret").string());
    start();
    EXPECT_EQ("+OK lookup u1", corvane.ask("lookup u1"));
    int seen = 0;
    for (auto &child : children(corvane.pid())) {
        std::string proc = "/proc/" + std::to_string(child.first);
        if (!contains(read_file(proc + "/cmdline"), "two.script")) continue;
        seen++;
        std::vector<std::string> fds;
        for (auto &e : fs::directory_iterator(proc + "/fd"))
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
