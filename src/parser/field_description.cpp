// Renders a Field the way failure messages show it, member by member from its
// record table: Str(StrField { required: false, min_length: Some(3), ... }).
#include "../schema/record_tables.h"
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
};

}  // namespace

std::string describe_field(const Field& field) {
    Writer writer;
    std::visit(
        [&](const auto& record) {
            using Record = std::decay_t<decltype(record)>;
            std::string& out = writer.out;
            out += RecordTable<Record>::variant;
            out += '(';
            out += RecordTable<Record>::name;
            out += " { ";
            bool first = true;
            for_each_member<Record>([&](const auto& member) {
                if (!first) out += ", ";
                first = false;
                out += member.key;
                out += ": ";
                writer.value(record.*member.pointer);
            });
            out += " })";
        },
        field);
    return std::move(writer.out);
}

}  // namespace kelvane
