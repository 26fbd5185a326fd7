"""Every public name of the package has an entry in the API reference of the
built site (scripts/docs.sh builds it and runs this file with
VINTREL_DOCS_SITE set to the site's folder)."""

from __future__ import annotations

import ast
import os
import re
from pathlib import Path

import pytest

import vintrel

PACKAGE = Path(__file__).resolve().parent.parent / "src" / "vintrel"
# Submodules that are no API: the command line.
NOT_API = {"cli", "__main__"}


def defined_names(tree: ast.Module) -> set[str]:
    """The public names a module or stub defines or re-exports by name."""
    names: set[str] = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.ImportFrom):
            names.update(a.asname for a in node.names if a.asname and a.asname == a.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
    return {n for n in names if not n.startswith("_")}


def declared_all(tree: ast.Module) -> list[str] | None:
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(isinstance(t, ast.Name) and t.id == "__all__" for t in node.targets):
            return list(ast.literal_eval(node.value))
    return None


def module_api(path: Path, dotted: str) -> set[str]:
    """A submodule and its public names: its __all__, else what it defines."""
    tree = ast.parse(path.read_text(encoding="utf-8"))
    names = declared_all(tree)
    return {dotted} | {f"{dotted}.{n}" for n in (names if names is not None else defined_names(tree))}


def public_names() -> set[str]:
    names = {f"vintrel.{n}" for n in dir(vintrel) if not n.startswith("_")}
    names |= {f"vintrel.{n}" for n in defined_names(ast.parse((PACKAGE / "__init__.pyi").read_text()))}
    for entry in sorted(PACKAGE.iterdir()):
        stem = entry.name.removesuffix(".py")
        if stem.startswith("_") or stem in NOT_API:
            continue
        if entry.suffix == ".py":
            names |= module_api(entry, f"vintrel.{stem}")
        elif (entry / "__init__.py").exists():
            names |= module_api(entry / "__init__.py", f"vintrel.{entry.name}")
    return {n for n in names if n.split(".")[1] not in NOT_API}


def test_the_listing_finds_the_names_users_know():
    names = public_names()
    assert {"vintrel.Acquisition", "vintrel.export_csv", "vintrel.EventArrays", "vintrel.EccErrorArrays",
            "vintrel.PanicException", "vintrel.dask.arrays", "vintrel.dask.ExportedFile"} <= names
    assert not any(".cli" in n or "._" in n for n in names)


@pytest.mark.skipif(not os.environ.get("VINTREL_DOCS_SITE"), reason="needs the built site (scripts/docs.sh)")
def test_every_public_name_has_an_entry_in_the_api_reference():
    page = (Path(os.environ["VINTREL_DOCS_SITE"]) / "reference" / "api.html").read_text(encoding="utf-8")
    entries = set(re.findall(r'id="(vintrel[\w.]*)"', page))
    assert sorted(public_names() - entries) == []
