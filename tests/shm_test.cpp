// The memory a daemon's processes share, where timing cannot show it: two
// processes counting in one region, a process killed while it holds the
// lock, bytes written over the region, and which entries go at the bound.
// What a client sees (waits, cached answers, statistics) is tested through
// the daemon.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

#include "cache.h"
#include "stats.h"
#include "table.h"
#include "throttle.h"

namespace
{

const long NOW = 1000000;

SharedSettings settings(int fail_entries = 100, int cache_entries = 100)
{
    SharedSettings set = {};
    set.fail_window = 600, set.fail_limit = 3, set.fail_delay = 1000;
    set.fail_entries = fail_entries, set.cache_entries = cache_entries;
    set.cache_ttl = 60, set.cache_negative_ttl = 10;
    throttle_exempt(&set, "127.0.0.0/8 ::1", nullptr, 0);
    return set;
}

struct Region {
    SharedSettings set;
    Shm *s;
    explicit Region(const SharedSettings &with) : set(with)
    {
        ShmPart parts[SHM_PARTS] = {throttle_part(&set), cache_part(&set), stats_part()};
        s = shm_create(parts, nullptr, 0);
    }
    Region(const SharedSettings &with, Shm *attached) : set(with), s(attached) {}
    ~Region() { shm_free(&s); }
    ThrottleKeys keys(const char *addr, unsigned uid, const char *name)
    {
        ThrottleKeys k;
        throttle_keys(s, &set, uid, name, addr, &k);
        return k;
    }
    int fail(const char *addr, unsigned uid = 33, const char *name = "alice")
    {
        ThrottleKeys k = keys(addr, uid, name);
        return throttle_failed(s, &set, &k, NOW);
    }
    int check(const char *addr, long now = NOW, unsigned uid = 33, const char *name = "alice")
    {
        ThrottleKeys k = keys(addr, uid, name);
        return throttle_check(s, &set, &k, now, nullptr);
    }
    void pass(const char *addr, const char *name)
    {
        ThrottleKeys k = keys(addr, 33, name);
        throttle_passed(s, &k);
    }
    CacheKey key(const char *password)
    {
        CacheKey k;
        cache_key(s, &k, 2, 33, "alice", "10.0.0.1", password);
        return k;
    }
    std::string get(const char *password, long now = NOW)
    {
        CacheKey k = key(password);
        char reply[CACHE_REPLY];
        return cache_get(s, &set, &k, now, reply, sizeof reply) ? reply : "";
    }
    int put(const char *password, const char *reply)
    {
        CacheKey k = key(password);
        char ignored[CACHE_REPLY];
        cache_get(s, &set, &k, NOW, ignored, sizeof ignored);
        return cache_put(s, &set, &k, reply, NOW);
    }
    std::string stats()
    {
        std::string text;
        stats_write(s, [&](const char *line) { text += std::string(line) + "\n"; });
        return text;
    }
};

// A child that runs f and ends with its result as exit status; 0 when it did.
template <class F> int in_child(F f)
{
    pid_t pid = fork();
    if (pid == 0) _exit(f());
    int status = -1;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

} // namespace

// A worker maps the region from the descriptor it inherits (its header
// written back by the supervisor first) and its counts are the others'.
TEST(Shared, ProcessesSeeEachOthersCounts)
{
    Region r(settings());
    ASSERT_TRUE(r.s);
    memset(r.s->base, 0xa5, 64); // a worker wrote over the header
    ASSERT_EQ(in_child([&] {
                  if (!shm_pass(r.s, SHM_FD)) return 1;
                  Region w(r.set, shm_attach(SHM_FD, nullptr, 0));
                  if (!w.s || w.s->base == r.s->base) return 2;
                  for (int i = 0; i < 3; i++) w.fail("2001:db8::1");
                  stats_request(w.s, 7, STAT_CHECK, STAT_OK, 3000);
                  return w.put("secret", "+OK alice") ? 0 : 3;
              }),
              0);
    EXPECT_EQ(r.check("2001:db8::2"), 1000) << "the same /64, the same count";
    EXPECT_EQ(r.check("2001:db8:0:1::1"), 0) << "another /64";
    EXPECT_EQ(r.check("2001:db8::1", NOW, 34), 0) << "another peer uid";
    EXPECT_EQ(r.get("secret"), "+OK alice");
    EXPECT_EQ(r.get("wrong"), "");
    EXPECT_NE(r.stats().find("corvane_requests_total{module=\"7\",op=\"check\",result=\"ok\"} 1\n"),
              std::string::npos);
    EXPECT_NE(r.stats().find("le=\"0.005\"} 1\n"), std::string::npos) << "3 ms, in its bucket";
}

// A holder killed with the lock: the next taker goes on at once (it never
// waits for the lock's time-out), and the tables it may have left half
// changed are emptied.
TEST(Shared, KilledHolderDoesNotStopOthers)
{
    Region r(settings());
    for (int i = 0; i < 3; i++) r.fail("10.1.1.1");
    ASSERT_GT(r.check("10.1.1.1", NOW + 60000), 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t pid = fork();
    if (pid == 0) {
        shm_lock(r.s);
        (void)!write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    char x;
    ASSERT_EQ(read(ready[0], &x, 1), 1);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    r.s->wait_ms = 3600 * 1000; // a lock that is not robust would hold the test here
    alarm(60);
    EXPECT_EQ(r.check("10.1.1.1", NOW + 120000), 0);
    alarm(0);
    EXPECT_EQ(shm_deaths(r.s), 1u);
    EXPECT_EQ(r.fail("10.1.1.1"), 1);
}

// Bytes written over the region (random bytes over all of it, lock
// included; random bytes here and there; small numbers, which read as
// entry numbers, here and there; entries that chain to themselves) never
// crash an operation or loop, and the tables serve again afterwards.
TEST(Shared, ScribbledRegionNeverCrashes)
{
    for (unsigned seed = 1; seed <= 32; seed++) {
        Region r(settings(16, 8));
        r.s->wait_ms = 10;
        for (int i = 0; i < 12; i++) r.fail(("10.0.0." + std::to_string(i)).c_str());
        r.put("secret", "+OK alice");
        std::mt19937 random(seed);
        size_t from = r.s->off[SHM_THROTTLE], span = r.s->off[SHM_STATS] - from;
        if (seed % 4 == 0)
            for (size_t i = 0; i < r.s->size; i++) r.s->base[i] = static_cast<uint8_t>(random());
        for (int i = 0; seed % 4 == 1 && i < 300; i++)
            r.s->base[from + random() % span] = static_cast<uint8_t>(random());
        for (int i = 0; seed % 4 == 2 && i < 300; i++) {
            uint32_t n = random() % 40;
            memcpy(r.s->base + from + random() % (span / 4) * 4, &n, 4);
        }
        Table t;
        for (uint32_t i = 0; seed % 4 == 3 && table_open(&t, r.s, SHM_THROTTLE, 32) && i < 12; i++)
            reinterpret_cast<TableEntry *>(t.entries + i * t.stride)->hnext = i + 1;
        for (int i = 0; i < 30; i++) r.fail(("10.0.0." + std::to_string(i % 20)).c_str());
        int wait = r.check("10.0.0.1");
        EXPECT_TRUE(wait >= -1 && wait <= THROTTLE_MAX_MS) << seed;
        std::string reply = r.get("secret");
        EXPECT_TRUE(reply.empty() || reply[0] == '+' || reply.starts_with("-ERR")) << seed;
        stats_request(r.s, 1, STAT_CHECK, STAT_ERR, 10);
        EXPECT_FALSE(r.stats().empty());
        ASSERT_TRUE(cache_flush(r.s));
        EXPECT_EQ(r.put("secret", "+OK alice"), 1) << seed;
        EXPECT_EQ(r.get("secret"), "+OK alice") << seed;
        for (int i = 0; i < 3; i++) r.fail("192.0.2.9");
        EXPECT_EQ(r.check("192.0.2.9"), 1000) << seed;
    }
}

// At the bound, entries under their limit go before entries over it,
// oldest first; the cache drops the least recently used.
TEST(Shared, MemoryBoundDropsInOrder)
{
    SharedSettings set = settings(3, 2);
    set.fail_limit = 2;
    Region r(set);
    r.fail("192.0.2.1"), r.fail("192.0.2.1"); // over its limit, the oldest
    r.fail("192.0.2.2");                      // under, oldest
    r.fail("192.0.2.3");                      // under
    EXPECT_EQ(r.fail("192.0.2.4"), 1);        // full: .2 goes
    EXPECT_EQ(r.fail("192.0.2.3"), 2);        // kept; now over
    EXPECT_EQ(r.fail("192.0.2.2"), 1);        // was dropped; back, and .4 goes
    EXPECT_EQ(r.fail("192.0.2.4"), 1);        // was dropped; back, and .2 goes
    r.fail("192.0.2.4");                      // all over now: .1 oldest
    EXPECT_GT(r.check("192.0.2.1"), 0);
    EXPECT_EQ(r.fail("192.0.2.5"), 1); // .1 goes
    EXPECT_EQ(r.check("192.0.2.1", NOW + 60000), 0);
    EXPECT_GT(r.check("192.0.2.3"), 0);

    r.put("one", "+OK 1"), r.put("two", "+OK 2");
    EXPECT_EQ(r.get("one"), "+OK 1"); // used: "two" is now the least recent
    r.put("three", "+OK 3");
    EXPECT_EQ(r.get("two"), "");
    EXPECT_EQ(r.get("one"), "+OK 1");
    EXPECT_EQ(r.get("three"), "+OK 3");
    Region one(settings(1, 1));
    one.put("one", "+OK 1"), one.put("two", "+OK 2");
    EXPECT_EQ(one.get("one") + one.get("two"), "+OK 2") << "a table of one entry";
}

// The decision over time, which the daemon would show only after waits:
// the doubling and its cut, one waiting check at a time, the window, what
// is never counted, and what a right password clears.
TEST(Shared, ThrottleOverTime)
{
    Region r(settings());
    for (int i = 0; i < 3; i++) r.fail("10.2.0.1");
    EXPECT_EQ(r.check("10.2.0.1"), 1000);
    EXPECT_EQ(r.check("10.2.0.1", NOW + 999), -1) << "one check waits at a time";
    ThrottleKeys k = r.keys("10.2.0.1", 33, "alice");
    throttle_served(r.s, &k, NOW + 995); // handed back a little early
    EXPECT_EQ(r.check("10.2.0.1", NOW + 995), 1000) << "the next check is judged anew";
    r.fail("10.2.0.1");
    EXPECT_EQ(r.check("10.2.0.1", NOW + 1995), 2000) << "doubled per failure past the limit";
    for (int i = 0; i < 3; i++) r.fail("10.2.0.1");
    EXPECT_EQ(r.check("10.2.0.1", NOW + 4000), THROTTLE_MAX_MS) << "16 s, cut";
    EXPECT_GT(r.check("10.2.0.1", NOW + 600000), 0) << "a failure counts for fail_window";
    EXPECT_EQ(r.check("10.2.0.1", NOW + 687000), 0) << "and at most a seventh longer";
    for (int i = 0; i < 3; i++) r.fail("127.0.0.1"), r.fail("::1"), r.fail(nullptr);
    EXPECT_EQ(r.check("127.0.0.1") + r.check("::1"), 0) << "exempt";

    r.set.user_fail_limit = 2;
    r.fail(nullptr, 33, "bob"), r.fail("127.0.0.1", 33, "bob");
    EXPECT_EQ(r.check("192.0.2.7", NOW, 33, "bob"), 1000) << "the user's count, from anywhere";
    EXPECT_EQ(r.check("192.0.2.7", NOW, 33, "carol"), 0);
    for (int i = 0; i < 3; i++) r.fail("10.3.0.1", 33, "dave");
    r.pass("10.3.0.1", "dave");
    EXPECT_EQ(r.check("192.0.2.8", NOW, 33, "dave"), 0) << "a right password clears the user";
    EXPECT_EQ(r.check("10.3.0.1", NOW, 33, "erin"), 1000) << "but never the address";
}

// How long answers are kept, which are never kept, and a check answered
// across a flush (a set meanwhile) that must not put its old answer back.
TEST(Shared, CacheKeepsForItsTime)
{
    Region r(settings());
    r.put("a", "+OK alice"), r.put("b", "-ERR alice not found or password incorrect");
    EXPECT_EQ(r.put("c", "-DEAD Module1 could not answer"), 0);
    EXPECT_EQ(r.get("a", NOW + 59999), "+OK alice");
    EXPECT_EQ(r.get("a", NOW + 60000), "");
    EXPECT_EQ(r.get("b", NOW + 9999), "-ERR alice not found or password incorrect");
    EXPECT_EQ(r.get("b", NOW + 10000), "");
    CacheKey k = r.key("d");
    char reply[CACHE_REPLY];
    EXPECT_EQ(cache_get(r.s, &r.set, &k, NOW, reply, sizeof reply), 0);
    cache_flush(r.s);
    EXPECT_EQ(cache_put(r.s, &r.set, &k, "+OK alice", NOW), 0) << "asked before the flush";
}
