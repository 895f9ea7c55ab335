"""The timing loop the Python benchmarks share."""

from __future__ import annotations

_LOOP = """
def _run(items, k, pc):
    out = []
    rep = range(k)
    for {unpack} in items:
        t0 = pc()
        for _ in rep:
{body}
        out.append(pc() - t0)
    return out
"""


def make_loop(unpack: str, body: str, env: dict):
    """Compiles a timing loop with ``body`` inline (no per-call lambda).

    The loop returns, for each item, the time taken by k repeats of the body.
    Every implementation of an operation gets the same loop shape, so the
    loop overhead is the same in every column.
    """
    source = _LOOP.format(unpack=unpack,
                          body="\n".join("            " + line for line in body.splitlines()))
    namespace = dict(env)
    exec(source, namespace)  # noqa: S102 - our own fixed source text
    return namespace["_run"]
