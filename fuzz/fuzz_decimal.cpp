// Fuzz target for the decimal type: any bytes as a field or schema text.
// Checks from_str_exact against a digit-string oracle, that from_str and
// from_scientific only ever yield well-formed decimals, that the canonical
// text reads back to the identical decimal, and round_dp and compare against
// independent computations.
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "values/decimal.h"

using namespace kelvane;
using kelvane_fuzz::show;

namespace {

using uint128 = unsigned __int128;

struct Expected {
    bool ok = false;
    bool negative = false;
    uint128 coefficient = 0;
    uint32_t scale = 0;
};

// The exact field-text grammar and limits, read with digit strings.
Expected oracle_exact(std::string_view text) {
    Expected result;
    size_t i = 0;
    bool minus = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) minus = text[i++] == '-';
    if (i == text.size()) return result;
    if (!(text[i] == '.' || (text[i] >= '0' && text[i] <= '9'))) return result;
    std::string digits;
    bool point = false;
    uint32_t fraction_digits = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (point && fraction_digits == 28) return result;  // anything after 28 places
        if (c >= '0' && c <= '9') {
            digits += c;
            fraction_digits += point;
        } else if (c == '.' && !point) {
            point = true;
        } else if (c == '_' && !digits.empty()) {
            continue;
        } else {
            return result;
        }
    }
    if (digits.empty()) return result;
    const size_t first = digits.find_first_not_of('0');
    const std::string significant = first == std::string::npos ? "" : digits.substr(first);
    static const std::string max_text = "79228162514264337593543950335";
    if (significant.size() > max_text.size() ||
        (significant.size() == max_text.size() && significant > max_text))
        return result;
    uint128 coefficient = 0;
    for (const char c : significant) coefficient = coefficient * 10 + static_cast<unsigned>(c - '0');
    result.ok = true;
    result.coefficient = coefficient;
    result.scale = fraction_digits;
    result.negative = minus && coefficient != 0;
    return result;
}

void check_well_formed(const Decimal& d, const char* origin, std::string_view text) {
    FUZZ_CHECK(d.coefficient() <= Decimal::max_coefficient, "%s('%s'): coefficient too large", origin,
               show(text).c_str());
    FUZZ_CHECK(d.scale() <= Decimal::max_scale, "%s('%s'): scale %u", origin, show(text).c_str(), d.scale());
    FUZZ_CHECK(!(d.negative() && d.coefficient() == 0), "%s('%s'): negative zero", origin, show(text).c_str());
}

bool identical(const Decimal& a, const Decimal& b) {
    return a.negative() == b.negative() && a.coefficient() == b.coefficient() && a.scale() == b.scale();
}

// Canonical text must stay within its buffer and read back to the same decimal.
void check_text(const Decimal& d) {
    char buffer[Decimal::text_capacity + 8];
    std::fill(std::begin(buffer), std::end(buffer), '\x7f');
    const size_t length = d.write(buffer);
    FUZZ_CHECK(length <= 31 && buffer[Decimal::text_capacity] == '\x7f', "write() used %zu bytes", length);
    const std::string text(buffer, length);
    FUZZ_CHECK(text == d.to_string(), "write and to_string differ: %s", text.c_str());
    const auto back = Decimal::from_str_exact(text);
    FUZZ_CHECK(back && identical(*back, d), "'%s' does not read back to the same decimal", text.c_str());
}

// Half-to-even rounding of the magnitude, computed directly.
void check_round(const Decimal& d, uint32_t places) {
    const Decimal rounded = d.round_dp(places);
    check_well_formed(rounded, "round_dp", d.to_string());
    if (places >= d.scale()) {
        FUZZ_CHECK(identical(rounded, d), "round_dp(%s, %u) changed the decimal", d.to_string().c_str(), places);
        return;
    }
    uint128 divisor = 1;
    for (uint32_t k = 0; k < d.scale() - places; ++k) divisor *= 10;
    uint128 quotient = d.coefficient() / divisor;
    const uint128 remainder = d.coefficient() % divisor;
    if (remainder * 2 > divisor || (remainder * 2 == divisor && quotient % 2 == 1)) ++quotient;
    FUZZ_CHECK(rounded.coefficient() == quotient && rounded.scale() == places &&
                   rounded.negative() == (d.negative() && quotient != 0),
               "round_dp(%s, %u) = %s", d.to_string().c_str(), places, rounded.to_string().c_str());
}

// Value order of two canonical texts, compared as digit strings.
int oracle_compare(const std::string& a, const std::string& b) {
    struct Parts {
        int sign;
        std::string whole, fraction;
    };
    auto split = [](const std::string& text) {
        Parts parts;
        const bool minus = !text.empty() && text[0] == '-';
        const std::string body = text.substr(minus);
        const size_t point = body.find('.');
        parts.whole = body.substr(0, point);
        parts.fraction = point == std::string::npos ? "" : body.substr(point + 1);
        parts.whole.erase(0, std::min(parts.whole.find_first_not_of('0'), parts.whole.size()));
        parts.fraction.erase(parts.fraction.find_last_not_of('0') + 1);
        const bool zero = parts.whole.empty() && parts.fraction.empty();
        parts.sign = zero ? 0 : (minus ? -1 : 1);
        return parts;
    };
    const Parts x = split(a);
    const Parts y = split(b);
    if (x.sign != y.sign) return x.sign < y.sign ? -1 : 1;
    if (x.sign == 0) return 0;
    int magnitude;
    if (x.whole.size() != y.whole.size()) {
        magnitude = x.whole.size() < y.whole.size() ? -1 : 1;
    } else if (x.whole != y.whole) {
        magnitude = x.whole < y.whole ? -1 : 1;
    } else {
        const int c = x.fraction.compare(y.fraction);
        magnitude = c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    return x.sign * magnitude;
}

int sign_of(int value) { return value < 0 ? -1 : (value > 0 ? 1 : 0); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<Decimal> found;

    const auto exact = Decimal::from_str_exact(text);
    const Expected expected = oracle_exact(text);
    FUZZ_CHECK(exact.has_value() == expected.ok, "from_str_exact('%s') success %d, expected %d",
               show(text).c_str(), exact.has_value(), expected.ok);
    if (exact) {
        FUZZ_CHECK(exact->negative() == expected.negative && exact->coefficient() == expected.coefficient &&
                       exact->scale() == expected.scale,
                   "from_str_exact('%s') = %s", show(text).c_str(), exact->to_string().c_str());
        found.push_back(*exact);
    }

    const auto rounded = Decimal::from_str(text);
    if (exact) {
        FUZZ_CHECK(rounded && identical(*rounded, *exact), "from_str('%s') differs from the exact reading",
                   show(text).c_str());
    }
    if (rounded) {
        check_well_formed(*rounded, "from_str", text);
        found.push_back(*rounded);
    }

    const auto scientific = Decimal::from_scientific(text);
    if (scientific) {
        FUZZ_CHECK(text.find_first_of("eE") != std::string_view::npos, "from_scientific('%s') without exponent",
                   show(text).c_str());
        check_well_formed(*scientific, "from_scientific", text);
        found.push_back(*scientific);
    }

    // A second decimal from the input's second half, so that compare sees
    // unrelated pairs as well.
    if (const auto other = Decimal::from_str(text.substr(size / 2))) found.push_back(*other);

    const uint32_t chosen_places = size > 0 ? data[0] % 32 : 0;
    std::vector<Decimal> all = found;
    for (const Decimal& d : found) {
        check_text(d);
        for (const uint32_t places : {0u, 1u, 2u, 27u, 28u, 29u, 4294967295u, chosen_places,
                                      d.scale() > 0 ? d.scale() - 1 : 0u}) {
            check_round(d, places);
        }
        all.push_back(d.round_dp(chosen_places));
        check_text(all.back());
    }
    for (size_t i = 0; i < all.size(); ++i) {
        for (size_t j = 0; j < all.size(); ++j) {
            const int got = sign_of(compare(all[i], all[j]));
            const int want = oracle_compare(all[i].to_string(), all[j].to_string());
            FUZZ_CHECK(got == want, "compare(%s, %s) = %d, expected %d", all[i].to_string().c_str(),
                       all[j].to_string().c_str(), got, want);
        }
    }
    return 0;
}
