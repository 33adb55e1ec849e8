// Privilege: the identity Corvane's modules run as (and, in the daemon,
// Corvane itself), taking it on for good, and what that identity may do
// with the files Corvane's modules and log need.
//
// Run as root with `user` set, Corvane takes on that user (its groups, the
// group of `group` or its own, the user) before it starts a module or opens
// its log, in every mode: an administrator's test as root then creates no
// file the service cannot use. Run as anyone else, it stays who it is.
#ifndef PRIVILEGE_H
#define PRIVILEGE_H

#include <string>
#include <sys/types.h>
#include <vector>

struct RunAs {
    bool change = false; // root with `user` set: take the identity on
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups; // the supplementary groups, the user's as the group
                               // database has them when resolved
    std::string user;          // the user's name (or uid), for messages
};

// Resolves user and group (null: unset; a name or a number) into r: the
// identity to take on when running as root with user set, else our own
// (r->change false). 0 with the reason in *why ("no such user 'x'").
int runas_resolve(const char *user, const char *group, RunAs *r, std::string *why);

// Takes on r for good (when r.change): supplementary groups, group, user,
// then makes sure that neither user nor group root can be had again. 0
// with the reason in *why; the process must then not go on.
int runas_become(const RunAs &r, std::string *why);

// What the files Corvane needs hold for the identity r, looked at in a
// child process that takes it on: modules run in state_dir (it must be
// entered and read; with writable set, as for a state directory of its
// own, also written, and every plain file in it read and written); the
// log (when log_file is not null) is log_file in log_dir, which must be
// written (the file) and written in (the directory, for rotation). One
// text per finding, "PATH (owner NAME, mode 0NNN): the user USER cannot
// ..." in findings.
void runas_check_access(const RunAs &r, const char *state_dir, bool writable, const char *log_dir,
                        const char *log_file, std::vector<std::string> *findings);

#endif
