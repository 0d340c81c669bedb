import numpy as np
import pytest


def random_volume(rng, shape, levels=256, p=None):
    """uint8 volume: uniform grey values below levels, or a two-valued
    (255 / 0) mask with object probability p, smoothed into blobs."""
    if p is None:
        return rng.integers(0, levels, shape, dtype=np.uint8)
    noise = rng.random(shape)
    # A 3-voxel box average makes blobs of many sizes instead of specks only.
    blur = sum(np.roll(noise, s, axis) for axis in range(3) for s in (-1, 0, 1)) / 9
    return np.where(blur < np.quantile(blur, p), 255, 0).astype(np.uint8)


# Odd, non-cubic shapes catch swapped axes; thin ones the edges.
SHAPES = [(1, 1, 1), (7, 5, 3), (3, 5, 7), (2, 9, 4), (11, 13, 17), (16, 1, 23), (20, 18, 19)]


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)
