// Daemon: the supervisor: its connections, its workers, reload and stop.
#include "daemon.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <map>
#include <set>
#include <string>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "adt/lib.h"
#include "adt/log.h"
#include "adt/spawn.h"
#include "adt/wire.h"
#include "channel.h"
#include "commands.h"
#include "config.h"
#include "connections.h"
#include "peers.h"
#include "protect.h"
#include "snapshot.h"
#include "stats.h"
#include "worker.h"

using namespace adt;

namespace
{

// Most workers, whatever `workers` says.
const int MAX_WORKERS = 256;
// A worker that ends sooner than this after its start makes the next start wait.
const int QUICK_END_MS = 5000;
const int BACKOFF_FIRST_MS = 1000, BACKOFF_MAX_MS = 60000;
// After SIGTERM: requests in hand may be answered for this long; then the
// workers are told to end, and after the second delay they and their
// modules are killed.
const int FINISH_MS = 5000, KILL_MS = 10000;
// Accepting waits this long when descriptors run out.
const int ACCEPT_PAUSE_MS = 100;
// Connections' time limits are looked at no more often than this.
const int SWEEP_MS = 100;
// Descriptors kept beside the connections: two channels per worker (during
// a reload) and the supervisor's own.
int spare_descriptors(int workers)
{
    return 2 * workers + 32;
}

// What a worker that died leaves its request with.
const char WORKER_GONE[] = "-DEAD no answer: the worker serving the request ended";

// The settings the supervisor takes from the configuration in use.
struct DaemonSettings {
    int workers = 1;
    int timeout_ms = 60000;
    int max_clients = 1024;
    PeerList clients, writers;
};

struct WorkerProc {
    pid_t pid = 0;
    int chan = -1;         // our end of its channel; -1 once closed
    int generation = 0;    // the configuration it runs
    bool ready = false;    // it said READY
    bool retiring = false; // of an old configuration: ends after its request
    bool paused = false;   // not read while its connection's output is full
    uint64_t request = 0;  // the request in hand; 0: free
    uint64_t conn = 0;     // whose it is
    struct timespec started;
};

// Tags of the descriptors the loop waits on: the kind in the top byte.
const uint64_t TAG_SIGNAL = 1ull << 56, TAG_LISTEN = 2ull << 56, TAG_WORKER = 3ull << 56,
               TAG_CONN = 4ull << 56, TAG_KIND = 0xffull << 56;

struct Supervisor {
    DaemonStart *start;
    SIni config;             // in use: handed over, or accepted by a reload
    SIni reloaded = nullptr; // what a reload accepted (owned)
    int snapshot;            // the bytes of config
    DaemonSettings set;
    int ep = -1, sigfd = -1;
    bool accepting = false; // the socket is watched
    std::map<pid_t, WorkerProc> workers;
    int generation = 0;
    int backoff = 0;            // ms of wait after the last quick end
    struct timespec next_start; // no worker starts before this
    std::unordered_map<uint64_t, Connection> conns;
    std::unordered_map<uid_t, int> per_uid;            // connections held per peer uid
    std::unordered_map<uid_t, long long> refusal_said; // uid: when its refusal was logged
    std::deque<uint64_t> waiting;                      // connections with a line for a worker
    std::set<std::pair<long long, uint64_t>> later;    // (when, connection) handed back
    uint64_t last_conn = 0, last_request = 0;
    struct timespec base;    // the clock of later, accept_at, sweep_at, stop_at
    long long accept_at = 0; // accepting waits until then
    long long sweep_at = 0;  // the time limits are next looked at then
    bool stopping = false;
    long long stop_at = 0;
    sigset_t old_mask;
    std::vector<std::string> args; // a worker's command line
    Shm *shm = nullptr;            // the counts and answers the workers share (owned)
};

long long now_ms(const Supervisor *s)
{
    return spawn_elapsed(&s->base);
}

// Watches fd for events under tag (op: EPOLL_CTL_ADD or _MOD).
void watch(Supervisor *s, int op, int fd, uint32_t events, uint64_t tag)
{
    struct epoll_event e;
    e.events = events;
    e.data.u64 = tag;
    epoll_ctl(s->ep, op, fd, &e);
}

} // namespace

// --- Settings ---

namespace
{

// Fits the descriptor limit to max connections beside the workers: raised
// as far as we may, and max lowered to what it allows. The connections the
// limit holds.
int fit_descriptors(int max, int workers)
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return max;
    rlim_t need = static_cast<rlim_t>(max + spare_descriptors(workers));
    if (rl.rlim_cur < need) {
        struct rlimit want = {need, std::max(need, rl.rlim_max)};
        if (setrlimit(RLIMIT_NOFILE, &want) != 0) { // as far as the hard limit goes
            want = {std::min(need, rl.rlim_max), rl.rlim_max};
            setrlimit(RLIMIT_NOFILE, &want);
        }
        getrlimit(RLIMIT_NOFILE, &rl);
    }
    if (rl.rlim_cur >= need) return max;
    int fits = static_cast<int>(rl.rlim_cur) - spare_descriptors(workers);
    return fits < 1 ? 1 : fits;
}

// The lists of peers, their names resolved now; a name that resolves to
// no one is said and left out.
void read_list(SIni config, int id, PeerList *list)
{
    std::vector<std::string> unknown;
    peers_parse(config_global(config, id), list, &unknown);
    for (const std::string &u : unknown)
        emsg("%s '%s': no such %s: left out", config_name(id), u.c_str(),
             u[0] == '@' ? "group" : "user");
}

// `workers`, by default one per CPU.
int worker_count(SIni config)
{
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    int n = number_or(config_global(config, I_WORKERS), cpus > 0 ? static_cast<int>(cpus) : 1);
    return std::clamp(n, 1, MAX_WORKERS);
}

void read_settings(Supervisor *s)
{
    DaemonSettings &d = s->set;
    d.workers = worker_count(s->config);
    d.timeout_ms = 1000 * std::min(config_number(s->config, I_CLIENT_TIMEOUT, nullptr), 86400);
    int max = config_number(s->config, I_MAX_CLIENTS, nullptr);
    d.max_clients = fit_descriptors(max, d.workers);
    if (d.max_clients < max)
        emsg("max_clients %d is more than the descriptor limit allows: %d are held", max,
             d.max_clients);
    read_list(s->config, I_CLIENTS, &d.clients);
    read_list(s->config, I_WRITERS, &d.writers);
}

// The mode and group (-1: the daemon's own) the socket is made with: with
// `clients` set and no `socket_mode`, every user may connect and `clients`
// decides.
void socket_access(SIni config, mode_t *mode, gid_t *gid)
{
    const char *text = config_global(config, I_SOCKET_MODE);
    if (!sini_has(config, I_SOCKET_MODE, nullptr) && config_global(config, I_CLIENTS))
        text = "0666";
    char *end = nullptr;
    long m = strtol(text, &end, 8);
    if (end == text || *end || m < 0 || m > 0777) {
        emsg("socket_mode %s is not an octal mode; 0600 is used", text);
        m = 0600;
    }
    *mode = static_cast<mode_t>(m);
    *gid = static_cast<gid_t>(-1);
    if (const char *group = config_global(config, I_SOCKET_GROUP)) {
        long id = peers_gid(group);
        if (id >= 0)
            *gid = static_cast<gid_t>(id);
        else
            emsg("Cannot give the socket the group %s, no such group", group);
    }
}

// The settings a reload cannot change: they keep their values, and the
// reload says so. The shared tables keep the sizes of region.
void restart_needed(SIni running, SIni loaded, const Shm *region)
{
    SharedSettings set;
    protect_settings(loaded, 1, &set);
    const struct {
        int id, part;
        ShmPart size;
    } tables[] = {{I_FAIL_ENTRIES, SHM_THROTTLE, throttle_part(&set)},
                  {I_CACHE_ENTRIES, SHM_CACHE, cache_part(&set)}};
    for (const auto &t : tables)
        if (t.size.count != region->part[t.part].count)
            amsg("Reload: %s %u is not used: restart needed (it stays %u)", config_name(t.id),
                 t.size.count, region->part[t.part].count);
    mode_t m1, m2;
    gid_t g1, g2;
    socket_access(running, &m1, &g1);
    socket_access(loaded, &m2, &g2);
    if (m1 != m2)
        amsg("Reload: the socket's mode %04o is not used: restart needed (it stays %04o)",
             static_cast<unsigned>(m2), static_cast<unsigned>(m1));
    for (int id : {I_USER, I_GROUP, I_LOG_DIR, I_SOCKET_GROUP}) {
        const char *was = config_global(running, id), *is = config_global(loaded, id);
        if ((was || is) && (!was || !is || strcmp(was, is) != 0))
            amsg("Reload: %s '%s' is not used: restart needed (it stays '%s')", config_name(id),
                 is ? is : "", was ? was : "");
    }
}

} // namespace

// --- Workers ---

namespace
{

void start_worker(Supervisor *s)
{
    int ch[2];
    pid_t self = getpid();
    if (!chan_pair(ch)) {
        emsg("Cannot start a worker, %s", strerror(errno));
        s->next_start = spawn_deadline(BACKOFF_FIRST_MS);
        return;
    }
    std::vector<char *> argv;
    for (std::string &a : s->args) argv.push_back(a.data());
    argv.push_back(nullptr);
    log_flush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0); // the worker and its modules, to be ended together
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != self) _exit(1);
        sigprocmask(SIG_SETMASK, &s->old_mask, nullptr);
        signal(SIGHUP, SIG_IGN);
        int null = open("/dev/null", O_RDONLY);
        if (null > 0) dup2(null, STDIN_FILENO);
        int chan = fcntl(ch[1], F_DUPFD_CLOEXEC, 10),
            bytes = fcntl(s->snapshot, F_DUPFD_CLOEXEC, 10);
        Shm region = *s->shm; // its descriptor clear of those placed before it
        region.fd = fcntl(s->shm->fd, F_DUPFD_CLOEXEC, 10);
        if (dup2(chan, WORKER_CHANNEL) < 0 || dup2(bytes, WORKER_CONFIG) < 0 ||
            !shm_pass(&region, SHM_FD))
            _exit(127);
        execv("/proc/self/exe", argv.data());
        _exit(127);
    }
    close(ch[1]);
    if (pid < 0) {
        emsg("Cannot start a worker, %s", strerror(errno));
        close(ch[0]);
        s->next_start = spawn_deadline(BACKOFF_FIRST_MS);
        return;
    }
    setpgid(pid, pid);
    WorkerProc &w = s->workers[pid];
    w.pid = pid;
    w.chan = ch[0];
    w.generation = s->generation;
    w.started = spawn_deadline(0);
    watch(s, EPOLL_CTL_ADD, w.chan, EPOLLIN, TAG_WORKER | static_cast<uint64_t>(pid));
    imsg("Worker %d started", static_cast<int>(pid));
}

// Workers of the configuration in use.
int current_workers(const Supervisor *s)
{
    int n = 0;
    for (const auto &[pid, w] : s->workers) n += w.generation == s->generation && !w.retiring;
    return n;
}

// Closes our end of w's channel: a worker ends when it sees that.
void close_channel(Supervisor *s, WorkerProc *w)
{
    if (w->chan < 0) return;
    epoll_ctl(s->ep, EPOLL_CTL_DEL, w->chan, nullptr);
    close(w->chan);
    w->chan = -1;
}

// A free worker for the next request: one of the configuration in use, or,
// while none of those serves yet, an old one.
WorkerProc *free_worker(Supervisor *s)
{
    WorkerProc *old = nullptr;
    for (auto &[pid, w] : s->workers) {
        if (w.chan < 0 || !w.ready || w.request || w.retiring) continue;
        if (w.generation == s->generation) return &w;
        old = &w;
    }
    for (auto &[pid, w] : s->workers)
        if (w.generation == s->generation && w.ready) return nullptr; // the old ones retire
    return old;
}

// A worker of the configuration in use serves: the old ones end after
// their request in hand.
void retire_old(Supervisor *s)
{
    bool told = false;
    for (auto &[pid, w] : s->workers) {
        if (w.generation == s->generation || w.retiring) continue;
        w.retiring = told = true;
        if (!w.request) close_channel(s, &w);
    }
    if (told) imsg("Reloaded: the new workers serve, the old ones end after their request");
}

} // namespace

// --- Connections ---

namespace
{

Connection *find_conn(Supervisor *s, uint64_t id)
{
    auto it = s->conns.find(id);
    return it == s->conns.end() ? nullptr : &it->second;
}

// Logs a refusal of uid at most once a second.
bool say_refusal(Supervisor *s, uid_t uid)
{
    long long now = now_ms(s);
    auto it = s->refusal_said.find(uid);
    if (it != s->refusal_said.end() && now - it->second < 1000) return false;
    if (s->refusal_said.size() > 4096) s->refusal_said.clear();
    s->refusal_said[uid] = now;
    return true;
}

// Sends the one line a refused peer gets and closes its connection.
void refuse(Supervisor *s, int fd, const char *line)
{
    stats_count(s->shm, STAT_REFUSED);
    send(fd, line, strlen(line), MSG_DONTWAIT | MSG_NOSIGNAL);
    close(fd);
}

// Lets w's replies in again once its connection's output has room.
void resume_worker(Supervisor *s, uint64_t conn)
{
    for (auto &[pid, w] : s->workers)
        if (w.paused && w.conn == conn && w.chan >= 0) {
            w.paused = false;
            watch(s, EPOLL_CTL_MOD, w.chan, EPOLLIN, TAG_WORKER | static_cast<uint64_t>(pid));
        }
}

void drop(Supervisor *s, Connection *c, const char *why)
{
    if (why)
        imsg("Client pid %d %s for %d s, disconnected", static_cast<int>(c->peer.pid), why,
             s->set.timeout_ms / 1000);
    epoll_ctl(s->ep, EPOLL_CTL_DEL, c->fd, nullptr);
    close(c->fd);
    if (--s->per_uid[c->peer.uid] <= 0) s->per_uid.erase(c->peer.uid);
    stats_connections(s->shm, -1);
    resume_worker(s, c->id); // the rest of its reply is answered to no one
    s->conns.erase(c->id);
}

// A reply the supervisor makes itself, logged as the command handler logs its own.
void reply_here(Connection *c, const char *reply)
{
    imsg("OUTPUT[%s]", reply);
    conn_put(c, reply, strlen(reply));
    conn_put(c, "\n", 1);
}

// Moves c on as far as it goes: writes its output, takes its next line for
// a worker (or answers it here), ends it when its session is over, and
// watches its socket for what it waits for. Gone afterwards when it ended.
void advance(Supervisor *s, Connection *c)
{
    if (!conn_write(c)) return drop(s, c, nullptr);
    std::string line;
    while (c->state == CONN_IDLE && !c->closing && conn_pending(c) < CONN_OUT_HIGH) {
        int got = s->stopping ? 0 : conn_take(c, &line);
        if (got == 2) {
            reply_here(c, "-ERR Line too long");
            continue;
        }
        if (got == 1) {
            c->line = std::move(line);
            c->step = 0;
            c->state = CONN_WAITING;
            s->waiting.push_back(c->id);
            break;
        }
        // A client that ended inside a line was cut off: no goodbye.
        if (c->eof && !conn_in_line(c)) reply_here(c, "+OK bye");
        c->closing = c->eof || s->stopping;
        break;
    }
    if (!conn_write(c)) return drop(s, c, nullptr);
    if (conn_pending(c) < CONN_OUT_HIGH) resume_worker(s, c->id);
    if (c->closing && c->state == CONN_IDLE && conn_pending(c) == 0) return drop(s, c, nullptr);
    int events = (conn_wants_input(c) ? int(EPOLLIN) : 0) | (conn_pending(c) ? int(EPOLLOUT) : 0);
    if (events == c->watched) return;
    // A socket closed by its client would wake the loop at once, for ever.
    if (events == 0 && c->eof) {
        epoll_ctl(s->ep, EPOLL_CTL_DEL, c->fd, nullptr);
        c->watched = -1;
        return;
    }
    watch(s, c->watched < 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, c->fd, static_cast<uint32_t>(events),
          TAG_CONN | c->id);
    c->watched = events;
}

// Admits a new connection, or refuses it with its one line.
void admit(Supervisor *s, int fd)
{
    Peer peer;
    peer_of(fd, &peer);
    int uid = static_cast<int>(peer.uid);
    if (peer.uid != 0 && s->set.clients.set && !peers_match(s->set.clients, peer)) {
        if (say_refusal(s, peer.uid)) emsg("Client uid %d refused: not in clients", uid);
        return refuse(s, fd, "-DEAD this client is not allowed\n");
    }
    int &held = s->per_uid[peer.uid];
    if (held >= std::max(1, s->set.max_clients / 2)) {
        if (say_refusal(s, peer.uid))
            emsg("Client uid %d refused: it holds %d connections, the most one user may", uid,
                 held);
        return refuse(s, fd, "-DEAD too many connections\n");
    }
    held++;
    stats_connections(s->shm, 1);
    uint64_t id = ++s->last_conn;
    Connection &c = s->conns[id];
    conn_init(&c, id, fd);
    c.writer = peer.uid == 0 || peers_match(s->set.writers, peer);
    c.peer = std::move(peer);
    imsg("Client pid %d uid %d gid %d", static_cast<int>(c.peer.pid), uid,
         static_cast<int>(c.peer.gid));
    advance(s, &c);
}

// Takes the connections waiting on the socket, as many as may be held.
void accept_all(Supervisor *s)
{
    for (int i = 0; i < 64 && s->conns.size() < static_cast<size_t>(s->set.max_clients); i++) {
        int fd = accept4(s->start->listener.fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            admit(s, fd);
        } else if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            // The connection stays queued: look again a little later, not at once.
            emsg("Cannot accept a connection, %s; accepting again in %d ms", strerror(errno),
                 ACCEPT_PAUSE_MS);
            s->accept_at = now_ms(s) + ACCEPT_PAUSE_MS;
            return;
        } else if (errno != EINTR && errno != ECONNABORTED) {
            return;
        }
    }
}

// Watches the socket while connections may be taken.
void arm_accept(Supervisor *s)
{
    bool want = !s->stopping && s->start->listener.fd >= 0 &&
                s->conns.size() < static_cast<size_t>(s->set.max_clients) &&
                now_ms(s) >= s->accept_at;
    if (want == s->accepting) return;
    s->accepting = want;
    watch(s, want ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, s->start->listener.fd, EPOLLIN, TAG_LISTEN);
}

// Ends the connections that ran out of time; the next look is due then.
void sweep(Supervisor *s)
{
    long long now = now_ms(s), left = s->set.timeout_ms;
    if (now < s->sweep_at) return;
    std::vector<std::pair<Connection *, const char *>> expired;
    for (auto &[id, c] : s->conns)
        if (const char *why = conn_expired(&c, s->set.timeout_ms, &left))
            expired.push_back({&c, why});
    for (auto &[c, why] : expired) drop(s, c, why);
    s->sweep_at = now + std::max<long long>(left, SWEEP_MS);
}

} // namespace

// --- Requests ---

namespace
{

// Hands the waiting requests to free workers, in turn.
void dispatch(Supervisor *s)
{
    while (!s->waiting.empty()) {
        WorkerProc *w = free_worker(s);
        if (!w) return;
        Connection *c = find_conn(s, s->waiting.front());
        s->waiting.pop_front();
        if (!c || c->state != CONN_WAITING) continue;
        ChanMsg m;
        m.head = ChanHead{CHAN_REQUEST,
                          c->writer ? CHAN_WRITER : 0u,
                          ++s->last_request,
                          c->step,
                          0,
                          static_cast<uint32_t>(c->peer.uid),
                          static_cast<uint32_t>(c->peer.gid),
                          static_cast<int32_t>(c->peer.pid),
                          static_cast<uint32_t>(c->line.size())};
        memcpy(m.text, c->line.data(), c->line.size());
        if (!chan_send(w->chan, &m, 0)) { // it is on its way out: another takes the request
            s->waiting.push_front(c->id);
            close_channel(s, w);
            kill(-w->pid, SIGKILL);
            continue;
        }
        c->state = CONN_SERVING;
        c->request = w->request = m.head.id;
        w->conn = c->id;
    }
}

// w holds no request any more; an old worker ends now.
void worker_free(Supervisor *s, WorkerProc *w)
{
    w->request = 0;
    w->conn = 0;
    if (w->paused && w->chan >= 0)
        watch(s, EPOLL_CTL_MOD, w->chan, EPOLLIN, TAG_WORKER | static_cast<uint64_t>(w->pid));
    w->paused = false;
    if (w->retiring) close_channel(s, w);
}

// w can serve no more: its request is answered as lost, and it and its
// modules are ended (the reaping replaces it).
void worker_lost(Supervisor *s, WorkerProc *w, const char *why)
{
    if (why) emsg("Worker %d: %s", static_cast<int>(w->pid), why);
    close_channel(s, w);
    kill(-w->pid, SIGKILL);
    Connection *c = w->request ? find_conn(s, w->conn) : nullptr;
    w->request = 0;
    if (!c) return;
    reply_here(c, WORKER_GONE);
    c->state = CONN_IDLE;
    advance(s, c);
}

// One message of w; 0 when w was found at fault (and lost).
int worker_says(Supervisor *s, WorkerProc *w, const ChanMsg &m)
{
    if (m.head.kind == CHAN_READY && !w->ready) {
        w->ready = true;
        if (w->generation == s->generation) retire_old(s);
        return 1;
    }
    bool answer = m.head.kind == CHAN_REPLY || m.head.kind == CHAN_LATER;
    bool whole = m.head.len == 0 || m.text[m.head.len - 1] == '\n';
    if (!answer || !w->request || m.head.id != w->request || !whole) {
        worker_lost(s, w, "sent a message out of turn; ended");
        return 0;
    }
    Connection *c = find_conn(s, w->conn);
    if (m.head.kind == CHAN_LATER) {
        if (c) {
            c->state = CONN_LATER;
            c->step = m.head.step;
            s->later.insert({now_ms(s) + std::max(0, m.head.ms), c->id});
        }
        worker_free(s, w);
        return 1;
    }
    if (c) conn_put(c, m.text, m.head.len);
    if (m.head.flags & CHAN_DONE) {
        if (c) {
            c->state = CONN_IDLE;
            c->closing |= (m.head.flags & CHAN_LAST) != 0;
            c->idle_since = spawn_deadline(0);
        }
        worker_free(s, w);
    } else if (c && conn_pending(c) >= CONN_OUT_HIGH && !w->paused) {
        // The client reads slower than the worker answers: the worker waits.
        w->paused = true;
        watch(s, EPOLL_CTL_MOD, w->chan, 0, TAG_WORKER | static_cast<uint64_t>(w->pid));
    }
    if (c) advance(s, c);
    return 1;
}

// Takes what w sent, a bounded number of messages at a time.
void from_worker(Supervisor *s, WorkerProc *w)
{
    static ChanMsg m; // large: not on the stack
    for (int i = 0; i < 64 && w->chan >= 0 && !w->paused; i++) {
        int r = chan_recv(w->chan, &m);
        if (r < 0 && errno == EAGAIN) return;
        if (r <= 0) {
            worker_lost(s, w, r < 0 ? "its channel failed; ended" : nullptr);
            return;
        }
        if (!worker_says(s, w, m)) return;
    }
}

// Requests handed back whose moment came wait for a worker again.
void wake_later(Supervisor *s)
{
    long long now = now_ms(s);
    while (!s->later.empty() && s->later.begin()->first <= now) {
        Connection *c = find_conn(s, s->later.begin()->second);
        s->later.erase(s->later.begin());
        if (!c || c->state != CONN_LATER) continue;
        c->state = CONN_WAITING;
        s->waiting.push_back(c->id);
    }
}

} // namespace

// --- The supervisor's loop ---

namespace
{

// Reaps ended workers; a current one is replaced, later when it ended soon
// after its start.
void reap(Supervisor *s)
{
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        auto it = s->workers.find(pid);
        if (it == s->workers.end()) continue;
        WorkerProc &w = it->second;
        bool replace = !s->stopping && !w.retiring && w.generation == s->generation;
        worker_lost(s, &w, nullptr); // its modules go with it
        long long lived = spawn_elapsed(&w.started);
        s->workers.erase(it);
        if (!replace) continue;
        if (WIFSIGNALED(status))
            emsg("Worker %d ended by signal %d", static_cast<int>(pid), WTERMSIG(status));
        else
            imsg("Worker %d ended with status %d", static_cast<int>(pid), WEXITSTATUS(status));
        if (lived < QUICK_END_MS) {
            s->backoff = s->backoff ? std::min(s->backoff * 2, BACKOFF_MAX_MS) : BACKOFF_FIRST_MS;
            s->next_start = spawn_deadline(s->backoff);
            emsg("Worker %d ended %lld ms after its start; the next starts in %d s",
                 static_cast<int>(pid), lived, s->backoff / 1000);
        } else {
            s->backoff = 0;
        }
    }
}

// Judges the configuration file again: a file with any problem is refused,
// its problems logged and written to standard error. An accepted one is
// what new workers start on.
void reload(Supervisor *s)
{
    int snapshot = snapshot_take(s->start->path);
    ConfigVerdict verdict;
    char source[64];
    SIni config =
        snapshot < 0 ? nullptr
                     : config_judge_from(snapshot_path(snapshot, source), s->start->path,
                                         s->start->dir, CONFIG_TO_LOG | CONFIG_TO_STDERR, &verdict);
    if (!config) {
        amsg("Reload refused, the running workers stay: cannot load %s: %s", s->start->path,
             strerror(errno));
    } else if (verdict.problems) {
        amsg("Reload refused, the running workers stay: %d problem(s) in %s", verdict.problems,
             s->start->path);
        sini_free(&config);
    }
    if (!config) {
        if (snapshot >= 0) close(snapshot);
        return;
    }
    restart_needed(s->config, config, s->shm);
    imsg("Reload: new workers start on the new configuration");
    sini_free(&s->reloaded);
    s->config = s->reloaded = config;
    close(s->snapshot);
    s->snapshot = snapshot;
    read_settings(s);
    s->sweep_at = 0; // the time limits may be shorter now
    s->generation++;
    s->backoff = 0;
    s->next_start = spawn_deadline(0);
}

void stop(Supervisor *s)
{
    imsg("Stopping: no new clients; the requests in hand are answered");
    s->stopping = true;
    s->stop_at = now_ms(s);
    arm_accept(s);
    if (!listener_close(&s->start->listener))
        emsg("Cannot remove the socket %s, %s; the next start replaces it", s->start->listener.path,
             strerror(errno));
    std::vector<Connection *> all;
    for (auto &[id, c] : s->conns) all.push_back(&c);
    for (Connection *c : all) advance(s, c); // takes no more lines: ends those without a request
}

// The stop's course: workers are told to end once no request is left (or
// the time to finish is over), and killed when they take too long.
void stopping(Supervisor *s)
{
    long long since = now_ms(s) - s->stop_at;
    if (since >= FINISH_MS) {
        std::vector<Connection *> all;
        for (auto &[id, c] : s->conns) all.push_back(&c);
        for (Connection *c : all) drop(s, c, nullptr);
    }
    if (s->conns.empty())
        for (auto &[pid, w] : s->workers) close_channel(s, &w);
    if (since >= KILL_MS)
        for (auto &[pid, w] : s->workers) kill(-pid, SIGKILL);
}

// The signals the loop takes as events.
void on_signal(Supervisor *s)
{
    struct signalfd_siginfo info;
    while (read(s->sigfd, &info, sizeof info) == sizeof info) {
        if (info.ssi_signo == SIGCHLD) {
            reap(s);
        } else if (info.ssi_signo == SIGHUP && !s->stopping) {
            reload(s);
        } else if ((info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT) && !s->stopping) {
            stop(s);
        }
    }
}

// Milliseconds the loop may wait for an event.
int wait_ms(Supervisor *s)
{
    long long now = now_ms(s), wait = s->conns.empty() ? 1000 : s->sweep_at - now;
    if (!s->later.empty()) wait = std::min(wait, s->later.begin()->first - now);
    if (s->accept_at > now) wait = std::min(wait, s->accept_at - now);
    if (!s->stopping && current_workers(s) < s->set.workers)
        wait = std::min(wait, spawn_left(&s->next_start));
    if (s->stopping) wait = std::min(wait, 100LL);
    return static_cast<int>(std::clamp(wait, 0LL, 1000LL));
}

void on_event(Supervisor *s, const struct epoll_event &e)
{
    uint64_t kind = e.data.u64 & TAG_KIND, id = e.data.u64 & ~TAG_KIND;
    if (kind == TAG_SIGNAL) {
        on_signal(s);
    } else if (kind == TAG_LISTEN) {
        accept_all(s);
    } else if (kind == TAG_WORKER) {
        auto it = s->workers.find(static_cast<pid_t>(id));
        if (it != s->workers.end()) from_worker(s, &it->second);
    } else if (Connection *c = find_conn(s, id)) {
        if ((e.events & (EPOLLIN | EPOLLHUP | EPOLLERR)) && !conn_read(c))
            drop(s, c, nullptr);
        else
            advance(s, c);
    }
}

// Runs until stopped and every worker and connection is gone.
void run(Supervisor *s)
{
    struct epoll_event events[64];
    while (!s->stopping || !s->workers.empty() || !s->conns.empty()) {
        while (!s->stopping && current_workers(s) < s->set.workers &&
               spawn_left(&s->next_start) == 0)
            start_worker(s);
        arm_accept(s);
        int n = epoll_wait(s->ep, events, 64, wait_ms(s));
        for (int i = 0; i < n; i++) on_event(s, events[i]);
        wake_later(s);
        dispatch(s);
        sweep(s);
        if (s->stopping) stopping(s);
    }
}

} // namespace

int daemon_prepare(DaemonStart *d)
{
    std::string why;
    int taken = listener_take(&d->listener, &why);
    mode_t mode;
    gid_t gid;
    socket_access(d->config, &mode, &gid);
    if (taken == 0 && !listener_bind(&d->listener, d->socket_path, mode, gid, &why)) taken = -1;
    if (taken < 0) {
        print_dead("cannot listen on %s: %s", d->socket_path, why.c_str());
        return 0;
    }
    // As root the limit can be raised further than afterwards.
    fit_descriptors(config_number(d->config, I_MAX_CLIENTS, nullptr), worker_count(d->config));
    return 1;
}

int daemon_supervise(DaemonStart *d)
{
    Supervisor s;
    s.start = d;
    s.config = d->config;
    s.snapshot = d->snapshot;
    s.base = s.next_start = spawn_deadline(0);
    read_settings(&s);
    SharedSettings shared;
    protect_settings(s.config, 1, &shared);
    char why[WIRE_BUF];
    s.shm = protect_region(&shared, why, sizeof why);
    if (!s.shm) {
        print_dead("cannot make the memory the workers share: %s", why);
        listener_close(&d->listener);
        return 1;
    }
    for (int i = 0; i < d->argc; i++) s.args.push_back(d->argv[i]);
    s.args.insert(s.args.end(), {"-worker", std::to_string(getpid()), d->log_dir});
    // The supervisor holds its clients' passwords: no one of its user may read them.
    prctl(PR_SET_DUMPABLE, 0);

    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGCHLD, SIGHUP, SIGTERM, SIGINT}) sigaddset(&set, sig);
    signal(SIGHUP, SIG_DFL); // an ignored signal would not even be queued
    sigprocmask(SIG_BLOCK, &set, &s.old_mask);
    s.ep = epoll_create1(EPOLL_CLOEXEC);
    s.sigfd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (s.ep < 0 || s.sigfd < 0) {
        print_dead("cannot wait for events: %s", strerror(errno));
        return 1;
    }
    watch(&s, EPOLL_CTL_ADD, s.sigfd, EPOLLIN, TAG_SIGNAL);
    imsg("Listening on %s with %d workers",
         d->listener.activated ? "the socket handed over" : d->listener.path, s.set.workers);
    run(&s);
    imsg("Stopped");
    close(s.ep);
    close(s.sigfd);
    close(s.snapshot);
    sigprocmask(SIG_SETMASK, &s.old_mask, nullptr);
    sini_free(&s.reloaded);
    shm_free(&s.shm);
    return 0;
}
