// Splitting a percent-specifier pattern into items once, and reading texts
// against those items into a component record (resolved in time_fields.cpp).
#include "time_format.h"

#include <limits>
#include <span>

#include "ascii.h"
#include "time_fields.h"
#include "utf8.h"

namespace kelvane {
namespace {

using Kind = TimeItem::Kind;

// The numbers a numeric item can read; each has its digit limit and target.
enum class NumericKind : uint8_t {
    year,
    century,
    year_mod_100,
    isoyear,
    isoyear_mod_100,
    month,
    day,
    ordinal,
    week_from_sun,
    week_from_mon,
    isoweek,
    weekday_from_sunday,  // %w: 0..6
    weekday_from_monday,  // %u: 1..7
    hour24,
    hour12,
    minute,
    second,
    nanosecond,  // %f: a plain count of nanoseconds
    timestamp,
};

struct NumericSpec {
    uint8_t max_digits;  // 0: unbounded
    bool may_be_signed;  // a leading sign lifts the digit limit
    Component component;
};

// Indexed by NumericKind. The weekday and hour entries get their own
// handling in set_numeric; their `component` is the first one they set.
constexpr NumericSpec numeric_specs[] = {
    {4, true, Component::year},
    {2, false, Component::year_div_100},
    {2, false, Component::year_mod_100},
    {4, true, Component::isoyear},
    {2, false, Component::isoyear_mod_100},
    {2, false, Component::month},
    {2, false, Component::day},
    {3, false, Component::ordinal},
    {2, false, Component::week_from_sun},
    {2, false, Component::week_from_mon},
    {2, false, Component::isoweek},
    {1, false, Component::weekday},
    {1, false, Component::weekday},
    {2, false, Component::hour_div_12},
    {2, false, Component::hour_mod_12},
    {2, false, Component::minute},
    {2, false, Component::second},
    {9, false, Component::nanosecond},
    {0, false, Component::timestamp},
};

// The specifiers that stand for a fixed run of items.
enum class Composite : uint8_t {
    month_day_year,  // %D, %x: 01/31/24
    iso_date,        // %F: 2024-01-31
    day_month_year,  // %v: 31-Jan-2024
    hour_minute,     // %R: 23:59
    hms,             // %T, %X: 23:59:60
    hms_half_day,    // %r: 11:59:60 PM
    date_and_time,   // %c: Wed Jan 31 23:59:60 2024
};

constexpr TimeItem numeric_item(NumericKind which) { return {Kind::numeric, static_cast<uint8_t>(which)}; }
constexpr TimeItem character_item(char c) { return {Kind::character, static_cast<uint8_t>(c)}; }
constexpr TimeItem whitespace_item{Kind::whitespace, 0};

constexpr TimeItem month_day_year_items[] = {numeric_item(NumericKind::month), character_item('/'),
                                             numeric_item(NumericKind::day), character_item('/'),
                                             numeric_item(NumericKind::year_mod_100)};
constexpr TimeItem iso_date_items[] = {numeric_item(NumericKind::year), character_item('-'),
                                       numeric_item(NumericKind::month), character_item('-'),
                                       numeric_item(NumericKind::day)};
constexpr TimeItem day_month_year_items[] = {numeric_item(NumericKind::day), character_item('-'),
                                             TimeItem{Kind::month_name, 0}, character_item('-'),
                                             numeric_item(NumericKind::year)};
constexpr TimeItem hour_minute_items[] = {numeric_item(NumericKind::hour24), character_item(':'),
                                          numeric_item(NumericKind::minute)};
constexpr TimeItem hms_items[] = {numeric_item(NumericKind::hour24), character_item(':'),
                                  numeric_item(NumericKind::minute), character_item(':'),
                                  numeric_item(NumericKind::second)};
constexpr TimeItem hms_half_day_items[] = {numeric_item(NumericKind::hour12), character_item(':'),
                                           numeric_item(NumericKind::minute), character_item(':'),
                                           numeric_item(NumericKind::second), whitespace_item,
                                           TimeItem{Kind::half_day, 0}};
constexpr TimeItem date_and_time_items[] = {TimeItem{Kind::weekday_name, 0},     whitespace_item,
                                            TimeItem{Kind::month_name, 0},       whitespace_item,
                                            numeric_item(NumericKind::day),      whitespace_item,
                                            numeric_item(NumericKind::hour24),   character_item(':'),
                                            numeric_item(NumericKind::minute),   character_item(':'),
                                            numeric_item(NumericKind::second),   whitespace_item,
                                            numeric_item(NumericKind::year)};

// Indexed by Composite.
constexpr std::span<const TimeItem> composite_items[] = {month_day_year_items, iso_date_items, day_month_year_items,
                                                         hour_minute_items,    hms_items,      hms_half_day_items,
                                                         date_and_time_items};

// Byte length of the White_Space character starting at `at`, or 0. Every
// such character has one encoding, so matching bytes is exact decoding; a
// malformed sequence never matches.
size_t whitespace_length(std::string_view s, size_t at) {
    const size_t left = s.size() - at;
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[at + k]); };
    const unsigned char lead = b(0);
    if (lead == 0x20 || (lead >= 0x09 && lead <= 0x0D)) return 1;
    if (lead < 0xC2 || lead > 0xE3) return 0;
    if (lead == 0xC2) return left >= 2 && (b(1) == 0x85 || b(1) == 0xA0) ? 2 : 0;
    if (left < 3) return 0;
    const unsigned char second = b(1);
    const unsigned char third = b(2);
    switch (lead) {
        case 0xE1:  // U+1680
            return second == 0x9A && third == 0x80 ? 3 : 0;
        case 0xE2:  // U+2000..U+200A, U+2028, U+2029, U+202F, U+205F
            if (second == 0x80) {
                return (third >= 0x80 && third <= 0x8A) || third == 0xA8 || third == 0xA9 || third == 0xAF ? 3 : 0;
            }
            return second == 0x81 && third == 0x9F ? 3 : 0;
        case 0xE3:  // U+3000
            return second == 0x80 && third == 0x80 ? 3 : 0;
        default:
            return 0;
    }
}


// Builds the item list of one pattern.
class Splitter {
public:
    Splitter(std::string& literals, std::vector<TimeItem>& items) : literals_(literals), items_(items) {}

    void split(std::string_view pattern) {
        size_t at = 0;
        while (at < pattern.size()) {
            if (whitespace_length(pattern, at) != 0) {
                while (at < pattern.size()) {
                    const size_t width = whitespace_length(pattern, at);
                    if (width == 0) break;
                    at += width;
                }
                push(Kind::whitespace);
            } else if (pattern[at] == '%') {
                at = specifier(pattern, at + 1);
            } else {
                const size_t start = at;
                while (at < pattern.size() && pattern[at] != '%' && whitespace_length(pattern, at) == 0) ++at;
                const std::string_view run = pattern.substr(start, at - start);
                // A malformed byte is no character and matches nothing.
                if (is_valid_utf8(run)) {
                    push_literal(run);
                } else {
                    push(Kind::error);
                }
            }
            // Nothing after an error item is ever read.
            if (!items_.empty() && items_.back().kind == Kind::error) return;
        }
    }

private:
    void push(Kind kind, uint8_t argument = 0) { items_.push_back(TimeItem{kind, argument}); }
    void push_numeric(NumericKind which) { push(Kind::numeric, static_cast<uint8_t>(which)); }
    void push_composite(Composite which) { push(Kind::composite, static_cast<uint8_t>(which)); }
    // One byte is a character item; longer runs go to the literals in pieces
    // of at most 255 bytes (matching the pieces in turn is matching the run).
    void push_literal(std::string_view bytes) {
        if (bytes.size() == 1) {
            push(Kind::character, static_cast<uint8_t>(bytes[0]));
            return;
        }
        literals_.append(bytes);
        for (size_t left = bytes.size(); left > 0;) {
            const size_t piece = left < 255 ? left : 255;
            push(Kind::literal, static_cast<uint8_t>(piece));
            left -= piece;
        }
    }

    static std::optional<NumericKind> single_numeric(char c) {
        switch (c) {
            case 'C': return NumericKind::century;
            case 'd': case 'e': return NumericKind::day;
            case 'f': return NumericKind::nanosecond;
            case 'G': return NumericKind::isoyear;
            case 'g': return NumericKind::isoyear_mod_100;
            case 'H': case 'k': return NumericKind::hour24;
            case 'I': case 'l': return NumericKind::hour12;
            case 'j': return NumericKind::ordinal;
            case 'M': return NumericKind::minute;
            case 'm': return NumericKind::month;
            case 'S': return NumericKind::second;
            case 's': return NumericKind::timestamp;
            case 'U': return NumericKind::week_from_sun;
            case 'u': return NumericKind::weekday_from_monday;
            case 'V': return NumericKind::isoweek;
            case 'W': return NumericKind::week_from_mon;
            case 'w': return NumericKind::weekday_from_sunday;
            case 'Y': return NumericKind::year;
            case 'y': return NumericKind::year_mod_100;
            default: return std::nullopt;
        }
    }

    // Reads the specifier after a `%` at `at`; returns the position after it.
    size_t specifier(std::string_view pattern, size_t at) {
        const size_t end = pattern.size();
        if (at == end) {
            push(Kind::error);
            return at;
        }
        char c = pattern[at];
        if (c == '#') {
            const bool z = at + 1 < end && pattern[at + 1] == 'z';
            push(z ? Kind::offset : Kind::error, 1);
            return at + 2;
        }
        bool padded = false;
        if (c == '-' || c == '0' || c == '_') {
            padded = true;
            if (++at == end) {
                push(Kind::error);
                return at;
            }
            c = pattern[at];
        }
        if (const auto numeric = single_numeric(c)) {
            push_numeric(*numeric);
            return at + 1;
        }
        // Padding modifiers only go with single numeric items.
        if (padded) {
            push(Kind::error);
            return at + 1;
        }
        const auto followed_by = [&](std::string_view rest) { return pattern.substr(at + 1, rest.size()) == rest; };
        switch (c) {
            case 'b': case 'h': push(Kind::month_name, 0); break;
            case 'B': push(Kind::month_name, 1); break;
            case 'a': push(Kind::weekday_name, 0); break;
            case 'A': push(Kind::weekday_name, 1); break;
            case 'p': case 'P': push(Kind::half_day); break;
            case 'z': push(Kind::offset, 0); break;
            case 'Z': push(Kind::zone_name); break;
            case '+': push(Kind::rfc3339); break;
            case 'n': case 't': push(Kind::whitespace); break;
            case '%': push(Kind::character, '%'); break;
            case 'D': case 'x': push_composite(Composite::month_day_year); break;
            case 'F': push_composite(Composite::iso_date); break;
            case 'v': push_composite(Composite::day_month_year); break;
            case 'R': push_composite(Composite::hour_minute); break;
            case 'T': case 'X': push_composite(Composite::hms); break;
            case 'r': push_composite(Composite::hms_half_day); break;
            case 'c': push_composite(Composite::date_and_time); break;
            case '.':
                if (followed_by("f")) {
                    push(Kind::fraction_dot);
                    return at + 2;
                }
                for (std::string_view digits : {"3f", "6f", "9f"}) {
                    if (followed_by(digits)) {
                        push(Kind::fraction_dot);
                        return at + 3;
                    }
                }
                push(Kind::error);
                break;
            case '3': case '6': case '9':
                if (followed_by("f")) {
                    push(Kind::fraction_digits, static_cast<uint8_t>(c - '0'));
                    return at + 2;
                }
                push(Kind::error);
                break;
            case ':':
                for (std::string_view rest : {"z", ":z", "::z"}) {
                    if (followed_by(rest)) {
                        push(Kind::offset, 0);
                        return at + 1 + rest.size();
                    }
                }
                push(Kind::error);
                break;
            default:
                push(Kind::error);
                break;
        }
        return at + 1;
    }

    std::string& literals_;
    std::vector<TimeItem>& items_;
};

constexpr std::string_view month_abbreviations[12] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                      "jul", "aug", "sep", "oct", "nov", "dec"};
constexpr std::string_view month_rests[12] = {"uary", "ruary", "ch",     "il",  "",      "e",
                                              "y",    "ust",   "tember", "ober", "ember", "ember"};
// Sunday first, as the weekday component counts.
constexpr std::string_view weekday_abbreviations[7] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};
constexpr std::string_view weekday_rests[7] = {"day", "day", "sday", "nesday", "rsday", "day", "urday"};

// One reading: the text, how far it has been consumed, and what it set.
class Reader {
public:
    Reader(std::string_view text, Parsed& parsed) : text_(text), parsed_(parsed) {}

    bool read(const TimeFormat& format) {
        literals_ = format.literals();
        for (const TimeItem& item : format.items()) {
            // A composite stands for its run of items (none of them composite
            // or literal); one call site keeps read_item inlined.
            const std::span<const TimeItem> run =
                item.kind == Kind::composite ? composite_items[item.argument] : std::span(&item, 1);
            for (const TimeItem& part : run) {
                if (!read_item(part)) return false;
            }
        }
        return at_ == text_.size();
    }

private:
    bool read_item(const TimeItem& item) {
        switch (item.kind) {
            case Kind::whitespace:
                skip_whitespace();
                return true;
            case Kind::character:
                return consume_char(static_cast<char>(item.argument));
            case Kind::literal: {
                // Literal items take their bytes from the literals in turn.
                const std::string_view expected = literals_.substr(0, item.argument);
                literals_.remove_prefix(item.argument);
                return consume(expected);
            }
            case Kind::numeric:
                return read_numeric(static_cast<NumericKind>(item.argument));
            case Kind::month_name:
                return read_name(month_abbreviations, month_rests, item.argument != 0, Component::month, 1);
            case Kind::weekday_name:
                return read_name(weekday_abbreviations, weekday_rests, item.argument != 0, Component::weekday, 0);
            case Kind::half_day:
                return read_half_day();
            case Kind::fraction_dot:
                return read_fraction_dot();
            case Kind::fraction_digits:
                return read_fraction_digits(item.argument);
            case Kind::offset:
                return read_offset(item.argument != 0, item.argument != 0);
            case Kind::zone_name:
                while (at_ < text_.size() && whitespace_length(text_, at_) == 0) ++at_;
                return true;
            case Kind::rfc3339:
                return read_rfc3339();
            case Kind::composite:
                return false;  // expanded by read()
            case Kind::error:
                return false;
        }
        return false;
    }

    bool at_end() const { return at_ == text_.size(); }
    char peek() const { return text_[at_]; }

    void skip_whitespace() {
        while (!at_end()) {
            const size_t width = whitespace_length(text_, at_);
            if (width == 0) return;
            at_ += width;
        }
    }

    bool consume(std::string_view expected) {
        if (text_.substr(at_, expected.size()) != expected) return false;
        at_ += expected.size();
        return true;
    }

    bool consume_char(char c) {
        if (at_end() || peek() != c) return false;
        ++at_;
        return true;
    }

    // 1..max_digits ASCII digits (any number when max_digits is 0); the
    // magnitude may reach `limit`.
    bool read_digits(unsigned max_digits, uint64_t limit, uint64_t& value) {
        value = 0;
        unsigned count = 0;
        while (!at_end() && is_digit(peek()) && (max_digits == 0 || count < max_digits)) {
            const unsigned digit = static_cast<unsigned>(peek() - '0');
            if (value > (limit - digit) / 10) return false;
            value = value * 10 + digit;
            ++at_;
            ++count;
        }
        return count > 0;
    }

    bool read_number(const NumericSpec& spec, int64_t& number) {
        skip_whitespace();
        constexpr uint64_t positive_limit = std::numeric_limits<int64_t>::max();
        uint64_t magnitude = 0;
        if (spec.may_be_signed && !at_end() && (peek() == '+' || peek() == '-')) {
            const bool negative = peek() == '-';
            ++at_;
            if (!read_digits(0, positive_limit + negative, magnitude)) return false;
            // Two's complement: the magnitude 2^63 becomes the minimum.
            number = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
            return true;
        }
        if (!read_digits(spec.max_digits, positive_limit, magnitude)) return false;
        number = static_cast<int64_t>(magnitude);
        return true;
    }

    bool read_numeric(NumericKind which) {
        const NumericSpec& spec = numeric_specs[static_cast<unsigned>(which)];
        int64_t number;
        if (!read_number(spec, number)) return false;
        switch (which) {
            case NumericKind::weekday_from_sunday:
                return number <= 6 && parsed_.set(Component::weekday, number);
            case NumericKind::weekday_from_monday:
                return number >= 1 && number <= 7 && parsed_.set(Component::weekday, number % 7);
            case NumericKind::hour24:
                return number <= 23 && parsed_.set(Component::hour_div_12, number / 12) &&
                       parsed_.set(Component::hour_mod_12, number % 12);
            case NumericKind::hour12:
                return number >= 1 && number <= 12 && parsed_.set(Component::hour_mod_12, number % 12);
            default:
                return parsed_.set(spec.component, number);
        }
    }

    // Three letters naming an entry, then for full names the optional rest.
    template <size_t N>
    bool read_name(const std::string_view (&abbreviations)[N], const std::string_view (&rests)[N], bool full,
                   Component component, int first_value) {
        if (text_.size() - at_ < 3) return false;
        char letters[3];
        for (size_t k = 0; k < 3; ++k) letters[k] = lower_ascii(text_[at_ + k]);
        const std::string_view candidate(letters, 3);
        for (size_t index = 0; index < N; ++index) {
            if (candidate != abbreviations[index]) continue;
            at_ += 3;
            if (full) consume_rest_ignoring_case(rests[index]);
            return parsed_.set(component, static_cast<int64_t>(index) + first_value);
        }
        return false;
    }

    void consume_rest_ignoring_case(std::string_view rest) {
        if (text_.size() - at_ < rest.size()) return;
        for (size_t k = 0; k < rest.size(); ++k) {
            if (lower_ascii(text_[at_ + k]) != rest[k]) return;
        }
        at_ += rest.size();
    }

    bool read_half_day() {
        if (text_.size() - at_ < 2) return false;
        const char half = lower_ascii(text_[at_]);
        if ((half != 'a' && half != 'p') || lower_ascii(text_[at_ + 1]) != 'm') return false;
        at_ += 2;
        return parsed_.set(Component::hour_div_12, half == 'p');
    }

    bool read_fraction_dot() {
        if (!consume_char('.')) return true;  // no fraction at all
        int64_t nanosecond = 0;
        unsigned count = 0;
        while (!at_end() && is_digit(peek())) {
            if (count < 9) nanosecond = nanosecond * 10 + (peek() - '0');
            ++count;
            ++at_;
        }
        if (count == 0) return false;
        for (unsigned k = count; k < 9; ++k) nanosecond *= 10;
        return parsed_.set(Component::nanosecond, nanosecond);
    }

    bool read_fraction_digits(unsigned digits) {
        int64_t nanosecond = 0;
        for (unsigned k = 0; k < digits; ++k) {
            if (at_end() || !is_digit(peek())) return false;
            nanosecond = nanosecond * 10 + (peek() - '0');
            ++at_;
        }
        for (unsigned k = digits; k < 9; ++k) nanosecond *= 10;
        return parsed_.set(Component::nanosecond, nanosecond);
    }

    // A sign (`+`, `-` or U+2212), two hour digits, any colons and
    // whitespace, two minute digits. `permissive` also takes `Z`/`z` alone;
    // `minutes_optional` lets the text end after the hours.
    bool read_offset(bool permissive, bool minutes_optional) {
        skip_whitespace();
        if (at_end()) return false;
        if (permissive && (peek() == 'Z' || peek() == 'z')) {
            ++at_;
            return parsed_.set(Component::offset, 0);
        }
        bool negative;
        if (peek() == '+' || peek() == '-') {
            negative = peek() == '-';
            ++at_;
        } else if (consume("\xE2\x88\x92")) {  // U+2212 MINUS SIGN
            negative = true;
        } else {
            return false;
        }
        if (text_.size() - at_ < 2 || !is_digit(text_[at_]) || !is_digit(text_[at_ + 1])) return false;
        const int64_t hours = (text_[at_] - '0') * 10 + (text_[at_ + 1] - '0');
        at_ += 2;
        while (!at_end()) {
            if (peek() == ':') {
                ++at_;
                continue;
            }
            const size_t width = whitespace_length(text_, at_);
            if (width == 0) break;
            at_ += width;
        }
        int64_t minutes = 0;
        if (!(minutes_optional && at_end())) {
            if (text_.size() - at_ < 2 || text_[at_] < '0' || text_[at_] > '5' || !is_digit(text_[at_ + 1])) {
                return false;
            }
            minutes = (text_[at_] - '0') * 10 + (text_[at_ + 1] - '0');
            at_ += 2;
        }
        const int64_t seconds = hours * 3600 + minutes * 60;
        return parsed_.set(Component::offset, negative ? -seconds : seconds);
    }

    bool read_rfc3339() {
        if (!read_numeric(NumericKind::year) || !consume_char('-') || !read_numeric(NumericKind::month) ||
            !consume_char('-') || !read_numeric(NumericKind::day)) {
            return false;
        }
        if (at_end() || (peek() != 'T' && peek() != 't' && peek() != ' ')) return false;
        ++at_;
        if (!read_numeric(NumericKind::hour24) || !consume_char(':') || !read_numeric(NumericKind::minute) ||
            !consume_char(':') || !read_numeric(NumericKind::second) || !read_fraction_dot()) {
            return false;
        }
        skip_whitespace();
        if (text_.size() - at_ >= 3 && lower_ascii(text_[at_]) == 'u' && lower_ascii(text_[at_ + 1]) == 't' &&
            lower_ascii(text_[at_ + 2]) == 'c') {
            at_ += 3;
            return parsed_.set(Component::offset, 0);
        }
        return read_offset(true, false);
    }

    std::string_view text_;
    size_t at_ = 0;
    std::string_view literals_;  // the literal bytes not yet matched
    Parsed& parsed_;
};

bool read_text(std::string_view text, const TimeFormat& format, Parsed& parsed) {
    return Reader(text, parsed).read(format);
}

// The fixed layout of an item list, when every item has one: numbers of
// fixed width, literals, single blanks and a final `%.f`.
std::optional<FixedPattern> fixed_layout(std::span<const TimeItem> items, std::string_view literals) {
    FixedPattern fixed;
    const auto add_numeric = [&fixed](NumericKind which) {
        switch (which) {
            case NumericKind::year: return fixed.add_digits(FixedNumber::year, 4);
            case NumericKind::year_mod_100: return fixed.add_digits(FixedNumber::year_mod_100, 2);
            case NumericKind::month: return fixed.add_digits(FixedNumber::month, 2);
            case NumericKind::day: return fixed.add_digits(FixedNumber::day, 2);
            case NumericKind::hour24: return fixed.add_digits(FixedNumber::hour, 2);
            case NumericKind::minute: return fixed.add_digits(FixedNumber::minute, 2);
            case NumericKind::second: return fixed.add_digits(FixedNumber::second, 2);
            case NumericKind::nanosecond: return fixed.add_digits(FixedNumber::nanosecond, 9);
            default: return false;
        }
    };
    const auto add = [&](const TimeItem& item) {
        switch (item.kind) {
            case Kind::whitespace: return fixed.add_blank();
            case Kind::character: {
                const char byte = static_cast<char>(item.argument);
                return fixed.add_literal(std::string_view(&byte, 1));
            }
            case Kind::literal: {
                const std::string_view bytes = literals.substr(0, item.argument);
                literals.remove_prefix(item.argument);
                return fixed.add_literal(bytes);
            }
            case Kind::numeric: return add_numeric(static_cast<NumericKind>(item.argument));
            case Kind::fraction_dot: return fixed.add_fraction_tail();
            case Kind::fraction_digits: return fixed.add_digits(FixedNumber::nanosecond, item.argument);
            default: return false;
        }
    };
    for (const TimeItem& item : items) {
        const std::span<const TimeItem> run =
            item.kind == Kind::composite ? composite_items[item.argument] : std::span(&item, 1);
        for (const TimeItem& part : run) {
            if (!add(part)) return std::nullopt;
        }
    }
    if (!fixed.finish()) return std::nullopt;
    return fixed;
}

}  // namespace

TimeFormat::TimeFormat(std::string_view pattern) {
    std::vector<TimeItem> items;
    std::string literals;
    Splitter(literals, items).split(pattern);
    // A format lives as long as its Parser: keep no spare capacity. (Not
    // shrink_to_fit, which hides a failed allocation.)
    items_.assign(items.begin(), items.end());
    literals_.assign(literals);
    fixed_ = fixed_layout(items_, literals_);
}

uint32_t components_always_read(const TimeFormat& format) {
    uint32_t mask = 0;
    const auto add = [&mask](Component component) { mask |= 1u << static_cast<unsigned>(component); };
    const auto add_item = [&add](const TimeItem& item) {
        switch (item.kind) {
            case Kind::numeric:
                if (static_cast<NumericKind>(item.argument) == NumericKind::hour24) add(Component::hour_mod_12);
                add(numeric_specs[item.argument].component);
                break;
            case Kind::month_name: add(Component::month); break;
            case Kind::weekday_name: add(Component::weekday); break;
            case Kind::half_day: add(Component::hour_div_12); break;
            case Kind::fraction_digits: add(Component::nanosecond); break;
            case Kind::offset: add(Component::offset); break;
            case Kind::rfc3339:
                for (Component component : {Component::year, Component::month, Component::day, Component::hour_div_12,
                                            Component::hour_mod_12, Component::minute, Component::second,
                                            Component::offset})
                    add(component);
                break;
            default: break;  // whitespace, literals, `%.f`, `%Z` and errors set nothing for sure
        }
    };
    for (const TimeItem& item : format.items()) {
        if (item.kind == Kind::composite) {
            for (const TimeItem& part : composite_items[item.argument]) add_item(part);
        } else {
            add_item(item);
        }
    }
    return mask;
}

std::optional<CivilDate> parse_date(std::string_view text, const TimeFormat& format) {
    CivilDate date;
    if (!read_date(text, format, date)) return std::nullopt;
    return date;
}

std::optional<TimeOfDay> parse_time(std::string_view text, const TimeFormat& format) {
    TimeOfDay time;
    if (!read_time(text, format, time)) return std::nullopt;
    return time;
}

std::optional<NaiveDateTime> parse_datetime(std::string_view text, const TimeFormat& format) {
    NaiveDateTime datetime;
    if (!read_datetime(text, format, datetime)) return std::nullopt;
    return datetime;
}

std::optional<CivilDate> parse_date_by_items(std::string_view text, const TimeFormat& format) {
    Parsed parsed;
    CivilDate date{};
    if (!read_text(text, format, parsed) || resolve_date(parsed, date) != Resolution::ok) return std::nullopt;
    return date;
}

std::optional<TimeOfDay> parse_time_by_items(std::string_view text, const TimeFormat& format) {
    Parsed parsed;
    TimeOfDay time{};
    if (!read_text(text, format, parsed) || resolve_time(parsed, time) != Resolution::ok) return std::nullopt;
    return time;
}

std::optional<NaiveDateTime> parse_datetime_by_items(std::string_view text, const TimeFormat& format) {
    Parsed parsed;
    NaiveDateTime datetime{};
    if (!read_text(text, format, parsed) || resolve_datetime(parsed, datetime) != Resolution::ok) {
        return std::nullopt;
    }
    return datetime;
}

}  // namespace kelvane
