// Compiles the test programs' shared precompiled header once; the programs reuse it.
