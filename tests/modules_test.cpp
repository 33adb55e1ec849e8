// The shipped modules, corvane-file and corvane-sqlite, driven over their
// pipes as Corvane drives them: the replies of both, foreign hashes, the
// "(NULL)" password, search order and totals, refused names, options,
// dead stores, concurrent writers and writers killed in mid-change.
#include "tests/testkit.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sqlite3.h>
#include <sstream>
#include <sys/stat.h>

using namespace testkit;

namespace
{

// Hashes made by other tools, with the passwords that made them.
struct Fixture {
    const char *name;
    const char *hash;
    const char *password;
    const char *method;
};
const Fixture fixtures[] = {
    // openssl passwd -1 -salt fixture1 md5-secret
    {"md5user", "$1$fixture1$IDMdTIrexnf/93zDNIvL40", "md5-secret", "md5crypt"},
    // openssl passwd -5 -salt fixture5salt sha256-secret
    {"sha256user", "$5$fixture5salt$3KCF4v3bqAfqu.l3TbFHuOT2kN6Z/CnJP75fFApCq9C", "sha256-secret",
     "sha256crypt"},
    // openssl passwd -6 -salt fixture6salt sha512-secret
    {"sha512user",
     "$6$fixture6salt$C89K58gUZCMTmPllRwplsWykKOgdZWstI57g300icJqoYpOzF6iFGPHqAMF5Ko61c2KGIyeN7FQ"
     "TXIH3yUiD81",
     "sha512-secret", "sha512crypt"},
    // The test vector of the crypt_blowfish distribution (OpenBSD bcrypt).
    {"bcryptuser", "$2a$05$CCCCCCCCCCCCCCCCCCCCC.E5YPO9kmyuRGyh0XouQYb4YMJKvyOeW", "U*U", "bcrypt"},
};

int mode_of(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (int)(st.st_mode & 07777) : -1;
}

// Runs sql on the database at path; the first column of the first row.
std::string sql_value(const std::string &path, const std::string &sql)
{
    sqlite3 *db = nullptr;
    std::string value = "<error>";
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK) {
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
            int rc = sqlite3_step(st);
            if (rc == SQLITE_ROW)
                value = sqlite3_column_text(st, 0) ? (const char *)sqlite3_column_text(st, 0) : "";
            else if (rc == SQLITE_DONE)
                value = "";
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return value;
}

// One of the two modules over a store in a directory of its own.
class ModuleTest : public ::testing::TestWithParam<std::string>
{
  protected:
    TempDir dir;

    bool is_file() const { return GetParam() == "file"; }
    std::string kind() const { return GetParam(); }
    std::string store() const { return dir.path + (is_file() ? "/users.passwd" : "/users.db"); }
    std::vector<std::string> argv(const std::vector<std::string> &options) const
    {
        std::vector<std::string> a = {is_file() ? MODULE_FILE_BIN : MODULE_SQLITE_BIN, "-file",
                                      store()};
        a.insert(a.end(), options.begin(), options.end());
        return a;
    }
    void start(Child &c, const std::vector<std::string> &options = {})
    {
        ASSERT_TRUE(c.start(argv(options), "", Stderr::Inherit));
    }
    // The hash stored for user.
    std::string hash_of(const std::string &user) const
    {
        if (!is_file())
            return sql_value(store(), "SELECT hash FROM users WHERE name='" + user + "'");
        for (const std::string &l : lines_of(read_file(store())))
            if (l.rfind(user + ":", 0) == 0)
                return l.substr(0, l.find(':', user.size() + 1)).substr(user.size() + 1);
        return "<none>";
    }
    // The reply to a check that passed, with its hash method and extra.
    std::string passed(const std::string &user, const std::string &method = "yescrypt",
                       const std::string &extra = "") const
    {
        return "+OK " + user + " " + kind() + " " + method + (extra.empty() ? "" : " " + extra);
    }

    // Stores users with hashes made elsewhere, as a legacy store holds them.
    void put_foreign(const std::vector<Fixture> &users)
    {
        if (is_file()) {
            std::string text;
            for (const Fixture &f : users) text += std::string(f.name) + ":" + f.hash + ":\n";
            write_file(store(), text);
            return;
        }
        {
            Child c; // creates the database and its table
            start(c);
            c.close_input();
            ASSERT_EQ(0, c.wait());
        }
        for (const Fixture &f : users)
            ASSERT_EQ("",
                      sql_value(store(), std::string("INSERT INTO users (name, hash) VALUES ('") +
                                             f.name + "', '" + f.hash + "')"));
    }
};

using Lines = std::vector<std::string>;

std::string refused(const std::string &user)
{
    return "-ERR " + user + " not found or password incorrect";
}

INSTANTIATE_TEST_SUITE_P(Both, ModuleTest, ::testing::Values("file", "sqlite"),
                         [](const auto &param_info) { return param_info.param; });

TEST_P(ModuleTest, AnswersEveryRequestWithItsReply)
{
    Child m;
    start(m);
    EXPECT_EQ("-ERR alice not found", m.ask("lookup alice"));
    EXPECT_EQ("+OK alice set", m.ask("set alice secret1 uid=5 home=/x"));
    EXPECT_EQ("+OK alice uid=5 home=/x", m.ask("lookup alice"));
    EXPECT_EQ("+OK bob set", m.ask("set bob secret2"));
    EXPECT_EQ("+OK bob", m.ask("lookup bob"));
    EXPECT_EQ(passed("alice", "yescrypt", "uid=5 home=/x"), m.ask("check alice secret1 "));
    EXPECT_EQ(passed("bob"), m.ask("check bob secret2 10.0.0.1"));
    EXPECT_EQ(passed("bob"), m.ask("check bob secret2"));
    // A wrong password and an unknown user get the same reply.
    EXPECT_EQ(refused("alice"), m.ask("check alice secret2 "));
    EXPECT_EQ(refused("alice"), m.ask("check alice "));
    EXPECT_EQ(refused("nobody"), m.ask("check nobody secret1 "));
    EXPECT_EQ("+OK bob deleted", m.ask("del bob"));
    EXPECT_EQ("-ERR bob not found", m.ask("del bob"));
    EXPECT_EQ("-ERR bob not found", m.ask("lookup bob"));
    EXPECT_EQ("-ERR unknown request", m.ask("frobnicate alice"));
    EXPECT_EQ("-ERR unknown request", m.ask(""));
    EXPECT_EQ("-ERR unknown request", m.ask("LOOKUP alice"));
    EXPECT_EQ("-ERR set requires a user name and a password", m.ask("set alice"));
    EXPECT_EQ("-ERR alice password must not be empty", m.ask("set alice  x"));
    // A carriage return before the line feed is not part of the request.
    EXPECT_EQ("+OK alice uid=5 home=/x", m.ask("lookup alice\r"));
}

TEST_P(ModuleTest, VerifiesHashesMadeByOtherTools)
{
    put_foreign({std::begin(fixtures), std::end(fixtures)});
    Child m;
    start(m);
    for (const Fixture &f : fixtures) {
        std::string name = f.name;
        EXPECT_EQ(passed(name, f.method), m.ask("check " + name + " " + f.password + " "));
        EXPECT_EQ(refused(name), m.ask("check " + name + " " + f.password + "x "));
        EXPECT_EQ(refused(name),
                  m.ask("check " + name + " " + std::string(f.password).substr(1) + " "));
        EXPECT_EQ("+OK " + name, m.ask("lookup " + name));
    }
}

TEST_P(ModuleTest, SetReplacesPasswordAndExtraNullPasswordOnlyTheExtra)
{
    Child m;
    start(m);
    EXPECT_EQ("+OK alice set", m.ask("set alice pw0 old extra"));
    EXPECT_EQ("+OK alice set", m.ask("set alice pw1"));
    EXPECT_EQ(refused("alice"), m.ask("check alice pw0 "));
    EXPECT_EQ(passed("alice"), m.ask("check alice pw1 "));
    // A set on check with empty extra information ends in a blank.
    EXPECT_EQ("+OK alice set", m.ask("set alice pw1 "));
    EXPECT_EQ("+OK alice", m.ask("lookup alice"));
    EXPECT_EQ("-ERR ghost not found", m.ask("set ghost (NULL) some extra"));
    EXPECT_EQ("-ERR ghost not found", m.ask("lookup ghost"));
    EXPECT_EQ("+OK alice set", m.ask("set alice pw1 first"));
    EXPECT_EQ("+OK alice set", m.ask("set alice (NULL) second one"));
    EXPECT_EQ("+OK alice second one", m.ask("lookup alice"));
    EXPECT_EQ(passed("alice", "yescrypt", "second one"), m.ask("check alice pw1 "));
    // Without extra text the extra information is emptied.
    EXPECT_EQ("+OK alice set", m.ask("set alice (NULL)"));
    EXPECT_EQ("+OK alice", m.ask("lookup alice"));
    EXPECT_EQ(passed("alice"), m.ask("check alice pw1 "));
    // "(NULL)" is never a password.
    EXPECT_EQ(refused("alice"), m.ask("check alice (NULL) "));
}

TEST_P(ModuleTest, SearchListsMatchesInNameOrderWithTotals)
{
    Child m;
    start(m, {"-method", "md5crypt"});
    for (const char *u : {"carol", "alice", "bob", "alex", "Zed"})
        ASSERT_EQ(std::string("+OK ") + u + " set",
                  m.ask(std::string("set ") + u + " pw " + u + "!"));
    EXPECT_EQ(Lines({"+DATA Zed Zed!", "+DATA alex alex!", "+DATA alice alice!", "+DATA bob bob!",
                     "+DATA carol carol!", "+OK 5 5"}),
              m.search("search *"));
    EXPECT_EQ(Lines({"+DATA alex alex!", "+DATA alice alice!", "+OK 2 5"}), m.search("search a*"));
    EXPECT_EQ(Lines({"+DATA alex alex!", "+DATA alice alice!", "+OK 2 5"}),
              m.search("search a* and more words"));
    EXPECT_EQ(Lines({"+DATA bob bob!", "+OK 1 5"}), m.search("search ?ob"));
    EXPECT_EQ(Lines({"+OK 0 5"}), m.search("search nobody"));
    EXPECT_EQ(Lines({"+OK 0 5"}), m.search("search ZED"));
    ASSERT_EQ("+OK alice set", m.ask("set alice (NULL)"));
    EXPECT_EQ(Lines({"+DATA alice", "+OK 1 5"}), m.search("search alic?"));
}

TEST_P(ModuleTest, RefusesNamesWithBlanksColonsOrControlCharacters)
{
    Child m;
    start(m);
    for (const char *r :
         {"lookup a b", "del a b", "lookup ", "lookup", "set a:b pw", "set a\tb pw", "set \x01x pw",
          "set #x pw", "check a:b pw ", "lookup a\x7f", "del :", "set  pw"})
        EXPECT_EQ("-ERR invalid user name", m.ask(r)) << r;
    EXPECT_EQ(Lines({"+OK 0 0"}), m.search("search *"));
}

TEST_P(ModuleTest, RefusesExtraThatCannotTravel)
{
    Child m;
    start(m);
    EXPECT_EQ("-ERR alice extra information too long",
              m.ask("set alice pw " + std::string(980, 'x')));
    EXPECT_EQ("-ERR alice extra information invalid", m.ask("set alice pw a\x01z"));
    EXPECT_EQ("+OK alice set", m.ask("set alice pw " + std::string(900, 'x')));
    std::string reply = m.ask("check alice pw ");
    EXPECT_EQ(passed("alice", "yescrypt", std::string(900, 'x')), reply);
}

TEST_P(ModuleTest, MakesNewHashesWithTheConfiguredMethod)
{
    Child m;
    start(m, {"-method", "sha512crypt"});
    EXPECT_EQ("+OK alice set", m.ask("set alice pw"));
    EXPECT_EQ(passed("alice", "sha512crypt"), m.ask("check alice pw "));
    Child b;
    start(b, {"-method", "bcrypt", "-cost", "4"});
    EXPECT_EQ("+OK bob set", b.ask("set bob pw"));
    EXPECT_EQ(passed("bob", "bcrypt"), b.ask("check bob pw "));
    // Salts are fresh: the same password twice gives two different hashes.
    EXPECT_EQ("+OK carol set", b.ask("set carol pw"));
    EXPECT_EQ(0u, hash_of("bob").rfind("$2b$04$", 0)) << hash_of("bob");
    EXPECT_NE(hash_of("bob"), hash_of("carol"));
}

TEST_P(ModuleTest, RehashesOnLoginOnlyWhenAskedAndAllowed)
{
    put_foreign({fixtures[0]});
    Child plain;
    start(plain);
    std::string first = passed("md5user", "md5crypt");
    EXPECT_EQ(first, plain.ask("check md5user md5-secret "));
    EXPECT_EQ(first, plain.ask("check md5user md5-secret "));
    Child locked;
    start(locked, {"-rehash", "-readonly"});
    EXPECT_EQ(first, locked.ask("check md5user md5-secret "));
    EXPECT_EQ(first, locked.ask("check md5user md5-secret "));
    Child rehash;
    start(rehash, {"-rehash"});
    // A wrong password changes nothing.
    EXPECT_EQ(refused("md5user"), rehash.ask("check md5user x "));
    EXPECT_EQ(first, rehash.ask("check md5user md5-secret "));
    EXPECT_EQ(passed("md5user"), rehash.ask("check md5user md5-secret "));
    EXPECT_EQ(passed("md5user"), plain.ask("check md5user md5-secret "));
    EXPECT_EQ(refused("md5user"), plain.ask("check md5user md5-secreT "));
}

TEST_P(ModuleTest, ReadOnlyStoreRefusesChanges)
{
    put_foreign({fixtures[1]});
    std::string before = is_file() ? read_file(store()) : "";
    Child m;
    start(m, {"-readonly"});
    EXPECT_EQ("-ERR alice not set, the store is read-only", m.ask("set alice pw"));
    EXPECT_EQ("-ERR sha256user not set, the store is read-only", m.ask("set sha256user (NULL) x"));
    EXPECT_EQ("-ERR sha256user not deleted, the store is read-only", m.ask("del sha256user"));
    EXPECT_EQ("+OK sha256user", m.ask("lookup sha256user"));
    EXPECT_EQ("-ERR alice not found", m.ask("lookup alice"));
    if (is_file()) {
        EXPECT_EQ(before, read_file(store()));
    }
}

TEST_P(ModuleTest, AnswersDeadWhenTheStoreCannotBeOpened)
{
    auto dead = [&](const std::vector<std::string> &args) {
        Child m;
        ASSERT_TRUE(m.start(args, "", Stderr::Inherit));
        for (const char *r : {"lookup alice", "check alice pw ", "set alice pw", "del alice"}) {
            std::string reply = m.ask(r);
            EXPECT_EQ(0u, reply.rfind("-DEAD ", 0)) << r << ": " << reply;
            EXPECT_GT(reply.size(), 7u);
        }
        // A search gets its one final line.
        std::vector<std::string> s = m.search("search *");
        ASSERT_EQ(1u, s.size());
        EXPECT_EQ(0u, s[0].rfind("-DEAD ", 0));
        m.send("quit\n");
        EXPECT_EQ("<eof>", m.line());
        EXPECT_EQ(0, m.wait());
    };
    std::string bin = is_file() ? MODULE_FILE_BIN : MODULE_SQLITE_BIN;
    dead({bin, "-file", dir.path + "/no/such/dir/users"});
    dead({bin, "-file", dir.path + "/missing", "-readonly"});
    dead({bin, "-file", store(), "-bogus"});
    dead({bin, "-file", store(), "-method", "rot13"});
    dead({bin, "-file"});
    dead({bin});
    if (!is_file()) {
        write_file(store(), std::string(4096, 'x'));
        dead({bin, "-file", store()});
    }
}

TEST_P(ModuleTest, CreatesANewStoreOwnerOnly)
{
    Child m;
    start(m);
    EXPECT_EQ("+OK alice set", m.ask("set alice pw"));
    EXPECT_EQ(0600, mode_of(store()));
    if (is_file()) {
        EXPECT_EQ(0600, mode_of(store() + ".lock"));
    } else {
        EXPECT_EQ("wal", sql_value(store(), "PRAGMA journal_mode"));
        EXPECT_EQ(0600, mode_of(store() + "-wal"));
    }
}

TEST_P(ModuleTest, EndsAtQuitEndOfInputAndSigterm)
{
    for (int how : {0, 1, SIGTERM}) {
        Child m;
        start(m);
        ASSERT_EQ(0u, m.ask("set alice pw").rfind("+OK alice", 0));
        if (how == 0) {
            m.send("quit\n");
            EXPECT_EQ("<eof>", m.line());
        }
        if (how == 1) m.close_input();
        if (how == SIGTERM) m.signal(SIGTERM);
        int status = m.wait();
        ASSERT_NE(-1, status);
        if (how == SIGTERM)
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
        else
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << how << ": " << status;
    }
}

TEST_P(ModuleTest, StartsSafelyWithStandardErrorClosed)
{
    Child m;
    ASSERT_TRUE(m.start(argv({}), "", Stderr::Closed));
    EXPECT_EQ("+OK alice set", m.ask("set alice pw"));
    char target[256] = {};
    std::string fd2 = "/proc/" + std::to_string(m.pid()) + "/fd/2";
    ASSERT_GT(readlink(fd2.c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ("/dev/null", target);
    EXPECT_EQ(passed("alice"), m.ask("check alice pw "));
}

TEST_P(ModuleTest, SeesChangesOfAnotherProcess)
{
    Child a, b;
    start(a);
    start(b);
    EXPECT_EQ("-ERR alice not found", b.ask("lookup alice"));
    EXPECT_EQ("+OK alice set", a.ask("set alice pw one"));
    EXPECT_EQ("+OK alice one", b.ask("lookup alice"));
    EXPECT_EQ("+OK alice set", b.ask("set alice (NULL) two"));
    EXPECT_EQ("+OK alice two", a.ask("lookup alice"));
    EXPECT_EQ("+OK alice deleted", a.ask("del alice"));
    EXPECT_EQ("-ERR alice not found", b.ask("lookup alice"));
}

TEST_P(ModuleTest, EightProcessesSettingAtOnceLoseNothing)
{
    const int procs = 8, each = 12;
    std::vector<std::unique_ptr<Child>> writers;
    for (int p = 0; p < procs; p++) {
        writers.push_back(std::make_unique<Child>());
        start(*writers.back(), {"-method", "md5crypt", "-busy", "60000"});
    }
    // Every writer gets all its requests at once, then all answers are read.
    for (int p = 0; p < procs; p++)
        for (int i = 0; i < each; i++)
            writers[p]->send("set u" + std::to_string(p) + "x" + std::to_string(i) + " pw" +
                             std::to_string(p) + " from" + std::to_string(p) + "\n");
    for (int p = 0; p < procs; p++)
        for (int i = 0; i < each; i++)
            EXPECT_EQ("+OK u" + std::to_string(p) + "x" + std::to_string(i) + " set",
                      writers[p]->line());
    Child m;
    start(m);
    std::vector<std::string> all = m.search("search *");
    EXPECT_EQ("+OK " + std::to_string(procs * each) + " " + std::to_string(procs * each),
              all.back());
    for (int p = 0; p < procs; p++)
        EXPECT_EQ(passed("u" + std::to_string(p) + "x0", "md5crypt", "from" + std::to_string(p)),
                  m.ask("check u" + std::to_string(p) + "x0 pw" + std::to_string(p) + " "));
}

TEST_P(ModuleTest, KillDuringChangesLeavesAWholeStore)
{
    const int users = is_file() ? 3000 : 300, rounds = 10;
    {
        // Many users, so that every change writes a sizeable file.
        std::vector<Fixture> many;
        std::vector<std::string> names;
        for (int i = 0; i < users; i++) names.push_back("user" + std::to_string(i));
        for (int i = 0; i < users; i++)
            many.push_back({names[i].c_str(), fixtures[0].hash, "", ""});
        put_foreign(many);
        if (is_file()) {
            // A comment and a blank line that every rewrite must keep.
            write_file(store(), "# users\n\n" + read_file(store()));
        }
    }
    std::mt19937 rng(7);
    for (int round = 1; round <= rounds; round++) {
        Child m;
        start(m);
        for (int i = 0; i < 60; i++)
            m.send("set user" + std::to_string(rng() % users) + " (NULL) v" +
                   std::to_string(round) + "\n");
        // Let a few changes through, then kill it wherever it is.
        ASSERT_EQ(0u, m.line().rfind("+OK", 0));
        usleep((useconds_t)(rng() % 20000));
        m.signal(SIGKILL);
        m.wait();
    }
    if (is_file()) {
        std::string text = read_file(store());
        ASSERT_FALSE(text.empty());
        EXPECT_EQ('\n', text.back());
        std::vector<std::string> lines = lines_of(text);
        ASSERT_EQ((size_t)users + 2, lines.size());
        EXPECT_EQ("# users", lines[0]);
        EXPECT_EQ("", lines[1]);
        std::set<std::string> seen;
        for (size_t i = 2; i < lines.size(); i++) {
            const std::string &l = lines[i];
            size_t c1 = l.find(':'), c2 = l.find(':', c1 + 1);
            ASSERT_NE(std::string::npos, c2) << l;
            EXPECT_EQ(fixtures[0].hash, l.substr(c1 + 1, c2 - c1 - 1));
            seen.insert(l.substr(0, c1));
        }
        EXPECT_EQ((size_t)users, seen.size());
    } else {
        EXPECT_EQ("ok", sql_value(store(), "PRAGMA integrity_check"));
    }
    // A new module reads the store whole: every user, each with some version.
    Child m;
    start(m);
    std::vector<std::string> all = m.search("search *");
    ASSERT_EQ((size_t)users + 1, all.size());
    EXPECT_EQ("+OK " + std::to_string(users) + " " + std::to_string(users), all.back());
    std::set<std::string> versions = {""};
    for (int round = 1; round <= rounds; round++) versions.insert("v" + std::to_string(round));
    for (size_t i = 0; i + 1 < all.size(); i++) {
        size_t blank = all[i].find(' ', 6);
        std::string extra = blank == std::string::npos ? "" : all[i].substr(blank + 1);
        EXPECT_TRUE(versions.count(extra)) << all[i];
    }
    EXPECT_EQ(0u, m.ask("check user0 md5-secret ").rfind(passed("user0", "md5crypt"), 0));
}

// --- corvane-file only ---

class FileModuleTest : public ::testing::Test
{
  protected:
    TempDir dir;
    std::string store() const { return dir.path + "/users.passwd"; }
    void start(Child &c, const std::vector<std::string> &options = {})
    {
        std::vector<std::string> a = {MODULE_FILE_BIN, "-file", store(), "-method", "md5crypt"};
        a.insert(a.end(), options.begin(), options.end());
        ASSERT_TRUE(c.start(a, "", Stderr::Inherit));
    }
};

// text with MD5 and SHA standing for the md5crypt and sha256crypt fixtures.
std::string hashed(const std::string &text)
{
    return replace_all(replace_all(text, "MD5", fixtures[0].hash), "SHA", fixtures[1].hash);
}

TEST_F(FileModuleTest, KeepsCommentsBlankLinesOrderAndMode)
{
    write_file(store(),
               hashed("# legacy users\n\nalice:MD5:Alice\n   \n# the builder\n"
                      "bob:SHA\r\nnot a user line\ncarol:MD5:uid=3:gid=3:/home/carol\n"
                      "dave:MD5:\n"),
               0640);
    Child m;
    start(m);
    EXPECT_EQ("+OK bob file sha256crypt", m.ask("check bob sha256-secret "));
    EXPECT_EQ("+OK carol uid=3:gid=3:/home/carol", m.ask("lookup carol"));
    EXPECT_EQ("+OK alice set", m.ask("set alice (NULL) Alice L."));
    EXPECT_EQ("+OK dave deleted", m.ask("del dave"));
    EXPECT_EQ("+OK erin set", m.ask("set erin pw"));
    std::string text = read_file(store());
    std::string kept = hashed("# legacy users\n\nalice:MD5:Alice L.\n   \n# the builder\n"
                              "bob:SHA\r\nnot a user line\ncarol:MD5:uid=3:gid=3:/home/carol\n");
    EXPECT_EQ(kept, text.substr(0, kept.size()));
    std::string rest = text.substr(std::min(kept.size(), text.size()));
    EXPECT_EQ(0u, rest.rfind("erin:$1$", 0)) << text;
    EXPECT_EQ(1, count(rest, "\n")) << text;
    EXPECT_EQ(std::string::npos, text.find("dave"));
    EXPECT_EQ(Lines({"+DATA alice Alice L.", "+DATA bob", "+DATA carol uid=3:gid=3:/home/carol",
                     "+DATA erin", "+OK 4 4"}),
              m.search("search *"));
    EXPECT_EQ(0640, mode_of(store()));
}

TEST_F(FileModuleTest, AppendsNewUsersAndDeletesEveryRecordOfAName)
{
    write_file(store(), hashed("alice:MD5:first\nbob:MD5:\nalice:MD5:second\n"));
    Child m;
    start(m);
    // The first record of a name is the user.
    EXPECT_EQ("+OK alice first", m.ask("lookup alice"));
    EXPECT_EQ(Lines({"+DATA alice first", "+DATA bob", "+OK 2 2"}), m.search("search *"));
    EXPECT_EQ("+OK alice deleted", m.ask("del alice"));
    EXPECT_EQ("-ERR alice not found", m.ask("lookup alice"));
    EXPECT_EQ("+OK carol set", m.ask("set carol pw"));
    std::vector<std::string> lines = lines_of(read_file(store()));
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(hashed("bob:MD5:"), lines[0]);
    EXPECT_EQ(0u, lines[1].rfind("carol:$1$", 0));
}

TEST_F(FileModuleTest, SeesEditsMadeByHand)
{
    write_file(store(), std::string("alice:") + fixtures[0].hash + ":\n");
    Child m;
    start(m);
    EXPECT_EQ("-ERR bob not found", m.ask("lookup bob"));
    {
        std::ofstream out(store(), std::ios::app);
        out << "bob:" << fixtures[1].hash << ":by hand\n";
    }
    EXPECT_EQ("+OK bob by hand", m.ask("lookup bob"));
    EXPECT_EQ("+OK bob file sha256crypt by hand", m.ask("check bob sha256-secret "));
    std::filesystem::remove(store());
    EXPECT_EQ("-ERR bob not found", m.ask("lookup bob"));
    EXPECT_EQ(Lines({"+OK 0 0"}), m.search("search *"));
    EXPECT_EQ("+OK carol set", m.ask("set carol pw"));
    EXPECT_EQ(0600, mode_of(store()));
}

TEST_F(FileModuleTest, ReportsAChangeThatCannotBeWritten)
{
    std::string before = std::string("alice:") + fixtures[0].hash + ":\n";
    write_file(store(), before);
    Child m;
    start(m);
    // A directory where the next version would be written stops any change.
    std::filesystem::create_directory(store() + ".tmp");
    std::string reply = m.ask("set bob pw");
    EXPECT_EQ(0u, reply.rfind("-ERR cannot write " + store() + ".tmp: ", 0)) << reply;
    EXPECT_EQ("-ERR bob not found", m.ask("lookup bob"));
    EXPECT_EQ("+OK alice", m.ask("lookup alice"));
    EXPECT_EQ(before, read_file(store()));
    std::filesystem::remove(store() + ".tmp");
    EXPECT_EQ("+OK bob set", m.ask("set bob pw"));
}

} // namespace
