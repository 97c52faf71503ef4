"""Servers the tests start as processes of their own on 127.0.0.1, one per
session: an S3-compatible store (moto's) and a Dask scheduler with two workers."""

import importlib.util
import json
import os
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

BIN = Path(sys.executable).parent


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(ready, what, process, timeout=60):
    deadline = time.monotonic() + timeout
    while not ready():
        if process.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError(f"{what} did not start (status {process.poll()})")
        time.sleep(0.1)


def stop(processes):
    # Nothing of theirs outlives the session; a graceful Dask shutdown takes seconds.
    for process in processes:
        process.kill()
    for process in processes:
        process.wait()


@pytest.fixture(scope="session")
def s3_store(tmp_path_factory):
    """An S3 server that checks credentials: the environment variables that
    reach it, with a bucket 'pool' made."""
    pytest.importorskip("moto", reason="moto's server comes with the s3server extra")
    import boto3

    port = free_port()
    endpoint = f"http://127.0.0.1:{port}"
    # Its first three requests make the user whose keys every later one must carry.
    server = subprocess.Popen([BIN / "moto_server", "-H", "127.0.0.1", "-p", str(port)],
                              env={**os.environ, "INITIAL_NO_AUTH_ACTION_COUNT": "3"},
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        def listening():
            with socket.socket() as probe:
                return probe.connect_ex(("127.0.0.1", port)) == 0

        wait_for(listening, "moto_server", server)
        iam = boto3.client("iam", endpoint_url=endpoint, region_name="us-east-1", aws_access_key_id="setup",
                           aws_secret_access_key="setup")
        iam.create_user(UserName="kiv")
        key = iam.create_access_key(UserName="kiv")["AccessKey"]
        iam.put_user_policy(UserName="kiv", PolicyName="all", PolicyDocument=json.dumps({
            "Version": "2012-10-17", "Statement": [{"Effect": "Allow", "Action": "*", "Resource": "*"}]}))
        env = {"AWS_ENDPOINT_URL": endpoint, "AWS_ACCESS_KEY_ID": key["AccessKeyId"],
               "AWS_SECRET_ACCESS_KEY": key["SecretAccessKey"], "AWS_REGION": "us-east-1",
               "AWS_EC2_METADATA_DISABLED": "true"}
        store(env, allow_bucket_creation=True).create_dir("pool")
        yield env
    finally:
        stop([server])


def store(env, **options):
    """A pyarrow filesystem on the test server."""
    from pyarrow import fs

    return fs.S3FileSystem(endpoint_override=env["AWS_ENDPOINT_URL"], access_key=env["AWS_ACCESS_KEY_ID"],
                           secret_key=env["AWS_SECRET_ACCESS_KEY"], region=env["AWS_REGION"], **options)


@pytest.fixture(scope="session")
def dask_cluster(request, tmp_path_factory):
    """A scheduler and two single-threaded workers, which reach the S3 server
    where there is one; yields the scheduler's address and a function that
    starts one more worker."""
    pytest.importorskip("distributed")
    folder = tmp_path_factory.mktemp("dask")
    port = free_port()
    address = f"tcp://127.0.0.1:{port}"
    s3 = request.getfixturevalue("s3_store") if importlib.util.find_spec("moto") else {}
    env = {**os.environ, **s3}
    processes = [subprocess.Popen([BIN / "dask", "scheduler", "--host", "127.0.0.1", "--port", str(port),
                                   "--no-dashboard"], env=env, cwd=folder, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)]

    def add_worker(*options):
        with open(folder / f"worker-{len(processes)}.log", "wb") as log:
            processes.append(subprocess.Popen([BIN / "dask", "worker", address, "--nthreads", "1",
                                               "--no-dashboard", "--no-nanny", "--host", "127.0.0.1", *options],
                                              env=env, cwd=folder, stdout=log, stderr=log))
        return processes[-1]

    try:
        from distributed import Client

        add_worker()
        add_worker()
        with Client(address, timeout=60) as client:
            client.wait_for_workers(2, timeout=60)
        yield address, add_worker, folder
    finally:
        stop(processes)
