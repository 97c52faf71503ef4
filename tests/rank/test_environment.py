"""What kiv_rank asks of the environment: a light kiv_rs, and one clear line
for a missing extra or a pyarrow that refuses this NumPy."""

import pytest

HEAVY = ("kiv_rank", "pyarrow", "tqdm", "pandas", "dask", "distributed", "matplotlib", "numpy")


def test_import_kiv_rs_stays_light(run_python):
    result = run_python(f"""
        import sys, kiv_rs
        print(sorted(m for m in {HEAVY!r} if m in sys.modules))
    """)
    assert result.stdout.strip() == "[]", result.stderr


@pytest.mark.parametrize("blocked, args, message", [
    ("matplotlib", ["--plot", "x.png"], "--plot needs matplotlib: pip install 'kiv_rs[plot]'"),
    ("distributed", ["--dask", "local"], "--dask needs distributed: pip install 'kiv_rs[dask]'"),
])
def test_missing_extra_is_one_line(run_python, tmp_path, blocked, args, message):
    result = run_python(f"""
        import sys
        sys.modules[{blocked!r}] = None  # as if not installed
        from kiv_rank.cli import main
        sys.exit(main([{str(tmp_path)!r}, *{args!r}]))
    """)
    assert (result.returncode, result.stderr) == (2, f"kiv-rank: {message}\n")


def test_pyarrow_refusing_numpy_is_one_line(run_python, tmp_path):
    (tmp_path / "pyarrow").mkdir()
    (tmp_path / "pyarrow" / "__init__.py").write_text(
        "raise ImportError('pyarrow requires NumPy 2.0 or newer')\n")
    result = run_python(f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})
        from kiv_rank.cli import main
        sys.exit(main(["pool.parquet"]))
    """)
    assert result.returncode == 2 and result.stderr.count("\n") == 1, result.stderr
    assert "needs NumPy 2" in result.stderr and "kiv_rs[numpy1]" in result.stderr
