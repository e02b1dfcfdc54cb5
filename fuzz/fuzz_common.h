// Helpers shared by the fuzz targets: a failing check that stops the run with
// a readable reason, a sink for bytes that makes the sanitizers read them, and
// the schema files the line and feed targets draw on.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#define FUZZ_CHECK(condition, ...)                                                        \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            std::fprintf(stderr, "%s:%d: check failed: %s\n  ", __FILE__, __LINE__, #condition); \
            std::fprintf(stderr, __VA_ARGS__);                                            \
            std::fprintf(stderr, "\n");                                                   \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

namespace kelvane_fuzz {

// Touches every byte of a view so that a dangling or overlong view is caught
// by AddressSanitizer where it is produced, not somewhere later.
inline uint64_t touch(std::string_view text, uint64_t hash = 1469598103934665603u) {
    for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
    return hash;
}

// Printable form of a short text for failure reports.
inline std::string show(std::string_view text) {
    std::string out;
    for (const char c : text.substr(0, 200)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f && c != '\\') {
            out += c;
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        }
    }
    if (text.size() > 200) out += "...";
    return out;
}

// Every schema failure message ends in " at line L column C".
inline bool ends_with_position(std::string_view message) {
    const size_t at = message.rfind(" at line ");
    if (at == std::string_view::npos || at == 0) return false;
    std::string_view rest = message.substr(at + 9);
    size_t digits = 0;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
    if (digits == 0) return false;
    rest.remove_prefix(digits);
    if (rest.substr(0, 8) != " column ") return false;
    rest.remove_prefix(8);
    if (rest.empty()) return false;
    for (const char c : rest)
        if (c < '0' || c > '9') return false;
    return true;
}

// The schema files (*.json, by path) of the directory named by
// KELVANE_FUZZ_SCHEMAS, else of `fallback`: each path with its text.
inline std::vector<std::pair<std::filesystem::path, std::string>> schema_files(const char* fallback) {
    const char* directory = std::getenv("KELVANE_FUZZ_SCHEMAS");
    std::vector<std::filesystem::path> paths;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory ? directory : fallback, error)) {
        if (entry.path().extension() == ".json") paths.push_back(entry.path());
    }
    std::sort(paths.begin(), paths.end());
    std::vector<std::pair<std::filesystem::path, std::string>> files;
    for (const auto& path : paths) {
        std::ifstream file(path, std::ios::binary);
        std::stringstream content;
        content << file.rdbuf();
        files.emplace_back(path, content.str());
    }
    return files;
}

}  // namespace kelvane_fuzz
