// The stores that keep password hashes (a password file, SQLite,
// PostgreSQL) as one back end: ModStore answers the requests, with their
// exact replies, over a few store functions that each such store supplies,
// and carries the options these stores share (-method, -cost, -readonly,
// -rehash).
#ifndef MODULES_MODSTORE_H
#define MODULES_MODSTORE_H

#include "modules/modlib.h"

#include <functional>
#include <string>
#include <vector>

// The method of new hashes unless -method names another.
inline constexpr char MOD_METHOD_DEFAULT[] = "yescrypt";

// Results of the store functions.
enum {
    MOD_DEAD = -2, // the store cannot be reached or read: the reply is "-DEAD reason"
    MOD_FAIL = -1, // the store refuses this request's data: the reply is "-ERR reason"
    MOD_NONE = 0,  // no such user (or, for a guarded update, not as expected; for
                   // put, a user whose name differs only in letter case holds the key)
    MOD_DONE = 1   // found, or changed
};

// The options every hash store takes.
struct mod_options {
    std::string Method = MOD_METHOD_DEFAULT; // -method NAME: method of new hashes
    const char *Prefix = nullptr;            // the setting prefix of Method
    unsigned long Cost = 0; // -cost N: cost count of new hashes; 0: the method's default
    int ReadOnly = 0;       // -readonly: never change the store
    int Rehash = 0;         // -rehash: a right password under another method is hashed anew
};
typedef struct mod_options ModOptions;

// One user as a store hands it over.
struct mod_user {
    std::string name;
    std::string hash;
    std::string extra;
};
typedef struct mod_user ModUser;

// A store of hashes. Every store function but kind, store_options,
// open_store, check_store and typical answers with one of the results above
// and, for MOD_FAIL and MOD_DEAD, the reason in *err. Changing functions
// make their change whole or not at all, safe against other processes
// changing the same store at the same time. A store releases its
// descriptors and handles in its destructor.
class ModStore : public ModBackend
{
  public:
    std::vector<ModOption> options() final;
    int open(std::string *err) final;
    void selfcheck(ModCheck *c) final;
    void lookup(const char *name) final;
    void check(const char *name, const char *password) final;
    void set(const char *name, const char *password, const char *extra) final;
    void del(const char *name) final;
    void search(const char *pattern) final;

    // The kind word of check replies: "file", "sqlite", "pgsql".
    virtual const char *kind() const = 0;
    // The options of the store's own, beyond the shared ones.
    virtual std::vector<ModOption> store_options() = 0;
    // Opens the store once the options are read (opts_ holds the shared
    // ones): 1, or 0 with the reason in *err.
    virtual int open_store(std::string *err) = 0;
    // The store's part of the self-check: that its store exists, or will
    // be created, and can be read, and written unless read-only, by the
    // user the module runs as; that its files may be trusted (a store
    // others may read is a warning); that its server answers (a warning
    // when not). Creates and changes nothing.
    virtual void check_store(ModCheck *c) = 0;
    // Fills *u with the user name: MOD_DONE, or MOD_NONE when unknown. Only
    // a user whose stored name equals name byte for byte is found, whatever
    // the store's own comparison (a collation that ignores case) matched;
    // the changing functions touch only such a user too.
    virtual int find(const char *name, ModUser *u, std::string *err) = 0;
    // Creates the user or replaces its hash: MOD_DONE. extra replaces the
    // extra information unless null; null keeps a user's stored one and
    // gives a new user none.
    virtual int put(const char *name, const char *hash, const char *extra, std::string *err) = 0;
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

  protected:
    ModOptions opts_; // the shared options, read before open_store and check_store

  private:
    std::string cost_; // -cost as written
    int settings(std::string *err);
    void rehash_right(const ModUser &u, const char *password);
    void verify_nothing(const char *password);
};

// The self-check's look at a store file, or at its directory when the
// file is missing (what a start would create): that the user the module
// runs as may read it, and write it and its directory unless read-only;
// that it may be trusted (mod_file_check; a store others may read is a
// warning). 1 when the file is there and may be read, so that its content
// can be looked at.
int mod_check_store_file(ModCheck *c, const std::string &path, const ModOptions &o);

#endif
