// What the tests share: a private temporary directory, whole files, a child
// spoken to line by line, a bounded run of a program, and looks into /proc.
// CORVANE_WRAPPER, when set, puts its words (a valgrind command line, say)
// before the command lines made by wrapped().
#ifndef TESTS_TESTKIT_H
#define TESTS_TESTKIT_H

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <poll.h>
#include <pwd.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testkit
{

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

// A fresh directory under /tmp (dir, and path as text), removed at the end.
struct TempDir {
    std::string path = mkdtemp(std::string("/tmp/corvane-test-XXXXXX").data());
    fs::path dir = path;
    TempDir() = default;
    TempDir(const TempDir &) = delete;
    ~TempDir() { fs::remove_all(dir); }
    fs::path operator/(const std::string &name) const { return dir / name; }
    std::string at(const std::string &name) const { return (dir / name).string(); }
};

inline std::string read_file(const fs::path &path)
{
    std::stringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

// Writes text as the whole of path with mode; answers path.
inline std::string write_file(const fs::path &path, const std::string &text, mode_t mode = 0644)
{
    std::ofstream(path, std::ios::binary) << text;
    chmod(path.c_str(), mode);
    return path.string();
}

inline Lines lines_of(const std::string &text)
{
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A copy of the program bin that every user may run, for the tests whose
// servers run it as their own user (dovecot, www-data, proxy, nobody): the
// build tree itself may lie in a directory only its owner can enter. The
// copies live in one directory per test process, removed at its end.
inline std::string public_copy(const std::string &bin)
{
    static TempDir shared;
    chmod(shared.path.c_str(), 0755);
    fs::path to = shared / fs::path(bin).filename().string();
    if (!fs::exists(to)) fs::copy_file(bin, to);
    chmod(to.c_str(), 0755);
    return to.string();
}

// The fields of text separated by sep (blanks: words, none empty).
inline Lines fields(const std::string &text, char sep = ' ')
{
    Lines f(1);
    for (char c : text) c == sep ? void(f.emplace_back()) : f.back().push_back(c);
    if (sep == ' ') std::erase(f, "");
    return f;
}

// f() within timeout_ms, asked every 50 ms.
template <class F> bool eventually(F f, int timeout_ms = 60000)
{
    for (auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);; usleep(50000)) {
        if (f()) return true;
        if (Clock::now() >= until) return false;
    }
}

// A port of 127.0.0.1 that no one listens on just now.
inline int free_port()
{
    sockaddr_in a = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof a;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    bind(fd, (sockaddr *)&a, len), getsockname(fd, (sockaddr *)&a, &len), close(fd);
    return ntohs(a.sin_port);
}

// A Unix socket connected to path and sent text, or (listening) bound there; or -1.
inline int socket_at(const std::string &path, const std::string &text = "", bool listening = false)
{
    sockaddr_un a = {AF_UNIX, {}};
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    auto *sa = reinterpret_cast<sockaddr *>(&a);
    if (listening ? bind(fd, sa, sizeof a) || listen(fd, 8)
                  : connect(fd, sa, sizeof a) ||
                        (!text.empty() && write(fd, text.data(), text.size()) < 0))
        return close(fd), -1;
    return fd;
}

inline bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

inline int count(const std::string &text, const std::string &part)
{
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
    return n;
}

inline std::string replace_all(std::string text, const std::string &from, const std::string &to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

inline Lines wrapped(const std::string &program, const Lines &args = {})
{
    Lines argv;
    std::istringstream words(getenv("CORVANE_WRAPPER") ? getenv("CORVANE_WRAPPER") : "");
    for (std::string word; words >> word;) argv.push_back(word);
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// ---- /proc ----

// The fields of /proc/PID/stat after the command name: state, ppid, ...
inline std::string stat_of(pid_t pid)
{
    std::string s = read_file("/proc/" + std::to_string(pid) + "/stat");
    return s.rfind(')') == std::string::npos ? "" : s.substr(s.rfind(')') + 2);
}

inline std::vector<pid_t> children(pid_t parent)
{
    std::vector<pid_t> c;
    for (auto &e : fs::directory_iterator("/proc"))
        if (pid_t p = atoi(e.path().filename().c_str());
            p > 0 && atoi(stat_of(p).c_str() + 2) == parent)
            c.push_back(p);
    return c;
}

inline int zombies(pid_t parent)
{
    int n = 0;
    for (pid_t c : children(parent)) n += stat_of(c)[0] == 'Z';
    return n;
}

// The "Uid:", "Gid:" and "Groups:" lines of a process's status, joined.
inline std::string ids(pid_t pid)
{
    std::string ids;
    for (const std::string &l : lines_of(read_file("/proc/" + std::to_string(pid) + "/status")))
        if (l.starts_with("Uid:") || l.starts_with("Gid:") || l.starts_with("Groups:"))
            ids += l + "|";
    return ids;
}

// Live processes whose command line mentions text, once none is left or
// timeout_ms passed; with kill, they are killed.
inline int leftovers(const std::string &text, int timeout_ms = 3000, bool kill = false)
{
    for (auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);; usleep(50000)) {
        int n = 0;
        for (auto &e : fs::directory_iterator("/proc"))
            if (pid_t p = atoi(e.path().filename().c_str());
                p > 0 && contains(read_file(e.path() / "cmdline"), text) && stat_of(p)[0] != 'Z')
                n++, kill && ::kill(p, SIGKILL);
        if (n == 0 || Clock::now() >= until) return n;
    }
}

// ---- a child spoken to line by line ----

// What becomes of a child's standard error: read into errors(), ours, or closed.
enum class Stderr { Collect, Inherit, Closed };

class Child
{
  public:
    Child() = default;
    Child(const Child &) = delete;
    ~Child() { stop(); }

    // Starts argv (argv[0] searched in PATH) in its own process group, in cwd
    // (empty: ours), with no descriptor of ours but its pipes; env (when
    // given) replaces the environment; fd3 (when given) becomes descriptor 3
    // holding that text, then its end.
    bool start(Lines argv, const std::string &cwd = "", Stderr err = Stderr::Collect,
               const Lines *env = nullptr, const std::string *fd3 = nullptr)
    {
        stop();
        pending_ = out_ = err_ = "", used_ = 0, closing_ = false;
        int in[2], out[2], e[2] = {-1, -1}, three[2] = {-1, -1};
        if (pipe(in) || pipe(out) || (err == Stderr::Collect && pipe(e)) ||
            (fd3 &&
             (pipe(three) || write(three[1], fd3->data(), fd3->size()) < 0 || close(three[1]))))
            return false;
        std::vector<char *> a, v;
        for (std::string &w : argv) a.push_back(w.data());
        Lines envs = env ? *env : Lines();
        for (std::string &w : envs) v.push_back(w.data());
        a.push_back(nullptr), v.push_back(nullptr);
        if ((pid_ = fork()) == 0) {
            setpgid(0, 0);
            dup2(in[0], 0), dup2(out[1], 1), err == Stderr::Closed ? close(2) : dup2(e[1], 2);
            dup2(three[0], 3);
            close_range(fd3 ? 4 : 3, ~0U, 0);
            if ((!inherit_.empty() && open(inherit_.c_str(), O_RDONLY) != 3) ||
                (!cwd.empty() && chdir(cwd.c_str())))
                _exit(127);
            execvpe(a[0], a.data(), env ? v.data() : environ);
            _exit(127);
        }
        for (int fd : {in[0], out[1], e[1], three[0]}) close(fd);
        setpgid(pid_, pid_);
        in_ = in[1], out_fd_ = out[0], err_fd_ = e[0];
        fcntl(in_, F_SETFL, O_NONBLOCK);
        ::signal(SIGPIPE, SIG_IGN);
        return pid_ > 0;
    }

    pid_t pid() const { return pid_; }
    // The next start opens path as descriptor 3, as a careless caller would leave it.
    void inherit(const std::string &path) { inherit_ = path; }
    void send(const std::string &text) { pending_ += text; }
    void close_input() { closing_ = true; }

    // The next output line without its line feed, or "<eof>" or "<timeout>".
    std::string line(int timeout_ms = 60000)
    {
        for (auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);; pump(20)) {
            if (size_t lf = out_.find('\n', used_); lf != std::string::npos) {
                std::string l = out_.substr(used_, lf - used_);
                used_ = lf + 1;
                return l;
            }
            if (out_fd_ < 0) return "<eof>";
            if (Clock::now() >= until) return "<timeout>";
        }
    }
    std::string ask(const std::string &command, int timeout_ms = 60000)
    {
        send(command + "\n");
        return line(timeout_ms);
    }
    // A search's lines, the final one last.
    Lines search(const std::string &request)
    {
        Lines lines = {ask(request)};
        while (lines.back().starts_with("+DATA ")) lines.push_back(line());
        return lines;
    }

    // Closes the input and takes the rest of the output until the program
    // ends; its exit status, or -1 (then it is killed).
    int finish(int timeout_ms = 120000)
    {
        close_input();
        auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while ((out_fd_ >= 0 || err_fd_ >= 0) && Clock::now() < until) pump(200);
        int status = out_fd_ < 0 && err_fd_ < 0 ? wait(timeout_ms) : -1;
        stop();
        return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Waits up to timeout_ms for the end, taking output meanwhile; the wait
    // status, or -1 while it runs.
    int wait(int timeout_ms = 30000)
    {
        auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
        for (int status; pid_ > 0 && Clock::now() < until; pump(10))
            if (waitpid(pid_, &status, WNOHANG) == pid_) return pid_ = -1, status;
        return -1;
    }

    void signal(int sig) { pid_ > 0 && kill(pid_, sig); }
    std::string rest() const { return out_.substr(used_); }
    const std::string &errors() const { return err_; }

    // Kills the program's process group and closes the pipes.
    void stop()
    {
        if (pid_ > 0)
            kill(-pid_, SIGKILL), kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0), pid_ = -1;
        for (int *fd : {&in_, &out_fd_, &err_fd_})
            if (*fd >= 0) close(std::exchange(*fd, -1));
    }

  private:
    pid_t pid_ = -1;
    int in_ = -1, out_fd_ = -1, err_fd_ = -1;
    std::string pending_, out_, err_, inherit_;
    size_t used_ = 0;
    bool closing_ = false;

    void pump(int timeout_ms)
    {
        if (in_ >= 0 && pending_.empty() && closing_) close(std::exchange(in_, -1));
        pollfd p[3] = {
            {out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}, {pending_.empty() ? -1 : in_, POLLOUT, 0}};
        if (poll(p, 3, timeout_ms) < 0) return;
        char bf[65536];
        for (int i = 0; i < 2; i++) {
            int &fd = i == 0 ? out_fd_ : err_fd_;
            ssize_t n = fd >= 0 && p[i].revents ? read(fd, bf, sizeof bf) : -2;
            if (n > 0) (i == 0 ? out_ : err_).append(bf, n);
            if (n == 0 || (n == -1 && errno != EINTR)) close(std::exchange(fd, -1));
        }
        ssize_t n = in_ >= 0 && p[2].revents ? write(in_, pending_.data(), pending_.size()) : 0;
        if (n > 0) pending_.erase(0, n);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            pending_.clear(), close(std::exchange(in_, -1));
    }
};

// ---- a server ----

// A server in the foreground as our child, in a process group of its own
// that is killed when it is destroyed; its output is appended to the file
// out. A socket handed over (>= 0) becomes its descriptor 3, as systemd does.
struct Server {
    pid_t pid = -1, group = -1;
    Server() = default;
    Server(const Server &) = delete;
    ~Server() { stop(), group > 0 && kill(-group, SIGKILL); }

    // True once ready() holds (within 60 s) while it runs.
    bool start(Lines argv, const fs::path &out, const std::function<bool()> &ready, int handed = -1)
    {
        if ((pid = fork()) == 0) {
            setpgid(0, 0);
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            dup2(fd, 1), dup2(fd, 2), dup2(handed, 3), fcntl(3, F_SETFD, 0);
            if (handed >= 0) setenv("LISTEN_FDS", "1", 1);
            if (handed >= 0) setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
            close_range(handed >= 0 ? 4 : 3, ~0U, 0);
            std::vector<char *> a;
            for (std::string &w : argv) a.push_back(w.data());
            a.push_back(nullptr);
            execv(a[0], a.data());
            _exit(127);
        }
        setpgid(pid, group = pid);
        eventually([&] { return waitpid(pid, nullptr, WNOHANG) == pid ? (pid = -1) : ready(); });
        return pid > 0 && ready();
    }
    // SIGTERM, and SIGKILL when it has not ended within 60 s; its wait status.
    int stop()
    {
        int status = -1;
        if (pid > 0 && kill(pid, SIGTERM) == 0 &&
            !eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }))
            kill(pid, SIGKILL), waitpid(pid, &status, 0);
        return pid = -1, status;
    }
};

// ---- a bounded run ----

struct Outcome {
    std::string out, err;   // standard output and error
    int status = -1;        // exit status; -1 when it did not exit normally
    bool timed_out = false; // killed at the time limit
};

struct Spec {
    Lines argv;               // argv[0] is the program (searched in PATH)
    std::string input;        // standard input, then its end
    bool with_fd3 = false;    // give the child descriptor 3 ...
    std::string fd3;          // ... holding this, then its end
    bool inherit_env = false; // start from our environment, not an empty one
    Lines env;                // added to it, besides PATH and the sanitizers'
    std::string cwd;          // working directory; empty: ours
    int limit_ms = 120000;    // time limit; the process group is killed after it
};

inline Outcome run(const Spec &s)
{
    Lines env;
    for (char **e = environ; s.inherit_env && *e; e++) env.push_back(*e);
    env.insert(env.end(), s.env.begin(), s.env.end());
    if (!s.inherit_env) env.push_back("PATH=/usr/local/bin:/usr/bin:/bin");
    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (!s.inherit_env && getenv(name)) env.push_back(std::string(name) + "=" + getenv(name));
    Outcome r;
    Child c;
    if (!c.start(s.argv, s.cwd, Stderr::Collect, &env, s.with_fd3 ? &s.fd3 : nullptr)) return r;
    c.send(s.input);
    auto t0 = Clock::now();
    r.status = c.finish(s.limit_ms);
    r.timed_out = r.status == -1 && Clock::now() - t0 >= std::chrono::milliseconds(s.limit_ms);
    r.out = c.rest(), r.err = c.errors();
    return r;
}

// ---- the real servers, private: in a directory, on 127.0.0.1 ----

// A Dovecot of its own in dir (made here) with the lines passdb (its passdb
// and userdb), logging to dir/dovecot.log; its configuration file.
inline std::string dovecot_start(Server &s, const fs::path &dir, const std::string &passdb)
{
    fs::create_directories(dir);
    std::string conf = write_file(dir / "dovecot.conf",
                                  "base_dir = " + (dir / "run").string() +
                                      "\nstate_dir = " + (dir / "state").string() +
                                      "\nlog_path = " + (dir / "dovecot.log").string() +
                                      "\nprotocols =\nlisten = 127.0.0.1\nssl = no\n"
                                      // The sanitizers reserve more address space than allowed.
                                      "default_vsz_limit = 0\nauth_failure_delay = 0\n"
                                      "auth_verbose = yes\n" +
                                      passdb);
    EXPECT_TRUE(s.start({"/usr/sbin/dovecot", "-F", "-c", conf}, dir / "dovecot.err", [&] {
        return fs::exists(dir / "run/auth-client");
    })) << read_file(dir / "dovecot.err");
    return conf;
}

// What doveadm says of a login to the Dovecot of conf: "auth succeeded",
// "auth failed", "temp_fail" and more. rip is the client's address.
inline std::string doveadm_auth(const std::string &conf, const std::string &user,
                                const std::string &password, const std::string &rip = "")
{
    Lines argv = {"/usr/bin/doveadm", "-c", conf, "auth", "test", "-x", "no-penalty"};
    if (!rip.empty()) argv.insert(argv.end(), {"-x", "rip=" + rip});
    argv.insert(argv.end(), {user, password});
    Outcome r = run({.argv = argv});
    return r.out + r.err;
}

// An Apache of its own in dir (made here), run as www-data with the
// modules of basic authentication, module and lines; its documents are
// dir/htdocs/hello.txt and dir/htdocs/private/hello.txt. Its address.
inline std::string apache_start(Server &s, const fs::path &dir, const std::string &module,
                                const std::string &lines)
{
    fs::create_directories(dir / "htdocs/private");
    for (const char *d : {"", "/htdocs", "/htdocs/private"})
        chmod((dir.string() + d).c_str(), 0755);
    write_file(dir / "htdocs/hello.txt", "hello\n");
    write_file(dir / "htdocs/private/hello.txt", "hi\n");
    std::string port = std::to_string(free_port()), conf = "ServerRoot " + dir.string() + "\n";
    for (std::string m :
         Lines{"mpm_prefork", "authn_core", "authz_core", "authz_user", "auth_basic", module})
        conf += "LoadModule " + m + "_module /usr/lib/apache2/modules/mod_" + m + ".so\n";
    write_file(dir / "httpd.conf", conf + "Listen 127.0.0.1:" + port +
                                       "\nServerName 127.0.0.1\nUser www-data\nGroup www-data\n" +
                                       "PidFile " + (dir / "httpd.pid").string() + "\nErrorLog " +
                                       (dir / "error.log").string() + "\nDocumentRoot " +
                                       (dir / "htdocs").string() + "\n" + lines);
    EXPECT_TRUE(s.start({"/usr/sbin/apache2", "-f", dir / "httpd.conf", "-DFOREGROUND"},
                        dir / "httpd.err", [&] { return fs::exists(dir / "httpd.pid"); }))
        << read_file(dir / "httpd.err");
    return "http://127.0.0.1:" + port;
}

// A Squid of its own in dir (made here, and given to proxy, the user it
// runs as) on a port of 127.0.0.1 with lines (its auth_param and
// http_access), logging to dir/cache.log; its address. It serves a while
// later: ask it with http_code, which waits for it.
inline std::string squid_start(Server &s, const fs::path &dir, const std::string &lines)
{
    fs::create_directories(dir);
    if (const passwd *pw = getpwnam("proxy")) (void)!chown(dir.c_str(), pw->pw_uid, pw->pw_gid);
    std::string port = std::to_string(free_port()), d = dir.string();
    write_file(dir / "squid.conf", "http_port 127.0.0.1:" + port + "\npid_filename " + d +
                                       "/pid\naccess_log stdio:" + d + "/access.log\ncache_log " +
                                       d + "/cache.log\ncoredump_dir " + d +
                                       "\ncache deny all\nvisible_hostname localhost\n"
                                       "shutdown_lifetime 0 seconds\n" +
                                       lines);
    EXPECT_TRUE(s.start({"/usr/sbin/squid", "-N", "-f", d + "/squid.conf"}, dir / "squid.out",
                        [] { return true; }));
    return "127.0.0.1:" + port;
}

// The HTTP status code curl gets with args (a proxy that is still starting
// is waited for).
inline std::string http_code(const Lines &args)
{
    Lines argv = fields("/usr/bin/curl -s -o /dev/null -w %{http_code} --retry 30 "
                        "--retry-max-time 30 --retry-delay 1 --retry-connrefused");
    argv.insert(argv.end(), args.begin(), args.end());
    return run({.argv = argv}).out;
}

#ifdef CORVANE_BIN
// A private directory for runs of the built corvane over scripted modules;
// processes of a failed test that still mention it are ended with it.
class CorvaneDir : public ::testing::Test
{
  protected:
    TempDir tmp;
    fs::path &dir = tmp.dir;
    void TearDown() override { leftovers(tmp.path, 0, true); }
    void write(const std::string &name, const std::string &text) const
    {
        write_file(dir / name, text);
    }
    std::string log() const { return read_file(dir / "corvane.log"); }
    // The binary line of module NAME answering from script; what it is sent
    // goes to NAME.req, read by sent(NAME).
    std::string module(const std::string &name, const std::string &script) const
    {
        write(name + ".script", script);
        return TEST_PROGS_DIR "/scriptmod " + tmp.at(name + ".script") + " " +
               tmp.at(name + ".req");
    }
    std::string sent(const std::string &name) const { return read_file(dir / (name + ".req")); }
    // Runs program (corvane) in cwd (empty: the directory); no module may outlive it.
    Outcome run(const Lines &args, const std::string &input = "", const std::string &cwd = "",
                const std::string &program = CORVANE_BIN)
    {
        Outcome r = testkit::run({.argv = wrapped(program, args),
                                  .input = input,
                                  .inherit_env = true,
                                  .cwd = cwd.empty() ? tmp.path : cwd});
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(0, leftovers(tmp.path, 0)) << "a module outlived corvane";
        return r;
    }
};
#endif

} // namespace testkit

#endif
