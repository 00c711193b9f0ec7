// lib.cpp: the morva_core extension module, written on the CPython C API. Owns the Python World
// object: its set-up world or sweep driver, the pending contact entries and the borrow flag.
// Every wrapper has the same beats: unpack, borrow, convert in parameter order, check the state,
// call the engine, convert the result; one gate turns C++ exceptions into Python ones.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "init.hpp"
#include "setup.hpp"
#include "world_object.hpp"

namespace {

using namespace morva::binding;

static_assert(std::is_same_v<std::size_t, std::uint64_t>, "unsigned sizes and u64 share one conversion");

PyObject* none() { return Py_NewRef(Py_None); }

// ===================================================================================== conversions
// One small function per native kind: true on success with the value written through `out`,
// false with a Python exception set and `out` untouched.

bool fail_type(PyObject* obj, const char* expected) {
    PyRef name(PyType_GetQualName(Py_TYPE(obj)));
    if (name) PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), expected);
    return false;
}

// u8, u16 and u32: read as a signed machine word (the interpreter's own OverflowError beyond it),
// then checked against the width.
bool convert_narrow(PyObject* obj, unsigned long max, unsigned long& out) {
    PyRef index(PyNumber_Index(obj));
    if (!index) return false;
    const long v = PyLong_AsLong(index.get());
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 0 || static_cast<unsigned long>(v) > max) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<unsigned long>(v);
    return true;
}

template <class T>
bool convert_narrow_as(PyObject* obj, T& out) {
    unsigned long v = 0;
    if (!convert_narrow(obj, std::numeric_limits<T>::max(), v)) return false;
    out = static_cast<T>(v);
    return true;
}

bool convert_u8(PyObject* obj, std::uint8_t& out) { return convert_narrow_as(obj, out); }
bool convert_u16(PyObject* obj, std::uint16_t& out) { return convert_narrow_as(obj, out); }
bool convert_u32(PyObject* obj, std::uint32_t& out) { return convert_narrow_as(obj, out); }

// Unsigned sizes share the u64 conversion (world_object.hpp).
bool convert_usize(PyObject* obj, std::size_t& out) { return convert_u64(obj, out); }

bool convert_f64(PyObject* obj, double& out) {
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

// numpy's boolean scalar is recognised by name, so the module needs no numpy of its own.
bool is_numpy_bool(PyObject* obj) {
    const char* name = Py_TYPE(obj)->tp_name;
    return std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0;
}

bool convert_bool(PyObject* obj, bool& out) {
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    if (!is_numpy_bool(obj)) return fail_type(obj, "PyBool");
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}

bool convert_text(PyObject* obj, std::string& out) {
    if (!PyUnicode_Check(obj)) return fail_type(obj, "PyString");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!utf8) return false;
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
}

// What a sequence's length may reserve. A list or tuple holds its items already; any other
// sequence's __len__ is only a claim, so it reserves a first block at most and the vector grows as
// items arrive.
std::size_t reservation_for(PyObject* obj, Py_ssize_t claimed) {
    constexpr Py_ssize_t unproven_limit = 4096;
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) return static_cast<std::size_t>(claimed);
    return static_cast<std::size_t>(std::min(claimed, unproven_limit));
}

// Items are fetched through the iterator protocol, which stays safe when an item's conversion
// runs Python code that mutates the sequence.
template <class T, bool (*Item)(PyObject*, T&)>
bool convert_seq(PyObject* obj, std::vector<T>& out) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) return fail_type(obj, "Sequence");
    const Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) return false;
    PyRef iter(PyObject_GetIter(obj));
    if (!iter) return false;
    std::vector<T> items;
    items.reserve(reservation_for(obj, size));
    while (PyRef item{PyIter_Next(iter.get())}) {
        T v{};
        if (!Item(item.get(), v)) return false;
        items.push_back(v);
    }
    if (PyErr_Occurred()) return false;
    out = std::move(items);
    return true;
}

bool convert_seq_u32(PyObject* obj, std::vector<std::uint32_t>& out) {
    return convert_seq<std::uint32_t, convert_u32>(obj, out);
}

bool convert_seq_usize(PyObject* obj, std::vector<std::size_t>& out) {
    return convert_seq<std::size_t, convert_usize>(obj, out);
}

// The items are copied out first: a key's conversion may run Python code that changes the dict.
bool convert_dict_u32_u16(PyObject* obj, std::unordered_map<std::uint32_t, std::uint16_t>& out) {
    if (!PyDict_Check(obj)) return fail_type(obj, "PyDict");
    PyRef items(PyDict_Items(obj));
    if (!items) return false;
    std::unordered_map<std::uint32_t, std::uint16_t> map;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        std::uint32_t key = 0;
        std::uint16_t value = 0;
        if (!convert_u32(PyTuple_GET_ITEM(pair, 0), key) || !convert_u16(PyTuple_GET_ITEM(pair, 1), value))
            return false;
        map.insert_or_assign(key, value);
    }
    out = std::move(map);
    return true;
}

bool convert_dims(PyObject* obj, std::array<SiteIndex, 3>& out) {
    if (!PyTuple_Check(obj)) return fail_type(obj, "PyTuple");
    const Py_ssize_t n = PyTuple_GET_SIZE(obj);
    if (n != 3) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 3, but got tuple of length %zd", n);
        return false;
    }
    std::array<SiteIndex, 3> dims{};
    for (Py_ssize_t i = 0; i < 3; ++i)
        if (!convert_usize(PyTuple_GET_ITEM(obj, i), dims[static_cast<std::size_t>(i)])) return false;
    out = dims;
    return true;
}

// The native type of a wrapper's local picks its conversion.
bool convert(PyObject* o, std::uint8_t& v) { return convert_u8(o, v); }
bool convert(PyObject* o, std::uint16_t& v) { return convert_u16(o, v); }
bool convert(PyObject* o, std::uint32_t& v) { return convert_u32(o, v); }
bool convert(PyObject* o, std::uint64_t& v) { return convert_u64(o, v); }
bool convert(PyObject* o, double& v) { return convert_f64(o, v); }
bool convert(PyObject* o, bool& v) { return convert_bool(o, v); }
bool convert(PyObject* o, std::string& v) { return convert_text(o, v); }
bool convert(PyObject* o, std::vector<std::uint32_t>& v) { return convert_seq_u32(o, v); }
bool convert(PyObject* o, std::vector<std::uint64_t>& v) { return convert_seq_usize(o, v); }
bool convert(PyObject* o, std::unordered_map<std::uint32_t, std::uint16_t>& v) { return convert_dict_u32_u16(o, v); }
bool convert(PyObject* o, std::array<SiteIndex, 3>& v) { return convert_dims(o, v); }

// ------------------------------------------------------------------------------ parameter tables

struct Param {
    constexpr Param(const char* param_name, bool is_optional = false) : name(param_name), optional(is_optional) {}
    const char* name;
    bool optional;  // left out: the wrapper's local keeps its default
};

constexpr Param optional(const char* name) { return Param(name, true); }

template <std::size_t N>
struct Signature {
    const char* name;  // the method, named as World.<name>() in arity errors
    std::array<Param, N> params;
};

template <class... P>
constexpr auto signature(const char* name, P... params) {
    return Signature<sizeof...(P)>{name, {Param(params)...}};
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's own list of missing names.
std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += std::string("'") + names[i] + "'";
    }
    return out;
}

// Matches positional and keyword arguments to the parameters, in the interpreter's order of checks
// and with its wording. The receiver counts as the first positional argument, as in a Python
// method. On success every slot holds a borrowed value, or null for a left-out optional parameter.
bool parse_arguments(const char* name, std::span<const Param> params, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** slots) {
    const auto n = static_cast<Py_ssize_t>(params.size());
    std::fill(slots, slots + n, nullptr);
    for (Py_ssize_t i = 0; i < std::min(nargs, n); ++i) slots[i] = args[i];
    const Py_ssize_t n_kw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < n_kw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t j = 0;
        while (j < n && !PyUnicode_EqualToUTF8(key, params[static_cast<std::size_t>(j)].name)) ++j;
        if (j == n) {
            PyErr_Format(PyExc_TypeError, "World.%s() got an unexpected keyword argument '%S'", name, key);
            return false;
        }
        if (slots[j]) {
            PyErr_Format(PyExc_TypeError, "World.%s() got multiple values for argument '%S'", name, key);
            return false;
        }
        slots[j] = args[nargs + k];
    }
    const auto required = static_cast<Py_ssize_t>(
        std::count_if(params.begin(), params.end(), [](const Param& p) { return !p.optional; }));
    if (nargs > n) {
        const std::string takes =
            required == n ? std::to_string(n + 1)
                          : "from " + std::to_string(required + 1) + " to " + std::to_string(n + 1);
        PyErr_Format(PyExc_TypeError, "World.%s() takes %s positional arguments but %zd were given", name,
                     takes.c_str(), nargs + 1);
        return false;
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < params.size(); ++i)
        if (!slots[i] && !params[i].optional) missing.push_back(params[i].name);
    if (!missing.empty()) {
        PyErr_Format(PyExc_TypeError, "World.%s() missing %zu required positional argument%s: %s", name,
                     missing.size(), missing.size() == 1 ? "" : "s", quoted_list(missing).c_str());
        return false;
    }
    return true;
}

// The one place where a conversion's TypeError is re-raised with the parameter's name; the
// original's cause is carried over. Other exception kinds pass unchanged.
void name_argument_error(const char* param) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyRef original(PyErr_GetRaisedException());
    PyRef text(PyObject_Str(original.get()));
    if (!text) return;
    PyRef cause(PyException_GetCause(original.get()));
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", param, text.get());
    if (!cause) return;
    PyRef renamed(PyErr_GetRaisedException());
    PyException_SetCause(renamed.get(), cause.release());
    PyErr_SetRaisedException(renamed.release());
}

template <class T>
bool convert_argument(PyObject* obj, const Param& param, T& out) {
    if (!obj) return true;
    if (convert(obj, out)) return true;
    name_argument_error(param.name);
    return false;
}

// Converts the parsed slots in parameter order; the first failure ends the conversion.
template <std::size_t N, class... T, std::size_t... I>
bool convert_arguments(const Signature<N>& sig, PyObject* const* slots, std::index_sequence<I...>, T&... out) {
    return (convert_argument(slots[I], sig.params[I], out) && ...);
}

// ============================================================================== method calls
// The object layout, the borrow flag and the fault gate live in world_object.hpp.

// One method call on one object: parsing, borrow, conversion and the state check, in that order.
class Call {
public:
    Call(PyObject* self, Borrow kind) : self_(self), borrow_(as_world(self)->borrow, kind) {}

    template <std::size_t N, class... T>
    bool unpack(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, T&... out) {
        static_assert(N == sizeof...(T), "one local per parameter");
        std::array<PyObject*, N> slots{};
        return parse_arguments(sig.name, sig.params, args, nargs, kwnames, slots.data()) && borrow_.acquire() &&
               convert_arguments(sig, slots.data(), std::index_sequence_for<T...>{}, out...);
    }
    // Methods without parameters: the interpreter has checked the arity already.
    bool unpack() { return borrow_.acquire(); }

    bool require_setup(const char* refusal) { return require(impl().setup_world.has_value(), refusal); }
    bool require_finalized() { return require(impl().driver.has_value(), "call finalize() first"); }

    Impl& impl() { return impl_of(self_); }
    morva::World& world() { return impl().active(); }
    morva::World& setup_world() { return *impl().setup_world; }
    morva::Morva& driver() { return *impl().driver; }

private:
    static bool require(bool allowed, const char* refusal) {
        if (!allowed) PyErr_SetString(PyExc_RuntimeError, refusal);
        return allowed;
    }
    PyObject* self_;
    BorrowGuard borrow_;
};


using FastBody = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using NoArgsBody = PyObject* (*)(PyObject*);

template <FastBody Body>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(Py_TYPE(self), [&] { return Body(self, args, nargs, kwnames); });
}

template <NoArgsBody Body>
PyObject* noargs(PyObject* self, PyObject*) noexcept {
    return guarded(Py_TYPE(self), [&] { return Body(self); });
}

template <FastBody Body>
PyMethodDef fastcall_method(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall<Body>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

template <NoArgsBody Body>
PyMethodDef noargs_method(const char* name, const char* doc) {
    return {name, &noargs<Body>, METH_NOARGS, doc};
}

// ---------------------------------------------------------------------------------------- results

template <class F>
PyObject* list_of(std::size_t n, F item) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* value = item(i);
        if (!value) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
    }
    return list.release();
}

// ====================================================================================== lifecycle

// The constructor arrives as a tuple and a dict; lay them out as a vectorcall so that it shares
// the argument layer. The dict's items are copied, so their values stay alive through conversion.
class VectorArgs {
public:
    bool assign(PyObject* args, PyObject* kwargs) {
        nargs_ = PyTuple_GET_SIZE(args);
        for (Py_ssize_t i = 0; i < nargs_; ++i) values_.push_back(PyTuple_GET_ITEM(args, i));
        if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) return true;
        items_ = PyRef(PyDict_Items(kwargs));
        if (!items_) return false;
        const Py_ssize_t n = PyList_GET_SIZE(items_.get());
        kwnames_ = PyRef(PyTuple_New(n));
        if (!kwnames_) return false;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* pair = PyList_GET_ITEM(items_.get(), i);
            PyTuple_SET_ITEM(kwnames_.get(), i, Py_NewRef(PyTuple_GET_ITEM(pair, 0)));
            values_.push_back(PyTuple_GET_ITEM(pair, 1));
        }
        return true;
    }
    PyObject* const* args() const { return values_.data(); }
    Py_ssize_t nargs() const { return nargs_; }
    PyObject* kwnames() const { return kwnames_.get(); }

private:
    std::vector<PyObject*> values_;
    Py_ssize_t nargs_ = 0;
    PyRef items_, kwnames_;
};

PyObject* World_new_body(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr auto sig = signature("__new__", "dims", "boundary", "neighbor_order", "temperature");
    VectorArgs call;
    std::array<PyObject*, 4> slots{};
    std::array<SiteIndex, 3> dims{};
    std::string boundary;
    std::uint8_t neighbor_order = 0;
    double temperature = 0;
    if (!call.assign(args, kwargs) ||
        !parse_arguments(sig.name, sig.params, call.args(), call.nargs(), call.kwnames(), slots.data()) ||
        !convert_arguments(sig, slots.data(), std::make_index_sequence<4>{}, dims, boundary, neighbor_order,
                           temperature))
        return nullptr;
    if (boundary != "periodic" && boundary != "noflux") {
        PyRef message(PyUnicode_DecodeUTF8(boundary.data(), static_cast<Py_ssize_t>(boundary.size()), "replace"));
        if (message) PyErr_Format(PyExc_ValueError, "bad boundary %U", message.get());
        return nullptr;
    }
    const auto rule = boundary == "periodic" ? morva::Boundary::Periodic : morva::Boundary::Noflux;
    morva::World world = morva::make_world(dims, rule, neighbor_order, temperature);

    PyRef self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    Impl* impl = new (as_world(self.get())->storage) Impl{};
    impl->setup_world.emplace(std::move(world));
    impl->dims = dims;
    return self.release();
}

PyObject* World_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded(type, [&] { return World_new_body(type, args, kwargs); });
}

void World_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    impl_of(self).~Impl();
    type->tp_free(self);
    Py_DECREF(type);
}

// Builds the contact table, recomputes the trackers and moves the world into a new driver. The table,
// the only thing finalize allocates, is made first: if that fails the set-up world is untouched and
// finalize can be called again. A fault in the recomputation (a label without a record) comes after
// the world was taken out and loses it, as the contract says.
PyObject* World_finalize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("finalize", "seed");
    std::uint64_t seed = 0;
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, seed) || !call.require_setup("already finalized")) return nullptr;
    Impl& s = call.impl();
    morva::ContactMatrix table = morva::contact_table(s.contact_entries);
    morva::World world = std::move(*s.setup_world);
    s.setup_world.reset();
    s.driver.emplace(morva::finalize_with_table(std::move(world), std::move(table), seed));
    return none();
}

// =================================================================================== core methods

PyObject* World_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("step", "mcs");
    std::uint64_t mcs = 0;
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, mcs) || !call.require_finalized()) return nullptr;
    call.driver().step(mcs);
    return none();
}

PyObject* World_add_cell(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig =
        signature("add_cell", "cell_type", "target_volume", "lambda_volume", "target_surface", "lambda_surface");
    CellType cell_type = 0;
    double target_volume = 0, lambda_volume = 0, target_surface = 0, lambda_surface = 0;
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, cell_type, target_volume, lambda_volume, target_surface,
                     lambda_surface) ||
        !call.require_setup("add_cell after finalize"))
        return nullptr;
    return PyLong_FromUnsignedLong(
        call.setup_world().add_cell(cell_type, target_volume, lambda_volume, target_surface, lambda_surface));
}

// A refused box names the method in its ValueError.
PyObject* World_seed_block(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("seed_block", "cell_id", "x0", "y0", "z0", "x1", "y1", "z1");
    Label cell_id = 0;
    std::array<SiteIndex, 3> lo{}, hi{};
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, cell_id, lo[0], lo[1], lo[2], hi[0], hi[1], hi[2]) ||
        !call.require_setup("seed after finalize"))
        return nullptr;
    try {
        call.setup_world().paint_box(cell_id, lo, hi);
    } catch (const morva::BadRequest& refused) {
        return PyErr_Format(PyExc_ValueError, "seed_block: %s", refused.what());
    }
    return none();
}

PyObject* World_seed_from_labels(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig =
        signature("seed_from_labels", "labels", "types", "default_type", "target_volume", "lambda_volume");
    std::vector<Label> labels;
    std::unordered_map<Label, CellType> types;
    CellType default_type = 0;
    double target_volume = 0, lambda_volume = 0;
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, labels, types, default_type, target_volume, lambda_volume) ||
        !call.require_setup("seed after finalize"))
        return nullptr;
    const auto made =
        morva::seed_from_labels(call.setup_world(), labels, types, default_type, target_volume, lambda_volume);
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [value, id] : made) {
        PyRef key(PyLong_FromUnsignedLong(value)), item(PyLong_FromUnsignedLong(id));
        if (!key || !item || PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) return nullptr;
    }
    return dict.release();
}

// Appends to the pending list in either state; only finalize reads it.
PyObject* World_set_contact(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("set_contact", "type_a", "type_b", "j");
    CellType type_a = 0, type_b = 0;
    double j = 0;
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, type_a, type_b, j)) return nullptr;
    call.impl().contact_entries.push_back({type_a, type_b, j});
    return none();
}

PyObject* World_dims(PyObject* self) {
    Call call(self, Borrow::Shared);
    if (!call.unpack()) return nullptr;
    const auto& d = call.impl().dims;
    return Py_BuildValue("(kkk)", d[0], d[1], d[2]);
}

PyObject* World_n_cells(PyObject* self) {
    Call call(self, Borrow::Shared);
    if (!call.unpack()) return nullptr;
    return PyLong_FromSize_t(call.world().cells.size() - 1);
}

PyObject* World_snapshot(PyObject* self) {
    Call call(self, Borrow::Shared);
    if (!call.unpack()) return nullptr;
    const std::vector<Label>& labels = call.world().lattice.labels;
    return list_of(labels.size(), [&](std::size_t i) { return PyLong_FromUnsignedLong(labels[i]); });
}

// One entry per record of the cell table, read by `field`.
template <class F>
PyObject* per_cell(PyObject* self, F field) {
    Call call(self, Borrow::Shared);
    if (!call.unpack()) return nullptr;
    const std::vector<morva::Cell>& cells = call.world().cells;
    return list_of(cells.size(), [&](std::size_t i) { return field(cells[i]); });
}

PyObject* World_cell_types(PyObject* self) {
    return per_cell(self, [](const morva::Cell& c) { return PyLong_FromUnsignedLong(c.cell_type); });
}

PyObject* World_cell_volumes(PyObject* self) {
    return per_cell(self, [](const morva::Cell& c) { return PyLong_FromLongLong(c.volume); });
}

PyObject* World_cell_surfaces(PyObject* self) {
    return per_cell(self, [](const morva::Cell& c) { return PyLong_FromLongLong(c.surface); });
}

// The centre of mass of the record named by each record's id, from the coordinate sums (wrapped
// into the box under periodic shapes).
PyObject* World_cell_coms(PyObject* self) {
    Call call(self, Borrow::Shared);
    if (!call.unpack()) return nullptr;
    const morva::World& world = call.world();
    const std::vector<morva::Cell>& cells = world.cells;
    return list_of(cells.size(), [&](std::size_t i) {
        const morva::Point c = world.cell_centre(cells[i].id);
        return Py_BuildValue("(ddd)", c[0], c[1], c[2]);
    });
}

// ================================================================================== field methods

PyObject* World_add_field(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("add_field", "name", "d", "decay");
    std::string name;
    double d = 0, decay = 0;
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, name, d, decay) || !call.require_setup("add_field after finalize"))
        return nullptr;
    return PyLong_FromSize_t(call.setup_world().add_field(std::move(name), d, decay));
}

PyObject* World_set_field_dynamics(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("set_field_dynamics", "field_idx", "dt", "substeps");
    std::size_t field_idx = 0;
    double dt = 0;
    std::uint32_t substeps = 0;
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, field_idx, dt, substeps)) return nullptr;
    call.world().set_field_dynamics(field_idx, dt, substeps);
    return none();
}

// n field advances on the active world; n = 0 does not even look for a world.
PyObject* World_advance_fields(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("advance_fields", "n");
    std::uint32_t n = 0;
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, n)) return nullptr;
    if (n != 0) call.world().advance_fields(n);
    return none();
}

PyObject* World_set_secretion(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("set_secretion", "field_idx", "cell_type", "rate");
    std::size_t field_idx = 0;
    CellType cell_type = 0;
    double rate = 0;
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, field_idx, cell_type, rate)) return nullptr;
    call.world().set_secretion(field_idx, cell_type, rate);
    return none();
}

PyObject* World_set_cell_secretion_scale(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("set_cell_secretion_scale", "field_idx", "cell_id", "scale");
    std::size_t field_idx = 0;
    Label cell_id = 0;
    double scale = 0;
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, field_idx, cell_id, scale)) return nullptr;
    call.world().set_cell_secretion_scale(field_idx, cell_id, scale);
    return none();
}

PyObject* World_set_chemotaxis(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("set_chemotaxis", "field_idx", "cell_type", "lambda_val");
    std::size_t field_idx = 0;
    CellType cell_type = 0;
    double lambda_val = 0;
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, field_idx, cell_type, lambda_val)) return nullptr;
    call.world().set_chemotaxis(field_idx, cell_type, lambda_val);
    return none();
}

PyObject* World_set_chemotaxis_occupancy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig =
        signature("set_chemotaxis_occupancy", "field_idx", "cell_type", "lambda_val", "kd", "hill", "scale");
    std::size_t field_idx = 0;
    CellType cell_type = 0;
    double lambda_val = 0, kd = 0, hill = 0, scale = 0;
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, field_idx, cell_type, lambda_val, kd, hill, scale)) return nullptr;
    call.world().set_chemotaxis_occupancy(field_idx, cell_type, lambda_val, kd, hill, scale);
    return none();
}

PyObject* World_field_conc(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("field_conc", "field_idx");
    std::size_t field_idx = 0;
    Call call(self, Borrow::Shared);
    if (!call.unpack(sig, args, nargs, kwnames, field_idx)) return nullptr;
    const std::vector<float>& conc = call.world().field_conc(field_idx);
    return list_of(conc.size(), [&](std::size_t i) { return PyFloat_FromDouble(conc[i]); });
}

// A field without sites (a box with an empty axis) has no point to clamp to: the engine refuses the
// request, reported as a ValueError naming the method.
template <class F>
PyObject* at_clamped_site(const char* method, F&& access) {
    try {
        return access();
    } catch (const morva::BadRequest& refused) {
        return PyErr_Format(PyExc_ValueError, "%s: %s", method, refused.what());
    }
}

PyObject* World_field_value_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("field_value_at", "field_idx", "x", "y", "z");
    std::size_t field_idx = 0;
    SiteIndex x = 0, y = 0, z = 0;
    Call call(self, Borrow::Shared);
    if (!call.unpack(sig, args, nargs, kwnames, field_idx, x, y, z)) return nullptr;
    return at_clamped_site(sig.name,
                           [&] { return PyFloat_FromDouble(call.world().field_value_at(field_idx, x, y, z)); });
}

PyObject* World_field_add_source_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("field_add_source_at", "field_idx", "x", "y", "z", "amount");
    std::size_t field_idx = 0;
    SiteIndex x = 0, y = 0, z = 0;
    double amount = 0;
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, field_idx, x, y, z, amount)) return nullptr;
    return at_clamped_site(sig.name, [&] {
        call.world().field_add_at(field_idx, x, y, z, amount);
        return none();
    });
}

PyObject* World_field_mean_at_cell(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("field_mean_at_cell", "field_idx", "cell_id");
    std::size_t field_idx = 0;
    Label cell_id = 0;
    Call call(self, Borrow::Shared);
    if (!call.unpack(sig, args, nargs, kwnames, field_idx, cell_id)) return nullptr;
    return PyFloat_FromDouble(call.world().field_mean_at_cell(field_idx, cell_id));
}

// ===================================================================== constraint and lifecycle methods

PyObject* World_set_connectivity(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("set_connectivity", "cell_type", "on");
    CellType cell_type = 0;
    bool on = false;
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, cell_type, on)) return nullptr;
    call.world().set_connectivity(cell_type, on);
    return none();
}

PyObject* World_set_connectivity_medium(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("set_connectivity_medium", "on");
    bool on = false;
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, on)) return nullptr;
    call.world().set_connectivity_medium(on);
    return none();
}

PyObject* World_set_junction_lambda(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("set_junction_lambda", "lambda");
    double lambda = 0;
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, lambda)) return nullptr;
    call.world().set_junction_lambda(lambda);
    return none();
}

PyObject* World_set_external_potential(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("set_external_potential", "cell_type", "fx", "fy", "fz");
    CellType cell_type = 0;
    double fx = 0, fy = 0, fz = 0;
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, cell_type, fx, fy, fz)) return nullptr;
    call.world().set_external_potential(cell_type, fx, fy, fz);
    return none();
}

PyObject* World_set_length_constraint(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("set_length_constraint", "cell_type", "target_length", "lambda");
    CellType cell_type = 0;
    double target_length = 0, lambda = 0;
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, cell_type, target_length, lambda)) return nullptr;
    call.world().set_length_constraint(cell_type, target_length, lambda);
    return none();
}

PyObject* World_set_junction(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("set_junction", "cell_type", "on");
    CellType cell_type = 0;
    bool on = false;
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, cell_type, on)) return nullptr;
    call.world().set_junction(cell_type, on);
    return none();
}

PyObject* World_set_membrane(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("set_membrane", "anchors", "k", "band");
    std::vector<SiteIndex> anchors;
    double k = 0, band = 0;
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, anchors, k, band)) return nullptr;
    call.world().set_membrane(anchors, k, band);
    return none();
}

PyObject* World_set_membrane_anchored(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("set_membrane_anchored", "cell_type", "on");
    CellType cell_type = 0;
    bool on = false;
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, cell_type, on)) return nullptr;
    call.world().set_membrane_anchored(cell_type, on);
    return none();
}

PyObject* World_remove_cells(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("remove_cells", "ids");
    std::vector<Label> ids;
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, ids)) return nullptr;
    call.world().remove_cells(ids);
    return none();
}

PyObject* World_divide_cells(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("divide_cells", "threshold", "reset_target");
    double threshold = 0, reset_target = 0;
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, threshold, reset_target)) return nullptr;
    const std::vector<Label> daughters = call.world().divide_cells(threshold, reset_target);
    return list_of(daughters.size(), [&](std::size_t i) { return PyLong_FromUnsignedLong(daughters[i]); });
}

PyObject* World_grow(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("grow", "cell_type", "rate");
    CellType cell_type = 0;
    double rate = 0;
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, cell_type, rate)) return nullptr;
    call.world().grow(cell_type, rate);
    return none();
}

PyObject* World_set_cell_type(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("set_cell_type", "cell_id", "new_type");
    Label cell_id = 0;
    CellType new_type = 0;
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, cell_id, new_type)) return nullptr;
    call.world().set_cell_type(cell_id, new_type);
    return none();
}

PyObject* World_set_target_volume(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("set_target_volume", "cell_id", "v");
    Label cell_id = 0;
    double v = 0;
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, cell_id, v)) return nullptr;
    call.world().set_target_volume(cell_id, v);
    return none();
}

PyObject* World_cell_length(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("cell_length", "cell_id");
    Label cell_id = 0;
    Call call(self, Borrow::Shared);
    if (!call.unpack(sig, args, nargs, kwnames, cell_id)) return nullptr;
    return PyFloat_FromDouble(call.world().cell_length(cell_id));
}

PyObject* World_cell_lengths(PyObject* self) {
    Call call(self, Borrow::Shared);
    if (!call.unpack()) return nullptr;
    const morva::World& world = call.world();
    return list_of(world.cells.size(),
                   [&](std::size_t i) { return PyFloat_FromDouble(world.cell_length(static_cast<Label>(i))); });
}

PyObject* World_cell_contact_area_by_type(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    static constexpr auto sig = signature("cell_contact_area_by_type", "cell_id");
    Label cell_id = 0;
    Call call(self, Borrow::Shared);
    if (!call.unpack(sig, args, nargs, kwnames, cell_id)) return nullptr;
    const auto areas = call.world().cell_contact_area_by_type(cell_id);
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [cell_type, area] : areas) {
        PyRef key(PyLong_FromUnsignedLong(cell_type));
        PyRef value(PyLong_FromLongLong(area));
        if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

// ================================================================================= parallel sweep

PyObject* World_step_parallel(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("step_parallel", "mcs", optional("block"));
    std::uint64_t mcs = 0;
    SiteIndex block = 16;
    Call call(self, Borrow::Exclusive);
    if (!call.unpack(sig, args, nargs, kwnames, mcs, block) || !call.require_finalized()) return nullptr;
    call.driver().step_parallel(mcs, block);
    return none();
}

// ============================================================================== type and module

PyMethodDef world_methods[] = {
    fastcall_method<World_finalize>("finalize", "finalize($self, seed)\n--\n\n"),
    fastcall_method<World_step>("step", "step($self, mcs)\n--\n\n"),
    fastcall_method<World_step_parallel>(
        "step_parallel",
        "step_parallel($self, mcs, block=16)\n--\n\n"
        "Parallel checkerboard sweep across CPU cores (opt-in; approximate but\n"
        "validated to track the sequential dynamics). `block` is the tile side\n"
        "(>=2). Set RAYON_NUM_THREADS to cap threads. Not for length-constraint models."),
    fastcall_method<World_add_cell>(
        "add_cell", "add_cell($self, cell_type, target_volume, lambda_volume, target_surface, lambda_surface)\n--\n\n"),
    fastcall_method<World_seed_block>("seed_block", "seed_block($self, cell_id, x0, y0, z0, x1, y1, z1)\n--\n\n"),
    fastcall_method<World_seed_from_labels>(
        "seed_from_labels",
        "seed_from_labels($self, labels, types, default_type, target_volume, lambda_volume)\n--\n\n"),
    fastcall_method<World_set_contact>("set_contact", "set_contact($self, type_a, type_b, j)\n--\n\n"),
    noargs_method<World_dims>("dims", "dims($self)\n--\n\n"),
    noargs_method<World_n_cells>("n_cells", "n_cells($self)\n--\n\n"),
    noargs_method<World_snapshot>("snapshot", "snapshot($self)\n--\n\n"),
    noargs_method<World_cell_types>("cell_types", "cell_types($self)\n--\n\n"),
    noargs_method<World_cell_volumes>("cell_volumes", "cell_volumes($self)\n--\n\n"),
    noargs_method<World_cell_surfaces>("cell_surfaces", "cell_surfaces($self)\n--\n\n"),
    noargs_method<World_cell_coms>("cell_coms", "cell_coms($self)\n--\n\n"),
    fastcall_method<World_add_field>("add_field", "add_field($self, name, d, decay)\n--\n\n"),
    fastcall_method<World_set_field_dynamics>("set_field_dynamics",
                                              "set_field_dynamics($self, field_idx, dt, substeps)\n--\n\n"),
    fastcall_method<World_advance_fields>("advance_fields", "advance_fields($self, n)\n--\n\n"),
    fastcall_method<World_set_secretion>("set_secretion", "set_secretion($self, field_idx, cell_type, rate)\n--\n\n"),
    fastcall_method<World_set_cell_secretion_scale>(
        "set_cell_secretion_scale", "set_cell_secretion_scale($self, field_idx, cell_id, scale)\n--\n\n"),
    fastcall_method<World_set_chemotaxis>("set_chemotaxis",
                                          "set_chemotaxis($self, field_idx, cell_type, lambda_val)\n--\n\n"),
    fastcall_method<World_set_chemotaxis_occupancy>(
        "set_chemotaxis_occupancy",
        "set_chemotaxis_occupancy($self, field_idx, cell_type, lambda_val, kd, hill, scale)\n--\n\n"),
    fastcall_method<World_field_conc>("field_conc", "field_conc($self, field_idx)\n--\n\n"),
    fastcall_method<World_field_value_at>(
        "field_value_at",
        "field_value_at($self, field_idx, x, y, z)\n--\n\n"
        "Concentration of field `field_idx` at site (x, y, z); out-of-range\n"
        "coordinates are clamped to the domain rather than panicking."),
    fastcall_method<World_field_add_source_at>(
        "field_add_source_at",
        "field_add_source_at($self, field_idx, x, y, z, amount)\n--\n\n"
        "Add `amount` to field `field_idx`'s concentration at site (x, y, z);\n"
        "out-of-range coordinates are clamped to the domain rather than panicking."),
    fastcall_method<World_field_mean_at_cell>("field_mean_at_cell",
                                              "field_mean_at_cell($self, field_idx, cell_id)\n--\n\n"),
    fastcall_method<World_set_connectivity>("set_connectivity", "set_connectivity($self, cell_type, on)\n--\n\n"),
    fastcall_method<World_set_connectivity_medium>("set_connectivity_medium",
                                                   "set_connectivity_medium($self, on)\n--\n\n"),
    fastcall_method<World_set_junction_lambda>("set_junction_lambda", "set_junction_lambda($self, lambda)\n--\n\n"),
    fastcall_method<World_set_external_potential>(
        "set_external_potential", "set_external_potential($self, cell_type, fx, fy, fz)\n--\n\n"),
    fastcall_method<World_set_length_constraint>(
        "set_length_constraint", "set_length_constraint($self, cell_type, target_length, lambda)\n--\n\n"),
    fastcall_method<World_set_junction>("set_junction", "set_junction($self, cell_type, on)\n--\n\n"),
    fastcall_method<World_set_membrane>("set_membrane", "set_membrane($self, anchors, k, band)\n--\n\n"),
    fastcall_method<World_set_membrane_anchored>("set_membrane_anchored",
                                                 "set_membrane_anchored($self, cell_type, on)\n--\n\n"),
    fastcall_method<World_remove_cells>("remove_cells", "remove_cells($self, ids)\n--\n\n"),
    fastcall_method<World_divide_cells>("divide_cells", "divide_cells($self, threshold, reset_target)\n--\n\n"),
    fastcall_method<World_grow>("grow", "grow($self, cell_type, rate)\n--\n\n"),
    fastcall_method<World_set_cell_type>("set_cell_type", "set_cell_type($self, cell_id, new_type)\n--\n\n"),
    fastcall_method<World_set_target_volume>("set_target_volume", "set_target_volume($self, cell_id, v)\n--\n\n"),
    fastcall_method<World_cell_length>("cell_length", "cell_length($self, cell_id)\n--\n\n"),
    noargs_method<World_cell_lengths>("cell_lengths", "cell_lengths($self)\n--\n\n"),
    fastcall_method<World_cell_contact_area_by_type>(
        "cell_contact_area_by_type",
        "cell_contact_area_by_type($self, cell_id)\n--\n\n"
        "Per-cell contact-area-by-type: dict[cell_type -> contact-area] of how\n"
        "much of `cell_id`'s surface contacts each neighbor cell type (MEDIUM=0\n"
        "included). Contact area uses the configured (Moore) neighborhood, the\n"
        "same one `cell_surfaces()` uses -- not axis-faces only -- so the sum of\n"
        "values equals `cell_surfaces()[cell_id]`. Pure read."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot world_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&World_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&World_dealloc)},
    {Py_tp_methods, world_methods},
    {Py_tp_doc, const_cast<char*>("World(dims, boundary, neighbor_order, temperature)\n--\n\n")},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: World cannot be subclassed. No dict or weak-reference slots.
PyType_Spec world_spec = {
    "morva_core.World", static_cast<int>(sizeof(WorldObject)), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    world_slots,
};

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    if (auto* state = static_cast<ModuleState*>(PyModule_GetState(module))) Py_VISIT(state->panic_type);
    return 0;
}

int module_clear(PyObject* module) {
    if (auto* state = static_cast<ModuleState*>(PyModule_GetState(module))) Py_CLEAR(state->panic_type);
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "morva_core", "", sizeof(ModuleState), nullptr, nullptr,
    module_traverse,       module_clear, module_free,
};

PyObject* create_module() {
    PyRef module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    PyRef type(PyType_FromModuleAndSpec(module.get(), &world_spec, nullptr));
    if (!type || PyModule_AddType(module.get(), reinterpret_cast<PyTypeObject*>(type.get())) < 0) return nullptr;
    PyRef all(Py_BuildValue("[s]", "World"));
    if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
    return module.release();
}

}  // namespace

// Single-phase initialisation: the module is made once per process and belongs to the interpreter
// that made it. A later initialisation there returns the same object; any other interpreter is
// refused, since World objects and the exception class must not cross interpreters.
PyMODINIT_FUNC PyInit_morva_core() {
    static PyObject* module = nullptr;
    static PyInterpreterState* home = nullptr;
    PyInterpreterState* here = PyInterpreterState_Get();
    if (module) {
        if (here == home) return Py_NewRef(module);
        PyErr_SetString(PyExc_ImportError, "morva_core cannot be loaded in more than one interpreter per process");
        return nullptr;
    }
    module = create_module();
    if (!module) return nullptr;
    home = here;
    return Py_NewRef(module);
}
