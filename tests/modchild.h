// Test helper: a program (a module, or Corvane) started as a child with
// pipes on its standard input and output, spoken to line by line.
#ifndef TESTS_MODCHILD_H
#define TESTS_MODCHILD_H

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#include <filesystem>
#include <fstream>
#include <sstream>

// A fresh directory under /tmp, removed with everything in it at the end.
struct TempDir {
    std::string path;
    TempDir()
    {
        char t[] = "/tmp/corvane-modules-XXXXXX";
        path = mkdtemp(t) ? t : "";
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

struct ModChild {
    pid_t pid = -1;
    int in = -1;  // its standard input
    int out = -1; // its standard output
    std::string pending;

    ModChild() = default;
    ModChild(const ModChild &) = delete;
    ModChild &operator=(const ModChild &) = delete;
    ~ModChild() { stop(); }

    // Starts argv[0] with argv in directory cwd (null: ours). With
    // close_stderr the child starts with descriptor 2 closed, as Corvane
    // starts its modules.
    bool start(const std::vector<std::string> &argv, const char *cwd = nullptr,
               bool close_stderr = false)
    {
        int a[2], b[2];
        if (pipe(a) != 0) return false;
        if (pipe(b) != 0) {
            ::close(a[0]);
            ::close(a[1]);
            return false;
        }
        pid = fork();
        if (pid == 0) {
            dup2(a[0], 0);
            dup2(b[1], 1);
            ::close(a[0]);
            ::close(a[1]);
            ::close(b[0]);
            ::close(b[1]);
            if (close_stderr) ::close(2);
            if (cwd && chdir(cwd) != 0) _exit(127);
            std::vector<char *> args;
            for (const std::string &s : argv) args.push_back(const_cast<char *>(s.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        ::close(a[0]);
        ::close(b[1]);
        in = a[1];
        out = b[0];
        signal(SIGPIPE, SIG_IGN);
        return pid > 0;
    }

    // Writes line and a line feed.
    bool send(const std::string &line)
    {
        std::string s = line + "\n";
        const char *p = s.data();
        size_t n = s.size();
        while (n > 0) {
            ssize_t w = write(in, p, n);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return false;
            p += w;
            n -= (size_t)w;
        }
        return true;
    }

    // The next line without its line feed; "<eof>" at the end of output,
    // "<timeout>" when none came within timeout_ms.
    std::string line(int timeout_ms = 60000)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            size_t lf = pending.find('\n');
            if (lf != std::string::npos) {
                std::string l = pending.substr(0, lf);
                pending.erase(0, lf + 1);
                return l;
            }
            int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                           until - std::chrono::steady_clock::now())
                           .count();
            if (left <= 0) return "<timeout>";
            pollfd p = {out, POLLIN, 0};
            int r = poll(&p, 1, left);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) continue;
            char bf[4096];
            ssize_t n = read(out, bf, sizeof bf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return "<eof>";
            pending.append(bf, (size_t)n);
        }
    }

    // Sends a request and returns the reply line.
    std::string ask(const std::string &request)
    {
        if (!send(request)) return "<send failed>";
        return line();
    }

    // Sends a search request and returns its lines, the final one last.
    std::vector<std::string> search(const std::string &request)
    {
        std::vector<std::string> lines;
        if (!send(request)) return lines;
        for (;;) {
            lines.push_back(line());
            if (lines.back().rfind("+DATA ", 0) != 0) return lines;
        }
    }

    void close_input()
    {
        if (in >= 0) ::close(in);
        in = -1;
    }

    // Waits for the child's end up to timeout_ms; its wait status, or -1
    // when it is still running.
    int wait(int timeout_ms = 30000)
    {
        for (int waited = 0; pid > 0; waited += 10) {
            int status;
            pid_t r = waitpid(pid, &status, WNOHANG);
            if (r == pid) {
                pid = -1;
                return status;
            }
            if (r < 0 || waited >= timeout_ms) return -1;
            usleep(10000);
        }
        return -1;
    }

    // Sends sig to the child.
    void signal_child(int sig)
    {
        if (pid > 0) kill(pid, sig);
    }

    // Ends the child for good and closes the pipes.
    void stop()
    {
        close_input();
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
        if (out >= 0) ::close(out);
        out = -1;
        pending.clear();
    }
};

#endif
