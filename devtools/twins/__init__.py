"""The library's rules written out in plain Python: the references that the
tests, the fuzz targets and the benchmarks compare the native code with."""
