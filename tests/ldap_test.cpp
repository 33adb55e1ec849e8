// corvane-ldap against a real slapd: the example's demo directory
// (examples/ldap) with two entries more, loaded into a temporary directory
// and served on a Unix socket there only.
#include "tests/testkit.h"

#include <map>

using namespace testkit;

namespace
{

const std::string alice = "cn=Alice%20Liddell mail=alice@example.org";

// The reply to request; for a search its lines joined, hits sorted. A
// request longer than a line is sent without its line feed until the
// reply has come.
std::string answer(Child &m, const std::string &request)
{
    if (request.size() > 997) {
        m.send(request);
        std::string reply = m.line();
        m.send("\n");
        return reply;
    }
    if (request.rfind("search ", 0) != 0) return m.ask(request);
    Lines lines = m.search(request);
    std::sort(lines.begin(), lines.end() - 1);
    std::string text;
    for (const std::string &l : lines) text += (text.empty() ? "" : "\n") + l;
    return text;
}

class Ldap : public ::testing::Test
{
  protected:
    TempDir tmp;
    std::string &dir = tmp.path, uri;

    Outcome here(const Lines &argv) { return run({.argv = argv, .cwd = dir}); }

    void SetUp() override
    {
        if (access("/usr/sbin/slapd", X_OK) != 0)
            GTEST_SKIP() << "slapd is not installed (Debian: apt-get install slapd ldap-utils)";
        std::string modules = fs::path(MODULE_LDAP_BIN).parent_path().string() + "/";
        for (const char *f : {"slapd.conf", "users.ldif", "corvane.secret", "corvane.ini"}) {
            std::string text = read_file(std::string(EXAMPLES_DIR) + "/ldap/" + f);
            write_file(dir + "/" + f, replace_all(text, "/usr/local/libexec/", modules), 0600);
        }
        // Unauthenticated binds (a DN, no password) are let through, so that
        // a module that sent one would see it succeed.
        write_file(dir + "/slapd.conf", "allow bind_anon_dn\n" + read_file(dir + "/slapd.conf"));
        // Two entries more that both answer (uid=twin).
        std::string ldif = read_file(dir + "/users.ldif");
        for (std::string n : {"One", "Two"})
            ldif += "\ndn: cn=Twin " + n + ",ou=people,dc=example,dc=org\nobjectClass: " +
                    "inetOrgPerson\nuid: twin\ncn: Twin " + n + "\nsn: " + n + "\n";
        write_file(dir + "/users.ldif", ldif);
        fs::create_directory(dir + "/db");
        Outcome load = here({"/usr/sbin/slapadd", "-f", "slapd.conf", "-l", "users.ldif"});
        ASSERT_EQ(0, load.status) << load.err;
        // The socket's path, URL-encoded: the temporary name is letters and digits.
        uri = "ldapi://" + replace_all(dir + "/ldapi", "/", "%2F");
        start();
    }

    // slapd in the foreground, once it answers; its log of operations
    // (256: connections and operations) goes to slapd.out.
    Server slapd;
    void start()
    {
        std::string cmd = "cd " + dir + " && exec /usr/sbin/slapd -d 256 -f slapd.conf -h " + uri;
        auto up = [&] { return here({"ldapwhoami", "-x", "-H", uri}).status == 0; };
        ASSERT_TRUE(slapd.start({"/bin/sh", "-c", cmd}, dir + "/slapd.out", up))
            << read_file(dir + "/slapd.out");
    }
    void stop() { EXPECT_EQ(0, slapd.stop()) << "slapd did not end on SIGTERM"; }
    int binds() { return count(read_file(dir + "/slapd.out"), " BIND dn="); }

    // The module's command line as the service account, with options
    // (blank-separated); with "-t" first, its self-check.
    Lines args(const std::string &options, const std::string &first = "")
    {
        return fields(MODULE_LDAP_BIN " " + first + " -uri " + uri +
                      " -base dc=example,dc=org -binddn cn=corvane,dc=example,dc=org"
                      " -bindpw-file corvane.secret -attrs cn,mail " +
                      options);
    }
    void module(Child &m, const std::string &options = "")
    {
        ASSERT_TRUE(m.start(args(options), dir, Stderr::Closed));
    }
};

TEST_F(Ldap, RequestsAreAnsweredByTheDirectory)
{
    const std::string refused = " not found or password incorrect",
                      passed = "+OK alice ldap ldap " + alice, carol = "carol@example.org";
    struct {
        std::string options, request, reply;
        int binds = -1; // when given, the binds it makes (an unknown name: a wrong password's)
    } cases[] = {
        {"", "check alice wonderland ", passed},
        {"", "check alice wonderland2 ", "-ERR alice" + refused, 1},
        {"", "check alice  ", "-ERR alice" + refused, 0},
        {"", "check alice (NULL) ", "-ERR alice" + refused},
        {"", "check nobody wonderland ", "-ERR nobody" + refused, 1},
        {"", "check *)(uid=* wonderland ", "-ERR *)(uid=*" + refused},
        {"", "lookup *", "-ERR * not found"},
        {"", "check twin secret ", "-DEAD twin matches more than one entry"},
        {"", "lookup a:b", "-ERR invalid user name"},
        {"", "check #alice wonderland ", "-ERR invalid user name"},
        // Refused once past the line's limit, before its end has come.
        {"", std::string(999, 'x'), "-ERR request too long"},
        {"", "-t", "exit 0"},
        {"-starttsl", "-t", "unknown option -starttsl (did you mean -starttls?)|exit 1"},
        {"-base ou=none,dc=example,dc=org", "-t",
         "cannot search the directory: No such object|exit 1"},
        {"-uri " + uri + "x", "-t",
         "warning: directory unavailable: Can't contact LDAP server|exit 0"},
        {"-bindpw-file users.ldif", "-t",
         "unsafe secret users.ldif: group or others may read or write it (mode 0640)|exit 1"},
        // The directory matches uid ignoring case; the module answers for the name as stored.
        {"", "lookup ALICE", "-ERR ALICE not found"},
        {"", "check Alice wonderland ", "-ERR Alice" + refused},
        {"-base ou=none,dc=example,dc=org", "lookup alice",
         "-DEAD cannot search the directory: No such object"},
        {"-base ou=none,dc=example,dc=org", "search *",
         "-DEAD cannot search the directory: No such object"},
        {"", "lookup carol", "+OK carol cn=Carol mail=" + carol + " mail=c@example.org"},
        {"", "search a*", "+DATA alice " + alice + "\n+OK 1 1"},
        {"", "search ?o?", "+DATA bob cn=Bob%20Builder\n+OK 1 2"},
        {"-attrs mail", "search *",
         "+DATA alice mail=alice@example.org\n+DATA bob\n+DATA carol mail=" + carol +
             " mail=c@example.org\n+DATA twin\n+DATA twin\n+OK 5 5"},
        {"-attrs mail -sizelimit 1", "search tw*", "+DATA twin\n+OK 1 1 size limit reached"},
        // A new password: the next bind succeeds with it and fails with the old.
        {"", "set alice looking-glass", "+OK alice set"},
        {"", "check alice looking-glass ", passed},
        {"", "check alice wonderland ", "-ERR alice" + refused},
        {"", "set carol (NULL) mail=new@example.org cn=Carol%20C", "+OK carol set"},
        {"", "lookup carol", "+OK carol cn=Carol%20C mail=new@example.org"},
        {"-attrs mail", "set carol (NULL) ", "+OK carol set"}, // clears mail only
        {"", "lookup carol", "+OK carol cn=Carol%20C"},
        {"", "set carol (NULL) sn=X",
         "-ERR carol extra information invalid: words ATTRIBUTE=VALUE of -attrs"},
        {"", "set nobody secret", "-ERR nobody not found"},
        {"", "del bob", "-ERR bob not deleted, deleting is not allowed (-allow-del)"},
        {"-allow-del", "del bob", "+OK bob deleted"},
        {"", "lookup bob", "-ERR bob not found"},
        // The directory goes away, then comes back: both connections, the
        // service account's and the users', are made anew.
        {"", "stop", ""},
        {"", "check alice looking-glass ",
         "-DEAD directory unavailable: Can't contact LDAP server"},
        {"", "start", ""},
        {"", "check alice looking-glass ", passed},
        {"-bindpw secret", "lookup carol",
         "-DEAD -bindpw is not taken: a command line is seen by every user, use -bindpw-file"},
        {"-bindpw-file users.ldif", "lookup carol",
         "-DEAD unsafe secret users.ldif: group or others may read or write it (mode 0640)"},
        {"-bindpw-file wrong.secret", "lookup carol",
         "-DEAD cannot bind as cn=corvane,dc=example,dc=org: Invalid credentials"},
    };
    chmod((dir + "/users.ldif").c_str(), 0640);
    write_file(dir + "/wrong.secret", "wrong\n", 0600);
    std::map<std::string, Child> modules;
    for (auto &c : cases) {
        if (c.request == "stop" || c.request == "start") {
            c.request == "stop" ? stop() : start();
            continue;
        }
        if (c.request == "-t") {
            Outcome o = here(args(c.options, "-t"));
            EXPECT_EQ(c.reply, replace_all(o.out, "\n", "|") + "exit " + std::to_string(o.status));
            continue;
        }
        Child &m = modules[c.options];
        if (m.pid() < 0) module(m, c.options);
        int before = binds();
        EXPECT_EQ(c.reply, answer(m, c.request)) << c.options << " " << c.request;
        EXPECT_TRUE(c.binds < 0 || binds() == before + c.binds) << c.request;
    }
}

TEST_F(Ldap, UsersMoveFromTheDirectoryToTheSqliteStoreAtLogin)
{
    Child c;
    ASSERT_TRUE(c.start({CORVANE_BIN, "-path", dir}, dir, Stderr::Inherit));
    EXPECT_EQ("+OK alice " + alice, c.ask("lookup alice"));
    EXPECT_EQ("+OK alice ldap ldap " + alice, c.ask("check alice wonderland"));
    EXPECT_EQ("+OK alice sqlite yescrypt " + alice, c.ask("check alice wonderland"));
    stop();
    // The directory is gone; she no longer needs it.
    EXPECT_EQ("+OK alice sqlite yescrypt " + alice, c.ask("check alice wonderland"));
    c.finish();
}

} // namespace
