#pragma once
// Settings stand-in for the address book tests: answers the first-use
// read as told and records the last-check time stamps it is given.
#include "contacts/AddressBookSettings.h"

#include <mutex>
#include <string>
#include <vector>

class FakeAddressBookSettings : public CAddressBookSettings {
public:
    int ReadIsFirstTime(int& value) override {
        value = firstTimeValue;
        ++firstTimeReads;
        return firstTimeResult;
    }
    int StoreLastCheckTS(const std::string& timestamp) override {
        std::lock_guard<std::mutex> lk(lock);
        if (storeResult < 0) return storeResult;
        stored.push_back(timestamp);
        return 1;
    }

    int firstTimeResult = 1; // present ...
    int firstTimeValue = 0;  // ... and not the first time
    int firstTimeReads = 0;
    int storeResult = 1;
    std::mutex lock;
    std::vector<std::string> stored;
};
