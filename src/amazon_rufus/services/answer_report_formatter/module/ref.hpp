// Owning and borrowed references to interpreter objects.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <cstddef>
#include <utility>

namespace arf {

// An owning reference: copy increfs, move steals, destructor decrefs.
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    static Ref steal(PyObject* o) noexcept { Ref r; r.p_ = o; return r; }
    static Ref borrow(PyObject* o) noexcept { Py_XINCREF(o); return steal(o); }
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(const Ref& o) noexcept { Ref t(o); std::swap(p_, t.p_); return *this; }
    Ref& operator=(Ref&& o) noexcept { std::swap(p_, o.p_); return *this; }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { PyObject* t = p_; p_ = nullptr; return t; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    PyObject* p_ = nullptr;
};

// A borrowed reference: marks an argument the callee neither owns nor keeps.
class Handle {
public:
    Handle(PyObject* o) noexcept : p_(o) {}
    Handle(const Ref& r) noexcept : p_(r.get()) {}
    PyObject* get() const noexcept { return p_; }
    operator PyObject*() const noexcept { return p_; }

private:
    PyObject* p_;
};

inline Ref steal(PyObject* o) noexcept { return Ref::steal(o); }
inline Ref borrow(PyObject* o) noexcept { return Ref::borrow(o); }

}  // namespace arf
