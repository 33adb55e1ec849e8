// The in-place tokenizers against models: ssplit with every token count and
// both separator-run modes, and a chain of s_strtok calls with changing
// separator sets (the empty set included, which hands out the rest).
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>

#include "adt/lib.h"
#include "fuzz/fuzz_util.h"

namespace
{

std::string no_nul(std::string s)
{
    return s.substr(0, strnlen(s.c_str(), s.size()));
}

void check_ssplit(FuzzedDataProvider &in)
{
    std::string seps = no_nul(in.ConsumeRandomLengthString(4));
    if (seps.empty()) seps = " ";
    int sz = in.ConsumeIntegralInRange(0, 120);
    bool skip = in.ConsumeBool();
    std::string text = no_nul(in.ConsumeRandomLengthString(2000));
    std::vector<std::string> want = fuzz::model_ssplit(text, seps, sz, skip);

    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back(0);
    char *p[121];
    char marker = 0;
    for (char *&e : p) e = &marker;
    int n = adt::ssplit(buffer.data(), seps.c_str(), p, sz, skip);
    fuzz::require(n == (int)want.size(), "ssplit count");
    for (int i = 0; i < n; i++) {
        fuzz::require(p[i] >= buffer.data() && p[i] < buffer.data() + buffer.size(),
                      "ssplit token inside the text");
        fuzz::require(want[i] == p[i], "ssplit token");
    }
    for (int i = n; i < 121; i++) fuzz::require(p[i] == &marker, "ssplit left later slots alone");
}

void check_strtok(FuzzedDataProvider &in)
{
    std::string text = no_nul(in.ConsumeRandomLengthString(1000));
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back(0);
    // The model walks a copy; npos stands for the null position.
    std::string copy = text;
    size_t pos = 0;
    char *upto = nullptr;
    bool first = true;
    for (int call = 0; call < 50 && in.remaining_bytes() > 0; call++) {
        std::string seps = no_nul(in.ConsumeRandomLengthString(3));
        char *got = adt::s_strtok(first ? buffer.data() : nullptr, seps.c_str(), &upto);
        const char *want = nullptr;
        std::string token;
        if (pos != std::string::npos) {
            size_t s = pos;
            while (s < copy.size() && fuzz::is_in(copy[s], seps)) s++;
            if (s < copy.size()) {
                size_t e = s;
                while (e < copy.size() && !fuzz::is_in(copy[e], seps)) e++;
                token = copy.substr(s, e - s);
                want = token.c_str();
                pos = e < copy.size() ? e + 1 : std::string::npos;
            } else if (first) {
                // Nothing found: the caller's position was never set.
                pos = std::string::npos;
            }
        }
        first = false;
        fuzz::require((got == nullptr) == (want == nullptr), "s_strtok token or none");
        if (got) fuzz::require(token == got, "s_strtok token");
        if (!got && pos == std::string::npos) break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool())
        check_ssplit(in);
    else
        check_strtok(in);
    return 0;
}
