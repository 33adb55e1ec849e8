// Tests of corvane-checkpassword: its parsing functions one by one, the
// talk with a Corvane (scripted stand-ins that record what they are given,
// and the real program over the password-file module), and the program as
// a checkpassword caller and pam_exec start it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "adapters/checkpassword.h"
#include "checkpassword_kit.h"

using namespace cpwkit;
using namespace std::string_literals;

namespace
{

// Parses login input given as a string (NULs included), kept alive in keep.
struct Parser {
    std::vector<char> keep;
    CpwLogin l;
    char *hold(const std::string &text)
    {
        keep.assign(text.begin(), text.end());
        keep.push_back(0);
        return keep.data();
    }
    int fd3(const std::string &text) { return cpw_parse_input(hold(text), text.size(), &l); }
    int pam(const std::string &text, const char *user = "bob")
    {
        return cpw_parse_pam(hold(text), text.size(), user, &l);
    }
};

TEST(CheckpasswordInput, SplitsUserAndPasswordWithOrWithoutTimeStamp)
{
    Parser p;
    for (const std::string &in : {"alice\0secret\0"s + "1700000000\0"s, "alice\0secret\0\0"s,
                                  "alice\0secret\0"s, "alice\0secret\0"s + "17"}) {
        ASSERT_EQ(p.fd3(in), CPW_OK) << in.size();
        EXPECT_STREQ(p.l.User, "alice");
        EXPECT_STREQ(p.l.Password, "secret");
        EXPECT_EQ(p.l.Address, nullptr);
    }
    // Bytes beyond ASCII travel unchanged.
    ASSERT_EQ(p.fd3("j\xc3\xbcrgen\0p\xc3\xa4ss\0"s), CPW_OK);
    EXPECT_STREQ(p.l.User, "j\xc3\xbcrgen");
    EXPECT_STREQ(p.l.Password, "p\xc3\xa4ss");
}

TEST(CheckpasswordInput, MissingNulsAreMisuseUnusableFieldsRefused)
{
    Parser p;
    for (const std::string &in : {""s, "alice"s, "alice\0secret"s, "alice\0"s})
        EXPECT_EQ(p.fd3(in), CPW_MISUSE) << in;
    EXPECT_EQ(p.l.User, nullptr);
    EXPECT_EQ(p.l.Password, nullptr);

    for (const std::string &in : {"\0secret\0"s, "alice\0\0"s, "\0\0\0"s})
        EXPECT_EQ(p.fd3(in), CPW_REJECT) << in.size();
    for (const char *bad : {" ", "\t", "\r", "\n", "\x01", "\x7f"}) {
        EXPECT_EQ(p.fd3("al"s + bad + "ice\0secret\0"s), CPW_REJECT) << (int)bad[0];
        EXPECT_EQ(p.fd3("alice\0se"s + bad + '\0'), CPW_REJECT) << (int)bad[0];
    }

    // user, NUL, password, NUL, time stamp, NUL: exactly the limit.
    std::string user(200, 'u'), password(300, 'p');
    std::string stamp(CPW_INPUT_MAX - user.size() - password.size() - 3, '7');
    std::string at_limit = user + '\0' + password + '\0' + stamp + '\0';
    ASSERT_EQ(at_limit.size(), (size_t)CPW_INPUT_MAX);
    ASSERT_EQ(p.fd3(at_limit), CPW_OK);
    EXPECT_EQ(std::string(p.l.User), user);
    EXPECT_EQ(std::string(p.l.Password), password);
    EXPECT_EQ(p.fd3(at_limit + '8'), CPW_REJECT);
    EXPECT_EQ(p.l.Password, nullptr);
}

TEST(CheckpasswordPamInput, PasswordEndsAtItsNulOrTheEndAndMustBeUsable)
{
    Parser p;
    ASSERT_EQ(p.pam("secret"), CPW_OK);
    EXPECT_STREQ(p.l.User, "bob");
    EXPECT_STREQ(p.l.Password, "secret");
    ASSERT_EQ(p.pam("secret\0ignored"s), CPW_OK);
    EXPECT_STREQ(p.l.Password, "secret");
    std::string at_limit(CPW_INPUT_MAX, 'p');
    ASSERT_EQ(p.pam(at_limit), CPW_OK);
    EXPECT_EQ(std::string(p.l.Password), at_limit);
    EXPECT_EQ(p.pam(at_limit + 'p'), CPW_REJECT);

    EXPECT_EQ(p.pam("secret", nullptr), CPW_REJECT);
    EXPECT_EQ(p.pam("secret", ""), CPW_REJECT);
    EXPECT_EQ(p.pam("secret", "bo b"), CPW_REJECT);
    for (const std::string &in : {""s, "\0secret"s, "secret\n"s, "sec ret"s})
        EXPECT_EQ(p.pam(in), CPW_REJECT) << in;
    EXPECT_EQ(p.l.Password, nullptr);
}

TEST(CheckpasswordAddress, AbsentEmptyOrOneUsableWord)
{
    CpwLogin l = {"alice", "secret", nullptr};
    EXPECT_EQ(cpw_set_address(&l, nullptr), CPW_OK);
    EXPECT_EQ(l.Address, nullptr);
    EXPECT_EQ(cpw_set_address(&l, ""), CPW_OK);
    EXPECT_EQ(l.Address, nullptr);
    for (const char *good : {"127.0.0.1", "::1", "fe80::1%eth0", "mail.example.org"}) {
        ASSERT_EQ(cpw_set_address(&l, good), CPW_OK);
        EXPECT_STREQ(l.Address, good);
    }
    std::string longest(CPW_ADDRESS_MAX, 'a');
    EXPECT_EQ(cpw_set_address(&l, longest.c_str()), CPW_OK);
    EXPECT_EQ(cpw_set_address(&l, (longest + "a").c_str()), CPW_REJECT);
    EXPECT_EQ(l.Address, nullptr);
    EXPECT_EQ(cpw_set_address(&l, "127.0.0.1 10.0.0.1"), CPW_REJECT);
    EXPECT_EQ(cpw_set_address(&l, "127.0.0.1\n"), CPW_REJECT);
}

TEST(CheckpasswordCommand, CheckThenQuitAndACutCommandIsNeverMade)
{
    char bf[CPW_LINE];
    CpwLogin l = {"alice", "secret", nullptr};
    std::string plain = "check alice secret\nquit\n";
    ASSERT_EQ(cpw_command(bf, sizeof bf, &l), (int)plain.size());
    EXPECT_EQ(std::string(bf), plain);
    l.Address = "127.0.0.1";
    std::string with = "check alice secret 127.0.0.1\nquit\n";
    ASSERT_EQ(cpw_command(bf, sizeof bf, &l), (int)with.size());
    EXPECT_EQ(std::string(bf), with);

    // The longest login fits in the 998 characters Corvane reads of a line.
    std::string user(255, 'u'), password(255, 'p'), address(CPW_ADDRESS_MAX, 'a');
    l = {user.c_str(), password.c_str(), address.c_str()};
    ASSERT_GT(cpw_command(bf, sizeof bf, &l), 0);
    EXPECT_LE(std::string(bf).find('\n'), 998u);
    char small[40];
    EXPECT_EQ(cpw_command(small, sizeof small, &l), -1);
    EXPECT_EQ(std::string(small, sizeof small), std::string(sizeof small, '\0'));
}

TEST(CheckpasswordReply, OkErrAndEverythingElse)
{
    EXPECT_EQ(cpw_reply_status("+OK alice file md5crypt Alice Liddell"), CPW_OK);
    EXPECT_EQ(cpw_reply_status("+OK"), CPW_OK);
    EXPECT_EQ(cpw_reply_status("-ERR alice not found or password incorrect"), CPW_REJECT);
    EXPECT_EQ(cpw_reply_status("-ERR"), CPW_REJECT);
    for (const char *other : {"-DEAD cannot open users.passwd", "-DEAD", "+OKAY", "-ERRATIC",
                              "+DATA alice", "", "ok", " +OK"})
        EXPECT_EQ(cpw_reply_status(other), CPW_TEMPFAIL) << other;
    EXPECT_EQ(cpw_reply_status(nullptr), CPW_TEMPFAIL);
}

// cpw_options over a list of words (argv[0] supplied); the error text in err.
// cpw_options over a list of words (argv[0] supplied): the options read, as
// "corvane path timeout [pam] [prog words]", or "error: " and its message.
std::string options(std::vector<std::string> words)
{
    words.insert(words.begin(), "corvane-checkpassword");
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    char err[CPW_LINE] = "";
    CpwOptions o;
    if (!cpw_parse_options(&o, (int)argv.size() - 1, argv.data(), err, sizeof err))
        return std::string("error: ") + err;
    std::string s = std::string(o.Corvane) + " " + (o.Path ? o.Path : "-") + " " +
                    std::to_string(o.Timeout) + (o.Pam ? " pam" : "");
    for (char **w = o.Prog; w && *w; w++) s += std::string(" [") + *w + "]";
    return s;
}

TEST(CheckpasswordOptions, DefaultsEveryOptionAndMistakes)
{
    std::string installed = cpw_default_corvane();
    EXPECT_EQ(installed[0], '/');
    EXPECT_EQ(installed.substr(installed.rfind('/')), "/corvane");
    EXPECT_EQ(options({"/bin/true"}),
              installed + " - " + std::to_string(CPW_TIMEOUT) + " [/bin/true]");
    // After prog, words are prog's.
    EXPECT_EQ(options({"--corvane", "/opt/c", "-path", "/etc/corvane", "--timeout", "2500", "reply",
                       "-x", "--pam"}),
              "/opt/c /etc/corvane 2500 [reply] [-x] [--pam]");
    EXPECT_EQ(options({"--timeout", "10", "--", "-prog", "arg"}),
              installed + " - 10 [-prog] [arg]");
    EXPECT_EQ(options({"--pam", "--path", "/etc/corvane"}),
              installed + " /etc/corvane " + std::to_string(CPW_TIMEOUT) + " pam");

    const std::vector<std::vector<std::string>> wrong = {
        {},                         // no prog
        {"--timeout", "100"},       // still no prog
        {"--bogus", "prog"},        // unknown option
        {"--corvane"},              // missing value
        {"--path", "", "prog"},     // empty value
        {"--timeout", "0", "prog"}, // out of range
        {"--timeout", "-5", "prog"},
        {"--timeout", "12x", "prog"},
        {"--timeout", "3600001", "prog"},
        {"--pam", "extra"}, // PAM takes no prog
    };
    for (const auto &w : wrong) {
        std::string got = options(w);
        EXPECT_EQ(got.rfind("error: ", 0), 0u) << got;
        EXPECT_GT(got.size(), 7u) << ::testing::PrintToString(w);
    }
}

struct timespec deadline_in(int ms)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += ms / 1000;
    t.tv_nsec += (long)(ms % 1000) * 1000000;
    if (t.tv_nsec >= 1000000000) {
        t.tv_sec++;
        t.tv_nsec -= 1000000000;
    }
    return t;
}

// cpw_read_all of a pipe holding text, left open unless closed is set.
ssize_t read_pipe(const std::string &text, bool closed, int nul_ends, char *bf, size_t size,
                  const struct timespec *d)
{
    int fd[2];
    if (pipe(fd)) return -100;
    if (write(fd[1], text.data(), text.size()) != (ssize_t)text.size()) return -100;
    if (closed) close(fd[1]);
    ssize_t r = cpw_read_all(fd[0], bf, size, nul_ends, d);
    close(fd[0]);
    if (!closed) close(fd[1]);
    return r;
}

TEST(CheckpasswordReadAll, EndLimitNulDeadlineAndBadDescriptor)
{
    char bf[CPW_INPUT_MAX + 1];
    struct timespec d = deadline_in(30000);
    std::string login = "alice\0secret\0\0"s;
    ASSERT_EQ(read_pipe(login, true, 0, bf, sizeof bf, &d), (ssize_t)login.size());
    EXPECT_EQ(std::string(bf, login.size()), login);
    // The pipe stays open: reading stops at the buffer's end, or at the NUL
    // that ends the password.
    std::string big(CPW_INPUT_MAX + 100, 'x');
    EXPECT_EQ(read_pipe(big, false, 0, bf, sizeof bf, &d), (ssize_t)sizeof bf);
    EXPECT_EQ(read_pipe("secret\0"s, false, 1, bf, sizeof bf, &d), 7);

    // Open, and nothing ever comes.
    struct timespec soon = deadline_in(200);
    EXPECT_EQ(read_pipe("", false, 0, bf, sizeof bf, &soon), -2);
    EXPECT_EQ(cpw_left(&soon), 0);
    EXPECT_GT(cpw_left(&d), 0);
    EXPECT_EQ(cpw_read_all(-1, bf, sizeof bf, 0, &d), -1);
}

// A scripted stand-in for Corvane in dir: it records its arguments, its
// working directory and every line it is sent, and answers with body.
std::string fake_corvane(const fs::path &dir, const std::string &name, const std::string &body)
{
    std::string rec = dir.string();
    return write_file(dir / name,
                      "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + rec + "/args'\npwd > '" + rec +
                          "/cwd'\n" + body,
                      0755);
}

// Reads the request and the quit line, answering reply after the first.
std::string answering(const std::string &reply, const fs::path &dir)
{
    std::string keep =
        "IFS= read -r line; printf '%s\\n' \"$line\" >> '" + dir.string() + "/stdin'\n";
    return "rm -f '" + dir.string() + "/stdin'\n" + keep + "echo '" + reply + "'\n" + keep;
}

// cpw_ask of command with a Corvane at corvane, started in path (or ours).
int ask(const std::string &corvane, const char *path, int timeout_ms, const std::string &command,
        char (&reply)[CPW_LINE])
{
    CpwOptions o = {corvane.c_str(), path, timeout_ms, 0, nullptr};
    struct timespec d = deadline_in(timeout_ms);
    return cpw_ask(&o, command.data(), command.size(), &d, reply, sizeof reply);
}

TEST(CheckpasswordAsk, SendsCheckAndQuitOnStandardInputNeverOnTheCommandLine)
{
    TempDir t;
    fs::create_directory(t / "conf");
    std::string corvane = fake_corvane(t.path, "corvane", answering("+OK alice fake", t.path));
    std::string conf = (t / "conf").string();
    const std::string command = "check alice s3cr3t 127.0.0.1\nquit\n";
    char reply[CPW_LINE];
    ASSERT_EQ(ask(corvane, conf.c_str(), 30000, command, reply), 1) << reply;
    EXPECT_STREQ(reply, "+OK alice fake");
    EXPECT_EQ(read_file(t / "stdin"), command);
    EXPECT_EQ(read_file(t / "args"), "-path\n" + conf + "\n");
    EXPECT_EQ(read_file(t / "cwd"), conf + "\n");

    // Without a path: no arguments at all, and our working directory.
    corvane = fake_corvane(t.path, "corvane", answering("-ERR no", t.path));
    ASSERT_EQ(ask(corvane, nullptr, 30000, "check a b\nquit\n", reply), 1) << reply;
    EXPECT_STREQ(reply, "-ERR no");
    EXPECT_EQ(read_file(t / "args"), "\n");
    EXPECT_EQ(read_file(t / "cwd"), fs::current_path().string() + "\n");
}

TEST(CheckpasswordAsk, FailuresToAnswer)
{
    TempDir t;
    char reply[CPW_LINE];
    const std::string command = "check alice secret\nquit\n";
    for (const char *body : {"exec sleep 60\n", "exit 0\n", "printf '+OK alice'\nexit 0\n"}) {
        std::string corvane = fake_corvane(t.path, "corvane", body);
        EXPECT_EQ(ask(corvane, nullptr, 1000, command, reply), 0) << body;
        EXPECT_NE(std::string(reply).find(corvane), std::string::npos) << reply;
    }
    // No such program; a fine program in no such directory.
    EXPECT_EQ(ask((t / "absent").string(), nullptr, 30000, command, reply), 0);
    std::string corvane = fake_corvane(t.path, "fine", answering("+OK", t.path));
    fs::remove(t / "args");
    EXPECT_EQ(ask(corvane, (t / "no-such-dir").c_str(), 30000, command, reply), 0);
    EXPECT_FALSE(fs::exists(t / "args")) << "started in no directory";

    // Gone without reading a byte: the write may fail, the reply is still
    // there, and the failed write does not end the caller.
    corvane =
        fake_corvane(t.path, "corvane", "exec 0<&-\necho '-DEAD No modules defined'\nexit 1\n");
    std::string big(CPW_LINE - 1, 'x'); // more than a closed pipe will take silently
    ASSERT_EQ(ask(corvane, nullptr, 30000, big, reply), 1);
    EXPECT_STREQ(reply, "-DEAD No modules defined");
}

// The program itself, given a login on descriptor 3 (checkpassword) or
// standard input (PAM), over a scripted Corvane.
struct CheckpasswordProgram : ::testing::Test {
    TempDir t;
    std::string rec = t.path;
    const std::string login = "alice\0secret\0\0"s;

    // prog prints USER and its arguments, so that its run can be seen.
    Outcome checkpassword(const std::string &corvane, const std::string &fd3,
                          std::vector<std::string> env = {}, std::vector<std::string> extra = {})
    {
        Spec s;
        s.argv = {ADAPTER_BIN, "--corvane", corvane, "--timeout", "20000"};
        s.argv.insert(s.argv.end(), extra.begin(), extra.end());
        for (const char *w : {"/bin/sh", "-c", "printf '%s|' \"$USER\" \"$@\"", "sh", "one", "-2"})
            s.argv.push_back(w);
        s.with_fd3 = true;
        s.fd3 = fd3;
        s.env = std::move(env);
        return run(s);
    }
    // A checkpassword run of login over a Corvane answering reply.
    Outcome answered(const std::string &reply)
    {
        return checkpassword(fake_corvane(t.path, "corvane", answering(reply, rec)), login);
    }
    int pam(const std::string &corvane, const std::string &input, std::vector<std::string> env)
    {
        Spec s;
        s.argv = {ADAPTER_BIN, "--pam", "--corvane", corvane};
        s.input = input;
        s.env = std::move(env);
        return run(s).status;
    }
};

TEST_F(CheckpasswordProgram, OkRunsProgWithUserAndItsArguments)
{
    std::string c = fake_corvane(t.path, "corvane", answering("+OK alice fake", rec));
    Outcome r = checkpassword(c, "alice\0secret\0"s + "1700000000\0"s, {"TCPREMOTEIP=127.0.0.1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "alice|one|-2|");
    EXPECT_EQ(read_file(t / "stdin"), "check alice secret 127.0.0.1\nquit\n");
    EXPECT_EQ(r.err.find("secret"), std::string::npos);
}

TEST_F(CheckpasswordProgram, ErrDeadAndSilenceAreOneAnd111)
{
    std::string err = fake_corvane(t.path, "err", answering("-ERR alice not found", rec));
    Outcome r = checkpassword(err, login, {"TCPREMOTEIP="});
    EXPECT_EQ(r.status, CPW_REJECT) << r.err;
    EXPECT_EQ(r.out, ""); // prog not run
    EXPECT_EQ(read_file(t / "stdin"), "check alice secret\nquit\n");

    r = answered("-DEAD store gone");
    EXPECT_EQ(r.status, CPW_TEMPFAIL);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("-DEAD store gone"), std::string::npos) << r.err;
    // A reply that echoes the password is not shown.
    r = answered("-DEAD bad request secret");
    EXPECT_EQ(r.status, CPW_TEMPFAIL);
    EXPECT_EQ(r.err.find("secret"), std::string::npos) << r.err;

    std::string silent = fake_corvane(t.path, "silent", "exec sleep 60\n");
    r = checkpassword(silent, login, {}, {"--timeout", "500"});
    EXPECT_EQ(r.status, CPW_TEMPFAIL);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(checkpassword((t / "absent").string(), login).status, CPW_TEMPFAIL);
}

TEST_F(CheckpasswordProgram, UnusableLoginsAndMisuseNeverReachCorvane)
{
    std::string c = fake_corvane(t.path, "corvane", answering("+OK", rec));
    const std::vector<std::pair<std::string, int>> logins = {
        {"alice\0sec ret\0\0"s, CPW_REJECT}, // a blank would split the command
        {"alice\0\0\0"s, CPW_REJECT},        // empty password
        {"\0secret\0\0"s, CPW_REJECT},       // empty user
        {std::string(600, 'a'), CPW_REJECT}, // over 512 bytes
        {"alice\0secret"s, CPW_MISUSE},      // no NUL after the password
    };
    for (const auto &l : logins) {
        Outcome r = checkpassword(c, l.first);
        EXPECT_EQ(r.status, l.second) << l.first.size();
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(checkpassword(c, login, {"TCPREMOTEIP=127.0.0.1 10.1.1.1"}).status, CPW_REJECT);

    Spec s;
    s.argv = {ADAPTER_BIN, "--corvane", c, "/bin/true"}; // no descriptor 3
    Outcome r = run(s);
    EXPECT_EQ(r.status, CPW_MISUSE) << r.err;
    s.argv = {ADAPTER_BIN, "--corvane", c}; // no prog
    r = run(s);
    EXPECT_EQ(r.status, CPW_MISUSE);
    EXPECT_NE(r.err.find("usage"), std::string::npos);
    EXPECT_FALSE(fs::exists(t / "args")) << "Corvane was started";
}

TEST_F(CheckpasswordProgram, RelativeCorvaneAndPathFollowTheCallersDirectory)
{
    fs::create_directory(t / "etc");
    fake_corvane(t.path, "corvane", answering("+OK", rec));
    Spec s;
    s.argv = {ADAPTER_BIN, "--corvane", "./corvane", "--path", "etc", "/bin/true"};
    s.with_fd3 = true;
    s.fd3 = "alice\0secret\0"s;
    s.cwd = rec;
    Outcome r = run(s);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(t / "cwd"), (t / "etc").string() + "\n");
    EXPECT_EQ(read_file(t / "args"), "-path\n" + (t / "etc").string() + "\n");
}

TEST_F(CheckpasswordProgram, PamUserRhostAndPasswordOnStandardInput)
{
    std::string ok = fake_corvane(t.path, "ok", answering("+OK bob fake", rec));
    EXPECT_EQ(pam(ok, "builder\0"s, {"PAM_USER=bob", "PAM_RHOST=127.0.0.1", "PAM_TYPE=auth"}), 0);
    EXPECT_EQ(read_file(t / "stdin"), "check bob builder 127.0.0.1\nquit\n");
    EXPECT_EQ(pam(ok, "builder", {"PAM_USER=bob"}), 0);
    EXPECT_EQ(read_file(t / "stdin"), "check bob builder\nquit\n");

    std::string err = fake_corvane(t.path, "err", answering("-ERR bob", rec));
    EXPECT_EQ(pam(err, "wrong", {"PAM_USER=bob"}), CPW_REJECT);
    std::string dead = fake_corvane(t.path, "dead", answering("-DEAD gone", rec));
    EXPECT_EQ(pam(dead, "builder", {"PAM_USER=bob"}), CPW_TEMPFAIL);

    fs::remove(t / "args");
    EXPECT_EQ(pam(ok, "builder", {}), CPW_REJECT); // no PAM_USER
    EXPECT_EQ(pam(ok, "", {"PAM_USER=bob"}), CPW_REJECT);
    EXPECT_FALSE(fs::exists(t / "args")) << "Corvane was started";
}

// The real Corvane over the password-file module.
TEST(CheckpasswordRealCorvane, RightWrongUnknownDeadAndAddress)
{
    TempDir t;
    corvane_setup(t.path);
    auto check = [&](const std::string &user, const std::string &password,
                     const std::string &address) {
        Spec s;
        s.argv = {ADAPTER_BIN, "--corvane", CORVANE_BIN, "--path", t.path, "/bin/true"};
        s.with_fd3 = true;
        s.fd3 = user + '\0' + password + '\0';
        if (!address.empty()) s.env = {"TCPREMOTEIP=" + address};
        Outcome r = run(s);
        EXPECT_FALSE(r.timed_out) << user;
        return r.status;
    };
    EXPECT_EQ(check("alice", "wonderland", ""), 0);
    EXPECT_EQ(check("alice", "wonderland", "127.0.0.2"), 0);
    EXPECT_EQ(check("alice", "wonderlan", ""), CPW_REJECT);
    EXPECT_EQ(check("zed", "wonderland", ""), CPW_REJECT);
    EXPECT_EQ(check("ghost", "boo", ""), CPW_TEMPFAIL);
    EXPECT_EQ(check("erin", "erin2001", "127.0.0.1"), 0);
    EXPECT_EQ(check("erin", "erin2001", "127.0.0.2"), CPW_REJECT);
    EXPECT_EQ(check("erin", "erin2001", ""), CPW_REJECT);
}

} // namespace
