// Every N from 1 to max_n: the factorial loop's digits against GMP's N!.
#include "factorial.hpp"

#include <gmp.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string digits_of(const std::int32_t x[])
{
    std::string s;
    for (std::int32_t i = x[0]; i >= 1; --i) {
        s += (x[i] >= 0 && x[i] <= 9) ? static_cast<char>('0' + x[i]) : '?';
    }
    return s;
}

TEST(FactorialLoop, EveryNMatchesGmpAndStaysInsideTheArrays)
{
    constexpr std::int32_t guard = 16; // elements past the capacity that no pass may touch
    constexpr std::int32_t untouched = -7;
    std::vector<std::int32_t> a(capacity + 1 + guard, untouched);
    std::vector<std::int32_t> c(capacity + 1 + guard, untouched);
    a[0] = 1;
    a[1] = 1;

    mpz_t expected;
    mpz_init(expected);
    std::vector<char> text(capacity + 2);
    for (std::int32_t k = 1; k <= max_n; ++k) {
        multiply_pass(a.data(), c.data(), k);
        mpz_fac_ui(expected, static_cast<unsigned long>(k));
        mpz_get_str(text.data(), 10, expected);
        ASSERT_EQ(digits_of(c.data()), text.data()) << "N = " << k;
        ASSERT_EQ(digits_of(a.data()), text.data()) << "a after the pass for N = " << k;
    }
    mpz_clear(expected);

    EXPECT_EQ(c[0], 9998);
    for (std::size_t i = capacity + 1; i < a.size(); ++i) {
        ASSERT_EQ(a[i], untouched) << "a[" << i << "]";
        ASSERT_EQ(c[i], untouched) << "c[" << i << "]";
    }
}

} // namespace
