// Renders a Field the way failure messages show it:
// Str(StrField { required: false, min_length: Some(3), ... }).
#include "../values/numeric_text.h"
#include "../values/text_escape.h"
#include "field_convert.h"

namespace kelvane {
namespace {

class Writer {
public:
    std::string out;

    void text(std::string_view value) { append_quoted_text(out, value); }

    void value(bool v) { out += v ? "true" : "false"; }
    void value(const std::string& v) { text(v); }
    void value(uint64_t v) { out += std::to_string(v); }
    void value(uint32_t v) { out += std::to_string(v); }
    void value(int64_t v) { out += std::to_string(v); }
    void value(double v) { out += format_float(v); }
    void value(const Decimal& v) { out += v.to_string(); }

    template <class T>
    void value(const std::optional<T>& v) {
        if (!v) {
            out += "None";
            return;
        }
        out += "Some(";
        value(*v);
        out += ')';
    }

    template <class T>
    void value(const std::vector<T>& items) {
        out += '[';
        for (size_t i = 0; i < items.size(); ++i) {
            if (i) out += ", ";
            value(items[i]);
        }
        out += ']';
    }

    template <class T>
    Writer& key(const char* name, const T& v, bool first = false) {
        if (!first) out += ", ";
        out += name;
        out += ": ";
        value(v);
        return *this;
    }

    Writer& open(const char* variant, const char* record, bool required) {
        out += variant;
        out += '(';
        out += record;
        out += " { ";
        return key("required", required, true);
    }

    void close() { out += " })"; }
};

struct Describe {
    Writer& w;

    void operator()(const StrField& f) {
        w.open("Str", "StrField", f.required)
            .key("min_length", f.min_length)
            .key("max_length", f.max_length)
            .key("invalid_characters", f.invalid_characters);
    }
    void operator()(const StrEnumField& f) { w.open("StrEnum", "StrEnumField", f.required).key("values", f.values); }
    void operator()(const IntField& f) {
        w.open("Int", "IntField", f.required).key("min_value", f.min_value).key("max_value", f.max_value);
    }
    void operator()(const IntEnumField& f) { w.open("IntEnum", "IntEnumField", f.required).key("values", f.values); }
    void operator()(const FloatField& f) {
        w.open("Float", "FloatField", f.required).key("min_value", f.min_value).key("max_value", f.max_value);
    }
    void operator()(const DecimalField& f) {
        w.open("Decimal", "DecimalField", f.required)
            .key("round_decimal_places", f.round_decimal_places)
            .key("min_value", f.min_value)
            .key("max_value", f.max_value);
    }
    void operator()(const BoolField& f) {
        w.open("Bool", "BoolField", f.required).key("true_value", f.true_value).key("false_value", f.false_value);
    }
    void operator()(const DatetimeField& f) {
        w.open("Datetime", "DatetimeField", f.required).key("format", f.format).key("time_zone", f.time_zone);
    }
    void operator()(const DateField& f) { w.open("Date", "DateField", f.required).key("format", f.format); }
    void operator()(const TimeField& f) { w.open("Time", "TimeField", f.required).key("format", f.format); }
};

}  // namespace

std::string describe_field(const Field& field) {
    Writer writer;
    std::visit(Describe{writer}, field);
    writer.close();
    return std::move(writer.out);
}

}  // namespace kelvane
