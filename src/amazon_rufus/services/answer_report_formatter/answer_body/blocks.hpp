// The three block shapes of an answer body as native records.  Between
// unreplaced native steps blocks stay records; they become the interpreter's
// dicts only where a replaced step or a direct call from Python sees them.
#pragma once
#include "../text/sink.hpp"
#include "answer_body.hpp"
#include "../dispatch/patterns.hpp"

#include <deque>
#include <memory>
#include <vector>

namespace arf {

using Row = std::vector<NStr>;

// Storage that keeps the records of one answer body alive.
class Work {
public:
    Arena arena;
    Row* new_row() {
        if (!rows_) rows_ = std::make_unique<std::deque<Row>>();  // most answers have no table
        rows_->emplace_back();
        return &rows_->back();
    }
    // Keeps a new reference alive and returns it (borrowed); nullptr passes.
    PyObject* hold(PyObject* o) { if (o) arena.hold(o); return o; }
    PyObject* hold(Ref&& o) { return hold(o.release()); }
    // A text built here, kept alive for views of it (the buffer's storage
    // does not move when the buffer itself is moved).
    NStr keep_text(TextBuf& buf) {
        texts_.push_back(std::move(buf));
        const TextBuf& kept = texts_.back();
        return kept.view(0, kept.size());
    }
    // Room for `n` code units of `kind` in stable storage: write them at the
    // returned pointer, then take the view with stored(n, kind).
    void* room(size_t n, int kind) {
        Chunk& c = chunks_[kind == 1 ? 0 : kind == 2 ? 1 : 2];
        if (n > CHUNK) {
            // A large text gets a pooled buffer of its own (no fresh pages).
            texts_.emplace_back(TextBuf::Large{});
            TextBuf& big = texts_.back();
            big.widen_to(kind);
            void* p = big.raw_room(n, kind);
            big.commit(n);
            c.next = static_cast<char*>(p);
            c.free = n;
            return p;
        }
        if (c.free < n) {
            size_t units = n > CHUNK ? n : CHUNK;
            storage_.push_back(std::unique_ptr<char[]>(new char[units * kind]));
            c.next = storage_.back().get();
            c.free = units;
        }
        return c.next;
    }
    NStr stored(size_t n, int kind) {
        Chunk& c = chunks_[kind == 1 ? 0 : kind == 2 ? 1 : 2];
        NStr view{c.next, kind, static_cast<Py_ssize_t>(n), nullptr};
        c.next += n * kind;
        c.free -= n;
        return view;
    }
private:
    static constexpr size_t CHUNK = 4096;
    std::unique_ptr<std::deque<Row>> rows_;
    struct Chunk {
        char* next = nullptr;
        size_t free = 0;
    };
    std::vector<TextBuf> texts_;
    std::vector<std::unique_ptr<char[]>> storage_;
    Chunk chunks_[3];
};

// A table row: cells read natively, or the object a replaced step handed
// over (or a list of cell values that are not all exact strs).
struct RowRef {
    Row* native = nullptr;
    PyObject* obj = nullptr;  // any object, kept alive by Work
};

// Intermediate block (text parser output, `kind`).
struct IBlock {
    enum Kind : uint8_t { TEXT, HEADING, LIST_ITEM, TABLE, FOREIGN } kind = TEXT;
    int level = 0;
    NStr text;
    Row* header = nullptr;
    std::vector<Row*> rows;
    PyObject* obj = nullptr;  // FOREIGN: whatever a replaced recogniser returned
};

// Structured block (front end's model, `type`).
struct SBlock {
    enum Type : uint8_t { HEADING, PARAGRAPH, LIST_ITEM, TABLE_ROW, OTHER } type = OTHER;
    NStr text;                   // native text
    PyObject* text_obj = nullptr;  // a text value copied unchanged from a loose block
    PyObject* level_obj = nullptr; // heading level value
    Row* cells = nullptr;          // native cells
    PyObject* cells_obj = nullptr; // cells list of a loose table
    PyObject* raw = nullptr;       // the loose dict this block was read from
    bool trimmed = false;          // `text` is known to be trimmed already
};

// Display block (`type`), what the renderer reads.
struct DBlock {
    enum Type : uint8_t { HEADING, TEXT, LIST, TABLE } type = TEXT;
    bool trimmed = false;  // a TEXT whose text is known to be trimmed
    TextVal text;
    PyObject* level = nullptr;
    std::vector<TextVal> items;
    RowRef header;
    std::vector<RowRef> rows;
};

// Record vectors kept between calls (under the interpreter lock): a large
// vector allocated afresh on every call costs a page fault per 4 KiB.  Two
// of at most 2 MiB are kept per record type, within the pools' shared
// budget; others go back at once.
template <class T>
class RecordPool {
public:
    static std::vector<T> take() {
        if (free_.empty()) return {};
        std::vector<T> v = std::move(free_.back());
        free_.pop_back();
        g_pooled_bytes -= v.capacity() * sizeof(T);
        return v;
    }
    static void give(std::vector<T>& v) {
        v.clear();
        const size_t bytes = v.capacity() * sizeof(T);
        if (!bytes) return;
        if (bytes > (size_t(2) << 20) || free_.size() >= 2 || g_pooled_bytes + bytes > POOLED_BYTES_MAX) {
            large_storage_freed(bytes);
            std::vector<T>().swap(v);
            return;
        }
        try {
            free_.push_back(std::move(v));
            g_pooled_bytes += bytes;
        } catch (...) {
            // Runs from destructors: without memory the vector is simply freed.
        }
    }

private:
    static inline std::vector<std::vector<T>> free_;
};

// A step's result: native records, or an interpreter object from a replaced step.
template <class T>
struct Either {
    bool native = true;
    std::vector<T> records = RecordPool<T>::take();
    Ref obj;

    Either() = default;
    Either(const Either&) = delete;
    Either& operator=(const Either&) = delete;
    ~Either() { RecordPool<T>::give(records); }
    void reset() {
        native = true;
        records.clear();
        obj.reset();
    }
};

using IBlocks = Either<IBlock>;
using SBlocks = Either<SBlock>;
using DBlocks = Either<DBlock>;

// A pending paragraph line of the text parser: a right-trimmed view, or
// what a line object's rstrip() gave when it was not a str (the join then
// fails as the host's would).
struct Piece {
    NStr text;
    PyObject* bad = nullptr;
};

// Where the text parser's blocks go.
class BlockOut {
public:
    virtual ~BlockOut() = default;
    // Takes the next block (false on error).
    virtual bool push(IBlock&& b) = 0;
    // The last block taken, or nullptr before the first.
    virtual IBlock* last() = 0;
    // A builder holding the last block's text, a list item being continued.
    virtual TextBuf& continue_last() = 0;
    // After the last block (false on error).
    virtual bool finish() = 0;
};

// ---- Step cores (false on error) --------------------------------------------

bool parse_text(Ctx& ctx, Work& w, PyObject* text, IBlocks& out);
// The fused text route: an answer text parsed, assembled and rendered in one
// pass into `sink`, for when every step on the way is native.
enum class BodyLines;
bool write_text_body(Work& w, NStr text, LineSink& sink, BodyLines* lines = nullptr);
// The steps the fused routes stand for.
constexpr uint32_t FUSED_STEPS =
    1u << BUILD_ANSWER_BLOCKS | 1u << BUILD_STRUCTURED_ANSWER_BLOCKS | 1u << NORMALIZE_STRUCTURED_ROW |
    1u << NORMALIZE_ROW_CELLS | 1u << BUILD_TEXT_FALLBACK_BLOCKS | 1u << TO_STRUCTURED_BLOCKS | 1u << RENDER_BLOCKS |
    1u << NORMALIZE_TEXT_LINES | 1u << PARSE_MARKDOWN_HEADING | 1u << PARSE_MARKDOWN_LIST_ITEM |
    1u << PARSE_MARKDOWN_TABLE | 1u << PARSE_PIPE_ROW | 1u << IS_MARKDOWN_DELIMITER_ROW;

// Rendered lines shared by the renderer and the fused route.
// "| " + " | ".join(cells) + " |" of the n cells and `empty` more empty ones.
void table_line(LineSink& sink, const NStr* cells, size_t n, size_t empty = 0);
inline void table_line(LineSink& sink, const std::vector<NStr>& cells) { table_line(sink, cells.data(), cells.size()); }
void delimiter_line(LineSink& sink, size_t columns);
// "#" * n + " " + text for a small n and a trimmed text.
void short_heading_line(LineSink& sink, int n, const NStr& text);
bool convert_blocks(Ctx& ctx, Work& w, IBlocks& in, SBlocks& out);
bool assemble_blocks(Ctx& ctx, Work& w, SBlocks& in, DBlocks& out);
bool render_blocks(Ctx& ctx, Work& w, DBlocks& in, LineSink& sink);
bool build_answer_blocks(Ctx& ctx, Work& w, PyObject* text, PyObject* structured, DBlocks& out);


// Native recognisers over views (heading and list item on the trimmed line).
// `one_line`: the line is known to hold no "\n".  The hot ones take their
// view by reference: a view passed by value is built on the stack and copied
// to the arguments in 16-byte halves that straddle the stores of its fields.
bool match_heading(const NStr& line, int& level, NStr& text, bool one_line = false);
bool match_list_item(const NStr& line, NStr& text, bool one_line = false);
// The bullet markers of a list item: "-", "*" and "•".
inline bool is_bullet(Py_UCS4 c) { return c == '-' || c == '*' || c == 0x2022; }
// A list item's marker at the start of p[a, b), "[-*•]\s+" or "\d+[.)]\s+":
// where the text after it starts, or -1 when there is none.
template <class T>
inline Py_ssize_t list_marker_end(const T* p, Py_ssize_t a, Py_ssize_t b) {
    if (a == b) return -1;
    Py_ssize_t i = a + 1;
    if (!is_bullet(p[a])) {
        i = a;
        while (i < b && is_digit(p[i])) ++i;
        if (i == a || i == b || (p[i] != T('.') && p[i] != T(')'))) return -1;
        ++i;
    }
    if (i == b || !is_space(p[i])) return -1;
    while (i < b && is_space(p[i])) ++i;
    return i;
}
bool parse_pipe_row(const NStr& line, Row& cells);
bool is_delimiter_row(const Row& cells);
// Whether a line holds nothing but "|", ":", "-" and whitespace, and a "|":
// a cheap test that rejects almost every line that is no delimiter row.
bool could_be_delimiter(const NStr& line);
bool starts_with_space(NStr line);

// The parser's uses of the recognisers.  recognise_line: the heading
// (PARSE_MARKDOWN_HEADING) or list-item rule on a trimmed line, natively or
// through the module global `re`; 1 recognised, 0 not, -1 error.
int recognise_line(Ctx& ctx, Work& w, Step s, NStr trimmed_line, IBlock& out);
// Whether "^\s+" matches the line, by the truth of what re.match gives.
int continuation_matches(Ctx& ctx, Work& w, NStr line);
// Whether the table recogniser's helper steps and patterns are all native
// and no lookup can run Python code (-1 on error).
int table_steps_native(Ctx& ctx);
// The table recogniser on native lines with native steps: 1 table, 0 none.
int recognise_table(Work& w, const std::vector<NStr>& lines, Py_ssize_t start, IBlock& out, Py_ssize_t& next);

// Records as the interpreter's dicts; row_to_py also gives any list of views as a list of strs.
Ref iblocks_to_py(IBlocks& b);
Ref sblocks_to_py_in(Work& w, SBlocks& b);
Ref dblocks_to_py(DBlocks& b);
Ref row_to_py(const Row& row);
Ref rowref_to_py(const RowRef& row);
// " | ".join of native cells.
NStr join_cells(Work& w, const NStr* cells, size_t n);
inline NStr join_cells(Work& w, const Row& row, Py_ssize_t from = 0) {
    const size_t first = static_cast<size_t>(from);
    return row.size() <= first ? NStr::of(N.empty) : join_cells(w, row.data() + first, row.size() - first);
}

}  // namespace arf
