// corvane-checkpassword: Corvane behind the checkpassword interface
// (descriptor 3 in, prog run on success, exit 1 or 111 otherwise), with
// --pam behind pam_exec's expose_authtok, and with --pipe behind
// mod_authnz_external's pipe method (exit 0, 1 or 111). Diagnostics go to
// standard error, which every caller logs; the password never does.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "adapters/checkpassword.h"

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
            "  --socket [PATH]    ask the Corvane daemon at PATH (default %s) instead of\n"
            "                     starting one; before prog, end the options with --\n"
            "  --timeout MS       time-out of the whole check (default %d)\n"
            "exit status: 0 accepted, 1 refused, 2 misuse, 111 temporary failure\n",
            ask_default_path(), ask_default_corvane(), CORVANE_SOCKET, ASK_TIMEOUT);
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

// Reads what the caller hands over into input (CPW_INPUT_MAX + 2 bytes)
// and splits it into l. An exit status; ASK_OK when l is ready.
int take_login(const CpwOptions *o, char *input, AskLogin *l, const struct timespec *deadline)
{
    int fd = o->Mode == CPW_CHECKPASSWORD ? 3 : 0;
    ssize_t n = ask_read_all(fd, input, CPW_INPUT_MAX + 1, o->Mode == CPW_PAM, deadline);
    int error = errno;
    if (fd == 3) close(3);
    if (n == -2) {
        say("no login handed over within the time-out");
        return ASK_TEMPFAIL;
    }
    if (n < 0) {
        say("cannot read descriptor %d: %s", fd, strerror(error));
        return error == EBADF ? ASK_MISUSE : ASK_TEMPFAIL;
    }
    static const char *const address[] = {"TCPREMOTEIP", "PAM_RHOST", "IP"};
    int status = cpw_parse_login(o->Mode, input, static_cast<size_t>(n), getenv("PAM_USER"), l);
    if (status == ASK_OK) status = ask_set_address(l, getenv(address[o->Mode]));
    if (status == ASK_MISUSE)
        say(o->Mode == CPW_PIPE ? "standard input does not hold a user name line"
                                : "descriptor 3 does not hold a user name and a password, each "
                                  "ended by a NUL");
    else if (status == ASK_REJECT)
        say("refused without asking Corvane: an empty or over-long field, a blank or control "
            "character, or a comma in the address");
    return status;
}

// Asks Corvane about l: the exit status its answer stands for.
int check(const CpwOptions *o, const AskLogin *l, const struct timespec *deadline)
{
    char line[ASKD_BUF], reply[ASKD_BUF];
    if (askd_check_line(line, sizeof line, l->User, l->Password, l->Address) < 0) {
        say("login too long for a Corvane command");
        return ASK_REJECT;
    }
    int answer = ask_once(&o->Ask, line, deadline, reply, sizeof reply);
    explicit_bzero(line, sizeof line);
    // A module may echo its request; such a reply is not shown.
    if (answer == ASKD_NONE)
        say("%s", reply);
    else if (answer == ASKD_DEAD)
        say("Corvane cannot answer: %s",
            askd_holds(reply, l->Password) ? "(a reply that holds the password)" : reply);
    explicit_bzero(reply, sizeof reply);
    return ask_status(answer);
}

} // namespace

int main(int argc, char **argv)
{
    if (!ask_init()) return ASK_TEMPFAIL;
    CpwOptions o;
    char err[ASKD_BUF];
    if (!cpw_parse_options(&o, argc, argv, err, sizeof err)) {
        say("%s", err);
        usage(stderr);
        return ASK_MISUSE;
    }
    if (o.Help) {
        usage(stdout);
        return ASK_OK;
    }
    struct timespec deadline = askd_deadline(o.Ask.Timeout);
    char input[CPW_INPUT_MAX + 2];
    AskLogin l;
    int status = take_login(&o, input, &l, &deadline);
    if (status == ASK_OK) status = check(&o, &l, &deadline);
    if (status == ASK_OK && o.Mode == CPW_CHECKPASSWORD) {
        if (setenv("USER", l.User, 1) != 0) {
            explicit_bzero(input, sizeof input);
            say("cannot set USER: %s", strerror(errno));
            return ASK_TEMPFAIL;
        }
        explicit_bzero(input, sizeof input);
        execvp(o.Prog[0], o.Prog);
        say("cannot run %s: %s", o.Prog[0], strerror(errno));
        return ASK_TEMPFAIL;
    }
    explicit_bzero(input, sizeof input);
    return status;
}
