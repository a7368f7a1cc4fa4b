"""The package's dealings with the operating system: child programs, media probes, files."""
