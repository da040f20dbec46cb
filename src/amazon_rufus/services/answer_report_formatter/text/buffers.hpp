// Storage for one call: the arena that keeps viewed strs alive, the growing
// text buffer, and the pools that keep a little storage between calls.
#pragma once
#include "units.hpp"

#include <new>
#include <vector>

namespace arf {

// Large storage given back during a call is counted; once the outermost
// method call ends, release_large_storage() returns the allocator's freed
// pages to the system when that count is large.
void large_storage_freed(size_t bytes);
void release_large_storage();
// Bytes kept for reuse between calls by all pools together, and their cap.
extern size_t g_pooled_bytes;
constexpr size_t POOLED_BYTES_MAX = size_t(6) << 20;

// Keeps strs alive for the views taken of them during one call.
class Arena {
public:
    Arena() = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    ~Arena() { for (PyObject* o : refs_) Py_DECREF(o); }
    // Takes ownership of a new reference to a str and returns its view.
    NStr keep(PyObject* s) {
        hold(s);
        return NStr::of(s);
    }
    NStr keep(Ref&& s) { return keep(s.release()); }
    void hold(Ref&& o) { hold(o.release()); }
    void hold(PyObject* o) {
        if (refs_.size() == refs_.capacity() && refs_.capacity() < 64) refs_.reserve(64);
        refs_.push_back(o);
    }
private:
    std::vector<PyObject*> refs_;
};

// Line breaks a writer left out of a report because its blank-line clean-up
// would take them out anyway (the second and later of a run of empty
// lines): `count` "\n"s belong at `at`.  Kept so that the text as written
// can be given back whole if the clean-up step turns out to be replaced.
struct DroppedBreaks {
    size_t at;
    size_t count;
};

// Growing text buffer that becomes one str at the end.  It stores 1, 2 or
// 4 bytes per code point and widens itself when a wider code point arrives,
// so mostly narrow text is not copied about at four bytes a code point.  Its
// storage comes from a small pool of retained blocks: large buffers freed and
// mapped again on every call would cost a page fault per 4 KiB.
class TextBuf {
public:
    struct Large {};
    struct ForStr {};
    TextBuf();
    // Takes the largest retained block: for a large buffer of texts.
    explicit TextBuf(Large);
    // Writes into the storage of a str that take_str() hands out at the end,
    // so a report is not copied once more into its str.  Starts with room
    // for `guess` code units (a guess from the call's input; 0: no guess), or
    // for the largest recent such text when that is close to it, at the wider
    // of `kind` and the last such text's width.  Throws std::bad_alloc
    // without memory.
    explicit TextBuf(ForStr, size_t guess = 0, int kind = 0);
    TextBuf(const TextBuf&) = delete;
    TextBuf& operator=(const TextBuf&) = delete;
    TextBuf(TextBuf&& o)
        : data_(o.data_), size_(o.size_), bytes_(o.bytes_), kind_(o.kind_), str_(o.str_), dropped_(o.dropped_) {
        o.data_ = nullptr;
        o.size_ = o.bytes_ = 0;
        o.kind_ = PyUnicode_1BYTE_KIND;
        o.str_ = nullptr;
        o.dropped_ = nullptr;
    }
    ~TextBuf();

    void push(Py_UCS4 c) {
        if (c > max_char()) widen(c);
        reserve_more(1);
        write(size_++, c);
    }
    void append(const NStr& s) {
        const size_t n = static_cast<size_t>(s.len);
#if defined(__x86_64__)
        // Short texts of any width this buffer holds: one masked move.
        if (n <= 16 && s.kind <= kind_ && has_avx512()) {
            reserve_more(n);
            switch (kind_) {
                case 1: put_masked(static_cast<Py_UCS1*>(data_) + size_, s); break;
                case 2: put_masked(static_cast<Py_UCS2*>(data_) + size_, s); break;
                default: put_masked(static_cast<Py_UCS4*>(data_) + size_, s);
            }
            size_ += n;
            return;
        }
#endif
        if (s.kind != kind_) {
            // Short narrower texts (table cells, list markers' items) widen
            // inline; a call costs more than their copy.
            if (s.kind > kind_ || n > 32) return append_converted(s);
            reserve_more(n);
            if (kind_ == PyUnicode_2BYTE_KIND) widen_units(static_cast<const Py_UCS1*>(s.data), static_cast<Py_UCS2*>(data_) + size_, n);
            else if (s.kind == PyUnicode_1BYTE_KIND) widen_units(static_cast<const Py_UCS1*>(s.data), static_cast<Py_UCS4*>(data_) + size_, n);
            else widen_units(static_cast<const Py_UCS2*>(s.data), static_cast<Py_UCS4*>(data_) + size_, n);
            size_ += n;
            return;
        }
        reserve_more(n);
        copy_short_bytes(static_cast<char*>(data_) + size_ * kind_, static_cast<const char*>(s.data), n * kind_);
        size_ += n;
    }
    void append(std::u32string_view s) {
        Py_UCS4 top = 0;
        for (char32_t c : s) top = c > top ? c : top;
        if (top > max_char()) widen(top);
        reserve_more(s.size());
        switch (kind_) {
            case 1: fill(static_cast<Py_UCS1*>(data_) + size_, s); break;
            case 2: fill(static_cast<Py_UCS2*>(data_) + size_, s); break;
            default: fill(static_cast<Py_UCS4*>(data_) + size_, s);
        }
        size_ += s.size();
    }
    // Room for `n` more code units of `kind` (widening to it first); write
    // them at the returned pointer, then commit(n).
    void* raw_room(size_t n, int kind) {
        if (kind > kind_) widen_to(kind);
        reserve_more(n);
        return static_cast<char*>(data_) + size_ * kind_;
    }
    void commit(size_t n) { size_ += n; }
    // `before` "\n"s, the text, then `after` "\n"s, sized first and written
    // in one piece.
    void append_between_breaks(size_t before, const NStr& s, size_t after) {
        const size_t n = before + static_cast<size_t>(s.len) + after;
        void* room = raw_room(n, s.kind);
        switch (kind_) {
            case 1: put_between_breaks(static_cast<Py_UCS1*>(room), before, s, after); break;
            case 2: put_between_breaks(static_cast<Py_UCS2*>(room), before, s, after); break;
            default: put_between_breaks(static_cast<Py_UCS4*>(room), before, s, after);
        }
        size_ += n;
    }
    // ASCII text fits every kind: no widening test needed.
    void append_ascii(std::string_view s) {
        reserve_more(s.size());
        switch (kind_) {
            case 1: std::memcpy(static_cast<char*>(data_) + size_, s.data(), s.size()); break;
            case 2: fill_ascii(static_cast<Py_UCS2*>(data_) + size_, s); break;
            default: fill_ascii(static_cast<Py_UCS4*>(data_) + size_, s);
        }
        size_ += s.size();
    }
    size_t size() const { return size_; }
    size_t capacity_bytes() const { return bytes_; }
    int kind() const { return kind_; }
    void truncate(size_t n) {
        size_ = n;
        // Breaks left out of text taken back go with it.
        while (dropped_ && !dropped_->empty() && dropped_->back().at >= n) dropped_->pop_back();
    }
    // Where a writer may leave out line breaks that the report's clean-up
    // would remove (nullptr: it may not).
    void keep_dropped_breaks(std::vector<DroppedBreaks>* dropped) { dropped_ = dropped; }
    std::vector<DroppedBreaks>* dropped_breaks() const { return dropped_; }
    // Appends [from, to) of `in` to this buffer with the line breaks left
    // out of it put back.
    void append_restored(const TextBuf& in, size_t from, size_t to);
    void* data() { return data_; }
    const void* data() const { return data_; }
    void reserve_more(size_t n) {
        // kind_ is 1, 2 or 4: a shift instead of a division on every append.
        if ((bytes_ >> (kind_ >> 1)) - size_ < n) grow(n);
    }
    PyObject* to_py(size_t from, size_t to) const;
    PyObject* to_py() const { return to_py(0, size_); }
    // The whole text as a new str, leaving the buffer empty: the str whose
    // storage it was, when the text needs exactly that str's width, else a
    // copy as to_py() makes it.
    PyObject* take_str();
    NStr view(size_t from, size_t to) const {
        return NStr{static_cast<const char*>(data_) + from * kind_, kind_, static_cast<Py_ssize_t>(to - from), nullptr};
    }
    void clear() { size_ = 0; }
    // Empty again and back at the narrowest width, keeping its storage (a
    // buffer of its own, not a str's).
    void restart() {
        size_ = 0;
        if (!str_) kind_ = PyUnicode_1BYTE_KIND;
    }
    void swap(TextBuf& o) {
        std::swap(data_, o.data_);
        std::swap(size_, o.size_);
        std::swap(bytes_, o.bytes_);
        std::swap(kind_, o.kind_);
        std::swap(str_, o.str_);
        std::swap(dropped_, o.dropped_);
    }

private:
    void append_converted(const NStr& s);
    Py_UCS4 max_char() const { return kind_ == 1 ? 0xff : kind_ == 2 ? 0xffff : 0x10ffff; }
    void write(size_t i, Py_UCS4 c) {
        switch (kind_) {
            case 1: static_cast<Py_UCS1*>(data_)[i] = static_cast<Py_UCS1>(c); break;
            case 2: static_cast<Py_UCS2*>(data_)[i] = static_cast<Py_UCS2>(c); break;
            default: static_cast<Py_UCS4*>(data_)[i] = c;
        }
    }
    template <class T>
    static void put_between_breaks(T* out, size_t before, const NStr& s, size_t after) {
        for (size_t i = 0; i < before; ++i) *out++ = T('\n');
        out = put_units(out, s);
        for (size_t i = 0; i < after; ++i) *out++ = T('\n');
    }
    template <class T>
    static void fill_ascii(T* out, std::string_view s) {
        for (size_t i = 0; i < s.size(); ++i) out[i] = static_cast<unsigned char>(s[i]);
    }
    template <class T>
    static void fill(T* out, std::u32string_view s) {
        for (size_t i = 0; i < s.size(); ++i) out[i] = static_cast<T>(s[i]);
    }
    void grow(size_t need);
    void widen(Py_UCS4 c);      // to the kind that holds c
public:
    void widen_to(int kind);
private:
    // A str's storage: a new str of `units` code units of `kind`.
    void new_str(size_t units, int kind);
    // new_str() when all its pages are in memory already; false (and no
    // storage) otherwise.
    bool new_resident_str(size_t units, int kind);

    void* data_ = nullptr;
    size_t size_ = 0, bytes_ = 0;
    int kind_ = PyUnicode_1BYTE_KIND;
    PyObject* str_ = nullptr;  // the str whose storage data_ is, if any
    std::vector<DroppedBreaks>* dropped_ = nullptr;
};

}  // namespace arf
