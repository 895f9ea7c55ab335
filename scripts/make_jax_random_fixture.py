"""Writes tests/data/jax_random.txt: what jax.random and jax.jit's float32
math give on this CPU, for tests/cpp/jax_random_test.cpp to compare with the
C++ copies in src/search/ bit for bit.

JAX is an oracle here only, not a dependency. Run from a throwaway virtual
environment with jax 0.10 (CPU) installed, on x86-64:

    python3 -m venv build/jax-venv
    build/jax-venv/bin/pip install jax==0.10.2
    build/jax-venv/bin/python scripts/make_jax_random_fixture.py

Every line is "<what> <parameters...> | <index>=<hex> ...", the values being
the float32 (or uint32) bit patterns of chosen elements of the output.
Inputs the C++ side must rebuild are described by a formula in the test.
"""

from __future__ import annotations

from pathlib import Path

import jax
import jax.numpy as jnp
import numpy as np

OUT = Path(__file__).resolve().parent.parent / "tests" / "data" / "jax_random.txt"
F32 = np.float32
N = 4672
KEYS = [(0, 0), (0, 42), (0x12345678, 0x9ABCDEF0)]
TINY = np.finfo(F32).tiny
LOWEST = np.finfo(F32).min


def hexf(v) -> str:
    return "%08x" % int(np.asarray(v, F32).view(np.uint32))


def pick(n: int, count: int, seed: int) -> list[int]:
    rng = np.random.default_rng(seed)
    return sorted({0, 1, n - 1, *rng.integers(0, n, count).tolist()})


def row(values: np.ndarray, idx) -> str:
    flat = values.reshape(-1)
    if flat.dtype == np.uint32:
        return " ".join("%d=%08x" % (i, int(flat[i])) for i in idx)
    return " ".join("%d=%s" % (i, hexf(flat[i])) for i in idx)


def key(k):
    return jnp.array(k, dtype=jnp.uint32)


def wide_row(k, n: int) -> np.ndarray:
    """normal(key) * 2**(bits(key) % 25 - 12): values over seven decades."""
    x = np.asarray(jax.random.normal(key(k), (n,)))
    e = np.asarray(jax.random.bits(key(k), (n,), jnp.uint32)) % 25
    return (x * np.exp2(e.astype(np.int64) - 12).astype(F32)).astype(F32)


def logits_of(pattern: str, rows: int, n: int) -> np.ndarray:
    j = np.arange(n)[None, :]
    r = np.arange(rows)[:, None]
    spread = (((j * 7 + r * 13) % 11) * 0.25).astype(F32)
    if pattern == "spread":
        return spread
    if pattern == "masked":
        return np.where(j % 3 == 0, LOWEST, spread).astype(F32)
    if pattern == "ties":  # equal huge logits that swallow the noise: the first wins
        return np.where(j % 97 == r + 5, F32(1e10), LOWEST).astype(F32)
    raise ValueError(pattern)


def visit_probs(rows: int, n: int) -> np.ndarray:
    j = np.arange(n)[None, :]
    r = np.arange(rows)[:, None]
    counts = np.where(j % 7 == 0, (j * 31 + r) % 5, 0).astype(F32)
    return (counts / counts.sum(axis=1, keepdims=True)).astype(F32)


def edge_values() -> np.ndarray:
    special = [0.0, -0.0, 1.0, -1.0, 2.0, 0.5, 1e-45, 1e-40, -1e-40, 1.1754942e-38, 1.1754944e-38,
               1e-30, 1e-8, 6e-8, 1e-4, 0.29, 0.41421354, 0.41421357, 0.7071067, 0.7071068,
               0.99999994, 1.0000001, 1.5, 3.0, 10.0, 20.3, 50.0, 87.3, 87.4, 88.0, 88.7, 88.8,
               89.0, 1e10, 3.4028235e38, np.inf, -np.inf, -2.0, -20.3, -50.0, -87.33, -87.34,
               -87.8, -88.1, -104.0, -0.29, -0.41421354, -0.5, -0.9999999, -1e-4]
    rng = np.random.default_rng(5)
    spread = (rng.normal(size=150) * np.exp2(rng.integers(-20, 8, 150))).astype(F32)
    return np.concatenate([np.array(special, F32), spread, -np.abs(spread) * 16]).astype(F32)


def ynn_elementwise(fn, x: np.ndarray) -> np.ndarray:
    """fn(x) as XLA runs it inside a reduction fusion (YNNPACK): fn(v) - max
    or - min over a row padded with the value whose image is 0."""
    out = np.empty_like(x)
    if fn is jnp.log:
        pos = x > 1
        lo = jax.jit(lambda v: (lambda l: l - jnp.max(l))(jnp.log(v)))
        hi = jax.jit(lambda v: (lambda l: l - jnp.min(l))(jnp.log(v)))
        pad = np.full(4096, 1.0, F32)
        for mask, f in ((~pos, lo), (pos, hi)):
            y = np.asarray(f(np.concatenate([x[mask], pad])))
            out[mask] = y[: mask.sum()]
    else:
        neg = x <= 0
        lo = jax.jit(lambda v: jnp.exp(v - jnp.max(v)))
        hi = jax.jit(lambda v: jnp.exp(v - jnp.min(v)))
        pad = np.zeros(4096, F32)
        for mask, f in ((neg, lo), (~neg, hi)):
            y = np.asarray(f(np.concatenate([x[mask], pad])))
            out[mask] = y[: mask.sum()]
    return out


def main() -> None:
    lines = ["# jax %s, jaxlib %s, x86-64 CPU; written by scripts/make_jax_random_fixture.py"
             % (jax.__version__, jax.lib.__version__)]
    for k0, k1 in KEYS:
        k = (k0, k1)
        tag = "%d %d" % k
        bits = np.asarray(jax.random.bits(key(k), (5000,), jnp.uint32))
        lines.append("bits %s 5000 | %s" % (tag, row(bits, pick(5000, 12, k1))))
        for lo, hi in ((0.0, 1.0), (-0.3, 1.7)):
            u = np.asarray(jax.jit(lambda kk: jax.random.uniform(kk, (N,), minval=lo, maxval=hi))(key(k)))
            lines.append("uniform %s %d %s %s | %s" % (tag, N, hexf(lo), hexf(hi), row(u, pick(N, 24, k1))))
        g = np.asarray(jax.jit(lambda kk: jax.random.gumbel(kk, (N,)))(key(k)))
        lines.append("gumbel %s %d | %s" % (tag, N, row(g, pick(N, 24, k1 + 1))))
        z = np.asarray(jax.jit(lambda kk: jax.random.normal(kk, (N,)))(key(k)))
        lines.append("normal %s %d | %s" % (tag, N, row(z, pick(N, 24, k1 + 2))))
        for pattern in ("spread", "masked", "ties"):
            lg = logits_of(pattern, 4, N)
            c = np.asarray(jax.jit(lambda kk, l: jax.random.categorical(kk, l))(key(k), lg))
            lines.append("categorical %s 4 %d %s | %s" % (tag, N, pattern,
                         " ".join("%d=%d" % (i, v) for i, v in enumerate(c))))
        # mctx's final action: logits and noise fused with a reduction (YNNPACK's log)
        p = visit_probs(4, N)
        fused = jax.jit(lambda kk, pp: jax.random.categorical(
            kk, (lambda l: l - jnp.max(l, axis=-1, keepdims=True))(jnp.log(jnp.maximum(pp, TINY)))))
        c = np.asarray(fused(key(k), p))
        lines.append("categorical_of_log %s 4 %d | %s" % (tag, N,
                     " ".join("%d=%d" % (i, v) for i, v in enumerate(c))))
        for alpha in (0.3, 1.5):
            d = np.asarray(jax.jit(lambda kk: jax.random.dirichlet(
                kk, jnp.full([N], alpha, jnp.float32), shape=(2,)))(key(k)))
            lines.append("dirichlet %s %s 2 %d | %s" % (tag, hexf(alpha), N, row(d, pick(2 * N, 32, k1 + 3))))
        for n, rows in ((N, 1), (300, 16), (1500, 3), (9000, 1)):
            x = wide_row(k, rows * n).reshape(rows, n)
            s = np.asarray(jax.jit(lambda v: jnp.sum(v, axis=-1))(x))
            lines.append("sum %s %d %d | %s" % (tag, rows, n, row(s, range(rows))))
        x = wide_row(k, N)
        x = np.where(np.arange(N) % 3 == 0, LOWEST, x * F32(1.0 / 256)).astype(F32)
        sm = np.asarray(jax.jit(jax.nn.softmax)(x))
        lines.append("softmax %s %d | %s" % (tag, N, row(sm, pick(N, 32, k1 + 4))))
    x = edge_values()
    for name, fn in (("xla_log", jnp.log), ("xla_exp", jnp.exp), ("xla_log1p", jnp.log1p)):
        y = np.asarray(jax.jit(fn)(x))
        lines.append("%s | %s" % (name, " ".join("%s=%s" % (hexf(a), hexf(b)) for a, b in zip(x, y))))
    for name, fn in (("ynn_log", jnp.log), ("ynn_exp", jnp.exp)):
        y = ynn_elementwise(fn, x)
        lines.append("%s | %s" % (name, " ".join("%s=%s" % (hexf(a), hexf(b)) for a, b in zip(x, y))))
    OUT.write_text("\n".join(lines) + "\n")
    print("wrote", OUT, len(lines), "lines")


if __name__ == "__main__":
    main()
