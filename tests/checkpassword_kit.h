// What the adapter's tests share: a Corvane directory set up as the README
// tells administrators, the shipped client files pointed at this build, and
// a real server run as our child.
#ifndef TESTS_CHECKPASSWORD_KIT_H
#define TESTS_CHECKPASSWORD_KIT_H

#include <functional>
#include <pwd.h>

#include "tests/testkit.h"

namespace cpwkit
{

using namespace testkit;

// The first of the usual places that holds program name, or "".
inline std::string find_program(const std::string &name)
{
    for (const char *dir : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"})
        if (access((dir + name).c_str(), X_OK) == 0) return dir + name;
    return "";
}

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
    std::string file = std::string("binary ") + MODULE_FILE_BIN + " -file users.passwd -readonly\n";
    write_file(dir / "corvane.ini",
               std::string("module 1\nbinary ") + MODULE_SQLITE_BIN +
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

// The shipped file examples/name, pointed at this build and at dir.
inline std::string example(const std::string &name, const fs::path &dir)
{
    std::string text = read_file(EXAMPLES_DIR "/" + name);
    EXPECT_TRUE(contains(text, "/usr/local/bin/corvane-checkpassword")) << name;
    text = replace_all(text, "/usr/local/bin/corvane-checkpassword",
                       std::string(ADAPTER_BIN) + " --corvane " + CORVANE_BIN);
    return replace_all(text, "/usr/local/etc/corvane", dir.string());
}

// A server run in the foreground as our child, in a process group of its
// own, so that stopping it leaves nothing behind.
struct Server {
    pid_t pid = -1;
    Server() = default;
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;
    ~Server() { stop(); }

    // Starts argv with its standard error in errors, and waits up to 30 s
    // for ready(): "" once it holds, else what went wrong.
    std::string start(std::vector<std::string> argv, const fs::path &errors,
                      const std::function<bool()> &ready)
    {
        pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            int fd = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 1);
            dup2(fd, 2);
            close_range(3, ~0U, 0);
            execv(argv[0].c_str(), c_strings(argv).data());
            _exit(127);
        }
        setpgid(pid, pid);
        for (int waited = 0; waited < 30000; waited += 50) {
            if (ready()) return "";
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return argv[0] + " ended at start:\n" + read_file(errors);
            }
            usleep(50000);
        }
        return argv[0] + " not ready within 30 s:\n" + read_file(errors);
    }

    void stop()
    {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        bool ended = false;
        for (int waited = 0; waited < 15000 && !ended; waited += 50)
            if (!(ended = waitpid(pid, nullptr, WNOHANG) == pid)) usleep(50000);
        kill(-pid, SIGKILL); // anything of its group still left
        if (!ended) waitpid(pid, nullptr, 0);
        pid = -1;
    }
};

} // namespace cpwkit

#endif
