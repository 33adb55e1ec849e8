// Corvane behind a real Dovecot: a private Dovecot (its own directories,
// no protocols, nothing but 127.0.0.1, its users as shipped) whose auth
// configuration is the shipped conf.d snippet, over a Corvane directory
// owned as the README says, asked with `doveadm auth test`.
#include "checkpassword_kit.h"

using namespace cpwkit;

TEST(CheckpasswordDovecot, ShippedSnippetChecksMovesAndTellsOutagesApart)
{
    std::string dovecot = find_program("dovecot"), doveadm = find_program("doveadm");
    if (dovecot.empty() || doveadm.empty()) GTEST_SKIP() << "no Dovecot (.ci/run installs it)";
    TempDir t;
    fs::path corvane = corvane_setup(t / "corvane", "dovecot");
    std::string conf = write_file(
        t / "dovecot.conf", "base_dir = " + t.file("run") + "\nstate_dir = " + t.file("state") +
                                "\nlog_path = " + t.file("dovecot.log") +
                                "\nprotocols =\nlisten = 127.0.0.1\nssl = no\n"
                                // The sanitizers reserve more address space than allowed.
                                "default_vsz_limit = 0\nauth_failure_delay = 0\n" +
                                example("dovecot/auth-corvane.conf.ext", corvane));
    Server server;
    ASSERT_EQ(server.start({dovecot, "-F", "-c", conf}, t / "dovecot.err",
                           [&] { return fs::exists(t / "run" / "auth-client"); }),
              "");
    struct {
        const char *user, *password, *rip, *verdict;
    } cases[] = {
        {"alice", "wonderland", "", "auth succeeded"}, // moved into users.db
        {"alice", "builder", "", "auth failed"},
        {"zed", "wonderland", "", "auth failed"},
        {"alice", "wonder land", "", "auth failed"}, // refused before Corvane
        {"erin", "erin2001", "127.0.0.1", "auth succeeded"},
        {"erin", "erin2001", "127.0.0.2", "auth failed"},
        {"crash", "x", "", "temp_fail"}, // a module that cannot run
        {"alice", "wonderland", "", "auth succeeded"},
    };
    for (const auto &c : cases) {
        Spec s;
        s.argv = {doveadm,      "-c",      conf,
                  "auth",       "test",    "-x",
                  "no-penalty", "-x",      std::string("rip=") + (*c.rip ? c.rip : "192.0.2.1"),
                  c.user,       c.password};
        Outcome r = run(s);
        EXPECT_TRUE(contains(r.out, c.verdict))
            << c.user << " " << c.password << " " << c.rip << "\n"
            << r.out << read_file(t / "dovecot.log");
    }
    // The migration worked as the user Dovecot runs the adapter as.
    Spec s;
    s.argv = {MODULE_SQLITE_BIN, "-file", (corvane / "users.db").string()};
    s.input = "check alice wonderland\nquit\n";
    EXPECT_TRUE(run(s).out.starts_with("+OK alice sqlite")) << read_file(corvane / "corvane.log");
}
