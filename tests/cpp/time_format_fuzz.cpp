// Random patterns and texts (malformed UTF-8, huge digit runs, stray signs)
// thrown at the date/time reader; build with -fsanitize=address,undefined:
// g++ -std=c++20 -Isrc tests/cpp/time_format_fuzz.cpp src/values/time_f*.cpp
#include <random>
#include <string>
#include <cstdio>
#include "values/time_format.h"
using namespace kelvane;
int main() {
    std::mt19937_64 rng(7);
    const char* atoms[] = {"%Y","%C","%y","%G","%g","%m","%d","%e","%j","%U","%W","%V","%w","%u","%H","%k","%I","%l","%M","%S","%f","%s","%b","%B","%a","%A","%p","%.f","%3f","%6f","%z","%:z","%#z","%Z","%+","%D","%F","%v","%R","%T","%r","%c","%n","%%","%","%-","%#","%.","%:",":","-"," ","\xE2\x80\x83","\xE2\x88\x92","\xC2","\xFF","T","Z","%-d","%_m","%0Y"};
    const char* tatoms[] = {"0","1","9","12","2024","+","-","99999999999999999999",":"," ","\t","\xE2\x80\x83","\xE2\x88\x92","\xC2","\xE2\x80","\xFF",".","5","60","Jan","january","Mon","pm","AM","T","Z","UTC","1700000000","-0044","+262143","53","00"};
    long ok = 0;
    for (int round = 0; round < 300000; ++round) {
        std::string p, t;
        int n = rng() % 8, m = rng() % 12;
        for (int i = 0; i < n; ++i) p += atoms[rng() % std::size(atoms)];
        for (int i = 0; i < m; ++i) t += tatoms[rng() % std::size(tatoms)];
        if (rng() % 4 == 0 && !t.empty()) t.resize(rng() % t.size());
        TimeFormat f(p);
        ok += parse_date(t, f).has_value() + parse_time(t, f).has_value() + parse_datetime(t, f).has_value();
    }
    std::printf("successes %ld\n", ok);
}
