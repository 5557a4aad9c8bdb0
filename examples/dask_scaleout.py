"""Spreading work over processes with Dask's distributed scheduler.

Every result of tessarin_hdc is the same bits in every process, so workers
encode what they need from names alone, and an engine built once is shipped to
them whole (pickled as its snapshot): the combined answers equal those of a
single process exactly.

    python examples/dask_scaleout.py                  # a local cluster of two workers
    python examples/dask_scaleout.py tcp://HOST:8786  # the same code on a running cluster
"""
from __future__ import annotations

import sys

import numpy as np

import tessarin
import tessarin_hdc as hdc

DIM = 2048


def encode_sentences(sentences: list[str], dim: int = DIM) -> np.ndarray:
    """Each sentence as the sign of the sum of its words' vectors, each word
    rotated by its position; the word vectors come from hv_hash_string, so every
    process makes the same codebook without being sent one."""
    rows = []
    for sentence in sentences:
        words = [hdc.hdc_permute(hdc.hv_hash_string(w, dim), i) for i, w in enumerate(sentence.split())]
        rows.append(np.sign(np.sum(np.asarray(words, dtype=np.float32), axis=0)))
    return np.asarray(rows, dtype=np.float32).reshape(len(sentences), dim)


def encode_on_cluster(client, sentences: list[str], chunks: int) -> np.ndarray:
    """Data-parallel encoding: one task per chunk, results stacked in order."""
    parts = np.array_split(np.arange(len(sentences)), chunks)
    futures = client.map(encode_sentences, [[sentences[i] for i in part] for part in parts], pure=False)
    return np.concatenate(client.gather(futures))


def build_memory(events: list[tuple[str, str, str]], dim: int = DIM) -> tessarin.CausalMemory:
    """The engine, built once in this process. Pickling it writes its snapshot
    (out of band at protocol 5), which is how Dask ships it to workers."""
    memory = tessarin.CausalMemory(dim)
    for cause, effect, time in events:
        memory.store(hdc.hv_hash_string(cause, dim), hdc.hv_hash_string(effect, dim), hdc.hv_hash_string(time, dim))
    return memory


def answer(memory: tessarin.CausalMemory, causes: list[str], dim: int = DIM) -> list[list[float] | None]:
    found = (memory.query_effect(hdc.hv_hash_string(c, dim)) for c in causes)
    return [None if effect is None else effect.tolist() for effect in found]


def serve_on_replicas(client, memory: tessarin.CausalMemory, queries: list[str],
                      replicas: int) -> list[list[float] | None]:
    """Query serving: the built engine goes to every worker once (a replica
    each, rebuilt from its snapshot bit for bit), and each task answers its
    share of the batch; the answers come back in order."""
    workers = list(client.scheduler_info()["workers"])
    shipped = client.scatter(memory, broadcast=True)
    shares = np.array_split(np.arange(len(queries)), replicas)
    pending = [client.submit(answer, shipped, [queries[i] for i in share], pure=False,
                             workers=[workers[k % len(workers)]]) for k, share in enumerate(shares)]
    return [a for future in pending for a in future.result()]


def example_data(n: int = 400) -> tuple[list[str], list[tuple[str, str, str]], list[str]]:
    sentences = [f"sensor {i % 17} reports {i % 5} alarms at site {i % 11}" for i in range(n)]
    events = [(f"cause {i}", f"effect {i % 40}", f"t{i}") for i in range(200)]
    # Causes 0, 3, ..., 198 were stored and 201, ..., 399 never were: 67 of each.
    # Every query still gets an effect back, never None. An unknown cause
    # misses the exact index, and the fallback scores all 200 records against
    # the trace unbound by that cause: noise around zero, whose best of 200 is
    # above zero unless every single score is at or below it. That answer is a
    # stored effect chosen by noise; where the caller must tell, keep the set of
    # stored causes beside the memory and ask it first.
    queries = [f"cause {i}" for i in range(0, 400, 3)]
    return sentences, events, queries


def main(address: str | None = None) -> None:
    from dask.distributed import Client, LocalCluster

    sentences, events, queries = example_data()
    cluster = None if address else LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                                host="127.0.0.1", dashboard_address=None)
    with Client(address or cluster) as client:
        spread = encode_on_cluster(client, sentences, chunks=8)
        assert np.array_equal(spread, encode_sentences(sentences))
        print(f"{len(sentences)} sentences encoded on {len(client.scheduler_info()['workers'])} workers: "
              "the same bits as in this process")

        memory = build_memory(events)
        served = serve_on_replicas(client, memory, queries, replicas=2)
        assert served == answer(memory, queries)
        print(f"{len(queries)} queries answered by 2 shipped replicas: the same answers as one engine")
    if cluster is not None:
        cluster.close()


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else None)
