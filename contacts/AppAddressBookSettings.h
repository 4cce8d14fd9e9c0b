#pragma once
// Where the program keeps the address book's first-use flag and last-check
// time: in the settings file beside the program in portable mode, in the
// user's settings store otherwise.
#include "contacts/AddressBookSettings.h"

#include <string>

namespace qf::platform {
class CKeyValueStore;
}

class CAppAddressBookSettings : public CAddressBookSettings {
public:
    // portable: the program runs from a USB disk; settingsFile and appDir
    // name its settings file. store: the user's settings store (registry
    // mode); null means the current user's.
    CAppAddressBookSettings(bool portable, std::string settingsFile, std::string appDir,
                            qf::platform::CKeyValueStore* store = nullptr);

    // Built from the running application object (registry mode when there
    // is none).
    static CAppAddressBookSettings FromApplication();

    int ReadIsFirstTime(int& value) override;
    int StoreLastCheckTS(const std::string& timestamp) override;

private:
    bool m_portable;
    std::string m_settingsFile;
    std::string m_appDir;
    qf::platform::CKeyValueStore* m_store;
};
