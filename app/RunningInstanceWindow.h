#pragma once
// What a later start of the program asks of the running instance's main
// window. The phone window implements it; tests use a fake.
//
// Both calls arrive on the UI thread.
#include <cstdint>

class IRunningInstanceWindow {
public:
    virtual ~IRunningInstanceWindow() = default;

    // Show the window, make it the foreground window, raise it and flash
    // it to catch the eye.
    virtual void BringToFront() = 0;

    // A copy-data message: dwData 0 and a 256-byte block holding the
    // callto number as a NUL-terminated text. The window decides what it
    // accepts (only cbData 256) and returns its answer to the sender.
    virtual int OnCopyData(uint32_t dwData, uint32_t cbData, const unsigned char* data) = 0;

    // An outside program has written a number into DialedFromWeb (store or
    // settings file) and asks the window to dial it. Not brought forward.
    virtual int OnDialFromWeb() { return 0; }
};
