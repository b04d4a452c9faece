"""Compiles the plain-Python twins with Cython into the second pair of twins.

    python bench/build_twins.py [--force]

Each twin_<name>.py is copied to build/cytwin_<name>.py, translated to C by
Cython (language level 3, default directives) and compiled with the flags the
interpreter itself was built with, into build/cytwin_<name><EXT_SUFFIX>. The
plain twins are byte-compiled too, so that their import is timed from the
cache as any installed module would be. A build is redone only when the twin
source, this script, the Cython version or the interpreter changed.
"""
import hashlib
import os
import py_compile
import shlex
import shutil
import subprocess
import sys
import sysconfig

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.join(HERE, "build")
TWINS = ("base", "forecast")


def _stamp(source):
    import Cython

    digest = hashlib.sha256()
    for path in (source, os.path.abspath(__file__)):
        with open(path, "rb") as f:
            digest.update(f.read())
    digest.update(Cython.__version__.encode())
    digest.update(sys.version.encode())
    return digest.hexdigest()


def _run(cmd):
    result = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        sys.stderr.write(result.stdout)
        raise SystemExit("build_twins: failed: %s" % " ".join(cmd))


def compile_twin(name, force=False):
    """Builds build/cytwin_<name> from twin_<name>.py; returns the module path."""
    source = os.path.join(HERE, "twin_%s.py" % name)
    module = "cytwin_" + name
    target = os.path.join(BUILD, module + sysconfig.get_config_var("EXT_SUFFIX"))
    stamp_file = os.path.join(BUILD, module + ".stamp")
    stamp = _stamp(source)
    if not force and os.path.exists(target) and os.path.exists(stamp_file):
        with open(stamp_file) as f:
            if f.read() == stamp:
                return target
    os.makedirs(BUILD, exist_ok=True)
    copy = os.path.join(BUILD, module + ".py")
    c_file = os.path.join(BUILD, module + ".c")
    obj = os.path.join(BUILD, module + ".o")
    shutil.copyfile(source, copy)
    _run([sys.executable, "-m", "cython", "-3", "--fast-fail", "-o", c_file, copy])
    cc = shlex.split(sysconfig.get_config_var("CC"))
    cflags = shlex.split(sysconfig.get_config_var("CFLAGS")) + ["-fPIC"]
    include = ["-I" + sysconfig.get_paths()["include"]]
    _run(cc + cflags + include + ["-c", c_file, "-o", obj])
    ldshared = shlex.split(sysconfig.get_config_var("LDSHARED"))
    _run(ldshared + [obj, "-o", target])
    os.remove(obj)
    with open(stamp_file, "w") as f:
        f.write(stamp)
    return target


def byte_compile_twin(name):
    py_compile.compile(os.path.join(HERE, "twin_%s.py" % name), doraise=True)


def build(force=False):
    """Makes sure both kinds of twin are built and up to date."""
    for name in TWINS:
        byte_compile_twin(name)
        compile_twin(name, force)
    return BUILD


if __name__ == "__main__":
    build(force="--force" in sys.argv[1:])
    print("build_twins: %s" % BUILD)
