// Lint of a schema the reader accepts: what kelvane.Parser takes silently but
// is almost certainly a mistake (a misspelt key, an unknown zone, a format
// that cannot read, a repeated line name, ...), each with its place.
#pragma once

#include <string>
#include <vector>

#include "feed_schema.h"
#include "schema_outline.h"

namespace kelvane::feed {

struct LintFinding {
    JsonPosition position;  // the key or value concerned
    std::string path;       // the same place as a path: lines[1].fields[0].max_vale
    std::string code;       // what kind of finding, e.g. "unknown-key"
    std::string message;
};

// Findings in text order; none for a clean schema. Never fails: the schema
// has been read already, and lint is advice.
std::vector<LintFinding> lint_schema(const FeedSchema& schema);

}  // namespace kelvane::feed
