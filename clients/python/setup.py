"""Builds the package's compiled accumulation kernel, valdrix._kernels.

The metadata lives in pyproject.toml. The kernel is optional: where no C
compiler or Python headers are present (Debian: gcc, python3-dev), the build
says so and the package installs without it; valdrix.analysis then adds with
numpy alone, more slowly, and valdrix-analyze says so on every run.

A checkout's CMake build runs ``setup.py build_ext --build-lib DIR`` to put the
kernel in DIR/valdrix/ outside the source tree; with DIR on PYTHONPATH the
package, which spans every valdrix directory on the path, imports it.
"""

from setuptools import Extension, setup

setup(
    ext_modules=[
        Extension(
            "valdrix._kernels",
            ["valdrix/_kernels.c"],
            extra_compile_args=["-O3", "-std=c11"],
            optional=True,
        )
    ]
)
