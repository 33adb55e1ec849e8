// What the tests share: a private temporary directory, whole files, a
// bounded run of a program, a child spoken to line by line, and looks into
// /proc at processes and descriptors. CORVANE_WRAPPER, when set, puts its
// words (a valgrind command line, say) before the command lines of wrapped().
#ifndef TESTS_TESTKIT_H
#define TESTS_TESTKIT_H

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace testkit
{

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// A fresh directory under /tmp, removed with everything in it at the end.
struct TempDir {
    fs::path dir;
    std::string path; // the same, as text
    fs::path operator/(const std::string &name) const { return dir / name; }
    TempDir()
    {
        char tmpl[] = "/tmp/corvane-test-XXXXXX";
        path = mkdtemp(tmpl) ? tmpl : "";
        dir = path;
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    ~TempDir()
    {
        std::error_code ec;
        if (!path.empty()) fs::remove_all(dir, ec);
    }
};

inline std::string read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Writes text as the whole of path with mode; answers path.
inline std::string write_file(const fs::path &path, const std::string &text, mode_t mode = 0644)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
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

// The wrapper's words (CORVANE_WRAPPER), then program and args.
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

inline std::vector<pid_t> children(pid_t parent)
{
    std::vector<pid_t> c;
    for (auto &e : fs::directory_iterator("/proc")) {
        std::string s = read_file(e.path() / "stat");
        size_t close = s.rfind(')');
        if (close != std::string::npos && atoi(s.c_str() + close + 4) == parent)
            c.push_back(atoi(e.path().filename().c_str()));
    }
    return c;
}

inline char state_of(pid_t pid)
{
    std::string s = read_file("/proc/" + std::to_string(pid) + "/stat");
    return s.rfind(')') == std::string::npos ? '?' : s[s.rfind(')') + 2];
}

inline int zombies(pid_t parent)
{
    int n = 0;
    for (pid_t c : children(parent)) n += state_of(c) == 'Z';
    return n;
}

inline int descriptors(pid_t pid)
{
    std::error_code ec;
    auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
    return ec ? -1 : (int)std::distance(it, fs::directory_iterator());
}

// Resident memory of pid in kB (VmRSS).
inline long resident_kb(pid_t pid)
{
    std::string s = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = s.find("VmRSS:");
    return at == std::string::npos ? -1 : atol(s.c_str() + at + 6);
}

// Live processes (zombies aside) whose command line mentions text; with
// kill, they are killed.
inline int processes_mentioning(const std::string &text, bool kill = false)
{
    int n = 0;
    for (auto &e : fs::directory_iterator("/proc")) {
        pid_t pid = atoi(e.path().filename().c_str());
        if (pid <= 0 || !contains(read_file(e.path() / "cmdline"), text) || state_of(pid) == 'Z')
            continue;
        n++;
        if (kill) ::kill(pid, SIGKILL);
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

// ---- a child spoken to line by line ----

enum class Stderr { Collect, Inherit, Closed };

class Child
{
  public:
    Child() = default;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child() { stop(); }

    // Starts argv (argv[0] searched in PATH) in its own process group, in cwd
    // (empty: ours), with no descriptor of ours but its pipes; env (when
    // given) replaces the environment; fd3 (when given) is its descriptor 3,
    // holding that text then its end.
    bool start(Lines argv, const std::string &cwd = "", Stderr err = Stderr::Collect,
               const Lines *env = nullptr, const std::string *fd3 = nullptr)
    {
        stop();
        pending_.clear(), out_.clear(), err_.clear(), used_ = 0, closing_ = false;
        int in[2], out[2], errp[2] = {-1, -1}, three[2] = {-1, -1};
        if (pipe(in) || pipe(out) || (err == Stderr::Collect && pipe(errp)) ||
            (fd3 && (pipe(three) || write(three[1], fd3->data(), fd3->size()) < 0)))
            return false;
        if (three[1] >= 0) close(three[1]);
        Lines e = env ? *env : Lines();
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            dup2(in[0], 0), dup2(out[1], 1);
            if (err == Stderr::Collect) dup2(errp[1], 2);
            if (err == Stderr::Closed) close(2);
            if (fd3) dup2(three[0], 3);
            close_range(fd3 ? 4 : 3, ~0U, 0);
            if (!inherit_.empty() && open(inherit_.c_str(), O_RDONLY) != 3) _exit(127);
            if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
            std::vector<char *> a, v;
            for (std::string &w : argv) a.push_back(w.data());
            for (std::string &w : e) v.push_back(w.data());
            a.push_back(nullptr), v.push_back(nullptr);
            execvpe(a[0], a.data(), env ? v.data() : environ);
            _exit(127);
        }
        for (int fd : {in[0], out[1], errp[1], three[0]})
            if (fd >= 0) close(fd);
        if (pid_ > 0) setpgid(pid_, pid_);
        in_ = in[1], out_fd_ = out[0], err_fd_ = errp[0];
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
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            size_t lf = out_.find('\n', used_);
            if (lf != std::string::npos) {
                std::string l = out_.substr(used_, lf - used_);
                used_ = lf + 1;
                return l;
            }
            if (out_fd_ < 0) return "<eof>";
            if (std::chrono::steady_clock::now() >= until) return "<timeout>";
            pump(20);
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
        while (lines.back().rfind("+DATA ", 0) == 0) lines.push_back(line());
        return lines;
    }

    // Closes the input, takes the rest of the output until the program ends;
    // its exit status, or -1 (killed at the time limit, or not exited).
    int finish(int timeout_ms = 120000)
    {
        close_input();
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while ((out_fd_ >= 0 || err_fd_ >= 0) && std::chrono::steady_clock::now() < until)
            pump(200);
        int status = out_fd_ >= 0 || err_fd_ >= 0 ? -1 : wait(timeout_ms);
        if (status == -1) stop();
        return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Waits up to timeout_ms for the end, taking output meanwhile; the wait
    // status, or -1 while it runs.
    int wait(int timeout_ms = 30000)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (int status; pid_ > 0; pump(10)) {
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                return status;
            }
            if (r < 0 || std::chrono::steady_clock::now() >= until) return -1;
        }
        return -1;
    }

    void signal(int sig)
    {
        if (pid_ > 0) kill(pid_, sig);
    }
    std::string rest() const { return out_.substr(used_); }
    const std::string &errors() const { return err_; }

    // Kills the program's process group for good and closes the pipes.
    void stop()
    {
        if (pid_ > 0) {
            kill(-pid_, SIGKILL), kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
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
            if (fd < 0 || !p[i].revents) continue;
            ssize_t n = read(fd, bf, sizeof bf);
            if (n > 0) (i == 0 ? out_ : err_).append(bf, (size_t)n);
            if (n == 0 || (n < 0 && errno != EINTR)) close(std::exchange(fd, -1));
        }
        if (in_ >= 0 && p[2].revents) {
            ssize_t n = write(in_, pending_.data(), pending_.size());
            if (n > 0) pending_.erase(0, (size_t)n);
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                pending_.clear(), close(std::exchange(in_, -1));
        }
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
    auto t0 = std::chrono::steady_clock::now();
    r.status = c.finish(s.limit_ms);
    r.timed_out = r.status == -1 &&
                  std::chrono::steady_clock::now() - t0 >= std::chrono::milliseconds(s.limit_ms);
    r.out = c.rest();
    r.err = c.errors();
    return r;
}

// A private working directory for runs of corvane; processes of a failed
// test that still mention it are ended with it.
class Workdir : public ::testing::Test
{
  protected:
    TempDir tmp;
    fs::path &dir = tmp.dir;
    void TearDown() override { processes_mentioning(dir.string(), true); }
    void write(const std::string &name, const std::string &text) const
    {
        write_file(dir / name, text);
    }
    std::string log() const { return read_file(dir / "corvane.log"); }
    int leftovers(int timeout_ms = 3000) const
    {
        return testkit::leftovers(dir.string(), timeout_ms);
    }
};

} // namespace testkit

#endif
