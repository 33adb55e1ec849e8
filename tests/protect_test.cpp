// Failure throttling, the result cache and the statistics, end to end
// through the daemon's workers (and the standard-input mode), read from
// replies, the log, the module's request file and the stats command.
#include "tests/daemon_kit.h"

using namespace testkit;

namespace
{

const std::string Checks = "lookup hold\t!sleep 3000 ;; +OK held\nlookup\t+OK $2\n"
                           "check eve\t-DEAD store down\ncheck alice right\t+OK alice\n"
                           "check carol right\t+OK carol\ncheck\t-ERR no\nset\t+OK set\n";

class Protect : public Daemon
{
  protected:
    // The value of the stats line that begins with series.
    long stat(const std::string &series)
    {
        for (const std::string &l : session(sock, "stats\n"))
            if (l.starts_with("+DATA " + series + " ")) return std::stol(l.substr(l.rfind(' ')));
        return -1;
    }
};

} // namespace

TEST_F(Protect, AnAddressPastTheLimitWaitsHoldingNoWorkerAndAnotherCheckOfItIsRefused)
{
    config("workers 1\nfail_limit 2\nfail_delay 8000", Checks);
    ASSERT_TRUE(launch());
    const std::string wrong = "check alice wrong 10.9.9.9\n";
    EXPECT_EQ((Lines{"-ERR no", "-ERR no", "+OK bye"}), session(sock, wrong + wrong));
    // A right password from another address, and failures from an exempt one, do not wait.
    EXPECT_EQ((Lines{"+OK alice", "+OK bye"}), session(sock, "check alice right 10.8.8.8\n"));
    for (int i = 0; i < 3; i++) session(sock, "check alice wrong 127.0.0.1\n");
    int waiting = socket_at(sock, "check carol right 10.9.9.9\n");
    ASSERT_TRUE(logged("Throttled check of carol from 10.9.9.9: 2 failures, waiting 8000 ms"));
    EXPECT_EQ((Lines{"-DEAD throttled, try again later", "+OK bye"}),
              session(sock, "check dave right 10.9.9.9\n"));
    // The one worker answers another client meanwhile.
    EXPECT_EQ((Lines{"+OK x", "+OK bye"}), session(sock, "lookup x\n"));
    pollfd p = {waiting, POLLIN, 0};
    EXPECT_EQ(0, poll(&p, 1, 0)) << "the waiting check was answered before the lookup";
    EXPECT_EQ("+OK carol\n", read_all(waiting, 1));
    close(waiting);
    EXPECT_EQ(1, count(sent("m"), "check carol"));
    EXPECT_EQ(0, count(sent("m"), "check dave"));
    EXPECT_EQ(0, count(read_file(dir / log_file), "from 10.8.8.8:"));
    EXPECT_EQ(0, count(read_file(dir / log_file), "from 127.0.0.1:"));
    EXPECT_EQ(2, stat("corvane_throttled_total"));
    stop();
}

TEST_F(Protect, TheCountsAndTheCacheAreSharedByTheWorkersAndEmptiedByASet)
{
    config("workers 2\nfail_limit 1\nfail_delay 100\ncache_ttl 60\ncache_negative_ttl 60", Checks);
    ASSERT_TRUE(launch());
    ASSERT_TRUE(eventually([&] { return count(read_file(dir / log_file), "Worker ready") == 2; }));
    // While both are free the first worker serves; then it sleeps and the other serves.
    const std::string bob = "check bob wrong 10.6.6.6\n", eve = "check eve x 10.7.7.7\n";
    EXPECT_EQ((Lines{"+OK alice", "-ERR no", "+OK bye"}),
              session(sock, "check alice right\n" + bob));
    int hold = socket_at(sock, "lookup hold\nquit\n");
    ASSERT_TRUE(logged("INPUT[lookup hold]"));
    const Lines rows[][2] = {
        {{"check alice right\n"}, {"+OK alice", "+OK bye"}}, // from the cache
        {{eve + eve},
         {"-DEAD store down", "-DEAD store down", "+OK bye"}}, // neither kept nor counted
        {{bob + bob}, {"-ERR no", "-ERR no", "+OK bye"}},      // each waited, then from the cache
        {{"set alice new\n"}, {"+OK set", "+OK bye"}},
    };
    for (const auto &[in, out] : rows) EXPECT_EQ(out, session(sock, in[0])) << in[0];
    EXPECT_EQ("+OK held\n+OK bye\n", read_all(hold));
    EXPECT_EQ((Lines{"+OK alice", "+OK bye"}), session(sock, "check alice right\n"));
    Lines asked = lines_of(sent("m"));
    EXPECT_EQ(2, std::count(asked.begin(), asked.end(), "check alice right "));
    EXPECT_EQ(2, std::count(asked.begin(), asked.end(), eve.substr(0, eve.size() - 1)));
    EXPECT_EQ(1, std::count(asked.begin(), asked.end(), bob.substr(0, bob.size() - 1)));
    // The other worker saw the first failure, and the answers from the cache counted.
    EXPECT_TRUE(logged("Throttled check of bob from 10.6.6.6: 1 failures, waiting 100 ms"));
    EXPECT_TRUE(logged("Throttled check of bob from 10.6.6.6: 2 failures, waiting 200 ms"));
    EXPECT_EQ(0, count(read_file(dir / log_file), "from 10.7.7.7:"));
    const std::pair<std::string, long> stats[] = {
        {"corvane_requests_total{module=\"1\",op=\"check\",result=\"ok\"}", 2},
        {"corvane_requests_total{module=\"1\",op=\"check\",result=\"err\"}", 1},
        {"corvane_requests_total{module=\"1\",op=\"check\",result=\"dead\"}", 2},
        {"corvane_requests_total{module=\"1\",op=\"set\",result=\"ok\"}", 1},
        {"corvane_request_seconds_count{module=\"1\",op=\"check\"}", 5},
        {"corvane_module_restarts_total{module=\"1\"}", 2},
        {"corvane_throttled_total", 2},
        {"corvane_cache_hits_total", 3},
        {"corvane_cache_misses_total", 6},
        {"corvane_connections", 1},
    };
    for (const auto &[series, value] : stats) EXPECT_EQ(value, stat(series)) << series;
    // A reload keeps the counts and says which sizes wait for a restart.
    reload("workers 2\ncache_ttl 60\ncache_entries 5", Checks);
    EXPECT_TRUE(logged("Reload: cache_entries 5 is not used: restart needed (it stays 10000)"));
    EXPECT_EQ(3, stat("corvane_cache_hits_total"));
    // flush is for writers, and empties the cache.
    EXPECT_EQ((Lines{"+OK cache emptied", "+OK bye"}), session(sock, "flush\n"));
    stop();
}

TEST_F(Protect, StatsAndFlushAreForWriters)
{
    config("clients nobody\ncache_ttl 60", Checks);
    ASSERT_TRUE(launch());
    EXPECT_EQ("-ERR stats not allowed for this client\n-ERR flush not allowed for this client\n"
              "+OK bye\n",
              connect_run(AsNobody, {}, "stats\nflush\n"));
    stop();
}

TEST_F(Protect, TheStandardInputModeThrottlesAndCachesOnlyWhatItsFileSets)
{
    config("", Checks);
    const std::string wrong = "check alice wrong 10.9.9.9\n";
    Outcome r = run({"-path", "."}, wrong + wrong + wrong + wrong + wrong + wrong + "stats\n");
    EXPECT_EQ(0, count(log(), "Throttled"));
    EXPECT_EQ(6, count(sent("m"), "check alice wrong"));
    EXPECT_TRUE(contains(r.out, "+DATA corvane_cache_misses_total 0\n")) << r.out;
    EXPECT_TRUE(r.out.ends_with("\n+OK stats\n")) << r.out;
    config("fail_limit 1\nfail_delay 1", Checks);
    run({"-path", "."}, wrong + wrong);
    EXPECT_TRUE(
        contains(log(), "Throttled check of alice from 10.9.9.9: 1 failures, waiting 1 ms"));
    EXPECT_TRUE(contains(run({"-path", ".", "-t"}).err, "a per-login process forgets"));
}
