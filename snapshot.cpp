// Snapshot: a file's bytes in a sealed memory file.
#include "snapshot.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "adt/lib.h"

int snapshot_take(const char *path)
{
    int in = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (in < 0) return -1;
    if (fstat(in, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(in);
        errno = EISDIR;
        return -1;
    }
    int fd = memfd_create("corvane.ini", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    char bf[65536];
    ssize_t n = 0;
    while (fd >= 0 && (n = read(in, bf, sizeof bf)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || !adt::write_all(fd, bf, static_cast<size_t>(n))) break;
    }
    int e = errno;
    close(in);
    if (fd >= 0 && n == 0 &&
        fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) == 0)
        return fd;
    if (fd >= 0) close(fd);
    errno = e;
    return -1;
}

const char *snapshot_path(int fd, char *bf)
{
    snprintf(bf, 64, "/proc/self/fd/%d", fd);
    return bf;
}
