// Entries of the built-in flash applets; each returns the process exit status.
#pragma once

int FlashcpMain(int argc, char *argv[]);
int FlashEraseallMain(int argc, char *argv[]);
