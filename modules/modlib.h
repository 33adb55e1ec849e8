// The module side of Corvane's module protocol, shared by the shipped
// modules: start-up safety, the options of the `binary` command line, the
// one request reader and loop with its name rule and line limit, the
// replies, and the self-check of `-t`. A module supplies its back end as a
// ModBackend; mod_main does the rest.
//
// Corvane writes one request per line to the module's standard input and
// reads one reply line (a search: "+DATA " lines, then one final line)
// from its standard output within the module's time-out:
//   lookup name                  "+OK name [extra]"  | "-ERR name not found"
//   check name password [addr]   "+OK name kind method [extra]"
//                                | "-ERR name not found or password incorrect"
//   set name password [extra]    "+OK name set". Without extra the stored
//                                extra information is kept; with extra
//                                (also an empty one: the line ends in a
//                                blank) it is replaced. Password "(NULL)"
//                                keeps the stored password
//   del name                     "+OK name deleted"  | "-ERR name not found"
//   search pattern [rest]        "+DATA name [extra]"..., "+OK found total"
//   quit                         no reply; the module exits
// "-ERR" means no such user, a wrong password (a locked hash is one), or a
// request the module refuses (malformed, or not allowed by its options):
// it is a final answer. Whatever keeps the module from reaching or reading
// its store (a lock held too long, a time-out, a lost connection, an I/O
// error, a store file it cannot parse or may not trust) is "-DEAD reason":
// Corvane takes it as a temporary failure, never as an unknown user. A
// module whose options are bad or whose store cannot be opened answers
// every request so.
//
// Run as "module -t OPTIONS...", a module checks itself instead: it prints
// a line for every problem and "warning: TEXT" for every warning, creates
// and changes nothing, reads no request, and exits 1 when it found a
// problem, else 0.
#ifndef MODULES_MODLIB_H
#define MODULES_MODLIB_H

#include "adt/lib.h"
#include "adt/wire.h"

#include <string>
#include <unistd.h>
#include <vector>

// The longest request or reply line, without its line feed.
enum { MOD_LINE_MAX = adt::WIRE_TEXT };

// One option of the `binary` command line. An option with a value sets
// Text or Number (whichever is not null) from the word after it; a flag
// has neither. Flag, when not null, is set to 1 whenever the option is
// given. With Joins, the words after the value that hold "=" and do not
// begin with "-" are more of it, joined by blanks (a list of settings
// "keyword=value").
struct mod_option {
    const char *Name = nullptr;  // as written on the command line: "-file"
    std::string *Text = nullptr; // a text value
    int *Number = nullptr;       // a number value (a negative one counts as 0)
    int *Flag = nullptr;         // 1 once given
    int Joins = 0;
};
typedef struct mod_option ModOption;

// A descriptor owned (the one owner Corvane, the modules and the adapters share).
using ModFd = adt::Fd;

// The one reader of lines from standard input: Corvane's requests, and a
// password typed or piped to a module's tool.
class ModReader
{
  public:
    enum { END = 0, LINE = 1, TOO_LONG = 2 };
    ModReader() = default;
    ModReader(const ModReader &) = delete;
    ModReader &operator=(const ModReader &) = delete;
    ~ModReader();
    // Reads the next line into *line, without its line feed and a carriage
    // return before it: LINE. END at the end of input or on a read error
    // (a last line without its line feed is still a line). TOO_LONG, with
    // *line empty, as soon as a line has passed MOD_LINE_MAX characters,
    // before the rest of it is read: that rest is skipped. The bytes taken
    // are wiped from the reader's buffer, since requests carry passwords.
    int read(std::string *line);

  private:
    char bf_[4096];
    size_t have_ = 0, upto_ = 0; // bytes in bf_, and those taken
    bool skipping_ = false;      // dropping the rest of an over-long line
};

// Reads a password, the first line of standard input; on a terminal it is
// asked for with prompt on standard error and not echoed. 1 with it in
// *out (the caller wipes it); 0 at the end of input or for a line too long.
int mod_read_password(const char *prompt, std::string *out);

// What a self-check finds, written as it is found: a problem as a line of
// its own, a warning as "warning: TEXT".
class ModCheck
{
  public:
    void problem(const std::string &text);
    void warning(const std::string &text);
    int problems() const { return problems_; }

  private:
    int problems_ = 0;
};

// A module's back end: what answers the requests. mod_main has read the
// request, checked the user name with mod_name_ok and the request's words,
// and answered a check with an empty or "(NULL)" password itself. Each
// request function writes its reply with mod_reply: one line, for a search
// its "+DATA " lines and one final line.
class ModBackend
{
  public:
    virtual ~ModBackend() = default;
    // The options of the `binary` line. The pointers in them stay valid
    // for the back end's life.
    virtual std::vector<ModOption> options() = 0;
    // Starts to serve once the options are read (a store may be created
    // here): 1, or 0 with the reason in *err, which then answers every
    // request "-DEAD reason".
    virtual int open(std::string *err) = 0;
    // The self-check of -t once the options are read: reports on c what a
    // start or a request would trip on, and creates and changes nothing. A
    // server that cannot be reached is a warning.
    virtual void selfcheck(ModCheck *c) = 0;
    virtual void lookup(const char *name) = 0;
    virtual void check(const char *name, const char *password) = 0;
    // password null: "(NULL)", keep the stored one. extra null: none
    // given, keep the stored extra information; "" (given empty): clear it.
    virtual void set(const char *name, const char *password, const char *extra) = 0;
    virtual void del(const char *name) = 0;
    virtual void search(const char *pattern) = 0;
};

// Makes descriptors 0 to 2 safe (a closed one is opened on /dev/null, so
// that no store file can land on it), lets SIGTERM end the process at once
// and lets a write to a server that has gone fail instead of ending it.
// mod_main calls it first.
void mod_start(void);

// Runs a module: mod_start, then, with "-t" as argv[1], the self-check of
// the options after it; else reads the options, opens the back end and
// answers requests until "quit" or the end of input. Bad options or a
// back end that cannot be opened answer every request "-DEAD reason".
// Returns the exit status. Call it as the whole of main.
int mod_main(int argc, char **argv, ModBackend *b);

// 1 when name may be a user name: not empty, no blank, colon or control
// character, and not beginning with "#" (a comment in a password file).
int mod_name_ok(const char *name);

// Writes one reply line (cut to MOD_LINE_MAX, every control character
// other than a tab made a blank, so that it stays one line) and its line
// feed to standard output at once. Ends the process when Corvane has gone
// away.
void mod_reply(const char *format, ...) __attribute__((format(printf, 1, 2)));

#endif
