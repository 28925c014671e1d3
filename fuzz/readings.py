"""Where comments end: SQL text as MySQL/MariaDB and as PostgreSQL read it, and mapper statements
built so that the two readings can tell whether anything outside a comment ended up inside one.

The databases read one text differently: `#` opens a line comment on MySQL and is an operator on
PostgreSQL; `--` opens one on MySQL only before whitespace, a control character or the end, on
PostgreSQL always; MySQL's strings take backslash escapes, PostgreSQL's only in E'...', and
PostgreSQL has dollar-quoted strings and nested block comments. `comments()` lists the comments
of a text under either reading, independently of velmo's own scanner.

`Statement` builds a mapper document from bytes (hypothesis's or libFuzzer's), a choice each:
plain SQL words are unique tokens w1, w2, ..., comments hold only c tokens, strings s tokens;
conditions are literal True/False and foreach collections the lists of COLLECTIONS, so
the statement's own evaluation says which words come out, in which order. `check()` holds the
final SQL against that: under each reading, a w token that was outside every comment of its
XML text is outside every comment of the final SQL; `-- ` comments that both readings see in
plain code are gone; the words of the taken branches all come out, in order.
"""

import collections
import re
import xml.etree.ElementTree as ET

READINGS = ("mysql", "pg")
COLLECTIONS = {"xs": [1, 2], "ys": [], "zs": [3]}
WORD = re.compile(r"(?<![\w$])w\d+\b")
COMMENT_WORD = re.compile(r"(?<![\w$])c\d+\b")
DOLLAR_TAG = re.compile(r"\$(?:[A-Za-z_\x80-\U0010ffff][A-Za-z0-9_\x80-\U0010ffff]*)?\$")
LINE_ENDS = {"mysql": "\n", "pg": "\n\r"}
MARKER = re.compile(r"#\{[^}\r\n][^}\r\n]*\}")
TEXT_ATTRIBUTES = ("prefix", "suffix", "open", "separator", "close")


def _identifier(ch):
    """A character of a PostgreSQL name: ASCII letters and digits, "_", "$" and every non-ASCII one."""
    return ch.isascii() and (ch.isalnum() or ch in "_$") or not ch.isascii()


def _quoted_end(text, i, quote, backslash):
    """The end of the quoted section whose body starts at i (the text's end when it stays open)."""
    while i < len(text):
        if backslash and text[i] == "\\":
            i += 2
        elif text[i] != quote:
            i += 1
        elif text.startswith(quote, i + 1):
            i += 2
        else:
            return i + 1
    return len(text)


def comments(text, reading, markers=False):
    """The comments of `text` under `reading` ("mysql" or "pg"): (start, end, kind) with kind "#",
    "--" or "/*"; a line comment ends before its line break or at the end of the text. With
    `markers`, #{...} closed on its line is one token, as velmo reads its mapper texts (a "#{"
    without its "}" stays in the text as it is, where MySQL reads a comment)."""
    mysql = reading == "mysql"
    found, i, n = [], 0, len(text)
    while i < n:
        ch, two = text[i], text[i:i + 2]
        token_start = i == 0 or not _identifier(text[i - 1])
        after = text[i + 2:i + 3]
        if markers and (marker := MARKER.match(text, i)):
            i = marker.end()
        elif two == "/*":
            depth, j = 1, i + 2
            while j < n and depth:
                step = -1 if text.startswith("*/", j) else 1 if not mysql and text.startswith("/*", j) else 0
                depth, j = depth + step, j + (2 if step else 1)
            found.append((i, j, "/*"))
            i = j
        elif (mysql and ch == "#") or (two == "--" and (not mysql or not after or ord(after) <= 32 or after == "\x7f")):
            j = i
            while j < n and text[j] not in LINE_ENDS[reading]:
                j += 1
            found.append((i, j, "#" if ch == "#" else "--"))
            i = j
        elif ch in "'\"" or (mysql and ch == "`"):
            i = _quoted_end(text, i + 1, ch, mysql and ch != "`")
        elif not mysql and ch in "eE" and text.startswith("'", i + 1) and token_start:
            i = _quoted_end(text, i + 2, "'", True)
        elif not mysql and ch == "$" and token_start and (tag := DOLLAR_TAG.match(text, i)):
            close = text.find(tag.group(), tag.end())
            i = n if close < 0 else close + len(tag.group())
        else:
            i += 1
    return found


def inside(spans, at):
    return any(start <= at < end for start, end, _ in spans)


def unended_hash_comment(text):
    """Whether a "#" comment (MySQL) runs to the end of `text`, a mapper text."""
    return any(kind == "#" and end == len(text) for _, end, kind in comments(text, "mysql", markers=True))


def appended_in_comment(whole, at):
    """The readings under which text appended at `at` lies inside a line comment of what is before."""
    return [reading for reading in READINGS if any(kind != "/*" and start < at and whole[at:end].strip()
                                                   for start, end, kind in comments(whole, reading, markers=True))]


# Pieces of the generated texts: "s" and "c" stand for a new token, anything else for itself.
# Each kind of section holds only what keeps it closed under both readings; where one reading
# sees a line comment in it (a dollar string's "#" on MySQL), the line ends after the section.
STRING = ["s", " ", "  ", "#", "--", " -- ", "/*", "\n", "$$", "`"]
ESCAPED = ["s", " ", "#", "--"]  # around a MySQL backslash escape, never a line break
BETWEEN = ["s", " ", "#", " -- ", "--s"]  # between two escapes: code to PostgreSQL
E_STRING = ["s", " ", "\\'", "''", "#", "--", " -- ", "\n", '"', "/*"]
DOLLAR = ["s", " ", "  ", "#", "#s", " -- ", "--", "\n"]  # code to MySQL
BACKTICK = ["s", " ", "#", " -- ", "``"]  # code to PostgreSQL
BLOCK = ["c", " ", "--", "#", "'", "\n", " -- c", "$$"]
HASH = ["c", " ", "#", " --", " ,", " AND", "--c"]  # code to PostgreSQL
DASH = ["c", " ", "'", "/*", "#", "$$", '"', "--"]
DASH_WORD = ["c", " ", "#", "--", ","]  # code to MySQL
LINE_END = ["\n", " \n", "\n\n", "\r\n"]
SPACE = [" ", "\n", "  \t", "\n  "]


class Statement:
    """A mapper document (namespace "m") of fragments f0, f1, ... and one statement "q", built from
    the choices in `data`: each byte picks one, and 0 (also once the bytes run out) always leads to
    the smallest document."""

    def __init__(self, data, depth=3):
        choices = iter(data)
        self.pick, self.counts = lambda n: next(choices, 0) % n, collections.Counter()
        mapper, fragments = ET.Element("mapper", namespace="m"), []
        for k in range(self.pick(3)):
            fragment = ET.Element("sql", id=f"f{k}")
            self.body(fragment, depth - 1, fragments, False)
            mapper.append(fragment)
            fragments.append(f"f{k}")
        self.kind = ("select", "update")[self.pick(2)]
        self.body(ET.SubElement(mapper, self.kind, id="q"), depth, fragments, False)
        self.source = ET.tostring(mapper, encoding="unicode")
        self._learn(ET.fromstring(self.source))  # the texts as the parser gives them ("\r\n" read as "\n")

    def __repr__(self):
        return f"Statement({self.source!r})"

    # ---- building ----

    def token(self, letter):
        self.counts[letter] += 1
        return f"{letter}{self.counts[letter]}"

    def run(self, pieces):
        out = ""
        while self.pick(3):
            piece = pieces[self.pick(len(pieces))]
            out += self.token(piece) if piece in ("s", "c") else piece
        return out

    def quoted(self):
        kind = self.pick(7)
        if kind < 2:  # doubled quotes
            quote, other = "'\""[kind], "\"'"[kind]
            return quote + self.run(STRING + [quote * 2, other]) + quote
        if kind < 4:  # two backslash-escaped quotes: one string to MySQL, two and code between to PostgreSQL
            quote, other = "'\""[kind - 2], "\"'"[kind - 2]
            a, b, c = self.run(ESCAPED + [other]), self.run(BETWEEN), self.run(ESCAPED + [other])
            return f"{quote}{a}\\{quote}{b}\\{quote}{c}{quote}"
        if kind == 4:
            return "E'" + self.run(E_STRING) + "'"
        if kind == 5:
            tag = "$" + ("", self.token("q"))[self.pick(2)] + "$"
            return tag + self.run(DOLLAR) + tag
        return "`" + self.run(BACKTICK) + "`"

    def text(self, foreach):
        """A text node: items each led by whitespace. A line comment (under either reading) is
        followed by a line break or ends the text, so that what the file reads after it is what
        a database would."""
        out = ""
        while self.pick(4):
            kind = self.pick(12) - 3  # words three times as often as any other item
            if kind <= 0:
                item = self.token("w")
            elif kind == 1:
                item = ("AND", "OR", ",")[self.pick(3)]
            elif kind == 2:
                item = "#{" + ("i" if foreach and self.pick(2) else self.token("m")) + "}"
            elif kind == 3:
                item = self.quoted()
            elif kind == 4:
                item = "/*" + self.run(BLOCK) + " */"
            elif kind < 8:
                opener = ("#", ("-- ", "--\t", "--")[self.pick(3)], "--" + self.token("c"))[kind - 5]
                item = opener + ("" if opener == "--" else self.run((HASH, DASH, DASH_WORD)[kind - 5]))
            else:
                out += SPACE[self.pick(len(SPACE))]
                continue
            out += " " + item
            if any(k != "/*" and end == len(item) for r in READINGS for _, end, k in comments(item, r, markers=True)):
                if not self.pick(2):
                    return out  # the comment runs to the end of the text
                out += LINE_END[self.pick(len(LINE_END))]
        return out + SPACE[self.pick(len(SPACE))]

    def words(self, choices):
        """An attribute value; {w} becomes a new w token."""
        value = choices[self.pick(len(choices))]
        return value.replace("{w}", self.token("w")) if "{w}" in value else value

    def body(self, element, depth, fragments, foreach):
        element.text = self.text(foreach)
        while depth > 0 and self.pick(3):
            child = self.element(depth - 1, fragments, foreach)
            child.tail = self.text(foreach)
            element.append(child)

    def element(self, depth, fragments, foreach):
        tag = ("if", "choose", "where", "set", "trim", "foreach", "include")[self.pick(7)]
        if tag == "include" and fragments:
            return ET.Element("include", refid=fragments[self.pick(len(fragments))])
        if tag == "choose":
            choose = ET.Element("choose")
            for _ in range(1 + self.pick(2)):
                when = ET.SubElement(choose, "when", test=("False", "True")[self.pick(2)])
                self.body(when, depth, fragments, foreach)
            self.body(ET.SubElement(choose, "otherwise"), depth, fragments, foreach)
            return choose
        attributes = {}
        if tag == "trim":
            attributes = {"prefix": self.words(["", "WHERE", " ( {w} "]), "suffix": self.words(["", ")", " {w} ) "]),
                          "prefixOverrides": self.words(["", "AND |OR ", ",", "AND|OR|,"]),
                          "suffixOverrides": self.words(["", ",", "AND |OR "])}
        elif tag == "foreach":
            attributes = {"item": "i", "collection": ("xs", "ys", "zs")[self.pick(3)],
                          "open": self.words(["", "(", " {w} ( "]), "separator": self.words([",", " OR ", " , {w} "]),
                          "close": self.words(["", ")", " ) {w} "])}
        elif tag != "where" and tag != "set":
            tag, attributes = "if", {"test": ("False", "True")[self.pick(2)]}
        element = ET.Element(tag, {k: v for k, v in attributes.items() if v or k in TEXT_ATTRIBUTES})  # "": no override
        self.body(element, depth, fragments, foreach or tag == "foreach")
        return element

    # ---- what the document says ----

    def _learn(self, root):
        """Per reading, the w tokens outside every comment of their text; the c tokens of the "-- "
        comments both readings see in plain code; the w tokens statement q gives, in order."""
        self.outside = {reading: set() for reading in READINGS}
        self.removed = set()
        for element in root.iter():
            for text in [element.text, element.tail] + [element.get(name) for name in TEXT_ATTRIBUTES]:
                if not text:
                    continue
                spans = {reading: comments(text, reading, markers=True) for reading in READINGS}
                for reading in READINGS:
                    self.outside[reading].update(m.group() for m in WORD.finditer(text)
                                                 if not inside(spans[reading], m.start()))
                dashes = {start for start, _, kind in spans["pg"] if kind == "--"}
                for start, end, kind in spans["mysql"]:
                    if kind == "--" and start in dashes:
                        self.removed.update(COMMENT_WORD.findall(text[start:end]))
        fragments = {e.get("id"): e for e in root if e.tag == "sql"}
        self.expected = _words(root.find("*[@id='q']"), fragments)


def _words(element, fragments):
    """The w tokens that evaluating `element` gives, in order."""
    def body(e):
        out = WORD.findall(e.text or "")
        for child in e:
            out += _words(child, fragments) + WORD.findall(child.tail or "")
        return out

    def attribute(name):
        return WORD.findall(element.get(name, ""))

    tag = element.tag
    if tag == "if":
        return body(element) if element.get("test") == "True" else []
    if tag == "choose":
        chosen = (c for c in element if c.tag == "when" and c.get("test") == "True")
        return body(next(chosen, element.find("otherwise")))
    if tag == "include":
        return _words(fragments[element.get("refid")], fragments)
    if tag == "foreach":
        out = attribute("open")
        for k in range(len(COLLECTIONS[element.get("collection")])):
            out += (attribute("separator") if k else []) + body(element)
        return out + attribute("close")
    if tag == "trim":
        return attribute("prefix") + body(element) + attribute("suffix")
    return body(element)


def params():
    return {name: list(values) for name, values in COLLECTIONS.items()}


def check(statement, sql):
    """Raises AssertionError naming what the final SQL text `sql` of statement q got wrong."""
    problems = []
    for reading in READINGS:
        spans = comments(sql, reading)
        problems += [f"{reading}: {m.group()} is inside a comment" for m in WORD.finditer(sql)
                     if m.group() in statement.outside[reading] and inside(spans, m.start())]
    got = WORD.findall(sql)
    if got != statement.expected:
        problems.append(f"words {got}, expected {statement.expected}")
    kept = sorted(set(COMMENT_WORD.findall(sql)) & statement.removed)
    if kept:
        problems.append(f"'-- ' comments kept: {kept}")
    assert not problems, f"{'; '.join(problems)}\nSQL: {sql!r}\nmapper: {statement.source}"
