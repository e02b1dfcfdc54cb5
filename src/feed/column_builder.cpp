// Field values into Arrow column buffers, exactly: a value the column type
// cannot hold is refused with its reason, never wrapped, rounded or cut.
#include "column_builder.h"

#include <climits>
#include <stdexcept>

#include "../values/civil.h"
#include "../values/numeric_text.h"

namespace kelvane::feed {
namespace {

constexpr int32_t utf8_limit = INT32_MAX;

// 10^0 .. 10^38 as unsigned 128-bit integers.
struct PowersOfTen {
    unsigned __int128 value[39];
    constexpr PowersOfTen() : value() {
        value[0] = 1;
        for (int i = 1; i < 39; ++i) value[i] = value[i - 1] * 10;
    }
};
constexpr PowersOfTen pow10;

std::string int128_text(int128 value) {
    const bool negative = value < 0;
    unsigned __int128 magnitude = negative ? -static_cast<unsigned __int128>(value) : static_cast<unsigned __int128>(value);
    char digits[48];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + static_cast<int>(magnitude % 10));
        magnitude /= 10;
    } while (magnitude != 0);
    std::string text = negative ? "-" : "";
    while (count > 0) text += digits[--count];
    return text;
}

// The years Python's datetime holds: the Parser refuses the others.
bool year_fits(int32_t year) { return year >= min_python_year && year <= max_python_year; }

std::string two_digits(unsigned value) {
    return std::string(1, static_cast<char>('0' + value / 10)) + static_cast<char>('0' + value % 10);
}

std::string wall_clock_text(const ZonedDateTime& value) {
    return std::to_string(value.date.year) + "-" + two_digits(value.date.month) + "-" + two_digits(value.date.day) +
           " " + two_digits(value.seconds_of_day / 3600) + ":" + two_digits(value.seconds_of_day / 60 % 60) + ":" +
           two_digits(value.seconds_of_day % 60);
}

}  // namespace

bool host_refuses(const FieldValue& value) {
    if (const auto* date = std::get_if<CivilDate>(&value)) return !year_fits(date->year);
    if (const auto* moment = std::get_if<ZonedDateTime>(&value)) return !year_fits(moment->date.year);
    return false;
}

ColumnBuilder::ColumnBuilder(const ColumnPlan& plan) : plan_(&plan) { start_offsets(); }

void ColumnBuilder::start_offsets() {
    if (plan_->type.kind == ColumnKind::utf8) values_.push<int32_t>(0);
    if (plan_->type.kind == ColumnKind::large_utf8) values_.push<int64_t>(0);
}

void ColumnBuilder::append_null() {
    if (!has_validity_) {
        // Every value so far was valid.
        const size_t bytes = static_cast<size_t>((length_ + 7) / 8);
        validity_.reserve(bytes + 64);
        for (size_t i = 0; i < bytes; ++i) validity_.push<uint8_t>(0xFF);
        if (length_ & 7) validity_.data()[bytes - 1] = static_cast<uint8_t>((1u << (length_ & 7)) - 1);
        has_validity_ = true;
    }
    push_bit(validity_, length_, false);
    ++null_count_;
    switch (plan_->type.kind) {
        case ColumnKind::utf8: {
            const int32_t end = static_cast<int32_t>(data_.size());
            values_.push(end);
            break;
        }
        case ColumnKind::large_utf8: values_.push(static_cast<int64_t>(data_.size())); break;
        case ColumnKind::dictionary: values_.append_zeros(plan_->type.index_width); break;
        case ColumnKind::int64:
        case ColumnKind::float64:
        case ColumnKind::time64:
        case ColumnKind::timestamp: values_.append_zeros(8); break;
        case ColumnKind::decimal128: values_.append_zeros(16); break;
        case ColumnKind::date32: values_.append_zeros(4); break;
        case ColumnKind::boolean: push_bit(values_, length_, false); break;
    }
    ++length_;
}

Append ColumnBuilder::append_text(std::string_view text, std::string& misfit_message) {
    if (plan_->type.kind == ColumnKind::large_utf8) {
        data_.append(text.data(), text.size());
        values_.push(static_cast<int64_t>(data_.size()));
    } else if (plan_->type.kind == ColumnKind::utf8) {
        if (text.size() > static_cast<size_t>(utf8_limit) - data_.size()) {
            misfit_message = "Text of " + std::to_string(text.size()) +
                             " bytes does not fit the column type utf8 (at most 2147483647 bytes of text in "
                             "one batch); choose large_utf8";
            return Append::misfit;
        }
        data_.append(text.data(), text.size());
        values_.push(static_cast<int32_t>(data_.size()));
    } else {
        const auto& index = plan_->dictionary->index;
        const auto it = index.find(text);
        if (it == index.end()) {
            misfit_message = "Text is not among the values of the dictionary column";
            return Append::misfit;
        }
        const int32_t position = it->second;
        switch (plan_->type.index_width) {
            case 1: values_.push(static_cast<int8_t>(position)); break;
            case 2: values_.push(static_cast<int16_t>(position)); break;
            default: values_.push(position); break;
        }
    }
    mark_valid();
    ++length_;
    return Append::ok;
}

Append ColumnBuilder::append_decimal(bool negative, unsigned __int128 coefficient, uint32_t scale, const char* what,
                                     std::string_view shown, std::string& misfit_message) {
    const uint32_t precision = plan_->type.precision;
    const uint32_t target_scale = plan_->type.scale;
    const auto misfit = [&](const char* reason) {
        misfit_message = std::string(what) + " " + std::string(shown) + " has more " + reason +
                         " than the column type " + column_type_name(plan_->type) + " holds";
        return Append::misfit;
    };
    if (scale > target_scale) {
        // Only trailing zeros may go: the value must stay exactly the same.
        const unsigned __int128 unit = pow10.value[scale - target_scale];
        if (coefficient % unit != 0) return misfit("decimal places");
        coefficient /= unit;
    } else if (scale < target_scale) {
        const uint32_t shift = target_scale - scale;
        if (coefficient > (pow10.value[precision] - 1) / pow10.value[shift]) return misfit("digits");
        coefficient *= pow10.value[shift];
    }
    if (coefficient >= pow10.value[precision]) return misfit("digits");
    const int128 unscaled = negative ? -static_cast<int128>(coefficient) : static_cast<int128>(coefficient);
    values_.push(unscaled);
    mark_valid();
    ++length_;
    return Append::ok;
}

namespace {

// The value of the alternative the column's field kind guarantees.
template <class T>
const T& value_of(const FieldValue& value) {
    const T* held = std::get_if<T>(&value);
    if (held == nullptr) throw std::logic_error("a field value does not match its column type");
    return *held;
}

}  // namespace

Append ColumnBuilder::append(const FieldValue& value, std::string& misfit_message) {
    if (value.index() == 0) {  // Absent
        append_null();
        return Append::ok;
    }
    const ColumnType& type = plan_->type;
    switch (type.kind) {
        case ColumnKind::utf8:
        case ColumnKind::large_utf8:
        case ColumnKind::dictionary: return append_text(value_of<std::string_view>(value), misfit_message);

        case ColumnKind::int64:
            if (const auto* enum_value = std::get_if<EnumInt>(&value)) {
                values_.push(enum_value->value);
            } else {
                const int128 number = value_of<int128>(value);
                if (number < INT64_MIN || number > INT64_MAX) {
                    misfit_message = "Int " + int128_text(number) + " does not fit the column type int64";
                    return Append::misfit;
                }
                values_.push(static_cast<int64_t>(number));
            }
            break;

        case ColumnKind::decimal128:
            if (const auto* number = std::get_if<int128>(&value)) {
                const bool negative = *number < 0;
                const unsigned __int128 magnitude =
                    negative ? -static_cast<unsigned __int128>(*number) : static_cast<unsigned __int128>(*number);
                return append_decimal(negative, magnitude, 0, "Int", int128_text(*number), misfit_message);
            } else {
                const Decimal& decimal = value_of<Decimal>(value);
                if (decimal.scale() <= type.scale && decimal.coefficient() < pow10.value[type.precision] / pow10.value[type.scale - decimal.scale()]) {
                    // The common case: widening the scale cannot overflow.
                    const unsigned __int128 coefficient = decimal.coefficient() * pow10.value[type.scale - decimal.scale()];
                    values_.push(decimal.negative() ? -static_cast<int128>(coefficient) : static_cast<int128>(coefficient));
                    break;
                }
                return append_decimal(decimal.negative(), decimal.coefficient(), decimal.scale(), "Decimal",
                                      decimal.to_string(), misfit_message);
            }

        case ColumnKind::float64: values_.push(value_of<double>(value)); break;

        case ColumnKind::boolean: push_bit(values_, length_, value_of<bool>(value)); break;

        case ColumnKind::date32: {
            const CivilDate& date = value_of<CivilDate>(value);
            if (!year_fits(date.year)) return Append::refused;
            values_.push(static_cast<int32_t>(days_from_civil(date.year, date.month, date.day)));
            break;
        }

        case ColumnKind::time64: {
            const TimeOfDay& time = value_of<TimeOfDay>(value);
            values_.push(static_cast<int64_t>(time.seconds) * 1'000'000 + time.nanosecond / 1000);
            break;
        }

        case ColumnKind::timestamp: {
            const ZonedDateTime& moment = value_of<ZonedDateTime>(value);
            if (!year_fits(moment.date.year)) return Append::refused;
            const int64_t seconds = days_from_civil(moment.date.year, moment.date.month, moment.date.day) * 86400 +
                                    moment.seconds_of_day - moment.total_offset;
            int64_t scaled = seconds;
            const int64_t factor = type.unit == TimeUnit::second  ? 1
                                   : type.unit == TimeUnit::milli ? 1000
                                   : type.unit == TimeUnit::micro ? 1'000'000
                                                                  : 1'000'000'000;
            if (__builtin_mul_overflow(seconds, factor, &scaled)) {
                misfit_message = "Datetime " + wall_clock_text(moment) + " does not fit the column type " +
                                 column_type_name(type);
                return Append::misfit;
            }
            values_.push(scaled);
            break;
        }
    }
    mark_valid();
    ++length_;
    return Append::ok;
}

void ColumnBuilder::truncate(int64_t length) {
    if (length >= length_) return;
    if (has_validity_) {
        for (int64_t i = length; i < length_; ++i)
            if (!bit_at(validity_.data(), static_cast<size_t>(i))) --null_count_;
        validity_.resize_down(static_cast<size_t>((length + 7) / 8));
        if (length & 7) validity_.data()[length >> 3] &= static_cast<uint8_t>((1u << (length & 7)) - 1);
    }
    switch (plan_->type.kind) {
        case ColumnKind::utf8: {
            values_.resize_down(static_cast<size_t>(length + 1) * 4);
            int32_t end;
            std::memcpy(&end, values_.data() + length * 4, 4);
            data_.resize_down(static_cast<size_t>(end));
            break;
        }
        case ColumnKind::large_utf8: {
            values_.resize_down(static_cast<size_t>(length + 1) * 8);
            int64_t end;
            std::memcpy(&end, values_.data() + length * 8, 8);
            data_.resize_down(static_cast<size_t>(end));
            break;
        }
        case ColumnKind::dictionary: values_.resize_down(static_cast<size_t>(length) * plan_->type.index_width); break;
        case ColumnKind::int64:
        case ColumnKind::float64:
        case ColumnKind::time64:
        case ColumnKind::timestamp: values_.resize_down(static_cast<size_t>(length) * 8); break;
        case ColumnKind::decimal128: values_.resize_down(static_cast<size_t>(length) * 16); break;
        case ColumnKind::date32: values_.resize_down(static_cast<size_t>(length) * 4); break;
        case ColumnKind::boolean:
            values_.resize_down(static_cast<size_t>((length + 7) / 8));
            if (length & 7) values_.data()[length >> 3] &= static_cast<uint8_t>((1u << (length & 7)) - 1);
            break;
    }
    length_ = length;
}

ColumnData ColumnBuilder::finish() {
    ColumnData column;
    column.length = length_;
    column.null_count = null_count_;
    if (null_count_ > 0) {
        validity_.shrink_to_fit();
        column.validity = std::move(validity_);
    }
    values_.shrink_to_fit();
    data_.shrink_to_fit();
    column.values = std::move(values_);
    column.data = std::move(data_);
    validity_ = Buffer();
    values_ = Buffer();
    data_ = Buffer();
    length_ = 0;
    null_count_ = 0;
    has_validity_ = false;
    start_offsets();
    return column;
}

}  // namespace kelvane::feed
