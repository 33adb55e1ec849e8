// The shared region of a daemon's processes under a worker gone wrong: any
// bytes written anywhere over it (its lock and table heads included),
// between failures, checks, passes, cached answers, flushes and statistics
// of a few addresses, users and peers. No operation crashes or loops; a
// check waits -1 to THROTTLE_MAX_MS; a failure is counted; an answer kept
// is given back by the next lookup of its key, a flush empties the cache,
// and every cached reply and statistics line reads as one.
#include <cstdint>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>

#include "adt/log.h"
#include "cache.h"
#include "fuzz/fuzz_util.h"
#include "stats.h"
#include "throttle.h"

namespace
{

const char *const ADDRESSES[] = {"10.0.0.1",  "10.0.0.2",        "2001:db8::1",  "2001:db8::2",
                                 "127.0.0.1", "::ffff:10.0.0.1", "host.example", ""};
const char *const NAMES[] = {"alice", "bob", "carol", "dave"};
const char *const REPLIES[] = {"+OK alice", "-ERR alice not found or password incorrect",
                               "-DEAD Module1 could not answer", "+OK"};

void sound_reply(const char *reply)
{
    fuzz::require(strlen(reply) < CACHE_REPLY && (reply[0] == '+' || !strncmp(reply, "-ERR", 4)),
                  "a cached reply reads as one that was kept");
}

void sound_stats(const Shm *s)
{
    stats_write(s, [](const char *line) {
        fuzz::require(strlen(line) < 998 && !strchr(line, '\n') &&
                          (!strncmp(line, "# HELP corvane_", 15) ||
                           !strncmp(line, "# TYPE corvane_", 15) || !strncmp(line, "corvane_", 8)),
                      "a statistics line reads as one");
    });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool quiet = (adt::log_set(adt::log_init(adt::LogNone)), true);
    (void)quiet;
    FuzzedDataProvider in(data, size);
    SharedSettings set = {};
    set.fail_window = in.ConsumeIntegralInRange(1, 700);
    set.fail_limit = in.ConsumeIntegralInRange(0, 4);
    set.user_fail_limit = in.ConsumeIntegralInRange(0, 4);
    set.fail_delay = in.ConsumeIntegralInRange(0, 3000);
    set.fail_entries = in.ConsumeIntegralInRange(0, 40);
    set.cache_ttl = in.ConsumeIntegralInRange(0, 100);
    set.cache_negative_ttl = in.ConsumeIntegralInRange(0, 100);
    set.cache_entries = in.ConsumeIntegralInRange(0, 20);
    throttle_exempt(&set, "127.0.0.0/8 ::1", nullptr, 0);
    ShmPart parts[SHM_PARTS] = {throttle_part(&set), cache_part(&set), stats_part()};
    Shm *s = shm_create(parts, nullptr, 0);
    fuzz::require(s, "a region");
    s->wait_ms = 1;
    long now = 1000000;
    char reply[CACHE_REPLY];
    while (in.remaining_bytes()) {
        now += in.ConsumeIntegralInRange(0, 100000);
        auto addr = in.PickValueInArray(ADDRESSES);
        auto name = in.PickValueInArray(NAMES);
        unsigned uid = in.ConsumeIntegralInRange(0, 2);
        ThrottleKeys k;
        throttle_keys(s, &set, uid, name, addr, &k);
        CacheKey c;
        cache_key(s, &c, 2, uid, name, addr, name);
        switch (in.ConsumeIntegralInRange(0, 8)) {
        case 0: { // bytes anywhere
            size_t at = in.ConsumeIntegralInRange<size_t>(0, s->size - 1);
            std::string bytes = in.ConsumeBytesAsString(in.ConsumeIntegralInRange(1, 16));
            memcpy(s->base + at, bytes.data(), std::min(bytes.size(), s->size - at));
            break;
        }
        case 1: { // a small number, which reads as an entry number, in a table
            size_t words = (s->off[SHM_STATS] - s->off[SHM_THROTTLE]) / 4;
            uint32_t n = in.ConsumeIntegralInRange(0, 45);
            memcpy(s->base + s->off[SHM_THROTTLE] +
                       in.ConsumeIntegralInRange<size_t>(0, words - 1) * 4,
                   &n, 4);
            break;
        }
        case 2:
            fuzz::require(throttle_failed(s, &set, &k, now) >= (k.n > 0 && set.fail_entries > 0),
                          "a failure is counted");
            break;
        case 3: {
            int wait = throttle_check(s, &set, &k, now, nullptr);
            fuzz::require(wait >= -1 && wait <= THROTTLE_MAX_MS, "a wait within the bounds");
            break;
        }
        case 4:
            throttle_passed(s, &k);
            break;
        case 5: {
            if (cache_get(s, &set, &c, now, reply, sizeof reply)) sound_reply(reply);
            const char *kept = in.PickValueInArray(REPLIES);
            if (cache_put(s, &set, &c, kept, now))
                fuzz::require(cache_get(s, &set, &c, now, reply, sizeof reply) &&
                                  !strcmp(reply, kept),
                              "an answer kept is given back");
            break;
        }
        case 6:
            fuzz::require(cache_flush(s) && !cache_get(s, &set, &c, now, reply, sizeof reply),
                          "a flush empties the cache");
            break;
        case 7:
            stats_request(s, in.ConsumeIntegralInRange(0, 3), in.ConsumeIntegralInRange(-1, 5),
                          in.ConsumeIntegralInRange(-1, 4), in.ConsumeIntegral<int32_t>());
            stats_count(s, in.ConsumeIntegralInRange<int>(-1, STAT_COUNTERS));
            break;
        default:
            sound_stats(s);
        }
    }
    shm_free(&s);
    return 0;
}
