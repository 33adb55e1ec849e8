// Corvane behind Linux-PAM: each test writes a PAM service of a unique name
// whose auth stack is pam_exec with corvane-checkpassword --pam, asks it
// with pamtester, and removes the service file whatever happens.
#include <gtest/gtest.h>

#include <string>

#include "checkpassword_kit.h"

using namespace cpwkit;

namespace
{

const char *const PamDir = "/etc/pam.d";

std::string find_pamtester()
{
    for (const char *p : {"/usr/bin/pamtester", "/usr/local/bin/pamtester", "/bin/pamtester"})
        if (have_program(p)) return p;
    return "";
}

// One PAM service file, gone with the object.
struct PamService {
    std::string name;
    fs::path file;
    explicit PamService(const std::string &auth_line)
    {
        static int serial = 0;
        name = "corvane-test-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
        file = fs::path(PamDir) / name;
        write_file(file, "# made by Corvane's tests; removed when they end\n" + auth_line + "\n");
    }
    PamService(const PamService &) = delete;
    PamService &operator=(const PamService &) = delete;
    ~PamService()
    {
        std::error_code ec;
        fs::remove(file, ec);
    }
};

struct CheckpasswordPam : ::testing::Test {
    TempDir t;
    std::string pamtester = find_pamtester();

    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "not run as root: cannot write a service file into " << PamDir;
        if (pamtester.empty()) GTEST_SKIP() << "pamtester is not installed (.ci/run installs it)";
        if (!fs::is_directory(PamDir)) GTEST_SKIP() << PamDir << " does not exist";
        corvane_setup(t.path);
    }

    // The one-line entry of the adapter's manual page.
    std::string auth_line() const
    {
        return std::string("auth required pam_exec.so expose_authtok quiet ") + ADAPTER_BIN +
               " --pam --corvane " + CORVANE_BIN + " --path " + t.path;
    }

    // pamtester's authenticate of user with password typed at its prompt,
    // with the client's host name rhost when given; true when it succeeds.
    bool authenticate(const PamService &s, const std::string &user, const std::string &password,
                      const std::string &rhost = "")
    {
        Spec spec;
        spec.argv = {pamtester};
        if (!rhost.empty()) {
            spec.argv.push_back("-I");
            spec.argv.push_back("rhost=" + rhost);
        }
        for (const std::string &w : {s.name, user, std::string("authenticate")})
            spec.argv.push_back(w);
        spec.input = password + "\n";
        Outcome r = run(spec);
        EXPECT_FALSE(r.timed_out) << user;
        // pam_exec makes every non-zero exit a "System error": a refusal
        // and a Corvane that cannot answer look the same to the caller.
        bool ok = r.status == 0 &&
                  (r.out + r.err).find("successfully authenticated") != std::string::npos;
        EXPECT_TRUE(ok || r.status > 0) << r.status << "\n" << r.out << r.err;
        return ok;
    }
};

TEST_F(CheckpasswordPam, RightPasswordAuthenticatesWrongOneDoesNot)
{
    PamService s(auth_line());
    EXPECT_TRUE(authenticate(s, "alice", "wonderland"));
    EXPECT_FALSE(authenticate(s, "alice", "builder"));
    EXPECT_FALSE(authenticate(s, "zed", "wonderland"));
    EXPECT_FALSE(authenticate(s, "ghost", "boo")); // a dead module
    EXPECT_FALSE(authenticate(s, "alice", ""));
    EXPECT_TRUE(authenticate(s, "dave", "dave-pass"));
}

TEST_F(CheckpasswordPam, RemoteHostReachesCorvane)
{
    PamService s(auth_line()); // erin only from 127.0.0.1
    EXPECT_TRUE(authenticate(s, "erin", "erin2001", "127.0.0.1"));
    EXPECT_FALSE(authenticate(s, "erin", "erin2001", "127.0.0.2"));
    EXPECT_FALSE(authenticate(s, "erin", "erin2001"));
}

} // namespace
