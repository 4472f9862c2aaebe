#include "python/bind_series_parallel.hpp"

#include <array>

#include "circuit/parser.hpp"
#include "circuit/tree_utils.hpp"
#include "python/bind_circuit.hpp"
#include "python/bind_element.hpp"

namespace kelvara::py {
namespace {

// One argument item read as a series list: an element becomes a single
// unlabelled leaf; a circuit contributes its whole top-level list.
struct Parts {
  std::vector<SeriesList> lists;
  bool explicit_values = true;  // false once any circuit carries defaults
};

Parts read_parts(PyObject* obj) {
  if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj)) {
    raise(PyExc_TypeError, "'" + type_name(obj) + "' object cannot be converted to 'Sequence'");
  }
  Parts parts;
  Ref iter = Ref::steal(PyObject_GetIter(obj));
  while (PyObject* next = PyIter_Next(iter.get())) {
    Ref item = Ref::steal(next);
    if (is_element(item.get())) {
      parts.lists.push_back({Node{Leaf{element_value(item.get()), std::nullopt}}});
    } else if (is_circuit(item.get())) {
      const CircuitValue& circuit = circuit_value(item.get());
      parts.lists.push_back(circuit.tree);
      parts.explicit_values = parts.explicit_values && circuit.explicit_values;
    } else {
      const std::string t = type_name(item.get());
      raise(PyExc_TypeError,
            "failed to extract enum Part ('Element | Circuit')\n"
            "- variant Element (Element): TypeError: '" +
                t +
                "' object cannot be converted to 'Element'\n"
                "- variant Circuit (Circuit): TypeError: '" +
                t + "' object cannot be converted to 'Circuit'");
    }
  }
  throw_if_error();
  return parts;
}

Parts parts_argument(const char* function, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  static constexpr std::array<const char*, 1> names = {"parts"};
  std::array<PyObject*, 1> given{};
  parse_fastcall({function, names, 1}, args, nargs, kwnames, given);
  return argument("parts", [&] { return read_parts(given[0]); });
}

// Trees are walked recursively; the same bound as for notation keeps any
// assembled circuit within reach of the stack.
Ref wrap_checked(SeriesList tree, bool explicit_values) {
  if (nesting_depth(tree) > kMaxNesting) {
    raise(PyExc_ValueError,
          "circuit is nested more than " + std::to_string(kMaxNesting) + " parallel groups deep");
  }
  return wrap_circuit({std::move(tree), explicit_values});
}

PyObject* series(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    Parts parts = parts_argument("Series", args, nargs, kwnames);
    SeriesList tree;
    for (SeriesList& list : parts.lists) {
      for (Node& node : list) tree.push_back(std::move(node));
    }
    return wrap_checked(std::move(tree), parts.explicit_values).release();
  });
}

PyObject* parallel(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    Parts parts = parts_argument("Parallel", args, nargs, kwnames);
    SeriesList tree;
    tree.push_back(Node{ParallelNode{std::move(parts.lists)}});
    return wrap_checked(std::move(tree), parts.explicit_values).release();
  });
}

PyMethodDef kSeries = {"Series",
                       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(series)),
                       METH_FASTCALL | METH_KEYWORDS,
                       "Series(parts)\n--\n\nConnect elements and circuits end to end."};
PyMethodDef kParallel = {
    "Parallel", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parallel)),
    METH_FASTCALL | METH_KEYWORDS,
    "Parallel(parts)\n--\n\nConnect elements and circuits as parallel branches."};

}  // namespace

Ref make_series_function(PyObject* module_name) {
  return Ref::steal(PyCFunction_NewEx(&kSeries, nullptr, module_name));
}

Ref make_parallel_function(PyObject* module_name) {
  return Ref::steal(PyCFunction_NewEx(&kParallel, nullptr, module_name));
}

}  // namespace kelvara::py
