// Conversions between Python objects and the library's argument and result types, and the
// adapter that binds a library operation so that it runs without the interpreter lock.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "quillkit/image.hpp"
#include "quillkit/types.hpp"

namespace quillkit::python {

namespace py = pybind11;

// A text argument. Only str is taken (bytes go to the operations that take bytes). It is passed
// on as UTF-8; characters that surrogateescape made from undecodable bytes (as the text results
// carry them) turn back into those bytes. Other lone surrogates raise UnicodeEncodeError.
struct Text {
  std::string_view view;
  operator std::string_view() const { return view; }  // NOLINT(google-explicit-constructor)
};

// A byte argument: any object exporting a contiguous buffer (bytes, bytearray, memoryview,
// array.array, ...), read in place while the call runs. A buffer that is not contiguous raises
// ValueError; an object without a buffer, str included, TypeError.
struct ByteView {
  std::span<const std::uint8_t> span;
  operator std::span<const std::uint8_t>() const { return span; }  // NOLINT
};

// A text as Python sees it: UTF-8, with each byte that is not part of valid UTF-8 kept as a
// surrogate (surrogateescape), so that text.encode("utf-8", "surrogateescape") gives the bytes
// back exactly.
inline py::str to_str(std::string_view text) {
  PyObject* s =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
  if (s == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

inline py::bytes to_bytes(std::span<const std::uint8_t> data) {
  return py::bytes(reinterpret_cast<const char*>(data.data()), data.size());
}

// Result conversion after the call, with the interpreter lock held again: texts and byte buffers
// get the conversions above, everything else pybind11's own.
template <class T>
auto to_python(T&& value) {
  using V = std::remove_cvref_t<T>;
  if constexpr (std::is_same_v<V, std::string>) {
    return to_str(value);
  } else if constexpr (std::is_same_v<V, Bytes>) {
    return to_bytes(value);
  } else if constexpr (std::is_same_v<V, std::vector<std::string>>) {
    py::list list(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) list[i] = to_str(value[i]);
    return list;
  } else {
    return V(std::forward<T>(value));
  }
}

// The Python argument type for each library parameter type.
template <class T>
struct Arg {
  using type = T;
};
// Objects passed by reference are copied first: another Python thread may change them while the
// call runs without the lock.
template <class T>
struct Arg<const T&> {
  using type = T;
};
template <>
struct Arg<std::string_view> {
  using type = Text;
};
template <>
struct Arg<std::span<const std::uint8_t>> {
  using type = ByteView;
};
// Pictures cannot be changed from Python (their fields are read-only): they are read in place.
template <>
struct Arg<const MonoImage&> {
  using type = const MonoImage&;
};

template <class C, class R, class... A, class Fn>
auto unlocked_call(Fn fn) {
  return [fn](C& self, typename Arg<A>::type... args) {
    if constexpr (std::is_void_v<R>) {
      py::gil_scoped_release release;
      (self.*fn)(static_cast<A>(args)...);
    } else {
      auto result = [&] {
        py::gil_scoped_release release;
        return (self.*fn)(static_cast<A>(args)...);
      }();
      return to_python(std::move(result));
    }
  };
}

// Binds a member function so that its arguments are converted as above, the call itself runs
// with the interpreter lock released (every wait and write of the library does), and its result
// is converted back once the lock is held again.
template <class C, class R, class... A>
auto unlocked(R (C::*fn)(A...)) {
  return unlocked_call<C, R, A...>(fn);
}
template <class C, class R, class... A>
auto unlocked(R (C::*fn)(A...) const) {
  return unlocked_call<const C, R, A...>(fn);
}

// The holder of every bound object whose destructor may wait for the library's threads (closing
// a link, stopping a server). The lock is released meanwhile, so that a thread of the object that
// is calling into Python at that moment can finish; once the interpreter is shutting down no
// library thread calls into Python any more (see callbacks.hpp) and the lock is kept.
struct ReleasingDelete {
  template <class T>
  void operator()(T* object) const {
    if (_Py_IsFinalizing() || PyGILState_Check() == 0) {
      delete object;
      return;
    }
    py::gil_scoped_release release;
    delete object;
  }
};
template <class T>
using Holder = std::unique_ptr<T, ReleasingDelete>;

// Constructs T with the interpreter lock released (some constructors wait for the system).
template <class T>
Holder<T> make_unlocked() {
  py::gil_scoped_release release;
  return Holder<T>(new T());
}

}  // namespace quillkit::python

namespace pybind11::detail {

template <>
struct type_caster<quillkit::python::Text> {
  PYBIND11_TYPE_CASTER(quillkit::python::Text, const_name("str"));

  bool load(handle src, bool /*convert*/) {
    if (!PyUnicode_Check(src.ptr())) return false;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(src.ptr(), &size);  // cached in the str
    if (data == nullptr) {
      PyErr_Clear();
      PyObject* encoded = PyUnicode_AsEncodedString(src.ptr(), "utf-8", "surrogateescape");
      if (encoded == nullptr) throw error_already_set();
      keep_ = reinterpret_steal<object>(encoded);
      data = PyBytes_AS_STRING(encoded);
      size = PyBytes_GET_SIZE(encoded);
    }
    value.view = std::string_view(data, static_cast<std::size_t>(size));
    return true;
  }
  static handle cast(const quillkit::python::Text& text, return_value_policy, handle) {
    return quillkit::python::to_str(text.view).release();
  }

 private:
  object keep_;
};

template <>
struct type_caster<quillkit::python::ByteView> {
  PYBIND11_TYPE_CASTER(quillkit::python::ByteView, const_name("Buffer"));

  type_caster() = default;
  type_caster(const type_caster&) = delete;
  type_caster& operator=(const type_caster&) = delete;
  ~type_caster() {
    if (held_) PyBuffer_Release(&buffer_);
  }

  bool load(handle src, bool /*convert*/) {
    if (!PyObject_CheckBuffer(src.ptr())) return false;
    if (PyObject_GetBuffer(src.ptr(), &buffer_, PyBUF_FULL_RO) != 0) throw error_already_set();
    held_ = true;
    if (PyBuffer_IsContiguous(&buffer_, 'A') == 0) {
      throw value_error("the buffer is not contiguous: pass bytes(buffer) or a contiguous copy");
    }
    value.span = {static_cast<const std::uint8_t*>(buffer_.buf),
                  static_cast<std::size_t>(buffer_.len)};
    return true;
  }
  static handle cast(const quillkit::python::ByteView& data, return_value_policy, handle) {
    return quillkit::python::to_bytes(data.span).release();
  }

 private:
  Py_buffer buffer_{};
  bool held_ = false;
};

}  // namespace pybind11::detail

namespace quillkit::python {

// Calls fn with the bytes of `data` (any object ByteView takes), held for the call; TypeError,
// saying that `what` must be a bytes-like object, otherwise.
template <class Fn>
auto with_bytes(py::handle data, const char* what, Fn&& fn) {
  py::detail::make_caster<ByteView> caster;
  if (!caster.load(data, true)) {
    throw py::type_error(std::string(what) + " must be a bytes-like object");
  }
  return fn(static_cast<ByteView&>(caster).span);
}

template <class T, class F>
struct Field {
  const char* name;
  F T::*member;
};
template <class T, class F>
Field<T, F> field(const char* name, F T::*member) {
  return {name, member};
}

// A plain struct of the library as a Python class: a constructor taking every field (by
// position in declaration order, or by name; each defaults to the struct's own default), the
// fields read and written, and a repr. Enumerations among the fields are bound first.
template <class T, class... F>
void bind_record(py::module_& m, const char* name, const char* doc, Field<T, F>... fields) {
  const T defaults{};
  py::class_<T> cls(m, name, doc);
  cls.def(py::init([](F... values) { return T{std::move(values)...}; }),
          py::arg(fields.name) = defaults.*(fields.member)...);
  (cls.def_readwrite(fields.name, fields.member), ...);
  cls.def("__repr__", [name, fields...](const T& record) {
    py::list parts;
    (parts.append(py::str("{}={!r}").format(fields.name, record.*(fields.member))), ...);
    return py::str("{}({})").format(name, py::str(", ").attr("join")(parts));
  });
}

}  // namespace quillkit::python
