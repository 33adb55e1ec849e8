// Peers: who is at the other end of a daemon's connection, and the one
// matcher of the lists that name peers (`clients`, `writers`).
//
// A list names users (a name or a numeric uid) and groups ("@name" or
// "@gid"), separated by commas or blanks. Names are resolved once, when the
// list is parsed (a configuration loaded), never per connection: a peer is
// matched on the ids the kernel reported for its socket (SO_PEERCRED,
// SO_PEERGROUPS), by its uid or any of its groups.
#ifndef PEERS_H
#define PEERS_H

#include <string>
#include <sys/types.h>
#include <vector>

// A peer as the kernel reported it when it connected.
struct Peer {
    pid_t pid = 0;
    uid_t uid = static_cast<uid_t>(-1); // -1: unknown (never matches a list)
    gid_t gid = static_cast<gid_t>(-1);
    std::vector<gid_t> groups; // its supplementary groups
};

// A parsed list.
struct PeerList {
    bool set = false; // the setting was given (an empty list then matches no one)
    std::vector<uid_t> uids;
    std::vector<gid_t> gids;
};

// The uid of user, the gid of group: a name the user or group database
// knows, or a number (which names itself); -1 for anything else.
long peers_uid(const char *user);
long peers_gid(const char *group);

// Parses list (null: not set) into out. Each entry that names no user or
// group is left out and added to *unknown (when not null) as written
// ("@staf"). 1 when every entry resolved.
int peers_parse(const char *list, PeerList *out, std::vector<std::string> *unknown);

// 1 when l names p's uid, its gid or one of its groups.
int peers_match(const PeerList &l, const Peer &p);

// The peer of the connected socket fd. 0 when the kernel would not say
// (p then matches no list and has uid -1).
int peer_of(int fd, Peer *p);

#endif
