// Fuzz target for date/time reading and zone placement: the input is
// "pattern NUL text" (without a NUL, the input serves as both). Every reading
// runs twice, once on a pattern prepared for the occasion, and must agree with
// itself and stay inside the ranges its type promises; date-times are then
// placed in a few zones with real transitions, and the text is also tried as
// a zone name. Besides, a date-time drawn from the input is written with the
// C library's strftime under complete patterns and must read back exactly.
// Patterns with a fixed layout are read straight: every reading must equal
// the item-by-item reading, on the input and on texts near each layout
// (a sweep over every layout shape at start-up, and texts drawn from the
// input).
#include <algorithm>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "fuzz_common.h"
#include "values/civil.h"
#include "values/time_fields.h"
#include "values/time_format.h"
#include "values/zone_db.h"

using namespace kelvane;
using kelvane_fuzz::show;

namespace {

void check_date(const CivilDate& date, std::string_view pattern, std::string_view text) {
    FUZZ_CHECK(date.year >= min_resolved_year && date.year <= max_resolved_year && date.month >= 1 && date.month <= 12 &&
                   date.day >= 1 && date.day <= days_in_month(date.year, date.month),
               "pattern '%s' text '%s' gives %d-%d-%d", show(pattern).c_str(), show(text).c_str(), date.year,
               date.month, date.day);
}

void check_time(const TimeOfDay& time, std::string_view pattern, std::string_view text) {
    FUZZ_CHECK(time.seconds < 86400 && time.nanosecond < 1000000000u && (!time.leap_second || time.seconds % 60 == 59),
               "pattern '%s' text '%s' gives %u s %u ns (leap %d)", show(pattern).c_str(), show(text).c_str(),
               time.seconds, time.nanosecond, time.leap_second);
}

bool same(const std::optional<CivilDate>& a, const std::optional<CivilDate>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || (a->year == b->year && a->month == b->month && a->day == b->day);
}

bool same(const std::optional<TimeOfDay>& a, const std::optional<TimeOfDay>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || (a->seconds == b->seconds && a->nanosecond == b->nanosecond && a->leap_second == b->leap_second);
}

void check_placement(const Zone& zone, int64_t local_seconds, std::string_view name) {
    const Placement first = place_in_zone(zone, local_seconds);
    const Placement again = place_in_zone(zone, local_seconds);
    FUZZ_CHECK(first.kind == again.kind && (first.kind != PlacementKind::unique ||
                                            first.total_offset == again.total_offset),
               "placement in %s is not repeatable", show(name).c_str());
    if (first.kind == PlacementKind::unique) {
        FUZZ_CHECK(first.total_offset > -86400 && first.total_offset < 86400, "offset %d in %s at %lld",
                   first.total_offset, show(name).c_str(), static_cast<long long>(local_seconds));
    }
}

constexpr const char* zone_names[] = {"UTC", "Europe/Paris", "America/New_York", "Australia/Sydney",
                                      "Asia/Almaty", "Europe/Dublin", "Pacific/Apia", "America/St_Johns"};

struct RoundTripPattern {
    const char* pattern;
    bool two_digit_year;  // only years 1970..2069 survive the text
    bool fraction;        // a fraction is appended to the written text
};

// Patterns that name a date and a time completely; strftime in the C locale
// writes them (GNU %k %l %P included), the reader must read them back.
constexpr RoundTripPattern round_trip_patterns[] = {
    {"%Y-%m-%d %H:%M:%S", false, false}, {"%Y%m%d%H%M%S", false, false},
    {"%Y %j %H %M %S", false, false},    {"%G-W%V-%u %T", false, false},
    {"%Y %U %w %R:%S", false, false},    {"%Y %W %a %I:%M:%S %p", false, false},
    {"%F %T", false, false},             {"%c", false, false},
    {"%a, %d %b %Y %H:%M:%S", false, false}, {"%A %B %e %Y %k:%M:%S", false, false},
    {"%C%y-%m-%d %l:%M:%S %P", false, false}, {"%D %T", true, false},
    {"%x %X", true, false},              {"%h %d %Y %r", false, false},
    {"%Y-%m-%dT%H:%M:%S%.f", false, true}, {"%g %G %V %u %H:%M:%S", false, false},
};

uint64_t read_u64(const uint8_t* data, size_t size) {
    uint64_t value = 0;
    std::memcpy(&value, data, std::min(size, sizeof value));
    return value;
}

void check_round_trip(const uint8_t* data, size_t size) {
    const uint64_t bits = read_u64(data, size);
    const uint64_t more = size > 8 ? read_u64(data + 8, size - 8) : 0;
    const RoundTripPattern& chosen = round_trip_patterns[more % std::size(round_trip_patterns)];
    // Years 1000..9999, so that %Y always writes four digits.
    const int64_t first_day = days_from_civil(chosen.two_digit_year ? 1970 : 1000, 1, 1);
    const int64_t last_day = days_from_civil(chosen.two_digit_year ? 2069 : 9999, 12, 31);
    const int64_t days = first_day + static_cast<int64_t>(bits % static_cast<uint64_t>(last_day - first_day + 1));
    const uint32_t seconds = static_cast<uint32_t>((bits >> 40) % 86400);
    const bool leap_second = (more >> 8) % 16 == 0 && seconds % 60 == 59;
    const CivilDays civil = civil_from_days(days);

    std::tm fields{};
    fields.tm_year = static_cast<int>(civil.year - 1900);
    fields.tm_mon = civil.month - 1;
    fields.tm_mday = civil.day;
    fields.tm_hour = static_cast<int>(seconds / 3600);
    fields.tm_min = static_cast<int>(seconds / 60 % 60);
    fields.tm_sec = static_cast<int>(seconds % 60) + (leap_second ? 1 : 0);
    fields.tm_wday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    fields.tm_yday = static_cast<int>(days - days_from_civil(civil.year, 1, 1));
    char written[128];
    size_t length = std::strftime(written, sizeof written, chosen.pattern, &fields);
    std::string text(written, length);
    uint32_t nanosecond = 0;
    if (chosen.fraction) {
        // %.f is not strftime's: append ".digits" by hand, 1 to 12 digits.
        const unsigned digits = 1 + (more >> 16) % 12;
        uint64_t source = bits ^ (more >> 20);
        uint32_t scaled = 0;
        text.erase(text.find("%.f"));
        text += '.';
        for (unsigned i = 0; i < digits; ++i) {
            const unsigned digit = source % 10;
            source /= 10;
            text += static_cast<char>('0' + digit);
            if (i < 9) scaled = scaled * 10 + digit;
        }
        for (unsigned i = digits; i < 9; ++i) scaled *= 10;
        nanosecond = scaled;
    }
    const TimeFormat format(chosen.pattern);
    const auto reading = parse_datetime(text, format);
    const uint32_t expected_seconds = seconds;
    FUZZ_CHECK(reading && reading->date.year == civil.year && reading->date.month == civil.month &&
                   reading->date.day == civil.day && reading->time.seconds == expected_seconds &&
                   reading->time.nanosecond == nanosecond && reading->time.leap_second == leap_second,
               "'%s' under '%s' does not read back as %lld-%d-%d +%us %uns", text.c_str(), chosen.pattern,
               static_cast<long long>(civil.year), civil.month, civil.day, expected_seconds, nanosecond);
    const auto date = parse_date(text, format);
    FUZZ_CHECK(date && date->year == civil.year && date->month == civil.month && date->day == civil.day,
               "parse_date('%s', '%s') differs", text.c_str(), chosen.pattern);
    const auto time = parse_time(text, format);
    FUZZ_CHECK(time && time->seconds == expected_seconds && time->nanosecond == nanosecond &&
                   time->leap_second == leap_second,
               "parse_time('%s', '%s') differs", text.c_str(), chosen.pattern);

    // The same instant as a timestamp (no leap seconds there).
    const int64_t timestamp = days * 86400 + seconds;
    if (timestamp >= 0) {
        const auto from_timestamp = parse_datetime(std::to_string(timestamp), TimeFormat("%s"));
        FUZZ_CHECK(from_timestamp && from_timestamp->date.year == civil.year &&
                       from_timestamp->date.month == civil.month && from_timestamp->date.day == civil.day &&
                       from_timestamp->time.seconds == seconds && from_timestamp->time.nanosecond == 0 &&
                       !from_timestamp->time.leap_second,
                   "timestamp %lld does not read back", static_cast<long long>(timestamp));
    }
}

// ---- fixed layouts against the item-by-item reader ----

// One pattern of every shape the fixed layouts take: numbers of each kind and
// width, literals of one and several bytes (multi-byte characters too), single
// blanks, composites, a trailing %.f, fractions of fixed width.
constexpr const char* fixed_shapes[] = {
    "%Y-%m-%d", "%Y%m%d", "%d/%m/%Y", "%D", "%y%m%d", "%d.%m.%y", "%F", "%H:%M:%S", "%H%M%S", "%H:%M", "%T",
    "%R", "%H:%M:%S%.f", "%T%.3f", "%Y-%m-%dT%H:%M:%S", "%Y-%m-%dT%H:%M:%S%.f", "%Y-%m-%d %H:%M:%S",
    "%d/%m/%Y %H:%M", "%Y%m%d%H%M%S", "%H:%M:%S.%3f", "%H:%M:%S.%6f", "%H:%M:%S.%9f", "%H:%M:%S.%f",
    "%F %T%.f", "%Y\xe5\xb9\xb4%m\xe6\x9c\x88%d\xe6\x97\xa5", "%Y0%m%d", "%m/%d/%Y %H:%M:%S", "%S", "%Y-%m-%d %H",
    "%H:%M%.f", "%M:%S", "%Y %m %d", "x%Y-%m-%d",
};

// splitmix64: enough for drawing texts.
struct Random {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15u);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        return z ^ (z >> 31);
    }
    unsigned below(unsigned bound) { return static_cast<unsigned>(next() % bound); }
};

void append_number(std::string& out, uint64_t value, unsigned width) {
    std::string digits = std::to_string(value);
    if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
    out += digits.substr(digits.size() - width);
}

// A text in the pattern's layout, its numbers mostly in range and sometimes
// at or past its ends.
std::string render(std::string_view pattern, Random& random) {
    const auto pick = [&random](unsigned low, unsigned high, unsigned wide) {
        return random.below(8) == 0 ? random.below(wide) : low + random.below(high - low + 1);
    };
    std::string out;
    for (size_t at = 0; at < pattern.size(); ++at) {
        if (pattern[at] != '%' || at + 1 == pattern.size()) {
            out += pattern[at];
            continue;
        }
        const char spec = pattern[++at];
        switch (spec) {
            case 'Y': append_number(out, random.below(4) == 0 ? random.below(10000) : 1900 + random.below(200), 4); break;
            case 'y': append_number(out, random.below(100), 2); break;
            case 'm': append_number(out, pick(1, 12, 100), 2); break;
            case 'd': append_number(out, pick(1, 31, 100), 2); break;
            case 'H': append_number(out, pick(0, 23, 100), 2); break;
            case 'I': append_number(out, pick(1, 12, 100), 2); break;
            case 'M': append_number(out, pick(0, 59, 100), 2); break;
            case 'S': append_number(out, pick(0, 60, 100), 2); break;
            case 'f': append_number(out, random.next() % 1000000000u, 9); break;
            case 'F': out += render("%Y-%m-%d", random); break;
            case 'T': out += render("%H:%M:%S", random); break;
            case 'R': out += render("%H:%M", random); break;
            case 'D': out += render("%m/%d/%y", random); break;
            case '%': out += '%'; break;
            case '.':  // %.f %.3f ...: none, or a dot and 1 to 12 digits
                at += pattern[at + 1] == 'f' ? 1 : 2;
                if (random.below(3) != 0) {
                    out += '.';
                    append_number(out, random.next(), 1 + random.below(12));
                }
                break;
            case '3': case '6': case '9':
                ++at;
                append_number(out, random.next(), static_cast<unsigned>(spec - '0'));
                break;
            default: out += '%'; out += spec; break;
        }
    }
    return out;
}

// One to three edits: digits swapped, a character replaced, dropped or
// added (digits, signs, separators, blanks of several kinds), the text cut
// or lengthened at its end.
std::string edit_near(std::string text, Random& random) {
    static constexpr const char* pieces[] = {"0", "1", "5", "9", "-", "+", " ", "\t", ".", ":", "/", "T", "a",
                                             "\xc2\xa0", "\xe3\x80\x80", "\xe2\x88\x92", "00", "60", "29"};
    const unsigned edits = 1 + random.below(3);
    for (unsigned e = 0; e < edits; ++e) {
        const size_t at = text.empty() ? 0 : random.below(static_cast<unsigned>(text.size()));
        const std::string piece = pieces[random.below(std::size(pieces))];
        switch (random.below(6)) {
            case 0: if (at + 1 < text.size()) std::swap(text[at], text[at + 1]); break;
            case 1: if (!text.empty()) text.replace(at, 1, piece); break;
            case 2: if (!text.empty()) text.erase(at, 1); break;
            case 3: text.insert(at, piece); break;
            case 4: if (!text.empty()) text.pop_back(); break;
            default: text += piece; break;
        }
    }
    return text;
}

// The three readings of `text` agree with the item-by-item ones; true when
// the fixed layout itself decided the text.
bool check_agrees(std::string_view pattern, const TimeFormat& format, std::string_view text) {
    const auto date = parse_date(text, format);
    FUZZ_CHECK(same(date, parse_date_by_items(text, format)), "parse_date differs from the items on '%s' '%s'",
               show(pattern).c_str(), show(text).c_str());
    const auto time = parse_time(text, format);
    FUZZ_CHECK(same(time, parse_time_by_items(text, format)), "parse_time differs from the items on '%s' '%s'",
               show(pattern).c_str(), show(text).c_str());
    const auto datetime = parse_datetime(text, format);
    const auto by_items = parse_datetime_by_items(text, format);
    FUZZ_CHECK(datetime.has_value() == by_items.has_value() &&
                   (!datetime || (same(datetime->date, by_items->date) && same(datetime->time, by_items->time))),
               "parse_datetime differs from the items on '%s' '%s'", show(pattern).c_str(), show(text).c_str());
    FixedReading reading;
    return format.fixed() != nullptr && format.fixed()->read(text, reading);
}

// Every shape has a fixed layout that reads most texts in it, and agrees
// with the items on those texts and on texts near them.
void sweep_fixed_shapes() {
    Random random{20240105};
    for (const char* pattern : fixed_shapes) {
        const TimeFormat format(pattern);
        FUZZ_CHECK(format.fixed() != nullptr, "'%s' has no fixed layout", pattern);
        unsigned decided = 0;
        for (int k = 0; k < 4000; ++k) {
            const std::string text = render(pattern, random);
            decided += check_agrees(pattern, format, text);
            check_agrees(pattern, format, edit_near(text, random));
        }
        FUZZ_CHECK(decided > 1000, "the fixed layout of '%s' read only %u of 4000 texts in it", pattern, decided);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    sweep_fixed_shapes();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t nul = input.find('\0');
    const std::string_view pattern = nul == std::string_view::npos ? input : input.substr(0, nul);
    const std::string_view text = nul == std::string_view::npos ? input : input.substr(nul + 1);

    const TimeFormat format(pattern);
    // Private copies so that a reading that runs past its text is caught.
    const std::string text_copy(text);

    const auto date = parse_date(text, format);
    if (date) check_date(*date, pattern, text);
    FUZZ_CHECK(same(date, parse_date(text_copy, TimeFormat(pattern))), "parse_date not repeatable on '%s' '%s'",
               show(pattern).c_str(), show(text).c_str());

    const auto time = parse_time(text, format);
    if (time) check_time(*time, pattern, text);
    FUZZ_CHECK(same(time, parse_time(text_copy, TimeFormat(pattern))), "parse_time not repeatable on '%s' '%s'",
               show(pattern).c_str(), show(text).c_str());

    const auto datetime = parse_datetime(text, format);
    const auto datetime_again = parse_datetime(text_copy, TimeFormat(pattern));
    FUZZ_CHECK(datetime.has_value() == datetime_again.has_value() &&
                   (!datetime || (same(datetime->date, datetime_again->date) &&
                                  same(datetime->time, datetime_again->time))),
               "parse_datetime not repeatable on '%s' '%s'", show(pattern).c_str(), show(text).c_str());
    if (datetime) {
        check_date(datetime->date, pattern, text);
        check_time(datetime->time, pattern, text);
        const int64_t local_seconds =
            days_from_civil(datetime->date.year, datetime->date.month, datetime->date.day) * 86400 +
            datetime->time.seconds;
        for (const char* name : zone_names) {
            if (const Zone* zone = find_zone(name)) check_placement(*zone, local_seconds, name);
        }
        if (const Zone* utc = find_zone("UTC")) {
            const Placement placement = place_in_zone(*utc, local_seconds);
            FUZZ_CHECK(placement.kind == PlacementKind::unique && placement.total_offset == 0,
                       "UTC placement not unique +00:00");
        }
    }

    // The text as a zone name, placed at an instant taken from the input.
    if (const Zone* zone = find_zone(text_copy)) {
        int64_t local_seconds = 0;
        std::memcpy(&local_seconds, data, std::min(size, sizeof local_seconds));
        // Keep to the years a reading can produce.
        local_seconds %= int64_t{8300000000000};
        check_placement(*zone, local_seconds, text);
    }

    check_agrees(pattern, format, text_copy);
    // Texts near a layout, drawn from the input.
    Random random{kelvane_fuzz::touch(input)};
    const char* shape = fixed_shapes[random.below(std::size(fixed_shapes))];
    const TimeFormat shape_format(shape);
    for (int k = 0; k < 8; ++k) check_agrees(shape, shape_format, edit_near(render(shape, random), random));

    check_round_trip(data, size);
    return 0;
}
