#include "python/bind_element.hpp"

#include <array>
#include <cstdint>
#include <new>
#include <string>

#include "support/text_format.hpp"

namespace kelvara::py {
namespace {

struct ElementObject {
  PyObject_HEAD Element value;
};

PyTypeObject* g_base = nullptr;
std::array<PyTypeObject*, kKindCount> g_kinds{};

const char* const kBaseDoc =
    "A single circuit element.\n\n"
    "These are Python subclasses taking its fields as arguments.\n"
    "They are combined with `Series()` and `Parallel()`.";

void element_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* base_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for Element");
  return nullptr;
}

// Element.Cpe(q=0.001, alpha=0.8)
PyObject* element_repr(PyObject* self) {
  return guarded([&] {
    const Element& e = reinterpret_cast<ElementObject*>(self)->value;
    std::string out = "Element." + std::string(e.info().name) + "(";
    for (int i = 0; i < e.count(); ++i) {
      if (i) out += ", ";
      out += std::string(e.names()[i]) + "=" + format_debug(e.values()[i]);
    }
    out += ")";
    return to_python(out).release();
  });
}

PyObject* kind_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    int k = 0;
    while (k < kKindCount && g_kinds[k] != type) ++k;
    if (k == kKindCount)
      raise(PyExc_TypeError,
            "No constructor defined for " + type_name(reinterpret_cast<PyObject*>(type)));
    const KindInfo& info = kind_info(k);
    std::array<const char*, kMaxFields> names{};
    for (int i = 0; i < info.count; ++i) names[i] = info.fields[i].data();
    const std::string function = "Element_" + std::string(info.name) + ".__new__";
    std::array<PyObject*, kMaxFields> given{};
    parse_tuple_dict(
        {function.c_str(), {names.data(), std::size_t(info.count)}, std::size_t(info.count)}, args,
        kwargs, {given.data(), std::size_t(info.count)});
    std::array<double, kMaxFields> values{};
    for (int i = 0; i < info.count; ++i)
      values[i] = argument(names[i], [&] { return to_double(given[i]); });

    PyObject* self = type->tp_alloc(type, 0);
    if (!self) throw ErrorAlreadySet{};
    new (&reinterpret_cast<ElementObject*>(self)->value)
        Element(Element::from_values(static_cast<Kind>(k), values));
    return self;
  });
}

PyObject* get_field(PyObject* self, void* index) {
  const auto i = reinterpret_cast<std::intptr_t>(index);
  return PyFloat_FromDouble(reinterpret_cast<ElementObject*>(self)->value.values()[std::size_t(i)]);
}

// Class attributes are added after creation, then the type cache is told.
void set_class_attribute(PyTypeObject* type, const char* name, PyObject* value) {
  if (PyDict_SetItemString(type->tp_dict, name, value) < 0) throw ErrorAlreadySet{};
  PyType_Modified(type);
}

PyTypeObject* create_kind_type(int k) {
  const KindInfo& info = kind_info(k);
  // Names, docs and getters must outlive the type: kept in static storage.
  static std::array<std::string, kKindCount> type_names, docs;
  static std::array<std::array<PyGetSetDef, kMaxFields + 1>, kKindCount> getsets{};
  type_names[k] = "kelvara.Element_" + std::string(info.name);
  std::string signature;
  for (int i = 0; i < info.count; ++i) {
    signature += (i ? ", " : "") + std::string(info.fields[i]);
    getsets[k][i] = {info.fields[i].data(), get_field, nullptr, nullptr,
                     reinterpret_cast<void*>(static_cast<std::intptr_t>(i))};
  }
  docs[k] = "Element_" + std::string(info.name) + "(" + signature + ")\n--\n\n";

  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(kind_new)},
      {Py_tp_getset, getsets[k].data()},
      {Py_tp_doc, const_cast<char*>(docs[k].c_str())},
      {0, nullptr},
  };
  PyTypeObject* type = create_type(type_names[k].c_str(), sizeof(ElementObject),
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots, g_base);

  Ref match_args = Ref::steal(PyTuple_New(info.count));
  for (int i = 0; i < info.count; ++i)
    PyTuple_SET_ITEM(match_args.get(), i, to_python(info.fields[i]).release());
  set_class_attribute(type, "__match_args__", match_args.get());
  return type;
}

}  // namespace

PyTypeObject* element_type() {
  if (g_base) return g_base;
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(base_new)},
      {Py_tp_repr, reinterpret_cast<void*>(element_repr)},
      {Py_tp_dealloc, reinterpret_cast<void*>(element_dealloc)},
      {Py_tp_doc, const_cast<char*>(kBaseDoc)},
      {0, nullptr},
  };
  PyTypeObject* base =
      create_type("kelvara.Element", sizeof(ElementObject),
                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, slots);
  g_base = base;
  try {
    for (int k = 0; k < kKindCount; ++k) {
      g_kinds[k] = create_kind_type(k);
      set_class_attribute(base, kind_info(k).name.data(), reinterpret_cast<PyObject*>(g_kinds[k]));
    }
  } catch (...) {
    g_base = nullptr;
    throw;
  }
  return base;
}

bool is_element(PyObject* obj) { return g_base && PyObject_TypeCheck(obj, g_base); }

Element element_value(PyObject* obj) { return reinterpret_cast<ElementObject*>(obj)->value; }

}  // namespace kelvara::py
