// Corvane behind Linux-PAM: the shipped service file (examples/pam.d),
// pointed at this build, installed under a unique name and asked with
// pamtester; pam_exec runs the adapter as root, as pamtester runs.
#include "checkpassword_kit.h"

using namespace cpwkit;

TEST(CheckpasswordPam, ShippedServiceFileAuthenticates)
{
    std::string pamtester = find_program("pamtester");
    if (pamtester.empty()) GTEST_SKIP() << "no pamtester (.ci/run installs it)";
    ASSERT_EQ(geteuid(), 0u) << "a service file goes into /etc/pam.d";
    TempDir t;
    fs::path corvane = corvane_setup(t / "corvane");
    std::string service = "corvane-test-" + std::to_string(getpid());
    std::string file = write_file("/etc/pam.d/" + service, example("pam.d/corvane", corvane));
    struct {
        const char *user, *password, *rhost;
        bool ok;
    } cases[] = {
        {"alice", "wonderland", "", true},
        {"alice", "builder", "", false},
        {"zed", "wonderland", "", false},
        {"alice", "", "", false},
        {"erin", "erin2001", "127.0.0.1", true},
        {"erin", "erin2001", "127.0.0.2", false},
        {"erin", "erin2001", "127.0.0.1,10.0.0.1", false},
        {"dave", "dave-pass", "", true},
    };
    for (const auto &c : cases) {
        Spec s;
        s.argv = {pamtester, "-I",   std::string("rhost=") + c.rhost,
                  service,   c.user, "authenticate"};
        s.input = c.password + std::string("\n");
        Outcome r = run(s);
        EXPECT_EQ(contains(r.out + r.err, "successfully authenticated"), c.ok)
            << c.user << " " << c.password << " " << c.rhost << "\n"
            << r.out << r.err;
    }
    fs::remove(file);
}
