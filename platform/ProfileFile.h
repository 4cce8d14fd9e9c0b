#pragma once
// Profile (INI) files: the small "[section] / key=value" text files in which
// the address book and the call history are kept beside the program.
//
// Semantics follow what the callers expect of the classic profile calls:
//   - section and key names match without regard to ASCII letter case; the
//     first section and the first key of a given name win;
//   - a missing file, section or key reads as the caller's default;
//   - writing a key creates the file and the section as needed;
//   - writing with no value removes the key, writing with no key removes the
//     whole section.
//
// What is different, on purpose:
//   - values are kept byte for byte: no trimming of blanks, no quote
//     stripping, and no length limit, so a value reads back exactly as it
//     was written however long it is;
//   - every change rewrites the file through a temporary file in the same
//     folder that is flushed and then renamed over the old one, so a crash
//     mid-write leaves either the old or the new file, never half of one;
//   - a value, key or section that would break the line format (line
//     breaks, a key containing '=' or starting with '[' or ';', a section
//     containing ']') is refused instead of being written.
//
// All functions are safe to call from several threads at once; changes to
// one file are serialised within the process.
#include <string>
#include <utility>
#include <vector>

namespace qf::platform {

// Reads a value. Returns true and fills value when the key exists (even when
// its value is empty); otherwise value := def and returns false.
bool GetPrivateProfileString(const std::string& section, const std::string& key, const std::string& def,
                             std::string& value, const std::string& path);

// Convenience form: the value, or def when the key is missing.
std::string GetPrivateProfileString(const std::string& section, const std::string& key, const std::string& def,
                                    const std::string& path);

// Writes, removes a key (value == nullptr) or removes a section
// (key == nullptr). Returns true on success. Removing something that is not
// there succeeds without touching the file.
bool WritePrivateProfileString(const std::string& section, const char* key, const char* value,
                               const std::string& path);

// Writes several keys of one section with a single rewrite of the file
// (same rules as above for each pair; any invalid pair refuses the whole
// call). Keys new to the section are added in the given order.
bool WritePrivateProfileStrings(const std::string& section,
                                const std::vector<std::pair<std::string, std::string>>& keyValues,
                                const std::string& path);

// Names of the sections, in file order (duplicates reported once).
std::vector<std::string> GetPrivateProfileSectionNames(const std::string& path);

// Keys of a section, in file order (duplicates reported once).
std::vector<std::string> GetPrivateProfileKeys(const std::string& section, const std::string& path);

// Drops any cached copy of the file (for callers that change or remove the
// file by other means, e.g. deleting it).
void ForgetProfileFile(const std::string& path);

} // namespace qf::platform
