// Tests of the child process channel with real child processes.
#include "adt/spawn.h"

#include "adt/lib.h"
#include "tests/testkit.h"

#include <sys/resource.h>

using namespace adt;
using namespace testkit;

namespace
{

const std::string Child = std::string(TEST_PROGS_DIR) + "/spawn_child";
const int Long = 20000; // a time-out no test should ever wait out

// A child's exit-time handlers leave this file behind; the channel's children
// must never run them.
std::string AtexitMarker;
pid_t TestPid;
void mark_foreign_exit()
{
    if (getpid() != TestPid && !AtexitMarker.empty()) {
        FILE *f = fopen(AtexitMarker.c_str(), "w");
        if (f) fclose(f);
    }
}

double ms_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

// Waits up to a generous bound until pid has ended, without reaping it;
// 1 when it has.
int wait_ended(pid_t pid, int *status)
{
    auto start = std::chrono::steady_clock::now();
    while (ms_since(start) < Long) {
        siginfo_t info{};
        if (waitid(P_PID, pid, &info, WEXITED | WNOWAIT | WNOHANG) != 0) return 0;
        if (info.si_pid == pid) {
            if (status) *status = info.si_status;
            return 1;
        }
        my_msleep(5);
    }
    return 0;
}

class SpawnTest : public ::testing::Test
{
  protected:
    void SetUp() override { ASSERT_TRUE(testlog.open("spawn.log")); }

    void TearDown() override
    {
        for (pSpawn &x : records) spawn_free(&x, 0);
        for (pid_t pid : stray) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        AtexitMarker.clear();
    }

    // A started record of command, freed after the test.
    pSpawn start(const std::string &command)
    {
        pSpawn x = spawn_init(-1, -1);
        EXPECT_NE(x, nullptr);
        spawn_copy_env(x, environ);
        EXPECT_EQ(spawn_start(x, command.c_str()), 1);
        records.push_back(x);
        return x;
    }

    // How often the log mentions text.
    int count(const std::string &text) { return testkit::count(testlog.text(), text); }

    // "N LINE" for a line of N characters from x, or the bare result of a
    // failed read.
    std::string gets(pSpawn x, int timeout = Long, int bfsz = 1000, int *avail = nullptr)
    {
        char line[1000] = "";
        int n = spawn_gets(x, line, bfsz, avail, timeout);
        return n < 0 ? std::to_string(n) : std::to_string(n) + " " + line;
    }

    // Reads raw bytes from x until want bytes came or the child went silent.
    std::string read_raw(pSpawn x, size_t want)
    {
        std::string got;
        char bf[4096];
        while (got.size() < want) {
            struct pollfd p = {x->out, POLLIN, 0};
            if (poll(&p, 1, Long) <= 0) break;
            int n = spawn_read(x, bf, sizeof bf);
            if (n <= 0) break;
            got.append(bf, n);
        }
        return got;
    }

    TestLog testlog;
    std::vector<pSpawn> records;
    std::vector<pid_t> stray; // children left running on purpose
};

TEST_F(SpawnTest, NewRecordAndNullArguments)
{
    pSpawn x = spawn_init(-1, -1);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->envsz, 40);
    EXPECT_EQ(x->envi, 0);
    EXPECT_EQ(spawn_get_pid(x), 0);
    spawn_free(&x, 0);
    EXPECT_EQ(x, nullptr);
    EXPECT_EQ(spawn_get_pid(nullptr), -1);
    spawn_free(nullptr, 0);
    spawn_free(&x, 0);
    spawn_kill(nullptr);
    spawn_clrenv(nullptr);
    spawn_copy_env(nullptr, environ);

    x = spawn_init(-1, -1);
    records.push_back(x);
    char bf[10];
    EXPECT_EQ(spawn_peek(nullptr), -1);
    // Each refusal, the log line it leaves, and how often that line is there in the end.
    struct Case {
        int got, want;
        const char *message;
        int times;
    } cases[] = {
        {spawn_read(nullptr, bf, sizeof bf), 0, "Spawn: No process to read from", 2},
        {spawn_gets(nullptr, bf, sizeof bf, nullptr, 0), -1, "Spawn: No process to read from", 2},
        {spawn_write(nullptr, "a", 1), 0, "Spawn: No process to write to", 1},
        {spawn_start(nullptr, "/bin/cat"), 0, "Spawn: Cannot execute[NULL]", 2},
        {spawn_start(x, nullptr), 0, "Spawn: Cannot execute[NULL]", 2},
        {spawn_read(x, nullptr, 10), 0, "Spawn: No buffer to read into", 1},
        {spawn_write(x, nullptr, 10), 0, "Spawn: No data to write", 1},
        {spawn_gets(x, nullptr, 10, nullptr, 0), -1, "Spawn: No buffer to write to", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(c.got, c.want);
        EXPECT_EQ(count(c.message), c.times);
    }
    EXPECT_EQ(spawn_printf(nullptr, "a"), 0);
    EXPECT_EQ(spawn_printf(x, nullptr), 0);
    spawn_kill(x); // no child: nothing happens
    EXPECT_EQ(x->pid, 0);

    char text[1000];
    errno = ENOENT;
    EXPECT_STREQ(spawn_error(text, sizeof text), strerror(ENOENT));
    char small[5];
    errno = ENOENT;
    EXPECT_EQ(spawn_error(small, sizeof small), small);
    EXPECT_EQ(std::string(small), std::string(strerror(ENOENT)).substr(0, 4));
}

TEST_F(SpawnTest, EnvironmentCopies)
{
    pSpawn x = spawn_init(-1, -1);
    records.push_back(x);
    const char *none[] = {nullptr};
    spawn_copy_env(x, none);
    EXPECT_EQ(x->envi, 0);
    EXPECT_EQ(x->envsz, 40);
    ASSERT_EQ(spawn_start(x, (Child + " env").c_str()), 1);
    EXPECT_EQ(gets(x), "3 END"); // the child saw an empty environment

    std::vector<std::string> texts;
    for (int i = 0; i < 50; i++)
        texts.push_back("VAR" + std::to_string(i) + "=value " + std::to_string(i));
    std::vector<const char *> fifty;
    for (const std::string &t : texts) fifty.push_back(t.c_str());
    fifty.push_back(nullptr);
    pSpawn y = spawn_init(-1, -1);
    records.push_back(y);
    spawn_copy_env(y, fifty.data());
    EXPECT_EQ(y->envi, 50);
    EXPECT_EQ(y->envsz, 60);
    for (int i = 50; i < 60; i++) EXPECT_EQ(y->env[i], nullptr);
    ASSERT_EQ(spawn_start(y, (Child + " env").c_str()), 1);
    for (int i = 0; i < 50; i++)
        EXPECT_EQ(gets(y), std::to_string(texts[i].size()) + " " + texts[i]);
    EXPECT_EQ(gets(y), "3 END");

    // A later copy replaces the strings; the capacity stays.
    const char *two[] = {"A=1", "B=2", nullptr};
    spawn_copy_env(y, two);
    EXPECT_EQ(y->envi, 2);
    EXPECT_EQ(y->envsz, 60);
    EXPECT_STREQ(y->env[1], "B=2");
    EXPECT_EQ(y->env[2], nullptr);
    spawn_clrenv(y);
    EXPECT_EQ(y->envi, 0);
    EXPECT_EQ(y->env[0], nullptr);

    // Forty entries need a forty-first slot for the null entry.
    std::vector<const char *> forty(fifty.begin(), fifty.begin() + 40);
    forty.push_back(nullptr);
    pSpawn z = spawn_init(-1, -1);
    records.push_back(z);
    spawn_copy_env(z, forty.data());
    EXPECT_EQ(z->envsz, 60);
    EXPECT_EQ(z->env[40], nullptr);
}

TEST_F(SpawnTest, SplittingCommandLines)
{
    char *args[100];
    EXPECT_EQ(make_args("/bin/prog  one\t\ttwo \r\n", args, 100), 3);
    EXPECT_STREQ(args[0], "/bin/prog");
    EXPECT_STREQ(args[1], "one");
    EXPECT_STREQ(args[2], "two");
    EXPECT_EQ(args[3], nullptr);
    EXPECT_EQ(count("Spawn: arg1(one)"), 1);
    free_args(args);
    EXPECT_EQ(args[0], nullptr);

    EXPECT_GE(make_args(" /bin/prog", args, 100), 1);
    ASSERT_NE(args[0], nullptr);
    EXPECT_STREQ(args[0], ""); // a leading blank gives an empty program path
    free_args(args);

    std::string words;
    // Appended piece by piece: GCC 12 misreports the concatenated
    // temporary in release builds.
    for (int i = 0; i < 99; i++) words.append("w").append(std::to_string(i)).append(" ");
    EXPECT_EQ(make_args(words.c_str(), args, 100), 99);
    EXPECT_EQ(count("Spawn: make_args: 99 >= 99"), 1);
    EXPECT_STREQ(args[97], "w97");
    EXPECT_EQ(args[98], nullptr);
    free_args(args);

    for (int i = 99; i < 150; i++) words.append("w").append(std::to_string(i)).append(" ");
    EXPECT_EQ(make_args(words.c_str(), args, 100), 100);
    EXPECT_EQ(count("Spawn: make_args: 100 >= 99"), 1);
    EXPECT_EQ(args[98], nullptr);
    free_args(args);

    EXPECT_EQ(make_args(nullptr, args, 100), 0);
    EXPECT_EQ(args[0], nullptr);
    free_args(nullptr);
}

TEST_F(SpawnTest, TooManyWordsStartTheFirst98)
{
    std::string command = Child + " args";
    for (int i = 2; i < 120; i++) command += " x" + std::to_string(i);
    EXPECT_EQ(gets(start(command)), "6 98 x97");
    EXPECT_EQ(count("Spawn: make_args: 100 >= 99"), 1);
    EXPECT_EQ(count("Spawn: arg97(x97)"), 1);
    EXPECT_EQ(count("Spawn: arg98("), 0);
}

TEST_F(SpawnTest, ProgramThatCannotRunEndsQuietly)
{
    TestPid = getpid();
    AtexitMarker = testlog.dir.file("atexit");
    static bool registered = false;
    if (!registered) atexit(mark_foreign_exit);
    registered = true;

    const std::string command = testlog.dir.file("no-such-program") + " --flag";
    pSpawn x = start(command);
    int pid = spawn_get_pid(x);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(count("Spawn: Execute [" + command + "]"), 1);
    EXPECT_EQ(count("Spawn: Process pid[" + std::to_string(pid) + "][" + command + "]"), 1);
    int status = -1;
    ASSERT_TRUE(wait_ended(pid, &status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(count("[" + std::to_string(pid) + "] Error: Spawn: Error executing '" + command +
                    "', " + strerror(ENOENT)),
              1);
    EXPECT_NE(access(AtexitMarker.c_str(), F_OK), 0) << "the child ran exit-time handlers";
    EXPECT_EQ(gets(x), "-1");
    EXPECT_EQ(count("Spawn: read 0 bytes"), 1);

    // An ended child is reaped by the first wait: no retry lines.
    spawn_kill(x);
    EXPECT_EQ(x->pid, 0);
    EXPECT_EQ(count("Spawn: Waitpid"), 0);
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
}

TEST_F(SpawnTest, LinesAreSplitFromTheBuffer)
{
    pSpawn x = start("/bin/cat");
    ASSERT_EQ(spawn_write(x, "one\ntwo22\n", 10), 10);
    EXPECT_EQ(count("Spawn: Written [" + std::to_string(x->pid) + "] 10 bytes"), 1);
    int avail = -1;
    EXPECT_EQ(gets(x, Long, 1000, &avail), "3 one");
    EXPECT_EQ(avail, 6);
    EXPECT_EQ(gets(x, Long, 1000, &avail), "5 two22");
    EXPECT_EQ(avail, 0);
    EXPECT_EQ(count("Spawn: Read ["), 1); // the second line came from the buffer
    EXPECT_EQ(count("Spawn: Read [" + std::to_string(x->pid) + "] 10 bytes"), 1);
    EXPECT_EQ(count("Spawn: gets read (two22)"), 1);

    // One carriage return before the line feed is removed, no more.
    const char text[] = "abc\r\n\r\n\nabc\r\r\n";
    ASSERT_EQ(spawn_write(x, text, sizeof text - 1), static_cast<int>(sizeof text - 1));
    for (const char *want : {"3 abc", "0 ", "0 ", "4 abc\r"}) EXPECT_EQ(gets(x), want);

    // A line longer than the caller's buffer is refused and stays.
    ASSERT_GT(spawn_printf(x, "0123456789"), 0);
    EXPECT_EQ(gets(x, Long, 10, &avail), "-1");
    EXPECT_EQ(avail, 10);
    EXPECT_EQ(count("Spawn: Line is too long for input buffer"), 1);
    EXPECT_EQ(gets(x, Long, 11, &avail), "10 0123456789");
    EXPECT_EQ(avail, 0);
}

TEST_F(SpawnTest, LineInPieces)
{
    pSpawn x = start("/bin/cat");
    ASSERT_EQ(spawn_write(x, "ab", 2), 2);
    // The piece comes within the time-out, the line does not; the piece stays held.
    EXPECT_EQ(gets(x, 100), "-1");
    EXPECT_EQ(count(" >= 100 Timed out reading"), 1);
    EXPECT_EQ(x->inbytes, 2);
    ASSERT_EQ(spawn_write(x, "cd\n", 3), 3);
    EXPECT_EQ(gets(x), "4 abcd");

    pSpawn y = start(Child + " pieces");
    ASSERT_GT(spawn_printf(y, "hello there, world"), 0);
    EXPECT_EQ(gets(y), "18 hello there, world");
    EXPECT_EQ(count("Timed out"), 1); // only the one above
}

TEST_F(SpawnTest, LongestLine)
{
    pSpawn x = start("/bin/cat");
    std::string longest(997, 'x');
    ASSERT_EQ(spawn_printf(x, "%s", longest.c_str()), 998);
    EXPECT_EQ(gets(x), "997 " + longest);

    // One more and the buffer fills without a line feed: the record is stuck.
    std::string over = std::string(998, 'y') + "\n";
    ASSERT_EQ(spawn_write(x, over.c_str(), over.size()), 999);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(gets(x), "-1");
    EXPECT_EQ(gets(x), "-1");
    EXPECT_LT(ms_since(t0), Long / 2);
    EXPECT_EQ(count("Spawn: read 0 bytes"), 2);
    EXPECT_EQ(count("Timed out"), 0);
    EXPECT_EQ(x->inbytes, 998);
}

TEST_F(SpawnTest, TimeoutOfZero)
{
    pSpawn x = start("/bin/cat");
    EXPECT_EQ(gets(x, 0), "-1");
    EXPECT_EQ(count("Spawn: 0 >= 0 Timed out reading"), 1);
    EXPECT_EQ(gets(x, -5), "-1");
    EXPECT_EQ(count("Spawn: 0 >= -5 Timed out reading"), 1);
    EXPECT_EQ(count("Spawn: Read ["), 0);

    // A line already held is handed out whatever the time-out.
    ASSERT_GT(spawn_write(x, "a\nb\n", 4), 0);
    EXPECT_EQ(gets(x), "1 a");
    EXPECT_EQ(gets(x, 0), "1 b");
}

TEST_F(SpawnTest, NulByteHidesTheRest)
{
    pSpawn x = start("/bin/cat");
    ASSERT_EQ(spawn_write(x, "ab\0cd\nef\n", 9), 9);
    EXPECT_EQ(gets(x, 300), "-1");
    ASSERT_GT(spawn_printf(x, "gh"), 0);
    EXPECT_EQ(gets(x, 300), "-1");
    EXPECT_EQ(count("Timed out reading"), 2);
}

TEST_F(SpawnTest, PrintfShapesOneLine)
{
    pSpawn x = start("/bin/cat");
    struct Case {
        const char *format, *want;
    } cases[] = {{"quit", "quit\n"}, {"ab\r\n\r\n", "ab\n"}, {"a\rb\nc %d", "a\rb\nc 7\n"}};
    for (const Case &c : cases) {
        std::string want = c.want;
        EXPECT_EQ(spawn_printf(x, c.format, 7), static_cast<int>(want.size()));
        EXPECT_EQ(read_raw(x, want.size()), want);
    }

    // A conversion is cut at 997 characters, plain text at 998.
    std::string text(2000, 'a');
    EXPECT_EQ(spawn_printf(x, "%s", text.c_str()), 998);
    EXPECT_EQ(read_raw(x, 998), std::string(997, 'a') + "\n");
    std::string literal(2000, 'b');
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
    EXPECT_EQ(spawn_printf(x, literal.c_str()), 999);
#pragma GCC diagnostic pop
    EXPECT_EQ(read_raw(x, 999), std::string(998, 'b') + "\n");
}

TEST_F(SpawnTest, ChildSeesEndOfInput)
{
    pSpawn a = start("/bin/cat");
    pSpawn b = start("/bin/cat"); // must not hold a's pipes open
    ASSERT_EQ(close(a->in), 0);
    a->in = 0;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(gets(a), "-1");
    EXPECT_LT(ms_since(t0), Long / 2);
    EXPECT_EQ(count("Spawn: read 0 bytes"), 1);
    EXPECT_EQ(count("Timed out"), 0);
    EXPECT_TRUE(wait_ended(a->pid, nullptr));

    ASSERT_GT(spawn_printf(b, "still here"), 0);
    EXPECT_EQ(gets(b), "10 still here");
}

TEST_F(SpawnTest, StandardErrorIsOpen)
{
    pSpawn x = start(Child + " stderr");
    std::string first = gets(x);
    EXPECT_TRUE(contains(first, " wrote ")) << first;
    EXPECT_NE(first, "10 wrote fd=2");
    ASSERT_GT(spawn_printf(x, "answer"), 0);
    EXPECT_EQ(gets(x), "6 answer");
}

TEST_F(SpawnTest, ChildIgnoringTermIsLeftRunning)
{
    pSpawn x = start(Child + " ignore");
    ASSERT_EQ(gets(x), "5 ready");
    int pid = x->pid;
    stray.push_back(pid);
    spawn_kill(x);
    EXPECT_EQ(x->pid, 0);
    EXPECT_EQ(x->envi, 0);
    std::vector<std::string> retries;
    for (const std::string &l : lines_of(testlog.text()))
        if (contains(l, "Spawn: Waitpid, ")) retries.push_back(l);
    ASSERT_EQ(retries.size(), 5u);
    for (int i = 0; i < 5; i++)
        EXPECT_TRUE(contains(retries[i], "Spawn: Waitpid, " + std::to_string(5 - i) + " retries"));
    EXPECT_EQ(kill(pid, 0), 0); // still running
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0);
    EXPECT_EQ(fcntl(x->in, F_GETFD), -1); // both ends closed
    EXPECT_EQ(fcntl(x->out, F_GETFD), -1);
}

TEST_F(SpawnTest, StoppedChildIsReapedWhateverTheSignalMask)
{
    // The stop waits for SIGCHLD with the signal blocked; the caller's mask
    // comes back either way.
    sigset_t mask;
    for (int blocked = 0; blocked <= 1; blocked++) {
        SCOPED_TRACE(blocked);
        sigemptyset(&mask);
        sigaddset(&mask, SIGCHLD);
        sigprocmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &mask, nullptr);
        pSpawn x = start("/bin/cat");
        int pid = x->pid;
        spawn_kill(x);
        EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1); // already reaped
        EXPECT_EQ(errno, ECHILD);
        sigprocmask(SIG_BLOCK, nullptr, &mask);
        EXPECT_EQ(sigismember(&mask, SIGCHLD), blocked);
        spawn_kill(x); // a second stop does nothing
    }
    sigemptyset(&mask);
    sigaddset(&mask, SIGCHLD);
    sigprocmask(SIG_UNBLOCK, &mask, nullptr);
    EXPECT_LT(count("Spawn: Waitpid, "), 5);
    EXPECT_EQ(count("Spawn: Error kill"), 0);
}

TEST_F(SpawnTest, ReplyDuringAWaitIsTakenAtOnce)
{
    // Each reply comes 10 ms after its request, while we wait: a blind
    // 100 ms sleep after the empty look would take at least 2 s in all.
    pSpawn x = start(Child + " delay 10");
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; i++) {
        ASSERT_GT(spawn_printf(x, "ping %d", i), 0);
        ASSERT_EQ(gets(x), (i < 10 ? "6 ping " : "7 ping ") + std::to_string(i));
    }
    EXPECT_LT(ms_since(t0), 1500);
    EXPECT_EQ(count("Timed out"), 0);
}

TEST_F(SpawnTest, EndedChildFailsTheReadAtOnce)
{
    pSpawn x = start(Child + " bye");
    EXPECT_EQ(gets(x), "3 bye");
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(gets(x), "-1");
    EXPECT_LT(ms_since(t0), Long / 2);
    EXPECT_EQ(count("Spawn: read 0 bytes"), 1);
    EXPECT_EQ(count("Timed out"), 0);

    // Writing to it fails with a broken pipe instead of ending us.
    ASSERT_TRUE(wait_ended(x->pid, nullptr));
    EXPECT_EQ(spawn_printf(x, "anyone"), 0);
    EXPECT_EQ(count(std::string("Spawn: Error writing, ") + strerror(EPIPE)), 1);

    // What it wrote without a line feed stays unread.
    pSpawn y = start(Child + " part");
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(gets(y), "-1");
    EXPECT_LT(ms_since(t0), Long / 2);
    EXPECT_EQ(count("Spawn: read 0 bytes"), 2);
    EXPECT_STREQ(y->inbf, "part");
}

// Process creation fails for a user without processes to spare.
TEST_F(SpawnTest, ForkFailureLeavesNoChild)
{
    log_line(testlog.log, "opening the log before the helper drops its rights", LogError);
    pid_t helper = fork();
    ASSERT_NE(helper, -1);
    if (helper == 0) {
        struct rlimit none = {0, 0};
        if ((geteuid() == 0 && setuid(65534) != 0) || setrlimit(RLIMIT_NPROC, &none) != 0) _exit(2);
        pSpawn x = spawn_init(-1, -1);
        int started = spawn_start(x, "/bin/cat");
        int ok = started == 0 && x->pid == 0 && x->in == 0 && x->out == 0;
        log_flush(nullptr);
        _exit(ok ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(helper, &status, 0), helper);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "cannot limit processes here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(count(std::string("Spawn: Error fork, ") + strerror(EAGAIN)), 1);
}

TEST_F(SpawnTest, TakesOnTheGivenIdentity)
{
    pSpawn x = spawn_init(static_cast<int>(getuid()), static_cast<int>(getgid()));
    records.push_back(x);
    spawn_copy_env(x, environ);
    ASSERT_EQ(spawn_start(x, "/bin/cat"), 1);
    ASSERT_GT(spawn_printf(x, "same"), 0);
    EXPECT_EQ(gets(x), "4 same");
    EXPECT_EQ(count("Spawn: Error set"), 0);
}

} // namespace
