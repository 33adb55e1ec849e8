// Test helper for running the built corvane program end to end: a private
// working directory, a corvane session spoken to line by line (or fed a
// whole input at once), and looks into /proc at the program's descriptors,
// memory and child processes.
//
// When the environment variable CORVANE_WRAPPER is set, its words are put
// before the program's command line (for example a valgrind command line);
// anything the wrapper writes to standard error fails the test.
#ifndef TESTS_CORVANE_RUN_H
#define TESTS_CORVANE_RUN_H

#include <gtest/gtest.h>

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
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace run
{

namespace fs = std::filesystem;

inline std::string read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

inline bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

inline size_t count(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
    return n;
}

// The command line to execute: the wrapper's words, then program and args.
inline std::vector<std::string> command_line(const std::string &program,
                                             const std::vector<std::string> &args)
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

// Open descriptors of pid.
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
        std::string cmdline = read_file("/proc/" + std::to_string(p) + "/cmdline");
        char state;
        pid_t ppid;
        if (cmdline.find(text) != std::string::npos && proc_stat(p, &state, &ppid) && state != 'Z')
            n++;
    }
    return n;
}

// One run of a program with pipes on its standard input, output and error.
class Session
{
  public:
    Session() = default;
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    ~Session() { kill_now(); }

    // Starts program in cwd; a session can be started again once it ended.
    bool start(const std::string &program, const std::vector<std::string> &args,
               const fs::path &cwd)
    {
        kill_now();
        pending_in_.clear();
        out_text_.clear();
        err_text_.clear();
        out_used_ = 0;
        close_input_ = false;
        int in[2], out[2], err[2];
        if (pipe(in) || pipe(out) || pipe(err)) return false;
        std::vector<std::string> words = command_line(program, args);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(err[1], 2);
            // Nothing of ours but the three pipes, and the file to inherit.
            close_range(3, ~0U, 0);
            if (!inherit_.empty() && open(inherit_.c_str(), O_RDONLY) != 3) _exit(127);
            if (chdir(cwd.c_str()) != 0) _exit(127);
            std::vector<char *> argv;
            for (std::string &w : words) argv.push_back(w.data());
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        close(err[1]);
        in_ = in[1];
        out_ = out[0];
        err_ = err[0];
        fcntl(in_, F_SETFL, O_NONBLOCK);
        signal(SIGPIPE, SIG_IGN);
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

    // Closes the input and collects the rest of the output until the
    // program ends; its exit status, or -1 (it is then killed).
    int finish(int timeout_ms = 120000)
    {
        close_input();
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while ((out_ >= 0 || err_ >= 0) && std::chrono::steady_clock::now() < until) pump(200);
        int status = -1;
        if (out_ >= 0 || err_ >= 0) {
            kill_now();
            return -1;
        }
        if (waitpid(pid_, &status, 0) == pid_) pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Output not yet taken by line(), and everything written to standard error.
    std::string rest() const { return out_text_.substr(out_used_); }
    const std::string &errors() const { return err_text_; }

  private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    std::string pending_in_, out_text_, err_text_, inherit_;
    size_t out_used_ = 0;
    bool close_input_ = false;

    void kill_now()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        for (int *fd : {&in_, &out_, &err_})
            if (*fd >= 0) {
                close(*fd);
                *fd = -1;
            }
    }

    // Moves data for up to timeout_ms: input out, output and errors in.
    void pump(int timeout_ms)
    {
        if (in_ >= 0 && pending_in_.empty() && close_input_) {
            close(in_);
            in_ = -1;
        }
        struct pollfd p[3] = {
            {out_, POLLIN, 0}, {err_, POLLIN, 0}, {pending_in_.empty() ? -1 : in_, POLLOUT, 0}};
        if (poll(p, 3, timeout_ms) < 0) return;
        char bf[65536];
        for (int i = 0; i < 2; i++) {
            int &fd = i == 0 ? out_ : err_;
            if (fd < 0 || !p[i].revents) continue;
            ssize_t n = read(fd, bf, sizeof bf);
            if (n > 0) {
                (i == 0 ? out_text_ : err_text_).append(bf, (size_t)n);
            } else if (n == 0 || errno != EINTR) {
                close(fd);
                fd = -1;
            }
        }
        if (in_ >= 0 && p[2].revents) {
            ssize_t n = write(in_, pending_in_.data(), pending_in_.size());
            if (n > 0) pending_in_.erase(0, (size_t)n);
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                pending_in_.clear();
                close(in_);
                in_ = -1;
            }
        }
    }
};

// A private working directory for runs of corvane.
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
        for (pid_t p : all_processes())
            if (read_file("/proc/" + std::to_string(p) + "/cmdline").find(dir.string()) !=
                std::string::npos)
                kill(p, SIGKILL);
        fs::remove_all(dir);
    }

    void write(const std::string &name, const std::string &text) const
    {
        std::ofstream(dir / name, std::ios::binary) << text;
    }

    std::string log() const { return read_file(dir / "corvane.log"); }

    // Waits up to timeout_ms for every process that mentions this directory
    // to end; how many are left.
    int leftovers(int timeout_ms = 3000) const
    {
        int n = 0;
        for (int waited = 0;; waited += 50) {
            n = processes_mentioning(dir.string());
            if (n == 0 || waited >= timeout_ms) return n;
            usleep(50000);
        }
    }
};

} // namespace run

#endif
