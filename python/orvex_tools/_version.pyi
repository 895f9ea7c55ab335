# The module itself is written when the package is built (pyproject.toml, [[tool.scikit-build.generate]]).
__version__: str
