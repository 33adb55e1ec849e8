// Wildcard matching against a dynamic-programming model: wmatch in both
// letter-case modes, wild_match, wild_list over lists of items and patterns,
// and the front end's mask lists (match_match, with "!" and "!!" entries).
// Texts are drawn mostly from a small alphabet so that matches are common.
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>

#include "adt/lib.h"
#include "corvane.h"
#include "fuzz/fuzz_util.h"

namespace
{

std::string draw(FuzzedDataProvider &in, size_t max)
{
    static const char alphabet[] = "ab*?*A!, \t[\\\xe9";
    std::string raw = in.ConsumeRandomLengthString(max), out;
    for (unsigned char c : raw) {
        if (c == 0) continue;
        out += c < 0xc0 ? alphabet[c % (sizeof alphabet - 1)] : (char)(c - 0x80);
    }
    return out;
}

// wild_list's items: separated by blanks, tabs and commas, runs as one.
std::vector<std::string> items(const std::string &s)
{
    std::vector<std::string> v;
    for (const std::string &t : fuzz::model_ssplit(s, " \t,", 1 << 20, true))
        if (!t.empty()) v.push_back(t);
    return v;
}

bool model_wild_match(const std::string &text, const std::string &wild)
{
    return wild == "*" || fuzz::model_wmatch(text, wild, true);
}

// The mask list: entries at commas and blanks (at most 100, the last keeping
// the rest), cut to 999 bytes; "!p" rejects, "!!p" is the pattern "!p".
bool model_match_match(const std::string &mask, const std::string &name)
{
    for (std::string e : fuzz::model_ssplit(mask.substr(0, 999), ", ", 100, true)) {
        if (e.size() >= 1 && e[0] == '!' && (e.size() < 2 || e[1] != '!')) {
            if (model_wild_match(name, e.substr(1))) return false;
            continue;
        }
        if (!e.empty() && e[0] == '!') e = e.substr(1);
        if (model_wild_match(name, e)) return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    std::string text = draw(in, 1000);
    std::string wild = draw(in, 200);
    std::string list = draw(in, 300);
    std::string wilds = draw(in, 100);
    std::string mask = draw(in, 1100);

    bool cs = fuzz::model_wmatch(text, wild, true);
    fuzz::require(adt::wmatch(text.c_str(), wild.c_str(), 1) == cs, "wmatch case-sensitive");
    fuzz::require(adt::wmatch(text.c_str(), wild.c_str(), 0) ==
                      fuzz::model_wmatch(text, wild, false),
                  "wmatch case-insensitive");
    fuzz::require(adt::wild_match(text.c_str(), wild.c_str()) == model_wild_match(text, wild),
                  "wild_match");

    bool any = false;
    for (const std::string &i : items(list))
        for (const std::string &w : items(wilds)) any = any || fuzz::model_wmatch(i, w, true);
    fuzz::require(adt::wild_list(list.c_str(), wilds.c_str()) == any, "wild_list");

    fuzz::require(match_match(mask.c_str(), text.c_str()) == model_match_match(mask, text),
                  "match_match");
    return 0;
}
