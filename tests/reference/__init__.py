"""Plain-Python renditions of the module's readers and writers, for
differential tests."""
