"""The private redis-server that shared-cache tests run against: password, crash and restart."""

import subprocess

import pytest


def test_a_private_server_wants_its_password_and_comes_back_on_its_port(start_redis_server):
    server = start_redis_server(password="desk-s3cret")
    assert server.url(2) == f"redis://:desk-s3cret@127.0.0.1:{server.port}/2"
    assert server.command("SET", "veltrax:kline:k", "v") == "OK"
    assert server.command("GET", "veltrax:kline:k") == "v"
    without_password = subprocess.run(["redis-cli", "-p", str(server.port), "GET", "veltrax:kline:k"],
                                      capture_output=True, text=True, check=True)
    assert without_password.stdout.startswith("NOAUTH")

    port = server.port
    server.kill()
    with pytest.raises(RuntimeError, match="Could not connect"):
        server.command("PING")
    server.start()
    assert (server.port, server.command("PING")) == (port, "PONG")
    # Nothing is kept across a crash: the cache it stands for starts empty.
    assert server.command("DBSIZE") == "0"
