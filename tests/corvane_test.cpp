// The corvane program end to end: a corvane.ini and module scripts in a
// private directory, the built program run there over the scripted test
// module, and its replies, exit status, log and what each module was sent.
#include "tests/testkit.h"

#include <regex>
#include <sys/stat.h>

using namespace testkit;

namespace
{

// Answers every operation with "+OK" and its request.
const char *const Accepting = "lookup\t+OK $0\ncheck\t+OK $0\nset\t+OK $0\ndel\t+OK $0\n"
                              "search\t!data 1 $0 ;; +OK 1 1\n";

class Corvane : public Workdir
{
  protected:
    // The binary line of a module answering from script; it notes what it
    // is sent in NAME.req.
    std::string module(const std::string &name, const std::string &script) const
    {
        write(name + ".script", script);
        return std::string(TEST_PROGS_DIR "/scriptmod ") + (dir / (name + ".script")).string() +
               " " + (dir / (name + ".req")).string();
    }
    // "module N" sections, modules m1.. answering from the scripts.
    std::string modules(const Lines &scripts, const Lines &settings = {}) const
    {
        std::string ini;
        for (size_t i = 0; i < scripts.size(); i++)
            ini += "module " + std::to_string(i + 1) + "\nbinary " +
                   module("m" + std::to_string(i + 1), scripts[i]) + "\n" +
                   (i < settings.size() ? settings[i] : "");
        return ini;
    }
    Lines requests(const std::string &name) const
    {
        return lines_of(read_file(dir / (name + ".req")));
    }

    // Runs corvane in the directory; no module may outlive it.
    Outcome run(const Lines &args, const std::string &input = "",
                const std::string &program = CORVANE_BIN)
    {
        Spec s;
        s.argv = wrapped(program, args);
        s.input = input;
        s.inherit_env = true;
        s.cwd = dir;
        Outcome r = testkit::run(s);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(0, leftovers(0)) << "a module outlived corvane";
        return r;
    }
};

struct Session {
    const char *what;
    std::string globals;
    Lines scripts, settings; // per module
    std::string input;
    Lines replies;
    std::vector<Lines> sent; // per module, when given
};

std::string words(int from, int to, const char *sep)
{
    std::string s;
    for (int i = from; i < to; i++) s += sep + std::to_string(i);
    return s;
}

} // namespace

// Operation and module replies -> reply, and the requests each module saw.
TEST_F(Corvane, Sessions)
{
    std::string fits = "lookup " + std::string(990, 'a'), name(991, 'a');
    std::string set = "set " + std::string(992, 's') + " p"; // its request would be 998 long
    const Session sessions[] = {
        {"every command and its usage reply",
         "do_del true\ndo_set always\n",
         {Accepting},
         {},
         "lookup\nlookup bob\ncheck\ncheck alice\ncheck alice pw\ncheck alice pw 10.0.0.1 more\n"
         "set\nset alice\nset alice pw\nset alice pw a=1    b=2\ndel\ndel bob extra\nsearch\n"
         "search a*\nsearch a* x   y\nversion\nfrobnicate\nLOOKUP Bob\n lookup bob\n\n"
         "VeRsIoN\nlookup   bob  \r\n",
         {"-ERR Lookup requires 1 parameter 'username'",
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
          "+OK lookup Bob",
          "-ERR Unknown command",
          "-ERR Unknown command",
          "+OK Corvane 10n",
          "+OK lookup bob"},
         {{"lookup bob", "check alice pw ", "check alice pw 10.0.0.1", "set alice pw",
           "set alice pw a=1 b=2", "del bob", "search a*", "search a* x y", "lookup Bob",
           "lookup bob"}}},
        {"the hundredth word keeps the rest of the line",
         "do_set always\n",
         {Accepting},
         {},
         "set  alice pw" + words(3, 120, "  w") + "   w120" + words(121, 150, "  w") + "\n",
         {"+OK set alice pw" + words(3, 100, " w") + words(100, 120, "  w") + "   w120" +
          words(121, 150, "  w")},
         {}},
        {"a line of 998 characters is a command, a longer one refused whole",
         "do_set always\n",
         {"lookup\t+OK found\nset\t+OK set"},
         {},
         fits + "\n" + set + "\nlookup " + std::string(900, 'a') + " check x y" +
             std::string(300, 'b') + "\nlookup " + std::string(1 << 20, 'c') + "\nlookup bob\n" +
             fits,
         {"+OK found",
          "-ERR module (" TEST_PROGS_DIR "/scriptmod " + (dir / "m1.script").string() + " " +
              (dir / "m1.req").string() + "), Request too long",
          "-ERR Line too long", "-ERR Line too long", "+OK found", "+OK found"},
         {{fits, "lookup bob", fits}}},
        {"modules are asked in the order of their numbers; labels and keywords in any case",
         "",
         {},
         {},
         "",
         {},
         {}},
        {"search lines pass through, the final lines are summed",
         "",
         {"search\t!data 2 one ;; +OK 5",
          "search\t!data 3 two ;; +OK found 3 of 100\t1\nsearch\t-ERR 1 2 3 x"},
         {},
         "search *\nsearch again\n",
         {"+DATA 1 one", "+DATA 2 one", "+DATA 1 two", "+DATA 2 two", "+DATA 3 two",
          "+OK Search Complete 8 items found out of 105", "+DATA 1 one", "+DATA 2 one",
          "+OK Search Complete 6 items found out of 7"},
         {}},
        {"switches and masks, with fallbacks to match and to the global section",
         "match a*\ndo_del true\n",
         {"*\t-ERR one $0", "*\t-ERR two $0", "*\t-ERR three $0"},
         {"do_lookup off\n", "lookup bob\ndo_search 0\n", "match *\ndo_del false\n"},
         "lookup alice\nlookup bob\ndel alice\ndel bob\nsearch bob\nsearch alice\n",
         {"-ERR three lookup alice", "-ERR three lookup bob", "-ERR two del alice",
          "-ERR bob 'del' not allowed", "+OK Search Complete 0 items found out of 0",
          "+OK Search Complete 0 items found out of 0"},
         {{"del alice", "search alice"},
          {"lookup bob", "del alice"},
          {"lookup alice", "lookup bob", "search bob", "search alice"}}},
        {"mask words: '?', '!' exclusions, '!!', lists",
         "",
         {"*\t+OK $0", "*\t+OK two $0"},
         {"match ?ob, !root, r*, !!x*, c\n", "match nobody\ncheck *\n"},
         "lookup bob\nlookup root\nlookup rita\nlookup !xy\nlookup xy\nlookup c\nlookup ob\ncheck "
         "root pw\n",
         {"+OK lookup bob", "-ERR root 'lookup' not allowed", "+OK lookup rita", "+OK lookup !xy",
          "-ERR xy 'lookup' not allowed", "+OK lookup c", "-ERR ob 'lookup' not allowed",
          "+OK two check root pw "},
         {}},
        {"client addresses",
         "",
         {"check\t+OK $0"},
         {"ip_match 10.0.0.*, 192.168.1.1\n"},
         "check alice pw\ncheck alice pw 10.0.0.5\ncheck alice pw 8.8.8.8\n"
         "check alice pw 8.8.8.8,192.168.1.1\ncheck alice pw 10.0.1.5\n",
         {"-ERR alice 'check' not allowed", "+OK check alice pw 10.0.0.5",
          "-ERR alice 'check' not allowed", "+OK check alice pw 8.8.8.8,192.168.1.1",
          "-ERR alice 'check' not allowed"},
         {}},
        {"prefix (any case) and suffix (exact) removed per module",
         "",
         {"lookup\t-ERR $0", "lookup\t-ERR $0"},
         {"strip_prefix DOM\\\n", "strip_suffix @Example\n"},
         "lookup dom\\alice@Example\nlookup bob@example\n",
         {"-ERR lookup dom\\alice", "-ERR lookup bob@example"},
         {{"lookup alice@Example", "lookup bob@example"},
          {"lookup dom\\alice", "lookup bob@example"}}},
        {"do_set existing asks the module first",
         "",
         {"lookup alice\t+OK known\nlookup\t-ERR unknown\nset\t+OK $0"},
         {},
         "set alice pw\nset bob pw\n",
         {"+OK set alice pw", "-ERR bob 'set' not allowed"},
         {{"lookup alice", "set alice pw", "lookup bob"}}},
        {"move_to takes passwords, move_from only (NULL)",
         "",
         {"set\t+OK new $0", "set\t+OK old $0"},
         {"do_set Move_To\n", "do_set move_from\n"},
         "set alice pw\nset alice (NULL) x=1\n",
         {"+OK new set alice pw", "+OK old set alice (NULL) x=1"},
         {{"set alice pw"}, {"set alice (NULL) x=1"}}},
        {"set_once and del_once stop after the first answer",
         "set_once true\ndel_once true\ndo_del true\ndo_set always\n",
         {"*\t-ERR one", "*\t+OK two"},
         {},
         "set a pw\ndel a\n",
         {"-ERR one", "-ERR one"},
         {{"set a pw", "del a"}, {}}},
        {"set and del ask every module, the last reply wins",
         "do_del true\ndo_set always\n",
         {"*\t+OK one", "*\t-ERR two"},
         {},
         "set a pw\ndel a\n",
         {"-ERR two", "-ERR two"},
         {{"set a pw", "del a"}, {"set a pw", "del a"}}},
    };
    for (const Session &s : sessions) {
        SCOPED_TRACE(s.what);
        for (auto &f : fs::directory_iterator(dir)) fs::remove(f.path());
        std::string ini = "loglevel debug\n" + s.globals + modules(s.scripts, s.settings);
        if (s.scripts.empty()) // modules numbered 2, 1 and x (0) in file order
            ini = "LogLevel debug\nMODULE 2\nBINARY " + module("m2", "*\t-ERR two") +
                  "\nmodule 1\nbinary " + module("m1", "*\t-ERR one") + "\nModule x\nbinary " +
                  module("m0", "*\t-ERR zero") + "\n";
        write("corvane.ini", ini);
        Outcome r = run({}, s.scripts.empty() ? "lookup bob\n" : s.input);
        EXPECT_EQ(0, r.status);
        if (s.scripts.empty()) {
            EXPECT_EQ("-ERR two\n", r.out);
            for (const char *m : {"m0", "m1", "m2"}) EXPECT_EQ(Lines{"lookup bob"}, requests(m));
            EXPECT_LT(log().find("Module0[-ERR zero]"), log().find("Module1[-ERR one]"));
            EXPECT_LT(log().find("Module1[-ERR one]"), log().find("Module2[-ERR two]"));
            continue;
        }
        EXPECT_EQ(s.replies, lines_of(r.out));
        for (size_t m = 0; m < s.sent.size(); m++)
            EXPECT_EQ(s.sent[m], requests("m" + std::to_string(m + 1))) << "module " << m + 1;
        EXPECT_FALSE(contains(log(), "Setting invalid"));
    }
}

// A check that a move_from module accepts moves the user into the first
// module that takes the set, with the extra information of its reply; the
// mark is set by every check of that module, even one its mask refuses.
TEST_F(Corvane, SetOnCheckMovesAUser)
{
    write("corvane.ini",
          "loglevel debug\n" +
              modules({"check\t-ERR unknown\nset\t+OK stored\nlookup\t-ERR unknown",
                       "check alice\t+OK alice 1 2 home=/h\ncheck\t-ERR unknown"},
                      {"do_set move_to\n", "do_check move_from\ndo_set move_from\ncheck a*\n"}));
    Outcome r = run({}, "check bob pw\ncheck alice secret\n");
    EXPECT_EQ(Lines({"-ERR unknown", "+OK alice 1 2 home=/h"}), lines_of(r.out));
    Lines sent = requests("m1");
    EXPECT_EQ("set alice secret home=/h", sent.back());
    EXPECT_EQ(Lines{"check alice secret "}, requests("m2"));
    size_t mark = log().find("Info: Queue'ing a 'set on check' operation for Module2");
    EXPECT_LT(mark, log().find("INPUT[check alice secret]"));
    for (const std::string &line : lines_of(log()))
        EXPECT_TRUE(!contains(line, "secret") || contains(line, "INPUT["))
            << "a password in the log: " << line;
}

// Commands on the command line: one reply, exit status 0 or 1, standard
// input never read.
TEST_F(Corvane, CommandOptions)
{
    write("corvane.ini", "do_del 1\ndo_set yes\n" + modules({Accepting}));
    const struct {
        Lines args;
        std::string reply;
        int status;
    } cases[] = {
        {{"-lookup", "bob"}, "+OK lookup bob", 0},
        {{"-check", "alice", "pw", "10.1.1.1", "x"}, "+OK check alice pw 10.1.1.1", 0},
        {{"-check", "alice"}, "-ERR alice not found or password incorrect", 0},
        {{"-set", "alice", "pw", "a=1", "b=2"}, "+OK set alice pw a=1 b=2", 0},
        {{"-del", "bob"}, "+OK del bob", 0},
        {{"-search", "a*", "x", "y"},
         "+DATA 1 search a* x y\n+OK Search Complete 1 items found out of 1",
         0},
        {{"-lookup"}, "-ERR lookup requires a parameter", 1},
        {{"-check"}, "-ERR check requires a parameter", 1},
        {{"-set", "alice"}, "-ERR set requires at least 2 parameters", 1},
        {{"-del"}, "-ERR del requires a parameter", 1},
        {{"-search"}, "-ERR search requires a parameter", 1},
        {{"-lookup", "bo\nb"}, "-ERR lookup parameters must not contain line breaks", 1},
        {{"-set", "alice", "pw", "a=1\nlookup x"},
         "-ERR set parameters must not contain line breaks",
         1},
        // A blank would split a word into two fields for the module: "root
        // secret" would pass a mask that refuses root.
        {{"-check", "root secret", "x"}, "-ERR check parameters must not contain blanks", 1},
        {{"-check", "bob", "x 10.0.0.1"}, "-ERR check parameters must not contain blanks", 1},
        {{"-lookup", "root x"}, "-ERR lookup parameters must not contain blanks", 1},
        {{"-quit"}, "+OK bye", 0},
        {{"-version"}, "+OK Corvane 10n", 1},
        {{"-path"}, "-ERR path requires a parameter", 1},
    };
    for (const auto &c : cases) {
        Outcome r = run(c.args, "lookup stdin\n");
        EXPECT_EQ(c.reply + "\n", r.out) << c.args[0];
        EXPECT_EQ(c.status, r.status) << c.args[0];
    }
    Lines asked = {"lookup bob", "check alice pw 10.1.1.1", "set alice pw a=1 b=2", "del bob",
                   "search a* x y"};
    Lines sent = requests("m1");
    std::erase(sent, "quit");
    EXPECT_EQ(asked, sent);
}

// Broken configuration -> the message (reply, and log when there is one).
TEST_F(Corvane, BrokenConfiguration)
{
    const struct {
        std::string ini, reply, logged;
    } cases[] = {
        {"",
         "-DEAD Failed to load '" + (dir / "corvane.ini").string() + "', No such file or directory",
         "Error: -DEAD Failed to load '"},
        {"# nothing but globals\nmatch *\n", "-DEAD No modules defined",
         "Error: -DEAD No modules defined"},
        {"log_size 500\n" + modules({Accepting}), "+OK lookup bob",
         "Error: log_size MUST be >= 1024"},
        {"log_rotations -1\n" + modules({Accepting}), "+OK lookup bob",
         "Error: log_rotations MUST be >= 0"},
        {"frob 1\n" + modules({Accepting}), "+OK lookup bob", "Error: Setting invalid (frob)(1)"},
        {"module\n" + modules({Accepting}), "+OK lookup bob",
         "Error: Domain line without a name ignored"},
    };
    for (const auto &c : cases) {
        fs::remove(dir / "corvane.log");
        fs::remove(dir / "corvane.ini");
        if (!c.ini.empty()) write("corvane.ini", c.ini);
        Outcome r = run({}, "lookup bob\n");
        EXPECT_EQ(c.reply + "\n", r.out) << c.ini;
        EXPECT_EQ(c.reply[0] == '+' ? 0 : 1, r.status) << c.ini;
        EXPECT_TRUE(contains(log(), c.logged)) << c.ini << log();
    }
}

// Where the files are, what the log holds at each level, its mode and rotation.
TEST_F(Corvane, FilesAndLog)
{
    fs::create_directories(dir / "etc");
    fs::create_directories(dir / "bin");
    fs::create_symlink(CORVANE_BIN, dir / "bin" / "corvane.test.bin");
    write_file(dir / "etc" / "corvane.ini", "loglevel INFO\n" + modules({Accepting}));
    umask(0);
    Outcome r = run({"-path", (dir / "etc").string()}, "check bob secret\nversion\n",
                    (dir / "bin" / "corvane.test.bin").string());
    umask(022);
    EXPECT_EQ("+OK check bob secret \n+OK Corvane 10n\n", r.out);
    EXPECT_FALSE(fs::exists(dir / "corvane.log") || fs::exists(dir / "bin" / "corvane.log"));
    std::string l = read_file(dir / "etc" / "corvane.log");
    for (const char *line :
         {"Info: **Corvane 10n**", "Info: INPUT[check bob secret]",
          "Info: OUTPUT[+OK check bob secret ]", "Info: OUTPUT[+OK Corvane 10n]"})
        EXPECT_TRUE(contains(l, line)) << line;
    EXPECT_FALSE(contains(l, "Debug:"));
    EXPECT_TRUE(
        std::regex_search(l, std::regex("(^|\n)[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]{2} [0-9:]{8}  "
                                        "\\[[0-9]+\\] Info: INPUT\\[check bob secret\\]\n")))
        << l;
    EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write,
              fs::status(dir / "etc" / "corvane.log").permissions());

    // At the default level: no trace of input; -version writes no log.
    write("corvane.ini", modules({Accepting}));
    r = run({"-debug", "-VERSION"});
    EXPECT_EQ("+OK Corvane 10n\n", r.out);
    EXPECT_FALSE(fs::exists(dir / "corvane.log"));
    run({}, "check bob secret\n");
    EXPECT_FALSE(contains(log(), "secret"));

    // Rotation: files 0 to log_rotations, each rotated at log_size.
    write("corvane.ini", "loglevel debug\nlog_size 2000\nlog_rotations 2\n" + modules({Accepting}));
    std::string many;
    for (int i = 0; i < 60; i++) many += "lookup user" + std::to_string(i) + "\n";
    EXPECT_EQ(60u, lines_of(run({}, many).out).size());
    EXPECT_TRUE(fs::exists(dir / "corvane.log2"));
    EXPECT_FALSE(fs::exists(dir / "corvane.log3"));
    EXPECT_GE(fs::file_size(dir / "corvane.log0"), 2000u);
    EXPECT_LT(fs::file_size(dir / "corvane.log0"), 3100u);
    EXPECT_TRUE(contains(log() + read_file(dir / "corvane.log0"), "lookup user59"));
}

// "quit", "exit" and "bye" (any case, with words after) end the run and tell
// every module; the end of input tells none.
TEST_F(Corvane, QuitTellsEveryModule)
{
    for (std::string input :
         {"quit\nlookup bob\n", "EXIT\nlookup bob\n", "Bye now\nlookup bob\n", "lookup bob\n"}) {
        fs::remove(dir / "corvane.log");
        write("corvane.ini", "loglevel debug\n" + modules({Accepting, Accepting}));
        Outcome r = run({}, input);
        bool quit = input != "lookup bob\n";
        EXPECT_EQ(quit ? "+OK bye\n" : "+OK lookup bob\n", r.out);
        std::string l = log();
        size_t at = l.find("Debug: Quit");
        EXPECT_EQ(quit, at != std::string::npos) << input;
        EXPECT_EQ(quit ? 2 : 0, count(l.substr(std::min(at, l.size())), " 5 bytes")) << input;
    }
}
