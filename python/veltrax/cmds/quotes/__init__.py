"""Commands of the Live Market Quotes category."""
