#!/usr/bin/env python3
"""Lists every function of the host simulator (hostsim/, C++) and of the
Python package (python/dolvanex) longer than the limit, with its length;
exit status 1 when there is one.

    check-function-length.py SOURCE_DIR [LIMIT]

C++ functions are found as a line that ends a signature with `{` (at the
level of a namespace, or indented once inside a class), measured to its
closing brace; Python functions by their syntax tree.
"""
import ast
import re
import sys
from pathlib import Path

SIGNATURE = re.compile(r"^( {0,4})[A-Za-z_~][^;{}]*\)[\w\s:&*<>,()=\[\]-]*\{\s*(//.*)?$")
NOT_A_FUNCTION = re.compile(r"^\s*(if|for|while|switch|catch|else|do|namespace|struct|class|enum|union|return)\b")


def cpp_functions(path):
    lines = path.read_text(encoding="utf-8").splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        match = SIGNATURE.match(line)
        if not match or NOT_A_FUNCTION.match(line) or "=" in line.split("(")[0]:
            i += 1
            continue
        # A signature may start on an earlier line.
        start = i
        while start > 0 and lines[start - 1].strip() and not lines[start - 1].rstrip().endswith((";", "}", "{", ":")) \
                and not lines[start - 1].lstrip().startswith(("//", "#")):
            start -= 1
        depth = 0
        for j in range(i, len(lines)):
            code = re.sub(r'"(\\.|[^"\\])*"|\'(\\.|[^\'\\])*\'|//.*', "", lines[j])
            depth += code.count("{") - code.count("}")
            if depth <= 0:
                break
        name = re.search(r"([\w:~]+)\s*\(", lines[start] if "(" in lines[start] else line)
        yield (name.group(1) if name else "?"), start + 1, j - start + 1
        i = j + 1


def python_functions(path):
    tree = ast.parse(path.read_text(encoding="utf-8"))
    for node in ast.walk(tree):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            yield node.name, node.lineno, node.end_lineno - node.lineno + 1


def main():
    root = Path(sys.argv[1])
    limit = int(sys.argv[2]) if len(sys.argv) > 2 else 80
    found = []
    for path in sorted((root / "hostsim").rglob("*")):
        if path.suffix in (".cpp", ".h"):
            found += [(path, *f) for f in cpp_functions(path)]
    for path in sorted((root / "python" / "dolvanex").rglob("*.py")):
        found += [(path, *f) for f in python_functions(path)]
    long_ones = [f for f in found if f[3] > limit]
    for path, name, line, length in sorted(long_ones, key=lambda f: -f[3]):
        print(f"{path.relative_to(root)}:{line}: {name} has {length} lines (limit {limit})")
    longest = max(found, key=lambda f: f[3])
    print(f"{len(found)} functions; the longest: {longest[1]} ({longest[0].relative_to(root)}:{longest[2]}), "
          f"{longest[3]} lines")
    return 1 if long_ones else 0


if __name__ == "__main__":
    sys.exit(main())
