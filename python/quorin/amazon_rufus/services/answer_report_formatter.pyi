# The extension reports bare ``dict`` in its runtime annotations; the stub
# gives the precise types, so that code written against it (an override of a
# step included) passes ``mypy --strict``.
"""Amazon Rufus 答案报告格式化服务。"""

from typing import Any

__test__: dict[str, Any]

class AnswerReportFormatter:
    """将 Rufus 全量结果投影为前端风格的终端报告。"""

    def format_data(self, data: dict[str, Any]) -> str:
        """格式化 manager 返回的完整数据。"""
    def _extract_questions(self, data: dict[str, Any]) -> list[str]:
        """从全量数据中提取题目文本。"""
    def _normalize_question_list(self, raw_questions: Any) -> list[str]:
        """兼容字符串题目与前端 question item。"""
    def _question_at(self, questions: list[str], index: int) -> str:
        """读取第 N 题文本，缺失时使用稳定兜底。"""
    def _format_section(self, index: int, answer: Any, question: str) -> str:
        """格式化单题 section。"""
    def _format_answer_body(self, index: int, answer: dict[str, Any]) -> list[str]:
        """按前端 block 模型格式化答案正文。"""
    def _format_product_links(self, raw_links: Any) -> list[str]:
        """格式化相关产品。"""
    def _format_recommended_asins(self, raw_items: Any) -> list[str]:
        """格式化推荐 ASIN。"""
    def _format_link_items(self, raw_items: Any, *, include_source: bool) -> list[str]:
        """兼容字符串链接和前端链接对象。"""
    def _build_answer_blocks(self, text: str, structured_blocks: Any) -> list[dict[str, Any]]:
        """优先使用结构化 blocks，不可渲染时回退解析文本。"""
    def _build_structured_answer_blocks(self, structured_blocks: list[Any]) -> list[dict[str, Any]]:
        """按前端结构化 block 规则组装展示块。"""
    def _normalize_structured_row(self, block: dict[str, Any]) -> list[str] | None:
        """读取结构化表格行。"""
    def _normalize_row_cells(self, row: list[str], width: int) -> list[str]:
        """补齐或合并表格列。"""
    def _build_text_fallback_blocks(self, text: str) -> list[dict[str, Any]]:
        """解析 Markdown-like 文本为中间块。"""
    def _to_structured_blocks(self, blocks: list[dict[str, Any]]) -> list[dict[str, Any]]:
        """将中间块转换为前端结构化 block。"""
    def _render_blocks(self, blocks: list[dict[str, Any]]) -> list[str]:
        """将展示块渲染为 Markdown-like 文本。"""
    def _normalize_text_lines(self, text: str) -> list[str]:
        """统一换行符。"""
    def _parse_markdown_heading(self, line: str) -> dict[str, Any] | None:
        """解析 Markdown 标题。"""
    def _parse_markdown_list_item(self, line: str) -> dict[str, Any] | None:
        """解析 Markdown 列表项。"""
    def _parse_markdown_table(self, lines: list[str], start_index: int) -> tuple[dict[str, Any], int] | None:
        """解析带 delimiter 的 Markdown 表格。"""
    def _parse_pipe_row(self, line: str) -> list[str] | None:
        """解析管道分隔行。"""
    def _is_markdown_delimiter_row(self, cells: list[str]) -> bool:
        """判断是否为 Markdown 表头分隔符。"""
    def _collapse_blank_lines(self, text: str) -> str:
        """压缩连续空行并清理行尾空白。"""
