// The device's signature policy: the trusted public keys of one folder decide
// whether packages must be signed.
#pragma once

#include <cstdint>

// Trusted public keys ("*.pem") live here. No folder or an empty one: the
// updater takes unsigned packages exactly as it always did.
#ifndef UPDATE_KEY_DIR
#define UPDATE_KEY_DIR "/etc/update/keys"
#endif

// Set by the session before any package is looked at.
void SetTrustedKeyDir(const char *pszDir);
// True when the folder holds at least one key (or cannot be read: a device
// whose keys are damaged does not fall back to unsigned packages).
bool PacketsMustBeSigned();

// With trusted keys: checks the local package (a regular file of root's, not
// writable by others, not a link) in one pass for signature and checksum,
// logs the outcome and remembers the file's identity and checksum. Returns 0
// (also without keys, without reading anything) or UPDATE_ERR_SIGNATURE.
int VerifyPacketSignature(const char *pszPath);

// The checksum the verifying pass computed, when pszPath is still the very
// file it read: true and *pulCrc, else false.
bool VerifiedPacketCrc(int lFd, uint32_t *pulCrc);

// Before a tool reads the package by its path: 0 when nothing was verified
// or the path still names the verified file, -1 (logged) when it was swapped.
int CheckVerifiedPacket(const char *pszPath);
