"""Where the package finds libplateio: a path the caller passes, the library recorded beside an
installed or staged package, a source checkout's build tree, the dynamic loader; and a clear
OSError naming every place it looked when none has it. Each case runs in a fresh interpreter,
since a process loads the library once."""

import ctypes
import ctypes.util
import os
import shutil
import subprocess
import textwrap

import pytest

import plateio
from support import run_python


def _package_copy(into):
    """The package's sources alone, without the _location.py of the build tree."""
    source = os.path.dirname(plateio.__file__)
    target = os.path.join(into, "plateio")
    shutil.copytree(source, target, ignore=shutil.ignore_patterns("_location.py", "__pycache__"))
    return target


def _python(code, pythonpath, cwd):
    env = {"PYTHONPATH": pythonpath, "PYTHONDONTWRITEBYTECODE": "1", "LD_LIBRARY_PATH": ""}
    return run_python(textwrap.dedent(code), env, cwd=cwd)


def test_the_staged_package_finds_the_build_trees_library(library_file):
    assert os.path.samefile(plateio.library_path(), library_file)
    assert os.path.basename(plateio.library_path()) == "libplateio.so.1"


@pytest.mark.parametrize("given", ["file", "directory"])
def test_a_path_the_caller_passes(tmp_path, library_file, exposures, given):
    _package_copy(tmp_path)
    path = library_file if given == "file" else os.path.dirname(library_file)
    done = _python(f"""
        import plateio
        print(plateio.load_library({path!r}))
        print(plateio.open({exposures["tra"]!r}).data.shape)
        # The same library again is fine; another one is refused.
        plateio.load_library({path!r})
        try:
            plateio.load_library("/elsewhere/libplateio.so.1")
        except RuntimeError as error:
            print("refused:", error)
        """, str(tmp_path), str(tmp_path))
    assert done.returncode == 0, done.stderr
    loaded, shape, refused = done.stdout.splitlines()
    assert os.path.samefile(loaded, library_file)
    assert shape == "(1200, 1200)"
    assert refused.startswith("refused: plateio: the library is already loaded from ")


def test_a_wrong_path_is_not_replaced_by_another(tmp_path):
    _package_copy(tmp_path)
    not_a_library = tmp_path / "libplateio.so.1"
    not_a_library.write_text("not a library\n")
    missing = str(tmp_path / "missing" / "libplateio.so.1")
    done = _python(f"""
        import plateio
        for path in ({missing!r}, {str(not_a_library)!r}):
            try:
                plateio.load_library(path)
            except OSError as error:
                print(error)
        """, str(tmp_path), str(tmp_path))
    assert done.returncode == 0, done.stderr
    assert f"{missing}: no such file (the path given to load_library)" in done.stdout
    assert f"{not_a_library}: " in done.stdout
    assert "dynamic loader" not in done.stdout, "only the given path is tried"


def test_a_source_checkout_finds_its_build_tree(tmp_path, library_file, exposures):
    checkout = tmp_path / "checkout"
    (checkout / "include").mkdir(parents=True)
    (checkout / "include" / "plateio.h").write_text("/* the checkout's public header */\n")
    _package_copy(checkout / "python")
    (checkout / "build" / "release").mkdir(parents=True)
    os.symlink(library_file, checkout / "build" / "release" / "libplateio.so.1")
    done = _python(f"""
        import plateio
        print(plateio.library_path())
        print(int(plateio.open({exposures["xarea_small"]!r}).data.size))
        """, str(checkout / "python"), str(tmp_path))
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [str(checkout / "build" / "release" / "libplateio.so.1"),
                                        str(37 * 23)]


def test_nothing_found_names_every_place(tmp_path, exposures):
    if ctypes.util.find_library("plateio"):
        pytest.skip("a libplateio is installed system-wide, so the dynamic loader finds one")
    package = _package_copy(tmp_path)
    done = _python(f"""
        import plateio  # loading is deferred to the first call
        try:
            plateio.open({exposures["tra"]!r})
        except OSError as error:
            print(error)
        """, str(tmp_path), str(tmp_path))
    assert done.returncode == 0, done.stderr
    out = done.stdout
    assert out.startswith("plateio: could not load libplateio. Looked at:\n")
    assert f"{package}/libplateio.so.1: no such file (inside the package)" in out
    assert f"{package}/libplateio.so: no such file (inside the package)" in out
    assert "libplateio.so.1 through the dynamic loader's search path" in out
    assert "plateio.load_library(path)" in out


def test_installed_package_finds_the_installed_library(tmp_path, build_dir, python_install_dir,
                                                       exposures, plateio_tool):
    prefix = tmp_path / "prefix"
    done = subprocess.run(["cmake", "--install", build_dir, "--prefix", str(prefix)],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    site = prefix / python_install_dir
    assert (site / "plateio" / "__init__.py").is_file()
    assert (site / "plateio" / "_location.py").is_file()
    code = f"""
        import plateio
        print(plateio.__file__)
        print(plateio.library_path())
        print(plateio.open({exposures["xarea_plain"]!r}).data.tobytes().hex()[:64])
        """
    expected = plateio_tool.pixels(exposures["xarea_plain"]).tobytes().hex()[:64]
    for root in (prefix, tmp_path / "moved"):
        if root != prefix:
            # The tree can move: the package finds the library relative to itself.
            prefix.rename(root)
        done = _python(code, str(root / python_install_dir), str(tmp_path))
        assert done.returncode == 0, done.stderr
        package, library, pixels = done.stdout.splitlines()
        assert package.startswith(str(root / python_install_dir / "plateio"))
        assert os.path.dirname(library).startswith(str(root))
        assert os.path.basename(library) == "libplateio.so.1"
        assert pixels == expected


def test_the_namespace_is_the_api():
    import inspect
    import re
    assert dir(plateio) == sorted(plateio.__all__ + ["__version__"])
    for name in plateio.__all__:
        value = getattr(plateio, name)
        if inspect.isfunction(value):
            assert "return" in value.__annotations__, f"{name} has no type hints"
    for private in ("np", "os", "ctypes", "math"):
        assert not hasattr(plateio, private), private
    header = os.path.join(os.path.dirname(__file__), "..", "..", "include", "plateio.h")
    with open(header) as f:
        macros = dict(re.findall(r"#define PLATEIO_VERSION_(MAJOR|MINOR|PATCH) (\d+)", f.read()))
    assert plateio.__version__ == "{MAJOR}.{MINOR}.{PATCH}".format(**macros)


# The package's ctypes mirrors of plateio.h: C record -> ctypes record; constants by the package's
# name (in C with PLATEIO_ before it, PIXEL_OVERFLOW as it is).
RECORDS = {"image_info": "ImageInfo", "xi_header": "XiHeader", "pixel_image": "PixelImage",
           "reduction_params": "ReductionParams", "remap_target": "RemapTarget",
           "geometry_params": "GeometryParams", "plateio_frame": "Frame"}
CONSTANTS = ["PATH_CAPACITY", "UNSET", "FAMILY_TRA", "FAMILY_XAREA", "OK", "E_OPEN", "E_SHORT",
             "E_SIZE", "E_CAPACITY", "KEEP_SATURATED"]


def test_the_ctypes_mirrors_match_the_c_header(tmp_path, c_compiler):
    """Sizes, member offsets and constants as the build's C compiler lays them out, from a helper
    made of the mirrors' own names: a member the header lacks does not compile."""
    from plateio import _library
    expected = {}
    for c_name, py_name in RECORDS.items():
        record = getattr(_library, py_name)
        expected[f"sizeof({c_name})"] = ctypes.sizeof(record)
        expected.update({f"offsetof({c_name}, {m})": getattr(record, m).offset
                         for m, _ in record._fields_})
    expected.update({f"(double)PLATEIO_{n}": getattr(_library, n) for n in CONSTANTS},
                    **{"(double)PIXEL_OVERFLOW": _library.PIXEL_OVERFLOW})
    source = tmp_path / "mirrors.c"
    source.write_text("#include <stddef.h>\n#include <stdio.h>\n#include \"plateio.h\"\n"
                      "int main(void) {\n" + "".join(f'printf("%.17g\\n", (double)({e}));\n'
                                                      for e in expected) + "return 0;\n}\n")
    include = os.path.join(os.path.dirname(__file__), "..", "..", "include")
    built = subprocess.run([c_compiler, "-std=c99", "-I", include, str(source), "-o",
                            str(tmp_path / "mirrors")], capture_output=True, text=True)
    assert built.returncode == 0, built.stderr
    laid_out = subprocess.run([str(tmp_path / "mirrors")], capture_output=True, text=True,
                              check=True).stdout.split()
    assert dict(zip(expected, map(float, laid_out))) == expected
