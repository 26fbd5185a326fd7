"""examples/analysis.ipynb: kept without outputs in the repository, and runs
from top to bottom."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

NOTEBOOK = Path(__file__).resolve().parent.parent / "examples" / "analysis.ipynb"


def test_the_notebook_is_stored_without_outputs():
    notebook = json.loads(NOTEBOOK.read_text(encoding="utf-8"))
    code = [cell for cell in notebook["cells"] if cell["cell_type"] == "code"]
    assert code
    dirty = [i for i, cell in enumerate(code) if cell.get("outputs") or cell.get("execution_count") is not None]
    assert dirty == [], "clear the outputs: jupyter nbconvert --clear-output --inplace examples/analysis.ipynb"
    assert "widgets" not in notebook["metadata"]


def test_the_notebook_runs_from_top_to_bottom(tmp_path, monkeypatch):
    nbformat = pytest.importorskip("nbformat")
    nbclient = pytest.importorskip("nbclient")
    pytest.importorskip("ipykernel")
    notebook = nbformat.read(NOTEBOOK, as_version=4)
    # The kernel draws inline, as in Jupyter, unless a backend is forced on it.
    monkeypatch.delenv("MPLBACKEND", raising=False)
    # Raises CellExecutionError, with the cell and its traceback, at the first failing cell.
    nbclient.NotebookClient(notebook, timeout=300, kernel_name="python3",
                            resources={"metadata": {"path": str(tmp_path)}}).execute()
    outputs = [output for cell in notebook.cells if cell.cell_type == "code" for output in cell.outputs]
    assert any(output.get("output_type") == "display_data" and "image/png" in output.get("data", {})
               for output in outputs), "the last cell draws a figure"
