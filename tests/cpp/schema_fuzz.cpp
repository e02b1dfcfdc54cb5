// Robustness driver for the schema reader under the sanitizers: hostile byte
// strings (invalid UTF-8, NUL bytes, deep nesting, huge numbers) and random
// mutations of a valid document must all give a value or a message, never a
// crash. Prints the messages of the fixed cases for inspection.
#include <cstdio>
#include <random>
#include <string>

#include "schema/schema.h"

using namespace kelvane;

static void show(const std::string& text) {
    auto result = read_schema(text);
    std::printf("%s\n", result ? "OK" : result.message().c_str());
}

int main() {
    const std::string valid =
        "{\"delimiter\": \"|\", \"quote_str\": null, \"trailing_delimiter\": false, \"coerce_empty_quoted\": false,"
        " \"lines\": [{\"name\": \"A\", \"fields\": [{\"kind\": \"DECIMAL\", \"required\": true, \"min_value\": 1.5,"
        " \"max_value\": \"2e3\"}, [\"STR\", true, 1, 2, \"x\"], {\"kind\": \"INT_ENUM\", \"required\": false,"
        " \"values\": [1, -2, 3]}, {\"kind\": \"BOOL\", \"required\": true, \"true_value\": \"\\u00e9\"}]}]}";
    show(valid);
    show("{\"a\": \"\xff\"}");
    show("{\"a\": \"\xc3\"}");
    show("{\"a\": \"\xed\xa0\x80\"}");
    show("{\"a\": \"\xc0\xaf\"}");
    show("\xef\xbb\xbf{}");
    show(std::string("{}\0{", 4));
    show(std::string(1000000, '['));
    show("{\"x\": " + std::string(1000000, '{'));
    show("{\"x\": " + std::string(1000000, '['));
    show("{\"lines\": [{\"fields\": [{\"x\": " + std::string(1000000, '['));
    show("{\"x\": 1" + std::string(100000, '0') + "}");
    show("{\"x\": 0." + std::string(100000, '0') + "1e" + std::string(1000, '9') + "}");
    show("{\"x\": 0e400}");

    std::mt19937_64 random(20240131);
    const std::string alphabet = "{}[],:\"\\u0123456789eE.-+ \n\ttruefalsenull\x00\xff\xc3\xa9kindSTR";
    for (int round = 0; round < 200000; ++round) {
        std::string text = valid;
        int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits; ++e) {
            size_t at = random() % (text.size() + 1);
            switch (random() % 3) {
                case 0: if (at < text.size()) text.erase(at, 1 + random() % 8); break;
                case 1: text.insert(at, 1, alphabet[random() % alphabet.size()]); break;
                default: if (at < text.size()) text[at] = alphabet[random() % alphabet.size()]; break;
            }
        }
        auto result = read_schema(text);
        if (!result && result.message().find(" at line ") == std::string::npos) {
            std::printf("no position: %s\n", result.message().c_str());
            return 1;
        }
    }
    std::printf("mutations done\n");
}
