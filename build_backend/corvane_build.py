"""corvane's build backend for pip (PEP 517 and 660): CMake builds the two extension
modules and the four tools for the interpreter that runs this file, and this file writes
the wheel.

It is plain standard-library Python so that pip needs nothing to build (`requires = []`
in pyproject.toml): `pip install .` then works offline under any CPython from 3.9 and
under PyPy. A setuptools build cannot promise that here: Debian's setuptools wheel, the
only one on an offline Debian machine, is patched for Debian's own Python and fails under
any other with `AttributeError: install_layout`.

Nothing is written into the source tree. CMake builds in a temporary folder that is
removed before the hook returns; the wheel or sdist goes where pip asks.

The wheel holds what the CMake build makes for one interpreter (the folder layout is
python/CMakeLists.txt's):
    corvane<EXT_SUFFIX>, corvane.pyi, corvane-stubs/        the frozen reader and its stubs
    meridel/                                                the package: _meridel<EXT_SUFFIX>,
                                                            its Python files, stubs, py.typed
    corvane-<version>.data/scripts/corvane-info, ...        the C++ tools, into the venv's bin/
and corvane-batch is a console entry point (pyproject.toml's [project.scripts]).
"""
import base64
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile

# The C++ tools the wheel installs beside the interpreter (CMake targets, built into
# <build>/tools/).
TOOLS = ("corvane-info", "corvane-convert", "corvane-report", "corvane-make-sample")

# The [project] keys this backend turns into metadata. Any other key stops the build, so
# that an addition to pyproject.toml is never dropped from the package without a word.
PROJECT_KEYS = {"name", "version", "description", "readme", "requires-python", "license",
                "classifiers", "dependencies", "optional-dependencies", "scripts", "urls"}


class BuildError(Exception):
    """A build that cannot go on; pip shows the message under the hook's output."""


# --- pyproject.toml --------------------------------------------------------------------
# tomllib arrived in Python 3.11, and PyPy 3.9 has no TOML reader at all, so the backend
# reads the part of TOML that pyproject.toml uses: tables, bare and quoted keys, strings,
# integers, booleans, arrays over several lines and inline tables. Anything else is an
# error that names the line, never a guess.

class _TomlReader:
    _bare_key = re.compile(r"[A-Za-z0-9_-]+")
    _integer = re.compile(r"[+-]?(0|[1-9](_?[0-9])*)(?=[\s,\]}#]|$)")
    _escapes = {"b": "\b", "t": "\t", "n": "\n", "f": "\f", "r": "\r", '"': '"', "\\": "\\"}

    def __init__(self, text):
        self.text = text
        self.at = 0

    def error(self, what):
        line = self.text.count("\n", 0, self.at) + 1
        raise BuildError("pyproject.toml line %d: %s" % (line, what))

    def peek(self, n=1):
        return self.text[self.at:self.at + n]

    def skip(self, newlines):
        """Skips blanks and comments; newlines too when `newlines` (inside arrays)."""
        while self.at < len(self.text):
            c = self.text[self.at]
            if c in " \t" or (newlines and c in "\r\n"):
                self.at += 1
            elif c == "#":
                end = self.text.find("\n", self.at)
                self.at = len(self.text) if end < 0 else end
            else:
                return

    def expect(self, c):
        if self.peek() != c:
            self.error("expected %r" % c)
        self.at += 1

    def end_of_line(self):
        self.skip(False)
        if self.peek() == "\r":
            self.at += 1
        if self.at < len(self.text) and self.peek() != "\n":
            self.error("unexpected text after the value")
        self.at += 1

    def document(self):
        root = {}
        table = root
        defined = set()
        while True:
            self.skip(True)
            if self.at >= len(self.text):
                return root
            if self.peek() == "[":
                if self.peek(2) == "[[":
                    self.error("arrays of tables are not read by the build backend")
                self.at += 1
                path = self.dotted_key()
                self.expect("]")
                if path in defined:
                    self.error("table [%s] defined twice" % ".".join(path))
                defined.add(path)
                table = root
                for name in path:
                    table = table.setdefault(name, {})
                    if not isinstance(table, dict):
                        self.error("%s is not a table" % name)
            else:
                self.assignment(table)
            self.end_of_line()

    def assignment(self, table):
        """key = value, where a dotted key a.b names b in the table a."""
        path = self.dotted_key()
        self.expect("=")
        self.skip(False)
        for name in path[:-1]:
            table = table.setdefault(name, {})
            if not isinstance(table, dict):
                self.error("%s is not a table" % name)
        if path[-1] in table:
            self.error("key %s defined twice" % ".".join(path))
        table[path[-1]] = self.value()

    def dotted_key(self):
        self.skip(False)
        path = [self.key()]
        self.skip(False)
        while self.peek() == ".":
            self.at += 1
            self.skip(False)
            path.append(self.key())
            self.skip(False)
        return tuple(path)

    def key(self):
        if self.peek() == '"':
            return self.basic_string()
        if self.peek() == "'":
            return self.literal_string()
        match = self._bare_key.match(self.text, self.at)
        if not match:
            self.error("expected a key")
        self.at = match.end()
        return match.group()

    def value(self):
        c = self.peek()
        if c == '"':
            return self.basic_string()
        if c == "'":
            return self.literal_string()
        if c == "[":
            return self.array()
        if c == "{":
            return self.inline_table()
        for word, value in (("true", True), ("false", False)):
            if self.text.startswith(word, self.at):
                self.at += len(word)
                return value
        match = self._integer.match(self.text, self.at)
        if match:
            self.at = match.end()
            return int(match.group().replace("_", ""))
        self.error("a value the build backend does not read (only strings, integers, booleans, arrays and inline tables)")

    def basic_string(self):
        if self.peek(3) == '"""':
            self.error("multi-line strings are not read by the build backend")
        self.at += 1
        out = []
        while True:
            if self.at >= len(self.text) or self.peek() in "\r\n":
                self.error("unterminated string")
            c = self.text[self.at]
            self.at += 1
            if c == '"':
                return "".join(out)
            if c != "\\":
                out.append(c)
                continue
            e = self.peek()
            self.at += 1
            if e in self._escapes:
                out.append(self._escapes[e])
            elif e in "uU":
                digits = 4 if e == "u" else 8
                code = self.text[self.at:self.at + digits]
                if not re.fullmatch(r"[0-9A-Fa-f]{%d}" % digits, code) or not (
                        int(code, 16) < 0xD800 or 0xDFFF < int(code, 16) <= 0x10FFFF):
                    self.error("bad unicode escape \\%s%s" % (e, code))
                out.append(chr(int(code, 16)))
                self.at += digits
            else:
                self.error("bad escape \\%s" % e)

    def literal_string(self):
        if self.peek(3) == "'''":
            self.error("multi-line strings are not read by the build backend")
        end = self.at + 1
        while end < len(self.text) and self.text[end] not in "'\r\n":
            end += 1
        if end >= len(self.text) or self.text[end] != "'":
            self.error("unterminated string")
        value = self.text[self.at + 1:end]
        self.at = end + 1
        return value

    def array(self):
        self.at += 1
        items = []
        while True:
            self.skip(True)
            if self.peek() == "]":
                self.at += 1
                return items
            items.append(self.value())
            self.skip(True)
            if self.peek() == ",":
                self.at += 1
            elif self.peek() != "]":
                self.error("expected ',' or ']' in an array")

    def inline_table(self):
        self.at += 1
        table = {}
        self.skip(False)
        if self.peek() == "}":
            self.at += 1
            return table
        while True:
            self.assignment(table)
            self.skip(False)
            if self.peek() == "}":
                self.at += 1
                return table
            self.expect(",")


def read_toml(text):
    """The TOML document `text` as nested dicts (the subset described above)."""
    return _TomlReader(text).document()


# --- metadata --------------------------------------------------------------------------

def read_project(source):
    """pyproject.toml's [project] table, checked for what the metadata needs."""
    with open(os.path.join(source, "pyproject.toml"), encoding="utf-8") as f:
        project = read_toml(f.read()).get("project")
    if not isinstance(project, dict):
        raise BuildError("pyproject.toml has no [project] table")
    unknown = sorted(set(project) - PROJECT_KEYS)
    if unknown:
        raise BuildError("pyproject.toml: the build backend does not put [project] %s into the "
                         "package; teach build_backend/corvane_build.py" % ", ".join(unknown))
    for key in ("name", "version"):
        if not isinstance(project.get(key), str) or not project[key]:
            raise BuildError("pyproject.toml: [project] %s must be a string" % key)
    if not re.fullmatch(r"[A-Za-z0-9]([A-Za-z0-9._-]*[A-Za-z0-9])?", project["name"]):
        raise BuildError("pyproject.toml: %r is not a valid project name" % project["name"])
    return project


def dist_name(project):
    """The name as wheel, sdist and .dist-info folders spell it (PEP 427, PEP 625)."""
    return re.sub(r"[-_.]+", "_", project["name"]).lower()


def _requirement(text, extra=None):
    if extra is None:
        return text
    # The marker joins any marker the requirement carries.
    if ";" in text:
        requirement, marker = text.split(";", 1)
        return '%s; (%s) and extra == "%s"' % (requirement.strip(), marker.strip(), extra)
    return '%s; extra == "%s"' % (text, extra)


def metadata_text(project, source):
    """The core metadata (METADATA in the wheel, PKG-INFO in the sdist)."""
    lines = ["Metadata-Version: 2.1",
             "Name: " + project["name"],
             "Version: " + project["version"]]

    def field(name, value):
        if not isinstance(value, str) or "\n" in value or "\r" in value:
            raise BuildError("pyproject.toml: %s must be a one-line string" % name)
        lines.append("%s: %s" % (name, value))

    if "description" in project:
        field("Summary", project["description"])
    license = project.get("license")
    if isinstance(license, dict) and set(license) == {"text"}:
        field("License", license["text"])
    elif license is not None:
        raise BuildError("pyproject.toml: license must be {text = \"...\"}")
    for classifier in project.get("classifiers", []):
        field("Classifier", classifier)
    for label, url in project.get("urls", {}).items():
        field("Project-URL", "%s, %s" % (label, url))
    if "requires-python" in project:
        field("Requires-Python", project["requires-python"])
    for requirement in project.get("dependencies", []):
        field("Requires-Dist", _requirement(requirement))
    for extra, requirements in project.get("optional-dependencies", {}).items():
        if not re.fullmatch(r"[a-z0-9]+(-[a-z0-9]+)*", extra):
            raise BuildError("pyproject.toml: extra %r is not a normalized name" % extra)
        field("Provides-Extra", extra)
        for requirement in requirements:
            field("Requires-Dist", _requirement(requirement, extra))
    body = ""
    readme = project.get("readme")
    if readme is not None:
        if not isinstance(readme, str):
            raise BuildError("pyproject.toml: readme must be a file name")
        types = {".md": "text/markdown", ".rst": "text/x-rst", ".txt": "text/plain"}
        kind = types.get(os.path.splitext(readme)[1].lower())
        if kind is None:
            raise BuildError("pyproject.toml: readme %s is not .md, .rst or .txt" % readme)
        field("Description-Content-Type", kind + "; charset=UTF-8")
        with open(os.path.join(source, readme), encoding="utf-8") as f:
            body = f.read()
    return "\n".join(lines) + "\n\n" + body


def entry_points_text(project):
    sections = []
    scripts = project.get("scripts", {})
    if scripts:
        sections.append("[console_scripts]\n" +
                        "".join("%s = %s\n" % item for item in sorted(scripts.items())))
    return "\n".join(sections)


# --- the wheel -------------------------------------------------------------------------

def wheel_tag():
    """python-abi-platform of the running interpreter, as pip matches it."""
    soabi = sysconfig.get_config_var("SOABI")
    if not soabi:
        raise BuildError("%s reports no SOABI: cannot name the wheel" % sys.executable)
    version = "%d%d" % sys.version_info[:2]
    if sys.implementation.name == "cpython":
        # cpython-311-x86_64-linux-gnu -> cp311 (cp313t for a free-threaded build).
        python, abi = "cp" + version, "cp" + soabi.split("-")[1]
    elif sys.implementation.name == "pypy":
        # pypy39-pp73 -> pypy39_pp73.
        python, abi = "pp" + version, re.sub(r"[-.]", "_", soabi)
    else:
        raise BuildError("corvane builds for CPython and PyPy, not %s" % sys.implementation.name)
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    if platform == "linux_x86_64" and sys.maxsize <= 2**32:
        platform = "linux_i686"  # a 32-bit interpreter on a 64-bit kernel
    return "%s-%s-%s" % (python, abi, platform)


def _record_hash(data):
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


class WheelWriter:
    """A wheel file: each member is written with its RECORD line, RECORD last."""

    # Members carry one fixed date, so a wheel of the same files is the same bytes.
    _date = (1980, 1, 1, 0, 0, 0)

    def __init__(self, path, dist_info):
        self.zip = zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED)
        self.dist_info = dist_info
        self.record = []

    def add(self, name, data, executable=False):
        if isinstance(data, str):
            data = data.encode("utf-8")
        info = zipfile.ZipInfo(name, self._date)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.external_attr = (0o100755 if executable else 0o100644) << 16
        self.zip.writestr(info, data)
        self.record.append("%s,%s,%d" % (name, _record_hash(data), len(data)))

    def add_file(self, name, path, executable=False):
        with open(path, "rb") as f:
            self.add(name, f.read(), executable)

    def close(self):
        # RECORD lists itself without hash or size.
        record = self.dist_info + "/RECORD"
        lines = self.record + [record + ",,"]
        info = zipfile.ZipInfo(record, self._date)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.external_attr = 0o100644 << 16
        self.zip.writestr(info, "\n".join(lines) + "\n")
        self.zip.close()


def _dist_info_files(project, source, tag):
    """The .dist-info members but RECORD, as (name, text)."""
    wheel = ("Wheel-Version: 1.0\n"
             "Generator: corvane_build\n"
             "Root-Is-Purelib: false\n"
             "Tag: %s\n" % tag)
    files = [("METADATA", metadata_text(project, source)), ("WHEEL", wheel)]
    entry_points = entry_points_text(project)
    if entry_points:
        files.append(("entry_points.txt", entry_points))
    return files


def _cmake_build(source, build, flavour):
    """Configures and builds the modules and tools for sys.executable in `build`."""
    cmake = shutil.which("cmake")
    if cmake is None:
        raise BuildError("corvane is built with CMake (3.25 or later; Debian: cmake), which is not on PATH")
    executable = sys.executable
    configure = [cmake, "-S", source, "-B", build,
                 "-DCMAKE_BUILD_TYPE=Release",
                 "-DCORVANE_BUILD_TESTS=OFF", "-DCORVANE_BUILD_TOOLS=ON", "-DCORVANE_BUILD_PYTHON=ON",
                 # Another compiler's new warnings must not stop a user's install.
                 "-DCORVANE_WERROR=OFF",
                 "-DCORVANE_CPYTHON=" + (executable if flavour == "cpython" else "OFF"),
                 "-DCORVANE_PYPY=" + (executable if flavour == "pypy" else "OFF"),
                 "-DCORVANE_OLD_CPYTHON=OFF",
                 # The vocabulary table's generator runs under the same interpreter.
                 "-DPython3_EXECUTABLE=" + executable]
    if not os.environ.get("CMAKE_GENERATOR") and shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    targets = ["corvane_" + flavour, "meridel_" + flavour] + list(TOOLS)
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
    for command in (configure, [cmake, "--build", build, "--parallel", jobs, "--target"] + targets):
        print("corvane_build:", " ".join(command), flush=True)
        if subprocess.call(command) != 0:
            raise BuildError("%s failed (its messages are above; a missing Debian package is named "
                             "there, see docs/install.md)" % " ".join(command[:2]))


def _built_members(source, build, flavour, data):
    """(name in the wheel, path, executable) of every file the wheel takes."""
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    modules = os.path.join(build, "python", flavour)
    python = os.path.join(source, "python")
    members = [("corvane" + suffix, os.path.join(modules, "corvane" + suffix), False),
               ("meridel/_meridel" + suffix, os.path.join(modules, "meridel", "_meridel" + suffix), False)]
    # Every Python file of the package (none of the C++ beside them), its stubs and the
    # PEP 561 marker: meridel's Python files are typed inline.
    package = os.path.join(python, "meridel")
    members += [("meridel/" + name, os.path.join(package, name), False)
                for name in sorted(os.listdir(package)) if name.endswith(".py")]
    members += [("meridel/__init__.pyi", os.path.join(package, "__init__.pyi"), False),
                ("meridel/py.typed", os.path.join(python, "py.typed"), False)]
    # corvane's stubs beside the module and as a stub-only package (PEP 561).
    stubs = os.path.join(python, "corvane", "corvane.pyi")
    members += [("corvane.pyi", stubs, False),
                ("corvane-stubs/__init__.pyi", stubs, False),
                ("corvane-stubs/py.typed", os.path.join(python, "py.typed"), False)]
    members += [("%s/scripts/%s" % (data, tool), os.path.join(build, "tools", tool), True) for tool in TOOLS]
    for name, path, _ in members:
        if not os.path.isfile(path):
            raise BuildError("the build made no %s (for %s)" % (path, name))
    return members


def _flavour():
    name = sys.implementation.name
    if name not in ("cpython", "pypy"):
        raise BuildError("corvane builds for CPython and PyPy, not %s" % name)
    if sys.version_info < (3, 9):
        raise BuildError("corvane needs Python 3.9 or later, not %d.%d" % sys.version_info[:2])
    # Said here in one line rather than as a CMake warning and an unknown target later.
    headers = sysconfig.get_paths()["include"]
    if not os.path.isfile(os.path.join(headers, "Python.h")):
        raise BuildError("%s has no Python.h in %s: install the interpreter's headers "
                         "(Debian: python3-dev, or pypy3-dev for PyPy)" % (sys.executable, headers))
    return name


# --- the hooks pip calls ---------------------------------------------------------------

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    source = os.getcwd()
    project = read_project(source)
    dist_info = "%s-%s.dist-info" % (dist_name(project), project["version"])
    folder = os.path.join(metadata_directory, dist_info)
    os.makedirs(folder, exist_ok=True)
    for name, text in _dist_info_files(project, source, wheel_tag()):
        with open(os.path.join(folder, name), "w", encoding="utf-8") as f:
            f.write(text)
    return dist_info


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    source = os.getcwd()
    flavour = _flavour()
    project = read_project(source)
    name, version, tag = dist_name(project), project["version"], wheel_tag()
    dist_info = "%s-%s.dist-info" % (name, version)
    build = tempfile.mkdtemp(prefix="corvane-build-")
    try:
        _cmake_build(source, build, flavour)
        members = _built_members(source, build, flavour, "%s-%s.data" % (name, version))
        wheel_name = "%s-%s-%s.whl" % (name, version, tag)
        # Written under a temporary name, so a failure leaves no half wheel behind.
        partial = os.path.join(wheel_directory, wheel_name + ".part")
        try:
            writer = WheelWriter(partial, dist_info)
            for member, path, executable in members:
                writer.add_file(member, path, executable)
            for file_name, text in _dist_info_files(project, source, tag):
                writer.add(dist_info + "/" + file_name, text)
            writer.close()
            os.replace(partial, os.path.join(wheel_directory, wheel_name))
        finally:
            if os.path.exists(partial):
                os.unlink(partial)
    finally:
        shutil.rmtree(build, ignore_errors=True)
    return wheel_name


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    raise BuildError(
        "corvane cannot be installed editable (pip install -e): its modules are compiled. "
        "Install it with `pip install .`, or work from a CMake build folder, whose "
        "python/cpython/ holds both modules with links to meridel's Python files "
        "(PYTHONPATH=build/python/cpython; see docs/install.md).")


# --- the sdist -------------------------------------------------------------------------

# Never in an sdist: build folders (the CMake ones are build/ and build-*/ in the
# checkout), caches, and what an installation leaves.
_not_source = re.compile(r"^(build|build-.*|dist|\.git|\.pytest_cache)$|^__pycache__$|\.egg-info$|\.pyc$")


def source_files(source):
    """Relative paths of the files an sdist holds: what git tracks (with the working tree's
    contents) in a checkout; everything but build folders and caches elsewhere, such as in
    an unpacked sdist."""
    # .git is a folder in a clone, a file in a worktree.
    if os.path.exists(os.path.join(source, ".git")) and shutil.which("git"):
        git = subprocess.run(["git", "-C", source, "ls-files", "-z", "--cached"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if git.returncode != 0:
            raise BuildError("git ls-files cannot list the checkout's files for the sdist: %s"
                             % git.stderr.decode("utf-8", "replace").strip())
        listed = git.stdout
        names = [name for name in listed.decode("utf-8", "surrogateescape").split("\0") if name]
        # A tracked file deleted in the working tree is not part of the source any more.
        return sorted(name for name in names if os.path.lexists(os.path.join(source, name)))
    found = []
    for folder, folders, files in os.walk(source):
        folders[:] = sorted(d for d in folders if not _not_source.search(d))
        relative = os.path.relpath(folder, source)
        for name in files:
            if not _not_source.search(name):
                found.append(os.path.normpath(os.path.join(relative, name)))
    return sorted(found)


def build_sdist(sdist_directory, config_settings=None):
    source = os.getcwd()
    project = read_project(source)
    root = "%s-%s" % (dist_name(project), project["version"])
    archive = root + ".tar.gz"
    partial = os.path.join(sdist_directory, archive + ".part")
    try:
        with tarfile.open(partial, "w:gz", format=tarfile.PAX_FORMAT) as tar:
            def owned_by_nobody(info):
                info.uid = info.gid = 0
                info.uname = info.gname = ""
                return info
            for name in source_files(source):
                if name == "PKG-INFO":
                    continue  # written fresh below
                tar.add(os.path.join(source, name), arcname=root + "/" + name, recursive=False,
                        filter=owned_by_nobody)
            pkg_info = metadata_text(project, source).encode("utf-8")
            info = owned_by_nobody(tarfile.TarInfo(root + "/PKG-INFO"))
            info.size, info.mode = len(pkg_info), 0o644
            tar.addfile(info, io.BytesIO(pkg_info))
        os.replace(partial, os.path.join(sdist_directory, archive))
    finally:
        if os.path.exists(partial):
            os.unlink(partial)
    return archive
