// Interned texts used as keys and literals, made once at module execution.
#pragma once
#include "../module/ref.hpp"

namespace arf {

// Interned texts used as keys and literals.
struct Names {
    PyObject *answers, *questions, *upload_payload, *records, *question, *text, *productLinks,
        *summaryText, *recommendedAsins, *isSuccess, *blocks, *asin, *title, *href, *source,
        *description, *type, *kind, *level, *cells, *items, *header, *rows, *get, *strip, *rstrip,
        *match, *group, *re, *heading, *paragraph, *list_item, *table_row, *table, *list, *empty,
        *include_source, *cell_separator, *pat_heading, *pat_unordered, *pat_ordered, *pat_delimiter, *pat_space;
    PyObject* small_int[8];  // 0..7
};
extern Names N;
bool init_names();

}  // namespace arf
