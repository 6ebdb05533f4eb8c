"""The C interface exported by the module's own shared object."""

import ctypes
import shutil
import subprocess

import pytest

import ordel_py

from conftest import POLICY

C_FUNCTIONS = [
    "ordel_denied_reason",
    "ordel_engine_close",
    "ordel_engine_open",
    "ordel_engine_open_source",
    "ordel_errmsg",
    "ordel_verify",
    "ordel_version",
]


@pytest.fixture(scope="module")
def lib() -> ctypes.CDLL:
    lib = ctypes.CDLL(ordel_py.__file__)
    handle = ctypes.c_void_p
    lib.ordel_engine_open.argtypes = [ctypes.c_char_p]
    lib.ordel_engine_open.restype = handle
    lib.ordel_engine_open_source.argtypes = [ctypes.c_char_p]
    lib.ordel_engine_open_source.restype = handle
    lib.ordel_verify.argtypes = [
        handle,
        ctypes.c_char_p,
        ctypes.POINTER(ctypes.c_char_p),
        ctypes.POINTER(ctypes.c_char_p),
        ctypes.c_int32,
    ]
    lib.ordel_verify.restype = ctypes.c_int32
    for name in ("ordel_denied_reason", "ordel_errmsg"):
        getattr(lib, name).argtypes = [handle]
        getattr(lib, name).restype = ctypes.c_char_p
    lib.ordel_version.argtypes = []
    lib.ordel_version.restype = ctypes.c_char_p
    lib.ordel_engine_close.argtypes = [handle]
    lib.ordel_engine_close.restype = None
    return lib


def verify(lib: ctypes.CDLL, handle: int, intent: str, fields: dict[str, str]) -> int:
    keys = (ctypes.c_char_p * len(fields))(*(k.encode() for k in fields))
    values = (ctypes.c_char_p * len(fields))(*(v.encode() for v in fields.values()))
    return int(lib.ordel_verify(handle, intent.encode(), keys, values, len(fields)))


def test_version(lib: ctypes.CDLL) -> None:
    assert lib.ordel_version() == b"0.1.0"


def test_open_verify_close(lib: ctypes.CDLL) -> None:
    handle = lib.ordel_engine_open_source(POLICY.encode())
    assert handle
    try:
        assert lib.ordel_errmsg(handle) == b""
        assert verify(lib, handle, "ReadFile", {"path": "/tmp/data.txt"}) == 1
        assert lib.ordel_denied_reason(handle) == b""
        assert verify(lib, handle, "ReadFile", {"path": "/etc/passwd"}) == 0
        assert lib.ordel_denied_reason(handle) == (
            b"Path '/etc/passwd' (normalized: '/etc/passwd') denied by predicate 'path_safety'"
        )
        assert verify(lib, handle, "WriteFile", {}) == -1
        assert lib.ordel_errmsg(handle) == (
            b"[UndefinedFunction] Error: Intent 'WriteFile' not found in policy"
        )
    finally:
        lib.ordel_engine_close(handle)


def test_failed_open_keeps_its_error(lib: ctypes.CDLL) -> None:
    handle = lib.ordel_engine_open(b"/nonexistent/policy.odl")
    assert handle
    try:
        assert lib.ordel_errmsg(handle).startswith(
            b"[HaltUnknown] Error: Failed to read policy file /nonexistent/policy.odl: "
        )
        assert verify(lib, handle, "ReadFile", {"path": "/tmp/a"}) == -1
    finally:
        lib.ordel_engine_close(handle)


def test_exports_only_the_module_init_and_the_c_interface() -> None:
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    listing = subprocess.run(
        [nm, "-D", "--defined-only", ordel_py.__file__], capture_output=True, text=True, check=True
    ).stdout
    symbols = sorted(line.split()[-1] for line in listing.splitlines() if line.strip())
    assert symbols == sorted(["PyInit_ordel_py", *C_FUNCTIONS])
