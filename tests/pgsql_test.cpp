// corvane-pgsql against a real PostgreSQL server that each test program
// starts for itself: initdb into a temporary directory, the server on a
// Unix socket in it and no TCP listener, run by the postgres account (the
// server refuses root). A guard process stops the server and removes the
// directory when the program ends, however it ends.
#include "tests/testkit.h"

#include "adt/lib.h"

#include <pwd.h>

using namespace testkit;

namespace
{

class PgsqlTest : public ::testing::Test
{
  protected:
    static inline std::string dir, uri, as_server; // as_server: runs a program as the server's user
    static inline int guard = -1;                  // our end of the guard's pipe

    static bool pg(const std::string &command)
    {
        return system((as_server + PG_BIN_DIR "/" + command + " >/dev/null 2>&1").c_str()) == 0;
    }
    static bool start()
    {
        return pg("pg_ctl -D " + dir + "/data -l " + dir +
                  "/log -w -t 120 -o \"-c listen_addresses='' -c fsync=off -k " + dir + "\" start");
    }
    static bool stop() { return pg("pg_ctl -D " + dir + "/data -m fast -w -t 120 stop"); }

    static void SetUpTestSuite()
    {
        char tmpl[] = "/tmp/corvane-pgsql-XXXXXX";
        struct passwd *pw = getpwnam("postgres");
        int p[2];
        if (access(PG_BIN_DIR "/pg_ctl", X_OK) != 0 || !mkdtemp(tmpl) || pipe2(p, O_CLOEXEC) != 0)
            return;
        dir = tmpl;
        uri = "postgresql:///postgres?host=" + dir + "&user=corvane";
        if (geteuid() == 0) as_server = "runuser -u postgres -- ";
        // The guard reads until our end closes (we ended, however), then stops the server.
        std::string end = "read x; " + as_server + PG_BIN_DIR "/pg_ctl -D " + dir +
                          "/data -m immediate -w stop >/dev/null 2>&1; rm -rf " + dir;
        if (fork() == 0) {
            dup2(p[0], 0);
            execl("/bin/sh", "sh", "-c", end.c_str(), nullptr);
            _exit(127);
        }
        close(p[0]);
        guard = p[1];
        if ((geteuid() == 0 && (!pw || chown(tmpl, pw->pw_uid, 0) != 0)) ||
            !pg("initdb -N -D " + dir + "/data -A trust -U corvane") || !start())
            dir.clear();
    }
    static void TearDownTestSuite()
    {
        close(guard);
        wait(nullptr);
    }
    void SetUp() override
    {
        if (access(PG_BIN_DIR "/pg_ctl", X_OK) != 0)
            GTEST_SKIP() << "PostgreSQL server programs not found in " PG_BIN_DIR
                            " (install postgresql)";
        ASSERT_FALSE(dir.empty()) << "the test server did not start";
    }

    // A module on table t (made by it) of the test server, with hashes that
    // are quick to make; the conninfo's blank-separated settings are words.
    static Lines module(const std::string &t, const std::string &conninfo = uri)
    {
        Lines argv = fields(MODULE_PGSQL_BIN " -conninfo " + conninfo);
        argv.insert(argv.end(), {"-table", t, "-create", "-method", "md5crypt"});
        return argv;
    }
    static std::string output(const Lines &argv, const std::string &input = "",
                              const std::string &cwd = "")
    {
        return run({.argv = argv, .input = input, .cwd = cwd}).out;
    }
    // Corvane's replies to input over the configuration ini in dir/cfg.
    static std::string corvane(const std::string &ini, const std::string &input)
    {
        fs::create_directories(dir + "/cfg");
        write_file(dir + "/cfg/corvane.ini", ini);
        return output({CORVANE_BIN, "-path", dir + "/cfg"}, input, dir + "/cfg");
    }
};

TEST_F(PgsqlTest, FiveOperationsThroughCorvane)
{
    std::string bin;
    for (const std::string &w : module("five")) bin += w + " ";
    EXPECT_EQ(
        "+OK alice set\n+OK alice Alice L\n+OK alice pgsql md5crypt Alice L\n"
        "-ERR alice not found or password incorrect\n+DATA alice Alice L\n"
        "+OK Search Complete 1 items found out of 1\n+OK alice deleted\n-ERR alice not found\n"
        "-ERR alice not found\n-ERR bob not found\n",
        corvane("module 1\nbinary " + bin + "\ndo_set true\ndo_del true\n",
                "set alice pw Alice L\nlookup alice\ncheck alice pw\ncheck alice px\n"
                "search a*\ndel alice\nlookup alice\ndel alice\nset bob (NULL) x\n"));
}

// The shipped example: users move from the legacy file to the database as they log in.
TEST_F(PgsqlTest, MovesUsersFromTheFileAtLogin)
{
    std::string ini = read_file(EXAMPLES_DIR "/pgsql/corvane.ini");
    std::string modules = fs::path(MODULE_PGSQL_BIN).parent_path().string() + "/";
    ini = replace_all(replace_all(ini, "/usr/local/libexec/", modules),
                      "postgresql:///corvane?host=/var/run/postgresql", uri);
    TempDir example; // the file store's directory is ours, not the server's
    write_file(example / "users.passwd", read_file(EXAMPLES_DIR "/users.passwd"), 0600);
    fs::create_directory(example / "cfg");
    write_file(example / "cfg/corvane.ini", ini);
    Lines out =
        lines_of(output({CORVANE_BIN, "-path", example.at("cfg")},
                        "check alice wonderland\ncheck alice wonderland\n", example.at("cfg")));
    ASSERT_EQ(2u, out.size());
    EXPECT_EQ(0u, out[0].find("+OK alice file md5crypt ")) << out[0];
    EXPECT_EQ(0u, out[1].find("+OK alice pgsql yescrypt ")) << out[1];
}

TEST_F(PgsqlTest, FourModulesSettingAtOnceLoseNothing)
{
    Child m[4];
    for (int k = 0; k < 4; k++) {
        ASSERT_TRUE(m[k].start(module("four")));
        for (int i = 0; i < 25; i++)
            m[k].send("set u" + std::to_string(k) + "_" + std::to_string(i) + " pw\n");
        m[k].send("set shared pw" + std::to_string(k) + "\n");
    }
    for (int k = 0; k < 4; k++)
        for (int i = 0; i < 26; i++) EXPECT_EQ(0u, m[k].line().rfind("+OK ", 0));
    EXPECT_EQ("+OK 101 101", m[0].search("search *").back());
}

TEST_F(PgsqlTest, AnswersDeadWhileNoServerAnswersAndServesAgainAfter)
{
    Child m;
    ASSERT_TRUE(m.start(module("stop")));
    EXPECT_EQ("+OK bob set", m.ask("set bob pw"));
    // A restart between two requests is not seen: the next connects again.
    ASSERT_TRUE(stop() && start());
    EXPECT_EQ("+OK bob", m.ask("lookup bob"));
    ASSERT_TRUE(stop());
    std::string dead = m.ask("lookup bob");
    EXPECT_EQ(0u, dead.rfind("-DEAD database unavailable: ", 0)) << dead;
    EXPECT_TRUE(contains(dead, dir)) << dead;
    ASSERT_TRUE(start());
    EXPECT_EQ("+OK bob", m.ask("lookup bob"));
}

// A statement past its time-out is a temporary failure, never an unknown user.
TEST_F(PgsqlTest, AStatementPastItsTimeOutIsDeadForThatRequest)
{
    Child m, locker;
    std::vector<std::string> args = module("slow");
    args.insert(args.end(), {"-statement-timeout", "1000"});
    ASSERT_TRUE(m.start(args));
    EXPECT_EQ("+OK bob set", m.ask("set bob pw"));
    ASSERT_TRUE(locker.start({PG_BIN_DIR "/psql", "-qAt", uri}));
    EXPECT_EQ("locked", locker.ask("BEGIN; LOCK TABLE slow; \\echo locked"));
    EXPECT_EQ("-DEAD cannot read slow: canceling statement due to statement timeout",
              m.ask("lookup bob"));
    EXPECT_EQ("done", locker.ask("COMMIT; \\echo done"));
    EXPECT_EQ("+OK bob", m.ask("lookup bob"));
}

TEST_F(PgsqlTest, Conninfos)
{
    std::string refused = "-DEAD -conninfo must not hold a password: use passfile= or ~/.pgpass\n";
    TempDir t;
    std::string open = write_file(t / "open", "*:*:*:*:pw\n"),
                own = write_file(t / "own", "", 0600);
    std::pair<std::string, std::string> cases[] = {
        {uri + "&passfile=" + own, "-ERR x not found\n"},
        {uri + "&passfile=" + open,
         "-DEAD unsafe secret " + open + ": group or others may read or write it (mode 0644)\n"},
        {"postgresql:///postgres?host=" + dir + "/down," + dir +
             "&user=corvane&target_session_attrs=read-write",
         "-ERR x not found\n"},
        {"postgresql://corvane:secret@/postgres?host=" + dir, refused},
        {"host=" + dir + " user=corvane password=secret", refused},
        {"host=" + dir + " user=corvane dbname=postgres", "-ERR x not found\n"},
    };
    for (const auto &[conninfo, reply] : cases)
        EXPECT_EQ(reply, output(module("hosts", conninfo), "lookup x\n")) << conninfo;
}

// A table whose names compare ignoring case answers for the name
// as stored only; a name the database's encoding refuses is refused; a
// table that is gone makes the module dead.
TEST_F(PgsqlTest, OnlyTheNameAsStoredAnswersAndAMissingTableIsDead)
{
    std::string u8 = replace_all(uri, "///postgres?", "///u8?");
    ASSERT_TRUE(output({PG_BIN_DIR "/psql", "-qAt", "-c",
                        "CREATE DATABASE u8 ENCODING 'UTF8' LOCALE 'C' TEMPLATE template0", uri})
                    .empty());
    output({PG_BIN_DIR "/psql", "-qAt", "-c",
            "CREATE COLLATION nocase (provider = icu, deterministic = false, locale = "
            "'und-u-ks-level2')",
            "-c", "CREATE TABLE ci (name text COLLATE nocase PRIMARY KEY, hash text, extra text)",
            u8});
    const std::string session[][2] = {
        // clang-format off
        {"set alice pw", "+OK alice set"}, {"lookup ALICE", "-ERR ALICE not found"},
        {"check Alice pw ", "-ERR Alice not found or password incorrect"},
        {"set ALICE pw2", "-ERR ALICE not set, the store holds it in another letter case"},
        {"set ALICE (NULL) x", "-ERR ALICE not found"}, {"del ALICE", "-ERR ALICE not found"},
        {"check alice pw ", "+OK alice pgsql md5crypt"}, {"set bob pw b1", "+OK bob set"},
        {"set bob pw2", "+OK bob set"}, {"lookup bob", "+OK bob b1"}, {"set bob pw ", "+OK bob set"}, {"lookup bob", "+OK bob"},
        {"lookup a\xff", "-ERR cannot read ci: invalid byte sequence for encoding \"UTF8\": 0xff"},
        {"drop", ""}, {"lookup alice", "-DEAD cannot read ci: relation \"ci\" does not exist"},
        // clang-format on
    };
    Child m;
    ASSERT_TRUE(m.start(module("ci", u8)));
    for (auto &[request, reply] : session)
        if (request == "drop")
            output({PG_BIN_DIR "/psql", "-qAt", "-c", "DROP TABLE ci", u8});
        else
            EXPECT_EQ(reply, m.ask(request)) << request;
}

TEST_F(PgsqlTest, HostileNamesAreData)
{
    std::string input, replies, rows;
    // In byte order, as the table lists them.
    for (std::string n : {"$1", "a'b", "q\"\\'||chr(65)||'", "x');DROP_TABLE_hostile;--"}) {
        input += "set " + n + " pw " + n + "\nlookup " + n + "\n";
        replies += "+OK " + n + " set\n+OK " + n + " " + n + "\n";
        rows += n + "|" + n + "\n";
    }
    EXPECT_EQ(replies, output(module("hostile"), input));
    EXPECT_EQ(rows, output({PG_BIN_DIR "/psql", "-Atc",
                            "SELECT name || '|' || extra FROM hostile ORDER BY name COLLATE \"C\"",
                            uri}));
}

// corvane-pgsql -t: its lines joined by "|", then its exit status. The
// table is only looked at: -create does not make it, the rights of the
// user that logs in are read.
TEST_F(PgsqlTest, SelfCheck)
{
    ASSERT_EQ(
        "",
        output({PG_BIN_DIR "/psql", "-qAt", "-c",
                "CREATE TABLE seen (name text PRIMARY KEY,"
                " hash text, extra text); CREATE ROLE reader LOGIN; GRANT SELECT ON seen TO reader",
                uri}));
    TempDir t;
    std::string open = write_file(t / "open", "", 0644),
                reader = replace_all(uri, "=corvane", "=reader");
    const std::pair<std::string, std::string> cases[] = {
        // clang-format off
        {"-conninfo " + uri + " -table checked -create", "exit 0"},
        {"-conninfo " + uri + " -table checked", "cannot use checked: relation \"checked\" does not exist|exit 1"},
        {"-conninfo " + uri + " -table seen -creat", "unknown option -creat (did you mean -create?)|exit 1"},
        {"-conninfo " + reader + " -table seen -readonly", "exit 0"},
        {"-conninfo " + reader + " -table seen", "cannot change seen: no right to INSERT, UPDATE and DELETE|exit 1"},
        {"-conninfo host=" + dir + "/down user=corvane", "warning: database unavailable: *|exit 0"},
        {"-conninfo " + uri + "&user=nobody", "cannot log in: *role \"nobody\" does not exist|exit 1"},
        {"-conninfo " + uri + "&passfile=" + open,
         "unsafe secret " + open + ": group or others may read or write it (mode 0644)|exit 1"},
        // clang-format on
    };
    for (const auto &[options, expected] : cases) {
        Lines argv = fields(MODULE_PGSQL_BIN " -t " + options);
        Outcome o = run({.argv = argv});
        std::string got = replace_all(o.out, "\n", "|") + "exit " + std::to_string(o.status);
        EXPECT_TRUE(adt::wild_match(got.c_str(), expected.c_str())) << got;
    }
}

} // namespace
