// Drive discovery and activation in the drive's text command mode: probing addresses, and
// switching the drive into its boot-loader mode with the prompt, the password and Orrim.
#pragma once

namespace vantor {

// The character that stands for a command-mode address: "0" to "9", then "A" to "V".
char AddressCharacter(int address);

int TryAddress(int address);
int SeekDrives();
int FindSingleDrive();
int EnterBootMode();
int ActivateBySeeking();
int ActivateAtAddress(int address);

}  // namespace vantor
