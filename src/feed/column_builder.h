// One builder per column: appends converted field values in the column's
// Arrow type, keeps a validity bitmap once a null appears, and can take the
// last values back when a later field of the same line fails. Each value type
// has its own append, inline, for the chunk loop's direct calls; append of a
// FieldValue picks among them.
#pragma once

#include <cstdint>
#include <string>

#include "../parser/field_value.h"
#include "column_data.h"
#include "feed_schema.h"

namespace kelvane::feed {

enum class Append {
    ok,
    refused,  // a year the host cannot hold: the line fails with the kind's own message
    misfit,   // the column type cannot hold the value: the line fails with `misfit_message`
};

// The years Python's datetime holds: the Parser refuses the others.
inline bool year_fits(int32_t year) { return year >= min_python_year && year <= max_python_year; }

// True when the host refuses the value whatever the column (a DATE or
// DATETIME year outside 1..9999), as the Parser's binding does.
bool host_refuses(const FieldValue& value);

// 10^0 .. 10^38 as unsigned 128-bit integers.
struct PowersOfTen {
    unsigned __int128 value[39];
    constexpr PowersOfTen() : value() {
        value[0] = 1;
        for (int i = 1; i < 39; ++i) value[i] = value[i - 1] * 10;
    }
};
inline constexpr PowersOfTen pow10;

class ColumnBuilder {
public:
    explicit ColumnBuilder(const ColumnPlan& plan);

    // Appends `value` (Absent appends a null). On misfit, the reason is
    // written to `misfit_message` and nothing is appended.
    Append append(const FieldValue& value, std::string& misfit_message);

    // The same by value type. The column's type is one the value's field
    // kind fills (the plan was made from that field).
    void append_null();
    Append append_text(std::string_view text, std::string& misfit_message) {
        if (plan_->type.kind == ColumnKind::utf8 && text.size() <= utf8_room()) [[likely]] {
            data_.append(text.data(), text.size());
            values_.push(static_cast<int32_t>(data_.size()));
            return appended();
        }
        return append_text_slowly(text, misfit_message);
    }
    // A STR_ENUM value, by its position among the field's values.
    Append append_enum_text(std::string_view text, uint32_t position, std::string& misfit_message) {
        if (plan_->type.kind != ColumnKind::dictionary) return append_text(text, misfit_message);
        const int32_t index = plan_->dictionary->by_position[position];
        switch (plan_->type.index_width) {
            case 1: values_.push(static_cast<int8_t>(index)); break;
            case 2: values_.push(static_cast<int16_t>(index)); break;
            default: values_.push(index); break;
        }
        return appended();
    }
    Append append_int(int128 number, std::string& misfit_message) {
        if (plan_->type.kind == ColumnKind::int64 && number >= INT64_MIN && number <= INT64_MAX) [[likely]] {
            values_.push(static_cast<int64_t>(number));
            return appended();
        }
        return append_int_slowly(number, misfit_message);
    }
    Append append_int64(int64_t number) {
        values_.push(number);
        return appended();
    }
    Append append_double(double number) {
        values_.push(number);
        return appended();
    }
    Append append_decimal(const Decimal& decimal, std::string& misfit_message) {
        const ColumnType& type = plan_->type;
        const uint32_t scale = decimal.scale();
        // The common case: widening the scale cannot overflow (c < 10^(p - shift)
        // exactly when c * 10^shift < 10^p).
        if (scale <= type.scale &&
            decimal.coefficient() < pow10.value[type.precision - (type.scale - scale)]) [[likely]] {
            const unsigned __int128 coefficient = decimal.coefficient() * pow10.value[type.scale - scale];
            values_.push(decimal.negative() ? -static_cast<int128>(coefficient) : static_cast<int128>(coefficient));
            return appended();
        }
        return append_decimal_parts(decimal.negative(), decimal.coefficient(), scale, "Decimal", decimal.to_string(),
                                    misfit_message);
    }
    Append append_bool(bool value) {
        push_bit(values_, length_, value);
        return appended();
    }
    Append append_date(const CivilDate& date) {
        if (!year_fits(date.year)) return Append::refused;
        values_.push(static_cast<int32_t>(days_from_civil(date.year, date.month, date.day)));
        return appended();
    }
    Append append_time(const TimeOfDay& time) {
        values_.push(static_cast<int64_t>(time.seconds) * 1'000'000 + time.nanosecond / 1000);
        return appended();
    }
    Append append_timestamp(const ZonedDateTime& moment, std::string& misfit_message) {
        if (!year_fits(moment.date.year)) return Append::refused;
        const int64_t seconds = moment.local_seconds - moment.total_offset;
        int64_t scaled;
        if (__builtin_mul_overflow(seconds, timestamp_factor_, &scaled)) [[unlikely]]
            return timestamp_misfit(moment, misfit_message);
        values_.push(scaled);
        return appended();
    }

    // At most `rows` rows holding at most `text_bytes` bytes of text are to
    // come: bounds for the buffers (see Buffer::bound), not estimates.
    void bound(int64_t rows, size_t text_bytes);

    int64_t length() const { return length_; }
    // Drops the values from `length` on.
    void truncate(int64_t length);
    // The column so far; the builder starts over empty.
    ColumnData finish();

private:
    static constexpr size_t utf8_limit = INT32_MAX;

    Append appended() {
        if (has_validity_) push_bit(validity_, length_, true);
        ++length_;
        return Append::ok;
    }
    static void push_bit(Buffer& bits, int64_t index, bool value) {
        if ((index & 7) == 0) bits.push<uint8_t>(0);
        if (value) bits.data()[index >> 3] |= static_cast<uint8_t>(1u << (index & 7));
    }
    size_t utf8_room() const { return utf8_limit - data_.size(); }
    void start_offsets();

    Append append_text_slowly(std::string_view text, std::string& misfit_message);
    Append append_int_slowly(int128 number, std::string& misfit_message);
    Append append_decimal_parts(bool negative, unsigned __int128 coefficient, uint32_t scale, const char* what,
                                std::string_view shown, std::string& misfit_message);
    Append timestamp_misfit(const ZonedDateTime& moment, std::string& misfit_message);

    const ColumnPlan* plan_;
    int64_t timestamp_factor_ = 1;
    int64_t length_ = 0;
    int64_t null_count_ = 0;
    bool has_validity_ = false;
    Buffer validity_;
    Buffer values_;
    Buffer data_;
};

}  // namespace kelvane::feed
