"""Bit-exact guards: golden outputs, an independent float32 re-computation of the linear path,
and independence from the worker count."""

import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tacitor

F = np.float32
EPS = F(2.0**-23)


# The square root and hypotenuse of the recomputation come from Python's double precision,
# not from NumPy: NumPy's float32 sqrt is not correctly rounded everywhere (on 32-bit ARM its
# NEON code path misses by an ulp), and hypotf differs between C libraries. Rounding a double
# square root to float32 is the correctly rounded float32 square root.
def sqrt32(x):
    return F(math.sqrt(float(x)))


def hypot32(x, y):
    """The hypotenuse the solvers use: exact squares, sum and root in double, then float32."""
    x, y = float(x), float(y)
    if math.isinf(x) or math.isinf(y):
        return F(math.inf)
    return F(math.sqrt(x * x + y * y))


# ---------------------------------------------------------------------------------------------
# Inputs built from integer formulas only, so they never change with a random generator.


def formula_samples(series, length, a, b, c, divisor):
    s = np.arange(series).reshape(-1, 1)
    t = np.arange(length).reshape(1, -1)
    values = (a * s * s + b * t * t + c * s * t + 3 * t) % 31 - 15
    return (values / divisor).astype(np.float32)


def distinct_samples(series, length, prime):
    """Pairwise different values: k -> 37 k mod prime is one-to-one below prime."""
    assert series * length < prime
    k = np.arange(series * length).reshape(series, length)
    return ((37 * k) % prime / 16.0 - 15.0).astype(np.float32)


def line_samples(series, length):
    """Straight lines, whose windows give rank-deficient designs."""
    s = np.arange(series).reshape(-1, 1)
    t = np.arange(length).reshape(1, -1)
    return ((s + 1) * t - 3 * s).astype(np.float32)


CASES = {
    "small": (formula_samples(2, 7, 5, 3, 1, 4), 3, 2),
    "lines": (line_samples(3, 9), 4, 2),
    "overlap": (formula_samples(3, 10, 7, 2, 3, 8), 4, 3),
    "tail": (formula_samples(4, 10, 1, 5, 2, 16), 4, 4),
    "stride1": (formula_samples(3, 9, 2, 7, 5, 2), 3, 1),
    "whole": (formula_samples(5, 4, 3, 1, 4, 3), 4, 9),
}

# Too large for golden lists, but with more training rows than a depth-limited tree has
# leaves. "ties" holds multiples of 1/4 only, so its double sums are exact in any order.
LARGE_CASES = {
    "distinct": (distinct_samples(12, 40, 499), 4, 2),
    "ties": (formula_samples(12, 40, 3, 5, 7, 4), 5, 2),
}


# ---------------------------------------------------------------------------------------------
# The linear path re-computed with float32 scalars: every operation below rounds to float32
# exactly as the native code does, in the same order.


def svd_solve(design, target):
    a = design.astype(F).copy()
    m, n = a.shape
    v = np.zeros((n, n), F)
    w = np.zeros(n, F)
    e = np.zeros(n, F)
    g = scale = anorm = F(0)
    # Householder reduction to bidiagonal form.
    for i in range(n):
        e[i] = scale * g
        g = s = scale = F(0)
        if i < m:
            for k in range(i, m):
                scale = scale + abs(a[k, i])
            if abs(scale) > EPS:
                for k in range(i, m):
                    a[k, i] = a[k, i] / scale
                    s = s + a[k, i] * a[k, i]
                f = a[i, i]
                g = -np.copysign(sqrt32(s), f)
                h = f * g - s
                a[i, i] = f - g
                for j in range(i + 1, n):
                    t = F(0)
                    for k in range(i, m):
                        t = t + a[k, i] * a[k, j]
                    f = t / h
                    for k in range(i, m):
                        a[k, j] = f * a[k, i] + a[k, j]
                for k in range(i, m):
                    a[k, i] = scale * a[k, i]
        w[i] = scale * g
        g = s = scale = F(0)
        if i < m and i + 1 != n:
            for k in range(i + 1, n):
                scale = scale + abs(a[i, k])
            if abs(scale) > EPS:
                for k in range(i + 1, n):
                    a[i, k] = a[i, k] / scale
                    s = s + a[i, k] * a[i, k]
                f = a[i, i + 1]
                g = -np.copysign(sqrt32(s), f)
                h = f * g - s
                a[i, i + 1] = f - g
                for k in range(i + 1, n):
                    e[k] = a[i, k] / h
                for j in range(i + 1, m):
                    t = F(0)
                    for k in range(i + 1, n):
                        t = t + a[j, k] * a[i, k]
                    for k in range(i + 1, n):
                        a[j, k] = t * e[k] + a[j, k]
                for k in range(i + 1, n):
                    a[i, k] = scale * a[i, k]
        anorm = np.fmax(anorm, abs(w[i]) + abs(e[i]))
    # Right transformations.
    l = 0
    for i in range(n - 1, -1, -1):
        if i < n - 1:
            if g != 0:
                for j in range(l, n):
                    v[j, i] = (a[i, j] / a[i, l]) / g
                for j in range(l, n):
                    t = F(0)
                    for k in range(l, n):
                        t = t + a[i, k] * v[k, j]
                    for k in range(l, n):
                        v[k, j] = t * v[k, i] + v[k, j]
            for j in range(l, n):
                v[i, j] = 0
                v[j, i] = 0
        v[i, i] = 1
        g = e[i]
        l = i
    # Left transformations.
    for i in range(min(m, n) - 1, -1, -1):
        l = i + 1
        g = w[i]
        for j in range(l, n):
            a[i, j] = 0
        if abs(g) > EPS:
            g = F(1) / g
            for j in range(l, n):
                t = F(0)
                for k in range(l, m):
                    t = t + a[k, i] * a[k, j]
                f = (t / a[i, i]) * g
                for k in range(i, m):
                    a[k, j] = f * a[k, i] + a[k, j]
            for j in range(i, m):
                a[j, i] = a[j, i] * g
        else:
            for j in range(i, m):
                a[j, i] = 0
        a[i, i] = a[i, i] + F(1)
    # Implicit-shift QR on the bidiagonal.
    thresh = EPS * anorm
    for k in range(n - 1, -1, -1):
        its = 0
        while True:
            l = k
            flag = True
            nm = 0
            while l != 0:
                if abs(e[l]) <= thresh:
                    flag = False
                    break
                nm = l - 1
                if abs(w[nm]) <= thresh:
                    break
                l -= 1
            if flag:
                c, s = F(0), F(1)
                for i in range(l, k + 1):
                    f = s * e[i]
                    e[i] = c * e[i]
                    if abs(f) <= thresh:
                        break
                    g = w[i]
                    h = hypot32(f, g)
                    w[i] = h
                    h = F(1) / h
                    c = g * h
                    s = -(f * h)
                    for j in range(m):
                        y, z = a[j, nm], a[j, i]
                        a[j, nm] = y * c + z * s
                        a[j, i] = z * c - y * s
            z = w[k]
            if l == k:
                if z < 0:
                    w[k] = -z
                    v[:, k] = -v[:, k]
                break
            assert its != 29, "no convergence in 30 iterations"
            x = w[l]
            nm = k - 1
            y = w[nm]
            g = e[nm]
            h = e[k]
            f = ((y - z) * (y + z) + (g - h) * (g + h)) / (y * (F(2) * h))
            g = hypot32(f, F(1))
            f = ((x - z) * (x + z) + h * ((y / (f + np.copysign(g, f))) - h)) / x
            c = s = F(1)
            for j in range(l, nm + 1):
                i = j + 1
                g = e[i]
                y = w[i]
                h = s * g
                g = c * g
                z = hypot32(f, h)
                e[j] = z
                c = f / z
                s = h / z
                f = x * c + g * s
                g = g * c - x * s
                h = y * s
                y = y * c
                for r in range(n):
                    vx, vz = v[r, j], v[r, i]
                    v[r, j] = vx * c + vz * s
                    v[r, i] = vz * c - vx * s
                z = hypot32(f, h)
                w[j] = z
                if abs(z) > EPS:
                    z = F(1) / z
                    c = f * z
                    s = h * z
                f = c * g + s * y
                x = c * y - s * g
                for r in range(m):
                    ay, az = a[r, j], a[r, i]
                    a[r, j] = ay * c + az * s
                    a[r, i] = az * c - ay * s
            e[l] = 0
            e[k] = f
            w[k] = x
            its += 1
    # Descending order, moving the singular vectors along (Shell sort).
    inc = 1
    while inc <= n:
        inc = 3 * inc + 1
    while True:
        inc //= 3
        for i in range(inc, n):
            sw, su, sv = w[i], a[:, i].copy(), v[:, i].copy()
            j = i
            while w[j - inc] < sw:
                w[j] = w[j - inc]
                a[:, j] = a[:, j - inc]
                v[:, j] = v[:, j - inc]
                j -= inc
                if j < inc:
                    break
            w[j], a[:, j], v[:, j] = sw, su, sv
        if inc <= 1:
            break
    # Sign normalisation.
    for k in range(n):
        negatives = float(np.count_nonzero(a[:, k] < 0) + np.count_nonzero(v[:, k] < 0))
        if negatives > (m + n) * 0.5:
            a[:, k] = -a[:, k]
            v[:, k] = -v[:, k]
    tolerance = (w[0] * (sqrt32(F(m + n) + F(1)) * F(0.5))) * EPS
    tmp = np.zeros(n, F)
    for j in range(n):
        if w[j] > tolerance:
            acc = F(0)
            for i in range(m):
                acc = acc + a[i, j] * target[i]
            tmp[j] = acc / w[j]
    solution = np.zeros(n, F)
    for j in range(n):
        acc = F(0)
        for k in range(n):
            acc = acc + v[j, k] * tmp[k]
        solution[j] = acc
    return solution


def reference_linear_denoise(samples, window_size, stride):
    series, length = samples.shape
    span = length - window_size
    starts = list(range(0, span, stride)) + [span]
    rows = np.concatenate([samples[:, t : t + window_size] for t in starts]).astype(F)
    predictions = np.empty_like(rows)
    for i in range(window_size):
        features = np.delete(rows, i, axis=1)
        design = np.hstack([features, np.ones((rows.shape[0], 1), F)])
        solution = svd_solve(design, rows[:, i])
        for r in range(rows.shape[0]):
            acc = F(0)
            for j in range(window_size - 1):
                acc = acc + features[r, j] * solution[j]
            predictions[r, i] = solution[window_size - 1] + acc
    output = np.zeros((series, length), F)
    counts = np.zeros(length, np.int64)
    for k, t in enumerate(starts):
        output[:, t : t + window_size] += predictions[k * series : (k + 1) * series]
        counts[t : t + window_size] += 1
    with np.errstate(invalid="ignore", divide="ignore"):
        return output / counts.astype(F)


def bits(array):
    return np.ascontiguousarray(array, dtype=np.float32).view(np.uint32)


ALL_CASES = {**CASES, **LARGE_CASES}


@pytest.mark.parametrize("name", sorted(ALL_CASES))
def test_linear_path_matches_float32_recomputation(name):
    samples, window_size, stride = ALL_CASES[name]
    result = tacitor.denoise_linear_regression(samples, window_size, stride)
    expected = reference_linear_denoise(samples, window_size, stride)
    np.testing.assert_array_equal(bits(result), bits(expected))


def test_recomputation_is_a_least_squares_solver():
    # Guards the guard: the float32 re-computation agrees with float64 least squares.
    samples, window_size, stride = CASES["overlap"]
    design = np.hstack([samples[:, :3].reshape(-1, 3), np.ones((3, 1), F)]).astype(F)
    target = samples[:, 3].astype(F)
    rng_free = np.linalg.lstsq(design.astype(np.float64), target.astype(np.float64), rcond=None)
    np.testing.assert_allclose(svd_solve(design, target), rng_free[0], rtol=1e-3, atol=1e-4)


# ---------------------------------------------------------------------------------------------
# The tree path re-computed in double precision with Python floats. Rows of equal value may
# be summed in another order than the native sort leaves them in, so this is exact for inputs
# whose columns hold pairwise different values or whose sums are exact in any order.


class Node:
    def __init__(self, mean):
        self.mean = mean
        self.feature = 0
        self.threshold = None
        self.gain = None
        self.lower = None
        self.upper = None


class Task:
    def __init__(self, node, counts, level):
        self.node = node
        self.counts = counts
        self.level = level
        self.lower_mean = 0.0
        self.upper_mean = 0.0


def fit_tree(x, y, depth_limit=8):
    rows, cols = x.shape
    total, target_sum = 0, 0.0
    for i in range(rows):
        total += 1
        target_sum += 1.0 * float(y[i])
    nodes = [Node(target_sum / total)]
    order = [np.argsort(x[:, j], kind="stable") for j in range(cols)]

    def find_best_cutoff(task):
        node = nodes[task.node]
        n = sum(task.counts)
        if n < 2:
            return False
        node_total = node.mean * n
        parent = (n * node.mean) * node.mean
        for j in range(cols):
            lower_count, lower_sum, previous = 0, 0.0, None
            for i in order[j]:
                c = task.counts[i]
                if c == 0:
                    continue
                value = x[i, j]
                if previous is not None and not value == previous:
                    upper_count = n - lower_count
                    if lower_count >= 1 and upper_count >= 1:
                        upper_mean = (node_total - lower_sum) / upper_count
                        lower_mean = lower_sum / lower_count
                        gain = ((lower_count * lower_mean) * lower_mean
                                + (upper_count * upper_mean) * upper_mean) - parent
                        if node.gain is None or gain > node.gain:
                            node.feature = j
                            node.threshold = float(F(previous + value)) * 0.5
                            node.gain = gain
                            task.lower_mean, task.upper_mean = lower_mean, upper_mean
                lower_count += c
                lower_sum += c * float(y[i])
                previous = value
        return node.gain is not None

    queue = []
    root = Task(0, [1] * rows, 1)
    if find_best_cutoff(root):
        queue.append(root)
    depth = 0
    while depth < depth_limit and queue:
        task = queue.pop(0)
        node = nodes[task.node]
        lower = [0] * rows
        lower_total = upper_total = 0
        for i in range(rows):
            c = task.counts[i]
            if c == 0:
                continue
            if node.threshold is not None and float(x[i, node.feature]) <= node.threshold:
                lower[i], task.counts[i] = c, 0
                lower_total += c
            else:
                upper_total += c
        if lower_total < 1 or upper_total < 1:
            node.feature, node.threshold, node.gain = 0, None, None
            continue
        first = len(nodes)
        nodes.extend([Node(task.lower_mean), Node(task.upper_mean)])
        node.lower, node.upper = first, first + 1
        depth = max(depth, task.level + 1)
        for child in (Task(first, lower, task.level + 1),
                      Task(first + 1, task.counts, task.level + 1)):
            if find_best_cutoff(child):
                queue.append(child)
    return nodes


def predict_tree(nodes, x):
    out = np.empty(x.shape[0], F)
    for r in range(x.shape[0]):
        node = nodes[0]
        while node.lower is not None:
            value = float(x[r, node.feature])
            go_lower = node.threshold is not None and value <= node.threshold
            node = nodes[node.lower if go_lower else node.upper]
        out[r] = F(node.mean)
    return out


def reference_tree_denoise(samples, window_size, stride):
    series, length = samples.shape
    span = length - window_size
    starts = list(range(0, span, stride)) + [span]
    rows = np.concatenate([samples[:, t : t + window_size] for t in starts]).astype(F)
    predictions = np.empty_like(rows)
    for i in range(window_size):
        features = np.delete(rows, i, axis=1)
        predictions[:, i] = predict_tree(fit_tree(features, rows[:, i]), features)
    output = np.zeros((series, length), F)
    counts = np.zeros(length, np.int64)
    for k, t in enumerate(starts):
        output[:, t : t + window_size] += predictions[k * series : (k + 1) * series]
        counts[t : t + window_size] += 1
    return output / counts.astype(F)


@pytest.mark.parametrize("name", sorted(ALL_CASES))
def test_tree_path_matches_double_recomputation(name):
    samples, window_size, stride = ALL_CASES[name]
    result = tacitor.denoise_decision_tree(samples, window_size, stride)
    expected = reference_tree_denoise(samples, window_size, stride)
    np.testing.assert_array_equal(bits(result), bits(expected))
    if name in LARGE_CASES:
        # More training rows than leaves: the output holds real means, not the samples.
        assert np.mean(result != samples) > 0.5


# ---------------------------------------------------------------------------------------------
# Golden outputs: float.hex() of every element, row by row. The linear ones equal the float32
# re-computation above and the tree ones were checked against the double re-computation's
# rules; they pin the results to the last bit.

GOLDEN = {
    ("linear", "lines"): (
        "-0x1.8000000000000p-23 0x1.0000000000000p+0 0x1.fffff40000000p+0 0x1.8000000000000p+1 "
        "0x1.fffff80000000p+1 0x1.4000020000000p+2 0x1.7ffffe0000000p+2 0x1.c000000000000p+2 "
        "0x1.0000040000000p+3 -0x1.8000000000000p+1 -0x1.fffffc0000000p-1 0x1.fffffc0000000p-1 "
        "0x1.7ffffc0000000p+1 0x1.3ffffc0000000p+2 0x1.c000000000000p+2 0x1.2000000000000p+3 "
        "0x1.5ffffe0000000p+3 0x1.a000020000000p+3 -0x1.8000000000000p+2 -0x1.7ffffc0000000p+1 "
        "-0x1.1800000000000p-24 0x1.7ffff40000000p+1 0x1.7ffffc0000000p+2 0x1.1ffffe0000000p+3 "
        "0x1.8000000000000p+3 0x1.dffffe0000000p+3 0x1.2000020000000p+4"
    ),
    ("linear", "overlap"): (
        "0x1.8b08d00000000p-3 -0x1.24a7e20000000p+0 0x1.cbd86c0000000p-1 0x1.610f820000000p+0 "
        "-0x1.16ec4c0000000p+0 -0x1.db8c100000000p-1 0x1.0e43b20000000p+0 0x1.9534280000000p-1 "
        "0x1.48a2d40000000p+0 -0x1.92a53c0000000p+0 0x1.c043680000000p-2 0x1.16d7800000000p-8 "
        "0x1.ce43b80000000p+0 -0x1.64b8a40000000p-4 -0x1.0a1ca00000000p+0 0x1.0f00ba0000000p+0 "
        "0x1.f7b5840000000p-1 0x1.05e1ec0000000p-1 0x1.60901c0000000p+0 -0x1.255abc0000000p+0 "
        "0x1.09e8620000000p+0 0x1.7950600000000p-4 0x1.32f76c0000000p+0 -0x1.5c7a9a0000000p-1 "
        "-0x1.0646be0000000p+1 0x1.991a200000000p-4 0x1.a09fbc0000000p-1 -0x1.a7f1640000000p-1 "
        "-0x1.64cd000000000p-5 0x1.3ebbbc0000000p+0"
    ),
    ("linear", "small"): (
        "-0x1.7cc2a40000000p+0 -0x1.06af420000000p+1 -0x1.d5c9800000000p-3 -0x1.dcf2280000000p+0 "
        "0x1.35c8ca0000000p+1 0x1.b365c40000000p+0 -0x1.af8c6a0000000p+1 -0x1.41d5f80000000p-1 "
        "-0x1.3396160000000p+1 0x1.8a6af20000000p-2 0x1.cb866a0000000p-1 -0x1.7765000000000p-1 "
        "-0x1.07ac160000000p+0 0x1.4d45100000000p+0"
    ),
    ("linear", "stride1"): (
        "-0x1.52f88c0000000p-1 0x1.43beb40000000p-2 -0x1.b774660000000p-3 0x1.050e660000000p-2 "
        "-0x1.7ce59a0000000p-2 -0x1.a609aa0000000p-1 -0x1.3827b00000000p-1 -0x1.aa79180000000p-1 "
        "-0x1.db8dcc0000000p+0 -0x1.c222d00000000p+0 -0x1.ceabe80000000p-1 -0x1.9583400000000p+0 "
        "-0x1.30a0ea0000000p+0 -0x1.1fcfca0000000p+0 -0x1.1328ee0000000p+1 -0x1.3a00900000000p+0 "
        "-0x1.1020260000000p+0 -0x1.19528c0000000p+1 -0x1.d9ba2a0000000p+0 0x1.dee7000000000p-6 "
        "-0x1.a60b460000000p+0 -0x1.17914a0000000p-1 -0x1.17223e0000000p-1 -0x1.a563060000000p+0 "
        "-0x1.f0e5c00000000p-6 -0x1.f89ce40000000p-1 -0x1.6cdaec0000000p+0"
    ),
    ("linear", "tail"): (
        "0x1.192ac80000000p-3 -0x1.6bf5800000000p-5 -0x1.ccfe280000000p-4 0x1.3cf4cc0000000p-2 "
        "-0x1.ef80940000000p-3 -0x1.d5e8400000000p-3 -0x1.f35bcc0000000p-4 -0x1.61e9f80000000p-5 "
        "-0x1.14b4b40000000p-2 0x1.64680c0000000p-3 -0x1.11960c0000000p-3 -0x1.085e2c0000000p-3 "
        "-0x1.24cb8e0000000p-2 0x1.0862a40000000p-1 -0x1.1bdf8e0000000p-1 0x1.aa7ea40000000p-2 "
        "0x1.c50c6e0000000p-3 -0x1.66fa000000000p-2 0x1.0891680000000p-2 0x1.6143bc0000000p-1 "
        "-0x1.2f67d00000000p-2 0x1.8bd2800000000p-2 0x1.0f09d80000000p-3 0x1.9e0b120000000p-3 "
        "-0x1.847e900000000p-6 -0x1.a969b40000000p-4 -0x1.33dd300000000p-3 0x1.b65a060000000p-2 "
        "0x1.39347a0000000p-3 0x1.e7cd180000000p-5 -0x1.cc172a0000000p-2 -0x1.0b04b00000000p-7 "
        "-0x1.24ac780000000p-3 -0x1.cf5a400000000p-3 -0x1.be88120000000p-2 0x1.78a1ac0000000p-2 "
        "0x1.f2b58e0000000p-4 -0x1.f8096c0000000p-2 -0x1.01cb600000000p-4 0x1.63673e0000000p-2"
    ),
    ("linear", "whole"): (
        "-0x1.59a8be0000000p+2 -0x1.514f3e0000000p+1 -0x1.1484e60000000p+0 0x1.709c100000000p+0 "
        "-0x1.e94d2c0000000p+1 -0x1.aade8c0000000p+0 0x1.d28f6e0000000p+0 -0x1.fe02c00000000p+1 "
        "-0x1.995d400000000p-1 0x1.289a700000000p+1 -0x1.64267c0000000p+1 0x1.22da5c0000000p+1 "
        "0x1.8f00600000000p+1 -0x1.c87c800000000p-5 0x1.6c34700000000p+2 0x1.2fa9ec0000000p+1 "
        "0x1.9295f80000000p+0 -0x1.fab9fa0000000p+1 0x1.acb83c0000000p+1 0x1.2217200000000p-1"
    ),
    ("tree", "lines"): (
        "0x0.0p+0 0x1.0000000000000p+0 0x1.0000000000000p+1 0x1.8000000000000p+1 "
        "0x1.0000000000000p+2 0x1.4000000000000p+2 0x1.8000000000000p+2 0x1.c000000000000p+2 "
        "0x1.0000000000000p+3 -0x1.8000000000000p+1 -0x1.0000000000000p+0 0x1.0000000000000p+0 "
        "0x1.8000000000000p+1 0x1.4000000000000p+2 0x1.c000000000000p+2 0x1.2000000000000p+3 "
        "0x1.6000000000000p+3 0x1.a000000000000p+3 -0x1.8000000000000p+2 -0x1.8000000000000p+1 "
        "0x0.0p+0 0x1.8000000000000p+1 0x1.8000000000000p+2 0x1.2000000000000p+3 "
        "0x1.8000000000000p+3 0x1.e000000000000p+3 0x1.2000000000000p+4"
    ),
    ("tree", "overlap"): (
        "-0x1.e000000000000p+0 -0x1.4000000000000p+0 -0x1.0000000000000p-3 0x1.8000000000000p+0 "
        "-0x1.0000000000000p-2 -0x1.8000000000000p+0 0x1.a000000000000p+0 0x1.6000000000000p+0 "
        "0x1.a000000000000p+0 -0x1.8000000000000p+0 -0x1.0000000000000p+0 0x0.0p+0 "
        "0x1.8000000000000p+0 -0x1.8000000000000p-2 -0x1.c000000000000p+0 0x1.4000000000000p+0 "
        "0x1.c000000000000p-1 0x1.0000000000000p+0 0x1.a000000000000p+0 -0x1.2000000000000p+0 "
        "0x1.a000000000000p+0 -0x1.c000000000000p-1 0x1.0000000000000p+0 -0x1.0000000000000p-1 "
        "-0x1.8000000000000p+0 0x1.e000000000000p+0 0x1.e000000000000p+0 -0x1.8000000000000p+0 "
        "-0x1.0000000000000p-1 0x1.0000000000000p+0"
    ),
    ("tree", "small"): (
        "-0x1.e000000000000p+1 -0x1.2000000000000p+1 0x1.8000000000000p-1 -0x1.4000000000000p+1 "
        "0x1.c000000000000p+1 0x1.a000000000000p+1 -0x1.a000000000000p+1 -0x1.4000000000000p+1 "
        "-0x1.8000000000000p-1 0x1.4000000000000p+1 -0x1.0000000000000p-1 -0x1.0000000000000p+1 "
        "-0x1.0000000000000p+1 -0x1.0000000000000p-1"
    ),
    ("tree", "stride1"): (
        "-0x1.e000000000000p+2 -0x1.4000000000000p+1 -0x1.8000000000000p+2 -0x1.4000000000000p+1 "
        "-0x1.e000000000000p+2 -0x1.d555560000000p+1 0x1.c000000000000p+1 0x1.5000000000000p+2 "
        "-0x1.0000000000000p+2 -0x1.caaaaa0000000p+2 -0x1.5555500000000p-4 -0x1.58e3900000000p+1 "
        "0x1.6aaaaa0000000p+2 0x1.c000000000000p+1 -0x1.9c71c80000000p+2 0x1.0000000000000p+2 "
        "0x1.9000000000000p+2 0x1.8000000000000p+0 -0x1.c000000000000p+1 0x1.a000000000000p+2 "
        "-0x1.d8e38e0000000p+2 0x1.1c71c80000000p-2 0x1.0000000000000p+0 -0x1.88e38e0000000p+2 "
        "0x1.a000000000000p+2 -0x1.c000000000000p+1 -0x1.a000000000000p+2"
    ),
    ("tree", "tail"): (
        "-0x1.e000000000000p-1 -0x1.c000000000000p-2 0x1.6000000000000p-1 0x1.0000000000000p-1 "
        "0x1.e000000000000p-1 0x1.0000000000000p-4 -0x1.8000000000000p-3 0x1.8000000000000p-3 "
        "-0x1.8000000000000p-1 0x1.c000000000000p-1 -0x1.c000000000000p-1 -0x1.0000000000000p-2 "
        "-0x1.e000000000000p-1 0x1.e000000000000p-1 -0x1.c000000000000p-2 0x1.8000000000000p-1 "
        "0x1.4000000000000p-1 -0x1.a000000000000p-1 0x1.4000000000000p-2 0x1.0000000000000p-3 "
        "-0x1.6000000000000p-1 0x1.0000000000000p-4 -0x1.0000000000000p-1 -0x1.c000000000000p-2 "
        "0x1.0000000000000p-2 -0x1.8000000000000p-2 -0x1.8000000000000p-2 0x1.0000000000000p-2 "
        "-0x1.c000000000000p-2 -0x1.0000000000000p-1 -0x1.8000000000000p-2 0x1.0000000000000p-1 "
        "0x1.0000000000000p-4 0x1.0000000000000p-2 -0x1.c000000000000p-1 0x1.2000000000000p-1 "
        "0x1.6000000000000p-1 -0x1.0000000000000p-1 0x1.c000000000000p-1 0x1.e000000000000p-1"
    ),
    ("tree", "whole"): (
        "-0x1.4000000000000p+2 -0x1.d555560000000p+1 -0x1.aaaaaa0000000p+0 0x1.0000000000000p+0 "
        "-0x1.0000000000000p+2 -0x1.5555560000000p+0 0x1.0000000000000p+1 -0x1.1555560000000p+2 "
        "-0x1.0000000000000p+0 0x1.8000000000000p+1 -0x1.5555560000000p+1 0x1.5555560000000p+1 "
        "0x1.0000000000000p+2 -0x1.0000000000000p+0 0x1.4000000000000p+2 0x1.5555560000000p+0 "
        "0x1.5555560000000p-1 -0x1.8000000000000p+1 0x1.1555560000000p+2 0x1.0000000000000p+1"
    ),
}


@pytest.mark.parametrize("method, name", sorted(GOLDEN))
def test_golden_outputs(method, name):
    samples, window_size, stride = CASES[name]
    denoise = {
        "linear": tacitor.denoise_linear_regression,
        "tree": tacitor.denoise_decision_tree,
    }[method]
    result = denoise(samples, window_size, stride)
    assert [float(x).hex() for x in result.ravel()] == GOLDEN[method, name].split()


# ---------------------------------------------------------------------------------------------
# The worker count must not change a single bit.

WORKER_SCRIPT = textwrap.dedent(
    """
    import sys
    import numpy as np
    import tacitor

    t = np.arange(600, dtype=np.float64)
    s = np.arange(24, dtype=np.float64).reshape(-1, 1)
    samples = (np.sin(t / 9.0 + s) + ((7 * s + 3 * t) % 11) / 25.0).astype(np.float32)
    denoise = getattr(tacitor, sys.argv[1])
    sys.stdout.write(denoise(samples, 12, 3).tobytes().hex())
    """
)


@pytest.mark.parametrize("function", ["denoise_linear_regression", "denoise_decision_tree"])
def test_output_does_not_depend_on_the_worker_count(function):
    outputs = []
    for workers in ("1", "2", "4"):
        env = dict(os.environ, RAYON_NUM_THREADS=workers)
        completed = subprocess.run(
            [sys.executable, "-c", WORKER_SCRIPT, function],
            env=env, capture_output=True, text=True, timeout=300, check=True)
        outputs.append(completed.stdout)
    assert outputs[0] and outputs[0] == outputs[1] == outputs[2]


# ---------------------------------------------------------------------------------------------
# Every instruction-set level of the native kernels must give the same bits. TACITOR_ISA is
# read once per process, so each level runs in a child process.

ISA_FLAGS = {"baseline": set(), "avx2": {"avx2"}, "avx512": {"avx512f"}}


def _cpu_flags():
    try:
        with open("/proc/cpuinfo", encoding="ascii", errors="replace") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def _require_level(level):
    missing = ISA_FLAGS[level] - _cpu_flags()
    if missing:
        pytest.skip(f"this processor lacks {' '.join(sorted(missing))}, needed by level {level}")
    return dict(os.environ, TACITOR_ISA=level)


@pytest.mark.parametrize("level", sorted(ISA_FLAGS))
def test_goldens_hold_at_every_kernel_level(level):
    env = _require_level(level)
    completed = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", __file__,
         "-k", "golden_outputs or float32_recomputation"],
        env=env, capture_output=True, text=True, timeout=600)
    assert completed.returncode == 0, completed.stdout[-3000:] + completed.stderr[-3000:]


# 64 series and 1,024 windows: 65,536 training rows, so the design columns start a multiple
# of 4 KiB apart and take the padded layout; long enough for every vector and block width.
LEVEL_SCRIPT = textwrap.dedent(
    """
    import numpy as np
    import tacitor

    t = np.arange(1039, dtype=np.float64)
    s = np.arange(64, dtype=np.float64).reshape(-1, 1)
    samples = (np.sin(t / 7.0 + s) * 10.0 ** ((s % 5) - 2) + ((5 * s + t) % 13) / 9.0)
    samples[3] = 0.0
    samples[4] = -1.5
    samples = samples.astype(np.float32)
    print(tacitor.denoise_linear_regression(samples, 16, 1).tobytes().hex())
    """
)


def test_every_kernel_level_gives_the_baseline_bits_on_a_large_input():
    outputs = {}
    for level in sorted(ISA_FLAGS):
        if ISA_FLAGS[level] - _cpu_flags():
            continue
        completed = subprocess.run(
            [sys.executable, "-c", LEVEL_SCRIPT], env=dict(os.environ, TACITOR_ISA=level),
            capture_output=True, text=True, timeout=600, check=True)
        outputs[level] = completed.stdout
    assert outputs["baseline"]
    for level, output in outputs.items():
        assert output == outputs["baseline"], f"level {level} differs from the baseline"
    if len(outputs) < len(ISA_FLAGS):
        pytest.skip(f"only {', '.join(sorted(outputs))} available on this processor; they agree")
