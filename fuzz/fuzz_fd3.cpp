// What a checkpassword caller hands the adapter on descriptor 3, and the
// client address: a login is taken only as two words between the first two
// NULs of at most 512 bytes, and the command made of it reads back as the
// same words, one check line and one quit line.
#include <cstdint>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>
#include <sstream>
#include <vector>

#include "adapters/checkpassword.h"
#include "fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    std::string address = in.ConsumeRandomLengthString(300);
    std::string input = in.ConsumeRemainingBytesAsString();
    std::vector<char> bf(input.begin(), input.end());
    bf.push_back(0);
    CpwLogin l;
    int r = cpw_parse_input(bf.data(), input.size(), &l);
    fuzz::require(r == CPW_OK || r == CPW_REJECT || r == CPW_MISUSE, "a known status");
    size_t nul = input.find('\0'), nul2 = input.find('\0', nul + 1);
    std::string user = input.substr(0, nul),
                password = nul2 == std::string::npos ? "" : input.substr(nul + 1, nul2 - nul - 1);
    auto word = [](const std::string &w) {
        for (unsigned char c : w)
            if (c <= ' ' || c == 127) return false;
        return !w.empty();
    };
    bool words = word(user) && word(password);
    fuzz::require((r == CPW_OK) == (input.size() <= 512 && nul2 != std::string::npos && words),
                  "a login is two words between the first two NULs of at most 512 bytes");
    if (r != CPW_OK) return 0;
    fuzz::require(l.User == user && l.Password == password, "the login is the caller's words");
    std::string want = "check " + user + " " + password;
    address.resize(strlen(address.c_str()));
    if (cpw_set_address(&l, address.c_str()) == CPW_OK && l.Address) want += " " + address;
    fuzz::require(!l.Address || (word(address) && address.size() <= 255), "an address is one word");
    char command[1000];
    int n = cpw_command(command, sizeof command, &l);
    fuzz::require(n < 0 ? want.size() + 6 >= sizeof command - 1
                        : std::string(command, n) == want + "\nquit\n",
                  "the command is the words, then quit");
    return 0;
}
