"""Writing one benchmark's section of bench/RESULTS.md, leaving the others."""

from pathlib import Path
from typing import List


def write_section(path: Path, lines: List[str]) -> None:
    """Replaces the section of `path` that `lines` start with (its "## " heading), or
    appends it."""
    text = path.read_text() if path.exists() else ""
    start = text.find("\n" + lines[0] + "\n")
    if start >= 0:
        end = text.find("\n## ", start + len(lines[0]) + 2)
        text = text[:start + 1] + "\n".join(lines) + "\n" + (text[end:] if end >= 0 else "")
    else:
        text = text.rstrip("\n") + "\n\n" + "\n".join(lines)
    path.write_text(text.rstrip("\n") + "\n")
