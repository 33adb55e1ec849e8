// The daemon end to end: the built corvane as a supervisor over scripted
// modules (scriptmod), spoken to over its socket by root and by other
// users; the processes it leaves (none) and the users they run as; and the
// log written by several processes at once.
#include "adt/log.h"
#include "tests/daemon_kit.h"

#include <grp.h>
#include <pwd.h>
#include <set>

using namespace testkit;

TEST_F(Daemon, ClientsMoreThanWorkersAreServedAndEveryWorkerRunsTheLastConfigurationAccepted)
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
    EXPECT_EQ("+OK lookup a\n", connect_run("", {"-lookup", "a"}, ""));
    EXPECT_EQ("+OK lookup b\n+OK Corvane 10n\n+OK bye\n", connect_run("", {}, "lookup b\nversion"));

    // A reload leaves alone what was put at the socket's path since, and
    // keeps the socket's settings until a restart.
    std::string file = write_file(dir / "file", "");
    fs::rename(sock, sock + "~"), fs::create_symlink(file, sock);
    reload("workers 2\nsocket_group nogroup",
           "lookup late\t!sleep 1000 ;; +OK late\nlookup\t+OK new $0\n");
    ASSERT_TRUE(logged("Reloaded: the new workers serve"));
    EXPECT_TRUE(logged("socket_group 'nogroup' is not used: restart needed", "out"));
    EXPECT_TRUE(stat(file.c_str(), &st) == 0 && (st.st_mode & 0777) == 0644 && st.st_gid == 0);
    fs::remove(sock), fs::rename(sock + "~", sock);
    EXPECT_EQ("+OK new lookup a", session(sock, "lookup a\n")[0]);
    // A refused reload is not what a worker started later runs.
    write("corvane.ini", "workers 2\nmodule 1\n");
    kill(daemon.pid, SIGHUP);
    EXPECT_TRUE(logged("Reload refused, the running workers stay: 1 problem(s)"));
    EXPECT_TRUE(logged("corvane.ini:2: Module1 has no binary"));
    for (const char *said : {"corvane: Reload refused", "corvane.ini:2: Module1 has no binary"})
        EXPECT_TRUE(contains(read_file(dir / "out"), said)) << said;
    // Once the supervisor reaped every worker (a request handed to one it
    // has not yet seen end gets "-DEAD no answer").
    std::vector<pid_t> killed = workers();
    for (pid_t w : killed) kill(w, SIGKILL);
    for (pid_t w : killed) EXPECT_TRUE(eventually([&] { return kill(w, 0) != 0; })); // reaped
    EXPECT_TRUE(logged("ended by signal 9"));
    EXPECT_EQ((Lines{"+OK new lookup b", "+OK new lookup c", "+OK bye"}),
              session(sock, "lookup b\nlookup c\n"));
    // A stop lets a client in mid-request have its reply.
    int fd = socket_at(sock, "lookup late\n");
    ASSERT_TRUE(logged("INPUT[lookup late]"));
    stop();
    EXPECT_EQ("+OK late\n", read_all(fd));
    EXPECT_EQ("-DEAD cannot connect to " + sock + ": No such file or directory\n",
              connect_run("", {"-quit"}, ""));
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

TEST_F(Daemon, IdleSlowAndNonReadingClientsHoldNoWorker)
{
    config("workers 1\nclient_timeout 60");
    ASSERT_TRUE(launch());
    std::vector<int> idle;
    for (int i = 0; i < 3; i++) idle.push_back(socket_at(sock));
    int slow = socket_at(sock, "look"), slower = socket_at(sock, "l");
    int unread = socket_at(sock);
    std::string many;
    for (int i = 0; i < 400; i++) many += "lookup " + std::string(900, 'u') + "\n";
    fcntl(unread, F_SETFL, O_NONBLOCK); // as much as it takes: its replies are never read
    while (::write(unread, many.data(), many.size()) > 0) {
    }
    // Another client's login is answered while they all wait, and then the
    // slow line and the idle clients are served.
    EXPECT_EQ((Lines{"+OK lookup alice", "+OK bye"}), session(sock, "lookup alice\n"));
    EXPECT_EQ(5, ::write(slow, "up t\n", 5));
    EXPECT_EQ("+OK lookup t\n", read_all(slow, 1));
    EXPECT_EQ(9, ::write(idle[0], "lookup i\n", 9));
    EXPECT_EQ("+OK lookup i\n", read_all(idle[0], 1));
    // A line too long is refused whole; one cut off by its client never runs.
    EXPECT_EQ((Lines{"-ERR Line too long", "+OK lookup b", "+OK bye"}),
              session(sock, "lookup " + std::string(2000, 'x') + "\nlookup b\n"));
    close(socket_at(sock, "set cut pw"));
    // A worker killed in mid-request: its request is answered, it is replaced.
    int fd = socket_at(sock, "lookup slow\nlookup after\n");
    ASSERT_TRUE(logged("INPUT[lookup slow]"));
    kill(workers().at(0), SIGKILL);
    EXPECT_EQ("-DEAD no answer: the worker serving the request ended\n+OK lookup after\n",
              read_all(fd, 2));
    EXPECT_FALSE(contains(sent("m"), "cut"));
    // Once their time is short, each is let go for its own reason.
    reload("workers 1\nclient_timeout 1");
    for (const char *why :
         {"idle for 1 s", "was sending one line for 1 s", "left its replies unread for 1 s"})
        EXPECT_TRUE(logged(why)) << why;
    EXPECT_EQ("", read_all(slower));
    EXPECT_EQ("", read_all(idle[1]));
    // A writer's search waits for its client to read, up to the same limit.
    fd = socket_at(sock, "search x\n");
    EXPECT_TRUE(eventually([&] { return count(log(), "left its replies unread") == 2; }));
    EXPECT_LT(count(read_all(fd), "\n"), 20000);
    EXPECT_EQ("+OK lookup c", session(sock, "lookup c\n")[0]); // its worker is free again
    stop();
}

TEST_F(Daemon, KilledSupervisorLeavesNoWorkerOrModuleAndNothingAnswers)
{
    config("workers 2");
    ASSERT_TRUE(launch());
    int fd = socket_at(sock, "lookup slow\n");
    ASSERT_TRUE(logged("INPUT[lookup slow]"));
    EXPECT_EQ(2u, workers().size());
    kill(daemon.pid, SIGKILL);
    EXPECT_EQ("", read_all(fd));
    EXPECT_EQ(0, leftovers(tmp.path, 10000));
    EXPECT_EQ(-1, socket_at(sock));
    EXPECT_EQ(ECONNREFUSED, errno);
}

TEST_F(Daemon, ClientsAdmitsByUserUidAndGroupAndWritersAloneMayChangeStores)
{
    config("clients daemon");
    ASSERT_TRUE(launch());
    struct stat st;
    EXPECT_TRUE(stat(sock.c_str(), &st) == 0 && (st.st_mode & 0777) == 0666);
    const std::string refused = "-DEAD this client is not allowed\n",
                      readonly = "-ERR set not allowed for this client\n-ERR del not allowed for "
                                 "this client\n+OK lookup bob\n+OK bye\n",
                      writer = "+OK set bob\n+OK del bob\n+OK lookup bob\n+OK bye\n";
    struct {
        std::string globals, as, replies;
    } rows[] = {
        {"clients daemon", AsNobody, refused},
        {"clients daemon", "", writer}, // root may always connect
        {"clients nobody", AsNobody, readonly},
        {"clients 65534\nwriters nobody", AsNobody, writer},
        {"clients @nogroup\nwriters @nogroup", AsNobody, writer},
        {"clients daemon, @nogroup", "setpriv --reuid=daemon --regid=daemon --clear-groups",
         readonly},
        {"clients @nogroup", "setpriv --reuid=daemon --regid=daemon --groups=nogroup", readonly},
        {"clients bin, @nogroup", "setpriv --reuid=daemon --regid=daemon --clear-groups", refused},
    };
    for (auto &r : rows) {
        SCOPED_TRACE(r.globals + " | " + r.as);
        reload("do_del true\n" + r.globals);
        EXPECT_EQ(r.replies, connect_run(r.as, {}, "set bob pw\ndel bob\nlookup bob\n"));
    }
    EXPECT_TRUE(logged("Client uid 65534 refused: not in clients"));
    EXPECT_TRUE(logged("Client uid 1 refused: not in clients"));
    stop();
}

TEST_F(Daemon, RunsAsItsUserWhoseFilesAreItsOwnAndOnlyThenOpensItsLog)
{
    fs::create_directories(dir / "state"), fs::create_directories(dir / "logs");
    for (const char *d : {"state", "logs"}) chown((dir / d).c_str(), Nobody, Nobody);
    write("m.req", ""), chown((dir / "m.req").c_str(), Nobody, Nobody);
    const std::string dirs = "state_dir " + (dir / "state").string() + "\nlog_dir " +
                             (dir / "logs").string(),
                      globals = "user nobody\n" + dirs +
                                "\nworkers 2\nsocket_mode 0666\nmax_clients 1000";
    config(globals);
    log_file = "logs/corvane.log";
    // A test as root: its module and log are the user's, in its directories.
    EXPECT_EQ("+OK lookup x\n", run({"-lookup", "x"}).out);
    struct stat st;
    ASSERT_EQ(0, stat((dir / "logs/corvane.log").c_str(), &st));
    EXPECT_EQ(Nobody, st.st_uid);
    // The daemon: supervisor, workers and modules run as the user alone.
    ASSERT_TRUE(launch());
    std::string as = "Uid:\t65534\t65534\t65534\t65534|Gid:\t65534\t65534\t65534\t65534|"
                     "Groups:\t65534 |";
    std::vector<pid_t> procs;
    ASSERT_TRUE(eventually([&] {
        procs = {daemon.pid};
        for (pid_t w : workers())
            for (pid_t p : {w, children(w).empty() ? 0 : children(w)[0]}) procs.push_back(p);
        return procs.size() == 5 && std::count(procs.begin(), procs.end(), 0) == 0;
    }));
    for (pid_t p : procs) EXPECT_EQ(as, ids(p)) << p;
    // The descriptor limit (256 here) was raised to hold max_clients.
    std::string limits = read_file("/proc/" + std::to_string(daemon.pid) + "/limits");
    EXPECT_GE(atoi(limits.substr(limits.find("Max open files") + 14).c_str()), 1000) << limits;
    EXPECT_EQ("+OK lookup y", session(sock, "lookup y\n")[0]);
    // Its own user is no writer: a module run as it cannot change every store.
    EXPECT_EQ("-ERR set not allowed for this client\n+OK bye\n",
              connect_run(AsNobody, {}, "set bob pw\n"));
    reload("user daemon\n" + dirs + "\nworkers 2");
    EXPECT_TRUE(logged("user 'daemon' is not used: restart needed (it stays 'nobody')", "out"));
    EXPECT_TRUE(logged("Reloaded: the new workers serve"));
    for (pid_t w : workers()) EXPECT_EQ(as, ids(w));
    // It cannot remove a socket in a directory it may not write: the next start replaces it.
    EXPECT_EQ(0, daemon.stop());
    EXPECT_EQ(0, leftovers(tmp.path, 60000));
    ASSERT_TRUE(launch());
    daemon.stop();

    // A file of the state directory the user cannot change, and a log that
    // is a link, which is not followed.
    config(globals);
    write("state/users.db", "");
    fs::create_symlink(dir / "elsewhere", dir / "logs/corvane.log~");
    Outcome t = run({"-t"});
    EXPECT_EQ(1, t.status);
    EXPECT_TRUE(contains(t.err, "state/users.db (owner root, group root, mode 0644): the user "
                                "nobody cannot read and write it"))
        << t.err;
    fs::rename(dir / "logs/corvane.log~", dir / "logs/corvane.log");
    EXPECT_TRUE(contains(run({"-lookup", "z"}).err, "Too many levels of symbolic links"));
    EXPECT_FALSE(fs::exists(dir / "elsewhere"));
}

TEST_F(Daemon, HoldsAtMostMaxClientsAndHalfOfThemForOneUser)
{
    config("max_clients 4\nsocket_mode 0666");
    ASSERT_TRUE(launch());
    int a = socket_at(sock, "lookup a\n"), b = socket_at(sock, "lookup b\n");
    EXPECT_EQ("+OK lookup b\n", read_all(b, 1));
    EXPECT_EQ((Lines{"-DEAD too many connections"}), session(sock, ""));
    EXPECT_TRUE(logged("Client uid 0 refused: it holds 2 connections, the most one user may"));
    EXPECT_EQ("+OK lookup a\n", read_all(a, 1));
    // With all four held, a client of a user below its half waits its turn.
    const std::string AsDaemon = "setpriv --reuid=daemon --regid=daemon --clear-groups";
    Child users[3];
    for (int i = 0; i < 3; i++) {
        users[i].start(fields((i ? AsDaemon : AsNobody) + " " + public_copy(CORVANE_BIN) +
                              " -connect " + sock));
        if (i < 2) {
            EXPECT_EQ("+OK lookup n", users[i].ask("lookup n"));
        }
    }
    EXPECT_EQ("<timeout>", users[2].ask("lookup waits", 1000));
    close(a);
    EXPECT_EQ("+OK lookup waits", users[2].line());
    stop();
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
    // A daemon busy to the end of its backlog is alive: a second start says
    // so at once and leaves its socket alone.
    fs::remove(sock);
    int busy = socket_at(sock, "", true);
    sockaddr_un a = {AF_UNIX, {}};
    snprintf(a.sun_path, sizeof a.sun_path, "%s", sock.c_str());
    std::vector<int> queued;
    for (int q; queued.size() < 64; queued.push_back(q))
        if (q = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(q, (sockaddr *)&a, sizeof a)) {
            close(q);
            break;
        }
    Outcome second = run({"-path", ".", "-listen", sock});
    EXPECT_TRUE(contains(second.out, "a daemon answers there")) << second.out << second.err;
    EXPECT_TRUE(fs::is_socket(sock));
    for (int q : queued) close(q);
    close(busy);
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
