"""Writes the demo pool: data/demo_detections.npz as a Parquet table, one row
per detection, the way a detector's output is usually stored.

Usage: make_demo_pool.py OUT.parquet
"""

import sys
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

DATA = Path(__file__).resolve().parent.parent / "data" / "demo_detections.npz"


def main() -> None:
    out = Path(sys.argv[1])
    with np.load(DATA) as data:
        boxes, probs = data["boxes"], data["probs"]
        table = pa.table({
            "image": np.repeat(data["names"], data["counts"]).tolist(),
            "x_min": boxes[:, 0], "y_min": boxes[:, 1], "x_max": boxes[:, 2], "y_max": boxes[:, 3],
            "class_probabilities": pa.FixedSizeListArray.from_arrays(probs.reshape(-1), probs.shape[1]),
            "uncertainty": data["unc"],
            "scale": data["scales"],
        })
    out.parent.mkdir(parents=True, exist_ok=True)
    pq.write_table(table.cast(table.schema.set(5, pa.field("class_probabilities", pa.list_(pa.float32())))),
                   out, row_group_size=1024)
    print(f"wrote {out}: {table.num_rows} detections of {len(set(table['image'].to_pylist()))} images")


if __name__ == "__main__":
    main()
