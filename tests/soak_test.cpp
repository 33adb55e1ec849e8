// Soak: a long run of commands through the built corvane program, with
// module restarts every few hundred commands, watching corvane's open
// descriptors, resident memory and child processes from /proc. They must
// stay flat: whatever a command or a restart takes, it gives back.
//
// CORVANE_SOAK_COMMANDS sets the number of commands (default 100,000). Each module serves its own
// block of user names and declares itself dead at every 250th request of each of its processes, so
// it is restarted five times over its block of 1,400 commands and never given up; enough modules
// are configured to cover all commands.
#include "tests/testkit.h"

#include <cstdio>

using namespace testkit;

namespace
{

const char *const Scriptmod = TEST_PROGS_DIR "/scriptmod";
const int Block = 1400; // commands per module
const int Every = 250;  // requests of one module process before it is dead
const int Batch = 1000; // commands sent before each look at /proc

const char *const Script = "*\t-DEAD tired\t250\n"
                           "lookup\t+OK $0\n"
                           "check\t+OK $2 soak x extra\n"
                           "set\t+OK set $2\n"
                           "search\t!data 2 $2 ;; +OK 2 9\n";

int commands_wanted()
{
    const char *n = getenv("CORVANE_SOAK_COMMANDS");
    return n && atoi(n) > 0 ? atoi(n) : 100000;
}

struct Sample {
    int done;
    int fds;
    long rss_kb;
    int children;
};

class Soak : public Workdir
{
};

} // namespace

TEST_F(Soak, DescriptorsMemoryAndChildrenStayFlat)
{
    const int total = commands_wanted();
    const int modules = (total + Block - 1) / Block;
    write("soak.script", Script);
    std::string ini = "do_set always\ntimeout 5000\n";
    for (int m = 1; m <= modules; m++)
        ini += "module " + std::to_string(m) + "\nbinary " + Scriptmod + " " +
               (dir / "soak.script").string() + "\nmatch m" + std::to_string(m) + "_*\n";
    write("corvane.ini", ini);

    // Freed memory is given back at once rather than held in the
    // sanitizer's quarantine, so that resident memory shows what is kept.
    std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
    setenv("ASAN_OPTIONS", (asan + (asan.empty() ? "" : ":") + "quarantine_size_mb=0").c_str(), 1);
    Child corvane;
    ASSERT_TRUE(corvane.start(wrapped(CORVANE_BIN), dir));
    if (asan.empty())
        unsetenv("ASAN_OPTIONS");
    else
        setenv("ASAN_OPTIONS", asan.c_str(), 1);

    std::vector<Sample> samples;
    int dead = 0;
    for (int done = 0; done < total;) {
        int n = std::min(Batch, total - done);
        std::vector<std::string> expect;
        std::string text;
        for (int i = done; i < done + n; i++) {
            int module = i / Block + 1;
            std::string user = "m" + std::to_string(module) + "_" + std::to_string(i);
            // The request count of the module's current process decides a death.
            bool dies = (i % Block) % Every == Every - 1;
            switch (i % 4) {
            case 0:
                text += "lookup " + user + "\n";
                expect.push_back(dies ? "-DEAD tired" : "+OK lookup " + user);
                break;
            case 1:
                text += "check " + user + " pw 10.0.0.1\n";
                expect.push_back(dies ? "-DEAD tired" : "+OK " + user + " soak x extra");
                break;
            case 2:
                text += "set " + user + " pw info=" + std::to_string(i) + "\n";
                expect.push_back(dies ? "-DEAD tired" : "+OK set " + user);
                break;
            default:
                text += "search " + user + "\n";
                if (!dies) {
                    expect.push_back("+DATA 1 " + user);
                    expect.push_back("+DATA 2 " + user);
                }
                expect.push_back(dies ? "+OK Search Complete 0 items found out of 0"
                                      : "+OK Search Complete 2 items found out of 9");
            }
            dead += dies;
        }
        corvane.send(text);
        for (size_t k = 0; k < expect.size(); k++) {
            std::string got = corvane.line();
            ASSERT_EQ(expect[k], got) << "reply " << k << " of the batch after command " << done;
        }
        done += n;
        samples.push_back({done, descriptors(corvane.pid()), resident_kb(corvane.pid()),
                           (int)children(corvane.pid()).size()});
        ASSERT_EQ(0, zombies(corvane.pid())) << "after command " << done;
    }
    EXPECT_EQ(0, corvane.finish());
    EXPECT_EQ("", corvane.rest());
    // Only the modules' own "-DEAD" replies reach standard error.
    EXPECT_EQ((size_t)dead, count(corvane.errors(), "answered -DEAD tired\n"));
    EXPECT_EQ((size_t)dead, lines_of(corvane.errors()).size());
    EXPECT_EQ(0, leftovers());

    // Every death restarted its module; none was given up.
    std::string l = log();
    EXPECT_EQ((size_t)dead, count(l, "restarting..."));
    EXPECT_EQ(0u, count(l, "not using it anymore"));

    // Flat: the same descriptors and children after every batch, and no
    // growth of resident memory once the first batches have warmed it up.
    ASSERT_GE(samples.size(), 3u);
    const Sample &base = samples[samples.size() / 5];
    for (const Sample &s : samples) {
        EXPECT_EQ(samples[0].fds, s.fds) << "descriptors after " << s.done << " commands";
        EXPECT_EQ(modules, s.children) << "children after " << s.done << " commands";
    }
    long growth = samples.back().rss_kb - base.rss_kb;
    EXPECT_LE(growth, 2048) << "resident memory grew from " << base.rss_kb << " kB after "
                            << base.done << " commands to " << samples.back().rss_kb << " kB after "
                            << samples.back().done;
    printf("soak: %d commands, %d modules, %d restarts; descriptors %d; resident %ld kB after %d "
           "commands, %ld kB after %d\n",
           total, modules, dead, samples.back().fds, base.rss_kb, base.done, samples.back().rss_kb,
           samples.back().done);
}
