#include "python/numpy_array.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <cstring>

namespace kelvara::py {

void import_numpy() {
  if (_import_array() < 0) throw ErrorAlreadySet{};
}

Ref new_complex_array(std::size_t n, std::complex<double>*& data) {
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  Ref array = Ref::steal(PyArray_SimpleNew(1, dims, NPY_COMPLEX128));
  data = static_cast<std::complex<double>*>(
      PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
  return array;
}

Ref new_real_array(std::span<const double> values) {
  npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
  Ref array = Ref::steal(PyArray_SimpleNew(1, dims, NPY_FLOAT64));
  if (!values.empty()) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), values.data(),
                values.size() * sizeof(double));
  }
  return array;
}

}  // namespace kelvara::py
