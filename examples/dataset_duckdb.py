"""Recordings into a Parquet dataset (ahrs-dataset), then a DuckDB query over it.

python examples/dataset_duckdb.py DATASET RECORDING_OR_FOLDER...
"""

import os
import subprocess
import sys

import duckdb


def main(dataset: str, *recordings: str) -> int:
    ahrs_dataset = os.path.join(os.path.dirname(sys.executable), "ahrs-dataset")
    subprocess.run([ahrs_dataset, *recordings, "-o", dataset, "--workers", "1"], check=True)
    relation = duckdb.sql(f"""
        SELECT recording, count(*) AS rows, avg(roll) AS mean_roll_rad
        FROM read_parquet('{dataset}/record=CFEulerAngles/*/*.parquet',
                          hive_partitioning = true, hive_types_autocast = false)
        GROUP BY recording ORDER BY recording
    """)
    assert relation is not None  # a SELECT always gives a relation
    rows = relation.fetchall()
    for recording, count, mean_roll in rows:
        print(f"{recording}: {count} rows, mean roll {mean_roll:.4f} rad")
    return 0 if rows else 1


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
