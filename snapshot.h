// Snapshot: a configuration file's bytes, read once and sealed, so that the
// configuration a daemon judged is the one every worker it starts runs,
// whatever happens to the file afterwards.
#ifndef SNAPSHOT_H
#define SNAPSHOT_H

// A sealed, close-on-exec memory file holding the bytes of the file at
// path (read in one pass), or -1 with errno set (the file's own reason:
// ENOENT, EACCES, EISDIR). The caller closes it.
int snapshot_take(const char *path);

// The path that reads snapshot fd again from its start, in bf (64 bytes).
const char *snapshot_path(int fd, char *bf);

#endif
