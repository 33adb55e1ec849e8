// Corvane's front door, through the built program: command-line words that
// look like options, words holding control characters, exclusions after a
// name is rewritten, the configuration test, help, the working directory.
#include "tests/testkit.h"

#include <pty.h>

using namespace testkit;

namespace
{

struct Case {
    Lines args; // the command line, or one line of input
    std::string out;
    int status;
};

class FrontDoor : public CorvaneDir
{
  protected:
    void expect(const Case &c, const std::string &input = "")
    {
        Outcome r = run(c.args, input);
        EXPECT_EQ(c.out, r.out) << input << (c.args.empty() ? "" : c.args.back());
        EXPECT_EQ(c.status, r.status) << input << (c.args.empty() ? "" : c.args.back());
    }
};

const std::string Echo = "*\t-ERR [$2|$3|$4]\n";

} // namespace

TEST_F(FrontDoor, WordsAfterTheCommandOptionAreNeverOptions)
{
    fs::create_directory(dir / "evil");
    write("evil/corvane.ini", "module 1\nbinary " + module("evil", "*\t+OK evil") + "\n");
    write("corvane.ini", "do_del yes\ndo_set yes\nmodule 1\nbinary " + module("m1", Echo) + "\n");
    const std::string evil = (dir / "evil").string();
    Case cases[] = {
        {{"-check", "nobody", "-quit"}, "-ERR [nobody|-quit|]\n", 0},
        {{"-check", "alice", "-lookup", "192.0.2.1"}, "-ERR [alice|-lookup|192.0.2.1]\n", 0},
        {{"-check", "-path", evil}, "-ERR [-path|" + evil + "|]\n", 0},
        {{"-lookup", "-version"}, "-ERR [-version||]\n", 0},
        {{"-check", "alice", "-debug"}, "-ERR [alice|-debug|]\n", 0},
        {{"-check", "alice", "-search", "x"}, "-ERR [alice|-search|x]\n", 0},
        {{"-set", "alice", "-del"}, "-ERR [alice|-del|]\n", 0},
        {{"-del", "-quit"}, "-ERR [-quit||]\n", 0},
        // Before the command option they are options.
        {{"-path", dir.string(), "-lookup", "bob"}, "-ERR [bob||]\n", 0},
        {{"-version", "-lookup", "bob"}, "+OK Corvane 10n\n", 1},
    };
    for (const Case &c : cases) expect(c);
    EXPECT_FALSE(fs::exists(dir / "evil.req")) << "the attacker's module was started";
    EXPECT_FALSE(contains(log(), "Debug:")) << "a word turned debugging on";
    run({"-debug", "-lookup", "bob"});
    EXPECT_TRUE(contains(log(), "Debug:"));
}

// The trace of the input holds no password and no control character.
TEST_F(FrontDoor, ControlCharactersAndCommasAreRefusedBeforeAnyModule)
{
    write("corvane.ini",
          "loglevel info\ndo_del yes\ndo_set yes\nmodule 1\nbinary " + module("m1", Echo) + "\n");
    const std::string ctl = "-ERR %s parameters must not contain control characters\n";
    auto refusal = [&](const char *op) { return replace_all(ctl, "%s", op); };
    Case lines[] = {
        {{"check root\ttoor x"}, refusal("check"), 0},
        {{"lookup a\x01z"}, refusal("lookup"), 0},
        {{"check alice pw 10.0.0.1\x1b"}, refusal("check"), 0},
        {{"del bob\t"}, refusal("del"), 0},
        {{"search a\tb"}, refusal("search"), 0},
        {{"check alice pw 203.0.113.9,10.0.0.1"},
         "-ERR check address must not contain commas\n",
         0},
        // What is no user name, password or address may hold them.
        {{"set bob pw a=\tb"}, "-ERR [bob|pw|a=\tb]\n", 0},
        {{"chek alice secret"}, "-ERR Unknown command\n", 0},
        {{"lookup dom\\bob"}, "-ERR [dom\\bob||]\n", 0},
    };
    for (const Case &c : lines) expect({{}, c.out, 0}, c.args[0] + "\n");
    Case options[] = {
        {{"-check", "root\ttoor", "x"}, refusal("check"), 1},
        {{"-lookup", "a\x7f"}, refusal("lookup"), 1},
        {{"-check", "a", "b", "192.0.2.1,10.0.0.1"},
         "-ERR check address must not contain commas\n",
         1},
        {{"-set", "bob", "pw", "a=1\rb"}, "-ERR set parameters must not contain line breaks\n", 1},
        {{"-search", "x", "y\r"}, "-ERR search parameters must not contain line breaks\n", 1},
    };
    for (const Case &c : options) expect(c);
    EXPECT_EQ("set bob pw a=\tb\nlookup dom\\bob\n", sent("m1"));
    for (const char *traced : {"INPUT[check root\\x09toor xxxx]", "INPUT[lookup a\\x01z]",
                               "INPUT[chek alice]", "INPUT[set bob xxxx a=\\x09b]",
                               "OUTPUT[-ERR [bob|xxxx|a=\\x09b]]", "INPUT[lookup dom\\x5cbob]"})
        EXPECT_TRUE(contains(log(), traced)) << traced;
    EXPECT_EQ(std::string::npos, log().find_first_of("\t\x01\x1b\x7f")) << log();
    EXPECT_FALSE(contains(log(), "secret"));
}

TEST_F(FrontDoor, ExclusionsSeeTheRewrittenNameAndLaterModulesTheGivenOne)
{
    write("corvane.ini", "do_set yes\nmodule 1\nbinary " +
                             module("m1", "lookup alice@\t-ERR no\nlookup alice\t+OK yes\n"
                                          "set\t+OK set $2\n*\t-ERR one $2\n") +
                             "\nmatch !root,*\nstrip_prefix corp\\\nstrip_suffix @example.com\n"
                             "do_set existing\nmodule 2\nbinary " +
                             module("m2", "*\t-ERR two $2") + "\ndo_set false\n");
    Outcome r = run({}, "lookup CORP\\root\nlookup root@example.com\nlookup corp\\ROOT\n"
                        "check bob@example.com pw 10.0.0.1\nset alice@example.com pw\n");
    EXPECT_EQ("-ERR two CORP\\root\n-ERR two root@example.com\n-ERR two corp\\ROOT\n"
              "-ERR two bob@example.com\n+OK set alice\n",
              r.out);
    EXPECT_EQ("check bob pw 10.0.0.1\nlookup alice\nset alice pw\n", sent("m1"));
}

// Every problem and warning with its line, each module's own check of
// itself among them (run in the configuration directory, "-t" first); a
// start logs the problems and goes on.
TEST_F(FrontDoor, ConfigurationTestGivesEveryProblemWithItsLine)
{
    auto mod = [](const std::string &script) {
        return "binary " TEST_PROGS_DIR "/scriptmod " + script + ".script\n";
    };
    const std::string b = mod("m"), file = "binary " MODULE_FILE_BIN " -file nosuch.passwd";
    write("m.script", "*\t+OK");
    write("w.script", "-t\twarning: disk low");
    write("f.script", "-t\twarning: old ;; bad thing ;; !exit 1");
    write("x.script", "-t\t!exit 3");
    struct {
        std::string ini;
        Lines says;         // each "LINE: text"
        std::string listed; // a part of the settings shown
    } cases[] = {
        {"workers 2\nsocket_mode 0660\nsocket_group root\nwriters root, @nogroup 0\nclient_timeout "
         "30\n"
         "module 2\n" +
             mod("w") + "module 1\n" + b,
         {"7: Module2 (scriptmod): warning: disk low"}},
        {"do_chek move_from\nmodule 1\n" + b,
         {"1: unknown setting 'do_chek' (did you mean do_check?)"}},
        {"loglevel infoo\nset_once ture\nmodule 1\n" + b + "timeout abc\ndo_set exisitng\n",
         {"1: loglevel 'infoo' is none of none, error, info, debug: taken as error",
          "2: set_once 'ture' is neither true nor false: taken as false",
          "5: timeout 'abc' is not a number: taken as 20000",
          "6: do_set 'exisitng' is none of true, false, existing, move_to, move_from: taken as "
          "true (every set)"}},
        {"module 1\nbinray /bin/cat\n",
         {"2: unknown setting 'binray' (did you mean binary?)", "1: Module1 has no binary"}},
        {"module 1\nbinary /etc/passwd\nmodule 2\nbinary nothere x\n",
         {"2: Module1 cannot execute '/etc/passwd': Permission denied",
          "4: Module2 cannot execute 'nothere': No such file or directory"}},
        {"user nosuch\ngroup nosuch\nclients nobody, nosuch @nosuch\nmax_clients many\n"
         "state_dir state\nmodule 1\n" +
             b,
         {"1: user 'nosuch': no such user", "2: group 'nosuch': no such group",
          "3: clients 'nosuch': no such user", "3: clients '@nosuch': no such group",
          "4: max_clients 'many' is not a number: taken as 1024",
          "5: state_dir 'state' is not an absolute path"}},
        {"group daemon\nmodule 1\n" + b, {"1: group is used only with user: ignored"}},
        {"module 1\n" + b + "socket_mode 0660\nsocket_group root\nworkers 2\nmodule 01\n" + b,
         {"3: socket_mode is a global setting; in a module section it has no effect",
          "4: socket_group is a global setting; in a module section it has no effect",
          "5: workers is a global setting; in a module section it has no effect",
          "6: module number 1 given twice (first at line 1)"}},
        {"workers many\nsocket_mode rw\nsocket_group nosuchgroup\nclient_timeout soon\n"
         "writers @nosuchgrp,nosuchusr\nlog_size 12\nmodule 1\n" +
             b + "timeout 5s\n",
         {"1: workers 'many' is not a number: ignored",
          "2: socket_mode 'rw' is not an octal mode (0 to 0777): taken as 0600",
          "3: socket_group 'nosuchgroup': no such group",
          "4: client_timeout 'soon' is not a number: taken as 60",
          "5: writers '@nosuchgrp': no such group", "5: writers 'nosuchusr': no such user",
          "6: log_size 12 is below 1024 bytes: taken as 1024",
          "9: timeout '5s' is not a whole number of ms: taken as 100"}},
        {"module 1\n" + mod("f") + "module 2\nbinary " TEST_PROGS_DIR "/faultmod -stubborn " +
             tmp.at("h.log") + "\ntimeout 200\nmodule 3\n" + mod("x"),
         {"2: Module1 (scriptmod): warning: old", "2: Module1 (scriptmod): bad thing",
          "4: Module2 (faultmod): its self-check did not end within 5000 ms: killed",
          "7: Module3 (scriptmod): its self-check exited with status 3"},
         mod("f") + "#   self-check: warning: old\n#   self-check: bad thing\n"},
        {"module 1\n" + file + "\nmodule 2\n" + file +
             " -readonyl\n"
#ifdef MODULE_PGSQL_BIN
             "module 3\nbinary " MODULE_PGSQL_BIN " -conninfo postgresql://u:pw@localhost/db\n"
#endif
         ,
         {"2: Module1 (corvane-file): warning: store nosuch.passwd does not exist: the first "
          "start creates it",
          "4: Module2 (corvane-file): warning: store nosuch.passwd does not exist: the first "
          "start creates it",
          "4: Module2 (corvane-file): unknown option -readonyl (did you mean -readonly?)",
#ifdef MODULE_PGSQL_BIN
          "6: Module3 (corvane-pgsql): -conninfo must not hold a password: use passfile= or "
          "~/.pgpass"
#endif
         }},
    };
    for (auto &c : cases) {
        write("corvane.ini", c.ini);
        Outcome r = run({"-t", "-path", dir.string()}, "", "/");
        bool problem = std::any_of(c.says.begin(), c.says.end(),
                                   [](auto &s) { return !contains(s, ": warning: "); });
        EXPECT_EQ(problem, r.status) << c.ini;
        EXPECT_EQ(c.says.size(), lines_of(r.err).size()) << r.err;
        for (auto &p : c.says) EXPECT_TRUE(contains(r.err, "corvane.ini:" + p)) << r.err;
        EXPECT_TRUE(contains(r.out, "# default: match *\n# default: do_lookup true\n"));
        EXPECT_TRUE(contains(r.out, c.listed)) << r.out;
    }
    EXPECT_FALSE(fs::exists(dir / "corvane.log") || fs::exists(dir / "nosuch.passwd"));
    write("corvane.ini", cases[0].ini);
    std::string out = run({"-t"}).out;
    for (const char *row : {"search_limit 100000", "search_timeout 60000", "retry_after 60"})
        EXPECT_TRUE(contains(out, "# default: " + std::string(row) + "\n")) << row;
    EXPECT_LT(out.find("module 1\n" + b), out.find("module 2\n" + mod("w"))) << out;
    // A start logs the same problems once, and asks no module to check itself
    // (with a log that does not rotate and a module that is not cut short by
    // a loaded machine).
    std::string start = cases[8].ini;
    for (std::string line : {"log_size 12\n", "timeout 5s\n"})
        start.erase(start.find(line), line.size());
    write("corvane.ini", start + "module 2\n" + mod("f"));
    EXPECT_EQ(0, run({"-lookup", "x"}).status);
    EXPECT_EQ(1, count(log(), "corvane.ini:1: workers 'many' is not a number")) << log();
    EXPECT_FALSE(contains(log(), "bad thing") || contains(log(), "self-check")) << log();
}

TEST_F(FrontDoor, HelpOptionsAndHelpCommand)
{
    for (const char *h : {"-h", "-help", "--help"}) {
        Outcome r = run({h});
        EXPECT_EQ(0, r.status);
        EXPECT_TRUE(contains(r.out, "usage: corvane") && contains(r.out, "-check USER PASSWORD"));
        EXPECT_TRUE(contains(r.out, "-listen [PATH]") &&
                    contains(r.out, "(the daemon), by default " CORVANE_SOCKET));
    }
    // The daemon's configuration is the installation's, never the current
    // directory's (nor the socket's word taken for a path when it is "-t").
    write("corvane.ini", "bogus 1\n");
    Outcome t = run({"-listen", "-t"});
    EXPECT_FALSE(contains(t.err, "bogus")) << t.err;
    EXPECT_TRUE(fs::exists(CORVANE_CONFDIR "/corvane.ini") ||
                contains(t.err, CORVANE_CONFDIR "/corvane.ini: cannot be loaded"))
        << t.err;
    EXPECT_FALSE(fs::exists(dir / "corvane.log"));
    write("corvane.ini", "module 1\nbinary " + module("m1", Echo) + "\n");
    Outcome r = run({}, "help\n");
    EXPECT_EQ(1u, lines_of(r.out).size());
    EXPECT_TRUE(r.out.starts_with("+OK ") && contains(r.out, "check USER PASSWORD [ADDRESS], "));
    EXPECT_EQ("", sent("m1")) << "help asked a module";
}

TEST_F(FrontDoor, ModulesRunInTheConfigurationDirectory)
{
    write("m1.script", "lookup\t+OK $2\nsearch slow\t!data 1 ;; !sleep 30000\n"
                       "search\t!data 5 ;; +OK 5 5\n");
    write("corvane.ini", "search_limit 3\nsearch_timeout 2000\nmodule 1\nbinary " TEST_PROGS_DIR
                         "/scriptmod m1.script m1.req\n");
    Outcome r = run({"-path", dir.string()}, "lookup bob\nsearch x\nsearch slow\n", "/");
    EXPECT_TRUE(r.out.starts_with("+OK bob\n")) << r.out;
    EXPECT_EQ(4, count(r.out, "+DATA ")) << r.out;
    EXPECT_TRUE(r.out.ends_with("+DATA 1\n+OK Search Complete 1 items found out of 1\n")) << r.out;
    EXPECT_TRUE(contains(sent("m1"), "lookup bob"));
}

// -passwd NAME takes the password from standard input, never from the
// command line, and sets it as set does; the status tells its reply.
TEST_F(FrontDoor, PasswdReadsThePasswordAndSetsIt)
{
    write("corvane.ini",
          "loglevel info\ndo_set yes\nmodule 1\nbinary " +
              module("m1", "set bob\t+OK set $2\nset dead\t-DEAD down\n*\t-ERR no $2") + "\n");
    struct {
        std::string user, input, out;
        int status;
    } cases[] = {
        {"bob", "s3cret\n", "+OK set bob\n", 0},
        {"bob", "s3cret\ns3cret", "+OK set bob\n", 0},
        {"bob", "s3cret\nS3cret\n", "-ERR the passwords do not match\n", 1},
        {"bob", "", "-ERR no password given\n", 1},
        {"bob", "\n", "-ERR the password is empty\n", 1},
        {"bob", "s3 cret\n", "-ERR set parameters must not contain blanks\n", 1},
        {"bob", std::string(990, 'x') + "\n", "-ERR the password is too long\n", 1},
        {"eve", "pw\n", "-ERR no eve\n", 1},
        {"dead", "pw\n", "-DEAD down\n", 111},
    };
    Server daemon; // through the daemon when -connect comes before it
    std::string sock = tmp.at("s");
    ASSERT_TRUE(daemon.start({CORVANE_BIN, "-path", tmp.path, "-listen", sock}, dir / "out", [&] {
        int fd = socket_at(sock);
        return fd >= 0 && close(fd) == 0;
    }));
    for (const Lines &before : {Lines{}, Lines{"-connect", sock}})
        for (auto &c : cases) {
            Lines args = before;
            args.insert(args.end(), {"-passwd", c.user});
            // Not run(): the daemon's processes name the directory and outlive each run.
            Outcome r = testkit::run({.argv = wrapped(CORVANE_BIN, args),
                                      .input = c.input,
                                      .inherit_env = true,
                                      .cwd = tmp.path});
            EXPECT_EQ(c.out, r.out) << c.input << before.size();
            EXPECT_EQ(c.status, r.status) << c.input << before.size();
        }
    daemon.stop();
    expect({{"-connect", sock, "-passwd", "bob"},
            "-DEAD cannot connect to " + sock + ": No such file or directory\n",
            111},
           "pw\n");
    expect(
        {{"-path", tmp.at("none"), "-passwd", "bob"},
         "-DEAD Failed to load '" + tmp.at("none") + "/corvane.ini', No such file or directory\n",
         111},
        "pw\n");
    // On a terminal it asks twice and echoes neither answer.
    int fd;
    Lines argv = wrapped(CORVANE_BIN, {"-path", tmp.path, "-passwd", "bob"});
    std::vector<char *> a;
    for (std::string &w : argv) a.push_back(w.data());
    a.push_back(nullptr);
    pid_t pid = forkpty(&fd, nullptr, nullptr, nullptr);
    if (pid == 0) execv(a[0], a.data()), _exit(127);
    std::string seen;
    auto until = [&](const std::string &text) {
        char bf[512];
        for (pollfd p = {fd, POLLIN, 0}; !contains(seen, text);) {
            ssize_t n = poll(&p, 1, 60000) == 1 ? read(fd, bf, sizeof bf) : -1;
            if (n <= 0) return false;
            seen.append(bf, n);
        }
        return true;
    };
    EXPECT_TRUE(until("New password: ") && ::write(fd, "t3rm\n", 5) == 5) << seen;
    EXPECT_TRUE(until("Retype new password: ") && ::write(fd, "t3rm\n", 5) == 5) << seen;
    EXPECT_TRUE(until("+OK set bob")) << seen;
    int status = -1;
    EXPECT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_EQ(0, status);
    EXPECT_FALSE(contains(seen, "t3rm")) << seen;
    close(fd);
    const std::string sets = "set bob s3cret\nset bob s3cret\nset eve pw\nset dead pw\n";
    EXPECT_EQ(sets + sets + "set bob t3rm\n", sent("m1"));
    EXPECT_FALSE(contains(log(), "s3cret") || contains(log(), "t3rm")) << log();
}
