"""Deliberately naive references, written from the documented contracts."""
import itertools
from collections import deque

import numpy as np


def offsets(connectivity):
    """Neighbour offsets (dz, dy, dx): 6 faces, 18 with edges, 26 with corners."""
    most = {6: 1, 18: 2, 26: 3}[connectivity]
    return [d for d in itertools.product((-1, 0, 1), repeat=3) if 0 < sum(map(abs, d)) <= most]


def label(mask, connectivity=6):
    """Breadth-first labelling, objects numbered by their first voxel in
    raster order."""
    labels = np.zeros(mask.shape, np.int32)
    steps = offsets(connectivity)
    n = 0
    for start in zip(*np.nonzero(mask)):
        if labels[start]:
            continue
        n += 1
        labels[start] = n
        queue = deque([start])
        while queue:
            p = queue.popleft()
            for d in steps:
                q = tuple(c + e for c, e in zip(p, d))
                if all(0 <= c < s for c, s in zip(q, mask.shape)) and mask[q] and not labels[q]:
                    labels[q] = n
                    queue.append(q)
    return labels, n


def otsu(a):
    h = np.bincount(a.ravel(), minlength=256).tolist()
    n = a.size
    p = [c / n for c in h]
    mean = 0.0
    for i in range(256):
        mean += i * p[i]
    best, level, w, m = -1.0, 0, 0.0, 0.0
    for t in range(256):
        w += p[t]
        m += t * p[t]
        d = (1 - w) * w
        score = 0.0 if d == 0 else (mean * w - m) * (mean * w - m) / d
        if score >= best:
            best, level = score, t
    return level


def two_mode(a):
    h = np.bincount(a.ravel(), minlength=256).tolist()
    s = [(h[0] + h[1]) // 2] + [(h[i - 1] + h[i] + h[i + 1]) // 3 for i in range(1, 255)] + [(h[254] + h[255]) // 2]
    best, level = 0, 0
    for m in range(1, 255):
        left = max(s[j] for j in range(0, m, 2))
        right = max(s[j] for j in range(m + 1, 256, 2))
        if left > s[m] and right > s[m] and (left - s[m]) * (right - s[m]) > best:
            best, level = (left - s[m]) * (right - s[m]), m
    return level


def dilate(a, value, background, connectivity):
    """Each voxel of value spreads to its neighbours; outside is background."""
    core = a == value
    padded = np.pad(core, 1)
    grown = core.copy()
    d, h, w = a.shape
    for dz, dy, dx in offsets(connectivity):
        grown |= padded[1 + dz:1 + dz + d, 1 + dy:1 + dy + h, 1 + dx:1 + dx + w]
    return np.where(grown, value, background).astype(a.dtype)


def remove_objects(a, value, low, high, paint):
    labels, n = label(a == value)
    sizes = np.bincount(labels.ravel(), minlength=n + 1)
    gone = (sizes < low) | (sizes > high)
    gone[0] = False
    return np.where(gone[labels], paint, a).astype(a.dtype)


def edge_smooth(a, value, background, radius):
    """Each object alone in its box plus a margin of background: a box voxel
    becomes the object when its window's grey sum reaches the majority."""
    labels, n = label(a == value)
    if n == 0:
        return a.copy()
    side = 2 * radius + 1
    window = side ** 3
    need = ((window + 1) * value) // 2
    out = np.full(a.shape, background, a.dtype)
    for k in range(1, n + 1):
        where = np.nonzero(labels == k)
        box = tuple(slice(c.min(), c.max() + 1) for c in where)
        alone = np.pad(labels[box] == k, radius).astype(np.int64)
        count = np.lib.stride_tricks.sliding_window_view(alone, (side,) * 3).sum(axis=(-3, -2, -1))
        out[box][count * value + (window - count) * background >= need] = value
    return out
