// End-to-end tests of the corvane program: each test writes a corvane.ini
// and module scripts into a private directory, runs the built program there
// with the scripted test module (scriptmod) as its modules, and looks at the
// reply lines, the exit status, what every module was sent and the log.
#include "tests/testkit.h"

#include <regex>
#include <set>

using namespace testkit;

namespace
{

const char *const Scriptmod = TEST_PROGS_DIR "/scriptmod";

// A private working directory for one run of corvane: its configuration,
// the module scripts, what the modules were sent, and the log.
class Corvane : public Workdir
{
  protected:
    // The binary line of a module answering from script, logging what it is
    // sent to <name>.req.
    std::string module(const std::string &name, const std::string &script) const
    {
        write(name + ".script", script);
        return std::string(Scriptmod) + " " + (dir / (name + ".script")).string() + " " +
               (dir / (name + ".req")).string();
    }

    // What module name has been sent, one request per line.
    std::vector<std::string> requests(const std::string &name) const
    {
        return lines_of(read_file(dir / (name + ".req")));
    }

    std::string expected_err; // what run() expects on standard error

    // Runs program in the directory, feeding it input; no module may be
    // left once it has ended.
    Outcome run(const std::vector<std::string> &args, const std::string &input = "",
                const std::string &program = CORVANE_BIN)
    {
        Spec s;
        s.argv = wrapped(program, args);
        s.input = input;
        s.inherit_env = true;
        s.cwd = dir;
        Outcome r = testkit::run(s);
        EXPECT_FALSE(r.timed_out) << "corvane did not finish in time";
        EXPECT_EQ(expected_err, r.err);
        EXPECT_EQ(0, leftovers(0)) << "a module outlived corvane";
        return r;
    }
};

// A module that answers every operation with "+OK" and its request.
const char *const Accepting = "lookup\t+OK $0\ncheck\t+OK $0\nset\t+OK $0\ndel\t+OK $0\n"
                              "search\t!data 1 $0 ;; +OK 1 1\n";

} // namespace

// --- Start-up ---

TEST_F(Corvane, VersionOptionWritesItsLineAndExitsWithOne)
{
    Outcome r = run({"-version"});
    EXPECT_EQ("+OK Corvane 10n\n", r.out);
    EXPECT_EQ(1, r.status);
    EXPECT_FALSE(fs::exists(dir / "corvane.log"));

    r = run({"-debug", "-VERSION", "-path"});
    EXPECT_EQ("+OK Corvane 10n\n", r.out);
    EXPECT_EQ(1, r.status);
    EXPECT_FALSE(fs::exists(dir / "corvane.log"));
}

TEST_F(Corvane, MissingConfiguration)
{
    Outcome r = run({});
    EXPECT_EQ("-DEAD Failed to load '" + (dir / "corvane.ini").string() +
                  "', No such file or directory\n",
              r.out);
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(contains(log(), "Error: -DEAD Failed to load '"));
}

TEST_F(Corvane, NoModulesDefined)
{
    write("corvane.ini", "# nothing but globals\nmatch *\n");
    Outcome r = run({}, "lookup bob\n");
    EXPECT_EQ("-DEAD No modules defined\n", r.out);
    EXPECT_EQ(1, r.status);
}

TEST_F(Corvane, ModuleThatCannotBeStarted)
{
    write("corvane.ini", "module 1\nbinary " + module("m1", Accepting) + "\nmodule 2\ntimeout 5\n");
    Outcome r = run({}, "lookup bob\n");
    EXPECT_EQ(0u, r.out.rfind("-DEAD Module2 has no binary", 0)) << r.out;
    EXPECT_EQ(1u, lines_of(r.out).size());
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(requests("m1").empty());
}

TEST_F(Corvane, ProgramThatDoesNotExistFailsAtItsFirstExchange)
{
    write("corvane.ini", "module 1\nbinary " + (dir / "nonexistent").string() +
                             "\ntimeout 200\n"
                             "module 2\nbinary " +
                             module("m2", Accepting) + "\n");
    // Once per start: the first, and the restart after the failure.
    std::string why = "corvane: Module1 cannot execute '" + (dir / "nonexistent").string() +
                      "': No such file or directory\n";
    expected_err = why + why;
    Outcome r = run({}, "lookup bob\n");
    EXPECT_EQ("+OK lookup bob\n", r.out);
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(contains(log(), "Failed to talk to Module1"));
}

TEST_F(Corvane, PathOption)
{
    fs::create_directory(dir / "etc");
    std::ofstream(dir / "etc" / "corvane.ini")
        << "loglevel info\nmodule 1\nbinary " + module("m1", Accepting) << "\n";
    Outcome r = run({"-path", (dir / "etc").string()}, "lookup bob\n");
    EXPECT_EQ("+OK lookup bob\n", r.out);
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(fs::exists(dir / "etc" / "corvane.log"));
    EXPECT_FALSE(fs::exists(dir / "corvane.log"));

    r = run({"-path"});
    EXPECT_EQ("-ERR path requires a parameter\n", r.out);
    EXPECT_EQ(1, r.status);
    EXPECT_FALSE(fs::exists(dir / "corvane.log"));
}

TEST_F(Corvane, FilesAreNamedAfterTheBareInvocationName)
{
    fs::create_directory(dir / "bin");
    fs::create_symlink(CORVANE_BIN, dir / "bin" / "corvane.test.bin");
    write("corvane.ini", "loglevel info\nmodule 1\nbinary " + module("m1", Accepting) + "\n");
    Outcome r = run({}, "lookup bob\n", (dir / "bin" / "corvane.test.bin").string());
    EXPECT_EQ("+OK lookup bob\n", r.out);
    EXPECT_TRUE(fs::exists(dir / "corvane.log"));
    EXPECT_FALSE(fs::exists(dir / "bin" / "corvane.log"));
}

TEST_F(Corvane, ModulesAreAskedInTheOrderOfTheirNumbers)
{
    write("corvane.ini", "loglevel debug\n"
                         "module 2\nbinary " +
                             module("m2", "lookup\t-ERR two") + "\nmodule 1\nbinary " +
                             module("m1", "lookup\t-ERR one") + "\nmodule x\nbinary " +
                             module("m0", "lookup\t-ERR zero") + "\n");
    Outcome r = run({}, "lookup bob\n");
    EXPECT_EQ("-ERR two\n", r.out);
    std::string l = log();
    size_t zero = l.find("Module0[-ERR zero]"), one = l.find("Module1[-ERR one]"),
           two = l.find("Module2[-ERR two]");
    ASSERT_NE(std::string::npos, zero);
    ASSERT_NE(std::string::npos, one);
    ASSERT_NE(std::string::npos, two);
    EXPECT_LT(zero, one);
    EXPECT_LT(one, two);
}

TEST_F(Corvane, LogRotationSettingsAreClamped)
{
    write("corvane.ini",
          "log_size 500\nlog_rotations -1\nmodule 1\nbinary " + module("m1", Accepting) + "\n");
    Outcome r = run({}, "lookup bob\n");
    EXPECT_EQ("+OK lookup bob\n", r.out);
    std::string l = log();
    EXPECT_TRUE(contains(l, "Error: log_size MUST be >= 1024"));
    EXPECT_TRUE(contains(l, "Error: log_rotations MUST be >= 0"));
}

// --- Commands on standard input ---

TEST_F(Corvane, EveryCommandAndUsageReply)
{
    write("corvane.ini",
          "do_del true\ndo_set always\nmodule 1\nbinary " + module("m1", Accepting) + "\n");
    Outcome r = run({}, "lookup\nlookup bob\ncheck\ncheck alice\ncheck alice pw\n"
                        "check alice pw 10.0.0.1 more\nset\nset alice\nset alice pw\n"
                        "set alice pw a=1    b=2\ndel\ndel bob extra\nsearch\nsearch a*\n"
                        "search a* x   y\nversion\nfrobnicate\n");
    EXPECT_EQ(0, r.status);
    std::vector<std::string> expected = {
        "-ERR Lookup requires 1 parameter 'username'",
        "+OK lookup bob",
        "-ERR Check requires at least 2 parameters 'username' 'password' ['ipaddress']",
        "-ERR alice not found or password incorrect",
        "+OK check alice pw ",
        "+OK check alice pw 10.0.0.1",
        "-ERR Set requires at least 2 parameters 'username' 'password' ['label=value']",
        "-ERR Set requires at least 2 parameters 'username' 'password' ['label=value']",
        "+OK set alice pw",
        "+OK set alice pw a=1 b=2",
        "-ERR Del requires 1 parameter 'username'",
        "+OK del bob",
        "-ERR Search requires at least 1 parameter 'search string'",
        "+DATA 1 search a*",
        "+OK Search Complete 1 items found out of 1",
        "+DATA 1 search a* x y",
        "+OK Search Complete 1 items found out of 1",
        "+OK Corvane 10n",
        "-ERR Unknown command",
    };
    EXPECT_EQ(expected, lines_of(r.out));
    std::vector<std::string> sent = {
        "lookup bob",   "check alice pw ",      "check alice pw 10.0.0.1",
        "set alice pw", "set alice pw a=1 b=2", "del bob",
        "search a*",    "search a* x y"};
    EXPECT_EQ(sent, requests("m1"));
}

TEST_F(Corvane, CommandWordsInAnyLetterCaseAndOddLines)
{
    write("corvane.ini", "module 1\nbinary " + module("m1", Accepting) + "\n");
    Outcome r = run({}, "LOOKUP Bob\nLookup Bob\n lookup bob\n\nlookup\tbob\r\n"
                        "VeRsIoN\nlookup   bob  \r\n");
    std::vector<std::string> expected = {
        "+OK lookup Bob",       "+OK lookup Bob",  "-ERR Unknown command", "-ERR Unknown command",
        "-ERR Unknown command", "+OK Corvane 10n", "+OK lookup bob"};
    EXPECT_EQ(expected, lines_of(r.out));
}

TEST_F(Corvane, HundredthWordKeepsTheRestOfTheLine)
{
    write("corvane.ini", "do_set always\nmodule 1\nbinary " + module("m1", Accepting) + "\n");
    std::string line = "set  alice pw";
    for (int i = 3; i < 150; i++) line.append(i == 120 ? "   w" : "  w").append(std::to_string(i));
    Outcome r = run({}, line + "\n");
    std::string expected = "set alice pw";
    for (int i = 3; i < 99; i++) expected.append(" w").append(std::to_string(i));
    expected += " w99";
    for (int i = 100; i < 150; i++)
        expected.append(i == 120 ? "   w" : "  w").append(std::to_string(i));
    ASSERT_EQ(1u, requests("m1").size());
    EXPECT_EQ(expected, requests("m1")[0]);
    EXPECT_EQ("+OK " + expected + "\n", r.out);
}

TEST_F(Corvane, LongLineIsRefusedWhole)
{
    std::string binary = module("m1", "lookup\t+OK found");
    write("corvane.ini", "module 1\nbinary " + binary + "\n");
    // A line of 998 characters is a command, though one request line to a
    // module holds only 997; a line of 999 (or far more) gets one refusal and
    // asks nothing, and the next line is served as usual.
    std::string fits = "lookup " + std::string(990, 'a');
    std::string name(991, 'a');
    std::string too_long = "lookup " + std::string(900, 'a') + " check x y" + std::string(300, 'b');
    std::string huge = "lookup " + std::string(1 << 20, 'c');
    Outcome r = run({}, fits + "\nlookup " + name + "\n" + too_long + "\n" + huge +
                            "\nlookup bob\n" + fits);
    std::string refused = "-ERR " + name + " module (" + binary + "), Request too long";
    std::vector<std::string> expected = {"+OK found",          refused.substr(0, 999),
                                         "-ERR Line too long", "-ERR Line too long",
                                         "+OK found",          "+OK found"};
    EXPECT_EQ(expected, lines_of(r.out));
    std::vector<std::string> asked = {fits, "lookup bob", fits};
    EXPECT_EQ(asked, requests("m1"));
}

TEST_F(Corvane, SearchSummaryCountsTheFinalLines)
{
    write("corvane.ini", "loglevel debug\nmodule 1\nbinary " +
                             module("m1", "search\t!data 2 one ;; +OK 5") + "\nmodule 2\nbinary " +
                             module("m2", "search\t!data 3 two ;; +OK found 3 of 100\t1\n"
                                          "search\t-ERR 1 2 3 x") +
                             "\n");
    Outcome r = run({}, "search *\nsearch again\n");
    std::vector<std::string> expected = {
        "+DATA 1 one", "+DATA 2 one", "+DATA 1 two",
        "+DATA 2 two", "+DATA 3 two", "+OK Search Complete 8 items found out of 105",
        "+DATA 1 one", "+DATA 2 one", "+OK Search Complete 6 items found out of 7"};
    EXPECT_EQ(expected, lines_of(r.out));
    EXPECT_TRUE(contains(log(), "Search +OK line has more than 2 numbers in it?!? [-ERR 1 2 3 x]"));
}

TEST_F(Corvane, SearchThatNoModuleTakes)
{
    write("corvane.ini", "do_search false\nmodule 1\nbinary " + module("m1", Accepting) + "\n");
    Outcome r = run({}, "search *\n");
    EXPECT_EQ("+OK Search Complete 0 items found out of 0\n", r.out);
    EXPECT_TRUE(requests("m1").empty());
}

// The process ids of the modules as started, and those that were written
// "quit" (five bytes) after the multiplexer's debug line "Quit". A module is
// stopped right after "quit" is written, so the module may not live to note
// the line itself: the log is what shows it was sent.
struct QuitTrace {
    std::set<std::string> started, quit;
    bool quit_logged = false;
    explicit QuitTrace(const std::string &log)
    {
        std::smatch m;
        static const std::regex start("Module\\d+: pid\\((\\d+)\\)");
        static const std::regex written("Spawn: Written \\[(\\d+)\\] 5 bytes");
        for (const std::string &line : lines_of(log)) {
            if (std::regex_search(line, m, start)) started.insert(m[1]);
            if (line.ends_with("Debug: Quit")) quit_logged = true;
            if (quit_logged && std::regex_search(line, m, written)) quit.insert(m[1]);
        }
    }
};

TEST_F(Corvane, QuitExitAndByeSendQuitToEveryModule)
{
    struct Case {
        std::vector<std::string> args;
        std::string input;
    } cases[] = {{{}, "quit\nlookup bob\n"},
                 {{}, "EXIT\nlookup bob\n"},
                 {{}, "Bye now\nlookup bob\n"},
                 {{"-quit"}, "lookup bob\n"}};
    for (const Case &c : cases) {
        fs::remove(dir / "corvane.log");
        write("corvane.ini", "loglevel debug\nmodule 1\nbinary " + module("m1", Accepting) +
                                 "\nmodule 2\nbinary " + module("m2", Accepting) + "\n");
        Outcome r = run(c.args, c.input);
        EXPECT_EQ("+OK bye\n", r.out) << c.input;
        EXPECT_EQ(0, r.status);
        QuitTrace trace(log());
        EXPECT_TRUE(trace.quit_logged) << c.input;
        EXPECT_EQ(2u, trace.started.size());
        EXPECT_EQ(trace.started, trace.quit) << c.input;
    }
    // Nothing after the quit is read.
    EXPECT_FALSE(contains(read_file(dir / "m1.req"), "lookup"));
}

TEST_F(Corvane, EndOfInputSendsNoQuit)
{
    write("corvane.ini", "loglevel debug\nmodule 1\nbinary " + module("m1", Accepting) +
                             "\nmodule 2\nbinary " + module("m2", Accepting) + "\n");
    Outcome r = run({}, "lookup bob\n");
    EXPECT_EQ("+OK lookup bob\n", r.out);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(std::vector<std::string>{"lookup bob"}, requests("m1"));
    QuitTrace trace(log());
    EXPECT_EQ(2u, trace.started.size());
    EXPECT_FALSE(trace.quit_logged);
    EXPECT_FALSE(contains(log(), "] 5 bytes"));
}

// --- Commands on the command line ---

TEST_F(Corvane, CommandOptions)
{
    write("corvane.ini",
          "do_del 1\ndo_set yes\nmodule 1\nbinary " + module("m1", Accepting) + "\n");
    struct Case {
        std::vector<std::string> args;
        std::string reply;
    } cases[] = {
        {{"-lookup", "bob"}, "+OK lookup bob"},
        {{"-LOOKUP", "bob", "-debug"}, "+OK lookup bob"},
        {{"-check", "alice", "pw", "10.1.1.1", "x"}, "+OK check alice pw 10.1.1.1"},
        {{"-check", "alice"}, "-ERR alice not found or password incorrect"},
        {{"-set", "alice", "pw"}, "+OK set alice pw"},
        {{"-set", "alice", "pw", "-debug"}, "+OK set alice pw -debug"},
        {{"-del", "bob"}, "+OK del bob"},
        {{"-search", "a*", "x", "y"},
         "+DATA 1 search a* x y\n+OK Search Complete 1 items found "
         "out of 1"},
        // The first command option decides; later ones are its words.
        {{"-lookup", "bob", "-del", "carol"}, "+OK lookup bob"},
        {{"-del", "bob", "-quit"}, "+OK del bob"},
    };
    for (const Case &c : cases) {
        Outcome r = run(c.args, "lookup stdin\n");
        EXPECT_EQ(c.reply + "\n", r.out) << c.args[0];
        EXPECT_EQ(0, r.status) << c.args[0];
    }
    // Standard input is never read in this mode.
    EXPECT_FALSE(contains(read_file(dir / "m1.req"), "stdin"));
}

TEST_F(Corvane, CommandOptionErrors)
{
    write("corvane.ini", "module 1\nbinary " + module("m1", Accepting) + "\n");
    struct Case {
        std::vector<std::string> args;
        std::string reply;
    } cases[] = {
        {{"-lookup"}, "-ERR lookup requires a parameter"},
        {{"-check"}, "-ERR check requires a parameter"},
        {{"-set", "alice"}, "-ERR set requires at least 2 parameters"},
        {{"-del"}, "-ERR del requires a parameter"},
        {{"-search"}, "-ERR search requires a parameter"},
        {{"-lookup", "bo\nb"}, "-ERR lookup parameters must not contain line breaks"},
        {{"-check", "alice", "p\rw"}, "-ERR check parameters must not contain line breaks"},
        {{"-set", "alice", "pw", "a=1\nlookup x"},
         "-ERR set parameters must not contain line "
         "breaks"},
        {{"-del", "bob\n"}, "-ERR del parameters must not contain line breaks"},
        {{"-search", "x", "\r"}, "-ERR search parameters must not contain line breaks"},
    };
    for (const Case &c : cases) {
        Outcome r = run(c.args);
        EXPECT_EQ(c.reply + "\n", r.out) << c.args[0];
        EXPECT_EQ(1, r.status) << c.args[0];
    }
    EXPECT_TRUE(requests("m1").empty());
}

// --- Gatekeeping ---

TEST_F(Corvane, SwitchesAndMasksWithFallbacks)
{
    write("corvane.ini", "match a*\ndo_del true\n"
                         "module 1\nbinary " +
                             module("m1", "*\t-ERR one $0") + "\ndo_lookup off\nmodule 2\nbinary " +
                             module("m2", "*\t-ERR two $0") + "\nlookup bob\nmodule 3\nbinary " +
                             module("m3", "*\t-ERR three $0") + "\nmatch *\ndo_del false\n");
    Outcome r = run({}, "lookup alice\nlookup bob\ndel alice\ndel bob\n");
    std::vector<std::string> expected = {"-ERR three lookup alice", "-ERR three lookup bob",
                                         "-ERR two del alice", "-ERR bob 'del' not allowed"};
    EXPECT_EQ(expected, lines_of(r.out));
    EXPECT_EQ(std::vector<std::string>{"del alice"}, requests("m1"));
    std::vector<std::string> m2 = {"lookup bob", "del alice"};
    EXPECT_EQ(m2, requests("m2"));
    std::vector<std::string> m3 = {"lookup alice", "lookup bob"};
    EXPECT_EQ(m3, requests("m3"));
}

TEST_F(Corvane, AddressRules)
{
    write("corvane.ini", "module 1\nbinary " + module("m1", "check\t+OK $0") +
                             "\nip_match 10.0.0.*, 192.168.1.1\n");
    Outcome r = run({}, "check alice pw\ncheck alice pw 10.0.0.5\ncheck alice pw 8.8.8.8\n"
                        "check alice pw 8.8.8.8,192.168.1.1\n");
    std::vector<std::string> expected = {
        "-ERR alice 'check' not allowed", "+OK check alice pw 10.0.0.5",
        "-ERR alice 'check' not allowed", "-ERR check address must not contain commas"};
    EXPECT_EQ(expected, lines_of(r.out));
}

TEST_F(Corvane, PrefixAndSuffixAreRemovedPerModule)
{
    write("corvane.ini", "module 1\nbinary " + module("m1", "lookup\t-ERR $0") +
                             "\nstrip_prefix DOM\\\nmodule 2\nbinary " +
                             module("m2", "lookup\t-ERR $0") + "\nstrip_suffix @Example\n");
    Outcome r = run({}, "lookup dom\\alice@Example\nlookup bob@example\n");
    std::vector<std::string> m1 = {"lookup alice@Example", "lookup bob@example"};
    EXPECT_EQ(m1, requests("m1"));
    // Each module gets the name as the client gave it, less its own
    // prefix and suffix.
    std::vector<std::string> m2 = {"lookup dom\\alice", "lookup bob@example"};
    EXPECT_EQ(m2, requests("m2"));
    EXPECT_EQ(0, r.status);
}

TEST_F(Corvane, ExistingCostsOneLookup)
{
    write("corvane.ini", "module 1\nbinary " +
                             module("m1", "lookup alice\t+OK known\nlookup\t-ERR unknown\n"
                                          "set\t+OK $0") +
                             "\n");
    Outcome r = run({}, "set alice pw\nset bob pw\n");
    std::vector<std::string> expected = {"+OK set alice pw", "-ERR bob 'set' not allowed"};
    EXPECT_EQ(expected, lines_of(r.out));
    std::vector<std::string> sent = {"lookup alice", "set alice pw", "lookup bob"};
    EXPECT_EQ(sent, requests("m1"));
}

TEST_F(Corvane, MoveToAndMoveFromForSet)
{
    write("corvane.ini", "module 1\nbinary " + module("m1", "set\t+OK new $0") +
                             "\ndo_set Move_To\nmodule 2\nbinary " +
                             module("m2", "set\t+OK old $0") + "\ndo_set move_from\n");
    Outcome r = run({}, "set alice pw\nset alice (NULL) x=1\n");
    std::vector<std::string> expected = {"+OK new set alice pw", "+OK old set alice (NULL) x=1"};
    EXPECT_EQ(expected, lines_of(r.out));
    EXPECT_EQ(std::vector<std::string>{"set alice pw"}, requests("m1"));
    EXPECT_EQ(std::vector<std::string>{"set alice (NULL) x=1"}, requests("m2"));
}

TEST_F(Corvane, SetOnCheckMovesAUser)
{
    write("corvane.ini",
          "loglevel info\n"
          "module 1\nbinary " +
              module("new", "check\t-ERR unknown\nset\t+OK stored") +
              "\ndo_set move_to\nmodule 2\nbinary " +
              module("old", "check alice\t+OK alice 1 2 home=/h\ncheck\t-ERR unknown") +
              "\ndo_check move_from\ndo_set move_from\ncheck a*\n");
    Outcome r = run({}, "check bob pw\ncheck alice secret\n");
    std::vector<std::string> expected = {"-ERR unknown", "+OK alice 1 2 home=/h"};
    EXPECT_EQ(expected, lines_of(r.out));
    std::vector<std::string> sent = {"check bob pw ", "check alice secret ", "lookup alice",
                                     "set alice secret home=/h"};
    EXPECT_EQ(sent, requests("new"));
    EXPECT_EQ(std::vector<std::string>{"check alice secret "}, requests("old"));
    // The mark is set at the first check, although bob did not match the mask.
    std::string l = log();
    size_t mark = l.find("Info: Queue'ing a 'set on check' operation for Module2");
    ASSERT_NE(std::string::npos, mark);
    EXPECT_LT(mark, l.find("INPUT[check alice secret]"));
}

TEST_F(Corvane, MoveToForCheckLeavesTheSwitchOn)
{
    write("corvane.ini",
          "module 1\nbinary " + module("m1", "check\t+OK $0") + "\ndo_check move_to\n");
    Outcome r = run({}, "check alice pw\n");
    EXPECT_EQ("+OK check alice pw \n", r.out);
    EXPECT_FALSE(contains(log(), "Queue'ing"));
}

// --- The log ---

TEST_F(Corvane, InputAndOutputAreLoggedAtInfoLevelOnly)
{
    write("corvane.ini", "module 1\nbinary " + module("m1", Accepting) + "\n");
    run({}, "lookup bob\n");
    EXPECT_FALSE(contains(log(), "INPUT["));
    EXPECT_FALSE(contains(log(), "OUTPUT["));

    write("corvane.ini", "loglevel INFO\nmodule 1\nbinary " + module("m1", Accepting) + "\n");
    run({}, "check bob secret\nversion\n");
    std::string l = log();
    EXPECT_TRUE(contains(l, "Info: **Corvane 10n**"));
    EXPECT_TRUE(contains(l, "Info: INPUT[check bob secret]"));
    EXPECT_TRUE(contains(l, "Info: OUTPUT[+OK check bob secret ]"));
    EXPECT_TRUE(contains(l, "Info: OUTPUT[+OK Corvane 10n]"));
    EXPECT_FALSE(contains(l, "Debug:"));
}
