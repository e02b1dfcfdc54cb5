// Line-oriented driver for the number facilities, for differential checks from
// a script before (or besides) the Python binding: "<op>\t<arg>[\t<arg>]" in,
// one result line out.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "values/decimal.h"
#include "values/numeric_text.h"

using namespace kelvane;

static std::string int128_text(int128 v) {
    const bool negative = v < 0;
    uint128 magnitude = negative ? uint128(0) - uint128(v) : uint128(v);
    std::string digits;
    do {
        digits.insert(digits.begin(), char('0' + int(magnitude % 10)));
        magnitude /= 10;
    } while (magnitude != 0);
    return negative ? "-" + digits : digits;
}

static std::string decimal_text(const std::optional<Decimal>& d) {
    if (!d) return "FAIL";
    return std::string(d->negative() ? "-" : "+") + " " + int128_text(int128(d->coefficient())) + " " +
           std::to_string(d->scale()) + " " + d->to_string();
}

static double from_bits(const std::string& hex) {
    uint64_t bits = std::stoull(hex, nullptr, 16);
    double v;
    std::memcpy(&v, &bits, 8);
    return v;
}

int main() {
    std::ios::sync_with_stdio(false);
    std::string line;
    while (std::getline(std::cin, line)) {
        const size_t tab = line.find('\t');
        const std::string op = line.substr(0, tab);
        std::string arg = tab == std::string::npos ? "" : line.substr(tab + 1);
        std::string arg2;
        if (op == "round" || op == "cmp") {
            const size_t t2 = arg.find('\t');
            arg2 = arg.substr(t2 + 1);
            arg = arg.substr(0, t2);
        }
        std::string out;
        if (op == "int") {
            auto v = parse_int(arg);
            out = v ? int128_text(*v) : "FAIL";
        } else if (op == "enum") {
            auto v = parse_enum_int(arg);
            out = v ? std::to_string(*v) : "FAIL";
        } else if (op == "float") {
            auto v = parse_float(arg);
            if (v) {
                uint64_t bits;
                std::memcpy(&bits, &*v, 8);
                char buf[24];
                std::snprintf(buf, sizeof buf, "%016" PRIx64, bits);
                out = buf;
            } else {
                out = "FAIL";
            }
        } else if (op == "exact") {
            out = decimal_text(Decimal::from_str_exact(arg));
        } else if (op == "str") {
            out = decimal_text(Decimal::from_str(arg));
        } else if (op == "sci") {
            out = decimal_text(Decimal::from_scientific(arg));
        } else if (op == "round") {
            auto d = Decimal::from_str_exact(arg);
            out = d ? d->round_dp(uint32_t(std::stoul(arg2))).to_string() : "FAIL";
        } else if (op == "cmp") {
            auto a = Decimal::from_str_exact(arg), b = Decimal::from_str_exact(arg2);
            out = a && b ? std::to_string(compare(*a, *b)) : "FAIL";
        } else if (op == "ff") {
            out = format_float(from_bits(arg));
        } else if (op == "ffp") {
            out = format_float_plain(from_bits(arg));
        } else if (op == "bound") {
            out = int128_text(int_bound(from_bits(arg)));
        } else {
            out = "BADOP";
        }
        std::cout << out << '\n';
    }
}
