// Carries the version resource of version_probe.rc; does nothing when run.
int wmain() { return 0; }
