// corvane-checkpassword: Corvane behind the checkpassword interface
// (descriptor 3 in, prog run on success, exit 1 or 111 otherwise), with
// --pam behind pam_exec's expose_authtok, and with --pipe behind
// mod_authnz_external's pipe method (exit 0, 1 or 111). Diagnostics go to
// standard error, which every caller logs; the password never does.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "adapters/checkpassword.h"
#include "adt/spawn.h"

namespace
{

void usage(FILE *to)
{
    fprintf(to,
            "usage: corvane-checkpassword [OPTION...] prog [arg...]   checkpassword, descriptor 3\n"
            "       corvane-checkpassword [OPTION...] --pam           pam_exec expose_authtok\n"
            "       corvane-checkpassword [OPTION...] --pipe          mod_authnz_external pipe\n"
            "  --path DIR         configuration directory (default %s)\n"
            "  --corvane PROGRAM  the corvane program to start (default %s)\n"
            "  --socket PATH      ask the Corvane daemon at PATH instead of starting one\n"
            "  --timeout MS       time-out of the whole check (default %d)\n"
            "exit status: 0 accepted, 1 refused, 2 misuse, 111 temporary failure\n",
            cpw_default_path(), cpw_default_corvane(), CPW_TIMEOUT);
}

void say(const char *format, ...) __attribute__((format(printf, 1, 2)));
void say(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    fputs("corvane-checkpassword: ", stderr);
    vfprintf(stderr, format, ap);
    fputc('\n', stderr);
    va_end(ap);
}

// A closed descriptor 0, 1 or 2 is opened on /dev/null, so that no pipe
// of ours lands there and is taken for Corvane's input or output.
void standard_descriptors(void)
{
    if (!adt::spawn_stdio_open()) _exit(CPW_TEMPFAIL);
}

// Reads what the caller hands over into input (CPW_INPUT_MAX + 2 bytes)
// and splits it into l. An exit status; CPW_OK when l is ready.
int take_login(const CpwOptions *o, char *input, CpwLogin *l, const struct timespec *deadline)
{
    int fd = o->Mode == CPW_CHECKPASSWORD ? 3 : 0;
    ssize_t n = cpw_read_all(fd, input, CPW_INPUT_MAX + 1, o->Mode == CPW_PAM, deadline);
    int error = errno;
    if (fd == 3) close(3);
    if (n == -2) {
        say("no login handed over within the time-out");
        return CPW_TEMPFAIL;
    }
    if (n < 0) {
        say("cannot read descriptor %d: %s", fd, strerror(error));
        return error == EBADF ? CPW_MISUSE : CPW_TEMPFAIL;
    }
    static const char *const address[] = {"TCPREMOTEIP", "PAM_RHOST", "IP"};
    int status = cpw_parse_login(o->Mode, input, static_cast<size_t>(n), getenv("PAM_USER"), l);
    if (status == CPW_OK) status = cpw_set_address(l, getenv(address[o->Mode]));
    if (status == CPW_MISUSE)
        say(o->Mode == CPW_PIPE ? "standard input does not hold a user name line"
                                : "descriptor 3 does not hold a user name and a password, each "
                                  "ended by a NUL");
    else if (status == CPW_REJECT)
        say("refused without asking Corvane: an empty or over-long field, a blank or control "
            "character, or a comma in the address");
    return status;
}

// Asks Corvane about l: the exit status its reply stands for.
int check(const CpwOptions *o, const CpwLogin *l, const struct timespec *deadline)
{
    char command[CPW_LINE], reply[CPW_LINE];
    int len = cpw_command(command, sizeof command, l);
    if (len < 0) {
        say("login too long for a Corvane command");
        return CPW_REJECT;
    }
    int got = cpw_ask(o, command, static_cast<size_t>(len), deadline, reply, sizeof reply);
    explicit_bzero(command, sizeof command);
    if (!got) {
        say("%s", reply);
        return CPW_TEMPFAIL;
    }
    int status = cpw_reply_status(reply);
    // A module may echo its request; such a reply is not shown.
    if (status == CPW_TEMPFAIL)
        say("Corvane cannot answer: %s",
            cpw_reply_holds(reply, l->Password) ? "(a reply that holds the password)" : reply);
    explicit_bzero(reply, sizeof reply);
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    standard_descriptors();
    // An ignored SIGCHLD from the caller would hide Corvane's end.
    signal(SIGCHLD, SIG_DFL);
    CpwOptions o;
    char err[CPW_LINE];
    if (!cpw_parse_options(&o, argc, argv, err, sizeof err)) {
        say("%s", err);
        usage(stderr);
        return CPW_MISUSE;
    }
    if (o.Help) {
        usage(stdout);
        return CPW_OK;
    }
    struct timespec deadline = cpw_deadline(o.Timeout);
    char input[CPW_INPUT_MAX + 2];
    CpwLogin l;
    int status = take_login(&o, input, &l, &deadline);
    if (status == CPW_OK) status = check(&o, &l, &deadline);
    if (status == CPW_OK && o.Mode == CPW_CHECKPASSWORD) {
        if (setenv("USER", l.User, 1) != 0) {
            explicit_bzero(input, sizeof input);
            say("cannot set USER: %s", strerror(errno));
            return CPW_TEMPFAIL;
        }
        explicit_bzero(input, sizeof input);
        execvp(o.Prog[0], o.Prog);
        say("cannot run %s: %s", o.Prog[0], strerror(errno));
        return CPW_TEMPFAIL;
    }
    explicit_bzero(input, sizeof input);
    return status;
}
