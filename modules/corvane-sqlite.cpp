// corvane-sqlite: Corvane's module for users kept in an SQLite database,
// one table "users" (name, hash, extra), for stores that outgrow a flat
// file. The database is created on first use, owner-only, and runs in WAL
// mode, so that readers never wait for a writer; writers wait for each
// other up to the busy time-out. Every statement is prepared once at start
// and every change is its own transaction.
#include "modules/modsafe.h"
#include "modules/modstore.h"

#include "adt/lib.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sqlite3.h>
#include <string>
#include <unistd.h>

namespace
{

const char schema[] = "CREATE TABLE IF NOT EXISTS users ("
                      " name TEXT PRIMARY KEY NOT NULL,"
                      " hash TEXT NOT NULL,"
                      " extra TEXT NOT NULL DEFAULT '')";

struct DbClose {
    void operator()(sqlite3 *db) const { sqlite3_close(db); }
};
struct StmtFinalize {
    void operator()(sqlite3_stmt *st) const { sqlite3_finalize(st); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalize>;

// Binds text, or SQL NULL for a null pointer. The texts outlive the step.
void bind(sqlite3_stmt *st, int i, const char *text)
{
    if (text)
        sqlite3_bind_text(st, i, text, -1, SQLITE_STATIC);
    else
        sqlite3_bind_null(st, i);
}

// Steps a statement once and makes it ready for its next use.
int run(sqlite3_stmt *st)
{
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    return rc;
}

// A copy of column i of the current row; the empty text for NULL.
std::string column(sqlite3_stmt *st, int i)
{
    const unsigned char *t = sqlite3_column_text(st, i);
    return t ? reinterpret_cast<const char *>(t) : "";
}

// path as the path of a "file:" URI: "%", "?" and "#" escaped.
std::string uri_path(const std::string &path)
{
    std::string out;
    for (char c : path) {
        char hex[4];
        snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
        out += strchr("%?#", c) ? hex : std::string(1, c);
    }
    return out;
}

class SqliteStore : public ModStore
{
  public:
    // The statements go before the database they belong to.
    ~SqliteStore() override
    {
        for (Stmt *st : {&find_, &put_, &update_, &remove_, &list_, &begin_, &commit_, &rollback_})
            st->reset();
    }
    const char *kind() const override { return "sqlite"; }
    std::vector<ModOption> store_options() override
    {
        return {{.Name = "-file", .Text = &path_}, {.Name = "-busy", .Number = &busy_}};
    }
    int open_store(std::string *err) override;
    void check_store(ModCheck *c) override;
    int find(const char *name, ModUser *u, std::string *err) override;
    int put(const char *name, const char *hash, const char *extra, std::string *err) override;
    int update(const char *name, const char *hash, const char *extra, const char *expect,
               std::string *err) override;
    int remove(const char *name, std::string *err) override;
    int each(const std::function<void(const ModUser &)> &fn, std::string *err) override;

  private:
    int error(int rc, const char *what, std::string *err);
    int change(sqlite3_stmt *st, std::string *err);
    int prepare(const char *sql, Stmt *st, std::string *err);
    int setup(const char *sql);

    std::string path_;
    int busy_ = 5000; // longest wait for another process's change
    std::unique_ptr<sqlite3, DbClose> db_;
    Stmt find_;   // name: hash, extra
    Stmt put_;    // name, hash, extra or null: insert, or replace the hash (and extra unless null)
    Stmt update_; // name, hash or null, extra or null, expected hash or null
    Stmt remove_; // name
    Stmt list_;   // every name and extra in name order
    Stmt begin_;  // takes the write lock at once
    Stmt commit_;
    Stmt rollback_;
};

// The result for a failed call, which only the database can have caused
// (a lock held past the busy time-out, an I/O error, a damaged or missing
// table): MOD_DEAD, never an answer about the user.
int SqliteStore::error(int rc, const char *what, std::string *err)
{
    int primary = rc & 0xff;
    if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED)
        *err = "store is busy, " + path_ + " stays locked by another process";
    else
        *err = std::string(what) + " " + path_ + ": " + sqlite3_errmsg(db_.get());
    return MOD_DEAD;
}

// Runs the bound change statement st in a transaction of its own.
// MOD_DONE when it changed a row, MOD_NONE when it changed none.
int SqliteStore::change(sqlite3_stmt *st, std::string *err)
{
    int rc = run(begin_.get());
    if (rc != SQLITE_DONE) {
        sqlite3_clear_bindings(st);
        return error(rc, "cannot change", err);
    }
    rc = sqlite3_step(st);
    int changed = sqlite3_changes(db_.get());
    int r = rc == SQLITE_DONE ? MOD_DONE : error(rc, "cannot change", err);
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    if (r == MOD_DONE) {
        rc = run(commit_.get());
        if (rc == SQLITE_DONE) return changed ? MOD_DONE : MOD_NONE;
        r = error(rc, "cannot change", err);
    }
    run(rollback_.get());
    return r;
}

int SqliteStore::find(const char *name, ModUser *u, std::string *err)
{
    sqlite3_stmt *st = find_.get();
    bind(st, 1, name);
    int rc = SQLITE_DONE, r = MOD_NONE;
    // A table made with a collation that ignores case matches other names
    // too: only the row of this very name counts.
    while (r == MOD_NONE && (rc = sqlite3_step(st)) == SQLITE_ROW) {
        if (column(st, 0) != name) continue;
        u->name = name;
        u->hash = column(st, 1);
        u->extra = column(st, 2);
        r = MOD_DONE;
    }
    if (r == MOD_NONE && rc != SQLITE_DONE) r = error(rc, "cannot read", err);
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    return r;
}

int SqliteStore::put(const char *name, const char *hash, const char *extra, std::string *err)
{
    bind(put_.get(), 1, name);
    bind(put_.get(), 2, hash);
    bind(put_.get(), 3, extra);
    return change(put_.get(), err);
}

int SqliteStore::update(const char *name, const char *hash, const char *extra, const char *expect,
                        std::string *err)
{
    bind(update_.get(), 1, name);
    bind(update_.get(), 2, hash);
    bind(update_.get(), 3, extra);
    bind(update_.get(), 4, expect);
    return change(update_.get(), err);
}

int SqliteStore::remove(const char *name, std::string *err)
{
    bind(remove_.get(), 1, name);
    return change(remove_.get(), err);
}

int SqliteStore::each(const std::function<void(const ModUser &)> &fn, std::string *err)
{
    sqlite3_stmt *st = list_.get();
    ModUser u;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        u.name = column(st, 0);
        u.extra = column(st, 1);
        fn(u);
    }
    int r = rc == SQLITE_DONE ? MOD_DONE : error(rc, "cannot read", err);
    sqlite3_reset(st);
    return r;
}

int SqliteStore::prepare(const char *sql, Stmt *st, std::string *err)
{
    sqlite3_stmt *p = nullptr;
    int rc = sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &p, nullptr);
    st->reset(p);
    if (rc == SQLITE_OK) return 1;
    error(rc, "cannot use", err);
    return 0;
}

// Runs one statement of the set-up. Two modules that start on a new
// database at once both switch it to WAL mode, and the library refuses one
// of them at once, without waiting (a wait there could deadlock): that one
// tries again, until the busy time-out.
int SqliteStore::setup(const char *sql)
{
    for (int waited = 0;; waited += 5) {
        int rc = sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr);
        if ((rc & 0xff) != SQLITE_BUSY || waited >= busy_) return rc;
        adt::my_msleep(5);
    }
}

// Opens the database of the options: unless read-only, creates it (mode
// 0600) and its table when missing and switches it to WAL mode.
int SqliteStore::open_store(std::string *err)
{
    const ModOptions &o = opts_;
    if (path_.empty()) {
        *err = "no store given (-file PATH)";
        return 0;
    }
    if (!mod_file_trust(path_.c_str(), MOD_FILE_STORE, err)) return 0;
    if (!o.ReadOnly) {
        // Made here so that it is owner-only from its first byte; the
        // library gives its journal files the mode of the database.
        ModFd fd(::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!fd.ok() && errno != EEXIST) {
            *err = "cannot create " + path_ + ": " + strerror(errno);
            return 0;
        }
    }
    int flags = o.ReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(path_.c_str(), &db, flags, nullptr);
    db_.reset(db);
    if (rc != SQLITE_OK) {
        *err = "cannot open " + path_ + ": " + (db ? sqlite3_errmsg(db) : "no memory");
        return 0;
    }
    sqlite3_busy_timeout(db, busy_);
    if (!o.ReadOnly)
        for (const char *sql : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL", schema}) {
            rc = setup(sql);
            if (rc != SQLITE_OK) {
                error(rc, "cannot set up", err);
                return 0;
            }
        }
    // Every statement names its user by "name = ?1", which the table's
    // index serves, and by the same comparison byte for byte, which keeps
    // a collation that ignores case from reaching another user's row.
    return prepare("SELECT name, hash, extra FROM users WHERE name = ?1", &find_, err) &&
           prepare("INSERT INTO users (name, hash, extra) VALUES (?1, ?2, coalesce(?3, ''))"
                   " ON CONFLICT (name) DO UPDATE SET hash = excluded.hash,"
                   " extra = coalesce(?3, extra)"
                   " WHERE name = excluded.name COLLATE BINARY",
                   &put_, err) &&
           prepare("UPDATE users SET hash = coalesce(?2, hash), extra = coalesce(?3, extra)"
                   " WHERE name = ?1 AND name = ?1 COLLATE BINARY AND (?4 IS NULL OR hash = ?4)",
                   &update_, err) &&
           prepare("DELETE FROM users WHERE name = ?1 AND name = ?1 COLLATE BINARY", &remove_,
                   err) &&
           prepare("SELECT name, extra FROM users ORDER BY name COLLATE BINARY", &list_, err) &&
           prepare("BEGIN IMMEDIATE", &begin_, err) && prepare("COMMIT", &commit_, err) &&
           prepare("ROLLBACK", &rollback_, err);
}

// Looks into the database without changing it: read-only, and, while no
// write-ahead log is there (no module has it open), as an immutable file,
// since a read-only look at a database in WAL mode would leave log files.
void SqliteStore::check_store(ModCheck *c)
{
    if (!mod_check_store_file(c, path_, opts_)) return;
    bool log = access((path_ + "-wal").c_str(), F_OK) == 0;
    std::string uri = "file:" + uri_path(path_) + (log ? "?mode=ro" : "?immutable=1");
    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    db_.reset(db);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, "SELECT name, hash, extra FROM users LIMIT 0", nullptr, nullptr,
                          nullptr);
    std::string why = db ? sqlite3_errmsg(db) : "no memory";
    // A start that may write creates the table.
    if (rc != SQLITE_OK && (opts_.ReadOnly || why != "no such table: users"))
        c->problem("cannot use " + path_ + ": " + why);
    db_.reset();
}

} // namespace

int main(int argc, char **argv)
{
    SqliteStore q;
    return mod_main(argc, argv, &q);
}
