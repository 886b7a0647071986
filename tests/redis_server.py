"""A private redis-server for tests: a free loopback port, its own directory, no persistence.

It can be killed (SIGKILL, as a crash would) and started again on the same port, or frozen (SIGSTOP,
as a hung server or a lost network would leave it) and let go on, so a test can take the shared
cache away from a running shell and give it back.
"""

from __future__ import annotations

import shutil
import signal
import socket
import subprocess
import time
from pathlib import Path


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _program(name: str) -> str:
    found = shutil.which(name) or (f"/usr/bin/{name}" if Path(f"/usr/bin/{name}").exists() else None)
    if found is None:
        raise RuntimeError(f"{name} not found on PATH or in /usr/bin: `make test` installs the Debian package redis-server")
    return found


class RedisServer:
    def __init__(self, directory: Path, password: str | None = None) -> None:
        self.directory = Path(directory)
        self.directory.mkdir(parents=True, exist_ok=True)
        self.password = password
        self.port = 0
        self._process: subprocess.Popen | None = None
        # Another process may take the free port before the server binds it.
        for attempt in range(5):
            self.port = free_port()
            try:
                self.start()
                break
            except RuntimeError:
                if attempt == 4:
                    raise

    def url(self, db: int = 0) -> str:
        credentials = f":{self.password}@" if self.password else ""
        return f"redis://{credentials}127.0.0.1:{self.port}/{db}"

    @property
    def running(self) -> bool:
        return self._process is not None and self._process.poll() is None

    def start(self) -> None:
        """Starts the server (again, on the same port); nothing if it runs."""
        if self.running:
            return
        arguments = [_program("redis-server"), "--port", str(self.port), "--bind", "127.0.0.1",
                     "--dir", str(self.directory), "--logfile", "redis.log", "--save", "",
                     "--appendonly", "no", "--daemonize", "no"]
        if self.password:
            arguments += ["--requirepass", self.password]
        self._process = subprocess.Popen(arguments, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not self._answers():
            if self._process.poll() is not None or time.monotonic() > deadline:
                self.kill()
                log = self.directory / "redis.log"
                raise RuntimeError(f"redis-server did not start on port {self.port}:\n"
                                   + (log.read_text() if log.exists() else ""))
            time.sleep(0.01)

    def kill(self) -> None:
        """SIGKILL: gone at once, as a crash or an OOM kill would leave it."""
        if self._process is not None:
            self._process.kill()
            self._process.wait()
            self._process = None

    def restart(self) -> None:
        self.kill()
        self.start()

    def freeze(self) -> None:
        """SIGSTOP: connections are still accepted by the kernel, and nothing is ever answered."""
        self._process.send_signal(signal.SIGSTOP)

    def thaw(self) -> None:
        self._process.send_signal(signal.SIGCONT)

    def set_bytes(self, key: str, value: bytes) -> None:
        """SET with a value of any bytes (redis-cli's arguments cannot hold a NUL), as a hostile client would."""
        def bulk(part: bytes) -> bytes:
            return b"$%d\r\n%s\r\n" % (len(part), part)

        def command(*parts: bytes) -> bytes:
            return b"*%d\r\n" % len(parts) + b"".join(bulk(part) for part in parts)

        requests = [command(b"AUTH", self.password.encode())] if self.password else []
        requests.append(command(b"SET", key.encode(), value))
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as connection:
            connection.sendall(b"".join(requests))
            replies = b""
            while replies.count(b"\r\n") < len(requests):
                replies += connection.recv(4096) or b"closed"
        if replies != b"+OK\r\n" * len(requests):
            raise RuntimeError(f"SET {key} failed: {replies!r}")

    def command(self, *arguments: str) -> str:
        """One command through redis-cli, as another client of the desk would send it."""
        authenticate = ["-a", self.password, "--no-auth-warning"] if self.password else []
        done = subprocess.run([_program("redis-cli"), "-p", str(self.port), *authenticate, *arguments],
                              capture_output=True, text=True, timeout=10)
        if done.returncode != 0:
            raise RuntimeError(f"redis-cli failed: {done.stderr.strip()}")
        return done.stdout.strip()

    def _answers(self) -> bool:
        # Any reply means it serves: +PONG, or -NOAUTH when it wants a password.
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=1) as connection:
                connection.sendall(b"PING\r\n")
                return connection.recv(64)[:1] in (b"+", b"-")
        except OSError:
            return False

    def __enter__(self) -> RedisServer:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.kill()
