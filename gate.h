// Gatekeeping: the callbacks through which the module table asks, before
// each module is sent an operation, whether the module takes part and
// under which name. They answer from the module's settings: the
// operation's switch (do_lookup, ...), its mask of names (lookup, ...,
// falling back to match), for a check the client's address (ip_match), for
// a set whether the module knows the user; a module that takes part gets
// the name with its strip_prefix and strip_suffix removed.
#ifndef GATE_H
#define GATE_H

#include "adt/tallis.h"
#include "config.h"

// Each callback answers whether module m takes part in the operation: null
// when it does not (the reason is logged at debug level), otherwise the
// name to send it (see strip_username). username is the name exactly as the
// client gave it, and is never changed. A "!" exclusion of the mask rejects
// the name when it matches, ignoring ASCII letter case, either that name or
// the rewritten one; the other entries match the name as given, exactly.
// data is the module's CorvaneData.

char *cblookup(adt::Module *m, void *data, char *username, int bfsz);
// Also marks a module whose do_check is "move_from" as the source of a set
// on check, every time it is asked, whatever else it decides.
char *cbcheck(adt::Module *m, void *data, char *username, char *ip, int bfsz);
// do_set "existing" (the default) asks the module whether it knows the user
// first; "move_to" takes only sets with a password, "move_from" only sets
// whose password is "(NULL)".
char *cbset(adt::Module *m, void *data, char *username, char *password, int bfsz);
char *cbdel(adt::Module *m, void *data, char *username, int bfsz);
char *cbsearch(adt::Module *m, void *data, char *string, int bfsz);

// 1 when the mask list admits name, else 0. Entries are separated by commas
// and blanks (at most 100, the last keeping the rest); each is a wildcard
// pattern matched case-sensitively against the whole name, and the first
// match admits. An entry "!pattern" rejects at once a name it matches
// ignoring ASCII letter case (a store may not tell "Root" from "root");
// "!!pattern" is the literal pattern "!pattern". A null or empty mask
// admits nothing.
int match_match(const char *mask, const char *name);
// As match_match for the name given, except that a "!" entry also rejects
// the name when it matches rewritten (may be null): the name as a module
// would be asked after its prefix and suffix are removed.
int match_names(const char *mask, const char *given, const char *rewritten);
// The name with the module's strip_prefix (any letter case) and
// strip_suffix (exact) removed: a pointer into username past the prefix,
// or, when a suffix goes, a copy in a buffer of the front end's that the
// next call overwrites. username itself is never changed. Null for a null
// username.
char *strip_username(CorvaneData *data, char *username);

#endif
