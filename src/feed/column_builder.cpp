// Field values into Arrow column buffers, exactly: a value the column type
// cannot hold is refused with its reason, never wrapped, rounded or cut.
#include "column_builder.h"

#include <climits>
#include <type_traits>

#include "../values/civil.h"
#include "../values/numeric_text.h"

namespace kelvane::feed {
namespace {

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

ColumnBuilder::ColumnBuilder(const ColumnPlan& plan) : plan_(&plan) {
    if (plan.type.kind == ColumnKind::timestamp) {
        timestamp_factor_ = plan.type.unit == TimeUnit::second  ? 1
                            : plan.type.unit == TimeUnit::milli ? 1000
                            : plan.type.unit == TimeUnit::micro ? 1'000'000
                                                                : 1'000'000'000;
    }
    start_offsets();
}

void ColumnBuilder::bound(int64_t rows, size_t text_bytes) {
    const auto count = static_cast<size_t>(rows);
    size_t values = 0;
    switch (plan_->type.kind) {
        case ColumnKind::utf8: values = (count + 1) * 4; break;
        case ColumnKind::large_utf8: values = (count + 1) * 8; break;
        case ColumnKind::dictionary: values = count * plan_->type.index_width; break;
        case ColumnKind::int64:
        case ColumnKind::float64:
        case ColumnKind::time64:
        case ColumnKind::timestamp: values = count * 8; break;
        case ColumnKind::decimal128: values = count * 16; break;
        case ColumnKind::date32: values = count * 4; break;
        case ColumnKind::boolean: values = count / 8 + 1; break;
    }
    values_.bound(values);
    if (plan_->type.kind == ColumnKind::utf8 || plan_->type.kind == ColumnKind::large_utf8) data_.bound(text_bytes);
    validity_.bound(count / 8 + 1);
}

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

Append ColumnBuilder::append_text_slowly(std::string_view text, std::string& misfit_message) {
    if (plan_->type.kind == ColumnKind::large_utf8) {
        data_.append(text.data(), text.size());
        values_.push(static_cast<int64_t>(data_.size()));
    } else if (plan_->type.kind == ColumnKind::utf8) {
        // Only a text past the column's limit comes here.
        misfit_message = "Text of " + std::to_string(text.size()) +
                         " bytes does not fit the column type utf8 (at most 2147483647 bytes of text in "
                         "one batch); choose large_utf8";
        return Append::misfit;
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
    return appended();
}

Append ColumnBuilder::append_int_slowly(int128 number, std::string& misfit_message) {
    if (plan_->type.kind == ColumnKind::int64) {
        // Only a number outside int64 comes here.
        misfit_message = "Int " + int128_text(number) + " does not fit the column type int64";
        return Append::misfit;
    }
    const bool negative = number < 0;
    const unsigned __int128 magnitude =
        negative ? -static_cast<unsigned __int128>(number) : static_cast<unsigned __int128>(number);
    return append_decimal_parts(negative, magnitude, 0, "Int", int128_text(number), misfit_message);
}

Append ColumnBuilder::append_decimal_parts(bool negative, unsigned __int128 coefficient, uint32_t scale,
                                           const char* what, std::string_view shown, std::string& misfit_message) {
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
    return appended();
}

Append ColumnBuilder::timestamp_misfit(const ZonedDateTime& moment, std::string& misfit_message) {
    misfit_message =
        "Datetime " + wall_clock_text(moment) + " does not fit the column type " + column_type_name(plan_->type);
    return Append::misfit;
}

Append ColumnBuilder::append(const FieldValue& value, std::string& misfit_message) {
    return std::visit(
        [&](const auto& held) -> Append {
            using T = std::decay_t<decltype(held)>;
            if constexpr (std::is_same_v<T, Absent>) {
                append_null();
                return Append::ok;
            } else if constexpr (std::is_same_v<T, std::string_view>) {
                return append_text(held, misfit_message);
            } else if constexpr (std::is_same_v<T, int128>) {
                return append_int(held, misfit_message);
            } else if constexpr (std::is_same_v<T, EnumInt>) {
                return append_int64(held.value);
            } else if constexpr (std::is_same_v<T, double>) {
                return append_double(held);
            } else if constexpr (std::is_same_v<T, Decimal>) {
                return append_decimal(held, misfit_message);
            } else if constexpr (std::is_same_v<T, bool>) {
                return append_bool(held);
            } else if constexpr (std::is_same_v<T, CivilDate>) {
                return append_date(held);
            } else if constexpr (std::is_same_v<T, TimeOfDay>) {
                return append_time(held);
            } else {
                static_assert(std::is_same_v<T, ZonedDateTime>);
                return append_timestamp(held, misfit_message);
            }
        },
        value);
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
