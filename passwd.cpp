// Password change: corvane -passwd NAME.
#include "passwd.h"

#include "adapters/ask.h"
#include "adapters/connect.h"
#include "adt/lib.h"
#include "adt/spawn.h"
#include "commands.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

using namespace adt;

namespace
{

// The password read, until it is set or the program ends.
char Password[WIRE_BUF];

void wipe(void)
{
    explicit_bzero(Password, sizeof Password);
}

// Writes each reply line to standard output and keeps the last.
class Relay : public ReplySink
{
  public:
    void line(const char *lead, const char *text) override
    {
        last_ = std::string(lead) + text;
        printf("%s\n", last_.c_str());
    }
    void flush() override { fflush(stdout); }
    const char *last() const { return last_.empty() ? nullptr : last_.c_str(); }

    ~Relay() { explicit_bzero(last_.data(), last_.size()); } // it may echo the password

  private:
    std::string last_;
};

// Why the two readings cannot be used for name, or null.
const char *refusal(const char *name, int first, int second, const char *again)
{
    // A request cut to fit its line would set another password.
    if (first < 0 || strlen("set  ") + strlen(name) + strlen(Password) > WIRE_TEXT)
        return "the password is too long";
    if (first == 0) return "no password given";
    if (!Password[0]) return "the password is empty";
    // On a terminal the second reading is asked for; from a pipe it may be absent.
    if (second < 0 || (second == 0 && isatty(STDIN_FILENO)) ||
        (second > 0 && strcmp(Password, again) != 0))
        return "the passwords do not match";
    return nullptr;
}

} // namespace

int passwd_read(const char *name)
{
    atexit(wipe);
    char again[WIRE_BUF];
    int first = read_secret(STDIN_FILENO, "New password: ", Password, WIRE_BUF);
    int second =
        first > 0 ? read_secret(STDIN_FILENO, "Retype new password: ", again, WIRE_BUF) : 0;
    const char *why = refusal(name, first, second, again);
    explicit_bzero(again, sizeof again);
    if (why) {
        print_err("%s", why);
        return ASK_REJECT;
    }
    // A blank or a control character would split or end the request line:
    // refused as the command option -set refuses it (which sets Mode).
    char set[] = "-set", *words[] = {set, const_cast<char *>(name), Password};
    int mode = Mode, refused = command_line_mode(3, words);
    Mode = mode;
    return refused ? ASK_REJECT : 0;
}

int passwd_set(const char *name, const Session *s, CommandHandler serve)
{
    Relay relay;
    Request r = {};
    r.session = s;
    r.reply = &relay;
    lprintf(r.line, WIRE_BUF, "set %s %s", name, Password);
    wipe();
    while (serve(&r) == SERVE_LATER) my_msleep(static_cast<int>(spawn_left(&r.not_before)));
    explicit_bzero(r.line, sizeof r.line);
    return ask_status(askd_classify(relay.last()));
}

int passwd_connect(const char *name, const char *socket, int timeout_ms)
{
    char set[] = "-set", *words[] = {set, const_cast<char *>(name), Password};
    int status = connect_run(socket, timeout_ms, 3, words);
    wipe();
    return status;
}
