// What the tests share: a private temporary directory, whole files read and
// written, a bounded run of a program with chosen input, a child spoken to
// line by line, and looks into /proc at processes, descriptors and memory.
//
// When the environment variable CORVANE_WRAPPER is set, wrapped() puts its
// words before a command line (for example a valgrind command line).
#ifndef TESTS_TESTKIT_H
#define TESTS_TESTKIT_H

#include "adt/log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace testkit
{

namespace fs = std::filesystem;

// A fresh directory under /tmp, removed with everything in it at the end.
struct TempDir {
    std::string path;
    TempDir()
    {
        char tmpl[] = "/tmp/corvane-test-XXXXXX";
        if (mkdtemp(tmpl)) path = tmpl;
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    ~TempDir()
    {
        std::error_code ec;
        if (!path.empty()) fs::remove_all(path, ec);
    }
    // The path of name inside the directory.
    std::string file(const std::string &name) const { return path + "/" + name; }
    fs::path operator/(const std::string &name) const { return fs::path(path) / name; }
};

inline std::string read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Writes text as the whole of path, then gives it mode; answers path.
inline std::string write_file(const fs::path &path, const std::string &text, mode_t mode = 0644)
{
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
    }
    chmod(path.c_str(), mode);
    return path.string();
}

inline std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The lines of the file at path.
inline std::vector<std::string> file_lines(const fs::path &path)
{
    return lines_of(read_file(path));
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

// Replaces every occurrence of from in text by to.
inline std::string replace_all(std::string text, const std::string &from, const std::string &to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The wrapper's words (CORVANE_WRAPPER), then program and args.
inline std::vector<std::string> wrapped(const std::string &program,
                                        const std::vector<std::string> &args = {})
{
    std::vector<std::string> argv;
    if (const char *w = getenv("CORVANE_WRAPPER")) {
        std::istringstream words(w);
        for (std::string word; words >> word;) argv.push_back(word);
    }
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

inline std::vector<char *> c_strings(std::vector<std::string> &words)
{
    std::vector<char *> p;
    for (std::string &w : words) p.push_back(w.data());
    p.push_back(nullptr);
    return p;
}

// A temporary directory with a current log in it that keeps every level
// and is flushed line by line; the log is freed when the object goes.
struct TestLog {
    TempDir dir;
    adt::Log *log = nullptr;
    TestLog() = default;
    TestLog(const TestLog &) = delete;
    TestLog &operator=(const TestLog &) = delete;
    ~TestLog() { adt::log_free(&log); }

    // Starts the log as file in the directory; 1 when it is current.
    int open(const char *file)
    {
        log = adt::log_init(adt::LogDebug);
        if (!log || adt::log_setup(log, dir.path.c_str(), file) != 1) return 0;
        adt::log_set(log);
        adt::log_doflush(log, 1);
        return 1;
    }
    // Everything logged so far.
    std::string text()
    {
        adt::log_flush(log);
        return read_file(log->File);
    }
};

// ---- /proc ----

// Fields of /proc/PID/stat after the command name: state, then ppid.
inline bool proc_stat(pid_t pid, char *state, pid_t *ppid)
{
    std::string s = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close = s.rfind(')');
    if (close == std::string::npos || close + 4 > s.size()) return false;
    std::istringstream rest(s.substr(close + 2));
    return static_cast<bool>(rest >> *state >> *ppid);
}

// Every process id in /proc.
inline std::vector<pid_t> all_processes()
{
    std::vector<pid_t> pids;
    DIR *proc = opendir("/proc");
    while (struct dirent *e = readdir(proc))
        if (e->d_name[0] >= '1' && e->d_name[0] <= '9') pids.push_back(atoi(e->d_name));
    closedir(proc);
    return pids;
}

inline std::string cmdline_of(pid_t pid)
{
    return read_file("/proc/" + std::to_string(pid) + "/cmdline");
}

// The children of pid and their states ('Z' for a zombie).
inline std::vector<std::pair<pid_t, char>> children(pid_t pid)
{
    std::vector<std::pair<pid_t, char>> c;
    for (pid_t p : all_processes()) {
        char state;
        pid_t ppid;
        if (proc_stat(p, &state, &ppid) && ppid == pid) c.push_back({p, state});
    }
    return c;
}

inline int zombies(pid_t pid)
{
    int n = 0;
    for (auto &c : children(pid)) n += c.second == 'Z';
    return n;
}

// Open descriptors of pid, or -1.
inline int descriptors(pid_t pid)
{
    int n = 0;
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!d) return -1;
    while (struct dirent *e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

// Resident memory of pid in kB (VmRSS).
inline long resident_kb(pid_t pid)
{
    std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
    return -1;
}

// Live processes (zombies aside) whose command line mentions text.
inline int processes_mentioning(const std::string &text)
{
    int n = 0;
    for (pid_t p : all_processes()) {
        char state;
        pid_t ppid;
        if (contains(cmdline_of(p), text) && proc_stat(p, &state, &ppid) && state != 'Z') n++;
    }
    return n;
}

// Waits up to timeout_ms for every process that mentions text to end; how
// many are left.
inline int leftovers(const std::string &text, int timeout_ms = 3000)
{
    for (int waited = 0;; waited += 50) {
        int n = processes_mentioning(text);
        if (n == 0 || waited >= timeout_ms) return n;
        usleep(50000);
    }
}

// Kills every process whose command line mentions text.
inline void kill_mentioning(const std::string &text)
{
    for (pid_t p : all_processes())
        if (contains(cmdline_of(p), text)) kill(p, SIGKILL);
}

// ---- a bounded run ----

struct Outcome {
    std::string out;        // standard output
    std::string err;        // standard error
    int status = -1;        // exit status; -1 when it did not exit normally
    bool timed_out = false; // killed at the time limit
};

struct Spec {
    std::vector<std::string> argv; // argv[0] is the program (searched in PATH)
    std::string input;             // standard input, then its end
    bool with_fd3 = false;         // give the child descriptor 3 ...
    std::string fd3;               // ... holding this, then its end
    bool inherit_env = false;      // start from our environment, not an empty one
    std::vector<std::string> env;  // added to it, besides PATH and the sanitizers'
    std::string cwd;               // working directory; empty: ours
    int limit_ms = 120000;         // time limit, killed after it
};

// Runs the program of s, feeding its input, and gathers its output; its
// process group is killed at the time limit.
inline Outcome run(const Spec &s)
{
    Outcome r;
    int in[2], fd3[2] = {-1, -1}, out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err) || (s.with_fd3 && pipe(fd3))) return r;
    std::vector<std::string> env;
    if (s.inherit_env)
        for (char **e = environ; *e; e++) env.push_back(*e);
    env.insert(env.end(), s.env.begin(), s.env.end());
    if (!s.inherit_env) {
        env.push_back("PATH=/usr/local/bin:/usr/bin:/bin");
        for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
            if (getenv(name)) env.push_back(std::string(name) + "=" + getenv(name));
    }
    std::vector<std::string> argv = s.argv;
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (s.with_fd3)
            dup2(fd3[0], 3);
        else
            close(3);
        close_range(4, ~0U, 0);
        if (!s.cwd.empty() && chdir(s.cwd.c_str()) != 0) _exit(127);
        execvpe(argv[0].c_str(), c_strings(argv).data(), c_strings(env).data());
        _exit(127);
    }
    for (int fd : {in[0], fd3[0], out[1], err[1]})
        if (fd >= 0) close(fd);
    if (pid < 0) {
        for (int fd : {in[1], fd3[1], out[0], err[0]})
            if (fd >= 0) close(fd);
        return r;
    }
    setpgid(pid, pid); // at once, so that a kill at the time limit finds the group
    signal(SIGPIPE, SIG_IGN);
    // Both inputs are written as the child takes them, so that neither has
    // to fit a pipe.
    struct Feed {
        int fd;
        const std::string &text;
        size_t done;
    } feeds[2] = {{in[1], s.input, 0}, {fd3[1], s.fd3, 0}};
    for (Feed &f : feeds)
        if (f.fd >= 0) {
            fcntl(f.fd, F_SETFL, O_NONBLOCK);
            if (f.text.empty()) close(std::exchange(f.fd, -1));
        }
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(s.limit_ms);
    pollfd p[4] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {-1, POLLOUT, 0}, {-1, POLLOUT, 0}};
    std::string *into[2] = {&r.out, &r.err};
    while (p[0].fd >= 0 || p[1].fd >= 0) {
        int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                       until - std::chrono::steady_clock::now())
                       .count();
        if (left <= 0) {
            r.timed_out = true;
            break;
        }
        p[2].fd = feeds[0].fd;
        p[3].fd = feeds[1].fd;
        int n = poll(p, 4, left);
        if (n < 0 && errno != EINTR) break;
        for (int i = 0; n > 0 && i < 2; i++) {
            if (p[i].fd < 0 || !p[i].revents) continue;
            char bf[4096];
            ssize_t got = read(p[i].fd, bf, sizeof bf);
            if (got > 0) {
                into[i]->append(bf, (size_t)got);
            } else if (got == 0 || errno != EINTR) {
                close(p[i].fd);
                p[i].fd = -1;
            }
        }
        for (int i = 0; n > 0 && i < 2; i++) {
            Feed &f = feeds[i];
            if (f.fd < 0 || !p[2 + i].revents) continue;
            ssize_t w = write(f.fd, f.text.data() + f.done, f.text.size() - f.done);
            if (w > 0) f.done += (size_t)w;
            if ((w < 0 && errno != EAGAIN && errno != EINTR) || f.done == f.text.size())
                close(std::exchange(f.fd, -1));
        }
    }
    for (int fd : {p[0].fd, p[1].fd, feeds[0].fd, feeds[1].fd})
        if (fd >= 0) close(fd);
    if (r.timed_out) kill(-pid, SIGKILL);
    int status;
    // The output ended, so the child has ended or is about to.
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!r.timed_out && WIFEXITED(status)) r.status = WEXITSTATUS(status);
    return r;
}

// ---- a child spoken to line by line ----

// What becomes of a child's standard error.
enum class Stderr {
    Collect, // read into errors()
    Inherit, // ours
    Closed,  // descriptor 2 closed, as Corvane starts its modules
};

// A program started with pipes on its standard input and output.
class Child
{
  public:
    Child() = default;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child() { stop(); }

    // Starts argv (argv[0] searched in PATH) in cwd (empty: ours), with no
    // descriptor of ours but the pipes (and the file of inherit()). A child
    // can be started again once it ended.
    bool start(std::vector<std::string> argv, const std::string &cwd = "",
               Stderr err = Stderr::Collect)
    {
        stop();
        pending_in_.clear();
        out_text_.clear();
        err_text_.clear();
        out_used_ = 0;
        close_input_ = false;
        int in[2], out[2], errp[2] = {-1, -1};
        if (pipe(in) || pipe(out) || (err == Stderr::Collect && pipe(errp))) return false;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            if (err == Stderr::Collect) dup2(errp[1], 2);
            if (err == Stderr::Closed) close(2);
            close_range(3, ~0U, 0);
            if (!inherit_.empty() && open(inherit_.c_str(), O_RDONLY) != 3) _exit(127);
            if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
            execvp(argv[0].c_str(), c_strings(argv).data());
            _exit(127);
        }
        for (int fd : {in[0], out[1], errp[1]})
            if (fd >= 0) close(fd);
        in_ = in[1];
        out_ = out[0];
        err_ = errp[0];
        fcntl(in_, F_SETFL, O_NONBLOCK);
        ::signal(SIGPIPE, SIG_IGN);
        return pid_ > 0;
    }

    pid_t pid() const { return pid_; }

    // The next start opens path as the program's descriptor 3, as a caller
    // that does not mark its descriptors close-on-exec would leave it.
    void inherit(const std::string &path) { inherit_ = path; }

    // Queues text for the program's standard input.
    void send(const std::string &text) { pending_in_ += text; }

    void close_input() { close_input_ = true; }

    // The next output line without its line feed, or "<eof>" or "<timeout>".
    std::string line(int timeout_ms = 60000)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            size_t lf = out_text_.find('\n', out_used_);
            if (lf != std::string::npos) {
                std::string l = out_text_.substr(out_used_, lf - out_used_);
                out_used_ = lf + 1;
                return l;
            }
            if (out_ < 0) return "<eof>";
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            if (left.count() <= 0) return "<timeout>";
            pump((int)std::min<long>(left.count(), 200));
        }
    }

    // Sends a line and returns the reply line.
    std::string ask(const std::string &command, int timeout_ms = 60000)
    {
        send(command + "\n");
        return line(timeout_ms);
    }

    // Sends a search request and returns its lines, the final one last.
    std::vector<std::string> search(const std::string &request)
    {
        std::vector<std::string> lines = {ask(request)};
        while (lines.back().rfind("+DATA ", 0) == 0) lines.push_back(line());
        return lines;
    }

    // Closes the input and collects the rest of the output until the
    // program ends; its exit status, or -1 (it is then killed).
    int finish(int timeout_ms = 120000)
    {
        close_input();
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while ((out_ >= 0 || err_ >= 0) && std::chrono::steady_clock::now() < until) pump(200);
        if (out_ >= 0 || err_ >= 0) {
            stop();
            return -1;
        }
        int status = -1;
        if (waitpid(pid_, &status, 0) == pid_) pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Waits for the program's end up to timeout_ms, taking its output
    // meanwhile; its wait status, or -1 when it is still running.
    int wait(int timeout_ms = 30000)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (pid_ > 0) {
            int status;
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                return status;
            }
            if (r < 0 || std::chrono::steady_clock::now() >= until) return -1;
            pump(10);
        }
        return -1;
    }

    void signal(int sig)
    {
        if (pid_ > 0) kill(pid_, sig);
    }

    // Output not yet taken by line(), and everything written to standard error.
    std::string rest() const { return out_text_.substr(out_used_); }
    const std::string &errors() const { return err_text_; }

    // Ends the program for good and closes the pipes.
    void stop()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        for (int *fd : {&in_, &out_, &err_})
            if (*fd >= 0) close(std::exchange(*fd, -1));
    }

  private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    std::string pending_in_, out_text_, err_text_, inherit_;
    size_t out_used_ = 0;
    bool close_input_ = false;

    // Moves data for up to timeout_ms: input out, output and errors in.
    void pump(int timeout_ms)
    {
        if (in_ >= 0 && pending_in_.empty() && close_input_) close(std::exchange(in_, -1));
        struct pollfd p[3] = {
            {out_, POLLIN, 0}, {err_, POLLIN, 0}, {pending_in_.empty() ? -1 : in_, POLLOUT, 0}};
        if (poll(p, 3, timeout_ms) < 0) return;
        char bf[65536];
        for (int i = 0; i < 2; i++) {
            int &fd = i == 0 ? out_ : err_;
            if (fd < 0 || !p[i].revents) continue;
            ssize_t n = read(fd, bf, sizeof bf);
            if (n > 0)
                (i == 0 ? out_text_ : err_text_).append(bf, (size_t)n);
            else if (n == 0 || errno != EINTR)
                close(std::exchange(fd, -1));
        }
        if (in_ >= 0 && p[2].revents) {
            ssize_t n = write(in_, pending_in_.data(), pending_in_.size());
            if (n > 0) pending_in_.erase(0, (size_t)n);
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                pending_in_.clear();
                close(std::exchange(in_, -1));
            }
        }
    }
};

// A private working directory for runs of corvane: its files, its log, and
// the processes started there.
class Workdir : public ::testing::Test
{
  protected:
    fs::path dir;

    void SetUp() override
    {
        char tmpl[] = "/tmp/corvane-run-XXXXXX";
        dir = mkdtemp(tmpl);
    }
    // Processes of this test that are still running (a failed test's
    // modules) are ended, so that they do not outlive the test.
    void TearDown() override
    {
        kill_mentioning(dir.string());
        fs::remove_all(dir);
    }

    void write(const std::string &name, const std::string &text) const
    {
        write_file(dir / name, text);
    }

    std::string log() const { return read_file(dir / "corvane.log"); }

    // Processes that mention this directory and outlive a wait for them.
    int leftovers(int timeout_ms = 3000) const
    {
        return testkit::leftovers(dir.string(), timeout_ms);
    }
};

} // namespace testkit

#endif
