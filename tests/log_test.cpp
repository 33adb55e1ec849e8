// Log: line format, levels, held-back errors, rotation, flushing and the
// file's mode.
#include "adt/log.h"
#include "tests/testkit.h"

#include <regex>
#include <set>

using namespace adt;
using namespace testkit;

namespace
{

// The text after "Level: " of a log line.
std::string text_of(const std::string &line)
{
    size_t colon = line.find(": ", line.find("] "));
    return colon == std::string::npos ? "" : line.substr(colon + 2);
}

const std::regex line_format("^(Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
                             "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                             "[ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9]  "
                             "\\[([0-9]+)\\] (Error|Info|Debug): (.*)$");

mode_t mode_of(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
}

std::set<std::string> names_in(const std::string &dir)
{
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(dir)) names.insert(e.path().filename());
    return names;
}

// A log of level l, freed (and so no longer current) at the end; set up as
// file name in a fresh directory unless name is null.
struct DirLog {
    TempDir d;
    std::string path;
    Log *x;
    bool ok = false;
    explicit DirLog(LogLevel l, const char *name = "t.log") : x(log_init(l))
    {
        if (name) {
            path = d.file(name);
            ok = log_setup(x, d.path.c_str(), name) == 1;
        }
    }
    ~DirLog() { log_free(&x); }
    // Closes the stream and answers the texts of the file's lines.
    std::vector<std::string> texts(const std::string &suffix = "")
    {
        log_close(x);
        std::vector<std::string> t;
        for (const std::string &line : file_lines(path + suffix)) t.push_back(text_of(line));
        return t;
    }
    // Writes errors of about 60 bytes until the file rotates; how many.
    int until_rotation(const char *word)
    {
        for (int i = 1; i < 200; i++) {
            size_t before = x->Size;
            emsg("%s %03d with some padding to fill the file quickly", word, i);
            if (x->Size < before) return i;
        }
        return 0;
    }
};

// Every test starts with no current log and no errors held back.
class LogTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        Log *sink = log_init(LogNone);
        log_set(sink);
        check_emsglog();
        log_free(&sink);
    }
};

} // namespace

TEST_F(LogTest, LineFormat)
{
    DirLog l(LogDebug);
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(std::string(l.x->File), l.path);
    emsg("error %d", 1);
    imsg("info %s", "two");
    dmsg("debug %05d", 3);
    log_flush(nullptr);
    std::vector<std::string> lines = file_lines(l.path);
    ASSERT_EQ(lines.size(), 3u);
    const char *words[] = {"Error", "Info", "Debug"};
    const char *texts[] = {"error 1", "info two", "debug 00003"};
    for (int i = 0; i < 3; i++) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, line_format)) << lines[i];
        EXPECT_EQ(std::stoi(m[3].str()), static_cast<int>(getpid()));
        EXPECT_EQ(m[4].str(), words[i]);
        EXPECT_EQ(m[5].str(), texts[i]);
    }
    EXPECT_EQ(l.x->Lines, 3);
    EXPECT_EQ(l.x->Size, read_file(l.path).size());
}

TEST_F(LogTest, MessagesLeaveErrnoAsTheyFoundIt)
{
    // The first line opens the file, which looks for it first and so would
    // set errno on the way.
    DirLog l(LogDebug);
    ASSERT_TRUE(l.ok);
    errno = ETIMEDOUT;
    emsg("first line");
    EXPECT_EQ(errno, ETIMEDOUT);
    imsg("info");
    dmsg("debug");
    EXPECT_EQ(errno, ETIMEDOUT);
    log_close(l.x);
    log_set(nullptr);
    emsg("held back");
    EXPECT_EQ(errno, ETIMEDOUT);
    log_set(l.x);
    check_emsglog();
}

TEST_F(LogTest, LevelFilteringFormatsOnlyWhatIsWritten)
{
    struct Case {
        LogLevel level;
        const char *want;
    } cases[] = {{LogError, "E"}, {LogInfo, "EI"}, {LogDebug, "EID"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.want);
        SetUp();
        DirLog l(c.level);
        ASSERT_TRUE(l.ok);
        // %n stores the count so far: untouched means the text was never formatted.
        int at[3] = {-1, -1, -1};
        emsg("E%n", &at[0]);
        imsg("I%n", &at[1]);
        dmsg("D%n", &at[2]);
        std::string got;
        for (const std::string &t : l.texts()) got += t;
        EXPECT_EQ(got, c.want);
        for (int i = 0; i < 3; i++) EXPECT_EQ(at[i], i < (int)got.size() ? 1 : -1) << i;
    }
}

TEST_F(LogTest, LevelNoneWritesNothingAndHoldsErrors)
{
    TempDir d;
    {
        Log *none = log_init(LogNone);
        ASSERT_EQ(log_setup(none, d.path.c_str(), "n.log"), 1);
        emsg("kept for later");
        imsg("lost");
        log_line(none, "direct", LogError);
        EXPECT_FALSE(fs::exists(d.file("n.log")));
        log_free(&none);
    }
    DirLog next(LogError);
    ASSERT_TRUE(next.ok);
    EXPECT_EQ(next.texts(), std::vector<std::string>{"kept for later"});
}

TEST_F(LogTest, SetLevelName)
{
    DirLog l(LogError, nullptr);
    struct Case {
        const char *name;
        LogLevel want;
    } cases[] = {{"DEBUG", LogDebug},  {"none", LogNone}, {"debug", LogDebug}, {"iNfO", LogInfo},
                 {"verbose", LogInfo}, {"", LogInfo},     {nullptr, LogInfo}};
    for (const Case &c : cases) {
        log_set_level_name(l.x, c.name);
        EXPECT_EQ(l.x->Level, c.want) << (c.name ? c.name : "(null)");
    }
    log_set_level_name(nullptr, "Error");
}

TEST_F(LogTest, PendingErrorsWrittenWhenALogAppears)
{
    emsg("first %d", 1);
    imsg("info before any log is lost");
    dmsg("so is debug");
    emsg("second");
    {
        DirLog l(LogDebug);
        ASSERT_TRUE(l.ok);
        emsg("after");
        log_close(l.x);
        std::vector<std::string> lines = file_lines(l.path);
        ASSERT_EQ(lines.size(), 3u);
        const char *want[] = {"first 1", "second", "after"};
        for (int i = 0; i < 3; i++) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(lines[i], m, line_format)) << lines[i];
            EXPECT_EQ(m[4].str(), "Error");
            EXPECT_EQ(m[5].str(), want[i]);
        }
    }
    // Through log_open as well.
    emsg("pending");
    DirLog o(LogError, nullptr);
    o.path = o.d.file("o.log");
    ASSERT_EQ(log_open(o.x, o.path.c_str()), 1);
    EXPECT_EQ(std::string(o.x->File), o.path);
    EXPECT_EQ(o.texts(), std::vector<std::string>{"pending"});
}

TEST_F(LogTest, PendingErrorsAreCapped)
{
    for (int i = 0; i < 1005; i++) emsg("held %d", i);
    DirLog l(LogError);
    ASSERT_TRUE(l.ok);
    std::vector<std::string> t = l.texts();
    ASSERT_EQ(t.size(), 1000u);
    EXPECT_EQ(t.front(), "held 5");
    EXPECT_EQ(t.back(), "held 1004");
}

TEST_F(LogTest, UnwritableDirectoryKeepsErrorsHeld)
{
    emsg("held across a failed setup");
    {
        DirLog bad(LogError, nullptr);
        EXPECT_EQ(log_setup(bad.x, "/nonexistent-corvane-dir/sub", "x.log"), 0);
        EXPECT_EQ(bad.x->File[0], 0);
        log_set(bad.x);
        emsg("dropped without a file");
    }
    EXPECT_EQ(log_setup(nullptr, "/tmp", "x.log"), 0);
    DirLog l(LogError);
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.texts(), std::vector<std::string>{"held across a failed setup"});
}

TEST_F(LogTest, OpenFailureKeepsFile)
{
    DirLog l(LogError);
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(log_open(l.x, (l.d.path + "/missing/dir/x.log").c_str()), 0);
    EXPECT_EQ(std::string(l.x->File), l.path);
    EXPECT_EQ(log_open(l.x, nullptr), 0);
    EXPECT_EQ(log_open(nullptr, "x"), 0);
    emsg("still here");
    EXPECT_EQ(l.texts(), std::vector<std::string>{"still here"});
}

TEST_F(LogTest, MessageOf1200CharactersIsCutTo999)
{
#define X10(s) s s s s s s s s s s
    DirLog l(LogDebug);
    ASSERT_TRUE(l.ok);
    std::string big(1200, 'x');
    emsg("%s", big.c_str());
    // Literal text that fills the buffer: the formatter's -1 case.
    imsg(X10(X10(X10("y"))) X10(X10("z")));
    dmsg("%s!", big.c_str());
    EXPECT_EQ(l.texts(), (std::vector<std::string>{std::string(999, 'x'), std::string(999, 'y'),
                                                   std::string(999, 'x')}));
#undef X10
}

TEST_F(LogTest, CloseReopensAndAppends)
{
    DirLog l(LogError);
    ASSERT_TRUE(l.ok);
    emsg("one");
    log_close(l.x);
    EXPECT_EQ(l.x->F, nullptr);
    log_close(l.x);
    emsg("two");
    EXPECT_EQ(l.texts(), (std::vector<std::string>{"one", "two"}));
    // Size counts the existing file on reopening.
    EXPECT_EQ(l.x->Size, read_file(l.path).size());
}

TEST_F(LogTest, FreeClearsTheCurrentLog)
{
    TempDir d;
    Log *a = log_init(LogError);
    ASSERT_EQ(log_setup(a, d.path.c_str(), "a.log"), 1);
    log_free(&a);
    EXPECT_EQ(a, nullptr);
    log_free(&a);
    log_free(nullptr);
    log_flush(nullptr);
    // With no current log an error is held again, not written anywhere.
    emsg("after free");
    EXPECT_FALSE(fs::exists(d.file("a.log")));
    DirLog b(LogError);
    ASSERT_TRUE(b.ok);
    EXPECT_EQ(b.texts(), std::vector<std::string>{"after free"});
}

TEST_F(LogTest, Flushing)
{
    {
        // Without DoFlush only a flush puts lines on disk (the stream is fully buffered).
        DirLog l(LogError);
        ASSERT_TRUE(l.ok);
        emsg("one");
        emsg("two");
        EXPECT_EQ(file_lines(l.path).size(), 0u);
        log_flush(l.x);
        EXPECT_EQ(file_lines(l.path).size(), 2u);
        emsg("three");
        log_flush(nullptr);
        EXPECT_EQ(file_lines(l.path).size(), 3u);
    }
    // Every third line counted from the first line of the run.
    DirLog f(LogError);
    ASSERT_TRUE(f.ok);
    log_doflush(f.x, 3);
    std::vector<size_t> seen;
    for (int i = 1; i <= 7; i++) {
        emsg("line %d", i);
        seen.push_back(file_lines(f.path).size());
    }
    EXPECT_EQ(seen, (std::vector<size_t>{1, 1, 1, 4, 4, 4, 7}));
}

TEST_F(LogTest, RotationKeepsNumberedFilesAndDropsTheOldest)
{
    DirLog l(LogError, "r.log");
    ASSERT_TRUE(l.ok);
    const std::string &p = l.path;
    for (int i = 0; i <= 2; i++) std::ofstream(p + std::to_string(i)) << "old" << i << "\n";
    log_dorotate(l.x, 2, 1024);

    int trigger = l.until_rotation("line");
    ASSERT_GT(trigger, 0);
    EXPECT_EQ(l.x->Size, 0u);
    log_close(l.x);
    EXPECT_EQ(read_file(p), "");
    std::vector<std::string> zero = l.texts("0");
    ASSERT_EQ(zero.size(), static_cast<size_t>(trigger));
    char want[100];
    snprintf(want, sizeof want, "line %03d with some padding to fill the file quickly", trigger);
    EXPECT_EQ(zero.back(), want);
    EXPECT_GE(read_file(p + "0").size(), 1024u);
    EXPECT_EQ(read_file(p + "1"), "old0\n");
    EXPECT_EQ(read_file(p + "2"), "old1\n");
    // No temporary name and no file 3 is left.
    EXPECT_EQ(names_in(l.d.path), (std::set<std::string>{"r.log", "r.log0", "r.log1", "r.log2"}));

    // A second rotation shifts again; what was in file 2 is gone.
    std::string first_rotated = read_file(p + "0");
    ASSERT_GT(l.until_rotation("more"), 0);
    log_close(l.x);
    EXPECT_EQ(read_file(p + "1"), first_rotated);
    EXPECT_EQ(read_file(p + "2"), "old0\n");
    EXPECT_EQ(l.x->Lines, trigger + static_cast<int>(file_lines(p + "0").size()));
}

TEST_F(LogTest, RotationWithZeroKeepsOnlyFileZero)
{
    DirLog l(LogError, "z.log");
    ASSERT_TRUE(l.ok);
    log_dorotate(l.x, 0, 1024);
    std::string big(600, 'q');
    emsg("%s", big.c_str());
    emsg("%s", big.c_str());
    EXPECT_EQ(file_lines(l.path + "0").size(), 2u);
    emsg("a%s", big.c_str());
    emsg("b%s", big.c_str());
    std::vector<std::string> zero = l.texts("0");
    ASSERT_EQ(zero.size(), 2u);
    EXPECT_EQ(zero[1], "b" + big);
    EXPECT_EQ(names_in(l.d.path), (std::set<std::string>{"z.log", "z.log0"}));
}

TEST_F(LogTest, ExistingBigFileIsRotatedAfterTheFirstLine)
{
    TempDir d;
    std::string old(2000, 'o');
    std::ofstream(d.file("e.log")) << old << "\n";
    Log *x = log_init(LogError);
    ASSERT_EQ(log_setup(x, d.path.c_str(), "e.log"), 1);
    log_dorotate(x, 4, 1024);
    emsg("first new line");
    log_free(&x);
    EXPECT_EQ(read_file(d.file("e.log")), "");
    std::vector<std::string> zero = file_lines(d.file("e.log0"));
    ASSERT_EQ(zero.size(), 2u);
    EXPECT_EQ(zero[0], old);
    EXPECT_EQ(text_of(zero[1]), "first new line");
}

TEST_F(LogTest, NewFilesAreOwnerOnlyWhateverTheUmaskAndOldOnesKeepTheirMode)
{
    for (mode_t mask : {mode_t(0), mode_t(0022), mode_t(0277)}) {
        SCOPED_TRACE(mask);
        TempDir d;
        std::string p = d.file("m.log");
        mode_t old = umask(mask);
        Log *x = log_init(LogError);
        EXPECT_EQ(log_setup(x, d.path.c_str(), "m.log"), 1);
        log_dorotate(x, 2, 1024);
        emsg("first");
        EXPECT_EQ(mode_of(p), mode_t(0600));
        emsg("%s", std::string(1100, 'm').c_str());
        log_close(x);
        // Rotation keeps the mode of the rotated file and creates the new one alike.
        EXPECT_EQ(mode_of(p + "0"), mode_t(0600));
        emsg("after rotation");
        log_free(&x);
        EXPECT_EQ(mode_of(p), mode_t(0600));
        umask(old);
    }

    TempDir d;
    std::string p = write_file(d / "keep-mode.log", "", 0640);
    Log *x = log_init(LogError);
    ASSERT_EQ(log_setup(x, d.path.c_str(), "keep-mode.log"), 1);
    emsg("x");
    log_free(&x);
    EXPECT_EQ(mode_of(p), mode_t(0640));
}

TEST_F(LogTest, DefaultsAndNullArguments)
{
    emsg(nullptr);
    imsg(nullptr);
    dmsg(nullptr);
    log_line(nullptr, "x", LogError);
    log_dorotate(nullptr, 1, 1);
    log_doflush(nullptr, 1);
    log_close(nullptr);
    log_flush(nullptr);
    EXPECT_EQ(log_rotate(nullptr), 0);

    DirLog l(LogInfo, nullptr);
    ASSERT_NE(l.x, nullptr);
    EXPECT_EQ(l.x->Level, LogInfo);
    EXPECT_EQ(l.x->Rotations, 4);
    EXPECT_EQ(l.x->Rotate, 1048576u);
    EXPECT_EQ(l.x->DoFlush, 0);
    EXPECT_EQ(l.x->File[0], 0);
    // No file yet: lines are dropped and nothing is created.
    log_line(l.x, "dropped", LogError);
    log_line(l.x, nullptr, LogError);
    EXPECT_EQ(l.x->F, nullptr);
    EXPECT_EQ(l.x->Lines, 0);
    EXPECT_EQ(log_rotate(l.x), 0);
}
