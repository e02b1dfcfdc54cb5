// One builder per column: appends converted field values in the column's
// Arrow type, keeps a validity bitmap once a null appears, and can take the
// last values back when a later field of the same line fails.
#pragma once

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

// True when the host refuses the value whatever the column (a DATE or
// DATETIME year outside 1..9999), as the Parser's binding does.
bool host_refuses(const FieldValue& value);

class ColumnBuilder {
public:
    explicit ColumnBuilder(const ColumnPlan& plan);

    // Appends `value` (Absent appends a null). On misfit, the reason is
    // written to `misfit_message` and nothing is appended.
    Append append(const FieldValue& value, std::string& misfit_message);

    int64_t length() const { return length_; }
    // Drops the values from `length` on.
    void truncate(int64_t length);
    // The column so far; the builder starts over empty.
    ColumnData finish();

private:
    void append_null();
    void mark_valid() {
        if (has_validity_) push_bit(validity_, length_, true);
    }
    static void push_bit(Buffer& bits, int64_t index, bool value) {
        if ((index & 7) == 0) bits.push<uint8_t>(0);
        if (value) bits.data()[index >> 3] |= static_cast<uint8_t>(1u << (index & 7));
    }
    void start_offsets();

    Append append_text(std::string_view text, std::string& misfit_message);
    Append append_decimal(bool negative, unsigned __int128 coefficient, uint32_t scale, const char* what,
                          std::string_view shown, std::string& misfit_message);

    const ColumnPlan* plan_;
    int64_t length_ = 0;
    int64_t null_count_ = 0;
    bool has_validity_ = false;
    Buffer validity_;
    Buffer values_;
    Buffer data_;
};

}  // namespace kelvane::feed
