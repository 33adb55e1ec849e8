// corvane-pgsql: Corvane's module for users kept in a PostgreSQL table, so
// that many hosts share one user store (and follow a failover to a
// standby). The requests and replies are those of the other stores; only
// the database access is this file's.
//
// The connection is made at the first request and made again at the first
// request after it broke, so a server that restarts costs no module
// restart; a request that reaches no server answers "-DEAD database
// unavailable: REASON". Every statement is prepared with parameters once
// per connection and is one transaction of its own; a set is an upsert,
// so that sets of one user racing from several hosts lose nothing.
#include "modules/modsafe.h"
#include "modules/modstore.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <libpq-fe.h>
#include <memory>
#include <string>

namespace
{

// The type of every parameter: text.
const Oid text_oid = 25;

struct ConnFinish {
    void operator()(PGconn *c) const { PQfinish(c); }
};
struct ResultClear {
    void operator()(PGresult *r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultClear>;

// A message of the library's as one line: its line breaks and the runs of
// blanks around them made one blank, the ends trimmed.
std::string one_line(const char *text)
{
    std::string out;
    for (const char *p = text ? text : ""; *p; p++) {
        bool blank = isspace(static_cast<unsigned char>(*p));
        if (blank && (out.empty() || out.back() == ' ')) continue;
        out += blank ? ' ' : *p;
    }
    if (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

// Why a statement failed: the server's message without its position, or
// the library's reason.
std::string reason(PGconn *conn, const PGresult *res)
{
    const char *primary = PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY);
    return one_line(primary ? primary : PQerrorMessage(conn));
}

// The table name quoted for SQL, one part or "schema.table"; the empty
// text when name is not such a name of letters, digits and underscores.
std::string quoted_table(const std::string &name)
{
    std::string out, part;
    for (size_t i = 0; i <= name.size(); i++) {
        char c = i < name.size() ? name[i] : '.';
        if (c != '.') {
            if (!isalnum(static_cast<unsigned char>(c)) && c != '_') return "";
            part += c;
            continue;
        }
        if (part.empty() || isdigit(static_cast<unsigned char>(part[0]))) return "";
        out += (out.empty() ? "\"" : ".\"") + part + "\"";
        part.clear();
    }
    return std::count(name.begin(), name.end(), '.') <= 1 ? out : "";
}

// The prepared statements, in the order of statements[], under the names
// the server knows them by.
enum { FIND, PUT, UPDATE, REMOVE, LIST };
struct Statement {
    const char *name;
    const char *sql; // "%T" stands for the table
    int params;
    const char *what; // what a failure could not do
};
// A user is named by "name = $1", which the table's index serves, and by
// the same comparison byte for byte ("%E"), which keeps a column of citext
// or of a collation that ignores case from reaching another user's row.
const Statement statements[] = {
    {"find", "SELECT name, hash, extra FROM %T WHERE name = $1", 1, "cannot read"},
    {"put",
     "INSERT INTO %T AS cur (name, hash, extra) VALUES ($1, $2, coalesce($3, ''))"
     " ON CONFLICT (name) DO UPDATE SET hash = excluded.hash, extra = coalesce($3, cur.extra)"
     " WHERE cur.name::text COLLATE \"C\" = excluded.name::text COLLATE \"C\"",
     3, "cannot change"},
    {"update",
     "UPDATE %T SET hash = coalesce($2, hash), extra = coalesce($3, extra)"
     " WHERE name = $1 AND %E AND ($4 IS NULL OR hash = $4)",
     4, "cannot change"},
    {"remove", "DELETE FROM %T WHERE name = $1 AND %E", 1, "cannot change"},
    // Byte order of the names, whatever the database's collation.
    {"list", "SELECT name, extra FROM %T ORDER BY name::text COLLATE \"C\"", 0, "cannot read"},
};

std::string with_table(const char *sql, const std::string &table)
{
    std::string s = sql;
    for (size_t at; (at = s.find("%E")) != std::string::npos;)
        s.replace(at, 2, "name::text COLLATE \"C\" = $1::text COLLATE \"C\"");
    for (size_t at; (at = s.find("%T")) != std::string::npos;) s.replace(at, 2, table);
    return s;
}

// 1 when the SQLSTATE of a failed statement says that the server refused
// the request's own data (a byte sequence the database's encoding does
// not take, a constraint of the table): an answer to this request, not a
// store that cannot be used.
bool refused_data(const PGresult *res)
{
    const char *state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
    return state && (strncmp(state, "22", 2) == 0 || strncmp(state, "23", 2) == 0);
}

class PgsqlStore : public ModStore
{
  public:
    const char *kind() const override { return "pgsql"; }
    std::vector<ModOption> store_options() override
    {
        // The keyword form "host=db port=5432" is several words.
        return {{.Name = "-conninfo", .Text = &conninfo_, .Joins = 1},
                {.Name = "-table", .Text = &table_name_},
                {.Name = "-create", .Flag = &create_},
                {.Name = "-statement-timeout", .Number = &timeout_}};
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
    // A connection's settings: the conninfo after defaults that its own
    // settings override (a host that does not answer must not hold a
    // request for ever).
    struct Params {
        const char *keys[4];
        const char *values[4];
    };
    Params params() const
    {
        return {{"connect_timeout", "fallback_application_name", "dbname", nullptr},
                {"5", "corvane-pgsql", conninfo_.c_str(), nullptr}};
    }
    int dial(std::string *err);
    int connect(std::string *err);
    void check_table(ModCheck *c);
    int session(std::string *err);
    int exec(const Statement &s, const char *const *params, Result *res, std::string *err);
    int change(const Statement &s, const char *const *params, std::string *err);

    std::string conninfo_;
    std::string table_name_ = "corvane_users";
    std::string table_; // quoted
    int create_ = 0;
    int timeout_ = 5000; // the session's statement_timeout, in milliseconds
    std::unique_ptr<PGconn, ConnFinish> conn_;
};

// Takes in the options; the connection is made at the first request.
// Makes no connection and changes nothing, so the self-check uses it too.
int PgsqlStore::open_store(std::string *err)
{
    if (conninfo_.empty()) {
        *err = "no database given (-conninfo CONNINFO)";
        return 0;
    }
    char *msg = nullptr;
    PQconninfoOption *opts = PQconninfoParse(conninfo_.c_str(), &msg);
    if (!opts) {
        *err = "bad -conninfo: " + one_line(msg ? msg : "out of memory");
        PQfreemem(msg);
        return 0;
    }
    bool password = false;
    std::string passfile = getenv("PGPASSFILE") ? getenv("PGPASSFILE") : "";
    for (PQconninfoOption *p = opts; p->keyword; p++) {
        password |= strcmp(p->keyword, "password") == 0 && p->val;
        if (strcmp(p->keyword, "passfile") == 0 && p->val) passfile = p->val;
    }
    PQconninfoFree(opts);
    if (!passfile.empty() && !mod_file_trust(passfile.c_str(), MOD_FILE_SECRET, err)) return 0;
    // Every local user can read a command line.
    if (password) {
        *err = "-conninfo must not hold a password: use passfile= or ~/.pgpass";
        return 0;
    }
    table_ = quoted_table(table_name_);
    if (table_.empty()) {
        *err = "bad table name " + table_name_;
        return 0;
    }
    return 1;
}

// Sets the session up on a new connection: the statement time-out, the
// table when asked to create it, and the prepared statements. MOD_DEAD
// when the table cannot be used, also while it is locked too long.
int PgsqlStore::session(std::string *err)
{
    std::string ms = std::to_string(timeout_);
    const char *param[] = {ms.c_str()};
    Result r(PQexecParams(conn_.get(), "SELECT set_config('statement_timeout', $1, false)", 1,
                          nullptr, param, nullptr, nullptr, 0));
    if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
        *err = "cannot set up the session: " + reason(conn_.get(), r.get());
        return MOD_DEAD;
    }
    if (create_) {
        r.reset(PQexec(conn_.get(), with_table("CREATE TABLE IF NOT EXISTS %T ("
                                               " name text PRIMARY KEY,"
                                               " hash text NOT NULL,"
                                               " extra text NOT NULL DEFAULT '')",
                                               table_)
                                        .c_str()));
        // Modules that create the table at the same moment collide in the
        // catalogue: the table is there all the same.
        const char *state = PQresultErrorField(r.get(), PG_DIAG_SQLSTATE);
        if (PQresultStatus(r.get()) != PGRES_COMMAND_OK && state && strcmp(state, "23505") != 0 &&
            strcmp(state, "42P07") != 0) {
            *err = "cannot create " + table_name_ + ": " + reason(conn_.get(), r.get());
            return MOD_DEAD;
        }
    }
    const Oid types[] = {text_oid, text_oid, text_oid, text_oid};
    for (const Statement &s : statements) {
        r.reset(PQprepare(conn_.get(), s.name, with_table(s.sql, table_).c_str(), s.params, types));
        if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
            *err = "cannot use " + table_name_ + ": " + reason(conn_.get(), r.get());
            return MOD_DEAD;
        }
    }
    return MOD_DONE;
}

// Connects to the first server of the conninfo that serves as it asks:
// MOD_DONE, or MOD_DEAD with the reason (no connection kept).
int PgsqlStore::dial(std::string *err)
{
    Params p = params();
    conn_.reset(PQconnectdbParams(p.keys, p.values, 1));
    if (PQstatus(conn_.get()) != CONNECTION_OK) {
        *err = "database unavailable: " + one_line(PQerrorMessage(conn_.get()));
        conn_.reset();
        return MOD_DEAD;
    }
    // The server's notices (a table that already exists) are nobody's.
    PQsetNoticeProcessor(
        conn_.get(), [](void *, const char *) {}, nullptr);
    return MOD_DONE;
}

// Connects and sets the session up: MOD_DONE, or the result of the
// failure with its reason (the connection then dropped).
int PgsqlStore::connect(std::string *err)
{
    int r = dial(err);
    if (r == MOD_DONE) r = session(err);
    if (r != MOD_DONE) conn_.reset();
    return r;
}

// Runs a prepared statement into *res. A connection found broken is made
// again and the statement sent once more, so that a server restarted
// between two requests is not seen by the second. MOD_DONE; MOD_FAIL when
// the server refused the request's data; MOD_DEAD for every other failure
// (no server, a statement past its time-out, a table gone or locked).
int PgsqlStore::exec(const Statement &s, const char *const *params, Result *res, std::string *err)
{
    for (int tries = 0; tries < 2; tries++) {
        if (!conn_) {
            int r = connect(err);
            if (r != MOD_DONE) return r;
        }
        res->reset(PQexecPrepared(conn_.get(), s.name, s.params, params, nullptr, nullptr, 0));
        ExecStatusType st = PQresultStatus(res->get());
        if (st == PGRES_TUPLES_OK || st == PGRES_COMMAND_OK) return MOD_DONE;
        *err = "database unavailable: " + one_line(PQerrorMessage(conn_.get()));
        if (PQstatus(conn_.get()) == CONNECTION_BAD) {
            conn_.reset();
            continue;
        }
        *err = std::string(s.what) + " " + table_name_ + ": " + reason(conn_.get(), res->get());
        return refused_data(res->get()) ? MOD_FAIL : MOD_DEAD;
    }
    return MOD_DEAD;
}

// Runs a change: MOD_DONE when it touched a row, MOD_NONE when none.
int PgsqlStore::change(const Statement &s, const char *const *params, std::string *err)
{
    Result res;
    int r = exec(s, params, &res, err);
    if (r != MOD_DONE) return r;
    return strcmp(PQcmdTuples(res.get()), "0") == 0 ? MOD_NONE : MOD_DONE;
}

int PgsqlStore::find(const char *name, ModUser *u, std::string *err)
{
    Result res;
    const char *params[] = {name};
    int r = exec(statements[FIND], params, &res, err);
    if (r != MOD_DONE) return r;
    for (int i = 0, n = PQntuples(res.get()); i < n; i++) {
        if (strcmp(PQgetvalue(res.get(), i, 0), name) != 0) continue;
        u->name = name;
        u->hash = PQgetvalue(res.get(), i, 1);
        u->extra = PQgetvalue(res.get(), i, 2);
        return MOD_DONE;
    }
    return MOD_NONE;
}

int PgsqlStore::put(const char *name, const char *hash, const char *extra, std::string *err)
{
    const char *params[] = {name, hash, extra};
    return change(statements[PUT], params, err);
}

int PgsqlStore::update(const char *name, const char *hash, const char *extra, const char *expect,
                       std::string *err)
{
    const char *params[] = {name, hash, extra, expect};
    return change(statements[UPDATE], params, err);
}

int PgsqlStore::remove(const char *name, std::string *err)
{
    const char *params[] = {name};
    return change(statements[REMOVE], params, err);
}

int PgsqlStore::each(const std::function<void(const ModUser &)> &fn, std::string *err)
{
    Result res;
    int r = exec(statements[LIST], nullptr, &res, err);
    if (r != MOD_DONE) return r;
    ModUser u;
    for (int i = 0, n = PQntuples(res.get()); i < n; i++) {
        u.name = PQgetvalue(res.get(), i, 0);
        u.extra = PQgetvalue(res.get(), i, 1);
        fn(u);
    }
    return MOD_DONE;
}

// Looks at the table on the connection made: that it is there (or will be
// created), that the statements can be prepared on it and that the user
// may read it, and change it unless read-only.
void PgsqlStore::check_table(ModCheck *c)
{
    const char *param[] = {table_.c_str()};
    Result r(PQexecParams(conn_.get(),
                          "SELECT c IS NULL, has_table_privilege(c, 'SELECT'),"
                          " has_table_privilege(c, 'INSERT') AND has_table_privilege(c, 'UPDATE')"
                          " AND has_table_privilege(c, 'DELETE') FROM to_regclass($1) AS c",
                          1, nullptr, param, nullptr, nullptr, 0));
    if (PQresultStatus(r.get()) != PGRES_TUPLES_OK || PQntuples(r.get()) != 1)
        return c->problem("cannot use " + table_name_ + ": " + reason(conn_.get(), r.get()));
    auto yes = [&](int column) { return *PQgetvalue(r.get(), 0, column) == 't'; };
    if (yes(0) && create_) return;
    // Without -create, a missing table fails here as it would at a start.
    std::string err;
    int create = create_;
    create_ = 0;
    int ready = session(&err);
    create_ = create;
    if (ready != MOD_DONE) return c->problem(err);
    if (!yes(1)) c->problem("cannot read " + table_name_ + ": no right to SELECT");
    if (!yes(2) && !opts_.ReadOnly)
        c->problem("cannot change " + table_name_ + ": no right to INSERT, UPDATE and DELETE");
}

// A server that cannot be reached is a warning; one that refuses the
// module's login is a problem.
void PgsqlStore::check_store(ModCheck *c)
{
    std::string err;
    if (!open_store(&err)) return c->problem(err);
    if (dial(&err) == MOD_DONE) {
        check_table(c);
        conn_.reset();
        return;
    }
    Params p = params();
    PGPing ping = PQpingParams(p.keys, p.values, 1);
    if (ping == PQPING_NO_RESPONSE || ping == PQPING_REJECT) return c->warning(err);
    c->problem("cannot log in: " + err.substr(err.find(": ") + 2));
}

} // namespace

int main(int argc, char **argv)
{
    PgsqlStore p;
    return mod_main(argc, argv, &p);
}
