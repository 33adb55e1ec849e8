// The bounded formatter against a model of its contract: formats built from
// the conversions the system uses (%s, %d, %05d, widths and precisions,
// '*' values, %%) and literal text, with arguments of the right types, into
// buffers of every size. Each conversion is produced whole by the platform's
// formatter and cut so that a terminator still fits; literal text fills the
// buffer to its last byte and then gives -1 without a terminator.
#include <cstdarg>
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>

#include "adt/lib.h"
#include "fuzz/fuzz_util.h"

namespace
{

enum { MAX_ARGS = 6 };

struct Arg {
    bool is_text = false;
    int number = 0;
    const char *text = nullptr;
};

struct Piece {
    std::string literal; // one character of plain text, or "%%"
    std::string conv;    // a conversion, or empty
    int first_arg = 0;   // index of its first argument
    int nargs = 0;       // arguments it takes ('*' values and the value)
};

int call_vsnprintf(char *buffer, unsigned int bfsz, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int r = adt::vsnprintf(buffer, bfsz, format, ap);
    va_end(ap);
    return r;
}

// Calls f with the arguments in their own types: each is an int or a text.
template <int Depth, typename F, typename... A> int with_args(const Arg *args, int n, F f, A... a)
{
    if constexpr (Depth == MAX_ARGS) {
        return f(a...);
    } else {
        if (Depth == n) return f(a...);
        if (args[Depth].is_text) return with_args<Depth + 1>(args, n, f, a..., args[Depth].text);
        return with_args<Depth + 1>(args, n, f, a..., args[Depth].number);
    }
}

// What the platform's formatter makes of one conversion, whole.
std::string whole(const Piece &p, const Arg *args)
{
    const Arg &value = args[p.first_arg + p.nargs - 1];
    if (value.is_text && !value.text) return "(NULL)";
    Arg own[3];
    for (int i = 0; i < p.nargs; i++) own[i] = args[p.first_arg + i];
    // Through a pointer: the format is data here, as it is for the formatter.
    int (*platform)(char *, size_t, const char *, ...) = snprintf;
    auto size = [&](auto... a) { return platform(nullptr, 0, p.conv.c_str(), a...); };
    int n = with_args<0>(own, p.nargs, size);
    std::string out(n + 1, '\0');
    auto fill = [&](auto... a) { return platform(out.data(), out.size(), p.conv.c_str(), a...); };
    with_args<0>(own, p.nargs, fill);
    out.resize(n);
    return out;
}

// The model: the text the formatter must leave and its result.
int model(const std::vector<Piece> &pieces, const Arg *args, unsigned int bfsz, std::string *out)
{
    unsigned int upto = 0;
    out->clear();
    for (const Piece &p : pieces) {
        if (upto >= bfsz) break;
        if (p.conv.empty()) {
            out->push_back(p.literal == "%%" ? '%' : p.literal[0]);
            upto++;
            continue;
        }
        std::string w = whole(p, args);
        size_t room = bfsz - upto - 1;
        if (w.size() > room) w.resize(room);
        *out += w;
        upto += w.size();
    }
    return upto < bfsz ? (int)upto : -1;
}

std::string text_arg(FuzzedDataProvider &in, std::vector<std::string> &texts)
{
    std::string t = in.ConsumeRandomLengthString(1200);
    t = t.substr(0, strnlen(t.c_str(), t.size()));
    texts.push_back(t);
    return t;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    unsigned int bfsz = in.ConsumeIntegralInRange<unsigned int>(0, 1100);
    std::vector<Piece> pieces;
    std::vector<std::string> texts;
    texts.reserve(MAX_ARGS);
    Arg args[MAX_ARGS];
    bool null_text[MAX_ARGS] = {};
    int nargs = 0;
    std::string format;

    while (in.remaining_bytes() > 0 && format.size() < 1500) {
        Piece p;
        int kind = in.ConsumeIntegralInRange(0, 9);
        int needs = kind == 6 || kind == 7 ? 2 : 1;
        if (kind >= 2 && nargs + needs > MAX_ARGS) kind = 0;
        switch (kind) {
        case 0: { // plain text
            char c = in.ConsumeIntegral<char>();
            if (c == '%' || c == 0) c = 'x';
            p.literal = std::string(1, c);
            break;
        }
        case 1:
            p.literal = "%%";
            break;
        case 2:
            p.conv = "%s";
            break;
        case 3:
            p.conv = "%d";
            break;
        case 4:
            p.conv = "%05d";
            break;
        case 5: { // width and precision written out
            int w = in.ConsumeIntegralInRange(0, 300), pr = in.ConsumeIntegralInRange(0, 300);
            bool left = in.ConsumeBool(), text = in.ConsumeBool();
            p.conv = std::string("%") + (left ? "-" : "") + (w ? std::to_string(w) : "") +
                     (in.ConsumeBool() ? "." + std::to_string(pr) : "") + (text ? "s" : "d");
            break;
        }
        case 6:
            p.conv = in.ConsumeBool() ? "%*s" : "%*d";
            break;
        case 7:
            p.conv = in.ConsumeBool() ? "%.*s" : "%.*d";
            break;
        default: { // a run of plain text
            std::string t = in.ConsumeRandomLengthString(40);
            for (char c : t) {
                if (c == '%' || c == 0) continue;
                Piece q;
                q.literal = std::string(1, c);
                pieces.push_back(q);
                format += c;
            }
            continue;
        }
        }
        if (!p.conv.empty()) {
            p.first_arg = nargs;
            p.nargs = needs;
            if (needs == 2) args[nargs++].number = in.ConsumeIntegralInRange(0, 300);
            bool text = p.conv.back() == 's';
            Arg &a = args[nargs];
            a.is_text = text;
            if (text) {
                null_text[nargs] = in.ConsumeIntegralInRange(0, 15) == 0;
                text_arg(in, texts);
            } else {
                a.number = in.ConsumeIntegral<int>();
            }
            nargs++;
            format += p.conv;
        } else {
            format += p.literal;
        }
        pieces.push_back(p);
    }
    // The texts are placed only now: the vector no longer moves.
    for (int i = 0, t = 0; i < nargs; i++) {
        if (!args[i].is_text) continue;
        args[i].text = null_text[i] ? nullptr : texts[t].c_str();
        t++;
    }

    std::string expected;
    int expected_r = model(pieces, args, bfsz, &expected);

    // Exactly bfsz bytes, so that any write past them is caught.
    char *buffer = static_cast<char *>(malloc(bfsz ? bfsz : 1));
    auto run = [&](auto... a) { return call_vsnprintf(buffer, bfsz, format.c_str(), a...); };
    int r = with_args<0>(args, nargs, run);
    fuzz::require(r == expected_r, "vsnprintf result");
    if (r >= 0) {
        fuzz::require(memcmp(buffer, expected.data(), r) == 0 && buffer[r] == 0, "vsnprintf text");
    } else if (bfsz > 0) {
        fuzz::require(memcmp(buffer, expected.data(), bfsz) == 0, "vsnprintf full buffer");
    }

    // lprintf always terminates, cutting at bfsz-1.
    if (bfsz >= 1) {
        int (*lp)(char *, int, const char *, ...) = adt::lprintf;
        auto lrun = [&](auto... a) { return lp(buffer, (int)bfsz, format.c_str(), a...); };
        int lr = with_args<0>(args, nargs, lrun);
        int want = expected_r == -1 ? (int)bfsz - 1 : expected_r;
        fuzz::require(lr == want, "lprintf result");
        fuzz::require(memcmp(buffer, expected.data(), want) == 0 && buffer[want] == 0,
                      "lprintf text");
    }
    free(buffer);
    return 0;
}
