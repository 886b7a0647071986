"""The command framework: the IOp base class and the registry of command words."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable, ClassVar, TypeVar

from corbel.dispatch import DArg

Op = TypeVar("Op", bound=type)

# Command word to command class, filled by @command as command modules load.
COMMANDS: dict[str, type[IOp]] = {}


@dataclass
class IOp:
    """One invocation of a shell command.

    The shell creates an object per command line with its state and broker
    client, fills the fields named by argmap(), and awaits run().
    """

    state: Any
    ib: Any

    # Offered only while the broker gateway is connected, unless a command says otherwise.
    requires_gateway: ClassVar[bool] = True

    def argmap(self) -> list[DArg]:
        return []

    async def run(self) -> Any:
        raise NotImplementedError(f"{type(self).__name__} has no run()")


def command(*, names: list[str]) -> Callable[[Op], Op]:
    """Register the decorated command class under each of `names`."""

    def register(cls: Op) -> Op:
        for name in names:
            COMMANDS[name] = cls
        return cls

    return register
