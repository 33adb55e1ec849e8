// The module side of Corvane's module protocol, shared by the shipped
// modules: start-up safety, the options of the `binary` command line, the
// request loop, and the five operations with their exact replies, carried
// out over a store that each module supplies as a table of functions.
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
// A module whose store cannot be opened answers every request with
// "-DEAD reason", so that Corvane restarts it and in the end gives it up.
#ifndef MODULES_MODLIB_H
#define MODULES_MODLIB_H

#include <string>

// The longest reply line Corvane's channel reads, without its line feed.
enum { MOD_LINE_MAX = 997 };

// Results of the store functions.
enum {
    MOD_DEAD = -2, // the store cannot be read at all: the reply is "-DEAD reason"
    MOD_FAIL = -1, // this request failed: the reply is "-ERR reason"
    MOD_NONE = 0,  // no such user (or, for a guarded update, not as expected)
    MOD_DONE = 1   // found, or changed
};

// What the `binary` command line sets, the same for every shipped module.
struct mod_options {
    std::string File;   // -file PATH: the store; relative to the working directory
    std::string Method; // -method NAME: method of new hashes, "yescrypt" unless set
    const char *Prefix; // the setting prefix of Method
    unsigned long Cost; // -cost N: cost count of new hashes; 0: the method's default
    int ReadOnly;       // -readonly: never change the store
    int Rehash;         // -rehash: a right password under another method is hashed anew
    int Busy;           // -busy MS: longest wait for another process's change (5000)
};
typedef struct mod_options ModOptions;

// One user as a store hands it over.
struct mod_user {
    std::string name;
    std::string hash;
    std::string extra;
};
typedef struct mod_user ModUser;

// Called by a store's each() for every user in name order.
typedef void (*ModEachFn)(void *ctx, const ModUser *u);

// A module's store. Every function answers with one of the results above
// and, for MOD_FAIL and MOD_DEAD, the reason in *err. Changing functions
// make their change whole or not at all, safe against other processes
// changing the same store at the same time.
struct mod_store {
    const char *Kind; // the kind word of check replies: "file", "sqlite"
    void *Self;       // handed to every function
    // Fills *u with the user name: MOD_DONE, or MOD_NONE when unknown.
    int (*find)(void *self, const char *name, ModUser *u, std::string *err);
    // Creates the user or replaces its hash and extra text: MOD_DONE.
    int (*put)(void *self, const ModUser *u, std::string *err);
    // Replaces hash and extra of an existing user, each unless null; with
    // expect set, only while the stored hash still equals it. MOD_NONE when
    // the user is unknown or the hash is no longer expect.
    int (*update)(void *self, const char *name, const char *hash, const char *extra,
                  const char *expect, std::string *err);
    // Deletes the user: MOD_DONE, or MOD_NONE when unknown.
    int (*remove)(void *self, const char *name, std::string *err);
    // Calls fn for every user, in byte order of their names: MOD_DONE.
    int (*each)(void *self, ModEachFn fn, void *ctx, std::string *err);
    // A stored hash whose verification costs what most users' does, or the
    // empty text (then a hash of -method is used). May be null.
    const std::string &(*typical)(void *self);
};
typedef struct mod_store ModStore;

// Makes descriptors 0 to 2 safe (a closed one is opened on /dev/null, so
// that no store file can land on it) and lets SIGTERM end the process at
// once. Call first thing in main.
void mod_start(void);

// Reads the options from argv[1] on into o (defaults first). 1 on success;
// 0 with the reason in *err for an unknown option, a missing value or an
// unknown hash method.
int mod_options_parse(ModOptions *o, int argc, char **argv, std::string *err);

// 1 when name may be a user name: not empty, no blank, colon or control
// character, and not beginning with "#" (a comment in a password file).
int mod_name_ok(const char *name);

// Writes one reply line (cut to MOD_LINE_MAX) and its line feed to
// standard output at once. Ends the process when Corvane has gone away.
void mod_reply(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Answers one request line (changed in place). 0 after "quit", else 1.
// With dead set, every request is answered "-DEAD dead".
int mod_request(const ModStore *s, const ModOptions *o, const char *dead, char *line);

// Reads requests from standard input and answers them until "quit" or the
// end of input. dead as for mod_request. Returns the exit status.
int mod_run(const ModStore *s, const ModOptions *o, const char *dead);

#endif
