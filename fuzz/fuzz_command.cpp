// The command handler as the command loop drives it: the input is cut into
// lines the way the loop reads them (up to and with a line feed, NUL bytes
// kept in the buffer; a line of more than 998 bytes is refused by the loop
// itself) and each line goes to
// process_command, over a table of no modules or over two scripted test
// modules with gatekeeping settings (masks, "!" entries, prefixes and
// suffixes, set on check). Part of the input may instead be a command given
// on the program's own command line. Every command must be answered by
// exactly one line on standard output, preceded only by a search's "+DATA "
// lines.
//
// The front end is included whole (its main renamed by the build), so that
// the module table can be built the way start-up builds it.
#include <cstdint>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>

#include "corvane.cpp"
#include "fuzz/fuzz_util.h"

namespace
{

const char Script1[] = "lookup adm\t+OK admin\n"
                       "lookup\t-ERR $# not here\n"
                       "check\t+OK user file md5 home=/h shell=/bin/sh\n"
                       "set\t+OK set $#\n"
                       "del\t-ERR gone $#\n"
                       "search\t!data 2 one ;; +OK 2 7\n";
const char Script2[] = "lookup\t+OK two $#\n"
                       "check\t-ERR two\n"
                       "set\t+OK two set\n"
                       "del\t+OK two del\n"
                       "search\t!data 1 x y ;; +OK 1 2 3\n";

std::string config()
{
    const std::string &d = fuzz::scratch();
    fuzz::write_file(d + "/s1", Script1);
    fuzz::write_file(d + "/s2", Script2);
    return "loglevel debug\ndo_del true\nset_once true\ntimeout 2000\n"
           "module 1\nbinary " SCRIPTMOD_BIN " " +
           d +
           "/s1\nmatch a*,!ab*,!!x*, b?,*\nstrip_prefix dom\\\nstrip_suffix @x\n"
           "do_check move_from\ndo_set move_to\n"
           "module 2\nbinary " SCRIPTMOD_BIN " " +
           d + "/s2\nip_match 10.*, 192.168.?.*\ndo_set existing\nlookup !z*,*\n";
}

Tallis *modules = nullptr;
Tallis *none = nullptr;
int out_fd = -1;

// (Re)starts the two modules, as start-up does.
void start()
{
    if (modules) {
        auths = modules;
        tallis_free(&auths);
        free(records);
        records = nullptr;
    }
    if (!start_modules(sini_domains(ini))) fuzz::fail("modules did not start");
    modules = auths;
}

// Whether a module was given up or the table was stopped by a quit.
bool broken()
{
    for (int i = 0; i < modules->ModuleCount; i++)
        if (!modules->Modules[i].Process || modules->Modules[i].Dead) return true;
    return false;
}

// What process_command wrote since the last call.
std::string output()
{
    fflush(stdout);
    std::string s;
    off_t end = lseek(out_fd, 0, SEEK_CUR);
    s.resize(end);
    if (pread(out_fd, s.data(), end, 0) != end) fuzz::fail("pread");
    if (ftruncate(out_fd, 0) != 0 || lseek(out_fd, 0, SEEK_SET) != 0) fuzz::fail("truncate");
    return s;
}

void check_reply(const std::string &out, bool search)
{
    fuzz::require(!out.empty() && out.back() == '\n', "a reply ends with a line feed");
    size_t start = 0, lines = 0;
    while (start < out.size()) {
        size_t lf = out.find('\n', start);
        bool last = lf + 1 == out.size();
        bool data = out.compare(start, 6, "+DATA ") == 0;
        fuzz::require(last ? !data : data, "data lines first, then one reply line");
        start = lf + 1;
        lines++;
    }
    fuzz::require(lines == 1 || search, "only a search writes more than one line");
}

bool is_word(const char *line, const char *word)
{
    size_t n = strlen(word);
    return adt::s_strnicmp(line, word, n) == 0 && (line[n] == 0 || strchr(" \r\n", line[n]));
}

void command_from_input(const std::string &piece)
{
    char line[1000];
    memcpy(line, piece.data(), piece.size());
    line[piece.size()] = 0;
    bool search = is_word(line, "search");
    Mode = MODE_TERMINAL;
    process_command(1, nullptr, line);
    check_reply(output(), search);
}

// Returns whether the command was a quit.
bool command_from_arguments(FuzzedDataProvider &in)
{
    static const char *const options[] = {"-lookup", "-CHECK", "-set",   "-del",
                                          "-search", "-quit",  "-debug", "-x"};
    std::vector<std::string> words = {"corvane"};
    int n = in.ConsumeIntegralInRange(1, 8);
    for (int i = 0; i < n; i++)
        words.push_back(in.ConsumeBool() ? options[in.ConsumeIntegralInRange(0, 7)]
                                         : in.ConsumeRandomLengthString(30));
    std::vector<char *> argv;
    for (std::string &w : words) {
        w.resize(strlen(w.c_str()));
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    Mode = MODE_TERMINAL;
    if (process_args((int)words.size(), argv.data(), 1) == 0 && Mode != MODE_TERMINAL)
        process_command((int)words.size(), argv.data(), nullptr);
    std::string out = output();
    // A refused option line, or the one command, or nothing without a command option.
    if (!out.empty()) check_reply(out, Mode == MODE_SEARCH);
    bool quit = Mode == MODE_QUIT;
    Mode = MODE_TERMINAL;
    return quit;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::quiet_log();
    std::string ini_file = fuzz::scratch() + "/corvane.ini";
    fuzz::write_file(ini_file, config());
    ini = sini_init(Settings);
    if (!sini_load(ini, ini_file.c_str(), "module")) fuzz::fail("configuration");
    // Replies go to a file in memory, read back after every command.
    out_fd = memfd_create("corvane-fuzz-stdout", MFD_CLOEXEC);
    fflush(stdout);
    if (out_fd < 0 || dup2(out_fd, 1) != 1) fuzz::fail("stdout");
    start();
    none = tallis_init(0);
    tallis_setup(none, cblookup, cbcheck, cbset, cbdel, cbsearch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    auths = in.ConsumeBool() ? modules : none;
    bool quit = in.ConsumeIntegralInRange(0, 7) == 0 && command_from_arguments(in);
    std::string rest = in.ConsumeRemainingBytesAsString();
    for (size_t at = 0; at < rest.size() && !quit;) {
        size_t lf = rest.find('\n', at);
        size_t len = lf == std::string::npos ? rest.size() - at : lf - at;
        std::string piece = rest.substr(at, len + (lf == std::string::npos ? 0 : 1));
        at += piece.size();
        // The loop refuses a longer line whole, without the handler.
        if (len > 998) continue;
        quit = is_word(piece.c_str(), "quit") || is_word(piece.c_str(), "exit") ||
               is_word(piece.c_str(), "bye");
        command_from_input(piece);
    }
    Mode = MODE_TERMINAL;
    // A quit told the modules to stop; failures may have used up restarts.
    if (auths == modules && (quit || broken())) start();
    auths = modules;
    return 0;
}
