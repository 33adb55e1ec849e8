// The daemon's test fixture: the built corvane as a supervisor over a
// scripted module, in a private directory, spoken to over its socket.
#ifndef TESTS_DAEMON_KIT_H
#define TESTS_DAEMON_KIT_H

#include "tests/testkit.h"

namespace testkit
{

const std::string Script = "lookup slow\t!sleep 30000 ;; +OK late\nlookup\t+OK $0\n"
                           "set\t+OK set $2\ndel\t+OK del $2\nsearch\t!data 20000 " +
                           std::string(100, 'x') + " ;; +OK 1 1\n";

const uid_t Nobody = 65534;
const std::string AsNobody = "setpriv --reuid=nobody --regid=nogroup --clear-groups";

// What fd gives until its end (then it is closed) or until `lines` lines
// came, waiting at most 60 s for each part.
inline std::string read_all(int fd, int lines = -1)
{
    std::string got;
    char bf[65536];
    for (pollfd p = {fd, POLLIN, 0}; count(got, "\n") != lines && poll(&p, 1, 60000) > 0;) {
        ssize_t n = read(fd, bf, lines < 0 ? sizeof bf : 1);
        if (n <= 0) break;
        got.append(bf, (size_t)n);
    }
    if (lines < 0) close(fd);
    return got;
}

// Sends text, ends the input and answers the reply lines ("<eof>" for none).
inline Lines session(const std::string &sock, const std::string &text)
{
    int fd = socket_at(sock, text);
    shutdown(fd, SHUT_WR);
    Lines lines = fd < 0 ? Lines() : lines_of(read_all(fd));
    return lines.empty() ? Lines{"<eof>"} : lines;
}

class Daemon : public CorvaneDir
{
  protected:
    std::string sock = tmp.at("s");
    Server daemon;

    void SetUp() override { chmod(tmp.path.c_str(), 0755); } // open to the peers of other users
    // The module program is a copy that any user may run.
    void config(const std::string &globals, const std::string &script = Script)
    {
        // Put in place whole: a worker of the last reload may be starting its
        // module just now, and must not read half a script.
        write("m.script~", script);
        fs::rename(dir / "m.script~", dir / "m.script");
        write("corvane.ini", "loglevel info\n" + globals + "\nmodule 1\nbinary " +
                                 public_copy(TEST_PROGS_DIR "/scriptmod") + " " +
                                 tmp.at("m.script") + " " + tmp.at("m.req"));
    }
    // Starts the daemon in its directory as "-path ." (on a socket handed
    // over, when >= 0), with a descriptor limit of 256; true once it answers.
    bool launch(int handed = -1)
    {
        return daemon.start(
            {"/bin/sh", "-c", "cd \"$0\" && ulimit -S -n 256 && exec \"$1\" -path . -listen \"$2\"",
             tmp.path, public_copy(CORVANE_BIN), sock},
            dir / "out", [&] { return session(sock, "")[0] == "+OK bye"; }, // and no longer held
            handed);
    }
    std::string log_file = "corvane.log";
    bool logged(const std::string &text, const std::string &file = "")
    {
        return eventually(
            [&] { return contains(read_file(dir / (file.empty() ? log_file : file)), text); });
    }
    std::vector<pid_t> workers() { return children(daemon.pid); }
    void reload(const std::string &globals, const std::string &script = Script)
    {
        // Done when the new workers serve (or the file was refused), so that
        // no old worker answers what follows.
        auto done = [&] {
            std::string log = read_file(dir / log_file);
            return count(log, "Reloaded: the new workers serve") + count(log, "Reload refused");
        };
        config(globals, script);
        int before = done();
        kill(daemon.pid, SIGHUP);
        EXPECT_TRUE(eventually([&] { return done() > before; }));
    }
    // SIGTERM: the daemon ends with status 0, its socket is gone (unless
    // handed over) and no process of it is left.
    void stop(bool handed = false)
    {
        EXPECT_EQ(0, daemon.stop());
        EXPECT_EQ(handed, fs::exists(sock));
        EXPECT_EQ(0, leftovers(tmp.path, 60000));
    }
    // Standard output of corvane -connect with the words after, run by
    // setpriv with the words of as (empty: by us).
    std::string connect_run(const std::string &as, const Lines &after, const std::string &input)
    {
        Lines argv = fields(as);
        argv.insert(argv.end(), {public_copy(CORVANE_BIN), "-connect", sock});
        argv.insert(argv.end(), after.begin(), after.end());
        return testkit::run({.argv = argv, .input = input}).out;
    }
};

} // namespace testkit

#endif
