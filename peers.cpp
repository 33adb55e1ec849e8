// Peers: a connection's peer and the lists that name peers.
#include "peers.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>

#include "adt/lib.h"
#include "adt/wire.h"

namespace
{

// The id in text when it is all decimal digits, else -1.
long numeric_id(const char *text)
{
    if (!text || !*text || strspn(text, "0123456789") != strlen(text) || strlen(text) > 9)
        return -1;
    return atol(text);
}

// One entry: a user ("alice", "1000") or a group ("@mail", "@8"). 0 when
// the name resolves to nothing.
int add_entry(const char *entry, PeerList *out)
{
    bool group = entry[0] == '@';
    long id = group ? peers_gid(entry + 1) : peers_uid(entry);
    if (id < 0) return 0;
    if (group)
        out->gids.push_back(static_cast<gid_t>(id));
    else
        out->uids.push_back(static_cast<uid_t>(id));
    return 1;
}

bool has(const std::vector<gid_t> &v, gid_t id)
{
    return std::find(v.begin(), v.end(), id) != v.end();
}

} // namespace

long peers_uid(const char *user)
{
    long id = numeric_id(user);
    struct passwd *pw = id < 0 && user ? getpwnam(user) : nullptr;
    return pw ? static_cast<long>(pw->pw_uid) : id;
}

long peers_gid(const char *group)
{
    long id = numeric_id(group);
    struct group *g = id < 0 && group ? getgrnam(group) : nullptr;
    return g ? static_cast<long>(g->gr_gid) : id;
}

int peers_parse(const char *list, PeerList *out, std::vector<std::string> *unknown)
{
    *out = PeerList();
    if (!list) return 1;
    out->set = true;
    char copy[adt::WIRE_BUF];
    char *entry[100];
    adt::scpy(copy, list, sizeof copy);
    int n = adt::ssplit(copy, ", \t", entry, 100, 1), all = 1;
    for (int i = 0; i < n; i++) {
        if (!*entry[i] || add_entry(entry[i], out)) continue;
        all = 0;
        if (unknown) unknown->push_back(entry[i]);
    }
    return all;
}

int peers_match(const PeerList &l, const Peer &p)
{
    if (p.uid == static_cast<uid_t>(-1)) return 0;
    if (std::find(l.uids.begin(), l.uids.end(), p.uid) != l.uids.end()) return 1;
    if (has(l.gids, p.gid)) return 1;
    for (gid_t g : p.groups)
        if (has(l.gids, g)) return 1;
    return 0;
}

int peer_of(int fd, Peer *p)
{
    *p = Peer();
    struct ucred cred;
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return 0;
    std::vector<gid_t> groups(64);
    len = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    int r = getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len);
    if (r != 0 && errno == ERANGE) { // len now says how much room they take
        groups.resize(len / sizeof(gid_t));
        r = getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len);
    }
    // Without its groups the peer would be matched on less than it is: refused.
    if (r != 0) return 0;
    groups.resize(len / sizeof(gid_t));
    p->pid = cred.pid;
    p->uid = cred.uid;
    p->gid = cred.gid;
    p->groups = std::move(groups);
    return 1;
}
