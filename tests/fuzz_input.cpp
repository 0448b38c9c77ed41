// libFuzzer target: any bytes as "input.txt", through the program's own run. The answer must be
// the line end alone or exactly N!, with the exit status of the contract. The expected N is the
// first integer as C's strtoll reads it, an implementation apart from the stream's.
#include "factorial.hpp"

#include <gmp.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::istringstream input(bytes);
    std::ostringstream output;
    const int status = run(input, output);

    char* end = nullptr;
    errno = 0;
    const long long n = std::strtoll(bytes.c_str(), &end, 10); // stops at a NUL, as the stream
    std::string expected = "\n";
    int expected_status = exit_ok;
    if (n > max_n) {
        expected_status = exit_refused;
    } else if (n >= 1) {
        mpz_t f;
        mpz_init(f);
        mpz_fac_ui(f, static_cast<unsigned long>(n));
        std::vector<char> text(capacity + 2);
        expected = std::string(mpz_get_str(text.data(), 10, f)) + "\n";
        mpz_clear(f);
    }

    if (status != expected_status || output.str() != expected) {
        std::fprintf(stderr,
                     "N = %lld: exit status %d (expected %d), %zu bytes written (expected %zu)\n",
                     n, status, expected_status, output.str().size(), expected.size());
        std::abort();
    }
    return 0;
}
