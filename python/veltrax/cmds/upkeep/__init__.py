"""Commands that look after the shell's own data."""
