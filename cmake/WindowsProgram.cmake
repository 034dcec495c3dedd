# Windows-only parts of the program: resources, manifest, static runtime
