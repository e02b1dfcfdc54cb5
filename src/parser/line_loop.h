// parse_line's body as a template over the sink: separator checks, newline
// trim, trailing delimiter, quote-aware split, record selection, field count
// and the per-field loop. A binding instantiates it with its own final sink,
// whose calls then go straight to it; parse_line instantiates it for any
// FieldSink.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "field_convert.h"
#include "line_parser.h"

namespace kelvane {

namespace line_loop {

// Pieces of one line: room for common widths in place (left uninitialised
// until used), the heap beyond.
class PieceList {
public:
    PieceList() : data_(reinterpret_cast<Piece*>(storage_)) {}
    PieceList(const PieceList&) = delete;
    PieceList& operator=(const PieceList&) = delete;

    void push_back(std::string_view text, bool quoted) {
        if (size_ == capacity_) [[unlikely]] grow();
        std::construct_at(data_ + size_, Piece{text, quoted});
        ++size_;
    }
    size_t size() const { return size_; }
    const Piece& operator[](size_t i) const { return data_[i]; }

private:
    static constexpr size_t in_place = 48;

    void grow() {
        std::vector<Piece> larger;
        larger.reserve(capacity_ * 2);
        larger.assign(data_, data_ + size_);
        heap_ = std::move(larger);
        data_ = heap_.data();
        capacity_ = heap_.capacity();
    }

    alignas(Piece) unsigned char storage_[in_place * sizeof(Piece)];
    Piece* data_;
    size_t size_ = 0;
    size_t capacity_ = in_place;
    std::vector<Piece> heap_;
};

// No quote character in the line: every piece is a view into it.
inline void split_plain(const char* p, const char* end, char delimiter, PieceList& pieces) {
    while (true) {
        const void* hit = std::memchr(p, delimiter, static_cast<size_t>(end - p));
        if (hit == nullptr) {
            pieces.push_back(std::string_view(p, static_cast<size_t>(end - p)), false);
            return;
        }
        const char* stop = static_cast<const char*>(hit);
        pieces.push_back(std::string_view(p, static_cast<size_t>(stop - p)), false);
        p = stop + 1;
    }
}

// Quote characters toggle the in-quotes state and are dropped; a delimiter in
// quotes is text. The text between two quote or delimiter characters is
// found with memchr and taken as a span: a piece made of one span (`"a|b"`,
// `abc`) is a view into the line, and only a piece of several spans
// (`ab"c|d"e`) is copied, into `scratch`, which is reserved up front so that
// appending never moves it. `first_quote` is the first quote character.
inline void split_quoted(const char* p, const char* end, const char* first_quote, char delimiter, char quote,
                         std::string& scratch, PieceList& pieces) {
    const auto find = [end](const char* from, char c) {
        const void* hit = std::memchr(from, c, static_cast<size_t>(end - from));
        return hit == nullptr ? end : static_cast<const char*>(hit);
    };
    // The next quote and delimiter at or after p; both only move forward.
    const char* next_quote = first_quote;
    const char* next_delimiter = find(p, delimiter);
    scratch.reserve(static_cast<size_t>(end - p));

    // The piece being collected: its first span, or its copy in scratch.
    const char* span_start = nullptr;
    size_t span_size = 0;
    bool copied = false;
    size_t copy_start = 0;
    bool quoted = false;
    const auto add_span = [&](const char* from, const char* to) {
        if (from == to) return;
        if (span_start == nullptr && !copied) {
            span_start = from;
            span_size = static_cast<size_t>(to - from);
            return;
        }
        if (!copied) {
            copy_start = scratch.size();
            scratch.append(span_start, span_size);
            copied = true;
        }
        scratch.append(from, static_cast<size_t>(to - from));
    };
    const auto finish_piece = [&]() {
        std::string_view text(p, 0);
        if (copied) {
            text = std::string_view(scratch.data() + copy_start, scratch.size() - copy_start);
        } else if (span_start != nullptr) {
            text = std::string_view(span_start, span_size);
        }
        pieces.push_back(text, quoted);
        span_start = nullptr;
        copied = false;
        quoted = false;
    };

    bool in_quotes = false;
    while (true) {
        if (next_quote < p) next_quote = find(p, quote);
        if (in_quotes) {
            // Everything up to the closing quote, delimiters included.
            add_span(p, next_quote);
            if (next_quote == end) break;
            p = next_quote + 1;
            in_quotes = false;
            continue;
        }
        if (next_delimiter < p) next_delimiter = find(p, delimiter);
        const char* stop = next_quote < next_delimiter ? next_quote : next_delimiter;
        add_span(p, stop);
        if (stop == end) break;
        p = stop + 1;
        if (stop == next_quote) {
            in_quotes = true;
            quoted = true;
        } else {
            finish_piece();
        }
    }
    finish_piece();
}

}  // namespace line_loop

// Fails with the line's or the field's message. When the sink aborts, the
// result is a failure with an empty message (the sink holds the real error).
template <class Sink>
Status parse_line_into(const PreparedSchema& prepared, std::string_view line, Sink& sink) {
    if (!prepared.delimiter_ok()) return Failure{"Delimiter needs to be of length 1"};
    if (!prepared.quote_ok()) return Failure{"Quote needs to be of length 1"};
    const Schema& schema = prepared.schema();
    const char delimiter = prepared.delimiter();

    while (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (schema.trailing_delimiter) {
        if (line.empty() || line.back() != delimiter) return Failure{"Line doesn't have trailing delimiter"};
        line.remove_suffix(1);
    }

    line_loop::PieceList pieces;
    std::string scratch;
    const char* const begin = line.data();
    const char* const end = begin + line.size();
    const void* first_quote =
        prepared.has_quote() ? std::memchr(begin, prepared.quote(), line.size()) : nullptr;
    if (first_quote != nullptr) {
        line_loop::split_quoted(begin, end, static_cast<const char*>(first_quote), delimiter, prepared.quote(),
                                scratch, pieces);
    } else {
        line_loop::split_plain(begin, end, delimiter, pieces);
    }

    const std::string_view name = pieces[0].text;
    const size_t line_index = prepared.find_line(name);
    if (line_index == PreparedSchema::no_line) return Failure{"No schema line matching '" + std::string(name) + "'"};
    const Line& selected = schema.lines[line_index];
    const PreparedField* prepared_fields = prepared.prepared_fields(line_index).data();

    const size_t field_count = selected.fields.size();
    if (field_count != pieces.size() - 1) {
        return Failure{"Mismatched line length, schema length: " + std::to_string(field_count) +
                       ", actual length: (header=1) + " + std::to_string(pieces.size() - 1)};
    }

    if (sink.record_name(name, field_count) == FieldSink::Verdict::aborted) return Failure{};
    const FieldContext context{prepared.has_quote(), prepared.quote(), schema.coerce_empty_quoted};
    const Field* fields = selected.fields.data();
    for (size_t i = 0; i < field_count; ++i) {
        const Piece& piece = pieces[i + 1];
        const Delivery delivery = convert_field(fields[i], prepared_fields[i], piece, context, sink);
        if (delivery.failure != nullptr) [[unlikely]]
            return Failure{field_failure_message(delivery.failure, piece.text, fields[i])};
        if (delivery.verdict != FieldSink::Verdict::accepted) [[unlikely]] {
            if (delivery.verdict == FieldSink::Verdict::aborted) return Failure{};
            return Failure{field_failure_message(unrepresentable_message(fields[i]), piece.text, fields[i])};
        }
    }
    return Ok{};
}

}  // namespace kelvane
