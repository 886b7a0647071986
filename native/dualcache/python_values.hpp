// What the store takes from Python and gives back: keys as text, text as str
// (a path's bytes that are not UTF-8 kept as surrogates), lists and dicts; and
// the module's namespace, where the store finds its logger and os.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>
#include <vector>

#include "common/module_globals.hpp"

namespace veltrax::store {

ModuleGlobals &module_globals();

// The key's UTF-8 text, borrowed from the str; TypeError for anything but a str.
std::string_view key_text(nanobind::handle key);
nanobind::object text_object(std::string_view text);
// nanobind's list() and dict() take what PyList_New and PyDict_New give unchecked.
nanobind::list new_list();
nanobind::dict new_dict();
nanobind::list text_list(const std::vector<std::string> &texts);

// A key as repr() shows it, for log lines; made without Python, which may be
// out of memory when an entry is refused.
std::string shown(std::string_view key);

}  // namespace veltrax::store
