#include "cmds/quotes/request_words.hpp"

#include "cmds/quotes/dates.hpp"

namespace veltrax::kline {

RequestForm request_form(const Words &words) {
    if (words.empty()) return RequestForm::latest;
    if (words.front() == "intraday") return RequestForm::intraday;
    if (is_date_word(words.front())) return RequestForm::history;
    return RequestForm::latest;
}

}  // namespace veltrax::kline
