// scriptmod: a module program for tests, answering from a script.
//
//   scriptmod SCRIPT [LOG]
//
// Every request line read from standard input is appended to LOG (the line
// as received, without its line feed; flushed at once), then answered by the
// first rule of SCRIPT that applies. "quit" is logged and ends the program
// without a reply; so does the end of input.
//
// SCRIPT holds one rule per line, its fields separated by tabs:
//
//   PATTERN<TAB>ACTION[<TAB>NTH]
//
// Blank lines and lines beginning with '#' are ignored.
//   PATTERN  "*" matches every request; "@start" runs once at start-up,
//            before any request is read; anything else matches a request
//            line that begins with it ("lookup", "lookup bob", "check bob ").
//   NTH      the rule applies only to the NTH request (1 = the first) that
//            matches PATTERN in this process; without it, to every one.
//            Every rule counts every request its pattern matches.
//   ACTION   one or more steps separated by " ;; ", done in order:
//     TEXT            write TEXT and a line feed
//     !silent         write nothing
//     !sleep MS       sleep MS milliseconds
//     !exit [CODE]    exit at once with CODE (default 0)
//     !closein        close standard input (the next request cannot be
//                     written; input ends after this action)
//     !long N [TEXT]  write TEXT padded with 'x' to N characters, then a line feed
//     !data N [TEXT]  write N lines "+DATA i" (i = 1..N), each followed by
//                     " TEXT" when TEXT is given
//   Output is collected and written with one write() before each sleep or
//   exit and at the end of the action, so "+OK a ;; +OK b" arrives at once
//   and "+OK a ;; !sleep 200 ;; +OK b" in two parts.
//
// In TEXT: "\n" is a line feed, "\t" a tab, "\\" a backslash, and "\c" ends
// the step without its line feed (a partial line). "$0" is the whole request,
// "$1" to "$9" its blank-separated words ("$1" is the command word; a missing
// word is empty), "$$" this process's id and "$#" the number of requests this
// process has read so far.
//
// A request no rule applies to is answered "-ERR scriptmod: no rule".
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>
#include <unistd.h>

namespace
{

struct Rule {
    std::string pattern;
    std::string action;
    int nth = 0;   // 0: every matching request
    int count = 0; // matching requests seen so far
};

std::vector<Rule> rules;
FILE *logfile = nullptr;
int requests = 0;
std::string out;

void flush_out()
{
    const char *p = out.data();
    size_t left = out.size();
    while (left > 0) {
        ssize_t n = write(1, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        left -= n;
    }
    out.clear();
}

void sleep_ms(long ms)
{
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

std::vector<std::string> words_of(const std::string &request)
{
    std::vector<std::string> w;
    size_t i = 0;
    while (i < request.size()) {
        while (i < request.size() && request[i] == ' ') i++;
        size_t start = i;
        while (i < request.size() && request[i] != ' ') i++;
        if (i > start) w.push_back(request.substr(start, i - start));
    }
    return w;
}

// Expands escapes and substitutions; *newline is cleared by "\c".
std::string expand(const std::string &text, const std::string &request, bool *newline)
{
    std::vector<std::string> w = words_of(request);
    std::string r;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        char n = i + 1 < text.size() ? text[i + 1] : 0;
        if (c == '\\' && n) {
            i++;
            if (n == 'n')
                r += '\n';
            else if (n == 't')
                r += '\t';
            else if (n == 'c') {
                *newline = false;
                break;
            } else
                r += n;
        } else if (c == '$' && n == '$') {
            r += std::to_string(getpid());
            i++;
        } else if (c == '$' && n == '#') {
            r += std::to_string(requests);
            i++;
        } else if (c == '$' && n == '0') {
            r += request;
            i++;
        } else if (c == '$' && n >= '1' && n <= '9') {
            size_t k = n - '1';
            if (k < w.size()) r += w[k];
            i++;
        } else
            r += c;
    }
    return r;
}

void run_step(const std::string &step, const std::string &request)
{
    if (step == "!silent") return;
    if (step.rfind("!sleep", 0) == 0) {
        flush_out();
        sleep_ms(atol(step.c_str() + 6));
        return;
    }
    if (step == "!closein") {
        close(0);
        return;
    }
    if (step.rfind("!exit", 0) == 0) {
        flush_out();
        if (logfile) fclose(logfile);
        _exit(atoi(step.c_str() + 5));
    }
    if (step.rfind("!long ", 0) == 0 || step.rfind("!data ", 0) == 0) {
        char *rest = nullptr;
        long n = strtol(step.c_str() + 6, &rest, 10);
        while (*rest == ' ') rest++;
        bool newline = true;
        std::string text = expand(rest, request, &newline);
        if (step[1] == 'l') {
            if (static_cast<long>(text.size()) < n) text.append(n - text.size(), 'x');
            out += text + "\n";
        } else {
            for (long i = 1; i <= n; i++)
                out += "+DATA " + std::to_string(i) + (text.empty() ? "" : " " + text) + "\n";
        }
        return;
    }
    bool newline = true;
    out += expand(step, request, &newline);
    if (newline) out += "\n";
}

void run_action(const std::string &action, const std::string &request)
{
    size_t start = 0;
    for (;;) {
        size_t sep = action.find(" ;; ", start);
        run_step(action.substr(start, sep == std::string::npos ? sep : sep - start), request);
        if (sep == std::string::npos) break;
        start = sep + 4;
    }
    flush_out();
}

bool load(const char *path)
{
    FILE *f = fopen(path, "r");
    if (!f) return false;
    char *line = nullptr;
    size_t cap = 0;
    ssize_t len;
    while ((len = getline(&line, &cap, f)) >= 0) {
        std::string s(line, len);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        if (s.empty() || s[0] == '#') continue;
        size_t tab = s.find('\t');
        if (tab == std::string::npos) continue;
        Rule r;
        r.pattern = s.substr(0, tab);
        std::string rest = s.substr(tab + 1);
        size_t tab2 = rest.find('\t');
        r.action = rest.substr(0, tab2);
        if (tab2 != std::string::npos) r.nth = atoi(rest.c_str() + tab2 + 1);
        rules.push_back(r);
    }
    free(line);
    fclose(f);
    return true;
}

void answer(const std::string &request)
{
    const Rule *chosen = nullptr;
    for (Rule &r : rules) {
        if (r.pattern == "@start") continue;
        if (r.pattern != "*" && request.rfind(r.pattern, 0) != 0) continue;
        r.count++;
        if (!chosen && (r.nth == 0 || r.nth == r.count)) chosen = &r;
    }
    if (chosen)
        run_action(chosen->action, request);
    else
        run_action("-ERR scriptmod: no rule", request);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || !load(argv[1])) return 2;
    if (argc > 2) logfile = fopen(argv[2], "a");
    for (const Rule &r : rules)
        if (r.pattern == "@start") run_action(r.action, "");

    char *line = nullptr;
    size_t cap = 0;
    ssize_t len;
    while ((len = getline(&line, &cap, stdin)) >= 0) {
        std::string request(line, len);
        if (!request.empty() && request.back() == '\n') request.pop_back();
        requests++;
        if (logfile) {
            fprintf(logfile, "%s\n", request.c_str());
            fflush(logfile);
        }
        if (request == "quit") break;
        answer(request);
    }
    free(line);
    if (logfile) fclose(logfile);
    return 0;
}
