#!/usr/bin/env python3
"""The documents' quoted texts against the source.

docs/api.md: every (status, message) that a handler or the transport can
answer appears in a table row of the document that begins with that status
and quotes the message; and every message such a row quotes is one the code
answers. The answers are found where they are built: the calls of the answer
builders (FailureResponse, SyncAnswer and the backups' Failure) and the
"message" members set directly. An argument that cannot be read as a text
fails the test, so a new way of answering cannot slip past it unseen.

docs/operators.md: every text quoted in the first column of the panel table
("Errors in the panel") and of the log-file table ("Lines only in the log
file") is made by the code, and in that place: a panel text from a literal
that reaches the panel, a log-file text only from literals that go to the log
file alone (WriteLogFile and the update check's file log).

Placeholders in the guide's texts: "…" or "..." and a lone capital letter
(N, E, K, F, L) stand for what the code fills in at run time.

Usage: doc_texts_test.py   (from anywhere)
"""
import os
import re
import sys
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SRC = os.path.join(ROOT, "src")

# A wide literal, with the plain literals that follow it and that the
# compiler joins to it ("a" "b" across lines).
LITERAL = re.compile(r'(?:\bL|\bWTEXT\()((?:"(?:[^"\\\n]|\\.)*"\s*)+)')
PART = re.compile(r'"((?:[^"\\\n]|\\.)*)"')
PRINTF_SPEC = re.compile(r"%[-+ #0]*\d*(?:l|ll|h)?[dusxXc]|%ls")
PLACEHOLDER = re.compile(r"\.\.\.|…|(?<![A-Za-z0-9])[A-Z](?![A-Za-z0-9])")


def unescape(text):
    return re.sub(r"\\(.)", lambda m: {"n": "\n", "r": "\r", "t": "\t"}.get(m.group(1), m.group(1)), text)


def literals(code):
    return [unescape("".join(PART.findall(m.group(1)))) for m in LITERAL.finditer(code)]


def read_sources():
    sources = {}
    for folder, _, names in os.walk(SRC):
        for name in names:
            if name.endswith((".cpp", ".h")):
                path = os.path.join(folder, name)
                with open(path, encoding="utf-8") as f:
                    sources[os.path.relpath(path, ROOT)] = f.read()
    return sources


def balanced(code, open_at):
    """The text between the parenthesis at open_at and its partner."""
    depth = 0
    i = open_at
    while i < len(code):
        c = code[i]
        if c == '"':
            i += 1
            while i < len(code) and code[i] != '"':
                i += 2 if code[i] == "\\" else 1
        elif c == "(":
            depth += 1
        elif c == ")":
            depth -= 1
            if depth == 0:
                return code[open_at + 1:i]
        i += 1
    return ""


def split_arguments(text):
    parts, depth, start, i = [], 0, 0, 0
    while i < len(text):
        c = text[i]
        if c == '"':
            i += 1
            while i < len(text) and text[i] != '"':
                i += 2 if text[i] == "\\" else 1
        elif c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
        elif c == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
        i += 1
    parts.append(text[start:].strip())
    return parts


def calls(code, name):
    """(offset, argument text) of each call of `name` (not its definitions)."""
    for m in re.finditer(r"(?<![\w.>:])%s\(" % re.escape(name), code):
        before = code[max(0, m.start() - 40):m.start()]
        if re.search(r"(ApiResponse|WString|void|bool)\s+$", before):
            continue  # a declaration or definition
        yield m.start(), balanced(code, m.end() - 1)


def function_body(sources, name):
    """The body of the function `name` defined in src (the first found)."""
    pattern = re.compile(r"^[A-Za-z][\w:<>&* ]*\b%s\([^;{]*\)\s*(?:const\s*)?(?:noexcept\s*)?\{" % re.escape(name),
                         re.M)
    for code in sources.values():
        m = pattern.search(code)
        if m:
            return "{" + balanced(code.replace("{", "(").replace("}", ")"), m.end() - 1) + "}"
    return None


def constant_text(sources, name):
    pattern = re.compile(r"\b%s\[\]\s*=\s*(?:L|WTEXT\()\"((?:[^\"\\]|\\.)*)\"" % re.escape(name))
    for code in sources.values():
        m = pattern.search(code)
        if m:
            return unescape(m.group(1))
    return None


def enclosing_function(code, offset):
    heads = list(re.finditer(r"^[A-Za-z][\w:<>&* ]*\b(\w+)\([^;{]*\)\s*(?:const\s*)?(?:noexcept\s*)?\{",
                             code[:offset], re.M))
    return heads[-1].group(1) if heads else ""


# Answer builders: name -> (index of the status argument or a fixed status, index of the message argument).
BUILDERS = {"FailureResponse": (0, 1), "SyncAnswer": (200, 1), "Failure": (200, 0)}
# Texts that come out of a member of an outcome: the literals of the calls that make it.
MEMBER_TEXTS = {"auth.message": ("src/service/auth.cpp", "Refuse")}


def resolve(sources, expression):
    """The texts an argument can hold, or None when it cannot be read."""
    expression = expression.strip()
    m = re.fullmatch(r'(?:L|WTEXT\()"((?:[^"\\]|\\.)*)"\)?', expression)
    if m:
        return [unescape(m.group(1))]
    if expression in ("WString()", "{}"):
        return [""]
    if expression in MEMBER_TEXTS:
        path, maker = MEMBER_TEXTS[expression]
        return [t for _, args in calls(sources[path], maker) for t in literals(args)]
    if re.fullmatch(r"k\w+", expression):
        text = constant_text(sources, expression)
        return None if text is None else [text]
    m = re.fullmatch(r"(\w+)\(.*\)", expression, re.S)
    if m:
        body = function_body(sources, m.group(1))
        if body is None:
            return None
        return [t for statement in re.findall(r"return\s+([^;]*);", body) for t in literals(statement)] or None
    return None


def code_answers(sources):
    """{(status, message)} and the places whose message could not be read."""
    answers, unreadable = set(), []
    for path, code in sources.items():
        for builder, (status_at, message_at) in BUILDERS.items():
            for offset, args in calls(code, builder):
                parts = split_arguments(args)
                if len(parts) <= message_at:
                    continue
                inside = enclosing_function(code, offset)
                if inside in BUILDERS and re.fullmatch(r"[a-z]\w*", parts[message_at]):
                    continue  # one builder passing its own parameter to another
                status = status_at if status_at >= 100 else int(parts[status_at]) if parts[status_at].isdigit() else None
                texts = resolve(sources, parts[message_at])
                if status is None or texts is None:
                    unreadable.append("%s:%d %s(%s)" % (path, code.count("\n", 0, offset) + 1, builder, args))
                    continue
                answers.update((status, t) for t in texts)
        for m in re.finditer(r'SetMember\(\w+,\s*(?:WTEXT\(|L)"message"\)?,\s*JsonValue::MakeString\(', code):
            argument = balanced(code, m.end() - 1)
            if enclosing_function(code, m.start()) in BUILDERS:
                continue
            texts = resolve(sources, argument)
            if texts is None:
                unreadable.append("%s: message %s" % (path, argument))
            else:
                answers.update((200, t) for t in texts)
    return answers, unreadable


def doc_answer_rows(text):
    """(status, quoted message) of each table row that begins with a status."""
    rows = set()
    for line in text.splitlines():
        m = re.match(r"\|\s*(\d{3})\s*\|([^|]*)\|", line)
        if m:
            rows.update((int(m.group(1)), q) for q in re.findall(r'"([^"]*)"', m.group(2)))
    return rows


# What reaches only the log file: these calls' arguments, the functions
# called inside them and the constants they name.
FILE_ONLY_CALLS = ["WriteLogFile", "Log"]  # Log(fileLog, ...) is the update check's file log


# The bridge's worker reports "ERROR|" + text; the tool shows the text after the tag.
WORKER_TAG = "ERROR|"


def pieces(texts):
    out = set()
    for t in texts:
        if t.startswith(WORKER_TAG):
            t = t[len(WORKER_TAG):]
        out.update(p for p in PRINTF_SPEC.split(t) if p)
    return out


def file_only_literals(sources):
    found = set()
    for code in sources.values():
        for name in FILE_ONLY_CALLS:
            for _, args in calls(code, name):
                if name == "Log" and not args.startswith("fileLog"):
                    continue
                found.update(literals(args))
                for callee in re.findall(r"(\w+)\(", args):
                    body = function_body(sources, callee)
                    if body:
                        found.update(literals(body))
                for constant in re.findall(r"\bk\w+", args):
                    text = constant_text(sources, constant)
                    if text is not None:
                        found.add(text)
    return found


def covered(fragment, parts):
    """Whether fragment is a run of text in some concatenation of parts."""
    if any(fragment in p for p in parts):
        return True
    boundaries = {len(s) for p in parts for k in range(1, len(p)) for s in [p[k:]] if fragment.startswith(s)}
    boundaries.update(len(p) for p in parts if fragment.startswith(p))
    seen = set()
    while boundaries:
        at = boundaries.pop()
        if at in seen:
            continue
        seen.add(at)
        rest = fragment[at:]
        if not rest:
            return True
        for p in parts:
            if p.startswith(rest):
                return True
            if rest.startswith(p):
                boundaries.add(at + len(p))
    return False


def guide_texts(text, heading):
    """Texts in the first column of the table under the heading holding `heading`."""
    section = re.search(r"^##[^\n]*%s[^\n]*\n(.*?)(?=^## |\Z)" % re.escape(heading), text, re.M | re.S)
    if not section:
        return None
    texts = []
    for line in section.group(1).splitlines():
        m = re.match(r"\|([^|]*)\|", line)
        if not m or set(m.group(1).strip()) <= set("-") or "·" in m.group(1):
            continue
        texts.extend(t.strip() for t in m.group(1).replace("\\|", "|").split(" / ") if t.strip())
    return texts


def fragments(text):
    return [f for f in PLACEHOLDER.split(text) if len(f.strip()) >= 2]


class Documents(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sources = read_sources()
        with open(os.path.join(ROOT, "docs", "api.md"), encoding="utf-8") as f:
            cls.api = f.read()
        with open(os.path.join(ROOT, "docs", "operators.md"), encoding="utf-8") as f:
            cls.guide = f.read()

    def test_every_answer_of_the_code_is_in_the_api_document(self):
        answers, unreadable = code_answers(self.sources)
        self.assertEqual(unreadable, [], "answers whose text the test cannot read")
        self.assertGreater(len(answers), 20)
        rows = doc_answer_rows(self.api)
        missing = sorted(a for a in answers if a not in rows)
        self.assertEqual(missing, [], "answers missing from the status tables of docs/api.md")
        stale = sorted(r for r in rows if r not in answers)
        self.assertEqual(stale, [], "answers in docs/api.md that the code never gives")

    def test_the_guide_quotes_panel_and_log_texts_from_their_place(self):
        every = pieces(t for code in self.sources.values() for t in literals(code))
        file_only = pieces(file_only_literals(self.sources))
        reaching_panel = pieces(t for code in self.sources.values() for t in literals(code)) - file_only
        for heading, place, allowed, refused in [("Errors in the panel", "panel", reaching_panel, None),
                                                 ("Lines only in the log file", "log file", file_only,
                                                  reaching_panel)]:
            texts = guide_texts(self.guide, heading)
            self.assertTrue(texts, "no table under a heading with " + heading)
            for text in texts:
                with self.subTest(place=place, text=text):
                    parts = fragments(text)
                    self.assertTrue(parts, "nothing to check in " + text)
                    for fragment in parts:
                        self.assertTrue(covered(fragment, every), "not in the code: " + fragment)
                    self.assertTrue(covered(parts[0], allowed), "not a %s text: %s" % (place, parts[0]))
                    if refused is not None:
                        self.assertFalse(covered(parts[0], refused), "reaches the panel too: " + parts[0])

    def test_the_checks_see_a_wrong_text(self):
        every = pieces(t for code in self.sources.values() for t in literals(code))
        self.assertTrue(covered("服务已启动  端口: ", every))
        self.assertFalse(covered("服务已启动 端口: ", every))
        self.assertFalse(covered("签名验证失效", every))
        self.assertNotIn((200, "签名验证失败"), doc_answer_rows("| 401 | \"签名验证失败\" | x |"))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[1:]])
