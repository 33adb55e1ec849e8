// ask: what the programs that put Corvane behind other software share
// (corvane-checkpassword, corvane-squid, and `corvane -connect` through
// connect.h): the exit statuses, the common options, and a link to
// Corvane, either a connection to the daemon or a Corvane child started in
// its configuration directory. The requests and replies themselves go
// through askd.h, which each link is read and written with.
//
// A Corvane child's standard input and output are one end of a socket
// pair, so that a child and the daemon are spoken to alike (askd_send never
// raises SIGPIPE); its standard error is the program's own, where its
// caller logs it. Nothing here writes to standard output or error: a
// failure's reason goes to the caller's buffer.
#ifndef ADAPTERS_ASK_H
#define ADAPTERS_ASK_H

#include <cstddef>
#include <sys/types.h>

#include "adapters/askd.h"
#include "adt/lib.h"

// Exit statuses of the adapters and of `corvane -connect`.
enum {
    ASK_OK = 0,         // accepted, found, done
    ASK_REJECT = 1,     // refused: a wrong password, an unknown user, a login that cannot be asked
    ASK_MISUSE = 2,     // the caller broke the interface: bad options, malformed input
    ASK_TEMPFAIL = 111, // Corvane could not answer: try again later
};

enum {
    ASK_TIMEOUT = 30000, // default time-out, in milliseconds
    ASK_GRACE = 2000,    // time a Corvane child is given to end once its input is done
};

// The exit status an answer (enum askd_answer) stands for: ASK_OK for
// ASKD_OK, ASK_REJECT for ASKD_ERR, ASK_TEMPFAIL for the rest.
int ask_status(int answer);

// One login as a caller handed it over: texts that point into the
// caller's input.
struct AskLogin {
    const char *User;
    const char *Password;
    const char *Address; // the client's address, or null when none was given
};

// Sets l->Address from the caller's text: null or empty is no address;
// ASK_REJECT for one askd_address_ok refuses, so that it cannot pass
// unseen. ASK_OK otherwise.
int ask_set_address(AskLogin *l, const char *address);

// The options every adapter takes.
struct AskOptions {
    const char *Corvane; // --corvane: the corvane program; the installed one unless set
    const char *Path;    // --path: its configuration directory; the built-in one unless set
    const char *Socket;  // --socket: a running daemon's socket, asked instead; or null
    int Timeout;         // --timeout, in milliseconds
    int ChildNamed;      // 1 when --corvane or --path was given
};

// The corvane program and the configuration directory used when no option
// names them, both set at build time from the install prefix.
const char *ask_default_corvane(void);
const char *ask_default_path(void);

// o with the defaults: no socket, ASK_TIMEOUT.
void ask_options_init(AskOptions *o);

// The name of the option word (without its one or two dashes; "" for
// "--"), or null for a word that is no option ("-" included).
const char *ask_option_name(const char *word);

// Reads the common option at argv[*i] into o: --corvane PROGRAM, --path DIR
// and --socket [PATH] (absolute paths; without a path, the word after
// beginning with "-" or none, the socket is CORVANE_SOCKET), --timeout MS.
// 1 when it was one (*i is then on its last word); 0 when it is none of
// them; -1 with the reason in err (capacity size) for a missing or bad value.
int ask_option(AskOptions *o, int argc, char **argv, int *i, char *err, size_t size);

// What an adapter does first: descriptors 0 to 2 are opened on /dev/null
// when closed, so that no socket of ours lands there and is taken for
// Corvane's input or output, and SIGCHLD gets its default disposition (an
// ignored one from the caller would hide Corvane's end). 0 when the
// descriptors cannot be made safe.
int ask_init(void);

// 1 when Corvane may take its configuration from dir: dir and the
// configuration file the program corvane reads there (its name with
// ".ini") are owned by root or by this process's user, and neither is
// writable by anyone but its owner. 0 with the reason in err otherwise
// (also when either cannot be examined).
int ask_config_safe(const char *dir, const char *corvane, char *err, size_t size);

// Reads from fd until its end, size bytes, or deadline; with to_nul also
// until a read brings a NUL. The count read; -1 on a read error (errno
// set), -2 when the deadline passed first.
ssize_t ask_read_all(int fd, void *buf, size_t size, int to_nul, const struct timespec *deadline);

// Lets the child pid end by itself within grace_ms, or ends it: SIGTERM,
// up to a second more, then SIGKILL; it is reaped in every case. The waits
// wake on SIGCHLD (blocked meanwhile, the caller's mask restored after),
// never poll.
void ask_end_child(pid_t pid, int grace_ms);

// One way to Corvane: a connection to the daemon, or a Corvane child.
class AskLink
{
  public:
    AskLink() = default;
    AskLink(const AskLink &) = delete;
    AskLink &operator=(const AskLink &) = delete;
    ~AskLink() { close(ASK_GRACE); }

    // Opens the link o says before deadline: to o.Socket when set, else a
    // Corvane child of o.Corvane in o.Path (after ask_config_safe there),
    // which tells through a status pipe when it could not enter the
    // directory or execute the program. 1, or 0 with the reason in why
    // (capacity size).
    int open(const AskOptions &o, const struct timespec *deadline, char *why, size_t size);
    // Closes Corvane's end; a child is given grace_ms to end by itself
    // (ask_end_child). The link may be opened again.
    void close(int grace_ms);

    int fd() const { return fd_.get(); }
    // The peer's name for reasons: "the daemon at PATH", or the program.
    const char *who() const { return who_; }
    // Sends len bytes whole before deadline (askd_send).
    int send(const char *data, size_t len, const struct timespec *deadline);
    // The next reply line (askd_read_line, on a reader that lives as long
    // as the link).
    int read_line(char *line, size_t size, const struct timespec *deadline);
    // 1 while bytes that came are not handed out yet (a line begun).
    int holds_part() const { return reader_.end > reader_.start; }
    // Whether an idle link can still carry a request: Corvane has not
    // ended or closed its end. Output nobody asked for is thrown away.
    bool usable();

  private:
    int start_child(const AskOptions &o, const struct timespec *deadline, char *why, size_t size);
    void forget();

    adt::Fd fd_;
    pid_t pid_ = -1;
    askd_reader reader_ = {};
    char buf_[ASKD_BUF] = "";
    char who_[ASKD_BUF] = "";
};

// Asks line (one request, without its line feed) of the Corvane o says
// (askd_exchange over an AskLink, which is then closed) before deadline.
// The class of the answer; reply (capacity size) as askd_exchange fills it,
// or with the reason the link could not be opened.
int ask_once(const AskOptions *o, const char *line, const struct timespec *deadline, char *reply,
             size_t size);

#endif
