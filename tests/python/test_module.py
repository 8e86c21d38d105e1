import ctypes
import os
import shutil
import subprocess
import sys
import sysconfig

import pytest
from conftest import ASAN_HEAP, run_python

import tavrin_ahrs_driver as m


def test_all_lists_the_registered_names_in_order():
    assert m.__all__ == ["parse_data_stream_py", "AHRSClient", "BufferedAHRSClient"][: len(m.__all__)]
    assert m.__all__[0] == "parse_data_stream_py"
    for name in m.__all__:
        assert hasattr(m, name)


def test_module_metadata():
    assert m.__name__ == "tavrin_ahrs_driver"
    assert m.__doc__ and "\n" not in m.__doc__.strip()
    assert m.parse_data_stream_py.__module__ == "tavrin_ahrs_driver"
    assert m.parse_data_stream_py.__text_signature__ == "(filename)"


def test_both_modules_report_the_installed_version():
    import importlib.metadata

    import tavrin_ahrs_tools

    installed = importlib.metadata.version("tavrin_ahrs_driver")
    assert m.__version__ == tavrin_ahrs_tools.__version__ == installed
    assert "__version__" not in m.__all__


def test_second_initialisation_returns_the_same_module():
    lib = ctypes.PyDLL(m.__file__)
    init = lib.PyInit_tavrin_ahrs_driver
    init.restype = ctypes.py_object
    again = init()
    assert again is m
    assert again.parse_data_stream_py is m.parse_data_stream_py


SUB_INTERPRETER_CODE = """
try:
    import tavrin_ahrs_driver
except ImportError as e:
    assert "sub-interpreter" in str(e), e
else:
    raise AssertionError("imported in a sub-interpreter")
"""


# Whichever imports first, the sub-interpreter is refused and the main
# interpreter gets a working module.
@pytest.mark.parametrize("main_first", [True, False], ids=["main_first", "sub_interpreter_first"])
def test_sub_interpreter_import_fails(main_first):
    res = run_python(
        f"""
        if {main_first}:
            import tavrin_ahrs_driver
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            raise SystemExit(77)
        interp = interpreters.create()
        interpreters.run_string(interp, {SUB_INTERPRETER_CODE!r})
        import tavrin_ahrs_driver
        assert tavrin_ahrs_driver.AHRSClient().read() == {{}}
        print("ok")
        """
    )
    if res.rc == 77:
        pytest.skip("no sub-interpreter support in this Python")
    assert res.rc == 0, res.err
    assert res.out.strip() == "ok"


EMBEDDING_PROGRAM = r"""
#include <Python.h>
#include <stdio.h>

int main(void) {
    for (int round = 0; round < 2; ++round) {
        Py_Initialize();
        PyRun_SimpleString(
            "try:\n"
            "    import tavrin_ahrs_driver as m\n"
            "    print('module', m.AHRSClient().read(), m.__all__)\n"
            "except ImportError as e:\n"
            "    print('ImportError', e)\n");
        fflush(stdout);
        if (Py_FinalizeEx() != 0) return 1;
    }
    return 0;
}
"""


def test_a_re_initialised_interpreter_gets_a_working_module_or_an_import_error(tmp_path):
    config = sysconfig.get_config_var
    if not config("Py_ENABLE_SHARED") or not shutil.which("cc") or ASAN_HEAP:
        pytest.skip("needs a shared libpython, a C compiler and no sanitizer runtime")
    source, program = tmp_path / "embed.c", tmp_path / "embed"
    source.write_text(EMBEDDING_PROGRAM)
    libdir = config("LIBDIR")
    subprocess.run(
        [
            "cc",
            str(source),
            "-o",
            str(program),
            "-I" + sysconfig.get_paths()["include"],
            "-L" + libdir,
            "-lpython" + config("LDVERSION"),
            "-Wl,-rpath," + libdir,
        ],
        check=True,
    )
    env = {**os.environ, "PYTHONHOME": sys.base_prefix, "PYTHONPATH": sysconfig.get_paths()["platlib"]}
    res = subprocess.run([str(program)], capture_output=True, env=env, timeout=60)
    assert res.returncode == 0, res.stderr.decode()
    first, again = res.stdout.decode().splitlines()
    working = "module {} ['parse_data_stream_py', 'AHRSClient', 'BufferedAHRSClient']"
    assert first == working
    assert again == working or again.startswith("ImportError tavrin_ahrs_driver cannot be imported again"), again


# A library loaded later may need the static TLS block: what is left of it
# after start-up is a small pool (about 1.7 KB) that every dlopen'ed library
# draws on. Both modules must leave it whole.
STATIC_TLS_LIBRARY = """
extern "C" {
__attribute__((tls_model("initial-exec"))) __thread char block[1700];
char* touch() { block[0] = 1; return block; }
}
"""


def test_both_modules_leave_the_static_tls_block_to_libraries_loaded_later(tmp_path):
    if ASAN_HEAP:
        pytest.skip("a sanitized build brings the sanitizers' own libraries, which take their share of the block")
    compiler = os.environ.get("CXX") or "c++"
    source, library = tmp_path / "static_tls.cpp", tmp_path / "libstatic_tls.so"
    source.write_text(STATIC_TLS_LIBRARY)
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(library), str(source)], check=True)
    res = run_python(
        f"""
        import ctypes
        import tavrin_ahrs_driver, tavrin_ahrs_tools._native
        ctypes.CDLL({str(library)!r}).touch()
        print("loaded")
        """
    )
    assert (res.rc, res.out, res.err) == (0, "loaded\n", "")


def test_panic_exception_is_a_base_exception_created_once():
    res = run_python(
        """
        import os, tavrin_ahrs_driver as m
        open('/tmp/_ahrs_one.bin', 'wb').write(bytes.fromhex('756580005a03'))
        os.close(1)
        seen = []
        for _ in range(2):
            try:
                m.parse_data_stream_py('/tmp/_ahrs_one.bin')
            except Exception:
                raise SystemExit('caught by except Exception')
            except BaseException as e:
                seen.append(type(e))
        assert seen[0] is seen[1], seen
        assert seen[0].__bases__ == (BaseException,), seen[0].__bases__
        assert seen[0].__name__ == 'PanicException'
        import sys; sys.stderr.write('done\\n')
        """
    )
    assert res.rc == 0, res.err
    assert res.err.strip().endswith("done")
    assert "failed printing to stdout" in res.err


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: m.parse_data_stream_py(), "missing required argument 'filename'"),
        (lambda: m.parse_data_stream_py(1), "argument 'filename' must be str, not int"),
        (lambda: m.parse_data_stream_py("a", "b"), "takes 1 positional argument but 2 were given"),
        (lambda: m.parse_data_stream_py(name="a"), "unexpected keyword argument 'name'"),
        (lambda: m.parse_data_stream_py(**{"filename\0x": "a"}), "unexpected keyword argument 'filename\0x'"),
        (lambda: m.parse_data_stream_py("a", filename="a"), "multiple values for argument 'filename'"),
    ],
)
def test_bad_calls_raise_type_error_naming_the_function(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert message in str(info.value)
    assert "parse_data_stream_py()" in str(info.value)


def test_type_stub_matches_the_module():
    import ast
    import pathlib

    stub = pathlib.Path(__file__).parents[2] / "python" / "tavrin_ahrs_driver-stubs" / "__init__.pyi"
    tree = ast.parse(stub.read_text())
    functions = {n.name for n in tree.body if isinstance(n, ast.FunctionDef)}
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    assert functions | set(classes) == set(m.__all__)
    for name, node in classes.items():
        stubbed = {f.name for f in node.body if isinstance(f, ast.FunctionDef)} - {"__init__"}
        public = {a for a in dir(getattr(m, name)) if not a.startswith("_")}
        assert stubbed == public, name
