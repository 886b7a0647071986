// How the words typed after the symbol shape a kline request.
#pragma once

#include <string>
#include <vector>

namespace veltrax::kline {

using Words = std::vector<std::string>;

enum class RequestForm { latest, history, intraday };

// The first word picks the form: exactly "intraday", a date word, or anything
// else (including no word at all) for the latest bars.
RequestForm request_form(const Words &words);

}  // namespace veltrax::kline
