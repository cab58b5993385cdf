#!/usr/bin/env python3
"""Builds the help file "TKL使用手册.chm" from the user guide (Markdown).

    make_chm.py GUIDE.md OUT.chm WORKDIR [CHMCMD]

The guide is turned into one HTML page (the Markdown the guide uses:
headings, paragraphs, lists, tables, images, code, links, bold), its images
are copied beside it, a table of contents is made from the headings, and
Free Pascal's chmcmd compiles the lot. Pages and contents are written in
GBK with the Chinese (PRC) language id, which is what HTML Help viewers
expect of a Chinese help file.
"""
import html
import os
import re
import shutil
import subprocess
import sys

ENCODING = "gbk"


def inline(text):
    """Markdown inline markup of one line to HTML."""
    out = []
    pos = 0
    # Code spans first: nothing inside them is markup.
    for m in re.finditer(r"`([^`]+)`", text):
        out.append(inline_plain(text[pos:m.start()]))
        out.append("<code>%s</code>" % html.escape(m.group(1)))
        pos = m.end()
    out.append(inline_plain(text[pos:]))
    return "".join(out)


def inline_plain(text):
    text = html.escape(text, quote=False)
    text = re.sub(r"!\[([^\]]*)\]\(([^)\s]+)\)",
                  lambda m: '<img src="%s" alt="%s">' % (os.path.basename(m.group(2)), m.group(1)), text)
    text = re.sub(r"\[([^\]]+)\]\(([^)\s]+)\)", r'<a href="\2">\1</a>', text)
    text = re.sub(r"\*\*([^*]+)\*\*", r"<b>\1</b>", text)
    return text


def join(parts):
    """Joins wrapped lines: a space between Latin words, none next to Chinese."""
    out = ""
    for p in parts:
        if not p:
            continue
        if out and not (is_cjk(out[-1]) or is_cjk(p[0])):
            out += " "
        out += p
    return out


def is_cjk(ch):
    return ord(ch) >= 0x2e80


def slug(n):
    return "s%d" % n


def convert(lines):
    """Returns (body HTML, [(level, anchor, title)], [image paths])."""
    body, toc, images = [], [], []
    para, i = [], 0

    def flush():
        if para:
            body.append("<p>%s</p>" % inline(join(para)))
            para.clear()

    while i < len(lines):
        line = lines[i].rstrip("\n")
        stripped = line.strip()
        for m in re.finditer(r"!\[[^\]]*\]\(([^)\s]+)\)", line):
            images.append(m.group(1))
        if stripped.startswith("```"):
            flush()
            i += 1
            code = []
            while i < len(lines) and not lines[i].strip().startswith("```"):
                code.append(lines[i].rstrip("\n"))
                i += 1
            body.append("<pre>%s</pre>" % html.escape("\n".join(code)))
        elif re.match(r"#{1,6} ", stripped):
            flush()
            level = len(stripped) - len(stripped.lstrip("#"))
            title = stripped[level:].strip()
            anchor = slug(len(toc))
            toc.append((level, anchor, title))
            body.append('<h%d id="%s"><a name="%s"></a>%s</h%d>' % (level, anchor, anchor, inline(title), level))
        elif stripped.startswith("|"):
            flush()
            rows = []
            while i < len(lines) and lines[i].strip().startswith("|"):
                cells = [c.strip() for c in lines[i].strip().strip("|").split("|")]
                if not all(re.fullmatch(r":?-+:?", c) for c in cells):
                    rows.append(cells)
                i += 1
            i -= 1
            out = ["<table>"]
            for n, cells in enumerate(rows):
                tag = "th" if n == 0 else "td"
                out.append("<tr>%s</tr>" % "".join("<%s>%s</%s>" % (tag, inline(c), tag) for c in cells))
            out.append("</table>")
            body.append("\n".join(out))
        elif re.match(r"([-*]|\d+\.) ", stripped):
            flush()
            ordered = stripped[0].isdigit()
            items = []
            while i < len(lines):
                s = lines[i].strip()
                m = re.match(r"([-*]|\d+\.) (.*)", s)
                if m:
                    items.append(m.group(2))
                elif s and lines[i].startswith("  ") and items:
                    items[-1] = join([items[-1], s])
                else:
                    break
                i += 1
            i -= 1
            tag = "ol" if ordered else "ul"
            body.append("<%s>%s</%s>" % (tag, "".join("<li>%s</li>" % inline(t) for t in items), tag))
        elif stripped.startswith(">"):
            flush()
            quote = []
            while i < len(lines) and lines[i].strip().startswith(">"):
                quote.append(lines[i].strip()[1:].strip())
                i += 1
            i -= 1
            body.append("<blockquote>%s</blockquote>" % inline(join(quote)))
        elif re.fullmatch(r"-{3,}", stripped):
            flush()
            body.append("<hr>")
        elif not stripped:
            flush()
        else:
            para.append(stripped)
        i += 1
    flush()
    return "\n".join(body), toc, images


STYLE = """body{font-family:"Microsoft YaHei","WenQuanYi Micro Hei",SimSun,sans-serif;font-size:10pt;margin:12px 18px}
h1{font-size:16pt;color:#1b3a66}h2{font-size:13pt;color:#1b3a66;border-bottom:1px solid #9ab}
h3{font-size:11pt;color:#1b3a66}img{max-width:100%;border:1px solid #889;margin:6px 0}
table{border-collapse:collapse}td,th{border:1px solid #99a;padding:3px 8px;vertical-align:top}
th{background:#e4e9f2}code,pre{font-family:Consolas,monospace;background:#f2f4f8}
pre{padding:6px;border:1px solid #ccd}blockquote{border-left:3px solid #9ab;margin-left:0;padding-left:10px}"""


MAX_IMAGE_WIDTH = 760


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n":
        sys.exit("make_chm: %s is not a PNG picture" % path)
    return int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big")


def main():
    if len(sys.argv) not in (4, 5):
        sys.exit(__doc__)
    guide, out_chm, work = sys.argv[1], sys.argv[2], sys.argv[3]
    chmcmd = sys.argv[4] if len(sys.argv) == 5 else "chmcmd"
    with open(guide, encoding="utf-8") as f:
        lines = f.readlines()
    body, toc, images = convert(lines)
    title = toc[0][2] if toc else "TKL使用手册"

    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    base = os.path.dirname(os.path.abspath(guide))
    copied = []
    for img in images:
        src = os.path.join(base, img)
        name = os.path.basename(img)
        if not os.path.isfile(src):
            sys.exit("make_chm: the guide shows %s, which does not exist" % src)
        if name not in copied:
            shutil.copyfile(src, os.path.join(work, name))
            copied.append(name)

    # Old HTML Help viewers know no max-width: size the pictures in the page.
    def sized(m):
        name = m.group(1)
        w, h = png_size(os.path.join(work, name))
        if w > MAX_IMAGE_WIDTH:
            w, h = MAX_IMAGE_WIDTH, h * MAX_IMAGE_WIDTH // w
        return '<img src="%s" width="%d" height="%d"' % (name, w, h)
    body = re.sub(r'<img src="([^"]+)"', sized, body)

    page = ('<html><head><meta http-equiv="Content-Type" content="text/html; charset=gbk">'
            "<title>%s</title><style>%s</style></head><body>\n%s\n</body></html>\n"
            % (html.escape(title), STYLE, body))
    with open(os.path.join(work, "index.html"), "wb") as f:
        f.write(page.encode(ENCODING, "xmlcharrefreplace"))

    # Contents: nested lists following the heading levels.
    hhc = ['<html><head><meta http-equiv="Content-Type" content="text/html; charset=gbk"></head><body>',
           '<object type="text/site properties"><param name="Window Styles" value="0x800025"></object>', "<ul>"]
    depth = 1
    for level, anchor, text in toc:
        level = max(1, level - 1)  # the title and the chapters on top, sections below
        while depth < level:
            hhc.append("<ul>")
            depth += 1
        while depth > level:
            hhc.append("</ul>")
            depth -= 1
        hhc.append('<li><object type="text/sitemap"><param name="Name" value="%s">'
                   '<param name="Local" value="index.html#%s"></object>'
                   % (html.escape(re.sub(r"[`*]", "", text)), anchor))
    hhc.extend(["</ul>"] * depth)
    hhc.append("</body></html>")
    with open(os.path.join(work, "toc.hhc"), "wb") as f:
        f.write("\n".join(hhc).encode(ENCODING, "replace"))

    hhp = "\n".join([
        "[OPTIONS]",
        "Compatibility=1.1 or later",
        "Compiled file=manual.chm",
        "Contents file=toc.hhc",
        "Default topic=index.html",
        "Display compile progress=No",
        "Full-text search=Yes",
        "Language=0x804 Chinese (PRC)",
        "Title=" + title,
        "",
        "[FILES]",
        "index.html",
    ] + copied + [""])
    with open(os.path.join(work, "manual.hhp"), "wb") as f:
        f.write(hhp.encode(ENCODING, "replace"))

    r = subprocess.run([chmcmd, "manual.hhp"], cwd=work, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    produced = os.path.join(work, "manual.chm")
    if r.returncode != 0 or not os.path.isfile(produced):
        sys.stdout.write(r.stdout.decode("utf-8", "replace"))
        sys.exit("make_chm: chmcmd failed (status %d)" % r.returncode)
    os.makedirs(os.path.dirname(os.path.abspath(out_chm)), exist_ok=True)
    shutil.copyfile(produced, out_chm)
    print("make_chm: %s (%d bytes, %d sections, %d images)" % (out_chm, os.path.getsize(out_chm), len(toc), len(copied)))


if __name__ == "__main__":
    main()
