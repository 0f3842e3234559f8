// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/EndpointTitleOrder.hpp"

#include <cstddef>

namespace velorin {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

unsigned char folded(char c) {
    return static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}

// The digit run starting at `i`, without its leading zeros; `i` moves past it.
std::string_view digitRun(std::string_view text, std::size_t& i) {
    while (i < text.size() && text[i] == '0') ++i;
    const std::size_t start = i;
    while (i < text.size() && isDigit(text[i])) ++i;
    return text.substr(start, i - start);
}

// -1, 0 or 1 as the value of `a` is below, equal to or above that of `b`;
// runs of any length, so no overflow.
int compareValues(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    const int order = a.compare(b);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

}  // namespace

bool titleLess(std::string_view a, std::string_view b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            const int order = compareValues(digitRun(a, i), digitRun(b, j));
            if (order != 0) return order < 0;
            continue;
        }
        const unsigned char x = folded(a[i]);
        const unsigned char y = folded(b[j]);
        if (x != y) return x < y;
        ++i;
        ++j;
    }
    // One title is a prefix of the other (in this order): the shorter first.
    return i == a.size() && j < b.size();
}

}  // namespace velorin
