// N! in decimal, by schoolbook multiplication on arrays of decimal digits.
//
// A digit array holds 10001 signed 32-bit elements: element 0 is the digit count D,
// elements 1 .. D are the decimal digits, least significant first. Elements above D
// mean nothing and are never read.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>

constexpr std::int32_t capacity = 10000; // digits a digit array can hold
constexpr std::int32_t max_n = 3248;     // 3248! has 9998 digits; 3249! would need 10001

// Exit statuses: the answer was written; N was above max_n; "output.txt" could not be written.
constexpr int exit_ok = 0;
constexpr int exit_refused = 1;
constexpr int exit_unwritable = 2;

// One pass of the factorial loop: c = a * k, then a = c. The multiplier k is 1 .. max_n and
// a is at most (k - 1)!, so every t below is under 10 * k and never negative.
inline void multiply_pass(std::int32_t a[], std::int32_t c[], std::int32_t k)
{
    c[0] = a[0];
    const std::int32_t d = c[0];
    std::int32_t carry = 0;
    for (std::int32_t i = 1; i <= d; ++i) {
        // Dividing unsigned keeps the sign fix-up of signed division off the carry chain.
        const auto t = static_cast<std::uint32_t>(a[i] * k + carry);
        c[i] = static_cast<std::int32_t>(t % 10);
        carry = static_cast<std::int32_t>(t / 10);
    }
    while (carry > 0) { // a carry of several digits becomes as many new top digits
        c[0] = c[0] + 1;
        c[c[0]] = carry % 10;
        carry = carry / 10;
    }
    for (std::int32_t i = 0; i <= c[0]; ++i) {
        a[i] = c[i];
    }
}

// Reads N from input, writes the digits of N! and a line end to output, and returns the exit
// status. Input without a usable N, and any N below 1, give the line end alone.
inline int run(std::istream& input, std::ostream& output)
{
    std::int32_t a[capacity + 1];
    std::int32_t c[capacity + 1];
    std::int32_t n = 0;
    int status = exit_ok;

    for (std::int32_t i = 0; i <= capacity; ++i) {
        a[i] = 0;
    }
    // No integer at all leaves n at 0; a number past the int range reads as INT_MAX above it, or
    // INT_MIN below it.
    input >> n;
    // N! would not fit: refuse.
    if (n > max_n) {
        n = 0;
        status = exit_refused;
    }
    a[0] = 1;
    a[1] = 1;
    c[0] = 0; // no pass runs for n < 1, and then no digit is written
    for (std::int32_t k = 1; k <= n; ++k) {
        multiply_pass(a, c, k);
    }

    for (std::int32_t i = c[0]; i >= 1; --i) {
        output << c[i];
    }
    output << "\n";
    output.flush();
    if (!output) {
        status = exit_unwritable;
    }
    return status;
}
