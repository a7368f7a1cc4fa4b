// Text forms of doubles, identical to the interpreter's own.
#pragma once

#include <cmath>
#include <string>

#include "pyref.hpp"

namespace clipweave::common {

// PyOS_double_to_string's result, freed on leaving.
inline std::string double_text(double v, char format_code, int precision, int flags) {
    char* text = PyOS_double_to_string(v, format_code, precision, flags, nullptr);
    if (text == nullptr) py::raise_current();
    std::string out(text);
    PyMem_Free(text);
    return out;
}

// repr(v): the shortest text that reads back as v, ".0" on integral values,
// exponent form when the decimal exponent is below -4 or at least 16.
//
// The interpreter's dtoa spends over a thousand instructions even on 1.5.
// Speeds are short decimals, so first look for the fewest decimals k whose
// nearest k-decimal number reads back as v: with at most 15 significant
// digits such a number is unique (its spacing exceeds v's rounding
// interval), and r / 10^k is exactly the read-back because r < 2^53 and
// 10^k (k <= 22) are exact doubles and the division rounds correctly.
// Anything longer goes to dtoa.
inline std::string repr_text(double v) {
    const double magnitude = std::fabs(v);
    if (magnitude >= 1e-4 && magnitude < 1e15) {
        static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,
                                            1e7,  1e8,  1e9,  1e10, 1e11, 1e12, 1e13,
                                            1e14, 1e15, 1e16, 1e17, 1e18, 1e19};
        for (int k = 0; k < 20; ++k) {
            const double scaled = magnitude * kPow10[k];
            if (scaled >= 1e15) break;
            const double r = std::nearbyint(scaled);
            if (r / kPow10[k] != magnitude) continue;
            char buf[32];
            char* p = buf + sizeof buf;
            auto n = static_cast<unsigned long long>(r);
            if (k == 0) {
                *--p = '0';
                *--p = '.';
            } else {
                for (int d = 0; d < k; ++d, n /= 10) *--p = static_cast<char>('0' + n % 10);
                *--p = '.';
            }
            do {
                *--p = static_cast<char>('0' + n % 10);
                n /= 10;
            } while (n != 0);
            if (std::signbit(v)) *--p = '-';
            return std::string(p, static_cast<size_t>(buf + sizeof buf - p));
        }
    } else if (v == 0.0) {
        return std::signbit(v) ? "-0.0" : "0.0";
    }
    return double_text(v, 'r', 0, Py_DTSF_ADD_DOT_0);
}

// format(v, ".<digits>f"), correctly rounded, ties to even as dtoa does.
//
// |v| is m / 2^shift exactly (m < 2^53), so |v| * 10^digits is an integer
// quotient and remainder of m * 10^digits, which 128 bits hold; the
// remainder decides the rounding exactly. Huge, tiny or many-digit cases go
// to dtoa.
inline std::string fixed_text(double v, int digits) {
    static constexpr unsigned long long kPow10[] = {
        1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000};
    if (std::isfinite(v) && digits >= 0 && digits <= 9) {
        int exponent = 0;
        const double fraction = std::frexp(std::fabs(v), &exponent);
        const auto m = static_cast<unsigned long long>(std::ldexp(fraction, 53));
        const int shift = 53 - exponent;
        if (shift >= 1 && shift <= 120) {
            using u128 = unsigned __int128;
            const u128 scaled = static_cast<u128>(m) * kPow10[digits];
            u128 q = scaled >> shift;
            const u128 rest = scaled - (q << shift);
            const u128 half = static_cast<u128>(1) << (shift - 1);
            if (rest > half || (rest == half && (q & 1) != 0)) ++q;
            if (q <= 0xFFFFFFFFFFFFFFFFull) {
                auto n = static_cast<unsigned long long>(q);
                char buf[48];
                char* p = buf + sizeof buf;
                for (int d = 0; d < digits; ++d, n /= 10) *--p = static_cast<char>('0' + n % 10);
                if (digits > 0) *--p = '.';
                do {
                    *--p = static_cast<char>('0' + n % 10);
                    n /= 10;
                } while (n != 0);
                if (std::signbit(v)) *--p = '-';
                return std::string(p, static_cast<size_t>(buf + sizeof buf - p));
            }
        }
    }
    return double_text(v, 'f', digits, 0);
}

}  // namespace clipweave::common
