/* pam_corvane: a PAM module that asks the Corvane daemon over its socket.
 *
 * It lives inside other programs' processes (sshd, login, su, Dovecot's
 * auth worker, Apache), so it keeps to what adapters/askd.h promises: no
 * global state, no signal touched, no thread, no exit, nothing on standard
 * output; every descriptor it opens is close-on-exec and closed before it
 * returns, and every buffer that held a password is wiped. Only the four
 * pam_sm_* entry points are exported (pam_corvane.map). Its options and
 * answers are in doc/pam_corvane.8. */
#define _GNU_SOURCE
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <security/pam_ext.h>
#include <security/pam_modules.h>

#include "adapters/askd.h"

#define EXPORT __attribute__((visibility("default")))

enum {
    DEFAULT_TIMEOUT = 30000, /* above the daemon's longest wait before a reply */
};

/* The module's arguments in the PAM service file. */
struct options {
    const char *socket;      /* socket=PATH */
    const char *server_user; /* server_user=NAME: who besides root may serve */
    int timeout;             /* timeout=MS */
    int use_first_pass, try_first_pass, use_authtok, debug;
};

static const struct {
    const char *name;
    size_t offset;
} FLAGS[] = {
    {"use_first_pass", offsetof(struct options, use_first_pass)},
    {"try_first_pass", offsetof(struct options, try_first_pass)},
    {"use_authtok", offsetof(struct options, use_authtok)},
    {"debug", offsetof(struct options, debug)},
};

/* The value of arg when it is name=VALUE, else null. */
static const char *value_of(const char *arg, const char *name)
{
    size_t n = strlen(name);
    return strncmp(arg, name, n) == 0 && arg[n] == '=' ? arg + n + 1 : NULL;
}

/* Reads the arguments into o; 0 after logging the first one that is
 * unknown or has a bad value (a misspelt option must not pass unseen). */
static int parse_options(pam_handle_t *pamh, int argc, const char **argv, struct options *o)
{
    *o = (struct options){CORVANE_SOCKET, "corvane", DEFAULT_TIMEOUT, 0, 0, 0, 0};
    for (int i = 0; i < argc; i++) {
        const char *arg = argv[i], *v;
        size_t f = 0;
        while (f < sizeof FLAGS / sizeof FLAGS[0] && strcmp(arg, FLAGS[f].name) != 0) f++;
        if (f < sizeof FLAGS / sizeof FLAGS[0]) {
            *(int *)((char *)o + FLAGS[f].offset) = 1;
        } else if ((v = value_of(arg, "socket")) && v[0] == '/') {
            o->socket = v;
        } else if ((v = value_of(arg, "server_user")) && *v) {
            o->server_user = v;
        } else if ((v = value_of(arg, "timeout"))) {
            if (!askd_timeout_value(v, &o->timeout)) {
                pam_syslog(pamh, LOG_ERR, "bad option %s: milliseconds from 1 to %d", arg,
                           ASKD_TIMEOUT_MAX);
                return 0;
            }
        } else {
            pam_syslog(pamh, LOG_ERR, "unknown option or bad value: %s", arg);
            return 0;
        }
    }
    return 1;
}

/* The client's address when Corvane would take it: one word, no comma (a
 * list), not too long; else null, and the check goes without it. */
static const char *client_address(pam_handle_t *pamh, const struct options *o)
{
    const void *rhost = NULL;
    if (pam_get_item(pamh, PAM_RHOST, &rhost) != PAM_SUCCESS || !rhost || !*(const char *)rhost)
        return NULL;
    if (askd_address_ok(rhost)) return rhost;
    if (o->debug) pam_syslog(pamh, LOG_DEBUG, "client address left out: Corvane would refuse it");
    return NULL;
}

/* Asks the daemon line (about user, for the log; holding secret, or null);
 * the class of its answer (enum askd_answer), the reply or the reason in
 * reply, which is blotted out when it holds secret (a module that echoes
 * its request). Failures to get an answer are logged, and with debug every
 * answer. */
static int ask(pam_handle_t *pamh, const struct options *o, const char *what, const char *user,
               const char *line, const char *secret, char *reply, size_t size)
{
    struct askd_query q = {o->socket, line, o->timeout, o->server_user};
    int answer = askd_ask(&q, reply, size);
    if (askd_holds(reply, secret)) {
        explicit_bzero(reply, size);
        snprintf(reply, size, "(a reply that holds the password)");
    }
    if (answer == ASKD_NONE || answer == ASKD_DEAD)
        pam_syslog(pamh, LOG_ERR, "%s %s: %s", what, user, reply);
    else if (o->debug)
        pam_syslog(pamh, LOG_DEBUG, "%s %s: %s", what, user, reply);
    return answer;
}

/* Asks whether password is user's: the class of the answer. A user name
 * or password that cannot travel as a word, or a request too long for a
 * line, is refused without asking (ASKD_ERR). */
static int check(pam_handle_t *pamh, const struct options *o, const char *user,
                 const char *password)
{
    if (!askd_word_ok(user) || !askd_word_ok(password)) {
        if (o->debug)
            pam_syslog(pamh, LOG_DEBUG,
                       "refused: an empty user name or password, or one with "
                       "blanks or control characters");
        return ASKD_ERR;
    }
    const char *address = client_address(pamh, o);
    char line[ASKD_BUF], reply[ASKD_BUF];
    int n = askd_check_line(line, sizeof line, user, password, address);
    if (address && n < 0) /* the address goes first, not the login */
        n = askd_check_line(line, sizeof line, user, password, NULL);
    int answer = ASKD_ERR;
    if (n < 0) {
        if (o->debug) pam_syslog(pamh, LOG_DEBUG, "refused: user name and password too long");
    } else {
        answer = ask(pamh, o, "check", user, line, password, reply, sizeof reply);
    }
    explicit_bzero(line, sizeof line);
    explicit_bzero(reply, sizeof reply);
    return answer;
}

/* Drops a conversation's answer: wiped, then freed. */
static void drop(char *answer)
{
    if (!answer) return;
    explicit_bzero(answer, strlen(answer));
    free(answer);
}

/* Asks the user for item (PAM_AUTHTOK, PAM_OLDAUTHTOK) with prompt and
 * keeps the answer in the item for the modules after this one. */
static int prompt_for(pam_handle_t *pamh, int item, const char *prompt)
{
    char *answer = NULL;
    int r = pam_prompt(pamh, PAM_PROMPT_ECHO_OFF, &answer, "%s", prompt);
    if (r == PAM_SUCCESS && !answer) r = PAM_CONV_ERR;
    if (r == PAM_SUCCESS) r = pam_set_item(pamh, item, answer);
    drop(answer);
    return r;
}

/* The password of item in *password (PAM's own copy): the one an earlier
 * module set, with use_first_pass (then it must be there) or try_first_pass
 * (or when prefer_set says so); otherwise asked for. */
static int password_of(pam_handle_t *pamh, const struct options *o, int item, int prefer_set,
                       const char *prompt, const char **password)
{
    const void *p = NULL;
    if (o->use_first_pass || o->try_first_pass || prefer_set) {
        if (pam_get_item(pamh, item, &p) == PAM_SUCCESS && p) {
            *password = p;
            return PAM_SUCCESS;
        }
        if (o->use_first_pass) {
            pam_syslog(pamh, LOG_ERR, "use_first_pass: no password from an earlier module");
            return PAM_AUTHTOK_RECOVERY_ERR;
        }
    }
    int r = prompt_for(pamh, item, prompt);
    if (r != PAM_SUCCESS) return r;
    if (pam_get_item(pamh, item, &p) != PAM_SUCCESS || !p) return PAM_AUTHTOK_RECOVERY_ERR;
    *password = p;
    return PAM_SUCCESS;
}

/* The user being served, in *user, and the options: PAM_SUCCESS or why not. */
static int begin(pam_handle_t *pamh, int argc, const char **argv, struct options *o,
                 const char **user)
{
    if (!parse_options(pamh, argc, argv, o)) return PAM_SERVICE_ERR;
    int r = pam_get_user(pamh, user, NULL);
    if (r != PAM_SUCCESS || !*user) return r == PAM_SUCCESS ? PAM_USER_UNKNOWN : r;
    return PAM_SUCCESS;
}

EXPORT int pam_sm_authenticate(pam_handle_t *pamh, int flags, int argc, const char **argv)
{
    (void)flags;
    struct options o;
    const char *user, *password;
    int r = begin(pamh, argc, argv, &o, &user);
    if (r == PAM_SUCCESS) r = password_of(pamh, &o, PAM_AUTHTOK, 0, "Password: ", &password);
    if (r != PAM_SUCCESS) return r;
    static const int result[] = {PAM_SUCCESS, PAM_AUTH_ERR, PAM_AUTHINFO_UNAVAIL,
                                 PAM_AUTHINFO_UNAVAIL};
    return result[check(pamh, &o, user, password)];
}

EXPORT int pam_sm_setcred(pam_handle_t *pamh, int flags, int argc, const char **argv)
{
    (void)pamh, (void)flags, (void)argc, (void)argv;
    return PAM_SUCCESS;
}

/* Asks whether Corvane knows user: the class of the answer; a name that
 * cannot travel as a word is known to no one (ASKD_ERR). */
static int lookup(pam_handle_t *pamh, const struct options *o, const char *user)
{
    char line[ASKD_BUF], reply[ASKD_BUF];
    if (!askd_word_ok(user) || snprintf(line, sizeof line, "lookup %s", user) > ASKD_TEXT)
        return ASKD_ERR;
    return ask(pamh, o, "lookup", user, line, NULL, reply, sizeof reply);
}

EXPORT int pam_sm_acct_mgmt(pam_handle_t *pamh, int flags, int argc, const char **argv)
{
    (void)flags;
    struct options o;
    const char *user;
    int r = begin(pamh, argc, argv, &o, &user);
    if (r != PAM_SUCCESS) return r;
    static const int result[] = {PAM_SUCCESS, PAM_USER_UNKNOWN, PAM_AUTHINFO_UNAVAIL,
                                 PAM_AUTHINFO_UNAVAIL};
    return result[lookup(pamh, &o, user)];
}

/* Tells the user text through the conversation, unless PAM_SILENT. */
static void tell(pam_handle_t *pamh, int flags, const char *text)
{
    if (!(flags & PAM_SILENT)) pam_error(pamh, "%s", text);
}

/* The preliminary pass. A caller that is not root by its real uid (a user
 * running a setuid passwd, which reaches the daemon as root) must know the
 * old password, whatever the options; root is not asked, and only told
 * when Corvane does not know the user. */
static int preliminary(pam_handle_t *pamh, const struct options *o, const char *user)
{
    if (getuid() != 0) {
        static const int result[] = {PAM_SUCCESS, PAM_AUTH_ERR, PAM_TRY_AGAIN, PAM_TRY_AGAIN};
        const char *old;
        int r = password_of(pamh, o, PAM_OLDAUTHTOK, 1, "Current password: ", &old);
        return r == PAM_SUCCESS ? result[check(pamh, o, user, old)] : r;
    }
    static const int result[] = {PAM_SUCCESS, PAM_USER_UNKNOWN, PAM_TRY_AGAIN, PAM_TRY_AGAIN};
    return result[lookup(pamh, o, user)];
}

/* The new password in *password: from an earlier module with use_authtok,
 * else asked twice. */
static int new_password(pam_handle_t *pamh, int flags, const struct options *o,
                        const char **password)
{
    const void *p = NULL;
    if (o->use_authtok) {
        if (pam_get_item(pamh, PAM_AUTHTOK, &p) == PAM_SUCCESS && p) {
            *password = p;
            return PAM_SUCCESS;
        }
        pam_syslog(pamh, LOG_ERR, "use_authtok: no new password from an earlier module");
        return PAM_AUTHTOK_ERR;
    }
    char *first = NULL, *again = NULL;
    int r = pam_prompt(pamh, PAM_PROMPT_ECHO_OFF, &first, "New password: ");
    if (r == PAM_SUCCESS)
        r = pam_prompt(pamh, PAM_PROMPT_ECHO_OFF, &again, "Retype new password: ");
    if (r == PAM_SUCCESS && (!first || !again)) r = PAM_CONV_ERR;
    if (r == PAM_SUCCESS && strcmp(first, again) != 0) {
        tell(pamh, flags, "Sorry, passwords do not match.");
        r = PAM_AUTHTOK_ERR;
    }
    if (r == PAM_SUCCESS) r = pam_set_item(pamh, PAM_AUTHTOK, first);
    drop(first);
    drop(again);
    if (r == PAM_SUCCESS && (pam_get_item(pamh, PAM_AUTHTOK, &p) != PAM_SUCCESS || !p))
        r = PAM_AUTHTOK_ERR;
    if (r == PAM_SUCCESS) *password = p;
    return r;
}

/* The update pass: the old password once more for a caller that is not
 * root (a stack that let the preliminary pass fail must not let a change
 * through), then `set USER NEWPASSWORD`; the daemon decides who may. */
static int update(pam_handle_t *pamh, int flags, const struct options *o, const char *user)
{
    int r = getuid() != 0 ? preliminary(pamh, o, user) : PAM_SUCCESS;
    const char *password;
    if (r == PAM_SUCCESS) r = new_password(pamh, flags, o, &password);
    if (r != PAM_SUCCESS) return r;
    if (!askd_word_ok(user) || !askd_word_ok(password)) {
        tell(pamh, flags, "The password may hold no blanks or control characters.");
        return PAM_AUTHTOK_ERR;
    }
    char line[ASKD_BUF], reply[ASKD_BUF];
    int n = snprintf(line, sizeof line, "set %s %s", user, password);
    int answer =
        n > ASKD_TEXT ? -1 : ask(pamh, o, "set", user, line, password, reply, sizeof reply);
    explicit_bzero(line, sizeof line);
    if (answer < 0) {
        tell(pamh, flags, "The password is too long.");
        return PAM_AUTHTOK_ERR;
    }
    if (answer == ASKD_ERR) {
        pam_syslog(pamh, LOG_NOTICE, "set %s refused: %s", user, reply);
        tell(pamh, flags, reply + (strncmp(reply, "-ERR ", 5) == 0 ? 5 : 0));
        return PAM_PERM_DENIED;
    }
    return answer == ASKD_OK ? PAM_SUCCESS : PAM_AUTHINFO_UNAVAIL;
}

EXPORT int pam_sm_chauthtok(pam_handle_t *pamh, int flags, int argc, const char **argv)
{
    struct options o;
    const char *user;
    int r = begin(pamh, argc, argv, &o, &user);
    if (r != PAM_SUCCESS) return r;
    /* Corvane's passwords do not expire: nothing to change. */
    if (flags & PAM_CHANGE_EXPIRED_AUTHTOK) return PAM_SUCCESS;
    if (flags & PAM_PRELIM_CHECK) return preliminary(pamh, &o, user);
    if (flags & PAM_UPDATE_AUTHTOK) return update(pamh, flags, &o, user);
    return PAM_SERVICE_ERR;
}
