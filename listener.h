// Listener: the daemon's listening socket. It is bound at its path with its
// mode and group set while it lies in a private directory beside the path
// (mode 0700), and only then linked into place, so that no link put at the
// path can make the daemon change another file; or it is taken as systemd
// hands it over (LISTEN_FDS 1, LISTEN_PID our process id, descriptor 3).
#ifndef LISTENER_H
#define LISTENER_H

#include <string>
#include <sys/types.h>

struct Listener {
    const char *path = nullptr; // where it was bound (not owned)
    int fd = -1;                // listening, non-blocking, close-on-exec
    bool activated = false;     // handed over: not ours to remove
    dev_t dev = 0;              // the socket file bound, removed at the end
    ino_t ino = 0;
};

// The socket the service manager hands this process, in l: 1; 0 when it
// hands none; -1 with the reason in *why when it hands something else.
int listener_take(Listener *l, std::string *why);

// Binds and listens on path with mode and group gid (-1: ours). A socket
// file no daemon answers on is replaced; anything else at the path is
// left and refused. 1; 0 with the reason in *why.
int listener_bind(Listener *l, const char *path, mode_t mode, gid_t gid, std::string *why);

// Closes the socket and removes the file bound, when it is still the one
// at the path and ours to remove. 0 when it could not be removed (errno
// says why; the next start replaces it).
int listener_close(Listener *l);

#endif
