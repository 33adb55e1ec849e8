// The files a module trusts, checked against the other users of the
// machine: a store it serves users from (a password file, a database file)
// and a secret it reads (a service account's password, a passfile). A file
// that another user could change, swap or read is refused before the
// module uses it; the module answers every request "-DEAD reason" then.
#ifndef MODULES_MODSAFE_H
#define MODULES_MODSAFE_H

#include <string>

// What the module does with the file.
enum { MOD_FILE_STORE, MOD_FILE_SECRET };

// Results of mod_file_check.
enum {
    MOD_FILE_UNSAFE = 0, // refused
    MOD_FILE_SAFE = 1,
    MOD_FILE_EXPOSED = 2 // a store that others may read: served, with a warning
};

// Checks the file at path, links followed, and the directory that holds
// it. Refused (MOD_FILE_UNSAFE, with "unsafe store PATH: REASON" or
// "unsafe secret PATH: REASON" in *why): anything but a plain file; a file
// owned by another user than root or the user the module runs as; a store
// that group or others may write, a secret that they may read or write; a
// directory that group or others may write or that another user than root
// or the module's own owns; a path that cannot be looked at. A store that
// others may read is MOD_FILE_EXPOSED, with "store PATH may be read by
// others (mode 0644)" in *why. A missing file is MOD_FILE_SAFE when its
// directory is: the module creates it owner-only, or fails to read it.
int mod_file_check(const char *path, int use, std::string *why);

// mod_file_check for a module that starts to use the file: 1 when it may
// (an exposed store's warning goes to the system log, copied to standard
// error), 0 with the reason in *why. Called once per start, so that the
// warning is given once.
int mod_file_trust(const char *path, int use, std::string *why);

#endif
