// Commands: the command table, the handler of a request line, the reply
// writers and the command loop.
#include "commands.h"

#include "adt/lib.h"
#include "adt/log.h"
#include "adt/spawn.h"
#include "adt/wire.h"
#include "protect.h"

#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

using namespace adt;

int Mode = MODE_TERMINAL;
int search_found = 0;
int search_outof = 0;

namespace
{

// Words of a command: the 100th keeps the rest of the line.
const int MAX_WORDS = 100;

// Replies to a client: queued, and sent when the client would otherwise
// wait for them (client.h).
class ClientSink : public ReplySink
{
  public:
    explicit ClientSink(Client *c) : c_(c) {}
    void line(const char *lead, const char *text) override { client_line(c_, lead, text); }
    void flush() override { client_reply_done(c_); }

  private:
    Client *c_;
};

// Standard output, for the replies written outside any client's request:
// each line is written at once.
class StdoutSink : public ReplySink
{
  public:
    StdoutSink() { client_init(&c_, -1, STDOUT_FILENO, -1); }
    void line(const char *lead, const char *text) override { client_line(&c_, lead, text); }
    void flush() override { client_flush(&c_); }

  private:
    Client c_;
};

// The state of this room.
struct Commands {
    Tallis *auths = nullptr;  // where commands go
    ReplySink *out = nullptr; // the sink of the request being served; null: standard output
    StdoutSink stdout_sink;
} St;

// Where replies go: the sink of the request being served, else standard output.
ReplySink *out(void)
{
    return St.out ? St.out : &St.stdout_sink;
}

// Makes sink the one replies go to, for as long as it lives.
class Speaking
{
  public:
    explicit Speaking(ReplySink *sink) : old_(St.out) { St.out = sink; }
    ~Speaking() { St.out = old_; }

  private:
    ReplySink *old_;
};

// Logs a whole reply line and sends it.
void send_reply(const char *reply)
{
    imsg("OUTPUT[%s]", reply);
    log_hide(nullptr); // the operation hid its password up to its reply's trace
    out()->line("", reply);
    out()->flush();
}

// a + b without overflow: a sum beyond INT_MAX stays at INT_MAX.
int add_saturating(int a, int b)
{
    int sum;
    return __builtin_add_overflow(a, b, &sum) ? (b > 0 ? INT_MAX : INT_MIN) : sum;
}

} // namespace

void commands_use(Tallis *auths)
{
    St.auths = auths;
}

// --- Reply writers ---

namespace
{

// Formats into bf (WIRE_BUF bytes), cut to fit, without trailing
// line ends, so that the reply is exactly one line.
void format_reply(char *bf, const char *format, va_list ap)
{
    if (adt::vsnprintf(bf, WIRE_BUF, format, ap) == -1) bf[WIRE_BUF - 1] = 0;
    size_t len = strlen(bf);
    while (len > 0 && (bf[len - 1] == '\r' || bf[len - 1] == '\n')) bf[--len] = 0;
}

enum reply_kind { REPLY_OK, REPLY_ERR, REPLY_DEAD };

// Writes one reply line of the kind given, logs it and flushes it.
void print_reply(reply_kind kind, const char *format, va_list ap)
{
    char bf[WIRE_BUF];
    format_reply(bf, format, ap);
    switch (kind) {
    case REPLY_OK:
        out()->line("+OK ", bf);
        imsg("OUTPUT[+OK %s]", bf);
        break;
    case REPLY_ERR:
        out()->line("-ERR ", bf);
        emsg("OUTPUT[-ERR %s]", bf);
        break;
    case REPLY_DEAD:
        out()->line("-DEAD ", bf);
        emsg("-DEAD %s\n", bf);
        break;
    }
    out()->flush();
}

} // namespace

void print_ok(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    print_reply(REPLY_OK, format, ap);
    va_end(ap);
}

void print_err(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    print_reply(REPLY_ERR, format, ap);
    va_end(ap);
}

void print_dead(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    print_reply(REPLY_DEAD, format, ap);
    va_end(ap);
}

int search_result(char *result)
{
    if (result && strncmp(result, "+DATA ", 6) == 0) {
        out()->line("", result);
        out()->flush();
        return 1;
    }
    char bf[WIRE_BUF];
    char *w[10];
    scpy(bf, result, WIRE_BUF);
    int n = ssplit(bf, " ", w, 10, 1);
    int numbers = 0;
    for (int i = 0; i < n; i++) {
        if (w[i][0] < '0' || w[i][0] > '9') continue;
        numbers++;
        if (numbers == 1) {
            search_found = add_saturating(search_found, leading_int(w[i]));
        } else if (numbers == 2) {
            search_outof = add_saturating(search_outof, leading_int(w[i]));
        } else {
            dmsg("Search +OK line has more than 2 numbers in it?!? [%s]", result);
            break;
        }
    }
    if (search_outof < search_found) search_outof = search_found;
    return 1;
}

// --- Commands ---

namespace
{

// A command's handler: given the session, its words (p[0] the command
// word) and their number, at least the row's words, answers the reply line
// as a new heap text, or null when it has written its reply itself.
typedef char *(*command_fn)(const Session *s, char **p, int n);

// One row per command: everything that adding one takes.
struct command_row {
    const char *word;     // on standard input, any letter case
    const char *option;   // its command option, any letter case; null: none
    int mode;             // what Mode becomes for the command option
    int words;            // words it needs, its own included
    int single;           // words after the command word that reach a module as one field each
    const char *synopsis; // its words, for help and usage
    const char *usage;    // reply to too few words on standard input
    command_fn run;
};

// lookup and del: operations on a user's name alone.
char *run_lookup(const Session *, char **p, int)
{
    char *result = nullptr;
    tallis_lookup(St.auths, p[1], &result);
    return result;
}

char *run_del(const Session *, char **p, int)
{
    char *result = nullptr;
    tallis_del(St.auths, p[1], &result);
    return result;
}

// A check without password is answered as a failed check of the user.
char *run_check(const Session *, char **p, int n)
{
    char *result = nullptr;
    if (n == 2) {
        char bf[WIRE_BUF];
        lprintf(bf, WIRE_BUF - 1, "-ERR %s not found or password incorrect", p[1]);
        return s_strdup(bf);
    }
    tallis_check(St.auths, p[1], p[2], n > 3 ? p[3] : nullptr, &result);
    return result;
}

// Words w[0..n-1] joined by single blanks into a new heap text, or null
// when n is 0; the caller frees it.
char *join_words(char **w, int n)
{
    if (n <= 0) return nullptr;
    size_t size = 0;
    for (int i = 0; i < n; i++) size += strlen(w[i]) + 1;
    char *joined = (char *)calloc(size, 1);
    char *end = joined;
    for (int i = 0; i < n; i++) {
        if (i > 0) *end++ = ' ';
        size_t len = strlen(w[i]);
        memcpy(end, w[i], len);
        end += len;
    }
    return joined;
}

char *run_set(const Session *, char **p, int n)
{
    char *result = nullptr;
    char *info = join_words(p + 3, n - 3);
    tallis_set(St.auths, p[1], p[2], info, &result);
    free(info);
    return result;
}

// The reply counts the modules' final lines, whatever they answered.
char *run_search(const Session *, char **p, int n)
{
    char *result = nullptr;
    char *info = join_words(p + 2, n - 2);
    search_found = 0;
    search_outof = 0;
    tallis_search(St.auths, p[1], info, search_result, &result);
    free(result);
    free(info);
    return tallis_make_result("+OK Search Complete %d items found out of %d", search_found,
                              search_outof);
}

// A daemon's client ends only its connection: the modules stay for the next.
char *run_quit(const Session *s, char **, int)
{
    if (!s->connection) {
        tallis_quit(St.auths);
        Mode = MODE_QUIT;
    }
    print_ok("bye");
    return nullptr;
}

char *run_version(const Session *, char **, int)
{
    print_ok("Corvane %s", corvane_version);
    return nullptr;
}

// The daemon's counts as "+DATA " lines of the Prometheus text format.
char *run_stats(const Session *, char **, int)
{
    protect_stats([](const char *line) {
        out()->line("+DATA ", line);
        out()->flush();
    });
    return s_strdup("+OK stats");
}

char *run_flush(const Session *, char **, int)
{
    return s_strdup(protect_flush() ? "+OK cache emptied" : "-DEAD the cache cannot be emptied");
}

char *run_help(const Session *, char **, int);

const command_row Table[] = {
    {"lookup", "-lookup", MODE_LOOKUP, 2, 1, "USER", "Lookup requires 1 parameter 'username'",
     run_lookup},
    {"check", "-check", MODE_CHECK, 2, 3, "USER PASSWORD [ADDRESS]",
     "Check requires at least 2 parameters 'username' 'password' ['ipaddress']", run_check},
    {"set", "-set", MODE_SET, 3, 2, "USER PASSWORD [LABEL=VALUE ...]",
     "Set requires at least 2 parameters 'username' 'password' ['label=value']", run_set},
    {"del", "-del", MODE_DEL, 2, 1, "USER", "Del requires 1 parameter 'username'", run_del},
    {"search", "-search", MODE_SEARCH, 2, 1, "STRING [MORE ...]",
     "Search requires at least 1 parameter 'search string'", run_search},
    {"quit", "-quit", MODE_QUIT, 1, 0, "", nullptr, run_quit},
    {"exit", nullptr, MODE_QUIT, 1, 0, "", nullptr, run_quit},
    {"bye", nullptr, MODE_QUIT, 1, 0, "", nullptr, run_quit},
    {"version", nullptr, MODE_VERSION, 1, 0, "", nullptr, run_version},
    {"stats", "-stats", MODE_STATS, 1, 0, "", nullptr, run_stats},
    {"flush", "-flush", MODE_FLUSH, 1, 0, "", nullptr, run_flush},
    {"help", nullptr, MODE_HELP, 1, 0, "", nullptr, run_help},
};

const command_row *find_word(const char *word)
{
    for (const command_row &c : Table)
        if (s_stricmp(word, c.word) == 0) return &c;
    return nullptr;
}

const command_row *find_option(const char *arg)
{
    for (const command_row &c : Table)
        if (c.option && s_stricmp(arg, c.option) == 0) return &c;
    return nullptr;
}

// "+OK" and the command words with their synopses, from the table.
char *run_help(const Session *, char **, int)
{
    char bf[WIRE_BUF] = "+OK Commands:";
    for (const command_row &c : Table) {
        size_t len = strlen(bf);
        lprintf(bf + len, (int)(sizeof bf - len), " %s%s%s%s", c.word, *c.synopsis ? " " : "",
                c.synopsis, c.run != run_help ? "," : "");
    }
    return s_strdup(bf);
}

// The words of the command of the command line: its option without the
// dash, then every argument after it, at most MAX_WORDS in p. Returns their
// number and sets *row (null when argv[0] is no command option).
int command_line_words(int argc, char **argv, char **p, const command_row **row)
{
    *row = argc > 0 ? find_option(argv[0]) : nullptr;
    if (!*row) return 0;
    int n = 0;
    p[n++] = argv[0] + 1;
    for (int j = 1; j < argc && n < MAX_WORDS; j++) p[n++] = argv[j];
    return n;
}

// 1 when text holds a control character (below 0x20, or DEL).
int has_control(const char *text)
{
    for (const unsigned char *c = (const unsigned char *)text; *c; c++)
        if (*c < 0x20 || *c == 0x7f) return 1;
    return 0;
}

// Each word of a command must reach the modules as part of one request
// line, and a single field as one field. So a word holding a line end is
// refused before any module is asked; so is a single field holding a blank
// or any other control character (a module that splits at white space would
// take "root<TAB>x", which the masks judged whole, as the user root), and a
// client address holding a comma (ip_match would take it as a list and
// admit it when any one of the addresses matches). Writes the refusal into
// bf (bfsz bytes) and answers 1, or 0 when the words are safe.
int unsafe_words(const command_row *c, char **p, int n, char *bf, int bfsz)
{
    for (int i = 1; i < n && c->single > 0; i++) {
        const char *what = nullptr;
        if (strpbrk(p[i], "\r\n"))
            what = "line breaks";
        else if (i <= c->single && strchr(p[i], ' '))
            what = "blanks";
        else if (i <= c->single && has_control(p[i]))
            what = "control characters";
        if (what) {
            lprintf(bf, bfsz, "%s parameters must not contain %s", c->word, what);
            return 1;
        }
        if (c->mode == MODE_CHECK && i == 3 && strchr(p[i], ',')) {
            lprintf(bf, bfsz, "%s address must not contain commas", c->word);
            return 1;
        }
    }
    return 0;
}

// Cuts the line end off a request line. The first byte is left alone, so
// an empty line still yields one (empty) word.
void trim_line(char *input)
{
    char *end = input + strlen(input);
    while (end > input && (*end == '\r' || *end == '\n' || *end == 0)) *end-- = 0;
}

// Logs a line of input at info level as "INPUT[%s]". The log must not
// hold a password: the third word of check and set is written "xxxx", and
// of a line whose command is unknown (a misspelt "chek alice pw") only the
// first two words. The rest is written as typed, control characters and
// backslashes escaped, so that a hostile line cannot forge log lines or
// drive the terminal of whoever reads them.
void trace_input(const char *input)
{
    char words[WIRE_BUF], shown[WIRE_BUF];
    char *p[4];
    scpy(words, input, sizeof words);
    scpy(shown, input, sizeof shown);
    // Words as the command will be split; p points into words, at the
    // offsets the same words have in shown.
    int n = ssplit(words, " \r\n", p, 4, 1);
    const command_row *c = n > 0 ? find_word(p[0]) : nullptr;
    if (!c) {
        if (n > 2) shown[p[1] - words + strlen(p[1])] = 0;
    } else if ((c->mode == MODE_CHECK || c->mode == MODE_SET) && n > 2) {
        size_t at = p[2] - words;
        char rest[WIRE_BUF];
        scpy(rest, input + at + strlen(p[2]), sizeof rest);
        lprintf(shown + at, (int)(sizeof shown - at), "xxxx%s", rest);
    }
    imsg("INPUT[%s]", shown);
}

static_assert(int(MODE_LOOKUP) == int(PROTECT_LOOKUP) && int(MODE_CHECK) == int(PROTECT_CHECK));

// Commands only a writer may give.
bool for_writers(int mode)
{
    return mode == MODE_SET || mode == MODE_DEL || mode == MODE_SEARCH || mode == MODE_STATS ||
           mode == MODE_FLUSH;
}

// A lookup or check (with its password) through the throttle and the
// cache: its reply in *result, or null after it was made to wait (r is to
// be served again at r->not_before).
char *run_protected(Request *r, const command_row *c, char **p, int n)
{
    bool check = c->mode == MODE_CHECK;
    ProtectReq q;
    char reply[WIRE_BUF];
    int wait = 0;
    switch (protect_before(&q, c->mode, r->session, p[1], check ? p[2] : nullptr,
                           check && n > 3 ? p[3] : nullptr, r->step, reply, sizeof reply, &wait)) {
    case PROTECT_ANSWER:
        return s_strdup(reply);
    case PROTECT_WAIT:
        r->step = 1;
        r->not_before = spawn_deadline(wait);
        return nullptr;
    case PROTECT_ASK:
        break;
    }
    char *result = c->run(r->session, p, n);
    protect_after(&q, result);
    return result;
}

// Answers the command of row c (null: none) with its words p[0..n-1] for
// the request r.
Served serve_words(Request *r, const command_row *c, char **p, int n)
{
    const Session *s = r->session;
    char *result;
    char bf[WIRE_BUF];
    if (!c)
        result = s_strdup("-ERR Unknown command");
    else if (!s->writer && for_writers(c->mode))
        result = tallis_make_result("-ERR %s not allowed for this client", p[0]);
    else if (unsafe_words(c, p, n, bf, sizeof bf))
        result = tallis_make_result("-ERR %s", bf);
    else if (n < c->words)
        result = tallis_make_result("-ERR %s", c->usage);
    else if (c->mode == MODE_LOOKUP || (c->mode == MODE_CHECK && n > 2)) {
        if (!(result = run_protected(r, c, p, n))) return SERVE_LATER;
    } else
        result = c->run(s, p, n);
    protect_end(); // a set or del answers only once the cache forgot the old answers
    if (result) send_reply(result);
    free(result);
    return c && c->mode == MODE_QUIT ? SERVED_LAST : SERVED;
}

} // namespace

Served process_command(Request *r)
{
    Speaking to(r->reply);
    char input[WIRE_BUF];
    scpy(input, r->line, sizeof input);
    trim_line(input);
    if (r->step == 0) trace_input(input); // a request served again was traced
    char *p[MAX_WORDS];
    int n = ssplit(input, " \r\n", p, MAX_WORDS, 1);
    return serve_words(r, n > 0 ? find_word(p[0]) : nullptr, p, n);
}

void command_once(const Session *s, int argc, char **argv)
{
    char *p[MAX_WORDS];
    const command_row *c;
    int n = command_line_words(argc, argv, p, &c);
    Request r;
    r.session = s;
    r.reply = nullptr;
    r.step = 0;
    while (serve_words(&r, c, p, n) == SERVE_LATER) my_msleep((int)spawn_left(&r.not_before));
}

ClientEnd command_loop(Client *c, const Session *s, CommandHandler serve)
{
    ClientSink sink(c);
    Request r;
    r.session = s;
    r.reply = &sink;
    ClientEnd why = END_QUIT;
    for (;;) {
        int got = client_read_line(c, r.line, WIRE_BUF);
        if (got < 0) {
            why = c->Why;
            break;
        }
        Speaking to(&sink);
        if (got == 0) {
            send_reply("-ERR Line too long");
            continue;
        }
        r.step = 0;
        Served done;
        while ((done = serve(&r)) == SERVE_LATER) my_msleep((int)spawn_left(&r.not_before));
        if (done == SERVED_LAST) break;
    }
    if (why == END_INPUT && s->connection) {
        Speaking to(&sink);
        print_ok("bye");
    }
    client_flush(c);
    return why;
}

// --- The command line ---

int command_option(const char *arg)
{
    return find_option(arg) != nullptr;
}

int command_line_mode(int argc, char **argv)
{
    char *p[MAX_WORDS];
    char bf[WIRE_BUF];
    const command_row *c;
    int n = command_line_words(argc, argv, p, &c);
    if (!c) return 0;
    if (n < c->words) {
        if (c->words > 2)
            print_err("%s requires at least %d parameters", c->word, c->words - 1);
        else
            print_err("%s requires a parameter", c->word);
        return 1;
    }
    if (unsafe_words(c, p, n, bf, sizeof bf)) {
        print_err("%s", bf);
        return 1;
    }
    Mode = c->mode;
    return 0;
}

void command_options_usage(FILE *to)
{
    for (const command_row &c : Table)
        if (c.option) fprintf(to, "  %s%s%s\n", c.option, *c.synopsis ? " " : "", c.synopsis);
}
