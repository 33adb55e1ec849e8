// Soak: a long run of commands through corvane with module restarts while
// corvane's descriptors, resident memory and children are watched: whatever
// a command or a restart takes, it gives back. CORVANE_SOAK_COMMANDS sets
// the number of commands (10,000; `make soak` runs more). Each module serves
// its block of 800 users and says "-DEAD" at every 160th request of each of
// its processes: five restarts, never given up.
#include "tests/testkit.h"

using namespace testkit;

class Soak : public Workdir
{
};

TEST_F(Soak, DescriptorsMemoryAndChildrenStayFlat)
{
    const char *wanted = getenv("CORVANE_SOAK_COMMANDS");
    const int total = wanted && atoi(wanted) > 0 ? atoi(wanted) : 10000, block = 800, every = 160;
    const int modules = (total + block - 1) / block;
    write("soak.script",
          "*\t-DEAD tired\t160\nlookup\t+OK $0\ncheck\t+OK $2 soak x\nset\t+OK set $2\n"
          "search\t!data 2 $2 ;; +OK 2 9\n");
    std::string ini = "do_set always\ntimeout 5000\n";
    for (int m = 1; m <= modules; m++)
        ini += "module " + std::to_string(m) + "\nbinary " TEST_PROGS_DIR "/scriptmod " +
               (dir / "soak.script").string() + "\nmatch m" + std::to_string(m) + "_*\n";
    write("corvane.ini", ini);
    // Freed memory is given back at once, not held in the sanitizer's
    // quarantine, so that resident memory shows what is kept.
    std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
    setenv("ASAN_OPTIONS", (asan + ":quarantine_size_mb=0").c_str(), 1);
    Child corvane;
    ASSERT_TRUE(corvane.start(wrapped(CORVANE_BIN), dir));
    setenv("ASAN_OPTIONS", asan.c_str(), 1);

    std::vector<std::array<long, 3>> samples; // descriptors, children, resident kB
    int dead = 0;
    for (int done = 0; done < total; done += 1000) {
        Lines expect;
        std::string text;
        for (int i = done; i < std::min(total, done + 1000); i++) {
            std::string user = "m" + std::to_string(i / block + 1) + "_" + std::to_string(i);
            bool dies = (i % block) % every == every - 1;
            dead += dies;
            const char *command[] = {"lookup ", "check ", "set ", "search "},
                       *after[] = {"", " pw 1.2.3.4", " pw x", ""};
            text += command[i % 4] + user + after[i % 4] + "\n";
            std::string reply[] = {"+OK lookup " + user, "+OK " + user + " soak x",
                                   "+OK set " + user, "+OK Search Complete 2 items found out of 9"};
            if (i % 4 == 3 && !dies)
                expect.insert(expect.end(), {"+DATA 1 " + user, "+DATA 2 " + user});
            expect.push_back(!dies        ? reply[i % 4]
                             : i % 4 == 3 ? "+OK Search Complete 0 items found out of 0"
                                          : "-DEAD tired");
        }
        corvane.send(text);
        for (size_t k = 0; k < expect.size(); k++)
            ASSERT_EQ(expect[k], corvane.line()) << "reply " << k << " after command " << done;
        std::string proc = "/proc/" + std::to_string(corvane.pid());
        auto fds = fs::directory_iterator(proc + "/fd");
        std::string status = read_file(proc + "/status");
        samples.push_back({std::distance(fds, fs::directory_iterator()),
                           (long)children(corvane.pid()).size(),
                           atol(status.c_str() + status.find("VmRSS:") + 6)});
        ASSERT_EQ(0, zombies(corvane.pid())) << "after command " << done;
    }
    EXPECT_EQ(0, corvane.finish());
    EXPECT_EQ(0, leftovers());
    EXPECT_EQ(dead, count(log(), "restarting..."));
    EXPECT_EQ(0, count(log(), "not using it anymore"));
    // Flat: the same descriptors and children after every batch, and no
    // growth of resident memory once the first batches have warmed it up.
    ASSERT_GE(samples.size(), 3u);
    for (auto &s : samples) EXPECT_EQ(samples[0][0], s[0]) << "descriptors";
    for (auto &s : samples) EXPECT_EQ(modules, s[1]) << "children";
    EXPECT_LE(samples.back()[2] - samples[samples.size() / 5][2], 2048)
        << "resident memory grew (kB)";
}
