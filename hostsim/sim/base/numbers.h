// The texts of numbers and times that messages, the CSV and the summaries
// print, the same on every platform; and the words around them.
#pragma once

#include <string>

namespace dvx::sim {

// The shortest text that reads back as `value` (std::to_chars), for
// messages and for a number given where text is passed on.
std::string ShortestText(double value);

// "at t = ..." for messages, to ten digits.
std::string TimeText(double t);

// A number as the CSV and the summary print it: the shortest text that
// keeps `digits` significant digits, the same on every platform.
std::string FormatNumber(double value, int digits = 12);

// A word with its indefinite article: "an inertia", "a clutch".
std::string WithArticle(const std::string& word);

} // namespace dvx::sim
