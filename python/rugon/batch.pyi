# Type stubs of rugon.batch.
import os
from typing import Any, Iterable

StrPath = str | bytes | os.PathLike[str] | os.PathLike[bytes]

class Batch:
    columns: list[str]
    rows: list[list[int | float | str | None]]
    images: list[dict[str, Any]]
    settings: dict[str, Any]
    @property
    def measured(self) -> int: ...
    def summary_csv(self) -> str: ...
    def report(self) -> dict[str, Any]: ...
    def to_frame(self) -> Any: ...
    def write(self, folder: StrPath) -> tuple[str, str]: ...

def analyse_files(
    files: StrPath | Iterable[StrPath],
    client: Any = None,
    *,
    workers: int | None = None,
    progress: bool = False,
    **settings: Any,
) -> Batch: ...
def analyse_serially(files: StrPath | Iterable[StrPath], **settings: Any) -> Batch: ...
def main(argv: list[str] | None = None) -> int: ...
