// world_object.hpp: the World object as both modules see it: its memory layout, the
// native state it holds, the borrow flag that keeps calls from overlapping, the module state with
// the PanicException class, and the gate that turns C++ exceptions into Python ones. morva_core owns
// the type; morva._native works on its objects through this header. Both are built into one extension
// file, so every World is made and freed by the same code.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "setup.hpp"

namespace morva::binding {

using morva::CellType;
using morva::ContactEntry;
using morva::Label;
using morva::SiteIndex;

// An owned reference. Move-only; release() hands the reference to the caller.
class PyRef {
public:
    PyRef() = default;
    explicit PyRef(PyObject* owned) noexcept : obj_(owned) {}
    PyRef(PyRef&& other) noexcept : obj_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyObject* old = std::exchange(obj_, other.release());
        Py_XDECREF(old);
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    PyObject* obj_ = nullptr;
};

// The native part of a World object. Members are released in reverse order: the set-up world,
// then the driver, then the contact list.
struct Impl {
    std::vector<ContactEntry> contact_entries;
    std::optional<morva::Morva> driver;
    std::optional<morva::World> setup_world;
    std::array<SiteIndex, 3> dims{};

    // The finalized world when there is one, else the set-up world. Neither exists only after a
    // finalize that failed part-way.
    morva::World& active() {
        if (driver) return driver->world;
        if (setup_world) return *setup_world;
        morva::raise_fault(__FILE__, __LINE__, "the world was lost by a failed finalize");
    }
};

struct WorldObject {
    PyObject_HEAD
    Py_ssize_t borrow;  // > 0: that many shared borrows; -1: one exclusive borrow
    alignas(Impl) unsigned char storage[sizeof(Impl)];
};

inline WorldObject* as_world(PyObject* self) { return reinterpret_cast<WorldObject*>(self); }
inline Impl& impl_of(PyObject* self) { return *std::launder(reinterpret_cast<Impl*>(as_world(self)->storage)); }

struct ModuleState {
    PyObject* panic_type;  // PanicException, created by the first fault
};

enum class Borrow { Shared, Exclusive };

// Holds one borrow of an object's flag for its lifetime.
class BorrowGuard {
public:
    BorrowGuard(Py_ssize_t& flag, Borrow kind) : flag_(flag), kind_(kind) {}
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;
    ~BorrowGuard() {
        if (held_) flag_ = kind_ == Borrow::Exclusive ? 0 : flag_ - 1;
    }
    bool acquire() {
        if (kind_ == Borrow::Exclusive) {
            if (flag_ != 0) return fail("Already borrowed");
            flag_ = -1;
        } else {
            if (flag_ < 0) return fail("Already mutably borrowed");
            ++flag_;
        }
        held_ = true;
        return true;
    }

private:
    static bool fail(const char* message) {
        PyErr_SetString(PyExc_RuntimeError, message);
        return false;
    }
    Py_ssize_t& flag_;
    Borrow kind_;
    bool held_ = false;
};

// An unsigned 64-bit argument: the interpreter's own TypeError for non-integers and OverflowError for
// negative or too large values.
inline bool convert_u64(PyObject* obj, std::uint64_t& out) {
    PyRef index(PyNumber_Index(obj));
    if (!index) return false;
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

// Writes the one-line diagnostic and raises PanicException (created here on first use).
inline PyObject* raise_panic(PyTypeObject* type, const char* file, int line, const char* text) noexcept {
    // `file` is relative to the project root: the build maps the checkout's path away.
    std::fprintf(stderr, "morva_core: internal fault at %s:%d: %s\n", file, line, text);
    std::fflush(stderr);
    auto* state = static_cast<ModuleState*>(PyType_GetModuleState(type));
    if (!state) return nullptr;
    if (!state->panic_type) {
        state->panic_type = PyErr_NewExceptionWithDoc("morva_core.PanicException",
                                                      "An internal fault of the engine (a failed check).",
                                                      PyExc_BaseException, nullptr);
        if (!state->panic_type) return nullptr;
    }
    PyRef message(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace"));
    if (message) PyErr_SetObject(state->panic_type, message.get());
    return nullptr;
}

// The fault gate: no C++ exception crosses into the interpreter. Engine faults become
// PanicException, refused requests ValueError, failed allocations MemoryError. The borrow is released
// by unwinding.
template <class F>
inline PyObject* guarded(PyTypeObject* type, F&& body) noexcept {
    try {
        return body();
    } catch (const morva::EngineFault& fault) {
        return raise_panic(type, fault.file(), fault.line(), fault.what());
    } catch (const morva::BadRequest& refused) {
        PyErr_SetString(PyExc_ValueError, refused.what());
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::system_error& refused) {  // the system refused a resource (the worker pool's threads)
        PyErr_SetString(PyExc_RuntimeError, refused.what());
        return nullptr;
    } catch (const std::exception& e) {
        return raise_panic(type, __FILE__, __LINE__, e.what());
    } catch (...) {
        return raise_panic(type, __FILE__, __LINE__, "unknown C++ exception");
    }
}

}  // namespace morva::binding
