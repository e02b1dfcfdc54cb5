// The per-chunk loop: find each line, check its UTF-8, parse it into the
// column sink, keep the row or roll it back and record where it failed.
#include "chunk_parser.h"

#include <cstring>

#include "../parser/line_loop.h"
#include "column_builder.h"

namespace kelvane::feed {
namespace {

// Builds the columns of every kind met in one chunk. A line's values go in as
// they convert; the line is then committed or rolled back whole. A value the
// column type cannot hold dooms the line but the fields after it still
// convert, so that a failure parse_line reports later on the line wins (its
// message is the Parser's), and the misfit is reported only for lines the
// Parser accepts. The chunk loop instantiates parse_line with this sink, so
// each value reaches its column's typed append directly.
class ChunkSink final : public FieldSink {
public:
    explicit ChunkSink(const FeedLayout& layout)
        : layout_(layout), kinds_(layout.kinds().size()), kind_of_line_(layout.prepared().schema().lines.size(), -1) {
        for (size_t k = 0; k < layout.kinds().size(); ++k)
            kind_of_line_[layout.kinds()[k].line_index] = static_cast<int>(k);
    }

    // `line` begins a line of the chunk, which ends at `chunk_end`.
    void start_line(const char* line, const char* chunk_end) {
        line_ = line;
        chunk_end_ = chunk_end;
        current_ = nullptr;
        current_kind_ = -1;
        next_field_ = 0;
        doomed_ = false;
    }

    // parse_line selected the first Line of this name, which is a kind.
    Verdict record_line(size_t line_index, std::string_view, size_t) {
        return select(kind_of_line_[line_index]);
    }
    Verdict record_name(std::string_view name, size_t) override { return select(layout_.find_kind(name)); }

    Verdict accept(const FieldValue& value) override {
        return std::visit([this](const auto& held) { return take(held); }, value);
    }

    Verdict take(const Absent&) {
        return put(false, [](ColumnBuilder& builder) {
            builder.append_null();
            return Append::ok;
        });
    }
    Verdict take(const std::string_view& text) {
        return put(false, [&](ColumnBuilder& builder) { return builder.append_text(text, misfit_message_); });
    }
    Verdict take_enum(std::string_view text, uint32_t position) {
        return put(false, [&](ColumnBuilder& builder) {
            return builder.append_enum_text(text, position, misfit_message_);
        });
    }
    Verdict take(const int128& number) {
        return put(false, [&](ColumnBuilder& builder) { return builder.append_int(number, misfit_message_); });
    }
    Verdict take(const EnumInt& number) {
        return put(false, [&](ColumnBuilder& builder) { return builder.append_int64(number.value); });
    }
    Verdict take(const double& number) {
        return put(false, [&](ColumnBuilder& builder) { return builder.append_double(number); });
    }
    Verdict take(const Decimal& number) {
        return put(false, [&](ColumnBuilder& builder) { return builder.append_decimal(number, misfit_message_); });
    }
    Verdict take(const bool& value) {
        return put(false, [&](ColumnBuilder& builder) { return builder.append_bool(value); });
    }
    Verdict take(const CivilDate& date) {
        return put(!year_fits(date.year), [&](ColumnBuilder& builder) { return builder.append_date(date); });
    }
    Verdict take(const TimeOfDay& time) {
        return put(false, [&](ColumnBuilder& builder) { return builder.append_time(time); });
    }
    Verdict take(const ZonedDateTime& moment) {
        return put(!year_fits(moment.date.year),
                   [&](ColumnBuilder& builder) { return builder.append_timestamp(moment, misfit_message_); });
    }

    bool named() const { return current_ != nullptr; }
    int current_kind() const { return current_kind_; }
    size_t next_field() const { return next_field_; }
    bool doomed() const { return doomed_; }
    size_t misfit_field() const { return misfit_field_; }
    std::string& misfit_message() { return misfit_message_; }

    void commit() { ++current_->rows; }

    void roll_back() {
        if (current_ == nullptr) return;
        for (size_t i = 0; i < next_field_ && i < current_->builders.size(); ++i) current_->builders[i].truncate(current_->rows);
    }

    int64_t rows(size_t kind) const { return kinds_[kind] ? kinds_[kind]->rows : 0; }

    std::shared_ptr<const BatchData> finish(const std::shared_ptr<const FeedLayout>& layout, size_t kind) {
        if (!kinds_[kind] || kinds_[kind]->rows == 0) return nullptr;
        auto batch = std::make_shared<BatchData>();
        batch->layout = layout;
        batch->kind = kind;
        batch->rows = kinds_[kind]->rows;
        for (ColumnBuilder& builder : kinds_[kind]->builders) batch->columns.push_back(builder.finish());
        return batch;
    }

private:
    struct KindState {
        std::vector<ColumnBuilder> builders;
        int64_t rows = 0;
    };

    Verdict select(int kind) {
        if (kind < 0) return Verdict::aborted;
        current_kind_ = kind;
        current_ = &state(static_cast<size_t>(kind));
        builders_ = current_->builders.data();
        return Verdict::accepted;
    }

    // The next field's value into its column, or, once the line is doomed,
    // only the host's own refusal checked.
    template <class AppendTo>
    Verdict put(bool host_refused, AppendTo append_to) {
        if (doomed_) [[unlikely]] {
            if (host_refused) return Verdict::refused;
            ++next_field_;
            return Verdict::accepted;
        }
        switch (append_to(builders_[next_field_])) {
            case Append::ok: break;
            case Append::refused: return Verdict::refused;
            case Append::misfit:
                doomed_ = true;
                misfit_field_ = next_field_;
                break;
        }
        ++next_field_;
        return Verdict::accepted;
    }

    KindState& state(size_t kind) {
        if (!kinds_[kind]) {
            kinds_[kind] = std::make_unique<KindState>();
            const KindLayout& layout = layout_.kinds()[kind];
            // Each line of the kind takes its name, a delimiter per field and
            // a line end: that bounds its rows in the rest of the chunk, and
            // the rest bounds any column's text.
            const auto rest = static_cast<size_t>(chunk_end_ - line_);
            const auto rows = static_cast<int64_t>(rest / (layout.name.size() + layout.columns.size() + 1) + 1);
            for (const ColumnPlan& plan : layout.columns) kinds_[kind]->builders.emplace_back(plan).bound(rows, rest);
        }
        return *kinds_[kind];
    }

    const FeedLayout& layout_;
    const char* line_ = nullptr;
    const char* chunk_end_ = nullptr;
    std::vector<std::unique_ptr<KindState>> kinds_;
    std::vector<int> kind_of_line_;  // by the schema's Line index; -1 for Lines that are not kinds
    KindState* current_ = nullptr;
    ColumnBuilder* builders_ = nullptr;
    int current_kind_ = -1;
    size_t next_field_ = 0;
    bool doomed_ = false;
    size_t misfit_field_ = 0;
    std::string misfit_message_;
};

// Counts the fields the Parser's binding would accept, refusing what it
// refuses, to tell which field a failure belongs to.
class LocatingSink final : public FieldSink {
public:
    Verdict record_name(std::string_view name, size_t) override {
        named_ = true;
        name_ = name;
        return Verdict::accepted;
    }
    Verdict accept(const FieldValue& value) override {
        if (host_refuses(value)) return Verdict::refused;
        ++accepted_;
        return Verdict::accepted;
    }
    bool named_ = false;
    std::string name_;
    size_t accepted_ = 0;
};

bool all_ascii(std::string_view text) {
    const char* p = text.data();
    size_t n = text.size();
    uint64_t any = 0;
    while (n >= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        any |= word;
        p += 8;
        n -= 8;
    }
    while (n > 0) {
        any |= static_cast<uint8_t>(*p++);
        --n;
    }
    return (any & 0x8080808080808080ull) == 0;
}

}  // namespace

size_t invalid_utf8_at(std::string_view text) {
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    const auto continuation = [&](size_t at) { return at < n && (s[at] & 0xC0) == 0x80; };
    while (i < n) {
        const uint8_t lead = s[i];
        if (lead < 0x80) {
            ++i;
            while (i + 8 <= n) {
                uint64_t word;
                std::memcpy(&word, s + i, 8);
                if (word & 0x8080808080808080ull) break;
                i += 8;
            }
            continue;
        }
        size_t length;
        uint8_t second_low = 0x80;
        uint8_t second_high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) second_low = 0xA0;   // no overlong forms
            if (lead == 0xED) second_high = 0x9F;  // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) second_low = 0x90;
            if (lead == 0xF4) second_high = 0x8F;  // nothing past U+10FFFF
        } else {
            return i;
        }
        if (i + 1 >= n || s[i + 1] < second_low || s[i + 1] > second_high) return i;
        for (size_t k = 2; k < length; ++k)
            if (!continuation(i + k)) return i;
        i += length;
    }
    return std::string_view::npos;
}

std::string invalid_utf8_message(size_t offset) {
    return "Invalid UTF-8 at byte " + std::to_string(offset + 1) + " of the line";
}

std::optional<std::string> first_piece(const PreparedSchema& prepared, std::string_view line) {
    if (!prepared.delimiter_ok() || !prepared.quote_ok()) return std::nullopt;
    while (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (prepared.schema().trailing_delimiter && !line.empty() && line.back() == prepared.delimiter())
        line.remove_suffix(1);
    std::string piece;
    bool in_quotes = false;
    for (const char c : line) {
        if (prepared.has_quote() && c == prepared.quote()) {
            in_quotes = !in_quotes;
        } else if (c == prepared.delimiter() && !in_quotes) {
            break;
        } else {
            piece += c;
        }
    }
    return piece;
}

Located locate_failure(const FeedLayout& layout, std::string_view line) {
    Located located;
    LocatingSink sink;
    const Status status = parse_line(layout.prepared(), line, sink);
    if (status.ok()) return located;
    located.message = status.message();
    if (sink.named_) {
        located.has_record = true;
        located.record = sink.name_;
        located.field = static_cast<uint32_t>(sink.accepted_ + 1);
        const int kind = layout.find_kind(sink.name_);
        if (kind >= 0 && sink.accepted_ < layout.kinds()[static_cast<size_t>(kind)].columns.size())
            located.field_name = layout.kinds()[static_cast<size_t>(kind)].columns[sink.accepted_].name;
    } else if (auto piece = first_piece(layout.prepared(), line)) {
        located.has_record = true;
        located.record = std::move(*piece);
    }
    return located;
}

ChunkResult parse_chunk(const std::shared_ptr<const FeedLayout>& layout_ptr, const Chunk& chunk,
                        const ReadSettings& settings) {
    const FeedLayout& layout = *layout_ptr;
    const PreparedSchema& prepared = layout.prepared();
    ChunkResult result;
    ChunkSink sink(layout);
    // Most chunks are ASCII throughout: then no line needs its own check.
    const bool chunk_ascii = all_ascii(std::string_view(chunk.data, chunk.size));

    const char* p = chunk.data;
    const char* const end = chunk.data + chunk.size;
    uint64_t line_index = 0;
    while (p < end) {
        const char* line_start = p;
        const auto* newline = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* line_end = newline != nullptr ? newline : end;
        p = newline != nullptr ? newline + 1 : end;
        if (line_index == 0 && chunk.at_source_start && line_end - line_start >= 3 &&
            std::memcmp(line_start, "\xEF\xBB\xBF", 3) == 0)
            line_start += 3;
        std::string_view line(line_start, static_cast<size_t>(line_end - line_start));
        if (settings.crlf && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        const uint64_t this_line = line_index++;

        if (line.empty() && settings.skip_blank) {
            ++result.skipped_blank;
            continue;
        }

        size_t bad = std::string_view::npos;
        if (!chunk_ascii && !all_ascii(line)) bad = invalid_utf8_at(line);
        Status status = Ok{};
        if (bad == std::string_view::npos) {
            sink.start_line(line.data(), end);
            status = parse_line_into(prepared, line, sink);
            if (status.ok() && !sink.doomed()) [[likely]] {
                sink.commit();
                continue;
            }
            sink.roll_back();
        }

        LineError error;
        if (bad != std::string_view::npos) {
            error.message = invalid_utf8_message(bad);
        } else {
            if (status.ok()) {
                error.field = static_cast<uint32_t>(sink.misfit_field() + 1);
                error.message = std::move(sink.misfit_message());
            } else {
                error.message = status.message();
                if (sink.named()) error.field = static_cast<uint32_t>(sink.next_field() + 1);
            }
            if (sink.named()) {
                const KindLayout& kind = layout.kinds()[static_cast<size_t>(sink.current_kind())];
                error.has_record = true;
                error.record = kind.name;
                if (error.field != 0) error.field_name = kind.columns[error.field - 1].name;
            } else if (auto piece = first_piece(prepared, line)) {
                error.has_record = true;
                error.record = std::move(*piece);
            }
        }
        error.line = this_line;
        error.offset = chunk.offset + static_cast<uint64_t>(line_start - chunk.data);
        if (this_line == 0 && chunk.at_source_start) error.offset = chunk.offset;
        error.text.assign(line.data(), line.size());
        error.skipped_before = result.skipped_blank;
        if (settings.row_snapshots) {
            error.rows_before.resize(layout.kinds().size());
            for (size_t k = 0; k < layout.kinds().size(); ++k) error.rows_before[k] = sink.rows(k);
        }
        result.errors.push_back(std::move(error));
        if (settings.stop_after_errors != 0 && result.errors.size() >= settings.stop_after_errors) {
            result.stopped = p < end;
            break;
        }
    }
    result.lines = line_index;
    result.batches.resize(layout.kinds().size());
    for (size_t k = 0; k < layout.kinds().size(); ++k) result.batches[k] = sink.finish(layout_ptr, k);
    return result;
}

}  // namespace kelvane::feed
