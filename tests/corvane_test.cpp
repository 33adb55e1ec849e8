// The corvane program end to end: a corvane.ini and module scripts in a
// private directory, the built program run there over the test module
// (scripted, or misbehaving on request), and its replies, exit status, log
// and what each module was sent. Whatever a module or a client does, every
// command gets one reply line (a search: its data lines and one summary),
// never one meant for another command, and no module process or zombie is
// left when corvane has ended.
#include "tests/testkit.h"

#include <regex>
#include <thread>

using namespace testkit;

namespace
{

// Answers every operation with "+OK" and its request.
const char *const Accepting = "lookup\t+OK $0\ncheck\t+OK $0\nset\t+OK $0\ndel\t+OK $0\n"
                              "search\t!data 1 $0 ;; +OK 1 1\n";

class Corvane : public CorvaneDir
{
  protected:
    Child corvane;
    // Sections "module 1", "module 2", ... of modules m1, m2, ... with the scripts and settings.
    std::string modules(const Lines &scripts, const Lines &settings = {}) const
    {
        std::string ini;
        for (size_t i = 0; i < scripts.size(); i++)
            ini += "module " + std::to_string(i + 1) + "\nbinary " +
                   module("m" + std::to_string(i + 1), scripts[i]) + "\n" +
                   (i < settings.size() ? settings[i] : "");
        return ini;
    }
    // Starts corvane on ini, to be spoken to line by line.
    void start(const std::string &ini)
    {
        write("corvane.ini", ini);
        ASSERT_TRUE(corvane.start(wrapped(CORVANE_BIN), dir));
    }
    // Ends the run: no further output, status 0, no module left running.
    void finish()
    {
        EXPECT_EQ(0, corvane.finish());
        EXPECT_EQ("", corvane.rest()) << "output that answers no command";
        EXPECT_EQ(0, leftovers(tmp.path)) << "a module outlived corvane";
    }
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
    std::string fits = "lookup " + std::string(990, 'a');
    const struct {
        const char *what;
        std::string globals;
        Lines scripts, settings; // per module
        std::string input, replies;
        Lines sent;         // per module, when given
        std::string logged; // in the log, when given
    } sessions[] = {
        // clang-format off
        {"every command and its usage reply", "do_del true\ndo_set always\n", {Accepting}, {},
         "lookup\nlookup bob\ncheck\ncheck alice\ncheck alice pw\ncheck alice pw 10.0.0.1 more\nset\n"
         "set alice\nset alice pw\nset alice pw a=1    b=2\ndel\ndel bob extra\nsearch\nsearch a*\n"
         "search a* x   y\nversion\nfrobnicate\nLOOKUP Bob\n lookup bob\n\nVeRsIoN\n"
         "lookup   bob  \r\n",
         "-ERR Lookup requires 1 parameter 'username'\n+OK lookup bob\n"
         "-ERR Check requires at least 2 parameters 'username' 'password' ['ipaddress']\n"
         "-ERR alice not found or password incorrect\n+OK check alice pw \n"
         "+OK check alice pw 10.0.0.1\n"
         "-ERR Set requires at least 2 parameters 'username' 'password' ['label=value']\n"
         "-ERR Set requires at least 2 parameters 'username' 'password' ['label=value']\n"
         "+OK set alice pw\n+OK set alice pw a=1 b=2\n-ERR Del requires 1 parameter 'username'\n"
         "+OK del bob\n-ERR Search requires at least 1 parameter 'search string'\n+DATA 1 search a*\n"
         "+OK Search Complete 1 items found out of 1\n+DATA 1 search a* x y\n"
         "+OK Search Complete 1 items found out of 1\n+OK Corvane 10n\n-ERR Unknown command\n"
         "+OK lookup Bob\n-ERR Unknown command\n-ERR Unknown command\n+OK Corvane 10n\n"
         "+OK lookup bob\n",
         {"lookup bob\ncheck alice pw \ncheck alice pw 10.0.0.1\nset alice pw\nset alice pw a=1 b=2\n"
          "del bob\nsearch a*\nsearch a* x y\nlookup Bob\nlookup bob\n"}},
        {"the hundredth word keeps the rest of the line", "do_set always\n", {Accepting}, {},
         "set  alice pw" + words(3, 120, "  w") + "   w120" + words(121, 150, "  w") + "\n",
         "+OK set alice pw" + words(3, 100, " w") + words(100, 120, "  w") + "   w120" +
             words(121, 150, "  w") + "\n", {}},
        {"a line of 998 characters is a command, a longer one is refused whole; NUL ends a line",
         "do_set always\n", {"lookup bob\t+OK found bob\nlookup\t+OK found\nset\t+OK set"}, {},
         // The set (998 characters) is a request one too long; the next line has 999.
         fits + "\nset " + std::string(992, 's') + " p\nlookup " + std::string(900, 'a') + " check x y" +
             std::string(82, 'b') + "\nlookup " + std::string(1 << 20, 'c') + "\nset a pw" +
             words(0, 9999, " w") + std::string("\nlookup bob\0junk\n\0lookup x\n", 27) + fits,
         "+OK found\n-ERR module (" +
             module("m1", "lookup bob\t+OK found bob\nlookup\t+OK found\nset\t+OK set") +
             "), Request too long\n-ERR Line too long\n-ERR Line too long\n-ERR Line too long\n"
             "+OK found bob\n-ERR Unknown command\n+OK found\n",
         {fits + "\nlookup bob\n" + fits + "\n"}},
        {"output beyond a reply is thrown away before the next request: a line, part of one, one after "
         "a search's end; a reply of 997 characters fits, 998 do not; only \"-DEAD\" counts a module dead",
         "", {"check alice\t+OK alice ;; +OK alice again\ncheck carol\t+OK carol ;; +OK par\\c\n"
              "search\t!data 1 ;; +OK 1 ;; +DATA after\nlookup fits\t!long 997 +OK\nlookup over\t!long 998 +OK\n"
              "lookup low\t-dead\nlookup beef\t-DEADBEEF\nlookup n\t+OK $#\n*\t-ERR $2 wrong", "*\t+OK two"}, {},
         "check alice pw\ncheck bob pw\ncheck carol pw\ncheck bob pw\nsearch x\ncheck bob pw\nlookup fits\n"
         "lookup n\nlookup over\nlookup n\nlookup low\nlookup n\nlookup beef\nlookup n\n",
         "+OK alice\n+OK two\n+OK carol\n+OK two\n+DATA 1\n+OK Search Complete 1 items found out of 1\n"
         "+OK two\n+OK" + std::string(994, 'x') + "\n+OK 8\n+OK two\n+OK 1\n+OK two\n+OK 3\n+OK two\n+OK 1\n", {}},
        {"a module that ends at once is restarted five times, given up, and tried again retry_after later",
         "loglevel info\nretry_after 3\n", {"@start\t!exit 1", "lookup u6\t!sleep 3100 ;; +OK two $2\n*\t+OK two $2"},
         {}, "lookup u1\nlookup u2\nlookup u3\nlookup u4\nlookup u5\nlookup u6\nlookup u7\n",
         "+OK two u1\n+OK two u2\n+OK two u3\n+OK two u4\n+OK two u5\n+OK two u6\n+OK two u7\n", {},
         "Error: Module1 started again after being given up"},
        {"search lines pass through, the final lines are summed, never past the largest int", "",
         {"search big\t+OK 2147483647 2147483646\nsearch\t!data 2 one ;; +OK 5",
          "search\t!data 3 two ;; +OK found 3 of 100\t1\nsearch\t-ERR 1 2 3 x"},
         {}, "search *\nsearch again\nsearch big\n",
         "+DATA 1 one\n+DATA 2 one\n+DATA 1 two\n+DATA 2 two\n+DATA 3 two\n"
         "+OK Search Complete 8 items found out of 105\n+DATA 1 one\n+DATA 2 one\n"
         "+OK Search Complete 6 items found out of 7\n"
         "+OK Search Complete 2147483647 items found out of 2147483647\n", {}},
        {"switches and masks, falling back to match and to the global section; a setting given "
         "twice holds its later value", "match a*\ndo_del true\n",
         {"*\t-ERR one $0", "*\t-ERR two $0", "*\t-ERR three $0"},
         {"do_lookup on\ndo_lookup off\n", "lookup bob\ndo_search 0\n", "Match *\nDO_DEL false\n"},
         "lookup alice\nlookup bob\ndel alice\ndel bob\nsearch bob\nsearch alice\n",
         "-ERR three lookup alice\n-ERR three lookup bob\n-ERR two del alice\n"
         "-ERR bob 'del' not allowed\n"
         "+OK Search Complete 0 items found out of 0\n+OK Search Complete 0 items found out of 0\n",
         {"del alice\nsearch alice\n", "lookup bob\ndel alice\n",
          "lookup alice\nlookup bob\nsearch bob\nsearch alice\n"}},
        {"mask words: '?', '!' exclusions, '!!', lists; an empty mask admits no one", "",
         {"*\t+OK $0", "*\t+OK two $0", "*\t+OK three"},
         {"match ?ob, !root, r*, !!x*, c, R*\n", "match nobody\ncheck *\n", "match \n"},
         "lookup bob\nlookup root\nlookup rita\nlookup r\nlookup !xy\nlookup xy\nlookup c\n"
         "lookup ob\ncheck root pw\nlookup RooT\nlookup C\n",
         "+OK lookup bob\n-ERR root 'lookup' not allowed\n+OK lookup rita\n+OK lookup r\n"
         "+OK lookup !xy\n-ERR xy 'lookup' not allowed\n+OK lookup c\n-ERR ob 'lookup' not allowed\n"
         "+OK two check root pw \n-ERR RooT 'lookup' not allowed\n-ERR C 'lookup' not allowed\n", {}},
        {"client addresses", "", {"check\t+OK $0"}, {"ip_match 10.0.0.*, 192.168.1.1\n"},
         "check alice pw\ncheck alice pw 10.0.0.5\ncheck alice pw 8.8.8.8\n"
         "check alice pw 8.8.8.8,192.168.1.1\ncheck alice pw 10.0.1.5\n",
         "-ERR alice 'check' not allowed\n+OK check alice pw 10.0.0.5\n-ERR alice 'check' not allowed\n"
         "-ERR check address must not contain commas\n-ERR alice 'check' not allowed\n", {}},
        {"prefix (any case) and suffix (exact) removed per module", "",
         {"lookup\t-ERR $0", "lookup\t-ERR $0"},
         {"strip_prefix DOM\\\n", "strip_suffix @Example\n"},
         "lookup dom\\alice@Example\nlookup bob@example\n",
         "-ERR lookup dom\\alice\n-ERR lookup bob@example\n",
         {"lookup alice@Example\nlookup bob@example\n", "lookup dom\\alice\nlookup bob@example\n"}},
        {"do_set existing asks the module first", "",
         {"lookup alice\t+OK known\nlookup\t-ERR unknown\nset\t+OK $0"},
         {}, "set alice pw\nset bob pw\n", "+OK set alice pw\n-ERR bob 'set' not allowed\n",
         {"lookup alice\nset alice pw\nlookup bob\n"}},
        {"move_to takes passwords, move_from only (NULL)", "", {"set\t+OK new $0", "set\t+OK old $0"},
         {"do_set Move_To\n", "do_set move_from\n"}, "set alice pw\nset alice (NULL) x=1\n",
         "+OK new set alice pw\n+OK old set alice (NULL) x=1\n", {"set alice pw\n", "set alice (NULL) x=1\n"}},
        {"a move's source is not asked while its target cannot tell whether it knows the user", "",
         {"check\t-ERR wrong\nlookup\t-DEAD store down", "check\t+OK old 1 2 x"},
         {"", "do_check move_from\ndo_set false\n"}, "check alice pw\n",
         "-DEAD alice cannot be checked while Module1 cannot answer: store down\n",
         {"check alice pw \nlookup alice\n", ""}},
        {"set_once stops a set after the first answer, not a del", "set_once true\ndo_del true\n"
         "do_set always\n", {"*\t-ERR one", "*\t+OK two"}, {}, "set a pw\ndel a\n",
         "-ERR one\n+OK two\n", {"set a pw\ndel a\n", "del a\n"}},
        {"del_once stops a del after the first answer, not a set", "del_once yes\ndo_del true\n"
         "do_set always\n", {"*\t-ERR one", "*\t+OK two"}, {}, "set a pw\ndel a\n",
         "+OK two\n-ERR one\n", {"set a pw\ndel a\n", "set a pw\n"}},
        {"set and del ask every module, the last reply wins", "do_del true\ndo_set always\n",
         {"*\t+OK one", "*\t-ERR two"}, {}, "set a pw\ndel a\n", "-ERR two\n-ERR two\n",
         {"set a pw\ndel a\n", "set a pw\ndel a\n"}},
        // clang-format on
    };
    for (const auto &s : sessions) {
        SCOPED_TRACE(s.what);
        for (auto &f : fs::directory_iterator(dir)) fs::remove(f.path());
        write("corvane.ini", "loglevel debug\n" + s.globals + modules(s.scripts, s.settings));
        Outcome r = run({}, s.input);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(s.replies, r.out);
        for (size_t m = 0; m < s.sent.size(); m++)
            EXPECT_EQ(s.sent[m], sent("m" + std::to_string(m + 1)));
        EXPECT_FALSE(contains(log(), "Setting invalid"));
        EXPECT_TRUE(contains(log(), s.logged)) << s.logged;
    }
}

// A check that a move_from module accepts moves the user into the first
// module that takes the set, with the extra information of its reply (or
// none); the mark is set by every check of that module, even one its mask
// refuses. The password never reaches the log. A move empties the cache,
// so the next check asks again.
TEST_F(Corvane, SetOnCheckMovesAUser)
{
    write("corvane.ini", "loglevel debug\ncache_ttl 60\n" +
                             modules({"check\t-ERR unknown\nset\t+OK stored\nlookup\t-ERR unknown",
                                      "check alice\t+OK alice 1 2 home=/h\ncheck\t-ERR unknown"},
                                     {"do_set move_to\n", "do_check move_from\ndo_set "
                                                          "move_from\ncheck a*\n"}));
    Outcome r = run({}, "check bob pw\ncheck alice secret\ncheck alice secret\n");
    EXPECT_EQ("-ERR unknown\n+OK alice 1 2 home=/h\n+OK alice 1 2 home=/h\n", r.out);
    EXPECT_EQ("set alice secret home=/h", lines_of(sent("m1")).back());
    EXPECT_EQ("check alice secret \ncheck alice secret \n", sent("m2"));
    EXPECT_LT(log().find("Info: Queue'ing a 'set on check' operation for Module2"),
              log().find("INPUT[check alice"));
    EXPECT_FALSE(contains(log(), "secret")) << "a password in the log";
}

// Commands on the command line: one reply, exit status 0 or 1, standard
// input never read.
TEST_F(Corvane, CommandOptions)
{
    write("corvane.ini", "do_del 1\ndo_set yes\n" + modules({Accepting}));
    const struct {
        Lines args;
        std::string reply;
        int status = 1;
    } cases[] = {
        {{"-lookup", "bob"}, "+OK lookup bob", 0},
        {{"-check", "alice", "pw", "10.1.1.1", "x"}, "+OK check alice pw 10.1.1.1", 0},
        {{"-check", "alice"}, "-ERR alice not found or password incorrect", 0},
        {{"-set", "alice", "pw", "a=1", "b=2"}, "+OK set alice pw a=1 b=2", 0},
        {{"-del", "bob"}, "+OK del bob", 0},
        {{"-search", "a*", "x", "y"},
         "+DATA 1 search a* x y\n+OK Search Complete 1 items found out of 1",
         0},
        {{"-quit"}, "+OK bye", 0},
        {{"-lookup"}, "-ERR lookup requires a parameter"},
        {{"-set", "alice"}, "-ERR set requires at least 2 parameters"},
        {{"-lookup", "bo\nb"}, "-ERR lookup parameters must not contain line breaks"},
        {{"-set", "alice", "pw", "a=1\nlookup x"},
         "-ERR set parameters must not contain line breaks"},
        // A blank would split a word into two fields for the module: "root
        // secret" would pass a mask that refuses root.
        {{"-check", "root secret", "x"}, "-ERR check parameters must not contain blanks"},
        {{"-lookup", "root x"}, "-ERR lookup parameters must not contain blanks"},
        {{"-version"}, "+OK Corvane 10n"},
        {{"-path"}, "-ERR path requires a parameter"},
    };
    for (const auto &c : cases) {
        Outcome r = run(c.args, "lookup stdin\n");
        EXPECT_EQ(c.reply + "\n", r.out) << c.args[0];
        EXPECT_EQ(c.status, r.status) << c.args[0];
    }
    EXPECT_EQ("lookup bob\ncheck alice pw 10.1.1.1\nset alice pw a=1 b=2\ndel bob\nsearch a* x y\n",
              replace_all(sent("m1"), "quit\n", ""));
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
        {"frob 1\n" + modules({Accepting}), "+OK lookup bob",
         "corvane.ini:1: unknown setting 'frob'"},
        {"module\n" + modules({Accepting}), "+OK lookup bob",
         "corvane.ini:1: module line without a module number: ignored"},
    };
    for (const auto &c : cases) {
        fs::remove(dir / "corvane.log");
        fs::remove(dir / "corvane.ini");
        if (!c.ini.empty()) write("corvane.ini", c.ini);
        Outcome r = run({}, "lookup bob\n");
        EXPECT_EQ(c.reply + "\n", r.out) << c.ini;
        EXPECT_EQ(c.reply[0] == '-', r.status) << c.ini;
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
    Outcome r = run({"-path", (dir / "etc").string()}, "check bob secret\nversion\n", "",
                    (dir / "bin" / "corvane.test.bin").string());
    umask(022);
    EXPECT_EQ("+OK check bob secret \n+OK Corvane 10n\n", r.out);
    EXPECT_FALSE(fs::exists(dir / "corvane.log") || fs::exists(dir / "bin" / "corvane.log"));
    std::string l = read_file(dir / "etc" / "corvane.log");
    for (const char *line : {"Info: **Corvane 10n**", "Info: OUTPUT[+OK check bob xxxx ]",
                             "Info: OUTPUT[+OK Corvane 10n]"})
        EXPECT_TRUE(contains(l, line)) << line;
    EXPECT_FALSE(contains(l, "Debug:"));
    EXPECT_TRUE(std::regex_search(
        l, std::regex("(^|\n)[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]{2} [0-9:]{8}  \\[[0-9]+\\] "
                      "Info: INPUT\\[check bob xxxx\\]\n")))
        << l;
    EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write,
              fs::status(dir / "etc" / "corvane.log").permissions());

    // At the default level: no trace of input; -version writes no log.
    write("corvane.ini", modules({Accepting}));
    EXPECT_EQ("+OK Corvane 10n\n", run({"-debug", "-VERSION"}).out);
    EXPECT_FALSE(fs::exists(dir / "corvane.log"));
    run({}, "check bob secret\n");
    EXPECT_FALSE(contains(log(), "secret"));

    // Rotation: files 0 to log_rotations, each rotated at log_size.
    write("corvane.ini", "loglevel debug\nlog_size 2000\nlog_rotations 2\n" + modules({Accepting}));
    EXPECT_EQ(60u, lines_of(run({}, std::string(60, '\n')).out).size());
    EXPECT_TRUE(fs::exists(dir / "corvane.log2"));
    EXPECT_FALSE(fs::exists(dir / "corvane.log3"));
    EXPECT_GE(fs::file_size(dir / "corvane.log0"), 2000u);
    EXPECT_LT(fs::file_size(dir / "corvane.log0"), 3100u);
}

// log_to: the lines in the log file, on standard error, or to syslog
// (authpriv, ident "corvane", levels mapped), reached in a mount namespace
// whose /dev/log is a socket of the test's; the problems of the
// configuration too. In each, a password a module echoes is "xxxx";
// standard error holds the error an administrator must see once.
TEST_F(Corvane, LogDestinationsHideAnEchoedPassword)
{
    int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a = {AF_UNIX, {}};
    snprintf(a.sun_path, sizeof a.sun_path, "%s", tmp.at("log.sock").c_str());
    ASSERT_EQ(0, bind(sock, (sockaddr *)&a, sizeof a));
    std::string datagrams, syslogged; // "<PRI>stamp corvane[pid]: text" -> "Level: text"
    std::atomic<bool> done = false;
    std::thread receiver([&] {
        char bf[4096];
        for (pollfd p = {sock, POLLIN, 0}; poll(&p, 1, 50) > 0 || !done;)
            if (p.revents) datagrams.append(bf, std::max(0L, recv(sock, bf, sizeof bf, 0))) += '\n';
    });
    // A line cut in the middle of the password: not even its beginning shows.
    std::string cut = "+OK " + std::string(984, 'y') + " secret",
                input = "check alice secret\nset alice secret x\ncheck bob secret\n",
                private_log = "set -e; d=" + tmp.at("dev") +
                              "; mkdir $d; touch $d/log $d/null $d/zero $d/urandom; mount --bind " +
                              tmp.at("log.sock") +
                              " $d/log; for n in null zero urandom; do mount " +
                              "--bind /dev/$n $d/$n; done; mount --rbind $d /dev; exec \"$0\"";
    // In a chroot, whose root is no mount point, unshare cannot make the new
    // namespace private as a whole: there each mount is made private in it.
    std::string ns = geteuid() ? "-Urm" : "-m",
                privately = "for m in $(findmnt -rno TARGET); do mount --make-private \"$m\"; "
                            "done; " +
                            private_log;
    Lines unshared = {"sh",
                      "-c",
                      "unshare " + ns + " true 2>/dev/null && exec unshare " + ns +
                          " sh -c \"$1\" \"$0\" || exec unshare --propagation unchanged " + ns +
                          " sh -c \"$2\" \"$0\"",
                      CORVANE_BIN,
                      private_log,
                      privately};
    for (std::string to : {"file", "stderr", "syslog"}) {
        SCOPED_TRACE(to);
        fs::remove(dir / "corvane.log");
        write("corvane.ini",
              "loglevel debug\ndo_set always\nlog_to " + to + "\nfrob 1\n" +
                  modules({"check bob\t" + cut + "\ncheck\t+OK $0 ;; $0\nset\t-DEAD $0"}));
        Outcome r =
            to != "syslog"
                ? run({}, input)
                : testkit::run(
                      {.argv = unshared, .input = input, .inherit_env = true, .cwd = tmp.path});
        if (to == "syslog") done = true, receiver.join(), close(sock);
        for (const std::string &d : lines_of(datagrams)) // facility authpriv: 80 and the level
            if (size_t at = d.find(" corvane["); d.starts_with("<8") && at != std::string::npos)
                syslogged += std::string(d[2] == '3'   ? "Error"
                                         : d[2] == '6' ? "Info"
                                                       : "Debug") +
                             ": " + d.substr(d.find("]: ", at) + 3) + "\n";
        EXPECT_EQ("+OK check alice secret \n-DEAD set alice secret x\n" + cut + "\n", r.out);
        EXPECT_EQ(to == "file", fs::exists(dir / "corvane.log"));
        std::string lines = to == "file" ? log() : to == "stderr" ? r.err : syslogged;
        for (const char *line :
             {"Debug: Module1[+OK check alice xxxx ]", "Info: OUTPUT[+OK check alice xxxx ]",
              "Error: Module1: discarding unexpected output (check alice xxxx )",
              "Error: Module1 answered -DEAD set alice xxxx x",
              "corvane.ini:4: unknown setting 'frob'"})
            EXPECT_TRUE(contains(lines, line)) << line << "\n" << lines;
        EXPECT_FALSE(contains(lines + r.err, "secret") || contains(lines, "yy s"));
        EXPECT_EQ(1, count(r.err, "Module1 answered -DEAD set alice xxxx x"));
    }
}

// Modules are asked in the order of their numbers, whatever the file's order
// (labels and keyword in any case); of two with one number the later
// section first.
// "quit", "exit" and "bye" (any case, words after) end the run and tell every
// module; the end of input tells none.
TEST_F(Corvane, ModuleOrderAndQuit)
{
    for (std::string input : {"lookup bob\n", "quit\nlookup bob\n", "EXIT\n", "Bye now\n"}) {
        fs::remove(dir / "corvane.log");
        write("corvane.ini", "LogLevel debug\nMODULE 2\nBINARY " + module("m2", "*\t-ERR two") +
                                 "\nmodule 1\nbinary " + module("m1", "*\t-ERR one") +
                                 "\nModule x\nbinary " + module("m0", "*\t-ERR zero") +
                                 "\nmodule 01\nbinary " + module("m1b", "*\t-ERR uno") + "\n");
        bool quit = input != "lookup bob\n";
        EXPECT_EQ(quit ? "+OK bye\n" : "-ERR two\n", run({}, input).out);
        std::string l = log();
        size_t at = std::min(l.find("Debug: Quit"), l.size());
        EXPECT_EQ(quit ? 4 : 0, count(l.substr(at), " 5 bytes")) << input;
        EXPECT_EQ(quit, at < l.size()) << input;
        if (quit) continue;
        for (const char *m : {"m0", "m1", "m1b", "m2"}) EXPECT_EQ("lookup bob\n", sent(m));
        size_t order[] = {l.find("Module0[-ERR zero]"), l.find("Module1[-ERR uno]"),
                          l.find("Module1[-ERR one]"), l.find("Module2[-ERR two]")};
        EXPECT_TRUE(std::is_sorted(std::begin(order), std::end(order))) << l;
    }
}

// Fault kind -> reply: module 1 (faultmod) misbehaves and module 2 refuses
// as "two", so a module that could not answer makes the reply "-DEAD" with
// the reason that the error line of the failure gives too; module 1 answers
// the next commands itself, from a new process when it had to be
// restarted. The same fault while a search streams: one summary, the other
// module asked. A late line is in the pipe before the next command
// (faultmod tells), and its wait of 1 s is short of "slow".
TEST_F(Corvane, ModuleFaults)
{
    const std::string dead = "-DEAD Module1 (faultmod) ",
                      silent = dead + "did not answer within 1000 ms";
    const struct {
        std::string user, reply;
        bool restarts;
    } faults[] = {
        {"crash", dead + "was killed by signal 11 (Segmentation fault)", true},
        {"hang", silent, true},
        {"slow", silent, true},
        {"garbage", "-ERR two garbage", false},
        {"binary", "-ERR two binary", false},
        {"nul", silent, true},
        {"mega", dead + "answered with a line longer than 997 characters", true},
        {"closeout", dead + "closed its standard output", true},
        {"twice", "+OK first", false},
        {"exit", dead + "exited with status 3", true},
        {"twicelate", "+OK first", false},
        {"dead", "-DEAD tired", true},
    };
    for (const auto &f : faults) {
        SCOPED_TRACE(f.user);
        fs::remove(dir / "m1.req");
        fs::remove(dir / "corvane.log");
        // A time-out that a sound module meets on a loaded machine, below the 1.5 s of "slow".
        start("loglevel debug\ntimeout 1000\nmodule 1\nbinary " TEST_PROGS_DIR "/faultmod " +
              (dir / "m1.req").string() + "\nmodule 2\nbinary " +
              module("m2", "search\t!data 1 two $2 ;; +OK 1 1\n*\t-ERR two $2"));
        auto late = [&](int n) {
            EXPECT_TRUE(f.user != "twicelate" ||
                        eventually([&] { return count(sent("m1"), "(late line") == n; }));
        };
        EXPECT_EQ("+OK lookup u1", corvane.ask("lookup u1"));
        EXPECT_EQ(f.reply, corvane.ask("lookup " + f.user));
        late(1);
        EXPECT_EQ("+OK lookup u2", corvane.ask("lookup u2"));
        EXPECT_EQ(0, zombies(corvane.pid())) << "an ended module was not reaped";
        EXPECT_EQ("+OK check u3", corvane.ask("check u3 pw"));
        Lines lines = corvane.search("search " + f.user);
        late(2);
        // A module that answered before it failed may have passed data lines on.
        lines.erase(lines.begin(), lines.end() - std::min<size_t>(2, lines.size()));
        EXPECT_EQ(Lines({"+DATA 1 two " + f.user, "+OK Search Complete 1 items found out of 1"}),
                  lines);
        EXPECT_EQ("+OK lookup u4", corvane.ask("lookup u4"));
        finish();
        EXPECT_EQ("lookup u1\nlookup " + f.user + "\nlookup u2\ncheck u3 pw \nlookup u4\n",
                  replace_all(replace_all(sent("m1"), "search " + f.user + "\n", ""),
                              "(late line written)\n", ""));
        EXPECT_EQ(f.restarts, contains(log(), "Restarting module 1"));
        EXPECT_EQ(f.reply.starts_with(dead), contains(log(), "Error: " + f.reply.substr(6)));
    }
}

// A module that ignores SIGTERM but ends with its input leaves no zombie;
// one that ignores both is only ever sent SIGTERM: corvane serves on and
// ends, and such modules are left for an administrator (the test ends them).
TEST_F(Corvane, ModulesThatIgnoreSigterm)
{
    for (std::string option : {"-ignoreterm", "-stubborn"}) {
        start("timeout 1000\nmodule 1\nbinary " TEST_PROGS_DIR "/faultmod " + option + " " +
              (dir / "m1.req").string() + "\nmodule 2\nbinary " + module("m2", "*\t+OK two $2"));
        std::string user = option == "-stubborn" ? "hang" : "dead";
        EXPECT_EQ("+OK two " + user, corvane.ask("lookup " + user));
        EXPECT_EQ("+OK lookup u1", corvane.ask("lookup u1"));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_TRUE(zombies(corvane.pid()) == 0 && corvane.finish() == 0);
        EXPECT_EQ(option == "-stubborn" ? 2 : 0,
                  leftovers(tmp.at("m1.req"), option == "-stubborn" ? 0 : 60000, true));
    }
}

// Modules inherit no descriptor of corvane's, nor one its caller left open:
// only their pipes and a standard error on /dev/null (module 2 keeps no file
// of its own open). It has answered a set before it is looked at, so it runs
// its program by then.
TEST_F(Corvane, ModulesHoldOnlyTheirStandardDescriptors)
{
    corvane.inherit(write_file(dir / "secret", "the caller's file\n"));
    start("do_set always\nmodule 1\nbinary " TEST_PROGS_DIR "/faultmod " +
          (dir / "m1.req").string() + "\nmodule 2\nbinary " TEST_PROGS_DIR "/scriptmod " +
          write_file(dir / "two", "*\t+OK two $2") + "\n");
    EXPECT_EQ("+OK two u1", corvane.ask("set u1 pw"));
    Lines fds;
    for (pid_t m : children(corvane.pid()))
        for (auto &e : fs::directory_iterator("/proc/" + std::to_string(m) + "/fd"))
            if (contains(read_file("/proc/" + std::to_string(m) + "/cmdline"), "/two"))
                fds.push_back(e.path().filename().string() + " " +
                              fs::read_symlink(e.path()).string());
    std::sort(fds.begin(), fds.end());
    ASSERT_EQ(3u, fds.size()) << fds.back();
    EXPECT_TRUE(fds[0].starts_with("0 pipe:") && fds[1].starts_with("1 pipe:")) << fds[0] << fds[1];
    EXPECT_EQ("2 /dev/null", fds[2]);
    finish();
}

// Soak: a long run of commands with module restarts while corvane's
// descriptors, resident memory and children are watched: whatever a command
// or a restart takes, it gives back. CORVANE_SOAK_COMMANDS sets the number of
// commands (10,000; `make soak` runs more). Each module serves its block of
// 800 users and says "-DEAD" at every 160th request of each of its
// processes: five restarts, never given up.
class Soak : public Corvane
{
};

TEST_F(Soak, DescriptorsMemoryAndChildrenStayFlat)
{
    const char *wanted = getenv("CORVANE_SOAK_COMMANDS");
    const int total = wanted && atoi(wanted) > 0 ? atoi(wanted) : 10000, block = 800;
    const int modules = (total + block - 1) / block;
    std::string ini = "do_set always\ntimeout 5000\n";
    for (int m = 1; m <= modules; m++)
        ini += "module " + std::to_string(m) + "\nbinary " TEST_PROGS_DIR "/scriptmod " +
               write_file(dir / "soak",
                          "*\t-DEAD tired\t160\nsearch\t!data 2 $2 ;; +OK 2 9\n*\t+OK $1 $2") +
               "\nmatch m" + std::to_string(m) + "_*\n";
    // Freed memory is given back at once, not held in the sanitizer's
    // quarantine, so that resident memory shows what is kept.
    std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
    setenv("ASAN_OPTIONS", (asan + ":quarantine_size_mb=0").c_str(), 1);
    start(ini);
    setenv("ASAN_OPTIONS", asan.c_str(), 1);
    std::vector<std::array<long, 3>> samples; // descriptors, children, resident kB
    int dead = 0;
    for (int done = 0; done < total; done += 1000) {
        Lines expect;
        for (int i = done; i < std::min(total, done + 1000); i++) {
            std::string user = "m" + std::to_string(i / block + 1) + "_" + std::to_string(i);
            std::string command = std::string(Lines{"lookup", "check", "set", "search"}[i % 4]);
            bool dies = (i % block) % 160 == 159, search = command == "search";
            dead += dies;
            corvane.send(command + " " + user +
                         (i % 4 == 1 || i % 4 == 2 ? " pw 1.2.3.4\n" : "\n"));
            if (search && !dies)
                expect.insert(expect.end(), {"+DATA 1 " + user, "+DATA 2 " + user});
            expect.push_back(search
                                 ? std::string("+OK Search Complete ") +
                                       (dies ? "0 items found out of 0" : "2 items found out of 9")
                             : dies ? "-DEAD tired"
                                    : "+OK " + command + " " + user);
        }
        for (size_t k = 0; k < expect.size(); k++)
            ASSERT_EQ(expect[k], corvane.line()) << "reply " << k << " after command " << done;
        std::string proc = "/proc/" + std::to_string(corvane.pid()),
                    status = read_file(proc + "/status");
        auto fds = fs::directory_iterator(proc + "/fd");
        samples.push_back({std::distance(fds, fs::directory_iterator()),
                           (long)children(corvane.pid()).size(),
                           atol(status.c_str() + status.find("VmRSS:") + 6)});
        ASSERT_EQ(0, zombies(corvane.pid())) << "after command " << done;
    }
    finish();
    EXPECT_EQ(dead, count(log(), "restarting..."));
    EXPECT_EQ(0, count(log(), "not using it anymore"));
    // Flat: the same descriptors and children after every batch, and no
    // growth of resident memory once the first batches have warmed it up.
    for (auto &s : samples)
        EXPECT_TRUE(s[0] == samples[0][0] && s[1] == modules) << s[0] << " " << s[1];
    EXPECT_LE(samples.back()[2] - samples[samples.size() / 5][2], 2048)
        << "resident memory grew (kB)";
}
