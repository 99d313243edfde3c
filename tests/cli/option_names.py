#!/usr/bin/env python3
"""option_names.py OPTION_KEYS CORE_PY

The Python package's option keys (OPTION_NAMES, and NUMBER_OPTIONS,
FLAG_OPTIONS and COUNT_OPTIONS by kind) are the keys of the engine's option
table, in its order. OPTION_KEYS is the program that prints the table;
CORE_PY the package's _core.py, read as text (nothing of it is imported).
"""
import ast
import subprocess
import sys


def module_constants(path):
    """The names assigned a literal at the top of a module, with the values."""
    out = {}
    for node in ast.parse(open(path, encoding="utf-8").read()).body:
        if isinstance(node, ast.Assign) and len(node.targets) == 1:
            target, value = node.targets[0], node.value
        elif isinstance(node, ast.AnnAssign) and node.value is not None:
            target, value = node.target, node.value
        else:
            continue
        if isinstance(target, ast.Name):
            try:
                out[target.id] = ast.literal_eval(value)
            except ValueError:
                pass
    return out


def main():
    exe, core = sys.argv[1:3]
    rows = [line.split() for line in
            subprocess.run([exe], check=True, capture_output=True, text=True).stdout.splitlines()]
    if not rows or any(len(r) != 2 for r in rows):
        sys.exit("unexpected output of %s: %r" % (exe, rows))
    want = {"OPTION_NAMES": tuple(key for key, _ in rows)}
    for name, kind in (("NUMBER_OPTIONS", "number"), ("FLAG_OPTIONS", "flag"), ("COUNT_OPTIONS", "count")):
        want[name] = tuple(key for key, k in rows if k == kind)
    have = module_constants(core)
    wrong = ["%s is %r, the option table says %r" % (name, have.get(name), keys)
             for name, keys in want.items() if have.get(name) != keys]
    if wrong:
        sys.exit("\n".join(wrong))


if __name__ == "__main__":
    main()
