"""Extra worksheets for a saved extraction workbook.

The extraction writes its workbook in one go; reports built on the same plots
(a composite map, verdicts) are added afterwards as worksheets of their own,
leaving "Sheet" as it was. The file is rewritten beside itself and swapped in
with one rename, so a failure at any point leaves the original workbook intact.

Loading a big extraction workbook into openpyxl and saving it again takes
minutes. So the new worksheets are filled in a small workbook of their own, and
its worksheet parts are added to the saved package next to the untouched parts
of the original (cell styles merged into its style table). Where the small
workbook holds anything this merge does not know (drawings, comments, named
ranges, shared strings ...), the whole workbook goes through openpyxl instead.
"""

from __future__ import annotations

import io
import os
import re
import shutil
import zipfile
from pathlib import Path
from typing import Any, Callable, Iterable, Iterator, Mapping
from xml.etree import ElementTree
from xml.sax.saxutils import escape, quoteattr

from .headers import HEADER_FIELDS, header_cells
from .outputs import replace_keeping_mode
from .review import REVIEW_COLUMNS
from .symbols import LABEL_KEYS

__all__ = ["PreparedSheet", "append_worksheets", "check_sheet_name"]

# What spreadsheet programs accept as a worksheet name.
_MAX_NAME = 31
_FORBIDDEN = set("[]:*?/\\")


class PreparedSheet:
    """A worksheet big enough that filling it cell by cell through openpyxl
    would dominate the run: given as its sheet XML, with its cell formats
    named by key. ``formats`` maps each key to a function that styles an
    openpyxl cell; ``xml(index)`` returns the worksheet part's text, where
    ``index[key]`` is the cell format number to write as ``s="..."``.
    ``fill`` fills an openpyxl worksheet the ordinary way, with the same
    result; it is used where the package merge cannot be.
    """

    def __init__(self, fill: Callable[[Any], None], formats: Mapping[str, Callable[[Any], None]],
                 xml: Callable[[Mapping[str, int]], str]) -> None:
        self.fill = fill
        self.formats = formats
        self.xml = xml

    def __call__(self, ws: Any) -> None:
        self.fill(ws)


def check_sheet_name(name: str) -> None:
    if not isinstance(name, str) or not name.strip():
        raise ValueError(f"worksheet name must be a non-empty text, got {name!r}")
    if len(name) > _MAX_NAME:
        raise ValueError(f"worksheet name {name!r} is longer than {_MAX_NAME} characters")
    bad = sorted(_FORBIDDEN & set(name))
    if bad:
        raise ValueError(f"worksheet name {name!r} must not contain {' '.join(bad)}")
    if name.startswith("'") or name.endswith("'"):
        raise ValueError(f"worksheet name {name!r} must not start or end with an apostrophe")


def append_worksheets(path: str | os.PathLike[str], sheets: Mapping[str, Callable[[Any], None]]) -> Path:
    """Adds one worksheet per entry of ``sheets`` (name -> function that fills
    the new openpyxl worksheet) to the workbook at ``path``, in the given order.

    A name the workbook already has is refused (ValueError) rather than
    replaced. The result keeps the file's permission bits; a symbolic link
    keeps pointing at the rewritten file. Returns the path written.
    """
    target = Path(os.path.realpath(path))
    names = list(sheets)
    for name in names:
        check_sheet_name(name)
    if len({name.casefold() for name in names}) != len(names):
        raise ValueError(f"worksheet names must differ (ignoring case): {names}")

    def write(temporary: str) -> None:
        try:
            _merge_into_package(target, temporary, names, sheets)
        except _NotMergeable:
            _through_openpyxl(target, temporary, names, sheets)

    return replace_keeping_mode(target, write)


def _refuse_taken(target: Path, existing: list[str], names: list[str]) -> None:
    taken = {title.casefold() for title in existing}
    for name in names:
        if name.casefold() in taken:
            raise ValueError(f"{target} already has a worksheet named {name!r}")


def _through_openpyxl(target: Path, temporary: str, names: list[str], sheets: Mapping[str, Callable[[Any], None]]) -> None:
    import openpyxl

    workbook = openpyxl.load_workbook(target)
    _refuse_taken(target, workbook.sheetnames, names)
    for name in names:
        sheets[name](workbook.create_sheet(name))
    workbook.save(temporary)


# ---------------------------------------------------------------------------
# Adding worksheet parts to a saved package

_MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
_PKG_REL = "http://schemas.openxmlformats.org/package/2006/relationships"
_DOC_REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
_XML_NS = "http://www.w3.org/XML/1998/namespace"
_WORKSHEET_REL = _DOC_REL + "/worksheet"
_WORKSHEET_TYPE = "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"
_PLACEHOLDER = "placeholder"


class _NotMergeable(Exception):
    """The small workbook holds something the merge does not carry over."""


def _local(tag: str) -> str:
    return tag.rsplit("}", 1)[-1]


def _serialise(element: ElementTree.Element) -> str:
    """Element text in the main namespace without prefixes, as the style and
    sheet parts write it; refuses foreign attributes rather than guess."""
    if not element.tag.startswith("{" + _MAIN + "}"):
        raise _NotMergeable(element.tag)
    parts = ["<", _local(element.tag)]
    for key, value in sorted(element.attrib.items()):
        if key.startswith("{" + _XML_NS + "}"):
            key = "xml:" + _local(key)
        elif key.startswith("{"):
            raise _NotMergeable(key)
        parts.append(f" {key}={quoteattr(value)}")
    children = list(element)
    if not children and not element.text:
        parts.append(" />")
        return "".join(parts)
    parts.append(">")
    parts.append(escape(element.text or ""))
    for child in children:
        parts.append(_serialise(child))
        parts.append(escape(child.tail or ""))
    parts.append(f"</{_local(element.tag)}>")
    return "".join(parts)


def _part_target(base: str, target: str) -> str:
    """The package part a relationship target names, relative to ``base``'s folder."""
    if target.startswith("/"):
        return target[1:]
    folder = base.rsplit("/", 1)[0] if "/" in base else ""
    parts: list[str] = []
    for piece in (folder + "/" + target).split("/"):
        if piece == "..":
            if parts:
                parts.pop()
        elif piece and piece != ".":
            parts.append(piece)
    return "/".join(parts)


def _rels_name(part: str) -> str:
    folder, _, name = part.rpartition("/")
    return f"{folder}/_rels/{name}.rels" if folder else f"_rels/{name}.rels"


def _workbook_part(package: zipfile.ZipFile) -> str:
    rels = ElementTree.fromstring(package.read("_rels/.rels"))
    for rel in rels:
        if rel.get("Type", "").endswith("/officeDocument"):
            return _part_target("", rel.get("Target", ""))
    raise _NotMergeable("no workbook part")


def _sheet_parts(package: zipfile.ZipFile, workbook_part: str) -> list[tuple[str, str]]:
    """(name, part) of each worksheet, in order."""
    workbook = ElementTree.fromstring(package.read(workbook_part))
    rels = ElementTree.fromstring(package.read(_rels_name(workbook_part)))
    targets = {rel.get("Id"): _part_target(workbook_part, rel.get("Target", "")) for rel in rels}
    sheets = workbook.find(f"{{{_MAIN}}}sheets")
    if sheets is None:
        raise _NotMergeable("no sheets")
    return [(s.get("name", ""), targets.get(s.get(f"{{{_DOC_REL}}}id"), "")) for s in sheets]


class _Styles:
    """The original's style table, grown by the styles the new sheets use."""

    LISTS = ("numFmts", "fonts", "fills", "borders", "cellXfs")

    def __init__(self, text: str, scratch_text: str) -> None:
        self.text = text
        root = ElementTree.fromstring(text)
        scratch = ElementTree.fromstring(scratch_text)
        self.items = {name: [_serialise(e) for e in self._list(root, name)] for name in self.LISTS}
        self.added: dict[str, list[str]] = {name: [] for name in self.LISTS}
        self.scratch = {name: list(self._list(scratch, name)) for name in self.LISTS}
        dxfs = scratch.find(f"{{{_MAIN}}}dxfs")
        if dxfs is not None and len(dxfs):
            raise _NotMergeable("differential styles")
        self.formats = {e.get("formatCode"): int(e.get("numFmtId", "0")) for e in self._list(root, "numFmts")}
        self.xf_map: dict[int, int] = {}

    @staticmethod
    def _list(root: ElementTree.Element, name: str) -> list[ElementTree.Element]:
        found = root.find(f"{{{_MAIN}}}{name}")
        if found is None:
            if name == "numFmts":
                return []
            raise _NotMergeable(f"no {name}")
        return list(found)

    def _index(self, name: str, text: str) -> int:
        items = self.items[name]
        try:
            return items.index(text)
        except ValueError:
            items.append(text)
            self.added[name].append(text)
            return len(items) - 1

    def _number_format(self, scratch_id: int) -> int:
        if scratch_id < 164:
            return scratch_id  # built in
        for fmt in self.scratch["numFmts"]:
            if int(fmt.get("numFmtId", "-1")) == scratch_id:
                code = fmt.get("formatCode", "")
                if code not in self.formats:
                    new_id = max([163, *self.formats.values()]) + 1
                    self.formats[code] = new_id
                    self.added["numFmts"].append(f"<numFmt formatCode={quoteattr(code)} numFmtId=\"{new_id}\" />")
                return self.formats[code]
        raise _NotMergeable(f"number format {scratch_id}")

    def xf(self, scratch_index: int) -> int:
        """The original's cell format index for the small workbook's one."""
        if scratch_index not in self.xf_map:
            xfs = self.scratch["cellXfs"]
            if not 0 <= scratch_index < len(xfs):
                raise _NotMergeable(f"cell format {scratch_index}")
            xf = ElementTree.Element(xfs[scratch_index].tag, dict(xfs[scratch_index].attrib))
            xf.extend(list(xfs[scratch_index]))
            if xf.get("xfId", "0") != "0":
                raise _NotMergeable("named cell style")
            for key, name in (("fontId", "fonts"), ("fillId", "fills"), ("borderId", "borders")):
                index = int(xf.get(key, "0"))
                if not 0 <= index < len(self.scratch[name]):
                    raise _NotMergeable(f"{key} {index}")
                xf.set(key, str(self._index(name, _serialise(self.scratch[name][index]))))
            xf.set("numFmtId", str(self._number_format(int(xf.get("numFmtId", "0")))))
            self.xf_map[scratch_index] = self._index("cellXfs", _serialise(xf))
        return self.xf_map[scratch_index]

    def result(self) -> str:
        text = self.text
        for name in self.LISTS:
            if not self.added[name]:
                continue
            total = len(self.formats) if name == "numFmts" else len(self.items[name])
            text = _append_children(text, name, self.added[name], total)
        return text


def _append_children(text: str, name: str, children: list[str], total: int) -> str:
    """Appends element texts to the list element ``name`` and sets its count."""
    empty = re.search(rf"<{name}\b([^>]*?)/>", text)
    opened = re.search(rf"<{name}\b([^>]*)>", text)
    if empty and (not opened or empty.start() <= opened.start()):
        attrs = re.sub(r'\s*count="\d*"', "", empty.group(1)).rstrip()
        return (text[: empty.start()] + f'<{name}{attrs} count="{total}">' + "".join(children) + f"</{name}>"
                + text[empty.end():])
    closing = text.find(f"</{name}>")
    if not opened or closing < 0:
        if name == "numFmts":
            # A table without number formats gets its list first, where it belongs.
            at = text.index(">", text.index("<styleSheet")) + 1
            return text[:at] + f'<numFmts count="{total}">' + "".join(children) + "</numFmts>" + text[at:]
        raise _NotMergeable(f"no {name}")
    attrs = re.sub(r'\s*count="\d*"', "", opened.group(1)).rstrip()
    head = f'<{name}{attrs} count="{total}">'
    return text[: opened.start()] + head + text[opened.end() : closing] + "".join(children) + text[closing:]


_STYLED = re.compile(r'(<(?:c|row)\b[^>]*?\ss=")(\d+)(")')
_COL_STYLED = re.compile(r'(<col\b[^>]*?\sstyle=")(\d+)(")')


def _restyle(sheet_xml: str, styles: _Styles) -> str:
    def swap(m: re.Match[str]) -> str:
        return f"{m.group(1)}{styles.xf(int(m.group(2)))}{m.group(3)}"

    return _COL_STYLED.sub(swap, _STYLED.sub(swap, sheet_xml))


def _scratch_package(
    names: list[str], sheets: Mapping[str, Callable[[Any], None]]
) -> tuple[zipfile.ZipFile, dict[str, str]]:
    """The new worksheets saved in a workbook of their own, and the sheet XML
    of each prepared sheet (whose formats were registered on scratch cells)."""
    import openpyxl

    scratch = openpyxl.Workbook()
    scratch.active.title = _PLACEHOLDER  # stays the selected tab; never copied
    prepared: dict[str, tuple[PreparedSheet, dict[str, int]]] = {}
    for name in names:
        ws = scratch.create_sheet(name)
        filler = sheets[name]
        if isinstance(filler, PreparedSheet):
            # Each format is put on a cell of the placeholder sheet, which
            # registers it in the style table the merge then reads.
            index: dict[str, int] = {}
            for key, style in filler.formats.items():
                cell = scratch.active.cell(row=len(index) + 1, column=1)
                style(cell)
                index[key] = cell.style_id
            prepared[name] = (filler, index)
        else:
            filler(ws)
    buffer = io.BytesIO()
    scratch.save(buffer)
    return zipfile.ZipFile(buffer), {name: filler.xml(index) for name, (filler, index) in prepared.items()}


def _merge_into_package(
    target: Path, temporary: str, names: list[str], sheets: Mapping[str, Callable[[Any], None]]
) -> None:
    with zipfile.ZipFile(target) as original:
        book_part = _workbook_part(original)
        existing = _sheet_parts(original, book_part)
        _refuse_taken(target, [name for name, _ in existing], names)
        scratch, prepared = _scratch_package(names, sheets)
        scratch_book = _workbook_part(scratch)
        book_xml = scratch.read(scratch_book).decode("utf-8")
        if re.search(r"<definedName\b", book_xml):
            raise _NotMergeable("named ranges")
        scratch_sheets = dict(_sheet_parts(scratch, scratch_book))
        copied = {scratch_book, _rels_name(scratch_book), "[Content_Types].xml", "_rels/.rels"}
        copied |= {part for part in scratch.namelist() if part.startswith(("docProps/", "xl/theme/"))}
        copied |= {part for part in scratch.namelist() if part.endswith("styles.xml")}
        copied.add(scratch_sheets[_PLACEHOLDER])
        copied |= {_rels_name(scratch_sheets[_PLACEHOLDER])}
        new_parts = {scratch_sheets[name]: name for name in names}
        for part in scratch.namelist():
            if part in copied or part in new_parts:
                continue
            if part.endswith(".rels") and part.replace("_rels/", "")[: -len(".rels")] in new_parts:
                links = ElementTree.fromstring(scratch.read(part))
                if any(rel.get("TargetMode") != "External" for rel in links):
                    raise _NotMergeable("sheet parts beyond hyperlinks")
                continue
            raise _NotMergeable(part)

        styles_part = next((_part_target(book_part, rel.get("Target", ""))
                            for rel in ElementTree.fromstring(original.read(_rels_name(book_part)))
                            if rel.get("Type", "").endswith("/styles")), None)
        scratch_styles = next(part for part in scratch.namelist() if part.endswith("styles.xml"))
        if styles_part is None or styles_part not in original.namelist():
            raise _NotMergeable("no style table")
        styles = _Styles(original.read(styles_part).decode("utf-8"), scratch.read(scratch_styles).decode("utf-8"))

        taken_parts = {part.casefold() for part in original.namelist()}
        folder = existing[0][1].rsplit("/", 1)[0] if existing and "/" in existing[0][1] else "xl/worksheets"
        added: list[tuple[str, str, bytes, bytes | None]] = []  # name, part, xml, rels
        number = 1
        for name in names:
            while f"{folder}/sheet{number}.xml".casefold() in taken_parts:
                number += 1
            part = f"{folder}/sheet{number}.xml"
            taken_parts.add(part.casefold())
            source = scratch_sheets[name]
            text = prepared[name] if name in prepared else scratch.read(source).decode("utf-8")
            xml = _restyle(text, styles).encode("utf-8")
            rels_source = _rels_name(source)
            sheet_rels = scratch.read(rels_source) if rels_source in scratch.namelist() else None
            added.append((name, part, xml, sheet_rels))

        book_rels_part = _rels_name(book_part)
        book_rels = original.read(book_rels_part).decode("utf-8")
        rel_ids = set(re.findall(r'\bId="([^"]*)"', book_rels))
        workbook = original.read(book_part).decode("utf-8")
        sheet_ids = [int(v) for v in re.findall(r'<(?:\w+:)?sheet\b[^>]*?\bsheetId="(\d+)"', workbook)]
        types = original.read("[Content_Types].xml").decode("utf-8")
        next_id = max(sheet_ids, default=0) + 1
        rel_number = 1
        sheet_entries, rel_entries, type_entries = [], [], []
        for name, part, _, _ in added:
            while f"rId{rel_number}" in rel_ids:
                rel_number += 1
            rel_id = f"rId{rel_number}"
            rel_ids.add(rel_id)
            sheet_entries.append(f'<sheet name={quoteattr(name)} sheetId="{next_id}" state="visible" r:id="{rel_id}" />')
            next_id += 1
            rel_entries.append(f'<Relationship Type="{_WORKSHEET_REL}" Target="/{part}" Id="{rel_id}" />')
            type_entries.append(f'<Override PartName="/{part}" ContentType="{_WORKSHEET_TYPE}" />')
        workbook = _insert_before_closing(workbook, "sheets", "".join(sheet_entries), needs_r_prefix=True)
        book_rels = _insert_before_closing(book_rels, "Relationships", "".join(rel_entries))
        types = _insert_before_closing(types, "Types", "".join(type_entries))
        replaced = {book_part: workbook, book_rels_part: book_rels, "[Content_Types].xml": types,
                    styles_part: styles.result()}

        with zipfile.ZipFile(temporary, "w", zipfile.ZIP_DEFLATED, allowZip64=True) as out:
            for info in original.infolist():
                copy = zipfile.ZipInfo(info.filename, info.date_time)
                copy.compress_type = info.compress_type
                copy.external_attr = info.external_attr
                if info.filename in replaced:
                    out.writestr(copy, replaced[info.filename].encode("utf-8"))
                    continue
                with original.open(info) as src, out.open(copy, "w", force_zip64=info.file_size > 1 << 30) as dst:
                    shutil.copyfileobj(src, dst, 1 << 20)
            for _, part, xml, sheet_rels in added:
                out.writestr(part, xml)
                if sheet_rels is not None:
                    out.writestr(_rels_name(part), sheet_rels)


def _insert_before_closing(text: str, tag: str, addition: str, needs_r_prefix: bool = False) -> str:
    closing = re.search(rf"</((?:\w+:)?){tag}>", text)
    if closing is None:
        raise _NotMergeable(f"no {tag}")
    prefix = closing.group(1)
    if prefix:
        addition = re.sub(r"<(\w)", rf"<{prefix}\1", addition)
    if needs_r_prefix:
        declared = re.search(rf'xmlns:(\w+)="{re.escape(_DOC_REL)}"', text)
        if declared is None:
            raise _NotMergeable("no relationship namespace")
        addition = addition.replace(" r:id=", f" {declared.group(1)}:id=")
    return text[: closing.start()] + addition + text[closing.start():]


# ---------------------------------------------------------------------------
# The "Verdicts" worksheet of triage --workbook

VERDICTS_SHEET = "Verdicts"


# The probabilities, review and why under the verdict CSV's names; new columns
# go at the end.
VERDICT_HEADER = ("datalog", "site", "plot", "item", "label", *LABEL_KEYS, "reason", "orientation", *REVIEW_COLUMNS,
                  "plot on Sheet", *HEADER_FIELDS)
_LINK_COLUMN = VERDICT_HEADER.index("plot on Sheet") + 1


def plot_cell(pair: int, interval_columns: int, start_row: int) -> str:
    """A1 reference of the first cell of a plot group of pair ``pair`` (1-based)
    that starts on ``start_row`` of the extraction's "Sheet"."""
    from openpyxl.utils import get_column_letter

    return f"{get_column_letter((pair - 1) * interval_columns + 1)}{start_row}"


def verdict_rows(verdicts: Iterable[tuple[Any, int, int | None]], interval_columns: int,
                 header_of: Callable[[Any], Mapping[str, str]] | None = None
                 ) -> Iterator[tuple[list[object], str | None]]:
    """(row values, A1 target on "Sheet" or None) per verdict, given with the
    number of its site block and the row its plot group starts on there (None
    where that is not known). The link's own cell is None in the values;
    ``header_of`` gives the header fields of a verdict's datalog."""
    from .extraction import visible

    for v, pair, row in verdicts:
        scores = [round(s, 4) for s in v.scores] if v.scores is not None else [None] * len(LABEL_KEYS)
        probs = [round(p, 4) for p in v.probabilities] if v.probabilities is not None else [None] * len(LABEL_KEYS)
        values: list[object] = [visible(v.datalog), v.site, v.plot, v.item, v.label, *scores, v.reason or None,
                                v.orientation or None, *probs, "yes" if v.review else "no", v.why or None, None,
                                *(cell or None for cell in header_cells(header_of(v) if header_of else {}))]
        yield values, plot_cell(pair, interval_columns, row) if row is not None else None


def fill_verdicts(ws: Any, rows: Iterable[tuple[list[object], str | None]]) -> None:
    """Fills an openpyxl worksheet with the verdict rows, each linking to its
    plot on "Sheet" where its place is known. Texts stay texts (a "=" never
    becomes a formula)."""
    from openpyxl.styles import Font
    from openpyxl.worksheet.hyperlink import Hyperlink

    ws.append(list(VERDICT_HEADER))
    for cell in ws[1]:
        cell.font = Font(bold=True)
    link_font = Font(color="0563C1", underline="single")
    r = 1
    for values, target in rows:
        r += 1
        for c, value in enumerate(values, start=1):
            cell = ws.cell(row=r, column=c)
            cell.value = value
            if isinstance(value, str):
                cell.data_type = "s"
        if target is None:
            continue
        link = ws.cell(row=r, column=_LINK_COLUMN, value=f"Sheet!{target}")
        link.data_type = "s"
        link.hyperlink = Hyperlink(ref=link.coordinate, location=f"Sheet!{target}")
        link.font = link_font
    ws.freeze_panes = "A2"
    for letter, width in (("A", 28), ("B", 6), ("C", 6), ("D", 40), ("E", 22)):
        ws.column_dimensions[letter].width = width
    from openpyxl.utils import get_column_letter

    ws.column_dimensions[get_column_letter(VERDICT_HEADER.index("why") + 1)].width = 50
