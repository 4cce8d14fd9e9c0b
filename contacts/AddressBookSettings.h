#pragma once
// The two stored values the address book reads and writes outside its own
// file: the first-use flag that triggers the clean-up at load time, and the
// time stamp of the last synchronisation with the service.
//
// Where they live depends on how the program runs (the per-user settings
// store, or the settings file in portable mode); the owner of the settings
// installs an implementation with CAddressBookList::SetSettings().
#include <string>

class CAddressBookSettings {
public:
    virtual ~CAddressBookSettings() = default;

    // Reads IsFirstTime (the store resets it to 0 after reading).
    // Returns 1 with value filled when present, 2 when absent, a negative
    // code when the read failed.
    virtual int ReadIsFirstTime(int& value) = 0;

    // Stores LastCheckTS. Returns 1 when stored, a negative code otherwise.
    virtual int StoreLastCheckTS(const std::string& timestamp) = 0;
};
