// The words of a request as Python gave them: read once, as C++ text for the
// rules of request_words.hpp, with the Python strings kept for what goes back
// to Python (keys, log lines, results).
#pragma once

#include <nanobind/nanobind.h>

#include <string_view>
#include <vector>

#include "cmds/quotes/request_words.hpp"
#include "common/interned.hpp"

namespace veltrax::kline {

namespace nb = nanobind;

class RequestWords {
public:
    // `rest`: a sequence of str. A word that is not text is a TypeError, one
    // that is not valid text (a lone surrogate) a ValueError naming it.
    explicit RequestWords(nb::handle rest);

    Words texts() const { return texts_; }
    // The words as they were given (the list).
    nb::handle list() const { return rest_; }
    // The Python string a slot was filled with, or `fallback`.
    nb::object object_of(const WordSlot &slot, const Interned &fallback) const;

private:
    nb::object rest_;
    std::vector<nb::object> objects_;  // keep the texts' storage alive
    std::vector<std::string_view> texts_;
};

// kline <symbol> [period] [count] [adj], as text and as the Python values of its slots.
struct LatestRequest {
    explicit LatestRequest(const RequestWords &words);
    LatestWords words;
    nb::object period, count, adjust;
};

// kline <symbol> <start> [end] [period] [adj]; the dates also as YYYY-MM-DD str.
struct RangeRequest {
    RangeRequest(const RequestWords &words, CalendarDate today);
    RangeWords words;
    nb::object start, end, period, adjust;
};

}  // namespace veltrax::kline
