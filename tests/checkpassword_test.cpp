// corvane-checkpassword: what each caller hands over, the program's exit
// statuses over real Corvanes whose modules answer, refuse, crash or hang,
// the configuration directories it refuses, and a daemon asked on a socket.
#include <thread>

#include "adapters/checkpassword.h"
#include "checkpassword_kit.h"

using namespace cpwkit;
using namespace std::string_literals;

namespace
{

TEST(CheckpasswordLogin, EachCallersInputAndAddress)
{
    struct {
        int mode;
        std::string in, result; // "user|password", or the status
    } cases[] = {
        {CPW_CHECKPASSWORD, "alice\0secret\0"s + "1700000000\0"s, "alice|secret"},
        {CPW_CHECKPASSWORD, "j\xc3\xbcrgen\0p\xc3\xa4ss\0"s, "j\xc3\xbcrgen|p\xc3\xa4ss"},
        {CPW_CHECKPASSWORD, "alice\0secret"s, "2"},
        {CPW_CHECKPASSWORD, "\0secret\0"s, "1"},
        {CPW_CHECKPASSWORD, "alice\0se\tcret\0"s, "1"},
        {CPW_CHECKPASSWORD, "alice\0"s + std::string(510, 'p') + '\0', "1"}, // over 512 bytes
        {CPW_PAM, "secret\0ignored"s, "bob|secret"},
        {CPW_PAM, "sec ret", "1"},
        {CPW_PIPE, "alice\nsecret\n", "alice|secret"},
        {CPW_PIPE, "alice\nsecret", "alice|secret"},
        {CPW_PIPE, "alice\nsec\0ret\n"s, "1"},
        {CPW_PIPE, "alice\r\nsecret\r\n", "1"},
        {CPW_PIPE, "alice\n\n", "1"},
        {CPW_PIPE, "alice", "2"},
    };
    for (auto &c : cases) {
        AskLogin l;
        std::vector<char> data(c.in.begin(), c.in.end());
        data.push_back(0);
        int status = cpw_parse_login(c.mode, data.data(), c.in.size(), "bob", &l);
        EXPECT_EQ(status ? std::to_string(status) : l.User + "|"s + l.Password, c.result) << c.in;
    }
    AskLogin l = {"alice", "secret", nullptr};
    for (const char *bad : {"192.0.2.1,10.0.0.1", "192.0.2.1 10.0.0.1", "::1\n"})
        EXPECT_EQ(ask_set_address(&l, bad), ASK_REJECT) << bad;
    EXPECT_EQ(ask_set_address(&l, "fe80::1%eth0"), ASK_OK);
}

// The adapter run with args; login goes to descriptor 3, or with --pam
// and --pipe to standard input.
Outcome adapter(Lines args, const std::string &login, const Lines &env = {})
{
    args.insert(args.begin(), {ADAPTER_BIN, "--corvane", CORVANE_BIN});
    bool fd3 = args.back()[0] != '-';
    return run(
        {.argv = args, .input = fd3 ? "" : login, .with_fd3 = fd3, .fd3 = login, .env = env});
}

TEST(CheckpasswordProgram, OptionsAndTheConfigurationsItRefuses)
{
    Outcome help = adapter({"--help"}, "");
    EXPECT_TRUE(help.status == 0 && contains(help.out, ask_default_path()) &&
                contains(help.out, ask_default_corvane()));
    for (const char *args : {"x --pam --pipe", "--pipe x", "--path rel --pam", "--timeout 0 x"})
        EXPECT_EQ(adapter(fields(args), "").status, ASK_MISUSE) << args;
    EXPECT_EQ(adapter({}, "").status, ASK_MISUSE); // no prog

    TempDir t;
    fs::path dir = corvane_setup(t / "corvane");
    Lines args = {"--path", dir, "--pipe"};
    EXPECT_EQ(adapter(args, "alice\nwonderland\n").status, 0);
    Outcome r = adapter({"--corvane", t.at("corvane/corvane"), "--path", dir, "--pipe"}, "a\nb\n");
    EXPECT_EQ(r.status, ASK_TEMPFAIL);
    EXPECT_TRUE(contains(r.err, "cannot execute " + t.at("corvane/corvane"))) << r.err;
    std::function<void()> unsafe[] = {
        [&] { chmod(dir.c_str(), 0770); }, [&] { chmod(dir.c_str(), 0702); },
        [&] { chmod((dir / "corvane.ini").c_str(), 0620); },
        [&] { EXPECT_EQ(chown((dir / "corvane.ini").c_str(), 33, 0), 0); },
        [&] { fs::remove(dir / "corvane.ini"); }};
    for (auto &make_unsafe : unsafe) {
        make_unsafe();
        Outcome o = adapter(args, "alice\nwonderland\n");
        EXPECT_EQ(o.status, ASK_TEMPFAIL);
        EXPECT_TRUE(contains(o.err, dir.string())) << o.err;
        fs::remove_all(dir);
        corvane_setup(dir);
    }
}

TEST(CheckpasswordProgram, BrokenBackEndIsATemporaryFailureNeverAWrongPassword)
{
    TempDir t;
    // What each module answers to the check, in turn; the exit status; bytes
    // past the login. "!exit 1" crashes, "!sleep 60000" hangs past its 300 ms
    // time-out; "$3" echoes the password.
    struct {
        const char *row;
        int status;
        size_t more = 0;
    } rows[] = {{"-ERR no", 1},           {"+OK alice", 0},
                {"!exit 1", 111},         {"!sleep 60000", 111},
                {"-DEAD down", 111},      {"-DEAD pw=$3", 111},
                {"!exit 1|-ERR no", 111}, {"!sleep 60000|-ERR no", 111},
                {"!exit 1|+OK alice", 0}, {"-ERR no|-ERR no", 1},
                {"+OK alice", 1, 600}}; // over the input limit: Corvane is not asked
    for (auto [row, status, more] : rows) {
        Lines modules = fields(row, '|');
        std::string ini;
        for (size_t i = 0; i < modules.size(); i++) {
            std::string n = std::to_string(i + 1);
            ini += "module " + n + "\nbinary " TEST_PROGS_DIR "/scriptmod " +
                   write_file(t / n, "check\t" + modules[i] + "\n") +
                   (contains(modules[i], "sleep") ? "\ntimeout 300\n" : "\n");
        }
        write_file(t / "corvane.ini", ini);
        Outcome r = adapter({"--path", t.path, "/bin/sh", "-c", "echo \"$USER\""},
                            "alice\0secret\0"s + std::string(more, 'x'));
        EXPECT_EQ(r.status, status) << row << "\n" << r.err;
        EXPECT_EQ(r.out, status ? "" : "alice\n");
        std::string own; // the adapter's lines; Corvane's own begin "corvane: "
        for (const std::string &l : lines_of(r.err)) own += l.starts_with("corvane-") ? l : "";
        EXPECT_FALSE(contains(own, "secret")) << row;
    }
}

// --timeout is in milliseconds: with 3000, a Corvane that answers at once is
// waited for, and one whose module takes 30 s is given up (read in seconds,
// it would be waited for; read in smaller units, neither would be).
TEST(CheckpasswordProgram, TimeoutIsInMilliseconds)
{
    TempDir t;
    for (const char *row : {"+OK alice|0", "!sleep 30000 ;; +OK alice|111"}) {
        Lines c = fields(row, '|');
        write_file(t / "corvane.ini", "module 1\nbinary " TEST_PROGS_DIR "/scriptmod " +
                                          write_file(t / "m", "check\t" + c[0] + "\n") + "\n");
        Outcome r =
            adapter({"--path", t.path, "--timeout", "3000", "/bin/true"}, "alice\0secret\0"s);
        EXPECT_EQ(r.status, std::stoi(c[1])) << row << "\n" << r.err;
    }
}

TEST(CheckpasswordProgram, AsksADaemonOnItsSocket)
{
    TempDir t;
    std::string path = t.at("sock");
    int listener = socket_at(path, "", true);
    ASSERT_GE(listener, 0);
    for (const char *row : {"+OK alice|0", "-ERR alice no|1", "|111"}) { // the reply, the status
        Lines c = fields(row, '|');
        std::string got, reply = c[0].empty() ? "" : c[0] + "\n";
        std::thread daemon([&] { // reads the request, answers, waits for the client's end
            int fd = accept(listener, nullptr, nullptr);
            char bf[1000];
            for (ssize_t n; !contains(got, "quit\n") && (n = read(fd, bf, sizeof bf)) > 0;)
                got.append(bf, static_cast<size_t>(n));
            if (write(fd, reply.data(), reply.size()) < 0) got += "<write failed>";
            while (read(fd, bf, sizeof bf) > 0) {
            }
            close(fd);
        });
        Outcome r = adapter({"--socket", path, "--timeout", "1000", "--pam"}, "secret",
                            {"PAM_USER=alice", "PAM_RHOST=192.0.2.7"});
        daemon.join();
        EXPECT_EQ(r.status, std::stoi(c[1])) << row;
        EXPECT_EQ(got, "check alice secret 192.0.2.7\nquit\n");
    }
    close(listener);
    EXPECT_EQ(adapter({"--socket", path, "--pam"}, "secret", {"PAM_USER=alice"}).status, 111);
    Outcome d = adapter({"--socket", "--pam"}, "secret", {"PAM_USER=alice"}); // the default
    EXPECT_TRUE(d.status == 111 && contains(d.err, "cannot connect to " CORVANE_SOCKET ": "));
}

} // namespace
