// The daemon end to end: the built corvane as a supervisor over scripted
// modules (scriptmod), spoken to over its socket; and the log written by
// several processes at once.
#include "adt/log.h"
#include "tests/testkit.h"

#include <grp.h>
#include <set>

using namespace testkit;

namespace
{

const std::string Script = "lookup slow\t!sleep 30000 ;; +OK late\nlookup\t+OK $0\n"
                           "set\t+OK set $2\nsearch\t!data 20000 " +
                           std::string(100, 'x') + " ;; +OK 1 1\n";

// What fd gives until its end (then it is closed) or until `lines` lines
// came, waiting at most 60 s for each part.
std::string read_all(int fd, int lines = -1)
{
    std::string got;
    char bf[65536];
    for (pollfd p = {fd, POLLIN, 0}; count(got, "\n") != lines && poll(&p, 1, 60000) > 0;) {
        ssize_t n = read(fd, bf, lines < 0 ? sizeof bf : 1);
        if (n <= 0) break;
        got.append(bf, (size_t)n);
    }
    if (lines < 0) close(fd);
    return got;
}

// Sends text, ends the input and answers the reply lines ("<eof>" for none).
Lines session(const std::string &sock, const std::string &text)
{
    int fd = socket_at(sock, text);
    shutdown(fd, SHUT_WR);
    Lines lines = lines_of(read_all(fd));
    return lines.empty() ? Lines{"<eof>"} : lines;
}

class Daemon : public CorvaneDir
{
  protected:
    std::string sock = tmp.at("s");
    Server daemon;

    void SetUp() override { chmod(tmp.path.c_str(), 0755); } // open to the peer of another user
    void config(const std::string &globals, const std::string &script = Script,
                const std::string &wrapper = "")
    {
        write("corvane.ini",
              "loglevel info\n" + globals + "\nmodule 1\nbinary " + wrapper + module("m", script));
    }
    // Starts the daemon in its directory as "-path ." (on a socket handed
    // over, when >= 0); true once it answers.
    bool launch(int handed = -1)
    {
        return daemon.start(
            {"/bin/sh", "-c", "cd \"$0\" && exec \"$1\" -path . -listen \"$2\"", tmp.path,
             CORVANE_BIN, sock},
            dir / "out",
            [&] {
                int fd = socket_at(sock);
                return fd >= 0 && close(fd) == 0;
            },
            handed);
    }
    bool logged(const std::string &text)
    {
        return eventually([&] { return contains(log(), text); });
    }
    pid_t worker()
    {
        std::string pid = std::to_string(daemon.pid);
        return atoi(read_file("/proc/" + pid + "/task/" + pid + "/children").c_str());
    }
    // SIGTERM: the daemon ends with status 0, its socket is gone (unless
    // handed over) and no process of it is left.
    void stop(bool handed = false)
    {
        EXPECT_EQ(0, daemon.stop());
        EXPECT_EQ(handed, fs::exists(sock));
        EXPECT_EQ(0, leftovers(tmp.path, 60000));
    }
    // Standard output of corvane -connect with the words after, run under
    // the words before (a change of user, so the program must be one that user may run).
    std::string connect_run(Lines before, const Lines &after, const std::string &input)
    {
        before.insert(before.end(),
                      {before.empty() ? CORVANE_BIN : public_copy(CORVANE_BIN), "-connect", sock});
        before.insert(before.end(), after.begin(), after.end());
        return testkit::run({.argv = before, .input = input}).out;
    }
};

} // namespace

TEST_F(Daemon, ClientsMoreThanWorkersAreServedThenReloadServesANewConfigurationNotABrokenOne)
{
    config("workers 2");
    ASSERT_TRUE(launch());
    struct stat st;
    EXPECT_TRUE(stat(sock.c_str(), &st) == 0 && (st.st_mode & 0777) == 0600);
    std::vector<int> fds;
    for (int i = 0; i < 6; i++)
        fds.push_back(
            socket_at(sock, "lookup u" + std::to_string(i) + "\nversion\nquit\nlookup no\n"));
    for (int i = 0; i < 6; i++)
        EXPECT_EQ("+OK lookup u" + std::to_string(i) + "\n+OK Corvane 10n\n+OK bye\n",
                  read_all(fds[i]));
    // quit ended only the connections: the modules got no quit.
    EXPECT_EQ(6, count(sent("m"), "lookup u"));
    EXPECT_FALSE(contains(sent("m"), "quit"));
    // The command line and a session through -connect.
    EXPECT_EQ("+OK lookup a\n", connect_run({}, {"-lookup", "a"}, ""));
    EXPECT_EQ("+OK lookup b\n+OK Corvane 10n\n+OK bye\n", connect_run({}, {}, "lookup b\nversion"));

    config("workers 2\nsocket_group nogroup",
           "lookup late\t!sleep 1000 ;; +OK late\nlookup\t+OK new $0\n");
    // A reload leaves alone what was put at the socket's path since.
    std::string file = write_file(dir / "file", "");
    fs::rename(sock, sock + "~"), fs::create_symlink(file, sock);
    kill(daemon.pid, SIGHUP);
    ASSERT_TRUE(logged("Reloaded: the new workers serve"));
    EXPECT_TRUE(stat(file.c_str(), &st) == 0 && (st.st_mode & 0777) == 0644 && st.st_gid == 0);
    fs::remove(sock), fs::rename(sock + "~", sock);
    EXPECT_EQ("+OK new lookup a", session(sock, "lookup a\n")[0]);
    write("corvane.ini", "workers 2\nmodule 1\n");
    kill(daemon.pid, SIGHUP);
    EXPECT_TRUE(logged("Reload refused, the running workers stay: 1 problem(s)"));
    EXPECT_TRUE(logged("corvane.ini:2: Module1 has no binary"));
    EXPECT_EQ("+OK new lookup b", session(sock, "lookup b\n")[0]);
    for (const char *said : {"corvane: Reload refused", "corvane.ini:2: Module1 has no binary"})
        EXPECT_TRUE(contains(read_file(dir / "out"), said)) << said;
    // A stop lets a client in mid-request have its reply (and go after its time to finish).
    int fd = socket_at(sock, "lookup late\n");
    ASSERT_TRUE(logged("INPUT[lookup late]"));
    stop();
    EXPECT_EQ("+OK late\n", read_all(fd));
    EXPECT_EQ("-DEAD cannot connect to " + sock + ": No such file or directory\n",
              connect_run({}, {"-quit"}, ""));
}

// corvane -connect's exit status is its final reply's class; a daemon that
// does not answer within -timeout is -DEAD (the run's limit is far below the
// default time-out); without a path it asks the default socket.
TEST_F(Daemon, ConnectStatusesTimeOutAndDefaultSocket)
{
    config("workers 1", "lookup bad\t-ERR no\nlookup down\t-DEAD down\n" + Script);
    ASSERT_TRUE(launch());
    std::string mute = tmp.at("mute"), late = "-DEAD no reply from the daemon at " + mute;
    int listener = socket_at(mute, "", true); // connections wait, unanswered
    struct {
        std::string args, input, out;
        int status;
    } rows[] = {{"SOCK -lookup a", "", "+OK lookup a\n", 0},
                {"SOCK -lookup bad", "", "-ERR no\n", 1},
                {"SOCK -lookup down", "", "-DEAD down\n", 111},
                {"MUTE -timeout 300 -lookup a", "", late, 111},
                {"MUTE -timeout 300", "lookup a\n", late, 111},
                {"-lookup a", "", "-DEAD cannot connect to " CORVANE_SOCKET ": ", 111}};
    for (auto &r : rows) {
        Lines argv = {CORVANE_BIN, "-connect"};
        for (std::string &w : fields(r.args))
            argv.push_back(w == "SOCK" ? sock : w == "MUTE" ? mute : w);
        Outcome o = testkit::run({.argv = argv, .input = r.input, .limit_ms = 20000});
        EXPECT_TRUE(o.out.starts_with(r.out) && count(o.out, "\n") == 1) << r.args << ": " << o.out;
        EXPECT_EQ(r.status, o.status) << r.args;
    }
    close(listener);
    stop();
}

TEST_F(Daemon, KilledWorkerIsReplacedAndIdleOrNonReadingClientsAreCut)
{
    config("workers 1\nclient_timeout 1");
    ASSERT_TRUE(launch());
    int fd = socket_at(sock, "lookup slow\n");
    ASSERT_TRUE(logged("INPUT[lookup slow]"));
    pid_t first = worker();
    kill(first, SIGKILL);
    EXPECT_EQ("", read_all(fd));          // an end, not a hang
    close(socket_at(sock, "set cut pw")); // cut off inside a line: it never runs
    EXPECT_EQ((Lines{"+OK lookup b", "+OK bye"}), session(sock, "lookup b\n"));
    EXPECT_FALSE(contains(sent("m"), "cut"));
    EXPECT_NE(first, worker());
    EXPECT_EQ("", read_all(socket_at(sock)));
    EXPECT_TRUE(logged("idle for 1 s, disconnected"));
    fd = socket_at(sock, "search x\n");
    EXPECT_TRUE(logged("left its replies unread for 1 s, disconnected"));
    // The one worker serves the next client, and the first one's replies end.
    EXPECT_EQ((Lines{"+OK lookup c", "+OK bye"}), session(sock, "lookup c\n"));
    EXPECT_LT(count(read_all(fd), "\n"), 20000);
    stop();
}

TEST_F(Daemon, WorkerWithAModuleGivenUpEndsAfterItsClientAndTheModuleIsBack)
{
    write("mod", "[ -e " + tmp.at("broken") + " ] && exit 1; exec \"$@\"");
    write("broken", "");
    config("workers 1", Script, "/bin/sh " + tmp.at("mod") + " ");
    ASSERT_TRUE(launch());
    int fd = socket_at(sock, "lookup a\nlookup a\nlookup a\nlookup a\nlookup a\nlookup a\n");
    EXPECT_EQ(6, count(read_all(fd, 6), "\n")); // the sixth failure gives the module up
    fs::remove(dir / "broken");
    shutdown(fd, SHUT_WR);
    EXPECT_EQ("+OK bye\n", read_all(fd));
    EXPECT_TRUE(logged("Worker ends: a module was given up"));
    EXPECT_EQ("+OK lookup b", session(sock, "lookup b\n")[0]);
    stop();
}

TEST_F(Daemon, OnlyWritersMaySetDelAndSearchFromAnotherUser)
{
    const std::string refused = "-ERR set not allowed for this client\n-ERR del not allowed for "
                                "this client\n-ERR search not allowed for this client\n",
                      allowed = "+OK set bob\n+OK del bob\n+OK Search Complete 0 items found out "
                                "of 0\n";
    for (auto [globals, replies] : {std::pair{"", refused},
                                    {"writers root, nobody", allowed},
                                    {"writers @nogroup", allowed}}) {
        SCOPED_TRACE(globals);
        config(std::string("socket_mode 0660\nsocket_group nogroup\ndo_del true\n") + globals,
               "del\t+OK del $2\nsearch\t+OK 0 0\n" + Script);
        ASSERT_TRUE(launch());
        struct stat st;
        ASSERT_EQ(0, stat(sock.c_str(), &st));
        EXPECT_EQ(0660u, st.st_mode & 0777);
        EXPECT_EQ(getgrnam("nogroup")->gr_gid, st.st_gid);
        EXPECT_EQ(replies + "+OK lookup bob\n+OK bye\n",
                  connect_run({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"},
                              {}, "set bob pw\ndel bob\nsearch x\nlookup bob\n"));
        EXPECT_EQ("+OK set bob", session(sock, "set bob pw\n")[0]); // root may
        stop();
    }
}

TEST_F(Daemon, SocketStartsHandedOverReplacedWhenStaleAndRefusedWhenNotASocket)
{
    config("workers 1");
    int fd = socket_at(sock, "", true);
    ASSERT_TRUE(fd >= 0 && launch(fd));
    EXPECT_EQ("+OK lookup a", session(sock, "lookup a\n")[0]);
    stop(true); // the socket is systemd's: it stays
    close(fd);  // now a stale socket file that no one answers on
    ASSERT_TRUE(launch());
    EXPECT_EQ("+OK lookup b", session(sock, "lookup b\n")[0]);
    stop();
    write_file(sock, "not a socket");
    EXPECT_FALSE(launch());
    EXPECT_TRUE(contains(read_file(dir / "out"), "it exists and is not a socket"));
    EXPECT_EQ("not a socket", read_file(sock));
}

// Processes logging to the standard error they share (as the workers share
// the supervisor's) lose and tear no line either.
TEST(DaemonLog, FourProcessesOnOneStandardErrorLoseAndTearNoLine)
{
    TempDir dir;
    int shared = open(dir.at("e.log").c_str(), O_WRONLY | O_CREAT, 0600), start[2];
    ASSERT_EQ(0, pipe(start)); // all begin at once, when it closes
    std::vector<pid_t> kids;
    for (int p = 0; p < 4; p++)
        if (char c; (kids.emplace_back(fork())) == 0) {
            close(start[1]), dup2(shared, 2);
            adt::Log *x = adt::log_init(adt::LogError);
            adt::log_to(x, "stderr"), adt::log_set(x);
            while (read(start[0], &c, 1) > 0) {
            }
            for (int i = 0; i < 25000; i++) adt::emsg("writer %d line %d padding", p, i);
            _exit(0);
        }
    close(start[1]);
    for (pid_t k : kids) waitpid(k, nullptr, 0);
    std::set<std::string> seen;
    for (const std::string &l : lines_of(read_file(dir / "e.log"))) {
        int pid = -1, w = -1, n = -1; // after the time stamp's 20 characters:
        std::string text = l.substr(std::min<size_t>(20, l.size()));
        sscanf(text.c_str(), " [%d] Error: writer %d line %d", &pid, &w, &n);
        if (text == " [" + std::to_string(pid) + "] Error: writer " + std::to_string(w) + " line " +
                        std::to_string(n) + " padding")
            seen.insert(text);
    }
    EXPECT_EQ(100000u, seen.size());
}

TEST(DaemonLog, FourProcessesAcrossRotationsLoseAndTearNoLineAndAFailedOpenIsSaidOnce)
{
    TempDir dir;
    const int procs = 4, lines = 25000;
    std::vector<pid_t> kids;
    for (int p = 0; p < procs; p++) {
        if ((kids.emplace_back(fork())) != 0) continue;
        adt::Log *x = adt::log_init(adt::LogError);
        adt::log_setup(x, dir.path.c_str(), "m.log");
        adt::log_doflush(x, p % 2 ? 1 : 0); // line by line, and in batches
        adt::log_dorotate(x, 40, 400000);
        for (int i = 0; i < lines; i++) adt::emsg("writer %d line %d padding", p, i);
        adt::log_free(&x);
        _exit(0);
    }
    for (pid_t k : kids) waitpid(k, nullptr, 0);
    std::set<std::string> seen;
    int files = 0, total = 0;
    for (const auto &e : fs::directory_iterator(dir.dir)) {
        files++; // each rotation waited for its threshold: none rotated a file twice
        EXPECT_GE(fs::file_size(e), e.path().filename() == "m.log" ? 0u : 400000u) << e;
        for (const std::string &l : lines_of(read_file(e.path()))) {
            int w = -1, n = -1;
            std::string text = l.substr(std::min(l.find("] Error: "), l.size()));
            sscanf(text.c_str(), "] Error: writer %d line %d", &w, &n);
            ASSERT_EQ(text, "] Error: writer " + std::to_string(w) + " line " + std::to_string(n) +
                                " padding");
            seen.insert(text), total++;
        }
    }
    EXPECT_GT(files, 5);
    EXPECT_EQ(procs * lines, total); // and every one of them once:
    EXPECT_EQ(size_t(procs * lines), seen.size());

    testing::internal::CaptureStderr();
    adt::Log *x = adt::log_init(adt::LogError);
    adt::log_setup(x, "/tmp", "corvane-no-such-dir/x.log");
    adt::emsg("one"), adt::emsg("two"), adt::log_free(&x);
    EXPECT_EQ(
        "corvane: cannot open log /tmp/corvane-no-such-dir/x.log: No such file or directory\n",
        testing::internal::GetCapturedStderr());
}
