// testmod: the module program of the tests, answering from a script or
// misbehaving on request. Built under two more names: "scriptmod" (the same
// program) and "faultmod" (fault mode, chosen by that name).
//
//   scriptmod SCRIPT [LOG]
//   faultmod [-ignoreterm] [-stubborn] [-exitstart] [LOG]
//
// Every request line read is appended to LOG (flushed at once). "quit" and
// the end of input end the program without a reply.
//
// SCRIPT holds rules "PATTERN<TAB>ACTION[<TAB>NTH]" ('#' lines ignored).
// PATTERN "*" matches every request, "@start" runs once before any request,
// anything else a request that begins with it. With NTH the rule applies
// only to the NTH request its pattern matched (every rule counts every
// request its pattern matches). The first rule that applies answers; none:
// "-ERR scriptmod: no rule". An ACTION is steps separated by " ;; ":
//   TEXT           TEXT and a line feed ("\n", "\t", "\\"; "\c" ends the
//                  step without its line feed). "$0" the request, "$1".."$9"
//                  its words, "$$" the process id, "$#" requests read so far
//   !silent  !sleep MS  !exit [CODE]  !closein (close standard input)
//   !long N [TEXT] TEXT padded with 'x' to N characters
//   !data N [TEXT] lines "+DATA i[ TEXT]" for i = 1..N
//   !crash  writes "+OK cra" without a line feed and dies of SIGSEGV
//   !hang   never answers nor reads again     !slow  sleeps 1.5 s
//   !garbage  a line of printable junk        !binary  every byte but NUL and LF
//   !nul   "+OK nul", NUL, "after"            !mega  a line of a megabyte
//   !closeout  closes standard output         !twice  "+OK first", "+OK second"
//   !twicelate  the same, the second 100 ms later   !dead  "-DEAD tired"
// Output is written at once before each sleep and exit and at the end.
//
// Fault mode answers "+OK <command> <user>" (the user cut to 100 bytes, then
// " len=<n>" when longer), a search "+DATA 1 <user>" and "+OK 1 1"; a user
// that names a fault step above (crash, hang, ..., and "exit": status 3)
// does that instead. -ignoreterm ignores SIGTERM; -stubborn also sleeps for
// ever at the end of input; -exitstart exits with status 1 at once.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace
{

struct Rule {
    std::string pattern, action;
    int nth = 0, count = 0;
};
std::vector<Rule> rules;
FILE *logfile = nullptr;
int requests = 0;
bool stubborn = false;
std::string out;

void flush_out()
{
    for (size_t done = 0; done < out.size();) {
        ssize_t n = write(1, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += (size_t)n;
    }
    out.clear();
}

void sleep_ms(long ms)
{
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

std::vector<std::string> words_of(const std::string &s)
{
    std::vector<std::string> w;
    for (size_t i = 0, end; i < s.size(); i = end) {
        while (i < s.size() && s[i] == ' ') i++;
        end = std::min(s.find(' ', i), s.size());
        if (end > i) w.push_back(s.substr(i, end - i));
    }
    return w;
}

std::string expand(const std::string &text, const std::string &request, bool *newline)
{
    std::vector<std::string> w = words_of(request);
    std::string r;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i], n = i + 1 < text.size() ? text[i + 1] : 0;
        if (c == '\\' && n) {
            i++;
            if (n == 'c') {
                *newline = false;
                break;
            }
            r += n == 'n' ? '\n' : n == 't' ? '\t' : n;
        } else if (c == '$' && (n == '$' || n == '#' || (n >= '0' && n <= '9'))) {
            i++;
            if (n == '$') r += std::to_string(getpid());
            if (n == '#') r += std::to_string(requests);
            if (n == '0') r += request;
            if (n >= '1' && (size_t)(n - '1') < w.size()) r += w[n - '1'];
        } else
            r += c;
    }
    return r;
}

[[noreturn]] void forever()
{
    for (;;) pause();
}

// Runs a fault step; false when step names none.
bool fault(const std::string &f)
{
    if (f == "crash") {
        out += "+OK cra";
        flush_out();
        struct rlimit none = {0, 0};
        setrlimit(RLIMIT_CORE, &none);
        signal(SIGSEGV, SIG_DFL);
        raise(SIGSEGV);
    } else if (f == "hang") {
        forever();
    } else if (f == "slow") {
        sleep_ms(1500);
        return false; // then answers as usual
    } else if (f == "garbage") {
        out += "!!garbage ~~ ##@@ 0x7f <>{}\n";
    } else if (f == "binary") {
        for (int c = 1; c < 256; c++)
            if (c != '\n') out += (char)c;
        out += "\n";
    } else if (f == "nul") {
        out += std::string("+OK nul\0after\n", 14);
    } else if (f == "mega") {
        out += "+OK " + std::string(1 << 20, 'm') + "\n";
    } else if (f == "closeout") {
        close(1);
    } else if (f == "twice" || f == "twicelate") {
        out += "+OK first\n";
        if (f == "twicelate") flush_out(), sleep_ms(100);
        out += "+OK second\n";
    } else if (f == "dead") {
        out += "-DEAD tired\n";
    } else
        return false;
    return true;
}

void run_step(const std::string &step, const std::string &request)
{
    bool newline = true;
    if (step == "!silent" || (step[0] == '!' && fault(step.substr(1)))) return;
    if (step.rfind("!sleep", 0) == 0) {
        flush_out();
        sleep_ms(atol(step.c_str() + 6));
    } else if (step == "!closein") {
        close(0);
    } else if (step.rfind("!exit", 0) == 0) {
        flush_out();
        _exit(atoi(step.c_str() + 5));
    } else if (step.rfind("!long ", 0) == 0 || step.rfind("!data ", 0) == 0) {
        char *rest = nullptr;
        long n = strtol(step.c_str() + 6, &rest, 10);
        std::string text = expand(rest + strspn(rest, " "), request, &newline);
        if (step[1] == 'l')
            out += text + std::string(std::max(0L, n - (long)text.size()), 'x') + "\n";
        for (long i = 1; step[1] == 'd' && i <= n; i++)
            out += "+DATA " + std::to_string(i) + (text.empty() ? "" : " " + text) + "\n";
    } else {
        out += expand(step, request, &newline);
        if (newline) out += "\n";
    }
}

void run_action(const std::string &action, const std::string &request)
{
    for (size_t start = 0, sep;; start = sep + 4) {
        sep = action.find(" ;; ", start);
        run_step(action.substr(start, sep == std::string::npos ? sep : sep - start), request);
        if (sep == std::string::npos) break;
    }
    flush_out();
}

bool load(const char *path)
{
    FILE *f = fopen(path, "r");
    if (!f) return false;
    char line[65536];
    while (fgets(line, sizeof line, f)) {
        std::string s = line;
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        size_t tab = s.find('\t');
        if (s.empty() || s[0] == '#' || tab == std::string::npos) continue;
        Rule r;
        r.pattern = s.substr(0, tab);
        size_t tab2 = s.find('\t', tab + 1);
        r.action = s.substr(tab + 1, tab2 == std::string::npos ? tab2 : tab2 - tab - 1);
        if (tab2 != std::string::npos) r.nth = atoi(s.c_str() + tab2 + 1);
        rules.push_back(r);
    }
    fclose(f);
    return true;
}

void answer_fault(const std::string &request)
{
    std::vector<std::string> w = words_of(request);
    std::string cmd = w.size() > 0 ? w[0] : "", user = w.size() > 1 ? w[1] : "";
    if (user == "exit") _exit(3);
    if (fault(user)) return flush_out();
    std::string shown = user.substr(0, 100);
    if (user.size() > 100) shown += " len=" + std::to_string(user.size());
    out += cmd == "search" ? "+DATA 1 " + shown + "\n+OK 1 1\n" : "+OK " + cmd + " " + shown + "\n";
    flush_out();
}

void answer(const std::string &request)
{
    const Rule *chosen = nullptr;
    for (Rule &r : rules) {
        if (r.pattern == "@start" || (r.pattern != "*" && request.rfind(r.pattern, 0) != 0))
            continue;
        r.count++;
        if (!chosen && (r.nth == 0 || r.nth == r.count)) chosen = &r;
    }
    run_action(chosen ? chosen->action : "-ERR scriptmod: no rule", request);
}

} // namespace

int main(int argc, char **argv)
{
    const char *name = strrchr(argv[0], '/') ? strrchr(argv[0], '/') + 1 : argv[0];
    bool faults = strcmp(name, "faultmod") == 0;
    const char *log = nullptr;
    for (int i = 1; faults && i < argc; i++) {
        std::string a = argv[i];
        if (a == "-ignoreterm" || a == "-stubborn") signal(SIGTERM, SIG_IGN);
        if (a == "-stubborn") stubborn = true;
        if (a == "-exitstart") return 1;
        if (a[0] != '-') log = argv[i];
    }
    if (!faults && (argc < 2 || !load(argv[1]))) return 2;
    if (!faults && argc > 2) log = argv[2];
    if (log) logfile = fopen(log, "a");
    for (const Rule &r : rules)
        if (r.pattern == "@start") run_action(r.action, "");
    char *line = nullptr;
    size_t cap = 0;
    for (ssize_t len; (len = getline(&line, &cap, stdin)) >= 0;) {
        std::string request(line, len);
        if (!request.empty() && request.back() == '\n') request.pop_back();
        requests++;
        if (logfile) fprintf(logfile, "%s\n", request.c_str()), fflush(logfile);
        if (request == "quit") break;
        faults ? answer_fault(request) : answer(request);
    }
    if (stubborn) forever();
    return 0;
}
