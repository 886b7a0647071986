"""Argument descriptors, and filling a command's fields from the words of its line."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable, Sequence


@dataclass(frozen=True)
class DArg:
    """One argument of a command line.

    A plain name takes one word into the field of that name; a name with a
    leading "*" takes the list of all remaining words. `convert` is applied to
    each word before it is stored.
    """

    name: str
    convert: Callable[[str], Any] | None = None
    desc: str = ""

    @property
    def field(self) -> str:
        return self.name.lstrip("*")

    @property
    def takes_rest(self) -> bool:
        return self.name.startswith("*")

    def _converted(self, word: str) -> Any:
        return self.convert(word) if self.convert else word


class UsageError(ValueError):
    """The words of a command line do not fit the command's arguments."""


def usage(command_word: str, argmap: Sequence[DArg]) -> str:
    parts = [command_word]
    for arg in argmap:
        parts.append(f"[{arg.field}...]" if arg.takes_rest else f"<{arg.field}>")
    return " ".join(parts)


def fill_arguments(op: Any, command_word: str, words: Sequence[str]) -> None:
    """Set the fields of `op` from `words` through its argmap()."""
    argmap = op.argmap()
    remaining = list(words)
    for arg in argmap:
        if arg.takes_rest:
            setattr(op, arg.field, [arg._converted(word) for word in remaining])
            remaining = []
        elif remaining:
            setattr(op, arg.field, arg._converted(remaining.pop(0)))
        else:
            raise UsageError(
                f"{command_word}: missing <{arg.field}>; usage: {usage(command_word, argmap)}"
                f" (try 'help {command_word}')"
            )
    if remaining:
        raise UsageError(
            f"{command_word}: unexpected words {' '.join(remaining)}; "
            f"usage: {usage(command_word, argmap)}"
        )
