// Line lists written into one buffer.
#include "sink.hpp"

namespace arf {

bool LineSink::extend(PyObject* seq) {
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        // Writing items runs no Python code, so the sequence cannot change here.
        PyObject** items = PySequence_Fast_ITEMS(seq);
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i)
            if (!item(items[i])) return false;
        return true;
    }
    Ref it = steal(PyObject_GetIter(seq));
    if (!it) return false;
    while (PyObject* o = PyIter_Next(it.get())) {
        bool ok = item(o);
        Py_DECREF(o);
        if (!ok) return false;
    }
    return !PyErr_Occurred();
}

bool LineSink::check_join() const {
    if (!bad_) return true;
    PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", bad_index_,
                 Py_TYPE(bad_.get())->tp_name);
    return false;
}

PyObject* LineSink::to_list() const {
    Ref list = steal(PyList_New(count_));
    if (!list) return nullptr;
    size_t next_object = 0;
    for (Py_ssize_t i = 0; i < count_; ++i) {
        if (next_object < objects_.size() && objects_[next_object].first == i) {
            PyList_SET_ITEM(list.get(), i, Py_NewRef(objects_[next_object++].second.get()));
            continue;
        }
        size_t from = starts_[i];
        size_t to = i + 1 < count_ ? starts_[i + 1] - 1 : buf_.size();
        PyObject* s = buf_.to_py(from, to);
        if (!s) return nullptr;
        PyList_SET_ITEM(list.get(), i, s);
    }
    return list.release();
}

}  // namespace arf
