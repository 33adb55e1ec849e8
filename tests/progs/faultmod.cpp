// faultmod: a module program that misbehaves on request, for the fault
// injection tests.
//
//   faultmod [-ignoreterm] [-stubborn] [-exitstart] [LOG]
//
// Every request line is appended to LOG (when given) and answered
//   "+OK <command> <user>"   (the user cut to 100 bytes, then " len=<n>"
//                             when it was longer), or for a search
//   "+DATA 1 <user>" and "+OK 1 1";
// "quit" and the end of input end the program. A request whose user (the
// second word) names a fault does that instead:
//   crash      writes "+OK cra" without a line feed and dies of SIGSEGV
//   hang       never answers and stops reading
//   slow       answers after 1.5 seconds
//   garbage    answers a line of printable junk
//   binary     answers every byte value but NUL and line feed, as one line
//   nul        answers "+OK nul", a NUL byte, "after" and a line feed
//   mega       answers a line of a megabyte
//   closeout   closes its standard output and goes on reading
//   twice      answers "+OK first" and "+OK second" at once
//   twicelate  answers "+OK first", then "+OK second" 100 ms later
//   exit       exits with status 3 without answering
//   dead       answers "-DEAD tired"
// Options: -ignoreterm ignores SIGTERM (the end of input still ends it);
// -stubborn ignores SIGTERM and, at the end of input, sleeps for ever;
// -exitstart exits with status 1 before reading anything.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace
{

bool stubborn = false;

void put(const std::string &s)
{
    const char *p = s.data();
    size_t left = s.size();
    while (left > 0) {
        ssize_t n = write(1, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= (size_t)n;
    }
}

void sleep_ms(long ms)
{
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

[[noreturn]] void forever()
{
    for (;;) pause();
}

void finish()
{
    if (stubborn) forever();
    exit(0);
}

std::string word(const std::string &line, int n)
{
    size_t at = 0;
    for (int i = 0;; i++) {
        while (at < line.size() && line[at] == ' ') at++;
        size_t end = line.find(' ', at);
        if (end == std::string::npos) end = line.size();
        if (i == n) return line.substr(at, end - at);
        if (end == line.size()) return "";
        at = end;
    }
}

void answer(const std::string &request)
{
    std::string cmd = word(request, 0), user = word(request, 1);
    if (user == "crash") {
        put("+OK cra");
        struct rlimit none = {0, 0};
        setrlimit(RLIMIT_CORE, &none);
        signal(SIGSEGV, SIG_DFL);
        raise(SIGSEGV);
    } else if (user == "hang") {
        forever();
    } else if (user == "slow") {
        sleep_ms(1500);
    } else if (user == "garbage") {
        return put("!!garbage ~~ ##@@ 0x7f <>{}\n");
    } else if (user == "binary") {
        std::string s;
        for (int c = 1; c < 256; c++)
            if (c != '\n') s += (char)c;
        return put(s + "\n");
    } else if (user == "nul") {
        return put(std::string("+OK nul\0after\n", 14));
    } else if (user == "mega") {
        return put("+OK " + std::string(1 << 20, 'm') + "\n");
    } else if (user == "closeout") {
        close(1);
        return;
    } else if (user == "twice") {
        return put("+OK first\n+OK second\n");
    } else if (user == "twicelate") {
        put("+OK first\n");
        sleep_ms(100);
        return put("+OK second\n");
    } else if (user == "exit") {
        exit(3);
    } else if (user == "dead") {
        return put("-DEAD tired\n");
    }
    std::string shown = user.size() > 100 ? user.substr(0, 100) : user;
    if (user.size() > 100) shown += " len=" + std::to_string(user.size());
    if (cmd == "search") return put("+DATA 1 " + shown + "\n+OK 1 1\n");
    put("+OK " + cmd + " " + shown + "\n");
}

} // namespace

int main(int argc, char **argv)
{
    const char *log = nullptr;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "-ignoreterm" || a == "-stubborn") signal(SIGTERM, SIG_IGN);
        if (a == "-stubborn") stubborn = true;
        if (a == "-exitstart") return 1;
        if (a[0] != '-') log = argv[i];
    }
    FILE *logfile = log ? fopen(log, "a") : nullptr;
    char *line = nullptr;
    size_t cap = 0;
    ssize_t len;
    while ((len = getline(&line, &cap, stdin)) >= 0) {
        std::string request(line, len);
        if (!request.empty() && request.back() == '\n') request.pop_back();
        if (logfile) {
            fprintf(logfile, "%s\n", request.c_str());
            fflush(logfile);
        }
        if (request == "quit") break;
        answer(request);
    }
    free(line);
    if (logfile) fclose(logfile);
    finish();
}
