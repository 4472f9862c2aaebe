"""The example notebook runs from top to bottom in a fresh kernel, and its results display as
tables and pictures; the HTML views escape what they show."""

import html
from pathlib import Path

import nbformat
import numpy as np
import pytest
from ipykernel.kernelspec import write_kernel_spec
from nbclient import NotebookClient

import kelvara_lab as kl
from kelvara_lab.views import notebook

EXAMPLES = Path(__file__).resolve().parent.parent.parent / "examples"
KERNEL = "kelvara-lab-tests"


@pytest.fixture
def this_interpreter_kernel(tmp_path, monkeypatch):
    """A kernelspec for the interpreter running the tests, found before any other, and a
    kernel that imports the kelvara_lab under test."""
    write_kernel_spec(tmp_path / "kernels" / KERNEL)
    monkeypatch.setenv("JUPYTER_PATH", str(tmp_path))
    monkeypatch.setenv("JUPYTER_PLATFORM_DIRS", "1")
    monkeypatch.setenv("PYTHONPATH", str(Path(kl.__file__).resolve().parent.parent))
    monkeypatch.setenv("MPLBACKEND", "module://matplotlib_inline.backend_inline")
    return KERNEL


def test_workflow_notebook_runs_and_shows_tables_and_pictures(this_interpreter_kernel):
    notebook = nbformat.read(EXAMPLES / "battery_workflow.ipynb", as_version=4)
    NotebookClient(
        notebook,
        kernel_name=this_interpreter_kernel,
        timeout=240,
        startup_timeout=120,
        resources={"metadata": {"path": str(EXAMPLES)}},
    ).execute()
    code = [cell for cell in notebook.cells if cell.cell_type == "code"]
    shown = {
        cell.source.splitlines()[-1]: {kind for out in cell.outputs for kind in out.get("data", {})}
        for cell in code
    }
    assert "text/html" in shown["kk"] and "text/html" in shown["report"]
    assert "image/png" in shown["plot.kk(kk);"] and "image/png" in shown["report.plot();"]
    texts = "".join(
        out.get("data", {}).get("text/html", "") for cell in code for out in cell.outputs
    )
    assert "pass: noise" in texts and "CPE2.alpha" in texts


def test_html_views_list_the_numbers_and_escape_text():
    f = np.geomspace(1e4, 0.1, 30)
    z = 0.02 + 0.05 / (1 + 1j * f * 1e-2)
    report = kl.fit("R0-(R1,C1)", (f, z))
    page = report._repr_html_()
    for name, value in report.params.items():
        assert name in page and f"{value:.6g}" in page
    assert html.escape(report.verdict.headline) in page and report.verdict.status in page
    assert html.escape("<script>") in notebook.table([("a", "<script>")])
    kk_page = kl.kk_test(f, z)._repr_html_()
    assert "pass: noise" in kk_page and "<table>" in kk_page


def test_compare_table_renders_in_a_notebook():
    f = np.geomspace(1e4, 0.1, 30)
    z = 0.02 + 0.05 / (1 + 1j * f * 1e-2)
    table = kl.compare((f, z), ["rc", "R0-(R1,CPE1)"], workers=1)
    page = table._repr_html_()
    assert page is not None and "R0-(R1,CPE1)" in page and "<table" in page
