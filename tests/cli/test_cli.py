"""The command-line tool end to end, through a subprocess: the built-in example, CSV and NPZ input
against a direct call of the detailed kernel, the output formats, bad input (one line, exit 2, no
traceback), the plot, and the sample output shown in the README."""

import csv
import fcntl
import importlib.util
import io
import json
import math
import os
import pty
import re
import select as ioselect
import shutil
import signal
import struct
import subprocess
import sys
import termios
import time
import zipfile
from pathlib import Path

import numpy as np
import pytest

from helpers.pages import assert_page_examples_pass
from helpers.process import ROOT
from vornaquill.selection_core import from_replicates, mc_rank_select_detailed, percentile_for_k, select

METRICS = ("place", "front", "within")
PLOTS = pytest.mark.needs("matplotlib")
STATS = ("mean", "median", "std", "q25", "q75")


def cli(*args, cwd, stdin=None, env=None, preexec_fn=None):
    """Run the tool; `stdin` is text or bytes."""
    proc = subprocess.run(
        [sys.executable, "-m", "vornaquill.selection_core", *map(str, args)],
        cwd=cwd, input=stdin.encode() if isinstance(stdin, str) else stdin, capture_output=True,
        timeout=120, env={**os.environ, **(env or {})}, preexec_fn=preexec_fn,
    )
    proc.stdout, proc.stderr = proc.stdout.decode(), proc.stderr.decode()
    return proc


def ok(*args, cwd, **kw):
    proc = cli(*args, cwd=cwd, **kw)
    assert proc.returncode == 0, proc.stderr
    return proc


def table_rows(stdout):
    """Table rows as dicts keyed by the header cells (split on runs of two or more spaces)."""
    lines = stdout.splitlines()
    start = next(i for i, line in enumerate(lines) if line.split()[:2] == ["#", "name"])
    header = re.split(r"\s{2,}", lines[start].strip())
    rows = lines[start + 1:]
    rows = rows[:rows.index("")] if "" in rows else rows  # a note may follow after a blank line
    return [dict(zip(header, re.split(r"\s{2,}", line.strip()))) for line in rows]


@pytest.fixture(scope="module")
def population():
    rng = np.random.default_rng(5)
    mu = rng.normal(size=(11, 3)) * [1.0, 10.0, 0.1]
    mu[6, 0] = np.nan  # a failed run
    sigma2 = rng.uniform(0.0, 0.5, size=(11, 3)) * [1.0, 100.0, 0.01]
    sigma2[2] = 0.0
    return mu, sigma2, [f"trial-{i}" for i in range(11)], ["loss", "latency", "mem"]


def write_csv(path, mu, sigma2, names, objectives):
    """Columns deliberately mixed: an ignored column, one sigma2 before its mu, names in the middle."""
    header = ["step", f"{objectives[0]}_mu", f"{objectives[0]}_sigma2", "name",
              f"{objectives[1]}_sigma2", f"{objectives[1]}_mu", f"{objectives[2]}_mu", f"{objectives[2]}_sigma2"]
    with open(path, "w", newline="") as fh:
        w = csv.writer(fh)
        w.writerow(header)
        for i, (m, s) in enumerate(zip(mu.tolist(), sigma2.tolist())):
            w.writerow([100 + i, repr(m[0]), repr(s[0]), names[i], repr(s[1]), repr(m[1]), repr(m[2]), repr(s[2])])


def assert_matches_kernel(doc, mu, sigma2, n_samples, options):
    direct = mc_rank_select_detailed(mu, sigma2, n_samples, *options.values())
    keys = ("winners", "losers", "win_count", "lose_count", "rank_sum")
    for key, want in zip(keys, direct[:5]):
        assert doc[key] == want.tolist(), key
    np.testing.assert_array_equal(doc["quality_score"], direct[8])
    for metric, stats in zip(METRICS, direct[5:8]):
        for key in STATS:
            np.testing.assert_array_equal(doc[f"{metric}_stats"][key], stats[key], err_msg=f"{metric} {key}")
    mode = direct[5]["quantiles_mode_used"]
    assert doc["quantiles_mode_used"] == ("streaming" if mode else "exact")
    np.testing.assert_array_equal(doc["win_probability"], direct[2] / n_samples)
    np.testing.assert_array_equal(doc["lose_probability"], direct[3] / n_samples)


# (command-line options, the kernel's optional arguments in order)
RUNS = [
    ([], dict(percentile=0.2, seed=0, mode_i=1, within_mode_i=0, quantiles_mode_i=2,
              quantiles_budget=2_500_000, quality_w_place=1.0, quality_w_front=1.0,
              quality_w_within=1.0, quality_sign=-1.0)),
    (["-p", "0.35", "-s", "77", "--mode", "values", "--quantiles", "streaming",
      "--quality-w-place", "0.5", "--quality-w-front", "4", "--quality-w-within", "-2", "--quality-sign", "0.25"],
     dict(percentile=0.35, seed=77, mode_i=0, within_mode_i=0, quantiles_mode_i=1,
          quantiles_budget=2_500_000, quality_w_place=0.5, quality_w_front=4.0,
          quality_w_within=-2.0, quality_sign=0.25)),
    (["--budget", "100", "--seed", str(2**64 - 1), "--percentile", "1"],
     dict(percentile=1.0, seed=2**64 - 1, mode_i=1, within_mode_i=0, quantiles_mode_i=2,
          quantiles_budget=100, quality_w_place=1.0, quality_w_front=1.0,
          quality_w_within=1.0, quality_sign=-1.0)),
]


@pytest.mark.parametrize("args,options", RUNS)
def test_csv_json_round_trip_matches_kernel(tmp_path, population, args, options):
    mu, sigma2, names, objectives = population
    write_csv(tmp_path / "pop.csv", mu, sigma2, names, objectives)
    proc = ok("pop.csv", "-n", 150, "--json", "--output", "out.json", *args, cwd=tmp_path)
    doc = json.loads((tmp_path / "out.json").read_text())
    assert_matches_kernel(doc, mu, sigma2, 150, options)
    assert doc["names"] == names and doc["objectives"] == objectives
    assert doc["options"] == {"n_samples": 150, **options, "ties": "index"}
    # with --output the table still goes to stdout
    assert sorted(r["name"] for r in table_rows(proc.stdout)) == sorted(names)


@pytest.mark.parametrize("with_labels", [True, False, "bytes"])
def test_npz_round_trip_matches_kernel(tmp_path, population, with_labels):
    mu, sigma2, names, objectives = population
    label = (lambda t: t.encode()) if with_labels == "bytes" else str  # bytes names print as text
    extra = {"names": np.array([label(n) for n in names]),
             "objectives": np.array([label(o) for o in objectives])} if with_labels else {}
    np.savez(tmp_path / "pop.npz", mu=mu, sigma2=sigma2, **extra)
    doc = json.loads(ok("pop.npz", "-n", 90, "--seed", 3, "--json", cwd=tmp_path).stdout)
    assert_matches_kernel(doc, mu, sigma2, 90, dict(RUNS[0][1], seed=3))
    assert doc["names"] == (names if with_labels else [str(i) for i in range(11)])
    assert doc["objectives"] == (objectives if with_labels else ["objective 0", "objective 1", "objective 2"])


def test_csv_output_matches_json(tmp_path, population):
    mu, sigma2, names, objectives = population
    write_csv(tmp_path / "pop.csv", mu, sigma2, names, objectives)
    doc = json.loads(ok("pop.csv", "-n", 120, "-p", "0.3", "--json", cwd=tmp_path).stdout)
    ok("pop.csv", "-n", 120, "-p", "0.3", "-o", "res.csv", "-q", cwd=tmp_path)  # format from the suffix
    rows = list(csv.DictReader(io.StringIO((tmp_path / "res.csv").read_text())))
    assert [r["name"] for r in rows] == names and [int(r["index"]) for r in rows] == list(range(11))
    for key in ("win_count", "lose_count", "rank_sum", "win_probability", "quality_score"):
        assert [float(r[key]) for r in rows] == doc[key], key
    for metric in METRICS:
        for key in STATS:
            assert [float(r[f"{metric}_{key}"]) for r in rows] == doc[f"{metric}_stats"][key]
    for role in ("winner", "loser"):
        ranked = sorted((int(r[f"{role}_rank"]), int(r["index"])) for r in rows if r[f"{role}_rank"])
        assert ranked == list(enumerate(doc[f"{role}s"], start=1))


def test_builtin_example_table(tmp_path):
    out = ok("-n", 400, cwd=tmp_path).stdout
    doc = json.loads(ok("-n", 400, "--json", cwd=tmp_path).stdout)
    rows = table_rows(out)
    assert len(rows) == len(doc["names"]) == 16 and len(doc["objectives"]) == 3
    quality = [float(r["quality"]) for r in rows]
    assert quality == sorted(quality, reverse=True)
    for r in rows:
        i = int(r["#"])
        assert r["name"] == doc["names"][i]
        assert float(r["win%"]) == pytest.approx(100 * doc["win_probability"][i], abs=0.051)
        assert float(r["lose%"]) == pytest.approx(100 * doc["lose_probability"][i], abs=0.051)
        assert float(r["front"]) == pytest.approx(doc["front_stats"]["mean"][i], abs=0.0051)
        mean, std = (float(v) for v in r["place mean±std"].split("±"))
        assert mean == pytest.approx(doc["place_stats"]["mean"][i], abs=0.0051)
        assert std == pytest.approx(doc["place_stats"]["std"][i], abs=0.0051)
        assert ("W" in r.get("sel", "")) == (i in doc["winners"])
        assert ("L" in r.get("sel", "")) == (i in doc["losers"])
        assert ("?" in r.get("sel", "")) == (i in doc["uncertain_winners"] + doc["uncertain_losers"])
    doubtful = sorted(set(doc["uncertain_winners"] + doc["uncertain_losers"]))
    assert doubtful and out.endswith(
        f"\nuncertain (?): {', '.join(doc['names'][i] for i in doubtful)}; measure these again or raise --samples\n")


# (options, the population and options that ask for the same selection without them, text in the table's head)
EQUIVALENTS = [
    (["--maximize", "latency", "0"], lambda mu, doc: (mu * [-1, -1, 1], []), "; maximised: loss, latency\n"),
    (["--maximize", "latency", "--maximize", "0"], lambda mu, doc: (mu * [-1, -1, 1], []), "maximised: loss, latency"),
    (["--k", "3"], lambda mu, doc: (mu, ["-p", repr(percentile_for_k(3, 11))]), "top/bottom 3 of the order"),
    (["-n", "auto", "--max-samples", "4000"], lambda mu, doc: (mu, ["-n", doc["n_samples"]]), " samples (auto"),
    (["--threads", "2", "--ties", "index"], lambda mu, doc: (mu, []), " samples"),
]


@pytest.mark.parametrize("args,plain,head", EQUIVALENTS)
def test_options_equal_their_plain_equivalent(tmp_path, population, args, plain, head):
    mu, sigma2, names, objectives = population
    write_csv(tmp_path / "pop.csv", mu, sigma2, names, objectives)
    proc = ok("pop.csv", "--json", "-o", "out.json", *args, cwd=tmp_path)
    assert head in proc.stdout.split("\n\n")[0]
    doc = json.loads((tmp_path / "out.json").read_text())
    plain_mu, plain_args = plain(mu, doc)
    write_csv(tmp_path / "plain.csv", plain_mu, sigma2, names, objectives)
    want = json.loads(ok("plain.csv", "--json", *plain_args, cwd=tmp_path).stdout)
    for key in ("n_samples", "winners", "losers", "win_count", "rank_sum", "uncertain_winners"):
        assert doc[key] == want[key], key


@pytest.mark.parametrize("prior", [None, "population"])  # with a prior the variances are estimates
def test_long_csv_is_reduced_like_replicates(tmp_path, population, prior):
    mu, _, names, objectives = population
    rng = np.random.default_rng(8)
    reps = [mu[i] + rng.normal(size=(k, 3)) for i, k in enumerate([1, 2, 3, 4, 2, 2, 2, 3, 2, 2, 2])]
    # one row per measurement, replicates of different individuals interleaved
    rows = sorted((j, i, r) for i, rep in enumerate(reps) for j, r in enumerate(rep.tolist()))
    lines = [",".join(["name", *objectives])] + [",".join([names[i], *map(repr, r)]) for _, i, r in rows]
    (tmp_path / "long.csv").write_text("\n".join(lines) + "\n")
    write_csv(tmp_path / "wide.csv", *from_replicates(reps), names, objectives)
    args = ["--prior", prior] if prior else []
    proc = ok("long.csv", "--json", "-o", "long.json", *args, cwd=tmp_path)
    assert "; replicates reduced to means and variances (1–4 per individual)\n" in proc.stdout  # noqa: RUF001
    doc = json.loads((tmp_path / "long.json").read_text())
    direct = select(replicates=reps, n_samples=2000, names=names, objectives=objectives, prior=prior).to_dict()
    assert {key: doc[key] for key in direct} == direct
    want = json.loads(ok("wide.csv", "--json", *args, cwd=tmp_path).stdout)
    selection = () if prior else ("winners", "win_count", "rank_sum", "quality_score")  # the wide one's are known
    for key in ("names", "objectives", "mu", "sigma2", *selection):
        assert doc[key] == want[key], key
    assert doc["replicate_counts"] == [1, 2, 3, 4, 2, 2, 2, 3, 2, 2, 2] and want["replicate_counts"] is None


@pytest.mark.parametrize("rows, head", [
    (5, "\nprior population: winners selected on the means shrunk toward the population, losers on the observed"),
    (3, "\nprior population not applied: objective 0: 3 individuals with a finite mean, fewer than 4"),
])
def test_table_states_the_prior_and_keeps_a_name_on_its_line(tmp_path, rows, head):
    lines = ["name,loss_mu,loss_sigma2"] + [f'"w{i}\nx",{i},1' for i in range(rows)]  # a newline in each name
    (tmp_path / "pop.csv").write_text("\n".join(lines) + "\n")
    out = ok("pop.csv", "-n", 100, "--prior", "population", cwd=tmp_path).stdout
    assert head in out.split("\n\n")[0]
    assert sorted(r["name"] for r in table_rows(out)) == [f"w{i}\\nx" for i in range(rows)]


def test_winners_and_losers_are_disjoint(tmp_path):
    # 20 samples of six noisy individuals, k = 2: the kernel makes individual 5 both a winner and a loser.
    mu = [[-1.0, 0.6], [-1.5, -0.6], [0.0, -1.3], [0.7, -0.0], [-1.0, -1.5], [-1.6, 0.1]]
    lines = ["loss_mu,loss_sigma2,lat_mu,lat_sigma2"] + [f"{a},1,{b},1" for a, b in mu]
    (tmp_path / "pop.csv").write_text("\n".join(lines) + "\n")
    winners, losers, *_ = mc_rank_select_detailed(np.array(mu), np.ones((6, 2)), 20, percentile_for_k(2, 6))
    assert 5 in winners and 5 in losers
    doc = json.loads(ok("pop.csv", "-n", 20, "--k", 2, "--json", cwd=tmp_path).stdout)
    assert len(doc["winners"]) == len(doc["losers"]) == 2 and set(doc["winners"]).isdisjoint(doc["losers"])
    marks = [r.get("sel", "") for r in table_rows(ok("pop.csv", "-n", 20, "--k", 2, cwd=tmp_path).stdout)]
    assert not any("W" in m and "L" in m for m in marks)


def test_same_seed_same_output_and_console_script(tmp_path):
    first = ok("-n", 300, "-s", 5, cwd=tmp_path).stdout
    assert ok("-n", 300, "-s", 5, cwd=tmp_path).stdout == first
    assert ok("-n", 300, "-s", 6, cwd=tmp_path).stdout != first
    script = shutil.which("vornaquill-select", path=str(Path(sys.executable).parent))
    if script is None:
        pytest.skip("console script not installed next to this interpreter")
    proc = subprocess.run([script, "-n", "300", "-s", "5"], capture_output=True, text=True, cwd=tmp_path)
    assert proc.returncode == 0 and proc.stdout == first


def test_csv_variants_read_alike(tmp_path, population):
    """Standard input, a spreadsheet export (byte-order mark, CRLF, padded cells, blank lines) and
    the plain file give the same result."""
    mu, sigma2, names, objectives = population
    write_csv(tmp_path / "pop.csv", mu, sigma2, names, objectives)
    text = (tmp_path / "pop.csv").read_text()
    from_file = json.loads(ok("pop.csv", "--json", cwd=tmp_path).stdout)
    piped = json.loads(ok("-", "--json", cwd=tmp_path, stdin=text).stdout)
    # without the ignored first column, so that the byte-order mark sits on an objective column
    export = "\ufeff" + "\r\n\r\n".join(" , ".join(line.split(",")[1:]) for line in text.splitlines())
    (tmp_path / "export.csv").write_bytes(export.encode("utf-8"))
    exported = json.loads(ok("export.csv", "--json", cwd=tmp_path).stdout)
    # the mark followed by a quoted first header cell
    head, body = export.split("\r\n", 1)
    quoted = "\ufeff" + ",".join(f'"{c.strip()}"' for c in head[1:].split(",")) + "\r\n" + body
    (tmp_path / "quoted.csv").write_bytes(quoted.encode("utf-8"))
    for doc in (piped, exported, json.loads(ok("quoted.csv", "--json", cwd=tmp_path).stdout)):
        assert doc["names"] == names and doc["objectives"] == objectives
        for key in ("win_count", "rank_sum", "quality_score"):
            assert doc[key] == from_file[key]


VALID = "name,loss_mu,loss_sigma2,lat_mu,lat_sigma2\na,1,0.1,5,1\nb,2,0.1,4,1\n"
BAD_CSV = [
    ("", "bad.csv: file is empty"),
    ("\n\n", "bad.csv: file is empty"),
    ("loss,lat\n1,2\n", "bad.csv: no objective columns"),
    ("name,\na,1\n", "bad.csv: no objective columns besides 'name'"),
    ("name,loss,lat\na,1,2\nb,3,4\n", "bad.csv: replicates: objective 'loss' has"),  # one measurement each
    ("name,loss_mu,lat_mu,lat_sigma2\na,1,2,3\n", "column 'loss_mu' has no matching column 'loss_sigma2'"),
    ("loss_sigma2,x\n1,2\n", "column 'loss_sigma2' has no matching column 'loss_mu'"),
    ("name,loss_mu,loss_sigma2\na,1,0.1\nb,fast,0.1\n", "bad.csv, line 3, column 'loss_mu': 'fast' is not a number"),
    ("name,loss_mu,loss_sigma2\na,1,\n", "bad.csv, line 2, column 'loss_sigma2': empty cell"),
    ("name,loss_mu,loss_sigma2\na,1,-0.5\n", "bad.csv, line 2, column 'loss_sigma2': variance must be a finite"),
    ("name,loss_mu,loss_sigma2\na,1,nan\n", "variance must be a finite number >= 0 (got nan)"),
    ("name,loss_mu,loss_sigma2\na,1,0\nb,1,+inf\n", "bad.csv, line 3, column 'loss_sigma2': variance must be a finite"),
    ("name,loss_mu,loss_sigma2\na,1\n", "bad.csv, line 2: expected 3 cells, found 2"),
    ("loss_mu,loss_sigma2,loss_mu\n1,1,1\n", "column 'loss_mu' appears more than once"),
    ("name,loss_mu,loss_sigma2\n", "bad.csv: no individuals"),
    ("name;loss_mu;loss_sigma2\na;1;0.1\n", "bad.csv: expected comma-separated columns, found one column "
                                            "'name;loss_mu;loss_sigma2' (separated by ';'?)"),
]


@pytest.mark.parametrize("content,message", BAD_CSV)
def test_bad_csv(tmp_path, content, message):
    (tmp_path / "bad.csv").write_text(content)
    assert_user_error(cli("bad.csv", cwd=tmp_path), message)


def assert_user_error(proc, message):
    assert proc.returncode == 2
    assert proc.stdout == ""
    assert "Traceback" not in proc.stderr
    assert len(proc.stderr.splitlines()) == 1, proc.stderr
    assert proc.stderr.startswith("vornaquill-select: error: ")
    assert message in proc.stderr, proc.stderr


BAD_NPZ = [
    (dict(mu=np.ones((3, 2))), "bad.npz: missing array 'sigma2'"),
    (dict(mu=np.ones((3, 2)), sigma2=np.ones((3, 3))), "'mu' has shape (3, 2) but 'sigma2' has shape (3, 3)"),
    (dict(mu=np.ones(3), sigma2=np.ones(3)), "array 'mu' must be 2-D"),
    (dict(mu=np.array([["a", "b"]]), sigma2=np.ones((1, 2))), "array 'mu' must be numeric"),
    (dict(mu=np.ones((0, 2)), sigma2=np.ones((0, 2))), "no individuals"),
    (dict(mu=np.ones((3, 2)), sigma2=-np.ones((3, 2))), "bad.npz: sigma2[0, 0]: variance must be a finite number"),
    (dict(mu=np.ones((3, 2)), sigma2=np.ones((3, 2)) * [1, np.inf]), "bad.npz: sigma2[0, 1]: variance must"),
    (dict(mu=np.ones((3, 2)), sigma2=np.ones((3, 2)), names=np.array(["a", "b"])),
     "array 'names' must hold one entry per individual (3)"),
    (dict(mu=np.array([None, 1.0], dtype=object).reshape(1, 2), sigma2=np.ones((1, 2))),
     "bad.npz: not a readable .npz archive"),
]


@pytest.mark.parametrize("arrays,message", BAD_NPZ)
def test_bad_npz(tmp_path, arrays, message):
    np.savez(tmp_path / "bad.npz", **arrays)
    assert_user_error(cli("bad.npz", cwd=tmp_path), message)


@pytest.mark.parametrize("setup,args,message", [
    (None, ["missing.csv"], "cannot read missing.csv: No such file or directory"),
    (None, ["missing.npz"], "cannot read missing.npz: No such file or directory"),
    ("text", ["data.npz"], "data.npz: not an .npz archive"),
    ("npy", ["data.npz"], "data.npz: not an .npz archive"),
    ("dir", ["sub.csv"], "cannot read sub.csv"),
    ("valid", ["pop.csv", "-n", "-5"], "argument -n/--samples: must be between 1 and 2147483647 (got -5)"),
    ("valid", ["pop.csv", "-n", "0"], "argument -n/--samples: must be between 1 and 2147483647 (got 0)"),
    ("valid", ["pop.csv", "-n", str(2**31)], "must be between 1 and 2147483647 (got 2147483648)"),
    ("valid", ["pop.csv", "-n", "1e3"], "expected an integer, got '1e3'"),
    ("valid", ["pop.csv", "-p", "0"], "argument -p/--percentile: must be in (0, 1] (got 0)"),
    ("valid", ["pop.csv", "-p", "1.01"], "must be in (0, 1] (got 1.01)"),
    ("valid", ["pop.csv", "-p", "nan"], "must be a finite number"),
    ("valid", ["pop.csv", "-s", "-1"], "argument -s/--seed: must be between 0 and 18446744073709551615 (got -1)"),
    ("valid", ["pop.csv", "-s", str(2**64)], "must be between 0 and 18446744073709551615 (got 18446744073709551616)"),
    ("valid", ["pop.csv", "--quality-sign", "inf"], "argument --quality-sign: must be a finite number"),
    ("valid", ["pop.csv", "--mode", "fast"], "argument --mode: invalid choice: 'fast'"),
    ("valid", ["pop.csv", "--threads", "-1"], "argument --threads: must be between 0 and 256 (got -1)"),
    ("valid", ["pop.csv", "--threads", "2147483647"], "argument --threads: must be between 0 and 256 (got 2147483647)"),
    ("valid", ["pop.csv", "--ties", "bogus"], "argument --ties: invalid choice: 'bogus'"),
    ("valid", ["pop.csv", "--budget", str(2**63)], "argument --budget: must be between -9223372036854775808 and"),
    ("valid", ["pop.csv", "--json", "--csv"], "not allowed with argument"),
    ("valid", ["pop.csv", "--plot-objectives", "loss", "lat"], "--plot-objectives needs --plot"),
    ("valid", ["pop.csv", "-o", "no/such/dir/out.json"], "cannot write no/such/dir/out.json"),
    ("valid", ["pop.csv", "--max-samples", "100"], "--max-samples needs -n auto"),
    ("valid", ["pop.csv", "--k", "1", "-p", "0.5"], "argument -p/--percentile: not allowed with argument --k"),
    ("valid", ["pop.csv", "--k", "3"], "pop.csv: k must be"),
    ("valid", ["pop.csv", "--maximize", "speed"], "--maximize: no objective 'speed' (have loss, lat)"),
    ("valid", ["pop.csv", "--maximize", "\u00b2"], "--maximize: no objective '\u00b2'"),  # isdigit(), not a digit
    ("valid", [""], "the input file name is empty"),
    ("valid", ["pop.csv", "-o", ""], "-o/--output: the file name is empty"),
    pytest.param("valid", ["pop.csv", "--plot", ""], "--plot: the file name is empty", marks=PLOTS),
    pytest.param("valid", ["pop.csv", "--plot", "no/dir/x.png"], "cannot write no/dir/x.png: no folder",
                 marks=PLOTS),  # before the table
    ("full", ["pop.csv"], "cannot write to standard output: No space left on device"),
    ("closed-out", ["pop.csv"], "cannot write to standard output: it is closed"),
    ("huge-names", ["data.npz"], "data.npz: array 'names' of shape (1000000,) would need"),
    ("latin-1", ["-"], "<stdin>: not a UTF-8 text file"),
    ("closed", ["-"], "cannot read <stdin>: standard input is closed"),
    ("deflate", ["data.npz"], "data.npz: not a readable .npz archive (Error -3"),
    ("method", ["data.npz"], "data.npz: not a readable .npz archive (That compression method is not supported)"),
    ("huge-header", ["data.npz"], "array 'mu' of shape (10000000, 1000000) would need 74505.8 GiB of memory"),
    ("huge", ["data.npz"], "rating 2000000 individuals (an N x N byte matrix) would need 3725.3 GiB of memory"),
])
def test_bad_invocation(tmp_path, setup, args, message):
    stdin, closing = None, None
    if setup in ("deflate", "method", "huge-header", "huge", "huge-names"):
        write_damaged_npz(tmp_path / "data.npz", setup)
    elif setup == "latin-1":
        stdin = VALID.replace("a,", "\xe9,").encode("latin-1")
    elif setup == "closed":
        def closing():
            os.close(0)
    elif setup in ("valid", "full", "closed-out"):
        (tmp_path / "pop.csv").write_text(VALID)
        closing = {"full": lambda: os.dup2(os.open("/dev/full", os.O_WRONLY), 1),  # standard output full
                   "closed-out": lambda: os.close(1), "valid": None}[setup]
    elif setup == "text":
        (tmp_path / "data.npz").write_text("mu,sigma2\n")
    elif setup == "npy":
        np.save(tmp_path / "data.npy", np.ones((2, 2)))
        (tmp_path / "data.npy").rename(tmp_path / "data.npz")
    elif setup == "dir":
        (tmp_path / "sub.csv").mkdir()
    assert_user_error(cli(*args, cwd=tmp_path, stdin=stdin, preexec_fn=closing), message)


def write_damaged_npz(path, damage):
    """An .npz archive whose 'mu' member has a broken deflate stream, a compression method zipfile
    does not know, or a header claiming a shape no machine holds; or a population too large to rate."""
    mu = np.zeros((2_000_000, 1)) if damage == "huge" else np.ones((3, 2))
    np.savez_compressed(path, mu=mu, sigma2=mu)
    if damage in ("huge-header", "huge-names"):  # huge float64 means, or huge strings as names
        header = io.BytesIO()
        huge = {"descr": "<f8", "shape": (10**7, 10**6)} if damage == "huge-header" else \
            {"descr": "<U100000000", "shape": (10**6,)}
        np.lib.format.write_array_header_1_0(header, {**huge, "fortran_order": False})
        with zipfile.ZipFile(path, "w" if damage == "huge-header" else "a") as zf:
            zf.writestr("mu.npy" if damage == "huge-header" else "names.npy", header.getvalue() + bytes(16))
            if damage == "huge-header":
                zf.writestr("sigma2.npy", header.getvalue())
    data = bytearray(path.read_bytes())
    if damage == "deflate":
        local = data.index(b"PK\x03\x04")  # first local header: fixed part, then name and extra field
        start = local + 30 + int.from_bytes(data[local + 26: local + 28], "little") + \
            int.from_bytes(data[local + 28: local + 30], "little")
        data[start] = 0xFF  # first byte of the deflate stream: a reserved block type
    elif damage == "method":
        central = data.index(b"PK\x01\x02")  # method field of the first central directory entry
        data[central + 10: central + 12] = (7).to_bytes(2, "little")
    path.write_bytes(bytes(data))


def test_json_writes_non_finite_numbers_as_null(tmp_path):
    quality = json.loads(ok("-n", 50, "--quality-w-place", "1e308", "--quality-w-front", "1e308", "--json",
                            cwd=tmp_path).stdout)["quality_score"]  # overflows to -inf
    assert None in quality and all(q is None or math.isfinite(q) for q in quality)


@pytest.mark.parametrize("module, args, message", [
    ("matplotlib", ["--plot", "out.png"], "--plot needs matplotlib"),
    ("tqdm", ["--progress", "-o", "out.png"], "--progress: a progress bar needs tqdm: pip install"),
])
def test_optional_dependency_missing(tmp_path, module, args, message):
    blocker = tmp_path / "blocker" / module
    blocker.mkdir(parents=True)
    (blocker / "__init__.py").write_text("raise ImportError('blocked for the test')\n")
    proc = cli(*args, cwd=tmp_path, env={"PYTHONPATH": str(tmp_path / "blocker")})
    assert_user_error(proc, message)
    assert not (tmp_path / "out.png").exists()


@pytest.mark.needs("tqdm")
def test_progress_bar_on_a_terminal_and_ctrl_c(tmp_path):
    """On a terminal a long run shows a bar on stderr; SIGINT ends it with one line and status 130."""
    try:
        controller, terminal = pty.openpty()
    except OSError as exc:  # a container without /dev/pts
        pytest.skip(f"no pseudo-terminal: {exc}")
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # a bar needs columns
    proc = subprocess.Popen([sys.executable, "-m", "vornaquill.selection_core", "-n", "100000000"],
                            cwd=tmp_path, stdout=subprocess.PIPE, stderr=terminal)
    os.close(terminal)

    def read(until, timeout):
        out, deadline = b"", time.monotonic() + timeout
        while until not in out and time.monotonic() < deadline:
            if ioselect.select([controller], [], [], 0.1)[0]:
                try:
                    out += os.read(controller, 4096)
                except OSError:  # the terminal closed with the process
                    break
        return out.decode()

    try:
        # Drawn, then drawn again: tqdm prints its first line before it has finished setting up, and
        # an interrupt in between (seen under a CPU emulator) leaves it to fail again when collected.
        bar = read(b"sample/s", 30)
        bar += read(b"sample/s", 30)
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=10) == 130
        end = read(b"interrupted\r\n", 5)
        out = proc.stdout.read()
    finally:
        proc.kill()
        proc.stdout.close()
        os.close(controller)
    assert "/100000000 [" in bar and "Traceback" not in bar + end and out == b""
    assert end.split("\n")[-2:] == ["vornaquill-select: interrupted\r", ""]


PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("args,target", [([], "pop.png"), (["--plot-objectives", "memory_gb", "0"], "pop.png"),
                                         ([], "pop")])  # no suffix: PNG, and exactly that file
def test_plot_is_a_png(tmp_path, args, target):
    pytest.importorskip("matplotlib")
    proc = ok("-n", 200, "--plot", target, *args, cwd=tmp_path)
    assert len(table_rows(proc.stdout)) == 16
    assert [p.name for p in tmp_path.iterdir()] == [target]
    data = (tmp_path / target).read_bytes()
    assert data.startswith(PNG_SIGNATURE) and data[12:16] == b"IHDR"
    width, height = int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")
    assert width > 300 and height > 200


@pytest.mark.parametrize("args,message", [
    (["--plot-objectives", "val_loss", "accuracy"], "--plot-objectives: no objective 'accuracy'"),
    (["--plot-objectives", "0", "3"], "--plot-objectives: no objective '3'"),
    (["--plot-objectives", "0", "1", "--plot", "x.docx"], "--plot: cannot write .docx files (use one of:"),
])
def test_plot_objective_errors(tmp_path, args, message):
    pytest.importorskip("matplotlib")
    assert_user_error(cli("--plot", "x.png", *args, cwd=tmp_path), message)


def test_plot_needs_two_objectives(tmp_path):
    pytest.importorskip("matplotlib")
    (tmp_path / "one.csv").write_text("loss_mu,loss_sigma2\n1,0.1\n2,0.1\n")
    assert_user_error(cli("one.csv", "--plot", "x.png", cwd=tmp_path), "--plot needs at least two objectives")


def cli_page_sample():
    """The command and the output shown on the command-line tool's documentation page."""
    text = (ROOT / "docs" / "cli.md").read_text()
    match = re.search(r"```console\n\$ (?P<cmd>[^\n]+)\n(?P<out>.*?)```", text, re.S)
    assert match, "docs/cli.md has no console sample"
    return match["cmd"].split(), match["out"]


def test_cli_page_sample_output_is_current(tmp_path):
    cmd, shown = cli_page_sample()
    assert cmd[0] == "vornaquill-select"
    assert ok(*cmd[1:], cwd=tmp_path).stdout == shown


def test_cli_page_shell_examples_run(tmp_path):
    text = (ROOT / "docs" / "cli.md").read_text()
    commands = [line.split() for block in re.findall(r"```sh\n(.*?)```", text, re.S)
                for line in block.splitlines() if line.startswith("vornaquill-select ")]
    assert commands
    (tmp_path / "src").symlink_to(ROOT / "src")  # paths on the page are relative to the repository
    plotting = importlib.util.find_spec("matplotlib") is not None
    for cmd in commands:
        if plotting or "--plot" not in cmd:
            ok(*cmd[1:], cwd=tmp_path)
    if plotting and any("--plot" in cmd for cmd in commands):
        assert (tmp_path / "population.png").read_bytes().startswith(PNG_SIGNATURE)


@pytest.mark.parametrize("page", ["README.md", "docs/getting-started.md"])
def test_quickstart_prints_what_is_shown(page):
    assert_page_examples_pass(page)
