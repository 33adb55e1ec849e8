// The shipped modules, corvane-file and corvane-sqlite, driven over their
// pipes as Corvane drives them (store request -> store reply, against both
// stores), their locking and whole-file rewrites, the password file's
// defences against other local users (links planted beside it, names probed
// by the time a refusal takes), and the shipped example migration end to end.
#include "tests/testkit.h"

#include "modules/modhash.h"

#include <random>
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

// Runs statements on the database at path; 1 when they ran.
bool sql(const std::string &path, const std::string &statements)
{
    sqlite3 *db = nullptr;
    bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
              sqlite3_exec(db, statements.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

class Store : public ::testing::TestWithParam<std::string>
{
  protected:
    TempDir tmp;
    bool file() const { return GetParam() == "file"; }
    std::string store() const { return tmp.path + (file() ? "/users.passwd" : "/users.db"); }
    std::string bin() const { return file() ? MODULE_FILE_BIN : MODULE_SQLITE_BIN; }
    void start(Child &c, Lines options = {})
    {
        options.insert(options.begin(), {bin(), "-file", store()});
        ASSERT_TRUE(c.start(options));
    }
    // The reply to request; a search's lines joined by "|".
    static std::string answer(Child &m, const std::string &request)
    {
        std::string got;
        for (const std::string &l :
             request.starts_with("search") ? m.search(request) : Lines{m.ask(request)})
            got += (got.empty() ? "" : "|") + l;
        return got;
    }
    // The lines of the module run with "-t" and options, joined by "|",
    // then "exit STATUS", and " changed" when a file of the store's
    // directory came, went or changed its size.
    std::string selfcheck(Lines options)
    {
        auto listing = [&] {
            std::string files;
            for (const auto &e : fs::directory_iterator(tmp.dir))
                files += e.path().string() + " " + std::to_string(e.file_size()) + "\n";
            return files;
        };
        std::string before = listing();
        options.insert(options.begin() + 1, {"-file", store()});
        options.insert(options.begin(), bin());
        Outcome o = run({.argv = options, .cwd = tmp.path});
        return replace_all(o.out, "\n", "|") + "exit " + std::to_string(o.status) +
               (before == listing() ? "" : " changed");
    }
    // Stores users with hashes made elsewhere, as a legacy store holds them.
    void put(const std::vector<Fixture> &users, const std::string &head = "")
    {
        std::string text = head, values;
        for (const Fixture &f : users) {
            text += std::string(f.name) + ":" + f.hash + ":\n";
            values += (values.empty() ? "('" : ",('") + std::string(f.name) + "','" + f.hash + "')";
        }
        if (file()) return (void)write_file(store(), text, 0600);
        Child c; // creates the database and its table
        start(c);
        EXPECT_EQ("-ERR nobody not found", c.ask("lookup nobody"));
        EXPECT_TRUE(sql(store(), "INSERT INTO users (name, hash) VALUES " + values));
    }
};

INSTANTIATE_TEST_SUITE_P(Both, Store, ::testing::Values("file", "sqlite"),
                         [](const auto &p) { return p.param; });

} // namespace

// Store request -> store reply, in order on one module started with the
// options of its run, over a store that holds hashes made by other tools;
// "%K" stands for the store's kind, a search's lines are joined by "|".
TEST_P(Store, Requests)
{
    const std::string no = " not found or password incorrect";
    const struct {
        Lines options;
        std::vector<std::array<std::string, 2>> session;
    } runs[] = {
        // clang-format off
        {{}, {{"lookup alice", "-ERR alice not found"}, {"set alice secret1 uid=5 home=/x", "+OK alice set"},
              {"lookup alice\r", "+OK alice uid=5 home=/x"}, {"set bob secret2 x", "+OK bob set"},
              {"set bob secret2 ", "+OK bob set"}, {"lookup bob", "+OK bob"}, {"check alice secret1 ", "+OK alice %K yescrypt uid=5 home=/x"},
              {"check bob secret2 10.0.0.1", "+OK bob %K yescrypt"}, {"check alice secret2 ", "-ERR alice" + no},
              {"check nobody secret1 ", "-ERR nobody" + no}, {"check alice (NULL) ", "-ERR alice" + no},
              {"set alice pw2", "+OK alice set"}, {"lookup alice", "+OK alice uid=5 home=/x"},
              {"check alice secret1 ", "-ERR alice" + no}, {"set alice (NULL) second one", "+OK alice set"},
              {"check alice pw2 ", "+OK alice %K yescrypt second one"}, {"set alice (NULL)", "+OK alice set"},
              {"lookup alice", "+OK alice second one"}, {"set alice (NULL) ", "+OK alice set"},
              {"set ghost (NULL) x", "-ERR ghost not found"}, {"set Zed pw Zed!", "+OK Zed set"},
              {"set alex pw alex!", "+OK alex set"}, {"del md5user", "+OK md5user deleted"},
              {"del sha256user", "+OK sha256user deleted"}, {"del bcryptuser", "+OK bcryptuser deleted"},
              {"search *", "+DATA Zed Zed!|+DATA alex alex!|+DATA alice|+DATA bob|+OK 4 4"},
              {"search a* and more words", "+DATA alex alex!|+DATA alice|+OK 2 4"},
              {"search ?ob", "+DATA bob|+OK 1 4"}, {"search ZED", "+OK 0 4"}, {"del bob", "+OK bob deleted"},
              {"del bob", "-ERR bob not found"}, {"LOOKUP alice", "-ERR unknown request"},
              {"set alice", "-ERR set requires a user name and a password"},
              {"set alice  x", "-ERR alice password must not be empty"},
              {"set carol pw a\x01z", "-ERR carol extra information invalid"},
              {"set carol pw " + std::string(900, 'x'), "+OK carol set"},
              {"set carol pw " + std::string(980, 'x'), "-ERR carol extra information too long"},
              {"lookup a b", "-ERR invalid user name"}, {"set a:b pw", "-ERR invalid user name"},
              {"lookup a\x7f", "-ERR invalid user name"}}},
        {{"-method", "bcrypt", "-cost", "4"},
             {{"check md5user md5-secret ", "+OK md5user %K md5crypt"}, {"check md5user md5-secretx ", "-ERR md5user" + no},
              {"check sha256user sha256-secret ", "+OK sha256user %K sha256crypt"},
              {"check sha256user sha256-secre ", "-ERR sha256user" + no},
              {"check bcryptuser U*U ", "+OK bcryptuser %K bcrypt"}, {"check bcryptuser U*U* ", "-ERR bcryptuser" + no},
              {"set bob pw", "+OK bob set"}, {"set carol pw", "+OK carol set"}, {"check bob pw ", "+OK bob %K bcrypt"}}},
        {{"-readonly", "-rehash"},
             {{"set alice pw", "-ERR alice not set, the store is read-only"},
              {"set md5user (NULL) x", "-ERR md5user not set, the store is read-only"},
              {"del md5user", "-ERR md5user not deleted, the store is read-only"},
              {"check md5user md5-secret ", "+OK md5user %K md5crypt"},
              {"check md5user md5-secret ", "+OK md5user %K md5crypt"}}},
        {{"-rehash"}, {{"check md5user x ", "-ERR md5user" + no}, {"check md5user md5-secret ", "+OK md5user %K md5crypt"},
                       {"check md5user md5-secret ", "+OK md5user %K yescrypt"}}},
        // clang-format on
    };
    for (const auto &run : runs) {
        put({std::begin(fixtures), std::end(fixtures)});
        std::string before = read_file(store());
        Child m;
        start(m, run.options);
        for (auto &[request, reply] : run.session)
            EXPECT_EQ(replace_all(reply, "%K", GetParam()), answer(m, request)) << request;
        EXPECT_TRUE(run.options.size() != 2 || before == read_file(store()))
            << "a read-only store changed";
        m.finish();
        fs::remove(store());
    }
}

// A new hash has a fresh salt; a new store is owner-only; a store that cannot
// be used makes every request "-DEAD".
TEST_P(Store, FreshSaltsNewStoresAndDeadStores)
{
    Child m;
    start(m, {"-method", "md5crypt"});
    EXPECT_EQ("+OK bob set", m.ask("set bob pw"));
    EXPECT_EQ("+OK carol set", m.ask("set carol pw"));
    EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write, fs::status(store()).permissions());
    std::string text = read_file(store()); // the file's own hashes differ
    EXPECT_TRUE(!file() || text.substr(4, 30) != text.substr(text.find("\ncarol:") + 7, 30));
    std::vector<Lines> dead = {{"-file", tmp.path + "/no/dir/users"},
                               {"-file", tmp.path + "/none", "-readonly"},
                               {"-file", store(), "-method", "bcrypt", "-cost", "99"},
                               {"-file", store(), "-bogus"},
                               {"-file"}};
    if (!file()) dead.push_back({"-file", write_file(tmp / "junk.db", std::string(4096, 'x'))});
    for (Lines args : dead) {
        Child d;
        args.insert(args.begin(), bin());
        ASSERT_TRUE(d.start(args));
        for (const char *r :
             {"lookup alice", "check alice pw ", "set alice pw", "del alice", "search *"})
            EXPECT_TRUE(d.ask(r).starts_with("-DEAD ")) << args.back() << ": " << r;
        EXPECT_EQ("<eof>", d.ask("quit"));
        EXPECT_EQ(0, d.finish());
    }
}

// A store that cannot be used or trusted answers "-DEAD REASON"; "-ERR" is
// only an answer about the user. Each row plants its fault in a fresh store
// before the module starts or (late) while it runs; "%S" is the store's
// path, "%D" its directory. A store others may read is served, warned once.
// "-t OPTIONS" runs the module's self-check apart (its lines joined by "|",
// then its exit status), which must leave the directory as it was.
TEST_P(Store, FailuresAreDeadAndOnlyUsersAreRefused)
{
    const std::string no = " not found or password incorrect", unsafe = "-DEAD unsafe store %S: ",
                      written = "group or others may write it (mode ",
                      other = " owned by uid 4242, neither root nor uid 0 that the module runs as",
                      junk = "-DEAD cannot read %S: line 4 is not NAME:HASH:EXTRA";
    auto add = [&](const std::string &line) {
        if (file()) return (void)(std::ofstream(store(), std::ios::app) << line << "\n"), true;
        Lines f = fields(line, ':');
        return sql(store(), "INSERT INTO users VALUES ('" + f[0] + "', '" + f[1] + "', '')");
    };
    const struct {
        const char *kind; // "file" or "sqlite" when the row is that store's alone
        bool late;
        std::function<bool()> plant;
        std::vector<std::array<std::string, 2>> session;
    } rows[] = {
        // clang-format off
        {"", false, [&] { return chmod(store().c_str(), 0666) == 0; },
         {{"lookup md5user", unsafe + written + "0666)"}, {"-t", unsafe.substr(6) + written + "0666)|exit 1"}}},
        {"", false, [&] { return chmod(store().c_str(), 0620) == 0; }, {{"set bob pw", unsafe + written + "0620)"}}},
        {"", false, [&] { return chmod(tmp.path.c_str(), 0770) == 0; },
         {{"lookup md5user", unsafe + "its directory %D may be written by group or others (mode 0770)"}}},
        {"", false, [&] { return chown(store().c_str(), 4242, 0) == 0; }, {{"lookup md5user", unsafe + other.substr(1)}}},
        {"", false, [&] { return chown(tmp.path.c_str(), 4242, 0) == 0; }, {{"lookup md5user", unsafe + "its directory %D is" + other}}},
        {"", false, [&] { return chmod(store().c_str(), 0644) == 0; }, {{"lookup md5user", "+OK md5user"},
         {"set bob pw", "+OK bob set"}, {"-t", "warning: store %S may be read by others (mode 0644)|exit 0"}}},
        {"", false, [] { return true; }, {{"-t", "exit 0"}, {"-t -readonyl", "unknown option -readonyl (did you mean -readonly?)|exit 1"}}},
        {"", false, [&] { return fs::remove(store()); }, {{"-t -readonly", "cannot open %S: No such file or directory|exit 1"},
         {"-t", "warning: store %S does not exist: the first start creates it|exit 0"}}},
        {"", false, [&] { return add("locked:!" + std::string(fixtures[0].hash)) && add("star:*"); },
         {{"check locked md5-secret ", "-ERR locked" + no}, {"check star * ", "-ERR star" + no}}},
        {"file", true, [&] { return chmod(store().c_str(), 0606) == 0; }, {{"lookup md5user", unsafe + written + "0606)"}}},
        {"file", true, [&] { return add("junk"); },
         {{"lookup md5user", junk}, {"check md5user md5-secret ", junk}, {"-t", junk.substr(6) + "|exit 1"}}},
        {"file", false, [&] { return add("bob :x:"); }, {{"lookup bob", junk}}},
        {"sqlite", true, [&] { return sql(store(), "DROP TABLE users"); },
         {{"lookup md5user", "-DEAD cannot read %S: no such table: users"}, {"-t", "exit 0"},
          {"-t -readonly", "cannot use %S: no such table: users|exit 1"}}},
        // A look at a database in WAL mode without its log leaves no log behind.
        {"sqlite", false, [&] { return sql(store(), "PRAGMA wal_checkpoint(TRUNCATE)") &&
                                       fs::remove(store() + "-wal") + fs::remove(store() + "-shm") >= 0; },
         {{"-t -readonly", "exit 0"}}},
        // A table whose names compare ignoring case answers for the name as stored only.
        {"sqlite", false, [&] { return sql(store(), "CREATE TABLE u (name TEXT PRIMARY KEY COLLATE NOCASE, hash TEXT,"
                                                    " extra TEXT); INSERT INTO u SELECT * FROM users; DROP TABLE users;"
                                                    " ALTER TABLE u RENAME TO users"); },
         {{"lookup MD5USER", "-ERR MD5USER not found"}, {"check MD5User md5-secret ", "-ERR MD5User" + no},
          {"set MD5USER pw", "-ERR MD5USER not set, the store holds it in another letter case"},
          {"set MD5USER (NULL) x", "-ERR MD5USER not found"}, {"del MD5USER", "-ERR MD5USER not found"},
          {"set Bob pw", "+OK Bob set"}, {"search *", "+DATA Bob|+DATA bcryptuser|+DATA md5user|+DATA sha256user|+OK 4 4"},
          {"check md5user md5-secret ", "+OK md5user sqlite md5crypt"}}},
        // clang-format on
    };
    for (const auto &row : rows) {
        if (*row.kind && GetParam() != row.kind) continue;
        for (const auto &e : fs::directory_iterator(tmp.dir)) fs::remove_all(e);
        chmod(tmp.path.c_str(), 0700), (void)!chown(tmp.path.c_str(), 0, 0);
        put({std::begin(fixtures), std::end(fixtures)});
        Child m;
        if (row.late) start(m), m.ask("lookup md5user"); // open, before the fault
        if (!row.plant()) continue;                      // a change of owner needs root
        for (auto &[request, reply] : row.session) {
            if (m.pid() < 0 && !request.starts_with("-t")) start(m);
            EXPECT_EQ(replace_all(replace_all(reply, "%S", store()), "%D", tmp.path),
                      request.starts_with("-t") ? selfcheck(fields(request)) : answer(m, request))
                << request;
        }
        m.finish();
        std::string warning = "warning: store " + store() + " may be read by others (mode 0644)";
        EXPECT_EQ(row.session[0][1] == "+OK md5user", count(m.errors(), warning)) << warning;
    }
}

// A writer locks everyone out: while the test holds the store's lock (the
// file's only shared), a writer waits (one that may not wait says the store
// is busy), and writes once the lock is let go; the other process sees the
// change at once.
TEST_P(Store, WritersWaitForTheLock)
{
    put({fixtures[0]});
    sqlite3 *db = nullptr;
    int lock = open((store() + ".lock").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_TRUE(file() ? flock(lock, LOCK_SH) == 0
                       : sqlite3_open(store().c_str(), &db) == SQLITE_OK &&
                             sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) ==
                                 SQLITE_OK);
    Child waiting, impatient;
    start(waiting, {"-busy", "60000", "-method", "md5crypt"});
    start(impatient, {"-busy", "0"});
    EXPECT_EQ("+OK md5user", impatient.ask("lookup md5user"));
    EXPECT_TRUE(impatient.ask("set alice (NULL) x").starts_with("-DEAD store is busy, "))
        << "a writer did not see the lock";
    EXPECT_EQ("<timeout>", waiting.ask("set alice pw", 1500))
        << "a writer did not wait for the lock";
    close(lock);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    EXPECT_EQ("+OK alice set", waiting.line());
    EXPECT_EQ("+OK alice", impatient.ask("lookup alice"));
}

// A module killed in the middle of its changes leaves a whole store with
// every user. The password file is replaced whole (the old one, held open,
// is untouched) and keeps its mode.
TEST_P(Store, KillDuringChangesLeavesAWholeStore)
{
    const int users = file() ? 2000 : 300, rounds = 8;
    std::vector<std::string> names;
    for (int i = 0; i < users; i++) names.push_back("user" + std::to_string(i));
    std::vector<Fixture> many;
    for (const std::string &n : names) many.push_back({n.c_str(), fixtures[0].hash, "", ""});
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
        ASSERT_TRUE(m.line().starts_with("+OK"));
        usleep(rng() % 20000);
        kill(m.pid(), SIGKILL);
    }
    struct stat before, after;
    fstat(old, &before);
    stat(store().c_str(), &after);
    if (file()) {
        EXPECT_NE(before.st_ino, after.st_ino) << "the file was rewritten in place";
        EXPECT_EQ(text, read_file("/proc/self/fd/" + std::to_string(old)))
            << "the old file was changed";
        EXPECT_EQ(0640u, after.st_mode & 07777);
        EXPECT_TRUE(read_file(store()).starts_with("# users\n\nuser0:"));
    }
    close(old);
    Child m;
    start(m);
    Lines all = m.search("search *");
    ASSERT_EQ(users + 1u, all.size());
    EXPECT_EQ("+OK " + std::to_string(users) + " " + std::to_string(users), all.back());
    EXPECT_TRUE(
        m.ask("check user0 md5-secret ").starts_with("+OK user0 " + GetParam() + " md5crypt"));
}

// The password file as people write it: comments, blank lines and order
// are kept; the first record of a name is the user and del removes every
// one; edits by hand are seen at once; a change that cannot be written is
// reported and changes nothing.
TEST(FileStore, KeepsWhatItDoesNotOwn)
{
    TempDir tmp;
    std::string store = tmp.path + "/users.passwd", md5 = fixtures[0].hash, sha = fixtures[1].hash;
    std::string head = "# legacy\n\nalice:" + md5 + ":Alice", rest = "\n   \nbob:" + sha + "\r\n";
    write_file(store,
               head + rest + "dave:" + md5 + ":\ndave:" + md5 + ":2\nalice:" + md5 + ":later\n");
    Child m;
    ASSERT_TRUE(m.start({MODULE_FILE_BIN, "-file", store, "-method", "md5crypt"}));
    EXPECT_EQ("+OK bob file sha256crypt", m.ask("check bob sha256-secret "));
    EXPECT_EQ("+OK alice Alice", m.ask("lookup alice"));
    EXPECT_EQ("+OK alice set", m.ask("set alice (NULL) Alice L."));
    EXPECT_EQ("+OK dave deleted", m.ask("del dave"));
    EXPECT_EQ("-ERR dave not found", m.ask("lookup dave"));
    EXPECT_EQ(head + " L." + rest + "alice:" + md5 + ":later\n", read_file(store));
    std::ofstream(store, std::ios::app) << "erin:" << sha << ":by hand\n";
    EXPECT_EQ("+OK erin file sha256crypt by hand", m.ask("check erin sha256-secret "));
    fs::create_directory(store + ".tmp");
    EXPECT_TRUE(m.ask("set frank pw").starts_with("-DEAD cannot write " + store + ".tmp: "));
    EXPECT_EQ("-ERR frank not found", m.ask("lookup frank"));
}

// The comparison of a hash looks at every character: the right password
// against its hash changed at any one place, cut short or made longer, fails.
TEST(FileStore, EveryCharacterOfAHashCounts)
{
    TempDir tmp;
    std::string hash = fixtures[0].hash;
    Child m;
    ASSERT_TRUE(m.start({MODULE_FILE_BIN, "-file", tmp.path + "/users"}));
    for (size_t i = 0; i <= hash.size() + 1; i++) {
        std::string wrong = i < hash.size() ? hash : i == hash.size() ? hash.substr(1) : hash + "A";
        if (i < hash.size()) wrong[i] = wrong[i] == 'A' ? 'B' : 'A';
        write_file(tmp / "users", "md5user:" + wrong + ":\n");
        EXPECT_EQ("-ERR md5user not found or password incorrect",
                  m.ask("check md5user md5-secret "))
            << wrong;
    }
    write_file(tmp / "users", "md5user:" + hash + ":\n");
    EXPECT_EQ("+OK md5user file md5crypt", m.ask("check md5user md5-secret "));
}

// A link planted as the lock or the temporary file is never followed: the
// change is refused and the link's target is neither made nor changed.
TEST(FileStore, RefusesLinksPlantedBesideTheFile)
{
    for (const char *planted : {".lock", ".tmp"}) {
        TempDir t;
        std::string users = t.at("users"), victim = t.at("victim");
        write_file(users, "bob:" + std::string(fixtures[0].hash) + ":\n", 0600);
        ASSERT_EQ(0, symlink(victim.c_str(), (users + planted).c_str()));
        Outcome r = run({.argv = {MODULE_FILE_BIN, "-file", users}, .input = "set alice pw\n"});
        EXPECT_EQ(0u, r.out.rfind("-DEAD cannot ", 0)) << planted << ": " << r.out;
        EXPECT_FALSE(fs::exists(victim)) << planted;
        EXPECT_TRUE(fs::is_symlink(users + planted)) << planted;
        EXPECT_EQ(-1, read_file(users).find("alice")) << planted;
    }
}

// An unknown user is verified against a hash of the method most users
// have, whatever -method says: a fast md5crypt store must not refuse an
// unknown name after a slow yescrypt.
TEST(FileStore, UnknownUsersCostTheMostCommonMethod)
{
    const char *md5 = fixtures[0].hash, *yes = "$y$j9T$salt$hash", *sha = "$6$salt$hash",
               *locked = "!$1$x$y";
    std::pair<std::vector<const char *>, std::string> cases[] = {
        {{yes, md5, locked, locked, md5, sha}, "md5crypt"},
        {{sha, yes, yes, md5}, "yescrypt"},
        {{sha, md5}, "sha512crypt"}, // a tie: the first seen
        {{locked, "*", ""}, ""},     // none known: the caller makes one
    };
    for (const auto &[hashes, method] : cases) {
        HashCensus census;
        census.add(md5, strlen(md5)); // forgotten by the clear
        census.clear();
        for (const char *h : hashes) census.add(h, strlen(h));
        EXPECT_EQ(method, census.typical().empty() ? "" : hash_method(census.typical().c_str()));
    }
}

// corvane-file -hash [METHOD]: the hash of the first line of its input, in
// the method given (yescrypt unless given), which the password verifies.
TEST(FileStore, HashToolPrintsAHashOfThePasswordRead)
{
    const struct {
        Lines args;
        std::string input, method, err;
    } cases[] = {
        {{}, "first secret\nsecond\n", "yescrypt", ""},
        {{"md5crypt"}, "first secret", "md5crypt", ""},
        {{"nosuch"}, "first secret\n", "", "corvane-file: unknown hash method nosuch\n"},
        {{}, "", "", "corvane-file: no password given\n"},
    };
    for (const auto &c : cases) {
        Lines argv = {MODULE_FILE_BIN, "-hash"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Outcome o = run({.argv = argv, .input = c.input});
        std::string hash = o.out.substr(0, o.out.find('\n'));
        EXPECT_EQ(c.err, o.err);
        EXPECT_EQ(c.err.empty() ? 0 : 1, o.status);
        EXPECT_EQ(c.method.empty() ? "unknown" : c.method, hash_method(hash.c_str()));
        EXPECT_TRUE(!c.err.empty() || hash_verify("first secret", hash.c_str())) << hash;
    }
}

// The shipped example: Corvane over the SQLite store and the legacy password
// file; users move to the new store at their first login.
TEST(Migration, TheExampleMovesUsersAtTheirFirstLogin)
{
    TempDir tmp;
    std::string legacy = read_file(EXAMPLES_DIR "/users.passwd");
    write_file(tmp / "users.passwd", legacy);
    write_file(tmp / "corvane.ini",
               replace_all(read_file(EXAMPLES_DIR "/corvane.ini"), "/usr/local/libexec/",
                           fs::path(MODULE_FILE_BIN).parent_path().string() + "/"));
    Child c;
    ASSERT_TRUE(c.start({CORVANE_BIN, "-path", tmp.path}, tmp.path));
    const char *const session[][2] = {
        {"check dave dave-pass", "+OK dave file bcrypt uid=1004"},
        {"check dave dave-pass", "+OK dave sqlite yescrypt uid=1004"},
        {"lookup alice", "+OK alice Alice Liddell"},
        {"check alice looking-glass", "-ERR alice not found or password incorrect"},
        {"check alice wonderland", "+OK alice file md5crypt Alice Liddell"},
        {"check alice wonderland", "+OK alice sqlite yescrypt Alice Liddell"},
        {"check carol carols-secret 192.0.2.7", "+OK carol file sha512crypt"},
        {"check carol carols-secret", "+OK carol sqlite yescrypt"},
        {"set frank first-pass uid=1006", "+OK frank set"},
        {"check frank first-pass", "+OK frank sqlite yescrypt uid=1006"},
        {"search *", "+OK Search Complete 9 items found out of 9"},
    };
    for (auto &r : session)
        EXPECT_EQ(r[1], std::string(r[0]) == "search *" ? c.search(r[0]).back() : c.ask(r[0]))
            << r[0];
    EXPECT_EQ(legacy, read_file(tmp / "users.passwd"));
    EXPECT_EQ("+OK bye", c.ask("quit"));
    EXPECT_EQ(0, c.finish());
}
