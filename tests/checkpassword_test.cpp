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

namespace
{

// Parses checkpassword input given as a string (NULs included).
int parse(const std::string &text, CpwLogin *l, std::vector<char> *keep)
{
    keep->assign(text.begin(), text.end());
    keep->push_back(0);
    return cpw_parse_input(keep->data(), text.size(), l);
}

int parse_pam(const std::string &text, const char *user, CpwLogin *l, std::vector<char> *keep)
{
    keep->assign(text.begin(), text.end());
    keep->push_back(0);
    return cpw_parse_pam(keep->data(), text.size(), user, l);
}

std::string S(const char *text, size_t len)
{
    return std::string(text, len);
}

TEST(CheckpasswordInput, SplitsUserAndPasswordWithOrWithoutTimeStamp)
{
    std::vector<char> keep;
    CpwLogin l;
    for (const std::string &in : {S("alice\0secret\0"
                                    "1700000000\0",
                                    24),
                                  S("alice\0secret\0\0", 14), S("alice\0secret\0", 13),
                                  S("alice\0secret\0"
                                    "17",
                                    15)}) {
        ASSERT_EQ(parse(in, &l, &keep), CPW_OK) << in.size();
        EXPECT_STREQ(l.User, "alice");
        EXPECT_STREQ(l.Password, "secret");
        EXPECT_EQ(l.Address, nullptr);
    }
}

TEST(CheckpasswordInput, MissingNulsAreMisuse)
{
    std::vector<char> keep;
    CpwLogin l;
    EXPECT_EQ(parse("", &l, &keep), CPW_MISUSE);
    EXPECT_EQ(parse("alice", &l, &keep), CPW_MISUSE);
    EXPECT_EQ(parse(S("alice\0secret", 12), &l, &keep), CPW_MISUSE);
    EXPECT_EQ(parse(S("alice\0", 6), &l, &keep), CPW_MISUSE);
    EXPECT_EQ(l.User, nullptr);
    EXPECT_EQ(l.Password, nullptr);
}

TEST(CheckpasswordInput, MoreThan512BytesIsRefused)
{
    std::vector<char> keep;
    CpwLogin l;
    // user, NUL, password, NUL, time stamp, NUL: exactly the limit.
    std::string user(200, 'u'), password(300, 'p');
    std::string stamp(CPW_INPUT_MAX - user.size() - password.size() - 3, '7');
    std::string at_limit = user + '\0' + password + '\0' + stamp + '\0';
    ASSERT_EQ(at_limit.size(), (size_t)CPW_INPUT_MAX);
    ASSERT_EQ(parse(at_limit, &l, &keep), CPW_OK);
    EXPECT_EQ(std::string(l.User), user);
    EXPECT_EQ(std::string(l.Password), password);
    EXPECT_EQ(parse(at_limit + '8', &l, &keep), CPW_REJECT);
    EXPECT_EQ(l.Password, nullptr);
}

TEST(CheckpasswordInput, EmptyFieldsAndUncarriableBytesAreRefused)
{
    std::vector<char> keep;
    CpwLogin l;
    EXPECT_EQ(parse(S("\0secret\0", 8), &l, &keep), CPW_REJECT);
    EXPECT_EQ(parse(S("alice\0\0", 7), &l, &keep), CPW_REJECT);
    EXPECT_EQ(parse(S("\0\0\0", 3), &l, &keep), CPW_REJECT);
    for (const char *bad : {" ", "\t", "\r", "\n", "\x01", "\x7f"}) {
        std::string user = std::string("al") + bad + "ice", password = std::string("se") + bad;
        EXPECT_EQ(parse(user + '\0' + "secret" + '\0', &l, &keep), CPW_REJECT) << (int)bad[0];
        EXPECT_EQ(parse("alice" + std::string(1, '\0') + password + '\0', &l, &keep), CPW_REJECT)
            << (int)bad[0];
    }
    // Bytes beyond ASCII travel unchanged.
    ASSERT_EQ(parse(S("j\xc3\xbcrgen\0p\xc3\xa4ss\0", 14), &l, &keep), CPW_OK);
    EXPECT_STREQ(l.User, "j\xc3\xbcrgen");
    EXPECT_STREQ(l.Password, "p\xc3\xa4ss");
}

TEST(CheckpasswordPamInput, PasswordEndsAtItsNulOrTheEnd)
{
    std::vector<char> keep;
    CpwLogin l;
    ASSERT_EQ(parse_pam("secret", "bob", &l, &keep), CPW_OK);
    EXPECT_STREQ(l.User, "bob");
    EXPECT_STREQ(l.Password, "secret");
    ASSERT_EQ(parse_pam(S("secret\0ignored", 14), "bob", &l, &keep), CPW_OK);
    EXPECT_STREQ(l.Password, "secret");
    std::string at_limit(CPW_INPUT_MAX, 'p');
    ASSERT_EQ(parse_pam(at_limit, "bob", &l, &keep), CPW_OK);
    EXPECT_EQ(std::string(l.Password), at_limit);
    EXPECT_EQ(parse_pam(at_limit + 'p', "bob", &l, &keep), CPW_REJECT);
}

TEST(CheckpasswordPamInput, MissingUserEmptyPasswordAndBlanksAreRefused)
{
    std::vector<char> keep;
    CpwLogin l;
    EXPECT_EQ(parse_pam("secret", nullptr, &l, &keep), CPW_REJECT);
    EXPECT_EQ(parse_pam("secret", "", &l, &keep), CPW_REJECT);
    EXPECT_EQ(parse_pam("secret", "bo b", &l, &keep), CPW_REJECT);
    EXPECT_EQ(parse_pam("", "bob", &l, &keep), CPW_REJECT);
    EXPECT_EQ(parse_pam(S("\0secret", 7), "bob", &l, &keep), CPW_REJECT);
    EXPECT_EQ(parse_pam("secret\n", "bob", &l, &keep), CPW_REJECT);
    EXPECT_EQ(parse_pam("sec ret", "bob", &l, &keep), CPW_REJECT);
    EXPECT_EQ(l.Password, nullptr);
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

TEST(CheckpasswordCommand, CheckThenQuitWithTheAddressWhenGiven)
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
}

TEST(CheckpasswordCommand, LongestLoginFitsAndACutCommandIsNeverMade)
{
    char bf[CPW_LINE];
    std::string user(255, 'u'), password(255, 'p'), address(CPW_ADDRESS_MAX, 'a');
    CpwLogin l = {user.c_str(), password.c_str(), address.c_str()};
    int n = cpw_command(bf, sizeof bf, &l);
    ASSERT_GT(n, 0);
    // Corvane reads at most 998 characters of a line.
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

// cpw_options over a list of words; argv[0] is supplied.
struct Args {
    std::vector<std::string> words;
    std::vector<char *> argv;
    explicit Args(std::vector<std::string> w) : words(std::move(w))
    {
        words.insert(words.begin(), "corvane-checkpassword");
        for (std::string &s : words) argv.push_back(s.data());
        argv.push_back(nullptr);
    }
    int parse(CpwOptions *o, std::string *err)
    {
        char bf[CPW_LINE] = "";
        int r = cpw_options(o, (int)argv.size() - 1, argv.data(), bf, sizeof bf);
        *err = bf;
        return r;
    }
};

TEST(CheckpasswordOptions, DefaultsAndEveryOption)
{
    CpwOptions o;
    std::string err;
    Args plain({"/bin/true"});
    ASSERT_TRUE(plain.parse(&o, &err)) << err;
    EXPECT_STREQ(o.Corvane, cpw_default_corvane());
    EXPECT_EQ(o.Corvane[0], '/');
    EXPECT_EQ(std::string(o.Corvane).substr(std::string(o.Corvane).rfind('/')), "/corvane");
    EXPECT_EQ(o.Path, nullptr);
    EXPECT_EQ(o.Timeout, CPW_TIMEOUT);
    EXPECT_EQ(o.Pam, 0);
    ASSERT_NE(o.Prog, nullptr);
    EXPECT_STREQ(o.Prog[0], "/bin/true");
    EXPECT_EQ(o.Prog[1], nullptr);

    Args all({"--corvane", "/opt/c", "-path", "/etc/corvane", "--timeout", "2500", "reply", "-x",
              "--pam"});
    ASSERT_TRUE(all.parse(&o, &err)) << err;
    EXPECT_STREQ(o.Corvane, "/opt/c");
    EXPECT_STREQ(o.Path, "/etc/corvane");
    EXPECT_EQ(o.Timeout, 2500);
    EXPECT_EQ(o.Pam, 0); // after prog, words are prog's
    ASSERT_NE(o.Prog, nullptr);
    EXPECT_STREQ(o.Prog[0], "reply");
    EXPECT_STREQ(o.Prog[1], "-x");
    EXPECT_STREQ(o.Prog[2], "--pam");

    Args dashes({"--timeout", "10", "--", "-prog", "arg"});
    ASSERT_TRUE(dashes.parse(&o, &err)) << err;
    EXPECT_STREQ(o.Prog[0], "-prog");

    Args pam({"--pam", "--path", "/etc/corvane"});
    ASSERT_TRUE(pam.parse(&o, &err)) << err;
    EXPECT_EQ(o.Pam, 1);
    EXPECT_EQ(o.Prog, nullptr);
}

TEST(CheckpasswordOptions, MistakesAreReported)
{
    CpwOptions o;
    std::string err;
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
        Args a(w);
        EXPECT_FALSE(a.parse(&o, &err)) << ::testing::PrintToString(w);
        EXPECT_FALSE(err.empty()) << ::testing::PrintToString(w);
    }
}

// A descriptor pair for the read tests, closed at the end.
struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe(fd), 0); }
    ~Pipe()
    {
        for (int f : fd)
            if (f >= 0) close(f);
    }
    void close_write()
    {
        close(fd[1]);
        fd[1] = -1;
    }
};

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

TEST(CheckpasswordReadAll, ReadsToTheEndOrTheLimitOrTheFirstNul)
{
    char bf[CPW_INPUT_MAX + 1];
    struct timespec d = deadline_in(30000);
    {
        Pipe p;
        std::string text = S("alice\0secret\0\0", 14);
        ASSERT_EQ(write(p.fd[1], text.data(), text.size()), (ssize_t)text.size());
        p.close_write();
        ASSERT_EQ(cpw_read_all(p.fd[0], bf, sizeof bf, 0, &d), (ssize_t)text.size());
        EXPECT_EQ(std::string(bf, text.size()), text);
    }
    {
        Pipe p;
        std::string text(CPW_INPUT_MAX + 100, 'x');
        ASSERT_EQ(write(p.fd[1], text.data(), text.size()), (ssize_t)text.size());
        // The pipe stays open: reading stops at the buffer's end.
        EXPECT_EQ(cpw_read_all(p.fd[0], bf, sizeof bf, 0, &d), (ssize_t)sizeof bf);
    }
    {
        Pipe p;
        std::string text = S("secret\0", 7);
        ASSERT_EQ(write(p.fd[1], text.data(), text.size()), (ssize_t)text.size());
        // The pipe stays open: the NUL ends the password.
        EXPECT_EQ(cpw_read_all(p.fd[0], bf, sizeof bf, 1, &d), (ssize_t)text.size());
    }
}

TEST(CheckpasswordReadAll, DeadlineAndBadDescriptor)
{
    char bf[16];
    Pipe p; // open, and nothing ever comes
    struct timespec soon = deadline_in(200);
    EXPECT_EQ(cpw_read_all(p.fd[0], bf, sizeof bf, 0, &soon), -2);
    EXPECT_EQ(cpw_left(&soon), 0);
    struct timespec later = deadline_in(30000);
    EXPECT_GT(cpw_left(&later), 0);
    errno = 0;
    EXPECT_EQ(cpw_read_all(-1, bf, sizeof bf, 0, &later), -1);
}

// A scripted stand-in for Corvane in dir: it records its arguments, its
// working directory and every line it is sent, and answers with body.
std::string fake_corvane(const fs::path &dir, const std::string &name, const std::string &body)
{
    fs::path p = dir / name;
    std::string rec = dir.string();
    write_file(p,
               "#!/bin/sh\n"
               "printf '%s\\n' \"$@\" > '" +
                   rec +
                   "/args'\n"
                   "pwd > '" +
                   rec + "/cwd'\n" + body,
               0755);
    return p.string();
}

// Reads the request and the quit line, answering reply after the first.
std::string answering(const std::string &reply, const fs::path &dir)
{
    std::string rec = dir.string();
    return "IFS= read -r line; printf '%s\\n' \"$line\" > '" + rec + "/stdin'\n" + "echo '" +
           reply + "'\n" + "IFS= read -r line; printf '%s\\n' \"$line\" >> '" + rec + "/stdin'\n";
}

TEST(CheckpasswordAsk, SendsCheckAndQuitOnStandardInputNeverOnTheCommandLine)
{
    TempDir t;
    fs::create_directory(t / "conf");
    std::string corvane = fake_corvane(t.path, "corvane", answering("+OK alice fake", t.path));
    std::string conf = (t / "conf").string();
    CpwOptions o = {corvane.c_str(), conf.c_str(), 30000, 1, nullptr};
    const char command[] = "check alice s3cr3t 127.0.0.1\nquit\n";
    struct timespec d = deadline_in(30000);
    char reply[CPW_LINE];
    ASSERT_EQ(cpw_ask(&o, command, sizeof command - 1, &d, reply, sizeof reply), 1) << reply;
    EXPECT_STREQ(reply, "+OK alice fake");
    EXPECT_EQ(read_file(t / "stdin"), command);
    EXPECT_EQ(read_file(t / "args"), "-path\n" + conf + "\n");
    EXPECT_EQ(read_file(t / "cwd"), conf + "\n");
    EXPECT_EQ(read_file(t / "args").find("s3cr3t"), std::string::npos);
}

TEST(CheckpasswordAsk, NoPathLeavesTheWorkingDirectoryAlone)
{
    TempDir t;
    std::string corvane = fake_corvane(t.path, "corvane", answering("-ERR no", t.path));
    CpwOptions o = {corvane.c_str(), nullptr, 30000, 0, nullptr};
    struct timespec d = deadline_in(30000);
    char reply[CPW_LINE];
    ASSERT_EQ(cpw_ask(&o, "check a b\nquit\n", 16, &d, reply, sizeof reply), 1) << reply;
    EXPECT_STREQ(reply, "-ERR no");
    EXPECT_EQ(read_file(t / "args"), "\n"); // no arguments at all
    EXPECT_EQ(read_file(t / "cwd"), fs::current_path().string() + "\n");
}

TEST(CheckpasswordAsk, FailuresToAnswer)
{
    TempDir t;
    char reply[CPW_LINE];
    const char command[] = "check alice secret\nquit\n";
    struct {
        const char *name;
        std::string body;
    } cases[] = {
        {"silent", "exec sleep 60\n"},
        {"mute", "exit 0\n"},
        {"half", "printf '+OK alice'\nexit 0\n"},
    };
    for (auto &c : cases) {
        std::string corvane = fake_corvane(t.path, c.name, c.body);
        CpwOptions o = {corvane.c_str(), nullptr, 1000, 0, nullptr};
        struct timespec d = deadline_in(1000);
        EXPECT_EQ(cpw_ask(&o, command, sizeof command - 1, &d, reply, sizeof reply), 0) << c.name;
        EXPECT_NE(std::string(reply).find(corvane), std::string::npos) << reply;
    }
    // No such program; a fine program in no such directory.
    std::string absent = (t / "absent").string();
    CpwOptions o = {absent.c_str(), nullptr, 30000, 0, nullptr};
    struct timespec d = deadline_in(30000);
    EXPECT_EQ(cpw_ask(&o, command, sizeof command - 1, &d, reply, sizeof reply), 0);
    std::string corvane = fake_corvane(t.path, "fine", answering("+OK", t.path));
    fs::remove(t / "args");
    std::string nodir = (t / "no-such-dir").string();
    o = {corvane.c_str(), nodir.c_str(), 30000, 0, nullptr};
    EXPECT_EQ(cpw_ask(&o, command, sizeof command - 1, &d, reply, sizeof reply), 0);
    EXPECT_FALSE(fs::exists(t / "args")) << "started in no directory";
}

TEST(CheckpasswordAsk, LastWordsOfACorvaneThatDiedAtStartAreRead)
{
    TempDir t;
    // Gone without reading a byte: the write may fail, the reply is still
    // there, and the failed write does not end the caller.
    std::string corvane =
        fake_corvane(t.path, "corvane", "exec 0<&-\necho '-DEAD No modules defined'\nexit 1\n");
    CpwOptions o = {corvane.c_str(), nullptr, 30000, 0, nullptr};
    std::string big(CPW_LINE - 1, 'x'); // more than a closed pipe will take silently
    struct timespec d = deadline_in(30000);
    char reply[CPW_LINE];
    ASSERT_EQ(cpw_ask(&o, big.c_str(), big.size(), &d, reply, sizeof reply), 1);
    EXPECT_STREQ(reply, "-DEAD No modules defined");
}

// The program itself, given a login on descriptor 3 (checkpassword) or
// standard input (PAM), over a scripted Corvane.
struct CheckpasswordProgram : ::testing::Test {
    TempDir t;
    std::string rec = t.path;

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

    Outcome pam(const std::string &corvane, const std::string &input, std::vector<std::string> env)
    {
        Spec s;
        s.argv = {ADAPTER_BIN, "--pam", "--corvane", corvane};
        s.input = input;
        s.env = std::move(env);
        return run(s);
    }
};

TEST_F(CheckpasswordProgram, OkRunsProgWithUserAndItsArguments)
{
    std::string c = fake_corvane(t.path, "corvane", answering("+OK alice fake", rec));
    Outcome r = checkpassword(c,
                              S("alice\0secret\0"
                                "1700000000\0",
                                24),
                              {"TCPREMOTEIP=127.0.0.1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "alice|one|-2|");
    EXPECT_EQ(read_file(t / "stdin"), "check alice secret 127.0.0.1\nquit\n");
    EXPECT_EQ(r.err.find("secret"), std::string::npos);
}

TEST_F(CheckpasswordProgram, ErrDeadAndSilenceAreOneAnd111)
{
    std::string login = S("alice\0secret\0\0", 14);
    std::string err = fake_corvane(t.path, "err", answering("-ERR alice not found", rec));
    Outcome r = checkpassword(err, login, {"TCPREMOTEIP="});
    EXPECT_EQ(r.status, CPW_REJECT) << r.err;
    EXPECT_EQ(r.out, ""); // prog not run
    EXPECT_EQ(read_file(t / "stdin"), "check alice secret\nquit\n");

    std::string dead = fake_corvane(t.path, "dead", answering("-DEAD store gone", rec));
    r = checkpassword(dead, login);
    EXPECT_EQ(r.status, CPW_TEMPFAIL);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("-DEAD store gone"), std::string::npos) << r.err;

    // A reply that echoes the password is not shown.
    std::string echo = fake_corvane(t.path, "echo", answering("-DEAD bad request secret", rec));
    r = checkpassword(echo, login);
    EXPECT_EQ(r.status, CPW_TEMPFAIL);
    EXPECT_EQ(r.err.find("secret"), std::string::npos) << r.err;

    std::string silent = fake_corvane(t.path, "silent", "exec sleep 60\n");
    r = checkpassword(silent, login, {}, {"--timeout", "500"});
    EXPECT_EQ(r.status, CPW_TEMPFAIL);
    EXPECT_EQ(r.out, "");

    r = checkpassword((t / "absent").string(), login);
    EXPECT_EQ(r.status, CPW_TEMPFAIL);
}

TEST_F(CheckpasswordProgram, UnusableLoginsNeverReachCorvane)
{
    std::string c = fake_corvane(t.path, "corvane", answering("+OK", rec));
    const std::vector<std::pair<std::string, int>> logins = {
        {S("alice\0sec ret\0\0", 15), CPW_REJECT}, // a blank would split the command
        {S("alice\0\0\0", 8), CPW_REJECT},         // empty password
        {S("\0secret\0\0", 9), CPW_REJECT},        // empty user
        {std::string(600, 'a'), CPW_REJECT},       // over 512 bytes
        {S("alice\0secret", 12), CPW_MISUSE},      // no NUL after the password
    };
    for (const auto &l : logins) {
        Outcome r = checkpassword(c, l.first);
        EXPECT_EQ(r.status, l.second) << l.first.size();
        EXPECT_EQ(r.out, "");
    }
    Outcome r = checkpassword(c, S("alice\0secret\0\0", 14), {"TCPREMOTEIP=127.0.0.1 10.1.1.1"});
    EXPECT_EQ(r.status, CPW_REJECT);
    EXPECT_FALSE(fs::exists(t / "args")) << "Corvane was started";
}

TEST_F(CheckpasswordProgram, MisuseIsTwo)
{
    std::string c = fake_corvane(t.path, "corvane", answering("+OK", rec));
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
    s.fd3 = S("alice\0secret\0", 13);
    s.cwd = rec;
    Outcome r = run(s);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(t / "cwd"), (t / "etc").string() + "\n");
    EXPECT_EQ(read_file(t / "args"), "-path\n" + (t / "etc").string() + "\n");
}

TEST_F(CheckpasswordProgram, PamUserRhostAndPasswordOnStandardInput)
{
    std::string ok = fake_corvane(t.path, "ok", answering("+OK bob fake", rec));
    Outcome r =
        pam(ok, S("builder\0", 8), {"PAM_USER=bob", "PAM_RHOST=127.0.0.1", "PAM_TYPE=auth"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(t / "stdin"), "check bob builder 127.0.0.1\nquit\n");
    r = pam(ok, "builder", {"PAM_USER=bob"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(t / "stdin"), "check bob builder\nquit\n");

    std::string err = fake_corvane(t.path, "err", answering("-ERR bob", rec));
    EXPECT_EQ(pam(err, "wrong", {"PAM_USER=bob"}).status, CPW_REJECT);
    std::string dead = fake_corvane(t.path, "dead", answering("-DEAD gone", rec));
    EXPECT_EQ(pam(dead, "builder", {"PAM_USER=bob"}).status, CPW_TEMPFAIL);

    fs::remove(t / "args");
    EXPECT_EQ(pam(ok, "builder", {}).status, CPW_REJECT); // no PAM_USER
    EXPECT_EQ(pam(ok, "", {"PAM_USER=bob"}).status, CPW_REJECT);
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
