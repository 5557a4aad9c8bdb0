"""Scale-out on Dask (examples/dask_scaleout.py): what worker processes compute
equals what one process computes, bit for bit."""
import pathlib
import sys

import pytest

distributed = pytest.importorskip("distributed")
np = pytest.importorskip("numpy")
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
import dask_scaleout as example  # noqa: E402


@pytest.fixture(scope="module")
def client():
    import cloudpickle

    # The workers cannot import the example by name; its functions travel by value.
    cloudpickle.register_pickle_by_value(example)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as c:
        yield c


def test_encoding_spread_over_workers_equals_one_process(client):
    sentences, _, _ = example.example_data(120)
    assert np.array_equal(example.encode_on_cluster(client, sentences, chunks=5), example.encode_sentences(sentences))


def test_replicas_answer_as_one_engine(client):
    _, events, queries = example.example_data()
    local = example.CausalReplica()
    local.build(events)
    assert example.serve_on_replicas(client, events, queries, replicas=3) == local.answer(queries)
    local.release()
