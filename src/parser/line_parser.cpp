// Line splitting, record selection and the per-field loop of parse_line, and
// the first-field rule of parse_first.
#include "line_parser.h"

#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "field_convert.h"

namespace kelvane {
namespace {

constexpr const char* kBadDelimiter = "Delimiter needs to be of length 1";
constexpr const char* kBadQuote = "Quote needs to be of length 1";

// Pieces of one line: inline storage for common widths, the heap beyond.
class PieceList {
public:
    void push_back(Piece piece) {
        if (size_ < kInline) {
            inline_[size_++] = piece;
            return;
        }
        if (size_ == kInline) overflow_.assign(inline_, inline_ + kInline);
        overflow_.push_back(piece);
        ++size_;
    }
    size_t size() const { return size_; }
    const Piece& operator[](size_t i) const { return size_ <= kInline ? inline_[i] : overflow_[i]; }

private:
    static constexpr size_t kInline = 48;
    Piece inline_[kInline];
    std::vector<Piece> overflow_;
    size_t size_ = 0;
};

// No quote character in the line: every piece is a view into it.
void split_plain(std::string_view text, char delimiter, PieceList& pieces) {
    const char* p = text.data();
    const char* end = p + text.size();
    while (true) {
        const void* hit = std::memchr(p, delimiter, static_cast<size_t>(end - p));
        if (hit == nullptr) {
            pieces.push_back({std::string_view(p, static_cast<size_t>(end - p)), false});
            return;
        }
        const char* stop = static_cast<const char*>(hit);
        pieces.push_back({std::string_view(p, static_cast<size_t>(stop - p)), false});
        p = stop + 1;
    }
}

// Quote characters toggle the in-quotes state and are dropped; a delimiter in
// quotes is text. Pieces are views into `scratch`, which is reserved up front
// so that appending never moves it.
void split_quoted(std::string_view text, char delimiter, char quote, std::string& scratch, PieceList& pieces) {
    scratch.reserve(text.size());
    size_t start = 0;
    bool quoted = false;
    bool in_quotes = false;
    for (const char c : text) {
        if (c == quote) {
            in_quotes = !in_quotes;
            quoted = true;
        } else if (c == delimiter && !in_quotes) {
            pieces.push_back({std::string_view(scratch.data() + start, scratch.size() - start), quoted});
            start = scratch.size();
            quoted = false;
        } else {
            scratch.push_back(c);
        }
    }
    pieces.push_back({std::string_view(scratch.data() + start, scratch.size() - start), quoted});
}

// One shared compiled form per distinct source text.
template <class Compiled>
class SharedForms {
public:
    explicit SharedForms(std::vector<std::shared_ptr<const Compiled>>& owned) : owned_(owned) {}

    const Compiled* get(const std::string& source) {
        auto [entry, added] = by_source_.try_emplace(source, nullptr);
        if (added) {
            owned_.push_back(std::make_shared<const Compiled>(source));
            entry->second = owned_.back().get();
        }
        return entry->second;
    }

private:
    std::vector<std::shared_ptr<const Compiled>>& owned_;
    std::unordered_map<std::string_view, const Compiled*> by_source_;  // views into the schema
};

}  // namespace

PreparedSchema::PreparedSchema(Schema schema) : schema_(std::move(schema)) {
    delimiter_ok_ = schema_.delimiter.size() == 1;
    if (delimiter_ok_) delimiter_ = schema_.delimiter[0];
    quote_ok_ = !schema_.quote_str || schema_.quote_str->size() == 1;
    has_quote_ = schema_.quote_str && schema_.quote_str->size() == 1;
    if (has_quote_) quote_ = (*schema_.quote_str)[0];

    size_t field_count = 0;
    for (const Line& line : schema_.lines) field_count += line.fields.size();
    fields_.reserve(field_count);
    line_starts_.reserve(schema_.lines.size());
    SharedForms<TimeFormat> formats(formats_);
    SharedForms<CharSet> char_sets(char_sets_);
    for (const Line& line : schema_.lines) {
        line_starts_.push_back(fields_.size());
        for (const Field& field : line.fields) {
            PreparedField& prepared = fields_.emplace_back();
            if (const auto* str = std::get_if<StrField>(&field)) {
                if (str->invalid_characters) prepared.invalid_characters = char_sets.get(*str->invalid_characters);
            } else if (const auto* datetime = std::get_if<DatetimeField>(&field)) {
                prepared.format = formats.get(datetime->format);
                // The database never changes, so resolving the name once
                // answers every later lookup the same way.
                prepared.zone = find_zone(datetime->time_zone);
            } else if (const auto* date = std::get_if<DateField>(&field)) {
                prepared.format = formats.get(date->format);
            } else if (const auto* time = std::get_if<TimeField>(&field)) {
                prepared.format = formats.get(time->format);
            }
        }
    }
}

Status parse_line(const PreparedSchema& prepared, std::string_view line, FieldSink& sink) {
    if (!prepared.delimiter_ok()) return Failure{kBadDelimiter};
    if (!prepared.quote_ok()) return Failure{kBadQuote};
    const Schema& schema = prepared.schema();
    const char delimiter = prepared.delimiter();

    while (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (schema.trailing_delimiter) {
        if (line.empty() || line.back() != delimiter) return Failure{"Line doesn't have trailing delimiter"};
        line.remove_suffix(1);
    }

    PieceList pieces;
    std::string scratch;
    if (prepared.has_quote() && std::memchr(line.data(), prepared.quote(), line.size()) != nullptr) {
        split_quoted(line, delimiter, prepared.quote(), scratch, pieces);
    } else {
        split_plain(line, delimiter, pieces);
    }

    const std::string_view name = pieces[0].text;
    const Line* selected = nullptr;
    for (const Line& candidate : schema.lines) {
        if (candidate.name == name) {
            selected = &candidate;
            break;
        }
    }
    if (selected == nullptr) return Failure{"No schema line matching '" + std::string(name) + "'"};
    const std::span<const PreparedField> prepared_fields =
        prepared.prepared_fields(static_cast<size_t>(selected - schema.lines.data()));

    const size_t field_count = selected->fields.size();
    if (field_count != pieces.size() - 1) {
        return Failure{"Mismatched line length, schema length: " + std::to_string(field_count) +
                       ", actual length: (header=1) + " + std::to_string(pieces.size() - 1)};
    }

    if (sink.record_name(name, field_count) == FieldSink::Verdict::aborted) return Failure{};
    const FieldContext context{prepared.has_quote(), prepared.quote(), schema.coerce_empty_quoted};
    for (size_t i = 0; i < field_count; ++i) {
        const Field& field = selected->fields[i];
        const Piece& piece = pieces[i + 1];
        const Conversion conversion = convert_field(field, prepared_fields[i], piece, context);
        if (conversion.failure != nullptr)
            return Failure{field_failure_message(conversion.failure, piece.text, field)};
        switch (sink.accept(conversion.value)) {
            case FieldSink::Verdict::accepted: break;
            case FieldSink::Verdict::refused:
                return Failure{field_failure_message(unrepresentable_message(field), piece.text, field)};
            case FieldSink::Verdict::aborted: return Failure{};
        }
    }
    return Ok{};
}

Result<std::string_view> parse_first(const PreparedSchema& prepared, std::string_view line) {
    if (!prepared.quote_ok()) return Failure{kBadQuote};
    if (prepared.has_quote() && !line.empty() && line.front() == prepared.quote()) {
        // Quoted first field: up to the next quote character, or the end.
        const std::string_view rest = line.substr(1);
        return rest.substr(0, rest.find(prepared.quote()));
    }
    if (!prepared.delimiter_ok()) return Failure{kBadDelimiter};
    return line.substr(0, line.find(prepared.delimiter()));
}

}  // namespace kelvane
