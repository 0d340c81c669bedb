from typing import Any, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from . import Objects

Value = Optional[Union[int, bool]]

def label(x: Any, value: Value = 255, connectivity: int = 6, dtype: npt.DTypeLike = ...,
          recompute: bool = False, out: Any = None) -> Tuple[Any, int]: ...
def objects(x: Any, value: Value = 255, connectivity: int = 6, grey: Any = None) -> Objects: ...
def remove_objects(x: Any, value: Value = 255, min_volume: int = 1, max_volume: int = 2147483647,
                   paint: Union[int, float, bool] = 0, connectivity: int = 6, recompute: bool = False) -> Any: ...
