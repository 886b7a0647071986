"""Host utilities shared by the shell's commands: argument descriptors and the table printer."""

from corbel.dispatch import DArg
from corbel.frame import printFrame

__all__ = ["DArg", "printFrame"]
