#!/usr/bin/env bash
# Counts, per module and in total, the declarations of the public module headers (every
# src/<module>/*.hpp but internal.hpp) that no other module uses: what only the module itself
# and the tests call belongs in the module's internal.hpp. With --list it names them.
#
# A declaration is a name declared at namespace scope: a function (each overload apart), a
# record, class or enumeration, a type alias or using-declaration, a variable or constant.
# Another module (or the driver, src/main.cpp) uses it when its files name it qualified
# ("normalize::build_fields", "export_::Share") or, under a using-directive for the namespace,
# unqualified. A declaration that a used one names in its own text (a parameter, return or
# member type, a function its inline body calls) is used too: it cannot leave the header while
# that one stays. Overloads share a
# name, so one that another module calls makes all of its overloads count as used. Namespace
# aliases ("namespace fs = std::filesystem") are conveniences, not counted. The check is
# textual (comments and literals removed first); it needs no build.
#
# It also fails, naming the file, when a module includes another module's internal.hpp.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
exec python3 - "$root" "$@" <<'PY'
import os
import re
import sys
from collections import defaultdict

root = sys.argv[1]
listing = "--list" in sys.argv[2:]
src = os.path.join(root, "src")

IDENT = r"[A-Za-z_][A-Za-z_0-9]*"


def strip(text):
    """The text with comments, string and character literals blanked (line breaks kept)."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c == "R" and text.startswith('R"', i):
            m = re.match(r'R"([^(\s]*)\(', text[i:])
            if not m:
                out.append(c)
                i += 1
                continue
            end = ")" + m.group(1) + '"'
            j = text.find(end, i + m.end())
            j = n if j < 0 else j + len(end)
            out.append('""' + re.sub(r"[^\n]", " ", text[i + 2 : j]))
            i = j
        elif c in "\"'":
            # A digit separator (100'000) is no literal.
            if c == "'" and i > 0 and text[i - 1].isalnum() and i + 1 < n and text[i + 1].isalnum():
                out.append(" ")
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(c + " " * (min(j, n) - i - 1) + c)
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def declarations(text):
    """(namespace, kind, name, declaration text) of every namespace-scope declaration."""
    text = strip(text)
    text = re.sub(r"^\s*#.*$", "", text, flags=re.M)  # preprocessor lines
    found = []
    scopes = []  # the enclosing namespaces, innermost last ("a::b" for a nested definition)
    stmt_start = 0
    i, n = 0, len(text)

    def flush(end):
        body = text[stmt_start:end].strip()
        if body and scopes:
            found.extend(classify(body, "::".join(s for s in scopes if s)))

    while i < n:
        c = text[i]
        if c == "{":
            head = text[stmt_start:i]
            m = re.match(r"\s*(?:inline\s+)?namespace\s+(" + IDENT + r"(?:::" + IDENT + r")*)?\s*$", head)
            if m:
                scopes.append(m.group(1) or "")
                stmt_start = i + 1
                i += 1
                continue
            # Any other brace (a record, enumeration or function body, an initializer): skip to
            # its match, keeping it in the statement.
            depth = 0
            while i < n:
                if text[i] == "{":
                    depth += 1
                elif text[i] == "}":
                    depth -= 1
                    if depth == 0:
                        break
                i += 1
            i += 1
            # A function body ends the declaration; a record body waits for its ";".
            head = text[stmt_start:i]
            head = head[: head.find("{")]
            if re.search(r"\)[\sA-Za-z_]*(?:->[^{;]*)?$", head) and not re.match(
                    r"\s*(?:template\s*<[^{]*>\s*)?(?:struct|class|enum|union)\b", head):
                flush(i)
                stmt_start = i
            continue
        if c == "}":
            # The end of a namespace.
            flush(i)
            if scopes:
                scopes.pop()
            stmt_start = i + 1
        elif c == ";":
            flush(i + 1)
            stmt_start = i + 1
        i += 1
    return found


def classify(body, namespace):
    body = re.sub(r"\s+", " ", body).strip()
    if body.startswith("namespace ") or body.startswith("static_assert"):
        return []
    m = re.match(r"(?:template ?<[^;]*?> ?)?(struct|class|union|enum(?: class| struct)?) (?:\[\[[^\]]*\]\] )?(" + IDENT + r")\b", body)
    if m:
        return [(namespace, "type", m.group(2), body)]
    m = re.match(r"(?:template ?<.*?> ?)?using (" + IDENT + r") ?=", body)
    if m:
        return [(namespace, "alias", m.group(1), body)]
    m = re.match(r"using ((?:" + IDENT + r"::)+)(" + IDENT + r") ?;", body)
    if m:
        return [(namespace, "alias", m.group(2), body)]
    if body.startswith("using namespace"):
        return []
    m = re.match(r".*\btypedef\b.*?(" + IDENT + r") ?;$", body)
    if m:
        return [(namespace, "alias", m.group(1), body)]
    # A function: the name before the first "(" outside template brackets.
    depth = 0
    for k, ch in enumerate(body):
        if ch == "<":
            depth += 1
        elif ch == ">":
            depth -= 1
        elif ch == "(" and depth <= 0:
            head = body[:k].rstrip()
            m = re.search(r"(" + IDENT + r")$", head)
            if m and "=" not in head:
                name = m.group(1)
                if name == "operator" or head.endswith("operator"):
                    return []
                return [(namespace, "function", name, body)]
            break
        elif ch in "={;":
            break
    # A variable or constant.
    m = re.match(r"([^=;{(]*?)\b(" + IDENT + r") ?(?:\[[^\]]*\] ?)*(?:=|\{|;|$)", body)
    if m:
        return [(namespace, "variable", m.group(2), body)]
    return []


def files_of(directory):
    return sorted(
        os.path.join(directory, f)
        for f in os.listdir(directory)
        if f.endswith((".hpp", ".cpp"))
    )


modules = sorted(d for d in os.listdir(src) if os.path.isdir(os.path.join(src, d)))
texts = {}
for module in modules:
    for path in files_of(os.path.join(src, module)):
        with open(path, encoding="utf-8") as f:
            texts[path] = f.read()
main = os.path.join(src, "main.cpp")
if os.path.exists(main):
    with open(main, encoding="utf-8") as f:
        texts[main] = f.read()
stripped = {path: strip(text) for path, text in texts.items()}


def module_of(path):
    rel = os.path.relpath(path, src)
    return rel.split(os.sep)[0] if os.sep in rel else "main"


problems = []
for path, text in texts.items():
    for m in re.finditer(r'#include "([^"/]+)/internal\.hpp"', text):
        if m.group(1) != module_of(path):
            problems.append(f"{os.path.relpath(path, root)} includes {m.group(1)}/internal.hpp")

# Declarations of the public headers, per module; a record declared once and defined later
# (or a function declared twice the same way) is one declaration.
decls = defaultdict(list)
for module in modules:
    seen = set()
    for path in files_of(os.path.join(src, module)):
        if not path.endswith(".hpp") or os.path.basename(path) == "internal.hpp":
            continue
        for namespace, kind, name, body in declarations(texts[path]):
            key = (namespace, kind, name, body if kind == "function" else "")
            if key in seen:
                continue
            seen.add(key)
            decls[module].append(
                {"ns": namespace, "kind": kind, "name": name, "body": body,
                 "header": os.path.relpath(path, root)})


def qualified_pattern(namespace, name):
    parts = [p for p in namespace.split("::") if p]
    return re.compile(r"(?<![A-Za-z_0-9:])" + r"::".join(map(re.escape, parts + [name])) + r"\b")


def used_elsewhere(module, namespace, name):
    pattern = qualified_pattern(namespace, name)
    plain = re.compile(r"(?<![A-Za-z_0-9:.>])" + re.escape(name) + r"\b")
    directive = re.compile(r"using namespace " + re.escape(namespace) + r"\s*;")
    for path, text in stripped.items():
        if module_of(path) == module:
            continue
        if pattern.search(text):
            return True
        if directive.search(text) and plain.search(text):
            return True
    return False


total_decls = total_unused = 0
rows = []
for module in modules:
    entries = decls.get(module, [])
    used = set()
    for entry in entries:
        if used_elsewhere(module, entry["ns"], entry["name"]):
            used.add(entry["name"])
    # What a used declaration names is used too: a type, alias or constant anywhere in its
    # text, a function where an inline body calls it (not where a member of that name is
    # declared).
    changed = True
    while changed:
        changed = False
        for entry in entries:
            if entry["name"] not in used:
                continue
            for other in entries:
                if other["name"] in used:
                    continue
                name = re.escape(other["name"])
                if other["kind"] == "function":
                    pattern = r"(?:[=({,;!?:]|\breturn)\s*" + name + r"\s*\("
                else:
                    pattern = r"(?<![A-Za-z_0-9.])" + name + r"\b"
                if re.search(pattern, entry["body"]):
                    used.add(other["name"])
                    changed = True
    unused = [e for e in entries if e["name"] not in used]
    total_decls += len(entries)
    total_unused += len(unused)
    rows.append((module, len(entries), len(unused), unused))

width = max(len(r[0]) for r in rows)
print(f"{'module':<{width}}  declarations  used by no other module")
for module, count, unused_count, unused in rows:
    print(f"{module:<{width}}  {count:>12}  {unused_count:>23}")
    if listing:
        for e in unused:
            print(f"{'':<{width}}    {e['header']}: {e['kind']} {e['ns']}::{e['name']}")
print(f"{'total':<{width}}  {total_decls:>12}  {total_unused:>23}")
for problem in problems:
    print(f"error: {problem}", file=sys.stderr)
sys.exit(1 if problems else 0)
PY
