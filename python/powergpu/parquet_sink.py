"""Result tables as Parquet files (pyarrow), written batch by batch.

``ParquetTableWriter`` is a sink for ``analyze_stream`` with the interface
of ``summary.TableWriter`` (``on_<table>`` methods, ``close(result)``,
``abort()``), so ``powergpu analyze --format parquet`` and the fleet
batches share it.  Every file is written under a hidden temporary name in
its final folder and renamed into place only when all the tables of the
recording are complete: a reader (or a re-run) never meets half a table,
and readers of a folder of Parquet files skip names that start with a dot.

pyarrow is imported on first use, so the plain package does not need it.
"""
from __future__ import annotations

import os
import uuid
from pathlib import Path
from typing import Any, Dict, Iterable, List, Mapping, Optional

__all__ = ["ParquetAppender", "ParquetTableWriter", "PARQUET_FILES", "AT_END", "AGGREGATE_TABLES",
           "require_pyarrow"]

#: Result attribute -> Parquet file name (the CSV names with another suffix).
PARQUET_FILES = (
    ("windows", "windows.parquet"),
    ("half_cycles", "halfcycles.parquet"),
    ("events", "events.parquet"),
    ("harmonics", "harmonics.parquet"),
    ("iec_harmonics", "iec_harmonics.parquet"),
    ("aggregates_3s", "aggregates_3s.parquet"),
    ("aggregates_10min", "aggregates_10min.parquet"),
    ("aggregates_2h", "aggregates_2h.parquet"),
    ("flicker", "flicker.parquet"),
)
#: The tables the analysis hands over whole at its end, taken from the
#: result when the writer closes (the others come batch by batch).
AT_END = {
    "events": lambda result: getattr(result, "events", None),
    "aggregates_3s": lambda result: (getattr(result, "aggregates", None) or {}).get("3s"),
    "aggregates_10min": lambda result: (getattr(result, "aggregates", None) or {}).get("10min"),
    "aggregates_2h": lambda result: (getattr(result, "aggregates", None) or {}).get("2h"),
    "flicker": lambda result: getattr(result, "flicker", None),
}
#: The aggregate tables, as ``--tables aggregates`` names them together.
AGGREGATE_TABLES = ("aggregates_3s", "aggregates_10min", "aggregates_2h")
#: Rows gathered before a row group is written: large groups compress and
#: scan well, and a few MB of pending rows bound the memory.
ROW_GROUP_ROWS = 65536
#: zstd at level 1 with plain (not dictionary) encoding of the numbers: on an
#: hour of half-cycle values and harmonics it writes 3x faster and 30 % smaller
#: than the defaults (dictionary pages of measured floats never pay off).
COMPRESSION = "zstd"
COMPRESSION_LEVEL = 1


def require_pyarrow():
    """The pyarrow module, or an ImportError that says how to install it."""
    try:
        import pyarrow  # noqa: F401
        import pyarrow.parquet  # noqa: F401
    except ImportError:
        raise ImportError("Parquet output needs pyarrow: pip install 'powergpu[batch]' "
                          "(or pip install pyarrow)") from None
    return pyarrow


#: Columns that hold flags, and texts; other untyped columns of an empty
#: table are numbers.
FLAG_COLUMNS = ("ended", "valid", "flagged")
TEXT_COLUMNS = ("type", "phases")


def _typed(df: Any) -> Any:
    """An empty table built from no rows has untyped (object) columns; the
    files of a dataset must agree on types, so they become numbers (or
    flags) as in a table with rows."""
    if len(df) or not any(dt == object for dt in df.dtypes):
        return df
    return df.astype({c: bool if c in FLAG_COLUMNS else "string" if c in TEXT_COLUMNS else "float64"
                      for c, dt in df.dtypes.items() if dt == object})


def _column(series: Any) -> Any:
    import pandas as pd
    import pyarrow as pa

    if isinstance(series.dtype, pd.CategoricalDtype):
        return pa.DictionaryArray.from_arrays(
            series.cat.codes.to_numpy(), pa.array(series.cat.categories.to_numpy()))
    if isinstance(series.dtype, pd.StringDtype) or (series.dtype == object and series.name in TEXT_COLUMNS):
        return pa.array(series.to_numpy(dtype=object), type=pa.string(), from_pandas=True)
    # NaN becomes null, as pandas' own conversion does: "no value" to every reader
    return pa.array(series.to_numpy(), from_pandas=True)


def _to_arrow(df: Any, schema: Any = None) -> Any:
    """The frame as an Arrow table, column by column: several times faster
    than the general pandas conversion on these all-numeric batches, which
    matters when an hour brings ~100 of them."""
    import pyarrow as pa

    df = _typed(df)
    table = pa.Table.from_arrays([_column(df[c]) for c in df.columns],
                                 names=[str(c) for c in df.columns])
    if schema is not None and not table.schema.equals(schema):
        table = table.cast(schema)
    return table


class ParquetAppender:
    """One Parquet table written batch by batch under a temporary name:
    ``append(df)`` per batch, ``finish(df_if_empty)`` to close the file,
    ``commit()`` to rename it into place, ``abort()`` to remove it."""

    def __init__(self, path: "os.PathLike[str] | str") -> None:
        self.path = Path(path)
        self._tmp = self.path.with_name(f".{self.path.name}.{uuid.uuid4().hex[:12]}.tmp")
        self._writer = None
        self._schema = None
        self._pending: List[Any] = []
        self._pending_rows = 0
        self.rows = 0
        self.path.parent.mkdir(parents=True, exist_ok=True)

    def append(self, df: Any) -> None:
        if len(df) == 0 and self._schema is not None:
            return
        table = _to_arrow(df, self._schema)
        if self._schema is None:
            self._schema = table.schema
        if table.num_rows:
            self._pending.append(table)
            self._pending_rows += table.num_rows
        if self._pending_rows >= ROW_GROUP_ROWS:
            self._flush()

    def _flush(self) -> None:
        import pyarrow as pa
        import pyarrow.parquet as pq

        if self._writer is None:
            # dictionaries only where values repeat: categories and texts
            coded = [f.name for f in self._schema
                     if pa.types.is_dictionary(f.type) or pa.types.is_string(f.type)
                     or pa.types.is_large_string(f.type)]
            self._writer = pq.ParquetWriter(self._tmp, self._schema, compression=COMPRESSION,
                                            compression_level=COMPRESSION_LEVEL,
                                            use_dictionary=coded)
        if self._pending_rows:
            table = pa.concat_tables(self._pending)
            self._writer.write_table(table, row_group_size=max(ROW_GROUP_ROWS,
                                                               table.num_rows))
            self.rows += table.num_rows
        self._pending = []
        self._pending_rows = 0

    def finish(self, empty: Any = None) -> None:
        """Writes the last rows and closes the file; ``empty`` (a frame with
        the table's columns) gives the schema of a table that got no batch."""
        if self._schema is None:
            self.append(empty if empty is not None else _empty_frame())
        self._flush()
        self._writer.close()

    def commit(self) -> Path:
        os.replace(self._tmp, self.path)
        return self.path

    def abort(self) -> None:
        if self._writer is not None:
            try:
                self._writer.close()
            except Exception:  # the file goes anyway
                pass
            self._writer = None
        try:
            self._tmp.unlink()
        except OSError:
            pass


def _empty_frame() -> Any:
    import pandas as pd

    return pd.DataFrame()


class ParquetTableWriter:
    """A sink for ``analyze_stream`` writing the result tables as Parquet.

    ``paths`` maps the tables of ``PARQUET_FILES`` ("windows",
    "half_cycles", "events", "harmonics", "iec_harmonics", the aggregates,
    "flicker") to the files to write.  The large tables are appended as
    their batches come; those of ``AT_END`` are taken from the result at the
    end.  ``optional`` names tables of ``AT_END`` that an analysis may not
    produce (flicker below 1600 Hz sampling): they get no file then, where
    the others get one without rows.
    ``close(result)`` completes every file and renames them all into place
    (nothing is renamed if any fails); ``abort()`` removes the temporary
    files.  ``ParquetTableWriter.in_folder(outdir, tables)`` gives the
    files of ``powergpu analyze --format parquet``.
    """

    def __init__(self, paths: Mapping[str, "os.PathLike[str] | str"], *,
                 summary_dir: "Optional[os.PathLike[str] | str]" = None,
                 optional: Iterable[str] = ()) -> None:
        require_pyarrow()
        self._summary_dir = summary_dir
        self._optional = set(optional)
        known = {attr for attr, _ in PARQUET_FILES}
        unknown = set(paths) - known
        if unknown:
            raise ValueError(f"unknown table(s) {', '.join(sorted(unknown))}; "
                             f"known: {', '.join(sorted(known))}")
        self._order = [attr for attr, _ in PARQUET_FILES if attr in paths]
        self._files: Dict[str, ParquetAppender] = {}
        try:
            for attr in self._order:
                self._files[attr] = ParquetAppender(paths[attr])
        except BaseException:
            self.abort()
            raise
        # the analysis converts only the tables that someone takes
        for attr in self._order:
            if attr not in AT_END:
                setattr(self, f"on_{attr}", self._files[attr].append)

    @classmethod
    def in_folder(cls, outdir: "os.PathLike[str] | str", tables: Optional[Iterable[str]] = None,
                  *, aggregates: bool = False) -> "ParquetTableWriter":
        """Files ``windows.parquet``, ``halfcycles.parquet``, ... in ``outdir``;
        ``tables`` as ``--tables`` names them (windows, halfcycles, events,
        harmonics, iec_harmonics; default all but iec_harmonics); with
        ``aggregates`` also the three aggregate tables.  ``flicker.parquet``
        comes whenever the analysis measured flicker."""
        from .summary import DEFAULT_TABLES

        wanted = set(DEFAULT_TABLES if tables is None else tables) | {"flicker"}
        if aggregates:
            wanted |= set(AGGREGATE_TABLES)
        out = Path(outdir)
        out.mkdir(parents=True, exist_ok=True)
        return cls({attr: out / name for attr, name in PARQUET_FILES
                    if name.split(".")[0] in wanted}, summary_dir=out, optional=("flicker",))

    def close(self, result: Any, *, extra: Optional[Mapping[str, Any]] = None) -> List[Path]:
        """Completes and renames every file; with ``summary_dir`` also
        writes summary.json there (with ``extra``).  Returns the paths."""
        try:
            written = []
            for attr in self._order:
                frame = AT_END[attr](result) if attr in AT_END else getattr(result, attr, None)
                if attr in self._optional and (frame is None or len(frame) == 0):
                    self._files[attr].abort()
                    continue
                if attr in AT_END and frame is not None:
                    self._files[attr].append(frame)
                self._files[attr].finish(frame)
                written.append(attr)
            paths = [self._files[attr].commit() for attr in written]
        except BaseException:
            self.abort()
            raise
        if self._summary_dir is not None:
            from .summary import write_summary

            paths.append(write_summary(result, self._summary_dir, extra=extra))
        return paths

    def abort(self) -> None:
        for appender in self._files.values():
            appender.abort()
