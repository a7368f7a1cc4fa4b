"""What a recap is made of: its segments, parsed and checked once."""
