// parse_line's body as a template over the sink: separator checks, newline
// trim, trailing delimiter, quote-aware split, record selection, field count
// and the per-field loop. A binding instantiates it with its own final sink,
// whose calls then go straight to it; parse_line instantiates it for any
// FieldSink.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "field_convert.h"
#include "line_parser.h"

namespace kelvane {

namespace line_loop {

// The first `c` in [from, end), or end. Fields are mostly short: the first
// sixteen bytes are searched inline, eight at a time, and a shorter rest byte
// by byte; longer texts go on by memchr.
inline const char* find_byte(const char* from, const char* end, char c) {
    const uint64_t pattern = 0x0101010101010101u * static_cast<unsigned char>(c);
    for (int round = 0; round < 2; ++round, from += 8) {
        if (end - from < 8) {
            for (; from != end; ++from) {
                if (*from == c) return from;
            }
            return end;
        }
        uint64_t word;
        std::memcpy(&word, from, 8);
        word ^= pattern;
        // High bit set in each byte that is zero, exactly.
        const uint64_t zero = ~(((word & 0x7F7F7F7F7F7F7F7Fu) + 0x7F7F7F7F7F7F7F7Fu) | word | 0x7F7F7F7F7F7F7F7Fu);
        if (zero != 0) return from + __builtin_ctzll(zero) / 8;
    }
    const void* hit = std::memchr(from, c, static_cast<size_t>(end - from));
    return hit == nullptr ? end : static_cast<const char*>(hit);
}

// Pieces of one line: room for common widths in place (left uninitialised
// until used), the heap beyond. Starts, sizes and quote marks are kept apart
// so that each is read back as it was written, one scalar at a time (a piece
// read whole right after its parts were stored would wait on them).
class PieceList {
public:
    PieceList() = default;
    PieceList(const PieceList&) = delete;
    PieceList& operator=(const PieceList&) = delete;

    void push_back(std::string_view text, bool quoted) {
        if (size_ == capacity_) [[unlikely]] grow();
        starts_[size_] = text.data();
        sizes_[size_] = text.size();
        quoted_[size_] = quoted;
        ++size_;
    }
    size_t size() const { return size_; }
    Piece operator[](size_t i) const { return Piece{std::string_view(starts_[i], sizes_[i]), quoted_[i]}; }

private:
    static constexpr size_t in_place = 48;

    void grow() {
        const size_t capacity = capacity_ * 2;
        auto starts = std::make_unique_for_overwrite<const char*[]>(capacity);
        auto sizes = std::make_unique_for_overwrite<size_t[]>(capacity);
        auto quoted = std::make_unique_for_overwrite<bool[]>(capacity);
        std::copy(starts_, starts_ + size_, starts.get());
        std::copy(sizes_, sizes_ + size_, sizes.get());
        std::copy(quoted_, quoted_ + size_, quoted.get());
        heap_starts_ = std::move(starts);
        heap_sizes_ = std::move(sizes);
        heap_quoted_ = std::move(quoted);
        starts_ = heap_starts_.get();
        sizes_ = heap_sizes_.get();
        quoted_ = heap_quoted_.get();
        capacity_ = capacity;
    }

    const char* in_place_starts_[in_place];
    size_t in_place_sizes_[in_place];
    bool in_place_quoted_[in_place];
    const char** starts_ = in_place_starts_;
    size_t* sizes_ = in_place_sizes_;
    bool* quoted_ = in_place_quoted_;
    size_t size_ = 0;
    size_t capacity_ = in_place;
    std::unique_ptr<const char*[]> heap_starts_;
    std::unique_ptr<size_t[]> heap_sizes_;
    std::unique_ptr<bool[]> heap_quoted_;
};

// No quote character in the line: every piece is a view into it.
inline void split_plain(const char* p, const char* end, char delimiter, PieceList& pieces) {
    while (true) {
        const char* stop = find_byte(p, end, delimiter);
        pieces.push_back(std::string_view(p, static_cast<size_t>(stop - p)), false);
        if (stop == end) return;
        p = stop + 1;
    }
}

// Quote characters toggle the in-quotes state and are dropped; a delimiter in
// quotes is text. The text between two quote or delimiter characters is
// found with memchr and taken as a span: a piece made of one span (`"a|b"`,
// `abc`) is a view into the line, and only a piece of several spans
// (`ab"c|d"e`) is copied, into `scratch`, which is reserved for the rest of
// the line at the first copy so that appending never moves it. `first_quote`
// is the first quote character.
inline void split_quoted(const char* p, const char* end, const char* first_quote, char delimiter, char quote,
                         std::string& scratch, PieceList& pieces) {
    const auto find = [end](const char* from, char c) { return find_byte(from, end, c); };
    // The next quote and delimiter at or after p; both only move forward.
    const char* next_quote = first_quote;
    const char* next_delimiter = find(p, delimiter);

    // The piece being collected: its first span, or its copy in scratch.
    const char* span_start = nullptr;
    size_t span_size = 0;
    bool copied = false;
    bool reserved = false;
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
            // Room for the rest of the line at the first copy: appending then
            // never moves what earlier pieces view.
            if (!reserved) {
                scratch.reserve(static_cast<size_t>(end - span_start));
                reserved = true;
            }
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
        if (!in_quotes && next_quote == p && p != end && span_start == nullptr && !copied && !quoted &&
            quote != delimiter) {
            // The common quoted piece: a quote at its start and the closing
            // one right before the next delimiter or the end. (A quote that
            // is also the delimiter never ends a piece.)
            const char* closing = find(p + 1, quote);
            if (closing != end && (closing + 1 == end || closing[1] == delimiter)) {
                pieces.push_back(std::string_view(p + 1, static_cast<size_t>(closing - p - 1)), true);
                if (closing + 1 == end) return;
                p = closing + 2;
                continue;
            }
        }
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

#if defined(__SSE2__)
// The delimiters (and with `with_quote`, the quotes) of 16 bytes at a time as
// bit masks, bit i for block[i].
template <bool with_quote>
struct BlockScan {
    __m128i delimiters;
    __m128i quotes;

    BlockScan(char delimiter, char quote) : delimiters(_mm_set1_epi8(delimiter)), quotes(_mm_set1_epi8(quote)) {}

    void scan(const char* block, unsigned& delimiter_bits, unsigned& quote_bits) const {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
        delimiter_bits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, delimiters)));
        quote_bits = with_quote ? static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, quotes))) : 0u;
    }
};

// One pass over the line finds its delimiters and its quotes together:
// pieces are views into the line. A piece that is a whole quoted text (a
// quote at its start, the closing one right before the next delimiter or the
// end) is taken as split_quoted takes it, and the pass goes on after it; at
// any other quote split_quoted takes over from the piece that holds it (as if
// the line started there).
template <bool with_quote>
inline void split_line_blocks(const char* begin, const char* end, char delimiter, char quote, std::string& scratch,
                              PieceList& pieces) {
    const BlockScan<with_quote> scanner(delimiter, quote);
    const char* piece = begin;
    const char* block = begin;
    unsigned bits;
    unsigned quote_bits;
    while (block != end) {
        // 16 bytes; at the end, the line's last 16 when it has that many
        // (bytes already taken shifted out), else a padded copy.
        const bool last = end - block <= 16;
        if (!last || end - block == 16) {
            scanner.scan(block, bits, quote_bits);
        } else {
            const auto rest = static_cast<unsigned>(end - block);
            if (end - begin >= 16) {
                scanner.scan(end - 16, bits, quote_bits);
                bits >>= 16 - rest;
                quote_bits >>= 16 - rest;
            } else {
                char padded[16] = {};
                std::memcpy(padded, block, rest);
                scanner.scan(padded, bits, quote_bits);
                const unsigned kept = (1u << rest) - 1;
                bits &= kept;
                quote_bits &= kept;
            }
        }
        if (with_quote && quote_bits != 0) bits &= (1u << __builtin_ctz(quote_bits)) - 1;
        while (bits != 0) {
            const char* stop = block + __builtin_ctz(bits);
            pieces.push_back(std::string_view(piece, static_cast<size_t>(stop - piece)), false);
            piece = stop + 1;
            bits &= bits - 1;
        }
        if (with_quote && quote_bits != 0) {
            const char* first_quote = block + __builtin_ctz(quote_bits);
            if (first_quote == piece && quote != delimiter) {
                // The closing quote: the block's next one, or the next after it.
                const unsigned later_quotes = quote_bits & (quote_bits - 1);
                const char* closing = later_quotes != 0 ? block + __builtin_ctz(later_quotes)
                                                        : find_byte(last ? end : block + 16, end, quote);
                if (closing != end && (closing + 1 == end || closing[1] == delimiter)) {
                    pieces.push_back(std::string_view(first_quote + 1, static_cast<size_t>(closing - first_quote - 1)),
                                     true);
                    if (closing + 1 == end) return;
                    piece = block = closing + 2;
                    continue;
                }
            }
            split_quoted(piece, end, first_quote, delimiter, quote, scratch, pieces);
            return;
        }
        if (last) break;
        block += 16;
    }
    pieces.push_back(std::string_view(piece, static_cast<size_t>(end - piece)), false);
}
#endif

// Splits the line at its delimiters, quote-aware.
inline void split_line(const char* begin, const char* end, char delimiter, bool has_quote, char quote,
                       std::string& scratch, PieceList& pieces) {
#if defined(__SSE2__)
    if (has_quote) {
        split_line_blocks<true>(begin, end, delimiter, quote, scratch, pieces);
    } else {
        split_line_blocks<false>(begin, end, delimiter, quote, scratch, pieces);
    }
#else
    const char* first_quote = has_quote ? find_byte(begin, end, quote) : end;
    if (first_quote != end) {
        split_quoted(begin, end, first_quote, delimiter, quote, scratch, pieces);
    } else {
        split_plain(begin, end, delimiter, pieces);
    }
#endif
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
    line_loop::split_line(line.data(), line.data() + line.size(), delimiter, prepared.has_quote(), prepared.quote(),
                          scratch, pieces);

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

    // A sink that keeps state by Line takes the selected Line's index too.
    FieldSink::Verdict named;
    if constexpr (requires { sink.record_line(line_index, name, field_count); }) {
        named = sink.record_line(line_index, name, field_count);
    } else {
        named = sink.record_name(name, field_count);
    }
    if (named == FieldSink::Verdict::aborted) return Failure{};
    const FieldContext context{prepared.has_quote(), prepared.quote()};
    const Field* fields = selected.fields.data();
    for (size_t i = 0; i < field_count; ++i) {
        const Piece piece = pieces[i + 1];
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
