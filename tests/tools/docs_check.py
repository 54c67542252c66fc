#!/usr/bin/env python3
"""The documents against what they describe.

Every option of every command (from the command's own tables, through
`nimbus _docs names`), every settings key and every gateway URL must appear
in the man page the command writes and in docs/user-guide.md. The keys and
query parameters are also read from the code that takes them (the library's
settings parser, the gateway's routes), so one added there without a row in
the tables fails here too.

    docs_check.py PATH/TO/nimbus SOURCE_DIR
"""
import os
import re
import subprocess
import sys
import tempfile


def run_docs(nimbus, what, folder):
    path = os.path.join(folder, what)
    subprocess.run([nimbus, "_docs", what, path], check=True)
    with open(path, encoding="utf-8") as f:
        return f.read()


def man_text(roff):
    """The man page's words without the font and dash escapes."""
    text = re.sub(r"\\f[BIRP]", "", roff)
    return text.replace("\\-", "-").replace("\\e", "\\").replace("\\&", "")


def mentions(text, name):
    """NAME stands on its own: --dlna is not found in --dlna-port."""
    return re.search(re.escape(name) + r"(?![-\w])", text) is not None


def main():
    nimbus, source = sys.argv[1], sys.argv[2]
    failures = []
    with tempfile.TemporaryDirectory() as folder:
        names = [l.split(" ", 1) for l in run_docs(nimbus, "names", folder).splitlines()]
        man = man_text(run_docs(nimbus, "man", folder))
    with open(os.path.join(source, "docs", "user-guide.md"), encoding="utf-8") as f:
        guide = f.read()

    kinds = {}
    for kind, name in names:
        kinds.setdefault(kind, set()).add(name)
        # The guide names keys and URLs as code: `PageSize`, `/FOLDER/?page=N`.
        wanted = name if kind == "option" else "`" + name + "`"
        if not mentions(man, name):
            failures.append(f"the man page does not mention the {kind} {name}")
        if not mentions(guide, wanted):
            failures.append(f"docs/user-guide.md does not mention the {kind} {wanted}")

    with open(os.path.join(source, "src", "text", "settings.cpp"), encoding="utf-8") as f:
        parser = f.read()
    read = set(re.findall(r'(?:nimbus_json_member\(root|sval\(root|take\()\s*,?\s*"(\w+)"', parser))
    if len(read) < 10:
        failures.append(f"found only {sorted(read)} in the settings parser: has it moved?")
    for key in sorted(read - kinds.get("key", set())):
        failures.append(f"the library reads the settings key {key}, which has no row")

    with open(os.path.join(source, "tools", "serve", "routes.cpp"), encoding="utf-8") as f:
        routes = f.read()
    params = set(re.findall(r'MHD_GET_ARGUMENT_KIND,\s*"(\w+)"', routes))
    if len(params) < 5:
        failures.append(f"found only {sorted(params)} in the routes: have they moved?")
    forms = " ".join(kinds.get("url", set()))
    for p in sorted(params):
        if not re.search(r"[?&]" + p + "=", forms):
            failures.append(f"the gateway reads the parameter {p}, which no URL row shows")

    for f in failures:
        print("docs_check:", f)
    print(f"docs_check: {len(names)} names, {len(read)} settings keys, "
          f"{len(params)} URL parameters; {len(failures)} missing")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
