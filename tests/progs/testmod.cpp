// testmod: the tests' module program, also built as "scriptmod" (the same)
// and "faultmod" (fault mode, chosen by that name). It appends every request
// to LOG; "quit" and the end of input end it.
//   scriptmod SCRIPT [LOG]: answers by the first rule "PATTERN<TAB>ACTION
//     [<TAB>NTH]" of SCRIPT whose PATTERN ("*", or the request's beginning)
//     matches (with NTH: only the NTH request it matched), else "-ERR
//     scriptmod: no rule"; PATTERN "@start" runs once before any request.
//     With "-t" first, PATTERN "-t" runs instead of "@start" and LOG is not
//     written (a module's self-check changes nothing).
//     ACTION: steps split by " ;; ": TEXT (with "\n", "\t", "\c" for no line
//     feed; "$0" the request, "$1".."$9" its words, "$$" the pid, "$#"
//     requests so far), !silent, !sleep MS, !exit [CODE], !closein, !long N
//     [TEXT] (padded with 'x' to N), !data N [TEXT] ("+DATA i TEXT" lines).
//   faultmod [-ignoreterm] [-stubborn] [-exitstart] [LOG]: answers "+OK
//     <command> <user>" (the user cut to 100 bytes, then " len=<n>"), a search
//     "+DATA 1 <user>" and "+OK 1 1", unless the user names a fault: crash,
//     hang, slow (1.5 s), garbage, binary (bytes 1-255 but LF), nul, mega (a
//     line of 1 MiB), closeout, twice, twicelate (the second line 100 ms
//     later, then "(late line written)" in LOG), exit (status 3), dead.
//     -ignoreterm ignores SIGTERM, -stubborn also the end of input,
//     -exitstart exits at once.
#include <cerrno>
#include <csignal>
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
int requests = 0;
std::string out;
bool late = false; // a late line goes out with this answer

void flush_out()
{
    for (ssize_t n; !out.empty() && ((n = write(1, out.data(), out.size())) > 0 || errno == EINTR);)
        out.erase(0, std::max<ssize_t>(n, 0));
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
    for (size_t i = s.find_first_not_of(' '), end; i < s.size(); i = s.find_first_not_of(' ', end))
        w.push_back(s.substr(i, (end = std::min(s.find(' ', i), s.size())) - i));
    return w;
}

std::string expand(const std::string &text, const std::string &request, bool *newline)
{
    std::vector<std::string> w = words_of(request);
    std::string r;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i], n = i + 1 < text.size() ? text[i + 1] : 0;
        if (c == '\\' && n == 'c') return *newline = false, r;
        if (c == '\\' && n) r += n == 'n' ? '\n' : n == 't' ? '\t' : n;
        if (c == '$' && n == '$') r += std::to_string(getpid());
        if (c == '$' && n == '#') r += std::to_string(requests);
        if (c == '$' && n == '0') r += request;
        if (c == '$' && n >= '1' && n <= '9' && size_t(n - '1') < w.size()) r += w[n - '1'];
        if ((c == '\\' && n) || (c == '$' && strchr("$#0123456789", n) && n))
            i++;
        else
            r += c;
    }
    return r;
}

void run_step(const std::string &step, const std::string &request)
{
    bool newline = true;
    if (step == "!silent") return;
    if (step.starts_with("!sleep")) flush_out(), sleep_ms(atol(step.c_str() + 6));
    if (step.starts_with("!exit")) flush_out(), _exit(atoi(step.c_str() + 5));
    if (step == "!closein") close(0);
    if (step.starts_with("!long ") || step.starts_with("!data ")) {
        char *rest = nullptr;
        long n = strtol(step.c_str() + 6, &rest, 10);
        std::string text = expand(rest + strspn(rest, " "), request, &newline);
        if (step[1] == 'l')
            out += text + std::string(std::max(0L, n - (long)text.size()), 'x') + "\n";
        for (long i = 1; step[1] == 'd' && i <= n; i++)
            out += "+DATA " + std::to_string(i) + (text.empty() ? "" : " " + text) + "\n";
    } else if (step[0] != '!') {
        out += expand(step, request, &newline); // sets newline: read it after
        if (newline) out += "\n";
    }
}

void answer_with(const std::string &action, const std::string &request);

void answer(const std::string &request)
{
    const Rule *chosen = nullptr;
    for (Rule &r : rules)
        if (r.pattern != "@start" && (r.pattern == "*" || request.starts_with(r.pattern)) &&
            ++r.count && !chosen && (r.nth == 0 || r.nth == r.count))
            chosen = &r;
    answer_with(chosen ? chosen->action : "-ERR scriptmod: no rule", request);
}

void answer_with(const std::string &action, const std::string &request)
{
    for (size_t start = 0, sep = 0; sep != std::string::npos; start = sep + 4)
        run_step(action.substr(start, (sep = action.find(" ;; ", start)) - start), request);
}

void fault(const std::string &request)
{
    std::vector<std::string> w = words_of(request);
    std::string cmd = w.size() > 0 ? w[0] : "", user = w.size() > 1 ? w[1] : "";
    if (user == "crash") {
        out = "+OK cra";
        flush_out();
        struct rlimit none = {0, 0};
        setrlimit(RLIMIT_CORE, &none);
        signal(SIGSEGV, SIG_DFL);
        raise(SIGSEGV);
    }
    if (user == "hang")
        for (;;) pause();
    if (user == "slow") sleep_ms(1500);
    if (user == "exit") _exit(3);
    if (user == "closeout") close(1);
    if (user == "garbage") out = "!!garbage ~~ ##@@ 0x7f <>{}\n";
    for (int c = 1; c < 256 && user == "binary"; c++)
        out += c == '\n' ? "" : std::string(1, (char)c);
    if (user == "nul") out = std::string("+OK nul\0after", 13);
    if (user == "mega") out = "+OK " + std::string(1 << 20, 'm');
    if (user == "twice" || user == "twicelate") out = "+OK first\n+OK second";
    if (user == "twicelate")
        out.resize(10), flush_out(), sleep_ms(100), out = "+OK second", late = true;
    if (user == "dead") out = "-DEAD tired";
    std::string shown =
        user.substr(0, 100) + (user.size() > 100 ? " len=" + std::to_string(user.size()) : "");
    if (out.empty() && user != "closeout")
        out = cmd == "search" ? "+DATA 1 " + shown + "\n+OK 1 1" : "+OK " + cmd + " " + shown;
    out += out.empty() ? "" : "\n";
}

} // namespace

int main(int argc, char **argv)
{
    bool faults =
        strcmp(argv[0] + (strrchr(argv[0], '/') ? strrchr(argv[0], '/') - argv[0] + 1 : 0),
               "faultmod") == 0;
    bool stubborn = false, selfcheck = argc > 1 && strcmp(argv[1], "-t") == 0;
    argv += selfcheck, argc -= selfcheck;
    const char *log = !faults && !selfcheck && argc > 2 ? argv[2] : nullptr;
    for (int i = 1; faults && i < argc; i++) {
        std::string a = argv[i];
        if (a == "-ignoreterm" || a == "-stubborn") signal(SIGTERM, SIG_IGN);
        stubborn |= a == "-stubborn";
        if (a == "-exitstart") return 1;
        if (a[0] != '-') log = argv[i];
    }
    FILE *script = faults ? nullptr : argc > 1 ? fopen(argv[1], "r") : nullptr;
    if (!faults && !script) return 2;
    for (char line[65536]; script && fgets(line, sizeof line, script);) {
        std::string s(line, strcspn(line, "\r\n"));
        size_t tab = s.find('\t'), tab2 = s.find('\t', tab + 1);
        if (!s.empty() && s[0] != '#' && tab != std::string::npos)
            rules.push_back({s.substr(0, tab), s.substr(tab + 1, tab2 - tab - 1),
                             tab2 == std::string::npos ? 0 : atoi(s.c_str() + tab2 + 1)});
    }
    if (script) fclose(script);
    for (const Rule &r : rules)
        if (r.pattern == (selfcheck ? "-t" : "@start")) answer_with(r.action, "");
    if (selfcheck) flush_out();
    FILE *logfile = log ? fopen(log, "a") : nullptr;
    char *line = nullptr;
    size_t cap = 0;
    for (ssize_t len; (len = getline(&line, &cap, stdin)) >= 0;) {
        std::string request(line, len - (len > 0 && line[len - 1] == '\n'));
        requests++;
        if (logfile) fprintf(logfile, "%s\n", request.c_str()), fflush(logfile);
        if (request == "quit") break;
        faults ? fault(request) : answer(request);
        flush_out();
        if (late && logfile) fprintf(logfile, "(late line written)\n"), fflush(logfile);
        late = false;
    }
    free(line);
    if (stubborn)
        for (;;) pause();
}
