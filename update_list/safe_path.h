// The rule every path from the update list must pass before it touches the disk.
#pragma once

#include <cstddef>

// True for a relative path of 1..240 bytes of well-formed UTF-8 that cannot leave the game
// folder and names no drive, stream, device or refused byte.
bool is_safe_relative_path(const char* path, size_t length);

// True for a name Windows opens as a device, not a file, whatever extension follows: con, prn,
// aux, nul, com1-com9, lpt1-lpt9, in any letter case, blanks and dots after the stem ignored
// ("CON .txt", "nul.").
bool is_windows_device_name(const char* name, size_t length);

// True for a name of the files the launcher keeps beside the game for itself (launcher.ini,
// launcher.cache, launcher.release, launcher.switch, launcher.installed, launcher.keys and their
// .tmp files), as Windows names them: in any letter case, with the trailing dots and blanks it
// drops. No list entry or deletion may name one: it could change the launcher's settings, vouch
// for files in its cache, take back its record of accepted releases or of the keys it trusts,
// or steer a switch.
bool is_launcher_own_file(const char* path, size_t length);
