// Preloaded into logharvest (LD_PRELOAD) to measure a run without the sync
// that precedes every batch of deletions: fdatasync and fsync succeed at
// once without reaching the disk. For the benchmark only.

extern "C" int fdatasync(int) { return 0; }
extern "C" int fsync(int) { return 0; }
