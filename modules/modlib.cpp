// The module side of the module protocol: start-up, options, the request
// reader and loop, the replies and the self-check.
#include "modules/modlib.h"

#include "adt/lib.h"
#include "adt/spawn.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstdio>
#include <cstring>

void mod_start(void)
{
    adt::spawn_stdio_open();
    signal(SIGTERM, SIG_DFL);
    signal(SIGPIPE, SIG_IGN);
}

int mod_name_ok(const char *name)
{
    if (!name || !*name || *name == '#') return 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; p++)
        if (*p <= ' ' || *p == ':' || *p == 127) return 0;
    return 1;
}

void mod_reply(const char *format, ...)
{
    char bf[MOD_LINE_MAX + 2];
    va_list arg;
    va_start(arg, format);
    int n = adt::vsnprintf(bf, MOD_LINE_MAX + 1, format, arg);
    va_end(arg);
    if (n < 0 || n > MOD_LINE_MAX) n = MOD_LINE_MAX;
    // A line break in a reason from a library would split the reply.
    for (int i = 0; i < n; i++)
        if ((static_cast<unsigned char>(bf[i]) < ' ' && bf[i] != '\t') || bf[i] == 127) bf[i] = ' ';
    bf[n] = '\n';
    // Nobody is left to read a reply: the work is over.
    if (!adt::write_all(1, bf, static_cast<size_t>(n) + 1)) exit(0);
}

void ModCheck::problem(const std::string &text)
{
    problems_++;
    mod_reply("%s", text.c_str());
}

void ModCheck::warning(const std::string &text)
{
    mod_reply("warning: %s", text.c_str());
}

ModReader::~ModReader()
{
    explicit_bzero(bf_, sizeof bf_);
}

int ModReader::read(std::string *line)
{
    line->clear();
    for (;;) {
        if (upto_ < have_) {
            char *from = bf_ + upto_;
            char *lf = static_cast<char *>(memchr(from, '\n', have_ - upto_));
            size_t n = static_cast<size_t>((lf ? lf : bf_ + have_) - from);
            if (!skipping_) line->append(from, n);
            explicit_bzero(from, n);
            upto_ += n + (lf ? 1 : 0);
            if (skipping_) {
                skipping_ = !lf;
                continue;
            }
            if (lf && !line->empty() && line->back() == '\r') line->pop_back();
            // Without its line feed yet, a line may still end in a carriage return.
            if (line->size() > size_t{MOD_LINE_MAX} + (lf ? 0 : 1)) {
                explicit_bzero(line->data(), line->size());
                line->clear();
                skipping_ = !lf;
                return TOO_LONG;
            }
            if (lf) return LINE;
        }
        ssize_t r = ::read(0, bf_, sizeof bf_);
        if (r < 0 && errno == EINTR) continue;
        // A last line without its line feed is still a line.
        if (r <= 0) return line->empty() ? END : LINE;
        have_ = static_cast<size_t>(r);
        upto_ = 0;
    }
}

int mod_read_password(const char *prompt, std::string *out)
{
    char bf[MOD_LINE_MAX + 1];
    int r = adt::read_secret(0, prompt, bf, sizeof bf);
    if (r == 1) out->assign(bf);
    explicit_bzero(bf, sizeof bf);
    return r == 1;
}

namespace
{

// Edits (insert, delete, change, or swap two neighbours) that turn a into b.
size_t edits(const std::string &a, const std::string &b)
{
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); i++)
        for (size_t j = 0; j <= b.size(); j++) {
            if (i == 0 || j == 0) {
                d[i][j] = i + j;
                continue;
            }
            d[i][j] = std::min(
                {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

// The problem of an unknown option, naming the option it is nearest to
// when that is at most two edits away: a typing error.
std::string unknown(const char *word, const std::vector<ModOption> &opts)
{
    const char *best = nullptr;
    size_t nearest = 3;
    for (const ModOption &o : opts) {
        size_t d = edits(word, o.Name);
        if (d < nearest) nearest = d, best = o.Name;
    }
    std::string text = std::string("unknown option ") + word;
    return best ? text + " (did you mean " + best + "?)" : text;
}

// Reads the options of argv from argv[from] on into the variables of opts.
// Every problem, in order: an unknown option (a word after it that is no
// option is taken as its value and passed over), a missing value.
std::vector<std::string> parse_options(const std::vector<ModOption> &opts, int argc, char **argv,
                                       int from)
{
    std::vector<std::string> problems;
    for (int i = from; i < argc; i++) {
        const char *a = argv[i];
        auto opt = std::find_if(opts.begin(), opts.end(),
                                [a](const ModOption &o) { return strcmp(a, o.Name) == 0; });
        if (opt == opts.end()) {
            problems.push_back(unknown(a, opts));
            if (i + 1 < argc && argv[i + 1][0] != '-') i++;
            continue;
        }
        if (opt->Flag) *opt->Flag = 1;
        if (!opt->Text && !opt->Number) continue;
        if (i + 1 >= argc) {
            problems.push_back(std::string("option ") + a + " requires a value");
            break;
        }
        const char *v = argv[++i];
        if (opt->Number) *opt->Number = std::max(atoi(v), 0);
        if (!opt->Text) continue;
        *opt->Text = v;
        while (opt->Joins && i + 1 < argc && argv[i + 1][0] != '-' && strchr(argv[i + 1], '='))
            *opt->Text += std::string(" ") + argv[++i];
    }
    return problems;
}

// The next word of *at, up to a blank, ended there; *at moves past the
// blank, or becomes null at the end of the line. Null once *at is.
char *next_word(char **at)
{
    char *w = *at;
    if (!w) return nullptr;
    char *blank = strchr(w, ' ');
    if (blank) *blank = 0;
    *at = blank ? blank + 1 : nullptr;
    return w;
}

// Answers one request line, taken apart in place. 0 after "quit", else 1.
// With dead set, every request is answered "-DEAD dead".
int serve(ModBackend *b, const char *dead, char *line)
{
    char *at = line;
    const char *verb = next_word(&at);
    if (strcmp(verb, "quit") == 0) return 0;
    if (dead) {
        mod_reply("-DEAD %s", dead);
        return 1;
    }
    if (strcmp(verb, "search") == 0) {
        // The pattern is the first word; any further text is not ours.
        const char *pattern = next_word(&at);
        b->search(pattern ? pattern : "");
        return 1;
    }
    int lookup = strcmp(verb, "lookup") == 0, del = strcmp(verb, "del") == 0;
    int check = strcmp(verb, "check") == 0, set = strcmp(verb, "set") == 0;
    if (!lookup && !del && !check && !set) {
        mod_reply("-ERR unknown request");
        return 1;
    }
    // lookup and del take the whole rest as the name, so a name with a
    // blank is seen and refused; check and set take it word by word.
    const char *name = lookup || del ? at : next_word(&at);
    if (!mod_name_ok(name)) {
        mod_reply("-ERR invalid user name");
        return 1;
    }
    if (lookup || del) {
        lookup ? b->lookup(name) : b->del(name);
        return 1;
    }
    const char *password = next_word(&at);
    int none = !password || strcmp(password, adt::WIRE_NO_PASSWORD) == 0;
    if (check && (none || !*password)) // never right, whatever is stored
        mod_reply("-ERR %s not found or password incorrect", name);
    else if (check)
        b->check(name, password);
    else if (!password)
        mod_reply("-ERR set requires a user name and a password");
    else if (!*password)
        mod_reply("-ERR %s password must not be empty", name);
    else
        b->set(name, none ? nullptr : password, at);
    return 1;
}

// Reads requests from standard input and answers them until "quit" or the
// end of input. dead as for serve. Returns the exit status.
int run(ModBackend *b, const char *dead)
{
    ModReader in;
    std::string line;
    for (int r; (r = in.read(&line)) != ModReader::END;) {
        if (r == ModReader::TOO_LONG) {
            mod_reply("-ERR request too long");
            continue;
        }
        // A NUL byte ends the request there, as it would any text.
        int more = serve(b, dead, line.data());
        explicit_bzero(line.data(), line.size());
        if (!more) break;
    }
    return 0;
}

// The self-check of the options after "-t": 1 when it found a problem.
int selfcheck(ModBackend *b, int argc, char **argv)
{
    ModCheck c;
    for (const std::string &p : parse_options(b->options(), argc, argv, 2)) c.problem(p);
    b->selfcheck(&c);
    return c.problems() ? 1 : 0;
}

} // namespace

int mod_main(int argc, char **argv, ModBackend *b)
{
    mod_start();
    if (argc > 1 && strcmp(argv[1], "-t") == 0) return selfcheck(b, argc, argv);
    std::vector<std::string> problems = parse_options(b->options(), argc, argv, 1);
    std::string err = problems.empty() ? "" : problems[0];
    int ok = problems.empty() && b->open(&err);
    return run(b, ok ? nullptr : err.c_str());
}
