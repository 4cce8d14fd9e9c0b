#include "contacts/AppAddressBookSettings.h"

#include "app/PortableSettings.h"
#include "app/RegistrySettings.h"
#include "app/VellFileHelper.h"
#include "platform/KeyValueStore.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using qf::test::TempDir;

namespace {

TEST(AppAddressBookSettings, RegistryModeReadsTheFlagOnceAndStoresTheTimeStamp) {
    TempDir dir;
    qf::platform::CKeyValueStore store(dir.file("user.store"));
    ASSERT_EQ(1, store.CreateKey(CRegistrySettings::kMainKey, ""));
    CAppAddressBookSettings settings(false, "", dir.path().string() + "/", &store);

    int value = -7;
    EXPECT_EQ(2, settings.ReadIsFirstTime(value)); // never set: first use
    EXPECT_EQ(1, settings.ReadIsFirstTime(value)); // reading reset it
    EXPECT_EQ(0, value);

    EXPECT_EQ(1, settings.StoreLastCheckTS("1700000000000"));
    std::string ts = "fallback";
    CRegistrySettings reg(store);
    EXPECT_EQ(1, reg.ReadLastCheckTS(ts));
    EXPECT_EQ("1700000000000", ts);
}

TEST(AppAddressBookSettings, PortableModeKeepsBothInTheSettingsFile) {
    TempDir dir;
    const std::string appDir = dir.path().string() + "/";
    const std::string file = appDir + VellFileHelper::kFileName;
    VellFileHelper(g_PortableSettings).LoadSettings(file.c_str(), appDir); // first use creates it
    CAppAddressBookSettings settings(true, file, appDir);

    {
        std::lock_guard<std::recursive_mutex> lk(PortableSettingsLock());
        g_PortableSettings.IsFirstTime = 1;
    }
    int value = 0;
    EXPECT_EQ(1, settings.ReadIsFirstTime(value));
    EXPECT_EQ(1, value);

    EXPECT_EQ(1, settings.StoreLastCheckTS("1800000000000"));
    EXPECT_EQ("1800000000000", g_PortableSettings.LastCheckTS);
    PortableSettings reread;
    VellFileHelper(reread).LoadSettings(file.c_str(), appDir);
    EXPECT_EQ("1800000000000", reread.LastCheckTS);

    // A file that cannot be written is reported, so no entry gets applied.
    CAppAddressBookSettings nowhere(true, appDir + "missing/dir/" + VellFileHelper::kFileName, appDir);
    EXPECT_LT(nowhere.StoreLastCheckTS("1"), 0);
}

} // namespace
