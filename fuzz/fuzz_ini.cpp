// The configuration loader on arbitrary files: the bytes are written to a
// file and loaded with a table that has single, repeated, multipart and
// fallback rows; then every row is looked up in every domain and in the
// global section, and further values are set, so that whatever the loader
// stored is read back through the ordinary calls.
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>

#include "adt/lib.h"
#include "adt/sini.h"
#include "fuzz/fuzz_util.h"

namespace
{

const adt::SIniTable Table[] = {
    {0, "binary", adt::SM_NONE, nullptr, -1, "VALUE"},
    {1, "timeout", adt::SM_NONE, "20000", -1, "VALUE"},
    {2, "match", adt::SM_NONE, "*", -1, nullptr},
    {3, "lookup", adt::SM_NONE, nullptr, 2, ""},
    {4, "check", adt::SM_NONE, nullptr, 3, "VALUE"},
    {5, "multi", adt::SM_MULTI, nullptr, -1, "VALUE"},
    {6, "parts", adt::SM_NONE, "a=1 b=\"two words\" c=\\\"3", -1, "a = x b = y c = z"},
    {7, "many", adt::SM_MULTI, "a=0", -1, "a = x b = y"},
    {-1, nullptr, adt::SM_NONE, nullptr, -1, nullptr},
};
const int Rows = 8;
const char *const Parts[] = {nullptr, "a", "B", "c", "d"};

size_t look(adt::SIni ini, const char *domain)
{
    size_t total = 0;
    for (int id = -1; id <= Rows; id++)
        for (const char *part : Parts)
            for (int count = 0; count < 3; count++) {
                const char *v = adt::sini_getx(ini, id, domain, part, count);
                if (v) total += strlen(v);
            }
    return total;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::quiet_log(true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    static const char *const keywords[] = {"module", "domain", nullptr, "m"};
    const char *keyword = keywords[in.ConsumeIntegralInRange(0, 3)];
    std::string extra_label = in.ConsumeRandomLengthString(20);
    std::string extra_value = in.ConsumeRandomLengthString(200);
    std::string file = fuzz::scratch() + "/fuzz.ini";
    if (!fuzz::write_file(file, in.ConsumeRemainingBytesAsString())) fuzz::fail("write");

    adt::SIni ini = adt::sini_init(Table);
    fuzz::require(adt::sini_load(ini, file.c_str(), keyword) == 1, "sini_load reads a file");
    int domains = adt::sini_domains(ini);
    fuzz::require(domains >= 0 && domains <= (int)size, "domain count");
    look(ini, nullptr);
    for (int i = 0; i < domains; i++) {
        const char *name = adt::sini_domain_name(ini, i);
        fuzz::require(name != nullptr, "every domain has a name");
        look(ini, name);
        adt::sini_set_l(ini, extra_label.c_str(), name, extra_value.c_str());
        adt::sini_set(ini, 6, name, extra_value.c_str());
        adt::sini_set(ini, 5, name, extra_value.c_str());
        look(ini, name);
    }
    fuzz::require(adt::sini_domain_name(ini, domains) == nullptr, "no domain past the last");
    adt::sini_free(&ini);
    fuzz::require(ini == nullptr, "sini_free clears the handle");
    return 0;
}
