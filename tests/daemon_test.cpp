// The daemon end to end: the built corvane as a supervisor over scripted
// modules (scriptmod), spoken to over its socket; and the log written by
// several processes at once.
#include "adt/lib.h"
#include "tests/testkit.h"

#include <grp.h>
#include <map>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>

using namespace testkit;

namespace
{

const std::string Bin = CORVANE_BIN, Scriptmod = TEST_PROGS_DIR "/scriptmod";
const std::string Script = "lookup slow\t!sleep 30000 ;; +OK late\nlookup\t+OK $0\n"
                           "set\t+OK set $2\nsearch\t!data 20000 " +
                           std::string(100, 'x') + " ;; +OK 1 1\n";

int connect_to(const std::string &path)
{
    struct sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return fd;
    close(fd);
    return -1;
}

// Everything fd gives until its end (at most 60 s); fd is closed.
std::string read_all(int fd)
{
    std::string got;
    char bf[65536];
    for (struct pollfd p = {fd, POLLIN, 0}; poll(&p, 1, 60000) > 0;) {
        ssize_t n = read(fd, bf, sizeof bf);
        if (n <= 0) break;
        got.append(bf, (size_t)n);
    }
    close(fd);
    return got;
}

// Sends text, ends the input and answers every reply line.
std::vector<std::string> session(const std::string &sock, const std::string &text)
{
    int fd = connect_to(sock);
    if (fd < 0) return {"<no connection>"};
    adt::write_all(fd, text.data(), text.size());
    shutdown(fd, SHUT_WR);
    std::vector<std::string> lines = lines_of(read_all(fd));
    if (lines.empty()) lines.push_back("<eof>");
    return lines;
}

// Live processes whose command line mentions text; killed when kill_them.
int mentioning(const std::string &text, bool kill_them = false)
{
    int n = 0;
    for (const auto &e : fs::directory_iterator("/proc")) {
        std::string cmd = read_file(e.path() / "cmdline"), stat = read_file(e.path() / "stat");
        if (!contains(cmd, text) || contains(stat.substr(stat.rfind(')') + 1), " Z ")) continue;
        n++;
        if (kill_them) kill(atoi(e.path().filename().c_str()), SIGKILL);
    }
    return n;
}

template <class F> bool eventually(F f)
{
    for (int i = 0; i < 1200; i++, usleep(50000))
        if (f()) return true;
    return false;
}

class Daemon : public ::testing::Test
{
  protected:
    std::string dir, sock;
    pid_t pid = -1;

    void SetUp() override
    {
        char t[] = "/tmp/corvane-daemon-XXXXXX";
        dir = mkdtemp(t);
        chmod(dir.c_str(), 0755);
        sock = dir + "/s";
    }
    void TearDown() override
    {
        if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        mentioning(dir, true);
        fs::remove_all(dir);
    }
    void config(const std::string &globals, const std::string &script = Script)
    {
        write_file(dir + "/m.script", script);
        write_file(dir + "/corvane.ini", "loglevel info\n" + globals + "\nmodule 1\nbinary " +
                                             Scriptmod + " " + dir + "/m.script " + dir +
                                             "/m.req\n");
    }
    // Starts the daemon (on the socket handed over as descriptor 3 when
    // handed >= 0); true once it answers.
    bool launch(int handed = -1)
    {
        pid = fork();
        if (pid == 0) {
            int out = open((dir + "/out").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            dup2(out, 1), dup2(out, 2);
            if (handed >= 0) {
                dup2(handed, 3);
                setenv("LISTEN_FDS", "1", 1);
                setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
            }
            close_range(handed >= 0 ? 4 : 3, ~0U, 0);
            execl(Bin.c_str(), Bin.c_str(), "-path", dir.c_str(), "-listen", sock.c_str(), nullptr);
            _exit(127);
        }
        return eventually([&] {
                   int fd = waitpid(pid, nullptr, WNOHANG) == pid ? (pid = -1) : connect_to(sock);
                   return fd >= 0 ? close(fd), true : pid < 0;
               }) &&
               pid > 0;
    }
    bool logged(const std::string &text)
    {
        return eventually([&] { return contains(read_file(dir + "/corvane.log"), text); });
    }
    pid_t worker()
    {
        return atoi(
            read_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children")
                .c_str());
    }
    // SIGTERM: the daemon ends with status 0, its socket is gone (unless
    // handed over) and no process of it is left.
    void stop(bool handed = false)
    {
        int status = -1;
        kill(pid, SIGTERM);
        ASSERT_TRUE(eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }));
        pid = -1;
        EXPECT_EQ(0, status);
        EXPECT_EQ(handed, fs::exists(sock));
        EXPECT_TRUE(eventually([&] { return mentioning(dir) == 0; }));
    }
    struct stat socket_stat()
    {
        struct stat st = {};
        stat(sock.c_str(), &st);
        return st;
    }
};

} // namespace

TEST_F(Daemon, MoreClientsThanWorkersAreAllServedAndPipelinedRepliesKeepTheirOrder)
{
    config("workers 2");
    ASSERT_TRUE(launch());
    EXPECT_EQ(0600u, socket_stat().st_mode & 0777);
    std::vector<int> fds;
    for (int i = 0; i < 6; i++) {
        fds.push_back(connect_to(sock));
        std::string text = "lookup u" + std::to_string(i) + "\nversion\nquit\nlookup never\n";
        adt::write_all(fds.back(), text.data(), text.size());
    }
    for (int i = 0; i < 6; i++)
        EXPECT_EQ("+OK lookup u" + std::to_string(i) + "\n+OK Corvane 10n\n+OK bye\n",
                  read_all(fds[i]));
    // quit ended only the connections: the modules got no quit.
    EXPECT_EQ(6, count(read_file(dir + "/m.req"), "lookup u"));
    EXPECT_FALSE(contains(read_file(dir + "/m.req"), "quit"));
    // The command line and a session against the daemon.
    Spec c;
    c.argv = {Bin, "-connect", sock, "-lookup", "a"};
    EXPECT_EQ("+OK lookup a\n", run(c).out);
    c.argv.resize(3), c.input = "lookup b\nversion";
    EXPECT_EQ("+OK lookup b\n+OK Corvane 10n\n+OK bye\n", run(c).out);
    stop();
}

TEST_F(Daemon, KilledWorkerIsReplacedAndItsClientSeesTheEnd)
{
    config("workers 1");
    ASSERT_TRUE(launch());
    int fd = connect_to(sock);
    adt::write_all(fd, "lookup slow\n", 12);
    ASSERT_TRUE(logged("INPUT[lookup slow]"));
    pid_t first = worker();
    kill(first, SIGKILL);
    EXPECT_EQ("", read_all(fd));
    EXPECT_EQ((std::vector<std::string>{"+OK lookup b", "+OK bye"}), session(sock, "lookup b\n"));
    EXPECT_NE(first, worker());
    stop();
}

TEST_F(Daemon, IdleAndNonReadingClientsAreDisconnected)
{
    config("workers 1\nclient_timeout 1");
    ASSERT_TRUE(launch());
    EXPECT_EQ("", read_all(connect_to(sock)));
    EXPECT_TRUE(logged("idle for 1 s, disconnected"));
    int fd = connect_to(sock);
    adt::write_all(fd, "search x\n", 9);
    EXPECT_TRUE(logged("left its replies unread for 1 s, disconnected"));
    // The one worker serves the next client, and the first one's replies end.
    EXPECT_EQ((std::vector<std::string>{"+OK lookup b", "+OK bye"}), session(sock, "lookup b\n"));
    EXPECT_LT(count(read_all(fd), "\n"), 20000);
    stop();
}

TEST_F(Daemon, ReloadServesTheNewConfigurationUnlessItIsBroken)
{
    config("workers 2");
    ASSERT_TRUE(launch());
    EXPECT_EQ("+OK lookup a", session(sock, "lookup a\n")[0]);
    config("workers 2", "lookup\t+OK new $0\n");
    kill(pid, SIGHUP);
    ASSERT_TRUE(logged("Reloaded: the new workers serve"));
    EXPECT_EQ("+OK new lookup a", session(sock, "lookup a\n")[0]);
    write_file(dir + "/corvane.ini", "workers 2\nmodule 1\n");
    kill(pid, SIGHUP);
    EXPECT_TRUE(logged("Reload refused, the running workers stay: Module1 has no binary"));
    EXPECT_EQ("+OK new lookup b", session(sock, "lookup b\n")[0]);
    EXPECT_TRUE(contains(read_file(dir + "/out"), "corvane: Reload refused"));
    stop();
}

TEST_F(Daemon, StopLetsTheConnectedClientGoAndLeavesNothing)
{
    config("workers 1");
    ASSERT_TRUE(launch());
    int fd = connect_to(sock);
    adt::write_all(fd, "lookup a\n", 9);
    ASSERT_TRUE(logged("OUTPUT[+OK lookup a]"));
    stop();
    EXPECT_EQ("+OK lookup a\n", read_all(fd));
}

TEST_F(Daemon, OnlyWritersMaySetFromAnotherUser)
{
    struct Case {
        const char *globals, *set_reply;
    } cases[] = {{"", "-ERR set not allowed for this client"},
                 {"writers root, nobody", "+OK set bob"},
                 {"writers @nogroup", "+OK set bob"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.globals);
        config(std::string("socket_mode 0660\nsocket_group nogroup\n") + c.globals);
        ASSERT_TRUE(launch());
        EXPECT_EQ(0660u, socket_stat().st_mode & 0777);
        EXPECT_EQ(getgrnam("nogroup")->gr_gid, socket_stat().st_gid);
        int p[2];
        ASSERT_EQ(0, pipe(p));
        pid_t peer = fork();
        if (peer == 0) {
            if (setgroups(0, nullptr) || setgid(65534) || setuid(65534)) _exit(1);
            std::string out;
            for (const std::string &l : session(sock, "set bob pw\nlookup bob\n")) out += l + "|";
            adt::write_all(p[1], out.data(), out.size());
            _exit(0);
        }
        close(p[1]);
        EXPECT_EQ(std::string(c.set_reply) + "|+OK lookup bob|+OK bye|", read_all(p[0]));
        waitpid(peer, nullptr, 0);
        EXPECT_EQ("+OK set bob", session(sock, "set bob pw\n")[0]); // root may
        stop();
    }
}

TEST_F(Daemon, SocketStartsHandedOverReplacedWhenStaleAndRefusedWhenNotASocket)
{
    config("workers 1");
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", sock.c_str());
    ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a));
    ASSERT_EQ(0, listen(fd, 8));
    ASSERT_TRUE(launch(fd));
    EXPECT_EQ("+OK lookup a", session(sock, "lookup a\n")[0]);
    stop(true); // the socket is systemd's: it stays
    close(fd);  // now a stale socket file that no one answers on
    ASSERT_TRUE(launch());
    EXPECT_EQ("+OK lookup b", session(sock, "lookup b\n")[0]);
    stop();
    write_file(sock, "not a socket");
    EXPECT_FALSE(launch());
    EXPECT_TRUE(contains(read_file(dir + "/out"), "it exists and is not a socket"));
    EXPECT_EQ("not a socket", read_file(sock));
}

TEST(DaemonLog, FourProcessesAcrossRotationsLoseAndTearNoLine)
{
    char t[] = "/tmp/corvane-logs-XXXXXX";
    const std::string dir = mkdtemp(t);
    const int procs = 4, lines = 25000;
    std::vector<pid_t> kids;
    for (int p = 0; p < procs; p++) {
        if ((kids.emplace_back(fork())) != 0) continue;
        adt::Log *x = adt::log_init(adt::LogError);
        adt::log_setup(x, dir.c_str(), "m.log");
        adt::log_set(x);
        adt::log_doflush(x, p % 2 ? 1 : 0); // line by line, and in batches
        adt::log_dorotate(x, 40, 400000);
        for (int i = 0; i < lines; i++) adt::emsg("writer %d line %d padding padding", p, i);
        adt::log_free(&x);
        _exit(0);
    }
    for (pid_t k : kids) waitpid(k, nullptr, 0);
    std::map<std::string, int> seen;
    int files = 0;
    for (const auto &e : fs::directory_iterator(dir)) {
        files++;
        for (const std::string &l : lines_of(read_file(e.path()))) {
            int w = -1, n = -1;
            size_t at = l.find("] Error: writer ");
            sscanf(l.c_str() + std::min(at, l.size()), "] Error: writer %d line %d", &w, &n);
            ASSERT_EQ(l.substr(std::min(at, l.size())), "] Error: writer " + std::to_string(w) +
                                                            " line " + std::to_string(n) +
                                                            " padding padding");
            seen[l.substr(at)]++;
        }
    }
    fs::remove_all(dir);
    EXPECT_GT(files, 5);
    EXPECT_EQ(size_t(procs * lines), seen.size());
    for (auto &[line, n] : seen) ASSERT_EQ(1, n) << line;
}
