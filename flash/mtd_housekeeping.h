// Preparing the MTD devices around an update.
#pragma once

// Lines of /proc/mtd that name a partition (0 when unreadable).
int CountMtdPartitions(void);
// Stops the JFFS2 garbage collectors so they do not write while partitions change.
void KillJffs2Gc(void);
// Unlocks the whole NOR device of a NOR layout; failures are only logged.
void UnlockNorFlash(void);
