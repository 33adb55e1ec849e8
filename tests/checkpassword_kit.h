// What the adapter's tests share: a Corvane directory set up as the README
// tells administrators.
#ifndef TESTS_CHECKPASSWORD_KIT_H
#define TESTS_CHECKPASSWORD_KIT_H

#include <functional>
#include <pwd.h>

#include "tests/testkit.h"

namespace cpwkit
{

using namespace testkit;

// A Corvane in dir as the README says, for the user owner: dir owned by
// them, mode 0700, its files 0600. Module 1 is a new SQLite store that the
// legacy file of module 2 moves alice, bob, carol and dave into as they log
// in; module 3 checks erin from 127.0.0.1 only; module 4 (checking "crash")
// cannot run at all. The directory above dir is made passable for owner.
inline fs::path corvane_setup(const fs::path &dir, const std::string &owner = "root")
{
    fs::create_directories(dir);
    chmod(dir.parent_path().c_str(), 0711);
    fs::copy_file(EXAMPLES_DIR "/users.passwd", dir / "users.passwd");
    std::string file = "binary " + public_copy(MODULE_FILE_BIN) + " -file users.passwd -readonly\n";
    write_file(dir / "corvane.ini",
               "module 1\nbinary " + public_copy(MODULE_SQLITE_BIN) +
                   " -file users.db\ndo_set move_to\nmodule 2\n" + file +
                   "do_check move_from\ndo_set false\ncheck alice,bob,carol,dave\nmodule 3\n" +
                   file + "check erin\nip_match 127.0.0.1\nmodule 4\nbinary /bin/false\n" +
                   "check crash\n");
    const passwd *pw = getpwnam(owner.c_str());
    for (const fs::path &p : {dir, dir / "corvane.ini", dir / "users.passwd"}) {
        EXPECT_TRUE(pw && chown(p.c_str(), pw->pw_uid, pw->pw_gid) == 0) << owner;
        chmod(p.c_str(), p == dir ? 0700 : 0600);
    }
    return dir;
}

} // namespace cpwkit

#endif
