// Test helpers for corvane-checkpassword: a Corvane set up over the
// password-file module or as the shipped migration, and a module asked
// directly.
#ifndef TESTS_CHECKPASSWORD_KIT_H
#define TESTS_CHECKPASSWORD_KIT_H

#include "tests/testkit.h"

namespace cpwkit
{

using namespace testkit;

// A Corvane over the password-file module in dir, with the example users
// (examples/users.passwd):
//   module 1 checks alice, bob, carol and dave from anywhere;
//   module 2 checks erin, but only for the client address 127.0.0.1;
//   module 3 checks ghost in a store that does not exist: a dead module.
// Other users are checked by no module.
inline void corvane_setup(const fs::path &dir)
{
    fs::copy_file(EXAMPLES_DIR "/users.passwd", dir / "users.passwd",
                  fs::copy_options::overwrite_existing);
    auto binary = [](const fs::path &store) {
        return "binary " MODULE_FILE_BIN " -file " + store.string() + " -readonly\n";
    };
    std::string ini = "module 1\n" + binary(dir / "users.passwd") + "check alice,bob,carol,dave\n";
    ini += "module 2\n" + binary(dir / "users.passwd") + "check erin\nip_match 127.0.0.1\n";
    ini += "module 3\n" + binary(dir / "missing" / "users.passwd") + "check ghost\n";
    write_file(dir / "corvane.ini", ini);
}

// The example migration (examples/corvane.ini) in dir, its module
// programs taken from this build. Its stores are named relative to dir.
inline void migration_setup(const fs::path &dir)
{
    fs::copy_file(EXAMPLES_DIR "/users.passwd", dir / "users.passwd",
                  fs::copy_options::overwrite_existing);
    std::string ini = read_file(EXAMPLES_DIR "/corvane.ini");
    ini = replace_all(ini, "/usr/local/libexec/corvane-sqlite", MODULE_SQLITE_BIN);
    ini = replace_all(ini, "/usr/local/libexec/corvane-file", MODULE_FILE_BIN);
    write_file(dir / "corvane.ini", ini);
}

// Asks a module program directly, in dir: its reply to request.
inline std::string ask_module(const std::string &module, const fs::path &dir,
                              const std::string &store, const std::string &request)
{
    Spec s;
    s.argv = {module, "-file", store};
    s.input = request + "\nquit\n";
    s.cwd = dir.string();
    Outcome r = run(s);
    return r.out.substr(0, r.out.find('\n'));
}

// True when program can be run by us.
inline bool have_program(const char *path)
{
    return access(path, X_OK) == 0;
}

} // namespace cpwkit

#endif
