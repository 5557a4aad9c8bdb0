"""An item memory larger than one process: its rows kept in shards on the
workers of a Dask cluster, searched with answers equal to one ItemMemory's.

    python examples/dask_sharded.py                  # a local cluster of two workers
    python examples/dask_sharded.py tcp://HOST:8786  # the same code on a running cluster

Everything the workers run lives in the installed package (tessarin.dask), so
this script can be imported from anywhere and nothing is uploaded to them.
"""
from __future__ import annotations

import sys

import numpy as np

import tessarin
from tessarin.dask import ShardedItemMemory

DIM = 1024


def sharded_and_single(client, rows: int = 100_000, seed: int = 11):
    """A codebook of `rows` random rows plus three named rows, held in shards
    on the workers and in one ItemMemory here; both answer three noisy
    queries. Returns both answers and the index of the first named row."""
    names = tessarin.hash_strings(["red", "green", "blue"], DIM)
    noisy = np.asarray(names).copy()
    noisy[:, :300] *= -1  # 30 % of each name's components flipped
    with ShardedItemMemory(client, DIM) as memory:
        memory.add_bipolar(rows, seed)   # made on the workers from the seed: no row crosses the network
        first = memory.add(names)        # bipolar rows travel as bits
        sharded = memory.search(noisy, 3)
    one = tessarin.ItemMemory(DIM)
    one.add(tessarin.random_bipolar(rows, DIM, seed))
    one.add(names)
    return sharded, one.search(noisy, 3), first


def main(address: str | None = None) -> None:
    from dask.distributed import Client, LocalCluster

    cluster = None if address else LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                                host="127.0.0.1", dashboard_address=None)
    with Client(address or cluster) as client:
        (scores, indices), (one_scores, one_indices), first = sharded_and_single(client)
        assert np.asarray(scores).tobytes() == np.asarray(one_scores).tobytes()
        assert np.asarray(indices).tobytes() == np.asarray(one_indices).tobytes()
        print(f"best matches {np.asarray(indices)[:, 0].tolist()} (the names are rows {first} to {first + 2}), "
              f"scores {np.asarray(scores)[:, 0].tolist()}: the same bytes as one ItemMemory")
    if cluster is not None:
        cluster.close()


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else None)
