#!/usr/bin/env python3
"""verify_host.py [--record RECORD] KEYFILE PACKAGE [LIBRARY]: verifies PACKAGE with the C API
of the installed library through ctypes, with no compiler; with --record, through a policy
that keeps the version record RECORD, so that an older release than one verified before is
refused. LIBRARY is the shared library's path; without it the loader finds
libplugin_sign_verify.so.1 on its own path. `verify_host.py --version [LIBRARY]` prints the
library's version."""
import ctypes
import sys

OK = 0


def load(path):
    """The library, with the argument and result types of the functions used here."""
    lib = ctypes.CDLL(path)
    handle, text, size_p = ctypes.c_void_p, ctypes.c_char_p, ctypes.POINTER(ctypes.c_size_t)
    signatures = {
        "plugin_sign_version": ([], text),
        "plugin_sign_status_string": ([ctypes.c_int], text),
        "plugin_sign_keys_new": ([], handle),
        "plugin_sign_keys_add_file": ([handle, text], ctypes.c_int),
        "plugin_sign_keys_error": ([handle], text),
        "plugin_sign_keys_free": ([handle], None),
        "plugin_sign_verify_file": ([handle, text, handle], handle),
        "plugin_sign_policy_new": ([], handle),
        "plugin_sign_policy_set_keys": ([handle, handle], ctypes.c_int),
        "plugin_sign_policy_set_record": ([handle, text], ctypes.c_int),
        "plugin_sign_verify_file_policy": ([handle, text], handle),
        "plugin_sign_policy_free": ([handle], None),
        "plugin_sign_result_status": ([handle], ctypes.c_int),
        "plugin_sign_result_message": ([handle], text),
        # Name and version may hold NUL bytes: taken by pointer and length.
        "plugin_sign_result_name": ([handle, size_p], handle),
        "plugin_sign_result_version": ([handle, size_p], handle),
        "plugin_sign_result_key_id": ([handle], text),
        "plugin_sign_result_main_wasm": ([handle, size_p], handle),
        "plugin_sign_result_free": ([handle], None),
    }
    for name, (argtypes, restype) in signatures.items():
        function = getattr(lib, name)
        function.argtypes = argtypes
        function.restype = restype
    return lib


def sized(function, result):
    """The bytes a pointer-and-length accessor gives for `result`."""
    size = ctypes.c_size_t(0)
    pointer = function(result, ctypes.byref(size))
    return ctypes.string_at(pointer, size.value) if pointer else b""


def verify_file(lib, keys, package, record):
    """The result for `package`: with a policy that keeps `record` when it is given."""
    if record is None:
        return lib.plugin_sign_verify_file(keys, package.encode(), None)
    policy = lib.plugin_sign_policy_new()
    if not policy:
        raise MemoryError("plugin_sign_policy_new")
    try:
        if (lib.plugin_sign_policy_set_keys(policy, keys) != OK
                or lib.plugin_sign_policy_set_record(policy, record.encode()) != OK):
            raise MemoryError("plugin_sign_policy_set_record")
        return lib.plugin_sign_verify_file_policy(policy, package.encode())
    finally:
        lib.plugin_sign_policy_free(policy)


def verify(lib, key_file, package, record=None):
    """The line the C and C++ hosts print, and whether the package verified."""
    keys = lib.plugin_sign_keys_new()
    if not keys:
        raise MemoryError("plugin_sign_keys_new")
    try:
        if lib.plugin_sign_keys_add_file(keys, key_file.encode()) != OK:
            raise ValueError(lib.plugin_sign_keys_error(keys).decode())
        result = verify_file(lib, keys, package, record)
        try:
            status = lib.plugin_sign_result_status(result)
            if status != OK:
                reason = lib.plugin_sign_status_string(status).decode()
                message = lib.plugin_sign_result_message(result).decode()
                return f"failed ({status}, {reason}): {message}", False
            name = sized(lib.plugin_sign_result_name, result).decode()
            version = sized(lib.plugin_sign_result_version, result).decode()
            key_id = lib.plugin_sign_result_key_id(result).decode()
            wasm = sized(lib.plugin_sign_result_main_wasm, result)
            return f"verified {name} {version}, key {key_id}, main.wasm {len(wasm)} bytes", True
        finally:
            lib.plugin_sign_result_free(result)
    finally:
        lib.plugin_sign_keys_free(keys)


def main(argv):
    if len(argv) in (2, 3) and argv[1] == "--version":
        lib = load(argv[2] if len(argv) == 3 else "libplugin_sign_verify.so.1")
        print(lib.plugin_sign_version().decode())
        return 0
    record = None
    if len(argv) > 2 and argv[1] == "--record":
        record = argv[2]
        argv = argv[:1] + argv[3:]
    if len(argv) not in (3, 4):
        print(__doc__, file=sys.stderr)
        return 64
    lib = load(argv[3] if len(argv) == 4 else "libplugin_sign_verify.so.1")
    try:
        line, verified = verify(lib, argv[1], argv[2], record)
    except ValueError as error:
        print(error, file=sys.stderr)
        return 64
    print(line)
    return 0 if verified else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
