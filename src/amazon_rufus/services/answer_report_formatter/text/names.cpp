// The interned names.
#include "names.hpp"

namespace arf {

Names N;

static bool intern(PyObject*& slot, const char* s) {
    slot = PyUnicode_InternFromString(s);
    return slot != nullptr;
}

bool init_names() {
    if (N.answers) return true;
    bool ok = intern(N.answers, "answers") && intern(N.questions, "questions") &&
              intern(N.upload_payload, "upload_payload") && intern(N.records, "records") &&
              intern(N.question, "question") && intern(N.text, "text") &&
              intern(N.productLinks, "productLinks") && intern(N.summaryText, "summaryText") &&
              intern(N.recommendedAsins, "recommendedAsins") && intern(N.isSuccess, "isSuccess") &&
              intern(N.blocks, "blocks") && intern(N.asin, "asin") && intern(N.title, "title") &&
              intern(N.href, "href") && intern(N.source, "source") &&
              intern(N.description, "description") && intern(N.type, "type") &&
              intern(N.kind, "kind") && intern(N.level, "level") && intern(N.cells, "cells") &&
              intern(N.items, "items") && intern(N.header, "header") && intern(N.rows, "rows") &&
              intern(N.get, "get") && intern(N.strip, "strip") && intern(N.rstrip, "rstrip") &&
              intern(N.match, "match") && intern(N.group, "group") && intern(N.re, "re") &&
              intern(N.heading, "heading") && intern(N.paragraph, "paragraph") &&
              intern(N.list_item, "list_item") && intern(N.table_row, "table_row") &&
              intern(N.table, "table") && intern(N.list, "list") && intern(N.include_source, "include_source") &&
              intern(N.cell_separator, " | ") && intern(N.empty, "") &&
              intern(N.pat_heading, "^(#{1,6})\\s+(.*)$") &&
              intern(N.pat_unordered, "^([-*\xe2\x80\xa2])\\s+(.*)$") &&
              intern(N.pat_ordered, "^\\d+[.)]\\s+(.*)$") &&
              intern(N.pat_delimiter, "^:?-{3,}:?$") && intern(N.pat_space, "^\\s+");
    if (!ok) return false;
    for (int i = 0; i < 8; ++i) {
        N.small_int[i] = PyLong_FromLong(i);
        if (!N.small_int[i]) return false;
    }
    return true;
}

}  // namespace arf
