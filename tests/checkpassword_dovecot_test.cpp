// Corvane behind a real Dovecot: each test starts a private Dovecot (its
// own base, state and log directories under a temporary directory, no
// protocols, nothing but 127.0.0.1) whose passdb is checkpassword with
// corvane-checkpassword over a Corvane, asks it with `doveadm auth test`,
// and stops it again whatever happens.
#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <string>
#include <vector>

#include "checkpassword_kit.h"

using namespace cpwkit;

namespace
{

// The first of the usual places that holds program name, or "".
std::string find_program(const char *name)
{
    for (const char *dir :
         {"/usr/sbin", "/usr/bin", "/sbin", "/bin", "/usr/local/sbin", "/usr/local/bin"}) {
        std::string p = std::string(dir) + "/" + name;
        if (have_program(p.c_str())) return p;
    }
    return "";
}

enum Verdict { Succeeded, Failed, TempFailed, Broken };

const char *verdict_name(Verdict v)
{
    return v == Succeeded    ? "succeeded"
           : v == Failed     ? "failed"
           : v == TempFailed ? "tempfail"
                             : "broken";
}

// A private Dovecot, run in the foreground as our child in its own process
// group, so that stopping it can leave nothing behind.
struct Dovecot {
    std::string dovecot = find_program("dovecot");
    std::string doveadm = find_program("doveadm");
    fs::path dir, conf;
    pid_t pid = -1;

    Dovecot() = default;
    Dovecot(const Dovecot &) = delete;
    Dovecot &operator=(const Dovecot &) = delete;
    ~Dovecot() { stop(); }

    // Why the test cannot run here, or "" when it can.
    std::string unusable()
    {
        if (dovecot.empty() || doveadm.empty())
            return "Dovecot is not installed (.ci/run installs dovecot-core)";
        Spec s;
        s.argv = {dovecot, "--version"};
        s.limit_ms = 30000;
        std::string v = run(s).out;
        if (v.rfind("2.3.", 0) != 0)
            return "Dovecot " + v.substr(0, v.find('\n')) +
                   " reads another configuration syntax "
                   "than the 2.3 one written here";
        return "";
    }

    // Writes the configuration into dir, with passdb_args as the
    // checkpassword command line, and starts Dovecot. "" when it serves,
    // else what went wrong.
    std::string start(const fs::path &d, const std::string &passdb_args)
    {
        dir = d;
        conf = dir / "dovecot.conf";
        for (const char *sub : {"run", "state", "home"}) fs::create_directories(dir / sub);
        const passwd *pw = getpwuid(geteuid());
        const group *gr = getgrgid(getegid());
        if (!pw || !gr) return "cannot name the current user and group";
        std::string user = pw->pw_name, grp = gr->gr_name;
        write_file(conf, "base_dir = " + (dir / "run").string() + "\n" +
                             "state_dir = " + (dir / "state").string() + "\n" +
                             "log_path = " + (dir / "dovecot.log").string() + "\n" +
                             "info_log_path = " + (dir / "dovecot.log").string() + "\n" +
                             "protocols =\n"
                             "listen = 127.0.0.1\n"
                             "ssl = no\n"
                             "default_internal_user = " +
                             user + "\n" + "default_internal_group = " + grp + "\n" +
                             "default_login_user = " + user + "\n" +
                             // The sanitizers of a test build reserve more
                             // address space than Dovecot's default limit.
                             "default_vsz_limit = 0\n"
                             "auth_mechanisms = plain\n"
                             "auth_failure_delay = 0\n"
                             "auth_verbose = yes\n"
                             "passdb {\n"
                             "  driver = checkpassword\n"
                             "  args = " +
                             passdb_args + "\n" +
                             "}\n"
                             "userdb {\n"
                             "  driver = static\n"
                             "  args = uid=" +
                             std::to_string(pw->pw_uid) + " gid=" + std::to_string(gr->gr_gid) +
                             " home=" + (dir / "home").string() + "\n" + "}\n");
        pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            int null = open("/dev/null", O_RDWR);
            int err = open((dir / "dovecot.stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(null, 0);
            dup2(null, 1);
            dup2(err, 2);
            close_range(3, ~0U, 0);
            execl(dovecot.c_str(), dovecot.c_str(), "-F", "-c", conf.c_str(), (char *)nullptr);
            _exit(127);
        }
        if (pid < 0) return "cannot fork";
        setpgid(pid, pid);
        // It serves once its master has made the authentication socket.
        for (int waited = 0; waited < 30000; waited += 50) {
            if (fs::exists(dir / "run" / "auth-client")) return "";
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return "Dovecot ended at start:\n" + read_file(dir / "dovecot.stderr") +
                       read_file(dir / "dovecot.log");
            }
            usleep(50000);
        }
        return "Dovecot made no authentication socket within 30 s:\n" + log();
    }

    // Stops Dovecot and everything it started; bounded in time.
    void stop()
    {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        bool ended = false;
        for (int waited = 0; waited < 15000 && !ended; waited += 50) {
            ended = waitpid(pid, nullptr, WNOHANG) == pid;
            if (!ended) usleep(50000);
        }
        kill(-pid, SIGKILL); // anything of its group still left
        if (!ended) waitpid(pid, nullptr, 0);
        pid = -1;
    }

    std::string log() const { return read_file(dir / "dovecot.log"); }

    // `doveadm auth test` of user and password, from address rip when given.
    Verdict auth(const std::string &user, const std::string &password, const std::string &rip = "")
    {
        Spec s;
        // Without no-penalty every failure would slow the next request down.
        s.argv = {doveadm, "-c", conf.string(), "auth", "test", "-x", "no-penalty"};
        if (!rip.empty()) {
            s.argv.push_back("-x");
            s.argv.push_back("rip=" + rip);
        }
        s.argv.push_back(user);
        s.argv.push_back(password);
        Outcome r = run(s);
        if (r.status == 0 && r.out.find("auth succeeded") != std::string::npos) return Succeeded;
        if (r.status == 0 || r.out.find("auth failed") == std::string::npos) {
            ADD_FAILURE() << "doveadm: " << r.status << "\n" << r.out << r.err;
            return Broken;
        }
        return r.out.find("temp_fail") != std::string::npos ? TempFailed : Failed;
    }
};

struct CheckpasswordDovecot : ::testing::Test {
    TempDir t;
    Dovecot dovecot;
    fs::path corvane_dir = t / "corvane";

    void SetUp() override
    {
        std::string why = dovecot.unusable();
        if (!why.empty()) GTEST_SKIP() << why;
        fs::create_directory(corvane_dir);
    }

    // Starts Dovecot over the adapter over the Corvane in corvane_dir.
    void serve()
    {
        std::string args = std::string(ADAPTER_BIN) + " --corvane " + CORVANE_BIN + " --path " +
                           corvane_dir.string();
        std::string why = dovecot.start(t / "dovecot", args);
        ASSERT_EQ(why, "");
    }
};

#define EXPECT_AUTH(expected, ...)                                                                 \
    do {                                                                                           \
        Verdict v = dovecot.auth(__VA_ARGS__);                                                     \
        EXPECT_STREQ(verdict_name(v), verdict_name(expected)) << dovecot.log();                    \
    } while (0)

TEST_F(CheckpasswordDovecot, RightPasswordSucceedsOthersFail)
{
    corvane_setup(corvane_dir);
    ASSERT_NO_FATAL_FAILURE(serve());
    EXPECT_AUTH(Succeeded, "alice", "wonderland");
    EXPECT_AUTH(Succeeded, "bob", "builder");
    EXPECT_AUTH(Failed, "alice", "builder");
    EXPECT_AUTH(Failed, "zed", "wonderland");      // no module checks zed
    EXPECT_AUTH(Failed, "alice", "wonder land");   // a blank: refused before Corvane
    EXPECT_AUTH(Succeeded, "alice", "wonderland"); // and nothing stuck since
}

TEST_F(CheckpasswordDovecot, DeadModuleIsAnInternalFailure)
{
    corvane_setup(corvane_dir);
    ASSERT_NO_FATAL_FAILURE(serve());
    EXPECT_AUTH(TempFailed, "ghost", "boo");
    EXPECT_NE(dovecot.log().find("status 111"), std::string::npos) << dovecot.log();
    EXPECT_AUTH(Succeeded, "carol", "carols-secret");
}

TEST_F(CheckpasswordDovecot, MissingConfigurationIsAnInternalFailure)
{
    ASSERT_NO_FATAL_FAILURE(serve()); // corvane_dir holds no corvane.ini
    EXPECT_AUTH(TempFailed, "alice", "wonderland");
}

TEST_F(CheckpasswordDovecot, ClientAddressReachesCorvane)
{
    corvane_setup(corvane_dir); // erin only from 127.0.0.1
    ASSERT_NO_FATAL_FAILURE(serve());
    EXPECT_AUTH(Succeeded, "erin", "erin2001", "127.0.0.1");
    EXPECT_AUTH(Failed, "erin", "erin2001", "127.0.0.2");
    EXPECT_AUTH(Failed, "erin", "erin2001");
}

TEST_F(CheckpasswordDovecot, MigrationMovesTheUserIntoTheNewStore)
{
    migration_setup(corvane_dir);
    ASSERT_NO_FATAL_FAILURE(serve());
    EXPECT_AUTH(Succeeded, "alice", "wonderland");
    // The new store now holds alice under the right password, checked
    // there alone; bob, who has not logged in, is still only in the old one.
    std::string moved =
        ask_module(MODULE_SQLITE_BIN, corvane_dir, "users.db", "check alice wonderland");
    EXPECT_EQ(moved.rfind("+OK alice sqlite", 0), 0u) << moved;
    std::string wrong =
        ask_module(MODULE_SQLITE_BIN, corvane_dir, "users.db", "check alice builder");
    EXPECT_EQ(wrong.rfind("-ERR", 0), 0u) << wrong;
    std::string stay = ask_module(MODULE_SQLITE_BIN, corvane_dir, "users.db", "lookup bob");
    EXPECT_EQ(stay.rfind("-ERR", 0), 0u) << stay;
    // The moved user goes on logging in.
    EXPECT_AUTH(Succeeded, "alice", "wonderland");
    EXPECT_AUTH(Failed, "alice", "builder");
}

} // namespace
