"""The examples of the documentation and the README run as written, on a
sample acquisition made the way the pages tell the reader to make one."""

from __future__ import annotations

import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

import vintrel
from docs_blocks import ROOT, blocks, doc_pages, script

README = ROOT / "README.md"
PAGES = [page for page in doc_pages() if any(b.language == "python" for b in blocks(page))]
ENV = {**os.environ, "MPLBACKEND": "Agg"}


def run_python(code: str, name: str, cwd: Path) -> None:
    path = cwd / f"{name}.py"
    path.write_text(code)
    done = subprocess.run([sys.executable, str(path)], cwd=cwd, env=ENV, capture_output=True, text=True,
                          timeout=600)
    assert done.returncode == 0, f"{name} (line numbers are the page's):\n{done.stdout[-3000:]}{done.stderr[-5000:]}"


def run_command(line: str, cwd: Path) -> None:
    # `vintrel ...` as the reader types it, run with the interpreter under test.
    words = shlex.split(line, comments=True)
    assert words[0] == "vintrel"
    done = subprocess.run([sys.executable, "-m", "vintrel", *words[1:]], cwd=cwd, env=ENV, capture_output=True,
                          text=True, timeout=600)
    assert done.returncode == 0, f"{line}\n{done.stdout[-3000:]}{done.stderr[-3000:]}"


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    root = tmp_path_factory.mktemp("docs-sample") / "run7"
    vintrel.sample(root)
    return root


@pytest.mark.parametrize("page", PAGES, ids=[str(p.relative_to(ROOT)) for p in PAGES])
def test_the_python_examples_of_a_page_run_in_order(page, sample, tmp_path):
    (tmp_path / "run7").symlink_to(sample, target_is_directory=True)
    run_python(script(page), page.stem, tmp_path)


def test_the_pages_that_teach_the_api_have_examples_that_run():
    names = {p.relative_to(ROOT / "docs").as_posix() for p in PAGES}
    assert {"getting-started.md", "user-guide/columnar.md", "user-guide/export.md"} <= names


def test_the_readme_stays_short_and_its_links_into_the_site_resolve():
    text = README.read_text(encoding="utf-8")
    assert len(text.splitlines()) <= 200
    links = re.findall(r"\]\((?!https?://|#)([^)#\s]+)", text)
    assert any(link.startswith("docs/") for link in links)
    assert [link for link in links if not (ROOT / link).exists()] == []


def test_the_readme_example_and_commands_run_as_written(tmp_path):
    # In the README's order: the sample first, then the example and the
    # commands that work on it (the others need files of the reader's own).
    ran = []
    for block in blocks(README):
        if block.language == "sh":
            for line in block.text.splitlines():
                words = shlex.split(line, comments=True)
                if words[:1] == ["vintrel"] and len(words) > 2 and words[2] in ("run7", "."):
                    run_command(line, tmp_path)
                    ran.append(words[1])
        elif block.language == "python":
            run_python(block.text, f"README-line-{block.line}", tmp_path)
            ran.append("python")
    assert ran[:2] == ["sample", "python"] and {"info", "export", "plot"} <= set(ran)
