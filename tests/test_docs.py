"""The documentation stays true to the tree: every link a reader follows
leads somewhere, and the test list names every test file."""
import re
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
PAGES = [REPO / "README.md", REPO / "examples" / "README.md", *sorted((REPO / "docs").glob("*.md"))]
LINK = re.compile(r"\]\(([^)\s]+)\)|<img src=\"([^\"]+)\"")


def anchors(page):
    """The anchors of a page's headings, as a Markdown renderer makes them."""
    found = set()
    for line in page.read_text(encoding="utf-8").splitlines():
        if line.startswith("#"):
            title = line.lstrip("#").strip().lower()
            found.add(re.sub(r"[^\w\- ]", "", title).replace(" ", "-"))
    return found


def test_every_link_leads_somewhere():
    broken = []
    for page in PAGES:
        for match in LINK.finditer(page.read_text(encoding="utf-8")):
            target = match.group(1) or match.group(2)
            if re.match(r"[a-z]+:", target):
                continue  # another site
            path, _, anchor = target.partition("#")
            file = (page.parent / path).resolve() if path else page
            if not file.exists() or (anchor and anchor not in anchors(file)):
                broken.append(f"{page.relative_to(REPO)}: {target}")
    assert broken == []


def test_the_test_list_names_every_test_file_once():
    listed = re.findall(r"^- `(test_\w+\.py)`", (REPO / "docs" / "tests.md").read_text(encoding="utf-8"),
                        re.M)
    assert sorted(listed) == sorted(p.name for p in (REPO / "tests").glob("test_*.py"))
