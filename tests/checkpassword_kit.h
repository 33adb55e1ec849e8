// Test helpers for corvane-checkpassword: a private temporary directory,
// files, a bounded run of a program with chosen standard input, descriptor
// 3 and environment, and a Corvane set up over the password-file module.
#ifndef TESTS_CHECKPASSWORD_KIT_H
#define TESTS_CHECKPASSWORD_KIT_H

#include <cerrno>
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
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace cpwkit
{

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
struct TempDir {
    fs::path path;
    TempDir()
    {
        std::string tmpl = (fs::temp_directory_path() / "corvane-cpw-XXXXXX").string();
        if (mkdtemp(tmpl.data())) path = tmpl;
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    ~TempDir()
    {
        std::error_code ec;
        if (!path.empty()) fs::remove_all(path, ec);
    }
};

inline std::string read_file(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void write_file(const fs::path &p, const std::string &text, mode_t mode = 0644)
{
    {
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out << text;
    }
    chmod(p.c_str(), mode);
}

// Replaces every occurrence of from in text by to.
inline std::string replace_all(std::string text, const std::string &from, const std::string &to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

struct Outcome {
    std::string out;        // standard output
    std::string err;        // standard error
    int status = -1;        // exit status; -1 when it did not exit normally
    bool timed_out = false; // killed at the time limit
};

struct Spec {
    std::vector<std::string> argv; // argv[0] is the program's path
    std::string input;             // standard input, then its end
    bool with_fd3 = false;         // give the child descriptor 3 ...
    std::string fd3;               // ... holding this, then its end
    std::vector<std::string> env;  // the environment, besides PATH and the sanitizers'
    std::string cwd;               // working directory; empty: ours
    int limit_ms = 60000;          // time limit, killed after it
};

// A pipe already holding text (which must fit the pipe) and closed for
// writing; its read end, or -1.
inline int filled_pipe(const std::string &text)
{
    int p[2];
    if (pipe(p) != 0) return -1;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t w = write(p[1], text.data() + done, text.size() - done);
        if (w <= 0) break;
        done += (size_t)w;
    }
    close(p[1]);
    return p[0];
}

// Runs the program of s and gathers its output; its own process group is
// killed at the time limit.
inline Outcome run(const Spec &s)
{
    Outcome r;
    int in = filled_pipe(s.input);
    int fd3 = s.with_fd3 ? filled_pipe(s.fd3) : -1;
    int out[2], err[2];
    if (in < 0 || pipe(out) != 0 || pipe(err) != 0) return r;
    std::vector<std::string> env = s.env;
    env.push_back("PATH=/usr/local/bin:/usr/bin:/bin");
    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (getenv(name)) env.push_back(std::string(name) + "=" + getenv(name));
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        dup2(in, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (fd3 >= 0)
            dup2(fd3, 3);
        else
            close(3);
        close_range(4, ~0U, 0);
        if (!s.cwd.empty() && chdir(s.cwd.c_str()) != 0) _exit(127);
        std::vector<char *> argv, envp;
        for (const std::string &a : s.argv) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        for (const std::string &e : env) envp.push_back(const_cast<char *>(e.c_str()));
        envp.push_back(nullptr);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(in);
    if (fd3 >= 0) close(fd3);
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        close(out[0]);
        close(err[0]);
        return r;
    }
    setpgid(pid, pid); // at once, so that a kill at the time limit finds the group
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(s.limit_ms);
    pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *into[2] = {&r.out, &r.err};
    int open_pipes = 2;
    while (open_pipes > 0) {
        int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                       until - std::chrono::steady_clock::now())
                       .count();
        if (left <= 0) {
            r.timed_out = true;
            break;
        }
        int n = poll(p, 2, left);
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
                open_pipes--;
            }
        }
    }
    for (pollfd &q : p)
        if (q.fd >= 0) close(q.fd);
    if (r.timed_out) kill(-pid, SIGKILL);
    int status;
    // The output ended, so the child has ended or is about to.
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!r.timed_out && WIFEXITED(status)) r.status = WEXITSTATUS(status);
    return r;
}

// A Corvane over the password-file module in dir, with the example users
// (examples/users.passwd):
//   module 1 checks alice, bob, carol and dave from anywhere;
//   module 2 checks erin, but only for the client address 127.0.0.1;
//   module 3 checks ghost in a store that does not exist: a dead module.
// Other users are checked by no module.
inline void corvane_setup(const fs::path &dir)
{
    fs::copy_file(EXAMPLES_DIR "/users.passwd", dir / "users.passwd",
                  fs::copy_options::overwrite_existing);
    auto binary = [](const fs::path &store) {
        return "binary " MODULE_FILE_BIN " -file " + store.string() + " -readonly\n";
    };
    std::string ini = "module 1\n" + binary(dir / "users.passwd") + "check alice,bob,carol,dave\n";
    ini += "module 2\n" + binary(dir / "users.passwd") + "check erin\nip_match 127.0.0.1\n";
    ini += "module 3\n" + binary(dir / "missing" / "users.passwd") + "check ghost\n";
    write_file(dir / "corvane.ini", ini);
}

// The example migration (examples/corvane.ini) in dir, its module
// programs taken from this build. Its stores are named relative to dir.
inline void migration_setup(const fs::path &dir)
{
    fs::copy_file(EXAMPLES_DIR "/users.passwd", dir / "users.passwd",
                  fs::copy_options::overwrite_existing);
    std::string ini = read_file(EXAMPLES_DIR "/corvane.ini");
    ini = replace_all(ini, "/usr/local/libexec/corvane-sqlite", MODULE_SQLITE_BIN);
    ini = replace_all(ini, "/usr/local/libexec/corvane-file", MODULE_FILE_BIN);
    write_file(dir / "corvane.ini", ini);
}

// Asks a module program directly, in dir: its reply to request.
inline std::string ask_module(const std::string &module, const fs::path &dir,
                              const std::string &store, const std::string &request)
{
    Spec s;
    s.argv = {module, "-file", store};
    s.input = request + "\nquit\n";
    s.cwd = dir.string();
    Outcome r = run(s);
    return r.out.substr(0, r.out.find('\n'));
}

// True when program can be run by us.
inline bool have_program(const char *path)
{
    return access(path, X_OK) == 0;
}

} // namespace cpwkit

#endif
