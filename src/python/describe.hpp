// describe.hpp: _native.describe(), the engine's terms and options (engine_description) as plain
// Python data. Included by native.cpp after world_object.hpp (PyRef).
#pragma once

#include <Python.h>

#include <string_view>

#include "description.hpp"

namespace morva::binding {

namespace describe_detail {

// The value that leaves a parameter off, in the parameter's own kind.
inline PyObject* off_value(const morva::ParameterInfo& p) {
    const std::string_view kind = p.kind;
    if (kind == "bool") return PyBool_FromLong(p.off != 0.0);
    if (kind == "int") return PyLong_FromDouble(p.off);
    if (kind == "vector") return Py_BuildValue("(ddd)", p.off, p.off, p.off);
    if (kind == "sites") return PyList_New(0);
    return PyFloat_FromDouble(p.off);
}

// Sets key to an owned value; false (with the error set) if the value is missing or the store fails.
inline bool put(PyObject* dict, const char* key, PyObject* owned) {
    PyRef value(owned);
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

inline PyObject* parameter_dict(const morva::ParameterInfo& p) {
    PyRef dict(PyDict_New());
    if (!dict || !put(dict.get(), "name", PyUnicode_FromString(p.name)) ||
        !put(dict.get(), "scope", PyUnicode_FromString(p.scope)) ||
        !put(dict.get(), "kind", PyUnicode_FromString(p.kind)) ||
        !put(dict.get(), "range", PyUnicode_FromString(p.range)) || !put(dict.get(), "off", off_value(p)))
        return nullptr;
    return dict.release();
}

inline PyObject* unit_dict(const morva::UnitInfo& u) {
    PyRef parameters(PyList_New(0));
    if (!parameters) return nullptr;
    for (const morva::ParameterInfo& p : u.parameters) {
        PyRef entry(parameter_dict(p));
        if (!entry || PyList_Append(parameters.get(), entry.get()) < 0) return nullptr;
    }
    PyRef dict(PyDict_New());
    if (!dict || !put(dict.get(), "name", PyUnicode_FromString(u.name)) ||
        !put(dict.get(), "what", PyUnicode_FromString(u.what)) ||
        !put(dict.get(), "summary", PyUnicode_FromString(u.summary)) ||
        PyDict_SetItemString(dict.get(), "parameters", parameters.get()) < 0)
        return nullptr;
    return dict.release();
}

}  // namespace describe_detail

// describe() -> list of dicts, one per term or option.
inline PyObject* native_describe(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":describe", const_cast<char**>(names))) return nullptr;
    PyRef units(PyList_New(0));
    if (!units) return nullptr;
    for (const morva::UnitInfo& u : morva::engine_description()) {
        PyRef entry(describe_detail::unit_dict(u));
        if (!entry || PyList_Append(units.get(), entry.get()) < 0) return nullptr;
    }
    return units.release();
}

}  // namespace morva::binding
