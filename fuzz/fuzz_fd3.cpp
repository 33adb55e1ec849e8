// What a checkpassword caller writes on descriptor 3, and a client address:
// a login is taken only as two words between the first two NULs of at most
// 512 bytes, and the command made of it reads back as those words.
#include <cstdint>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>
#include <vector>

#include "adapters/checkpassword.h"
#include "fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    std::string address = in.ConsumeRandomLengthString(300),
                input = in.ConsumeRemainingBytesAsString();
    address.resize(strlen(address.c_str()));
    std::vector<char> bf(input.begin(), input.end());
    bf.push_back(0); // the parser may terminate in place
    AskLogin l;
    int r = cpw_parse_login(CPW_CHECKPASSWORD, bf.data(), input.size(), nullptr, &l);
    size_t nul = input.find('\0'), nul2 = input.find('\0', nul + 1);
    std::string user = input.substr(0, nul), password = input.substr(nul + 1, nul2 - nul - 1);
    auto word = [](const std::string &w) {
        return !w.empty() && std::none_of(w.begin(), w.end(),
                                          [](unsigned char c) { return c <= ' ' || c == 127; });
    };
    bool login = input.size() <= 512 && nul2 != std::string::npos && word(user) && word(password);
    fuzz::require(r == (login                                              ? ASK_OK
                        : nul2 == std::string::npos && input.size() <= 512 ? ASK_MISUSE
                                                                           : ASK_REJECT),
                  "a login is two words between the first two NULs of at most 512 bytes");
    if (!login) return 0;
    fuzz::require(l.User == user && l.Password == password, "the login is the caller's words");
    std::string want = "check " + user + " " + password;
    if (ask_set_address(&l, address.c_str()) == ASK_OK && l.Address) want += " " + address;
    fuzz::require(!l.Address || (word(address) && address.size() <= 255 &&
                                 address.find(',') == std::string::npos),
                  "an address is one word and no list");
    char command[1000];
    int n = askd_check_line(command, sizeof command, l.User, l.Password, l.Address);
    fuzz::require(n < 0 ? want.size() > ASKD_TEXT : std::string(command, n) == want,
                  "the request is the words, or none when they do not fit a line");
    return 0;
}
