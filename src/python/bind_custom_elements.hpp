#pragma once
// kelvara_lab._engine's custom elements: the process's catalogue of
// user-defined elements and the functions that define, list, describe and
// evaluate them. kelvara's own module never registers these.

#include "elements/custom_element.hpp"
#include "python/py.hpp"

namespace kelvara::py {

// The definitions every engine call parses notation with.
CustomCatalogue& engine_catalogue();

// Method table entries, terminated by an all-null entry.
extern PyMethodDef kCustomElementMethods[];

}  // namespace kelvara::py
