// The password file's defences against other local users: links planted
// where its lock and temporary files go, and names probed by the time an
// unknown user's refusal takes.
#include "tests/testkit.h"

#include "modules/modhash.h"

using namespace testkit;

namespace
{

// A link planted as the lock or the temporary file is never followed: the
// change is refused and the link's target is neither made nor changed.
TEST(FileStore, RefusesLinksPlantedBesideTheFile)
{
    for (const char *planted : {".lock", ".tmp"}) {
        TempDir t;
        std::string users = t.at("users"), victim = t.at("victim");
        write_file(users, "bob:$1$fixture1$IDMdTIrexnf/93zDNIvL40:\n", 0600);
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
    const char *md5 = "$1$fixture1$IDMdTIrexnf/93zDNIvL40", *yes = "$y$j9T$salt$hash";
    const char *sha = "$6$salt$hash", *locked = "!$1$x$y";
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

} // namespace
