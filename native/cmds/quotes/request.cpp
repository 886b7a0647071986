#include "cmds/quotes/request.hpp"

#include <string>

#include "common/python.hpp"

namespace veltrax::kline {

namespace {

constinit Interned default_period{"day"}, default_adjust{"none"};

nb::object date_text(CalendarDate date) {
    std::string text = format_date(date);
    return nb::str(text.data(), text.size());
}

}  // namespace

RequestWords::RequestWords(nb::handle rest) : rest_(nb::borrow(rest)) {
    nb::object items = nb::steal(PySequence_Fast(rest.ptr(), "the words of a request must be a list"));
    if (!items.is_valid()) throw nb::python_error();
    Py_ssize_t size = PySequence_Fast_GET_SIZE(items.ptr());
    objects_.reserve(static_cast<std::size_t>(size));
    texts_.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        nb::handle word = PySequence_Fast_GET_ITEM(items.ptr(), i);
        texts_.push_back(text_of(word, "the word"));
        objects_.push_back(nb::borrow(word));
    }
}

nb::object RequestWords::object_of(const WordSlot &slot, const Interned &fallback) const {
    return slot.word ? objects_[*slot.word] : nb::borrow(fallback.get());
}

LatestRequest::LatestRequest(const RequestWords &words)
    : words(read_latest_words(words.texts())),
      period(words.object_of(this->words.period, default_period)),
      count(nb::steal(PyLong_FromLongLong(this->words.count))),
      adjust(words.object_of(this->words.adjust, default_adjust)) {
    if (!count.is_valid()) throw nb::python_error();
}

RangeRequest::RangeRequest(const RequestWords &words, CalendarDate today)
    : words(read_range_words(words.texts(), today)),
      start(date_text(this->words.start)),
      end(date_text(this->words.end)),
      period(words.object_of(this->words.period, default_period)),
      adjust(words.object_of(this->words.adjust, default_adjust)) {}

}  // namespace veltrax::kline
