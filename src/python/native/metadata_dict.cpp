#include "python/native/metadata_dict.hpp"

#include <type_traits>

#include "python/helpers/pyref.hpp"
#include "python/native/model.hpp"

namespace mave::native {
namespace {

using py::PyRef;

// The datetime module's types, looked up once per dict.
struct DateTimeTypes {
  PyRef date, time, datetime, timezone, timedelta;

  bool load() {
    PyRef module = PyRef::steal(PyImport_ImportModule("datetime"));
    if (!module) return false;
    date = PyRef::steal(PyObject_GetAttrString(module.get(), "date"));
    time = PyRef::steal(PyObject_GetAttrString(module.get(), "time"));
    datetime = PyRef::steal(PyObject_GetAttrString(module.get(), "datetime"));
    timezone = PyRef::steal(PyObject_GetAttrString(module.get(), "timezone"));
    timedelta = PyRef::steal(PyObject_GetAttrString(module.get(), "timedelta"));
    return date && time && datetime && timezone && timedelta;
  }
};

// tomllib keeps microseconds, cutting further digits.
int microseconds(const MetadataTime& t) { return static_cast<int>(t.nanosecond / 1000); }

PyObject* object_of(const MetadataItem& item, DateTimeTypes& types);

PyObject* dict_of(const MetadataItem::Table& table, DateTimeTypes& types) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : table) {
    PyRef name = PyRef::steal(str_from_utf8(key));
    if (!name) return nullptr;
    PyRef object = PyRef::steal(object_of(value, types));
    if (!object || PyDict_SetItem(dict.get(), name.get(), object.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* list_of(const MetadataItem::Array& array, DateTimeTypes& types) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(array.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < array.size(); ++i) {
    PyObject* object = object_of(array[i], types);
    if (object == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), object);  // steals
  }
  return list.release();
}

PyObject* datetime_of(const MetadataDateTime& dt, DateTimeTypes& types) {
  PyRef zone = PyRef::borrow(Py_None);
  if (dt.offset_minutes) {
    // timedelta(seconds=...) normalises a negative offset as timedelta(minutes=...) does.
    PyRef delta =
        PyRef::steal(PyObject_CallFunction(types.timedelta.get(), "ii", 0, int{*dt.offset_minutes} * 60));
    if (!delta) return nullptr;
    zone = PyRef::steal(PyObject_CallFunctionObjArgs(types.timezone.get(), delta.get(), nullptr));
    if (!zone) return nullptr;
  }
  return PyObject_CallFunction(types.datetime.get(), "iiiiiiiO", dt.date.year, dt.date.month, dt.date.day,
                               dt.time.hour, dt.time.minute, dt.time.second, microseconds(dt.time),
                               zone.get());
}

PyObject* object_of(const MetadataItem& item, DateTimeTypes& types) {
  return std::visit(
      [&](const auto& v) -> PyObject* {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, std::int64_t>) {
          return PyLong_FromLongLong(v);
        } else if constexpr (std::is_same_v<V, double>) {
          return PyFloat_FromDouble(v);
        } else if constexpr (std::is_same_v<V, bool>) {
          return PyBool_FromLong(v);
        } else if constexpr (std::is_same_v<V, std::string>) {
          return str_from_utf8(v);
        } else if constexpr (std::is_same_v<V, MetadataDate>) {
          return PyObject_CallFunction(types.date.get(), "iii", v.year, v.month, v.day);
        } else if constexpr (std::is_same_v<V, MetadataTime>) {
          return PyObject_CallFunction(types.time.get(), "iiii", v.hour, v.minute, v.second, microseconds(v));
        } else if constexpr (std::is_same_v<V, MetadataDateTime>) {
          return datetime_of(v, types);
        } else if constexpr (std::is_same_v<V, MetadataItem::Array>) {
          return list_of(v, types);
        } else {
          return dict_of(v, types);
        }
      },
      item.value);
}

}  // namespace

PyObject* metadata_dict(const Metadata& metadata) {
  DateTimeTypes types;
  if (!types.load()) return nullptr;
  return dict_of(metadata.items(), types);
}

}  // namespace mave::native
