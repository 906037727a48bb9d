"""Builds the `corvane` extension module and the `meridel` package (its extension
meridel._meridel and its Python files in python/meridel/) into the active interpreter
(CPython or PyPy).

The C++ core (src/, src/raw/) and each binding (python/corvane/*.cpp, python/meridel/*.cpp, on the shared runtime in python/capi/) compile into
one extension each; meridel also takes the mzML writer (export/). expat, libdeflate,
OpenSSL and MS-Numpress come from the system (Debian: libexpat1-dev, libdeflate-dev,
libssl-dev, libmsnumpress-dev), the PSI-MS vocabulary from openms-common. Metadata is in
pyproject.toml.
Installing writes nothing into the source tree (see `scratch` below).
"""
import atexit
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext


class build_ext_with_stubs(build_ext):
    """Also puts the type stubs beside corvane and into a PEP 561 stub package, and into
    the meridel package itself (which carries py.typed: its Python files are typed inline)."""

    def run(self):
        super().run()
        if self.inplace:
            return
        package = os.path.join(self.build_lib, "corvane-stubs")
        self.mkpath(package)
        stubs = os.path.join("python", "corvane", "corvane.pyi")
        self.copy_file(stubs, os.path.join(self.build_lib, "corvane.pyi"))
        self.copy_file(stubs, os.path.join(package, "__init__.pyi"))
        self.copy_file(os.path.join("python", "py.typed"), os.path.join(package, "py.typed"))
        package = os.path.join(self.build_lib, "meridel")
        self.mkpath(package)
        self.copy_file(os.path.join("python", "meridel", "__init__.pyi"), os.path.join(package, "__init__.pyi"))
        self.copy_file(os.path.join("python", "py.typed"), os.path.join(package, "py.typed"))


def files(*patterns):
    return [name for pattern in patterns for name in sorted(glob.glob(pattern))]


# The C-API runtime both extensions stand on, with the implementation of
# python/capi/platform.hpp for the interpreter that builds them (one of the two files).
capi = ["python/capi/runtime.cpp",
        "python/capi/platform_%s.cpp" % ("pypy" if sys.implementation.name == "pypy" else "cpython")]


corvane = Extension(
    "corvane",
    sources=files("src/*.cpp", "src/raw/*.cpp", "python/corvane/*.cpp") + capi,
    depends=files("src/*.hpp", "src/raw/*.hpp", "spectrum_record/*.hpp", "python/capi/*.hpp", "python/corvane/exports.map"),
    include_dirs=["src", ".", "python"],
    libraries=["expat"],
    language="c++",
    extra_compile_args=[
        "-std=c++23",
        "-fvisibility=hidden",
        # The profile m/z axis is i * step + first with two roundings; never fuse them.
        "-ffp-contract=off",
    ],
    # PyInit_corvane is the only exported symbol.
    extra_link_args=["-Wl,--version-script=python/corvane/exports.map"],
)


def project_version():
    with open("pyproject.toml") as f:
        return re.search(r'^version = "([^"]+)"', f.read(), re.M).group(1)


# The report's files, built into the module by the assembler (report/assets.cpp): Debian's
# libjs-dygraphs and the page's own markup, style and script.
dygraphs = "/usr/share/javascript/dygraphs"
report_assets = {
    "CORVANE_ASSET_DYGRAPH_JS": os.path.join(dygraphs, "dygraph.min.js"),
    "CORVANE_ASSET_DYGRAPH_CSS": os.path.join(dygraphs, "dygraph.min.css"),
    "CORVANE_ASSET_PAGE_HTML": os.path.abspath("report/page.html"),
    "CORVANE_ASSET_PAGE_CSS": os.path.abspath("report/page.css"),
    "CORVANE_ASSET_PAGE_JS": os.path.abspath("report/page.js"),
}
for asset in report_assets.values():
    if not os.path.isfile(asset):
        raise SystemExit("meridel needs %s (Debian: libjs-dygraphs)" % asset)

# version.hpp, as CMake writes it from src/version.hpp.in, into the scratch folder.
generated = tempfile.mkdtemp(prefix="corvane-generated-")
atexit.register(shutil.rmtree, generated, True)
with open("src/version.hpp.in") as f:
    version_text = f.read().replace("@PROJECT_VERSION@", project_version())
with open(os.path.join(generated, "version.hpp"), "w") as f:
    f.write(version_text)
# The mzML writer's vocabulary table, as CMake generates it from openms-common's OBO files.
obo = "/usr/share/openms/CV"
subprocess.check_call([sys.executable, "export/gen_cv_table.py", os.path.join(generated, "cv_table.hpp"),
                       "export/cv_terms.txt", obo + "/psi-ms.obo", obo + "/unit.obo"])

# meridel: the whole-run module over the same core, with the analysis engine, the report and
# the mzML writer; the private extension of the meridel package.
meridel = Extension(
    "meridel._meridel",
    sources=files("src/*.cpp", "src/raw/*.cpp", "report/*.cpp", "export/*.cpp", "python/meridel/*.cpp") + capi,
    depends=files("src/*.hpp", "src/raw/*.hpp", "spectrum_record/*.hpp", "python/capi/*.hpp", "python/meridel/*.hpp",
                  "report/*.hpp", "report/page.*", "export/*.hpp", "export/cv_terms.txt",
                  "python/meridel/exports.map") + list(report_assets.values()),
    include_dirs=["src", ".", "python", "report", generated],
    define_macros=[("MERIDEL_VERSION", '"%s"' % project_version())] +
                  [(name, '"%s"' % path) for name, path in report_assets.items()],
    libraries=["expat", "deflate", "crypto", "msnumpress"],
    language="c++",
    extra_compile_args=["-std=c++23", "-fvisibility=hidden", "-ffp-contract=off"],
    # PyInit__meridel is the only exported symbol.
    extra_link_args=["-Wl,--version-script=python/meridel/exports.map"],
)

# pip runs this file in the checkout itself, once per build step, each in a process of its
# own. setuptools' intermediate files (build/ and corvane.egg-info/, by default in the
# checkout, where build/ is also the CMake build folder) go to a scratch folder that goes
# away with the process; each step rebuilds what it needs, and the wheel leaves in pip's
# own folder. (So `setup.py build` and a later `setup.py install` share nothing.)
scratch = tempfile.mkdtemp(prefix="corvane-setup-")
atexit.register(shutil.rmtree, scratch, True)


setup(
    ext_modules=[corvane, meridel],
    # corvane is the extension alone, meridel the one package. Without this list, setuptools
    # takes src/ for a src layout and installs src/raw/*.cpp as a top-level package `raw`.
    packages=["meridel"],
    package_dir={"meridel": "python/meridel"},
    # Only the package's Python files: not the C++ beside them in python/meridel/.
    include_package_data=False,
    cmdclass={"build_ext": build_ext_with_stubs},
    options={
        "build": {"build_base": os.path.join(scratch, "build")},
        "egg_info": {"egg_base": scratch},
    },
)
