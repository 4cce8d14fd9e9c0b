#include "contacts/AppAddressBookSettings.h"

#include "app/PortableSettings.h"
#include "app/RegistrySettings.h"
#include "app/Trace.h"
#include "app/VellFileHelper.h"
#include "app/quarvoFONApp.h"
#include "platform/KeyValueStore.h"

#include <mutex>

CAppAddressBookSettings::CAppAddressBookSettings(bool portable, std::string settingsFile, std::string appDir,
                                                 qf::platform::CKeyValueStore* store)
    : m_portable(portable), m_settingsFile(std::move(settingsFile)), m_appDir(std::move(appDir)), m_store(store) {}

CAppAddressBookSettings CAppAddressBookSettings::FromApplication() {
    CquarvoFONApp* app = CquarvoFONApp::Instance();
    if (!app) return CAppAddressBookSettings(false, "", "");
    return CAppAddressBookSettings(app->m_bOnUsbDrive != 0, app->m_bOnUsbDrive ? app->SettingsLocation() : "",
                                   app->m_strAppDir);
}

int CAppAddressBookSettings::ReadIsFirstTime(int& value) {
    QF_TRACE("CAppAddressBookSettings::ReadIsFirstTime");
    if (m_portable) {
        std::lock_guard<std::recursive_mutex> lk(PortableSettingsLock());
        value = g_PortableSettings.IsFirstTime;
        QF_LEAVE();
        return 1;
    }
    CRegistrySettings reg(m_store ? *m_store : qf::platform::CKeyValueStore::CurrentUser());
    uint32_t v = 0;
    const int result = reg.ReadIsFirstTime(v);
    if (result == 1) value = static_cast<int>(v);
    QF_LEAVE();
    return result;
}

int CAppAddressBookSettings::StoreLastCheckTS(const std::string& timestamp) {
    QF_TRACE("CAppAddressBookSettings::StoreLastCheckTS");
    if (!m_portable) {
        CRegistrySettings reg(m_store ? *m_store : qf::platform::CKeyValueStore::CurrentUser());
        const int result = reg.WriteLastCheckTS(timestamp);
        if (result < 0) return result;
        QF_LEAVE();
        return 1;
    }
    // The file is rewritten whole from the process-wide record. A helper of
    // our own learns the file's name by reading it into a scratch record,
    // then saves the process-wide record with the new time stamp in it.
    PortableSettings scratch;
    VellFileHelper helper(scratch);
    helper.LoadSettings(m_settingsFile.c_str(), m_appDir);
    {
        std::lock_guard<std::recursive_mutex> lk(PortableSettingsLock());
        g_PortableSettings.LastCheckTS = timestamp;
        scratch = g_PortableSettings;
    }
    const int result = helper.SaveSettings();
    if (result != 0) {
        QF_LOG_ERROR("Unable to save LastCheckTS nRet = %d", result);
        return result < 0 ? result : -1;
    }
    QF_LEAVE();
    return 1;
}
