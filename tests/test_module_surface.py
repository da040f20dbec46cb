"""The loadable module and its class as a caller sees them.

Covers the module namespace, the class and its method table (names, docs,
annotations, signatures), introspection tools, re-import, the
one-interpreter-per-process guard, traceback entries and exported symbols.
"""

from __future__ import annotations

import importlib
import importlib.util
import inspect
import pydoc
import re
import shutil
import subprocess
import sys
import textwrap
import traceback
import typing
from pathlib import Path

import pytest

MODULE_NAME = "quorin.amazon_rufus.services.answer_report_formatter"
mod = pytest.importorskip(MODULE_NAME)
Formatter = mod.AnswerReportFormatter

PYTHON_DIR = Path(__file__).resolve().parents[1] / "python"

# (name, [(parameter, annotation), ...], keyword-only parameter or None, return annotation, docstring)
METHOD_TABLE = [
    ("format_data", [("data", "dict")], None, "str", "格式化 manager 返回的完整数据。"),
    ("_extract_questions", [("data", "dict")], None, "list[str]", "从全量数据中提取题目文本。"),
    ("_normalize_question_list", [("raw_questions", "Any")], None, "list[str]", "兼容字符串题目与前端 question item。"),
    ("_question_at", [("questions", "list[str]"), ("index", "int")], None, "str", "读取第 N 题文本，缺失时使用稳定兜底。"),
    ("_format_section", [("index", "int"), ("answer", "Any"), ("question", "str")], None, "str", "格式化单题 section。"),
    ("_format_answer_body", [("index", "int"), ("answer", "dict")], None, "list[str]", "按前端 block 模型格式化答案正文。"),
    ("_format_product_links", [("raw_links", "Any")], None, "list[str]", "格式化相关产品。"),
    ("_format_recommended_asins", [("raw_items", "Any")], None, "list[str]", "格式化推荐 ASIN。"),
    ("_format_link_items", [("raw_items", "Any")], ("include_source", "bool"), "list[str]", "兼容字符串链接和前端链接对象。"),
    ("_build_answer_blocks", [("text", "str"), ("structured_blocks", "Any")], None, "list[dict]", "优先使用结构化 blocks，不可渲染时回退解析文本。"),
    ("_build_structured_answer_blocks", [("structured_blocks", "list[Any]")], None, "list[dict]", "按前端结构化 block 规则组装展示块。"),
    ("_normalize_structured_row", [("block", "dict")], None, "list[str] | None", "读取结构化表格行。"),
    ("_normalize_row_cells", [("row", "list[str]"), ("width", "int")], None, "list[str]", "补齐或合并表格列。"),
    ("_build_text_fallback_blocks", [("text", "str")], None, "list[dict]", "解析 Markdown-like 文本为中间块。"),
    ("_to_structured_blocks", [("blocks", "list[dict]")], None, "list[dict]", "将中间块转换为前端结构化 block。"),
    ("_render_blocks", [("blocks", "list[dict]")], None, "list[str]", "将展示块渲染为 Markdown-like 文本。"),
    ("_normalize_text_lines", [("text", "str")], None, "list[str]", "统一换行符。"),
    ("_parse_markdown_heading", [("line", "str")], None, "dict | None", "解析 Markdown 标题。"),
    ("_parse_markdown_list_item", [("line", "str")], None, "dict | None", "解析 Markdown 列表项。"),
    ("_parse_markdown_table", [("lines", "list[str]"), ("start_index", "int")], None, "tuple[dict, int] | None", "解析带 delimiter 的 Markdown 表格。"),
    ("_parse_pipe_row", [("line", "str")], None, "list[str] | None", "解析管道分隔行。"),
    ("_is_markdown_delimiter_row", [("cells", "list[str]")], None, "bool", "判断是否为 Markdown 表头分隔符。"),
    ("_collapse_blank_lines", [("text", "str")], None, "str", "压缩连续空行并清理行尾空白。"),
]
METHOD_NAMES = [row[0] for row in METHOD_TABLE]
method_rows = pytest.mark.parametrize(
    "name, params, kwonly, ret, doc", METHOD_TABLE, ids=METHOD_NAMES
)

# Attributes the import machinery itself puts on an extension module.
IMPORT_DUNDERS = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


# ---------------------------------------------------------------- module


def test_module_identity_and_doc():
    assert mod.__name__ == MODULE_NAME
    assert mod.__doc__ == "Amazon Rufus 答案报告格式化服务。"
    assert mod.__package__ == "quorin.amazon_rufus.services"
    assert mod.__spec__.name == MODULE_NAME
    assert mod.__file__ == mod.__spec__.origin
    assert mod.__loader__ is mod.__spec__.loader
    assert not hasattr(mod, "__path__")
    assert sys.modules[MODULE_NAME] is mod


def test_module_globals_are_exactly_the_documented_ones():
    names = set(vars(mod))
    assert names - IMPORT_DUNDERS == {"re", "Any", "AnswerReportFormatter", "__test__"}
    assert mod.re is re
    assert mod.Any is typing.Any
    assert mod.AnswerReportFormatter is Formatter
    assert type(mod.__test__) is dict and mod.__test__ == {}


def test_module_globals_defined_in_source_order():
    order = [name for name in vars(mod) if name in {"re", "Any", "AnswerReportFormatter", "__test__"}]
    assert order == ["re", "Any", "AnswerReportFormatter", "__test__"]


def test_reimport_and_reload_return_the_same_module():
    assert importlib.import_module(MODULE_NAME) is mod
    assert importlib.reload(mod) is mod
    assert mod.AnswerReportFormatter is Formatter
    assert Formatter().format_data({"answers": [{"text": "x"}]}).endswith("x")


def test_module_from_spec_returns_the_existing_module():
    assert importlib.util.module_from_spec(mod.__spec__) is mod


# ---------------------------------------------------------------- class


def test_class_facts():
    assert Formatter.__name__ == "AnswerReportFormatter"
    assert Formatter.__qualname__ == "AnswerReportFormatter"
    assert Formatter.__module__ == MODULE_NAME
    assert Formatter.__doc__ == "将 Rufus 全量结果投影为前端风格的终端报告。"
    assert Formatter.__bases__ == (object,)
    assert type(Formatter) is type
    assert "__slots__" not in vars(Formatter)
    assert "__init__" not in vars(Formatter)


def test_instances_have_a_dict_and_take_no_arguments():
    obj = Formatter()
    assert obj.__dict__ == {}
    obj.extra = 1
    assert obj.__dict__ == {"extra": 1}
    with pytest.raises(TypeError):
        Formatter(1)
    with pytest.raises(TypeError):
        Formatter(data={})


def test_class_is_subclassable():
    class Sub(Formatter):
        pass

    assert issubclass(Sub, Formatter)
    assert Sub().format_data({"answers": [{"text": "hi"}]}) == Formatter().format_data(
        {"answers": [{"text": "hi"}]}
    )


def test_methods_in_class_dict_in_table_order():
    own = [name for name in vars(Formatter) if not (name.startswith("__") and name.endswith("__"))]
    assert own == METHOD_NAMES


@method_rows
def test_method_attributes(name, params, kwonly, ret, doc):
    func = vars(Formatter)[name]
    assert func is getattr(Formatter, name)
    assert callable(func)
    assert func.__name__ == name
    assert func.__qualname__ == f"AnswerReportFormatter.{name}"
    assert func.__module__ == MODULE_NAME
    assert func.__doc__ == doc
    expected = dict(params)
    if kwonly:
        expected[kwonly[0]] = kwonly[1]
    expected["return"] = ret
    assert func.__annotations__ == expected
    assert list(func.__annotations__) == list(expected)


@method_rows
def test_bound_method_attributes(name, params, kwonly, ret, doc):
    obj = Formatter()
    bound = getattr(obj, name)
    assert bound.__self__ is obj
    assert bound.__func__ is vars(Formatter)[name]
    assert bound.__name__ == name
    assert bound.__qualname__ == f"AnswerReportFormatter.{name}"
    assert bound.__doc__ == doc


def _expected_parameters(params, kwonly, with_self):
    P = inspect.Parameter
    out = [P("self", P.POSITIONAL_OR_KEYWORD)] if with_self else []
    out += [P(p, P.POSITIONAL_OR_KEYWORD, annotation=a) for p, a in params]
    if kwonly:
        out.append(P(kwonly[0], P.KEYWORD_ONLY, annotation=kwonly[1]))
    return out


@method_rows
@pytest.mark.parametrize("bound", [False, True], ids=["function", "bound"])
def test_signature(name, params, kwonly, ret, doc, bound):
    target = getattr(Formatter(), name) if bound else vars(Formatter)[name]
    sig = inspect.signature(target)
    assert list(sig.parameters.values()) == _expected_parameters(params, kwonly, not bound)
    assert sig.return_annotation == ret
    assert all(p.default is inspect.Parameter.empty for p in sig.parameters.values())


def test_signature_text():
    assert str(inspect.signature(Formatter.format_data)) == "(self, data: 'dict') -> 'str'"
    assert (
        str(inspect.signature(Formatter()._format_link_items))
        == "(raw_items: 'Any', *, include_source: 'bool') -> 'list[str]'"
    )


def test_signature_binds_like_a_call():
    sig = inspect.signature(Formatter._question_at)
    bound = sig.bind(Formatter(), [], 1)
    assert list(bound.arguments) == ["self", "questions", "index"]
    with pytest.raises(TypeError):
        inspect.signature(Formatter()._format_link_items).bind([], True)


def test_pydoc_renders_class():
    text = pydoc.render_doc(Formatter, renderer=pydoc.plaintext)
    assert "class AnswerReportFormatter(builtins.object)" in text
    assert "将 Rufus 全量结果投影为前端风格的终端报告。" in text
    # pydoc lists public methods only.
    assert "format_data(self, data: 'dict') -> 'str'" in text
    assert "格式化 manager 返回的完整数据。" in text
    assert pydoc.render_doc(mod, renderer=pydoc.plaintext)


@method_rows
def test_pydoc_renders_each_method(name, params, kwonly, ret, doc):
    text = pydoc.render_doc(vars(Formatter)[name], renderer=pydoc.plaintext)
    assert f"{name}{inspect.signature(vars(Formatter)[name])}" in text
    assert doc in text


def test_pydoc_renders_bound_method():
    text = pydoc.render_doc(Formatter()._format_link_items, renderer=pydoc.plaintext)
    assert "_format_link_items(raw_items: 'Any', *, include_source: 'bool') -> 'list[str]'" in text
    assert "兼容字符串链接和前端链接对象。" in text


# ---------------------------------------------------------------- tracebacks


class _StrRaises:
    def __str__(self):
        raise ZeroDivisionError("boom from __str__")


def test_traceback_names_the_method_and_source_path():
    with pytest.raises(ZeroDivisionError, match="boom from __str__") as info:
        Formatter().format_data({"answers": [{"summaryText": _StrRaises()}]})
    entries = [(tb.tb_frame.f_code.co_name, tb.tb_frame.f_code.co_filename) for tb in _walk(info.value.__traceback__)]
    assert (
        f"{MODULE_NAME}.AnswerReportFormatter.format_data",
        "amazon_rufus/services/answer_report_formatter",
    ) in entries
    # The frame of the step that raised sits between format_data and __str__.
    names = [n for n, _ in entries]
    assert names.index(f"{MODULE_NAME}.AnswerReportFormatter.format_data") < names.index("__str__")
    assert "answer_report_formatter" in "".join(traceback.format_exception(info.value))


def _walk(tb):
    while tb is not None:
        yield tb
        tb = tb.tb_next


def test_exception_leaves_no_state_behind():
    obj = Formatter()
    with pytest.raises(ZeroDivisionError):
        obj.format_data({"answers": [{"summaryText": _StrRaises()}]})
    assert obj.__dict__ == {}
    assert obj.format_data({"answers": [{"summaryText": "S"}]}) == "## 第 1 题：第 1 题\n\n### 总结\n\nS"


# ---------------------------------------------------------------- process-level


def _run_child(code: str) -> subprocess.CompletedProcess:
    env = {"PYTHONPATH": str(PYTHON_DIR), "PATH": "/usr/bin:/bin", "PYTHONDONTWRITEBYTECODE": "1"}
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        timeout=60,
    )


GUARD_MESSAGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."


def _require_subinterpreters():
    try:
        import _xxsubinterpreters  # noqa: F401
    except ImportError:
        pytest.skip("_xxsubinterpreters not available")


def _import_in_subinterpreter(create_args: str):
    """Imports the module here, then in a sub-interpreter; prints what the second import did."""
    _require_subinterpreters()
    return _run_child(
        f"""
        import _xxsubinterpreters as si
        import {MODULE_NAME}
        interp = si.create({create_args})
        try:
            si.run_string(interp, "import {MODULE_NAME}")
        except Exception as exc:
            print("ERR", exc)
        else:
            print("OK")
        """
    )


def test_import_in_second_interpreter_fails_with_guard_message():
    # A legacy (non-isolated) sub-interpreter lets the module's own create step run,
    # so the module's guard, not the host's isolation check, produces the error.
    proc = _import_in_subinterpreter("isolated=False")
    assert proc.returncode == 0, proc.stderr
    assert f"ImportError'>: {GUARD_MESSAGE}" in proc.stdout


def test_first_interpreter_wins():
    # Loaded first in a sub-interpreter, the module then refuses the main one.
    _require_subinterpreters()
    proc = _run_child(
        f"""
        import _xxsubinterpreters as si
        interp = si.create(isolated=False)
        si.run_string(interp, "import {MODULE_NAME}")
        try:
            import {MODULE_NAME}
        except ImportError as exc:
            print("ERR", exc)
        else:
            print("OK")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == f"ERR {GUARD_MESSAGE}"


def test_import_in_isolated_interpreter_fails():
    proc = _import_in_subinterpreter("")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("ERR <class 'ImportError'>:")


def test_only_init_function_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not available")
    proc = subprocess.run([nm, "-D", "--defined-only", mod.__file__], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in proc.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_answer_report_formatter"]


# ---------------------------------------------------------------- methods as values


@pytest.mark.parametrize("name", [row[0] for row in METHOD_TABLE])
def test_methods_copy_as_themselves_and_pickle_by_qualified_name(name):
    import copy
    import pickle

    function = vars(Formatter)[name]
    assert copy.copy(function) is function
    assert copy.deepcopy({"held": [function]})["held"][0] is function
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(function, protocol)) is function


HEADING_LEVEL_CHILD = """
from quorin.amazon_rufus.services.answer_report_formatter import AnswerReportFormatter

class L(int):
    __lt__ = lambda s, o: True
    __add__ = lambda s, o: L(int(s) + o)

class Blocks(AnswerReportFormatter):
    def _build_answer_blocks(self, text, structured_blocks):
        return [{"type": "heading", "text": "x", "level": LEVEL}]

for LEVEL in (L(2**62), L(2**63), L(-3)):
    heading = {"type": "heading", "text": "x", "level": LEVEL}
    for call in (lambda: AnswerReportFormatter()._render_blocks([heading]),
                 lambda: AnswerReportFormatter().format_data({"answers": [{"text": "t", "blocks": [heading]}]}),
                 lambda: Blocks().format_data({"answers": [{"text": "t"}]})):
        try:
            result = call()
        except Exception as exc:
            print(type(exc).__name__)
        else:
            print(repr(result)[-12:])
"""


def test_heading_levels_whose_comparisons_lie_give_the_hosts_prefix():
    # Rendering computes "#" * min(6, max(1, level + 2)) with the level's own operations:
    # 2**62 + 2 hashes cannot be allocated, 2**63 + 2 is past an index, and a front-end
    # level is clamped by the assembly first.
    proc = _run_child(HEADING_LEVEL_CHILD)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.splitlines() == ["MemoryError"] * 3 + ["OverflowError"] * 3 + [
        "['# x']", "答案\\n\\n### x'", "# 答案\\n\\n# x'"]
