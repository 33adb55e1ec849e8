// The shipped example end to end: Corvane over the SQLite store (module 1)
// and the legacy password file (module 2), users moving to the new store
// as they log in.
#include "tests/testkit.h"

#include <filesystem>
#include <fstream>
#include <sqlite3.h>
#include <sstream>

using namespace testkit;

namespace
{

// The hash and the extra information the database holds for name, as
// "hash|extra", or "" when it holds no such user.
std::string stored(const std::string &db, const std::string &name)
{
    sqlite3 *h = nullptr;
    std::string value = "<error>";
    sqlite3_stmt *st = nullptr;
    if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(h, "SELECT hash || '|' || extra FROM users WHERE name = ?1", -1, &st,
                           nullptr) == SQLITE_OK) {
        sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        int rc = sqlite3_step(st);
        if (rc == SQLITE_ROW) value = (const char *)sqlite3_column_text(st, 0);
        if (rc == SQLITE_DONE) value = "";
    }
    sqlite3_finalize(st);
    sqlite3_close(h);
    return value;
}

// The example, with its module paths pointing at the modules just built,
// copied into a directory of its own.
class MigrationTest : public ::testing::Test
{
  protected:
    TempDir dir;
    std::string legacy;

    void SetUp() override
    {
        std::string modules = std::filesystem::path(MODULE_FILE_BIN).parent_path().string() + "/";
        std::string ini = read_file(std::string(EXAMPLES_DIR) + "/corvane.ini");
        ASSERT_NE(std::string::npos, ini.find("/usr/local/libexec/"));
        std::ofstream(dir.path + "/corvane.ini")
            << replace_all(ini, "/usr/local/libexec/", modules);
        legacy = read_file(std::string(EXAMPLES_DIR) + "/users.passwd");
        std::ofstream(dir.path + "/users.passwd") << legacy;
    }

    void start(Child &c)
    {
        ASSERT_TRUE(c.start({CORVANE_BIN, "-path", dir.path}, dir.path, Stderr::Inherit));
    }
    std::string db() const { return dir.path + "/users.db"; }
};

TEST_F(MigrationTest, AUserMovesToTheNewStoreAtHerFirstLogin)
{
    Child c;
    start(c);
    EXPECT_EQ("+OK alice Alice Liddell", c.ask("lookup alice"));
    EXPECT_EQ("-ERR alice not found or password incorrect", c.ask("check alice looking-glass"));
    EXPECT_EQ("", stored(db(), "alice"));

    // The first right check is answered by the legacy file and sets her,
    // with the extra information of that reply, into the new store.
    EXPECT_EQ("+OK alice file md5crypt Alice Liddell", c.ask("check alice wonderland"));
    std::string moved = stored(db(), "alice");
    EXPECT_EQ(0u, moved.rfind("$y$", 0)) << moved;
    EXPECT_EQ("Alice Liddell", moved.substr(moved.find('|') + 1));

    // From now on the new store answers for her.
    EXPECT_EQ("+OK alice sqlite yescrypt Alice Liddell", c.ask("check alice wonderland"));
    EXPECT_EQ("+OK alice Alice Liddell", c.ask("lookup alice"));
    EXPECT_EQ("-ERR alice not found or password incorrect", c.ask("check alice wonderland2"));

    // A user without extra information moves as well, with an empty one.
    EXPECT_EQ("+OK carol file sha512crypt", c.ask("check carol carols-secret 192.0.2.7"));
    EXPECT_EQ("|", stored(db(), "carol").substr(stored(db(), "carol").find('|')));
    EXPECT_EQ("+OK carol sqlite yescrypt", c.ask("check carol carols-secret"));
    for (const char *u : {"bob builder", "dave dave-pass", "erin erin2001"}) {
        std::string name = std::string(u).substr(0, std::string(u).find(' '));
        EXPECT_EQ(0u, c.ask(std::string("check ") + u).rfind("+OK " + name + " file ", 0)) << u;
        EXPECT_EQ(0u, c.ask(std::string("check ") + u).rfind("+OK " + name + " sqlite ", 0)) << u;
    }

    // Both stores are searched and counted; the legacy file never changed.
    std::vector<std::string> s = c.search("search *");
    ASSERT_FALSE(s.empty());
    EXPECT_EQ("+OK Search Complete 10 items found out of 10", s.back());
    EXPECT_EQ("+DATA alice Alice Liddell", s.front());
    EXPECT_EQ(legacy, read_file(dir.path + "/users.passwd"));
    EXPECT_EQ("+OK bye", c.ask("quit"));
    EXPECT_EQ(0, c.wait());
}

TEST_F(MigrationTest, SetsWithAPasswordGoToTheNewStoreOnly)
{
    Child c;
    start(c);
    EXPECT_EQ("+OK frank set", c.ask("set frank first-pass uid=1006"));
    EXPECT_EQ("+OK frank sqlite yescrypt uid=1006", c.ask("check frank first-pass"));
    EXPECT_EQ("+OK bob set", c.ask("set bob new-builder"));
    EXPECT_EQ("+OK bob sqlite yescrypt", c.ask("check bob new-builder"));
    EXPECT_EQ(legacy, read_file(dir.path + "/users.passwd"));
}

TEST_F(MigrationTest, OneCommandOnTheCommandLine)
{
    Child c;
    ASSERT_TRUE(c.start({CORVANE_BIN, "-path", dir.path, "-check", "dave", "dave-pass"}, dir.path,
                        Stderr::Inherit));
    EXPECT_EQ("+OK dave file bcrypt uid=1004", c.line());
    EXPECT_EQ(0, c.wait());
    Child again;
    ASSERT_TRUE(again.start({CORVANE_BIN, "-path", dir.path, "-check", "dave", "dave-pass"},
                            dir.path, Stderr::Inherit));
    EXPECT_EQ("+OK dave sqlite yescrypt uid=1004", again.line());
    EXPECT_EQ(0, again.wait());
}

TEST_F(MigrationTest, ADeadNewStoreLeavesTheLegacyFileServing)
{
    std::string ini = read_file(dir.path + "/corvane.ini");
    std::ofstream(dir.path + "/corvane.ini")
        << replace_all(ini, "-file users.db", "-file no/such/dir/users.db");
    Child c;
    start(c);
    EXPECT_EQ("+OK alice Alice Liddell", c.ask("lookup alice"));
    EXPECT_EQ("+OK alice file md5crypt Alice Liddell", c.ask("check alice wonderland"));
    EXPECT_EQ("+OK alice file md5crypt Alice Liddell", c.ask("check alice wonderland"));
}

} // namespace
