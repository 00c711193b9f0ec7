// native.cpp: the morva._native extension module. Works on morva_core.World objects through
// world_object.hpp: arrays made with one bulk copy each (NumPy is reached through its Python API and
// filled through the buffer protocol), checkpoints through the engine's reader and writer, and runs
// that release the interpreter lock while the world stays exclusively borrowed.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "cell_ode.hpp"
#include "checkpoint.hpp"
#include "contact_pairs.hpp"
#include "tissue_sample.hpp"
#include "world_object.hpp"
#include "describe.hpp"

namespace {

using namespace morva::binding;

struct NativeState {
    PyObject* world_type;   // morva_core.World, fetched at import
    PyObject* numpy_empty;  // numpy.empty, fetched on the first array
};

NativeState& state_of(PyObject* module) { return *static_cast<NativeState*>(PyModule_GetState(module)); }

// Exactly a morva_core.World: a subclass or look-alike could not share the native layout.
bool require_world(PyObject* module, PyObject* obj, const char* function) {
    if (Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(state_of(module).world_type)) return true;
    PyErr_Format(PyExc_TypeError, "%s() argument 'world' must be morva_core.World, not '%s'", function,
                 Py_TYPE(obj)->tp_name);
    return false;
}

PyTypeObject* world_type(PyObject* module) { return reinterpret_cast<PyTypeObject*>(state_of(module).world_type); }

// The world a query reads: the finalized one or the set-up one (faults after a failed finalize).
const morva::World& active_world(PyObject* world) { return impl_of(world).active(); }

// ========================================================================================== arrays

// A writable C-contiguous view of an array, released on scope exit.
class WritableBuffer {
public:
    bool acquire(PyObject* obj) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return false;
        held_ = true;
        return true;
    }
    ~WritableBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    template <class T>
    T* data() const {
        return static_cast<T*>(view_.buf);
    }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// numpy.empty(shape, dtype): the array module is imported on first use only, so the checkpoint and
// run functions need nothing but the interpreter.
PyObject* empty_array(PyObject* module, std::initializer_list<std::size_t> shape, const char* dtype) {
    NativeState& state = state_of(module);
    if (!state.numpy_empty) {
        PyRef numpy(PyImport_ImportModule("numpy"));
        if (!numpy) return nullptr;
        state.numpy_empty = PyObject_GetAttrString(numpy.get(), "empty");
        if (!state.numpy_empty) return nullptr;
    }
    PyRef dims(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    if (!dims) return nullptr;
    Py_ssize_t i = 0;
    for (const std::size_t side : shape) {
        PyObject* item = PyLong_FromSize_t(side);
        if (!item) return nullptr;
        PyTuple_SET_ITEM(dims.get(), i++, item);
    }
    return PyObject_CallFunction(state.numpy_empty, "Os", dims.get(), dtype);
}

// A new array filled by `fill(T* out)`; the view is checked to hold exactly `count` items.
template <class T, class Fill>
PyObject* filled_array(PyObject* module, std::initializer_list<std::size_t> shape, const char* dtype,
                       std::size_t count, Fill fill) {
    PyRef array(empty_array(module, shape, dtype));
    if (!array) return nullptr;
    WritableBuffer buffer;
    if (!buffer.acquire(array.get())) return nullptr;
    MORVA_CHECK(buffer.size() == count * sizeof(T), "array buffer of unexpected size");
    fill(buffer.data<T>());
    return array.release();
}

template <class T>
PyObject* copied_array(PyObject* module, std::initializer_list<std::size_t> shape, const char* dtype,
                       const std::vector<T>& values) {
    return filled_array<T>(module, shape, dtype, values.size(), [&](T* out) {
        if (!values.empty()) std::memcpy(out, values.data(), values.size() * sizeof(T));
    });
}

PyObject* labels_body(PyObject* module, PyObject* world) {
    BorrowGuard borrow(as_world(world)->borrow, Borrow::Shared);
    if (!borrow.acquire()) return nullptr;
    const morva::World& w = active_world(world);
    const auto& d = w.lattice.dims;  // site x + nx * (y + ny * z) lands at [z, y, x]
    return copied_array(module, {d[2], d[1], d[0]}, "uint32", w.lattice.labels);
}

PyObject* field_body(PyObject* module, PyObject* world, PyObject* index) {
    BorrowGuard borrow(as_world(world)->borrow, Borrow::Shared);
    std::uint64_t field_idx = 0;
    if (!borrow.acquire() || !convert_u64(index, field_idx)) return nullptr;
    const morva::World& w = active_world(world);
    const std::vector<float>& conc = w.field_conc(field_idx);
    const auto& d = w.lattice.dims;
    return copied_array(module, {d[2], d[1], d[0]}, "float32", conc);
}

// The names of the columns of the cell table, in the order cells() makes them.
constexpr std::string_view cell_columns[] = {"type", "volume", "surface", "target_volume", "lambda_volume",
                                             "target_surface", "lambda_surface", "com", "direction", "force",
                                             "length"};

// The columns named by `columns` (a sequence of str; None: all), each checked against the table.
std::optional<std::vector<std::string_view>> chosen_columns(PyObject* columns) {
    if (columns == Py_None) return std::vector<std::string_view>(std::begin(cell_columns), std::end(cell_columns));
    PyRef seq(PySequence_Fast(columns, "cells() argument 'columns' must be a sequence of column names"));
    if (!seq) return std::nullopt;
    std::vector<std::string_view> chosen;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
        const auto known = text ? std::find(std::begin(cell_columns), std::end(cell_columns),
                                            std::string_view(text, static_cast<std::size_t>(size)))
                                : std::end(cell_columns);
        if (known == std::end(cell_columns)) {
            if (!PyErr_Occurred()) {
                std::string names;
                for (const std::string_view name : cell_columns) names.append(names.empty() ? "" : ", ").append(name);
                PyErr_Format(PyExc_ValueError, "cells(): no column %R (columns: %s)", item, names.c_str());
            }
            return std::nullopt;
        }
        chosen.push_back(*known);
    }
    return chosen;
}

// One array per chosen column of the cell table, indexed by cell id, the medium's record included.
PyObject* cells_body(PyObject* module, PyObject* world, const std::vector<std::string_view>& chosen) {
    BorrowGuard borrow(as_world(world)->borrow, Borrow::Shared);
    if (!borrow.acquire()) return nullptr;
    const morva::World& w = active_world(world);
    const std::vector<morva::Cell>& cells = w.cells;
    const std::size_t n = cells.size();
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    // Makes a column's array with `make()` when the column is chosen.
    const auto add = [&](std::string_view key, auto make) {
        if (std::find(chosen.begin(), chosen.end(), key) == chosen.end()) return true;
        PyRef owned(make());
        return owned && PyDict_SetItemString(dict.get(), std::string(key).c_str(), owned.get()) == 0;
    };
    const auto column = [&](std::string_view key, auto member) {
        return add(key, [&] {
            return filled_array<double>(module, {n}, "float64", n, [&](double* out) {
                for (std::size_t i = 0; i < n; ++i) out[i] = cells[i].*member;
            });
        });
    };
    // The cells' points (x, y, z) as an (n, 3) array.
    const auto points = [&](std::string_view key, auto point_of) {
        return add(key, [&] {
            return filled_array<double>(module, {n, 3}, "float64", 3 * n, [&](double* out) {
                for (std::size_t i = 0; i < n; ++i, out += 3) {
                    const auto p = point_of(i);
                    out[0] = p[0], out[1] = p[1], out[2] = p[2];
                }
            });
        });
    };
    const bool ok =
        add("type",
            [&] {
                return filled_array<std::uint16_t>(module, {n}, "uint16", n, [&](std::uint16_t* out) {
                    for (std::size_t i = 0; i < n; ++i) out[i] = cells[i].cell_type;
                });
            }) &&
        add("volume",
            [&] {
                return filled_array<std::int64_t>(module, {n}, "int64", n, [&](std::int64_t* out) {
                    for (std::size_t i = 0; i < n; ++i) out[i] = cells[i].volume;
                });
            }) &&
        add("surface",
            [&] {
                return filled_array<std::int64_t>(module, {n}, "int64", n, [&](std::int64_t* out) {
                    for (std::size_t i = 0; i < n; ++i) out[i] = cells[i].surface;
                });
            }) &&
        column("target_volume", &morva::Cell::target_volume) && column("lambda_volume", &morva::Cell::lambda_volume) &&
        column("target_surface", &morva::Cell::target_surface) &&
        column("lambda_surface", &morva::Cell::lambda_surface) &&
        // As cell_coms(): the coordinate sums over the volume (wrapped into the box under periodic
        // shapes), (0, 0, 0) for an empty record.
        points("com", [&](std::size_t i) { return w.cell_centre(cells[i].id); }) &&
        // Each cell's preferred direction ((0, 0, 0) until drawn) and the external force it feels (its
        // own where one is set, else its type's).
        points("direction", [&](std::size_t i) { return w.direction_of(static_cast<Label>(i)); }) &&
        points("force", [&](std::size_t i) { return w.external_force_of(static_cast<Label>(i)); }) &&
        // A length needs an axis: NaN for the medium and for cells of fewer than two sites.
        add("length", [&] {
            return filled_array<double>(module, {n}, "float64", n, [&](double* out) {
                for (std::size_t i = 0; i < n; ++i)
                    out[i] = i == 0 || cells[i].volume < 2 ? std::numeric_limits<double>::quiet_NaN()
                                                           : w.cell_length(static_cast<Label>(i));
            });
        });
    return ok ? dict.release() : nullptr;
}

// count_contacts of a borrowed world: other threads may run Python meanwhile, not change it.
ContactCounts counted_unlocked(const morva::World& w) {
    struct LockReleased {
        PyThreadState* saved = PyEval_SaveThread();
        ~LockReleased() { PyEval_RestoreThread(saved); }
    } released;
    return count_contacts(w);
}

// The contact table (contact_pairs.hpp) as three arrays a, b, area: the medium's rows first, then the
// pairs of cells, by a then b.
PyObject* contacts_body(PyObject* module, PyObject* world) {
    BorrowGuard borrow(as_world(world)->borrow, Borrow::Shared);
    if (!borrow.acquire()) return nullptr;
    const ContactCounts counts = counted_unlocked(active_world(world));
    const std::vector<std::int64_t>& medium = counts.medium;
    const std::vector<ContactCounts::Pair>& pairs = counts.pairs;
    const std::size_t n_labels = medium.size();
    const std::size_t medium_rows =
        static_cast<std::size_t>(std::count_if(medium.begin(), medium.end(), [](std::int64_t n) { return n != 0; }));
    const std::size_t rows = medium_rows + pairs.size();
    // Each column is filled from the medium's counts, then from the pairs.
    const auto column = [&](auto* out, auto of_medium, auto of_pair) {
        for (std::size_t a = 1; a < n_labels; ++a)
            if (medium[a] != 0) *out++ = of_medium(a);
        for (const ContactCounts::Pair& e : pairs) *out++ = of_pair(e);
    };
    PyRef a_array(filled_array<std::uint32_t>(module, {rows}, "uint32", rows, [&](std::uint32_t* out) {
        column(out, [](std::size_t) { return 0u; }, [](const auto& e) { return static_cast<std::uint32_t>(e.key >> 32); });
    }));
    if (!a_array) return nullptr;
    PyRef b_array(filled_array<std::uint32_t>(module, {rows}, "uint32", rows, [&](std::uint32_t* out) {
        column(out, [](std::size_t a) { return static_cast<std::uint32_t>(a); },
               [](const auto& e) { return static_cast<std::uint32_t>(e.key & 0xFFFFFFFFu); });
    }));
    if (!b_array) return nullptr;
    PyRef area_array(filled_array<std::int64_t>(module, {rows}, "int64", rows, [&](std::int64_t* out) {
        column(out, [&](std::size_t a) { return medium[a]; }, [](const auto& e) { return e.count; });
    }));
    if (!area_array) return nullptr;
    return PyTuple_Pack(3, a_array.get(), b_array.get(), area_array.get());
}

// sample_tissue (tissue_sample.hpp) as a dict of new arrays, and "records", the cell table's length.
PyObject* tissue_body(PyObject* module, PyObject* world, bool contacts) {
    BorrowGuard borrow(as_world(world)->borrow, Borrow::Shared);
    if (!borrow.acquire()) return nullptr;
    const morva::World& w = active_world(world);
    const std::optional<ContactCounts> counts = contacts ? std::optional(counted_unlocked(w)) : std::nullopt;
    const TissueSample s = sample_tissue(w, counts ? &*counts : nullptr);
    PyRef dict(PyDict_New());
    PyRef records(PyLong_FromSize_t(w.cells.size()));
    if (!dict || !records || PyDict_SetItemString(dict.get(), "records", records.get()) != 0) return nullptr;
    const auto put = [&](const char* key, const char* dtype, const auto& values) {
        PyRef array(copied_array(module, {values.size()}, dtype, values));
        return array && PyDict_SetItemString(dict.get(), key, array.get()) == 0;
    };
    const bool ok = put("ids", "int64", s.ids) && put("volume", "float64", s.volume) &&
                    put("surface", "float64", s.surface) && put("target_volume", "float64", s.target_volume) &&
                    put("type", "int64", s.type) &&
                    (!contacts || (put("first", "uint32", s.first) && put("second", "uint32", s.second) &&
                                   put("area", "float64", s.area) && put("medium", "float64", s.medium)));
    return ok ? dict.release() : nullptr;
}

// ======================================================================================== division

// divide(world, ids, rules, normals, reset_target): rules[i] 0 longest side, 1 shortest side, 2 the
// plane through the centre of mass perpendicular to normals[i] (three floats).
bool parse_planes(PyObject* ids_obj, PyObject* rules_obj, PyObject* normals_obj, std::vector<morva::Label>& ids,
                  std::vector<morva::DivisionPlane>& planes) {
    PyRef ids_seq(PySequence_Fast(ids_obj, "divide() argument 'ids' must be a sequence"));
    PyRef rules_seq(ids_seq ? PySequence_Fast(rules_obj, "divide() argument 'rules' must be a sequence") : nullptr);
    PyRef normals_seq(rules_seq ? PySequence_Fast(normals_obj, "divide() argument 'normals' must be a sequence")
                                : nullptr);
    if (!normals_seq) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(ids_seq.get());
    if (PySequence_Fast_GET_SIZE(rules_seq.get()) != n || PySequence_Fast_GET_SIZE(normals_seq.get()) != n) {
        PyErr_SetString(PyExc_ValueError, "divide(): ids, rules and normals must have the same length");
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        const unsigned long id = PyLong_AsUnsignedLong(PySequence_Fast_GET_ITEM(ids_seq.get(), i));
        const long rule = PyLong_AsLong(PySequence_Fast_GET_ITEM(rules_seq.get(), i));
        if (PyErr_Occurred()) return false;
        if (rule < 0 || rule > 2 || id > std::numeric_limits<morva::Label>::max()) {
            PyErr_SetString(PyExc_ValueError, "divide(): rules are 0, 1 or 2 and ids are cell ids");
            return false;
        }
        morva::DivisionPlane plane;
        plane.rule = static_cast<morva::DivisionPlane::Rule>(rule);
        PyRef normal(PySequence_Fast(PySequence_Fast_GET_ITEM(normals_seq.get(), i),
                                     "divide(): each normal must be a sequence of three floats"));
        if (!normal) return false;
        if (PySequence_Fast_GET_SIZE(normal.get()) != 3) {
            PyErr_SetString(PyExc_ValueError, "divide(): each normal must be a sequence of three floats");
            return false;
        }
        for (Py_ssize_t k = 0; k < 3; ++k) {
            plane.normal[static_cast<std::size_t>(k)] = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(normal.get(), k));
            if (PyErr_Occurred()) return false;
        }
        ids.push_back(static_cast<morva::Label>(id));
        planes.push_back(plane);
    }
    return true;
}

PyObject* divide_body(PyObject* world, PyObject* ids_obj, PyObject* rules_obj, PyObject* normals_obj,
                      double reset_target) {
    std::vector<morva::Label> ids;
    std::vector<morva::DivisionPlane> planes;
    if (!parse_planes(ids_obj, rules_obj, normals_obj, ids, planes)) return nullptr;
    BorrowGuard borrow(as_world(world)->borrow, Borrow::Exclusive);
    if (!borrow.acquire()) return nullptr;
    morva::World& w = impl_of(world).active();
    std::vector<std::uint8_t> seen(w.cells.size(), 0);
    for (const morva::Label id : ids) {
        if (id == 0 || id >= w.cells.size() || seen[id]) {
            PyErr_Format(PyExc_ValueError, "divide(): %lu is not a cell or is given twice", static_cast<unsigned long>(id));
            return nullptr;
        }
        seen[id] = 1;
    }
    const std::vector<morva::Label> daughters = w.divide_chosen(ids, planes, reset_target);
    PyRef list(PyList_New(static_cast<Py_ssize_t>(daughters.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < daughters.size(); ++i) {
        PyObject* item = PyLong_FromUnsignedLong(daughters[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// ===================================================================================== checkpoints

PyObject* dumps_body(PyObject* world) {
    BorrowGuard borrow(as_world(world)->borrow, Borrow::Shared);
    if (!borrow.acquire()) return nullptr;
    Impl& impl = impl_of(world);
    const morva::World& w = impl.active();
    const morva::Xoshiro256pp* rng = impl.driver ? &impl.driver->rng : nullptr;
    const std::vector<std::uint8_t> bytes =
        morva::write_checkpoint({w, rng, impl.contact_entries});
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size()));
}

// A read-only view of a bytes-like object, released on scope exit.
class ReadableBuffer {
public:
    bool acquire(PyObject* obj) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0) return false;
        held_ = true;
        return true;
    }
    ~ReadableBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    std::span<const std::uint8_t> bytes() const {
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The whole session is read before the object exists: a refused checkpoint leaves nothing behind.
PyObject* loads_body(PyObject* module, PyObject* data) {
    ReadableBuffer buffer;
    if (!buffer.acquire(data)) return nullptr;
    morva::Session session;
    try {
        session = morva::read_checkpoint(buffer.bytes());
    } catch (const morva::CheckpointError& refusal) {
        // The message may quote bytes of the file (a field name) that are not UTF-8.
        const std::string_view text = refusal.what();
        PyRef message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        if (message) PyErr_SetObject(PyExc_ValueError, message.get());
        return nullptr;
    }
    PyTypeObject* type = world_type(module);
    PyRef self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    Impl* impl = new (as_world(self.get())->storage) Impl{};
    impl->dims = session.world.lattice.dims;
    impl->contact_entries = std::move(session.contact_entries);
    if (session.rng) {
        morva::Morva driver;
        driver.world = std::move(session.world);
        driver.rng = *session.rng;
        impl->driver.emplace(std::move(driver));
    } else {
        impl->setup_world.emplace(std::move(session.world));
    }
    return self.release();
}

// ============================================================================================== run

// Between steps the run takes the interpreter lock back just long enough to run signal handlers;
// an exception they raise (KeyboardInterrupt) ends the run after the step that is done.
struct RunLock {
    PyThreadState* released = nullptr;
    bool interrupted = false;

    static bool keep_going(void* context, std::uint64_t) {
        auto& lock = *static_cast<RunLock*>(context);
        PyEval_RestoreThread(lock.released);
        lock.interrupted = PyErr_CheckSignals() < 0;
        lock.released = PyEval_SaveThread();
        return !lock.interrupted;
    }
};

// The pending exception gains the number of whole steps done, `mcs_done`.
PyObject* raise_with_steps_done(std::uint64_t done) {
    PyRef raised(PyErr_GetRaisedException());
    PyRef count(PyLong_FromUnsignedLongLong(done));
    if (!count || PyObject_SetAttrString(raised.get(), "mcs_done", count.get()) < 0) return nullptr;
    PyErr_SetRaisedException(raised.release());
    return nullptr;
}

PyObject* run_body(PyObject* world, std::uint64_t mcs, bool parallel, std::uint64_t block) {
    PyRef keep_alive(Py_NewRef(world));
    BorrowGuard borrow(as_world(world)->borrow, Borrow::Exclusive);
    if (!borrow.acquire()) return nullptr;
    Impl& impl = impl_of(world);
    if (!impl.driver) {
        PyErr_SetString(PyExc_RuntimeError, "call finalize() first");
        return nullptr;
    }
    morva::Morva& driver = *impl.driver;
    RunLock lock;
    const morva::StepCheck check{&RunLock::keep_going, &lock};
    std::uint64_t done = 0;
    std::exception_ptr fault;
    lock.released = PyEval_SaveThread();
    try {
        done = parallel ? driver.step_parallel(mcs, block, check) : driver.step(mcs, check);
    } catch (...) {
        fault = std::current_exception();
    }
    PyEval_RestoreThread(lock.released);
    if (fault) std::rethrow_exception(fault);
    if (lock.interrupted) return raise_with_steps_done(done);
    // A Ctrl-C during the last step is reported now, with every step done.
    if (PyErr_CheckSignals() < 0) return raise_with_steps_done(done);
    return Py_NewRef(Py_None);
}

// ========================================================================================= options

constexpr const char* option_names[] = {"periodic_shapes", "com_force", "face_connectivity"};

bool* option_slot(morva::WorldOptions& o, std::size_t i) {
    bool* slots[] = {&o.periodic_shapes, &o.com_force, &o.face_connectivity};
    return slots[i];
}

// A bool, or NumPy's bool scalar; None leaves the option as it is.
bool convert_option(PyObject* obj, std::size_t i, std::optional<bool>& out) {
    if (obj == nullptr || obj == Py_None) return true;
    const char* type_name = Py_TYPE(obj)->tp_name;
    if (PyBool_Check(obj) || std::strcmp(type_name, "numpy.bool") == 0 || std::strcmp(type_name, "numpy.bool_") == 0) {
        const int truth = PyObject_IsTrue(obj);
        if (truth < 0) return false;
        out = truth != 0;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "set_options() argument '%s' must be bool or None, not '%s'", option_names[i],
                 type_name);
    return false;
}

// Options shape how finalize builds the trackers, so they are set on the set-up world only.
PyObject* set_options_body(PyObject* world, const std::array<std::optional<bool>, 3>& values) {
    BorrowGuard borrow(as_world(world)->borrow, Borrow::Exclusive);
    if (!borrow.acquire()) return nullptr;
    Impl& impl = impl_of(world);
    if (!impl.setup_world) {
        PyErr_SetString(PyExc_RuntimeError, "set_options after finalize");
        return nullptr;
    }
    for (std::size_t i = 0; i < values.size(); ++i)
        if (values[i]) *option_slot(impl.setup_world->options, i) = *values[i];
    return Py_NewRef(Py_None);
}

PyObject* options_body(PyObject* world) {
    BorrowGuard borrow(as_world(world)->borrow, Borrow::Shared);
    if (!borrow.acquire()) return nullptr;
    morva::WorldOptions o = active_world(world).options;
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t i = 0; i < std::size(option_names); ++i)
        if (PyDict_SetItemString(dict.get(), option_names[i], *option_slot(o, i) ? Py_True : Py_False) < 0)
            return nullptr;
    return dict.release();
}

// ========================================================================================= act model

// The act model's parameters shape the dynamics from the first step, so they are set before finalize.
morva::World* act_setup_world(PyObject* world, const char* function) {
    Impl& impl = impl_of(world);
    if (!impl.setup_world) {
        PyErr_Format(PyExc_RuntimeError, "%s after finalize", function);
        return nullptr;
    }
    return &*impl.setup_world;
}

PyObject* set_act_body(PyObject* world, std::uint64_t cell_type, double lambda, std::uint64_t max_act) {
    BorrowGuard borrow(as_world(world)->borrow, Borrow::Exclusive);
    if (!borrow.acquire()) return nullptr;
    if (cell_type > std::numeric_limits<morva::CellType>::max()) {
        PyErr_Format(PyExc_ValueError, "set_act() cell_type %llu is above %u", static_cast<unsigned long long>(cell_type),
                     unsigned{std::numeric_limits<morva::CellType>::max()});
        return nullptr;
    }
    morva::World* w = act_setup_world(world, "set_act");
    if (!w) return nullptr;
    w->set_act(static_cast<morva::CellType>(cell_type), lambda, max_act);
    return Py_NewRef(Py_None);
}

PyObject* set_act_mean_body(PyObject* world, bool arithmetic) {
    BorrowGuard borrow(as_world(world)->borrow, Borrow::Exclusive);
    if (!borrow.acquire()) return nullptr;
    morva::World* w = act_setup_world(world, "set_act_mean");
    if (!w) return nullptr;
    w->set_act_arithmetic(arithmetic);
    return Py_NewRef(Py_None);
}

// ================================================================ persistent motion, cells' own forces

// A read-only C-contiguous view of an array of `format` ("I": uint32, "d": float64) and the given
// trailing width (0: one value per row), released on scope exit.
class ReadBuffer {
public:
    bool acquire(PyObject* obj, const char* function, const char* name, const char* format, Py_ssize_t width) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_ND) < 0) return false;
        held_ = true;
        const bool format_ok = view_.format && std::string_view(view_.format).find(format) != std::string_view::npos &&
                               view_.itemsize == (format[0] == 'I' ? 4 : 8);
        const bool shape_ok = width == 0 ? view_.ndim == 1 : view_.ndim == 2 && view_.shape[1] == width;
        if (!format_ok || !shape_ok) {
            PyErr_Format(PyExc_ValueError, "%s() argument '%s' must be a C-contiguous %s array%s", function, name,
                         format[0] == 'I' ? "uint32" : "float64", width == 0 ? "" : " shaped (n, 3)");
            return false;
        }
        return true;
    }
    ~ReadBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    template <class T>
    const T* data() const {
        return static_cast<const T*>(view_.buf);
    }
    std::size_t rows() const { return view_.ndim == 0 ? 0 : static_cast<std::size_t>(view_.shape[0]); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

PyObject* set_persistence_body(PyObject* world, std::uint64_t cell_type, double lambda, std::uint64_t interval,
                               double persistence) {
    BorrowGuard borrow(as_world(world)->borrow, Borrow::Exclusive);
    if (!borrow.acquire()) return nullptr;
    if (cell_type > std::numeric_limits<morva::CellType>::max()) {
        PyErr_Format(PyExc_ValueError, "set_persistence() cell_type %llu is above %u",
                     static_cast<unsigned long long>(cell_type), unsigned{std::numeric_limits<morva::CellType>::max()});
        return nullptr;
    }
    impl_of(world).active().set_persistence(static_cast<morva::CellType>(cell_type), lambda, interval, persistence);
    return Py_NewRef(Py_None);
}

// Sets one vector per listed cell with `set(world, id, x, y, z)`, all or none: the unit `Unit` of the
// world is restored when one is refused.
template <class Unit, class Set>
PyObject* set_vectors_body(PyObject* world, PyObject* ids_obj, PyObject* vectors_obj, const char* function,
                           Unit morva::WorldData::*unit, Set set) {
    ReadBuffer ids, vectors;
    if (!ids.acquire(ids_obj, function, "ids", "I", 0)) return nullptr;
    if (vectors_obj && !vectors.acquire(vectors_obj, function, "vectors", "d", 3)) return nullptr;
    if (vectors_obj && vectors.rows() != ids.rows()) {
        PyErr_Format(PyExc_ValueError, "%s(): %zu ids but %zu vectors", function, ids.rows(), vectors.rows());
        return nullptr;
    }
    BorrowGuard borrow(as_world(world)->borrow, Borrow::Exclusive);
    if (!borrow.acquire()) return nullptr;
    morva::World& w = impl_of(world).active();
    Unit kept = w.*unit;
    try {
        for (std::size_t i = 0; i < ids.rows(); ++i) {
            const morva::Label id = ids.data<std::uint32_t>()[i];
            const double* v = vectors_obj ? vectors.data<double>() + 3 * i : nullptr;
            set(w, id, v);
        }
    } catch (...) {
        w.*unit = std::move(kept);
        throw;
    }
    return Py_NewRef(Py_None);
}

PyObject* set_directions_body(PyObject* world, PyObject* ids, PyObject* vectors) {
    return set_vectors_body(world, ids, vectors, "set_directions", &morva::World::persistence,
                            [](morva::World& w, morva::Label id, const double* v) { w.set_direction(id, v[0], v[1], v[2]); });
}

PyObject* set_cell_forces_body(PyObject* world, PyObject* ids, PyObject* vectors) {
    return set_vectors_body(world, ids, vectors, "set_cell_forces", &morva::World::external,
                            [](morva::World& w, morva::Label id, const double* v) {
                                if (v) w.set_cell_force(id, v[0], v[1], v[2]);
                                else if (id == 0 || id >= w.cells.size())
                                    throw morva::BadRequest("cell_id " + std::to_string(id) + " is not a cell");
                                else w.clear_cell_force(id);
                            });
}

// Which cells have their own force, by id.
PyObject* own_forces_body(PyObject* module, PyObject* world) {
    BorrowGuard borrow(as_world(world)->borrow, Borrow::Shared);
    if (!borrow.acquire()) return nullptr;
    const morva::World& w = active_world(world);
    const std::vector<std::uint8_t>& own = w.external.own_force_by_cell;
    const std::size_t n = w.cells.size();
    return filled_array<std::uint8_t>(module, {n}, "bool", n, [&](std::uint8_t* out) {
        for (std::size_t i = 0; i < n; ++i) out[i] = i < own.size() ? own[i] : 0;
    });
}

// Every site's activity; zeros while no type has the act model.
PyObject* activity_body(PyObject* module, PyObject* world) {
    BorrowGuard borrow(as_world(world)->borrow, Borrow::Shared);
    if (!borrow.acquire()) return nullptr;
    const morva::World& w = active_world(world);
    const auto& d = w.lattice.dims;
    const std::vector<morva::Activity>& activity = w.act.activity;
    return filled_array<morva::Activity>(module, {d[2], d[1], d[0]}, "uint16", w.lattice.n_sites(),
                                         [&](morva::Activity* out) {
                                             if (activity.empty()) std::fill_n(out, w.lattice.n_sites(), 0);
                                             else std::copy(activity.begin(), activity.end(), out);
                                         });
}

// A site's activity may lie from 0 to max_act of its cell's type: 0 on the medium and on cells whose
// type has no act model, as the copies leave them. The values are checked before any is written, so a
// refused array changes nothing.
PyObject* set_activity_body(PyObject* world, PyObject* values) {
    Py_buffer view{};
    if (PyObject_GetBuffer(values, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return nullptr;
    const std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> release(&view, PyBuffer_Release);
    const std::string_view format = view.format ? view.format : "B";
    if (view.itemsize != sizeof(morva::Activity) || (format != "H" && format != "=H" && format != "<H")) {
        PyErr_Format(PyExc_TypeError, "set_activity() values must be uint16, not items of format '%s'",
                     view.format ? view.format : "B");
        return nullptr;
    }
    BorrowGuard borrow(as_world(world)->borrow, Borrow::Exclusive);
    if (!borrow.acquire()) return nullptr;
    morva::World& w = impl_of(world).active();
    const std::size_t n = w.lattice.n_sites();
    const auto count = static_cast<std::size_t>(view.len) / sizeof(morva::Activity);
    if (count != n) {
        PyErr_Format(PyExc_ValueError, "set_activity() got %zu values for %zu sites", count, n);
        return nullptr;
    }
    if (w.act.activity.empty()) {
        PyErr_SetString(PyExc_ValueError, "set_activity() needs a cell type with the act model (set_act)");
        return nullptr;
    }
    const auto* given = static_cast<const morva::Activity*>(view.buf);
    const auto& d = w.lattice.dims;
    for (std::size_t site = 0; site < n; ++site) {
        const Label label = w.lattice.labels[site];
        const morva::Activity top = label == 0 ? morva::Activity{0} : w.act.max_of(w.cells[label].cell_type);
        if (given[site] > top) {
            PyErr_Format(PyExc_ValueError,
                         "set_activity() site (x=%zu, y=%zu, z=%zu) of label %u gets %u, above %u, the most its "
                         "cell's type allows (max_act; 0 for the medium and types without the act model)",
                         site % d[0], site / d[0] % d[1], site / (d[0] * d[1]), static_cast<unsigned>(label),
                         unsigned{given[site]}, unsigned{top});
            return nullptr;
        }
    }
    std::copy(given, given + n, w.act.activity.begin());
    return Py_NewRef(Py_None);
}

// ========================================================================================== fields

// A C-contiguous view of float32 or float64 values (T), released on scope exit; errors name the
// function and the argument.
template <class T>
class ValuesView {
    static_assert(std::is_same_v<T, float> || std::is_same_v<T, double>);
    static constexpr char code = std::is_same_v<T, float> ? 'f' : 'd';

public:
    bool acquire(PyObject* obj, bool writable, const char* function, const char* argument) {
        const int flags = PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
        held_ = true;
        const std::string_view format = view_.format ? view_.format : "B";
        const bool native_order = format.size() == 1 || (format.size() == 2 && (format[0] == '<' || format[0] == '='));
        if (view_.itemsize != sizeof(T) || !native_order || format.back() != code) {
            PyErr_Format(PyExc_TypeError, "%s() argument '%s' must hold %s values, not format '%s'", function,
                         argument, code == 'f' ? "float32" : "float64", view_.format ? view_.format : "B");
            return false;
        }
        return true;
    }
    // The same, holding exactly one value per site of a lattice of `sites`.
    bool acquire_sites(PyObject* obj, bool writable, std::size_t sites, const char* function, const char* argument) {
        if (!acquire(obj, writable, function, argument)) return false;
        if (size() != sites) {
            PyErr_Format(PyExc_ValueError, "%s() argument '%s' holds %zu values for %zu sites", function, argument,
                         size(), sites);
            return false;
        }
        return true;
    }
    ~ValuesView() {
        if (held_) PyBuffer_Release(&view_);
    }
    std::size_t size() const { return static_cast<std::size_t>(view_.len) / sizeof(T); }
    T* data() const { return static_cast<T*>(view_.buf); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// One diffusion-decay step of the lattice-shaped array `values` into `out`, as the fields take it.
PyObject* diffuse_body(PyObject* world, PyObject* values, PyObject* out, double d, double decay, double dt) {
    BorrowGuard borrow(as_world(world)->borrow, Borrow::Shared);
    if (!borrow.acquire()) return nullptr;
    const morva::Lattice& lattice = active_world(world).lattice;
    const std::size_t n = lattice.n_sites();
    ValuesView<float> in_view, out_view;
    if (!in_view.acquire_sites(values, false, n, "diffuse", "values") ||
        !out_view.acquire_sites(out, true, n, "diffuse", "out"))
        return nullptr;
    const float* in = in_view.data();
    float* to = out_view.data();
    if (n != 0 && to < in + n && in < to + n) {
        PyErr_SetString(PyExc_ValueError, "diffuse() arguments 'values' and 'out' must not overlap");
        return nullptr;
    }
    morva::diffusion_step(lattice, in, to, d, decay, dt);
    return Py_NewRef(Py_None);
}

// Field i's concentrations replaced by the float32 array `values`, in site-index order.
PyObject* set_field_body(PyObject* world, PyObject* index, PyObject* values) {
    BorrowGuard borrow(as_world(world)->borrow, Borrow::Exclusive);
    std::uint64_t field_idx = 0;
    if (!borrow.acquire() || !convert_u64(index, field_idx)) return nullptr;
    morva::World& w = impl_of(world).active();
    MORVA_CHECK_INDEX(field_idx, w.fields.size());
    std::vector<float>& conc = w.fields[field_idx].conc;
    ValuesView<float> view;
    if (!view.acquire_sites(values, false, conc.size(), "set_field", "values")) return nullptr;
    if (!conc.empty()) std::memcpy(conc.data(), view.data(), conc.size() * sizeof(float));
    return Py_NewRef(Py_None);
}

// ================================================================================ neighbour sums

// pair_sums(first, second, weights, values): morva::pair_sums on buffers, every position checked.
PyObject* pair_sums_body(PyObject* module, PyObject* first_obj, PyObject* second_obj, PyObject* weights_obj,
                         PyObject* values_obj) {
    ReadBuffer first, second, weights, values;
    if (!first.acquire(first_obj, "pair_sums", "first", "I", 0) ||
        !second.acquire(second_obj, "pair_sums", "second", "I", 0) ||
        !weights.acquire(weights_obj, "pair_sums", "weights", "d", 0) ||
        !values.acquire(values_obj, "pair_sums", "values", "d", 0))
        return nullptr;
    const std::size_t pairs = first.rows(), n = values.rows();
    if (second.rows() != pairs || weights.rows() != pairs) {
        PyErr_Format(PyExc_ValueError, "pair_sums(): %zu first, %zu second and %zu weights differ in length", pairs,
                     second.rows(), weights.rows());
        return nullptr;
    }
    const std::uint32_t* a = first.data<std::uint32_t>();
    const std::uint32_t* b = second.data<std::uint32_t>();
    const double* w = weights.data<double>();
    const double* v = values.data<double>();
    std::uint32_t top = 0;  // the largest position, in a loop the compiler can vectorise
    for (std::size_t k = 0; k < pairs; ++k) top = std::max({top, a[k], b[k]});
    if (pairs != 0 && top >= n) {
        std::size_t k = 0;
        while (a[k] < n && b[k] < n) ++k;
        PyErr_Format(PyExc_ValueError, "pair_sums(): pair %zu joins positions %u and %u of %zu values", k,
                     unsigned{a[k]}, unsigned{b[k]}, n);
        return nullptr;
    }
    return filled_array<double>(module, {n}, "float64", n, [&](double* out) {
        morva::pair_sums({a, pairs}, {b, pairs}, {w, pairs}, {v, n}, {out, n});
    });
}

// ============================================================================ Runge-Kutta of ODEs in cells

// Views of `objects` (the first writable when `first_writable`), all of the first one's size.
template <std::size_t N>
bool float64_views(std::array<ValuesView<double>, N>& views, const std::array<PyObject*, N>& objects,
                   const std::array<const char*, N>& names, bool first_writable, const char* function) {
    for (std::size_t i = 0; i < N; ++i) {
        if (!views[i].acquire(objects[i], i == 0 && first_writable, function, names[i])) return false;
        if (views[i].size() != views[0].size()) {
            PyErr_Format(PyExc_ValueError, "%s() argument '%s' holds %zu values, '%s' %zu", function, names[i],
                         views[i].size(), names[0], views[0].size());
            return false;
        }
    }
    return true;
}

// rk4_stage(out, state, slope, factor) and rk4_finish(state, k1, k2, k3, k4, factor): the engine's
// Runge-Kutta arithmetic (cell_ode.hpp) on float64 buffers of one size.
PyObject* rk4_stage_body(PyObject* out, PyObject* state, PyObject* slope, double factor) {
    std::array<ValuesView<double>, 3> views;
    if (!float64_views<3>(views, {out, state, slope}, {"out", "state", "slope"}, true, "rk4_stage")) return nullptr;
    const std::size_t n = views[0].size();
    morva::rk4_stage({views[1].data(), n}, {views[2].data(), n}, factor, {views[0].data(), n});
    return Py_NewRef(Py_None);
}

PyObject* rk4_finish_body(PyObject* state, PyObject* k1, PyObject* k2, PyObject* k3, PyObject* k4, double factor) {
    std::array<ValuesView<double>, 5> views;
    if (!float64_views<5>(views, {state, k1, k2, k3, k4}, {"state", "k1", "k2", "k3", "k4"}, true, "rk4_finish"))
        return nullptr;
    const std::size_t n = views[0].size();
    morva::rk4_finish({views[0].data(), n}, {views[1].data(), n}, {views[2].data(), n}, {views[3].data(), n},
                      {views[4].data(), n}, factor);
    return Py_NewRef(Py_None);
}

// ======================================================================================= functions

PyObject* native_labels(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"world", nullptr};
    PyObject* world = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:labels", const_cast<char**>(names), &world) ||
        !require_world(module, world, "labels"))
        return nullptr;
    return guarded(world_type(module), [&] { return labels_body(module, world); });
}

PyObject* native_field(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"world", "i", nullptr};
    PyObject *world = nullptr, *index = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:field", const_cast<char**>(names), &world, &index) ||
        !require_world(module, world, "field"))
        return nullptr;
    return guarded(world_type(module), [&] { return field_body(module, world, index); });
}

PyObject* native_cells(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"world", "columns", nullptr};
    PyObject* world = nullptr;
    PyObject* columns = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:cells", const_cast<char**>(names), &world, &columns) ||
        !require_world(module, world, "cells"))
        return nullptr;
    const auto chosen = chosen_columns(columns);
    if (!chosen) return nullptr;
    return guarded(world_type(module), [&] { return cells_body(module, world, *chosen); });
}

PyObject* native_contacts(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"world", nullptr};
    PyObject* world = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:contacts", const_cast<char**>(names), &world) ||
        !require_world(module, world, "contacts"))
        return nullptr;
    return guarded(world_type(module), [&] { return contacts_body(module, world); });
}

PyObject* native_tissue(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"world", "contacts", nullptr};
    PyObject* world = nullptr;
    int contacts = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|p:tissue", const_cast<char**>(names), &world, &contacts) ||
        !require_world(module, world, "tissue"))
        return nullptr;
    return guarded(world_type(module), [&] { return tissue_body(module, world, contacts != 0); });
}

PyObject* native_divide(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"world", "ids", "rules", "normals", "reset_target", nullptr};
    PyObject *world = nullptr, *ids = nullptr, *rules = nullptr, *normals = nullptr;
    double reset_target = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOd:divide", const_cast<char**>(names), &world, &ids, &rules,
                                     &normals, &reset_target) ||
        !require_world(module, world, "divide"))
        return nullptr;
    return guarded(world_type(module), [&] { return divide_body(world, ids, rules, normals, reset_target); });
}

PyObject* native_dumps(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"world", nullptr};
    PyObject* world = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:dumps", const_cast<char**>(names), &world) ||
        !require_world(module, world, "dumps"))
        return nullptr;
    return guarded(world_type(module), [&] { return dumps_body(world); });
}

PyObject* native_loads(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"data", nullptr};
    PyObject* data = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:loads", const_cast<char**>(names), &data)) return nullptr;
    return guarded(world_type(module), [&] { return loads_body(module, data); });
}

PyObject* native_run(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"world", "mcs", "parallel", "block", nullptr};
    PyObject *world = nullptr, *mcs_obj = nullptr, *block_obj = nullptr;
    int parallel = 0;
    std::uint64_t mcs = 0, block = 16;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$pO:run", const_cast<char**>(names), &world, &mcs_obj,
                                     &parallel, &block_obj) ||
        !require_world(module, world, "run") || !convert_u64(mcs_obj, mcs) ||
        (block_obj && !convert_u64(block_obj, block)))
        return nullptr;
    return guarded(world_type(module), [&] { return run_body(world, mcs, parallel != 0, block); });
}

PyObject* native_set_options(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"world", "periodic_shapes", "com_force", "face_connectivity", nullptr};
    PyObject* world = nullptr;
    std::array<PyObject*, 3> given{};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOO:set_options", const_cast<char**>(names), &world,
                                     &given[0], &given[1], &given[2]) ||
        !require_world(module, world, "set_options"))
        return nullptr;
    std::array<std::optional<bool>, 3> values;
    for (std::size_t i = 0; i < given.size(); ++i)
        if (!convert_option(given[i], i, values[i])) return nullptr;
    return guarded(world_type(module), [&] { return set_options_body(world, values); });
}

PyObject* native_options(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"world", nullptr};
    PyObject* world = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:options", const_cast<char**>(names), &world) ||
        !require_world(module, world, "options"))
        return nullptr;
    return guarded(world_type(module), [&] { return options_body(world); });
}

PyObject* native_set_act(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"world", "cell_type", "lambda_act", "max_act", nullptr};
    PyObject *world = nullptr, *type_obj = nullptr, *max_obj = nullptr;
    double lambda = 0;
    std::uint64_t cell_type = 0, max_act = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOdO:set_act", const_cast<char**>(names), &world, &type_obj,
                                     &lambda, &max_obj) ||
        !require_world(module, world, "set_act") || !convert_u64(type_obj, cell_type) || !convert_u64(max_obj, max_act))
        return nullptr;
    return guarded(world_type(module), [&] { return set_act_body(world, cell_type, lambda, max_act); });
}

PyObject* native_set_act_mean(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"world", "mean", nullptr};
    PyObject* world = nullptr;
    const char* mean = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Os:set_act_mean", const_cast<char**>(names), &world, &mean) ||
        !require_world(module, world, "set_act_mean"))
        return nullptr;
    const bool arithmetic = std::strcmp(mean, "arithmetic") == 0;
    if (!arithmetic && std::strcmp(mean, "geometric") != 0) {
        PyErr_Format(PyExc_ValueError, "set_act_mean() mean must be 'geometric' or 'arithmetic', not '%s'", mean);
        return nullptr;
    }
    return guarded(world_type(module), [&] { return set_act_mean_body(world, arithmetic); });
}

PyObject* native_activity(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"world", nullptr};
    PyObject* world = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:activity", const_cast<char**>(names), &world) ||
        !require_world(module, world, "activity"))
        return nullptr;
    return guarded(world_type(module), [&] { return activity_body(module, world); });
}

PyObject* native_set_activity(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"world", "values", nullptr};
    PyObject *world = nullptr, *values = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:set_activity", const_cast<char**>(names), &world, &values) ||
        !require_world(module, world, "set_activity"))
        return nullptr;
    return guarded(world_type(module), [&] { return set_activity_body(world, values); });
}

PyObject* native_set_persistence(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"world", "cell_type", "lambda_dir", "interval", "persistence", nullptr};
    PyObject *world = nullptr, *type_obj = nullptr, *interval_obj = nullptr;
    double lambda = 0, persistence = 0;
    std::uint64_t cell_type = 0, interval = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOdOd:set_persistence", const_cast<char**>(names), &world,
                                     &type_obj, &lambda, &interval_obj, &persistence) ||
        !require_world(module, world, "set_persistence") || !convert_u64(type_obj, cell_type) ||
        !convert_u64(interval_obj, interval))
        return nullptr;
    return guarded(world_type(module),
                   [&] { return set_persistence_body(world, cell_type, lambda, interval, persistence); });
}

template <PyObject* (*Body)(PyObject*, PyObject*, PyObject*)>
PyObject* native_vectors(PyObject* module, PyObject* args, PyObject* kwargs, const char* format, const char* function) {
    static const char* names[] = {"world", "ids", "vectors", nullptr};
    PyObject *world = nullptr, *ids = nullptr, *vectors = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), &world, &ids, &vectors) ||
        !require_world(module, world, function))
        return nullptr;
    return guarded(world_type(module), [&] { return Body(world, ids, vectors); });
}

PyObject* native_set_directions(PyObject* module, PyObject* args, PyObject* kwargs) {
    return native_vectors<set_directions_body>(module, args, kwargs, "OOO:set_directions", "set_directions");
}

PyObject* native_set_cell_forces(PyObject* module, PyObject* args, PyObject* kwargs) {
    return native_vectors<set_cell_forces_body>(module, args, kwargs, "OO|O:set_cell_forces", "set_cell_forces");
}

PyObject* native_own_forces(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"world", nullptr};
    PyObject* world = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:own_forces", const_cast<char**>(names), &world) ||
        !require_world(module, world, "own_forces"))
        return nullptr;
    return guarded(world_type(module), [&] { return own_forces_body(module, world); });
}

PyObject* native_diffuse(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"world", "values", "out", "d", "decay", "dt", nullptr};
    PyObject *world = nullptr, *values = nullptr, *out = nullptr;
    double d = 0, decay = 0, dt = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOddd:diffuse", const_cast<char**>(names), &world, &values, &out,
                                     &d, &decay, &dt) ||
        !require_world(module, world, "diffuse"))
        return nullptr;
    return guarded(world_type(module), [&] { return diffuse_body(world, values, out, d, decay, dt); });
}

PyObject* native_pair_sums(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"first", "second", "weights", "values", nullptr};
    PyObject *first = nullptr, *second = nullptr, *weights = nullptr, *values = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:pair_sums", const_cast<char**>(names), &first, &second,
                                     &weights, &values))
        return nullptr;
    return guarded(world_type(module), [&] { return pair_sums_body(module, first, second, weights, values); });
}

PyObject* native_rk4_stage(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"out", "state", "slope", "factor", nullptr};
    PyObject *out = nullptr, *state = nullptr, *slope = nullptr;
    double factor = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOd:rk4_stage", const_cast<char**>(names), &out, &state, &slope,
                                     &factor))
        return nullptr;
    return guarded(world_type(module), [&] { return rk4_stage_body(out, state, slope, factor); });
}

PyObject* native_rk4_finish(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"state", "k1", "k2", "k3", "k4", "factor", nullptr};
    PyObject *state = nullptr, *k1 = nullptr, *k2 = nullptr, *k3 = nullptr, *k4 = nullptr;
    double factor = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOd:rk4_finish", const_cast<char**>(names), &state, &k1, &k2,
                                     &k3, &k4, &factor))
        return nullptr;
    return guarded(world_type(module), [&] { return rk4_finish_body(state, k1, k2, k3, k4, factor); });
}

PyObject* native_set_field(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"world", "i", "values", nullptr};
    PyObject *world = nullptr, *index = nullptr, *values = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:set_field", const_cast<char**>(names), &world, &index,
                                     &values) ||
        !require_world(module, world, "set_field"))
        return nullptr;
    return guarded(world_type(module), [&] { return set_field_body(world, index, values); });
}

template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyMethodDef function(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F)), METH_VARARGS | METH_KEYWORDS, doc};
}

PyMethodDef native_methods[] = {
    function<native_describe>("describe",
                              "describe()\n--\n\n"
                              "The engine's energy terms and world options: one dict per term or option with its "
                              "name, what it is ('term' or 'option'), a summary and its parameters (name, scope, "
                              "kind, range and the value that leaves it off).\n\n"
                              "Examples\n--------\n"
                              ">>> [u['name'] for u in describe() if u['what'] == 'option']\n"
                              "['periodic_shapes', 'com_force', 'face_connectivity']"),
    function<native_labels>("labels",
                            "labels(world)\n--\n\n"
                            "The label grid as a new uint32 array shaped (nz, ny, nx).\n\n"
                            "Examples\n--------\n"
                            ">>> grid = labels(world)\n"
                            ">>> grid[z, y, x] == world.snapshot()[x + nx * (y + ny * z)]\n"
                            "True"),
    function<native_field>("field",
                           "field(world, i)\n--\n\n"
                           "Field i's concentrations as a new float32 array shaped (nz, ny, nx).\n\n"
                           "Examples\n--------\n"
                           ">>> field(world, 0).ravel().tolist() == world.field_conc(0)\n"
                           "True"),
    function<native_diffuse>("diffuse",
                             "diffuse(world, values, out, d, decay, dt)\n--\n\n"
                             "One explicit diffusion-decay step, the one fields take, of `values` into `out`:\n"
                             "two distinct float32 arrays of one value per site in site-index order (any\n"
                             "C-contiguous buffer, e.g. shaped (nz, ny, nx)), on the world's lattice and\n"
                             "boundaries. out = v + dt * (d * sum(neighbour - v) - decay * v) over the face\n"
                             "neighbours, non-positive and NaN results stored as 0.\n\n"
                             "Examples\n--------\n"
                             ">>> out = numpy.empty_like(values); diffuse(world, values, out, 0.1, 0.0, 1.0)\n"),
    function<native_set_field>("set_field",
                               "set_field(world, i, values)\n--\n\n"
                               "Replace field i's concentrations with `values`, a float32 buffer of one value\n"
                               "per site in site-index order (e.g. an array shaped (nz, ny, nx)).\n\n"
                               "Examples\n--------\n"
                               ">>> set_field(world, 0, field(world, 0) * 2)\n"),
    function<native_cells>("cells",
                           "cells(world, columns=None)\n--\n\n"
                           "The cell table as a dict of new arrays indexed by cell id (0 = medium), all\n"
                           "columns or those named in `columns`:\n"
                           "type (uint16), volume and surface (int64), target_volume, lambda_volume,\n"
                           "target_surface, lambda_surface (float64), com (float64, shape (n, 3), x y z),\n"
                           "direction (the preferred direction of persistent motion, (0, 0, 0) until drawn)\n"
                           "and force (the external force the cell feels), float64 shaped (n, 3), and length\n"
                           "(float64; NaN for the medium and cells of fewer than two sites).\n\n"
                           "Examples\n--------\n"
                           ">>> table = cells(world)\n"
                           ">>> table[\"volume\"].tolist() == world.cell_volumes()\n"
                           "True\n"
                           ">>> sorted(cells(world, [\"volume\", \"type\"]))\n"
                           "['type', 'volume']"),
    function<native_contacts>("contacts",
                              "contacts(world)\n--\n\n"
                              "The contact table as three new 1-D arrays (a, b, area): each pair of labels\n"
                              "a < b that touch (0 = medium), sorted by a then b, with area the number of\n"
                              "(site, neighbour) pairs in the model's neighbourhood joining them (int64), the\n"
                              "surface term's unit: a cell's surface is the sum of the areas of its rows.\n\n"
                              "Examples\n--------\n"
                              ">>> a, b, area = contacts(world)\n"
                              ">>> int(area[(a == 1) | (b == 1)].sum()) == world.cell_surfaces()[1]\n"
                              "True"),
    function<native_tissue>("tissue",
                            "tissue(world, contacts=False)\n--\n\n"
                            "The live cells (volume > 0, ascending ids) as a dict of new arrays, one entry per\n"
                            "cell: ids and type (int64), volume, surface, target_volume (float64); \"records\"\n"
                            "is the cell table's length. With `contacts`, also the contact table's pairs of\n"
                            "cells in its order as positions in ids, first and second (uint32), with their\n"
                            "area (float64), and each cell's area with the medium, medium (float64).\n\n"
                            "Examples\n--------\n"
                            ">>> t = tissue(world, contacts=True)\n"
                            ">>> bool((t[\"medium\"] + numpy.bincount(t[\"first\"], t[\"area\"], t[\"ids\"].size)\n"
                            "...       + numpy.bincount(t[\"second\"], t[\"area\"], t[\"ids\"].size) == t[\"surface\"]).all())\n"
                            "True"),
    function<native_divide>("divide",
                            "divide(world, ids, rules, normals, reset_target)\n--\n\n"
                            "Divide the cells `ids` (distinct), each by its own cut: rules[i] 0 across the\n"
                            "longest side of its bounding box through the middle (as divide_cells), 1 across\n"
                            "the shortest side the lattice spans, 2 by the plane through its centre of mass\n"
                            "perpendicular to normals[i]; sites on the positive side go to the daughter.\n"
                            "Parent and daughter get target volume reset_target. Returns the daughters' ids.\n\n"
                            "Examples\n--------\n"
                            ">>> divide(world, [1], [2], [(0.0, 1.0, 0.0)], 8.0)\n"
                            "[2]"),
    function<native_dumps>("dumps",
                           "dumps(world)\n--\n\n"
                           "The whole state of the world, in either state, as checkpoint bytes\n"
                           "(format: docs/checkpoint-format.md).\n\n"
                           "Examples\n--------\n"
                           ">>> twin = loads(dumps(world))\n"
                           ">>> world.step(10); twin.step(10)\n"
                           ">>> twin.snapshot() == world.snapshot()\n"
                           "True"),
    function<native_loads>("loads",
                           "loads(data)\n--\n\n"
                           "A new morva_core.World from checkpoint bytes (any bytes-like object).\n"
                           "Bad data raises ValueError naming what is wrong; nothing is built.\n\n"
                           "Examples\n--------\n"
                           ">>> loads(dumps(world)).dims() == world.dims()\n"
                           "True"),
    function<native_run>("run",
                         "run(world, mcs, *, parallel=False, block=16)\n--\n\n"
                         "step(mcs), or step_parallel(mcs, block) when parallel, bit for bit, without\n"
                         "holding the interpreter lock. The world stays borrowed: calls on it from\n"
                         "other threads raise RuntimeError until run returns. Signals are handled\n"
                         "between steps; the exception a handler raises (KeyboardInterrupt) carries\n"
                         "`mcs_done`, the number of whole steps done, and the world is then as that\n"
                         "many steps leave it.\n\n"
                         "Examples\n--------\n"
                         ">>> try:\n"
                         "...     run(world, 10**6)\n"
                         "... except KeyboardInterrupt as stop:\n"
                         "...     print(stop.mcs_done, \"steps done\")"),
    function<native_set_options>(
        "set_options",
        "set_options(world, *, periodic_shapes=None, com_force=None, face_connectivity=None)\n--\n\n"
        "Switches world options on or off before finalize (None leaves one as it is). All off is\n"
        "morva_core's behaviour. periodic_shapes: centres, lengths, the length term and division\n"
        "planes follow each cell across periodic seams. com_force: the external force acts on each\n"
        "cell's centre of mass. face_connectivity: the connectivity veto keeps guarded cells connected\n"
        "through faces. Options are kept by dumps/loads. After finalize: RuntimeError.\n\n"
        "Examples\n--------\n"
        ">>> set_options(world, periodic_shapes=True, com_force=True)\n"
        ">>> options(world)[\"com_force\"]\n"
        "True"),
    function<native_options>("options",
                             "options(world)\n--\n\n"
                             "The world's options as a dict of bools: periodic_shapes, com_force,\n"
                             "face_connectivity.\n\n"
                             "Examples\n--------\n"
                             ">>> options(world)\n"
                             "{'periodic_shapes': False, 'com_force': False, 'face_connectivity': False}"),
    function<native_set_act>(
        "set_act",
        "set_act(world, cell_type, lambda_act, max_act)\n--\n\n"
        "Gives a cell type the act model before finalize: a copy from source s into target t costs\n"
        "(lambda_act / max_act) * (A(t) - A(s)), A being the mean activity of a site and its neighbours\n"
        "of the same cell; a copied site's activity becomes max_act (0 to 65535) and every activity\n"
        "drops by 1 after each step. The source cell's type gives the parameters (the target's when the\n"
        "source is the medium); lambda_act or max_act 0 leaves the type out. step_parallel refuses it.\n\n"
        "Examples\n--------\n"
        ">>> set_act(world, 1, 200.0, 40)\n"),
    function<native_set_act_mean>("set_act_mean",
                                  "set_act_mean(world, mean)\n--\n\n"
                                  "The act model's local mean before finalize: 'geometric' (the default; 0 as soon "
                                  "as one activity is 0) or 'arithmetic'.\n\n"
                                  "Examples\n--------\n"
                                  ">>> set_act_mean(world, 'arithmetic')\n"),
    function<native_activity>("activity",
                              "activity(world)\n--\n\n"
                              "Every site's act-model activity as a new uint16 array shaped (nz, ny, nx);\n"
                              "zeros while no type has the act model.\n\n"
                              "Examples\n--------\n"
                              ">>> activity(world).max() <= 40\n"
                              "True"),
    function<native_set_activity>(
        "set_activity",
        "set_activity(world, values)\n--\n\n"
        "Sets every site's act-model activity from a C-contiguous uint16 buffer of one value per site\n"
        "(site x + nx * (y + ny * z), the order of activity(world)), in either state of the world. A\n"
        "site's value must lie from 0 to max_act of its cell's type (0 on the medium and on types\n"
        "without the act model); a refused array changes nothing.\n\n"
        "Examples\n--------\n"
        ">>> values = activity(world); values[labels(world) == 1] = 40\n"
        ">>> set_activity(world, values)\n"),
    function<native_set_persistence>(
        "set_persistence",
        "set_persistence(world, cell_type, lambda_dir, interval, persistence)\n--\n\n"
        "Gives a cell type persistent motion (before or after finalize): a copy that moves the centre of\n"
        "a cell of the type by dc adds -lambda_dir * p . dc / |dc|, p the cell's preferred direction.\n"
        "Every `interval` steps (>= 1) p turns to the cell's displacement over them, with angular noise\n"
        "of width pi * (1 - persistence), persistence in [0, 1]. Directions are drawn from the world's\n"
        "generator before a cell's first step. lambda_dir 0 leaves the type out.\n\n"
        "Examples\n--------\n"
        ">>> set_persistence(world, 1, 20.0, 10, 0.9)\n"),
    function<native_set_directions>(
        "set_directions",
        "set_directions(world, ids, vectors)\n--\n\n"
        "Sets the preferred direction of each cell ids[i] (uint32 array) to vectors[i] (float64 array\n"
        "shaped (n, 3)), kept as its unit vector; (0, 0, 0), the medium and z != 0 in a flat world are\n"
        "refused and then nothing is set. cells(world)['direction'] reads them back.\n\n"
        "Examples\n--------\n"
        ">>> set_directions(world, np.array([1], np.uint32), np.array([[3.0, 4.0, 0.0]]))\n"
        ">>> cells(world)['direction'][1].tolist()\n"
        "[0.6, 0.8, 0.0]"),
    function<native_set_cell_forces>(
        "set_cell_forces",
        "set_cell_forces(world, ids, vectors=None)\n--\n\n"
        "Gives each cell ids[i] (uint32 array) its own external force vectors[i] (float64 array shaped\n"
        "(n, 3)) in place of its type's; without vectors the cells read their type's force again. The\n"
        "medium is refused and then nothing is set. cells(world)['force'] reads the force each cell feels.\n\n"
        "Examples\n--------\n"
        ">>> set_cell_forces(world, np.array([2], np.uint32), np.array([[0.5, 0.0, 0.0]]))\n"
        ">>> cells(world)['force'][2].tolist()\n"
        "[0.5, 0.0, 0.0]"),
    function<native_own_forces>("own_forces",
                                "own_forces(world)\n--\n\n"
                                "A new bool array by cell id: True where the cell has its own external force.\n\n"
                                "Examples\n--------\n"
                                ">>> own_forces(world).shape == (len(world.cell_volumes()),)\n"
                                "True"),
    function<native_pair_sums>("pair_sums",
                               "pair_sums(first, second, weights, values)\n--\n\n"
                               "Sums over pairs both ways: a new float64 array shaped like `values` whose entry i\n"
                               "adds weights[k] * values[second[k]] over the pairs k with first[k] = i and,\n"
                               "summed apart, weights[k] * values[first[k]] over those with second[k] = i (first\n"
                               "and second uint32, weights and values float64, all 1-D and C-contiguous), as\n"
                               "bincount(first, weights * values[second]) + bincount(second, weights *\n"
                               "values[first]) gives it, bit for bit.\n\n"
                               "Examples\n--------\n"
                               ">>> pair_sums(np.array([0], np.uint32), np.array([1], np.uint32), np.array([2.0]),\n"
                               "...           np.array([1.0, 10.0])).tolist()\n"
                               "[20.0, 2.0]"),
    function<native_rk4_stage>("rk4_stage",
                               "rk4_stage(out, state, slope, factor)\n--\n\n"
                               "out = state + factor * slope, element by element, into `out`: three C-contiguous\n"
                               "float64 arrays of one size (any shape), the state a Runge-Kutta stage reads.\n\n"
                               "Examples\n--------\n"
                               ">>> out = np.empty(2); rk4_stage(out, np.ones(2), np.array([2.0, 4.0]), 0.5); out.tolist()\n"
                               "[2.0, 3.0]"),
    function<native_rk4_finish>("rk4_finish",
                                "rk4_finish(state, k1, k2, k3, k4, factor)\n--\n\n"
                                "state += factor * (k1 + 2 k2 + 2 k3 + k4) in place, summed left to right as NumPy\n"
                                "would, bit for bit: the end of a classical Runge-Kutta step (factor h / 6), on\n"
                                "C-contiguous float64 arrays of one size.\n\n"
                                "Examples\n--------\n"
                                ">>> y = np.zeros(1); rk4_finish(y, *[np.ones(1)] * 4, 0.5); y.tolist()\n"
                                "[3.0]"),
    {nullptr, nullptr, 0, nullptr},
};

int native_traverse(PyObject* module, visitproc visit, void* arg) {
    if (auto* state = static_cast<NativeState*>(PyModule_GetState(module))) {
        Py_VISIT(state->world_type);
        Py_VISIT(state->numpy_empty);
    }
    return 0;
}

int native_clear(PyObject* module) {
    if (auto* state = static_cast<NativeState*>(PyModule_GetState(module))) {
        Py_CLEAR(state->world_type);
        Py_CLEAR(state->numpy_empty);
    }
    return 0;
}

void native_free(void* module) { native_clear(static_cast<PyObject*>(module)); }

PyModuleDef native_def = {
    PyModuleDef_HEAD_INIT, "morva._native", "Arrays, checkpoints and lock-free runs on morva_core.World objects.",
    sizeof(NativeState),   native_methods, nullptr, native_traverse, native_clear, native_free,
};

PyObject* create_module() {
    PyRef core(PyImport_ImportModule("morva_core"));
    if (!core) return nullptr;
    PyRef type(PyObject_GetAttrString(core.get(), "World"));
    if (!type) return nullptr;
    if (!PyType_Check(type.get())) {
        PyErr_SetString(PyExc_ImportError, "morva_core.World is not a type");
        return nullptr;
    }
    PyRef module(PyModule_Create(&native_def));
    if (!module) return nullptr;
    state_of(module.get()).world_type = type.release();
    return module.release();
}

}  // namespace

// Single-phase initialisation, like morva_core's: one module per process, in the interpreter that
// loaded morva_core. This file is linked into morva_core's extension file, from which
// python/morva/_native.py loads this module.
PyMODINIT_FUNC PyInit__native() { return create_module(); }
