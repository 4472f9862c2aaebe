#pragma once
// Python element objects: the base class `Element` and one subclass per
// kind (`Element_R`, `Element_Cpe`, ...), each wrapping one Element value.

#include "elements/element.hpp"
#include "python/py.hpp"

namespace kelvara::py {

// The base class, with the fourteen subclasses as its attributes R, C, ...;
// created on first call.
PyTypeObject* element_type();

bool is_element(PyObject* obj);
Element element_value(PyObject* obj);  // obj must pass is_element

}  // namespace kelvara::py
