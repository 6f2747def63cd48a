"""Checks that the user's guide explains every text the tool can show: each status_printf format,
fatal_error text, message box caption and text, and shutdown block reason in engine/ and host/
must be quoted in the first column of the table in docs/user-guide.md, and every text quoted
there must still be one the code can show. A format such as "programming %#x" is matched by an
example ("programming 0x8004000") or by itself.

    python3 tools/check-user-guide.py [SOURCE_DIR]
"""

import re
import sys
from pathlib import Path

# The calls whose argument (by position) is a text on the screen; None marks a text built at
# run time (the About box, the fatal report's frame), which is explained in the guide's prose.
CALLS = {
    "status_printf": [0],
    "fatal_error": [0],
    "MessageBoxA": [2, 1],
    "MessageBoxW": [2, 1],
    "ShutdownBlockReasonCreate": [1],
}
# Texts the code builds in a buffer: the caller's argument is then not a literal.
RUNTIME_TEXTS = {"text", "fatal_message"}
LITERAL = r'L?"(?:[^"\\\n]|\\.)*"'
TABLE_HEADING = "## What the window tells you"


def c_string(literals):
    body = "".join(re.findall(r'L?"((?:[^"\\\n]|\\.)*)"', literals))
    return body.encode("latin-1").decode("unicode_escape")


def call_arguments(source, start):
    """The arguments of the call whose '(' is at start, split at the top-level commas."""
    args, depth, at, i = [], 0, start + 1, start + 1
    while i < len(source):
        ch = source[i]
        if ch == '"':
            i = re.compile(LITERAL).match(source, i).end()
            continue
        if ch in "([{":
            depth += 1
        elif ch in ")]}":
            if depth == 0:
                args.append(source[at:i].strip())
                return args
            depth -= 1
        elif ch == "," and depth == 0:
            args.append(source[at:i].strip())
            at = i + 1
        i += 1
    return args


def code_texts(root):
    """(text, where) for every screen text in the code; failures for arguments not understood."""
    texts, failures = [], []
    paths = sorted(list((root / "engine").glob("*.[ch]*")) + list((root / "host").glob("*.[ch]*")))
    sources = {path: path.read_text(encoding="utf-8") for path in paths}
    # Named texts (constexpr char NAME[] = "...";) from every file, headers included.
    named = {
        m.group(1): c_string(m.group(2))
        for source in sources.values()
        for m in re.finditer(r"\b(\w+)\[\]\s*=\s*((?:" + LITERAL + r"\s*)+);", source)
    }
    for path, source in sources.items():
        for match in re.finditer(r"\b(" + "|".join(CALLS) + r")\s*\(", source):
            line_start = source.rfind("\n", 0, match.start()) + 1
            line_no = source.count("\n", 0, match.start()) + 1
            where = f"{path.relative_to(root)}:{line_no}"
            if "//" in source[line_start : match.start()]:
                continue
            args = call_arguments(source, match.end() - 1)
            for index in CALLS[match.group(1)]:
                arg = args[index] if index < len(args) else ""
                if arg.startswith("const "):
                    break  # the declaration or definition, not a call
                if re.fullmatch(r"(?:" + LITERAL + r"\s*)+", arg):
                    texts.append((c_string(arg), where))
                elif arg in RUNTIME_TEXTS:
                    continue
                elif arg in named:
                    texts.append((named[arg], where))
                else:
                    failures.append(
                        f"{where}: cannot read the text of {arg}: neither a literal "
                        "nor a named text"
                    )
    return texts, failures


def normal(text):
    return " ".join(text.replace("<br>", " ").split())


def pattern(text):
    """A printf format as a regular expression matching what it prints, or itself."""
    parts = re.split(r"(%[-#+ 0]*\d*(?:l|ll|h)?[diuxXs%])", normal(text))
    out = []
    for k, part in enumerate(parts):
        if k % 2 == 0:
            out.append(re.escape(part))
        elif part == "%%":
            out.append("%")
        elif part.endswith("s"):
            out.append(".*")
        elif part[-1] in "xX":
            out.append(r"(?:0[xX])?[0-9a-fA-F]+")
        else:
            out.append(r"-?\d+")
    return "(?:" + "".join(out) + "|" + re.escape(normal(text)) + ")"


def guide_quotes(guide):
    """Every "quoted" text in the first column of the table under TABLE_HEADING."""
    section = guide.split(TABLE_HEADING, 1)[1] if TABLE_HEADING in guide else ""
    section = re.split(r"\n## ", section, maxsplit=1)[0]
    quotes = []
    for row in section.splitlines():
        cells = row.split("|")
        if row.startswith("|") and len(cells) > 2 and not set(cells[1].strip()) <= set("-: "):
            quotes += [normal(q) for q in re.findall(r'"([^"]+)"', cells[1])]
    return quotes


def main():
    root = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent)
    texts, failures = code_texts(root)
    guide = root / "docs" / "user-guide.md"
    quotes = guide_quotes(guide.read_text(encoding="utf-8") if guide.exists() else "")
    if len(texts) < 10 or not quotes:
        failures.append(
            f"found {len(texts)} texts in the code and {len(quotes)} in the guide's "
            f"table: has the code or the table ('{TABLE_HEADING}') moved?"
        )
    for text, where in texts:
        if not any(re.fullmatch(pattern(text), q) for q in quotes):
            failures.append(f'{where}: "{normal(text)}" is not in the table of docs/user-guide.md')
    for q in quotes:
        if not any(re.fullmatch(pattern(text), q) for text, _ in texts):
            failures.append(f'docs/user-guide.md: "{q}" is no text the code shows')
    for line in failures:
        print(line)
    print(
        f"{len(set(t for t, _ in texts))} texts in the code, {len(quotes)} quoted in the guide's "
        f"table, {len(failures)} problems"
    )
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
