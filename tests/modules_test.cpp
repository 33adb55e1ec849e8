// The shipped modules, corvane-file and corvane-sqlite, driven over their
// pipes as Corvane drives them (store request -> store reply, against both
// stores), their locking and whole-file rewrites, and the shipped example
// migration end to end.
#include "tests/testkit.h"

#include <random>
#include <set>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>

using namespace testkit;

namespace
{

// Hashes made by other tools (openssl passwd -1, -5; crypt_blowfish's test
// vector), with their passwords.
const struct Fixture {
    const char *name, *hash, *password, *method;
} fixtures[] = {
    {"md5user", "$1$fixture1$IDMdTIrexnf/93zDNIvL40", "md5-secret", "md5crypt"},
    {"sha256user", "$5$fixture5salt$3KCF4v3bqAfqu.l3TbFHuOT2kN6Z/CnJP75fFApCq9C", "sha256-secret",
     "sha256crypt"},
    {"bcryptuser", "$2a$05$CCCCCCCCCCCCCCCCCCCCC.E5YPO9kmyuRGyh0XouQYb4YMJKvyOeW", "U*U", "bcrypt"},
};

int mode_of(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (int)(st.st_mode & 07777) : -1;
}

// Runs sql on the database at path; the first column of the first row.
std::string sql(const std::string &path, const std::string &statement)
{
    sqlite3 *db = nullptr;
    sqlite3_stmt *st = nullptr;
    std::string value = "<error>";
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
        sqlite3_prepare_v2(db, statement.c_str(), -1, &st, nullptr) == SQLITE_OK) {
        int rc = sqlite3_step(st);
        if (rc == SQLITE_ROW)
            value = sqlite3_column_text(st, 0) ? (const char *)sqlite3_column_text(st, 0) : "";
        if (rc == SQLITE_DONE) value = "";
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return value;
}

class Store : public ::testing::TestWithParam<std::string>
{
  protected:
    TempDir tmp;
    bool file() const { return GetParam() == "file"; }
    std::string store() const { return tmp.path + (file() ? "/users.passwd" : "/users.db"); }
    std::string bin() const { return file() ? MODULE_FILE_BIN : MODULE_SQLITE_BIN; }
    void start(Child &c, const Lines &options = {}, Stderr err = Stderr::Inherit)
    {
        Lines a = {bin(), "-file", store()};
        a.insert(a.end(), options.begin(), options.end());
        ASSERT_TRUE(c.start(a, "", err));
    }
    // Stores users with hashes made elsewhere, as a legacy store holds them.
    void put(const std::vector<Fixture> &users, const std::string &head = "")
    {
        std::string text = head, values;
        for (const Fixture &f : users) {
            text += std::string(f.name) + ":" + f.hash + ":\n";
            values +=
                std::string(values.empty() ? "" : ",") + "('" + f.name + "','" + f.hash + "')";
        }
        if (file()) {
            write_file(store(), text);
            return;
        }
        Child c; // creates the database and its table
        start(c);
        EXPECT_EQ("-ERR nobody not found", c.ask("lookup nobody"));
        EXPECT_EQ("", sql(store(), "INSERT INTO users (name, hash) VALUES " + values));
    }
};

INSTANTIATE_TEST_SUITE_P(Both, Store, ::testing::Values("file", "sqlite"),
                         [](const auto &p) { return p.param; });

} // namespace

// Store request -> store reply, in order on one module; "%K" stands for the
// store's kind. A search's lines are joined by "|".
TEST_P(Store, Requests)
{
    const char *const session[][2] = {
        {"lookup alice", "-ERR alice not found"},
        {"set alice secret1 uid=5 home=/x", "+OK alice set"},
        {"lookup alice", "+OK alice uid=5 home=/x"},
        {"lookup alice\r", "+OK alice uid=5 home=/x"},
        {"set bob secret2", "+OK bob set"},
        {"lookup bob", "+OK bob"},
        {"check alice secret1 ", "+OK alice %K yescrypt uid=5 home=/x"},
        {"check bob secret2 10.0.0.1", "+OK bob %K yescrypt"},
        {"check bob secret2", "+OK bob %K yescrypt"},
        {"check alice secret2 ", "-ERR alice not found or password incorrect"},
        {"check alice ", "-ERR alice not found or password incorrect"},
        {"check alice secret1x ", "-ERR alice not found or password incorrect"},
        {"check alice ecret1 ", "-ERR alice not found or password incorrect"},
        {"check nobody secret1 ", "-ERR nobody not found or password incorrect"},
        {"check alice (NULL) ", "-ERR alice not found or password incorrect"},
        {"set alice pw2", "+OK alice set"},
        {"check alice secret1 ", "-ERR alice not found or password incorrect"},
        {"check alice pw2 ", "+OK alice %K yescrypt"},
        {"set alice (NULL) second one", "+OK alice set"},
        {"check alice pw2 ", "+OK alice %K yescrypt second one"},
        {"set alice (NULL)", "+OK alice set"},
        {"lookup alice", "+OK alice"},
        {"set ghost (NULL) x", "-ERR ghost not found"},
        {"set Zed pw Zed!", "+OK Zed set"},
        {"set alex pw alex!", "+OK alex set"},
        {"search *", "+DATA Zed Zed!|+DATA alex alex!|+DATA alice|+DATA bob|+OK 4 4"},
        {"search a* and more words", "+DATA alex alex!|+DATA alice|+OK 2 4"},
        {"search ?ob", "+DATA bob|+OK 1 4"},
        {"search ZED", "+OK 0 4"},
        {"del bob", "+OK bob deleted"},
        {"del bob", "-ERR bob not found"},
        {"lookup bob", "-ERR bob not found"},
        {"frobnicate alice", "-ERR unknown request"},
        {"", "-ERR unknown request"},
        {"LOOKUP alice", "-ERR unknown request"},
        {"set alice", "-ERR set requires a user name and a password"},
        {"set alice  x", "-ERR alice password must not be empty"},
        {"set carol pw a\x01z", "-ERR carol extra information invalid"},
        {"lookup a b", "-ERR invalid user name"},
        {"lookup ", "-ERR invalid user name"},
        {"set a:b pw", "-ERR invalid user name"},
        {"set a\tb pw", "-ERR invalid user name"},
        {"set #x pw", "-ERR invalid user name"},
        {"check a:b pw ", "-ERR invalid user name"},
        {"lookup a\x7f", "-ERR invalid user name"},
    };
    Child m;
    start(m);
    for (auto &r : session) {
        std::string got;
        for (const std::string &l :
             std::string(r[0]).starts_with("search") ? m.search(r[0]) : Lines{m.ask(r[0])})
            got += (got.empty() ? "" : "|") + l;
        EXPECT_EQ(replace_all(r[1], "%K", GetParam()), got) << r[0];
    }
    std::string longest = "set carol pw " + std::string(900, 'x');
    EXPECT_EQ("+OK carol set", m.ask(longest));
    EXPECT_EQ("-ERR carol extra information too long",
              m.ask("set carol pw " + std::string(980, 'x')));
    EXPECT_EQ(0600, mode_of(store()));
}

// Hashes of other tools verify; a new hash uses the chosen method under a
// fresh salt; an old hash is rehashed at login only with -rehash.
TEST_P(Store, Hashes)
{
    put({std::begin(fixtures), std::end(fixtures)});
    Child m, rehash;
    start(m, {"-method", "bcrypt", "-cost", "4"});
    for (const Fixture &f : fixtures) {
        std::string name = f.name, ok = "+OK " + name + " " + GetParam() + " " + f.method;
        EXPECT_EQ(ok, m.ask("check " + name + " " + f.password + " "));
        EXPECT_EQ("-ERR " + name + " not found or password incorrect",
                  m.ask("check " + name + " " + f.password + "x "));
    }
    EXPECT_EQ("+OK bob set", m.ask("set bob pw"));
    EXPECT_EQ("+OK carol set", m.ask("set carol pw"));
    EXPECT_EQ("+OK bob " + GetParam() + " bcrypt", m.ask("check bob pw "));
    std::string search = m.search("search *").back();
    start(rehash, {"-rehash"});
    std::string md5 = "check md5user md5-secret ";
    EXPECT_EQ("-ERR md5user not found or password incorrect", rehash.ask("check md5user x "));
    EXPECT_EQ("+OK md5user " + GetParam() + " md5crypt", rehash.ask(md5));
    EXPECT_EQ("+OK md5user " + GetParam() + " yescrypt", rehash.ask(md5));
    EXPECT_EQ("+OK md5user " + GetParam() + " yescrypt", m.ask(md5));
    if (!file()) {
        EXPECT_EQ("$2b$04$", sql(store(), "SELECT substr(hash,1,7) FROM users WHERE name='bob'"));
        EXPECT_EQ("1", sql(store(), "SELECT (SELECT hash FROM users WHERE name='bob') <> "
                                    "(SELECT hash FROM users WHERE name='carol')"));
    }
}

// A read-only store refuses changes and a -rehash; a store that cannot be
// used makes every request "-DEAD".
TEST_P(Store, ReadOnlyAndDead)
{
    put({fixtures[1]});
    std::string before = read_file(store());
    Child m;
    start(m, {"-readonly", "-rehash"});
    EXPECT_EQ("-ERR alice not set, the store is read-only", m.ask("set alice pw"));
    EXPECT_EQ("-ERR sha256user not set, the store is read-only", m.ask("set sha256user (NULL) x"));
    EXPECT_EQ("-ERR sha256user not deleted, the store is read-only", m.ask("del sha256user"));
    EXPECT_EQ("+OK sha256user " + GetParam() + " sha256crypt",
              m.ask("check sha256user sha256-secret "));
    EXPECT_EQ("+OK sha256user " + GetParam() + " sha256crypt",
              m.ask("check sha256user sha256-secret "));
    EXPECT_EQ(before, read_file(store()));

    std::vector<Lines> dead = {{"-file", tmp.path + "/no/such/dir/users"},
                               {"-file", tmp.path + "/missing", "-readonly"},
                               {"-file", store(), "-bogus"},
                               {"-file", store(), "-method", "rot13"},
                               {"-file"},
                               {}};
    if (!file()) dead.push_back({"-file", write_file(tmp.dir / "junk.db", std::string(4096, 'x'))});
    for (Lines args : dead) {
        args.insert(args.begin(), bin());
        Child d;
        ASSERT_TRUE(d.start(args, "", Stderr::Inherit));
        for (const char *r :
             {"lookup alice", "check alice pw ", "set alice pw", "del alice", "search *"})
            EXPECT_EQ(0u, d.ask(r).rfind("-DEAD ", 0)) << args.back() << ": " << r;
        d.send("quit\n");
        EXPECT_EQ("<eof>", d.line());
        EXPECT_EQ(0, d.wait());
    }
}

// A module ends at quit, at the end of input and at SIGTERM; it works with
// standard error closed; it sees another process's changes at once.
TEST_P(Store, ProcessesAndEnds)
{
    Child a, b;
    start(a, {}, Stderr::Closed);
    start(b);
    EXPECT_EQ("-ERR alice not found", b.ask("lookup alice"));
    EXPECT_EQ("+OK alice set", a.ask("set alice pw one"));
    EXPECT_EQ("+OK alice one", b.ask("lookup alice"));
    EXPECT_EQ("+OK alice set", b.ask("set alice (NULL) two"));
    EXPECT_EQ("+OK alice two", a.ask("lookup alice"));
    EXPECT_EQ("/dev/null", fs::read_symlink("/proc/" + std::to_string(a.pid()) + "/fd/2").string());
    a.send("quit\n");
    EXPECT_EQ(0, a.wait());
    b.close_input();
    EXPECT_EQ(0, b.wait());
    start(b);
    b.signal(SIGTERM);
    int status = b.wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
}

// Writers exclude each other: while the test holds the store's lock, a
// writer waits (and one that may not wait says the store is busy); it
// writes once the lock is let go.
TEST_P(Store, WritersWaitForTheLock)
{
    put({fixtures[0]});
    sqlite3 *db = nullptr;
    int lock = -1;
    if (file()) {
        lock = open((store() + ".lock").c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_EQ(0, flock(lock, LOCK_EX));
    } else {
        ASSERT_EQ(SQLITE_OK, sqlite3_open(store().c_str(), &db));
        ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
    }
    Child waiting, impatient;
    start(waiting, {"-busy", "60000", "-method", "md5crypt"});
    start(impatient, {"-busy", "0"});
    EXPECT_EQ("+OK md5user", impatient.ask("lookup md5user"));
    EXPECT_TRUE(contains(impatient.ask("set alice (NULL) x"), "busy"))
        << "a writer did not see the lock";
    EXPECT_EQ("<timeout>", waiting.ask("set alice pw", 1500))
        << "a writer did not wait for the lock";
    if (file())
        close(lock);
    else
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), sqlite3_close(db);
    EXPECT_EQ("+OK alice set", waiting.line());
    EXPECT_EQ("+OK alice", impatient.ask("lookup alice"));
}

// A module killed in the middle of its changes leaves a whole store: every
// user, each with some version of its extra information. The password file
// is replaced whole, never rewritten in place, and keeps its mode.
TEST_P(Store, KillDuringChangesLeavesAWholeStore)
{
    const int users = file() ? 2000 : 300, rounds = 8;
    std::vector<std::string> names;
    std::vector<Fixture> many;
    for (int i = 0; i < users; i++) names.push_back("user" + std::to_string(i));
    for (int i = 0; i < users; i++) many.push_back({names[i].c_str(), fixtures[0].hash, "", ""});
    put(many, "# users\n\n");
    chmod(store().c_str(), 0640);
    int old = open(store().c_str(), O_RDONLY); // held, so that its inode is not used again
    std::string text = read_file(store());
    std::mt19937 rng(7);
    for (int round = 1; round <= rounds; round++) {
        Child m;
        start(m);
        for (int i = 0; i < 60; i++)
            m.send("set user" + std::to_string(rng() % users) + " (NULL) v" +
                   std::to_string(round) + "\n");
        ASSERT_EQ("+OK", m.line().substr(0, 3));
        usleep(rng() % 20000);
        m.signal(SIGKILL);
        m.wait();
    }
    struct stat before, after;
    fstat(old, &before);
    stat(store().c_str(), &after);
    if (file()) {
        EXPECT_NE(before.st_ino, after.st_ino) << "the file was rewritten in place";
        EXPECT_EQ(text, read_file("/proc/self/fd/" + std::to_string(old)))
            << "the old file was changed";
        EXPECT_EQ(0640, mode_of(store()));
        Lines lines = lines_of(read_file(store()));
        ASSERT_EQ((size_t)users + 2, lines.size());
        EXPECT_EQ("# users", lines[0]);
        EXPECT_EQ("", lines[1]);
    } else {
        EXPECT_EQ("ok", sql(store(), "PRAGMA integrity_check"));
    }
    close(old);
    Child m;
    start(m);
    Lines all = m.search("search *");
    ASSERT_EQ((size_t)users + 1, all.size());
    EXPECT_EQ("+OK " + std::to_string(users) + " " + std::to_string(users), all.back());
    for (size_t i = 0; i + 1 < all.size(); i++) {
        size_t blank = all[i].find(' ', 6);
        std::string extra = blank == std::string::npos ? "" : all[i].substr(blank + 1);
        EXPECT_TRUE(extra.empty() || (extra[0] == 'v' && atoi(extra.c_str() + 1) >= 1 &&
                                      atoi(extra.c_str() + 1) <= rounds))
            << all[i];
    }
    EXPECT_EQ(0u,
              m.ask("check user0 md5-secret ").rfind("+OK user0 " + GetParam() + " md5crypt", 0));
}

// The password file as people write it: comments, blank lines, junk and
// order are kept; the first record of a name is the user and del removes
// every one; edits by hand are seen at once.
TEST(FileStore, KeepsWhatItDoesNotOwn)
{
    TempDir tmp;
    std::string store = tmp.path + "/users.passwd", md5 = fixtures[0].hash, sha = fixtures[1].hash;
    std::string kept = "# legacy\n\nalice:" + md5 + ":Alice L.\n   \nbob:" + sha +
                       "\r\nnot a user line\n"
                       "carol:" +
                       md5 + ":uid=3:/home/carol\n";
    write_file(store, "# legacy\n\nalice:" + md5 + ":Alice\n   \nbob:" + sha +
                          "\r\nnot a user line\ncarol:" + md5 + ":uid=3:/home/carol\ndave:" + md5 +
                          ":\ndave:" + md5 + ":second\nalice:" + md5 + ":later\n");
    Child m;
    ASSERT_TRUE(
        m.start({MODULE_FILE_BIN, "-file", store, "-method", "md5crypt"}, "", Stderr::Inherit));
    EXPECT_EQ("+OK bob file sha256crypt", m.ask("check bob sha256-secret "));
    EXPECT_EQ("+OK carol uid=3:/home/carol", m.ask("lookup carol"));
    EXPECT_EQ("+OK alice Alice", m.ask("lookup alice"));
    EXPECT_EQ("+OK alice set", m.ask("set alice (NULL) Alice L."));
    EXPECT_EQ("+OK dave deleted", m.ask("del dave"));
    EXPECT_EQ("-ERR dave not found", m.ask("lookup dave"));
    std::string text = read_file(store);
    EXPECT_EQ(kept + "alice:" + md5 + ":later\n", text);
    std::ofstream(store, std::ios::app) << "erin:" << sha << ":by hand\n";
    EXPECT_EQ("+OK erin file sha256crypt by hand", m.ask("check erin sha256-secret "));
    // A change that cannot be written is reported and changes nothing.
    fs::create_directory(store + ".tmp");
    EXPECT_EQ(0u, m.ask("set frank pw").rfind("-ERR cannot write " + store + ".tmp: ", 0));
    EXPECT_EQ("-ERR frank not found", m.ask("lookup frank"));
    fs::remove(store + ".tmp");
    fs::remove(store);
    EXPECT_EQ("-ERR erin not found", m.ask("lookup erin"));
}

// The comparison of a hash looks at every character: the right password
// against its hash changed at any one place, cut short or made longer, fails.
TEST(FileStore, EveryCharacterOfAHashCounts)
{
    TempDir tmp;
    std::string store = tmp.path + "/users.passwd", hash = fixtures[0].hash;
    Child m;
    ASSERT_TRUE(m.start({MODULE_FILE_BIN, "-file", store}, "", Stderr::Inherit));
    for (size_t i = 0; i <= hash.size() + 1; i++) {
        std::string wrong = hash;
        if (i < hash.size()) wrong[i] = wrong[i] == 'A' ? 'B' : 'A';
        if (i == hash.size()) wrong.pop_back();
        if (i == hash.size() + 1) wrong += "A";
        write_file(store, "md5user:" + wrong + ":\n");
        EXPECT_EQ("-ERR md5user not found or password incorrect",
                  m.ask("check md5user md5-secret "))
            << wrong;
    }
    write_file(store, "md5user:" + hash + ":\n");
    EXPECT_EQ("+OK md5user file md5crypt", m.ask("check md5user md5-secret "));
}

// The shipped example: Corvane over the SQLite store and the legacy password
// file; users move to the new store at their first login.
TEST(Migration, TheExampleMovesUsersAtTheirFirstLogin)
{
    TempDir tmp;
    std::string legacy = read_file(EXAMPLES_DIR "/users.passwd"), db = tmp.path + "/users.db";
    write_file(tmp.dir / "users.passwd", legacy);
    write_file(tmp.dir / "corvane.ini",
               replace_all(read_file(EXAMPLES_DIR "/corvane.ini"), "/usr/local/libexec/",
                           fs::path(MODULE_FILE_BIN).parent_path().string() + "/"));
    Child c;
    ASSERT_TRUE(c.start({CORVANE_BIN, "-path", tmp.path, "-check", "dave", "dave-pass"}, tmp.path,
                        Stderr::Inherit));
    EXPECT_EQ("+OK dave file bcrypt uid=1004", c.line());
    EXPECT_EQ(0, WEXITSTATUS(c.wait()));
    ASSERT_TRUE(c.start({CORVANE_BIN, "-path", tmp.path}, tmp.path, Stderr::Inherit));
    EXPECT_EQ("+OK dave sqlite yescrypt uid=1004", c.ask("check dave dave-pass"));
    EXPECT_EQ("+OK alice Alice Liddell", c.ask("lookup alice"));
    EXPECT_EQ("-ERR alice not found or password incorrect", c.ask("check alice looking-glass"));
    EXPECT_EQ("", sql(db, "SELECT name FROM users WHERE name='alice'"));
    EXPECT_EQ("+OK alice file md5crypt Alice Liddell", c.ask("check alice wonderland"));
    EXPECT_EQ("Alice Liddell", sql(db, "SELECT extra FROM users WHERE name='alice'"));
    EXPECT_EQ("+OK alice sqlite yescrypt Alice Liddell", c.ask("check alice wonderland"));
    EXPECT_EQ("+OK carol file sha512crypt", c.ask("check carol carols-secret 192.0.2.7"));
    EXPECT_EQ("+OK carol sqlite yescrypt", c.ask("check carol carols-secret"));
    EXPECT_EQ("+OK frank set", c.ask("set frank first-pass uid=1006"));
    EXPECT_EQ("+OK frank sqlite yescrypt uid=1006", c.ask("check frank first-pass"));
    EXPECT_EQ("+OK Search Complete 9 items found out of 9", c.search("search *").back());
    EXPECT_EQ(legacy, read_file(tmp.dir / "users.passwd"));
    EXPECT_EQ("+OK bye", c.ask("quit"));
    EXPECT_EQ(0, c.wait());
}
