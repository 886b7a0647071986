"""The shell's commands, one module per command, grouped by category."""
