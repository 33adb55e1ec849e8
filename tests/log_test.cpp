// Log: line format, levels, held-back errors, rotation, flushing and the
// file's mode.
#include "adt/log.h"
#include "tests/testkit.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include <cerrno>

using namespace adt;
using namespace testkit;
namespace fs = std::filesystem;

namespace
{

// Writes away any errors held back by an earlier test and leaves no log current.
void no_current_log()
{
    Log *sink = log_init(LogNone);
    log_set(sink);
    check_emsglog();
    log_free(&sink);
}

// A log that is freed (and so stops being current) when the test ends.
struct OwnedLog {
    Log *x;
    explicit OwnedLog(LogLevel l) : x(log_init(l)) {}
    ~OwnedLog() { log_free(&x); }
};

// The text after "Level: " of a log line.
std::string text_of(const std::string &line)
{
    size_t colon = line.find(": ", line.find("] "));
    return colon == std::string::npos ? "" : line.substr(colon + 2);
}

const std::regex &line_format()
{
    static const std::regex re("^(Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
                               "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                               "[ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9]  "
                               "\\[([0-9]+)\\] (Error|Info|Debug): (.*)$");
    return re;
}

mode_t mode_of(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return 07777;
    return st.st_mode & 07777;
}

// Restores the process's umask when the test ends.
struct UmaskGuard {
    mode_t old;
    explicit UmaskGuard(mode_t m) : old(umask(m)) {}
    ~UmaskGuard() { umask(old); }
};

} // namespace

TEST(Log, InitDefaults)
{
    OwnedLog l(LogInfo);
    ASSERT_NE(l.x, nullptr);
    EXPECT_EQ(l.x->Level, LogInfo);
    EXPECT_EQ(l.x->Rotations, 4);
    EXPECT_EQ(l.x->Rotate, 1048576u);
    EXPECT_EQ(l.x->File[0], 0);
    EXPECT_EQ(l.x->F, nullptr);
    EXPECT_EQ(l.x->Lines, 0);
    EXPECT_EQ(l.x->DoFlush, 0);
}

TEST(Log, LineFormat)
{
    no_current_log();
    TempDir d;
    OwnedLog l(LogDebug);
    ASSERT_EQ(log_setup(l.x, d.path.c_str(), "t.log"), 1);
    EXPECT_EQ(std::string(l.x->File), d.file("t.log"));
    emsg("error %d", 1);
    imsg("info %s", "two");
    dmsg("debug %05d", 3);
    log_flush(nullptr);
    std::vector<std::string> lines = file_lines(d.file("t.log"));
    ASSERT_EQ(lines.size(), 3u);
    const char *words[] = {"Error", "Info", "Debug"};
    const char *texts[] = {"error 1", "info two", "debug 00003"};
    for (int i = 0; i < 3; i++) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, line_format())) << lines[i];
        EXPECT_EQ(std::stoi(m[3].str()), static_cast<int>(getpid()));
        EXPECT_EQ(m[4].str(), words[i]);
        EXPECT_EQ(m[5].str(), texts[i]);
    }
    EXPECT_EQ(l.x->Lines, 3);
    EXPECT_EQ(l.x->Size, read_file(d.file("t.log")).size());
}

TEST(Log, MessagesLeaveErrnoAsTheyFoundIt)
{
    no_current_log();
    TempDir d;
    OwnedLog l(LogDebug);
    // The first line opens the file, which looks for it first and so would
    // set errno on the way; the caller's errno must survive every call.
    ASSERT_EQ(log_setup(l.x, d.path.c_str(), "t.log"), 1);
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

TEST(Log, LevelFiltering)
{
    struct Case {
        LogLevel level;
        const char *want;
    } cases[] = {
        {LogError, "E"},
        {LogInfo, "EI"},
        {LogDebug, "EID"},
    };
    for (const Case &c : cases) {
        no_current_log();
        TempDir d;
        OwnedLog l(c.level);
        ASSERT_EQ(log_setup(l.x, d.path.c_str(), "f.log"), 1);
        emsg("E");
        imsg("I");
        dmsg("D");
        log_close(l.x);
        std::string got;
        for (const std::string &line : file_lines(d.file("f.log"))) got += text_of(line);
        EXPECT_EQ(got, c.want) << "level " << c.level;
    }
}

TEST(Log, LevelNoneWritesNothingAndHoldsErrors)
{
    no_current_log();
    TempDir d;
    {
        OwnedLog l(LogNone);
        ASSERT_EQ(log_setup(l.x, d.path.c_str(), "n.log"), 1);
        emsg("kept for later");
        imsg("lost");
        log_line(l.x, "direct", LogError);
        EXPECT_FALSE(fs::exists(d.file("n.log")));
    }
    OwnedLog next(LogError);
    ASSERT_EQ(log_setup(next.x, d.path.c_str(), "next.log"), 1);
    log_close(next.x);
    std::vector<std::string> lines = file_lines(d.file("next.log"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(text_of(lines[0]), "kept for later");
}

TEST(Log, FilteredMessagesAreNotFormatted)
{
    no_current_log();
    TempDir d;
    OwnedLog l(LogError);
    ASSERT_EQ(log_setup(l.x, d.path.c_str(), "nf.log"), 1);
    // %n stores the count so far: untouched means the text was never formatted.
    int info_at = -1, debug_at = -1, error_at = -1;
    imsg("abc%n", &info_at);
    dmsg("abc%n", &debug_at);
    emsg("abc%n", &error_at);
    EXPECT_EQ(info_at, -1);
    EXPECT_EQ(debug_at, -1);
    EXPECT_EQ(error_at, 3);
}

TEST(Log, SetLevelName)
{
    OwnedLog l(LogError);
    log_set_level_name(l.x, "DEBUG");
    EXPECT_EQ(l.x->Level, LogDebug);
    log_set_level_name(l.x, "none");
    EXPECT_EQ(l.x->Level, LogNone);
    log_set_level_name(l.x, "debug");
    EXPECT_EQ(l.x->Level, LogDebug);
    log_set_level_name(l.x, "iNfO");
    EXPECT_EQ(l.x->Level, LogInfo);
    log_set_level_name(l.x, "verbose");
    EXPECT_EQ(l.x->Level, LogInfo);
    log_set_level_name(l.x, "");
    EXPECT_EQ(l.x->Level, LogInfo);
    log_set_level_name(l.x, nullptr);
    EXPECT_EQ(l.x->Level, LogInfo);
    log_set_level_name(nullptr, "Error");
}

TEST(Log, PendingErrorsWrittenWhenALogAppears)
{
    no_current_log();
    emsg("first %d", 1);
    imsg("info before any log is lost");
    dmsg("so is debug");
    emsg("second");
    TempDir d;
    OwnedLog l(LogDebug);
    ASSERT_EQ(log_setup(l.x, d.path.c_str(), "p.log"), 1);
    emsg("after");
    log_close(l.x);
    std::vector<std::string> lines = file_lines(d.file("p.log"));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(text_of(lines[0]), "first 1");
    EXPECT_EQ(text_of(lines[1]), "second");
    EXPECT_EQ(text_of(lines[2]), "after");
    for (const std::string &line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, line_format())) << line;
        EXPECT_EQ(m[4].str(), "Error");
    }
}

TEST(Log, PendingErrorsThroughLogOpen)
{
    no_current_log();
    emsg("pending");
    TempDir d;
    OwnedLog l(LogError);
    ASSERT_EQ(log_open(l.x, d.file("o.log").c_str()), 1);
    EXPECT_EQ(std::string(l.x->File), d.file("o.log"));
    log_close(l.x);
    std::vector<std::string> lines = file_lines(d.file("o.log"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(text_of(lines[0]), "pending");
}

TEST(Log, PendingErrorsAreCapped)
{
    no_current_log();
    for (int i = 0; i < 1005; i++) emsg("held %d", i);
    TempDir d;
    OwnedLog l(LogError);
    ASSERT_EQ(log_setup(l.x, d.path.c_str(), "cap.log"), 1);
    log_close(l.x);
    std::vector<std::string> lines = file_lines(d.file("cap.log"));
    ASSERT_EQ(lines.size(), 1000u);
    EXPECT_EQ(text_of(lines.front()), "held 5");
    EXPECT_EQ(text_of(lines.back()), "held 1004");
}

TEST(Log, UnwritableDirectory)
{
    no_current_log();
    emsg("held across a failed setup");
    {
        OwnedLog bad(LogError);
        EXPECT_EQ(log_setup(bad.x, "/nonexistent-corvane-dir/sub", "x.log"), 0);
        EXPECT_EQ(bad.x->File[0], 0);
        log_set(bad.x);
        emsg("dropped without a file");
    }
    EXPECT_EQ(log_setup(nullptr, "/tmp", "x.log"), 0);
    TempDir d;
    OwnedLog l(LogError);
    ASSERT_EQ(log_setup(l.x, d.path.c_str(), "u.log"), 1);
    log_close(l.x);
    std::vector<std::string> lines = file_lines(d.file("u.log"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(text_of(lines[0]), "held across a failed setup");
}

TEST(Log, OpenFailureKeepsFile)
{
    no_current_log();
    TempDir d;
    OwnedLog l(LogError);
    ASSERT_EQ(log_setup(l.x, d.path.c_str(), "keep.log"), 1);
    EXPECT_EQ(log_open(l.x, (d.path + "/missing/dir/x.log").c_str()), 0);
    EXPECT_EQ(std::string(l.x->File), d.file("keep.log"));
    EXPECT_EQ(log_open(l.x, nullptr), 0);
    EXPECT_EQ(log_open(nullptr, "x"), 0);
    // The next line opens the file in File again.
    emsg("still here");
    log_close(l.x);
    EXPECT_EQ(file_lines(d.file("keep.log")).size(), 1u);
}

TEST(Log, MessageOf1200CharactersIsCutTo999)
{
#define X10(s) s s s s s s s s s s
    no_current_log();
    TempDir d;
    OwnedLog l(LogDebug);
    ASSERT_EQ(log_setup(l.x, d.path.c_str(), "big.log"), 1);
    std::string big(1200, 'x');
    emsg("%s", big.c_str());
    // Literal text that fills the buffer: the formatter's -1 case.
    imsg(X10(X10(X10("y"))) X10(X10("z")));
    dmsg("%s!", big.c_str());
    log_close(l.x);
    std::vector<std::string> lines = file_lines(d.file("big.log"));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(text_of(lines[0]), std::string(999, 'x'));
    EXPECT_EQ(text_of(lines[1]), std::string(999, 'y'));
    EXPECT_EQ(text_of(lines[2]), std::string(999, 'x'));
#undef X10
}

TEST(Log, CloseReopensAndAppends)
{
    no_current_log();
    TempDir d;
    OwnedLog l(LogError);
    ASSERT_EQ(log_setup(l.x, d.path.c_str(), "c.log"), 1);
    emsg("one");
    log_close(l.x);
    EXPECT_EQ(l.x->F, nullptr);
    log_close(l.x);
    emsg("two");
    log_close(l.x);
    std::vector<std::string> lines = file_lines(d.file("c.log"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(text_of(lines[1]), "two");
    // Size counts the existing file on reopening.
    EXPECT_EQ(l.x->Size, read_file(d.file("c.log")).size());
}

TEST(Log, FreeClearsTheCurrentLog)
{
    no_current_log();
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
    OwnedLog b(LogError);
    ASSERT_EQ(log_setup(b.x, d.path.c_str(), "b.log"), 1);
    log_close(b.x);
    ASSERT_EQ(file_lines(d.file("b.log")).size(), 1u);
}

TEST(Log, DoFlushEveryThirdLineFromTheFirst)
{
    no_current_log();
    TempDir d;
    OwnedLog l(LogError);
    ASSERT_EQ(log_setup(l.x, d.path.c_str(), "fl.log"), 1);
    log_doflush(l.x, 3);
    EXPECT_EQ(l.x->DoFlush, 3);
    // Lines on disk after each of seven lines (the stream is fully buffered).
    std::vector<size_t> seen;
    for (int i = 1; i <= 7; i++) {
        emsg("line %d", i);
        seen.push_back(file_lines(d.file("fl.log")).size());
    }
    EXPECT_EQ(seen, (std::vector<size_t>{1, 1, 1, 4, 4, 4, 7}));
}

TEST(Log, NoFlushWithoutDoFlush)
{
    no_current_log();
    TempDir d;
    OwnedLog l(LogError);
    ASSERT_EQ(log_setup(l.x, d.path.c_str(), "nf.log"), 1);
    emsg("one");
    emsg("two");
    EXPECT_EQ(file_lines(d.file("nf.log")).size(), 0u);
    log_flush(l.x);
    EXPECT_EQ(file_lines(d.file("nf.log")).size(), 2u);
    emsg("three");
    log_flush(nullptr);
    EXPECT_EQ(file_lines(d.file("nf.log")).size(), 3u);
}

TEST(Log, RotationKeepsNumberedFilesAndDropsTheOldest)
{
    no_current_log();
    TempDir d;
    std::string p = d.file("r.log");
    for (int i = 0; i <= 2; i++) std::ofstream(p + std::to_string(i)) << "old" << i << "\n";
    OwnedLog l(LogError);
    ASSERT_EQ(log_setup(l.x, d.path.c_str(), "r.log"), 1);
    log_dorotate(l.x, 2, 1024);
    EXPECT_EQ(l.x->Rotations, 2);
    EXPECT_EQ(l.x->Rotate, 1024u);

    // Write until the size is reset by a rotation.
    int trigger = 0;
    for (int i = 1; i < 200 && !trigger; i++) {
        size_t before = l.x->Size;
        emsg("line %03d with some padding to fill the file quickly", i);
        if (l.x->Size < before) trigger = i;
    }
    ASSERT_GT(trigger, 0);
    EXPECT_EQ(l.x->Size, 0u);
    log_close(l.x);

    EXPECT_EQ(read_file(p), "");
    std::vector<std::string> zero = file_lines(p + "0");
    ASSERT_FALSE(zero.empty());
    char want[100];
    snprintf(want, sizeof want, "line %03d with some padding to fill the file quickly", trigger);
    EXPECT_EQ(text_of(zero.back()), want);
    EXPECT_EQ(zero.size(), static_cast<size_t>(trigger));
    EXPECT_GE(read_file(p + "0").size(), 1024u);
    EXPECT_EQ(read_file(p + "1"), "old0\n");
    EXPECT_EQ(read_file(p + "2"), "old1\n");

    // Nothing else is left in the directory: no temporary name, no file 3.
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(d.path)) names.insert(e.path().filename());
    EXPECT_EQ(names, (std::set<std::string>{"r.log", "r.log0", "r.log1", "r.log2"}));

    // A second rotation shifts again; what was in file 2 is gone.
    std::string first_rotated = read_file(p + "0");
    bool rotated = false;
    for (int i = 0; i < 200 && !rotated; i++) {
        size_t before = l.x->Size;
        emsg("more %03d with some padding to fill the file quickly", i);
        rotated = l.x->Size < before;
    }
    ASSERT_TRUE(rotated);
    log_close(l.x);
    EXPECT_EQ(read_file(p + "1"), first_rotated);
    EXPECT_EQ(read_file(p + "2"), "old0\n");
    EXPECT_EQ(l.x->Lines, trigger + static_cast<int>(file_lines(p + "0").size()));
}

TEST(Log, RotationWithZeroKeepsOnlyFileZero)
{
    no_current_log();
    TempDir d;
    std::string p = d.file("z.log");
    OwnedLog l(LogError);
    ASSERT_EQ(log_setup(l.x, d.path.c_str(), "z.log"), 1);
    log_dorotate(l.x, 0, 1024);
    std::string big(600, 'q');
    emsg("%s", big.c_str());
    emsg("%s", big.c_str());
    EXPECT_EQ(file_lines(p + "0").size(), 2u);
    emsg("a%s", big.c_str());
    emsg("b%s", big.c_str());
    log_close(l.x);
    std::vector<std::string> zero = file_lines(p + "0");
    ASSERT_EQ(zero.size(), 2u);
    EXPECT_EQ(text_of(zero[1]), "b" + big);
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(d.path)) names.insert(e.path().filename());
    EXPECT_EQ(names, (std::set<std::string>{"z.log", "z.log0"}));
}

TEST(Log, ExistingBigFileIsRotatedAfterTheFirstLine)
{
    no_current_log();
    TempDir d;
    std::string p = d.file("e.log");
    std::string old(2000, 'o');
    std::ofstream(p) << old << "\n";
    OwnedLog l(LogError);
    ASSERT_EQ(log_setup(l.x, d.path.c_str(), "e.log"), 1);
    log_dorotate(l.x, 4, 1024);
    emsg("first new line");
    log_close(l.x);
    EXPECT_EQ(read_file(p), "");
    std::vector<std::string> zero = file_lines(p + "0");
    ASSERT_EQ(zero.size(), 2u);
    EXPECT_EQ(zero[0], old);
    EXPECT_EQ(text_of(zero[1]), "first new line");
}

TEST(Log, FileIsOwnerOnlyWhateverTheUmask)
{
    for (mode_t mask : {mode_t(0), mode_t(0022), mode_t(0277)}) {
        TempDir d;
        UmaskGuard g(mask);
        no_current_log();
        std::string p = d.file("m.log");
        OwnedLog l(LogError);
        ASSERT_EQ(log_setup(l.x, d.path.c_str(), "m.log"), 1);
        log_dorotate(l.x, 2, 1024);
        emsg("first");
        EXPECT_EQ(mode_of(p), mode_t(0600)) << "umask " << mask;
        std::string big(1100, 'm');
        emsg("%s", big.c_str());
        log_close(l.x);
        // Rotation keeps the mode of the rotated file and creates the new one alike.
        EXPECT_EQ(mode_of(p + "0"), mode_t(0600)) << "umask " << mask;
        emsg("after rotation");
        log_close(l.x);
        EXPECT_EQ(mode_of(p), mode_t(0600)) << "umask " << mask;
    }
}

TEST(Log, ExistingFileModeIsLeftAlone)
{
    no_current_log();
    TempDir d;
    std::string p = d.file("keep-mode.log");
    std::ofstream(p) << "";
    ASSERT_EQ(chmod(p.c_str(), 0640), 0);
    OwnedLog l(LogError);
    ASSERT_EQ(log_setup(l.x, d.path.c_str(), "keep-mode.log"), 1);
    emsg("x");
    log_close(l.x);
    EXPECT_EQ(mode_of(p), mode_t(0640));
}

TEST(Log, NullArgumentsAreHarmless)
{
    no_current_log();
    emsg(nullptr);
    imsg(nullptr);
    dmsg(nullptr);
    log_line(nullptr, "x", LogError);
    log_dorotate(nullptr, 1, 1);
    log_doflush(nullptr, 1);
    log_close(nullptr);
    log_flush(nullptr);
    EXPECT_EQ(log_rotate(nullptr), 0);
    OwnedLog l(LogDebug);
    // No file yet: lines are dropped and nothing is created.
    log_line(l.x, "dropped", LogError);
    log_line(l.x, nullptr, LogError);
    EXPECT_EQ(l.x->F, nullptr);
    EXPECT_EQ(l.x->Lines, 0);
    EXPECT_EQ(log_rotate(l.x), 0);
}
