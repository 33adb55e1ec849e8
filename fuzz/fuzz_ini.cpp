// The configuration loader: a file printed from random settings and domains
// (labels and keyword in any letter case, values of any bytes but line ends
// and NUL, comments, blank lines, repeated labels and domains) loads back as
// printed: a domain's own value, else the global one, else the row's
// fallback or default. Raw bytes must load without harm as well.
#include <cstdint>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>
#include <map>
#include <vector>

#include "adt/log.h"
#include "adt/sini.h"
#include "fuzz/fuzz_util.h"

static const adt::SIniTable Table[] = {
    {0, "binary", adt::SM_NONE, nullptr, -1, "VALUE"},
    {1, "match", adt::SM_NONE, "*", -1, "VALUE"},
    {2, "lookup", adt::SM_NONE, nullptr, 1, "VALUE"},
    {-1, nullptr, adt::SM_NONE, nullptr, -1, nullptr},
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool quiet = (adt::log_set(adt::log_init(adt::LogNone)), true);
    (void)quiet;
    FuzzedDataProvider in(data, size);
    auto text = [&](size_t most, const char *refused) {
        std::string t = in.ConsumeRandomLengthString(most);
        std::erase_if(t, [&](char c) { return strchr(refused, c) != nullptr; }); // NUL as well
        return t;
    };
    auto any_case = [&](std::string w) {
        for (char &c : w) c = in.ConsumeBool() ? (char)toupper(c) : c;
        return w;
    };
    bool raw = in.ConsumeIntegralInRange(0, 3) == 0;
    std::string file, current;
    std::map<std::string, std::map<int, std::string>> sections; // "" is the global one
    std::vector<std::string> order;
    while (!raw && in.remaining_bytes() > 0) {
        int what = in.ConsumeIntegralInRange(0, 4), id = what % 3;
        if (what == 0) {
            current = "x" + text(20, " \t\r\n");
            file += any_case("module") + (in.ConsumeBool() ? "\t" : " ") + current +
                    (in.ConsumeBool() ? " more\n" : "\n");
            if (!sections.count(current)) order.push_back(current);
            sections[current];
        } else if (what == 1) {
            file += in.ConsumeBool() ? "  # " + text(40, "\r\n") + "\n" : " \t\n";
        } else {
            std::string value = text(200, "\r\n");
            file += any_case(Table[id].Name) + " " + value + "\n";
            sections[current][id] = value;
        }
    }
    if (raw) file = in.ConsumeRemainingBytesAsString();
    adt::SIni ini = adt::sini_init(Table);
    fuzz::require(adt::sini_load(ini, fuzz::put("fuzz.ini", file).c_str(), "module"),
                  "a file loads");
    fuzz::require(raw || adt::sini_domains(ini) == (int)order.size(), "one domain per name");
    order.push_back("");
    for (size_t i = 0; !raw && i < order.size(); i++) {
        const char *name = order[i].empty() ? nullptr : order[i].c_str();
        fuzz::require(!name || order[i] == adt::sini_domain_name(ini, (int)i),
                      "domains in file order");
        auto set = [&](int id) -> const char * {
            for (const std::string &s : {order[i], std::string()})
                if (sections[s].count(id)) return sections[s][id].c_str();
            return nullptr;
        };
        const char *want[] = {set(0), set(1) ? set(1) : "*",
                              set(2)   ? set(2)
                              : set(1) ? set(1)
                                       : "*"};
        for (int id = 0; id < 3; id++) {
            const char *got = adt::sini_getx(ini, id, name, nullptr, 0);
            fuzz::require(want[id] ? got && !strcmp(want[id], got) : !got,
                          "a setting reads back as written");
        }
    }
    adt::sini_free(&ini);
    return 0;
}
