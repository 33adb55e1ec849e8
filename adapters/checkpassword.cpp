// The checkpassword adapter's options and the logins its callers hand over.
#include "adapters/checkpassword.h"

#include <cstring>

int cpw_parse_options(CpwOptions *o, int argc, char **argv, char *err, size_t size)
{
    if (!o || !argv) return 0;
    *o = {};
    ask_options_init(&o->Ask);
    o->Mode = CPW_CHECKPASSWORD;
    int isize = static_cast<int>(size);
    int i = 1;
    for (; i < argc; i++) {
        const char *name = ask_option_name(argv[i]);
        if (!name) break;
        if (!*name) { // "--"
            i++;
            break;
        }
        if (!strcmp(name, "help")) {
            o->Help = 1;
            return 1;
        }
        int mode = !strcmp(name, "pam") ? CPW_PAM : !strcmp(name, "pipe") ? CPW_PIPE : -1;
        if (mode >= 0 && o->Mode != CPW_CHECKPASSWORD && o->Mode != mode) {
            adt::lprintf(err, isize, "--pam and --pipe exclude each other");
            return 0;
        }
        if (mode >= 0) {
            o->Mode = mode;
            continue;
        }
        int known = ask_option(&o->Ask, argc, argv, &i, err, size);
        if (known < 0) return 0;
        if (!known) {
            adt::lprintf(err, isize, "unknown option %s", argv[i]);
            return 0;
        }
    }
    if (o->Mode != CPW_CHECKPASSWORD && i < argc) {
        adt::lprintf(err, isize, "unexpected word %s after the options", argv[i]);
        return 0;
    }
    if (o->Mode == CPW_CHECKPASSWORD && i >= argc) {
        adt::lprintf(err, isize, "no program to run after a good password");
        return 0;
    }
    if (o->Mode == CPW_CHECKPASSWORD) o->Prog = argv + i;
    return 1;
}

int cpw_parse_login(int mode, char *data, size_t len, const char *user, AskLogin *l)
{
    if (!data || !l) return ASK_MISUSE;
    *l = {nullptr, nullptr, nullptr};
    if (len > CPW_INPUT_MAX) return ASK_REJECT;
    // A NUL inside a line would cut the password short unseen.
    if (mode == CPW_PIPE && memchr(data, 0, len)) return ASK_REJECT;
    data[len] = 0; // a last field without its separator ends here
    const char *password = data;
    if (mode != CPW_PAM) {
        char sep = mode == CPW_PIPE ? '\n' : 0;
        char *end = static_cast<char *>(memchr(data, sep, len));
        if (!end) return ASK_MISUSE;
        *end = 0;
        user = data;
        password = end + 1;
        // Searched up to and with the terminator: checkpassword's NUL after
        // the password must be the caller's own.
        char *after =
            static_cast<char *>(memchr(end + 1, sep, static_cast<size_t>(data + len - end)));
        if (mode == CPW_CHECKPASSWORD && after == data + len) return ASK_MISUSE;
        if (after) *after = 0;
    }
    if (!askd_word_ok(user) || !askd_word_ok(password)) return ASK_REJECT;
    *l = {user, password, nullptr};
    return ASK_OK;
}
