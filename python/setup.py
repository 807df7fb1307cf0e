"""The extension module; everything else is in pyproject.toml."""
import os

from setuptools import Extension, setup

here = os.path.dirname(os.path.abspath(__file__))
# The library's headers: beside the package in this tree.
headers = os.path.join(here, "..", "double_array", "include")

setup(
    ext_modules=[
        Extension(
            "tessel._tessel",
            sources=[os.path.join("src", "tessel_module.cpp")],
            include_dirs=[headers],
            language="c++",
            extra_compile_args=["-std=c++17", "-O2", "-fvisibility=hidden"],
        )
    ]
)
