// The password-file module as a function, so that a fuzz target runs it in
// its own process as the program corvane-file does (the program's main only
// calls it).
#ifndef MODULES_CORVANE_FILE_H
#define MODULES_CORVANE_FILE_H

// Runs the module on the options in argv, serving requests from standard
// input until its end or "quit" (with "-t" first: checks them; with "-hash"
// first: prints the hash of a password read from standard input); the
// program's exit status.
int corvane_file_main(int argc, char **argv);

#endif
