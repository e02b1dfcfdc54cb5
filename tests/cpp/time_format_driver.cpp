// Reads "kind<TAB>pattern<TAB>text" lines from stdin and prints each result;
// a quick check of the date/time reader without the Python module.
#include <cstdio>
#include <iostream>
#include <string>

#include "values/time_format.h"

using namespace kelvane;

int main() {
    std::string line;
    while (std::getline(std::cin, line)) {
        const size_t a = line.find('\t');
        const size_t b = line.find('\t', a + 1);
        if (a == std::string::npos || b == std::string::npos) continue;
        const std::string kind = line.substr(0, a);
        const TimeFormat format(line.substr(a + 1, b - a - 1));
        const std::string text = line.substr(b + 1);
        if (kind == "date") {
            auto d = parse_date(text, format);
            if (d) std::printf("%d-%02d-%02d\n", d->year, d->month, d->day);
            else std::printf("FAIL\n");
        } else if (kind == "time") {
            auto t = parse_time(text, format);
            if (t) std::printf("%02u:%02u:%02u.%u\n", t->seconds / 3600, t->seconds / 60 % 60, t->seconds % 60, t->nanosecond);
            else std::printf("FAIL\n");
        } else {
            auto d = parse_datetime(text, format);
            if (d) std::printf("%d-%02d-%02d %02u:%02u:%02u.%u\n", d->date.year, d->date.month, d->date.day,
                               d->time.seconds / 3600, d->time.seconds / 60 % 60, d->time.seconds % 60, d->time.nanosecond);
            else std::printf("FAIL\n");
        }
    }
}
