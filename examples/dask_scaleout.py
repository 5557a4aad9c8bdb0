"""Spreading work over processes with Dask's distributed scheduler.

Every result of tessarin is the same bits in every process, so workers make
the vectors they need from names alone, and an engine built once is shipped
to them whole (as its snapshot): the combined answers equal those of a single
process exactly.

    python examples/dask_scaleout.py                  # a local cluster of two workers
    python examples/dask_scaleout.py tcp://HOST:8786  # the same code on a running cluster

The workers run only functions of the installed package (tessarin and
tessarin.dask), so this script can be imported from anywhere and nothing is
uploaded to them.
"""
from __future__ import annotations

import sys

import numpy as np

import tessarin
import tessarin.dask as tdask

DIM = 2048
FIELDS = ["sensor", "alarms", "site"]


def encode_records(values: list[str], choices: np.ndarray, dim: int = DIM) -> np.ndarray:
    """Record i binds each field's vector to the vector of its value,
    values[choices[i][field]], and bundles the bindings. Every vector comes
    from hash_strings, so every process makes the same codebook from the
    names without being sent one."""
    return np.asarray(tessarin.bind_bundle(tessarin.hash_strings(FIELDS, dim), tessarin.hash_strings(values, dim),
                                           choices))


def encode_on_cluster(client, values: list[str], choices: np.ndarray, chunks: int, dim: int = DIM) -> np.ndarray:
    """Data-parallel encoding: the codebooks are made once on the cluster and
    move between workers as the tasks need them; one task per chunk of
    records, the results stacked in order."""
    keys = client.submit(tessarin.hash_strings, FIELDS, dim)
    codebook = client.submit(tessarin.hash_strings, values, dim)
    parts = [client.submit(tessarin.bind_bundle, keys, codebook, part, pure=False)
             for part in np.array_split(choices, chunks)]
    return np.concatenate(client.gather(parts))


def build_memory(events: list[tuple[str, str, str]], dim: int = DIM) -> tessarin.CausalMemory:
    """The engine, built once in this process. Pickling it writes its snapshot
    (out of band at protocol 5), which is how it reaches the workers."""
    memory = tessarin.CausalMemory(dim)
    for cause, effect, time in events:
        rows = np.asarray(tessarin.hash_strings([cause, effect, time], dim))
        memory.store(rows[0], rows[1], rows[2])
    return memory


def answer(memory: tessarin.CausalMemory, causes: list[str], dim: int = DIM) -> list[list[float] | None]:
    found = (memory.query_effect(c) for c in np.asarray(tessarin.hash_strings(causes, dim)))
    return [None if effect is None else np.asarray(effect).tolist() for effect in found]


def serve_on_replicas(client, memory: tessarin.CausalMemory, queries: list[str], replicas: int,
                      dim: int = DIM) -> list[list[float] | None]:
    """Query serving: the built engine goes to every worker once (a replica
    each, rebuilt from its snapshot bit for bit), and `replicas` tasks answer
    a share of the batch each; the answers come back in order."""
    shipped = tdask.replicate(client, memory)
    found = tdask.ask_replicas(client, shipped, "query_effect", np.asarray(tessarin.hash_strings(queries, dim)),
                               tasks=replicas)
    return [None if effect is None else effect.tolist() for effect in found]


def example_data(n: int = 400) -> tuple[tuple[list[str], np.ndarray], list[tuple[str, str, str]], list[str]]:
    # n sensor reports, each a value for each of FIELDS: the value names, and
    # each record's choice of value per field.
    values = [f"sensor {i}" for i in range(17)] + [f"{i} alarms" for i in range(5)] + [f"site {i}" for i in range(11)]
    choices = np.array([[i % 17, 17 + i % 5, 22 + i % 11] for i in range(n)], dtype=np.int64)
    events = [(f"cause {i}", f"effect {i % 40}", f"t{i}") for i in range(200)]
    # Causes 0, 3, ..., 198 were stored and 201, ..., 399 never were: 67 of each.
    # Every query still gets an effect back, never None. An unknown cause
    # misses the exact index, and the fallback scores all 200 records against
    # the trace unbound by that cause: noise around zero, whose best of 200 is
    # above zero unless every single score is at or below it. That answer is a
    # stored effect chosen by noise; where the caller must tell, keep the set of
    # stored causes beside the memory and ask it first.
    queries = [f"cause {i}" for i in range(0, 400, 3)]
    return (values, choices), events, queries


def main(address: str | None = None) -> None:
    from dask.distributed import Client, LocalCluster

    (values, choices), events, queries = example_data()
    cluster = None if address else LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                                host="127.0.0.1", dashboard_address=None)
    with Client(address or cluster) as client:
        spread = encode_on_cluster(client, values, choices, chunks=8)
        assert spread.tobytes() == encode_records(values, choices).tobytes()
        print(f"{len(choices)} records encoded on {len(client.scheduler_info()['workers'])} workers: "
              "the same bits as in this process")

        memory = build_memory(events)
        served = serve_on_replicas(client, memory, queries, replicas=2)
        assert served == answer(memory, queries)
        print(f"{len(queries)} queries answered by shipped replicas: the same answers as one engine")
    if cluster is not None:
        cluster.close()


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else None)
