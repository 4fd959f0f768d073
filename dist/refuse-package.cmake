# Read by CPack when the build names DRIVORO_EXTRA_CA_FILE (dist/packaging.cmake).
message(FATAL_ERROR "This build trusts an extra certificate authority (DRIVORO_EXTRA_CA_FILE, "
    "set by scripts/run for the demonstration); packages are made from a build without it: "
    "configure with -DDRIVORO_EXTRA_CA_FILE= (scripts/test does).")
