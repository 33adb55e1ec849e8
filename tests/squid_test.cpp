// corvane-squid: Squid's request lines, the helper over a stand-in daemon,
// and the real Squid authenticating through Corvane.
#include "adapters/squid.h"
#include "testkit.h"

#include <arpa/inet.h>
#include <atomic>
#include <pwd.h>
#include <sys/un.h>
#include <thread>

using namespace testkit;

namespace
{

// Corvane's file module over the example users and two whose names need
// escapes, in a directory set up as the README says: proxy's, 0700, its files 0600.
struct Dir : TempDir {
    Dir()
    {
        std::string users = read_file(EXAMPLES_DIR "/users.passwd");
        size_t at = users.find("\nalice:") + 7;
        std::string hash = users.substr(at, users.find(':', at) - at);
        write_file(dir / "users.passwd", users + "a%20b:" + hash + ":\nc+d:" + hash + ":\n", 0600);
        write_file(dir / "corvane.ini",
                   "module 1\nbinary " + public_copy(MODULE_FILE_BIN) + " -file users.passwd\n",
                   0600);
        for (const char *f : {"", "/users.passwd", "/corvane.ini"})
            if (struct passwd *pw = getpwnam("proxy"))
                (void)!chown((path + f).c_str(), pw->pw_uid, pw->pw_gid);
    }
};

// Serves each connection to a listening socket in a thread of its own.
struct Acceptor {
    int fd;
    std::vector<std::thread> conns;
    std::thread acceptor;
    template <class F> Acceptor(int family, const void *a, socklen_t len, F serve)
    {
        fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(0, bind(fd, (const sockaddr *)a, len) || listen(fd, 64)) << strerror(errno);
        acceptor = std::thread([this, serve] {
            for (int c; (c = accept(fd, nullptr, nullptr)) >= 0;)
                conns.emplace_back([c, serve] { serve(c), close(c); });
        });
    }
    ~Acceptor()
    {
        shutdown(fd, SHUT_RDWR), acceptor.join();
        for (auto &t : conns) t.join();
        close(fd);
    }
    int port() const
    {
        sockaddr_in a{};
        socklen_t n = sizeof a;
        return getsockname(fd, (sockaddr *)&a, &n), ntohs(a.sin_port);
    }
};

} // namespace

// Each row: "c" when concurrent, Squid's line, and what comes of it:
// "CHANNEL|USER|PASSWORD|ADDRESS" to ask Corvane, or the reply given at once.
TEST(SquidHelper, RequestLines)
{
    for (const std::string &row : lines_of(R"(-	alice wonderland	|alice|wonderland|
-	a%2520b x%2By%2f 192.0.2.1	|a%20b|x+y/|192.0.2.1
c	17 c+d pw ::1	17|c+d|pw|::1
-	a%20b x	ERR
-	alice a%0Ab	ERR
-	alice 	ERR
-	alice x%2	ERR
c	9 a%00 pw	9 ERR
c	3 alice pw a%20b	3 ERR
-	alice	BH
-	alice pw 192.0.2.1 x	BH
c	alice pw	BH)")) {
        size_t tab = row.find('\t', 2);
        std::string line = row.substr(2, tab - 2), got;
        SquidRequest r;
        squid_parse(line.data(), row[0] == 'c', &r);
        char bf[200] = "";
        const AskLogin &l = r.Login;
        if (r.Verdict == SQ_ASK)
            got = std::string(r.Channel) + "|" + l.User + "|" + l.Password + "|" +
                  (l.Address ? l.Address : "");
        else
            got = std::string(bf, squid_reply(bf, sizeof bf, r.Channel, r.Verdict, nullptr) - 1);
        EXPECT_EQ(row.substr(tab + 1), got) << row;
    }
    char bf[27];
    squid_reply(bf, sizeof bf, "3", SQ_BH, "a\n\"b\" \\ and more"); // escaped, then cut
    EXPECT_STREQ("3 BH message=\"a?\\\"b\\\" \\\\\"\n", bf);
}

// One connection per request in flight: "slow" is answered only once "fast"
// has been asked, so a helper that asks one at a time times out on it.
TEST(SquidHelper, DaemonRequestsRunAtOnce)
{
    Dir d;
    sockaddr_un a{AF_UNIX, {}};
    snprintf(a.sun_path, sizeof a.sun_path, "%s/socket", d.path.c_str());
    std::atomic<bool> fast{false};
    Acceptor daemon(AF_UNIX, &a, sizeof a, [&fast](int c) {
        std::string line, reply;
        for (char ch; read(c, &ch, 1) == 1;) {
            if (ch != '\n' && (line += ch, true)) continue;
            std::string user = line.substr(6, line.find(' ', 6) - 6);
            if (user == "fast") fast = true; // only ever set: a load and store could lose it
            for (int i = 0; user == "slow" && !fast && i < 2000; i++) usleep(10000);
            if (user == "hang" && (line.clear(), true)) continue;
            reply = user == "fast"   ? "+OK\n"
                    : user == "dead" ? "-DEAD store down\n"
                    : user == "echo" ? "-DEAD " + line + "\n"
                                     : "-ERR no\n";
            (void)!write(c, reply.data(), reply.size());
            line.clear();
        }
    });
    Outcome o =
        run({.argv = {HELPER_BIN, "--socket", a.sun_path, "--concurrency", "--timeout", "5000"},
             .input = "1 slow pw\n2 fast pw\n3 dead pw\n4 echo s3cret\n5 hang pw\n6 " +
                      std::string(3 * SQ_INPUT, 'x') + " pw\n"});
    EXPECT_EQ(0, o.status) << o.err;
    EXPECT_TRUE(contains(o.out, "1 ERR\n") && contains(o.out, "2 OK\n")) << o.out;
    EXPECT_TRUE(contains(o.out, "3 BH message=\"-DEAD store down\"\n")) << o.out;
    EXPECT_TRUE(contains(o.out, "5 BH message=\"no reply from Corvane within the time-out\"\n"));
    EXPECT_TRUE(contains(o.out, "6 ERR message=\"request too long\"\n")) << o.out;
    EXPECT_TRUE(contains(o.out, "4 BH message=\"Corvane cannot answer (a reply that holds"))
        << o.out;
    EXPECT_FALSE(contains(o.out + o.err, "s3cret"));
}

// A Corvane that ends after each answer is started again, and no request
// fails for it (one a Corvane ended under is asked again, once); but not in
// a directory that others may write, nor one named relative to Squid's.
TEST(SquidHelper, CorvaneStartedAgainInASafeDirectoryOnly)
{
    TempDir d;
    std::string once = write_file(d / "once", "#!/bin/sh\nread w\necho +OK\n", 0755);
    write_file(d / "once.ini", "");
    Spec s = {.argv = {HELPER_BIN, "--corvane", once, "--path", d.path}, .input = "a b\nc d\n"};
    EXPECT_EQ("OK\nOK\n", run(s).out);
    chmod(d.path.c_str(), 0770);
    EXPECT_TRUE(contains(run(s).out, "BH message=\"configuration " + d.path + " refused"));
    EXPECT_EQ(2, run({.argv = {HELPER_BIN, "--path", "etc"}}).status);
}

// The real Squid on loopback with the shipped example, rewritten for the
// built programs, once with each request alone and once with channels.
TEST(SquidHelper, RealSquid)
{
    if (access("/usr/sbin/squid", X_OK) != 0)
        GTEST_SKIP() << "squid is not installed (apt-get install squid)";
    for (int concurrency : {0, 4}) {
        Dir d;
        std::string dir = d.path, n = std::to_string(concurrency);
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        Acceptor origin(AF_INET, &a, sizeof a, [](int c) {
            char bf[4096];
            (void)!read(c, bf, sizeof bf);
            (void)!write(c, "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nhi\n", 41);
        });
        std::string text = replace_all(read_file(EXAMPLES_DIR "/squid/corvane.conf"),
                                       "concurrency=32", "concurrency=" + n);
        text = replace_all(text, "/usr/local/bin/corvane-squid --socket --concurrency",
                           public_copy(HELPER_BIN) + " --corvane " + public_copy(CORVANE_BIN) +
                               " --path " + dir + (concurrency ? " --concurrency" : ""));
        Server squid;
        std::string proxy = squid_start(squid, d / "squid", text);
        // curl decodes %XX in -U: "a%2520b" is the name "a%20b", "a%20b" the name "a b".
        std::istringstream rows("alice:wonderland 200 alice:wrong 407 nobody:wonderland 407 "
                                "a%2520b:wonderland 200 c+d:wonderland 200 a%20b:wonderland 407");
        for (std::string login, code; rows >> login >> code;) {
            ASSERT_EQ(code, http_code({"-x", proxy, "-U", login,
                                       "http://127.0.0.1:" + std::to_string(origin.port()) + "/"}))
                << login << ", concurrency " << n << "\n"
                << read_file(d / "squid/cache.log");
        }
    }
}
