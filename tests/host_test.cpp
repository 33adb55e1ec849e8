// One host as the README sets it up: one daemon, started as root on the
// shipped examples/daemon/corvane.ini and running as its own user, serves
// the real clients at once against one user base: Dovecot (through
// corvane-checkpassword --socket), pamtester (pam_corvane.so), Squid
// (corvane-squid --socket) and Apache (corvane-checkpassword --pipe
// --socket under mod_authnz_external), each configured with its shipped
// example. What a test cannot do as the README says: the system paths
// (/etc/corvane, /var/lib/corvane, /var/log/corvane, /run/corvane) are
// directories of a private temporary one; the service's user is nobody (a
// test adds no user to the host), so the PAM module is told
// server_user=nobody; the log goes to a file instead of the journal; and
// the test starts the daemon, not systemd.
#include "tests/testkit.h"

using namespace testkit;

namespace
{

const uid_t User = 65534; // nobody, group nogroup

TEST(Host, OneDaemonServesEveryClientAsItsUserAgainstOneUserBase)
{
    TempDir t;
    chmod(t.path.c_str(), 0755);
    std::string sock = t.at("run/corvane.sock"), etc = t.at("etc"),
                corvane = public_copy(CORVANE_BIN);
    std::string bin = fs::path(corvane).parent_path().string() + "/";
    for (const char *p : {ADAPTER_BIN, HELPER_BIN, MODULE_FILE_BIN, MODULE_SQLITE_BIN})
        public_copy(p);
    // A shipped example with the installation's paths made this test's.
    auto installed = [&](const std::string &name) {
        std::string text = read_file(EXAMPLES_DIR "/" + name);
        for (auto [from, to] : {std::pair<std::string, std::string>{"/usr/local/bin/", bin},
                                {"/usr/local/libexec/", bin},
                                {"/usr/local/etc/corvane", etc},
                                {"/var/lib/corvane", t.at("state")},
                                {"/var/log/corvane", t.at("log")},
                                {"\nuser corvane\n", "\nuser nobody\n"},
                                {"\nlog_to syslog\n", "\nlog_to file\n"},
                                {"--socket", "--socket " + sock},
                                {"pam_corvane.so", public_copy(PAM_MODULE_BIN) + " socket=" + sock +
                                                       " server_user=nobody"}})
            text = replace_all(text, from, to);
        return text;
    };
    // The user and the directories, as the README makes them.
    for (const char *d : {"etc", "state", "log", "run"}) fs::create_directories(t / d);
    // Idle connections are let go after client_timeout: not before this
    // test's end. Answers are kept, as a busy host keeps them: a change must
    // still reach every client at once.
    write_file(t / "etc/corvane.ini",
               "client_timeout 3600\ncache_ttl 300\n" + installed("daemon/corvane.ini"));
    fs::copy_file(EXAMPLES_DIR "/users.passwd", t / "etc/users.passwd");
    for (auto [path, mode, uid] : {std::tuple{"etc", 0750, 0u},
                                   {"etc/corvane.ini", 0640, 0u},
                                   {"etc/users.passwd", 0640, 0u},
                                   {"state", 0700, User},
                                   {"log", 0700, User}})
        EXPECT_EQ(0, chown(t.at(path).c_str(), uid, User) || chmod(t.at(path).c_str(), mode));
    chmod(t.at("run").c_str(), 0755); // root's
    Outcome judged = run({.argv = {corvane, "-path", etc, "-t"}});
    EXPECT_EQ(0, judged.status) << judged.out << judged.err;
    // An administrator's test as root leaves a store that the service's user owns.
    EXPECT_TRUE(run({.argv = {corvane, "-path", etc, "-check", "alice", "wonderland"}})
                    .out.starts_with("+OK alice file"));
    struct stat st;
    EXPECT_TRUE(stat(t.at("state/users.db").c_str(), &st) == 0 && st.st_uid == User);

    Server daemon, dovecot, apache, squid;
    ASSERT_TRUE(daemon.start({corvane, "-path", etc, "-listen", sock}, t / "daemon.out", [&] {
        int fd = socket_at(sock);
        return fd >= 0 && close(fd) == 0;
    })) << read_file(t / "daemon.out");
    // Idle connections, many more than workers, held all along.
    std::vector<int> idle;
    for (int i = 0; i < 300; i++) idle.push_back(socket_at(sock, i % 2 ? "look" : ""));
    std::string dovecot_conf =
        dovecot_start(dovecot, t / "dovecot", installed("dovecot/auth-corvane.conf.ext"));
    std::string web =
        apache_start(apache, t / "apache", "authnz_external", installed("apache/corvane.conf"));
    std::string proxy = squid_start(squid, t / "squid", installed("squid/corvane.conf"));
    std::string service = "corvane-host-" + std::to_string(getpid());
    std::string pam = write_file("/etc/pam.d/" + service, installed("pam.d/corvane-daemon"));
    auto pamtester = [&](const std::string &user, const std::string &op, const std::string &in) {
        Outcome r = run({.argv = {"/usr/bin/pamtester", service, user, op}, .input = in});
        return r.out + r.err;
    };
    // "yes" when the client lets the user in with the password, "no" when
    // it refuses, what it said otherwise.
    auto login = [&](const std::string &client, const std::string &user, const std::string &pw) {
        std::string said = client == "dovecot" ? doveadm_auth(dovecot_conf, user, pw)
                           : client == "pam"   ? pamtester(user, "authenticate", pw + "\n")
                           : client == "squid"
                               ? http_code({"-x", proxy, "-U", user + ":" + pw, web + "/hello.txt"})
                               : http_code({"-u", user + ":" + pw, web + "/private/hello.txt"});
        for (const char *yes : {"auth succeeded", "successfully authenticated", "200"})
            if (contains(said, yes)) return std::string("yes");
        for (const char *no : {"auth failed", "Authentication failure", "401", "407"})
            if (contains(said, no)) return std::string("no");
        return said;
    };
    // client (* every one), user, password, "yes" or "no"; or PAM changing a
    // password. Squid lets a password it let in pass unasked for
    // credentialsttl (the README says so): carol meets it only after her change.
    for (const char *row : {"* alice wonderland yes", // moved by the administrator's test
                            "* bob builder yes",      // moved at his first login
                            "* bob wonderland no", "* zed x no", "dovecot carol carols-secret yes",
                            "pam carol n3w-pass/n3w-pass changed", "* carol carols-secret no",
                            "* carol n3w-pass yes"}) {
        Lines c = fields(row);
        if (c[3] == "changed") {
            std::string said = pamtester(c[1], "chauthtok", replace_all(c[2], "/", "\n") + "\n");
            EXPECT_TRUE(contains(said, "altered successfully")) << said;
            continue;
        }
        for (std::string client : {"dovecot", "pam", "squid", "apache"}) {
            if (c[0] != "*" && c[0] != client) continue;
            EXPECT_EQ(c[3], login(client, c[1], c[2])) << row << " through " << client;
        }
    }
    // A peer not in clients is refused, and the refusal logged.
    Outcome refused =
        run({.argv = {"/usr/bin/setpriv", "--reuid=daemon", "--regid=daemon", "--clear-groups",
                      corvane, "-connect", sock, "-lookup", "bob"}});
    EXPECT_EQ("-DEAD this client is not allowed\n", refused.out);
    EXPECT_EQ(111, refused.status);
    EXPECT_TRUE(eventually([&] {
        return contains(read_file(t / "log/corvane.log"), "Client uid 1 refused: not in clients");
    }));
    // Supervisor, workers and modules run as the user alone.
    std::vector<pid_t> procs = {daemon.pid};
    for (pid_t w : children(daemon.pid)) {
        procs.push_back(w);
        for (pid_t m : children(w)) procs.push_back(m);
        EXPECT_EQ(2u, children(w).size()); // its modules
    }
    EXPECT_GT(procs.size(), 1u);
    for (pid_t p : procs)
        EXPECT_EQ(
            "Uid:\t65534\t65534\t65534\t65534|Gid:\t65534\t65534\t65534\t65534|Groups:\t65534 |",
            ids(p))
            << p;
    // Every idle connection is still held: none was answered or closed.
    std::vector<pollfd> polls;
    for (int fd : idle) polls.push_back({fd, POLLIN, 0});
    EXPECT_EQ(0, poll(polls.data(), polls.size(), 0));
    for (int fd : idle) close(fd);
    fs::remove(pam);
}

} // namespace
