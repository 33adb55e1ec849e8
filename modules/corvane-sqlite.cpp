// corvane-sqlite: Corvane's module for users kept in an SQLite database,
// one table "users" (name, hash, extra), for stores that outgrow a flat
// file. The database is created on first use, owner-only, and runs in WAL
// mode, so that readers never wait for a writer; writers wait for each
// other up to the busy time-out. Every statement is prepared once at start
// and every change is its own transaction.
#include "modules/modlib.h"

#include "adt/lib.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sqlite3.h>
#include <string>
#include <unistd.h>

struct sqlite_store {
    std::string Path;
    sqlite3 *Db;
    sqlite3_stmt *Find;   // name: hash, extra
    sqlite3_stmt *Put;    // name, hash, extra: insert or replace both
    sqlite3_stmt *Update; // name, hash or null, extra or null, expected hash or null
    sqlite3_stmt *Remove; // name
    sqlite3_stmt *List;   // every name and extra in name order
    sqlite3_stmt *Begin;  // takes the write lock at once
    sqlite3_stmt *Commit;
    sqlite3_stmt *Rollback;
};
typedef struct sqlite_store SqliteStore;

static const char _schema[] = "CREATE TABLE IF NOT EXISTS users ("
                              " name TEXT PRIMARY KEY NOT NULL,"
                              " hash TEXT NOT NULL,"
                              " extra TEXT NOT NULL DEFAULT '')";

// The result for a failed call: a database that cannot be read at all
// makes the module dead, so that Corvane starts it afresh; anything else
// fails only the request.
static int _error(SqliteStore *q, int rc, const char *what, std::string *err)
{
    int primary = rc & 0xff;
    if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) {
        *err = "store is busy, " + q->Path + " stays locked by another process";
        return MOD_FAIL;
    }
    *err = std::string(what) + " " + q->Path + ": " + sqlite3_errmsg(q->Db);
    if (primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT || primary == SQLITE_IOERR ||
        primary == SQLITE_CANTOPEN || primary == SQLITE_PERM)
        return MOD_DEAD;
    return MOD_FAIL;
}

// Binds text, or SQL NULL for a null pointer. The texts outlive the step.
static void _bind(sqlite3_stmt *st, int i, const char *text)
{
    if (text)
        sqlite3_bind_text(st, i, text, -1, SQLITE_STATIC);
    else
        sqlite3_bind_null(st, i);
}

// Steps a statement once and makes it ready for its next use.
static int _run(sqlite3_stmt *st)
{
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    return rc;
}

// Runs the bound change statement st in a transaction of its own.
// MOD_DONE when it changed a row, MOD_NONE when it changed none.
static int _change(SqliteStore *q, sqlite3_stmt *st, std::string *err)
{
    int rc = _run(q->Begin);
    if (rc != SQLITE_DONE) {
        sqlite3_clear_bindings(st);
        return _error(q, rc, "cannot change", err);
    }
    rc = sqlite3_step(st);
    int changed = sqlite3_changes(q->Db);
    int r = rc == SQLITE_DONE ? MOD_DONE : _error(q, rc, "cannot change", err);
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    if (r == MOD_DONE) {
        rc = _run(q->Commit);
        if (rc == SQLITE_DONE) return changed ? MOD_DONE : MOD_NONE;
        r = _error(q, rc, "cannot change", err);
    }
    _run(q->Rollback);
    return r;
}

// A copy of column i of the current row; the empty text for NULL.
static std::string _column(sqlite3_stmt *st, int i)
{
    const unsigned char *t = sqlite3_column_text(st, i);
    return t ? (const char *)t : "";
}

static int _find(void *self, const char *name, ModUser *u, std::string *err)
{
    SqliteStore *q = (SqliteStore *)self;
    _bind(q->Find, 1, name);
    int rc = sqlite3_step(q->Find);
    int r = MOD_NONE;
    if (rc == SQLITE_ROW) {
        u->name = name;
        u->hash = _column(q->Find, 0);
        u->extra = _column(q->Find, 1);
        r = MOD_DONE;
    } else if (rc != SQLITE_DONE) {
        r = _error(q, rc, "cannot read", err);
    }
    sqlite3_reset(q->Find);
    sqlite3_clear_bindings(q->Find);
    return r;
}

static int _put(void *self, const ModUser *u, std::string *err)
{
    SqliteStore *q = (SqliteStore *)self;
    _bind(q->Put, 1, u->name.c_str());
    _bind(q->Put, 2, u->hash.c_str());
    _bind(q->Put, 3, u->extra.c_str());
    return _change(q, q->Put, err);
}

static int _update(void *self, const char *name, const char *hash, const char *extra,
                   const char *expect, std::string *err)
{
    SqliteStore *q = (SqliteStore *)self;
    _bind(q->Update, 1, name);
    _bind(q->Update, 2, hash);
    _bind(q->Update, 3, extra);
    _bind(q->Update, 4, expect);
    return _change(q, q->Update, err);
}

static int _remove(void *self, const char *name, std::string *err)
{
    SqliteStore *q = (SqliteStore *)self;
    _bind(q->Remove, 1, name);
    return _change(q, q->Remove, err);
}

static int _each(void *self, ModEachFn fn, void *ctx, std::string *err)
{
    SqliteStore *q = (SqliteStore *)self;
    ModUser u;
    int rc;
    while ((rc = sqlite3_step(q->List)) == SQLITE_ROW) {
        u.name = _column(q->List, 0);
        u.extra = _column(q->List, 1);
        fn(ctx, &u);
    }
    int r = rc == SQLITE_DONE ? MOD_DONE : _error(q, rc, "cannot read", err);
    sqlite3_reset(q->List);
    return r;
}

static int _prepare(SqliteStore *q, const char *sql, sqlite3_stmt **st, std::string *err)
{
    int rc = sqlite3_prepare_v3(q->Db, sql, -1, SQLITE_PREPARE_PERSISTENT, st, nullptr);
    if (rc == SQLITE_OK) return 1;
    _error(q, rc, "cannot use", err);
    return 0;
}

// Runs one statement of the set-up. Two modules that start on a new
// database at once both switch it to WAL mode, and the library refuses one
// of them at once, without waiting (a wait there could deadlock): that one
// tries again, until the busy time-out.
static int _setup(SqliteStore *q, const char *sql, int busy)
{
    for (int waited = 0;; waited += 5) {
        int rc = sqlite3_exec(q->Db, sql, nullptr, nullptr, nullptr);
        if ((rc & 0xff) != SQLITE_BUSY || waited >= busy) return rc;
        adt::my_msleep(5);
    }
}

// Opens the database of the options: unless read-only, creates it (mode
// 0600) and its table when missing and switches it to WAL mode.
static int _open(SqliteStore *q, const ModOptions *o, std::string *err)
{
    q->Path = o->File;
    if (!o->ReadOnly) {
        // Made here so that it is owner-only from its first byte; the
        // library gives its journal files the mode of the database.
        int fd = open(q->Path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) close(fd);
        if (fd < 0 && errno != EEXIST) {
            *err = "cannot create " + q->Path + ": " + strerror(errno);
            return 0;
        }
    }
    int flags = o->ReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
    if (sqlite3_open_v2(q->Path.c_str(), &q->Db, flags, nullptr) != SQLITE_OK) {
        *err = "cannot open " + q->Path + ": " + (q->Db ? sqlite3_errmsg(q->Db) : "no memory");
        return 0;
    }
    sqlite3_busy_timeout(q->Db, o->Busy);
    if (!o->ReadOnly) {
        const char *setup[] = {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL", _schema};
        for (const char *sql : setup) {
            int rc = _setup(q, sql, o->Busy);
            if (rc != SQLITE_OK) {
                _error(q, rc, "cannot set up", err);
                return 0;
            }
        }
    }
    return _prepare(q, "SELECT hash, extra FROM users WHERE name = ?1", &q->Find, err) &&
           _prepare(
               q,
               "INSERT INTO users (name, hash, extra) VALUES (?1, ?2, ?3)"
               " ON CONFLICT (name) DO UPDATE SET hash = excluded.hash, extra = excluded.extra",
               &q->Put, err) &&
           _prepare(q,
                    "UPDATE users SET hash = coalesce(?2, hash), extra = coalesce(?3, extra)"
                    " WHERE name = ?1 AND (?4 IS NULL OR hash = ?4)",
                    &q->Update, err) &&
           _prepare(q, "DELETE FROM users WHERE name = ?1", &q->Remove, err) &&
           _prepare(q, "SELECT name, extra FROM users ORDER BY name", &q->List, err) &&
           _prepare(q, "BEGIN IMMEDIATE", &q->Begin, err) &&
           _prepare(q, "COMMIT", &q->Commit, err) && _prepare(q, "ROLLBACK", &q->Rollback, err);
}

static void _close(SqliteStore *q)
{
    sqlite3_stmt *all[] = {q->Find, q->Put,   q->Update, q->Remove,
                           q->List, q->Begin, q->Commit, q->Rollback};
    for (sqlite3_stmt *st : all) sqlite3_finalize(st);
    sqlite3_close(q->Db);
}

int main(int argc, char **argv)
{
    mod_start();
    SqliteStore q = {};
    ModOptions o;
    ModStore s = {"sqlite", &q, _find, _put, _update, _remove, _each, nullptr};
    std::string err;
    int ok = mod_options_parse(&o, argc, argv, &err) && _open(&q, &o, &err);
    int status = mod_run(&s, &o, ok ? nullptr : err.c_str());
    _close(&q);
    return status;
}
