// The configuration loader: a file printed from random settings and domains
// (labels and the keyword in any letter case, values of any bytes but line
// ends and NUL, comments, blank lines, repeated labels and domains) loads
// back as printed: each domain's own value, else the global one, else the
// row's fallback or default. Raw bytes must load without harm as well.
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <map>
#include <vector>

#include "adt/log.h"
#include "adt/sini.h"
#include "fuzz/fuzz_util.h"

namespace
{

const adt::SIniTable Table[] = {
    {0, "binary", adt::SM_NONE, nullptr, -1, "VALUE"},
    {1, "match", adt::SM_NONE, "*", -1, "VALUE"},
    {2, "lookup", adt::SM_NONE, nullptr, 1, "VALUE"},
    {-1, nullptr, adt::SM_NONE, nullptr, -1, nullptr},
};
using Section = std::map<int, std::string>;

std::string any_case(FuzzedDataProvider &in, std::string word)
{
    for (char &c : word)
        if (in.ConsumeBool()) c = (char)toupper(c);
    return word;
}

std::string text(FuzzedDataProvider &in, size_t most, const char *refused)
{
    std::string t = in.ConsumeRandomLengthString(most);
    std::erase_if(t, [&](char c) { return strchr(refused, c) != nullptr; });
    return t;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    adt::log_set(adt::log_init(adt::LogNone));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    bool raw = in.ConsumeIntegralInRange(0, 3) == 0;
    std::string file, current;
    std::map<std::string, Section> sections; // "" is the global section
    std::vector<std::string> order;
    while (!raw && in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange(0, 4)) {
        case 0: {
            current = text(in, 20, " \t\r\n");
            if (current.empty()) current = "x";
            file += any_case(in, "module") + (in.ConsumeBool() ? "\t" : " ") + current +
                    (in.ConsumeBool() ? " and more words\n" : "\n");
            if (!sections.count(current)) order.push_back(current);
            sections[current];
            break;
        }
        case 1:
            file += in.ConsumeBool() ? "  # " + text(in, 40, "\r\n") + "\n" : " \t\n";
            break;
        default: {
            int id = in.ConsumeIntegralInRange(0, 2);
            std::string value = text(in, 200, "\r\n");
            file += any_case(in, Table[id].Name) + " " + value + "\n";
            sections[current][id] = value;
        }
        }
    }
    if (raw) file = in.ConsumeRemainingBytesAsString();
    std::string path = fuzz::scratch() + "/fuzz.ini";
    fuzz::write_file(path, file);
    adt::SIni ini = adt::sini_init(Table);
    fuzz::require(adt::sini_load(ini, path.c_str(), "module") == 1, "a file loads");
    int domains = adt::sini_domains(ini);
    for (int i = 0; i < domains; i++)
        fuzz::require(adt::sini_domain_name(ini, i) != nullptr, "domain names");
    if (!raw) {
        fuzz::require(domains == (int)order.size(), "one domain per name");
        order.push_back("");
        for (size_t i = 0; i < order.size(); i++) {
            const char *name = order[i].empty() ? nullptr : order[i].c_str();
            if (name)
                fuzz::require(order[i] == adt::sini_domain_name(ini, (int)i),
                              "domains in file order");
            auto want = [&](int id) -> const char * {
                for (const std::string &s : {order[i], std::string()})
                    if (sections[s].count(id)) return sections[s][id].c_str();
                return nullptr;
            };
            for (int id = 0; id < 3; id++) {
                const char *w = want(id);
                if (!w && id == 2) w = want(1);
                if (!w && id >= 1) w = "*";
                const char *got = adt::sini_getx(ini, id, name, nullptr, 0);
                fuzz::require(w ? got && strcmp(w, got) == 0 : !got,
                              "a setting reads back as written");
            }
        }
    }
    adt::sini_free(&ini);
    return 0;
}
