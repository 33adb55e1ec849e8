// corvane-checkpassword: Corvane behind the checkpassword interface
// (descriptor 3 in, prog run on success, exit 1 or 111 otherwise) and, with
// --pam, behind pam_exec's expose_authtok (password on standard input,
// exit 0, 1 or 111). Diagnostics go to standard error, which both callers
// log; the password never does.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "adapters/checkpassword.h"

static const char Usage[] =
    "usage: corvane-checkpassword [--corvane PROGRAM] [--path DIR] [--timeout MS] prog [arg...]\n"
    "       corvane-checkpassword [--corvane PROGRAM] [--path DIR] [--timeout MS] --pam\n";

static void _say(const char *format, ...) __attribute__((format(printf, 1, 2)));
static void _say(const char *format, ...)
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
static void _standard_descriptors(void)
{
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) < 0) _exit(CPW_TEMPFAIL);
}

// Reads what the caller hands over into input (CPW_INPUT_MAX + 2 bytes)
// and splits it into l. An exit status; CPW_OK when l is ready.
static int _take_login(const CpwOptions *o, char *input, CpwLogin *l,
                       const struct timespec *deadline)
{
    int fd = o->Pam ? 0 : 3;
    ssize_t n = cpw_read_all(fd, input, CPW_INPUT_MAX + 1, o->Pam, deadline);
    int error = errno;
    if (!o->Pam) close(3);
    if (n == -2) {
        _say("no login handed over within the time-out");
        return CPW_TEMPFAIL;
    }
    if (n < 0) {
        _say(o->Pam ? "cannot read standard input: %s" : "cannot read descriptor 3: %s",
             strerror(error));
        return error == EBADF ? CPW_MISUSE : CPW_TEMPFAIL;
    }
    int status = o->Pam ? cpw_parse_pam(input, (size_t)n, getenv("PAM_USER"), l)
                        : cpw_parse_input(input, (size_t)n, l);
    if (status == CPW_OK) status = cpw_set_address(l, getenv(o->Pam ? "PAM_RHOST" : "TCPREMOTEIP"));
    if (status == CPW_MISUSE)
        _say("descriptor 3 does not hold a user name and a password, each ended by a NUL");
    else if (status == CPW_REJECT)
        _say("refused without asking Corvane: an empty or over-long field, or a blank or "
             "control character");
    return status;
}

// 1 when word stands in text as a blank-separated word of its own.
static int _holds_word(const char *text, const char *word)
{
    size_t n = strlen(word);
    for (const char *p = strstr(text, word); p; p = strstr(p + 1, word))
        if ((p == text || p[-1] == ' ') && (p[n] == 0 || p[n] == ' ')) return 1;
    return 0;
}

// Asks Corvane about l: the exit status its reply stands for.
static int _check(const CpwOptions *o, const CpwLogin *l, const struct timespec *deadline)
{
    char command[CPW_LINE], reply[CPW_LINE];
    int len = cpw_command(command, sizeof command, l);
    if (len < 0) {
        _say("login too long for a Corvane command");
        return CPW_REJECT;
    }
    int got = cpw_ask(o, command, (size_t)len, deadline, reply, sizeof reply);
    explicit_bzero(command, sizeof command);
    if (!got) {
        _say("%s", reply);
        return CPW_TEMPFAIL;
    }
    int status = cpw_reply_status(reply);
    // A module may echo its request; such a reply is not shown.
    if (status == CPW_TEMPFAIL)
        _say("Corvane cannot answer: %s",
             _holds_word(reply, l->Password) ? "(a reply that holds the password)" : reply);
    explicit_bzero(reply, sizeof reply);
    return status;
}

int main(int argc, char **argv)
{
    _standard_descriptors();
    CpwOptions o;
    char err[CPW_LINE];
    if (!cpw_parse_options(&o, argc, argv, err, sizeof err)) {
        _say("%s", err);
        fputs(Usage, stderr);
        return CPW_MISUSE;
    }
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += o.Timeout / 1000;
    deadline.tv_nsec += (long)(o.Timeout % 1000) * 1000000;
    if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000;
    }

    char input[CPW_INPUT_MAX + 2];
    CpwLogin l;
    int status = _take_login(&o, input, &l, &deadline);
    if (status == CPW_OK) status = _check(&o, &l, &deadline);
    if (status == CPW_OK && !o.Pam) {
        if (setenv("USER", l.User, 1) != 0) {
            explicit_bzero(input, sizeof input);
            _say("cannot set USER: %s", strerror(errno));
            return CPW_TEMPFAIL;
        }
        explicit_bzero(input, sizeof input);
        execvp(o.Prog[0], o.Prog);
        _say("cannot run %s: %s", o.Prog[0], strerror(errno));
        return CPW_TEMPFAIL;
    }
    explicit_bzero(input, sizeof input);
    return status;
}
