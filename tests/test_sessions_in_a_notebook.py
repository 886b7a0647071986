"""A notebook user's day, through a real Jupyter kernel: a plain cell, an awaited cell, notes and a failure."""

import nbformat
import pytest
from nbclient import NotebookClient

CELLS = [
    "import veltrax\nsession = veltrax.Session(demo=True, data_dir={data_dir!r})",
    'bars = session.kline("AAPL", "day", 5)\nbars.attrs["source"], len(bars), str(bars.index.dtype)',
    'bars = await session.kline_async("AAPL", "day", 5)\nbars.attrs["source"], bars.attrs["cached"]',
    'session.kline("AAPL", "5min", 100).attrs["adjust"]',
    'session.kline("ZZAA", "day", 3)',
    'session.kline("AAPL", "2025-01-02", "2025-01-08", "day", "adj").attrs["source"]',
    "session.close()",
]


@pytest.mark.slow
def test_a_notebook_sees_frames_notes_and_failures_and_nothing_else(tmp_path):
    notebook = nbformat.v4.new_notebook(cells=[nbformat.v4.new_code_cell(cell.format(data_dir=str(tmp_path)))
                                               for cell in CELLS])
    client = NotebookClient(notebook, timeout=120, kernel_name="python3", allow_errors=True,
                            resources={"metadata": {"path": str(tmp_path)}})
    client.execute()
    outputs = [cell.outputs for cell in notebook.cells]

    def shown(cell):
        return [(out.output_type, out.get("name"), out.get("data", {}).get("text/plain", out.get("text", "")))
                for out in outputs[cell]]

    assert outputs[0] == []
    assert shown(1) == [("execute_result", None, "('ibkr', 5, 'datetime64[s]')")]
    assert shown(2) == [("execute_result", None, "('cache', True)")]
    (note, answer) = shown(3)
    assert note[:2] == ("stream", "stderr") and answer == ("execute_result", None, "'5min'")
    assert "KlineWarning: kline takes '5min' as the adjustment word" in note[2]
    assert "KlineWarning: ignored: 100" in note[2]
    (failure,) = outputs[4]
    assert (failure.output_type, failure.ename) == ("error", "KlineError")
    assert failure.evalue == "kline ZZAA: No data returned\n  the broker does not list ZZAA; yfinance does not know the symbol"
    # The broker refuses, yfinance answers: one note, and none of the libraries' own lines or warnings.
    (note, answer) = shown(5)
    assert answer == ("execute_result", None, "'yfinance'") and note[:2] == ("stream", "stderr")
    warning, source_line = note[2].splitlines()
    assert "KlineWarning: gateway error 321: " in warning and source_line.strip().startswith("session.kline(")
    assert outputs[6] == []
