// The module side of Corvane's module protocol, shared by the shipped
// modules: start-up safety, the options of the `binary` command line, the
// request loop, and the five operations with their exact replies, carried
// out over a store that each module supplies as a ModStore of its own.
//
// Corvane writes one request per line to the module's standard input and
// reads one reply line (a search: "+DATA " lines, then one final line)
// from its standard output within the module's time-out:
//   lookup name                  "+OK name [extra]"  | "-ERR name not found"
//   check name password [addr]   "+OK name kind method [extra]"
//                                | "-ERR name not found or password incorrect"
//   set name password [extra]    "+OK name set"; password "(NULL)" keeps the
//                                stored hash and replaces only the extra text
//   del name                     "+OK name deleted"  | "-ERR name not found"
//   search pattern [rest]        "+DATA name [extra]"..., "+OK found total"
//   quit                         no reply; the module exits
// "-ERR" means no such user, a wrong password (a locked hash is one), or a
// request the module refuses (malformed, or not allowed by its options):
// it is a final answer. Whatever keeps the module from reaching or reading
// its store (a lock held too long, a time-out, a lost connection, an I/O
// error, a store file it cannot parse or may not trust) is "-DEAD reason":
// Corvane takes it as a temporary failure, never as an unknown user. A
// module whose store cannot be opened answers every request so.
#ifndef MODULES_MODLIB_H
#define MODULES_MODLIB_H

#include "adt/wire.h"

#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

// The longest reply line Corvane's channel reads, without its line feed.
enum { MOD_LINE_MAX = adt::WIRE_TEXT };

// Results of the store functions.
enum {
    MOD_DEAD = -2, // the store cannot be reached or read: the reply is "-DEAD reason"
    MOD_FAIL = -1, // the store refuses this request's data: the reply is "-ERR reason"
    MOD_NONE = 0,  // no such user (or, for a guarded update, not as expected; for
                   // put, a user whose name differs only in letter case holds the key)
    MOD_DONE = 1   // found, or changed
};

// What the `binary` command line sets, the same for every shipped module.
// The options of a store's own are its ModOption list.
struct mod_options {
    std::string Method; // -method NAME: method of new hashes, "yescrypt" unless set
    const char *Prefix; // the setting prefix of Method
    unsigned long Cost; // -cost N: cost count of new hashes; 0: the method's default
    int ReadOnly;       // -readonly: never change the store
    int Rehash;         // -rehash: a right password under another method is hashed anew
};
typedef struct mod_options ModOptions;

// One option of a store's own. An option with a value sets Text or Number
// (whichever is not null) from the word after it; a flag has neither. Flag,
// when not null, is set to 1 whenever the option is given.
struct mod_option {
    const char *Name;  // as written on the command line: "-file"
    std::string *Text; // a text value
    int *Number;       // a number value (a negative one counts as 0)
    int *Flag;         // 1 once given
};
typedef struct mod_option ModOption;

// One user as a store hands it over.
struct mod_user {
    std::string name;
    std::string hash;
    std::string extra;
};
typedef struct mod_user ModUser;

// A module's store: a module supplies one, mod_main does the rest. Every
// function but kind, options and typical answers with one of the results
// above and, for MOD_FAIL and MOD_DEAD, the reason in *err. Changing
// functions make their change whole or not at all, safe against other
// processes changing the same store at the same time. A store releases its
// descriptors and handles in its destructor.
class ModStore
{
  public:
    virtual ~ModStore() = default;
    // The kind word of check replies: "file", "sqlite", "pgsql".
    virtual const char *kind() const = 0;
    // The options of the store's own, beyond -method, -cost, -readonly and
    // -rehash. The pointers in it stay valid for the store's life.
    virtual std::vector<ModOption> options() = 0;
    // Opens the store once the options are read: 1, or 0 with the reason
    // in *err, which then answers every request as "-DEAD reason".
    virtual int open(const ModOptions &o, std::string *err) = 0;
    // Fills *u with the user name: MOD_DONE, or MOD_NONE when unknown. Only
    // a user whose stored name equals name byte for byte is found, whatever
    // the store's own comparison (a collation that ignores case) matched;
    // the changing functions touch only such a user too.
    virtual int find(const char *name, ModUser *u, std::string *err) = 0;
    // Creates the user or replaces its hash and extra text: MOD_DONE.
    virtual int put(const ModUser &u, std::string *err) = 0;
    // Replaces hash and extra of an existing user, each unless null; with
    // expect set, only while the stored hash still equals it. MOD_NONE when
    // the user is unknown or the hash is no longer expect.
    virtual int update(const char *name, const char *hash, const char *extra, const char *expect,
                       std::string *err) = 0;
    // Deletes the user: MOD_DONE, or MOD_NONE when unknown.
    virtual int remove(const char *name, std::string *err) = 0;
    // Calls fn for every user (name and extra are enough), in byte order of
    // their names: MOD_DONE.
    virtual int each(const std::function<void(const ModUser &)> &fn, std::string *err) = 0;
    // A stored hash whose verification costs what most users' does, which
    // an unknown user's password is verified against; the empty text when
    // the store knows none (then a hash of -method is used).
    virtual const std::string &typical();
};

// A descriptor owned: closed when it is replaced and when its owner ends.
class ModFd
{
  public:
    ModFd() = default;
    explicit ModFd(int fd) : fd_(fd) {}
    ModFd(const ModFd &) = delete;
    ModFd &operator=(const ModFd &) = delete;
    ~ModFd() { reset(); }
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    // Gives the descriptor up to the caller, who closes it.
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor held, if any, and holds fd instead.
    void reset(int fd = -1)
    {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// Makes descriptors 0 to 2 safe (a closed one is opened on /dev/null, so
// that no store file can land on it) and lets SIGTERM end the process at
// once. mod_main calls it first; a module with a loop of its own calls it
// first thing in main.
void mod_start(void);

// Runs a module over its store: mod_start, then reads the options, opens
// the store and answers requests until "quit" or the end of input. Bad options or a
// store that cannot be opened answer every request "-DEAD reason". Returns
// the exit status. Call it as the whole of main.
int mod_main(int argc, char **argv, ModStore *s);

// Reads the common options and the store's own from argv[1] on into o and
// the store's variables (defaults first for the common ones). 1 on success;
// 0 with the reason in *err for an unknown option, a missing value, an
// unknown hash method or a cost the method does not take.
int mod_options_parse(ModOptions *o, const std::vector<ModOption> &own, int argc, char **argv,
                      std::string *err);

// 1 when name may be a user name: not empty, no blank, colon or control
// character, and not beginning with "#" (a comment in a password file).
int mod_name_ok(const char *name);

// Writes one reply line (cut to MOD_LINE_MAX, every control character
// other than a tab made a blank, so that it stays one line) and its line
// feed to standard output at once. Ends the process when Corvane has gone
// away.
void mod_reply(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Answers one request line (changed in place). 0 after "quit", else 1.
// With dead set, every request is answered "-DEAD dead".
int mod_request(ModStore *s, const ModOptions *o, const char *dead, char *line);

// Reads requests from standard input and answers them until "quit" or the
// end of input. dead as for mod_request. Returns the exit status.
int mod_run(ModStore *s, const ModOptions *o, const char *dead);

#endif
