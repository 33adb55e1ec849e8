// Self-check: a module program asked to check itself, for `corvane -t`
// only. The program runs once, the way the module table runs it (through
// adt/spawn, as the user modules run as, with our environment, in the
// modules' working directory), with "-t" as its first argument before the words of its
// command line, its standard input at its end at once, and no request. A
// module that knows "-t" prints one line per finding ("warning: TEXT" for
// a warning) and exits non-zero when one is a problem; one that does not
// know it ends at the end of its input and counts as fine.
#ifndef SELFCHECK_H
#define SELFCHECK_H

#include <string>
#include <vector>

// What a module said when asked to check itself.
struct SelfCheck {
    std::vector<std::string> warnings; // its "warning: " lines, without that lead
    std::vector<std::string> problems; // its other lines, when it failed; else none
    // Why it failed, when it printed no problem of its own ("exited with
    // status 3", "did not end within 200 ms: killed", "cannot execute ...");
    // empty when it passed or said why itself.
    std::string failure;
    bool failed = false; // it exited non-zero, was ended by a signal, hung or could not run
};

// Runs command (a module's command line) with "-t" in dir (null: ours), as
// user uid and group gid with the user's groups (-1: ours), allowing it
// timeout_ms, and at least 5 seconds, to print and end; a program still
// running then is killed.
SelfCheck selfcheck_module(const char *command, const char *dir, int timeout_ms, int uid = -1,
                           int gid = -1);

#endif
