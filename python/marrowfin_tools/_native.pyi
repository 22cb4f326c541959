"""The native table builder of marrowfin_tools."""

import os
from typing import Any, final

@final
class PriceTable:
    """The price table of a loaded recording, read through the Arrow PyCapsule interface."""

    @property
    def depth(self) -> int: ...
    @property
    def every_book(self) -> bool: ...
    def __arrow_c_stream__(self, /, requested_schema: object | None = None) -> Any: ...
    def __arrow_c_schema__(self, /) -> Any: ...

def price_table(
    path: str | bytes | os.PathLike[str] | os.PathLike[bytes], depth: int = 3, every_book: bool = False
) -> PriceTable: ...

def set_decoded_limit(limit: int, /) -> int: ...
