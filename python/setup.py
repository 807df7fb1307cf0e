"""The extension module; everything else is in pyproject.toml.

In the source tree the library's headers, VERSION and LICENSE are read from the folders beside
python/; an sdist carries copies of them, so that it builds on its own.
"""
import os
import shutil

from setuptools import Extension, setup
from setuptools.command.sdist import sdist

here = os.path.dirname(os.path.abspath(__file__))
tree = os.path.dirname(here)
header_parts = ("base", "double_array", "index_view")
in_tree = not os.path.exists(os.path.join(here, "include"))


def shared(name):
    """A file of the project kept once at the top of the tree, or the sdist's copy."""
    return os.path.join(tree if in_tree else here, name)


if in_tree:
    include_dirs = [os.path.join(tree, part, "include") for part in header_parts]
else:
    include_dirs = [os.path.join(here, "include")]

with open(shared("VERSION"), encoding="ascii") as file:
    version = file.read().strip()


class SdistWithHeaders(sdist):
    """Puts the headers, VERSION, LICENSE and the tests' sample keys into the sdist."""

    def make_release_tree(self, base_dir, files):
        super().make_release_tree(base_dir, files)
        if not in_tree:
            return
        for part in header_parts:
            shutil.copytree(os.path.join(tree, part, "include", "tessel"),
                            os.path.join(base_dir, "include", "tessel"), dirs_exist_ok=True)
        for name in ("VERSION", "LICENSE"):
            shutil.copy(os.path.join(tree, name), os.path.join(base_dir, name))
        shutil.copy(os.path.join(tree, "examples", "words.txt"),
                    os.path.join(base_dir, "tests", "words.txt"))


setup(
    version=version,
    cmdclass={"sdist": SdistWithHeaders},
    ext_modules=[
        Extension(
            "tessel._tessel",
            sources=[os.path.join("src", "tessel_module.cpp")],
            include_dirs=include_dirs,
            define_macros=[("TESSEL_VERSION", '"%s"' % version)],
            language="c++",
            extra_compile_args=["-std=c++17", "-O2", "-fvisibility=hidden"],
        )
    ],
)
