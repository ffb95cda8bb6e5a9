// Keeps a library valid while a folder holds no source yet.
