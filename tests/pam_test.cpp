// pam_corvane.so in the programs that load it, over a Corvane daemon of the
// test's own (the file module on a copy of the example users): pamtester as
// root and as another user, a private Dovecot with passdb pam, a private
// Apache with mod_authnz_pam, and this process with several PAM handles. The
// services are the shipped example, pointed at the daemon's socket.
#include <map>
#include <security/pam_appl.h>

#include "tests/testkit.h"

using namespace testkit;

namespace
{

const std::string Nobody = "--reuid=65534 --regid=65534 --clear-groups";

class Pam : public ::testing::Test
{
  protected:
    TempDir t;
    std::string sock = t.at("s"), module = public_copy(PAM_MODULE_BIN);
    Lines services;
    Server daemon;

    // The daemon, run by setpriv with its words (as another user), on dir.
    bool start_daemon(Server &d, const fs::path &dir, const std::string &as = "")
    {
        Lines argv = fields(as.empty() ? "" : "/usr/bin/setpriv " + as);
        argv.insert(argv.end(), {public_copy(CORVANE_BIN), "-path", dir, "-listen", dir / "s"});
        return d.start(argv, dir / "out", [&] {
            int fd = socket_at(dir / "s"); // bound before it listens
            return fd >= 0 && close(fd) == 0;
        });
    }
    void SetUp() override
    {
        chmod(t.path.c_str(), 0755); // open to the users the clients run as
        fs::copy_file(EXAMPLES_DIR "/users.passwd", t / "users.passwd");
        // erin is let in from 127.0.0.1 only; echo's store repeats its requests.
        std::string file = "binary " + public_copy(MODULE_FILE_BIN) + " -file users.passwd\n";
        write_file(t / "echo.script", "lookup\t+OK echo\nset\t-ERR cannot store $0\n");
        write_file(t / "corvane.ini", "socket_mode 0666\nmodule 1\nbinary " +
                                          public_copy(TEST_PROGS_DIR "/scriptmod") +
                                          " echo.script\nmatch echo\ndo_set true\nmodule 2\n" +
                                          file +
                                          "do_set true\nset !echo,*\ncheck !erin,*\nmodule 3\n" +
                                          file + "check erin\nip_match 127.0.0.1\n");
        ASSERT_TRUE(start_daemon(daemon, t.dir)) << read_file(t / "out");
    }
    void TearDown() override
    {
        for (const std::string &s : services) fs::remove("/etc/pam.d/" + s);
    }
    // A service in /etc/pam.d: the shipped example, or lines, with the
    // module's arguments (socket=, then args) added.
    std::string service(const std::string &args = "", std::string lines = "")
    {
        std::string name =
            "corvane-pam-" + std::to_string(getpid()) + "-" + std::to_string(services.size());
        if (lines.empty()) lines = read_file(EXAMPLES_DIR "/pam.d/corvane-daemon");
        write_file("/etc/pam.d/" + name,
                   replace_all(lines, "pam_corvane.so", module + " socket=" + sock + args));
        services.push_back(name);
        return name;
    }
};

// pamtester (as root; as nobody through a setuid copy, "setuid"; as nobody
// plainly, "user"): service (e the example; d the module alone on every
// stack; o its password line optional, so that a failed preliminary pass
// does not stop the update), user, what it is asked (lines), client host,
// operation, what pamtester answers (and what it must not show).
TEST_F(Pam, PamtesterAsksTheDaemon)
{
    std::map<std::string, std::string> svc = {
        {"e", service()},
        {"d", service("", "auth required pam_corvane.so\naccount required pam_corvane.so\n"
                          "password required pam_corvane.so\n")},
        {"o", service("", "password optional pam_corvane.so\npassword required pam_permit.so\n")}};
    std::string setuid =
        (fs::path(public_copy("/usr/bin/pamtester")).parent_path() / "su-pamtester");
    fs::copy_file("/usr/bin/pamtester", setuid, fs::copy_options::overwrite_existing);
    chmod(setuid.c_str(), 04755);
    auto ask = [&](const char *row, std::string name = "") {
        Lines c = fields(row, '|');
        if (name.empty()) name = svc[c[1]];
        Lines argv =
            c[0] == "root"
                ? Lines{"pamtester"}
                : fields("setpriv " + Nobody + " " + (c[0] == "setuid" ? setuid : "pamtester"));
        argv.insert(argv.end(), {"-I", "rhost=" + c[4], name, c[2], c[5]});
        Outcome r = run({.argv = argv, .input = replace_all(c[3], "/", "\n") + "\n"});
        EXPECT_TRUE(contains(r.out + r.err, c[6])) << row << "\n" << r.out << r.err;
        EXPECT_TRUE(c.size() < 8 || !contains(r.out + r.err, c[7])) << row << "\n" << r.err;
    };
    for (const char *row : {
             "root|e|alice|wonderland||authenticate|successfully authenticated",
             "root|e|alice|wonderland|bad host|authenticate|successfully authenticated",
             "root|e|erin|erin2001|127.0.0.1|authenticate|successfully authenticated",
             "root|e|erin|erin2001|127.0.0.2|authenticate|Authentication failure",
             "root|e|alice|wonderland|127.0.0.1,10.0.0.1|authenticate|successfully authenticated",
             "root|e|alice|builder||authenticate|Authentication failure",
             "root|e|alice|wonderland x||authenticate|Authentication failure",
             "root|e|zed|x||authenticate|Authentication failure",
             "root|d|alice|||acct_mgmt|account management done",
             "root|d|zed|||acct_mgmt|User not known",
             "root|e|zed|||acct_mgmt|account management done", // falls through
             "root|e|bob|new1/new1||chauthtok|altered successfully",
             "root|e|bob|new1||authenticate|successfully authenticated",
             "root|e|bob|a/b||chauthtok|Authentication token manipulation error",
             "root|e|echo|Zq9x/Zq9x||chauthtok|Permission denied|Zq9x", // not shown
             "setuid|e|carol|carols-secret/c2/c2||chauthtok|altered successfully",
             "root|e|carol|c2||authenticate|successfully authenticated",
             "setuid|e|carol|wrong/c3/c3||chauthtok|Authentication failure",
             "user|e|carol|c2/c3/c3||chauthtok|Permission denied",         // the daemon refuses
             "setuid|o|carol|wrong/c4/c4||chauthtok|altered successfully", // but not by us
             "root|e|carol|c2||authenticate|successfully authenticated",
         })
        ask(row);
    // A daemon run by neither root nor the server_user is not trusted.
    fs::create_directories(t / "nobody");
    fs::copy_file(t / "corvane.ini", t / "nobody/corvane.ini");
    fs::copy_file(t / "users.passwd", t / "nobody/users.passwd");
    (void)!chown((t / "nobody").c_str(), 65534, 65534); // its own: the module trusts no other
    Server other;
    ASSERT_TRUE(start_daemon(other, t / "nobody", Nobody)) << read_file(t / "nobody/out");
    sock = t.at("nobody/s");
    ask("root|e|alice|wonderland||authenticate|cannot retrieve authentication info", service());
    ask("root|e|alice|wonderland||authenticate|successfully authenticated",
        service(" server_user=nobody"));
    daemon.stop();
    sock = t.at("s");
    ask("root|e|alice|wonderland||authenticate|cannot retrieve authentication info", service());
}

// Dovecot's passdb pam, asked with doveadm: a right and a wrong password,
// then the daemon down.
TEST_F(Pam, DovecotPassdbPam)
{
    Server dovecot;
    std::string conf = dovecot_start(dovecot, t / "dovecot",
                                     "passdb {\n  driver = pam\n  args = " + service() +
                                         "\n}\nuserdb {\n  driver = static\n  args = uid=5000 "
                                         "gid=5000 home=/var/mail/%d/%n\n}\n");
    for (const char *row : {"alice|wonderland|auth succeeded", "alice|builder|auth failed",
                            "-alice|wonderland|auth failed"}) {
        Lines c = fields(row, '|');
        if (c[0][0] == '-') daemon.stop(), c[0].erase(0, 1);
        EXPECT_TRUE(contains(doveadm_auth(conf, c[0], c[1]), c[2]))
            << row << read_file(t / "dovecot/dovecot.log");
    }
    // Dovecot takes the outage for a wrong password, and says why in its log.
    EXPECT_TRUE(contains(read_file(t / "dovecot/dovecot.log"),
                         "pam_authenticate() failed: Authentication service cannot retrieve "
                         "authentication info"));
}

// Apache's mod_authnz_pam, run as www-data, over the example service.
TEST_F(Pam, ApacheModAuthnzPam)
{
    Server apache;
    std::string web = apache_start(apache, t / "apache", "authnz_pam",
                                   "<Location /private>\nAuthType Basic\nAuthName Corvane\n"
                                   "AuthBasicProvider PAM\nAuthPAMService " +
                                       service() + "\nRequire valid-user\n</Location>\n");
    for (const char *row : {"alice:wonderland 200", "alice:builder 401", "zed:x 401"}) {
        Lines c = fields(row);
        EXPECT_EQ(c[1], http_code({"-u", c[0], web + "/private/hello.txt"}))
            << row << read_file(t / "apache/error.log");
    }
}

// The conversation of this process's handles: every prompt is answered with
// the password its handle was started with.
int answer(int n, const pam_message **m, pam_response **r, void *password)
{
    (void)m;
    *r = static_cast<pam_response *>(calloc(n, sizeof **r));
    for (int i = 0; i < n; i++) (*r)[i].resp = strdup(static_cast<const char *>(password));
    return PAM_SUCCESS;
}

size_t open_descriptors()
{
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
}

// Handles in one process on services that name different sockets (one
// with no daemon, one that never answers), asked in turn: each keeps its
// own answer; after pam_end no descriptor is left open.
TEST_F(Pam, HandlesInOneProcessShareNothing)
{
    fs::create_directories(t / "conf");
    int silent = socket_at(t.at("silent"), "", true); // takes connections, never answers
    const char *names[] = {"s", "none", "silent"};
    for (std::string name : names)
        write_file(t / "conf" / name,
                   "auth required " PAM_MODULE_CHECKED " socket=" + t.at(name) +
                       (name == "silent" ? " timeout=1000" : "") +
                       "\naccount required " PAM_MODULE_CHECKED " socket=" + sock + "\n");
    size_t before = open_descriptors();
    char right[] = "wonderland";
    pam_conv conv = {answer, right};
    pam_handle_t *h[3];
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(PAM_SUCCESS,
                  pam_start_confdir(names[i], "alice", &conv, t.at("conf").c_str(), &h[i]));
    for (int round = 0; round < 2; round++) {
        EXPECT_EQ(PAM_AUTHINFO_UNAVAIL, pam_authenticate(h[1], 0));
        EXPECT_EQ(PAM_SUCCESS, pam_authenticate(h[0], 0));
        EXPECT_EQ(PAM_AUTHINFO_UNAVAIL, pam_authenticate(h[2], 0));
        EXPECT_EQ(PAM_SUCCESS, pam_acct_mgmt(h[1], 0));
    }
    for (pam_handle_t *handle : h) pam_end(handle, PAM_SUCCESS);
    EXPECT_EQ(before, open_descriptors());
    close(silent);
}

} // namespace
