"""Voices and the timing of their words."""
