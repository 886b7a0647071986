"""What sits between the commands and the market: the broker gateway and the bar cache."""
