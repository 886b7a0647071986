"""veltrax: an interactive market-data and trading shell."""
