// The few calls whose form depends on the operating system.
#pragma once

#include <string>

// Folder of the address discovery result file. On Windows the fixed
// "C:\ProgramData\Kestrelon\Lumo_App"; elsewhere
// ${XDG_STATE_HOME:-$HOME/.local/state}/Kestrelon/Lumo_App.
std::string result_directory();

// result_directory() followed by the separator and "stunResult.log".
std::string result_file_path();

// Creates a folder with its missing parents; false on failure (an existing
// folder is success).
bool make_directories(const std::string &path);

// Removes a file through the filesystem library (never a shell); false on failure.
bool remove_file(const std::string &path);

// Identifier of this process (the ICMP echo identifier).
int process_id();
