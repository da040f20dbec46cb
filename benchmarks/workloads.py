"""Deterministic result dictionaries for the formatter benchmarks.

Every workload is built by ``build(name, size)``: ``size`` is the workload's
natural count (answers, lines, blocks, rows or bytes), and the same name and
size always give the same dictionary, because each build seeds its own
``random.Random``. ``WORKLOADS`` lists the workloads with their default size.
"""

from __future__ import annotations

import random
import zlib
from dataclasses import dataclass
from typing import Any, Callable, Iterator

SEED = 20240611

# --------------------------------------------------------------------------
# Vocabulary
# --------------------------------------------------------------------------

ZH_CLAUSES = [
    "办公室用水壶最看重容量和烧水速度",
    "这款机型的噪音在 45 分贝左右",
    "建议每月用白醋或柠檬酸除一次水垢",
    "电池续航大约 30 小时",
    "304 不锈钢内胆不会有塑料异味",
    "适合三到五口之家日常使用",
    "过去一个月售出 2000+ 件",
    "买家普遍反映做工扎实、包装完好",
    "如果预算有限可以考虑上一代型号",
    "保修期为一年，可在官网延保",
    "支持 Type-C 快充，充电 10 分钟可用 3 小时",
    "对敏感肌更友好，不含酒精和香精",
    "尺寸为 25 × 18 × 30 厘米，放在台面上不占地方",
    "需要注意滤网每三个月更换一次",
    "价格在 $29.99 到 $45.99 之间浮动",
    "评价里提到最多的是**安静**和**易清洗**",
    "儿童使用时请在大人陪同下操作",
    "可以搭配官方配件一起购买更划算",
]

EN_WORDS = (
    "the this model battery life comfort noise cancelling is rated for hours of "
    "playback and folds into a compact travel case with USB-C fast charging "
    "reviewers mention **excellent** build quality but the ear cups can get warm "
    "on long flights price drops to $249.99 during sales stainless steel body no "
    "plastic touches the water dishwasher safe lid keeps drinks cold up to 24 hours "
    "suction power of 4200 Pa works well on medium-pile rugs and hard floors "
    "`auto-empty` dock holds seven weeks of debris check compatibility before ordering"
).split()

ZH_TITLES = ["选购建议", "推荐型号", "参数对比", "使用小贴士", "常见问题", "注意事项", "结论", "清洁与保养"]
EN_TITLES = ["Short answer", "Top picks", "Side-by-side", "How to descale", "Things to check",
             "Why this one", "Bottom line", "Care and cleaning"]
PRODUCTS = ["COSORI GK172-CO", "小熊 ZDH-Q15", "Hamilton Beach 40880", "Sony WH-1000XM5",
            "Bose QC45", "Soundcore Q45", "roborock Q7 Max+", "Roomba i3+", "Stanley Quencher 40oz",
            "膳魔师 儿童保温杯", "Ninja AF101", "Philips Sonicare 4100"]
CODE_LINES = [
    "def descale(kettle):",
    "    kettle.fill(water=0.5, vinegar=0.5)",
    "    # boil and wait 20 minutes",
    "    kettle.boil()",
    "- this dash line stays verbatim inside the fence",
    "| not | a | table |",
    "| --- | --- | --- |",
    "## not a heading either",
    "   indented code line   ",
    "",
    "for step in range(3): print(step)",
    "SELECT asin, price FROM offers WHERE price < 300;",
]


def _asin(rng: random.Random) -> str:
    return "B0" + "".join(rng.choices("ABCDEFGHJKLMNPQRSTUVWXYZ0123456789", k=8))


def _zh_sentence(rng: random.Random) -> str:
    return "，".join(rng.sample(ZH_CLAUSES, rng.randint(1, 3))) + "。"


def _en_sentence(rng: random.Random) -> str:
    words = [rng.choice(EN_WORDS) for _ in range(rng.randint(6, 18))]
    return words[0].capitalize() + " " + " ".join(words[1:]) + "."


def _sentence(rng: random.Random, zh: bool) -> str:
    return _zh_sentence(rng) if zh else _en_sentence(rng)


def _cell(rng: random.Random, zh: bool) -> str:
    kind = rng.random()
    if kind < 0.3:
        return rng.choice(PRODUCTS)
    if kind < 0.5:
        return f"${rng.randint(9, 499)}.{rng.randint(0, 99):02d}"
    if kind < 0.65:
        return f"{rng.randint(1, 60)} {'小时' if zh else 'h'}"
    if kind < 0.75:
        return rng.choice(["有", "无", "Yes", "No", "-", ""])
    return _sentence(rng, zh)[: rng.randint(4, 24)]


# --------------------------------------------------------------------------
# Markdown-like answer text
# --------------------------------------------------------------------------


def _heading(rng: random.Random, zh: bool) -> list[str]:
    title = rng.choice(ZH_TITLES if zh else EN_TITLES)
    roll = rng.random()
    if roll < 0.05:
        return ["#######  " + title]  # seven hashes: a paragraph line
    if roll < 0.1:
        return ["#" + title]  # no space: a paragraph line
    return ["#" * rng.randint(1, 4) + " " + title + (" " if rng.random() < 0.2 else "")]


def _paragraph(rng: random.Random, zh: bool) -> list[str]:
    lines = [_sentence(rng, zh) for _ in range(rng.randint(1, 3))]
    if rng.random() < 0.2:
        lines[-1] += "   "  # trailing whitespace is trimmed
    return lines


def _list(rng: random.Random, zh: bool) -> list[str]:
    ordered = rng.random() < 0.3
    marker = rng.choice(["-", "*", "•"])
    lines = []
    for number in range(1, rng.randint(2, 7)):
        prefix = f"{number}{rng.choice('.)')} " if ordered else marker + " "
        lines.append(prefix + _sentence(rng, zh))
        for _ in range(rng.choice([0, 0, 0, 1, 1, 2])):
            lines.append(rng.choice(["  ", "    ", "\t"]) + _sentence(rng, zh))
        if rng.random() < 0.1:
            lines.append("  - " + _sentence(rng, zh))  # nested item
    return lines


def _table(rng: random.Random, zh: bool) -> list[str]:
    width = rng.randint(2, 5)
    outer = rng.random() < 0.8
    align = [rng.choice(["---", ":---", "---:", ":---:", "-----"]) for _ in range(width)]

    def row(cells: list[str]) -> str:
        body = " | ".join(cells)
        return f"| {body} |" if outer else body

    lines = [row([_cell(rng, zh) or "列" for _ in range(width)]), row(align)]
    for _ in range(rng.randint(1, 8)):
        cells = width + rng.choice([0, 0, 0, 0, -1, 1])  # some short and long rows
        lines.append(row([_cell(rng, zh) for _ in range(max(2, cells))]))
    return lines


def _fence(rng: random.Random, zh: bool) -> list[str]:
    lines = ["```" + rng.choice(["", "python", "sql", "text"])]
    lines.extend(rng.choice(CODE_LINES) for _ in range(rng.randint(2, 10)))
    lines.append("```")
    return lines


_COMPONENTS: list[tuple[Callable[[random.Random, bool], list[str]], float]] = [
    (_heading, 0.18),
    (_paragraph, 0.34),
    (_list, 0.26),
    (_table, 0.14),
    (_fence, 0.08),
]


def _components(rng: random.Random, zh: bool) -> Iterator[list[str]]:
    makers = [maker for maker, _ in _COMPONENTS]
    weights = [weight for _, weight in _COMPONENTS]
    while True:
        (maker,) = rng.choices(makers, weights)
        lines = maker(rng, zh)
        # Usually one empty line between components, sometimes none or two.
        lines.extend([""] * rng.choice([1, 1, 1, 1, 0, 2]))
        yield lines


def markdown_text(rng: random.Random, zh: bool, min_chars: int, max_chars: int) -> str:
    """A Markdown-like answer text of roughly min_chars..max_chars characters."""
    target = rng.randint(min_chars, max_chars)
    lines: list[str] = []
    size = 0
    for component in _components(rng, zh):
        added = sum(len(line) + 1 for line in component)
        if size + added > max_chars and size >= min_chars:
            break
        lines.extend(component)
        size += added
        if size >= target:
            break
    return "\n".join(lines)


def markdown_lines(rng: random.Random, line_count: int) -> str:
    """Exactly line_count lines of mixed Chinese and English Markdown-like text."""
    lines: list[str] = []
    while len(lines) < line_count:
        zh = rng.random() < 0.5
        for _, component in zip(range(20), _components(rng, zh)):
            lines.extend(component)
    del lines[line_count:]
    return "\n".join(lines)


# --------------------------------------------------------------------------
# Front-end structured blocks, links and answer records
# --------------------------------------------------------------------------


def structured_blocks(rng: random.Random, count: int, zh_ratio: float = 0.5) -> list[dict]:
    """count front-end blocks: headings, paragraphs, list-item runs, table-row runs."""
    blocks: list[dict] = []
    while len(blocks) < count:
        zh = rng.random() < zh_ratio
        roll = rng.random()
        if roll < 0.15:
            block: dict[str, Any] = {"type": "heading", "text": rng.choice(ZH_TITLES if zh else EN_TITLES)}
            level_roll = rng.random()
            if level_roll < 0.8:
                block["level"] = rng.randint(1, 4)
            elif level_roll < 0.9:
                block["level"] = "2"  # not an int: default level
            blocks.append(block)
        elif roll < 0.45:
            blocks.append({"type": "paragraph", "text": " ".join(_sentence(rng, zh) for _ in range(rng.randint(1, 3)))})
        elif roll < 0.7:
            for _ in range(rng.randint(1, 8)):
                blocks.append({"type": "list_item", "text": _sentence(rng, zh)})
        elif roll < 0.95:
            width = rng.randint(2, 5)
            for row_number in range(rng.randint(2, 10)):
                # Body rows are sometimes a cell short or long.
                cell_count = width + (0 if row_number == 0 else rng.choice([0, 0, 0, -1, 1]))
                cells = [_cell(rng, zh) for _ in range(cell_count)]
                if rng.random() < 0.15:
                    blocks.append({"type": "table_row", "text": " | ".join(cells) if len(cells) > 1 else "a | b"})
                else:
                    blocks.append({"type": "table_row", "text": " | ".join(cells), "cells": cells})
        else:
            # Content the grouping skips: unknown types and empty texts.
            blocks.append(rng.choice([
                {"type": "image", "text": "https://m.media-amazon.com/images/I/71.jpg"},
                {"type": "paragraph", "text": "   "},
                {"type": "list_item"},
                {"type": "divider"},
            ]))
    del blocks[count:]
    return blocks


def _link_items(rng: random.Random, recommended: bool) -> list[Any]:
    items: list[Any] = []
    for _ in range(rng.randint(0, 5)):
        asin = _asin(rng)
        roll = rng.random()
        if roll < 0.35:
            items.append(asin if recommended else f"https://www.amazon.com/dp/{asin}")
            continue
        item: dict[str, Any] = {"asin": asin}
        if rng.random() < 0.8:
            item["title"] = rng.choice(PRODUCTS) + " " + _en_sentence(rng)[:40]
        if rng.random() < 0.8:
            item["href"] = f"https://www.amazon.com/dp/{asin}"
        if rng.random() < 0.4:
            item["source"] = rng.choice(["rufus_card", "Rufus", "sponsored"])
        if rng.random() < 0.4:
            item["description"] = f"{rng.randint(30, 50) / 10} 星 · {rng.randint(1, 9)} 万条评价"
        items.append(item)
    if rng.random() < 0.1:
        items.append("   ")  # blank strings are skipped
    return items


def realistic_answer(rng: random.Random, index: int) -> dict:
    zh = rng.random() < 0.5
    answer: dict[str, Any] = {
        "questionIndex": index,
        "isSuccess": True,
        "text": markdown_text(rng, zh, 300, 4000),
        "productLinks": _link_items(rng, recommended=False),
        "recommendedAsins": _link_items(rng, recommended=True),
        "elapsedMs": rng.randint(3000, 30000),
    }
    if rng.random() < 0.85:
        answer["summaryText"] = _sentence(rng, zh)
    if rng.random() < 0.1:
        answer["text"] = answer["text"].replace("\n", "\r\n")
    if rng.random() < 0.3:
        answer["blocks"] = structured_blocks(rng, rng.randint(5, 40), 1.0 if zh else 0.0)
    roll = rng.random()
    if roll < 0.06:
        answer.update(isSuccess=False, text="", blocks=structured_blocks(rng, 3))
    elif roll < 0.1:
        answer.update(isSuccess=False, text=None)
        answer.pop("summaryText", None)
    return answer


def _questions(rng: random.Random, count: int) -> list[Any]:
    questions: list[Any] = []
    for number in range(1, count + 1):
        text = f"{rng.choice(PRODUCTS)} 第 {number} 个问题：{_zh_sentence(rng)[:30]}？"
        roll = rng.random()
        if roll < 0.7:
            questions.append(text)
        elif roll < 0.85:
            questions.append({"question": text, "id": number})
        else:
            questions.append({"text": "  " + text + "  "})
    return questions


# --------------------------------------------------------------------------
# Workloads
# --------------------------------------------------------------------------


def _report(rng: random.Random, answers: int) -> dict:
    # A few trailing answers have no question and get the fallback title.
    return {
        "task_id": "bench",
        "questions": _questions(rng, max(0, answers - 2)),
        "answers": [realistic_answer(rng, index) for index in range(1, answers + 1)],
    }


def _long_text(rng: random.Random, lines: int) -> dict:
    return {"questions": ["长文本"], "answers": [{"isSuccess": True, "text": markdown_lines(rng, lines)}]}


def _blocks(rng: random.Random, count: int) -> dict:
    return {
        "questions": ["结构化"],
        "answers": [{"isSuccess": True, "text": "fallback text", "blocks": structured_blocks(rng, count)}],
    }


def _continuation(rng: random.Random, lines: int) -> dict:
    body = "\n".join(f"  续行 {number} more" for number in range(lines))
    return {"answers": [{"text": "- 第一项 first item\n" + body}]}


def _long_line(rng: random.Random, size: int) -> dict:
    parts: list[str] = []
    total = 0
    while total < size:
        part = _sentence(rng, rng.random() < 0.5)
        if rng.random() < 0.05:
            part += " | "
        parts.append(part)
        total += len(part.encode()) + 1
    line = " ".join(parts)
    # Cut to exactly size UTF-8 bytes, on a character boundary.
    line = line.encode()[:size].decode(errors="ignore")
    return {"answers": [{"text": line}]}


def _big_table(rng: random.Random, rows: int) -> dict:
    lines = ["| ASIN | 型号 | Price | Rating |", "| --- | :---: | ---: | --- |"]
    lines.extend(
        f"| {_asin(rng)} | {rng.choice(PRODUCTS)} | ${rng.randint(9, 499)}.99 | {rng.randint(30, 50) / 10} |"
        for _ in range(rows)
    )
    return {"answers": [{"text": "参数如下：\n\n" + "\n".join(lines)}]}


def _unclosed_fence(rng: random.Random, lines: int) -> dict:
    body = [rng.choice(CODE_LINES) for _ in range(lines)]
    return {"answers": [{"text": "示例代码：\n```python\n" + "\n".join(body)}]}


def _tiny_answers(rng: random.Random, answers: int) -> dict:
    shapes: list[Callable[[], Any]] = [
        lambda: {"text": "好"},
        lambda: {"text": "- yes"},
        lambda: {"text": "", "isSuccess": False},
        lambda: {"text": "ok", "summaryText": "短"},
        lambda: None,
        lambda: {"blocks": [{"type": "paragraph", "text": "p"}]},
    ]
    return {
        "questions": [f"Q{number}" for number in range(answers // 2)],
        "answers": [rng.choice(shapes)() for _ in range(answers)],
    }


@dataclass(frozen=True)
class Workload:
    name: str
    description: str
    size: int  # default size n
    quick_size: int  # n for --quick
    builder: Callable[[random.Random, int], dict]
    unit: str = "line"  # what the per-unit time is counted in


WORKLOADS: dict[str, Workload] = {
    w.name: w
    for w in [
        Workload("report", "realistic report, n answers", 50, 50, _report),
        Workload("long_text", "one answer of n Markdown-like lines", 20_000, 2_000, _long_text),
        Workload("blocks", "one answer of n structured blocks", 10_000, 1_000, _blocks),
        Workload("continuation", "n continuation lines under one list item", 100_000, 10_000, _continuation),
        Workload("long_line", "one line of n bytes", 1 << 20, 1 << 17, _long_line, unit="MiB"),
        Workload("big_table", "pipe table of n rows", 50_000, 5_000, _big_table),
        Workload("unclosed_fence", "unclosed fence of n lines", 50_000, 5_000, _unclosed_fence),
        Workload("tiny_answers", "n tiny answers", 5_000, 500, _tiny_answers),
    ]
}


def build(name: str, size: int) -> dict:
    """The result dictionary of workload name at size; same arguments, same result."""
    rng = random.Random(SEED ^ zlib.crc32(f"{name}:{size}".encode()))
    return WORKLOADS[name].builder(rng, size)


def report_mix(count: int = 16) -> list[dict]:
    """count different realistic reports of 20 to 80 answers, as a caller's reports vary."""
    reports = []
    for number in range(count):
        rng = random.Random(SEED ^ zlib.crc32(f"mix:{number}".encode()))
        reports.append(_report(rng, rng.randint(20, 80)))
    return reports


def input_texts(data: dict) -> list[str]:
    """Every text value of the answers and questions, in document order."""
    texts: list[str] = []

    def walk(value: Any) -> None:
        if isinstance(value, str):
            texts.append(value)
        elif isinstance(value, dict):
            for item in value.values():
                walk(item)
        elif isinstance(value, list):
            for item in value:
                walk(item)

    walk(data.get("questions"))
    walk(data.get("answers"))
    return texts


def unit_count(name: str, data: dict) -> float:
    """How many units (input lines, or MiB for long_line) the workload holds.

    Input lines are the lines of every answer text plus one per structured block.
    """
    answers = data.get("answers") or []
    if WORKLOADS[name].unit == "MiB":
        return sum(len((a.get("text") or "").encode()) for a in answers if isinstance(a, dict)) / (1 << 20)
    lines = 0
    for answer in answers:
        if not isinstance(answer, dict):
            lines += 1
            continue
        text = answer.get("text")
        if isinstance(text, str):
            lines += text.count("\n") + 1
        blocks = answer.get("blocks")
        if isinstance(blocks, list):
            lines += len(blocks)
    return lines
