#include "python/engine_notation.hpp"

#include <string>
#include <variant>

#include "circuit/node.hpp"
#include "python/bind_custom_elements.hpp"
#include "python/circuit_text.hpp"

namespace kelvara::py {
namespace {

Ref series_of(const SeriesList& series) {
  Ref out = Ref::steal(PyList_New(Py_ssize_t(series.size())));
  for (std::size_t i = 0; i < series.size(); ++i) {
    Ref item;
    if (const auto* leaf = std::get_if<Leaf>(&series[i].value)) {
      Ref kind = to_python(leaf->element.info().name);
      Ref label = to_python(leaf->label ? std::string_view(*leaf->label) : std::string_view());
      item = Ref::steal(PyTuple_Pack(2, kind.get(), label.get()));
    } else {
      const auto& group = std::get<ParallelNode>(series[i].value);
      item = Ref::steal(PyList_New(Py_ssize_t(group.branches.size())));
      for (std::size_t b = 0; b < group.branches.size(); ++b) {
        PyList_SET_ITEM(item.get(), Py_ssize_t(b), series_of(group.branches[b]).release());
      }
    }
    PyList_SET_ITEM(out.get(), Py_ssize_t(i), item.release());
  }
  return out;
}

}  // namespace

PyObject* engine_structure(PyObject*, PyObject* circuit) {
  return guarded([&] {
    const SeriesList tree =
        tree_from_text(argument("circuit", [&] { return to_text(circuit); }), &engine_catalogue());
    return series_of(tree).release();
  });
}

}  // namespace kelvara::py
