// Corvane behind the real clients, each configured with the file shipped in
// examples/ (pointed at this build) over a Corvane directory owned as the
// README says for the user the client runs the adapter as: a private
// Dovecot asked with doveadm, a PAM service asked with pamtester, a private
// Apache asked with curl. Servers listen on 127.0.0.1 only.
#include "checkpassword_kit.h"

using namespace cpwkit;

namespace
{

// The shipped file examples/name, pointed at this build and at dir, where a
// Corvane is started per login instead of asking the host's daemon.
std::string example(const std::string &name, const fs::path &dir)
{
    std::string text = replace_all(read_file(EXAMPLES_DIR "/" + name), "--socket",
                                   "--path /usr/local/etc/corvane");
    text = replace_all(text, "/usr/local/bin/corvane-checkpassword",
                       public_copy(ADAPTER_BIN) + " --corvane " + public_copy(CORVANE_BIN));
    return replace_all(text, "/usr/local/etc/corvane", dir.string());
}

TEST(CheckpasswordClients, DovecotChecksMovesAndTellsOutagesApart)
{
    std::string dovecot = "/usr/sbin/dovecot", doveadm = "/usr/bin/doveadm";
    if (access(dovecot.c_str(), X_OK) || access(doveadm.c_str(), X_OK))
        GTEST_SKIP() << "no Dovecot (.ci/run installs it)";
    TempDir t;
    fs::path corvane = corvane_setup(t / "corvane", "dovecot");
    // A private Dovecot in t/NAME over the shipped passdb, its adapter told
    // to use how (the example's own --path, or a daemon's --socket).
    auto dovecot_in = [&](const std::string &name, const std::string &how, Server &server) {
        std::string passdb = example("dovecot/auth-corvane.conf.ext", corvane);
        if (!how.empty()) passdb = replace_all(passdb, "--path " + corvane.string(), how);
        return dovecot_start(server, t / name, passdb);
    };
    // user, password, client address, what doveadm says
    auto ask = [&](const std::string &conf, const char *row) {
        Lines c = fields(row, '|');
        EXPECT_TRUE(contains(doveadm_auth(conf, c[0], c[1], c[2]), c[3]))
            << row << "\n"
            << read_file(fs::path(conf).parent_path() / "dovecot.log");
    };
    Server server;
    std::string conf = dovecot_in("dovecot", "", server);
    for (const char *row :
         {"alice|wonderland|192.0.2.1|auth succeeded", // moved into users.db
          "alice|builder|192.0.2.1|auth failed",
          "alice|wonder land|192.0.2.1|auth failed", // refused before Corvane
          "erin|erin2001|127.0.0.1|auth succeeded", "erin|erin2001|127.0.0.2|auth failed",
          "crash|x|192.0.2.1|temp_fail", // a module that cannot run
          "alice|wonderland|192.0.2.1|auth succeeded"})
        ask(conf, row);
    // The same through the daemon, run as the stores' owner, on a socket open to all.
    std::string sock = (corvane / "corvane.sock").string();
    const std::string as_dovecot = "/usr/sbin/runuser -u dovecot -- ";
    write_file(corvane / "corvane.ini", "socket_mode 0666\n" + read_file(corvane / "corvane.ini"),
               0600);
    Server daemon, through_daemon;
    ASSERT_TRUE(daemon.start(fields(as_dovecot + public_copy(CORVANE_BIN) + " -path " +
                                    corvane.string() + " -listen " + sock),
                             t / "daemon.err", [&] { return fs::exists(sock); }))
        << read_file(t / "daemon.err");
    std::string by_socket = dovecot_in("dovecot2", "--socket " + sock, through_daemon);
    for (const char *row : {"bob|builder|192.0.2.1|auth succeeded",
                            "bob|wonderland|192.0.2.1|auth failed", "crash|x|192.0.2.1|temp_fail"})
        ask(by_socket, row);
    // The move was made as the user Dovecot runs the adapter as.
    Outcome r = run({.argv = fields(as_dovecot + public_copy(MODULE_SQLITE_BIN) + " -file " +
                                    (corvane / "users.db").string()),
                     .input = "check alice wonderland\nquit\n"});
    EXPECT_TRUE(r.out.starts_with("+OK alice sqlite")) << read_file(corvane / "corvane.log");
}

TEST(CheckpasswordClients, PamServiceAuthenticates)
{
    std::string pamtester = "/usr/bin/pamtester";
    if (access(pamtester.c_str(), X_OK)) GTEST_SKIP() << "no pamtester (.ci/run installs it)";
    TempDir t;
    fs::path corvane = corvane_setup(t / "corvane"); // pamtester runs as root
    std::string service = "corvane-test-" + std::to_string(getpid());
    std::string file = write_file("/etc/pam.d/" + service, example("pam.d/corvane", corvane));
    // user, password, client host, whether it authenticates
    for (const char *row :
         {"alice|wonderland||yes", "alice|builder||no", "alice|||no", "erin|erin2001|127.0.0.1|yes",
          "erin|erin2001|127.0.0.2|no", "erin|erin2001|127.0.0.1,10.0.0.1|no"}) {
        Lines c = fields(row, '|');
        Outcome r = run({.argv = {pamtester, "-I", "rhost=" + c[2], service, c[0], "authenticate"},
                         .input = c[1] + "\n"});
        EXPECT_EQ(contains(r.out, "successfully authenticated") ? "yes" : "no", c[3])
            << row << "\n"
            << r.out << r.err;
    }
    fs::remove(file);
}

TEST(CheckpasswordClients, ApacheLocationAuthenticatesThroughThePipe)
{
    std::string apache = "/usr/sbin/apache2", curl = "/usr/bin/curl";
    std::string modules = "/usr/lib/apache2/modules/";
    if (access(apache.c_str(), X_OK) || access(curl.c_str(), X_OK) ||
        !fs::exists(modules + "mod_authnz_external.so"))
        GTEST_SKIP()
            << "no apache2, libapache2-mod-authnz-external or curl (.ci/run installs them)";
    TempDir t;
    fs::path corvane = corvane_setup(t / "corvane", "www-data");
    Server server;
    std::string web = apache_start(server, t / "apache", "authnz_external",
                                   example("apache/corvane.conf", corvane));
    // erin is let in from 127.0.0.1 only: the client's address reaches Corvane.
    for (const char *row :
         {"alice:wonderland 200", "alice:builder 401", "erin:erin2001 200", "crash:x 401"}) {
        Lines c = fields(row);
        EXPECT_EQ(c[1], http_code({"-u", c[0], web + "/private/hello.txt"}))
            << row << "\n"
            << read_file(t / "apache/error.log");
    }
    // Apache tells no outage apart from a refusal, but logs the status.
    EXPECT_TRUE(contains(read_file(t / "apache/error.log"), "Failed (111) for user crash"));
}

} // namespace
