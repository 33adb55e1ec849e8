// Soak: a long run of commands through corvane with module restarts, while
// corvane's descriptors, resident memory and children are watched from
// /proc: whatever a command or a restart takes, it gives back.
//
// CORVANE_SOAK_COMMANDS sets the number of commands (default 10,000; `make
// soak` runs far more). Each module serves its own block of users and says
// "-DEAD" at every 160th request of each of its processes: five restarts in
// its block of 800 commands, never given up.
#include "tests/testkit.h"

using namespace testkit;

namespace
{

const int Block = 800, Every = 160, Batch = 1000;

struct Sample {
    int done, fds, children;
    long rss_kb;
};

class Soak : public Workdir
{
};

} // namespace

TEST_F(Soak, DescriptorsMemoryAndChildrenStayFlat)
{
    const char *wanted = getenv("CORVANE_SOAK_COMMANDS");
    const int total = wanted && atoi(wanted) > 0 ? atoi(wanted) : 10000,
              modules = (total + Block - 1) / Block;
    write("soak.script",
          "*\t-DEAD tired\t160\nlookup\t+OK $0\ncheck\t+OK $2 soak x extra\nset\t+OK set $2\n"
          "search\t!data 2 $2 ;; +OK 2 9\n");
    std::string ini = "do_set always\ntimeout 5000\n";
    for (int m = 1; m <= modules; m++)
        ini += "module " + std::to_string(m) + "\nbinary " TEST_PROGS_DIR "/scriptmod " +
               (dir / "soak.script").string() + "\nmatch m" + std::to_string(m) + "_*\n";
    write("corvane.ini", ini);

    // Freed memory is given back at once rather than held in the sanitizer's
    // quarantine, so that resident memory shows what is kept.
    std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
    setenv("ASAN_OPTIONS", (asan + ":quarantine_size_mb=0").c_str(), 1);
    Child corvane;
    ASSERT_TRUE(corvane.start(wrapped(CORVANE_BIN), dir));
    setenv("ASAN_OPTIONS", asan.c_str(), 1);

    std::vector<Sample> samples;
    int dead = 0;
    for (int done = 0; done < total; done += Batch) {
        Lines expect;
        std::string text;
        for (int i = done; i < std::min(total, done + Batch); i++) {
            std::string user = "m" + std::to_string(i / Block + 1) + "_" + std::to_string(i);
            bool dies = (i % Block) % Every == Every - 1;
            dead += dies;
            const char *command[] = {"lookup ", "check ", "set ", "search "};
            const char *after[] = {"", " pw 10.0.0.1", " pw info=x", ""};
            text += command[i % 4] + user + after[i % 4] + "\n";
            std::string reply[] = {"+OK lookup " + user, "+OK " + user + " soak x extra",
                                   "+OK set " + user, ""};
            if (i % 4 == 3 && !dies)
                expect.insert(expect.end(), {"+DATA 1 " + user, "+DATA 2 " + user});
            if (i % 4 == 3)
                expect.push_back(dies ? "+OK Search Complete 0 items found out of 0"
                                      : "+OK Search Complete 2 items found out of 9");
            else
                expect.push_back(dies ? "-DEAD tired" : reply[i % 4]);
        }
        corvane.send(text);
        for (size_t k = 0; k < expect.size(); k++)
            ASSERT_EQ(expect[k], corvane.line()) << "reply " << k << " after command " << done;
        pid_t pid = corvane.pid();
        samples.push_back({done, descriptors(pid), (int)children(pid).size(), resident_kb(pid)});
        ASSERT_EQ(0, zombies(pid)) << "after command " << done;
    }
    EXPECT_EQ(0, corvane.finish());
    EXPECT_EQ("", corvane.rest());
    EXPECT_EQ(0, leftovers());
    EXPECT_EQ(dead, count(log(), "restarting..."));
    EXPECT_EQ(0, count(log(), "not using it anymore"));

    // Flat: the same descriptors and children after every batch, and no
    // growth of resident memory once the first batches have warmed it up.
    ASSERT_GE(samples.size(), 3u);
    const Sample &base = samples[samples.size() / 5];
    for (const Sample &s : samples) {
        EXPECT_EQ(samples[0].fds, s.fds) << "descriptors after " << s.done << " commands";
        EXPECT_EQ(modules, s.children) << "children after " << s.done << " commands";
    }
    EXPECT_LE(samples.back().rss_kb - base.rss_kb, 2048)
        << "resident memory grew from " << base.rss_kb << " kB to " << samples.back().rss_kb
        << " kB";
}
