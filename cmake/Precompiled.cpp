// The translation unit that compiles the precompiled headers (see CMakeLists.txt).
