// Views of interpreter texts: comparisons, search and copies.
#include "units.hpp"

#include <type_traits>

namespace arf {

bool eq(NStr s, std::u32string_view lit) {
    if (static_cast<size_t>(s.len) != lit.size()) return false;
    return starts_with(s, lit);
}

bool starts_with(NStr s, std::u32string_view lit) {
    if (static_cast<size_t>(s.len) < lit.size()) return false;
    return with_units(s, [&](auto* p) {
        for (size_t i = 0; i < lit.size(); ++i)
            if (p[i] != lit[i]) return false;
        return true;
    });
}

Py_ssize_t find_char(NStr s, Py_UCS4 c, Py_ssize_t from) {
    if (from >= s.len) return -1;
    if (s.kind == PyUnicode_1BYTE_KIND) {
        if (c > 0xff) return -1;
        auto* p = static_cast<const Py_UCS1*>(s.data);
        auto* hit = static_cast<const Py_UCS1*>(std::memchr(p + from, static_cast<int>(c), s.len - from));
        return hit ? hit - p : -1;
    }
    return with_units(s, [&](auto* p) -> Py_ssize_t {
        using T = std::remove_cv_t<std::remove_pointer_t<decltype(p)>>;
        const T unit = static_cast<T>(c);
        if (static_cast<Py_UCS4>(unit) != c) return Py_ssize_t(-1);
        Py_ssize_t i = scan_units(
            p, from, s.len, [unit](Units16<T> v) { return v == unit; }, [c](Py_UCS4 u) { return u == c; });
        return i < s.len ? i : -1;
    });
}

bool contains(NStr s, Py_UCS4 c) { return find_char(s, c) >= 0; }

Ref to_py(NStr s) {
    if (s.whole()) return steal(Py_NewRef(s.owner));
    return steal(PyUnicode_FromKindAndData(s.kind, s.data, s.len));
}

void* copy_units(NStr s, void* out, int kind) {
    const size_t n = static_cast<size_t>(s.len);
    if (!n) return out;  // an empty view may have no data pointer at all
    if (s.kind == kind) {
        std::memcpy(out, s.data, n * kind);
        return static_cast<char*>(out) + n * kind;
    }
    if (s.kind == PyUnicode_1BYTE_KIND && kind == PyUnicode_2BYTE_KIND)
        widen_units(static_cast<const Py_UCS1*>(s.data), static_cast<Py_UCS2*>(out), n);
    else if (s.kind == PyUnicode_1BYTE_KIND)
        widen_units(static_cast<const Py_UCS1*>(s.data), static_cast<Py_UCS4*>(out), n);
    else
        widen_units(static_cast<const Py_UCS2*>(s.data), static_cast<Py_UCS4*>(out), n);
    return static_cast<char*>(out) + n * kind;
}

}  // namespace arf
