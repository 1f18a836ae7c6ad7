"""Plain-Python renditions of the model (bag.py) and of the module's readers
and writers, for differential tests."""
