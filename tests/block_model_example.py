"""The block model's worked example: one answer text at every stage of the pipeline."""

OVERVIEW_TEXT = "# Overview\nSome intro\nline two\n- first\n- second\n| Name | Price |\n| --- | --- |\n| A | 1 |"
OVERVIEW_INTERMEDIATE = [
    {"kind": "heading", "level": 1, "text": "Overview"},
    {"kind": "text", "text": "Some intro\nline two"},
    {"kind": "list_item", "text": "first"},
    {"kind": "list_item", "text": "second"},
    {"kind": "table", "header": ["Name", "Price"], "rows": [["A", "1"]]},
]
OVERVIEW_STRUCTURED = [
    {"type": "heading", "text": "Overview", "level": 1},
    {"type": "paragraph", "text": "Some intro\nline two"},
    {"type": "list_item", "text": "first"},
    {"type": "list_item", "text": "second"},
    {"type": "table_row", "text": "Name | Price", "cells": ["Name", "Price"]},
    {"type": "table_row", "text": "A | 1", "cells": ["A", "1"]},
]
OVERVIEW_DISPLAY = [
    {"type": "heading", "text": "Overview", "level": 1},
    {"type": "text", "text": "Some intro\nline two"},
    {"type": "list", "items": ["first", "second"]},
    {"type": "table", "header": ["Name", "Price"], "rows": [["A", "1"]]},
]
OVERVIEW_LINES = [
    "### Overview", "", "Some intro\nline two", "", "- first", "- second", "",
    "| Name | Price |", "| --- | --- |", "| A | 1 |",
]
