"""The build backend's rules that need no compiler: its TOML reader against tomllib, the
metadata as pip's own requirement parser reads it, the wheel's tag against the tags pip
accepts for this interpreter, the RECORD of a written wheel against the wheel package's
reader, and which files an sdist takes. Building and installing for real is the slow
tier's (tests/python/install-check.sh)."""
import glob
import json
import os
import stat
import subprocess
import sys
import tarfile
import zipfile

import pytest

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "build_backend"))
import corvane_build  # noqa: E402

# pip and wheel as Debian ships them: their readers are the independent judges here.
WHEELS = "/usr/share/python-wheels"


def _vendored(pattern):
    found = sorted(glob.glob(os.path.join(WHEELS, pattern)))
    if not found:
        pytest.skip("no %s in %s (python3-pip-whl, python3-wheel-whl)" % (pattern, WHEELS))
    # First on the path: Debian's python3-wheel, if installed, is a different build.
    if found[-1] not in sys.path:
        sys.path.insert(0, found[-1])


TOML_CASES = [
    # (TOML text, what it holds) -- every construct pyproject.toml uses or may use.
    ("a = 'C:\\\\raw'  # literal: no escapes\nb = \"# not a comment\"\n", {"a": "C:\\\\raw", "b": "# not a comment"}),
    ('a = "tab\\there \\"q\\" \\u00e9 \\U0001F600"\n', {"a": 'tab\there "q" \u00e9 \U0001F600'}),
    ("n = 1_000\nm = -3\nt = true\nf = false\n", {"n": 1000, "m": -3, "t": True, "f": False}),
    ('a = [\n  "x",  # one\n  "y",\n]\nb = [[1, 2], [\'z\'], []]\n', {"a": ["x", "y"], "b": [[1, 2], ["z"], []]}),
    ('license = {text = "MIT"}\ne = {}\n', {"license": {"text": "MIT"}, "e": {}}),
    ('[project]\nname = "p"\n[project.scripts]\n"my-tool" = "m:main"\n',
     {"project": {"name": "p", "scripts": {"my-tool": "m:main"}}}),
    ('[a.b]\nc = 1\n[a]\nd = 2\nx.y = 1\n[ t . "quoted key" ]\nk = 1\n',
     {"a": {"b": {"c": 1}, "d": 2, "x": {"y": 1}}, "t": {"quoted key": {"k": 1}}}),
    ('a = "x"\r\nb = "no newline at the end"', {"a": "x", "b": "no newline at the end"}),
]


@pytest.mark.parametrize("text, expected", TOML_CASES)
def test_toml_reader_reads_the_subset(text, expected):
    assert corvane_build.read_toml(text) == expected
    if sys.version_info >= (3, 11):
        import tomllib
        assert tomllib.loads(text) == expected


@pytest.mark.parametrize("text, line", [
    ('a = """multi\nline"""\n', 1), ("ok = 1\n[[tables]]\n", 2), ('a = 1\na = 2\n', 2), ('[t]\n[t]\n', 2),
    ('a = "unterminated\n', 1), ('a = "bad \\q escape"\n', 1), ('a = "\\ud800"\n', 1), ("a = 1.5\n", 1),
    ("a = 1979-05-27\n", 1), ('a = "x" b = "y"\n', 1), ("a = [1 2]\n", 1), ('a = 1\nb = 2\nx = {c = 1\n', 3),
    ("a.b = 1\na = 2\n", 2),
])
def test_toml_reader_refuses_what_it_cannot_read_naming_the_line(text, line):
    """Never a guess: TOML it does not take (or that is not TOML) stops the build."""
    with pytest.raises(corvane_build.BuildError, match=r"pyproject.toml line %d: " % line):
        corvane_build.read_toml(text)


def test_an_unknown_project_key_stops_the_build(tmp_path):
    """A key the backend would not put into the package is an error, not a silent drop."""
    (tmp_path / "pyproject.toml").write_text('[project]\nname = "demo"\nversion = "1.2"\nkeywords = ["ms"]\n'
                                             'authors = [{name = "x"}]\n')
    with pytest.raises(corvane_build.BuildError, match="does not put \\[project\\] authors, keywords"):
        corvane_build.read_project(str(tmp_path))


def test_metadata_and_tag_as_pip_reads_them(tmp_path):
    _vendored("pip-*.whl")
    from pip._vendor.packaging import tags
    from pip._vendor.packaging.requirements import Requirement

    assert corvane_build.wheel_tag() in {str(t) for t in tags.sys_tags()}
    (tmp_path / "pyproject.toml").write_text('[project]\nname = "demo"\nversion = "1.2"\n'
                                             'dependencies = ["numpy>=1.20"]\n[project.optional-dependencies]\n'
                                             'old = [\'tomli; python_version < "3.11"\']\n')

    def wanted(source, extra, python="3.9"):
        text = corvane_build.metadata_text(corvane_build.read_project(source), source)
        header = text.split("\n\n", 1)[0].splitlines()
        return sorted(r.name for r in (Requirement(line.split(": ", 1)[1]) for line in header
                                       if line.startswith("Requires-Dist"))
                      if r.marker is None or r.marker.evaluate({"extra": extra, "python_version": python}))

    # The requirement's own marker still holds inside its extra.
    assert (wanted(str(tmp_path), ""), wanted(str(tmp_path), "old")) == (["numpy"], ["numpy", "tomli"])
    assert wanted(str(tmp_path), "old", "3.12") == ["numpy"]
    assert set(wanted(SOURCE, "batch")) - set(wanted(SOURCE, "")) == {"distributed", "pandas", "tqdm"}
    assert set(wanted(SOURCE, "pandas")) - set(wanted(SOURCE, "")) == {"pandas"}
    metadata = corvane_build.metadata_text(corvane_build.read_project(SOURCE), SOURCE).splitlines()
    assert {"Provides-Extra: pandas", "Provides-Extra: batch"} <= set(metadata)
    if sys.version_info >= (3, 11):   # the real pyproject.toml reads as tomllib reads it
        import tomllib
        with open(os.path.join(SOURCE, "pyproject.toml"), encoding="utf-8") as f:
            text = f.read()
        assert tomllib.loads(text) == corvane_build.read_toml(text)


def test_written_wheel_passes_the_wheel_packages_record_check(tmp_path):
    reader = sorted(glob.glob(os.path.join(WHEELS, "wheel-*.whl")))
    if not reader:
        pytest.skip("no wheel-*.whl in %s (python3-wheel-whl)" % WHEELS)
    name = "demo-1.2-%s.whl" % corvane_build.wheel_tag()
    writer = corvane_build.WheelWriter(str(tmp_path / name), "demo-1.2.dist-info")
    members = {"demo.py": b"x = 1\n", "pkg/empty.txt": b"", "demo-1.2.data/scripts/tool": bytes(range(256)) * 5,
               "demo-1.2.dist-info/METADATA": "Metadata-Version: 2.1\nName: demo\nVersion: 1.2\n\n\u00e9"}
    for member, data in members.items():
        writer.add(member, data, executable=member.endswith("/tool"))
    writer.close()
    # WheelFile reads RECORD, and each read checks the member's hash and size. It runs
    # without site-packages (-S): the wheel package then takes no setuptools with it.
    check = """if True:
        import json, sys
        from wheel.wheelfile import WheelFile
        with WheelFile(sys.argv[1]) as wheel:
            print(json.dumps({member: wheel.read(member).hex() for member in wheel.namelist()}))
    """
    out = subprocess.run([sys.executable, "-S", "-c", "import sys; sys.path.insert(0, %r)\n" % reader[-1] + check,
                          str(tmp_path / name)], stdout=subprocess.PIPE, check=True).stdout
    read = json.loads(out)
    del read["demo-1.2.dist-info/RECORD"]
    assert read == {m: (d.encode() if isinstance(d, str) else d).hex() for m, d in members.items()}
    with zipfile.ZipFile(str(tmp_path / name)) as wheel:
        assert wheel.read("demo-1.2.dist-info/RECORD").decode().splitlines()[-1] == "demo-1.2.dist-info/RECORD,,"
        assert stat.S_IMODE(wheel.getinfo("demo-1.2.data/scripts/tool").external_attr >> 16) == 0o755
        assert stat.S_IMODE(wheel.getinfo("demo.py").external_attr >> 16) == 0o644


def _tree(root, files):
    for name in files:
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(name)
    (root / "pyproject.toml").write_text('[project]\nname = "Demo.Pkg"\nversion = "1.2"\n')


def _sdist(source, out):
    out.mkdir()
    cwd = os.getcwd()
    os.chdir(str(source))
    try:
        archive = corvane_build.build_sdist(str(out))
    finally:
        os.chdir(cwd)
    assert archive == "demo_pkg-1.2.tar.gz" and os.listdir(str(out)) == [archive]  # no partial file beside it
    return tarfile.open(str(out / archive))


def test_sdist_of_a_checkout_takes_what_git_tracks(tmp_path):
    """Tracked files, edits included; not untracked runs, ignored build folders, nor a
    tracked file deleted in the working tree."""
    source = tmp_path / "src"
    _tree(source, ["src/a.cpp", "gone.txt", ".gitignore"])
    (source / ".gitignore").write_text("/build-*/\n")
    for args in (["init", "-q"], ["add", "-A"], ["commit", "-q", "-m", "x"]):
        subprocess.run(["git", "-C", str(source), "-c", "user.name=t", "-c", "user.email=t@localhost"] + args,
                       check=True, stdout=subprocess.DEVNULL)
    _tree(source, ["build-x/CMakeCache.txt", "run.d/AcqData/MSScan.bin"])
    (source / "gone.txt").unlink()
    (source / "src" / "a.cpp").write_text("edited")
    with _sdist(source, tmp_path / "out") as tar:
        assert sorted(tar.getnames()) == ["demo_pkg-1.2/" + n for n in (".gitignore", "PKG-INFO", "pyproject.toml",
                                                                         "src/a.cpp")]
        assert tar.extractfile("demo_pkg-1.2/src/a.cpp").read() == b"edited"
        assert tar.extractfile("demo_pkg-1.2/PKG-INFO").read().startswith(
            b"Metadata-Version: 2.1\nName: Demo.Pkg\nVersion: 1.2\n")


def test_sdist_of_an_unpacked_sdist_leaves_out_build_folders_and_caches(tmp_path):
    source = tmp_path / "demo-1.2"
    _tree(source, ["PKG-INFO", "python/m/__init__.py", "python/m/__pycache__/x.pyc", "build/CMakeCache.txt",
                   "build-i/x", "dist/old.tar.gz", "demo.egg-info/PKG-INFO", "src/build_rules.txt"])
    with _sdist(source, tmp_path / "out") as tar:
        assert sorted(tar.getnames()) == ["demo_pkg-1.2/" + n for n in ("PKG-INFO", "pyproject.toml",
                                                                         "python/m/__init__.py", "src/build_rules.txt")]
