// Corvane behind a real Apache: a private Apache (its own ServerRoot,
// configuration and logs, 127.0.0.1 on a free port, children as www-data)
// whose protected location is the shipped examples/apache file, asked
// with curl.
#include <netinet/in.h>
#include <sys/socket.h>

#include "checkpassword_kit.h"

using namespace cpwkit;

// A port on 127.0.0.1 that no one listens on just now.
static int free_port()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

TEST(CheckpasswordApache, ShippedLocationAuthenticatesThroughThePipe)
{
    std::string apache = find_program("apache2"), curl = find_program("curl");
    const char *modules = "/usr/lib/apache2/modules/";
    if (apache.empty() || curl.empty() ||
        !fs::exists(modules + std::string("mod_authnz_external.so")))
        GTEST_SKIP()
            << "no apache2, libapache2-mod-authnz-external or curl (.ci/run installs them)";
    TempDir t;
    fs::path corvane = corvane_setup(t / "corvane", "www-data");
    fs::create_directories(t / "htdocs" / "private");
    write_file(t / "htdocs" / "private" / "hello.txt", "hello\n");
    chmod((t / "htdocs").c_str(), 0755);
    chmod((t / "htdocs" / "private").c_str(), 0755);
    std::string port = std::to_string(free_port()), conf = "ServerRoot " + t.path + "\n";
    for (const char *m :
         {"mpm_prefork", "authn_core", "authz_core", "authz_user", "auth_basic", "authnz_external"})
        conf += std::string("LoadModule ") + m + "_module " + modules + "mod_" + m + ".so\n";
    conf += "Listen 127.0.0.1:" + port + "\nServerName 127.0.0.1\nUser www-data\nGroup www-data\n" +
            "PidFile " + t.file("httpd.pid") + "\nErrorLog " + t.file("error.log") +
            "\nDocumentRoot " + t.file("htdocs") + "\n" + example("apache/corvane.conf", corvane);
    write_file(t / "httpd.conf", conf);
    Server server;
    ASSERT_EQ(server.start({apache, "-f", t.file("httpd.conf"), "-DFOREGROUND"}, t / "httpd.err",
                           [&] { return fs::exists(t / "httpd.pid"); }),
              "");
    struct {
        const char *login, *status;
    } cases[] = {
        {"alice:wonderland", "200"}, {"alice:builder", "401"}, {"zed:wonderland", "401"},
        {"erin:erin2001", "200"}, // the client's address reaches Corvane
        {"crash:x", "401"},       // Apache tells no outage apart, but logs it
    };
    for (const auto &c : cases) {
        Spec s;
        s.argv = {curl,        "-s",    "-o",
                  "/dev/null", "-w",    "%{http_code}",
                  "-u",        c.login, "http://127.0.0.1:" + port + "/private/hello.txt"};
        EXPECT_EQ(run(s).out, c.status) << c.login << "\n" << read_file(t / "error.log");
    }
    EXPECT_TRUE(contains(read_file(t / "error.log"), "Failed (111) for user crash"));
}
